#include "sync/sync_test_support.h"
#include "sync/vant_condition.h"
#include "sync/vant_thread.h"
#include "util/vant_exceptions.h"
#include "util/vant_report_hook.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using synctest::AwaitLinked;
using synctest::FreeForOtherThreads;
using synctest::kSafetyUs;

std::vector<std::string> g_reports;
void CaptureReport(const char* text, int32_t, int32_t, bool) noexcept {
  g_reports.push_back(text);
}

// The event of a slot that must exist.
VANTEvent& SlotEvent(const VANTCondition2& condition, int32_t i) {
  VANTEvent* event = condition.WaiterEvent(i);
  if (event == nullptr) {
    std::abort();
  }
  return *event;
}

// Runs `body`, which must throw an int, and returns that int (or 0 when nothing was thrown).
template <class Body>
int ThrownCode(Body body) {
  try {
    body();
  } catch (int code) {
    return code;
  }
  return 0;
}

TEST(Condition2, BroadcastSetsOnlyTheSlotsMarkedWaiting) {
  VANTMutex mutex;
  VANTCondition2 condition(&mutex, nullptr, -1);
  VANTMutexLocker locker(mutex);
  EXPECT_EQ(condition.AddWaiter(), 0);
  EXPECT_EQ(condition.AddWaiter(), 1);
  condition.Broadcast();
  EXPECT_FALSE(SlotEvent(condition, 0).IsSet()) << "nobody waits: nothing is set";
  EXPECT_FALSE(SlotEvent(condition, 1).IsSet());

  VANTEvent unrelated;
  VANTEvent* event = nullptr;
  VANTEvent* abort = &unrelated; // BeginWait must overwrite it
  condition.BeginWait(1, event, abort);
  EXPECT_EQ(event, condition.WaiterEvent(1));
  EXPECT_EQ(abort, nullptr);
  EXPECT_TRUE(FreeForOtherThreads(mutex)) << "BeginWait must release the mutex";
  mutex.Lock();
  condition.Broadcast();
  mutex.Unlock();
  EXPECT_FALSE(SlotEvent(condition, 0).IsSet());
  EXPECT_EQ(event->Wait(0), 0) << "a Broadcast after the release must reach the waiter";
  condition.EndWait(1);
  EXPECT_FALSE(condition.IsWaiting(1));
  EXPECT_FALSE(FreeForOtherThreads(mutex)) << "EndWait must take the mutex again";
}

TEST(Condition2, SlotsGrowOnResetAndTheThirtyThirdIsRefused) {
  VANTMutex mutex;
  VANTCondition2 condition(&mutex, nullptr, -1);
  VANTMutexLocker locker(mutex);
  condition.ResetWaiter(4);
  EXPECT_EQ(condition.WaiterCount(), 5) << "a slot beyond the count grows it to the slot + 1";
  EXPECT_NE(condition.WaiterEvent(4), nullptr);
  EXPECT_EQ(condition.WaiterEvent(2), nullptr);
  // Tricky: slot 2 is below the count but was never created; resetting it must create it.
  condition.ResetWaiter(2);
  ASSERT_NE(condition.WaiterEvent(2), nullptr);
  SlotEvent(condition, 4).Set();
  condition.ResetWaiter(4);
  EXPECT_FALSE(SlotEvent(condition, 4).IsSet());
  EXPECT_EQ(condition.AddWaiter(), 5);

  VANT::SetReportHook(&CaptureReport);
  g_reports.clear();
  while (condition.WaiterCount() < VANTCondition2::kMaxWaiters) {
    condition.AddWaiter();
  }
  EXPECT_EQ(ThrownCode([&] { condition.AddWaiter(); }), VANT::ErrorException);
  EXPECT_EQ(ThrownCode([&] { condition.ResetWaiter(32); }), VANT::ErrorException);
  EXPECT_EQ(ThrownCode([&] { condition.ResetWaiter(-1); }), VANT::ErrorException);
  VANT::SetReportHook(nullptr);
  EXPECT_EQ(g_reports.size(), 3u);
  EXPECT_EQ(g_reports.at(0), "VANTCondition2 can't hold a waiter in slot 32 (0 to 31)");
  EXPECT_EQ(condition.WaiterCount(), 32);
}

