#pragma once
// Text of the runtime: the stacked string that keeps short texts inside the object, the streamed
// string that builds messages, and the byte-string and number-to-text helpers they stand on.
//
// A null C string is accepted everywhere and means the empty text. Allocation failure raises
// std::bad_alloc; so does a text whose length cannot be counted in 32 bits.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

namespace VANT {

// ---- Byte strings ------------------------------------------------------------------------------

/// Number of bytes before the terminator; 0 for null.
inline std::size_t StringLength(const char* text) noexcept {
  return text == nullptr ? 0 : std::strlen(text);
}

/// Copies src (null = empty) into dst of dstSize bytes, always terminated when dstSize > 0.
/// Returns false when src did not fit whole (dst then holds the truncated prefix) or dst is null.
[[nodiscard]] bool StringCopy(char* dst, std::size_t dstSize, const char* src) noexcept;

/// Appends src (null = empty) to the terminated text in dst of dstSize bytes, always terminated.
/// Returns false when src did not fit whole, or when dst holds no terminator within dstSize (then
/// dst is left untouched).
[[nodiscard]] bool StringConcat(char* dst, std::size_t dstSize, const char* src) noexcept;

/// Compares as unsigned bytes: -1, 0 or 1. Null compares as the empty text.
int32_t StringCompare(const char* a, const char* b) noexcept;

/// Compares after folding only 'A'..'Z' to lower case; returns the difference of the first
/// differing folded bytes (as unsigned bytes), 0 when equal. Null compares as the empty text.
int32_t StringCompareNoCase(const char* a, const char* b) noexcept;

// ---- Numbers to text ---------------------------------------------------------------------------
// Each writes the digits most significant first, then a terminator, into buffer[0..size); digits
// above 9 are lower-case letters. They return the number of characters written (terminator not
// counted), or -1 when the radix is outside 2..36 or the text does not fit; buffer then holds the
// empty text (when size > 0).

/// A leading '-' only for radix 10 and a negative value; other radixes write the bits unsigned.
int32_t IntegerToText(int32_t value, char* buffer, std::size_t size, int32_t radix) noexcept;
int32_t UnsignedToText(uint32_t value, char* buffer, std::size_t size, int32_t radix) noexcept;
/// A leading '-' only for radix 10 and a negative value; other radixes write the bits unsigned.
int32_t Integer64ToText(int64_t value, char* buffer, std::size_t size, int32_t radix) noexcept;
/// When negative is set, writes '-' and the two's-complement negation of the bits.
int32_t ToTextWithSign(uint32_t bits, char* buffer, std::size_t size, int32_t radix,
                       bool negative) noexcept;
int32_t ToTextWithSign64(uint64_t bits, char* buffer, std::size_t size, int32_t radix,
                         bool negative) noexcept;

// ---- Constructor tags --------------------------------------------------------------------------

/// Sized constructor: VANTStackedString<40> s(VANT::Sized, size, setLength).
struct SizedTag {
  explicit SizedTag() = default;
};
inline constexpr SizedTag Sized{};
/// Zero-padded digits: VANTStackedString<40> s(VANT::Digits, value, count).
struct DigitsTag {
  explicit DigitsTag() = default;
};
inline constexpr DigitsTag Digits{};
/// Time of day or elapsed time, "[-][h:]mm:ss.uuuuuu": VANTStackedString<40> s(VANT::TimeText, us).
struct TimeTextTag {
  explicit TimeTextTag() = default;
};
inline constexpr TimeTextTag TimeText{};
/// Duration with its unit ("1.5 ms"): VANTStreamedString s(VANT::DurationText, us).
struct DurationTextTag {
  explicit DurationTextTag() = default;
};
inline constexpr DurationTextTag DurationText{};

namespace detail {

/// Bytes a stacked string with inObject bytes of in-object storage needs for length characters:
/// inObject while the text and its terminator fit there, otherwise the multiple of inObject
/// inObject * ((length + 1) / inObject + 1). Throws std::bad_alloc beyond 32 bits.
int32_t StackedCapacity(int64_t length, int32_t inObject);
/// Length as a 32-bit count; throws std::bad_alloc when it does not fit.
int32_t CheckedLength(std::size_t length);
/// Writes "[-][h:]mm:ss.uuuuuu" and a terminator into out (at least 32 bytes); returns its length.
int32_t FormatTimeText(int64_t microseconds, char* out) noexcept;
/// Writes the lowest `count` decimal digits of |value|, zero-padded, into out (count + 1 bytes).
void FormatDigits(int64_t value, int32_t count, char* out) noexcept;

} // namespace detail
} // namespace VANT

