// Whole pipelines under stress, each bounded to seconds: a multiplexer with 32 sources and tiny
// FIFOs, a pipeline stopped and restarted a hundred times while data flows, the vector
// properties changed while running, readers connected to and detached from live outputs, and a
// slow consumer that makes every writer wait. Every packet is checked by content.

#include "component/mux_test_components.h"
#include "component/vant_sorting_multiplexer.h"
#include "dataflow/vant_fast_io.h"
#include "runtime/vant_property.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using MuxTest::Item;
using MuxTest::Kind;
using MuxTest::Packet;

Packet MakePacket(int source, int sequence, int64_t timestamp) {
  std::string bytes = "s" + std::to_string(source) + "#" + std::to_string(sequence) + ":";
  bytes.resize(bytes.size() + static_cast<size_t>((source * 17 + sequence * 5) % 97), 'y');
  return Packet{static_cast<uint64_t>(timestamp / 1000000),
                static_cast<uint64_t>(timestamp % 1000000), bytes,
                static_cast<uint32_t>(7000 + source)};
}

std::string Key(const Packet& p) {
  return std::to_string(p.Timestamp()) + "/" + std::to_string(p.len2) + "/" + p.bytes;
}

std::vector<Packet> Flatten(const std::vector<ReceivedElement>& elements) {
  std::vector<Packet> packets;
  for (const ReceivedElement& element : elements) {
    packets.insert(packets.end(), element.packets.begin(), element.packets.end());
  }
  return packets;
}

std::multiset<std::string> Keys(const std::vector<Packet>& packets) {
  std::multiset<std::string> keys;
  for (const Packet& p : packets) {
    keys.insert(Key(p));
  }
  return keys;
}

// Sources with random, per-source increasing timestamps: `elements` elements of 1 to
// `maxPerElement` packets each.
struct Traffic {
  std::vector<std::vector<Item>> perSource;
  std::vector<Packet> sent;
};

Traffic RandomTraffic(uint32_t seed, int sources, int elements, int maxPerElement) {
  std::mt19937 random(seed);
  Traffic traffic;
  for (int s = 0; s < sources; ++s) {
    std::vector<Item> items;
    int64_t t = 1000000 + static_cast<int64_t>(random() % 1000);
    int sequence = 0;
    for (int e = 0; e < elements; ++e) {
      Item item;
      const int n = 1 + static_cast<int>(random() % static_cast<uint32_t>(maxPerElement));
      for (int k = 0; k < n; ++k) {
        t += static_cast<int64_t>(random() % 50);
        item.packets.push_back(MakePacket(s, sequence++, t));
      }
      traffic.sent.insert(traffic.sent.end(), item.packets.begin(), item.packets.end());
      items.push_back(std::move(item));
    }
    traffic.perSource.push_back(std::move(items));
  }
  return traffic;
}

class PipelineStress : public MuxFixture {
protected:
  struct Pipeline {
    VANTComponent* mux = nullptr;
    std::vector<TestMuxSource*> sources;
    TestMuxSink* data = nullptr;
    TestMuxSink* eof = nullptr;
  };

  Pipeline Build(const Traffic& traffic, int64_t buffer, int64_t vectorSize, int32_t fifoSize) {
    Pipeline p;
    p.mux = MakeMux("mux", static_cast<int64_t>(traffic.perSource.size()));
    SetInteger("mux.buffer_packet_count", buffer);
    SetInteger("mux.vector_max_size", vectorSize);
    SetInteger("mux.flush_delay", 0);
    SetInteger("mux.output.fifosize", fifoSize);
    for (size_t s = 0; s < traffic.perSource.size(); ++s) {
      const std::string name = "src" + std::to_string(s);
      TestMuxSource* source = MakeSource(name.c_str());
      SetInteger(name + ".data.fifosize", fifoSize);
      source->Configure(Kind::Pcap, traffic.perSource[s], 5000 + static_cast<int64_t>(s));
      ConnectSource(source, p.mux, static_cast<int>(s));
      p.sources.push_back(source);
    }
    std::tie(p.data, p.eof) = SinksFor(p.mux);
    return p;
  }

