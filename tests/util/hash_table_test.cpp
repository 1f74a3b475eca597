#include "util/vant_hash_table.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using StringTable = VANTStringHashTable<VANTStackedString<40>>;

// Integer keys hashed to themselves, counting every call, so that bucket placement is known.
struct IdentityHash : VANTHashFunction<int> {
  static inline int s_calls = 0;
  uint64_t Hash(const int& key) const override {
    ++s_calls;
    return static_cast<uint64_t>(key);
  }
};
using IntTable = VANTHashTable<int, int, IdentityHash>;

std::vector<int> Keys(const IntTable& table) {
  std::vector<int> keys;
  VANTHashIterator it;
  while (const auto* pair = table.Next(it)) {
    keys.push_back(pair->m_first);
  }
  return keys;
}

TEST(HashTableTest, BucketCountRoundsUpAndDoublesPastTheCount) {
  StringTable table(16, true);
  EXPECT_EQ(table.BucketCount(), 16);
  for (int i = 1; i <= 33; ++i) {
    table.Insert(std::to_string(i).c_str()) = "v";
    const int expected = i <= 16 ? 16 : (i <= 32 ? 32 : 64); // Tricky: the 17th entry doubles
    ASSERT_EQ(table.BucketCount(), expected) << "after entry " << i;
  }
  EXPECT_EQ(table.Count(), 33);
  EXPECT_EQ(StringTable(5, true).BucketCount(), 8);
  EXPECT_EQ(StringTable(1, true).BucketCount(), 1);
  EXPECT_EQ(StringTable(0, true).BucketCount(), 1); // refused sizes fall back to one bucket
  EXPECT_EQ(StringTable(-7, true).BucketCount(), 1);
}

TEST(HashTableTest, GrowingKeepsBucketOrderAndNeverHashesAgain) {
  IdentityHash::s_calls = 0;
  IntTable table(4, true);
  for (const int key : {8, 4, 0, 12}) { // all in bucket 0 of 4
    table.Insert(key) = key * 10;
  }
  EXPECT_EQ(Keys(table), (std::vector<int>{8, 4, 0, 12}));
  table.Insert(1) = 10; // 5 > 4 entries: 8 buckets; 8 and 0 stay in 0, 4 and 12 go to 4
  EXPECT_EQ(table.BucketCount(), 8);
  EXPECT_EQ(Keys(table), (std::vector<int>{8, 0, 1, 4, 12}));
  EXPECT_EQ(IdentityHash::s_calls, 5);
  ASSERT_NE(table.Find(12), nullptr);
  EXPECT_EQ(*table.Find(12), 120);
}

TEST(HashTableTest, TableWithoutGrowthKeepsItsBuckets) {
  IntTable table(2, false);
  for (int key = 0; key < 100; ++key) {
    table.Insert(key) = -key;
  }
  EXPECT_EQ(table.BucketCount(), 2);
  for (int key = 0; key < 100; ++key) {
    ASSERT_NE(table.Find(key), nullptr) << key;
    EXPECT_EQ(*table.Find(key), -key);
  }
  const std::vector<int> keys = Keys(table);
  ASSERT_EQ(keys.size(), 100u);
  EXPECT_EQ(keys[0], 0);
  EXPECT_EQ(keys[50], 1); // every even key first, then every odd one
}

TEST(HashTableTest, RepeatedKeysGiveSeveralEntriesInInsertionOrder) {
  StringTable table(16, true);
  table.Insert("PATH") = "/bin";
  table.Insert("HOME") = "/root";
  table.Insert("PATH") = "/usr/bin";
  EXPECT_EQ(table.Count(), 3);
  std::vector<std::string> paths;
  VANTHashIterator it;
  while (const auto* pair = table.Next(it)) {
    if (pair->m_first == "PATH") {
      paths.emplace_back(pair->m_second.Text());
    }
  }
  EXPECT_EQ(paths, (std::vector<std::string>{"/bin", "/usr/bin"}));
  const VANTStackedString<40>* first = table.Find("PATH");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(*first, "/bin");
  EXPECT_TRUE(table.Remove("PATH")); // the earlier entry goes first
  const VANTStackedString<40>* second = table.Find("PATH");
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(*second, "/usr/bin");
  EXPECT_TRUE(table.Remove("PATH"));
  EXPECT_FALSE(table.Remove("PATH"));
  EXPECT_EQ(table.Find("PATH"), nullptr);
  EXPECT_EQ(table.Count(), 1);
}

