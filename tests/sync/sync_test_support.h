#pragma once
// Helpers shared by the sync tests.

#include "sync/vant_event.h"
#include "sync/vant_mutex.h"

#include <thread>

namespace synctest {

// True when another thread can take the mutex right now.
inline bool FreeForOtherThreads(VANTMutex& mutex) {
  bool taken = false;
  std::thread other([&] {
    if (mutex.TryLock()) {
      taken = true;
      mutex.Unlock();
    }
  });
  other.join();
  return taken;
}

// Spins until `count` wait nodes are linked on the event: its waiters are asleep or about to be.
inline void AwaitLinked(VANTEvent& event, uint32_t count = 1) {
  while (event.Handle()->LinkedWaitNodes() < count) {
    std::this_thread::yield();
  }
}

// A wait that reaches this limit (2 s) has lost its wake.
inline constexpr int32_t kSafetyUs = 2000000;

} // namespace synctest