  void StartInOrder(const Pipeline& p) {
    for (TestMuxSink* sink : {p.data, p.eof}) {
      ASSERT_TRUE(Start(sink));
    }
    host().RunDynamic(p.mux);
    ASSERT_TRUE(Start(p.mux));
    for (TestMuxSource* source : p.sources) {
      ASSERT_TRUE(Start(source));
    }
  }

  bool Finished(const Pipeline& p, std::chrono::milliseconds timeout = 30s) {
    return p.eof->WaitFor(1, timeout) && WaitDead(p.mux, timeout);
  }

  /// What the multiplexer counted as written out of order is what came out of order.
  void ExpectLateItemsCounted(const Pipeline& p) {
    const std::vector<Packet> merged = Flatten(p.data->Received());
    int64_t late = 0;
    for (size_t k = 1; k < merged.size(); ++k) {
      late += merged[k].Timestamp() < merged[k - 1].Timestamp() ? 1 : 0;
    }
    auto* mux = dynamic_cast<vant_sorting_multiplexer*>(p.mux);
    ASSERT_NE(mux, nullptr);
    EXPECT_EQ(mux->WrongOrderCount(), late);
  }

  void ExpectExactlyOnce(const Pipeline& p, const Traffic& traffic) {
    const std::vector<Packet> merged = Flatten(p.data->Received());
    EXPECT_EQ(merged.size(), traffic.sent.size());
    EXPECT_TRUE(Keys(merged) == Keys(traffic.sent)) << "every packet exactly once, intact";
  }
};

// 32 sources, FIFOs of 2 everywhere, random element sizes: the merge completes and every packet
// comes out exactly once, whatever the thread timing.
TEST_F(PipelineStress, ThirtyTwoSourcesThroughTinyFifos) {
  const Traffic traffic = RandomTraffic(32, 32, 20, 8);
  Pipeline p = Build(traffic, 64, 32, 2);
  StartInOrder(p);
  ASSERT_TRUE(Finished(p)) << "no end of the merge";
  ExpectExactlyOnce(p, traffic);
  const std::vector<ReceivedElement> out = p.data->Received();
  for (const ReceivedElement& element : out) {
    EXPECT_LE(element.packets.size(), 32u);
    EXPECT_FALSE(element.packets.empty());
  }
}

// A pipeline stopped and started again 100 times while its sources publish: every stop ends
// promptly, every start gets data flowing again, and the last run, left to finish, delivers
// every packet once.
TEST_F(PipelineStress, StopAndRestartAHundredTimesUnderTraffic) {
  const Traffic traffic = RandomTraffic(100, 3, 400, 4);
  Pipeline p = Build(traffic, 16, 8, 4);
  for (int round = 0; round < 100; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    p.data->Clear();
    p.eof->Clear();
    for (size_t s = 0; s < p.sources.size(); ++s) {
      p.sources[s]->Configure(Kind::Pcap, traffic.perSource[s], 5000 + static_cast<int64_t>(s));
    }
    StartInOrder(p);
    if (!p.data->WaitFor(1, 10s)) {
      std::string all;
      for (const std::string& text : Texts()) {
        all += "\n  " + text;
      }
      FAIL() << "no data after a restart; reports:" << all;
    }
    const auto begin = std::chrono::steady_clock::now();
    for (TestMuxSource* source : p.sources) {
      host().StopComponent(source);
    }
    host().StopComponent(p.mux);
    host().StopComponent(p.data);
    host().StopComponent(p.eof);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 5s);
    for (VANTModule* module : std::vector<VANTModule*>{p.mux, p.data, p.eof}) {
      ASSERT_NE(module->State() & VANTModule::kDead, 0u) << module->Name();
    }
    Texts(); // keep the report list short
  }
  p.data->Clear();
  p.eof->Clear();
  for (size_t s = 0; s < p.sources.size(); ++s) {
    p.sources[s]->Configure(Kind::Pcap, traffic.perSource[s], 5000 + static_cast<int64_t>(s));
  }
  StartInOrder(p);
  ASSERT_TRUE(Finished(p));
  ExpectExactlyOnce(p, traffic);
}

