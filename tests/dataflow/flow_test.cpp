// Outputs, inputs and the module's read and write operations, through the engine stand-in with
// real component threads: every reader type, subsampling, the writer's wait for never-skipping
// readers, the multi-input read with its limits, sequential readers, detaching under traffic,
// the allocation family and the output sub-properties.

#include "flow_fixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

// Every heap allocation of this test program is counted, so that a test can show that a steady
// flow of samples allocates nothing. (The replaced operators pair malloc with free themselves;
// the compiler cannot see that through inlining.)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
// A test may also make the next allocation of one given size fail.
namespace {
std::atomic<uint64_t> g_allocations{0};
std::atomic<std::size_t> g_failingSize{0};
} // namespace

void FlowTesting::FailNextAllocationOf(std::size_t size) {
  g_failingSize.store(size, std::memory_order_release);
}

void* operator new(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  std::size_t failing = size;
  if (size != 0 && g_failingSize.compare_exchange_strong(failing, 0, std::memory_order_acq_rel)) {
    throw std::bad_alloc();
  }
  if (void* block = std::malloc(size != 0 ? size : 1)) {
    return block;
  }
  throw std::bad_alloc();
}
void operator delete(void* block) noexcept {
  std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
  std::free(block);
}
void* operator new[](std::size_t size) {
  return ::operator new(size); // counted too (the sanitizers would take it otherwise)
}
void operator delete[](void* block) noexcept {
  std::free(block);
}
void operator delete[](void* block, std::size_t) noexcept {
  std::free(block);
}

