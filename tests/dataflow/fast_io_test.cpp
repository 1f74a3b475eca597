#include "dataflow/vant_fast_io.h"
#include "support/host_fixture.h"
#include "util/vant_exceptions.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace {

// The sample value travels in the element's time stamp: these FIFOs carry no data blocks.
int64_t ValueOf(VANTFastIOItem* item) {
  return item->elt.element.Timestamp();
}

void Write(VANTFastIO& fifo, int64_t value) {
  VANTFastIOItem* item = fifo.AcquireWrite();
  ASSERT_NE(item, nullptr);
  item->elt.element.Timestamp() = value;
  fifo.Publish(item);
}

// One read step that must not wait; returns the value read (the item stays held).
int64_t ReadNow(VANTFastIO& fifo, uint32_t reader) {
  VANTFastIO::ReadResult result = fifo.TryRead(reader);
  if (result.MustWait()) {
    fifo.CancelWait(reader);
    ADD_FAILURE() << "reader " << reader << " had to wait";
    return -1;
  }
  EXPECT_NE(result.item, nullptr);
  return result.item != nullptr ? ValueOf(result.item) : -1;
}

// True when a read by `reader` would wait now (the armed wait is cancelled again).
bool WouldWait(VANTFastIO& fifo, uint32_t reader) {
  VANTFastIO::ReadResult result = fifo.TryRead(reader);
  if (result.MustWait()) {
    fifo.CancelWait(reader);
    return true;
  }
  if (result.item != nullptr) {
    fifo.Release(reader);
  }
  return false;
}

// A full read as a component does it: wait on the reader's event (and a stop event) if needed.
VANTFastIOItem* ReadBlocking(VANTFastIO& fifo, uint32_t reader, VANTEvent* stop = nullptr) {
  VANTFastIO::ReadResult result = fifo.TryRead(reader);
  while (result.MustWait()) {
    VANTEvent* events[2] = {result.waitEvent, stop};
    const int32_t waited = VANTEvent::Wait(stop != nullptr ? 2 : 1, events, -1);
    result = fifo.TakeAfterWait(reader, waited);
  }
  return result.item;
}

struct OverrunCounter {
  static void Count(void* argument) { ++static_cast<OverrunCounter*>(argument)->count; }
  int count = 0;
};

class FastIOTest : public HostFixture {
protected:
  std::vector<std::string> ReportTexts() { return TakeReportTexts(); }

  template <class F>
  void ExpectFatal(F&& call, const std::string& text) {
    try {
      call();
      ADD_FAILURE() << "no exception; expected: " << text;
    } catch (int code) {
      EXPECT_EQ(code, VANT::ErrorException);
    }
    const std::vector<HostReport> reports = TakeReports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].text, text);
    EXPECT_EQ(reports[0].level, 2);
    EXPECT_EQ(reports[0].option, 1);
    EXPECT_FALSE(reports[0].flag);
  }

  OverrunCounter m_overruns;
};

// ---- Reader counts ---------------------------------------------------------------------------

class FastIOReaderCount : public FastIOTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(FastIOReaderCount, NeverSkippingReadersEachGetEverySampleAndFreeTheFifoTogether) {
  const uint32_t readers = GetParam();
  VANTFastIO fifo(nullptr, 4, 1, -1, &OverrunCounter::Count, &m_overruns);
  for (uint32_t r = 0; r < readers; ++r) {
    ASSERT_TRUE(fifo.RegisterReader(r, VANT::NeverSkippingReader, 0));
  }
  const uint32_t all = readers == 32 ? 0xFFFFFFFFu : (1u << readers) - 1;
  EXPECT_EQ(fifo.FifoReaderMask(), all);
  EXPECT_EQ(fifo.NeverSkippingMask(), all);

