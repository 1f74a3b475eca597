// The code-page name parser and the conversions of the converter registry.
//
// Input: a code-page name (the bytes up to the first NUL), then the bytes to convert. The name is
// parsed and used for converters in both directions between it and UTF-8; the bytes go through
// them, and, as a C string, through the registry's UTF-8 to UTF-16 conversion, which must accept
// exactly the well-formed UTF-8 texts and give them back unchanged; a well-formed text with its
// terminator also comes back unchanged through UTF-7.

#include "fuzz_support.h"
#include "util/vant_codepage.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

// Well-formed UTF-8: shortest forms only, no encoded surrogates, nothing above U+10FFFF.
bool WellFormedUtf8(const uint8_t* text, size_t size) {
  size_t i = 0;
  while (i < size) {
    const uint8_t lead = text[i];
    size_t extra;
    uint32_t value;
    if (lead < 0x80) {
      ++i;
      continue;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
      extra = 1;
      value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      extra = 2;
      value = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      extra = 3;
      value = lead & 0x07;
    } else {
      return false;
    }
    if (size - i <= extra) {
      return false;
    }
    for (size_t k = 1; k <= extra; ++k) {
      if ((text[i + k] & 0xC0) != 0x80) {
        return false;
      }
      value = (value << 6) | (text[i + k] & 0x3F);
    }
    const uint32_t smallest = extra == 1 ? 0x80 : extra == 2 ? 0x800 : 0x10000;
    if (value < smallest || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
      return false;
    }
    i += extra + 1;
  }
  return true;
}

// Converts through `converter` and checks the shape of the result; returns it (empty on failure).
std::vector<uint8_t> Convert(VANTCodePageConverter& converter, const uint8_t* bytes, size_t size,
                             bool& converted) {
  size_t length = 12345;
  void* result = VANTCodePageRegistry::Instance().Convert(converter, bytes, size, &length);
  converted = result != nullptr;
  if (result == nullptr) {
    return {};
  }
  const auto* out = static_cast<const uint8_t*>(result);
  FUZZ_CHECK(out[length] == 0 && out[length + 1] == 0); // the two spare zero bytes
  std::vector<uint8_t> copy(out, out + length);
  VANTCodePageRegistry::Release(result);
  return copy;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  const auto* nul = static_cast<const uint8_t*>(std::memchr(bytes, 0, size));
  const size_t nameLength = nul != nullptr ? static_cast<size_t>(nul - bytes) : size;
  const std::string name(reinterpret_cast<const char*>(bytes), nameLength);
  const uint8_t* text = nul != nullptr ? nul + 1 : bytes + size;
  const size_t textSize = static_cast<size_t>(bytes + size - text);
  // The text in a block of exactly its size, so a read past it is caught.
  const std::vector<uint8_t> block(text, text + textSize);
  const uint8_t* data = block.empty() ? text : block.data();

  const int64_t codePage = VANT::CodePageOfName(name.c_str());
  FUZZ_CHECK(codePage >= -1 && codePage <= 0xFFFFFFFFLL);
  if (codePage >= 0) {
    // Every number also has the plain prefix forms.
    FUZZ_CHECK(VANT::CodePageOfName(("CP" + std::to_string(codePage)).c_str()) == codePage);
    FUZZ_CHECK(VANT::CodePageOfName(("windows-" + std::to_string(codePage)).c_str()) == codePage);
  }

  std::unique_ptr<VANTCodePageConverter> toUtf8 =
      VANTCodePageRegistry::MakeConverter(name.c_str(), "UTF-8");
  std::unique_ptr<VANTCodePageConverter> fromUtf8 =
      VANTCodePageRegistry::MakeConverter("UTF-8", name.c_str());
  FUZZ_CHECK((toUtf8 != nullptr) == (codePage >= 0) && (fromUtf8 != nullptr) == (codePage >= 0));
  if (toUtf8 != nullptr) {
    bool converted = false;
    const std::vector<uint8_t> utf8 = Convert(*toUtf8, data, textSize, converted);
    if (codePage == VANT::CodePageUtf8) {
      // Same source and target: an exact copy, whatever the bytes are.
      FUZZ_CHECK(converted && utf8 == block);
    }
    if (codePage == VANT::CodePageUtf7 || (codePage >= 50220 && codePage <= 50222)) {
      FUZZ_CHECK(converted); // these replace invalid input rather than refuse it
    }
    if (converted && codePage != VANT::CodePageUtf16) {
      (void)Convert(*fromUtf8, utf8.data(), utf8.size(), converted);
    }
    (void)Convert(*fromUtf8, data, textSize, converted);
  }

  // The registry's own conversions on the text as a C string.
  const std::string cText(reinterpret_cast<const char*>(data),
                          strnlen(reinterpret_cast<const char*>(data), textSize));
  const bool wellFormed =
      WellFormedUtf8(reinterpret_cast<const uint8_t*>(cText.data()), cText.size());
  VANTCodePageRegistry& registry = VANTCodePageRegistry::Instance();
  char16_t* wide = registry.ToWide(cText.c_str());
  FUZZ_CHECK((wide != nullptr) == wellFormed);
  if (wide != nullptr) {
    VANTStackedString<40> back("unchanged");
    FUZZ_CHECK(registry.WideToString(wide, back));
    FUZZ_CHECK(std::string(back.Text(), static_cast<size_t>(back.Length())) == cText);
    VANTCodePageRegistry::Release(wide);

    // Through UTF-7 and back, the terminator included: UTF-7 holds no zero, so it is converted
    // after the text.
    static const std::unique_ptr<VANTCodePageConverter> toUtf7 =
        VANTCodePageRegistry::MakeConverter("UTF-8", "UTF-7");
    static const std::unique_ptr<VANTCodePageConverter> fromUtf7 =
        VANTCodePageRegistry::MakeConverter("UTF-7", "UTF-8");
    bool converted = false;
    const std::vector<uint8_t> utf7 = Convert(
        *toUtf7, reinterpret_cast<const uint8_t*>(cText.c_str()), cText.size() + 1, converted);
    FUZZ_CHECK(converted && !utf7.empty() && utf7.back() == 0);
    FUZZ_CHECK(std::memchr(utf7.data(), 0, utf7.size()) == &utf7.back());
    const std::vector<uint8_t> utf8 = Convert(*fromUtf7, utf7.data(), utf7.size(), converted);
    FUZZ_CHECK(converted && utf8.size() == cText.size() + 1 &&
               std::memcmp(utf8.data(), cText.c_str(), utf8.size()) == 0);
  }
  char* ansi = registry.ToAnsi(cText.c_str());
  if (ansi != nullptr) {
    VANTStackedString<40> back;
    (void)registry.AnsiToString(ansi, back);
    VANTCodePageRegistry::Release(ansi);
  }
  return 0;
}
