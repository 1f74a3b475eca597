#pragma once
// The merge itself: an engine stand-in (Host) with the package file loaded, one PcapFilePlayer per
// input (a live merge: one PcapLiveCapture per interface, kept in time order by their group), the
// package's SortingMultiplexer with nb_inputs = number of inputs, and a PcapFileRecorder writing
// the output. Players and recorder come from the runtime linked into this
// program; the multiplexer comes from the package file, with its own copy of the same runtime.
//
//   player_0.output ------> multiplexer.input_0
//   player_0.end_of_file -> multiplexer.iEndOfFile_0      multiplexer.output ------> recorder.input
//   ...                                                   multiplexer.end_of_file ->
//   recorder.end_of_file
//
// The run ends when the recorder has read the multiplexer's end-of-file event (after every packet)
// and closed the file, and the multiplexer has ended its own run. It fails when a player cannot
// read its file, when a component ends in error, or when the output does not hold every packet.

#include "host/components/vant_capture_output.h"
#include "tools/merge/vant_merge_inputs.h"
#include "tools/merge/vant_merge_live.h"
#include "tools/merge/vant_merge_options.h"
#include "tools/merge/vant_merge_report.h"

#include <atomic>
#include <functional>
#include <string>
#include <vector>

namespace VANT {

/// The package file to load: `option` when given; else $CORVEX_PACKAGE when set; else the first
/// of corvex_sorting_multiplexer.pck in ../lib/corvex/packages/ from the program's folder (an
/// installed program) and in the program's parent folder (corvex-merge in its build folder).
/// Never from the current folder unless the user names it. Empty when none exists; `tried` then
/// lists where it looked.
std::string FindMergePackage(const std::string& option, std::vector<std::string>* tried = nullptr);

/// Where a program of this project looks for the package file `name` when its user names no
/// place: <program folder>/../lib/corvex/packages/ (installed) and the program folder's parent
/// (a build folder). Empty when the program's folder is unknown.
std::vector<std::string> ProgramPackagePlaces(const std::string& name);

struct MergeRunResult {
  bool ok = false;
  std::vector<std::string> errors;   // each names the file or component and the reason
  std::vector<std::string> warnings; // reports of the components worth showing
  MergeSummary summary;
};

/// Called about every `progressInterval` seconds while the merge runs, on the calling thread.
using MergeProgressCallback = std::function<void(const MergeProgress&)>;

/// How the output is named in messages: its path, or "standard output" for "-".
std::string OutputName(const std::string& output);

/// Runs one merge of the checked inputs (their readers are taken) into `output`, opened for
/// options.output, with the package file at `packagePath`. The caller commits or aborts the
/// output afterwards. When `cancel` becomes non-zero (a signal handler may set it), the merge
/// stops and fails with "interrupted".
MergeRunResult RunMergePipeline(const MergeOptions& options, MergeInputCheck& inputs,
                                const std::string& packagePath, VANTCaptureOutput& output,
                                const MergeProgressCallback& progress = nullptr,
                                double progressInterval = 0.25,
                                const std::atomic<int>* cancel = nullptr);

/// Runs one live merge of the opened interfaces (their sources are taken) into `output`, until
/// `cancel` becomes SIGINT (the normal end), options.packetLimit packets are written or
/// options.duration has passed: then the captures end, everything captured up to then is
/// written, and the output is complete. Any other non-zero `cancel` stops the merge, which then
/// fails with "interrupted".
MergeRunResult RunLiveMergePipeline(const MergeOptions& options, MergeLiveInputs& inputs,
                                    const std::string& packagePath, VANTCaptureOutput& output,
                                    const MergeProgressCallback& progress = nullptr,
                                    double progressInterval = 0.25,
                                    const std::atomic<int>* cancel = nullptr);

} // namespace VANT
