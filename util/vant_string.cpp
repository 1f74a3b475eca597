#include "util/vant_string.h"

#include <cinttypes>
#include <cstdio>
#include <limits>

template class VANTStackedString<40>;

static_assert(sizeof(long) == 8 && sizeof(long long) == 8, "64-bit longs expected (LP64)");

namespace VANT {

// ---- Byte strings ------------------------------------------------------------------------------

bool StringCopy(char* dst, std::size_t dstSize, const char* src) noexcept {
  if (dst == nullptr || dstSize == 0) {
    return false;
  }
  const std::size_t length = StringLength(src);
  const std::size_t copied = length < dstSize ? length : dstSize - 1;
  if (copied > 0) {
    std::memmove(dst, src, copied);
  }
  dst[copied] = 0;
  return copied == length;
}

bool StringConcat(char* dst, std::size_t dstSize, const char* src) noexcept {
  if (dst == nullptr) {
    return false;
  }
  const void* end = std::memchr(dst, 0, dstSize);
  if (end == nullptr) {
    return false;
  }
  const std::size_t used = static_cast<std::size_t>(static_cast<const char*>(end) - dst);
  return StringCopy(dst + used, dstSize - used, src);
}

int32_t StringCompare(const char* a, const char* b) noexcept {
  const auto* x = reinterpret_cast<const unsigned char*>(a == nullptr ? "" : a);
  const auto* y = reinterpret_cast<const unsigned char*>(b == nullptr ? "" : b);
  while (*x != 0 && *x == *y) {
    ++x;
    ++y;
  }
  return *x < *y ? -1 : (*x > *y ? 1 : 0);
}

namespace {
unsigned FoldAsciiUpper(unsigned char c) noexcept {
  return c >= 'A' && c <= 'Z' ? static_cast<unsigned>(c - 'A' + 'a') : c;
}
} // namespace

int32_t StringCompareNoCase(const char* a, const char* b) noexcept {
  const auto* x = reinterpret_cast<const unsigned char*>(a == nullptr ? "" : a);
  const auto* y = reinterpret_cast<const unsigned char*>(b == nullptr ? "" : b);
  for (;; ++x, ++y) {
    const unsigned fx = FoldAsciiUpper(*x);
    const unsigned fy = FoldAsciiUpper(*y);
    if (fx != fy || fx == 0) {
      return static_cast<int32_t>(fx) - static_cast<int32_t>(fy);
    }
  }
}

// ---- Numbers to text ---------------------------------------------------------------------------

namespace {

int32_t Refuse(char* buffer, std::size_t size) noexcept {
  if (buffer != nullptr && size > 0) {
    buffer[0] = 0;
  }
  return -1;
}

// The common writer: an optional '-' then the digits of magnitude in radix.
int32_t WriteDigits(uint64_t magnitude, bool minus, char* buffer, std::size_t size,
                    int32_t radix) noexcept {
  if (buffer == nullptr || radix < 2 || radix > 36) {
    return Refuse(buffer, size);
  }
  char digits[64];
  int32_t count = 0;
  do {
    const auto digit = static_cast<unsigned>(magnitude % static_cast<uint64_t>(radix));
    digits[count++] = static_cast<char>(digit < 10 ? '0' + digit : 'a' + (digit - 10));
    magnitude /= static_cast<uint64_t>(radix);
  } while (magnitude != 0);
  const int32_t total = count + (minus ? 1 : 0);
  if (static_cast<std::size_t>(total) + 1 > size) {
    return Refuse(buffer, size);
  }
  char* out = buffer;
  if (minus) {
    *out++ = '-';
  }
  while (count > 0) {
    *out++ = digits[--count];
  }
  *out = 0;
  return total;
}

} // namespace

int32_t IntegerToText(int32_t value, char* buffer, std::size_t size, int32_t radix) noexcept {
  const bool minus = radix == 10 && value < 0;
  return ToTextWithSign(static_cast<uint32_t>(value), buffer, size, radix, minus);
}

int32_t UnsignedToText(uint32_t value, char* buffer, std::size_t size, int32_t radix) noexcept {
  return WriteDigits(value, false, buffer, size, radix);
}

int32_t Integer64ToText(int64_t value, char* buffer, std::size_t size, int32_t radix) noexcept {
  const bool minus = radix == 10 && value < 0;
  return ToTextWithSign64(static_cast<uint64_t>(value), buffer, size, radix, minus);
}

int32_t ToTextWithSign(uint32_t bits, char* buffer, std::size_t size, int32_t radix,
                       bool negative) noexcept {
  return WriteDigits(negative ? 0u - bits : bits, negative, buffer, size, radix);
}

int32_t ToTextWithSign64(uint64_t bits, char* buffer, std::size_t size, int32_t radix,
                         bool negative) noexcept {
  return WriteDigits(negative ? 0u - bits : bits, negative, buffer, size, radix);
}

// ---- Stacked string support --------------------------------------------------------------------

namespace detail {

int32_t StackedCapacity(int64_t length, int32_t inObject) {
  if (length < inObject) {
    return inObject;
  }
  const int64_t capacity = static_cast<int64_t>(inObject) * ((length + 1) / inObject + 1);
  if (capacity > std::numeric_limits<int32_t>::max()) {
    throw std::bad_alloc();
  }
  return static_cast<int32_t>(capacity);
}

int32_t CheckedLength(std::size_t length) {
  // The capacity rule adds up to one more block of in-object size; leave room for it.
  if (length > static_cast<std::size_t>(std::numeric_limits<int32_t>::max()) / 2) {
    throw std::bad_alloc();
  }
  return static_cast<int32_t>(length);
}

int32_t FormatTimeText(int64_t microseconds, char* out) noexcept {
  // The magnitude as unsigned, so that the most negative value has one too.
  const bool minus = microseconds < 0;
  const uint64_t t =
      minus ? 0u - static_cast<uint64_t>(microseconds) : static_cast<uint64_t>(microseconds);
  const uint64_t hours = t / 3600000000u;
  const uint64_t minutes = (t / 60000000u) % 60u;
  const uint64_t seconds = (t / 1000000u) % 60u;
  const uint64_t micros = t % 1000000u;
  int written;
  if (hours != 0) {
    written = std::snprintf(out, 32, "%s%" PRIu64 ":%02" PRIu64 ":%02" PRIu64 ".%06" PRIu64,
                            minus ? "-" : "", hours, minutes, seconds, micros);
  } else {
    written = std::snprintf(out, 32, "%s%02" PRIu64 ":%02" PRIu64 ".%06" PRIu64, minus ? "-" : "",
                            minutes, seconds, micros);
  }
  return written < 0 ? 0 : written;
}

void FormatDigits(int64_t value, int32_t count, char* out) noexcept {
  uint64_t magnitude = value < 0 ? 0u - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  for (int32_t i = count - 1; i >= 0; --i) {
    out[i] = static_cast<char>('0' + magnitude % 10u);
    magnitude /= 10u;
  }
}

} // namespace detail
} // namespace VANT

