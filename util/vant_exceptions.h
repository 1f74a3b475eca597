#pragma once
// The integers the runtime throws. A failure is always reported first, then raised as one of
// these; handlers that catch `int` rethrow StopException untouched.

namespace VANT {

/// Thrown after an error report (Error, the error raise, failed assertions, fatal FIFO errors).
inline constexpr int ErrorException = -5;
/// Thrown when a wait on data times out.
inline constexpr int TimeoutException = -3;
/// Thrown when a wait on data fails.
inline constexpr int WaitFailedException = -4;
/// Thrown, without a report, when a component asked to stop wakes in a blocking call.
inline constexpr int StopException = 0xDEAD;

} // namespace VANT
