// The package information block: how it is written, and how a reader copes with damaged files.
#include "packaging/vant_package_info.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<VANT::PackageInfoEntry> ExampleEntries(const std::string& os) {
  return {
      {"FILENAME", "corvex_sorting_multiplexer.pck"},
      {"OS", os},
      {"ARCH", "x86_64"},
      {"VERSION", "1.4.0"},
      {"DATE", "20240301"},
      {"TARGET", "corvex"},
      {"SIG", std::string(88, 'A')},
      {"GENID", "origin tag, 24 chars ..."},
      {"DESCRIPTION", "Corvex Sorting Multiplexer"},
  };
}

// A file: image bytes followed by the block.
std::vector<uint8_t> FileWith(const std::string& image, const std::string& block) {
  std::vector<uint8_t> file(image.begin(), image.end());
  file.insert(file.end(), block.begin(), block.end());
  return file;
}

std::string LengthWord(uint32_t length) {
  std::string word(4, '\0');
  std::memcpy(word.data(), &length, 4);
  return word;
}

TEST(PackageInfo, StringRunLengthCountsMarkerAndEveryTerminator) {
  ASSERT_EQ(ExampleEntries("x")[7].value.size(), 24u);
  std::string run;
  ASSERT_TRUE(VANT::BuildPackageInfoRun(ExampleEntries("windows"), run));
  EXPECT_EQ(run.size(), 281u); // 13 + 40 + 11 + 12 + 14 + 14 + 14 + 93 + 31 + 39
  ASSERT_TRUE(VANT::BuildPackageInfoRun(ExampleEntries("linux"), run));
  EXPECT_EQ(run.size(), 279u); // "linux" is two bytes shorter than "windows"
  EXPECT_EQ(run.substr(0, 13), std::string("PACKAGE_INFO\0", 13));
  EXPECT_EQ(run.back(), '\0');

  std::string block;
  ASSERT_TRUE(VANT::BuildPackageInfoBlock(ExampleEntries("linux"), block));
  ASSERT_EQ(block.size(), 283u);
  EXPECT_EQ(block.substr(0, 279), run);
  EXPECT_EQ(block.substr(279), LengthWord(279));
}

TEST(PackageInfo, ReadsBackEntriesInOrderAndSplitsAtTheFirstEquals) {
  std::vector<VANT::PackageInfoEntry> entries = ExampleEntries("linux");
  entries.push_back({"NOTE", "a=b = c"});
  entries.push_back({"EMPTY", ""});
  std::string block;
  ASSERT_TRUE(VANT::BuildPackageInfoBlock(entries, block));
  const std::string image("\x7f"
                          "ELF image bytes with = and \0 inside",
                          36);
  const std::vector<uint8_t> file = FileWith(image, block);

  VANT::PackageInfo info;
  ASSERT_EQ(VANT::ParsePackageInfo(file.data(), file.size(), info), VANT::PackageInfoStatus::kOk);
  EXPECT_EQ(info.imageSize, image.size());
  EXPECT_EQ(info.length, block.size() - 4);
  ASSERT_EQ(info.entries.size(), entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(info.entries[i].key, entries[i].key);
    EXPECT_EQ(info.entries[i].value, entries[i].value);
  }
  ASSERT_NE(info.Find("NOTE"), nullptr);
  EXPECT_EQ(*info.Find("NOTE"), "a=b = c");
  EXPECT_EQ(*info.Find("GENID"), "origin tag, 24 chars ...");
  EXPECT_EQ(info.Find("MISSING"), nullptr);
}

TEST(PackageInfo, WriterRefusesEntriesThatCannotBeReadBack) {
  std::string block;
  EXPECT_FALSE(VANT::BuildPackageInfoBlock({{"", "value"}}, block));
  EXPECT_FALSE(VANT::BuildPackageInfoBlock({{"A=B", "value"}}, block));
  EXPECT_FALSE(VANT::BuildPackageInfoBlock({{"KEY", std::string("a\0b", 3)}}, block));
  EXPECT_TRUE(VANT::BuildPackageInfoBlock({}, block));
  EXPECT_EQ(block, std::string("PACKAGE_INFO\0", 13) + LengthWord(13));
}

TEST(PackageInfo, EmptyTextsBetweenEntriesAreSkipped) {
  const std::string run = std::string("PACKAGE_INFO\0\0OS=linux\0\0", 24);
  const std::vector<uint8_t> file = FileWith("img", run + LengthWord(24));
  VANT::PackageInfo info;
  ASSERT_EQ(VANT::ParsePackageInfo(file.data(), file.size(), info), VANT::PackageInfoStatus::kOk);
  ASSERT_EQ(info.entries.size(), 1u);
  EXPECT_EQ(info.entries[0].value, "linux");
}

