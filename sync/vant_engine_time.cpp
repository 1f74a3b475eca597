#include "sync/vant_engine_time.h"

#include "kernel/vant_kernel.h"
#include "sync/vant_event.h"
#include "util/vant_exceptions.h"
#include "util/vant_report_hook.h"

#include <cinttypes>
#include <cstdio>
#include <limits>
#include <optional>
#include <sched.h>

namespace VANT {
namespace {

__extension__ using Int128 = __int128;

/// ClockState value under which timestamp waits and rests have no deadline.
constexpr int32_t kClockStateNoDeadline = 2;

int64_t Saturate(Int128 value) noexcept {
  if (value > std::numeric_limits<int64_t>::max()) {
    return std::numeric_limits<int64_t>::max();
  }
  if (value < std::numeric_limits<int64_t>::min()) {
    return std::numeric_limits<int64_t>::min();
  }
  return static_cast<int64_t>(value);
}

int64_t Add(int64_t a, int64_t b) noexcept {
  return Saturate(static_cast<Int128>(a) + b);
}
int64_t Subtract(int64_t a, int64_t b) noexcept {
  return Saturate(static_cast<Int128>(a) - b);
}

VANTHostKernel* RequireKernel() {
  VANTHostKernel* kernel = Kernel();
  if (!kernel) {
    ReportThroughHook("Engine time is not available: the package has no host kernel", VANT::kError);
    throw ErrorException;
  }
  return kernel;
}

/// One pass's shared hold of the engine's time lock, released on every way out.
class TimeLockPass {
public:
  explicit TimeLockPass(VANTHostKernel* kernel) : m_kernel(kernel) { m_kernel->AcquireTimeLock(); }
  ~TimeLockPass() { Release(); }
  TimeLockPass(const TimeLockPass&) = delete;
  TimeLockPass& operator=(const TimeLockPass&) = delete;

  void Release() noexcept {
    if (m_held) {
      m_held = false;
      m_kernel->ReleaseTimeLock();
    }
  }

private:
  VANTHostKernel* m_kernel;
  bool m_held = true;
};

/// The wake-up event registered into one slot of a wait array for one pass.
class WakeUpSlot {
public:
  WakeUpSlot(VANTHostKernel* kernel, VANTEvent** slot) : m_registry(kernel->WakeUps()) {
    *slot = nullptr;
    m_cookie = m_registry->Register(slot);
  }
  ~WakeUpSlot() { Withdraw(); }
  WakeUpSlot(const WakeUpSlot&) = delete;
  WakeUpSlot& operator=(const WakeUpSlot&) = delete;