TEST(HashTableTest, RemovalAmongManyEntriesAfterGrowth) {
  StringTable table(1, true);
  for (int i = 0; i < 1000; ++i) {
    table.Insert(("key" + std::to_string(i)).c_str()) = std::to_string(i).c_str();
  }
  EXPECT_EQ(table.BucketCount(), 1024);
  for (int i = 0; i < 1000; i += 3) {
    ASSERT_TRUE(table.Remove(("key" + std::to_string(i)).c_str())) << i;
  }
  EXPECT_EQ(table.Count(), 666);
  int visited = 0;
  VANTHashIterator it;
  while (table.Next(it) != nullptr) {
    ++visited;
  }
  EXPECT_EQ(visited, 666);
  for (int i = 0; i < 1000; ++i) {
    const auto* value = table.Find(("key" + std::to_string(i)).c_str());
    if (i % 3 == 0) {
      EXPECT_EQ(value, nullptr) << i;
    } else {
      ASSERT_NE(value, nullptr) << i;
      EXPECT_EQ(*value, std::to_string(i).c_str());
    }
  }
}

TEST(HashTableTest, IteratingAnEmptyTableEndsAtOnceAndStaysEnded) {
  StringTable table(8, true);
  VANTHashIterator it;
  EXPECT_EQ(table.Next(it), nullptr);
  EXPECT_EQ(table.Next(it), nullptr);
  table.Insert("a");
  table.Clear();
  VANTHashIterator again;
  EXPECT_EQ(table.NextEntry(again), nullptr);
  EXPECT_EQ(table.Count(), 0);
}

// ---- The string hash --------------------------------------------------------------------------

TEST(Hash64Test, KnownValuesAroundTheBlockSize) {
  // Values from an independent implementation of the same description.
  struct Row {
    const char* text;
    uint64_t hash;
  };
  for (const Row row : {Row{"", 0x49624d69a12af83aULL}, Row{"a", 0xf6038801031ca0bdULL},
                        Row{"Engine.version", 0x2dde782395937e69ULL},
                        Row{"0123456789abcdefghijklm", 0x89fd34cc39d3b158ULL},      // 23 bytes
                        Row{"0123456789abcdefghijklmn", 0x601968eab8c85e16ULL},     // 24
                        Row{"0123456789abcdefghijklmno", 0xb3152ff0ea038811ULL}}) { // 25
    EXPECT_EQ(VANT::Hash64(row.text, std::strlen(row.text), VANT::StringHashLevel), row.hash)
        << row.text;
    EXPECT_EQ(VANTStringHashFunction().Hash(row.text), row.hash) << row.text;
  }
  std::string high;
  for (int c = 200; c < 256; ++c) {
    high.push_back(static_cast<char>(c)); // bytes above 127 must not sign-extend
  }
  high.append(10, '\xff');
  EXPECT_EQ(VANT::Hash64(high.data(), high.size(), 0xDEAD), 0xa647056d84c338cULL);
  EXPECT_EQ(VANT::Hash64(nullptr, 5, 0xDEAD), VANT::Hash64("", 0, 0xDEAD));
}

TEST(Hash64Test, EveryByteAndTheLevelChangeTheHash) {
  for (std::size_t length = 1; length <= 60; ++length) {
    std::string text(length, 'k');
    const uint64_t base = VANT::Hash64(text.data(), length, 0xDEAD);
    for (std::size_t i = 0; i < length; ++i) {
      text[i] = 'K';
      ASSERT_NE(VANT::Hash64(text.data(), length, 0xDEAD), base) << length << " byte " << i;
      text[i] = 'k';
    }
    // The same bytes with one more or one less zero byte: the length takes part.
    const std::string longer = text + '\0';
    EXPECT_NE(VANT::Hash64(longer.data(), longer.size(), 0xDEAD), base) << length;
    EXPECT_NE(VANT::Hash64(text.data(), length, 0xDEAE), base) << length;
  }
}

} // namespace