TEST(PackageInfo, DamagedBlocksAreRecognised) {
  using S = VANT::PackageInfoStatus;
  const std::string good = std::string("PACKAGE_INFO\0OS=linux\0", 22);
  struct Case {
    const char* what;
    std::vector<uint8_t> file;
    S expected;
  };
  const Case cases[] = {
      {"empty file", {}, S::kTooShort},
      {"three bytes", {1, 0, 0}, S::kTooShort},
      {"length zero", FileWith("image", LengthWord(0)), S::kLengthOutOfRange},
      {"length past the start", FileWith("", good + LengthWord(23)), S::kLengthOutOfRange},
      {"implausible length", FileWith(std::string(64, 'x'), LengthWord(0xFFFFFFFF)),
       S::kLengthOutOfRange},
      {"no marker", FileWith("img", std::string("PACKAGE_INF\0OS=linux\0", 21) + LengthWord(21)),
       S::kNoMarker},
      {"marker of another case", FileWith("", std::string("package_info\0", 13) + LengthWord(13)),
       S::kNoMarker},
      {"last text unterminated", FileWith("img", good.substr(0, 21) + LengthWord(21)),
       S::kUnterminated},
      {"entry without equals", FileWith("img", good + std::string("JUNK\0", 5) + LengthWord(27)),
       S::kBadEntry},
  };
  for (const Case& c : cases) {
    VANT::PackageInfo info;
    EXPECT_EQ(VANT::ParsePackageInfo(c.file.data(), c.file.size(), info), c.expected) << c.what;
    EXPECT_NE(std::string(VANT::Describe(c.expected)), "") << c.what;
  }
}

// Cutting a valid file anywhere must never be taken for a valid block.
TEST(PackageInfo, EveryTruncationIsRefused) {
  std::string block;
  ASSERT_TRUE(VANT::BuildPackageInfoBlock(ExampleEntries("linux"), block));
  const std::vector<uint8_t> file = FileWith(std::string(300, '\x01'), block);
  for (size_t size = 0; size < file.size(); ++size) {
    VANT::PackageInfo info;
    EXPECT_NE(VANT::ParsePackageInfo(file.data(), size, info), VANT::PackageInfoStatus::kOk)
        << "cut at " << size;
  }
}

TEST(PackageInfo, BuildDateComesFromSourceDateEpochWhenValid) {
  const int64_t now = 1700000000; // 2023-11-14 UTC
  EXPECT_EQ(VANT::BuildDate("1709251200", now), "20240301");
  EXPECT_EQ(VANT::BuildDate("1709337599", now), "20240301"); // last second of the day
  EXPECT_EQ(VANT::BuildDate("0", now), "19700101");
  EXPECT_EQ(VANT::BuildDate(nullptr, now), "20231114");
  EXPECT_EQ(VANT::BuildDate("", now), "20231114");
  EXPECT_EQ(VANT::BuildDate("12abc", now), "20231114");
  EXPECT_EQ(VANT::BuildDate("-5", now), "20231114");
  EXPECT_EQ(VANT::BuildDate("99999999999999999999", now), "20231114");
}

TEST(PackageInfo, PackageEntriesFollowTheTableAndSignTheImage) {
  const std::string image = "library image";
  const auto entries = VANT::PackageEntries(
      {"corvex_sorting_multiplexer.pck", "1.4.0", "20240301", "Corvex Sorting Multiplexer"},
      reinterpret_cast<const uint8_t*>(image.data()), image.size());
  const char* keys[] = {"FILENAME", "OS",  "ARCH",  "VERSION",    "DATE",
                        "TARGET",   "SIG", "GENID", "DESCRIPTION"};
  ASSERT_EQ(entries.size(), std::size(keys));
  for (size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(entries[i].key, keys[i]);
  }
  EXPECT_EQ(entries[1].value, "linux");
  EXPECT_EQ(entries[2].value, "x86_64");
  EXPECT_EQ(entries[5].value, "corvex");
  EXPECT_EQ(entries[6].value.size(), 88u);
  EXPECT_EQ(entries[7].value.size(), 24u);
  EXPECT_EQ(entries[8].value.size(), 26u);
  EXPECT_NE(entries[8].value.find("Sorting Multiplexer"), std::string::npos);
  std::string run;
  ASSERT_TRUE(VANT::BuildPackageInfoRun(entries, run));
  EXPECT_EQ(run.size(), 279u);

  const std::string other = "library imagf";
  const auto changed =
      VANT::PackageEntries({"x.pck", "1.4.0", "20240301", "Corvex Sorting Multiplexer"},
                           reinterpret_cast<const uint8_t*>(other.data()), other.size());
  EXPECT_NE(changed[6].value, entries[6].value) << "SIG must depend on the image";
}

} // namespace

