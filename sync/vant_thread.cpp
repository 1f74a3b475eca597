#include "sync/vant_thread.h"

#include "sync/vant_event.h"

#include <clocale>
#include <cstdio>
#include <ctime>
#include <locale.h>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

namespace VANT {
namespace {

// Set once the thread's entry has returned.
struct ThreadExit {
  VANTEventBasic done{false, nullptr};
};

// Threads started by StartThread, by id, for the time their entry runs. Never destroyed: detached
// threads may still end after static destructors have run.
struct ThreadRegistry {
  std::mutex lock;
  std::unordered_map<uint32_t, std::shared_ptr<ThreadExit>> running;
};

ThreadRegistry& Registry() {
  static ThreadRegistry* registry = new ThreadRegistry;
  return *registry;
}

struct StartRecord {
  ThreadEntry entry;
  void* argument;
};

bool TaskExists(uint32_t threadId) noexcept {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/task/%u", threadId);
  struct stat info;
  return stat(path, &info) == 0;
}

void SleepNs(int64_t ns) noexcept {
  timespec delay{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
  while (clock_nanosleep(CLOCK_MONOTONIC, 0, &delay, &delay) != 0) {
  }
}

void* ThreadMain(void* raw) {
  ThreadEntry entry = static_cast<StartRecord*>(raw)->entry;
  void* argument = static_cast<StartRecord*>(raw)->argument;
  delete static_cast<StartRecord*>(raw);

  // Numbers in the "C" locale for this thread only; the other categories follow the process.
  locale_t numeric = nullptr;
  if (locale_t base = duplocale(LC_GLOBAL_LOCALE)) {
    numeric = newlocale(LC_NUMERIC_MASK, "C", base);
    if (numeric == nullptr) {
      freelocale(base);
    } else {
      uselocale(numeric);
    }
  }

  const uint32_t self = CurrentThreadId();
  auto exitRecord = std::make_shared<ThreadExit>();
  {
    std::lock_guard<std::mutex> guard(Registry().lock);
    Registry().running[self] = exitRecord;
  }

  const uint32_t code = entry(argument);

  {
    std::lock_guard<std::mutex> guard(Registry().lock);
    Registry().running.erase(self);
  }
  exitRecord->done.Set();
  if (numeric != nullptr) {
    uselocale(LC_GLOBAL_LOCALE);
    freelocale(numeric);
  }
  return reinterpret_cast<void*>(static_cast<uintptr_t>(code));
}

} // namespace

bool StartThread(ThreadEntry entry, void* argument) {
  if (entry == nullptr) {
    return false;
  }
  auto* record = new StartRecord{entry, argument};
  pthread_t thread;
  if (pthread_create(&thread, nullptr, &ThreadMain, record) != 0) {
    delete record;
    return false;
  }
  pthread_detach(thread);
  return true;
}

bool WaitForThread(uint32_t threadId) {
  if (threadId == CurrentThreadId()) {
    return false;
  }
  std::shared_ptr<ThreadExit> exitRecord;
  {
    std::lock_guard<std::mutex> guard(Registry().lock);
    auto found = Registry().running.find(threadId);
    if (found != Registry().running.end()) {
      exitRecord = found->second;
    }
  }
  if (exitRecord != nullptr) {
    if (exitRecord->done.Wait(kInfinite) != 0) {
      return false;
    }
    // The entry has returned; the thread itself ends a moment later.
    while (TaskExists(threadId)) {
      SleepNs(100000);
    }
    return true;
  }
  while (TaskExists(threadId)) {
    PollPause();
  }
  return true;
}

uint32_t CurrentThreadId() noexcept {
  return static_cast<uint32_t>(gettid());
}

uint32_t CurrentProcessId() noexcept {
  return static_cast<uint32_t>(getpid());
}

bool SetCurrentThreadPriority(int32_t priority) noexcept {
  return setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), PriorityToNice(priority)) == 0;
}

void Yield() noexcept {
  sched_yield();
}

void PollPause() noexcept {
  SleepNs(10000000);
}

} // namespace VANT
