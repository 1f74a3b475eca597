#pragma once
// What corvex-merge shows: the progress line on a terminal, the summary at the end, and the
// reading of the multiplexer's own wrong-order report.

#include <cstdint>
#include <string>
#include <vector>

namespace VANT {

struct MergeProgress {
  uint64_t packets = 0;    // packets written to the output so far
  uint64_t bytes = 0;      // their captured bytes
  double seconds = 0;      // since the merge started
  uint64_t inputRead = 0;  // bytes of the input files consumed
  uint64_t inputTotal = 0; // bytes of the input files
};

struct MergeStreamCount {
  std::string name;
  uint64_t packets = 0;
  uint64_t bytes = 0; // captured bytes of the packets
};

struct MergeSummary {
  std::vector<MergeStreamCount> inputs;
  MergeStreamCount output;
  int64_t wrongOrderCount = 0; // as the multiplexer reported it (0 when it reported nothing)
  int64_t maxTimeJump = 0;     // microseconds, 0 or negative
  uint64_t overruns = 0;
  double seconds = 0; // wall time of the merge
};

/// "1,234,567"
std::string FormatCount(uint64_t value);
/// "512 B", "1.5 kB", "812.3 MB", "2.10 GB" (powers of 1000).
std::string FormatBytes(uint64_t bytes);
/// A signed microsecond duration the way the multiplexer writes it: "-2.5 ms", "-3 s", "-40 us".
std::string FormatDuration(int64_t microseconds);

/// One line, without a line break: packets, bytes, packet rate, percentage of the input read.
std::string FormatProgressLine(const MergeProgress& progress);

/// The summary: a table of packets and bytes per input and for the output, the wrong-order count
/// and the largest time jump, overruns, wall time and rate. Ends with a line break.
std::string FormatSummary(const MergeSummary& summary);

/// Reads the multiplexer's end-of-run report "Wrong order count: N (maximum time-jump: D).
/// Please, adjust buffer size!" (possibly behind a "type name: " prefix). False for any other
/// text.
bool ParseWrongOrderReport(const std::string& text, int64_t& count, int64_t& maxTimeJump);

} // namespace VANT
