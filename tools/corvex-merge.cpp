// corvex-merge: merges capture files, or the packets of network interfaces as they are
// captured, into one time-ordered capture through the package's SortingMultiplexer component.
//
//   corvex-merge [options] -w OUT.pcap|- IN1|- [IN2 ...]
//   corvex-merge [options] -w OUT.pcap|- -i IFACE [-i IFACE ...]
//
// Exit status: 0 merged (a live merge also when ended by Ctrl-C); 1 an input could not be read,
// the output could not be written or the merge failed; 2 usage error; 3 merged but the output is
// not in time order; 128 + N stopped by signal N.
#include "host/components/vant_capture_output.h"
#include "tools/merge/vant_merge_inputs.h"
#include "tools/merge/vant_merge_live.h"
#include "tools/merge/vant_merge_options.h"
#include "tools/merge/vant_merge_pipeline.h"
#include "tools/merge/vant_merge_report.h"
#include "tools/merge/vant_tool_signals.h"

#include <atomic>
#include <climits>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <malloc.h>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kMerged = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;
constexpr int kOutOfOrder = 3;

int UsageError(const std::string& message) {
  std::fprintf(stderr, "corvex-merge: %s\n%sTry 'corvex-merge --help' for more information.\n",
               message.c_str(), VANT::MergeUsageText().c_str());
  return kUsage;
}

bool Interrupted() {
  return VANT::SignalCaught();
}

/// Ctrl-C during a live merge: the normal end, not an interruption.
bool EndedByUser(const VANT::MergeOptions& options) {
  return options.Live() && VANT::SignalFlag().load() == SIGINT;
}

int Stopped(bool quiet) {
  return VANT::SignalExitStatus("corvex-merge", quiet);
}

// The multiplexer allocates and frees one small block per packet on its own thread, in its own
// malloc arena; with the default thresholds that arena's top is given back and taken again all
// the time (page faults on every growth). Keep the memory once taken, and the packet buffers of
// a few hundred kilobytes on the heap rather than in mappings of their own.
void TuneAllocator() {
  mallopt(M_TRIM_THRESHOLD, 512 << 20);
  mallopt(M_TOP_PAD, 64 << 20);
  mallopt(M_MMAP_THRESHOLD, 64 << 20);
}

