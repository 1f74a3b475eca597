// Throughput and latency of an output FIFO.
//
// 1. One writer, one never-skipping reader, a FIFO of 16 samples of 8 Integer64 each, against a
//    bounded queue of 16 such samples on std::mutex + std::condition_variable (the same protocol:
//    the writer waits while the queue is full, the reader while it is empty).
// 2. One writer and 8 readers of mixed kinds (2 never-skipping, 2 plain FIFO, 2 last-or-next,
//    1 sampling, 1 wait-for-next).
// 3. Publish-to-read latency: one sample at a time, from Publish to the reader's take.
//
// Usage: fifo_bench [samples [part]]   (default 1000000 samples, every part)

#include "dataflow/vant_fast_io.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int32_t kFifoSize = 16;
constexpr int32_t kVector = 8; // Integer64 per sample

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// A FIFO whose items carry data blocks of 8 Integer64, as an output's allocation gives them.
struct DataFifo {
  explicit DataFifo(int32_t size)
      : fifo(nullptr, size, 1, -1, nullptr, nullptr), block(size * kVector) {
    VANTFastIOItem* position = nullptr;
    int k = 0;
    for (VANTFastIOItem* item = fifo.First(&position); item != nullptr;
         item = fifo.Next(&position)) {
      VANTIOElt* element = fifo.ElementOf(item);
      element->Data() = &block[static_cast<size_t>(k++) * kVector];
      element->BufferSize() = kVector;
      element->VectorSize() = kVector;
      element->Type().flags = VANT::TypeCode::Integer64 | VANT::VectorFlag;
    }
  }
  VANTIOMonitorImplementation fifo;
  std::vector<int64_t> block;
};

VANTFastIOItem* ReadBlocking(VANTFastIO& fifo, uint32_t reader) {
  VANTFastIO::ReadResult result = fifo.TryRead(reader, true);
  while (result.MustWait()) {
    VANTEvent* events[1] = {result.waitEvent};
    result = fifo.TakeAfterWait(reader, VANTEvent::Wait(1, events, -1));
  }
  return result.item;
}

void WriteSample(VANTFastIO& fifo, int64_t n) {
  VANTFastIOItem* item = fifo.AcquireWrite();
  auto* data = static_cast<int64_t*>(item->elt.element.Data());
  for (int i = 0; i < kVector; ++i) {
    data[i] = n + i;
  }
  item->elt.element.Timestamp() = n;
  fifo.Publish(item);
}

int64_t SumOf(const int64_t* data) {
  int64_t sum = 0;
  for (int i = 0; i < kVector; ++i) {
    sum += data[i];
  }
  return sum;
}

int64_t ExpectedSum(int64_t samples) {
  // sum over n of (8n + 28)
  return 8 * (samples * (samples - 1) / 2) + 28 * samples;
}

// ---- 1. FIFO against the mutex/condition-variable queue -----------------------------------

double FifoOneReader(int64_t samples, bool* ok) {
  DataFifo data(kFifoSize);
  data.fifo.RegisterReader(0, VANT::NeverSkippingReader, 0);
  int64_t total = 0;
  const Clock::time_point start = Clock::now();
  std::thread reader([&] {
    for (int64_t n = 0; n < samples; ++n) {
      VANTFastIOItem* item = ReadBlocking(data.fifo, 0);
      total += SumOf(static_cast<const int64_t*>(item->elt.element.Data()));
      data.fifo.Release(0);
    }
  });
  for (int64_t n = 0; n < samples; ++n) {
    WriteSample(data.fifo, n);
  }
  reader.join();
  const double seconds = Seconds(Clock::now() - start);
  *ok = total == ExpectedSum(samples);
  return samples / seconds;
}