// ---- Streamed string ---------------------------------------------------------------------------

namespace {

// Every number is formatted into a local buffer of this size, then appended.
constexpr std::size_t kNumberBuffer = 40;

} // namespace

VANTStreamedString::VANTStreamedString(VANT::DurationTextTag, int64_t microseconds) {
  const uint64_t magnitude = microseconds < 0 ? 0u - static_cast<uint64_t>(microseconds)
                                              : static_cast<uint64_t>(microseconds);
  const auto value = static_cast<double>(microseconds);
  if (magnitude > 1000000u) {
    *this << value / 1000000.0 << " s";
  } else if (magnitude > 1000u) {
    *this << value / 1000.0 << " ms";
  } else {
    *this << value << " us";
  }
}

VANTStreamedString& VANTStreamedString::AppendSigned(int64_t value, uint64_t pattern) {
  if ((m_flags & (Hexadecimal | Octal)) != 0) {
    return AppendUnsigned(pattern);
  }
  char text[kNumberBuffer];
  const int written = std::snprintf(text, sizeof text, "%" PRId64, value);
  Append(text, written);
  return *this;
}

VANTStreamedString& VANTStreamedString::AppendUnsigned(uint64_t value) {
  char text[kNumberBuffer];
  const char* format = (m_flags & Hexadecimal) != 0 ? "%" PRIx64
                       : (m_flags & Octal) != 0     ? "%" PRIo64
                                                    : "%" PRIu64;
  const int written = std::snprintf(text, sizeof text, format, value);
  Append(text, written);
  return *this;
}

VANTStreamedString& VANTStreamedString::operator<<(int16_t value) {
  return AppendSigned(value, static_cast<uint16_t>(value));
}
VANTStreamedString& VANTStreamedString::operator<<(uint16_t value) {
  return AppendUnsigned(value);
}
VANTStreamedString& VANTStreamedString::operator<<(int32_t value) {
  return AppendSigned(value, static_cast<uint32_t>(value));
}
VANTStreamedString& VANTStreamedString::operator<<(uint32_t value) {
  return AppendUnsigned(value);
}
VANTStreamedString& VANTStreamedString::operator<<(long value) {
  return AppendSigned(value, static_cast<unsigned long>(value));
}
VANTStreamedString& VANTStreamedString::operator<<(unsigned long value) {
  return AppendUnsigned(value);
}
VANTStreamedString& VANTStreamedString::operator<<(long long value) {
  return AppendSigned(value, static_cast<unsigned long long>(value));
}
VANTStreamedString& VANTStreamedString::operator<<(unsigned long long value) {
  return AppendUnsigned(value);
}
VANTStreamedString& VANTStreamedString::operator<<(float value) {
  return *this << static_cast<double>(value);
}
VANTStreamedString& VANTStreamedString::operator<<(double value) {
  char text[kNumberBuffer];
  const int written = std::snprintf(text, sizeof text, "%.10g", value);
  Append(text, written);
  return *this;
}
VANTStreamedString& VANTStreamedString::operator<<(const void* pointer) {
  char text[kNumberBuffer];
  const int written = std::snprintf(text, sizeof text, "%p", pointer);
  Append(text, written);
  return *this;
}
