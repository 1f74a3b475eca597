// The time-text parser on arbitrary texts, and the round trip from a value through its time text.
//
// Input: the text to parse (copied into a block of exactly its length plus the terminator). The
// parser's result is compared with a plain model in 128-bit arithmetic; when the input is at
// least 8 bytes long, its first 8 bytes are also taken as a count of microseconds, written as a
// time text and parsed back.

#include "fuzz_support.h"
#include "util/vant_string.h"
#include "util/vant_time_text.h"

#include <climits>
#include <cstring>
#include <memory>

namespace {

bool Digit(char c) {
  return c >= '0' && c <= '9';
}

struct Parsed {
  bool ok = false;
  int64_t value = 0;
  size_t used = 0;
};

// The grammar of the parser written out plainly; values beyond 64 bits are refused.
Parsed Model(const char* text) {
  Parsed result;
  if (text == nullptr) {
    return result;
  }
  const __int128 kLimit = INT64_MAX;
  size_t p = 0;
  while (text[p] == ' ' || (text[p] >= '\t' && text[p] <= '\r')) {
    ++p;
  }
  const bool negative = text[p] == '-';
  if (text[p] == '-' || text[p] == '+') {
    ++p;
  }
  if (!Digit(text[p]) && text[p] != ':' && text[p] != '.') {
    return result;
  }
  __int128 magnitude = 0;
  for (; Digit(text[p]); ++p) {
    magnitude = magnitude * 10 + (text[p] - '0');
    if (magnitude > kLimit) {
      return result;
    }
  }
  for (int fields = 1; fields < 3 && text[p] == ':'; ++fields) { // an empty field is 0
    ++p;
    __int128 field = 0;
    for (; Digit(text[p]); ++p) {
      field = field * 10 + (text[p] - '0');
      if (field > kLimit) {
        return result;
      }
    }
    magnitude = magnitude * 60 + field;
    if (magnitude > kLimit) {
      return result;
    }
  }
  magnitude *= 1000000;
  if (magnitude > kLimit) {
    return result;
  }
  if (text[p] == '.') {
    ++p;
    __int128 fraction = 0;
    int digits = 0;
    for (; digits < 6 && Digit(text[p]); ++digits, ++p) {
      fraction = fraction * 10 + (text[p] - '0');
    }
    for (; digits < 6; ++digits) {
      fraction *= 10;
    }
    magnitude += fraction;
    if (magnitude > kLimit) {
      return result;
    }
  }
  result.ok = true;
  result.value = static_cast<int64_t>(negative ? -magnitude : magnitude);
  result.used = p;
  return result;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  std::unique_ptr<char[]> text(new char[size + 1]);
  std::memcpy(text.get(), bytes, size);
  text[size] = '\0';
  const size_t length = std::strlen(text.get());

  int64_t value = 12345;
  const char* end = nullptr;
  const bool ok = VANT::TryParseTimeText(text.get(), value, &end);
  FUZZ_CHECK(end != nullptr && end >= text.get() && end <= text.get() + length);
  const Parsed model = Model(text.get());
  FUZZ_CHECK(ok == model.ok);
  if (ok) {
    FUZZ_CHECK(value == model.value);
    FUZZ_CHECK(static_cast<size_t>(end - text.get()) == model.used);
  } else {
    FUZZ_CHECK(end == text.get());
    FUZZ_CHECK(value == 12345); // a refusal leaves the output alone
  }
  const char* end2 = nullptr;
  FUZZ_CHECK(VANT::ParseTimeText(text.get(), &end2) == (ok ? value : -1));
  FUZZ_CHECK(end2 == end);

  if (size >= sizeof(int64_t)) {
    int64_t microseconds;
    std::memcpy(&microseconds, bytes, sizeof(microseconds));
    const VANTStackedString<40> written(VANT::TimeText, microseconds);
    int64_t back = 0;
    const char* stop = nullptr;
    if (microseconds == INT64_MIN) {
      // Its magnitude is one past the largest positive value: refused, never wrapped.
      FUZZ_CHECK(!VANT::TryParseTimeText(written.Text(), back, &stop));
    } else {
      FUZZ_CHECK(VANT::TryParseTimeText(written.Text(), back, &stop));
      FUZZ_CHECK(back == microseconds);
      FUZZ_CHECK(*stop == '\0');
    }
  }
  return 0;
}
