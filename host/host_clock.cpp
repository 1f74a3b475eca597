#include "host/host_clock.h"

#include "sync/vant_base_clock.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>

namespace {

__extension__ using Int128 = __int128;

int64_t Saturate(Int128 value) noexcept {
  if (value > std::numeric_limits<int64_t>::max()) {
    return std::numeric_limits<int64_t>::max();
  }
  if (value < std::numeric_limits<int64_t>::min()) {
    return std::numeric_limits<int64_t>::min();
  }
  return static_cast<int64_t>(value);
}

void SleepRealMicroseconds(int64_t us) noexcept {
  timespec delay{static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
  clock_nanosleep(CLOCK_MONOTONIC, 0, &delay, nullptr);
}

} // namespace

// ---- HostWakeUps -------------------------------------------------------------------------------

HostWakeUps::HostWakeUps() : m_event(false, nullptr) {}

HostWakeUps::~HostWakeUps() = default;

void* HostWakeUps::Register(VANTEvent** slot) {
  if (slot) {
    *slot = &m_event;
  }
  // Registrations happen under the time lock held shared, and changes under it held
  // exclusively, so the count read here cannot move until this pass ends.
  m_lastPassSaw.store(m_changes.load(std::memory_order_relaxed), std::memory_order_release);
  m_registered.fetch_add(1, std::memory_order_release); // release: pairs with Registered()
  const uint64_t cookie = m_cookies.fetch_add(1, std::memory_order_acq_rel) + 1;
  return reinterpret_cast<void*>(static_cast<uintptr_t>(cookie));
}

void HostWakeUps::Unregister(void* cookie) {
  if (cookie) {
    m_registered.fetch_sub(1, std::memory_order_release);
  }
}

bool HostWakeUps::AwaitRegistered(int32_t count, int64_t realTimeoutUs) const {
  const int64_t end = HostClock::RealTime() + realTimeoutUs;
  while (Registered() < count) {
    if (HostClock::RealTime() >= end) {
      return false;
    }
    SleepRealMicroseconds(50);
  }
  return true;
}

bool HostWakeUps::AwaitRegistrationAfter(uint64_t after, int64_t realTimeoutUs) const {
  const int64_t end = HostClock::RealTime() + realTimeoutUs;
  while (Registrations() <= after) {
    if (HostClock::RealTime() >= end) {
      return false;
    }
    SleepRealMicroseconds(50);
  }
  return true;
}

bool HostWakeUps::AwaitPassSeeing(uint64_t changes, int64_t realTimeoutUs) const {
  const int64_t end = HostClock::RealTime() + realTimeoutUs;
  while (m_lastPassSaw.load(std::memory_order_acquire) < changes) {
    if (HostClock::RealTime() >= end) {
      return false;
    }
    SleepRealMicroseconds(50);
  }
  return true;
}

// ---- HostClock ---------------------------------------------------------------------------------

HostClock::HostClock(int64_t startTime) {
  pthread_rwlockattr_t attributes;
  pthread_rwlockattr_init(&attributes);
  pthread_rwlockattr_setkind_np(&attributes, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
  if (pthread_rwlock_init(&m_timeLock, &attributes) != 0) {
    std::abort();
  }
  pthread_rwlockattr_destroy(&attributes);
  m_baseEngine.store(startTime, std::memory_order_relaxed);
  m_baseReal.store(RealTime(), std::memory_order_relaxed);
}

HostClock::~HostClock() {
  pthread_rwlock_destroy(&m_timeLock);
}

int64_t HostClock::RealTime() noexcept {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

HostClock::Base HostClock::ReadBase() const noexcept {
  for (;;) {
    const uint32_t before = m_sequence.load(std::memory_order_acquire); // pairs with the writer
    if (before & 1u) {
      continue; // a writer is inside; it holds no lock we need, so it finishes shortly
    }
    Base base;
    // Acquire loads: a value stored by a writer that has begun since `before` makes the odd
    // sequence it stored first visible, so the second reading below differs and we retry. They
    // also keep that second reading after these loads (no standalone fences, which the thread
    // sanitizer cannot follow).
    base.engine = m_baseEngine.load(std::memory_order_acquire);
    base.real = m_baseReal.load(std::memory_order_acquire);
    base.speed = m_baseSpeed.load(std::memory_order_acquire);
    base.advancing =
        !m_paused.load(std::memory_order_acquire) && !m_stepped.load(std::memory_order_acquire);
    if (m_sequence.load(std::memory_order_relaxed) == before) {
      return base;
    }
  }
}

namespace {
int64_t EngineAt(int64_t baseEngine, int64_t baseReal, int32_t speed, bool advancing,
                 int64_t real) noexcept {
  if (!advancing) {
    return baseEngine;
  }
  const Int128 elapsed = static_cast<Int128>(real) - baseReal;
  return Saturate(static_cast<Int128>(baseEngine) + elapsed * speed / 1000);
}
} // namespace

int64_t HostClock::CurrentTime() const noexcept {
  const Base base = ReadBase();
  return EngineAt(base.engine, base.real, base.speed, base.advancing, RealTime());
}

int32_t HostClock::SpeedSign() const noexcept {
  const int32_t speed = TimeSpeed();
  return speed > 0 ? 1 : (speed < 0 ? -1 : 0);
}

int32_t HostClock::ClockState() const noexcept {
  return m_paused.load(std::memory_order_acquire) ? kNoDeadline : kRunning;
}

bool HostClock::Paused() const noexcept {
  return m_paused.load(std::memory_order_acquire);
}

void HostClock::AcquireTimeLock() noexcept {
  pthread_rwlock_rdlock(&m_timeLock);
}

void HostClock::ReleaseTimeLock() noexcept {
  pthread_rwlock_unlock(&m_timeLock);
}

bool HostClock::TimeLockIdle() noexcept {
  if (pthread_rwlock_trywrlock(&m_timeLock) != 0) {
    return false;
  }
  pthread_rwlock_unlock(&m_timeLock);
  return true;
}

template <typename Apply>
void HostClock::Change(Apply apply) {
  std::lock_guard<std::mutex> serialise(m_changeMutex);
  // Every timed wait holding the lock shared is blocked on an array that holds this event: set
  // it first, or the exclusive acquisition below would wait for their timers.
  m_wakeUps.Event().Set();
  pthread_rwlock_wrlock(&m_timeLock);

  const Base old = ReadBase();
  const int64_t real = RealTime();
  Base next{EngineAt(old.engine, old.real, old.speed, old.advancing, real), real, old.speed, false};
  bool paused = m_paused.load(std::memory_order_relaxed);
  bool stepped = m_stepped.load(std::memory_order_relaxed);
  apply(next, paused, stepped);

  const uint32_t sequence = m_sequence.load(std::memory_order_relaxed);
  m_sequence.store(sequence + 1, std::memory_order_relaxed);
  // Release stores: a reader that loads any of them (acquire) also sees the odd sequence above.
  m_baseEngine.store(next.engine, std::memory_order_release);
  m_baseReal.store(next.real, std::memory_order_release);
  m_baseSpeed.store(next.speed, std::memory_order_release);
  m_paused.store(paused, std::memory_order_release);
  m_stepped.store(stepped, std::memory_order_release);
  m_sequence.store(sequence + 2, std::memory_order_release); // pairs with ReadBase's acquire

  m_wakeUps.NoteChange();
  m_wakeUps.Event().Reset();
  pthread_rwlock_unlock(&m_timeLock);
}

void HostClock::SetSpeed(int32_t perMille) {
  Change([perMille](Base& base, bool&, bool&) { base.speed = perMille; });
}

void HostClock::Pause() {
  Change([](Base&, bool& paused, bool&) { paused = true; });
}

void HostClock::Resume() {
  Change([](Base&, bool& paused, bool&) { paused = false; });
}

void HostClock::JumpTo(int64_t engineTime) {
  Change([engineTime](Base& base, bool&, bool&) { base.engine = engineTime; });
}

void HostClock::SetStepped(bool stepped) {
  Change([stepped](Base&, bool&, bool& isStepped) { isStepped = stepped; });
}

void HostClock::Step(int64_t delta) {
  Change([delta](Base& base, bool&, bool&) {
    base.engine = Saturate(static_cast<Int128>(base.engine) + delta);
  });
}

void HostClock::Restore() {
  Change([](Base& base, bool& paused, bool& stepped) {
    base.speed = 1000;
    paused = false;
    stepped = false;
  });
}

void HostClock::RegisterClock(VANTBaseClock* clock, bool* flag) {
  if (!clock) {
    return;
  }
  std::lock_guard<std::mutex> lock(m_clocksMutex);
  for (auto& entry : m_clocks) {
    if (entry.first == clock) {
      entry.second = flag;
      return;
    }
  }
  m_clocks.emplace_back(clock, flag);
}

void HostClock::UnregisterClock(VANTBaseClock* clock) {
  std::lock_guard<std::mutex> lock(m_clocksMutex);
  std::erase_if(m_clocks, [clock](const auto& entry) { return entry.first == clock; });
}

VANTBaseClock* HostClock::FindClock(const char* name) const {
  std::lock_guard<std::mutex> lock(m_clocksMutex);
  for (const auto& entry : m_clocks) {
    if (std::strcmp(entry.first->Name(), name ? name : "") == 0) {
      return entry.first;
    }
  }
  return nullptr;
}

int32_t HostClock::ClockCount() const {
  std::lock_guard<std::mutex> lock(m_clocksMutex);
  return static_cast<int32_t>(m_clocks.size());
}

bool HostClock::SetClockFlag(VANTBaseClock* clock, bool value) {
  std::lock_guard<std::mutex> lock(m_clocksMutex);
  for (const auto& entry : m_clocks) {
    if (entry.first == clock && entry.second) {
      // The clock reads its flag as one atomic byte (acquire); pairs with this release store.
      std::atomic_ref<bool>(*entry.second).store(value, std::memory_order_release);
      return true;
    }
  }
  return false;
}
