#pragma once
// Threads of the runtime: starting one in the "C" numeric locale, waiting for a thread by its id,
// the priority scale, and the pauses used by loops that wait for another thread.

#include <cstdint>

namespace VANT {

/// A thread's entry function; its result is the thread's exit code.
using ThreadEntry = uint32_t (*)(void* argument);

/// Starts a thread with the default stack size that runs entry(argument). The thread is detached
/// at once (threads are never joined by handle; see WaitForThread). Returns false, without running
/// anything, when the thread could not be created.
///
/// The new thread formats and parses numbers in the "C" locale (a decimal point), whatever locale
/// the process uses; its other locale categories follow the process's.
/// Ownership: the start record is allocated here and freed by the new thread before the entry
///   runs; allocation failure throws std::bad_alloc.
[[nodiscard]] bool StartThread(ThreadEntry entry, void* argument);

/// Waits without limit until the thread with this id has ended. True when it ended, and true at
/// once when no thread of this process has that id (it counts as already ended). False only when
/// the calling thread names itself, which could never end.
/// Blocks: threads started by StartThread are waited on through their exit event; any other
/// thread of the process is checked every 10 ms.
bool WaitForThread(uint32_t threadId);

/// The operating system's ids of the calling thread and of the process.
uint32_t CurrentThreadId() noexcept;
uint32_t CurrentProcessId() noexcept;

/// Priority scale of the runtime: 0 to 255, in seven bands of the system's levels.
enum class ThreadLevel : int32_t {
  kIdle = -15,
  kLowest = -2,
  kBelowNormal = -1,
  kNormal = 0,
  kAboveNormal = 1,
  kHighest = 2,
  kTimeCritical = 15,
};

/// band = priority * 7 / 256: 0-36 idle, 37-73 lowest, 74-109 below normal, 110-146 normal,
/// 147-182 above normal, 183-219 highest, 220-255 time critical. Outside 0-255: normal.
inline ThreadLevel PriorityToLevel(int32_t priority) noexcept {
  if (priority < 0 || priority > 255) {
    return ThreadLevel::kNormal;
  }
  switch (priority * 7 / 256) {
  case 0:
    return ThreadLevel::kIdle;
  case 1:
    return ThreadLevel::kLowest;
  case 2:
    return ThreadLevel::kBelowNormal;
  case 4:
    return ThreadLevel::kAboveNormal;
  case 5:
    return ThreadLevel::kHighest;
  case 6:
    return ThreadLevel::kTimeCritical;
  default:
    return ThreadLevel::kNormal;
  }
}

/// The nice value (per thread on Linux) that stands for a level.
inline int32_t LevelToNice(ThreadLevel level) noexcept {
  switch (level) {
  case ThreadLevel::kIdle:
    return 19;
  case ThreadLevel::kLowest:
    return 10;
  case ThreadLevel::kBelowNormal:
    return 5;
  case ThreadLevel::kAboveNormal:
    return -5;
  case ThreadLevel::kHighest:
    return -10;
  case ThreadLevel::kTimeCritical:
    return -20;
  case ThreadLevel::kNormal:
    break;
  }
  return 0;
}

inline int32_t PriorityToNice(int32_t priority) noexcept {
  return LevelToNice(PriorityToLevel(priority));
}

/// Applies a priority of the 0 to 255 scale to the calling thread. False when the system refused
/// it (raising a thread above normal needs the privilege to lower nice values).
bool SetCurrentThreadPriority(int32_t priority) noexcept;

/// Gives the processor to another ready thread, if any.
void Yield() noexcept;

/// Sleeps 10 ms: the pause of loops that wait for another thread to clear a flag.
void PollPause() noexcept;

} // namespace VANT
