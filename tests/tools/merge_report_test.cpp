#include "tools/merge/vant_merge_report.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace {

TEST(MergeReportTest, CountsGetThousandsSeparators) {
  EXPECT_EQ(VANT::FormatCount(0), "0");
  EXPECT_EQ(VANT::FormatCount(999), "999");
  EXPECT_EQ(VANT::FormatCount(1000), "1,000");
  EXPECT_EQ(VANT::FormatCount(123456789), "123,456,789");
  EXPECT_EQ(VANT::FormatCount(std::numeric_limits<uint64_t>::max()), "18,446,744,073,709,551,615");
}

TEST(MergeReportTest, BytesChangeUnitWithoutShowingAThousand) {
  EXPECT_EQ(VANT::FormatBytes(999), "999 B");
  EXPECT_EQ(VANT::FormatBytes(1000), "1.00 kB");
  EXPECT_EQ(VANT::FormatBytes(15300), "15.3 kB");
  // Tricky: 999,960 would round to "1000.0 kB"; it must move to the next unit.
  EXPECT_EQ(VANT::FormatBytes(999960), "1.00 MB");
  EXPECT_EQ(VANT::FormatBytes(812300000), "812.3 MB");
  EXPECT_EQ(VANT::FormatBytes(std::numeric_limits<uint64_t>::max()), "18.4 EB");
}

TEST(MergeReportTest, DurationsFollowTheComponentsThresholds) {
  EXPECT_EQ(VANT::FormatDuration(-1000), "-1000 us");
  EXPECT_EQ(VANT::FormatDuration(-1001), "-1.001 ms");
  EXPECT_EQ(VANT::FormatDuration(-2500), "-2.5 ms");
  EXPECT_EQ(VANT::FormatDuration(-1000000), "-1000 ms");
  EXPECT_EQ(VANT::FormatDuration(-1000001), "-1.000001 s");
  EXPECT_EQ(VANT::FormatDuration(std::numeric_limits<int64_t>::min()), "-9.223372037e+12 s");
}

TEST(MergeReportTest, WrongOrderReportReadsBackWhatTheComponentWrites) {
  for (const int64_t jump :
       {int64_t{-40}, int64_t{-1000}, int64_t{-2500}, int64_t{-1000001}, int64_t{-3000000000}}) {
    const std::string text = "SortingMultiplexer mux: Wrong order count: 17 (maximum time-jump: " +
                             VANT::FormatDuration(jump) + "). Please, adjust buffer size!";
    int64_t count = 0;
    int64_t parsed = 0;
    ASSERT_TRUE(VANT::ParseWrongOrderReport(text, count, parsed)) << text;
    EXPECT_EQ(count, 17);
    EXPECT_EQ(parsed, jump);
  }
}

TEST(MergeReportTest, OtherReportsAreNotTakenForTheWrongOrderSummary) {
  int64_t count = 5;
  int64_t jump = -5;
  for (const char* text :
       {"Flush Delay reached", "The signal with the timestamp -2.5 ms has wrong order!",
        "Wrong order count: 3 (maximum time-jump: -2.5 h). Please, adjust buffer size!",
        "Wrong order count: x (maximum time-jump: -2.5 ms). Please, adjust buffer size!",
        "Wrong order count: 3 (maximum time-jump: -2.5 ms).",
        "Wrong order count: 3 (maximum time-jump: ms). Please, adjust buffer size!"}) {
    EXPECT_FALSE(VANT::ParseWrongOrderReport(text, count, jump)) << text;
  }
  EXPECT_EQ(count, 5) << "a refused text leaves the values alone";
  EXPECT_EQ(jump, -5);
}

TEST(MergeReportTest, ProgressLineShowsRateAndACappedPercentage) {
  VANT::MergeProgress progress;
  progress.packets = 1500000;
  progress.bytes = 900000000;
  progress.seconds = 2;
  progress.inputRead = 499;
  progress.inputTotal = 1000;
  EXPECT_EQ(VANT::FormatProgressLine(progress),
            "1,500,000 packets, 900.0 MB, 750,000 packets/s, 49% of the input read");
  progress.inputRead = 1200; // a file that grew while it was read
  EXPECT_NE(VANT::FormatProgressLine(progress).find(" 100% of"), std::string::npos);
  progress.seconds = 0;
  progress.inputTotal = 0;
  EXPECT_EQ(VANT::FormatProgressLine(progress), "1,500,000 packets, 900.0 MB, - packets/s");
}

TEST(MergeReportTest, SummaryListsEveryStreamAndTheComponentsFigures) {
  VANT::MergeSummary summary;
  summary.inputs = {{"a.pcap", 3, 300}, {"a_much_longer_name.pcapng", 1000, 64000}};
  summary.output = {"out.pcap", 1003, 64300};
  summary.wrongOrderCount = 2;
  summary.maxTimeJump = -2500;
  summary.overruns = 1;
  summary.seconds = 0.5;
  const std::string text = VANT::FormatSummary(summary);
  EXPECT_EQ(text, "  input                            packets             bytes\n"
                  "  a.pcap                                 3               300\n"
                  "  a_much_longer_name.pcapng          1,000            64,000\n"
                  "  out.pcap                           1,003            64,300\n"
                  "  wrong order: 2 packets, largest time jump: -2.5 ms\n"
                  "  overruns: 1\n"
                  "  wall time: 0.500 s, 2,006 packets/s, 128.6 kB/s\n");
  summary.wrongOrderCount = 0;
  summary.maxTimeJump = 0;
  EXPECT_NE(VANT::FormatSummary(summary).find("wrong order: 0 packets, largest time jump: none"),
            std::string::npos);
}

} // namespace
