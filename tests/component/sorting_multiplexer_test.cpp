// The sorting multiplexer run by the test host with real threads: test sources publish PCAP
// batches, Record96B vectors or byte vectors, the multiplexer merges them, test sinks keep copies
// of what comes out.
#include "component/vant_sorting_multiplexer.h"
#include "dataflow/vant_fast_io.h"
#include "dataflow/vant_output.h"
#include "host/host_clock.h"
#include "mux_test_components.h"
#include "runtime/vant_property.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <map>
#include <random>
#include <thread>

namespace {

using MuxTest::Item;
using MuxTest::Kind;
using MuxTest::Packet;

constexpr const char* kPrefix = "component mux: ";

// A packet whose bytes name its source and sequence, of a length that varies with both.
Packet MakePacket(int source, int sequence, int64_t timestamp) {
  std::string bytes = "s" + std::to_string(source) + "#" + std::to_string(sequence) + ":";
  bytes.resize(bytes.size() + static_cast<size_t>((source * 13 + sequence * 7) % 61), 'x');
  return Packet{static_cast<uint64_t>(timestamp / 1000000),
                static_cast<uint64_t>(timestamp % 1000000), bytes,
                static_cast<uint32_t>(1000 + source)};
}

// Elements of `perElement` packets with the given timestamps, in order.
std::vector<Item> PcapItems(int source, const std::vector<int64_t>& stamps, size_t perElement) {
  std::vector<Item> items;
  for (size_t k = 0; k < stamps.size(); ++k) {
    if (k % perElement == 0) {
      items.emplace_back();
    }
    items.back().packets.push_back(MakePacket(source, static_cast<int>(k), stamps[k]));
  }
  return items;
}

std::vector<Packet> Flatten(const std::vector<ReceivedElement>& elements) {
  std::vector<Packet> packets;
  for (const ReceivedElement& element : elements) {
    packets.insert(packets.end(), element.packets.begin(), element.packets.end());
  }
  return packets;
}

std::string Key(const Packet& p) {
  return std::to_string(p.Timestamp()) + "/" + std::to_string(p.len2) + "/" + p.bytes;
}

std::multiset<std::string> Keys(const std::vector<Packet>& packets) {
  std::multiset<std::string> keys;
  for (const Packet& p : packets) {
    keys.insert(Key(p));
  }
  return keys;
}

bool Contains(const std::vector<std::string>& texts, const std::string& text) {
  return std::find(texts.begin(), texts.end(), text) != texts.end();
}

int Count(const std::vector<std::string>& texts, const std::string& prefix) {
  return static_cast<int>(std::count_if(
      texts.begin(), texts.end(), [&](const std::string& t) { return t.rfind(prefix, 0) == 0; }));
}

bool SourceDrained(TestMuxSource* source) {
  for (VANTOutput* output : {source->Data(), source->EndOfFile()}) {
    auto* fifo = dynamic_cast<VANTFastIO*>(output->Monitor());
    if (fifo == nullptr || !fifo->AllRead()) {
      return false;
    }
  }
  return true;
}

vant_sorting_multiplexer* AsMux(VANTComponent* component) {
  return dynamic_cast<vant_sorting_multiplexer*>(component);
}

class SortingMultiplexer : public MuxFixture {
protected:
  // A multiplexer "mux" with n PCAP (or other) sources configured with the items, its two
  // sinks, properties set, everything started.
  struct Run {
    VANTComponent* mux = nullptr;
    std::vector<TestMuxSource*> sources;
    TestMuxSink* data = nullptr;
    TestMuxSink* eof = nullptr;
  };

  Run Build(Kind kind, const std::vector<std::vector<Item>>& perSource, int64_t bufferCount,
            int64_t vectorSize, int64_t latency = 100000, int64_t flushDelay = 0,
            bool start = true) {
    Run run;
    run.mux = MakeMux("mux", static_cast<int64_t>(perSource.size()));
    SetInteger("mux.buffer_packet_count", bufferCount);
    SetInteger("mux.vector_max_size", vectorSize);
    SetInteger("mux.vector_max_latency", latency);
    SetInteger("mux.flush_delay", flushDelay);
    for (size_t s = 0; s < perSource.size(); ++s) {
      TestMuxSource* source = MakeSource(("src" + std::to_string(s)).c_str());
      source->Configure(kind, perSource[s], 1000 + static_cast<int64_t>(s));
      ConnectSource(source, run.mux, static_cast<int>(s));
      run.sources.push_back(source);
    }
    std::tie(run.data, run.eof) = SinksFor(run.mux);
    if (start) {
      StartAll({run.data, run.eof}, run.sources, {run.mux});
    }
    return run;
  }

  // Waits for the end-of-file event and for the multiplexer to end its own run.
  void Finish(const Run& run) {
    ASSERT_TRUE(run.eof->WaitFor(1)) << "no end_of_file event; reports: " << AllTexts();
    ASSERT_TRUE(WaitDead(run.mux))
        << "the multiplexer did not end its run; reports: " << AllTexts();
  }

