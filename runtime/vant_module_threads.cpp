// Module threads, the running-thread count and the thread wait, the thread list and the period
// statistics.

#include "kernel/vant_host_kernel.h"
#include "kernel/vant_kernel.h"
#include "runtime/vant_module.h"
#include "runtime/vant_report.h"
#include "sync/vant_thread.h"
#include "util/vant_exceptions.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <limits>
#include <time.h>

namespace {

constexpr int64_t kDefaultShutdownTimeout = 10000000;
// The largest window of the period statistics: nbPeriods above it counts as this.
constexpr int64_t kMaxStatisticsWindow = int64_t{1} << 20;

// What an extra thread runs, owned by the thread once it runs (its body frees it).
struct ExtraThreadStart {
  std::function<void()> body;
};

// The operating-system thread of an extra thread: hands its context to the engine.
uint32_t ExtraThreadEntry(void* argument) {
  auto* context = static_cast<VANTThreadContext*>(argument);
  VANTHostKernel* kernel = VANT::Kernel();
  if (context->kind == VANTThreadContext::kModule) {
    kernel->RunModuleThread(context);
  } else {
    kernel->RunComponentThread(context);
  }
  return 0;
}

// Polls until the engine has published what the creator waits for: first in short steps, since
// a thread usually starts within a fraction of a millisecond, then every 10 ms.
template <typename Ready>
void PollUntil(Ready ready) {
  for (int32_t i = 0; !ready(); ++i) {
    if (i < 100) {
      const timespec pause{0, 100000};
      nanosleep(&pause, nullptr);
    } else {
      VANT::PollPause();
    }
  }
}

} // namespace

// ---- Running threads
// -------------------------------------------------------------------------------

void VANTModule::ChangeRunningThreads(int32_t delta) {
  VANTCountedLocker lock(m_structureLock);
  m_runningThreads += delta;
  if (delta < 0 && m_runningThreads <= 0) {
    m_runningThreads = 0;
    m_threadsDoneEvent.Set();
  }
}

int32_t VANTModule::RunningThreads() {
  VANTCountedLocker lock(m_structureLock);
  return m_runningThreads;
}

int32_t VANTModule::ThreadCount() {
  VANTCountedLocker lock(m_structureLock);
  return m_threads.Count();
}

bool VANTModule::WaitForThreads() {
  int64_t timeout = kDefaultShutdownTimeout;
  if (VANTHostKernel* kernel = VANT::Kernel()) {
    bool found = false;
    const int64_t value = kernel->EngineInt("Engine.shutdownTimeout", &found);
    if (found && value >= 0) {
      timeout = value;
    }
  }
  if (m_threadsDoneEvent.Wait(timeout) == 0) {
    return true;
  }
  VANTStreamedString message;
  message << "Some threads are still running after " << VANT::ShutdownTimeoutText(timeout)
          << ". The model must be bugged. If this is considered as normal however, consider "
             "increase the value of the Engine.shutdownTimeout property. I destroy the component "
             "anyway. This might result in a system crash.";
  Report(message.Text(), VANT::kWarning, 2);
  return false;
}

namespace VANT {

VANTStackedString<40> ShutdownTimeoutText(int64_t timeoutUs) {
  VANTStreamedString text;
  if (timeoutUs >= 1000000) {
    text << static_cast<long long>(timeoutUs / 1000000) << " second(s)";
  } else {
    text << static_cast<long long>(timeoutUs) << " microsecond(s)";
  }
  return text;
}

} // namespace VANT

// ---- Thread list
// -----------------------------------------------------------------------------------

void VANTModule::AttachThread(VANTThread* thread, bool /*isMain*/) {
  {
    std::lock_guard<std::mutex> lock(m_attachMutex);
    ++m_attached;
  }
  {
    VANTCountedLocker lock(m_structureLock);
    m_threads.PushBack(thread);
    ++m_runningThreads;
  }
  // Under the property lock, so that a change of priority or processor made meanwhile reaches
  // this thread either here or through the change callback (which walks the thread list).
  VANTCountedLocker lock(m_propertyLock);
  if (m_priority != nullptr) {
    thread->SetPriority(static_cast<int32_t>(m_priority->Value().Integer()));
  }
  if (m_processor != nullptr) {
    thread->SetProcessor(m_processor->Value().Integer());
  }
}

void VANTModule::DetachThread(VANTThread* thread, bool isMain) {
  {
    VANTCountedLocker lock(m_structureLock);
    if (auto* item = m_threads.Find(thread)) {
      m_threads.Remove(item);
    }
    if (!isMain) {
      ChangeRunningThreads(-1);
    }
  }
  // The last touch of the module by this thread: notify under the mutex, so that a destructor
  // waiting for it cannot free the mutex or the condition before this thread is done with them.
  std::lock_guard<std::mutex> lock(m_attachMutex);
  --m_attached;
  m_attachChanged.notify_all();
}

void VANTModule::WaitForDetachedThreads() {
  // The module is about to be freed: never before its last thread is done with it. One that
  // takes long (a component destroyed while it still runs) is reported, and still waited for.
  std::unique_lock<std::mutex> lock(m_attachMutex);
  if (m_attachChanged.wait_for(lock, std::chrono::seconds(10),
                               [this] { return m_attached == 0; })) {
    return;
  }
  lock.unlock();
  VANTStreamedString message;
  message << "Module " << Name()
          << " is being destroyed while one of its threads still runs; waiting for it to end.";
  VANT::KernelReport(message.Text(), VANT::kWarning, 1, true);
  lock.lock();
  m_attachChanged.wait(lock, [this] { return m_attached == 0; });
}

// ---- Extra threads
// ---------------------------------------------------------------------------------

