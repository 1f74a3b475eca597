#pragma once
// Where code below the component runtime (util, sync, files) sends its reports. These layers hold
// no engine pointer of their own: the runtime installs the engine's report operation when the
// package is initialised. Until then, and after SetReportHook(nullptr), texts go to stderr.
//
// Thread: any thread. The hook is read with acquire ordering; install it before the threads that
// report start, and never uninstall it while they run.

#include "kernel/vant_report_levels.h"

#include <cstdint>

namespace VANT {

/// text, level (kernel/vant_report_levels.h), option, flag: passed on to the engine as-is.
using ReportHook = void (*)(const char* text, int32_t level, int32_t option, bool flag) noexcept;

void SetReportHook(ReportHook hook) noexcept;
ReportHook GetReportHook() noexcept;

/// Sends a report through the installed hook, or prints "[level] text" on stderr without one.
void ReportThroughHook(const char* text, int32_t level, int32_t option = 0,
                       bool flag = false) noexcept;

} // namespace VANT