/// VANTStackedString<N>: an 8-bit, always terminated text that keeps up to N - 1 characters inside
/// the object and moves to a heap block only when it outgrows them. The runtime uses N = 40 for
/// every name, path and message.
///
/// Capacity rule for a text of L characters: the in-object buffer while L < N, otherwise a heap
/// block of N * ((L + 1) / N + 1) bytes (L = 40 gives 80, L = 79 gives 120). An append that makes
/// the length reach the capacity moves the text to a block sized by that rule; appends never
/// shrink the string. Construction and assignment start afresh from the rule.
///
/// Ownership: the heap block, when there is one, belongs to the object and is freed by its
/// destructor. Text() stays valid until the next change of the string.
/// Thread: none of its own; one thread changes a string at a time.
template <int32_t N>
class VANTStackedString {
  static_assert(N >= 2, "the in-object buffer must hold a character and its terminator");

public:
  VANTStackedString() noexcept : m_length(0), m_capacity(N), m_text(m_buffer) { m_buffer[0] = 0; }
  /// Copies a C string; null gives the empty text.
  VANTStackedString(const char* text) : VANTStackedString() {
    AssignBytes(text, VANT::detail::CheckedLength(VANT::StringLength(text)));
  }
  /// Copies exactly `length` bytes of text (zero bytes included), then a terminator. A null text
  /// or a length below 1 gives the empty text.
  VANTStackedString(const char* text, int32_t length) : VANTStackedString() {
    AssignBytes(text, text == nullptr || length < 0 ? 0 : length);
  }
  VANTStackedString(const VANTStackedString& other) : VANTStackedString() {
    AssignBytes(other.m_text, other.m_length);
  }
  template <int32_t M>
  explicit VANTStackedString(const VANTStackedString<M>& other) : VANTStackedString() {
    AssignBytes(other.Text(), other.Length());
  }
  /// Takes other's heap block, or copies its in-object text; other is left empty.
  VANTStackedString(VANTStackedString&& other) noexcept : VANTStackedString() { TakeFrom(other); }
  /// Room for max(size, 0) characters and an empty text. With setLength the length becomes size
  /// and a terminator is written there; the characters before it are for the caller to fill
  /// through Data().
  VANTStackedString(VANT::SizedTag, int32_t size, bool setLength) : VANTStackedString() {
    const int32_t wanted = size < 0 ? 0 : size;
    m_capacity = VANT::detail::StackedCapacity(wanted, N);
    if (m_capacity != N) {
      m_text = new char[static_cast<std::size_t>(m_capacity)];
      m_text[0] = 0;
    }
    if (setLength) {
      m_length = wanted;
      m_text[wanted] = 0;
    }
  }
  /// Exactly `count` characters: the lowest decimal digits of |value|, most significant first,
  /// zero-padded on the left (7 with 3 gives "007", 12345 with 3 gives "345"). count < 1 gives
  /// the empty text.
  VANTStackedString(VANT::DigitsTag, int64_t value, int32_t count)
      : VANTStackedString(VANT::Sized, count, true) {
    VANT::detail::FormatDigits(value, m_length, m_text);
  }
  /// "[-][h:]mm:ss.uuuuuu" for a signed count of microseconds; the hours only when not 0
  /// (0 gives "00:00.000000", 3723000001 gives "1:02:03.000001").
  VANTStackedString(VANT::TimeTextTag, int64_t microseconds) : VANTStackedString() {
    char text[32];
    AssignBytes(text, VANT::detail::FormatTimeText(microseconds, text));
  }

  virtual ~VANTStackedString() { Release(); }

  VANTStackedString& operator=(const VANTStackedString& other) {
    if (this != &other) {
      AssignBytes(other.m_text, other.m_length);
    }
    return *this;
  }
  VANTStackedString& operator=(VANTStackedString&& other) noexcept {
    if (this != &other) {
      Release();
      SetEmptyInObject();
      TakeFrom(other);
    }
    return *this;
  }
  /// Null gives the empty text. The text may point into this string itself.
  VANTStackedString& operator=(const char* text) {
    AssignBytes(text, VANT::detail::CheckedLength(VANT::StringLength(text)));
    return *this;
  }

