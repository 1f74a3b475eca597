#pragma once
// The runtime's locks: VANTMutex, a recursive mutual-exclusion lock; VANTMutex2, which bundles a
// second independent lock with a counter and a flag for module code; and VANTMutexLocker, the scope
// guard that releases a VANTMutex on every way out of a block, exceptions included.

#include "sync/vant_thread_annotations.h"

#include <cstdint>
#include <pthread.h>

/// VANTMutex: a recursive lock. The thread that holds it may lock it again and must unlock it as
/// often as it locked it.
///
/// Thread: any thread may lock it; only the holder may unlock it.
/// Blocks: Lock() waits while another thread holds the lock.
/// Locking: no order is implied between two VANTMutex objects; the code that uses them sets it.
class VANT_CAPABILITY("mutex") VANTMutex {
public:
  VANTMutex() noexcept;
  virtual ~VANTMutex();
  VANTMutex(const VANTMutex&) = delete;
  VANTMutex& operator=(const VANTMutex&) = delete;

  void Lock() noexcept VANT_ACQUIRE() { pthread_mutex_lock(&m_mutex); }
  void Unlock() noexcept VANT_RELEASE() { pthread_mutex_unlock(&m_mutex); }
  /// Takes the lock when it is free or already held by this thread; never blocks.
  [[nodiscard]] bool TryLock() noexcept VANT_TRY_ACQUIRE(true) {
    return pthread_mutex_trylock(&m_mutex) == 0;
  }

private:
  pthread_mutex_t m_mutex;
};

/// VANTMutex2: a VANTMutex with a second, independent lock, a counter and a flag. What the second
/// lock guards and what the counter and flag mean belong to the module code that owns the object.
///
/// Thread: as VANTMutex for both locks; m_counter and m_flag are guarded as their owner decides.
class VANT_CAPABILITY("mutex") VANTMutex2 : public VANTMutex {
public:
  VANTMutex2() noexcept = default;
  ~VANTMutex2() override = default;

  VANTMutex m_second;
  int32_t m_counter = 0;
  bool m_flag = false;
};

/// VANTMutexLocker: holds a VANTMutex from construction to destruction, with a manual Release() and
/// Acquire() in between. The destructor releases only when this locker still holds the lock, so a
/// locker released by hand is never released twice.
///
/// Thread: a locker belongs to the thread that created it.
/// Ownership: the mutex is not owned and must outlive the locker. A null mutex gives a locker
///   that never holds anything.
class VANT_SCOPED_CAPABILITY VANTMutexLocker {
public:
  explicit VANTMutexLocker(VANTMutex* mutex) noexcept VANT_ACQUIRE(mutex) : m_mutex(mutex) {
    if (m_mutex != nullptr) {
      m_mutex->Lock();
      m_held = true;
    }
  }
  explicit VANTMutexLocker(VANTMutex& mutex) noexcept VANT_ACQUIRE(mutex)
      : VANTMutexLocker(&mutex) {}
  ~VANTMutexLocker() VANT_RELEASE() { Release(); }
  VANTMutexLocker(const VANTMutexLocker&) = delete;
  VANTMutexLocker& operator=(const VANTMutexLocker&) = delete;

  /// Takes the lock again after Release(). Returns false, doing nothing, when it is already held.
  bool Acquire() noexcept VANT_ACQUIRE() {
    if (m_held || m_mutex == nullptr) {
      return false;
    }
    m_mutex->Lock();
    m_held = true;
    return true;
  }
  /// Gives the lock back. Returns false, doing nothing, when it is not held.
  bool Release() noexcept VANT_RELEASE() {
    if (!m_held) {
      return false;
    }
    m_held = false;
    m_mutex->Unlock();
    return true;
  }
  [[nodiscard]] bool IsHeld() const noexcept { return m_held; }

private:
  VANTMutex* m_mutex;
  bool m_held = false;
};
