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
  // Exact beyond ten significant digits: 12,345,678,901 us is not 12345.6789 s.
  EXPECT_EQ(VANT::FormatDuration(12345678901), "12345.678901 s");
  EXPECT_EQ(VANT::FormatDuration(-12345000001), "-12345.000001 s");
  EXPECT_EQ(VANT::FormatDuration(std::numeric_limits<int64_t>::min()), "-9223372036854.775808 s");
}

TEST(MergeReportTest, TimesAreUtcWithMicrosecondsAlsoBeyond2038AndBefore1970) {
  EXPECT_EQ(VANT::FormatTime(1796747393055516), "2026-12-08 16:29:53.055516");
  EXPECT_EQ(VANT::FormatTime(int64_t{2147483648} * 1000000), "2038-01-19 03:14:08.000000");
  EXPECT_EQ(VANT::FormatTime(int64_t{4294967295} * 1000000 + 999999), "2106-02-07 06:28:15.999999");
  EXPECT_EQ(VANT::FormatTime(-1), "1969-12-31 23:59:59.999999");
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

TEST(MergeReportTest, SummaryKeepsColumnsAlignedAndSaysWhatTheOrderIs) {
  VANT::MergeSummary summary;
  summary.inputs = {{"a.pcap", 1, 300}, {"a_much_longer_name_than_any_column.pcapng", 1000, 64000}};
  summary.inputs[1].reordered = 1;
  summary.output = {"out.pcap", 1001, 64300};
  summary.order.first = 1796747393055516;
  summary.order.last = 1796747407765948;
  summary.bufferPacketCount = 8192;
  summary.overruns = 1;
  summary.seconds = 0.5;
  EXPECT_EQ(VANT::FormatSummary(summary),
            "        packets             bytes  stream\n"
            "              1               300  a.pcap\n"
            "          1,000            64,000  a_much_longer_name_than_any_column.pcapng\n"
            "          1,001            64,300  output: out.pcap\n"
            "  first packet: 2026-12-08 16:29:53.055516 UTC, last packet: 2026-12-08 "
            "16:30:07.765948 UTC\n"
            "  order: in time order; 1 packet reordered (the inputs were not in time order; the "
            "buffer put them right)\n"
            "  overruns: 1 (unread elements written over in a full buffer)\n"
            "  wall time: 0.500 s, 2,002 packets/s, 128.6 kB/s\n");

  // Out of order: how often, how far back, and which buffer would do.
  summary.order.backwards = 1;
  summary.order.outOfPlace = 3;
  summary.order.largestStepBack = 2500;
  summary.order.largestDelay = 9000;
  summary.inputs[0].finer = true;
  summary.inputs[0].truncated = 1;
  const std::string text = VANT::FormatSummary(summary);
  EXPECT_FALSE(VANT::InTimeOrder(summary));
  EXPECT_EQ(VANT::NeededBuffer(summary), 8192 + 9000);
  EXPECT_NE(
      text.find("order: NOT IN TIME ORDER: time went backwards 1 time (3 packets earlier than one "
                "written before them), by at most 2.5 ms; "
                "a larger buffer is needed: -b 17192 would keep it in order (this run: "
                "-b 8192)"),
      std::string::npos)
      << text;
  EXPECT_NE(text.find("a.pcap has times finer than microseconds: 1 packet truncated"),
            std::string::npos)
      << text;
  summary.order.delayBeyondWindow = true;
  EXPECT_NE(VANT::FormatSummary(summary).find("-b 17192 or more"), std::string::npos);
}

} // namespace
