// The multiplexer's sorted queue against a plain reference (every item in a vector, the smallest
// taken by a linear search with the same order), over seeded random streams: keys with many ties
// and items out of order, items of 0 to 70000 bytes laid back to back in their elements,
// inputs added in random interleavings, and releases after each element as the multiplexer does
// them (one vector while more than the buffer count is queued), for buffer counts from 0 up.
#include "component/vant_mux_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

struct Item {
  uint64_t key1 = 0;
  uint64_t key2 = 0;
  uint32_t input = 0;
  uint64_t read = 0; // the order in which the queue was given the item
  uint32_t extra = 0;
  std::string bytes;
};

struct Element {
  uint32_t input = 0;
  std::vector<uint8_t> data;   // the items' bytes back to back, with gaps ("headers")
  std::vector<size_t> offsets; // where each item's bytes start in data
  std::vector<Item> items;
};

// How one stream is drawn.
struct Shape {
  bool pcapKeys; // (seconds, microseconds) keys; else signed timestamps
  VANTMuxQueue::Ties ties;
  uint32_t inputs;
  int elementsPerInput;
  int maxItemsPerElement;
  int outOfOrderPercent;
  int tiePercent;
  int largePercent; // items above the pool's largest block
};

class Reference {
public:
  explicit Reference(VANTMuxQueue::Ties ties) : m_ties(ties) {}
  void Add(const Item& item) { m_items.push_back(item); }
  size_t Size() const { return m_items.size(); }
  Item Pop() {
    auto it = std::min_element(m_items.begin(), m_items.end(),
                               [&](const Item& a, const Item& b) { return Less(a, b); });
    Item item = *it;
    m_items.erase(it);
    return item;
  }

private:
  bool Less(const Item& a, const Item& b) const {
    if (a.key1 != b.key1) {
      return a.key1 < b.key1;
    }
    if (a.key2 != b.key2) {
      return a.key2 < b.key2;
    }
    if (a.input != b.input) {
      return a.input < b.input;
    }
    return m_ties == VANTMuxQueue::Ties::kOldestFirst ? a.read < b.read : a.read > b.read;
  }
  VANTMuxQueue::Ties m_ties;
  std::vector<Item> m_items;
};

// The elements of every input, each input's keys mostly rising.
std::vector<std::vector<Element>> Draw(const Shape& shape, std::mt19937& random) {
  std::vector<std::vector<Element>> perInput(shape.inputs);
  for (uint32_t input = 0; input < shape.inputs; ++input) {
    int64_t t = static_cast<int64_t>(random() % 50) - (shape.pcapKeys ? 0 : 25);
    for (int e = 0; e < shape.elementsPerInput; ++e) {
      Element element;
      element.input = input;
      const int count = static_cast<int>(random() % (shape.maxItemsPerElement + 1));
      for (int k = 0; k < count; ++k) {
        if (static_cast<int>(random() % 100) >= shape.tiePercent) {
          t += 1 + static_cast<int64_t>(random() % 3);
        }
        int64_t key = t;
        if (static_cast<int>(random() % 100) < shape.outOfOrderPercent) {
          key = t - static_cast<int64_t>(random() % 40); // late, maybe below zero
          if (shape.pcapKeys && key < 0) {
            key = 0;
          }
        }
        Item item;
        item.input = input;
        if (shape.pcapKeys) {
          item.key1 = static_cast<uint64_t>(key / 7); // few distinct seconds
          item.key2 = static_cast<uint64_t>(key % 7);
        } else {
          item.key1 = VANTMuxQueue::SignedKey(key);
        }
        item.extra = static_cast<uint32_t>(random());
        size_t size = random() % 4 == 0 ? 0 : random() % 1600;
        if (static_cast<int>(random() % 1000) < shape.largePercent * 10) {
          size = 66000 + random() % 4000;
        }
        item.bytes.resize(size);
        const uint32_t pattern = static_cast<uint32_t>(random());
        for (size_t b = 0; b < size; ++b) {
          item.bytes[b] = static_cast<char>(pattern + b * (pattern | 1) + (b >> 8));
        }
        element.data.resize(element.data.size() + random() % 25, 0xEE); // a header
        element.offsets.push_back(element.data.size());
        element.data.insert(element.data.end(), item.bytes.begin(), item.bytes.end());
        element.items.push_back(std::move(item));
      }
      perInput[input].push_back(std::move(element));
    }
  }
  return perInput;
}