class BoundedQueue {
public:
  void Push(const int64_t* sample) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_notFull.wait(lock, [&] { return m_count < kFifoSize; });
    std::memcpy(m_slots[(m_head + m_count) % kFifoSize], sample, sizeof(int64_t) * kVector);
    ++m_count;
    m_notEmpty.notify_one();
  }
  int64_t PopSum() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_notEmpty.wait(lock, [&] { return m_count > 0; });
    const int64_t sum = SumOf(m_slots[m_head]);
    m_head = (m_head + 1) % kFifoSize;
    --m_count;
    m_notFull.notify_one();
    return sum;
  }

private:
  std::mutex m_mutex;
  std::condition_variable m_notFull;
  std::condition_variable m_notEmpty;
  int64_t m_slots[kFifoSize][kVector] = {};
  int m_head = 0;
  int m_count = 0;
};

double QueueOneReader(int64_t samples, bool* ok) {
  BoundedQueue queue;
  int64_t total = 0;
  const Clock::time_point start = Clock::now();
  std::thread reader([&] {
    for (int64_t n = 0; n < samples; ++n) {
      total += queue.PopSum();
    }
  });
  int64_t sample[kVector];
  for (int64_t n = 0; n < samples; ++n) {
    for (int i = 0; i < kVector; ++i) {
      sample[i] = n + i;
    }
    queue.Push(sample);
  }
  reader.join();
  const double seconds = Seconds(Clock::now() - start);
  *ok = total == ExpectedSum(samples);
  return samples / seconds;
}

// ---- 2. Eight readers of mixed kinds ------------------------------------------------------

void MixedReaders(int64_t samples) {
  DataFifo data(kFifoSize);
  const uint32_t types[8] = {VANT::NeverSkippingReader, VANT::NeverSkippingReader,
                             VANT::FifoReader,          VANT::FifoReader,
                             VANT::LastOrNextReader,    VANT::LastOrNextReader,
                             VANT::SamplingReader,      VANT::Wait4NextReader};
  const char* names[8] = {"never-skipping", "never-skipping", "fifo",     "fifo",
                          "last-or-next",   "last-or-next",   "sampling", "wait-for-next"};
  for (uint32_t r = 0; r < 8; ++r) {
    data.fifo.RegisterReader(r, types[r], 0);
  }
  std::atomic<bool> done{false};
  int64_t reads[8] = {};
  bool ordered[8] = {true, true, true, true, true, true, true, true};
  std::vector<std::thread> readers;
  const Clock::time_point start = Clock::now();
  for (uint32_t r = 0; r < 8; ++r) {
    readers.emplace_back([&, r] {
      int64_t last = -1;
      for (;;) {
        VANTFastIO::ReadResult result = data.fifo.TryRead(r);
        while (result.MustWait()) {
          if (done.load(std::memory_order_acquire)) {
            data.fifo.CancelWait(r);
            return;
          }
          VANTEvent* events[1] = {result.waitEvent};
          const int32_t waited = VANTEvent::Wait(1, events, 1000); // re-checks `done` each ms
          if (waited == VANT::kWaitTimeout) {
            data.fifo.CancelWait(r);
            result = data.fifo.TryRead(r);
            continue;
          }
          result = data.fifo.TakeAfterWait(r, waited);
        }
        const int64_t value = result.item->elt.element.Timestamp();
        // Sampling readers may see a sample twice; every other kind only moves forward.
        if (types[r] == VANT::SamplingReader ? value < last : value <= last) {
          ordered[r] = false;
        }
        last = value;
        ++reads[r];
        data.fifo.Release(r);
        if (types[r] == VANT::SamplingReader) {
          // A sampling reader looks at the newest sample once per cycle of its own.
          std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        if (types[r] != VANT::NeverSkippingReader && value == samples - 1) {
          return;
        }
        if (types[r] == VANT::NeverSkippingReader && reads[r] == samples) {
          return;
        }
      }
    });
  }
  for (int64_t n = 0; n < samples; ++n) {
    WriteSample(data.fifo, n);
  }
  const double writeSeconds = Seconds(Clock::now() - start);
  done.store(true, std::memory_order_release);
  data.fifo.WakeReaders();
  for (std::thread& t : readers) {
    t.join();
  }
  std::printf("\n2. one writer, 8 readers of mixed kinds, FIFO of %d\n", kFifoSize);
  std::printf("   writer: %.0f samples/s\n", samples / writeSeconds);
  for (int r = 0; r < 8; ++r) {
    std::printf("   reader %d (%s): %lld samples read (%.1f%%)%s\n", r, names[r],
                static_cast<long long>(reads[r]), 100.0 * reads[r] / samples,
                ordered[r] ? "" : "  OUT OF ORDER");
  }
}

// ---- 3. Latency ---------------------------------------------------------------------------

void Latency(int64_t rounds) {
  DataFifo data(kFifoSize);
  data.fifo.RegisterReader(0, VANT::NeverSkippingReader, 0);
  std::vector<int64_t> latencies(static_cast<size_t>(rounds));
  VANTEvent readDone(false, nullptr);
  std::thread reader([&] {
    for (int64_t n = 0; n < rounds; ++n) {
      VANTFastIOItem* item = ReadBlocking(data.fifo, 0);
      const int64_t took = Clock::now().time_since_epoch().count();
      latencies[static_cast<size_t>(n)] = took - item->elt.element.Timestamp();
      data.fifo.Release(0);
      readDone.Set();
    }
  });
  for (int64_t n = 0; n < rounds; ++n) {
    readDone.Reset();
    VANTFastIOItem* item = data.fifo.AcquireWrite();
    item->elt.element.Timestamp() = Clock::now().time_since_epoch().count();
    data.fifo.Publish(item);
    readDone.Wait(-1);
  }
  reader.join();
  std::sort(latencies.begin(), latencies.end());
  const auto at = [&](double q) {
    return latencies[static_cast<size_t>(q * static_cast<double>(latencies.size() - 1))] / 1000.0;
  };
  std::printf("\n3. publish-to-read latency, %lld samples one at a time\n",
              static_cast<long long>(rounds));
  std::printf("   median %.1f us, p99 %.1f us, max %.1f us\n", at(0.5), at(0.99), at(1.0));
}

} // namespace

