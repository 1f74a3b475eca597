#include "host/host_threads.h"

#include "host/host.h"
#include "runtime/vant_component.h"
#include "sync/vant_thread.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

int64_t MonotonicNs() noexcept {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

int64_t ClockNs(clockid_t clock) noexcept {
  timespec now{};
  if (clock_gettime(clock, &now) != 0) {
    return 0;
  }
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// The unsigned value after "<key>:" on its own line of a /proc status text, or 0.
uint64_t StatusValue(const char* text, const char* key) {
  const std::size_t length = std::strlen(key);
  for (const char* line = text; line != nullptr && *line != 0;) {
    if (std::strncmp(line, key, length) == 0 && line[length] == ':') {
      return std::strtoull(line + length + 1, nullptr, 10);
    }
    line = std::strchr(line, '\n');
    if (line != nullptr) {
      ++line;
    }
  }
  return 0;
}

// Reads a /proc status file into text (zero-terminated, cut at size - 1 bytes); false when it
// cannot be opened.
bool ReadStatusFile(const char* path, char* text, std::size_t size) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  std::size_t used = 0;
  for (;;) {
    const ssize_t got = read(fd, text + used, size - 1 - used);
    if (got <= 0) {
      break;
    }
    used += static_cast<std::size_t>(got);
    if (used == size - 1) {
      break;
    }
  }
  close(fd);
  text[used] = 0;
  return true;
}

} // namespace

// ---- HostThread
// ------------------------------------------------------------------------------------

HostThread::HostThread()
    : m_tid(static_cast<pid_t>(VANT::CurrentThreadId())), m_handle(pthread_self()) {
  m_hasCpuClock = pthread_getcpuclockid(m_handle, &m_cpuClock) == 0;
  m_lastCpuNs = m_hasCpuClock ? ClockNs(m_cpuClock) : 0;
  m_lastWallNs = MonotonicNs();
}

void HostThread::Release() {
  delete this;
}

uint32_t HostThread::ContextSwitches() {
  return HostThreads::ReadContextSwitches(m_tid);
}

uint32_t HostThread::CpuLoad() {
  if (!m_hasCpuClock) {
    return 0;
  }
  std::lock_guard<std::mutex> lock(m_loadMutex);
  const int64_t cpu = ClockNs(m_cpuClock);
  const int64_t wall = MonotonicNs();
  const int64_t cpuUsed = cpu - m_lastCpuNs;
  const int64_t elapsed = wall - m_lastWallNs;
  m_lastCpuNs = cpu;
  m_lastWallNs = wall;
  if (elapsed <= 0 || cpuUsed <= 0) {
    return 0;
  }
  // 100 % is 10000 hundredths; a thread cannot use more than the time that passed.
  const int64_t load = cpuUsed >= elapsed ? 10000 : cpuUsed * 10000 / elapsed;
  return static_cast<uint32_t>(load);
}

void HostThread::SetProcessor(int64_t processor) {
  const long configured = sysconf(_SC_NPROCESSORS_CONF);
  const long count = configured > 0 ? configured : 1;
  cpu_set_t set;
  CPU_ZERO(&set);
  if (processor < 0 || processor >= count || processor >= CPU_SETSIZE) {
    for (long i = 0; i < count && i < CPU_SETSIZE; ++i) {
      CPU_SET(static_cast<int>(i), &set);
    }
    m_processor = -1;
  } else {
    CPU_SET(static_cast<int>(processor), &set);
    m_processor = processor;
  }
  pthread_setaffinity_np(m_handle, sizeof(set), &set);
}

void HostThread::SetPriority(int32_t priority) {
  const int32_t nice = VANT::PriorityToNice(priority);
  if (setpriority(PRIO_PROCESS, static_cast<id_t>(m_tid), nice) == 0) {
    m_nice = nice;
  }
}

// ---- Thread bodies
// ---------------------------------------------------------------------------------

