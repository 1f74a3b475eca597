#pragma once
// A shared library loaded by the package itself (for example another package that a component
// drives), and the forwarding of this package's engine kernel to it.
//
// Thread: a VANTDynamicLibrary is used by one thread at a time; Symbol() may be called from any
// thread once loaded.

#include <cstdint>
#include <string>

class VANTDynamicLibrary {
public:
  /// Loads path with immediate binding and local symbols; IsLoaded() tells whether it worked.
  explicit VANTDynamicLibrary(const char* path) noexcept;
  ~VANTDynamicLibrary();
  VANTDynamicLibrary(const VANTDynamicLibrary&) = delete;
  VANTDynamicLibrary& operator=(const VANTDynamicLibrary&) = delete;
  VANTDynamicLibrary(VANTDynamicLibrary&& other) noexcept;
  VANTDynamicLibrary& operator=(VANTDynamicLibrary&& other) noexcept;

  bool IsLoaded() const noexcept { return m_handle != nullptr; }
  /// The address of an exported symbol, or null (also when the library is not loaded).
  void* Symbol(const char* name) const noexcept;
  /// The loader's message of the failed load, empty when loaded.
  const std::string& LoadError() const noexcept { return m_error; }

private:
  void* m_handle = nullptr;
  std::string m_error;
};

namespace VANT {

/// Calls the library's VANTPckInit with this package's kernel and the interface version word.
/// result, when given, receives 0x7FFFFFFF first, then the call's answer. False (with an error
/// report) when the library is not loaded, has no VANTPckInit, or refuses.
bool ForwardPckInitToLibrary(const VANTDynamicLibrary& library, int32_t* result = nullptr);

} // namespace VANT