VANTThread* VANTModule::CreateExtraThread(uint32_t kind, std::function<void()> body,
                                          const char* failureText, int32_t* pair) {
  auto* start = new ExtraThreadStart{std::move(body)};
  VANTThread* result = nullptr;
  std::atomic<int32_t> ready{0};
  int32_t values[2] = {0, 0};
  // The context lives in this frame: the engine's body copies it before it publishes the result,
  // and this function does not return before that.
  VANTThreadContext context{};
  context.size = sizeof(VANTThreadContext);
  context.kind = kind;
  context.module = this;
  context.hooks = &ThreadHooks();
  context.user = start;
  context.result = &result;
  // A free function's creator waits for the ready flag (set after the pair); the others for the
  // thread object. The engine's last write into this frame is the one its creator waits for.
  const bool freeFunction = kind == VANTThreadContext::kComponentFree;
  context.readyFlag = freeFunction ? &ready : nullptr;
  context.pair = freeFunction ? values : nullptr;
  bool started = false;
  try {
    started = VANT::Kernel() != nullptr && VANT::StartThread(ExtraThreadEntry, &context);
  } catch (...) {
    started = false;
  }
  if (!started) {
    delete start;
    Error(failureText, 1);
  }
  if (freeFunction) {
    PollUntil([&ready] { return ready.load(std::memory_order_acquire) != 0; });
    pair[0] = values[0];
    pair[1] = values[1];
  } else {
    PollUntil([&result] {
      return std::atomic_ref<VANTThread*>(result).load(std::memory_order_acquire) != nullptr;
    });
  }
  return std::atomic_ref<VANTThread*>(result).load(std::memory_order_acquire);
}

VANTThread* VANTModule::CreateModuleThread(VANTModuleThreadFunction function) {
  return CreateExtraThread(
      VANTThreadContext::kModule, [this, function] { (this->*function)(); },
      "Failed to create module thread", nullptr);
}

// Runs an extra thread's body (the hooks' run): every exception is caught and reported.
void VANTModule::RunExtraThread(void* user) noexcept {
  auto* start = static_cast<ExtraThreadStart*>(user);
  try {
    start->body();
  } catch (int error) {
    if (error != VANT::StopException && error != VANT::ErrorException) {
      VANTStreamedString message;
      message << "unhandled integer exception " << error << " thrown from a thread.";
      Report(message.Text(), VANT::kError, 2);
    }
  } catch (const std::exception& exception) {
    VANTStreamedString message;
    message << "unhandled std::exception thrown from a thread (" << exception.what() << ").";
    Report(message.Text(), VANT::kError, 2);
  } catch (...) {
    Report("unhandled exception thrown from a thread.", VANT::kError, 2);
  }
  delete start;
}

// ---- Period statistics
// -----------------------------------------------------------------------------

void VANTModule::ResetStatisticsRun() {
  m_sampleCount = 0;
  m_writePosition = 0;
  m_runningSum = 0;
}

void VANTModule::ResetStatistics() {
  VANTCountedLocker lock(m_propertyLock);
  for (VANTPropertyImplementation* property :
       {m_counter, m_averagePeriod, m_minPeriod, m_maxPeriod}) {
    if (property != nullptr) {
      property->Value().Integer() = 0;
      property->MarkChanged();
    }
  }
  ResetStatisticsRun();
}

void VANTModule::UpdateStatistics() {
  if (m_counter == nullptr) {
    return; // a module without statistics
  }
  // One hold of the property lock for the whole step; nothing here allocates unless nbPeriods
  // changed to a window larger than any before.
  VANTCountedLocker lock(m_propertyLock);
  m_counter->Value().Integer() += 1;
  m_counter->MarkChanged();

  if (m_nbPeriods->IsChanged()) {
    const int64_t wanted =
        std::clamp<int64_t>(m_nbPeriods->Value().Integer(), 1, kMaxStatisticsWindow);
    const auto n = static_cast<int32_t>(wanted);
    if (m_periods.Size() < n) {
      m_periods.Resize(n);
    }
    for (int32_t i = 0; i < n; ++i) {
      m_periods[i] = -1;
    }
    m_windowSize = n;
    m_nbPeriods->ClearChanged();
    ResetStatisticsRun();
  }

  VANTHostKernel* kernel = VANT::Kernel();
  const int64_t now = kernel != nullptr ? kernel->CurrentTime(true, true) : 0;
  if (m_sampleCount == 0) {
    m_lastTime = now;
    m_sampleCount = 1;
    return;
  }
  const int32_t n = m_windowSize;
  const int32_t window = std::min(m_sampleCount, n);
  const bool full = m_sampleCount > n;
  const int64_t period = now - m_lastTime;
  m_lastTime = now;
  const int64_t leaving = m_periods[m_writePosition];
  m_periods[m_writePosition] = period;
  m_runningSum = m_runningSum - (full ? leaving : 0) + period;

  int64_t smallest = std::numeric_limits<int64_t>::max();
  int64_t largest = std::numeric_limits<int64_t>::min();
  for (int32_t i = 0; i < window; ++i) {
    smallest = std::min(smallest, m_periods[i]);
    largest = std::max(largest, m_periods[i]);
  }
  m_averagePeriod->Value().Integer() = m_runningSum / window;
  m_averagePeriod->MarkChanged();
  m_minPeriod->Value().Integer() = smallest;
  m_minPeriod->MarkChanged();
  m_maxPeriod->Value().Integer() = largest;
  m_maxPeriod->MarkChanged();

  if (m_sampleCount < std::numeric_limits<int32_t>::max()) {
    ++m_sampleCount;
  }
  if (++m_writePosition >= n) {
    m_writePosition = 0;
  }
}
