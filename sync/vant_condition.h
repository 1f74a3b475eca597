#pragma once
// Conditions on which threads sleep until the state guarded by a VANTMutex changes: VANTCondition2
// with one fixed slot per waiter (the FIFO readers), and VANTCondition with a pool of events that
// grows to the largest number of threads that ever waited at once.
//
// Protocol: the waiter holds the mutex, checks its predicate and calls Wait(); Wait resets the
// waiter's event and marks it waiting before it releases the mutex, and the signaller calls
// Broadcast() with the mutex held. So a signal given after the waiter released the mutex is never
// lost: either the waiter was marked waiting and finds its event set, or it had not yet been
// marked and re-checks its predicate under the mutex before it waits again.
//
// Abnormal ends of a wait are integer exceptions, always thrown with the mutex released:
// VANT::TimeoutException (-3) after the condition's time-out, VANT::StopException (0xDEAD) when the
// abort event ended the wait, VANT::WaitFailedException (-4) when the wait itself failed.
//
// Locking: the mutex is the caller's, so the lock analysis cannot follow the waits that release
// and retake it; they are exempt from it. The mutex is held once (not recursively) around every
// call unless a call says otherwise; a wait releases it once, so a second, outer hold would keep it
// locked while asleep.

#include "sync/vant_event.h"
#include "sync/vant_mutex.h"

#include <cstdint>

/// VANTCondition2: a condition with up to 32 numbered waiter slots, one event each.
///
/// Thread: each slot belongs to one waiting thread; any thread may Broadcast.
/// Blocks: Wait(i) sleeps until Broadcast(), the abort event or the time-out.
/// Ownership: the waiter events are owned; the mutex and the abort event are not, and must
///   outlive the condition.
/// Locking: the waiting marks and the count are guarded by the caller's mutex; the events are
///   set under it and waited on outside it.
class VANTCondition2 {
public:
  static constexpr int32_t kMaxWaiters = 32;

  /// abortEvent may be null (no abort); timeoutUs -1 waits without limit.
  VANTCondition2(VANTMutex* mutex, VANTEvent* abortEvent, int32_t timeoutUs) noexcept;
  virtual ~VANTCondition2();
  VANTCondition2(const VANTCondition2&) = delete;
  VANTCondition2& operator=(const VANTCondition2&) = delete;

  /// Creates an unsignalled event in the next free slot and returns the slot's index. A 33rd
  /// waiter is refused: reported as an error, then VANT::ErrorException (mutex still held).
  int32_t AddWaiter();
  /// Makes slot i ready for a new waiter: its event unsignalled and not waiting. A slot at or
  /// beyond the count grows the count to i + 1. Slots outside 0 to 31 are refused as AddWaiter's.
  void ResetWaiter(int32_t i);

  /// Sleeps in slot i until Broadcast(); entered and left with the mutex held. Abnormal ends are
  /// thrown with the mutex released (see above).
  void Wait(int32_t i) VANT_NO_THREAD_SAFETY_ANALYSIS;
  /// The first half of Wait(i) for a caller that sleeps on more events itself: resets event i,
  /// marks slot i waiting, hands back event i and the abort event (possibly null), and releases
  /// the mutex. The caller then waits on them and ends with EndWait.
  void BeginWait(int32_t i, VANTEvent*& event,
                 VANTEvent*& abortEvent) VANT_NO_THREAD_SAFETY_ANALYSIS;
  /// Takes the mutex again and clears the waiting mark of slot i.
  void EndWait(int32_t i) noexcept VANT_NO_THREAD_SAFETY_ANALYSIS;
  /// Takes the mutex again and clears the waiting mark of slot i; then status 0 returns with the
  /// mutex held, 1 (the abort event ended the wait) throws VANT::StopException and any other
  /// status VANT::WaitFailedException, each with the mutex released.
  void EndWait(int32_t i, int32_t status) VANT_NO_THREAD_SAFETY_ANALYSIS;