std::string Describe(const VANTMuxEntry& e) {
  return std::to_string(e.key1) + "/" + std::to_string(e.key2) + " input " +
         std::to_string(e.input) + " size " + std::to_string(e.size);
}

// Adds the elements in a random interleaving of the inputs, releasing like the multiplexer, and
// compares every item that leaves. Returns false at the first difference.
bool RunAgainstReference(VANTMuxQueue& queue, const Shape& shape, uint64_t bufferCount,
                         uint64_t vectorSize, std::mt19937& random) {
  std::vector<std::vector<Element>> perInput = Draw(shape, random);
  queue.Reset(shape.inputs, shape.ties);
  Reference reference(shape.ties);
  std::vector<size_t> next(shape.inputs, 0);
  uint64_t read = 0;
  size_t left = shape.inputs * static_cast<size_t>(shape.elementsPerInput);
  size_t popped = 0;
  const auto pop = [&]() {
    const VANTMuxEntry& got = queue.Front();
    const Item want = reference.Pop();
    const std::string bytes(reinterpret_cast<const char*>(got.bytes), got.size);
    const bool same = got.key1 == want.key1 && got.key2 == want.key2 && got.input == want.input &&
                      got.extra == want.extra && bytes == want.bytes;
    EXPECT_TRUE(same) << "item " << popped << ": got " << Describe(got) << ", want " << want.key1
                      << "/" << want.key2 << " input " << want.input << " size "
                      << want.bytes.size();
    queue.Pop();
    ++popped;
    return same;
  };
  while (left > 0) {
    uint32_t input = random() % shape.inputs;
    while (next[input] == perInput[input].size()) {
      input = (input + 1) % shape.inputs;
    }
    Element& element = perInput[input][next[input]++];
    --left;
    queue.Begin(input);
    for (size_t k = 0; k < element.items.size(); ++k) {
      Item& item = element.items[k];
      item.read = read++;
      reference.Add(item);
      queue.Add(item.key1, item.key2, element.data.data() + element.offsets[k],
                static_cast<uint32_t>(item.bytes.size()), item.extra);
    }
    queue.End();
    // The element's bytes are gone once added: the queue must hold its own copies.
    std::fill(element.data.begin(), element.data.end(), 0x5A);
    if (queue.Size() != reference.Size()) {
      ADD_FAILURE() << "size " << queue.Size() << ", want " << reference.Size();
      return false;
    }
    for (uint64_t n = 0; n < vectorSize && queue.Size() > bufferCount; ++n) {
      if (!pop()) {
        return false;
      }
    }
  }
  while (!queue.Empty()) {
    if (!pop()) {
      return false;
    }
  }
  return reference.Size() == 0;
}

TEST(MuxQueue, MatchesAPlainReferenceOverRandomStreamsInterleavingsAndBufferCounts) {
  const Shape shapes[] = {
      // pcap keys, ties,                               inputs, elements, items, late%, tie%, big%
      {true, VANTMuxQueue::Ties::kOldestFirst, 1, 30, 30, 0, 30, 0},
      {true, VANTMuxQueue::Ties::kOldestFirst, 4, 16, 40, 5, 40, 1},
      {true, VANTMuxQueue::Ties::kOldestFirst, 7, 12, 12, 30, 50, 0},
      {false, VANTMuxQueue::Ties::kNewestFirst, 3, 20, 20, 5, 50, 1},
      {false, VANTMuxQueue::Ties::kNewestFirst, 8, 12, 8, 25, 30, 0},
      {false, VANTMuxQueue::Ties::kNewestFirst, 2, 40, 1, 10, 60, 2}, // whole elements
  };
  const uint64_t bufferCounts[] = {0, 1, 3, 17, 100, 1000, UINT64_MAX};
  const uint32_t seeds[] = {1u, 2024u, std::random_device{}()};
  VANTMuxQueue queue; // reused: Reset must leave nothing behind
  for (const uint32_t seed : seeds) {
    for (size_t s = 0; s < std::size(shapes); ++s) {
      for (const uint64_t bufferCount : bufferCounts) {
        std::mt19937 random(seed + static_cast<uint32_t>(s * 131 + bufferCount % 1009));
        const uint64_t vectorSize = 1 + random() % 300;
        SCOPED_TRACE("seed " + std::to_string(seed) + ", shape " + std::to_string(s) +
                     ", buffer count " + std::to_string(bufferCount) + ", vector size " +
                     std::to_string(vectorSize));
        ASSERT_TRUE(RunAgainstReference(queue, shapes[s], bufferCount, vectorSize, random));
      }
    }
  }
}