  std::string AllTexts() {
    std::string all;
    for (const std::string& text : Texts()) {
      all += "\n  " + text;
    }
    return all;
  }
};

// ---- Merging ------------------------------------------------------------------------------------

TEST_F(SortingMultiplexer, FourPcapSourcesMergeIntoOneOrderedStreamWithEveryPacketOnce) {
  // Interleaved timestamps with ties between sources; 12 elements of 8 packets per source.
  std::vector<std::vector<Item>> perSource;
  std::vector<Packet> sent;
  for (int s = 0; s < 4; ++s) {
    std::vector<int64_t> stamps;
    for (int k = 0; k < 96; ++k) {
      stamps.push_back(5000000 + k * 40 + (s % 2) * 10 + (k % 5 == 0 ? 0 : s * 3));
    }
    perSource.push_back(PcapItems(s, stamps, 8));
    for (const Item& item : perSource.back()) {
      sent.insert(sent.end(), item.packets.begin(), item.packets.end());
    }
  }
  // (sources - 1) x packets per element: enough for an exact merge of sorted sources.
  Run run = Build(Kind::Pcap, perSource, 24, 16);
  Finish(run);

  const std::vector<ReceivedElement> out = run.data->Received();
  const std::vector<Packet> merged = Flatten(out);
  EXPECT_EQ(Keys(merged), Keys(sent)) << "every packet exactly once, bytes and len2 intact";
  for (size_t k = 1; k < merged.size(); ++k) {
    ASSERT_LE(merged[k - 1].Timestamp(), merged[k].Timestamp()) << "at packet " << k;
  }
  for (const ReceivedElement& element : out) {
    EXPECT_TRUE(element.pcap);
    EXPECT_EQ(element.linkType, 1u);
    EXPECT_EQ(element.headerSize, 24);
    EXPECT_EQ(element.vectorSize, 49);
    EXPECT_TRUE(element.offsetsMatch);
    ASSERT_FALSE(element.packets.empty()) << "an empty element was published";
    EXPECT_LE(element.packets.size(), 16u);
    EXPECT_EQ(element.timestamp, element.packets.front().Timestamp());
  }
  EXPECT_EQ(AsMux(run.mux)->WrongOrderCount(), 0);
  const std::vector<std::string> texts = Texts();
  EXPECT_EQ(Count(texts, std::string(kPrefix) + "The signal with the timestamp"), 0);
  EXPECT_TRUE(Contains(texts, std::string(kPrefix) + "Flush Delay reached"));
  EXPECT_TRUE(Contains(texts, std::string(kPrefix) + "Flushing queue"));
  EXPECT_TRUE(Contains(texts, std::string(kPrefix) + "Finished writing"));
}

TEST_F(SortingMultiplexer, SeededRandomSourcesMatchAStableSortOfEverything) {
  for (const uint32_t seed : {11u, 2024u, 777u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    std::vector<std::vector<Item>> perSource;
    std::vector<Packet> sent;
    for (int s = 0; s < 3; ++s) {
      std::vector<Item> items;
      int64_t t = 1000000;
      int sequence = 0;
      for (int e = 0; e < 10; ++e) {
        Item item;
        const int n = 1 + static_cast<int>(random() % 12);
        for (int k = 0; k < n; ++k) {
          t += static_cast<int64_t>(random() % 3) * 5; // many equal timestamps
          item.packets.push_back(MakePacket(s, sequence++, t));
        }
        sent.insert(sent.end(), item.packets.begin(), item.packets.end());
        items.push_back(std::move(item));
      }
      perSource.push_back(std::move(items));
    }
    Run run = Build(Kind::Pcap, perSource, 2 * 12, 1 + static_cast<int64_t>(random() % 20));
    Finish(run);
    const std::vector<Packet> merged = Flatten(run.data->Received());
    std::vector<Packet> expected = sent;
    std::stable_sort(expected.begin(), expected.end(), [](const Packet& a, const Packet& b) {
      return a.Timestamp() < b.Timestamp();
    });
    // `sent` lists the packets by input, then in the order each input sends them: a stable
    // sort by time gives the order of equal times too (input index, then arrival).
    ASSERT_EQ(merged.size(), expected.size());
    for (size_t k = 0; k < merged.size(); ++k) {
      ASSERT_EQ(Key(merged[k]), Key(expected[k])) << "at packet " << k;
    }
    EXPECT_EQ(AsMux(run.mux)->WrongOrderCount(), 0);
    TearDown();
    SetUp();
  }
}

TEST_F(SortingMultiplexer, RecordVectorsAreSortedRecordByRecord) {
  std::vector<std::vector<Item>> perSource(3);
  size_t total = 0;
  for (int s = 0; s < 3; ++s) {
    for (int e = 0; e < 6; ++e) {
      Item item;
      for (int r = 0; r < 5; ++r) {
        item.records.push_back(10000 + (e * 5 + r) * 30 + s * 7);
      }
      total += item.records.size();
      perSource[s].push_back(item);
    }
  }
  Run run = Build(Kind::Records, perSource, 10, 8);
  Finish(run);
  std::vector<int64_t> stamps;
  std::multiset<std::string> records;
  for (const ReceivedElement& element : run.data->Received()) {
    EXPECT_EQ(element.flags & 0xFFFFFFFFu, VANT::TypeCode::Record96B);
    ASSERT_EQ(element.bytes.size(), static_cast<size_t>(element.vectorSize) * 96);
    ASSERT_GE(element.vectorSize, 1);
    EXPECT_LE(element.vectorSize, 8);
    for (int r = 0; r < element.vectorSize; ++r) {
      const std::string record = element.bytes.substr(static_cast<size_t>(r) * 96, 96);
      int64_t t;
      std::memcpy(&t, record.data() + 8, 8);
      if (r == 0) {
        EXPECT_EQ(element.timestamp, t);
      }
      stamps.push_back(t);
      records.insert(record);
    }
  }
  ASSERT_EQ(stamps.size(), total);
  EXPECT_EQ(records.size(), total);
  EXPECT_TRUE(std::is_sorted(stamps.begin(), stamps.end()));
  // Each record went through unchanged: its filler bytes still follow from its tag and sequence.
  for (const std::string& record : records) {
    uint32_t tag;
    uint32_t sequence;
    int64_t t;
    std::memcpy(&tag, record.data(), 4);
    std::memcpy(&sequence, record.data() + 4, 4);
    std::memcpy(&t, record.data() + 8, 8);
    EXPECT_EQ(record, MuxTest::MakeRecord(tag, sequence, t));
  }
}

TEST_F(SortingMultiplexer, OtherElementsAreCopiedWholeAndWrittenOneByOne) {
  std::vector<std::vector<Item>> perSource(2);
  std::map<int64_t, std::string> expected;
  for (int s = 0; s < 2; ++s) {
    for (int e = 0; e < 8; ++e) {
      Item item;
      item.timestamp = 700000 + e * 100 + s * 50;
      item.bytes = "element " + std::to_string(s) + "." + std::to_string(e) +
                   std::string(static_cast<size_t>(e * 3), '*');
      expected[item.timestamp] = item.bytes;
      perSource[s].push_back(item);
    }
  }
  Run run = Build(Kind::Bytes, perSource, 4, 1);
  Finish(run);
  const std::vector<ReceivedElement> out = run.data->Received();
  ASSERT_EQ(out.size(), expected.size());
  auto it = expected.begin();
  for (const ReceivedElement& element : out) {
    EXPECT_EQ(element.timestamp, it->first);
    EXPECT_EQ(element.bytes, it->second);
    EXPECT_EQ(element.vectorSize, static_cast<int32_t>(it->second.size()));
    EXPECT_EQ(element.flags, VANT::TypeCode::UnsignedInteger8 | VANT::VectorFlag);
    ++it;
  }
  EXPECT_EQ(AsMux(run.mux)->InputKind(), vant_sorting_multiplexer::kOther);
}

// ---- Ties -------------------------------------------------------------------------------------

// Equal timestamps leave by input index, whatever the order in which the inputs were read, so
// that the output never depends on thread timing; within one input, packets leave in the order
// they were read, records and other elements newest first. Input 0 carries items a and b at time
// 5; input 1 carries c at time 5, after d at time 1 in the second arrangement. The schedule reads
// input 1 first (c before a and b in the first arrangement, d, a, c, b in the second).
TEST_F(SortingMultiplexer, EqualTimestampsLeaveByInputIndexThenByTheirInputsOwnRule) {
  const struct {
    Kind kind;
    bool earlyD;
    const char* expected;
  } cases[] = {
      {Kind::Pcap, false, "abc"},    {Kind::Pcap, true, "dabc"},  {Kind::Records, false, "bac"},
      {Kind::Records, true, "dbac"}, {Kind::Bytes, false, "bac"}, {Kind::Bytes, true, "dbac"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("expected ") + c.expected);
    // One item per letter; a and b share an element except for byte elements.
    const auto item = [&](const std::string& letters, int64_t t) {
      Item it;
      for (const char letter : letters) {
        it.packets.push_back(Packet{0, static_cast<uint64_t>(t), std::string(1, letter), 0});
        it.records.push_back(t);
      }
      it.bytes = letters;
      it.timestamp = c.kind == Kind::Bytes ? t : 0;
      return it;
    };
    std::vector<std::vector<Item>> perSource(2);
    perSource[0] = c.kind == Kind::Bytes ? std::vector<Item>{item("a", 5), item("b", 5)}
                                         : std::vector<Item>{item("ab", 5)};
    if (c.earlyD) {
      perSource[1].push_back(item("d", 1));
    }
    perSource[1].push_back(item("c", 5));
    Run run = Build(c.kind, perSource, 10, 10);
    Finish(run);
    // Records are told apart by their sequence number: the element index x 1000 + position.
    const auto letterOf = [&](int source, uint32_t sequence) {
      if (source == 0) {
        return sequence == 1 ? 'b' : 'a';
      }
      return c.earlyD && sequence == 0 ? 'd' : 'c';
    };
    const uint32_t tag0 = static_cast<uint32_t>(std::hash<std::string>{}("src0") & 0xFFFF);
    std::string order;
    for (const ReceivedElement& element : run.data->Received()) {
      if (c.kind == Kind::Pcap) {
        for (const Packet& p : element.packets) {
          order += p.bytes;
        }
      } else if (c.kind == Kind::Records) {
        for (int k = 0; k < element.vectorSize; ++k) {
          uint32_t tag;
          uint32_t sequence;
          std::memcpy(&tag, element.bytes.data() + 96 * k, 4);
          std::memcpy(&sequence, element.bytes.data() + 96 * k + 4, 4);
          order += letterOf(tag == tag0 ? 0 : 1, sequence);
        }
      } else {
        order += element.bytes;
      }
    }
    EXPECT_EQ(order, c.expected);
    TearDown();
    SetUp();
  }
}

// ---- Output vectors ---------------------------------------------------------------------------

TEST_F(SortingMultiplexer, VectorsAreCutByCount) {
  std::vector<int64_t> stamps;
  for (int k = 0; k < 10; ++k) {
    stamps.push_back(2000000 + k);
  }
  Run run = Build(Kind::Pcap, {PcapItems(0, stamps, 10)}, 100, 4);
  Finish(run);
  std::vector<size_t> sizes;
  for (const ReceivedElement& element : run.data->Received()) {
    sizes.push_back(element.packets.size());
  }
  EXPECT_EQ(sizes, (std::vector<size_t>{4, 4, 2}));
}

TEST_F(SortingMultiplexer, VectorsAreCutByLatencyAndTheLimitItselfStillJoins) {
  const int64_t base = 2000000;
  const std::vector<int64_t> stamps = {base,        base + 500,  base + 1000, base + 1001,
                                       base + 1500, base + 2001, base + 2002};
  Run run = Build(Kind::Pcap, {PcapItems(0, stamps, 7)}, 100, 100, 1000);
  Finish(run);
  std::vector<std::vector<int64_t>> groups;
  std::vector<int64_t> firsts;
  for (const ReceivedElement& element : run.data->Received()) {
    groups.emplace_back();
    for (const Packet& p : element.packets) {
      groups.back().push_back(p.Timestamp() - base);
    }
    firsts.push_back(element.timestamp - base);
  }
  EXPECT_EQ(groups,
            (std::vector<std::vector<int64_t>>{{0, 500, 1000}, {1001, 1500, 2001}, {2002}}));
  EXPECT_EQ(firsts, (std::vector<int64_t>{0, 1001, 2002}));
}

TEST_F(SortingMultiplexer, AVectorSizeChangedWhileRunningAppliesFromTheNextCycle) {
  std::vector<Item> items = PcapItems(0, {10, 11, 12, 13, 14, 15}, 6);
  std::vector<Item> more = PcapItems(0, {16}, 1);
  items.push_back(more[0]);
  Run run = Build(Kind::Pcap, {items}, 0, 2, 100000, 0, false);
  run.sources[0]->SetLimit(1);
  StartAll({run.data, run.eof}, {}, {});
  host().RunDynamic(run.mux);
  Start(run.sources[0]);
  Start(run.mux);
  ASSERT_TRUE(run.data->WaitFor(1)); // one read, one element of at most 2 packets
  SetInteger("mux.vector_max_size", 3);
  run.sources[0]->SetLimit(2);
  Finish(run);
  std::vector<size_t> sizes;
  for (const ReceivedElement& element : run.data->Received()) {
    sizes.push_back(element.packets.size());
  }
  EXPECT_EQ(sizes, (std::vector<size_t>{2, 3, 2}));
}

TEST_F(SortingMultiplexer, OnePcapElementNeverHoldsMoreThan65535Packets) {
  std::vector<Item> items;
  for (int e = 0; e < 17; ++e) {
    Item item;
    for (int k = 0; k < 4096; ++k) {
      item.packets.push_back(Packet{1, static_cast<uint64_t>(e * 4096 + k), "p", 0});
    }
    items.push_back(std::move(item));
  }
  Run run = Build(Kind::Pcap, {items}, 100000, 100000, 1000000000);
  Finish(run);
  std::vector<size_t> sizes;
  for (const ReceivedElement& element : run.data->Received()) {
    sizes.push_back(element.packets.size());
  }
  EXPECT_EQ(sizes, (std::vector<size_t>{65535, 17 * 4096 - 65535}));
  // The first element's packet buffer grew far beyond its initial 128 KiB: its header must point
  // at the moved allocation.
  const std::vector<Packet> merged = Flatten(run.data->Received());
  ASSERT_EQ(merged.size(), 17u * 4096);
  for (size_t k = 0; k < merged.size(); ++k) {
    ASSERT_EQ(merged[k].Timestamp(), 1000000 + static_cast<int64_t>(k)) << "at packet " << k;
    ASSERT_EQ(merged[k].bytes, "p");
  }
}

TEST_F(SortingMultiplexer, OneRecordElementNeverHoldsMoreThan256Records) {
  Item item;
  for (int r = 0; r < 200; ++r) {
    item.records.push_back(100 + r);
  }
  Run run = Build(Kind::Records, {{item, item, item}}, 1000, 1000, 1000000000);
  Finish(run);
  std::vector<int32_t> sizes;
  for (const ReceivedElement& element : run.data->Received()) {
    sizes.push_back(element.vectorSize);
  }
  EXPECT_EQ(sizes, (std::vector<int32_t>{256, 256, 88}));
}

// ---- Order: schedule and wrong-order counting ---------------------------------------------------

// With no reordering buffer, each read goes out at once, so the output shows the read order: the
// input whose last item is oldest is read next (input 1 first, since the schedule starts with
// the highest index).
TEST_F(SortingMultiplexer, TheScheduleReadsTheInputFurthestBehind) {
  std::vector<std::vector<Item>> perSource = {PcapItems(0, {10, 20, 30}, 1),
                                              PcapItems(1, {15, 25}, 1)};
  Run run = Build(Kind::Pcap, perSource, 0, 1);
  Finish(run);
  std::vector<int64_t> order;
  for (const Packet& p : Flatten(run.data->Received())) {
    order.push_back(p.Timestamp());
  }
  EXPECT_EQ(order, (std::vector<int64_t>{15, 10, 20, 25, 30}));
  EXPECT_EQ(AsMux(run.mux)->WrongOrderCount(), 1);
  EXPECT_EQ(AsMux(run.mux)->MaxTimeJump(), -5);
}

TEST_F(SortingMultiplexer, LateItemsAreWrittenCountedAndReported) {
  Item early;
  early.packets = {MakePacket(0, 0, 10000), MakePacket(0, 1, 20000)};
  Item late;
  late.packets = {MakePacket(0, 2, 7500)};
  Run run = Build(Kind::Pcap, {{early, late}}, 0, 1);
  Finish(run);
  std::vector<int64_t> order;
  for (const Packet& p : Flatten(run.data->Received())) {
    order.push_back(p.Timestamp());
  }
  EXPECT_EQ(order, (std::vector<int64_t>{10000, 7500, 20000})) << "the late packet is kept";
  const std::vector<std::string> errors = Texts(2);
  EXPECT_TRUE(Contains(errors, std::string(kPrefix) +
                                   "The signal with the timestamp 7.5 ms has wrong order!"));
  EXPECT_EQ(Count(errors, std::string(kPrefix) + "The signal with the timestamp"), 1);
  EXPECT_TRUE(Contains(errors, std::string(kPrefix) +
                                   "Wrong order count: 1 (maximum time-jump: -2.5 ms). Please, "
                                   "adjust buffer size!"));
}

// ---- End of file and flush --------------------------------------------------------------------

// With every end-of-file timestamp at 0 or below the event used to carry (0, 0): a chained
// multiplexer reads the value 0 as "not finished" and never flushes.
TEST_F(SortingMultiplexer, EndOfFileCarriesTheLatestSourceAndTheLowestIndexOnTies) {
  const struct {
    int64_t stamps[3];
    int64_t expectedStamp;
  } cases[] = {{{500, 900, 900}, 900}, {{-20, -10, -10}, -10}};
  for (const auto& c : cases) {
    SCOPED_TRACE("expected " + std::to_string(c.expectedStamp));
    std::vector<std::vector<Item>> perSource = {PcapItems(0, {100}, 1), PcapItems(1, {200}, 1),
                                                PcapItems(2, {300}, 1)};
    Run run = Build(Kind::Pcap, perSource, 10, 10, 100000, 0, false);
    for (int s = 0; s < 3; ++s) {
      run.sources[s]->Configure(Kind::Pcap, perSource[s], c.stamps[s], 7 + s);
    }
    StartAll({run.data, run.eof}, run.sources, {run.mux});
    Finish(run);
    const std::vector<ReceivedElement> events = run.eof->Received();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].timestamp, c.expectedStamp);
    EXPECT_EQ(events[0].value, 8);
    const auto& table = AsMux(run.mux)->EndOfFileTable();
    ASSERT_EQ(table.size(), 3u);
    for (int s = 0; s < 3; ++s) {
      EXPECT_EQ(table[s], (std::pair<int64_t, int64_t>{c.stamps[s], 7 + s}));
    }
    TearDown();
    SetUp();
  }
}

