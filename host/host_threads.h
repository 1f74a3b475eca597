#pragma once
// The engine's side of component threads: the bodies that kernel slots 74, 75 and 76 run, and the
// thread objects (VANTThread) handed to the runtime. The runtime creates the operating-system
// thread; its only work is to call one of these bodies with a context that the runtime filled.
//
// Main thread (74): attach; Birth (the runtime signals the birth event); Cycle until the
// component is asked to stop or fails; the guarded Death and the clean-up; detach; release.
// Module and component threads (75, 76): the context is copied first (it lives in the creator's
// frame, and the creator returns as soon as the thread object is published); attach; publish;
// run the thread's function; detach; release.
//
// Thread: each body runs on the thread it serves; a thread object's queries and settings may be
// called from any thread while the object is in its module's thread list.

#include "kernel/vant_host_kernel.h"

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <pthread.h>
#include <sys/types.h>
#include <time.h>

/// The engine's thread object: context switches from /proc, CPU load from the thread's CPU clock,
/// processor affinity and priority (0 to 255, applied as the thread's nice value).
class HostThread final : public VANTThread {
public:
  /// Describes the calling thread.
  HostThread();
  HostThread(const HostThread&) = delete;
  HostThread& operator=(const HostThread&) = delete;

  /// Deletes the object; called by its own thread once it left its module's thread list.
  void Release() override;
  /// Voluntary plus involuntary context switches so far.
  uint32_t ContextSwitches() override;
  /// CPU time used since the previous query (or since the thread started), in hundredths of a
  /// percent of the wall-clock time that passed.
  uint32_t CpuLoad() override;
  /// Restricts the thread to one processor; -1 or a processor that does not exist: any.
  void SetProcessor(int64_t processor) override;
  /// Applies a priority of the 0 to 255 scale; ignored when the system refuses it.
  void SetPriority(int32_t priority) override;

  pid_t Tid() const noexcept { return m_tid; }
  /// The processor set last (-1: any) and the nice value applied last.
  int64_t Processor() const noexcept { return m_processor; }
  int32_t Nice() const noexcept { return m_nice; }

private:
  ~HostThread() = default;

  pid_t m_tid;
  pthread_t m_handle;
  clockid_t m_cpuClock{};
  bool m_hasCpuClock = false;
  std::mutex m_loadMutex; // guards the two marks below
  int64_t m_lastCpuNs = 0;
  int64_t m_lastWallNs = 0;
  int64_t m_processor = -1;
  int32_t m_nice = 0;
};

namespace HostThreads {

/// Kernel slot 74: the component main thread.
void RunMainThread(VANTThreadContext* context);
/// Kernel slots 75 and 76: a module thread, a component thread (member or free function).
void RunExtraThread(VANTThreadContext* context);

/// Context switches of a thread of this process, read from /proc/self/task/<tid>/status (0 when
/// the file cannot be read).
uint32_t ReadContextSwitches(pid_t tid);

/// Threads of this process now (0 when /proc cannot be read).
size_t ProcessThreadCount();
/// Waits until the process has at most atMost threads, or timeoutUs passed (false then, or true
/// at once when /proc cannot be read). A component's threads leave its thread list before they
/// end; a program waits here for them to be gone before it exits.
bool WaitForProcessThreads(size_t atMost, int64_t timeoutUs);

} // namespace HostThreads
