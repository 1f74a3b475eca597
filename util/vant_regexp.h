#pragma once
// Regular expressions of the runtime (PCRE 8, 8-bit, never in UTF mode): the names of new inputs,
// outputs, properties and actions and the type names of data type filters are checked with them.

#include "util/vant_array.h"
#include "util/vant_string.h"

#include <cstdint>

/// VANTRegExp: a cheap-to-copy handle on a compiled pattern that copies share, with a match that
/// also collects the captured substrings.
///
/// A pattern that does not compile gives an invalid object that carries the compiler's message
/// and the offset of the error in the pattern; matching it returns false.
///
/// Sharing: copies and assignment share one body (compiled pattern, study data, offset vector and
/// captured substrings). SetPattern and Reset give this handle a new body and leave the others
/// untouched; Recompile and SetOptions change the shared body, so every sharing handle sees them.
/// Thread: the count of sharing handles is atomic, so handles on one body may be copied and
///   destroyed on different threads. Match writes the body's offsets and substrings: a body is
///   matched, recompiled or studied by one thread at a time, and substrings are read on that
///   thread.
/// Ownership: the last handle on a body frees the compiled pattern and its study data.
class VANTRegExp {
public:
  /// No pattern: invalid, without an error text.
  VANTRegExp();
  /// Compiles `pattern` with the PCRE compile options `options` (the runtime passes 0).
  explicit VANTRegExp(const char* pattern, int32_t options = 0);
  VANTRegExp(const VANTRegExp& other) noexcept;
  VANTRegExp& operator=(const VANTRegExp& other) noexcept;
  virtual ~VANTRegExp();

  /// A new body of its own, compiled from `pattern` with options 0 (null: no pattern).
  void SetPattern(const char* pattern);
  /// Compiles `pattern` into the shared body with its stored options, replacing the compiled
  /// pattern, its study data and the last match. Returns IsValid().
  bool Recompile(const char* pattern);
  /// Stores compile options in the shared body; they apply from the next Recompile.
  void SetOptions(int32_t options) noexcept;
  /// Studies the compiled pattern to speed up later matches. False without a valid pattern or
  /// when the study fails (its message then becomes the error text).
  bool Study();
  /// A new empty body of its own.
  void Reset();

  bool IsValid() const noexcept;
  /// The compiler's message when the pattern did not compile, otherwise null.
  const char* ErrorText() const noexcept;
  /// Offset in the pattern of the compile error; -1 when there is none.
  int32_t ErrorOffset() const noexcept;
  int32_t Options() const noexcept;

  /// Matches the `length` bytes at `subject` (0: up to its terminator), from its start. On a
  /// match the captured substrings are replaced; otherwise they stay as they were.
  [[nodiscard]] bool Match(const char* subject, int32_t length = 0);

  /// Number of substrings of the last match: the whole match, then every group up to the last
  /// one that took part.
  int32_t SubstringCount() const noexcept;
  /// Substring i of the last match (0 is the whole match). A group that did not take part, and
  /// an index beyond the count, give the empty string.
  const VANTStackedString<40>& Substring(int32_t i) const noexcept;
  /// Offset in the subject where group i starts, as the last match attempt left the offset
  /// vector (meaningful after a successful Match); -1 when the group did not take part or i is
  /// beyond the groups the vector holds.
  int32_t StartOffset(int32_t i) const noexcept;
  /// Offset in the subject just past group i of the last match; -1 as for StartOffset.
  int32_t EndOffset(int32_t i) const noexcept;

  /// Number of handles sharing this body.
  int32_t References() const noexcept;
  /// Entries of the offset vector handed to PCRE: 10 at first, 10 more each time a match had
  /// more groups than it could hold.
  int32_t OffsetVectorSize() const noexcept;

private:
  struct Body;

  static Body* NewBody(int32_t options);
  static void Release(Body* body) noexcept;

  Body* m_body; // never null
};