  // Appends. The appended text may be (part of) this string itself.
  template <int32_t M>
  VANTStackedString& Append(const VANTStackedString<M>& other) {
    return AppendBytes(other.Text(), other.Length());
  }
  /// Null appends nothing.
  VANTStackedString& Append(const char* text) {
    return AppendBytes(text, VANT::detail::CheckedLength(VANT::StringLength(text)));
  }
  /// Exactly `length` bytes; null or length < 1 appends nothing.
  VANTStackedString& Append(const char* text, int32_t length) {
    return AppendBytes(text, text == nullptr || length < 0 ? 0 : length);
  }
  VANTStackedString& Append(char c) { return AppendBytes(&c, 1); }
  template <int32_t M>
  VANTStackedString& operator+=(const VANTStackedString<M>& other) {
    return Append(other);
  }
  VANTStackedString& operator+=(const char* text) { return Append(text); }
  VANTStackedString& operator+=(char c) { return Append(c); }

  /// Number of characters, terminator not counted.
  int32_t Length() const noexcept { return m_length; }
  /// Bytes available at Text(), terminator included.
  int32_t Capacity() const noexcept { return m_capacity; }
  bool IsEmpty() const noexcept { return m_length == 0; }
  /// The characters, always terminated.
  const char* Text() const noexcept { return m_text; }
  /// Writable characters: Capacity() bytes. Keep the terminator at Length().
  char* Data() noexcept { return m_text; }
  /// True while the text lives in the in-object buffer.
  bool IsInObject() const noexcept { return m_text == m_buffer; }

  template <int32_t M>
  bool operator==(const VANTStackedString<M>& other) const noexcept {
    return m_length == other.Length() && std::memcmp(m_text, other.Text(), m_length) == 0;
  }
  /// Null equals the empty text.
  bool operator==(const char* text) const noexcept {
    const std::size_t length = VANT::StringLength(text);
    return length == static_cast<std::size_t>(m_length) &&
           (length == 0 || std::memcmp(m_text, text, length) == 0);
  }

private:
  void Release() noexcept {
    if (m_text != m_buffer) {
      // Not the object's own buffer: a block of new[]. The analyser loses m_text == m_buffer
      // when a string is returned as a prvalue of a conditional (constructed in place).
      delete[] m_text; // NOLINT(clang-analyzer-cplusplus.NewDelete)
    }
  }
  void SetEmptyInObject() noexcept {
    m_text = m_buffer;
    m_capacity = N;
    m_length = 0;
    m_buffer[0] = 0;
  }
  void TakeFrom(VANTStackedString& other) noexcept {
    if (other.m_text != other.m_buffer) {
      m_text = other.m_text;
      m_capacity = other.m_capacity;
      m_length = other.m_length;
      other.SetEmptyInObject();
    } else {
      std::memcpy(m_buffer, other.m_buffer, static_cast<std::size_t>(other.m_length) + 1);
      m_length = other.m_length;
      other.m_length = 0;
      other.m_buffer[0] = 0;
    }
  }
  // Fresh storage by the rule; source may alias the current text.
  void AssignBytes(const char* source, int32_t length) {
    const int32_t capacity = VANT::detail::StackedCapacity(length, N);
    char* text = capacity == N ? m_buffer : new char[static_cast<std::size_t>(capacity)];
    if (length > 0 && source != nullptr) {
      std::memmove(text, source, static_cast<std::size_t>(length));
    }
    text[length] = 0;
    if (text != m_text) {
      Release();
    }
    m_text = text;
    m_capacity = capacity;
    m_length = length;
  }
  VANTStackedString& AppendBytes(const char* source, int32_t length) {
    if (length <= 0 || source == nullptr) {
      return *this;
    }
    const int64_t wanted = static_cast<int64_t>(m_length) + length;
    const int32_t newLength = VANT::detail::CheckedLength(static_cast<std::size_t>(wanted));
    if (newLength + 1 > m_capacity) {
      // The source may live in the current block: copy it before that block is freed.
      const int32_t capacity = VANT::detail::StackedCapacity(newLength, N);
      char* text = new char[static_cast<std::size_t>(capacity)];
      std::memcpy(text, m_text, static_cast<std::size_t>(m_length));
      std::memcpy(text + m_length, source, static_cast<std::size_t>(length));
      Release();
      m_text = text;
      m_capacity = capacity;
    } else {
      std::memmove(m_text + m_length, source, static_cast<std::size_t>(length));
    }
    m_length = newLength;
    m_text[m_length] = 0;
    return *this;
  }