namespace {

using namespace FlowTesting;

// A never-skipping reader gets every sample in order even when it is much slower than the
// writer: the writer waits instead of overwriting. Checked value by value.
TEST_F(FlowTest, NeverSkippingReaderLosesNothingBehindAFastWriter) {
  FlowComponent* writer = Make("FlowWriter", "W");
  FlowComponent* reader = Make("FlowReader", "R");
  SetInteger("R.in.readerType", VANT::NeverSkippingReader);
  ASSERT_TRUE(host().Connect("W.out", "R.in"));

  constexpr int64_t kSamples = 3000;
  std::atomic<int64_t> written{0};
  writer->onCycle = WriteSequence(kSamples, &written);
  std::atomic<int64_t> read{0};
  std::atomic<bool> wrong{false};
  reader->onCycle = [&](FlowComponent& self) {
    VANTIOElt* element = self.StartReading(self.Input("in"));
    const int64_t n = read.load();
    for (int32_t i = 0; i < 8; ++i) {
      if (element->Integer64(i) != n * 8 + i) {
        wrong = true;
      }
    }
    if (element->Timestamp() != n + 1 || element->VectorSize() != 8) {
      wrong = true;
    }
    if (n % 256 == 0) {
      std::this_thread::sleep_for(200us); // now and then much slower than the writer
    }
    read.store(n + 1);
    self.StopReading(self.Input("in"));
  };
  ASSERT_TRUE(host().StartComponent(reader));
  ASSERT_TRUE(host().StartComponent(writer));
  EXPECT_TRUE(Eventually([&] { return read.load() == kSamples; })) << read.load();
  EXPECT_FALSE(wrong.load());
  EXPECT_EQ(host().OverrunCount(writer->Output("out")), 0u);
}

// A plain FIFO reader that falls behind loses samples to the writer, but what it gets is in
// order; a last-or-next reader always gets the newest sample.
TEST_F(FlowTest, FifoAndLastOrNextReadersSeeIncreasingSamples) {
  FlowComponent* writer = Make("FlowWriter", "W");
  FlowComponent* fifo = Make("FlowReader", "F");
  FlowComponent* last = Make("FlowReader", "L");
  SetInteger("L.in.readerType", VANT::LastOrNextReader);
  ASSERT_TRUE(host().Connect("W.out", "F.in"));
  ASSERT_TRUE(host().Connect("W.out", "L.in"));

  constexpr int64_t kSamples = 2000;
  std::atomic<int64_t> written{0};
  writer->onCycle = WriteSequence(kSamples, &written);
  struct Seen {
    std::atomic<int64_t> last{0};
    std::atomic<int64_t> count{0};
    std::atomic<bool> decreasing{false};
  };
  Seen fifoSeen;
  Seen lastSeen;
  auto readInto = [](Seen* seen, bool slow) {
    return [seen, slow](FlowComponent& self) {
      VANTIOElt* element = self.StartReading(self.Input("in"));
      const int64_t t = element->Timestamp();
      if (t <= seen->last.load()) {
        seen->decreasing = true;
      }
      seen->last = t;
      ++seen->count;
      if (slow) {
        std::this_thread::sleep_for(50us);
      }
    };
  };
  fifo->onCycle = readInto(&fifoSeen, true);
  last->onCycle = readInto(&lastSeen, true);
  ASSERT_TRUE(host().StartComponent(fifo));
  ASSERT_TRUE(host().StartComponent(last));
  ASSERT_TRUE(host().StartComponent(writer));
  EXPECT_TRUE(Eventually([&] { return written.load() == kSamples; }));
  EXPECT_TRUE(Eventually([&] { return lastSeen.last.load() == kSamples; }));
  EXPECT_TRUE(Eventually([&] { return fifoSeen.last.load() == kSamples; }));
  EXPECT_FALSE(fifoSeen.decreasing.load());
  EXPECT_FALSE(lastSeen.decreasing.load());
  EXPECT_LE(fifoSeen.count.load(), kSamples);
}

// Input subsampling 3: samples 3, 6, 9 ... are returned; the others are read and given back.
TEST_F(FlowTest, InputSubsamplingReturnsEveryThirdSample) {
  FlowComponent* writer = Make("FlowWriter", "W");
  FlowComponent* reader = Make("FlowReader", "R");
  SetInteger("R.in.readerType", VANT::NeverSkippingReader);
  SetInteger("R.in.subsampling", 3);
  ASSERT_TRUE(host().Connect("W.out", "R.in"));
  std::atomic<int64_t> written{0};
  writer->onCycle = WriteSequence(30, &written);
  std::mutex mutex;
  std::vector<int64_t> seen;
  reader->onCycle = [&](FlowComponent& self) {
    VANTIOElt* element = self.StartReading(self.Input("in"));
    std::lock_guard<std::mutex> lock(mutex);
    seen.push_back(element->Timestamp());
  };
  ASSERT_TRUE(host().StartComponent(reader));
  ASSERT_TRUE(host().StartComponent(writer));
  ASSERT_TRUE(Eventually([&] {
    std::lock_guard<std::mutex> lock(mutex);
    return seen.size() == 10;
  }));
  std::lock_guard<std::mutex> lock(mutex);
  for (size_t i = 0; i < seen.size(); ++i) {
    EXPECT_EQ(seen[i], static_cast<int64_t>(3 * (i + 1)));
  }
}

// A reader blocked on an input with no data leaves with 0xDEAD when its component stops.
TEST_F(FlowTest, AReaderWaitingForDataStopsPromptly) {
  ASSERT_NE(Make("FlowWriter", "W"), nullptr);
  FlowComponent* reader = Make("FlowReader", "R");
  ASSERT_TRUE(host().Connect("W.out", "R.in"));
  std::atomic<int> thrown{0};
  std::atomic<bool> waiting{false};
  reader->onCycle = [&](FlowComponent& self) {
    waiting = true;
    try {
      self.StartReading(self.Input("in"));
    } catch (int error) {
      thrown = error;
      throw;
    }
  };
  ASSERT_TRUE(host().StartComponent(reader));
  ASSERT_TRUE(Eventually([&] { return waiting.load(); }));
  std::this_thread::sleep_for(20ms);
  const auto begin = std::chrono::steady_clock::now();
  host().StopComponent(reader);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 2s);
  EXPECT_EQ(thrown.load(), VANT::StopException);
  EXPECT_NE(reader->State() & VANTModule::kDead, 0u);
}

// An unconnected input makes a threaded read wait for the connection.
TEST_F(FlowTest, AReadOnAnUnconnectedInputWaitsForTheConnection) {
  FlowComponent* writer = Make("FlowWriter", "W");
  FlowComponent* reader = Make("FlowReader", "R");
  std::atomic<int64_t> got{0};
  reader->onCycle = [&](FlowComponent& self) {
    got = self.StartReading(self.Input("in"))->Timestamp();
  };
  std::atomic<int64_t> written{0};
  writer->onCycle = WriteSequence(1, &written);
  ASSERT_TRUE(host().StartComponent(reader));
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(got.load(), 0);
  ASSERT_TRUE(host().Connect("W.out", "R.in"));
  ASSERT_TRUE(host().StartComponent(writer));
  EXPECT_TRUE(Eventually([&] { return got.load() == 1; }));
}

