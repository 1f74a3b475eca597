#pragma once
// Reading time texts: the inverse of the stacked string's time text, for durations and times of
// day typed by a user or stored in a property.
//
// Grammar: optional blanks, an optional sign, then "s", "m:s" or "h:m:s" in decimal, then
// optionally "." and up to six digits of a fraction of a second ("1:00:00.25" is 3600250000 us;
// ".5" is 500000 us). A field may be empty and then counts as 0 ("1:" is 60 s, ":30" is 30 s);
// the first may be any size, the others are not limited to 59. A leading "-" makes the whole
// value negative, "-0:30" and "-.5" included. Parsing stops at the first character that does
// not continue the grammar (a third ":", a seventh fraction digit), so callers that want the
// whole text check that *end is the terminator.
//
// Thread: any thread; no state.

#include <cstdint>

namespace VANT {

/// Parses a time text into microseconds. Returns false, with *end = text, for a null or empty
/// text, a text with no digit, ":" or "." after its blanks and sign, or a value beyond the
/// signed 64-bit range.
/// On success *end (when end is given) points at the first character not used.
[[nodiscard]] bool TryParseTimeText(const char* text, int64_t& microseconds,
                                    const char** end = nullptr) noexcept;

/// The same, returning -1 when TryParseTimeText refuses the text (-1 is also the value of
/// "-0.000001": use TryParseTimeText where that matters).
int64_t ParseTimeText(const char* text, const char** end = nullptr) noexcept;

} // namespace VANT