  void Withdraw() noexcept {
    if (m_cookie) {
      m_registry->Unregister(m_cookie);
      m_cookie = nullptr;
    }
  }

private:
  VANTWakeUpRegistry* m_registry;
  void* m_cookie = nullptr;
};

/// The timer event of one wait: created on first use, so waits that end at once allocate
/// nothing; disarmed by its destructor when still armed.
class TimerEvent {
public:
  VANTEvent* Get() {
    if (!m_event) {
      m_event.emplace(false, nullptr);
    }
    return &*m_event;
  }
  void Disarm() noexcept {
    if (m_event) {
      DisarmTimerEvent(&*m_event);
    }
  }

private:
  std::optional<VANTEvent> m_event;
};

[[noreturn]] void ThrowTooManyEvents() {
  ReportThroughHook("VANTEvent::Wait can't wait for more than 256 events", VANT::kError);
  throw ErrorException;
}

[[noreturn]] void FailTimestampWait(int32_t line, int32_t result) {
  char text[128];
  std::snprintf(text, sizeof text,
                "VANT::WaitForTimestamp [line:%" PRId32 "] Failed due to an unknown problem "
                "[result:%" PRId32 "]",
                line, result);
  ReportThroughHook(text, VANT::kError);
  throw StopException;
}

[[noreturn]] void FailNegativeCancelCount(int32_t n) {
  char text[96];
  std::snprintf(text, sizeof text,
                "VANT::WaitForTimestamp [line:751] [nbCancelEvents:%" PRId32 "] < 0", n);
  ReportThroughHook(text, VANT::kError);
  throw StopException;
}

[[noreturn]] void FailTrigger() {
  ReportThroughHook("VANT::WaitForTimestamp [line:848] Failed to set the time trigger",
                    VANT::kError);
  throw StopException;
}

void ReportFailedWait(const WaitReporter& reporter, int32_t line, int32_t result) {
  char text[96];
  std::snprintf(text, sizeof text,
                "VANTEvent::Wait [line:%" PRId32 "] Failed [result: %" PRId32 "]", line, result);
  reporter.Report(text, VANT::kError);
}

[[noreturn]] void ModuleError(const WaitReporter& reporter, const char* text) {
  reporter.Error(text);
  throw ErrorException; // Error never returns; this keeps the promise if one does
}

/// The timestamp wait shared by the package and module forms. The cancel events are lead (when
/// not null) followed by the n events of cancelEvents; *cancelIndex counts from lead.
bool WaitForTimestampCore(int64_t timestamp, VANTEvent* lead, int32_t n, VANTEvent** cancelEvents,
                          int* cancelIndex, bool* woken) {
  if (woken) {
    *woken = false;
  }
  if (cancelIndex) {
    *cancelIndex = -1;
  }
  if (n < 1 || !cancelEvents) {
    n = 0;
  }
  const int32_t cancelCount = n + (lead ? 1 : 0);
  if (cancelCount > kMaxWaitEvents - 2) {
    ThrowTooManyEvents();
  }
  VANTHostKernel* kernel = RequireKernel();

  // Running time: [wake-up, timer, cancel...]. Still time: [wake-up, cancel...], taken from
  // slot 1 on, so both layouts share the cancel events' slots.
  VANTEvent* slots[kMaxWaitEvents];
  int32_t count = 2;
  if (lead) {
    slots[count++] = lead;
  }
  for (int32_t i = 0; i < n; ++i) {
    slots[count++] = cancelEvents[i];
  }
  TimerEvent timer;

  for (;;) {
    TimeLockPass pass(kernel);
    const int32_t speed = kernel->TimeSpeed();
    if (speed != 0 && kernel->ClockState() != kClockStateNoDeadline) {
      const int64_t delay = RealDelay(timestamp, kernel->CurrentTime(false, false), speed);
      if (delay <= ReachedThreshold) {
        return true;
      }
      slots[1] = timer.Get();
      if (!ArmTimerEvent(slots[1], delay)) {
        pass.Release();
        FailTrigger();
      }
      if (woken) {
        *woken = false;
      }
      int32_t result;
      {
        WakeUpSlot wakeUp(kernel, &slots[0]);
        result = VANTEvent::Wait(count, slots, -1);
      }
      timer.Disarm();
      if (result < 0) {
        pass.Release();
        FailTimestampWait(874, result);
      }
      if (result == 0) {
        if (woken) {
          *woken = true;
        }
        continue;
      }
      if (result == 1) {
        const int32_t fresh = kernel->TimeSpeed();
        if (fresh != 0 &&
            RealDelay(timestamp, kernel->CurrentTime(false, false), fresh) <= ReachedThreshold) {
          return true;
        }
        continue;
      }
      if (result >= count) {
        pass.Release();
        FailTimestampWait(910, result);
      }
      if (cancelIndex) {
        *cancelIndex = result - 2;
      }
      return false;
    }

    if (woken) {
      *woken = false;
    }
    int32_t result;
    {
      WakeUpSlot wakeUp(kernel, &slots[1]);
      result = VANTEvent::Wait(count - 1, slots + 1, -1);
    }
    if (result < 0) {
      pass.Release();
      FailTimestampWait(806, result);
    }
    if (result == 0) {
      if (woken) {
        *woken = true;
      }
      continue;
    }
    if (result >= count - 1) {
      pass.Release();
      FailTimestampWait(824, result);
    }
    if (cancelIndex) {
      *cancelIndex = result - 1;
    }
    return false;
  }
}

/// The engine-clock loop of module event waits with a time-out. slots holds count events and
/// one more slot, at index count, for the wake-up event; stopIndex is the stop event's index, or
/// -1 when the stop event is not among them. Returns the index of the event that ended the wait
/// (never the stop event's: that raises StopException), TimeoutException, or a failed wait's
/// result.
int32_t TimedEventWait(VANTEvent** slots, int32_t count, int32_t stopIndex, int64_t timeout) {
  if (timeout == -1) {
    const int32_t result = VANTEvent::Wait(count, slots, -1);
    if (stopIndex >= 0 && result == stopIndex) {
      throw StopException;
    }
    return result;
  }
  VANTHostKernel* kernel = RequireKernel();
  const int64_t start = kernel->CurrentTime(true, true);
  int64_t deadline = Add(start, timeout);
  int64_t last = start;
  const int32_t wakeUpIndex = count;

  for (;;) {
    int32_t result = kWaitTimeout;
    bool timeIsUp = false;
    {
      TimeLockPass pass(kernel);
      const int32_t speed = kernel->TimeSpeed();
      const int64_t now = kernel->CurrentTime(false, false);
      if (now < last) {
        deadline = Add(now, timeout); // the engine went back in time: the time-out starts again
      }
      last = now;
      int64_t passTimeout = -1;
      if (speed > 0 && !kernel->TimeoutsSuspended()) {
        passTimeout = deadline > now ? RealDelay(deadline, now, speed) : 0;
        timeIsUp = passTimeout <= ReachedThreshold;
      }
      if (!timeIsUp) {
        WakeUpSlot wakeUp(kernel, &slots[wakeUpIndex]);
        result = VANTEvent::Wait(count + 1, slots, passTimeout);
      }
    }
    if (timeIsUp) {
      // Too little time left to block, but an event that is already set still ends the wait:
      // one look without blocking (a time-out of 0, or one too short to arm, is a poll).
      result = VANTEvent::Wait(count, slots, 0);
    }
    if (stopIndex >= 0 && result == stopIndex) {
      throw StopException;
    }
    if (timeIsUp) {
      return result;
    }
    if (result == wakeUpIndex) {
      continue;
    }
    if (result == kWaitTimeout) {
      if (Subtract(deadline, kernel->CurrentTime(true, true)) <= ReachedThreshold) {
        return kWaitTimeout;
      }
      continue;
    }
    return result;
  }
}

} // namespace

int64_t RealDelay(int64_t target, int64_t now, int32_t speed) noexcept {
  return Saturate((static_cast<Int128>(target) - now) * 1000 / speed);
}

bool ArmTimerEvent(VANTEvent* timer, int64_t realDelay) noexcept {
  VANTHostKernel* kernel = Kernel();
  if (!kernel || !timer) {
    return false;
  }
  timer->Reset();
  return kernel->Triggers()->Arm(timer, Add(kernel->RealTime(), realDelay));
}

void DisarmTimerEvent(VANTEvent* timer) noexcept {
  VANTHostKernel* kernel = Kernel();
  if (!kernel || !timer) {
    return;
  }
  // A cleared mark (read with acquire) means the service's Set() has completed and there is
  // nothing to take back.
  if (timer->IsArmed()) {
    kernel->Triggers()->Disarm(timer);
  }
}

bool WaitForTimestamp(int64_t timestamp, int32_t nbCancelEvents, VANTEvent** cancelEvents,
                      int* cancelIndex, bool* woken) {
  if (nbCancelEvents < 0) {
    FailNegativeCancelCount(nbCancelEvents);
  }
  return WaitForTimestampCore(timestamp, nullptr, nbCancelEvents, cancelEvents, cancelIndex, woken);
}

bool WaitForTimestamp(int64_t timestamp, VANTEvent* cancelEvent, bool* woken) {
  VANTEvent* cancel[1] = {cancelEvent};
  return WaitForTimestampCore(timestamp, nullptr, cancelEvent ? 1 : 0, cancel, nullptr, woken);
}

bool WaitForTimestampOn(VANTEvent* stop, int64_t timestamp, int32_t n, VANTEvent** cancelEvents,
                        int* cancelIndex, bool* woken, const WaitReporter& reporter) {
  if (cancelIndex) {
    *cancelIndex = -1;
  }
  if (n < 0) {
    FailNegativeCancelCount(n);
  }
  if (!cancelEvents) {
    n = 0;
  }
  int index = -1;
  if (WaitForTimestampCore(timestamp, stop, n, cancelEvents, &index, woken)) {
    return true;
  }
  if (index == 0) {
    throw StopException;
  }
  if (index < 1 || index > n) {
    ModuleError(reporter, "VANTModule::WaitForTimestamp [line:2153] Failed");
  }
  if (cancelIndex) {
    *cancelIndex = index - 1;
  }
  return false;
}

bool WaitForTimestampOn(VANTEvent* stop, int64_t timestamp, VANTEvent* cancelEvent, bool* woken,
                        const WaitReporter& reporter) {
  VANTEvent* cancel[1] = {cancelEvent};
  int index = -1;
  if (WaitForTimestampCore(timestamp, stop, cancelEvent ? 1 : 0, cancel, &index, woken)) {
    return true;
  }
  if (index == 0) {
    throw StopException;
  }
  if (index != 1 || !cancelEvent) {
    ModuleError(reporter, "VANTModule::WaitForTimestamp [line:2096] Failed");
  }
  return false;
}

bool WaitUntilOn(VANTEvent* stop, int64_t timestamp, VANTEvent* cancelEvent,
                 const WaitReporter& reporter) {
  VANTHostKernel* kernel = RequireKernel();
  TimerEvent timer;
  for (;;) {
    TimeLockPass pass(kernel);
    int64_t now = kernel->CurrentTime(false, false);
    const int32_t speed = kernel->TimeSpeed();
    if (speed > 0 && kernel->ClockState() != kClockStateNoDeadline) {
      const int64_t delay = RealDelay(timestamp, now, speed);
      if (delay <= ReachedThreshold) {
        return true;
      }
      VANTEvent* slots[4] = {nullptr, stop, timer.Get(), cancelEvent};
      if (!ArmTimerEvent(slots[2], delay)) {
        pass.Release();
        ModuleError(reporter, "VANTEvent::Wait [line:2029] Too many multimedia timers used. No "
                              "more available. Contact technical support for help.");
      }
      const int32_t count = cancelEvent ? 4 : 3;
      WakeUpSlot wakeUp(kernel, &slots[0]);
      const int32_t result = VANTEvent::Wait(count, slots, -1);
      wakeUp.Withdraw();
      if (result == 2) {
        now = kernel->CurrentTime(false, false);
        pass.Release();
        if (Subtract(timestamp, now) <= ReachedThreshold) {
          return true;
        }
        continue;
      }
      pass.Release();
      timer.Disarm();
      if (result == 0) {
        continue;
      }
      if (result == 1) {
        throw StopException;
      }
      if (result == 3 && cancelEvent) {
        return false;
      }
      ReportFailedWait(reporter, 2063, result);
      return true;
    }

    VANTEvent* slots[3] = {nullptr, stop, cancelEvent};
    const int32_t count = cancelEvent ? 3 : 2;
    WakeUpSlot wakeUp(kernel, &slots[0]);
    const int32_t result = VANTEvent::Wait(count, slots, -1);
    wakeUp.Withdraw();
    pass.Release();
    if (result == 0) {
      continue;
    }
    if (result == 1) {
      throw StopException;
    }
    if (result == 2 && cancelEvent) {
      return false;
    }
    ReportFailedWait(reporter, 2020, result);
    return true;
  }
}

bool RestOn(VANTEvent* stop, int64_t duration, VANTEvent* cancelEvent,
            const WaitReporter& reporter) {
  VANTHostKernel* kernel = RequireKernel();
  int64_t remaining = duration;
  bool recompute = true;
  bool countRested = false; // a wake-up ended the last pass: count what it rested
  int32_t lastSpeed = 1000;
  int64_t start = 0;
  int64_t target = 0;
  TimerEvent timer;

  for (;;) {
    TimeLockPass pass(kernel);
    const int32_t speed = kernel->TimeSpeed();
    if (countRested) {
      // Read under the lock: the engine sets the wake-up event before it changes its time, so
      // a reading taken as soon as the wake-up ends the pass may still show the time from before
      // the change, and a jump would then be lost or counted depending on timing.
      const int64_t rested = Subtract(kernel->CurrentTime(false, false), start);
      remaining = Subtract(remaining, rested < 0 ? Subtract(0, rested) : rested);
      countRested = false;
    }
    if (recompute || (lastSpeed >= 1 && speed < 0) || (speed > 0 && lastSpeed < 0)) {
      start = kernel->CurrentTime(false, false);
      target = speed < 0 ? Subtract(start, remaining) : Add(start, remaining);
      recompute = false;
    }

    if (speed != 0 && kernel->ClockState() != kClockStateNoDeadline) {
      lastSpeed = speed;
      const int64_t delay = RealDelay(target, kernel->CurrentTime(false, false), speed);
      if (delay <= ReachedThreshold) {
        pass.Release();
        sched_yield();
        return true;
      }
      VANTEvent* slots[4] = {nullptr, stop, timer.Get(), cancelEvent};
      if (!ArmTimerEvent(slots[2], delay)) {
        pass.Release();
        ModuleError(reporter, "Rest function : Too many multimedia timers used. No more "
                              "available. Contact technical support for help.");
      }
      const int32_t count = cancelEvent ? 4 : 3;
      WakeUpSlot wakeUp(kernel, &slots[0]);
      const int32_t result = VANTEvent::Wait(count, slots, -1);
      wakeUp.Withdraw();
      pass.Release();
      if (result == 2) {
        const int64_t now = kernel->CurrentTime(true, true);
        const int64_t left = speed < 0 ? Subtract(now, target) : Subtract(target, now);
        if (left <= ReachedThreshold) {
          return true;
        }
        continue;
      }
      timer.Disarm();
      if (result == 0) {
        // Keep what was rested up to the change; the rest goes on from the new time.
        countRested = true;
        recompute = true;
        continue;
      }
      if (result == 1) {
        throw StopException;
      }
      if (result == 3 && cancelEvent) {
        return false;
      }
      return true;
    }

    VANTEvent* slots[3] = {nullptr, stop, cancelEvent};
    const int32_t count = cancelEvent ? 3 : 2;
    WakeUpSlot wakeUp(kernel, &slots[0]);
    const int32_t result = VANTEvent::Wait(count, slots, -1);
    wakeUp.Withdraw();
    pass.Release();
    if (result == 0) {
      recompute = true; // time that stood still does not count
      continue;
    }
    if (result == 1) {
      throw StopException;
    }
    if (result == 2 && cancelEvent) {
      return false;
    }
    return true;
  }
}

int32_t Wait4EventsOn(VANTEvent* stop, int32_t n, VANTEvent** events, int64_t timeout,
                      bool includeStop) {
  if (n < 0 || !events) {
    n = 0;
  }
  if (n > kMaxWaitEvents - 2) {
    ThrowTooManyEvents();
  }
  VANTEvent* slots[kMaxWaitEvents];
  for (int32_t i = 0; i < n; ++i) {
    slots[i] = events[i];
  }
  int32_t count = n;
  int32_t stopIndex = -1;
  if (includeStop && stop) {
    stopIndex = count;
    slots[count++] = stop;
  }
  return TimedEventWait(slots, count, stopIndex, timeout);
}

bool WaitForEventOn(VANTEvent* stop, VANTEvent* event, int64_t timeout) {
  VANTEvent* slots[3] = {stop, event, nullptr};
  const int32_t count = (event && event != stop) ? 2 : 1;
  return TimedEventWait(slots, count, 0, timeout) == 1;
}

} // namespace VANT