// The multi-input read: the first listed input with data wins; extra events end the wait with
// their position; the limits on inputs and events.
TEST_F(FlowTest, MultiInputReadPrefersTheFirstInputAndReportsExtraEvents) {
  FlowComponent* a = Make("FlowWriter", "A");
  FlowComponent* b = Make("FlowWriter", "B");
  FlowComponent* reader = Make("FlowTwoReader", "R");
  ASSERT_TRUE(host().Connect("A.out", "R.a"));
  ASSERT_TRUE(host().Connect("B.out", "R.b"));
  std::atomic<int64_t> writtenA{0};
  std::atomic<int64_t> writtenB{0};
  a->onCycle = WriteSequence(2, &writtenA);
  b->onCycle = WriteSequence(2, &writtenB);
  ASSERT_TRUE(host().StartComponent(a));
  ASSERT_TRUE(host().StartComponent(b));
  ASSERT_TRUE(Eventually([&] { return writtenA.load() == 2 && writtenB.load() == 2; }));

  VANTEvent extra;
  std::mutex mutex;
  std::vector<int32_t> order;
  std::atomic<bool> done{false};
  reader->onCycle = [&](FlowComponent& self) {
    if (done) {
      self.Wait4Event(&self.never, -1);
      return;
    }
    VANTInput* inputs[2] = {self.Input("a"), self.Input("b")};
    VANTEvent* events[1] = {&extra};
    int32_t index = -1;
    VANTIOElt* element = self.StartReading(2, inputs, &index, 1, events);
    std::lock_guard<std::mutex> lock(mutex);
    order.push_back(element == nullptr ? index + 100 : index);
    if (element == nullptr) {
      done = true;
    }
  };
  ASSERT_TRUE(host().StartComponent(reader));
  ASSERT_TRUE(Eventually([&] {
    std::lock_guard<std::mutex> lock(mutex);
    return order.size() == 4;
  }));
  extra.Set();
  ASSERT_TRUE(Eventually([&] { return done.load(); }));
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(order, (std::vector<int32_t>{0, 0, 1, 1, 102}));
}

TEST_F(FlowTest, MultiInputLimitsAreRefused) {
  FlowComponent* reader = Make("FlowTwoReader", "R");
  std::atomic<int> phase{0};
  std::vector<int> results(3, 0);
  reader->onCycle = [&](FlowComponent& self) {
    std::vector<VANTInput*> inputs(33, self.Input("a"));
    std::vector<VANTEvent*> events(33, &self.never);
    int32_t index = 0;
    auto attempt = [&](int32_t n, int32_t e) {
      try {
        self.StartReading(n, inputs.data(), &index, e, events.data());
      } catch (int error) {
        return error;
      }
      return 0;
    };
    results[0] = attempt(2, 33);
    results[1] = attempt(33, 0);
    results[2] = attempt(32, 0); // 1 + 64 wait objects
    phase = 1;
    self.Wait4Event(&self.never, -1);
  };
  ASSERT_TRUE(host().StartComponent(reader));
  ASSERT_TRUE(Eventually([&] { return phase.load() == 1; }));
  EXPECT_EQ(results, (std::vector<int>{-5, -5, -5}));
  EXPECT_TRUE(Reported("StartReading can't wait on more than 32 events simultaneously."));
  EXPECT_TRUE(Reported("StartReading can't wait for more than 32 inputs simultaneously."));
  EXPECT_TRUE(Reported("StartReading can't wait for more than 64 events simultaneously."));
}

// A sequential reader runs its processing step on the writer's thread at each publication.
TEST_F(FlowTest, ASequentialReaderProcessesOnTheWritersThread) {
  FlowComponent* writer = Make("FlowWriter", "W");
  FlowComponent* reader = Make("FlowSequentialReader", "S");
  ASSERT_TRUE(host().Connect("W.out", "S.in"));
  std::atomic<int64_t> sum{0};
  std::atomic<int> nulls{0};
  reader->onCycle = [&](FlowComponent& self) {
    VANTIOElt* element = self.StartReading(self.Input("in"));
    if (element == nullptr) {
      ++nulls;
      return;
    }
    sum += element->Timestamp();
  };
  std::atomic<int64_t> written{0};
  writer->onCycle = WriteSequence(100, &written);
  ASSERT_TRUE(host().StartComponent(reader));
  ASSERT_TRUE(host().StartComponent(writer));
  EXPECT_TRUE(Eventually([&] { return sum.load() == 100 * 101 / 2; })) << sum.load();
  EXPECT_EQ(nulls.load(), 0);
}

