#pragma once
// Waits measured on the engine's time. Engine time is a signed count of microseconds read from
// the host kernel; it can run at any speed (per-mille of real time), stand still, run backwards,
// pause and jump. The runtime reads no operating-system clock: every value comes from the kernel.
//
// Each timed wait works in passes. A pass holds the engine's time lock (shared) from its first
// reading of speed and time until its blocking wait has returned, and registers the engine's
// wake-up event for that pass: when the engine changes its time, it sets the wake-up event, the
// pass ends, and the next pass starts from fresh values. Inside a pass the time is read as
// CurrentTime(false, false), the form for callers that hold the lock; the lock is released
// before any report or exception.
//
// A target counts as reached when its real delay, (target - now) x 1000 / speed, is 499
// microseconds or less: no trigger is armed for less than 500 real microseconds.
//
// Thread: every function may run on any number of threads at once; each wait owns its timer
//   event and its registration.
// Blocks: the waits block until reached, cancelled or stopped; see each function.
// Kernel: a host kernel must be installed (VANT::Kernel() not null); without one a wait reports
//   an error and raises VANT::ErrorException.

#include <cstdint>

class VANTEvent;

namespace VANT {

/// Real delays of this many microseconds or less count as reached.
inline constexpr int64_t ReachedThreshold = 499;

/// (target - now) x 1000 / speed in real microseconds, truncated toward zero and saturated to
/// the 64-bit range. speed must not be 0.
int64_t RealDelay(int64_t target, int64_t now, int32_t speed) noexcept;

/// Resets the timer event and asks the kernel's trigger service to set it realDelay real
/// microseconds from now. Returns the service's answer; false without a kernel.
[[nodiscard]] bool ArmTimerEvent(VANTEvent* timer, int64_t realDelay) noexcept;

/// Takes a pending arming back (nothing without a kernel or when the timer is not armed). After
/// it returns, the trigger service no longer touches the event. This is also the disarm hook
/// that package initialisation installs for destroyed events (VANT::SetEventDisarmHook).
void DisarmTimerEvent(VANTEvent* timer) noexcept;

/// Waits until the engine time reaches timestamp or one of the nbCancelEvents cancel events is
/// set. Returns true when the timestamp was reached and false when cancel event *cancelIndex
/// ended the wait. *woken (when given) tells, with a true result, that the last thing the wait
/// saw was the engine's wake-up (a jump or a change of speed) rather than its timer.
/// While engine time stands still (speed 0 or a paused clock) it waits for a wake-up or a cancel.
/// Failures, a negative nbCancelEvents among them, are reported as errors and raised as
/// VANT::StopException. More than 254 cancel events (the wait also holds the wake-up and timer
/// events) are refused as VANTEvent::Wait refuses more than 256 events: reported, then
/// VANT::ErrorException, without waiting.
bool WaitForTimestamp(int64_t timestamp, int32_t nbCancelEvents, VANTEvent** cancelEvents,
                      int* cancelIndex, bool* woken);
/// The same with no cancel event (cancelEvent null) or one.
bool WaitForTimestamp(int64_t timestamp, VANTEvent* cancelEvent, bool* woken);

// ---- Waits of a module
// --------------------------------------------------------------------------- The module base
// forwards its timed waits here with its stop event and a reporter. The stop event ending a wait
// raises VANT::StopException (57005) without a report; every wait takes events on the stack and
// allocates at most one timer event, only when it arms a trigger.

/// The module's report operations: Report sends text at a level (0 information, 1 warning,
/// 2 error); Error reports an error and raises VANT::ErrorException (it must not return).
class WaitReporter {
public:
  virtual void Report(const char* text, int32_t level) const = 0;
  [[noreturn]] virtual void Error(const char* text) const = 0;

protected:
  ~WaitReporter() = default;
};

/// WaitForTimestamp with the stop event in front of the n cancel events. Returns true when
/// reached; false when cancel event *cancelIndex (0 to n-1) ended it. *cancelIndex is -1 on
/// entry. An unexpected end of the wait goes to reporter.Error.
bool WaitForTimestampOn(VANTEvent* stop, int64_t timestamp, int32_t n, VANTEvent** cancelEvents,
                        int* cancelIndex, bool* woken, const WaitReporter& reporter);
/// The same with one cancel event (may be null).
bool WaitForTimestampOn(VANTEvent* stop, int64_t timestamp, VANTEvent* cancelEvent, bool* woken,
                        const WaitReporter& reporter);

/// Waits until engine time reaches timestamp (true) or cancelEvent is set (false). While time
/// does not run forward (speed 0 or below, or a paused clock) only a wake-up, the stop event or
/// the cancel event ends a pass. A failed wait is reported (level 2) and ends with true.
bool WaitUntilOn(VANTEvent* stop, int64_t timestamp, VANTEvent* cancelEvent,
                 const WaitReporter& reporter);

/// Sleeps for duration microseconds of engine time: true when the rest is over, false when
/// cancelEvent was set. With time running backwards the rest lasts until engine time has gone
/// back by the duration; time that stands still does not count; after a wake-up the time already
/// rested is kept and the rest goes on from the new engine time.
bool RestOn(VANTEvent* stop, int64_t duration, VANTEvent* cancelEvent,
            const WaitReporter& reporter);

/// Waits up to timeout engine microseconds until one of the n events (then the stop event at
/// index n when includeStop) is set. Returns its index, VANT::TimeoutException (-3) on time-out,
/// or the failed wait's result. A time-out too short to block on (499 real microseconds or less,
/// 0 included) still looks at the events once, so an event already set is never missed. A
/// time-out restarts whole from the new engine time when the engine goes back in time; while
/// time stands still or runs backwards, or time-outs are suspended, the wait has no limit. A
/// timeout of -1 waits without a time limit and without the engine clock (the module adds its
/// dying check after it). The module refuses n above 254 with its own message; here more than
/// 254 events are refused as by VANTEvent::Wait.
int32_t Wait4EventsOn(VANTEvent* stop, int32_t n, VANTEvent** events, int64_t timeout,
                      bool includeStop);
/// Waits on event and the stop event: true when event was set, false on time-out.
bool WaitForEventOn(VANTEvent* stop, VANTEvent* event, int64_t timeout);

} // namespace VANT
