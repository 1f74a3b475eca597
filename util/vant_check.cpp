#include "util/vant_check.h"

#include "util/vant_exceptions.h"
#include "util/vant_report_hook.h"

#include <cstdio>

namespace VANT {

void AssertionFailed(const char* what, const char* condition, const char* file, int line) {
  char text[512];
  std::snprintf(text, sizeof(text), "Internal check failed: %s (%s, %s:%d)", what, condition, file,
                line);
  ReportThroughHook(text, kError);
  throw ErrorException;
}

} // namespace VANT
