#include "runtime/vant_report.h"

#include "kernel/vant_kernel.h"
#include "util/vant_exceptions.h"
#include "util/vant_report_hook.h"

#include <cstdio>

namespace VANT {
namespace {

// Slot 96, or stderr while the package has no kernel. The engine's own failures stay on its side.
void SendToEngine(const char* text, int32_t level, int32_t option, bool flag) noexcept {
  const char* safe = text ? text : "";
  if (VANTHostKernel* kernel = Kernel()) {
    try {
      kernel->Report(safe, level, option, flag);
    } catch (...) {
    }
    return;
  }
  const char* name = level == kInformation ? "info" : level == kWarning ? "warning" : "error";
  std::fprintf(stderr, "[%s] %s\n", name, safe);
}

void KernelHook(const char* text, int32_t level, int32_t option, bool flag) noexcept {
  SendToEngine(text, level, option, flag);
}

} // namespace

void ExternalReport(const char* text, int32_t level, int32_t option) noexcept {
  SendToEngine(text, level, option, false);
}

void ExternalInformation(const char* text, int32_t option) noexcept {
  ExternalReport(text, kInformation, option);
}

void ExternalWarning(const char* text, int32_t option) noexcept {
  ExternalReport(text, kWarning, option);
}

void ExternalError(const char* text, int32_t option) noexcept {
  ExternalReport(text, kError, option);
}

void RaiseError(const char* text, int32_t option) {
  SendToEngine(text, kError, option, true);
  throw ErrorException;
}

void DisplayWithTitle(const char* title, const char* text, int32_t level) noexcept {
  const char* safeTitle = title ? title : "";
  const char* safeText = text ? text : "";
  // No message box on this platform: the console formats are used whether or not SILENT or
  // CORVEX_SILENT is set.
  if (level == kError) {
    std::fprintf(stderr, "Error: %s: %s\r\n", safeTitle, safeText);
    std::fflush(stderr);
  } else if (level == kWarning) {
    std::fprintf(stdout, "Warning: %s: %s\r\n", safeTitle, safeText);
    std::fflush(stdout);
  } else {
    std::fprintf(stdout, "%s: %s\r\n", safeTitle, safeText);
    std::fflush(stdout);
  }
}

void DirectDisplay(const char* text, int32_t level, bool engineTitle) noexcept {
  DisplayWithTitle(engineTitle ? "Corvex Engine" : "Corvex", text, level);
}

void InstallKernelReportHook() noexcept {
  SetReportHook(&KernelHook);
}

} // namespace VANT