  for (int64_t v = 1; v <= 4; ++v) {
    Write(fifo, v);
  }
  EXPECT_TRUE(fifo.IsFull());
  EXPECT_EQ(fifo.FreeSlotCount(), 0);
  for (uint32_t r = 0; r < readers; ++r) {
    for (int64_t v = 1; v <= 4; ++v) {
      EXPECT_EQ(ReadNow(fifo, r), v) << "reader " << r;
      fifo.Release(r);
    }
    EXPECT_TRUE(WouldWait(fifo, r));
    // Until the last reader is done, nothing is free for the writer.
    EXPECT_EQ(fifo.FreeSlotCount(), r + 1 == readers ? 4 : 0);
    EXPECT_EQ(fifo.AllRead(), r + 1 == readers);
  }
  EXPECT_FALSE(fifo.IsFull());
  Write(fifo, 5); // reuses the oldest item without an overrun
  EXPECT_EQ(m_overruns.count, 0);
  for (uint32_t r = 0; r < readers; ++r) {
    EXPECT_EQ(ReadNow(fifo, r), 5);
    fifo.Release(r);
  }
  EXPECT_TRUE(ReportTexts().empty());
}

INSTANTIATE_TEST_SUITE_P(ReaderCounts, FastIOReaderCount, ::testing::Values(1u, 2u, 31u, 32u),
                         ::testing::PrintToStringParamName());

// ---- Writer ----------------------------------------------------------------------------------

TEST_F(FastIOTest, PlainReaderIsOverrunFromTheFourthSampleOn) {
  VANTFastIO fifo(nullptr, 3, 1, -1, &OverrunCounter::Count, &m_overruns);
  fifo.RegisterReader(0, VANT::FifoReader, 0);
  for (int64_t v = 1; v <= 3; ++v) {
    Write(fifo, v);
  }
  EXPECT_EQ(m_overruns.count, 0);
  Write(fifo, 4);
  Write(fifo, 5);
  EXPECT_EQ(m_overruns.count, 2);
  // The reader finds the three newest samples, oldest first.
  for (int64_t v = 3; v <= 5; ++v) {
    EXPECT_EQ(ReadNow(fifo, 0), v);
    fifo.Release(0);
  }
  EXPECT_TRUE(WouldWait(fifo, 0));
}

TEST_F(FastIOTest, NeverSkippingReaderHoldsTheWriterUntilItsRelease) {
  VANTFastIO fifo(nullptr, 3, 1, -1, &OverrunCounter::Count, &m_overruns);
  fifo.RegisterReader(5, VANT::NeverSkippingReader, 0);
  for (int64_t v = 1; v <= 3; ++v) {
    Write(fifo, v);
  }
  std::atomic<bool> acquired{false};
  VANTFastIOItem* fourth = nullptr;
  std::thread writer([&] {
    fourth = fifo.AcquireWrite();
    acquired.store(true);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(acquired.load()); // every item holds a sample the reader has not read

  VANTFastIO::ReadResult first = fifo.TryRead(5);
  ASSERT_NE(first.item, nullptr);
  EXPECT_EQ(ValueOf(first.item), 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(acquired.load()); // read, but still held
  fifo.Release(5);
  writer.join();
  EXPECT_EQ(fourth, first.item); // the released item is the one reused
  EXPECT_EQ(m_overruns.count, 0);
  fourth->elt.element.Timestamp() = 4;
  fifo.Publish(fourth);
  for (int64_t v = 2; v <= 4; ++v) {
    EXPECT_EQ(ReadNow(fifo, 5), v);
    fifo.Release(5);
  }
}

TEST_F(FastIOTest, WaitingWriterEndsOnStopAbortAndTimeOut) {
  VANTEvent stop(false, nullptr);
  VANTFastIO stopped(&stop, 1, 1, -1, nullptr, nullptr);
  stopped.RegisterReader(0, VANT::NeverSkippingReader, 0);
  Write(stopped, 1);
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    stop.Set();
  });
  try {
    stopped.AcquireWrite();
    ADD_FAILURE() << "the stop did not end the wait";
  } catch (int code) {
    EXPECT_EQ(code, VANT::StopException);
  }
  stopper.join();

  VANTFastIO aborted(nullptr, 1, 1, -1, nullptr, nullptr);
  aborted.RegisterReader(0, VANT::NeverSkippingReader, 0);
  Write(aborted, 1);
  std::thread aborter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    aborted.AbortWriter();
  });
  EXPECT_EQ(aborted.AcquireWrite(), nullptr);
  aborter.join();

  VANTFastIO timed(nullptr, 1, 1, 5000, nullptr, nullptr);
  timed.RegisterReader(0, VANT::NeverSkippingReader, 0);
  Write(timed, 1);
  try {
    timed.AcquireWrite();
    ADD_FAILURE() << "the time-out did not end the wait";
  } catch (int code) {
    EXPECT_EQ(code, VANT::TimeoutException);
  }
  // After each end the FIFO lock is free again.
  EXPECT_EQ(timed.FreeSlotCount(), 0);
}

