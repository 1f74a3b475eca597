#pragma once
// HostClock: the engine stand-in's time. Engine time runs from the monotonic clock at a speed in
// per-mille of real time (1000 real time, 0 stopped, negative backwards); it can be paused, jump,
// and, for tests, be stepped by hand. It also owns the time lock and the wake-up registry through
// which timed waits of the package learn that time changed under them.
//
// Thread: every operation may be called from any thread.
// Blocks: AcquireTimeLock blocks while a host change holds the lock exclusively. The host changes
//   (SetSpeed, Pause, Resume, JumpTo, Step, SetStepped) first set the wake-up event, so that
//   every timed wait that holds the lock shared wakes and releases it, then take the lock
//   exclusively, rebase, reset the wake-up event and unlock.
// Locking: the lock prefers writers. A timed wait that wakes re-acquires the lock at once; with a
//   reader-preferring lock such waits could starve the host change for ever. The price is that
//   the lock is not recursive for readers: a thread that holds it shared must never acquire it
//   again, which is why CurrentTime, TimeSpeed and ClockState never touch it. CurrentTime reads
//   the time base through a sequence lock instead.

#include "src/vant_host_kernel.h"
#include "sync/vant_event.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <pthread.h>

/// The wake-up registry of the host: one manual-reset event, set during every host change.
class HostWakeUps final : public VANTWakeUpRegistry {
public:
  HostWakeUps();
  ~HostWakeUps();
  HostWakeUps(const HostWakeUps&) = delete;
  HostWakeUps& operator=(const HostWakeUps&) = delete;

  /// Stores the wake-up event's address into *slot; returns a non-null cookie.
  void* Register(VANTEvent** slot) override;
  /// Bookkeeping only: the registration count drops by one. A null cookie is ignored.
  void Unregister(void* cookie) override;

  VANTEvent& Event() noexcept { return m_event; }
  /// Registrations not yet withdrawn: the timed waits currently inside a pass.
  int32_t Registered() const noexcept { return m_registered.load(std::memory_order_acquire); }
  /// Waits, polling every 50 real microseconds, until at least count registrations are held.
  /// False when realTimeoutUs ran out first. For tests, which must not guess with sleeps.
  bool AwaitRegistered(int32_t count, int64_t realTimeoutUs) const;

private:
  VANTEvent m_event;
  std::atomic<int32_t> m_registered{0};
  std::atomic<uint64_t> m_cookies{0};
};

class HostClock {
public:
  static constexpr int32_t kRunning = 0;
  /// ClockState while paused: timed waits then wait without a deadline.
  static constexpr int32_t kNoDeadline = 2;

  /// Engine time starts at startTime, running at real time.
  explicit HostClock(int64_t startTime = 0);
  ~HostClock();
  HostClock(const HostClock&) = delete;
  HostClock& operator=(const HostClock&) = delete;

  /// The monotonic clock in microseconds; runs at the wall clock's pace whatever the speed.
  static int64_t RealTime() noexcept;

  // ---- What the kernel slots read (never block) ----------------------------------------------
  /// Engine time in microseconds: base + (real - realBase) x speed / 1000 while running.
  int64_t CurrentTime() const noexcept;
  int32_t TimeSpeed() const noexcept { return m_baseSpeed.load(std::memory_order_acquire); }
  int32_t SpeedSign() const noexcept;
  /// kNoDeadline while paused, kRunning otherwise.
  int32_t ClockState() const noexcept;
  bool TimeoutsSuspended() const noexcept {
    return m_timeoutsSuspended.load(std::memory_order_acquire);
  }
  VANTWakeUpRegistry* WakeUps() noexcept { return &m_wakeUps; }
  HostWakeUps& WakeUpRegistry() noexcept { return m_wakeUps; }

  // ---- Time lock ------------------------------------------------------------------------------
  /// Shared: held by a timed wait for a whole pass, including its blocking wait.
  void AcquireTimeLock() noexcept;
  void ReleaseTimeLock() noexcept;

  // ---- Host changes (each wakes every timed wait) ---------------------------------------------
  void SetSpeed(int32_t perMille);
  /// Freezes engine time; ClockState becomes kNoDeadline. Pausing twice changes nothing more.
  void Pause();
  void Resume();
  void JumpTo(int64_t engineTime);
  /// Stepped: engine time moves only through Step and JumpTo, while speed and clock state stay
  /// as they are. Lets tests hold engine time exactly where a wait's arithmetic is checked.
  void SetStepped(bool stepped);
  /// Moves engine time by delta microseconds (either direction), whatever the mode.
  void Step(int64_t delta);

  /// Not a host change: waits read it at the start of each pass.
  void SetTimeoutsSuspended(bool suspended) noexcept {
    m_timeoutsSuspended.store(suspended, std::memory_order_release);
  }
  bool Paused() const noexcept;

private:
  struct Base {
    int64_t engine;
    int64_t real;
    int32_t speed;
    bool advancing;
  };
  Base ReadBase() const noexcept;
  /// The host change protocol around apply(Base&), which sees the base rebased to now.
  template <typename Apply>
  void Change(Apply apply);

  // Sequence lock over the time base. Written only inside Change (exclusive time lock and
  // m_changeMutex held), read anywhere. Fields are atomics so that a torn read is a retry, not a
  // data race.
  std::atomic<uint32_t> m_sequence{0};
  std::atomic<int64_t> m_baseEngine{0};
  std::atomic<int64_t> m_baseReal{0};
  std::atomic<int32_t> m_baseSpeed{1000};
  std::atomic<bool> m_paused{false};
  std::atomic<bool> m_stepped{false};

  std::atomic<bool> m_timeoutsSuspended{false};

  std::mutex m_changeMutex; // one host change at a time: set, lock, rebase, reset, unlock
  pthread_rwlock_t m_timeLock;
  HostWakeUps m_wakeUps;
};
