#include "util/vant_regexp.h"

#include <pcre.h>

#include <atomic>
#include <cstring>
#include <limits>

namespace {

// The offset vector starts with room for the whole match and two groups (PCRE keeps a third of
// it as workspace) and grows by this many entries while a match has more groups than it holds.
constexpr int32_t kOffsetStep = 10;

} // namespace

struct VANTRegExp::Body {
  explicit Body(int32_t compileOptions) : options(compileOptions), offsets(kOffsetStep) {
    ClearOffsets(0);
  }
  ~Body() { FreePattern(); }
  Body(const Body&) = delete;
  Body& operator=(const Body&) = delete;

  void FreePattern() noexcept {
    if (study) {
      pcre_free_study(study);
      study = nullptr;
    }
    if (code) {
      (*pcre_free)(code);
      code = nullptr;
    }
  }

  // Marks the entries from `first` on as "no group there" until a match writes them.
  void ClearOffsets(int32_t first) noexcept {
    for (int32_t i = first; i < offsets.Size(); ++i) {
      offsets[i] = -1;
    }
  }

  // Entries of the offset vector that PCRE fills with offset pairs; it keeps the rest as workspace.
  int32_t PairEntries() const noexcept { return offsets.Size() / 3 * 2; }

  void Compile(const char* pattern) {
    FreePattern();
    captureCount = 0;
    errorText = nullptr;
    errorOffset = -1;
    substringCount = 0;
    if (!pattern) {
      return;
    }
    int offset = -1;
    // Never in UTF mode, whatever the options or the pattern ask for: names and type names are
    // plain bytes, and PCRE's UTF checks would reject some of them.
    code = pcre_compile(pattern, options | PCRE_NEVER_UTF, &errorText, &offset, nullptr);
    if (!code) {
      errorOffset = offset;
      return;
    }
    int groups = 0;
    if (pcre_fullinfo(code, nullptr, PCRE_INFO_CAPTURECOUNT, &groups) == 0) {
      captureCount = groups;
    }
  }

  // Grows the offset vector, 10 entries at a time, until it holds a pair for the whole match and
  // one for every group of the pattern (plus PCRE's workspace third). PCRE reports a vector too
  // small only when the groups that fit are all set: with "^(a)(x)?(b)$" and 10 entries it
  // returns 2 for "ab" and silently drops group 3, so the vector is sized before matching.
  void FitOffsets() {
    const int64_t needed = 3 * (int64_t{captureCount} + 1);
    while (offsets.Size() < needed) {
      GrowOffsets();
    }
  }

  void GrowOffsets() {
    const int32_t previous = offsets.Size();
    offsets.Resize(previous + kOffsetStep);
    ClearOffsets(previous);
  }

  std::atomic<int32_t> references{1};
  pcre* code = nullptr;
  pcre_extra* study = nullptr;
  int32_t options;
  const char* errorText = nullptr; // owned by PCRE (static messages)
  int32_t errorOffset = -1;
  VANTArray<int> offsets;
  VANTArray<VANTStackedString<40>> substrings;
  int32_t substringCount = 0; // substrings[0 .. count) belong to the last match
  int32_t captureCount = 0;   // groups in the compiled pattern
};

VANTRegExp::Body* VANTRegExp::NewBody(int32_t options) {
  return new Body(options);
}

void VANTRegExp::Release(Body* body) noexcept {
  // acq_rel: the last owner sees every change the other owners made before letting go.
  if (body->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    delete body;
  }
}

VANTRegExp::VANTRegExp() : m_body(NewBody(0)) {}

VANTRegExp::VANTRegExp(const char* pattern, int32_t options) : m_body(NewBody(options)) {
  try {
    m_body->Compile(pattern);
  } catch (...) {
    Release(m_body);
    throw;
  }
}

VANTRegExp::VANTRegExp(const VANTRegExp& other) noexcept : m_body(other.m_body) {
  // relaxed: taking a share needs no ordering, the caller already holds one.
  m_body->references.fetch_add(1, std::memory_order_relaxed);
}

VANTRegExp& VANTRegExp::operator=(const VANTRegExp& other) noexcept {
  // Share first, release second: assigning a handle to itself (or to a handle on the same body)
  // must not free the body on the way.
  other.m_body->references.fetch_add(1, std::memory_order_relaxed);
  Release(m_body);
  m_body = other.m_body;
  return *this;
}

