// corvex-merge: merges capture files into one time-ordered capture through the package's
// SortingMultiplexer component.
//
//   corvex-merge [options] -w OUT.pcap IN1 [IN2 ...]
//
// Exit status: 0 merged; 1 an input could not be read or the merge failed; 2 usage error.
#include "tools/merge/vant_merge_inputs.h"
#include "tools/merge/vant_merge_options.h"
#include "tools/merge/vant_merge_pipeline.h"
#include "tools/merge/vant_merge_report.h"

#include <atomic>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <malloc.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kMerged = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

int UsageError(const std::string& message) {
  std::fprintf(stderr, "corvex-merge: %s\n%sTry 'corvex-merge --help' for more information.\n",
               message.c_str(), VANT::MergeUsageText().c_str());
  return kUsage;
}

} // namespace

namespace {

// The multiplexer allocates and frees one small block per packet on its own thread, in its own
// malloc arena; with the default thresholds that arena's top is given back and taken again all
// the time (page faults on every growth). Keep the memory once taken, and the packet buffers of
// a few hundred kilobytes on the heap rather than in mappings of their own.
std::atomic<bool> g_interrupted{false};

void OnInterrupt(int) {
  g_interrupted.store(true, std::memory_order_relaxed);
}

// The first SIGINT or SIGTERM ends the merge cleanly (no partial output left); a second one
// kills the program as usual.
void CatchInterrupts() {
  struct sigaction action {};
  action.sa_handler = &OnInterrupt;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

void TuneAllocator() {
  mallopt(M_TRIM_THRESHOLD, 512 << 20);
  mallopt(M_TOP_PAD, 64 << 20);
  mallopt(M_MMAP_THRESHOLD, 64 << 20);
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
  const VANT::MergeInputCheck check = VANT::CheckMergeInputs(options.inputs);
  if (!check.ok) {
    for (const std::string& error : check.errors) {
      std::fprintf(stderr, "corvex-merge: %s\n", error.c_str());
    }
    return kFailed;
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
  CatchInterrupts();
  const VANT::MergeRunResult result =
      VANT::RunMergePipeline(options, check, package, progress, 0.25, &g_interrupted);
  if (progressShown) {
    std::fputs("\r\033[K", stderr);
  }
  for (const std::string& warning : result.warnings) {
    std::fprintf(stderr, "corvex-merge: warning: %s\n", warning.c_str());
  }
  if (!result.ok) {
    for (const std::string& error : result.errors) {
      std::fprintf(stderr, "corvex-merge: %s\n", error.c_str());
    }
    return kFailed;
  }
  if (!options.quiet) {
    std::fputs(VANT::FormatSummary(result.summary).c_str(), stderr);
  }
  return kMerged;
}