// Source 1 ends with value 0 (not the end yet); or every source ends but the flush delay is the
// largest there is, which used to overflow the deadline and flush at once.
TEST_F(SortingMultiplexer, NoFlushUntilEverySourceEndedPositivelyAndTheDelayPassed) {
  const struct {
    int64_t secondValue;
    int64_t flushDelay;
  } cases[] = {{0, 0}, {1, std::numeric_limits<int64_t>::max()}};
  for (const auto& c : cases) {
    SCOPED_TRACE("flush delay " + std::to_string(c.flushDelay));
    std::vector<std::vector<Item>> perSource = {PcapItems(0, {100}, 1), PcapItems(1, {200}, 1)};
    Run run = Build(Kind::Pcap, perSource, 10, 10, 100000, c.flushDelay, false);
    run.sources[1]->Configure(Kind::Pcap, perSource[1], 900, c.secondValue);
    StartAll({run.data, run.eof}, run.sources, {run.mux});
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(run.eof->Received().empty());
    EXPECT_TRUE(run.data->Received().empty()) << "both packets stay in the reordering buffer";
    host().StopComponent(run.mux);
    const std::vector<std::string> warnings = Texts(1);
    EXPECT_TRUE(
        Contains(warnings, std::string(kPrefix) + "2 data were still in the buffer and got lost "));
    EXPECT_TRUE(run.data->Received().empty()) << "Death writes nothing";
    TearDown();
    SetUp();
  }
}