TEST_F(FastIOTest, WriterWithoutAnyItemIsFatal) {
  VANTFastIO fifo(nullptr, 1, 1, -1, &OverrunCounter::Count, &m_overruns);
  ASSERT_NE(fifo.AcquireWrite(), nullptr);
  ExpectFatal([&] { fifo.AcquireWrite(); },
              "Output buffer fatal error : StartWriting has no space where to write. Check that "
              "each call to StartWriting has its corresponding call to StopWriting.");
  EXPECT_EQ(m_overruns.count, 1);
}

TEST_F(FastIOTest, OutputSubsamplingKeepsEveryThirdSample) {
  VANTFastIO fifo(nullptr, 4, 3, -1, nullptr, nullptr);
  fifo.RegisterReader(0, VANT::NeverSkippingReader, 0);
  std::vector<int64_t> seen;
  for (int64_t v = 1; v <= 9; ++v) {
    Write(fifo, v);
    VANTFastIO::ReadResult result = fifo.TryRead(0);
    if (result.MustWait()) {
      fifo.CancelWait(0);
      continue;
    }
    seen.push_back(ValueOf(result.item));
    fifo.Release(0);
  }
  EXPECT_EQ(seen, (std::vector<int64_t>{3, 6, 9}));
  EXPECT_EQ(fifo.FreeSlotCount(), 4); // dropped samples freed their items at once
}

// ---- Reader kinds ----------------------------------------------------------------------------

TEST_F(FastIOTest, LastOrNextReaderSkipsToTheNewestAndCountsTheRestRead) {
  VANTFastIO fifo(nullptr, 8, 1, -1, nullptr, nullptr);
  fifo.RegisterReader(2, VANT::LastOrNextReader, 0);
  fifo.RegisterReader(3, VANT::FifoReader, 0);
  Write(fifo, 1);
  Write(fifo, 2);
  EXPECT_EQ(ReadNow(fifo, 2), 2); // read none yet: straight to the newest
  fifo.Release(2);
  for (int64_t v = 3; v <= 5; ++v) {
    Write(fifo, v);
  }
  EXPECT_EQ(fifo.AvailableCount(2), 3);
  EXPECT_EQ(ReadNow(fifo, 2), 5);
  fifo.Release(2);
  EXPECT_EQ(fifo.AvailableCount(2), 0);
  EXPECT_FALSE(fifo.DataAvailable(2));
  // The plain reader still gets everything, in order.
  EXPECT_TRUE(fifo.DataAvailable(3));
  for (int64_t v = 1; v <= 5; ++v) {
    EXPECT_EQ(ReadNow(fifo, 3), v);
    fifo.Release(3);
  }
  EXPECT_TRUE(fifo.AllRead());
}

TEST_F(FastIOTest, SamplingReaderGetsTheNewestSampleAgain) {
  VANTFastIO fifo(nullptr, 3, 1, -1, nullptr, nullptr);
  fifo.RegisterReader(0, VANT::SamplingReader, 0);
  EXPECT_EQ(fifo.ReaderByte(0), VANT::kRoleSampling);
  EXPECT_TRUE(WouldWait(fifo, 0)); // nothing ever published
  Write(fifo, 1);
  Write(fifo, 2);
  EXPECT_EQ(ReadNow(fifo, 0), 2);
  fifo.Release(0);
  EXPECT_EQ(ReadNow(fifo, 0), 2);
  fifo.Release(0);
  // A sampling reader is no FIFO reader: it never makes the writer wait or count overruns.
  EXPECT_TRUE(fifo.AllRead());
}

