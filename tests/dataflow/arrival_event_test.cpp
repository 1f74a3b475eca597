// The FIFO's arrival events: one event that a reader of many FIFOs waits on, set by every
// publication to it once the sample is readable.
#include "dataflow/vant_fast_io.h"
#include "support/host_fixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <random>
#include <thread>
#include <vector>

namespace {

void Publish(VANTFastIO& fifo, int64_t value) {
  VANTFastIOItem* item = fifo.AcquireWrite();
  ASSERT_NE(item, nullptr);
  item->elt.element.Timestamp() = value;
  fifo.Publish(item);
}

class ArrivalEventTest : public HostFixture {};

TEST_F(ArrivalEventTest, SetByPublicationsWhileRegisteredAndUntilCleared) {
  VANTFastIO fifo(nullptr, 8, 1, -1, nullptr, nullptr);
  ASSERT_TRUE(fifo.RegisterReader(0, VANT::FifoReader, 0));
  ASSERT_TRUE(fifo.RegisterReader(1, VANT::FifoReader, 0));
  VANTEvent mine;
  VANTEvent other;
  fifo.SetArrivalEvent(1, &mine);
  Publish(fifo, 1);
  EXPECT_TRUE(mine.IsSet());

  mine.Reset();
  fifo.ClearArrivalEvent(1, &other); // not reader 1's event: nothing changes
  Publish(fifo, 2);
  EXPECT_TRUE(mine.IsSet());

  mine.Reset();
  fifo.ClearArrivalEvent(1, &mine);
  Publish(fifo, 3);
  EXPECT_FALSE(mine.IsSet());

  // Registration and unregistration forget the event: the reader index may change hands.
  fifo.SetArrivalEvent(1, &mine);
  fifo.UnregisterReader(1);
  Publish(fifo, 4);
  EXPECT_FALSE(mine.IsSet());
  fifo.UnregisterReader(0);
  fifo.SetArrivalEvent(0, &mine);
  ASSERT_TRUE(fifo.RegisterReader(0, VANT::FifoReader, 0));
  Publish(fifo, 5);
  EXPECT_FALSE(mine.IsSet());

  // A sample dropped by output subsampling is not an arrival.
  fifo.SetArrivalEvent(0, &mine);
  fifo.SetPublishRate(2);
  Publish(fifo, 6);
  EXPECT_FALSE(mine.IsSet());
  Publish(fifo, 7);
  EXPECT_TRUE(mine.IsSet());
  EXPECT_TRUE(TakeReportTexts().empty());
}

// Writers publish at random paces into FIFOs of never-skipping readers, so a reader that misses
// one arrival leaves its writer blocked for good. The reader resets the event, empties every FIFO,
// then sleeps on the event: the bounded wait is the watchdog.
TEST_F(ArrivalEventTest, OneEventOverManyFifosMissesNoPublication) {
  constexpr int kFifos = 6;
  constexpr int64_t kSamples = 3000;
  const uint32_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::vector<std::unique_ptr<VANTFastIO>> fifos;
  VANTEvent arrived;
  for (int f = 0; f < kFifos; ++f) {
    fifos.push_back(std::make_unique<VANTFastIO>(nullptr, 2, 1, -1, nullptr, nullptr));
    ASSERT_TRUE(fifos.back()->RegisterReader(0, VANT::NeverSkippingReader, 0));
    fifos.back()->SetArrivalEvent(0, &arrived);
  }
  std::vector<std::thread> writers;
  for (int f = 0; f < kFifos; ++f) {
    writers.emplace_back([&, f] {
      std::mt19937 random(seed + static_cast<uint32_t>(f));
      for (int64_t v = 1; v <= kSamples; ++v) {
        const uint32_t pace = random() % 64;
        if (pace == 0) {
          std::this_thread::sleep_for(std::chrono::microseconds(random() % 200));
        } else if (pace < 8) {
          std::this_thread::yield();
        }
        VANTFastIOItem* item = fifos[static_cast<size_t>(f)]->AcquireWrite();
        item->elt.element.Timestamp() = v;
        fifos[static_cast<size_t>(f)]->Publish(item);
      }
    });
  }
  std::vector<int64_t> last(kFifos, 0);
  bool inOrder = true;
  int64_t received = 0;
  bool stalled = false;
  while (received < kFifos * kSamples && !stalled) {
    arrived.Reset();
    for (int f = 0; f < kFifos; ++f) {
      VANTFastIO& fifo = *fifos[static_cast<size_t>(f)];
      while (fifo.DataAvailable(0)) {
        VANTFastIO::ReadResult result = fifo.TryRead(0);
        ASSERT_FALSE(result.MustWait());
        const int64_t value = result.item->elt.element.Timestamp();
        inOrder = inOrder && value == last[static_cast<size_t>(f)] + 1;
        last[static_cast<size_t>(f)] = value;
        fifo.Release(0);
        ++received;
      }
    }
    if (received < kFifos * kSamples) {
      stalled = arrived.Wait(10000000) != 0;
    }
  }
  EXPECT_FALSE(stalled) << "an arrival was missed: " << received << " samples received";
  if (stalled) {
    for (auto& fifo : fifos) { // let the writers finish
      fifo->UnregisterReader(0);
    }
  }
  for (std::thread& writer : writers) {
    writer.join();
  }
  EXPECT_TRUE(inOrder);
}

} // namespace