// vector_max_size and vector_max_latency change all the time while the merge runs: nothing is
// lost, what the multiplexer counts as written out of order is exactly what came out of order
// (the sources start while it runs, so some may), and no element is larger than the largest
// size set.
TEST_F(PipelineStress, VectorPropertiesChangedWhileRunning) {
  const Traffic traffic = RandomTraffic(7, 4, 600, 6);
  Pipeline p = Build(traffic, 64, 4, 8);
  StartInOrder(p);
  std::mt19937 random(3);
  while (!p.eof->WaitFor(1, 1ms)) {
    SetInteger("mux.vector_max_size", 1 + static_cast<int64_t>(random() % 40));
    SetInteger("mux.vector_max_latency", 1000 + static_cast<int64_t>(random() % 100000));
  }
  ASSERT_TRUE(Finished(p));
  ExpectExactlyOnce(p, traffic);
  ExpectLateItemsCounted(p);
  for (const ReceivedElement& element : p.data->Received()) {
    EXPECT_LE(element.packets.size(), 40u);
  }
}

// Taps are connected to and detached from the multiplexer's output and the sources' outputs
// while data flows: the main path is untouched (every packet once, lateness accounted for).
TEST_F(PipelineStress, ReadersConnectedAndDetachedWhileDataFlows) {
  const Traffic traffic = RandomTraffic(9, 3, 500, 5);
  Pipeline p = Build(traffic, 48, 16, 8);
  std::vector<TestMuxSink*> taps;
  for (int k = 0; k < 3; ++k) {
    taps.push_back(MakeSink(("tap" + std::to_string(k)).c_str()));
    ASSERT_TRUE(Start(taps.back()));
  }
  StartInOrder(p);
  std::vector<VANTOutput*> tapped = {p.mux->Output("output"), p.sources[0]->Data(),
                                     p.sources[1]->Data()};
  int cycles = 0;
  while (!p.eof->WaitFor(1, 1ms) && cycles < 2000) {
    for (size_t k = 0; k < taps.size(); ++k) {
      ASSERT_TRUE(Connect(tapped[k], taps[k]->In()));
    }
    std::this_thread::sleep_for(200us);
    for (TestMuxSink* tap : taps) {
      host().DisconnectInput(tap->In());
    }
    ++cycles;
  }
  ASSERT_TRUE(Finished(p));
  ExpectExactlyOnce(p, traffic);
  ExpectLateItemsCounted(p);
  EXPECT_GT(cycles, 0);
  for (TestMuxSink* tap : taps) {
    EXPECT_EQ(tap->State() & VANTModule::kError, 0u);
  }
}

// A slow consumer: the multiplexer's output FIFO fills, the multiplexer waits for it, the
// sources wait for the multiplexer. Nothing is lost and nothing is overwritten.
TEST_F(PipelineStress, ASlowConsumerMakesEveryWriterWait) {
  const Traffic traffic = RandomTraffic(5, 4, 150, 4);
  Pipeline p = Build(traffic, 16, 2, 2);
  p.data->SetDelay(std::chrono::microseconds(300));
  StartInOrder(p);
  ASSERT_TRUE(Finished(p, 60s));
  ExpectExactlyOnce(p, traffic);
  for (VANTOutput* output : {p.mux->Output("output")}) {
    EXPECT_EQ(host().OverrunCount(output), 0u) << "a writer overwrote an unread sample";
  }
}

} // namespace