  int32_t m_length;
  int32_t m_capacity;
  char* m_text;
  char m_buffer[N];
};

namespace VANT {

/// A module was renamed: a full name "oldName.rest" becomes "newName.rest"; any other name stays.
template <int32_t N>
void RenameModulePart(VANTStackedString<N>& fullName, const char* oldName, const char* newName) {
  const std::size_t oldLength = StringLength(oldName);
  const char* full = fullName.Text();
  if (std::strncmp(full, oldName == nullptr ? "" : oldName, oldLength) == 0 &&
      full[oldLength] == '.') {
    VANTStackedString<N> renamed(newName);
    renamed.Append(full + oldLength);
    fullName = renamed;
  }
}

} // namespace VANT

extern template class VANTStackedString<40>;

/// VANTStreamedString: the message builder, a VANTStackedString<40> with stream-style appends of
/// texts and numbers. Each append returns the string, so appends chain:
///   VANTStreamedString m; m << "took " << elapsed << " us";
///
/// Numbers use the C library's formatted printing: integers "%d"/"%u" and their 64-bit forms,
/// or hexadecimal ("%x") or octal ("%o") as the format flags say (Hexadecimal wins when both
/// are set; negative values then show their bit pattern); floating point "%.10g" (the decimal
/// point follows the calling thread's numeric locale); pointers "%p".
///
/// Thread: none of its own; one thread changes a string at a time.
class VANTStreamedString : public VANTStackedString<40> {
public:
  static constexpr int32_t Hexadecimal = 1;
  static constexpr int32_t Octal = 2;

  using VANTStackedString<40>::VANTStackedString;
  using VANTStackedString<40>::operator=;
  VANTStreamedString() noexcept = default;
  explicit VANTStreamedString(const VANTStackedString<40>& text) : VANTStackedString<40>(text) {}
  /// The duration with its unit, for a signed count of microseconds d of magnitude m:
  /// m > 1000000: d / 1e6 and " s"; m in 1001..1000000: d / 1e3 and " ms"; else d and " us"
  /// (each number "%.10g"; 1000000 gives "1000 ms", 1001 gives "1.001 ms").
  VANTStreamedString(VANT::DurationTextTag, int64_t microseconds);

  /// Format flags: 0 decimal, Hexadecimal, Octal. Created 0.
  void SetFlags(int32_t flags) noexcept { m_flags = flags; }
  int32_t Flags() const noexcept { return m_flags; }

  template <int32_t M>
  VANTStreamedString& operator<<(const VANTStackedString<M>& text) {
    Append(text);
    return *this;
  }
  /// Null appends nothing.
  VANTStreamedString& operator<<(const char* text) {
    Append(text);
    return *this;
  }
  VANTStreamedString& operator<<(char c) {
    Append(c);
    return *this;
  }
  VANTStreamedString& operator<<(int16_t value);
  VANTStreamedString& operator<<(uint16_t value);
  VANTStreamedString& operator<<(int32_t value);
  VANTStreamedString& operator<<(uint32_t value);
  VANTStreamedString& operator<<(long value);
  VANTStreamedString& operator<<(unsigned long value);
  VANTStreamedString& operator<<(long long value);
  VANTStreamedString& operator<<(unsigned long long value);
  VANTStreamedString& operator<<(float value);
  VANTStreamedString& operator<<(double value);
  VANTStreamedString& operator<<(const void* pointer);
  /// No text form is defined for a bool: write it as a number or a word explicitly.
  VANTStreamedString& operator<<(bool) = delete;

private:
  VANTStreamedString& AppendSigned(int64_t value, uint64_t pattern);
  VANTStreamedString& AppendUnsigned(uint64_t value);

  int32_t m_flags = 0;
};