// Engine time stands still (stepped clock) while the test moves it across the flush delay.
TEST_F(SortingMultiplexer, FlushWaitsForTheFlushDelayOfEngineTime) {
  HostClock& clock = host().Clock();
  clock.SetStepped(true);
  std::vector<std::vector<Item>> perSource = {PcapItems(0, {100, 300}, 1), PcapItems(1, {200}, 1)};
  Run run = Build(Kind::Pcap, perSource, 10, 10, 100000, 1000000);
  // Every element read (the multiplexer gives each back once copied into its queue).
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (TestMuxSource* source : run.sources) {
    while (!(source->Done() && SourceDrained(source)) &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(run.eof->Received().empty());
  clock.Step(1000000); // now == last end-of-file issue + delay: not beyond it yet
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(run.eof->Received().empty()) << "flushed before the delay had passed";
  EXPECT_TRUE(run.data->Received().empty());
  clock.Step(1);
  ASSERT_TRUE(run.eof->WaitFor(1));
  clock.Restore();
  ASSERT_TRUE(WaitDead(run.mux));
  EXPECT_EQ(Flatten(run.data->Received()).size(), 3u);
  const std::vector<std::string> info = Texts(0);
  const auto at = [&](const char* text) {
    return std::find(info.begin(), info.end(), std::string(kPrefix) + text) - info.begin();
  };
  EXPECT_LT(at("Flush Delay reached"), at("Flushing queue"));
  EXPECT_LT(at("Flushing queue"), at("Finished writing"));
  EXPECT_LT(at("Finished writing"), static_cast<long>(info.size()));
}

// ---- Topologies and life cycle ------------------------------------------------------------------

TEST_F(SortingMultiplexer, TwoMultiplexersChain) {
  VANTComponent* first = MakeMux("first", 2);
  VANTComponent* second = MakeMux("second", 2);
  // The second one's input_0 fills only as fast as the first one writes: it holds everything
  // until the flush, so that its order does not depend on thread timing.
  SetInteger("first.buffer_packet_count", 16);
  SetInteger("second.buffer_packet_count", 1000);
  for (const char* name : {"first", "second"}) {
    SetInteger(std::string(name) + ".vector_max_size", 4);
    SetInteger(std::string(name) + ".flush_delay", 0);
  }
  std::vector<Packet> sent;
  std::vector<TestMuxSource*> sources;
  for (int s = 0; s < 3; ++s) {
    std::vector<int64_t> stamps;
    for (int k = 0; k < 40; ++k) {
      stamps.push_back(100000 + k * 30 + s * 10);
    }
    std::vector<Item> items = PcapItems(s, stamps, 5);
    for (const Item& item : items) {
      sent.insert(sent.end(), item.packets.begin(), item.packets.end());
    }
    TestMuxSource* source = MakeSource(("src" + std::to_string(s)).c_str());
    source->Configure(Kind::Pcap, items, 5000 + s);
    sources.push_back(source);
  }
  ConnectSource(sources[0], first, 0);
  ConnectSource(sources[1], first, 1);
  Connect(first->Output("output"), second->Input("input_0"));
  Connect(first->Output("end_of_file"), second->Input("iEndOfFile_0"));
  ConnectSource(sources[2], second, 1);
  auto [data, eof] = SinksFor(second);
  host().RunDynamic(first); // types first.output before second looks at it
  StartAll({data, eof}, sources, {first, second});
  ASSERT_TRUE(eof->WaitFor(1));
  ASSERT_TRUE(WaitDead(second));
  const std::vector<Packet> merged = Flatten(data->Received());
  EXPECT_EQ(Keys(merged), Keys(sent));
  for (size_t k = 1; k < merged.size(); ++k) {
    ASSERT_LE(merged[k - 1].Timestamp(), merged[k].Timestamp()) << "at packet " << k;
  }
  ASSERT_EQ(eof->Received().size(), 1u);
  EXPECT_EQ(eof->Received()[0].timestamp, 5002);
  EXPECT_EQ(AsMux(second)->InputKind(), vant_sorting_multiplexer::kPcap);
}

// The downstream multiplexer starts while the upstream ones still have the any-type word on
// their outputs, which passes every kind's test: it used to take records or byte vectors for
// PCAP headers and follow pointers read from their bytes. It now takes the kind from the first
// element it reads and refuses an element of another type.
TEST_F(SortingMultiplexer, AChainStartedDownstreamFirstTakesItsKindFromTheFirstElement) {
  const struct {
    Kind kinds[2];
    uint32_t expectedKind;
  } cases[] = {
      {{Kind::Records, Kind::Records}, vant_sorting_multiplexer::kRecords},
      {{Kind::Pcap, Kind::Pcap}, vant_sorting_multiplexer::kPcap},
      {{Kind::Bytes, Kind::Bytes}, vant_sorting_multiplexer::kOther},
      {{Kind::Records, Kind::Pcap}, 99}, // refused, whichever comes first
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("expected kind " + std::to_string(c.expectedKind));
    VANTComponent* second = MakeMux("second", 2);
    SetInteger("second.buffer_packet_count", 1000);
    SetInteger("second.vector_max_size", 100);
    SetInteger("second.flush_delay", 0);
    std::vector<TestMuxSource*> sources;
    std::vector<VANTComponent*> upstream;
    for (int u = 0; u < 2; ++u) {
      const std::string name = "up" + std::to_string(u);
      VANTComponent* up = MakeMux(name.c_str(), 1); // Dynamic runs now: nothing connected yet
      SetInteger(name + ".buffer_packet_count", 0);
      SetInteger(name + ".flush_delay", 0);
      std::vector<Item> items;
      for (int e = 0; e < 3; ++e) {
        const int64_t t = 100 + 200 * e + 100 * u;
        Item item;
        item.packets = {MakePacket(u, e, t)};
        item.records = {t};
        item.bytes = "element " + std::to_string(t);
        item.timestamp = c.kinds[u] == Kind::Bytes ? t : 0;
        items.push_back(std::move(item));
      }
      TestMuxSource* source = MakeSource(("src" + std::to_string(u)).c_str());
      source->Configure(c.kinds[u], items, 1000 + u);
      ConnectSource(source, up, 0);
      Connect(up->Output("output"), second->Input(("input_" + std::to_string(u)).c_str()));
      Connect(up->Output("end_of_file"),
              second->Input(("iEndOfFile_" + std::to_string(u)).c_str()));
      sources.push_back(source);
      upstream.push_back(up);
    }
    auto [data, eof] = SinksFor(second);
    Start(data);
    Start(eof);
    host().RunDynamic(second);
    Start(second);
    StartAll({}, sources, upstream);
    ASSERT_TRUE(WaitDead(second)) << AllTexts();
    if (c.expectedKind > vant_sorting_multiplexer::kOther) {
      EXPECT_TRUE(
          Contains(Texts(2), std::string("component second: ") + VANT::MuxText::kNotConnected))
          << AllTexts();
      EXPECT_TRUE(eof->Received().empty());
    } else {
      EXPECT_EQ(AsMux(second)->InputKind(), c.expectedKind);
      EXPECT_EQ(Texts(2), std::vector<std::string>{});
      ASSERT_EQ(eof->Received().size(), 1u);
      std::vector<int64_t> stamps;
      for (const ReceivedElement& element : data->Received()) {
        if (c.kinds[0] == Kind::Pcap) {
          for (const Packet& p : element.packets) {
            stamps.push_back(p.Timestamp());
          }
        } else if (c.kinds[0] == Kind::Records) {
          for (int k = 0; k < element.vectorSize; ++k) {
            int64_t t;
            std::memcpy(&t, element.bytes.data() + 96 * k + 8, 8);
            stamps.push_back(t);
          }
        } else {
          EXPECT_EQ(element.bytes, "element " + std::to_string(element.timestamp));
          stamps.push_back(element.timestamp);
        }
      }
      EXPECT_EQ(stamps, (std::vector<int64_t>{100, 200, 300, 400, 500, 600}));
    }
    TearDown();
    SetUp();
  }
}

TEST_F(SortingMultiplexer, ARestartRunsAFreshMerge) {
  std::vector<std::vector<Item>> perSource = {PcapItems(0, {10, 30}, 1), PcapItems(1, {20}, 1)};
  Run run = Build(Kind::Pcap, perSource, 10, 10);
  Finish(run);
  ASSERT_EQ(Flatten(run.data->Received()).size(), 3u);

  for (TestMuxSource* source : run.sources) {
    host().StopComponent(source);
  }
  host().StopComponent(run.mux); // the sinks keep running and reading across the restart
  run.data->Clear();
  run.eof->Clear();
  Texts();
  m_seen.clear();
  run.sources[0]->Configure(Kind::Pcap, PcapItems(0, {5, 6, 7}, 2), 50);
  run.sources[1]->Configure(Kind::Pcap, PcapItems(1, {4}, 1), 40);
  StartAll({}, run.sources, {run.mux});
  Finish(run);
  std::vector<int64_t> order;
  for (const Packet& p : Flatten(run.data->Received())) {
    order.push_back(p.Timestamp());
  }
  EXPECT_EQ(order, (std::vector<int64_t>{4, 5, 6, 7}));
  ASSERT_EQ(run.eof->Received().size(), 1u);
  EXPECT_EQ(run.eof->Received()[0].timestamp, 50);
  EXPECT_EQ(Texts(2), std::vector<std::string>{}) << "no error in the second run";
}

// A stopped run releases the output's buffer; the next start must allocate it again for whatever
// kind the inputs now carry. Used to fail for the other-element kind ("destination is not
// allocated properly", then a buffer overflow) once the output had been allocated in an earlier
// run, whichever kind that run had.
TEST_F(SortingMultiplexer, EveryKindSurvivesRestartsAndKindChangesBetweenRuns) {
  const auto itemsOf = [](Kind kind, int source) {
    std::vector<Item> items;
    for (int e = 0; e < 4; ++e) {
      const int64_t t = 1000 + e * 100 + source * 10;
      Item item;
      item.timestamp = t;
      item.packets = {MakePacket(source, e, t)};
      item.records = {t};
      item.bytes = "run item " + std::to_string(source) + "." + std::to_string(e) +
                   std::string(static_cast<size_t>(e * 5), '#');
      if (kind != Kind::Bytes) {
        item.timestamp = 0;
      }
      items.push_back(std::move(item));
    }
    return items;
  };
  Run run = Build(Kind::Bytes, {itemsOf(Kind::Bytes, 0), itemsOf(Kind::Bytes, 1)}, 2, 4, 100000, 0);
  const Kind sequence[] = {Kind::Bytes, Kind::Bytes,   Kind::Pcap,  Kind::Bytes,
                           Kind::Pcap,  Kind::Records, Kind::Bytes, Kind::Records};
  for (size_t r = 0; r < std::size(sequence); ++r) {
    const Kind kind = sequence[r];
    SCOPED_TRACE("run " + std::to_string(r));
    if (r > 0) {
      for (TestMuxSource* source : run.sources) {
        host().StopComponent(source);
      }
      host().StopComponent(run.mux);
      run.data->Clear();
      run.eof->Clear();
      for (size_t s = 0; s < run.sources.size(); ++s) {
        run.sources[s]->Configure(kind, itemsOf(kind, static_cast<int>(s)), 5000);
      }
      StartAll({}, run.sources, {run.mux});
    }
    Finish(run);
    const std::vector<ReceivedElement> out = run.data->Received();
    std::vector<int64_t> stamps;
    for (const ReceivedElement& element : out) {
      if (kind == Kind::Pcap) {
        for (const Packet& p : element.packets) {
          stamps.push_back(p.Timestamp());
        }
      } else if (kind == Kind::Records) {
        for (int k = 0; k < element.vectorSize; ++k) {
          int64_t t;
          std::memcpy(&t, element.bytes.data() + 96 * k + 8, 8);
          stamps.push_back(t);
        }
      } else {
        EXPECT_EQ(element.bytes.rfind("run item ", 0), 0u) << element.bytes;
        stamps.push_back(element.timestamp);
      }
    }
    EXPECT_EQ(stamps, (std::vector<int64_t>{1000, 1010, 1100, 1110, 1200, 1210, 1300, 1310}));
    EXPECT_EQ(Texts(2), std::vector<std::string>{});
    m_seen.clear();
  }
}

// ---- Refusals -----------------------------------------------------------------------------------

TEST_F(SortingMultiplexer, DataInputsOfDifferentTypesAreRefusedAtBirth) {
  Run run =
      Build(Kind::Pcap, {PcapItems(0, {1}, 1), PcapItems(1, {2}, 1)}, 10, 10, 100000, 0, false);
  Item bytes;
  bytes.timestamp = 5;
  bytes.bytes = "x";
  run.sources[1]->Configure(Kind::Bytes, {bytes}, 10);
  StartAll({run.data, run.eof}, run.sources, {run.mux});
  ASSERT_TRUE(WaitDead(run.mux));
  EXPECT_TRUE(Contains(Texts(2),
                       std::string(kPrefix) + "All inputs have to be connected and of same type!"));
  EXPECT_TRUE(run.data->Received().empty());
}

TEST_F(SortingMultiplexer, OutOfRangePropertiesStopTheRunWithTheirTexts) {
  const struct {
    const char* property;
    int64_t value;
    const char* text;
  } cases[] = {
      {"buffer_packet_count", -1, "buffer_packet_count must be >= 0"},
      {"vector_max_size", 0, "vector_max_size must be >= 1"},
      {"vector_max_latency", 999, "vector_max_latency must be >= 1 ms"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.property);
    Run run = Build(Kind::Pcap, {PcapItems(0, {10, 20}, 1)}, 0, 1, 100000, 0, false);
    SetInteger(std::string("mux.") + c.property, c.value);
    StartAll({run.data, run.eof}, run.sources, {run.mux});
    ASSERT_TRUE(WaitDead(run.mux));
    EXPECT_TRUE(Contains(Texts(2), std::string(kPrefix) + c.text));
    EXPECT_TRUE(run.data->Received().empty()) << "nothing is written with a refused value";
    TearDown();
    SetUp();
  }
}

TEST_F(SortingMultiplexer, AnUnconnectedEndOfFileInputIsRefusedAtBirth) {
  VANTComponent* mux = MakeMux("mux", 1);
  TestMuxSource* source = MakeSource("src0");
  source->Configure(Kind::Pcap, PcapItems(0, {1}, 1), 10);
  Connect(source->Data(), mux->Input("input_0"));
  StartAll({}, {source}, {mux});
  ASSERT_TRUE(WaitDead(mux));
  EXPECT_TRUE(Contains(Texts(2),
                       std::string(kPrefix) + "All inputs have to be connected and of same type!"));
}

TEST_F(SortingMultiplexer, DifferentLinkTypesAreRefused) {
  std::vector<std::vector<Item>> perSource = {PcapItems(0, {10}, 1), PcapItems(1, {20}, 1)};
  perSource[1][0].linkType = 113;
  Run run = Build(Kind::Pcap, perSource, 10, 10);
  ASSERT_TRUE(WaitDead(run.mux));
  EXPECT_TRUE(Contains(Texts(2), std::string(kPrefix) + "Cannot multiplex different link_types!"));
  EXPECT_NE(run.mux->State() & VANTModule::kError, 0u);
  EXPECT_TRUE(run.eof->Received().empty());
}

TEST_F(SortingMultiplexer, AnElementWithoutRoomForItsPacketDataIsRefusedAfterTheGoodPackets) {
  Item item;
  item.packets = {MakePacket(0, 0, 10), MakePacket(0, 1, 20), MakePacket(0, 2, 30)};
  item.dataSizeDelta = -1;
  Run run = Build(Kind::Pcap, {{item}}, 10, 10);
  ASSERT_TRUE(WaitDead(run.mux));
  const std::vector<std::string> texts = Texts();
  EXPECT_TRUE(Contains(texts, std::string(kPrefix) + VANT::kPcapNoRoomForData));
  EXPECT_TRUE(
      Contains(texts, std::string(kPrefix) + "2 data were still in the buffer and got lost "))
      << "the packets read before the fault stay queued until Death";
}

// Used to be dropped without a word.
TEST_F(SortingMultiplexer, AnElementTooSmallForItsPcapHeaderIsRefused) {
  Run run =
      Build(Kind::Pcap, {PcapItems(0, {10}, 1), PcapItems(1, {20}, 1)}, 10, 10, 100000, 0, false);
  run.sources[1]->SetPcapElementSize(48);
  StartAll({run.data, run.eof}, run.sources, {run.mux});
  ASSERT_TRUE(WaitDead(run.mux));
  const std::vector<std::string> texts = Texts();
  EXPECT_TRUE(Contains(texts, std::string(kPrefix) + VANT::MuxText::kPcapNoHeader));
  EXPECT_NE(run.mux->State() & VANTModule::kError, 0u);
  EXPECT_TRUE(run.eof->Received().empty());
}

TEST_F(SortingMultiplexer, AnElementWithoutRoomForAPacketHeaderIsRefused) {
  Item item;
  item.packets = {MakePacket(0, 0, 10)};
  item.packetCount = 2;
  item.dataSizeDelta = 10; // ten bytes more than the packet: less than a header
  Run run = Build(Kind::Pcap, {{item}}, 10, 10);
  ASSERT_TRUE(WaitDead(run.mux));
  const std::vector<std::string> texts = Texts();
  EXPECT_TRUE(Contains(texts, std::string(kPrefix) + VANT::kPcapNoRoomForHeader));
  EXPECT_TRUE(
      Contains(texts, std::string(kPrefix) + "1 data were still in the buffer and got lost "));
}

} // namespace
