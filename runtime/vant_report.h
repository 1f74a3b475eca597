#pragma once
// Reports that do not come from a module: external reports, the error raise and the direct
// display. Reports go to the engine through host kernel slot 96; before the package has a kernel
// they are printed on stderr as "[info|warning|error] text". None of them fails towards its
// caller, except RaiseError, which never returns.
//
// Thread: any thread.

#include "kernel/vant_report_levels.h"

#include <cstdint>

namespace VANT {

/// Sends text unchanged to the engine with level, option and flag false.
void ExternalReport(const char* text, int32_t level, int32_t option = 0) noexcept;
void ExternalInformation(const char* text, int32_t option = 0) noexcept;
void ExternalWarning(const char* text, int32_t option = 0) noexcept;
void ExternalError(const char* text, int32_t option = 0) noexcept;

/// Reports text at level 2 with option and flag true, then throws the integer ErrorException.
[[noreturn]] void RaiseError(const char* text, int32_t option = 0);

/// Shows text without the engine, on the console: level 2 on stderr as "Error: title: text",
/// level 1 on stdout as "Warning: title: text", other levels on stdout as "title: text", each
/// line ended by "\r\n". The title is "Corvex Engine" when engineTitle is set, else "Corvex".
void DirectDisplay(const char* text, int32_t level, bool engineTitle) noexcept;

/// The same console formats under a caller's title (load-time messages of the registry).
void DisplayWithTitle(const char* title, const char* text, int32_t level) noexcept;

/// Makes util, sync and files report through the stored host kernel (slot 96).
void InstallKernelReportHook() noexcept;

} // namespace VANT