  /// Sets the event of every slot marked waiting; slots that are not waiting are left alone.
  void Broadcast() noexcept;

  [[nodiscard]] int32_t WaiterCount() const noexcept { return m_count; }
  [[nodiscard]] bool IsWaiting(int32_t i) const noexcept {
    return i >= 0 && i < m_count && m_waiting[i];
  }
  /// The event of slot i, or null for a slot without one.
  [[nodiscard]] VANTEvent* WaiterEvent(int32_t i) const noexcept {
    return i >= 0 && i < m_count ? m_waiterEvents[i] : nullptr;
  }
  [[nodiscard]] int32_t Timeout() const noexcept { return m_timeout; }
  void SetTimeout(int32_t timeoutUs) noexcept { m_timeout = timeoutUs; }

private:
  VANTEvent* SlotEvent(int32_t i) VANT_NO_THREAD_SAFETY_ANALYSIS;

  VANTMutex* m_mutex;
  VANTEvent* m_abortEvent;
  VANTEvent* m_waiterEvents[kMaxWaiters] = {};
  bool m_waiting[kMaxWaiters] = {};
  int32_t m_count = 0;
  int32_t m_timeout;
};

/// VANTCondition: the same condition for any number of anonymous waiters. A wait takes an event
/// from a pool and gives it back afterwards; busy events stay at the front of the pool and free
/// ones at the back, so Broadcast stops at the first free one and the pool only grows to the
/// largest number of threads that waited at once (no allocation after that).
///
/// Thread, blocks, ownership and locking: as VANTCondition2; the pool is guarded by the mutex.
class VANTCondition {
public:
  /// One event of the pool.
  struct EventInPool {
    VANTEvent event{false, nullptr};
    bool free = false;
    EventInPool* previous = nullptr;
    EventInPool* next = nullptr;
  };

  VANTCondition(VANTMutex* mutex, VANTEvent* abortEvent, int32_t timeoutUs) noexcept;
  ~VANTCondition();
  VANTCondition(const VANTCondition&) = delete;
  VANTCondition& operator=(const VANTCondition&) = delete;

  /// Sleeps until Broadcast(); entered and left with the mutex held. Abnormal ends give the event
  /// back to the pool and are thrown with the mutex released.
  void Wait() VANT_NO_THREAD_SAFETY_ANALYSIS;
  /// Takes an event for the caller, releases the mutex and returns the item; the caller waits on
  /// item->event (and the abort event) itself, then calls EndWait(item).
  [[nodiscard]] EventInPool* BeginWait() VANT_NO_THREAD_SAFETY_ANALYSIS;
  /// Takes the mutex again and gives the item back to the pool.
  void EndWait(EventInPool* item) VANT_NO_THREAD_SAFETY_ANALYSIS;
  /// As EndWait(item), then status 0 returns with the mutex held, 1 throws VANT::StopException and
  /// any other status VANT::WaitFailedException, each with the mutex released.
  void EndWait(EventInPool* item, int32_t status) VANT_NO_THREAD_SAFETY_ANALYSIS;
  /// Sets the event of every busy item of the pool.
  void Broadcast() noexcept;

  /// Events in the pool, busy and free.
  [[nodiscard]] int32_t PoolSize() const noexcept { return m_size; }
  [[nodiscard]] int32_t Timeout() const noexcept { return m_timeout; }
  void SetTimeout(int32_t timeoutUs) noexcept { m_timeout = timeoutUs; }

private:
  EventInPool* TakeEvent();
  void GiveBack(EventInPool* item) noexcept;
  void Unlink(EventInPool* item) noexcept;
  void PushFront(EventInPool* item) noexcept;
  void PushBack(EventInPool* item) noexcept;

  VANTMutex* m_mutex;
  VANTEvent* m_abortEvent;
  EventInPool* m_front = nullptr;
  EventInPool* m_back = nullptr;
  int32_t m_size = 0;
  int32_t m_timeout;
};