TEST_F(FastIOTest, WaitForNextReaderNeverGetsAnOlderSample) {
  VANTFastIO fifo(nullptr, 3, 1, -1, nullptr, nullptr);
  fifo.RegisterReader(1, VANT::Wait4NextReader, 0);
  Write(fifo, 1);
  VANTFastIO::ReadResult result = fifo.TryRead(1);
  ASSERT_TRUE(result.MustWait()); // sample 1 was there before it asked
  EXPECT_EQ(result.waitEvent->Wait(0), VANT::kWaitTimeout);
  Write(fifo, 2);
  ASSERT_EQ(result.waitEvent->Wait(0), 0);
  result = fifo.TakeAfterWait(1, 0);
  ASSERT_NE(result.item, nullptr);
  EXPECT_EQ(ValueOf(result.item), 2);
  fifo.Release(1);
}

TEST_F(FastIOTest, ReaderWokenForAnOverwrittenSampleWaitsAgain) {
  VANTFastIO fifo(nullptr, 1, 1, -1, &OverrunCounter::Count, &m_overruns);
  fifo.RegisterReader(0, VANT::FifoReader, 0);
  VANTFastIO::ReadResult result = fifo.TryRead(0);
  ASSERT_TRUE(result.MustWait());
  Write(fifo, 1);
  VANTFastIOItem* retaken = fifo.AcquireWrite(); // the writer laps the reader
  ASSERT_EQ(result.waitEvent->Wait(0), 0);
  result = fifo.TakeAfterWait(0, 0);
  ASSERT_TRUE(result.MustWait());
  retaken->elt.element.Timestamp() = 2;
  fifo.Publish(retaken);
  result = fifo.TakeAfterWait(0, result.waitEvent->Wait(0));
  ASSERT_NE(result.item, nullptr);
  EXPECT_EQ(ValueOf(result.item), 2);
  fifo.Release(0);
  EXPECT_TRUE(ReportTexts().empty());
}

TEST_F(FastIOTest, ReaderWokenWithoutAPublicationIsFatal) {
  VANTFastIO fifo(nullptr, 2, 1, -1, nullptr, nullptr);
  fifo.RegisterReader(3, VANT::FifoReader, 0);
  fifo.RegisterReader(4, VANT::SamplingReader, 0);
  fifo.RegisterReader(6, VANT::Wait4NextReader, 0);
  const struct {
    uint32_t reader;
    std::string text;
  } cases[] = {
      {3, "VANTFastIO fatal error : Trouble with a FIFO reader. Couldn't find its data (X8). "
          "Please contact the technical support team."},
      {4, "VANTFastIO fatal error : Trouble with a sampling reader. Couldn't find its data "
          "(X16). Please contact the technical support team."},
      {6, "VANTFastIO fatal error : VANTFastIO monitor has no space where to read (X64). Please "
          "contact the technical support team."},
  };
  for (const auto& c : cases) {
    VANTFastIO::ReadResult result = fifo.TryRead(c.reader);
    ASSERT_TRUE(result.MustWait());
    result.waitEvent->Set(); // a wake that no publication explains
    ExpectFatal([&] { fifo.TakeAfterWait(c.reader, 0); }, c.text);
  }
  EXPECT_EQ(fifo.FreeSlotCount(), 2); // the lock was left before each throw
}

TEST_F(FastIOTest, StopDuringAReadersWaitThrowsThroughTakeAfterWait) {
  VANTEvent stop(false, nullptr);
  VANTFastIO fifo(&stop, 2, 1, -1, nullptr, nullptr);
  fifo.RegisterReader(0, VANT::FifoReader, 0);
  stop.Set();
  try {
    ReadBlocking(fifo, 0, &stop);
    ADD_FAILURE() << "the stop did not end the read";
  } catch (int code) {
    EXPECT_EQ(code, VANT::StopException);
  }
  Write(fifo, 1); // the lock is free
}

// ---- Settings and misuse ---------------------------------------------------------------------

