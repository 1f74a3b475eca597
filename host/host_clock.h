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

#include "kernel/vant_host_kernel.h"
#include "sync/vant_event.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <pthread.h>
#include <utility>
#include <vector>

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
  /// Registrations ever made: grows by one with every pass of every timed wait.
  uint64_t Registrations() const noexcept { return m_cookies.load(std::memory_order_acquire); }
  /// Waits, polling every 50 real microseconds, until Registrations() exceeds `after`.
  bool AwaitRegistrationAfter(uint64_t after, int64_t realTimeoutUs) const;
  /// Host changes made so far. Each one happens while no pass holds the time lock.
  uint64_t Changes() const noexcept { return m_changes.load(std::memory_order_acquire); }
  /// Waits until a pass has registered after the first `changes` host changes: that pass read
  /// the time they left and chose to block again rather than end its wait.
  bool AwaitPassSeeing(uint64_t changes, int64_t realTimeoutUs) const;
  /// Counts a host change; called with the time lock held exclusively.
  void NoteChange() noexcept { m_changes.fetch_add(1, std::memory_order_acq_rel); }
  /// Waits, polling every 50 real microseconds, until at least count registrations are held.
  /// False when realTimeoutUs ran out first. For tests, which must not guess with sleeps.
  bool AwaitRegistered(int32_t count, int64_t realTimeoutUs) const;

private:
  VANTEvent m_event;
  std::atomic<int32_t> m_registered{0};
  std::atomic<uint64_t> m_cookies{0};
  std::atomic<uint64_t> m_changes{0};
  std::atomic<uint64_t> m_lastPassSaw{0}; // Changes() when the latest pass registered
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
  VANTWakeUpRegistry* WakeUps() noexcept { return &m_wakeUps; }
  HostWakeUps& WakeUpRegistry() noexcept { return m_wakeUps; }

  // ---- Time lock ------------------------------------------------------------------------------
  /// Shared: held by a timed wait for a whole pass, including its blocking wait.
  void AcquireTimeLock() noexcept;
  void ReleaseTimeLock() noexcept;
  /// True when nobody holds the time lock (tries it exclusively and lets go). For tests: a wait
  /// that leaked its hold would block every later host change.
  bool TimeLockIdle() noexcept;

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
  /// Running at speed 1000, neither paused nor stepped; engine time goes on from where it is.
  void Restore();

  bool Paused() const noexcept;

  // ---- Clocks offered by packages (kernel slots 120, 121) -------------------------------------
  /// Registering a clock again only replaces its flag pointer.
  void RegisterClock(VANTBaseClock* clock, bool* flag);
  void UnregisterClock(VANTBaseClock* clock);
  /// The registered clock of that name, or null.
  VANTBaseClock* FindClock(const char* name) const;
  int32_t ClockCount() const;
  /// Writes the engine flag of a registered clock; false when the clock is not registered.
  bool SetClockFlag(VANTBaseClock* clock, bool value);

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

  std::mutex m_changeMutex; // one host change at a time: set, lock, rebase, reset, unlock
  pthread_rwlock_t m_timeLock;
  HostWakeUps m_wakeUps;

  mutable std::mutex m_clocksMutex; // leaf lock: only guards m_clocks
  std::vector<std::pair<VANTBaseClock*, bool*>> m_clocks;
};