// Detaching an input while both components run: the reader gives its item back, the writer
// goes on, and after a new connection the reader reads again.
TEST_F(FlowTest, DetachingUnderTrafficAndConnectingAgain) {
  FlowComponent* writer = Make("FlowWriter", "W");
  FlowComponent* reader = Make("FlowReader", "R");
  SetInteger("R.in.readerType", VANT::NeverSkippingReader);
  ASSERT_TRUE(host().Connect("W.out", "R.in"));
  std::atomic<int64_t> written{0};
  writer->onCycle = WriteSequence(1000000, &written);
  std::atomic<int64_t> reads{0};
  reader->onCycle = [&](FlowComponent& self) {
    self.StartReading(self.Input("in"));
    ++reads;
  };
  ASSERT_TRUE(host().StartComponent(reader));
  ASSERT_TRUE(host().StartComponent(writer));
  for (int round = 0; round < 5; ++round) {
    ASSERT_TRUE(Eventually([&] { return reads.load() > round * 200 + 100; }));
    const auto begin = std::chrono::steady_clock::now();
    host().DisconnectInput(reader->Input("in"));
    // The reader acknowledges at once; the engine's bounded wait for it is never what ends it.
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 1s) << "round " << round;
    EXPECT_FALSE(reader->Input("in")->IsConnected());
    const int64_t before = written.load();
    ASSERT_TRUE(Eventually([&] { return written.load() > before + 100; }))
        << "the writer must not wait for a detached reader";
    ASSERT_TRUE(host().Connect("W.out", "R.in"));
  }
  host().StopComponent(writer);
  host().StopComponent(reader);
}

// The same through the multi-input read, the form a merging component uses.
TEST_F(FlowTest, DetachingAnInputOfAMultiInputRead) {
  FlowComponent* writer = Make("FlowWriter", "W");
  ASSERT_NE(Make("FlowWriter", "O"), nullptr);
  FlowComponent* reader = Make("FlowTwoReader", "R");
  ASSERT_TRUE(host().Connect("W.out", "R.a"));
  ASSERT_TRUE(host().Connect("O.out", "R.b"));
  std::atomic<int64_t> written{0};
  writer->onCycle = WriteSequence(1000000, &written);
  std::atomic<int64_t> reads{0};
  reader->onCycle = [&](FlowComponent& self) {
    VANTInput* inputs[2] = {self.Input("a"), self.Input("b")};
    int32_t index = -1;
    if (self.StartReading(2, inputs, &index) != nullptr && index == 0) {
      ++reads;
    }
  };
  ASSERT_TRUE(host().StartComponent(reader));
  ASSERT_TRUE(host().StartComponent(writer));
  for (int round = 0; round < 20; ++round) {
    const int64_t before = reads.load();
    ASSERT_TRUE(Eventually([&] { return reads.load() > before + 50; })) << "round " << round;
    const auto begin = std::chrono::steady_clock::now();
    host().DisconnectInput(reader->Input("a"));
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 1s) << "round " << round;
    ASSERT_TRUE(host().Connect("W.out", "R.a"));
  }
  EXPECT_EQ(reader->State() & VANTModule::kError, 0u);
  StopAll();
}

