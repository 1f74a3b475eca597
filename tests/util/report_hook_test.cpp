#include "util/vant_report_hook.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string g_text;
int32_t g_level = -1;
bool g_flag = false;

void Capture(const char* text, int32_t level, int32_t, bool flag) noexcept {
  g_text = text;
  g_level = level;
  g_flag = flag;
}

TEST(ReportHook, InstalledHookReceivesTheReportAndNullTextIsEmpty) {
  VANT::SetReportHook(&Capture);
  VANT::ReportThroughHook("disk full", 2, 0, true);
  EXPECT_EQ(g_text, "disk full");
  EXPECT_EQ(g_level, 2);
  EXPECT_TRUE(g_flag);
  VANT::ReportThroughHook(nullptr, 0);
  EXPECT_EQ(g_text, "");
  VANT::SetReportHook(nullptr);
}

TEST(ReportHook, WithoutHookTheTextGoesToStderr) {
  VANT::SetReportHook(nullptr);
  testing::internal::CaptureStderr();
  VANT::ReportThroughHook("no engine yet", 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "[warning] no engine yet\n");
}

} // namespace
