#pragma once
// The counted lock of a module: a VANTMutex2 used so that the thread that owns it may take it
// again by adding 1 to its holder count. Its second lock guards the count, the owner and the
// waiting flag; the main lock is what other threads wait for.
//
// Thread: any thread; only the owner releases. Blocks: Lock() waits while another thread owns it.

#include "sync/vant_mutex.h"
#include "sync/vant_thread_annotations.h"

#include <atomic>
#include <cstdint>
#include <sys/types.h>
#include <unistd.h>

namespace VANT {
/// The calling thread's kernel id, read once per thread.
inline pid_t CachedThreadId() noexcept {
  thread_local const pid_t id = gettid();
  return id;
}
} // namespace VANT

class VANT_CAPABILITY("mutex") VANTCountedLock {
public:
  VANTCountedLock() noexcept = default;
  VANTCountedLock(const VANTCountedLock&) = delete;
  VANTCountedLock& operator=(const VANTCountedLock&) = delete;

  void Lock() noexcept VANT_ACQUIRE() {
    const pid_t self = VANT::CachedThreadId();
    {
      VANTMutexLocker second(m_mutex.m_second);
      if (m_owner.load(std::memory_order_relaxed) == self) {
        ++m_mutex.m_counter;
        return;
      }
      m_mutex.m_flag = true; // a thread waits for the main lock
    }
    m_mutex.Lock();
    VANTMutexLocker second(m_mutex.m_second);
    m_mutex.m_flag = false;
    m_owner.store(self, std::memory_order_relaxed);
    m_mutex.m_counter = 1;
  }

  void Unlock() noexcept VANT_RELEASE() {
    VANTMutexLocker second(m_mutex.m_second);
    if (--m_mutex.m_counter == 0) {
      m_owner.store(0, std::memory_order_relaxed);
      m_mutex.Unlock();
    }
  }

  /// True when the calling thread owns the lock.
  [[nodiscard]] bool HeldByCaller() const noexcept {
    return m_owner.load(std::memory_order_relaxed) == VANT::CachedThreadId();
  }

private:
  VANTMutex2 m_mutex;
  std::atomic<pid_t> m_owner{0}; // written under m_mutex.m_second; read by the owner itself
};

/// Holds a VANTCountedLock for a scope.
class VANT_SCOPED_CAPABILITY VANTCountedLocker {
public:
  explicit VANTCountedLocker(VANTCountedLock& lock) noexcept VANT_ACQUIRE(lock) : m_lock(lock) {
    m_lock.Lock();
  }
  ~VANTCountedLocker() VANT_RELEASE() {
    if (m_held) {
      m_lock.Unlock();
    }
  }
  VANTCountedLocker(const VANTCountedLocker&) = delete;
  VANTCountedLocker& operator=(const VANTCountedLocker&) = delete;

  /// Gives the lock back before the end of the scope.
  void Release() noexcept VANT_RELEASE() {
    if (m_held) {
      m_held = false;
      m_lock.Unlock();
    }
  }

private:
  VANTCountedLock& m_lock;
  bool m_held = true;
};
