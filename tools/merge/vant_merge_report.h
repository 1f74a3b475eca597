#pragma once
// What corvex-merge shows: the progress line on a terminal and the summary at the end.

#include "tools/graph/vant_graph_progress.h"

#include <cstdint>
#include <string>
#include <vector>

namespace VANT {

/// How far a merge is (what the recorder wrote, what the players read).
using MergeProgress = GraphProgress;

struct MergeStreamCount {
  std::string name;
  uint64_t packets = 0;
  uint64_t bytes = 0;     // captured bytes of the packets
  uint64_t reordered = 0; // input: packets earlier than one before them in the same input
  uint64_t truncated = 0; // input: packets whose time lost a part below the microsecond
  bool finer = false;     // input: times finer than microseconds
};

/// What a live merge adds for each interface.
struct MergeInterfaceCount {
  uint64_t captured = 0;       // packets taken from the kernel
  uint64_t kernelDrops = 0;    // dropped by the kernel: its capture buffer was full
  uint64_t interfaceDrops = 0; // dropped by the interface or its driver
  uint64_t queueDrops = 0;     // dropped while waiting for their turn: the queue was full
  uint64_t late = 0;           // came later than the delivery bound allows
  // Capture time to write, microseconds, over the packets written.
  int64_t latencyMedian = 0;
  int64_t latencyP99 = 0;
  int64_t latencyMax = 0;
};

/// The order of the output's times, as the recorder saw them.
struct MergeOrder {
  int64_t first = 0; // microseconds, when the output holds packets
  int64_t last = 0;
  uint64_t backwards = 0;      // packets earlier than the one right before them
  uint64_t outOfPlace = 0;     // packets earlier than the latest time written before them
  int64_t largestStepBack = 0; // by how much at most (microseconds)
  uint64_t largestDelay = 0;   // packets written between a late packet and its place, at most
  bool delayBeyondWindow = false;
};

struct MergeSummary {
  std::vector<MergeStreamCount> inputs;
  /// A live merge: one entry per input (interface), and the delivery bound of the run.
  bool live = false;
  std::vector<MergeInterfaceCount> interfaces;
  int64_t delayBound = 0;
  MergeStreamCount output;
  MergeOrder order;
  int64_t bufferPacketCount = 0; // the -b of the run
  uint64_t overruns = 0;
  double seconds = 0; // wall time of the merge
};

/// "1,234,567"
std::string FormatCount(uint64_t value);
/// "1 packet", "2 packets", "1,000 packets".
std::string FormatCount(uint64_t value, const char* singular);
/// "512 B", "1.5 kB", "812.3 MB", "2.10 GB" (powers of 1000).
std::string FormatBytes(uint64_t bytes);
/// A signed microsecond duration in the units the multiplexer uses, exact to the microsecond:
/// "-2.5 ms", "-3 s", "-40 us", "12345.678901 s".
std::string FormatDuration(int64_t microseconds);
/// A capture time in UTC: "2026-12-08 16:29:53.055516".
std::string FormatTime(int64_t microseconds);

/// One line, without a line break: packets, bytes, packet rate, percentage of the input read.
std::string FormatProgressLine(const MergeProgress& progress);

/// True when the output's times never go back.
inline bool InTimeOrder(const MergeSummary& summary) {
  return summary.order.outOfPlace == 0;
}
/// A reorder buffer (-b) that would have kept this run's output in order: the run's buffer plus
/// the longest delay seen.
int64_t NeededBuffer(const MergeSummary& summary);

/// The summary: packets and bytes per input and for the output, the output's first and last
/// time, its order (and what the inputs' disorder was), truncated times, overruns, wall time and
/// rate; for a live merge also each interface's drops, late packets and latency. Ends with a
/// line break.
std::string FormatSummary(const MergeSummary& summary);

} // namespace VANT