TEST_F(FastIOTest, ReleaseWithoutHoldIsFatal) {
  VANTFastIO fifo(nullptr, 2, 1, -1, nullptr, nullptr);
  fifo.RegisterReader(3, VANT::FifoReader, 0);
  Write(fifo, 1);
  ExpectFatal([&] { fifo.Release(3); },
              "VANTFastIO fatal error : Stop reading without starting (X8)");
  EXPECT_EQ(ReadNow(fifo, 3), 1);
  fifo.Release(3);
  ExpectFatal([&] { fifo.Release(3); },
              "VANTFastIO fatal error : Stop reading without starting (X8)");
}

TEST_F(FastIOTest, SubsamplingRateMustLieBetween1And256) {
  VANTFastIO fifo(nullptr, 2, 1, -1, nullptr, nullptr);
  fifo.RegisterReader(0, VANT::FifoReader, 7);
  fifo.RegisterReader(1, VANT::SamplingReader, 0);
  const std::string range = "VANTFastIO fatal error: Output subsampling rate must be an integer "
                            "in the range between 1 and 256 included.";
  ExpectFatal([&] { fifo.SetSubsamplingRate(0, 0); }, range);
  ExpectFatal([&] { fifo.SetSubsamplingRate(0, 257); }, range);
  EXPECT_EQ(fifo.ReaderByte(0), 7);
  fifo.SetSubsamplingRate(0, 256);
  EXPECT_EQ(fifo.ReaderByte(0), 255);
  fifo.SetSubsamplingRate(0, 1);
  EXPECT_EQ(fifo.ReaderByte(0), 0);
  ExpectFatal([&] { fifo.SetSubsamplingRate(1, 2); },
              "VANTFastIO fatal error : SetSubsamplingRate works only with FIFO readers.");
  ExpectFatal([&] { fifo.SetSubsamplingRate(9, 2); },
              "VANTFastIO fatal error : trying to set the subsampling rate for a reader that has "
              "never been registered before.");
}

TEST_F(FastIOTest, ReaderTypeChangesTheMasksOfFifoReadersOnly) {
  VANTFastIO fifo(nullptr, 2, 1, -1, nullptr, nullptr);
  fifo.RegisterReader(0, VANT::FifoReader, 0);
  fifo.RegisterReader(1, VANT::Wait4NextReader, 0);
  fifo.SetReaderType(0, VANT::NeverSkippingReader);
  EXPECT_EQ(fifo.NeverSkippingMask(), 1u);
  fifo.SetReaderType(0, VANT::LastOrNextReader);
  EXPECT_EQ(fifo.NeverSkippingMask(), 0u);
  EXPECT_EQ(fifo.LastOrNextMask(), 1u);
  fifo.SetReaderType(0, VANT::FifoReader);
  EXPECT_EQ(fifo.LastOrNextMask(), 0u);
  EXPECT_EQ(fifo.FifoReaderMask(), 1u);
  ExpectFatal([&] { fifo.SetReaderType(1, VANT::FifoReader); },
              "VANTFastIO fatal error : SetReaderType works only with FIFO readers.");
  ExpectFatal([&] { fifo.SetReaderType(2, VANT::FifoReader); },
              "VANTFastIO fatal error : trying to set the reader type for a reader that has never "
              "been registered before.");
}

TEST_F(FastIOTest, UnregisteringANeverSkippingReaderFreesTheWriter) {
  VANTFastIO fifo(nullptr, 2, 1, -1, nullptr, nullptr);
  fifo.RegisterReader(0, VANT::NeverSkippingReader, 0);
  fifo.RegisterReader(1, VANT::FifoReader, 0);
  Write(fifo, 1);
  Write(fifo, 2);
  EXPECT_EQ(ReadNow(fifo, 0), 1); // held while it goes away
  std::thread writer([&] { Write(fifo, 3); });
  fifo.UnregisterReader(0);
  writer.join();
  EXPECT_EQ(fifo.RegisteredMask(), 2u);
  EXPECT_FALSE(fifo.HoldsItems(0));
  // Reader 1 was overrun once and reads on without seeing reader 0's marks.
  EXPECT_EQ(ReadNow(fifo, 1), 2);
  fifo.Release(1);
  EXPECT_EQ(ReadNow(fifo, 1), 3);
  fifo.Release(1);
  EXPECT_TRUE(fifo.AllRead());
}

