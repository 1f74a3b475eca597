#include "package/vant_dynamic_library.h"

#include "kernel/vant_kernel.h"
#include "package/vant_module_management.h"
#include "runtime/vant_report.h"

#include <dlfcn.h>
#include <utility>

VANTDynamicLibrary::VANTDynamicLibrary(const char* path) noexcept {
  if (!path) {
    m_error = "no path";
    return;
  }
  m_handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (!m_handle) {
    const char* error = dlerror();
    try {
      m_error = error ? error : "dlopen failed";
    } catch (...) {
    }
  }
}

VANTDynamicLibrary::~VANTDynamicLibrary() {
  if (m_handle) {
    dlclose(m_handle);
  }
}

VANTDynamicLibrary::VANTDynamicLibrary(VANTDynamicLibrary&& other) noexcept
    : m_handle(std::exchange(other.m_handle, nullptr)), m_error(std::move(other.m_error)) {}

VANTDynamicLibrary& VANTDynamicLibrary::operator=(VANTDynamicLibrary&& other) noexcept {
  if (this != &other) {
    if (m_handle) {
      dlclose(m_handle);
    }
    m_handle = std::exchange(other.m_handle, nullptr);
    m_error = std::move(other.m_error);
  }
  return *this;
}

void* VANTDynamicLibrary::Symbol(const char* name) const noexcept {
  if (!m_handle || !name) {
    return nullptr;
  }
  return dlsym(m_handle, name);
}

namespace VANT {

bool ForwardPckInitToLibrary(const VANTDynamicLibrary& library, int32_t* result) {
  if (result) {
    *result = 0x7FFFFFFF;
  }
  if (!library.IsLoaded()) {
    ExternalError("VANT::ForwardPckInitToLibrary: Dynamic library is not loaded", 0);
    return false;
  }
  using PckInit = int32_t (*)(VANTHostKernel*, int32_t);
  auto init = reinterpret_cast<PckInit>(library.Symbol("VANTPckInit"));
  if (!init) {
    ExternalError("VANT::ForwardPckInitToLibrary: Failed to load 'VANTPckInit' from the dynamic "
                  "library",
                  0);
    return false;
  }
  const int32_t answer = init(Kernel(), VANTModuleRegistry::kInterfaceVersion);
  if (result) {
    *result = answer;
  }
  if (answer == 0) {
    ExternalError("VANT::ForwardPckInitToLibrary: VANTPckInit call failed", 0);
    return false;
  }
  return true;
}

} // namespace VANT
