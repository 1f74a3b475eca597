#pragma once
// Text encodings. Inside the runtime every text is UTF-8; the operating system takes UTF-16 for
// paths and names, and the ANSI code page (the locale's character set) for its own messages. This
// header gives the code-page converters, the process-wide registry that converts between those
// three, and the parser that turns a code-page name ("windows-1252", "CP_UTF8", ...) into its
// number.
//
// Code pages keep their Windows numbers: 0 is the ANSI code page (here the character set of the
// calling thread's locale), 1200 is UTF-16 little-endian (the runtime's wide encoding), 65001 is
// UTF-8. Conversions run on glibc's iconv, always through UTF-16:
//   - into UTF-16 is strict: an invalid or truncated sequence (for UTF-8: overlongs, encoded
//     surrogates, values above U+10FFFF, a sequence cut short) fails the whole conversion. The
//     code pages that take no conversion options (42, 50220 to 50222, 50225, 50227, 50229,
//     57002 to 57011 and UTF-7, 65000) are the exception: there an invalid byte becomes U+FFFD
//     and a sequence cut short at the end one U+FFFD, and the conversion goes on;
//   - out of UTF-16 never fails on content: a character the target cannot represent becomes '?',
//     and a lone surrogate becomes U+FFFD when the target is UTF-8 ('?' otherwise). No best-fit
//     replacement is ever made.
//
// Results are new heap buffers, released with VANTCodePageRegistry::Release; null means failure.
// Inputs are measured in bytes and normally include the terminating zero, so results carry it
// too (UTF-7 cannot carry a zero: a conversion from or to it converts the text without its
// terminator and writes the terminator after the result). Every result is followed by two spare
// zero bytes beyond its length, so even a conversion of an unterminated input can be read as a C
// string.

#include "util/vant_string.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace VANT {

inline constexpr uint32_t CodePageAnsi = 0;
inline constexpr uint32_t CodePageOem = 1;
inline constexpr uint32_t CodePageSymbol = 42;
inline constexpr uint32_t CodePageUtf16 = 1200;
inline constexpr uint32_t CodePageUtf16BigEndian = 1201;
inline constexpr uint32_t CodePageUtf7 = 65000;
inline constexpr uint32_t CodePageUtf8 = 65001;

/// The code page that a name designates, or -1 when the name is not recognised (or null). The
/// prefixes "CP", "CP_", "IBM0", "windows-" and "iso-8859-" are matched without regard to the case
/// of a to z and must be followed by decimal digits only ("CP" and "CP_" alone give 0); the other
/// names ("UTF-8", "CP_ACP", ...) are matched exactly. A number that does not fit in 32 bits is
/// not a code page.
[[nodiscard]] int64_t CodePageOfName(const char* name) noexcept;

/// The iconv name used for a code page, or an empty string when the code page has no iconv form
/// (42, the symbol code page). Code pages 0, 1 and 3 give the calling thread's locale character
/// set, read at each call.
[[nodiscard]] std::string IconvNameOfCodePage(uint32_t codePage);

/// True when the ANSI code page of the calling thread is UTF-8 (its locale's character set).
[[nodiscard]] bool SystemCodePageIsUtf8() noexcept;

} // namespace VANT

/// VANTCodePageConverter: converts texts from one code page to another. The conversion itself is
/// VANTCodePageRegistry::Convert.
///
/// Thread: any thread; conversions through one converter are serialised by its lock.
/// Ownership: holds its own iconv descriptors, opened on first use and closed by the destructor.
class VANTCodePageConverter {
public:
  VANTCodePageConverter(uint32_t from, uint32_t to) noexcept : m_from(from), m_to(to) {}
  ~VANTCodePageConverter();
  VANTCodePageConverter(const VANTCodePageConverter&) = delete;
  VANTCodePageConverter& operator=(const VANTCodePageConverter&) = delete;

  uint32_t From() const noexcept { return m_from; }
  uint32_t To() const noexcept { return m_to; }

private:
  friend class VANTCodePageRegistry;

  // One iconv descriptor and the names it was opened with: the ANSI code page follows the locale,
  // so a descriptor whose names no longer match is reopened.
  struct Leg {
    void* handle = nullptr; // iconv_t; null when not open
    std::string from;
    std::string to;
  };

  const uint32_t m_from;
  const uint32_t m_to;
  std::mutex m_lock;
  Leg m_toWide;   // m_from -> UTF-16LE, guarded by m_lock
  Leg m_fromWide; // UTF-16LE -> m_to, guarded by m_lock
};

/// VANTCodePageRegistry: the process-wide converters between UTF-8, UTF-16 and the ANSI code page.
///
/// Thread: any thread. Every conversion takes the converter's lock, then the registry's lock, for
///   its whole length; no caller may hold the registry's lock while converting.
/// Ownership: every non-null result is a new buffer that the caller releases with Release.
/// Lifetime: Instance() is created on first use and never destroyed, so threads still running at
///   process exit can convert safely.
class VANTCodePageRegistry {
public:
  static VANTCodePageRegistry& Instance();

  VANTCodePageRegistry();
  ~VANTCodePageRegistry() = default;
  VANTCodePageRegistry(const VANTCodePageRegistry&) = delete;
  VANTCodePageRegistry& operator=(const VANTCodePageRegistry&) = delete;

  /// UTF-8 C string to an ANSI C string; null for a null or invalid input.
  [[nodiscard]] char* ToAnsi(const char* utf8);
  /// ANSI C string to UTF-8; false (and `out` unchanged) when the text is null or invalid.
  [[nodiscard]] bool AnsiToString(const char* ansi, VANTStackedString<40>& out);
  /// UTF-8 C string to UTF-16; null for a null or invalid input. Every path, file and directory
  /// name passes through here before it reaches the operating system.
  [[nodiscard]] char16_t* ToWide(const char* utf8);
  /// UTF-16 string to UTF-8; false (and `out` unchanged) when the text is null or conversion
  /// fails.
  [[nodiscard]] bool WideToString(const char16_t* wide, VANTStackedString<40>& out);

  /// Converts `byteCount` bytes through `converter`; null when `bytes` is null or conversion fails.
  /// Equal source and target code pages copy the bytes exactly, whatever they hold. A source of
  /// UTF-16 is read as byteCount / 2 units. `resultBytes`, when given, receives the length of the
  /// result in bytes (without the two spare zero bytes).
  [[nodiscard]] void* Convert(VANTCodePageConverter& converter, const void* bytes, size_t byteCount,
                              size_t* resultBytes = nullptr);

  /// A new converter between two named code pages (see VANT::CodePageOfName), or null when either
  /// name is not recognised.
  [[nodiscard]] static std::unique_ptr<VANTCodePageConverter> MakeConverter(const char* source,
                                                                            const char* target);

  /// Releases a result of this registry; null is ignored.
  static void Release(char* text) noexcept;
  static void Release(char16_t* text) noexcept;
  static void Release(void* bytes) noexcept;

private:
  bool ToStackedString(VANTCodePageConverter& converter, const void* bytes, size_t byteCount,
                       VANTStackedString<40>& out);

  std::mutex m_lock;
  VANTCodePageConverter m_utf8ToAnsi{VANT::CodePageUtf8, VANT::CodePageAnsi};
  VANTCodePageConverter m_ansiToUtf8{VANT::CodePageAnsi, VANT::CodePageUtf8};
  VANTCodePageConverter m_utf8ToWide{VANT::CodePageUtf8, VANT::CodePageUtf16};
  VANTCodePageConverter m_wideToUtf8{VANT::CodePageUtf16, VANT::CodePageUtf8};
};