// A reader detached while it holds an item keeps it: the writer goes around it, nothing is
// freed or resized under it, and its index is not given again until it is gone.
TEST_F(FastIOTest, ALeavingReaderKeepsWhatItHoldsUntilItIsGone) {
  VANTFastIO fifo(nullptr, 2, 1, -1, nullptr, nullptr);
  fifo.RegisterReader(0, VANT::NeverSkippingReader, 0);
  Write(fifo, 1);
  Write(fifo, 2);
  VANTFastIO::ReadResult held = fifo.TryRead(0);
  ASSERT_NE(held.item, nullptr);
  fifo.LeaveReader(0);
  EXPECT_EQ(fifo.RegisteredMask(), 0u);
  EXPECT_EQ(fifo.BusyReaders(), 1u);
  EXPECT_FALSE(fifo.RegisterReader(0, VANT::FifoReader, 0)); // Tricky: still taken
  EXPECT_FALSE(fifo.DropBlock());
  EXPECT_FALSE(fifo.Resize(4));
  Write(fifo, 3); // no longer waits for reader 0, and writes over sample 2, not the held one
  EXPECT_EQ(ValueOf(held.item), 1);
  fifo.ReaderGone(0);
  EXPECT_EQ(fifo.BusyReaders(), 0u);
  EXPECT_TRUE(fifo.RegisterReader(0, VANT::FifoReader, 0));
  EXPECT_TRUE(fifo.DropBlock());

  // After the writer's stop, a sample given back is not readable any more.
  fifo.RegisterReader(1, VANT::FifoReader, 0);
  Write(fifo, 4);
  EXPECT_EQ(ReadNow(fifo, 0), 4);
  fifo.ReleaseAll();
  fifo.Release(0);
  EXPECT_TRUE(WouldWait(fifo, 1));
  EXPECT_EQ(fifo.FreeSlotCount(), 2);
}

TEST_F(FastIOTest, MonitorWalksFromTheNewestItem) {
  OverrunCounter overruns;
  VANTIOMonitorImplementation monitor(nullptr, 3, 1, -1, &OverrunCounter::Count, &overruns);
  Write(monitor, 1);
  Write(monitor, 2);
  VANTIOMonitor& walk = monitor;
  VANTFastIOItem* position = nullptr;
  std::vector<int64_t> seen;
  for (VANTFastIOItem* item = walk.First(&position); item != nullptr; item = walk.Next(&position)) {
    seen.push_back(walk.ElementOf(item)->Timestamp());
  }
  EXPECT_EQ(seen, (std::vector<int64_t>{2, 1, 0}));
  monitor.Resize(5);
  EXPECT_EQ(monitor.ItemCount(), 5);
  EXPECT_EQ(monitor.FreeSlotCount(), 5);
}

// ---- Threads ---------------------------------------------------------------------------------

TEST_F(FastIOTest, FastWriterLosesNothingForASlowNeverSkippingReader) {
  constexpr int64_t kSamples = 10000;
  VANTEvent stop(false, nullptr);
  VANTFastIO fifo(&stop, 4, 1, -1, &OverrunCounter::Count, &m_overruns);
  fifo.RegisterReader(0, VANT::NeverSkippingReader, 0);
  fifo.RegisterReader(1, VANT::FifoReader, 0); // may be overrun; must never corrupt reader 0

  int64_t sum = 0;
  int64_t expected = 1;
  bool inOrder = true;
  std::thread reader([&] {
    for (int64_t n = 0; n < kSamples; ++n) {
      VANTFastIOItem* item = ReadBlocking(fifo, 0, &stop);
      const int64_t value = ValueOf(item);
      inOrder = inOrder && value == expected;
      ++expected;
      sum += value;
      if (n % 64 == 0) {
        std::this_thread::yield(); // slower than the writer
      }
      fifo.Release(0);
    }
  });
  for (int64_t v = 1; v <= kSamples; ++v) {
    Write(fifo, v);
  }
  reader.join();
  EXPECT_TRUE(inOrder);
  EXPECT_EQ(sum, kSamples * (kSamples + 1) / 2);
  EXPECT_TRUE(ReportTexts().empty());
}

} // namespace
