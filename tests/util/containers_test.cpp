#include "util/counted.h"
#include "util/vant_array.h"
#include "util/vant_hash_table.h"
#include "util/vant_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// ---- One typed suite over every container: values in, values out, nothing leaked ------------

struct ListAdapter {
  using Container = VANTList<Counted>;
  static void Add(Container& c, int v) { c.PushBack(Counted(v)); }
  static void RemoveFirst(Container& c) { c.Remove(c.Head()); }
  static void Clear(Container& c) { c.Clear(); }
  static std::vector<int> Values(const Container& c) {
    std::vector<int> out;
    for (const Counted& v : c) {
      out.push_back(v.Checked());
    }
    return out;
  }
};

struct ArrayAdapter {
  using Container = VANTArray<Counted>;
  static void Add(Container& c, int v) { c.PushBack(Counted(v)); }
  static void RemoveFirst(Container& c) { c.DropFront(1); }
  static void Clear(Container& c) { c.SetSize(0); }
  static std::vector<int> Values(const Container& c) {
    std::vector<int> out;
    for (int32_t i = 0; i < c.Size(); ++i) {
      out.push_back(c[i].Checked());
    }
    return out;
  }
};

struct HashAdapter {
  using Container = VANTStringHashTable<Counted>;
  static VANTStackedString<40> Key(int v) { return std::to_string(v).c_str(); }
  static void Add(Container& c, int v) { c.Insert(Key(v)) = Counted(v); }
  static void RemoveFirst(Container& c) {
    // The smallest value is the oldest one in every test below.
    const std::vector<int> values = Values(c);
    ASSERT_TRUE(c.Remove(Key(values.front())));
  }
  static void Clear(Container& c) { c.Clear(); }
  static std::vector<int> Values(const Container& c) {
    std::vector<int> out;
    VANTHashIterator it;
    while (const auto* pair = c.Next(it)) {
      EXPECT_EQ(pair->m_first, Key(pair->m_second.Checked()));
      out.push_back(pair->m_second.Checked());
    }
    std::sort(out.begin(), out.end()); // hash order is not insertion order
    return out;
  }
};

std::vector<int> Range(int from, int to) {
  std::vector<int> out;
  for (int v = from; v < to; ++v) {
    out.push_back(v);
  }
  return out;
}

template <class A>
class ContainerTest : public ::testing::Test {
protected:
  void SetUp() override { Counted::Reset(); }
  void TearDown() override {
    EXPECT_EQ(Counted::s_live, 0) << "elements leaked";
    EXPECT_EQ(Counted::s_constructed, Counted::s_destroyed);
  }
};
using Adapters = ::testing::Types<ListAdapter, ArrayAdapter, HashAdapter>;
TYPED_TEST_SUITE(ContainerTest, Adapters);

TYPED_TEST(ContainerTest, FillAcrossGrowthRemoveAndDestroy) {
  {
    typename TypeParam::Container c;
    for (int v = 0; v < 300; ++v) { // crosses every growth step up to 512
      TypeParam::Add(c, v);
    }
    EXPECT_EQ(TypeParam::Values(c), Range(0, 300));
    for (int i = 0; i < 100; ++i) {
      TypeParam::RemoveFirst(c);
    }
    EXPECT_EQ(TypeParam::Values(c), Range(100, 300));
    for (int v = 300; v < 350; ++v) {
      TypeParam::Add(c, v);
    }
    EXPECT_EQ(TypeParam::Values(c), Range(100, 350));
  }
  // TearDown checks that the destructor destroyed every element exactly once.
}

TYPED_TEST(ContainerTest, ClearThenReuse) {
  typename TypeParam::Container c;
  for (int v = 0; v < 50; ++v) {
    TypeParam::Add(c, v);
  }
  TypeParam::Clear(c);
  EXPECT_TRUE(TypeParam::Values(c).empty());
  for (int v = 7; v < 12; ++v) {
    TypeParam::Add(c, v);
  }
  EXPECT_EQ(TypeParam::Values(c), Range(7, 12));
}

// ---- VANTList ---------------------------------------------------------------------------------

// Walks both ways and checks the links agree with the count.
std::vector<int> CheckedValues(const VANTList<int>& list) {
  std::vector<int> forward;
  const VANTListItem<int>* last = nullptr;
  for (const auto* item = list.Head(); item != nullptr; item = item->Next()) {
    EXPECT_EQ(item->Previous(), last);
    forward.push_back(item->Value());
    last = item;
  }
  EXPECT_EQ(last, list.Tail());
  std::vector<int> backward;
  for (const auto* item = list.Tail(); item != nullptr; item = item->Previous()) {
    backward.push_back(item->Value());
  }
  std::reverse(backward.begin(), backward.end());
  EXPECT_EQ(forward, backward);
  EXPECT_EQ(static_cast<int32_t>(forward.size()), list.Count());
  return forward;
}

