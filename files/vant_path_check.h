#pragma once
// Checks shared by the files folder before a path reaches the system. Paths are UTF-8 inside the
// runtime; a text that is not valid UTF-8 could not be converted for the system and is refused
// before any call, so every platform refuses the same paths.

#include <cstddef>
#include <cstdint>

namespace VANT {

/// True when text (may be null: false) is well-formed UTF-8: no overlong forms, no encoded
/// surrogates, nothing above U+10FFFF, no truncated sequence.
inline bool IsConvertiblePath(const char* text) noexcept {
  if (text == nullptr) {
    return false;
  }
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  while (*p != 0) {
    const unsigned lead = *p;
    if (lead < 0x80) {
      ++p;
      continue;
    }
    int extra = 0;
    uint32_t code = 0;
    uint32_t least = 0;
    if ((lead & 0xE0) == 0xC0) {
      extra = 1;
      code = lead & 0x1F;
      least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2;
      code = lead & 0x0F;
      least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3;
      code = lead & 0x07;
      least = 0x10000;
    } else {
      return false; // a continuation byte without a lead, or 0xF8..0xFF
    }
    ++p;
    for (int i = 0; i < extra; ++i, ++p) {
      if ((*p & 0xC0) != 0x80) {
        return false; // also catches the terminator inside a sequence
      }
      code = (code << 6) | (*p & 0x3F);
    }
    if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
      return false;
    }
  }
  return true;
}

} // namespace VANT