// The writer's stop wakes its waiting readers: they wait again, without an error; its unread
// samples are dropped, so that after a restart the reader sees only the new run.
TEST_F(FlowTest, AWritersStopWakesItsReadersWhoWaitAgain) {
  FlowComponent* writer = Make("FlowWriter", "W");
  FlowComponent* reader = Make("FlowReader", "R");
  ASSERT_TRUE(host().Connect("W.out", "R.in"));
  std::atomic<int64_t> written{0};
  writer->onCycle = WriteSequence(3, &written);
  std::mutex mutex;
  std::vector<int64_t> seen;
  reader->onCycle = [&](FlowComponent& self) {
    VANTIOElt* element = self.StartReading(self.Input("in"));
    std::lock_guard<std::mutex> lock(mutex);
    seen.push_back(element->Timestamp());
  };
  ASSERT_TRUE(host().StartComponent(writer));
  ASSERT_TRUE(Eventually([&] { return written.load() == 3; }));
  host().StopComponent(writer); // three unread samples are dropped
  ASSERT_TRUE(host().StartComponent(reader));
  std::this_thread::sleep_for(20ms);
  {
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_TRUE(seen.empty()) << "a sample of the stopped run was read";
  }
  // Stop the writer again while the reader waits on its FIFO.
  written = 3;
  ASSERT_TRUE(host().StartComponent(writer));
  host().StopComponent(writer);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(reader->State() & VANTModule::kError, 0u) << "the wake-up was taken for a fault";
  written = 0;
  writer->onCycle = WriteSequence(2, &written);
  ASSERT_TRUE(host().StartComponent(writer));
  ASSERT_TRUE(Eventually([&] {
    std::lock_guard<std::mutex> lock(mutex);
    return seen.size() == 2;
  }));
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(seen, (std::vector<int64_t>{1, 2}));
  EXPECT_EQ(reader->State() & VANTModule::kError, 0u);
}

// VectorSize beyond BufferSize puts the writer in error and publishes nothing.
TEST_F(FlowTest, AnOversizedVectorIsAnErrorAndNotPublished) {
  FlowComponent* writer = Make("FlowWriter", "W");
  FlowComponent* reader = Make("FlowReader", "R");
  ASSERT_TRUE(host().Connect("W.out", "R.in"));
  std::atomic<int> thrown{0};
  writer->onCycle = [&](FlowComponent& self) {
    VANTIOElt* element = self.StartWriting(self.Output("out"));
    element->VectorSize() = 9;
    try {
      self.StopWriting(element);
    } catch (int error) {
      thrown = error;
      throw;
    }
  };
  ASSERT_TRUE(host().StartComponent(writer));
  ASSERT_TRUE(Eventually([&] { return thrown.load() != 0; }));
  EXPECT_EQ(thrown.load(), VANT::ErrorException);
  EXPECT_TRUE(Reported("Buffer overflow detected: VectorSize(9) > BufferSize(8)"));
  EXPECT_FALSE(reader->Input("in")->DataAvailable());
}

// StopWriting stamps: a zero time of issue becomes engine time and a zero timestamp the time of
// issue; a given timestamp stays.
TEST_F(FlowTest, StopWritingFillsTheTimeStamps) {
  FlowComponent* writer = Make("FlowWriter", "W");
  FlowComponent* reader = Make("FlowReader", "R");
  ASSERT_TRUE(host().Connect("W.out", "R.in"));
  std::atomic<int> step{0};
  writer->onCycle = [&](FlowComponent& self) {
    if (step.load() < 2) {
      VANTIOElt* element = self.StartWriting(self.Output("out"), step.load() == 0 ? 0 : 777);
      self.StopWriting(element);
      ++step;
    } else {
      self.Wait4Event(&self.never, -1);
    }
  };
  std::vector<std::pair<int64_t, int64_t>> seen;
  std::mutex mutex;
  reader->onCycle = [&](FlowComponent& self) {
    VANTIOElt* element = self.StartReading(self.Input("in"));
    std::lock_guard<std::mutex> lock(mutex);
    seen.emplace_back(element->Timestamp(), element->TimeOfIssue());
  };
  ASSERT_TRUE(host().StartComponent(reader));
  ASSERT_TRUE(host().StartComponent(writer));
  ASSERT_TRUE(Eventually([&] {
    std::lock_guard<std::mutex> lock(mutex);
    return seen.size() == 2;
  }));
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_GT(seen[0].second, 0);
  EXPECT_EQ(seen[0].first, seen[0].second);
  EXPECT_EQ(seen[1].first, 777);
  EXPECT_GE(seen[1].second, seen[0].second);
}

// ---- The allocation family and the sub-properties (no threads needed) ----------------------