TEST(ListTest, PushAndRemoveKeepLinksConsistent) {
  VANTList<int> list;
  list.PushBack(2);
  list.PushFront(1);
  auto* three = list.PushBack(3);
  list.PushBack(4);
  EXPECT_EQ(CheckedValues(list), (std::vector<int>{1, 2, 3, 4}));
  list.Remove(three); // middle
  EXPECT_EQ(CheckedValues(list), (std::vector<int>{1, 2, 4}));
  list.Remove(list.Head());
  list.Remove(list.Tail());
  EXPECT_EQ(CheckedValues(list), (std::vector<int>{2}));
  list.Remove(list.Head());
  EXPECT_TRUE(CheckedValues(list).empty());
  EXPECT_EQ(list.Head(), nullptr);
  EXPECT_EQ(list.Tail(), nullptr);
  list.PushFront(9); // an emptied list links from scratch
  EXPECT_EQ(CheckedValues(list), (std::vector<int>{9}));
  EXPECT_TRUE(list.RemoveValue(9));
  EXPECT_FALSE(list.RemoveValue(9));
}

TEST(ListTest, InsertBeforeAndAfterLinkAtEveryPosition) {
  VANTList<int> list;
  auto* three = list.InsertBefore(nullptr, 3); // empty list: the only item
  list.InsertAfter(nullptr, 1);                // at the head
  list.InsertBefore(three, 2);                 // in the middle
  auto* five = list.InsertAfter(three, 5);     // at the tail
  list.InsertBefore(five, 4);
  list.InsertAfter(five, 6);
  list.InsertBefore(list.Head(), 0);
  EXPECT_EQ(CheckedValues(list), (std::vector<int>{0, 1, 2, 3, 4, 5, 6}));
}

TEST(ListTest, DetachAndAttachMoveItemsBetweenLists) {
  VANTList<int> a;
  VANTList<int> b;
  for (int v = 0; v < 4; ++v) {
    a.PushBack(v);
  }
  b.AttachBack(a.Detach(a.Find(2)));
  b.AttachBack(a.Detach(a.Head()));
  EXPECT_EQ(CheckedValues(a), (std::vector<int>{1, 3}));
  EXPECT_EQ(CheckedValues(b), (std::vector<int>{2, 0}));
}

TEST(ListTest, CopiesAreDeepAndMovesTransfer) {
  Counted::Reset();
  {
    VANTList<Counted> a;
    a.PushBack(1);
    a.PushBack(2);
    VANTList<Counted> copy(a);
    copy.Head()->Value().value = 10;
    EXPECT_EQ(a.Head()->Value().value, 1);
    VANTList<Counted> moved(std::move(copy));
    EXPECT_EQ(moved.Count(), 2);
    EXPECT_TRUE(copy.IsEmpty()); // NOLINT(bugprone-use-after-move)
    moved = a;
    moved = moved; // self-assignment keeps the items
    EXPECT_EQ(moved.Count(), 2);
    EXPECT_EQ(moved.Tail()->Value().value, 2);
  }
  EXPECT_EQ(Counted::s_live, 0);
}

// ---- VANTArray --------------------------------------------------------------------------------

std::vector<int> Values(const VANTArray<int>& a) {
  std::vector<int> out;
  for (int32_t i = 0; i < a.Size(); ++i) {
    out.push_back(a[i]);
  }
  return out;
}

TEST(ArrayTest, SizedCapacityIsTheNextPowerOfTwo) {
  struct Row {
    int32_t n;
    int32_t capacity;
  };
  for (const Row row : {Row{0, 0}, Row{1, 1}, Row{2, 2}, Row{3, 4}, Row{5, 8}, Row{8, 8},
                        Row{9, 16}, Row{1025, 2048}}) {
    const VANTArray<int> a(row.n);
    EXPECT_EQ(a.Capacity(), row.capacity) << row.n;
    EXPECT_EQ(a.Size(), row.n);
  }
  EXPECT_THROW(VANTArray<char>((1 << 30) + 1), std::bad_alloc);
}