namespace HostThreads {

uint32_t ReadContextSwitches(pid_t tid) {
  char path[64];
  std::snprintf(path, sizeof(path), "/proc/self/task/%d/status", static_cast<int>(tid));
  char text[8192];
  if (!ReadStatusFile(path, text, sizeof(text))) {
    return 0;
  }
  return static_cast<uint32_t>(StatusValue(text, "voluntary_ctxt_switches") +
                               StatusValue(text, "nonvoluntary_ctxt_switches"));
}

size_t ProcessThreadCount() {
  char text[8192];
  if (!ReadStatusFile("/proc/self/status", text, sizeof(text))) {
    return 0;
  }
  return static_cast<size_t>(StatusValue(text, "Threads"));
}

bool WaitForProcessThreads(size_t atMost, int64_t timeoutUs) {
  const int64_t deadline = MonotonicNs() + timeoutUs * 1000;
  for (;;) {
    const size_t count = ProcessThreadCount();
    if (count <= atMost) { // 0: /proc cannot be read
      return true;
    }
    if (MonotonicNs() >= deadline) {
      return false;
    }
    // No event tells that a detached thread is gone; its last steps take microseconds.
    timespec pause{0, 200000};
    nanosleep(&pause, nullptr);
  }
}

void RunMainThread(VANTThreadContext* context) {
  // The main context is a member of the component and outlives this body.
  const VANTThreadHooks* hooks = context->hooks;
  auto* thread = new HostThread();
  hooks->attach(context, thread);
  if (hooks->birth(context)) {
    while (hooks->cycle(context)) {
    }
  }
  hooks->death(context);
  hooks->detach(context, thread);
  thread->Release();
}

void RunExtraThread(VANTThreadContext* context) {
  // Copy first: the context lives in the creator's frame, which ends once the creator has what it
  // waits for (the thread object, or for a free function the ready flag).
  VANTThreadContext copy = *context;
  auto* thread = new HostThread();
  copy.hooks->attach(&copy, thread);
  if (copy.kind == VANTThreadContext::kComponentFree) {
    if (copy.pair != nullptr) {
      copy.pair[0] = static_cast<int32_t>(VANT::CurrentThreadId());
      copy.pair[1] = 0;
    }
    if (copy.result != nullptr) {
      std::atomic_ref<VANTThread*>(*copy.result).store(thread, std::memory_order_release);
    }
    // Last write into the creator's frame.
    static_cast<std::atomic<int32_t>*>(copy.readyFlag)->store(1, std::memory_order_release);
  } else {
    // Last write into the creator's frame.
    std::atomic_ref<VANTThread*>(*copy.result).store(thread, std::memory_order_release);
  }
  copy.result = nullptr;
  copy.readyFlag = nullptr;
  copy.pair = nullptr;
  copy.hooks->run(&copy);
  copy.hooks->detach(&copy, thread);
  thread->Release();
}

} // namespace HostThreads

// ---- Component life cycle (Host)
// -------------------------------------------------------------------

namespace {

// Every module the host creates from a model is a component.
VANTComponent* AsComponent(VANTModule* module) {
  return static_cast<VANTComponent*>(module);
}

} // namespace

bool Host::StartComponent(VANTModule* component) {
  return component != nullptr && AsComponent(component)->EngineStart();
}

void Host::StopComponent(VANTModule* component) {
  if (component != nullptr) {
    AsComponent(component)->EngineStop();
  }
}

void Host::RunDynamic(VANTModule* component) {
  if (component != nullptr) {
    AsComponent(component)->EngineDynamic();
  }
}

void Host::DestroyComponent(VANTModule* component) {
  if (component == nullptr) {
    return;
  }
  {
    std::unique_lock<std::mutex> lock(m_mainThreadsMutex);
    const bool left = m_mainThreadLeft.wait_for(
        lock, std::chrono::seconds(10), [&] { return m_mainThreadsIn.count(component) == 0; });
    if (!left) {
      lock.unlock();
      m_reports.Add((std::string("Host: the component ") + component->Name() +
                     " is not destroyed: its thread is still running")
                        .c_str(),
                    2, 0, false);
      return;
    }
  }
  delete component;
}

VANTProperty* Host::FindProperty(const char* fullName) {
  m_symbols.Lock();
  VANTSymbolRecord* record = m_symbols.Find(fullName);
  VANTProperty* property = record != nullptr && record->kind == VANTSymbolRecord::kProperty
                               ? static_cast<VANTProperty*>(record->object)
                               : nullptr;
  m_symbols.Unlock();
  return property;
}
