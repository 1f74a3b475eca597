#pragma once
// VANT_ASSERT(condition, "what broke"): the one check of an internal invariant. It is compiled in
// when CORVEX_CHECKS is defined, which every build the project makes does by default (tests,
// sanitizers, fuzzing; -DCORVEX_CHECKS=OFF leaves it out), and then costs a compare and a branch.
// A failed check reports "Internal check failed: <what> (<condition>, <file>:<line>)" as an error
// through the report hook and throws VANT::ErrorException; in a noexcept function that ends the
// program, which is what an invariant that no longer holds leaves to do.
//
// Thread: any thread.

namespace VANT {

/// Reports the failed check and throws VANT::ErrorException. Out of line, so that a check adds
/// only a compare and a call to the code it guards.
[[noreturn]] void AssertionFailed(const char* what, const char* condition, const char* file,
                                  int line);

} // namespace VANT

#if defined(CORVEX_CHECKS)
#define VANT_ASSERT(condition, what)                                                               \
  (static_cast<bool>(condition) ? static_cast<void>(0)                                             \
                                : ::VANT::AssertionFailed(what, #condition, __FILE__, __LINE__))
#else
#define VANT_ASSERT(condition, what) static_cast<void>(sizeof(static_cast<bool>(condition)))
#endif