// Sorted inputs stay in their runs; one late item goes out of its run and back in order.
TEST(MuxQueue, InOrderItemsStayInTheirRunsAndLateOnesLeaveInOrder) {
  VANTMuxQueue queue;
  queue.Reset(2, VANTMuxQueue::Ties::kOldestFirst);
  const uint8_t bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  queue.Begin(1);
  queue.Add(0, 10, bytes, 2, 0);
  queue.Add(0, 10, bytes + 2, 2, 0); // a tie within the input: still in order
  queue.Add(0, 30, bytes + 4, 2, 0);
  queue.Add(0, 20, bytes + 6, 2, 0); // late
  queue.End();
  queue.Begin(0);
  queue.Add(0, 10, bytes, 1, 0); // ties with input 1: leaves before both of its items
  queue.End();
  EXPECT_EQ(queue.OutOfRunItems(), 1u);
  std::vector<std::pair<uint32_t, uint8_t>> order;
  while (!queue.Empty()) {
    order.emplace_back(queue.Front().input, queue.Front().bytes[0]);
    queue.Pop();
  }
  EXPECT_EQ(order,
            (std::vector<std::pair<uint32_t, uint8_t>>{{0, 1}, {1, 1}, {1, 3}, {1, 7}, {1, 5}}));
  // Newest first: equal keys of one input leave in reverse, and never in the run together.
  queue.Reset(1, VANTMuxQueue::Ties::kNewestFirst);
  queue.Begin(0);
  queue.Add(VANTMuxQueue::SignedKey(-5), 0, bytes, 1, 0);
  queue.Add(VANTMuxQueue::SignedKey(-5), 0, bytes + 1, 1, 0);
  queue.End();
  EXPECT_EQ(queue.Front().bytes[0], 2);
  EXPECT_EQ(queue.OutOfRunItems(), 1u);
}

// A long steady flow with some disorder: what the queue holds follows what is queued, not how
// much went through it.
TEST(MuxQueue, MemoryFollowsTheQueuedItemsNotTheStreamLength) {
  const uint32_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  constexpr uint32_t kInputs = 4;
  constexpr uint64_t kBufferCount = 500;
  VANTMuxQueue queue;
  queue.Reset(kInputs, VANTMuxQueue::Ties::kOldestFirst);
  std::vector<uint8_t> element(256 * 1600);
  std::vector<int64_t> clock(kInputs, 0);
  size_t peakQueuedBytes = 0;
  size_t queuedBytes = 0;
  size_t heldAtQuarter = 0;
  constexpr int kElements = 8000;
  for (int e = 0; e < kElements; ++e) {
    // The input furthest behind, as the multiplexer's schedule picks it.
    const auto input =
        static_cast<uint32_t>(std::min_element(clock.begin(), clock.end()) - clock.begin());
    queue.Begin(input);
    size_t at = 0;
    const int count = 1 + static_cast<int>(random() % 64);
    for (int k = 0; k < count; ++k) {
      clock[input] += 1 + static_cast<int64_t>(random() % 8);
      const int64_t t =
          random() % 10 == 0 ? clock[input] - static_cast<int64_t>(random() % 200) : clock[input];
      const auto size = static_cast<uint32_t>(random() % 1500);
      at += 24;
      queue.Add(0, static_cast<uint64_t>(std::max<int64_t>(t, 0)), element.data() + at, size, 0);
      at += size;
      queuedBytes += size;
    }
    queue.End();
    peakQueuedBytes = std::max(peakQueuedBytes, queuedBytes);
    while (queue.Size() > kBufferCount) {
      queuedBytes -= queue.Front().size;
      queue.Pop();
    }
    if (e == kElements / 4) {
      heldAtQuarter = queue.HeldBytes();
    }
  }
  const size_t held = queue.HeldBytes();
  EXPECT_LE(held, 2 * heldAtQuarter) << "grew with the stream";
  // Each run's ring at most about four times its input's share, plus the smallest rings.
  EXPECT_LE(held, 4 * (peakQueuedBytes + 64 * (24 + 1500)) + kInputs * 8192 + 64 * 1024);
}

} // namespace