TEST(ArrayTest, GrowingAccess) {
  VANTArray<int> a(8);
  for (int32_t i = 0; i < 8; ++i) {
    a[i] = i;
  }
  a.At(8) = 8; // Tricky: index 8 of capacity 8 needs 16, not 9
  EXPECT_EQ(a.Capacity(), 16);
  EXPECT_EQ(a.Size(), 9);
  EXPECT_EQ(Values(a), (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8}));
  const int* storage = &a[0];
  a.At(12) = 12; // within the capacity only the size moves
  EXPECT_EQ(&a[0], storage);
  EXPECT_EQ(a.Size(), 13);
  EXPECT_EQ(a[10], 0); // slots reached by growth hold zero, not stale memory
  a.At(3) = 30;        // below the size nothing changes but the element
  EXPECT_EQ(a.Size(), 13);
  EXPECT_EQ(a[3], 30);

  VANTArray<int> empty;
  empty.At(0) = 5;
  EXPECT_EQ(empty.Capacity(), 1);
  EXPECT_EQ(empty.Size(), 1);
  empty.At(1) = 6;
  EXPECT_EQ(empty.Capacity(), 2);
  EXPECT_EQ(Values(empty), (std::vector<int>{5, 6}));
  EXPECT_THROW(empty.At(-1), std::out_of_range);
}

TEST(ArrayTest, RingWrapsAndGrowthUnwrapsInRingOrder) {
  VANTArray<int> a;
  for (int v = 0; v < 8; ++v) {
    a.PushBack(v);
  }
  a.DropFront(5);
  EXPECT_EQ(Values(a), (std::vector<int>{5, 6, 7}));
  for (int v = 8; v < 13; ++v) {
    a.PushBack(v); // these land in slots 0..4 of the storage: the ring wraps
  }
  EXPECT_EQ(a.Capacity(), 8);
  EXPECT_EQ(Values(a), (std::vector<int>{5, 6, 7, 8, 9, 10, 11, 12}));
  a.PushBack(13); // full and wrapped: grows, elements in ring order from 0
  EXPECT_EQ(a.Capacity(), 16);
  EXPECT_EQ(Values(a), (std::vector<int>{5, 6, 7, 8, 9, 10, 11, 12, 13}));

  VANTArray<int> b;
  for (int v = 0; v < 8; ++v) {
    b.PushBack(v);
  }
  b.DropFront(6);
  b.PushBack(8);
  b.PushBack(9); // wrapped: 6 7 | 8 9
  const VANTArray<int> copy(b);
  EXPECT_EQ(Values(copy), (std::vector<int>{6, 7, 8, 9}));
  b.Resize(3);
  EXPECT_EQ(b.Capacity(), 4);
  EXPECT_EQ(Values(b), (std::vector<int>{6, 7, 8}));
  b.Resize(6);
  EXPECT_EQ(b.Capacity(), 8);
  EXPECT_EQ(b.Size(), 6);
  EXPECT_EQ(b[2], 8);
  b.DropFront(100);
  EXPECT_TRUE(b.IsEmpty());
}

TEST(ArrayTest, ReferencedStorageIsNeverFreedAndMovesOnGrowth) {
  int storage[8] = {1, 2, 3, 4, 0, 0, 0, 0};
  VANTArray<int> a;
  EXPECT_FALSE(a.ReferTo(storage, 6, 4)); // not a power of two
  EXPECT_FALSE(a.ReferTo(storage, 8, 9));
  ASSERT_TRUE(a.ReferTo(storage, 8, 4));
  EXPECT_FALSE(a.IsOwned());
  EXPECT_EQ(&a.At(3), &storage[3]); // below the size: the caller's storage
  a.At(4) = 5;                      // beyond the size: moves to owned storage
  EXPECT_TRUE(a.IsOwned());
  EXPECT_EQ(a.Capacity(), 8);
  EXPECT_EQ(Values(a), (std::vector<int>{1, 2, 3, 4, 5}));
  EXPECT_EQ(storage[4], 0);
  // The destructor frees only the owned storage (the sanitizer build checks the stack array).
}

TEST(ArrayTest, PushBackOfItsOwnElementAcrossGrowth) {
  VANTArray<std::string> a;
  a.PushBack(std::string(50, 'x'));
  a.PushBack(a[0]); // the growth moves a[0] while it is the argument
  EXPECT_EQ(a.Size(), 2);
  EXPECT_EQ(a[1], std::string(50, 'x'));
  EXPECT_EQ(a[0], a[1]);
}

} // namespace

// The internal checks stay on in the builds the tests run in: a broken invariant is reported and
// ends the program (the checked operations are noexcept) instead of reading past the storage.
TEST(InternalCheckDeathTest, IndexOutsideTheStorageAndDetachFromAnEmptyListAreCaught) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  VANTArray<int32_t> array(4);
  EXPECT_DEATH(static_cast<void>(array[4]),
               "Internal check failed: array index outside the storage");
  EXPECT_DEATH(static_cast<void>(array[-1]), "array index outside the storage");
  VANTList<int32_t> list;
  VANTListItem<int32_t>* item = list.PushBack(1);
  list.Remove(item);
  VANTListItem<int32_t> stray(2);
  EXPECT_DEATH(static_cast<void>(list.Detach(&stray)), "detaching from an empty list");
}
