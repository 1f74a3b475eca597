#include "util/vant_report_hook.h"

#include <atomic>
#include <cstdio>

namespace VANT {
namespace {

std::atomic<ReportHook> g_hook{nullptr};

const char* LevelName(int32_t level) noexcept {
  switch (level) {
  case kInformation:
    return "info";
  case kWarning:
    return "warning";
  default:
    return "error";
  }
}

} // namespace

void SetReportHook(ReportHook hook) noexcept {
  g_hook.store(hook, std::memory_order_release); // release: pairs with the acquire below
}

ReportHook GetReportHook() noexcept {
  return g_hook.load(std::memory_order_acquire);
}

void ReportThroughHook(const char* text, int32_t level, int32_t option, bool flag) noexcept {
  const char* safe = text ? text : "";
  if (ReportHook hook = GetReportHook()) {
    hook(safe, level, option, flag);
    return;
  }
  std::fprintf(stderr, "[%s] %s\n", LevelName(level), safe);
}

} // namespace VANT