int main(int argc, char** argv) {
  const int64_t samples = argc > 1 ? std::atoll(argv[1]) : 1000000;
  const int only = argc > 2 ? std::atoi(argv[2]) : 0; // 1, 2 or 3: that part alone; 4/5: FIFO/queue
  bool fifoOk = false;
  bool queueOk = false;
  // Alternate the two, three times each, and keep each one's best run.
  double fifoRate = 0;
  double queueRate = 0;
  fifoOk = queueOk = true;
  for (int round = 0; round < 3 && (only == 0 || only == 1 || only >= 4); ++round) {
    if (only != 5) {
      fifoRate = std::max(fifoRate, FifoOneReader(samples, &fifoOk));
    }
    if (only != 4) {
      queueRate = std::max(queueRate, QueueOneReader(samples, &queueOk));
    }
  }
  std::printf("1. one writer -> one never-skipping reader, %d slots of %d x Integer64, %lld "
              "samples (best of 3)\n",
              kFifoSize, kVector, static_cast<long long>(samples));
  std::printf("   VANTFastIO:                    %12.0f samples/s%s\n", fifoRate,
              fifoOk ? "" : "  CHECKSUM MISMATCH");
  std::printf("   std::mutex + condition_variable: %10.0f samples/s%s\n", queueRate,
              queueOk ? "" : "  CHECKSUM MISMATCH");
  std::printf("   ratio FIFO / baseline: %.2f (goal >= 1, and >= 1000000 samples/s)\n",
              fifoRate / queueRate);
  if (only == 0 || only == 2) {
    MixedReaders(samples / 4);
  }
  if (only == 0 || only == 3) {
    Latency(std::min<int64_t>(samples / 20, 50000));
  }
  return fifoOk && queueOk ? 0 : 1;
}