TEST(Condition2, AbnormalEndsThrowWithTheMutexReleased) {
  VANTMutex mutex;
  VANTEvent abort;
  VANTCondition2 condition(&mutex, &abort, 5000);
  mutex.Lock();
  const int32_t slot = condition.AddWaiter();

  EXPECT_EQ(ThrownCode([&] { condition.Wait(slot); }), VANT::TimeoutException);
  EXPECT_TRUE(FreeForOtherThreads(mutex));
  EXPECT_FALSE(condition.IsWaiting(slot));

  abort.Set();
  mutex.Lock();
  EXPECT_EQ(ThrownCode([&] { condition.Wait(slot); }), VANT::StopException);
  EXPECT_TRUE(FreeForOtherThreads(mutex));

  // The caller's own wait reported status 1 (the abort event) or a failure.
  VANTEvent* event = nullptr;
  VANTEvent* abortEvent = nullptr;
  mutex.Lock();
  condition.BeginWait(slot, event, abortEvent);
  EXPECT_EQ(abortEvent, &abort);
  EXPECT_EQ(ThrownCode([&] { condition.EndWait(slot, 1); }), VANT::StopException);
  EXPECT_TRUE(FreeForOtherThreads(mutex));
  mutex.Lock();
  condition.BeginWait(slot, event, abortEvent);
  EXPECT_EQ(ThrownCode([&] { condition.EndWait(slot, VANT::kWaitTimeout); }),
            VANT::WaitFailedException);
  EXPECT_TRUE(FreeForOtherThreads(mutex));
  mutex.Lock();
  condition.BeginWait(slot, event, abortEvent);
  condition.EndWait(slot, 0);
  EXPECT_FALSE(FreeForOtherThreads(mutex)) << "status 0 returns with the mutex held";
  EXPECT_FALSE(condition.IsWaiting(slot));

  mutex.Unlock();
  abort.Reset();

  // Tricky: a Broadcast and an abort given together end the wait normally (the waiter's own
  // event has the lower index), so the waiter sees the state change before it stops. The wait
  // runs on a condition with a long time-out: on a loaded machine (or under a sanitizer) the
  // 5 ms one above can end it before the broadcast, and then nothing is linked to wait for.
  VANTCondition2 patient(&mutex, &abort, kSafetyUs);
  mutex.Lock();
  const int32_t patientSlot = patient.AddWaiter();
  mutex.Unlock();
  int thrown = -100;
  std::thread waiter([&] {
    mutex.Lock();
    thrown = ThrownCode([&] { patient.Wait(patientSlot); });
    if (thrown == 0) {
      mutex.Unlock(); // an abnormal end has released the mutex already
    }
  });
  AwaitLinked(SlotEvent(patient, patientSlot));
  mutex.Lock();
  patient.Broadcast();
  abort.Set();
  mutex.Unlock();
  waiter.join();
  EXPECT_EQ(thrown, 0);
  EXPECT_TRUE(FreeForOtherThreads(mutex));
}

TEST(Condition2, NoSignalIsLostBetweenTheReleaseAndTheSleep) {
  // The consumer waits for each value under the mutex; the producer publishes it and broadcasts
  // under the mutex. A lost signal runs into the time-out (-3).
  VANTMutex mutex;
  VANTEvent abort;
  VANTCondition2 condition(&mutex, &abort, kSafetyUs);
  int produced = 0;
  int consumed = 0;
  int slot = 0;
  {
    VANTMutexLocker locker(mutex);
    slot = condition.AddWaiter();
  }
  constexpr int kRounds = 2000;
  int failure = 0;
  std::thread consumer([&] {
    try {
      VANTMutexLocker locker(mutex);
      while (consumed < kRounds) {
        while (produced == consumed) {
          condition.Wait(slot);
        }
        consumed = produced;
        condition.Broadcast();
      }
    } catch (int code) {
      failure = code; // the mutex was released by the throwing wait
    }
  });
  for (int round = 1; round <= kRounds && failure == 0; ++round) {
    VANTMutexLocker locker(mutex);
    produced = round;
    condition.Broadcast();
    while (consumed != round && failure == 0) {
      locker.Release();
      VANT::Yield();
      locker.Acquire();
    }
  }
  consumer.join();
  EXPECT_EQ(failure, 0);
  EXPECT_EQ(consumed, kRounds);
}

