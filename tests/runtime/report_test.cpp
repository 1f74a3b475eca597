// Reports without a module: what the engine receives, the error raise, and the direct display's
// console formats.
#include "runtime/vant_report.h"
#include "support/host_fixture.h"
#include "util/vant_exceptions.h"
#include "util/vant_report_hook.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

class ExternalReports : public HostFixture {};

TEST_F(ExternalReports, ReachTheEngineUnchangedWithFlagFalse) {
  VANT::ExternalReport("plain", 1, 7);
  VANT::ExternalInformation("info text", 2);
  VANT::ExternalWarning("warning text");
  VANT::ExternalError("error text", 1);
  VANT::ExternalError(nullptr);
  const std::vector<HostReport> reports = TakeReports();
  ASSERT_EQ(reports.size(), 5u);
  EXPECT_EQ(reports[0].text, "plain");
  EXPECT_EQ(reports[0].level, 1);
  EXPECT_EQ(reports[0].option, 7);
  EXPECT_EQ(reports[1].text, "info text");
  EXPECT_EQ(reports[1].level, 0);
  EXPECT_EQ(reports[1].option, 2);
  EXPECT_EQ(reports[2].level, 1);
  EXPECT_EQ(reports[3].text, "error text");
  EXPECT_EQ(reports[3].level, 2);
  EXPECT_EQ(reports[3].option, 1);
  EXPECT_EQ(reports[4].text, "");
  for (const HostReport& report : reports) {
    EXPECT_FALSE(report.flag);
  }
}

TEST_F(ExternalReports, ErrorRaiseReportsWithFlagThenThrowsMinusFive) {
  int thrown = 0;
  try {
    VANT::RaiseError("cannot go on", 2);
  } catch (int code) {
    thrown = code;
  }
  EXPECT_EQ(thrown, -5);
  EXPECT_EQ(thrown, VANT::ErrorException);
  const std::vector<HostReport> reports = TakeReports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].text, "cannot go on");
  EXPECT_EQ(reports[0].level, 2);
  EXPECT_EQ(reports[0].option, 2);
  EXPECT_TRUE(reports[0].flag);
}

TEST_F(ExternalReports, LowerLayersReportThroughTheKernelOnceInitialised) {
  VANT::ReportThroughHook("from util", 1, 3, true);
  const std::vector<HostReport> reports = TakeReports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].text, "from util");
  EXPECT_EQ(reports[0].level, 1);
  EXPECT_EQ(reports[0].option, 3);
  EXPECT_TRUE(reports[0].flag);
}

// The direct display never shows a box here: with or without the silent variables it prints.
class DirectDisplay : public ::testing::TestWithParam<const char*> {
protected:
  void SetUp() override {
    unsetenv("SILENT");
    unsetenv("CORVEX_SILENT");
    if (GetParam()) {
      setenv(GetParam(), "", 1); // an empty value counts as set
    }
  }
  void TearDown() override {
    unsetenv("SILENT");
    unsetenv("CORVEX_SILENT");
  }
};

TEST_P(DirectDisplay, PrintsEachLevelWithItsFormatAndStream) {
  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  VANT::DirectDisplay("broken", 2, true);
  VANT::DirectDisplay("careful", 1, false);
  VANT::DirectDisplay("hello", 0, false);
  VANT::DirectDisplay("odd", 7, true);
  const std::string out = testing::internal::GetCapturedStdout();
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "Error: Corvex Engine: broken\r\n");
  EXPECT_EQ(out, "Warning: Corvex: careful\r\nCorvex: hello\r\nCorvex Engine: odd\r\n");
}

INSTANTIATE_TEST_SUITE_P(SilentVariables, DirectDisplay,
                         ::testing::Values(nullptr, "SILENT", "CORVEX_SILENT"),
                         [](const ::testing::TestParamInfo<const char*>& param) {
                           return std::string(param.param ? param.param : "none");
                         });

} // namespace
