#pragma once
// HostTriggers: the engine stand-in's trigger service. One thread keeps a min-heap of (real
// deadline, event) and sleeps until the earliest deadline; when it passes, the event is set and
// its armed mark cleared. Deadlines are in the host's real time (HostClock::RealTime, the
// monotonic clock in microseconds), which is also std::chrono::steady_clock's clock here.
//
// Thread: Arm and Disarm from any thread.
// Ownership: the service never owns an event. An armed event must stay alive until it has fired
//   or been disarmed; the event's destructor disarms it when it is still armed.
// Locking: Set() and the clearing of the armed mark happen under the service mutex, and Disarm
//   takes the same mutex. So once Disarm has returned, or once the armed mark reads false, no
//   Set() of that arming is in flight and the event may be destroyed.

#include "kernel/vant_host_kernel.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

class HostTriggers final : public VANTTriggerService {
public:
  HostTriggers();
  /// Stops the thread; pending armings are dropped and their armed marks cleared.
  ~HostTriggers();
  HostTriggers(const HostTriggers&) = delete;
  HostTriggers& operator=(const HostTriggers&) = delete;

  /// Sets event at real time realTimeUs (at once when it has passed). An event armed again is
  /// moved to its new deadline: it is held at most once. Always succeeds.
  bool Arm(VANTEvent* event, int64_t realTimeUs) override;
  /// Takes a pending arming back; nothing happens when the event is not held.
  void Disarm(VANTEvent* event) override;

  /// Armings accepted since construction.
  uint64_t ArmCount() const;
  /// Armings waiting for their deadline.
  std::size_t Pending() const;

private:
  struct Entry {
    int64_t deadline;
    uint64_t order; // arming order: equal deadlines fire in the order they were armed
    VANTEvent* event;
  };
  static bool Later(const Entry& a, const Entry& b) noexcept;
  void RemoveLocked(VANTEvent* event);
  void Run();

  mutable std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<Entry> m_heap; // guarded by m_mutex; a min-heap on (deadline, order)
  uint64_t m_armings = 0;    // guarded by m_mutex
  bool m_stopping = false;   // guarded by m_mutex
  std::thread m_thread;
};
