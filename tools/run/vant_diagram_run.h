#pragma once
// Runs a diagram in the engine stand-in: loads its packages, creates its components, sets their
// properties and the settings of their inputs and outputs, connects them (the host refuses a
// connection whose stream types do not fit), starts them, waits for the end condition, stops
// them and tells what each one did.
//
// Build() checks everything a mistake could spoil before anything starts and names the line of
// each mistake. The host's own models are configured here, through properties of this runner:
//   PcapFilePlayer    file (required; "-" is the standard input), packets_per_element (1-65535)
//   PcapFileRecorder  file (required; "-" is the standard output), link_type (0-65535; default:
//                     the first source's), flush_each_element
//   PcapLiveCapture   interface (required), packets_per_element, filter, promiscuous
// All players of a diagram keep in step (one player group), as in corvex-merge; with an engine
// speed they play in engine time. A recorder's file is written as corvex-merge writes its output:
// a temporary file renamed into place when the run succeeded.
//
// Order: recorders start first, then the players and captures, then the other components, each
// after those it feeds; they stop the other way round (the components that read a buffer stop
// before the one that owns it), the recorders last.

#include "tools/merge/vant_merge_report.h"
#include "tools/run/vant_diagram.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace VANT {

struct DiagramRunResult {
  bool ok = false;
  std::vector<std::string> errors;
  std::vector<std::string> warnings; // reports of the components worth showing
  std::string statistics;            // one block per component, to print at the end
  /// Recorders writing a multiplexer's output that is not in time order, each with a line on it.
  std::vector<std::string> outOfOrder;
};

class DiagramRun {
public:
  explicit DiagramRun(const Diagram& diagram);
  ~DiagramRun();
  DiagramRun(const DiagramRun&) = delete;
  DiagramRun& operator=(const DiagramRun&) = delete;

  /// Builds the diagram; false with every mistake found ("FILE:LINE: what is wrong") in errors.
  /// Nothing has started then, and no output file exists.
  bool Build(std::vector<std::string>& errors);

  /// The interfaces the diagram's live captures capture on, in diagram order.
  std::vector<std::string> Interfaces() const;

  /// Runs the built diagram until its end condition, a failure, or until `cancel` becomes
  /// non-zero. SIGINT ends live captures as their normal end when the diagram has any (what was
  /// captured is still written); otherwise a signal fails the run with "interrupted". Outputs are
  /// committed when the run succeeded and removed otherwise.
  DiagramRunResult Run(const std::function<void(const MergeProgress&)>& progress,
                       double progressInterval, const std::atomic<int>* cancel);

private:
  struct State;
  std::unique_ptr<State> m_state;
};

} // namespace VANT
