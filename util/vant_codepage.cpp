#include "util/vant_codepage.h"

#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iconv.h>
#include <langinfo.h>
#include <limits>
#include <new>

static_assert(std::endian::native == std::endian::little, "the wide encoding is UTF-16LE");

namespace VANT {
namespace {

constexpr const char* kWideName = "UTF-16LE";
const iconv_t kNoDescriptor = reinterpret_cast<iconv_t>(-1);

char Fold(char c) noexcept {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

bool StartsWithNoCase(const char* text, const char* prefix) noexcept {
  for (; *prefix; ++text, ++prefix) {
    if (Fold(*text) != Fold(*prefix)) {
      return false;
    }
  }
  return true;
}

// True when `text` is decimal digits only (at least one unless `allowEmpty`) whose value fits in
// 32 bits; the value goes to `value`.
bool ParseDigits(const char* text, bool allowEmpty, uint64_t& value) noexcept {
  value = 0;
  if (*text == '\0') {
    return allowEmpty;
  }
  for (; *text; ++text) {
    if (*text < '0' || *text > '9') {
      return false;
    }
    value = value * 10 + static_cast<uint64_t>(*text - '0');
    if (value > std::numeric_limits<uint32_t>::max()) {
      return false;
    }
  }
  return true;
}

struct NamedCodePage {
  const char* name;
  uint32_t codePage;
};

constexpr NamedCodePage kNames[] = {
    {"UTF-7", 65000},   {"UTF7", 65000},      {"CP_UTF7", 65000}, {"UTF-8", 65001},
    {"UTF8", 65001},    {"CP_UTF8", 65001},   {"UTF_16LE", 1200}, {"UTF16LE", 1200},
    {"UTF_16BE", 1201}, {"UTF16BE", 1201},    {"CP_ACP", 0},      {"CP_OEMCP", 1},
    {"CP_MACCP", 2},    {"CP_THREAD_ACP", 3}, {"CP_SYMBOL", 42},
};

// A growing byte buffer that always keeps two zero-able bytes spare past its end. It may start in
// caller-provided storage (temporaries on the stack) and moves to the heap when it outgrows it.
class ByteBuffer {
public:
  ByteBuffer() = default;
  ByteBuffer(char* storage, size_t size) : m_data(storage), m_capacity(size), m_inline(storage) {}
  ~ByteBuffer() {
    if (m_data != m_inline) {
      std::free(m_data);
    }
  }
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;

  char* Data() noexcept { return m_data; }
  size_t Size() const noexcept { return m_size; }
  char* End() noexcept { return m_data + m_size; }
  size_t Free() const noexcept { return m_capacity < m_size + 2 ? 0 : m_capacity - m_size - 2; }
  void Advance(size_t bytes) noexcept { m_size += bytes; }

  // Makes room for at least `bytes` more bytes (plus the spare two).
  void Reserve(size_t bytes) {
    size_t wanted = m_size + bytes + 2;
    if (m_capacity >= wanted) {
      return;
    }
    size_t capacity = m_capacity < 64 ? 64 : m_capacity;
    while (capacity < wanted) {
      if (capacity > std::numeric_limits<size_t>::max() / 2) {
        throw std::bad_alloc();
      }
      capacity *= 2;
    }
    char* grown;
    if (m_data == m_inline) {
      grown = static_cast<char*>(std::malloc(capacity));
      if (grown && m_size) {
        std::memcpy(grown, m_data, m_size);
      }
    } else {
      grown = static_cast<char*>(std::realloc(m_data, capacity));
    }
    if (!grown) {
      throw std::bad_alloc();
    }
    m_data = grown;
    m_capacity = capacity;
  }

  void Grow() { Reserve(m_capacity < 64 ? 64 : m_capacity); }

  // Hands the bytes over as a heap block followed by two zero bytes.
  void* Detach(size_t* length) {
    Reserve(0);
    if (m_data == m_inline) {
      char* heap = static_cast<char*>(std::malloc(m_size + 2));
      if (!heap) {
        throw std::bad_alloc();
      }
      if (m_size) {
        std::memcpy(heap, m_data, m_size);
      }
      m_data = heap;
    }
    m_data[m_size] = '\0';
    m_data[m_size + 1] = '\0';
    if (length) {
      *length = m_size;
    }
    void* result = m_data;
    m_data = m_inline;
    m_size = 0;
    m_capacity = 0;
    return result;
  }

private:
  char* m_data = nullptr;
  size_t m_size = 0;
  size_t m_capacity = 0;
  char* m_inline = nullptr;
};

// One iconv call that grows `out` while the output does not fit. `in` null flushes the
// descriptor's shift state. Returns 0, or the errno of the failure (EILSEQ, EINVAL, ...) with
// *in at the first byte not converted.
int Step(iconv_t cd, char** in, size_t* inLeft, ByteBuffer& out) {
  for (;;) {
    out.Reserve(16);
    char* cursor = out.End();
    size_t outLeft = out.Free();
    size_t result = iconv(cd, in, inLeft, &cursor, &outLeft);
    int error = errno;
    out.Advance(static_cast<size_t>(cursor - out.End()));
    if (result != static_cast<size_t>(-1)) {
      return 0;
    }
    if (error != E2BIG) {
      return error;
    }
    out.Grow();
  }
}

// Decoding into UTF-16. Strict: any invalid or truncated sequence fails the whole conversion.
// Lenient: an invalid byte becomes U+FFFD and decoding goes on after it; a sequence cut short at
// the end becomes one U+FFFD.
bool DecodeToWide(iconv_t cd, const char* bytes, size_t count, bool lenient, ByteBuffer& out) {
  iconv(cd, nullptr, nullptr, nullptr, nullptr); // back to the initial shift state
  out.Reserve(count * 2);
  char* in = const_cast<char*>(bytes);
  size_t left = count;
  while (left > 0) {
    const int error = Step(cd, &in, &left, out);
    if (error == 0) {
      break;
    }
    if (!lenient || (error != EILSEQ && error != EINVAL)) {
      return false;
    }
    constexpr char kReplacement[2] = {'\xFD', '\xFF'}; // U+FFFD, little-endian
    out.Reserve(sizeof kReplacement);
    std::memcpy(out.End(), kReplacement, sizeof kReplacement);
    out.Advance(sizeof kReplacement);
    if (error == EINVAL) {
      break; // the rest is the start of a sequence that never ends
    }
    ++in;
    --left;
  }
  return Step(cd, nullptr, nullptr, out) == 0;
}

// The code pages converted without the refusal of invalid input (and, out of UTF-16, without the
// best-fit and default-character options): invalid input is replaced, not refused.
bool ConvertsWithoutFlags(uint32_t codePage) noexcept {
  switch (codePage) {
  case CodePageSymbol:
  case 50220:
  case 50221:
  case 50222:
  case 50225:
  case 50227:
  case 50229:
  case CodePageUtf7:
    return true;
  default:
    return codePage >= 57002 && codePage <= 57011;
  }
}

bool IsWideCodePage(uint32_t codePage) noexcept {
  return codePage == CodePageUtf16 || codePage == CodePageUtf16BigEndian;
}

// The length of the input without its terminating zero unit (one byte, or one UTF-16 unit for a
// wide source); `count` itself when the input does not end with one.
size_t WithoutTerminator(const char* input, size_t count, bool wideSource) noexcept {
  if (wideSource) {
    const size_t units = count / 2;
    return units > 0 && input[units * 2 - 2] == 0 && input[units * 2 - 1] == 0 ? units * 2 - 2
                                                                               : count;
  }
  return count > 0 && input[count - 1] == 0 ? count - 1 : count;
}

bool IsHighSurrogate(char16_t unit) noexcept {
  return unit >= 0xD800 && unit <= 0xDBFF;
}
bool IsLowSurrogate(char16_t unit) noexcept {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}

// Encoding out of UTF-16: a character the target lacks becomes '?', a lone surrogate U+FFFD for
// a UTF-8 target ('?' otherwise); the replacement goes through the same descriptor, so stateful
// targets stay consistent.
bool EncodeFromWide(iconv_t cd, const char* units, size_t unitCount, bool utf8Target,
                    ByteBuffer& out) {
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  out.Reserve(unitCount * (utf8Target ? 3 : 2));
  char* in = const_cast<char*>(units);
  size_t left = unitCount * 2;
  while (left > 0) {
    int error = Step(cd, &in, &left, out);
    if (error == 0) {
      break;
    }
    if ((error != EILSEQ && error != EINVAL) || left < 2) {
      return false;
    }
    char16_t unit;
    std::memcpy(&unit, in, 2);
    size_t skip = 2;
    bool lone = false;
    if (IsHighSurrogate(unit)) {
      char16_t next = 0;
      if (left >= 4) {
        std::memcpy(&next, in + 2, 2);
      }
      if (IsLowSurrogate(next)) {
        skip = 4; // a whole character the target cannot hold
      } else {
        lone = true;
      }
    } else if (IsLowSurrogate(unit)) {
      lone = true;
    }
    in += skip;
    left -= skip;
    char16_t replacement = (lone && utf8Target) ? char16_t{0xFFFD} : char16_t{u'?'};
    char* replacementIn = reinterpret_cast<char*>(&replacement);
    size_t replacementLeft = 2;
    if (Step(cd, &replacementIn, &replacementLeft, out) != 0) {
      return false;
    }
  }
  return Step(cd, nullptr, nullptr, out) == 0;
}

// The descriptor of `leg` for the given names, reopened when the names changed; null on failure.
iconv_t OpenLeg(void*& handle, std::string& legFrom, std::string& legTo, const std::string& from,
                const std::string& to) {
  if (handle && legFrom == from && legTo == to) {
    return static_cast<iconv_t>(handle);
  }
  if (handle) {
    iconv_close(static_cast<iconv_t>(handle));
    handle = nullptr;
  }
  if (from.empty() || to.empty()) {
    return nullptr;
  }
  iconv_t cd = iconv_open(to.c_str(), from.c_str());
  if (cd == kNoDescriptor) {
    return nullptr;
  }
  handle = cd;
  legFrom = from;
  legTo = to;
  return cd;
}

} // namespace

int64_t CodePageOfName(const char* name) noexcept {
  if (!name) {
    return -1;
  }
  uint64_t number = 0;
  if (StartsWithNoCase(name, "CP")) {
    const char* rest = StartsWithNoCase(name, "CP_") ? name + 3 : name + 2;
    if (ParseDigits(rest, true, number)) {
      return static_cast<int64_t>(number);
    }
  }
  if (StartsWithNoCase(name, "IBM0") && ParseDigits(name + 4, false, number)) {
    return static_cast<int64_t>(number);
  }
  if (StartsWithNoCase(name, "windows-") && ParseDigits(name + 8, false, number)) {
    return static_cast<int64_t>(number);
  }
  if (StartsWithNoCase(name, "iso-8859-") && ParseDigits(name + 9, false, number) &&
      number <= std::numeric_limits<uint32_t>::max() - 28590) {
    return static_cast<int64_t>(28590 + number);
  }
  for (const NamedCodePage& entry : kNames) {
    if (std::strcmp(name, entry.name) == 0) {
      return entry.codePage;
    }
  }
  return -1;
}

std::string IconvNameOfCodePage(uint32_t codePage) {
  switch (codePage) {
  case 0:
  case 1:
  case 3:
    return nl_langinfo(CODESET);
  case 2:
  case 10000:
    return "MACINTOSH";
  case 37:
    return "IBM037";
  case 42:
    return std::string(); // the symbol code page has no iconv form
  case 1200:
    return kWideName;
  case 1201:
    return "UTF-16BE";
  case 20127:
    return "ASCII";
  case 20866:
    return "KOI8-R";
  case 21866:
    return "KOI8-U";
  case 50220:
  case 50221:
  case 50222:
    return "ISO-2022-JP";
  case 51932:
    return "EUC-JP";
  case 54936:
    return "GB18030";
  case 65000:
    return "UTF-7";
  case 65001:
    return "UTF-8";
  default:
    break;
  }
  if (codePage > 28590 && codePage <= 28616) {
    return "ISO-8859-" + std::to_string(codePage - 28590);
  }
  return "CP" + std::to_string(codePage);
}

bool SystemCodePageIsUtf8() noexcept {
  return std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
}

} // namespace VANT

VANTCodePageConverter::~VANTCodePageConverter() {
  for (void* handle : {m_toWide.handle, m_fromWide.handle}) {
    if (handle) {
      iconv_close(static_cast<iconv_t>(handle));
    }
  }
}

VANTCodePageRegistry& VANTCodePageRegistry::Instance() {
  // Never destroyed: a thread still converting at process exit must not meet a dead registry.
  static VANTCodePageRegistry* const instance = new VANTCodePageRegistry();
  return *instance;
}

VANTCodePageRegistry::VANTCodePageRegistry() = default;

void* VANTCodePageRegistry::Convert(VANTCodePageConverter& converter, const void* bytes,
                                    size_t byteCount, size_t* resultBytes) {
  if (!bytes || byteCount > std::numeric_limits<size_t>::max() / 8) {
    return nullptr;
  }
  const char* input = static_cast<const char*>(bytes);
  VANT::ByteBuffer result;
  if (converter.m_from == converter.m_to) {
    result.Reserve(byteCount);
    if (byteCount) {
      std::memcpy(result.Data(), input, byteCount);
    }
    result.Advance(byteCount);
    return result.Detach(resultBytes);
  }

  // UTF-7 has no place for the terminator: its decoder refuses a zero byte and its encoder would
  // hide one inside a base64 run. Such a conversion leaves the terminator out and writes it, in
  // the target's encoding, after the converted text.
  size_t terminator = 0;
  if (converter.m_from == VANT::CodePageUtf7 || converter.m_to == VANT::CodePageUtf7) {
    const size_t text =
        VANT::WithoutTerminator(input, byteCount, VANT::IsWideCodePage(converter.m_from));
    if (text != byteCount) {
      terminator = VANT::IsWideCodePage(converter.m_to) ? 2 : 1;
      byteCount = text;
    }
  }
  auto finish = [&]() {
    result.Reserve(terminator);
    std::memset(result.End(), 0, terminator);
    result.Advance(terminator);
    return result.Detach(resultBytes);
  };

  std::lock_guard<std::mutex> converterLock(converter.m_lock);
  std::lock_guard<std::mutex> registryLock(m_lock);
  const std::string wide = VANT::kWideName;
  const bool utf8Target = converter.m_to == VANT::CodePageUtf8;
  const bool lenient = VANT::ConvertsWithoutFlags(converter.m_from);
  VANTCodePageConverter::Leg& toWide = converter.m_toWide;
  VANTCodePageConverter::Leg& fromWide = converter.m_fromWide;

  if (converter.m_to == VANT::CodePageUtf16) {
    iconv_t cd = VANT::OpenLeg(toWide.handle, toWide.from, toWide.to,
                               VANT::IconvNameOfCodePage(converter.m_from), wide);
    if (!cd || !VANT::DecodeToWide(cd, input, byteCount, lenient, result)) {
      return nullptr;
    }
    return finish();
  }

  iconv_t out = VANT::OpenLeg(fromWide.handle, fromWide.from, fromWide.to, wide,
                              VANT::IconvNameOfCodePage(converter.m_to));
  if (!out) {
    return nullptr;
  }
  if (converter.m_from == VANT::CodePageUtf16) {
    if (!VANT::EncodeFromWide(out, input, byteCount / 2, utf8Target, result)) {
      return nullptr;
    }
    return finish();
  }

  iconv_t in = VANT::OpenLeg(toWide.handle, toWide.from, toWide.to,
                             VANT::IconvNameOfCodePage(converter.m_from), wide);
  if (!in) {
    return nullptr;
  }
  // Short texts (names, paths) pass through UTF-16 on the stack; longer ones move to the heap.
  alignas(char16_t) char storage[1024];
  VANT::ByteBuffer units(storage, sizeof storage);
  if (!VANT::DecodeToWide(in, input, byteCount, lenient, units) ||
      !VANT::EncodeFromWide(out, units.Data(), units.Size() / 2, utf8Target, result)) {
    return nullptr;
  }
  return finish();
}

char* VANTCodePageRegistry::ToAnsi(const char* utf8) {
  if (!utf8) {
    return nullptr;
  }
  return static_cast<char*>(Convert(m_utf8ToAnsi, utf8, std::strlen(utf8) + 1));
}

char16_t* VANTCodePageRegistry::ToWide(const char* utf8) {
  if (!utf8) {
    return nullptr;
  }
  return static_cast<char16_t*>(Convert(m_utf8ToWide, utf8, std::strlen(utf8) + 1));
}

bool VANTCodePageRegistry::AnsiToString(const char* ansi, VANTStackedString<40>& out) {
  if (!ansi) {
    return false;
  }
  return ToStackedString(m_ansiToUtf8, ansi, std::strlen(ansi) + 1, out);
}

bool VANTCodePageRegistry::WideToString(const char16_t* wide, VANTStackedString<40>& out) {
  if (!wide) {
    return false;
  }
  const size_t units = std::char_traits<char16_t>::length(wide) + 1;
  return ToStackedString(m_wideToUtf8, wide, units * sizeof(char16_t), out);
}

bool VANTCodePageRegistry::ToStackedString(VANTCodePageConverter& converter, const void* bytes,
                                           size_t byteCount, VANTStackedString<40>& out) {
  size_t length = 0;
  std::unique_ptr<char, void (*)(char*) noexcept> text(
      static_cast<char*>(Convert(converter, bytes, byteCount, &length)), &Release);
  if (!text) {
    return false;
  }
  // The result carries the converted terminator; the string keeps the characters before it.
  const size_t characters = length > 0 && text.get()[length - 1] == '\0' ? length - 1 : length;
  out = VANTStackedString<40>(text.get(), VANT::detail::CheckedLength(characters));
  return true;
}

std::unique_ptr<VANTCodePageConverter> VANTCodePageRegistry::MakeConverter(const char* source,
                                                                           const char* target) {
  int64_t from = VANT::CodePageOfName(source);
  int64_t to = VANT::CodePageOfName(target);
  if (from < 0 || to < 0) {
    return nullptr;
  }
  return std::make_unique<VANTCodePageConverter>(static_cast<uint32_t>(from),
                                                 static_cast<uint32_t>(to));
}

void VANTCodePageRegistry::Release(char* text) noexcept {
  std::free(text);
}
void VANTCodePageRegistry::Release(char16_t* text) noexcept {
  std::free(text);
}
void VANTCodePageRegistry::Release(void* bytes) noexcept {
  std::free(bytes);
}
