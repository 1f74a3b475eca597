// Once its queue has grown to the depth of a steady flow, the multiplexer's thread allocates
// nothing: neither per packet or record nor per element read or written.
#include "component/vant_sorting_multiplexer.h"
#include "mux_test_components.h"
#include "runtime/vant_property.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>

// Every heap allocation of this test program made on one chosen thread is counted. (The replaced
// operators pair malloc with free themselves; the compiler cannot see that through inlining.)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
namespace {
std::atomic<pid_t> g_countedThread{0};
std::atomic<uint64_t> g_allocations{0};
} // namespace

namespace {
void* CountedAllocation(std::size_t size) noexcept {
  static thread_local const pid_t self = gettid();
  if (self == g_countedThread.load(std::memory_order_relaxed)) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
  }
  return std::malloc(size != 0 ? size : 1);
}
} // namespace

void* operator new(std::size_t size) {
  if (void* block = CountedAllocation(size)) {
    return block;
  }
  throw std::bad_alloc();
}
// The non-throwing form too: its blocks come back through the plain delete below, and the
// sanitizers' own form would not pair with free().
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return CountedAllocation(size);
}
void operator delete(void* block) noexcept {
  std::free(block);
}
void operator delete(void* block, const std::nothrow_t&) noexcept {
  std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
  std::free(block);
}

namespace {

using MuxTest::Item;
using MuxTest::Kind;
using MuxTest::Packet;

class MuxSteadyFlow : public MuxFixture, public ::testing::WithParamInterface<Kind> {};

TEST_P(MuxSteadyFlow, TheMultiplexersThreadAllocatesNothing) {
  const Kind kind = GetParam();
  constexpr int kSources = 3;
  constexpr int kItemsPerElement = 32;
  constexpr int64_t kLap = 1000000; // microseconds between two laps of a source's items
  // Deep enough that a source which thread timing holds back (sanitizers slow everything
  // down) seldom falls behind what the others release.
  constexpr int64_t kBufferCount = 12000;
  VANTComponent* mux = MakeMux("mux", kSources);
  SetInteger("mux.buffer_packet_count", kBufferCount);
  SetInteger("mux.vector_max_size", 40);
  SetInteger("mux.flush_delay", 0);
  std::mt19937 random(7);
  std::vector<TestMuxSource*> sources;
  for (int s = 0; s < kSources; ++s) {
    // One lap: 20 elements of 32 items, times rising with a few late ones and ties, sizes
    // varying, so that the queue's runs, its out-of-run heap and its pool all take part.
    std::vector<Item> items;
    int64_t t = 1000 + s;
    for (int e = 0; e < 20; ++e) {
      Item item;
      for (int k = 0; k < kItemsPerElement; ++k) {
        t += static_cast<int64_t>(random() % 2000);
        const int64_t at = random() % 16 == 0 ? t - static_cast<int64_t>(random() % 3000) : t;
        std::string bytes(64 + random() % 1400, static_cast<char>('a' + s));
        item.packets.push_back(Packet{static_cast<uint64_t>(at / 1000000),
                                      static_cast<uint64_t>(at % 1000000), bytes, 0});
        item.records.push_back(at);
      }
      items.push_back(std::move(item));
    }
    ASSERT_LT(t, kLap);
    TestMuxSource* source = MakeSource(("src" + std::to_string(s)).c_str());
    source->Configure(kind, items, 0, 1, false);
    source->SetRepeat(kLap);
    ConnectSource(source, mux, s);
    sources.push_back(source);
  }
  auto [data, eof] = SinksFor(mux);
  data->CountOnly();
  StartAll({data, eof}, sources, {mux}); // every FIFO filled before the merge begins
  const auto waitFor = [&](int64_t items) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (data->Items() < items && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return data->Items() >= items;
  };
  // Warm-up: until the queue has long reached its depth.
  ASSERT_TRUE(waitFor(5 * kBufferCount));
  const auto tid = static_cast<pid_t>(host().FindProperty("mux.primaryThreadID")->Integer());
  ASSERT_GT(tid, 0);
  // A report allocates its text, and the queue grows (doubling) whenever thread timing gives it
  // a new greatest depth, for instance when a source lags behind the others. Steady state is a
  // window of 20000 items without either: with an allocation per item or per element, no window
  // would be free of allocations.
  // A source whose thread a loaded machine holds back for long keeps every window reporting until
  // it has caught up: the windows go on for a while rather than a count.
  std::string windows;
  bool clean = false;
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (int window = 0; !clean && (window < 24 || std::chrono::steady_clock::now() < giveUp);
       ++window) {
    host().TakeReports();
    g_allocations.store(0);
    g_countedThread.store(tid);
    const int64_t from = data->Items();
    ASSERT_TRUE(waitFor(from + 20000)) << "the flow stalled";
    g_countedThread.store(0);
    const uint64_t allocations = g_allocations.load();
    const size_t reports = host().TakeReports().size();
    if (window < 24) {
      windows += " " + std::to_string(allocations) + "/" + std::to_string(reports);
    }
    clean = allocations == 0 && reports == 0;
  }
  EXPECT_TRUE(clean) << "allocations/reports per window:" << windows;
  for (TestMuxSource* source : sources) {
    host().StopComponent(source);
  }
  host().StopComponent(mux);
}

INSTANTIATE_TEST_SUITE_P(Kinds, MuxSteadyFlow, ::testing::Values(Kind::Pcap, Kind::Records),
                         [](const ::testing::TestParamInfo<Kind>& param) {
                           return param.param == Kind::Pcap ? std::string("Packets")
                                                            : std::string("Records");
                         });

} // namespace