VANTRegExp::~VANTRegExp() {
  Release(m_body);
}

void VANTRegExp::SetPattern(const char* pattern) {
  VANTRegExp fresh(pattern, 0);
  *this = fresh;
}

bool VANTRegExp::Recompile(const char* pattern) {
  m_body->Compile(pattern);
  return m_body->code != nullptr;
}

void VANTRegExp::SetOptions(int32_t options) noexcept {
  m_body->options = options;
}

bool VANTRegExp::Study() {
  if (!m_body->code) {
    return false;
  }
  if (m_body->study) {
    pcre_free_study(m_body->study);
    m_body->study = nullptr;
  }
  const char* error = nullptr;
  m_body->study = pcre_study(m_body->code, 0, &error);
  if (error) {
    m_body->errorText = error;
    return false;
  }
  return true; // a null result only means there was nothing worth keeping
}

void VANTRegExp::Reset() {
  VANTRegExp fresh;
  *this = fresh;
}

bool VANTRegExp::IsValid() const noexcept {
  return m_body->code != nullptr;
}
const char* VANTRegExp::ErrorText() const noexcept {
  return m_body->errorText;
}
int32_t VANTRegExp::ErrorOffset() const noexcept {
  return m_body->errorOffset;
}
int32_t VANTRegExp::Options() const noexcept {
  return m_body->options;
}

bool VANTRegExp::Match(const char* subject, int32_t length) {
  Body& body = *m_body;
  if (!body.code || !subject || length < 0) {
    return false;
  }
  if (length == 0) {
    const size_t measured = std::strlen(subject);
    if (measured > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
      return false;
    }
    length = static_cast<int32_t>(measured);
  }

  // The subject may be one of this body's own substrings (matching a capture of the last match):
  // they are rewritten below while the subject is still read, so work on a copy then.
  VANTStackedString<40> ownCopy;
  for (int32_t i = 0; i < body.substringCount; ++i) {
    const VANTStackedString<40>& held = body.substrings[i];
    if (subject >= held.Text() && subject < held.Text() + held.Capacity()) {
      ownCopy = VANTStackedString<40>(subject, length);
      subject = ownCopy.Text();
      break;
    }
  }

  body.FitOffsets();
  int result;
  for (;;) {
    result = pcre_exec(body.code, body.study, subject, length, 0, 0, &body.offsets[0],
                       body.offsets.Size());
    if (result != 0) {
      break;
    }
    // 0: the vector had no room for every group that took part. Grow and match again.
    body.GrowOffsets();
  }
  if (result < 0) {
    return false; // no match, or a matching error
  }

  body.substrings.At(result - 1); // room for `result` substrings
  for (int32_t i = 0; i < result; ++i) {
    const int start = body.offsets[2 * i];
    const int end = body.offsets[2 * i + 1];
    if (start < 0) {
      body.substrings[i] = VANTStackedString<40>(); // the group did not take part
    } else {
      body.substrings[i] = VANTStackedString<40>(subject + start, end - start);
    }
  }
  body.substringCount = result;
  return true;
}

int32_t VANTRegExp::SubstringCount() const noexcept {
  return m_body->substringCount;
}

const VANTStackedString<40>& VANTRegExp::Substring(int32_t i) const noexcept {
  static const VANTStackedString<40> empty;
  if (i < 0 || i >= m_body->substringCount) {
    return empty;
  }
  return m_body->substrings[i];
}

int32_t VANTRegExp::StartOffset(int32_t i) const noexcept {
  if (i < 0 || 2 * i >= m_body->PairEntries()) {
    return -1;
  }
  return m_body->offsets[2 * i];
}

int32_t VANTRegExp::EndOffset(int32_t i) const noexcept {
  if (i < 0 || 2 * i >= m_body->PairEntries()) {
    return -1;
  }
  return m_body->offsets[2 * i + 1];
}

int32_t VANTRegExp::References() const noexcept {
  return m_body->references.load(std::memory_order_relaxed);
}

int32_t VANTRegExp::OffsetVectorSize() const noexcept {
  return m_body->offsets.Size();
}