TEST_F(FlowTest, AllocationRulesAndTheirMessages) {
  FlowComponent* writer = Make("FlowScalarWriter", "W");
  auto* output = static_cast<VANTOutputImplementation*>(writer->Output("out"));
  // Size 0 allocates nothing, so a later allocation succeeds.
  output->AllocOutputBuffer(0, 1);
  EXPECT_EQ(output->BufferSize(), 0);
  EXPECT_EQ(output->BytesPerSample(), 0);
  host().TakeReports();
  // A vector of 10 without the vector flag warns and allocates 40 bytes per element.
  output->AllocOutputBuffer(10, 1);
  EXPECT_EQ(output->BytesPerSample(), 40);
  EXPECT_TRUE(Reported("Output W.out is a vector but its vector flag is not set."));
  // Each element has its own slice of the shared block, zeroed, with the output's type.
  VANTIOMonitor* monitor = output->Monitor();
  VANTFastIOItem* position = nullptr;
  std::vector<uint8_t*> slices;
  for (VANTFastIOItem* item = monitor->First(&position); item != nullptr;
       item = monitor->Next(&position)) {
    VANTIOElt* element = monitor->ElementOf(item);
    EXPECT_EQ(element->BufferSize(), 10);
    EXPECT_EQ(element->Type().flags, output->Type().flags);
    slices.push_back(static_cast<uint8_t*>(element->Data()));
  }
  ASSERT_EQ(slices.size(), 4u);
  for (size_t k = 1; k < slices.size(); ++k) {
    EXPECT_EQ(slices[k] - slices[k - 1], 40);
  }
  // A second allocation is refused.
  try {
    output->AllocOutputBuffer(5, 1);
    ADD_FAILURE() << "a second allocation must be refused";
  } catch (int error) {
    EXPECT_EQ(error, VANT::ErrorException);
  }
  EXPECT_TRUE(
      Reported("Output buffer already initialized. Can't initialize an output buffer twice."));
  // A negative size names the operation, its line and the value.
  output->FreeOutputBuffer();
  try {
    output->AllocOutputBuffer(-2, 1);
    ADD_FAILURE() << "a negative size must be refused";
  } catch (int error) {
    EXPECT_EQ(error, VANT::ErrorException);
  }
  EXPECT_TRUE(Reported("VANTOutputImplementation::AllocOutputBuffer:150: isize [-2] < 0"));
  // One element of 1 does not warn.
  host().TakeReports();
  output->AllocOutputBuffer(1, 1);
  EXPECT_FALSE(Reported("vector flag"));
  output->FreeOutputBuffer();
}

TEST_F(FlowTest, FifoSizeChangesOnlyWhileStoppedAndSubsamplingDropsSamples) {
  FlowComponent* writer = Make("FlowWriter", "W");
  auto* output = static_cast<VANTOutputImplementation*>(writer->Output("out"));
  SetInteger("W.out.fifosize", 5);
  EXPECT_EQ(output->Fifo().ItemCount(), 5);
  writer->onCycle = [](FlowComponent& self) { self.Wait4Event(&self.never, -1); };
  ASSERT_TRUE(host().StartComponent(writer));
  SetInteger("W.out.fifosize", 9);
  EXPECT_EQ(output->Fifo().ItemCount(), 5);
  EXPECT_TRUE(Reported("Cannot change the output fifo sizes while module is running."));
  host().StopComponent(writer);
}

TEST_F(FlowTest, OutputSubsamplingPublishesEveryThirdSample) {
  FlowComponent* writer = Make("FlowWriter", "W");
  FlowComponent* reader = Make("FlowReader", "R");
  SetInteger("W.out.subsampling", 3);
  SetInteger("R.in.readerType", VANT::NeverSkippingReader);
  ASSERT_TRUE(host().Connect("W.out", "R.in"));
  std::atomic<int64_t> written{0};
  writer->onCycle = WriteSequence(12, &written);
  std::mutex mutex;
  std::vector<int64_t> seen;
  reader->onCycle = [&](FlowComponent& self) {
    VANTIOElt* element = self.StartReading(self.Input("in"));
    std::lock_guard<std::mutex> lock(mutex);
    seen.push_back(element->Timestamp());
  };
  ASSERT_TRUE(host().StartComponent(reader));
  ASSERT_TRUE(host().StartComponent(writer));
  ASSERT_TRUE(Eventually([&] {
    std::lock_guard<std::mutex> lock(mutex);
    return seen.size() == 4;
  }));
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(seen, (std::vector<int64_t>{3, 6, 9, 12}));
}