// Every input stays open for the whole merge: the limit of open files is raised as far as this
// user may raise it. Returns the limit (0 when unknown).
rlim_t RaiseOpenFileLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    return 0;
  }
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) {
      limit = raised;
    }
  }
  return limit.rlim_cur;
}

} // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  TuneAllocator();
  const VANT::MergeCommand command =
      VANT::ParseMergeCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  switch (command.action) {
  case VANT::MergeCommand::Action::kUsageError:
    return UsageError(command.error);
  case VANT::MergeCommand::Action::kHelp:
    std::fputs(VANT::MergeHelpText().c_str(), stdout);
    return kMerged;
  case VANT::MergeCommand::Action::kVersion:
    std::fputs(VANT::MergeVersionText().c_str(), stdout);
    return kMerged;
  case VANT::MergeCommand::Action::kRun:
    break;
  }
  const VANT::MergeOptions& options = command.options;
  if (VANT::OutputIsAnInput(options.output, options.inputs)) {
    return UsageError("the output " + options.output + " is also an input");
  }

  // Descriptors besides the inputs': the output, the package, standard streams, the engine's.
  constexpr size_t kOtherDescriptors = 32;
  const rlim_t openFiles = RaiseOpenFileLimit();
  if (openFiles != 0 && openFiles != RLIM_INFINITY &&
      options.inputs.size() + kOtherDescriptors > openFiles) {
    std::fprintf(stderr,
                 "corvex-merge: %zu inputs need more open files than this process may have "
                 "(%llu: see ulimit -n)\n",
                 options.inputs.size(), static_cast<unsigned long long>(openFiles));
    return kFailed;
  }

  VANT::CatchTerminatingSignals(false);
  VANT::MergeInputCheck check;
  VANT::MergeLiveInputs live;
  if (options.Live()) {
    live = VANT::OpenLiveInputs(options);
  } else {
    check = VANT::CheckMergeInputs(options.inputs, &Interrupted);
  }
  if (Interrupted()) {
    return Stopped(options.quiet);
  }
  if (options.Live() ? !live.ok : !check.ok) {
    for (const std::string& error : options.Live() ? live.errors : check.errors) {
      std::fprintf(stderr, "corvex-merge: %s\n", error.c_str());
    }
    return kFailed;
  }
  if (!options.quiet) {
    for (const std::string& warning : live.warnings) {
      std::fprintf(stderr, "corvex-merge: warning: %s\n", warning.c_str());
    }
  }

  std::vector<std::string> tried;
  const std::string package = VANT::FindMergePackage(options.package, &tried);
  if (package.empty()) {
    std::string where;
    for (const std::string& path : tried) {
      where += (where.empty() ? "" : ", ") + path;
    }
    std::fprintf(stderr,
                 "corvex-merge: cannot find the package file corvex_sorting_multiplexer.pck "
                 "(looked for %s); give it with --package FILE\n",
                 where.c_str());
    return kFailed;
  }

  VANTCaptureOutput output;
  if (!output.Open(options.output)) {
    std::fprintf(stderr, "corvex-merge: %s\n", output.Error().c_str());
    return Interrupted() ? Stopped(options.quiet) : kFailed;
  }
  if (output.Replaces()) {
    VANT::RemoveOnSecondSignal(output.TemporaryPath());
  }
  if (Interrupted()) {
    VANT::ForgetTemporary(output.TemporaryPath());
    output.Abort();
    return Stopped(options.quiet);
  }
  VANT::CatchTerminatingSignals(true);

  // The progress line only on a terminal, rewritten in place.
  const bool showProgress = !options.quiet && isatty(STDERR_FILENO) == 1;
  bool progressShown = false;
  VANT::MergeProgressCallback progress;
  if (showProgress) {
    progress = [&progressShown](const VANT::MergeProgress& now) {
      std::fprintf(stderr, "\r%s\033[K", VANT::FormatProgressLine(now).c_str());
      std::fflush(stderr);
      progressShown = true;
    };
  }
  if (options.Live() && !options.quiet) {
    // The kernel captures from here on; the line tells a user (or a script) when to begin.
    std::string names;
    for (const std::string& name : live.names) {
      names += (names.empty() ? "" : ", ") + name;
    }
    std::fprintf(stderr, "corvex-merge: capturing on %s (Ctrl-C ends)\n", names.c_str());
  }
  const VANT::MergeRunResult result =
      options.Live() ? VANT::RunLiveMergePipeline(options, live, package, output, progress, 0.25,
                                                  &VANT::SignalFlag())
                     : VANT::RunMergePipeline(options, check, package, output, progress, 0.25,
                                              &VANT::SignalFlag());
  if (progressShown) {
    std::fputs("\r\033[K", stderr);
  }
  if (Interrupted() && !EndedByUser(options)) {
    VANT::ForgetTemporary(output.TemporaryPath());
    output.Abort();
    return Stopped(options.quiet);
  }
  if (!options.quiet) {
    for (const std::string& warning : result.warnings) {
      std::fprintf(stderr, "corvex-merge: warning: %s\n", warning.c_str());
    }
  }
  if (!result.ok) {
    VANT::ForgetTemporary(output.TemporaryPath());
    output.Abort();
    for (const std::string& error : result.errors) {
      std::fprintf(stderr, "corvex-merge: %s\n", error.c_str());
    }
    return kFailed;
  }
  VANT::ForgetTemporary(output.TemporaryPath());
  if (!output.Commit()) {
    std::fprintf(stderr, "corvex-merge: %s\n", output.Error().c_str());
    return kFailed;
  }
  if (!options.quiet) {
    std::fputs(VANT::FormatSummary(result.summary).c_str(), stderr);
  }
  if (!VANT::InTimeOrder(result.summary)) {
    if (!options.quiet && options.Live()) {
      std::fprintf(stderr, "corvex-merge: warning: the output is not in time order; packets "
                           "came later than --delay allows: capture again with a larger one\n");
    } else if (!options.quiet) {
      std::fprintf(stderr,
                   "corvex-merge: warning: the output is not in time order; merge again with "
                   "-b %lld\n",
                   static_cast<long long>(VANT::NeededBuffer(result.summary)));
    }
    return kOutOfOrder;
  }
  return kMerged;
}
