#include "util/vant_time_text.h"

namespace VANT {
namespace {

bool IsDigit(char c) noexcept {
  return c >= '0' && c <= '9';
}

// Reads the digits at p (none gives 0) into value; false on overflow (p is then left anywhere).
bool ReadUnsigned(const char*& p, int64_t& value) noexcept {
  value = 0;
  while (IsDigit(*p)) {
    if (__builtin_mul_overflow(value, 10, &value) ||
        __builtin_add_overflow(value, *p - '0', &value)) {
      return false;
    }
    ++p;
  }
  return true;
}

// magnitude = magnitude * 60 + the field after ":" (no digits count as 0); false on overflow.
bool ReadSexagesimal(const char*& p, int64_t& magnitude) noexcept {
  ++p; // the ':'
  int64_t field = 0;
  return ReadUnsigned(p, field) && !__builtin_mul_overflow(magnitude, 60, &magnitude) &&
         !__builtin_add_overflow(magnitude, field, &magnitude);
}

} // namespace

bool TryParseTimeText(const char* text, int64_t& microseconds, const char** end) noexcept {
  auto refuse = [&]() {
    if (end != nullptr) {
      *end = text;
    }
    return false;
  };
  if (text == nullptr) {
    return refuse();
  }
  const char* p = text;
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\v' || *p == '\f') {
    ++p;
  }
  const bool negative = *p == '-';
  if (*p == '-' || *p == '+') {
    ++p;
  }
  if (!IsDigit(*p) && *p != ':' && *p != '.') {
    return refuse(); // nothing that makes a time
  }
  int64_t magnitude = 0;
  if (!ReadUnsigned(p, magnitude)) {
    return refuse();
  }
  for (int fields = 1; fields < 3 && *p == ':'; ++fields) {
    if (!ReadSexagesimal(p, magnitude)) {
      return refuse();
    }
  }
  if (__builtin_mul_overflow(magnitude, 1000000, &magnitude)) {
    return refuse();
  }
  if (*p == '.') {
    ++p;
    int64_t fraction = 0;
    int digits = 0;
    for (; digits < 6 && IsDigit(*p); ++digits, ++p) {
      fraction = fraction * 10 + (*p - '0');
    }
    for (; digits < 6; ++digits) {
      fraction *= 10;
    }
    if (__builtin_add_overflow(magnitude, fraction, &magnitude)) {
      return refuse();
    }
  }
  microseconds = negative ? -magnitude : magnitude;
  if (end != nullptr) {
    *end = p;
  }
  return true;
}

int64_t ParseTimeText(const char* text, const char** end) noexcept {
  int64_t microseconds = -1;
  return TryParseTimeText(text, microseconds, end) ? microseconds : -1;
}

} // namespace VANT