TEST(Condition, PoolGrowsOnlyToTheLargestNumberOfSimultaneousWaiters) {
  VANTMutex mutex;
  VANTCondition condition(&mutex, nullptr, -1);
  VANTMutexLocker locker(mutex);
  condition.Broadcast(); // an empty pool
  VANTCondition::EventInPool* first = condition.BeginWait();
  mutex.Lock();
  VANTCondition::EventInPool* second = condition.BeginWait();
  mutex.Lock();
  EXPECT_NE(first, second);
  EXPECT_EQ(condition.PoolSize(), 2);
  condition.Broadcast();
  EXPECT_TRUE(first->event.IsSet());
  EXPECT_TRUE(second->event.IsSet());
  mutex.Unlock();
  condition.EndWait(first);
  EXPECT_TRUE(first->free);

  // Broadcast stops at the first free item: the given-back event is not set again.
  first->event.Reset();
  second->event.Reset();
  condition.Broadcast();
  EXPECT_FALSE(first->event.IsSet());
  EXPECT_TRUE(second->event.IsSet());

  mutex.Unlock();
  condition.EndWait(second);
  for (int i = 0; i < 5; ++i) {
    VANTCondition::EventInPool* again = condition.BeginWait();
    EXPECT_TRUE(again == first || again == second) << "a free event must be reused";
    EXPECT_FALSE(again->event.IsSet()) << "a reused event starts unsignalled";
    condition.EndWait(again);
  }
  EXPECT_EQ(condition.PoolSize(), 2);
}

TEST(Condition, AbnormalEndsGiveTheEventBackAndReleaseTheMutex) {
  VANTMutex mutex;
  VANTEvent abort;
  VANTCondition condition(&mutex, &abort, 2000);
  mutex.Lock();
  EXPECT_EQ(ThrownCode([&] { condition.Wait(); }), VANT::TimeoutException);
  EXPECT_TRUE(FreeForOtherThreads(mutex));
  abort.Set();
  mutex.Lock();
  EXPECT_EQ(ThrownCode([&] { condition.Wait(); }), VANT::StopException);
  EXPECT_TRUE(FreeForOtherThreads(mutex));
  EXPECT_EQ(condition.PoolSize(), 1) << "events of ended waits must return to the pool";

  mutex.Lock();
  VANTCondition::EventInPool* item = condition.BeginWait();
  EXPECT_EQ(ThrownCode([&] { condition.EndWait(item, 2); }), VANT::WaitFailedException);
  EXPECT_TRUE(FreeForOtherThreads(mutex));
  EXPECT_TRUE(item->free);
}

TEST(Condition, EveryWaiterIsReleasedByOneBroadcast) {
  VANTMutex mutex;
  VANTEvent abort;
  VANTCondition condition(&mutex, &abort, kSafetyUs);
  bool ready = false;
  std::atomic<int> released{0};
  std::atomic<int> failures{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; ++i) {
    waiters.emplace_back([&] {
      try {
        VANTMutexLocker locker(mutex);
        while (!ready) {
          condition.Wait();
        }
        released.fetch_add(1);
      } catch (int) {
        failures.fetch_add(1);
      }
    });
  }
  for (;;) {
    VANTMutexLocker locker(mutex);
    if (condition.PoolSize() == 4) {
      break;
    }
    locker.Release();
    VANT::Yield();
  }
  {
    VANTMutexLocker locker(mutex);
    ready = true;
    condition.Broadcast();
  }
  for (auto& waiter : waiters) {
    waiter.join();
  }
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(released.load(), 4);
  EXPECT_EQ(condition.PoolSize(), 4);
}

} // namespace