TEST_F(FlowTest, ReaderTypeSwitchesThatAreRefused) {
  FlowComponent* reader = Make("FlowReader", "R");
  SetInteger("R.in.readerType", VANT::SamplingReader);
  VANTProperty* readerType = host().FindProperty("R.in.readerType");
  EXPECT_EQ(readerType->Integer(), VANT::FifoReader);
  EXPECT_TRUE(Reported("Bad parameter: The input R.in cannot be switched to SamplingReader or "
                       "Wait4NextReader."));
  SetInteger("R.in.readerType", VANT::LastOrNextReader);
  EXPECT_EQ(static_cast<VANTInputImplementation*>(reader->Input("in"))->ReaderType(),
            static_cast<uint32_t>(VANT::LastOrNextReader));
}

// Removing a reader component while it is connected leaves the writer's FIFO usable.
TEST_F(FlowTest, DestroyingAConnectedReaderFreesItsReaderIndex) {
  FlowComponent* writer = Make("FlowWriter", "W");
  auto* output = static_cast<VANTOutputImplementation*>(writer->Output("out"));
  for (int round = 0; round < 40; ++round) {
    const std::string name = "R" + std::to_string(round);
    VANTModule* reader = host().CreateComponent("FlowReader", name.c_str());
    ASSERT_NE(reader, nullptr);
    ASSERT_TRUE(host().Connect("W.out", (name + ".in").c_str())) << round;
    EXPECT_NE(output->Fifo().RegisteredMask(), 0u);
    host().DestroyComponent(reader);
  }
  EXPECT_EQ(output->Fifo().RegisteredMask(), 0u);
}

// N-last reads: the first answer after three samples, then one per new sample, each time the
// last three, oldest first; every sample of the window stays held.
TEST_F(FlowTest, NLastReadKeepsAWindowOfTheLastSamples) {
  FlowComponent* writer = Make("FlowWriter", "W");
  FlowComponent* reader = Make("FlowReader", "R");
  SetInteger("R.in.readerType", VANT::NeverSkippingReader);
  ASSERT_TRUE(host().Connect("W.out", "R.in"));
  std::atomic<int64_t> written{0};
  writer->onCycle = WriteSequence(6, &written);
  std::mutex mutex;
  std::vector<std::vector<int64_t>> windows;
  reader->onCycle = [&](FlowComponent& self) {
    VANTIOElt* out[3] = {};
    if (!self.NLastStartReading(self.Input("in"), 3, out)) {
      return;
    }
    std::lock_guard<std::mutex> lock(mutex);
    windows.push_back({out[0]->Timestamp(), out[1]->Timestamp(), out[2]->Timestamp()});
  };
  ASSERT_TRUE(host().StartComponent(reader));
  ASSERT_TRUE(host().StartComponent(writer));
  ASSERT_TRUE(Eventually([&] {
    std::lock_guard<std::mutex> lock(mutex);
    return windows.size() == 4;
  }));
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(windows,
            (std::vector<std::vector<int64_t>>{{1, 2, 3}, {2, 3, 4}, {3, 4, 5}, {4, 5, 6}}));
  EXPECT_EQ(static_cast<VANTInputImplementation*>(reader->Input("in"))->HeldCount(), 3);
}

// Synchronised reads with tolerance 0 return only samples of equal timestamps: the input that
// is ahead waits, the one behind drops its older samples.
TEST_F(FlowTest, SynchronisedReadMatchesEqualTimestamps) {
  FlowComponent* a = Make("FlowWriter", "A");
  FlowComponent* b = Make("FlowWriter", "B");
  FlowComponent* reader = Make("FlowTwoReader", "R");
  ASSERT_TRUE(host().Connect("A.out", "R.a"));
  ASSERT_TRUE(host().Connect("B.out", "R.b"));
  // A writes 1..6; B writes 4 and 6 only.
  std::atomic<int> stepA{0};
  a->onCycle = [&](FlowComponent& self) {
    if (stepA.load() >= 6) {
      self.Wait4Event(&self.never, -1);
      return;
    }
    VANTIOElt* element = self.StartWriting(self.Output("out"), stepA.load() + 1);
    element->VectorSize() = 8;
    self.StopWriting(element);
    ++stepA;
  };
  std::atomic<int> stepB{0};
  b->onCycle = [&](FlowComponent& self) {
    static const int64_t stamps[] = {4, 6};
    if (stepB.load() >= 2) {
      self.Wait4Event(&self.never, -1);
      return;
    }
    VANTIOElt* element = self.StartWriting(self.Output("out"), stamps[stepB.load()]);
    element->VectorSize() = 8;
    self.StopWriting(element);
    ++stepB;
  };
  std::mutex mutex;
  std::vector<std::vector<int64_t>> matched;
  reader->onCycle = [&](FlowComponent& self) {
    VANTInput* inputs[2] = {self.Input("a"), self.Input("b")};
    VANTIOElt* out[2] = {};
    const int64_t at = self.SynchroStartReading(2, inputs, out, 0);
    std::lock_guard<std::mutex> lock(mutex);
    matched.push_back({at, out[0]->Timestamp(), out[1]->Timestamp()});
    self.StopReading(inputs[0]);
    self.StopReading(inputs[1]);
  };
  ASSERT_TRUE(host().StartComponent(reader));
  ASSERT_TRUE(host().StartComponent(b));
  ASSERT_TRUE(host().StartComponent(a));
  ASSERT_TRUE(Eventually([&] {
    std::lock_guard<std::mutex> lock(mutex);
    return matched.size() == 2;
  }));
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(matched, (std::vector<std::vector<int64_t>>{{4, 4, 4}, {6, 6, 6}}));
}