namespace {

using Entries = std::vector<VANT::PackageInfoEntry>;

// A sound block has no problem; one whose entries are missing, repeated, unknown or out of order,
// or whose values are wrong or were changed after packing, is named for what is wrong (a changed
// OS, DATE, GENID or DESCRIPTION byte and a removed TARGET used to pass).
TEST(PackageInfo, CheckingTheEntriesNamesWhatIsWrong) {
  const std::string image = "library image";
  const Entries good = VANT::PackageEntries(
      {"corvex_sorting_multiplexer.pck", "1.4.0", "20240301", "Corvex Sorting Multiplexer"},
      reinterpret_cast<const uint8_t*>(image.data()), image.size());
  auto problems = [](const Entries& entries) {
    VANT::PackageInfo info;
    info.entries = entries;
    return VANT::CheckPackageEntries(info);
  };
  EXPECT_TRUE(problems(good).empty()) << testing::PrintToString(problems(good));
  auto replaced = [&](const char* key, const std::string& value) {
    Entries entries = good;
    for (auto& entry : entries) {
      if (entry.key == key) {
        entry.value = value;
      }
    }
    return entries;
  };
  auto resealed = [](Entries entries) {
    entries[7].value = VANT::GenerationId(entries);
    return entries;
  };
  // The maker is the packager's to name: the form is checked, not one text.
  EXPECT_TRUE(problems(resealed(replaced("DESCRIPTION", "Acme Labs Sorting Multiplexer"))).empty());

  Entries withoutTarget = good;
  withoutTarget.erase(withoutTarget.begin() + 5);
  Entries twice = good;
  twice.insert(twice.begin() + 2, good[1]);
  Entries extra = good;
  extra.push_back({"EXTRA", "1"});
  Entries swapped = good;
  std::swap(swapped[3], swapped[4]);
  std::string genid = good[7].value;
  genid[10] = genid[10] == '0' ? '1' : '0';

  const struct {
    const char* file;
    int line;
    Entries entries;
    const char* says;
  } cases[] = {
      {__FILE__, __LINE__, withoutTarget, "no TARGET entry"},
      {__FILE__, __LINE__, twice, "OS entry appears 2 times"},
      {__FILE__, __LINE__, extra, "unknown entry 'EXTRA'"},
      {__FILE__, __LINE__, swapped, "entries out of order"},
      {__FILE__, __LINE__, replaced("OS", "linuz"), "built for OS 'linuz', this engine needs"},
      {__FILE__, __LINE__, resealed(replaced("ARCH", "aarch64")), "built for ARCH 'aarch64'"},
      {__FILE__, __LINE__, replaced("TARGET", "corvey"), "built for TARGET 'corvey'"},
      {__FILE__, __LINE__, resealed(replaced("FILENAME", "corvex.so")), "FILENAME 'corvex.so'"},
      {__FILE__, __LINE__, resealed(replaced("FILENAME", "a/b.pck")), "FILENAME 'a/b.pck'"},
      {__FILE__, __LINE__, resealed(replaced("VERSION", "1..4")), "VERSION '1..4'"},
      {__FILE__, __LINE__, resealed(replaced("DATE", "20230229")), "DATE '20230229'"},
      {__FILE__, __LINE__, resealed(replaced("DATE", "2024030a")), "DATE '2024030a'"},
      {__FILE__, __LINE__, replaced("DATE", "20240302"), "GENID"}, // a valid date, changed
      {__FILE__, __LINE__, resealed(replaced("SIG", std::string(88, 'A'))), "SIG is not"},
      {__FILE__, __LINE__, replaced("GENID", genid), "does not match the other entries"},
      {__FILE__, __LINE__, replaced("DESCRIPTION", "Corvey Sorting Multiplexer"), "GENID"},
      {__FILE__, __LINE__, resealed(replaced("DESCRIPTION", "  ")),
       "DESCRIPTION '  ' is not one line of text"},
      {__FILE__, __LINE__, resealed(replaced("DESCRIPTION", "Corvex\nSorting Multiplexer")),
       "DESCRIPTION 'Corvex\\x0ASorting Multiplexer'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.file << ":" << c.line);
    const std::vector<std::string> found = problems(c.entries);
    EXPECT_TRUE(std::any_of(found.begin(), found.end(), [&](const std::string& p) {
      return p.find(c.says) != std::string::npos;
    })) << testing::PrintToString(found);
  }
}

} // namespace
