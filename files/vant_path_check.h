#pragma once
// Checks shared by the files folder before a path reaches the system. Paths are UTF-8 inside the
// runtime and every one must convert to UTF-16, the system's form for names; a text that does
// not (not valid UTF-8) is refused before any call, so every platform refuses the same paths. The
// original bytes are what the kernel receives.

#include "util/vant_codepage.h"

namespace VANT {

/// True when text (null: false) converts to UTF-16.
inline bool IsConvertiblePath(const char* text) noexcept {
  if (text == nullptr) {
    return false;
  }
  try {
    char16_t* wide = VANTCodePageRegistry::Instance().ToWide(text);
    VANTCodePageRegistry::Release(wide);
    return wide != nullptr;
  } catch (...) {
    return false; // out of memory: the path cannot be converted either
  }
}

} // namespace VANT