TEST_F(FlowTest, SynchronisedReadRefusesBadArguments) {
  FlowComponent* reader = Make("FlowTwoReader", "R");
  std::atomic<int> done{0};
  std::vector<int> results(3, 0);
  reader->onCycle = [&](FlowComponent& self) {
    if (done) {
      self.Wait4Event(&self.never, -1);
      return;
    }
    VANTInput* inputs[2] = {self.Input("a"), self.Input("b")};
    VANTIOElt* out[2] = {};
    auto attempt = [&](int32_t n, int64_t tolerance) {
      try {
        self.SynchroStartReading(n, inputs, out, tolerance);
      } catch (int error) {
        return error;
      }
      return 0;
    };
    results[0] = attempt(0, 0);
    results[1] = attempt(257, 0);
    results[2] = attempt(2, -1);
    done = 1;
  };
  ASSERT_TRUE(host().StartComponent(reader));
  ASSERT_TRUE(Eventually([&] { return done.load() == 1; }));
  EXPECT_EQ(results, (std::vector<int>{-5, -5, -5}));
  EXPECT_TRUE(Reported("The number of inputs cannot be negative."));
  EXPECT_TRUE(Reported("Can't SynchroStartRead on more than 256 inputs simultaneously. Sorry."));
  EXPECT_TRUE(Reported("synchroTolerance cannot be negative"));
}

// Once running, writing and reading samples allocates nothing on any thread: neither the FIFO,
// the waits, the time stamping, the life cycle's per-cycle step nor the sequential notification.
TEST_F(FlowTest, SteadyFlowMakesNoHeapAllocation) {
  FlowComponent* writer = Make("FlowWriter", "W");
  FlowComponent* reader = Make("FlowReader", "R");
  FlowComponent* sequential = Make("FlowSequentialReader", "S");
  SetInteger("R.in.readerType", VANT::NeverSkippingReader);
  ASSERT_TRUE(host().Connect("W.out", "R.in"));
  ASSERT_TRUE(host().Connect("W.out", "S.in"));
  std::atomic<int64_t> written{0};
  writer->onCycle = WriteSequence(200000, &written);
  std::atomic<int64_t> reads{0};
  reader->onCycle = [&](FlowComponent& self) {
    self.StartReading(self.Input("in"));
    ++reads;
  };
  std::atomic<int64_t> sequentialReads{0};
  sequential->onCycle = [&](FlowComponent& self) {
    if (self.StartReading(self.Input("in")) != nullptr) {
      ++sequentialReads;
    }
  };
  ASSERT_TRUE(host().StartComponent(sequential));
  ASSERT_TRUE(host().StartComponent(reader));
  ASSERT_TRUE(host().StartComponent(writer));
  ASSERT_TRUE(Eventually([&] { return reads.load() > 10000; }));
  const uint64_t before = g_allocations.load();
  ASSERT_GT(before, 0u) << "the counting allocator is not in use";
  const int64_t readsBefore = reads.load();
  ASSERT_TRUE(Eventually([&] { return reads.load() > readsBefore + 50000; }));
  const uint64_t after = g_allocations.load();
  EXPECT_EQ(after - before, 0u) << "allocations while " << reads.load() - readsBefore
                                << " samples went through";
  EXPECT_GT(sequentialReads.load(), 0);
  StopAll();
}

} // namespace
