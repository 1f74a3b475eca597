// corvex-run: runs a diagram of components described in a TOML file: loads its packages, creates
// and connects its components, runs them until the diagram's end condition (or Ctrl-C) and tells
// what each component did.
//
//   corvex-run [-q] DIAGRAM.toml
//
// Exit status: 0 the run ended as the diagram says; 1 the diagram has mistakes (each told as
// FILE:LINE: what is wrong, before anything starts), a file could not be read or written, or a
// component failed; 2 usage error; 3 a recorder wrote a multiplexer's output that is not in
// time order (the file is kept); 128 + N stopped by signal N.
#include "tools/merge/vant_merge_report.h"
#include "tools/merge/vant_tool_signals.h"
#include "tools/run/vant_diagram.h"
#include "tools/run/vant_diagram_run.h"

#include <clocale>
#include <csignal>
#include <cstdio>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

#ifndef CORVEX_RUN_VERSION
#define CORVEX_RUN_VERSION "0"
#endif

namespace {

constexpr int kDone = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;
constexpr int kOutOfOrder = 3;

constexpr const char kUsageText[] = "Usage: corvex-run [-q] DIAGRAM.toml\n";

constexpr const char kHelpText[] =
    "Usage: corvex-run [-q] DIAGRAM.toml\n"
    "Runs the diagram of components DIAGRAM.toml describes: loads its packages, creates its\n"
    "components with their properties, connects them, runs them until its end condition or\n"
    "Ctrl-C, and prints each component's statistics.\n"
    "\n"
    "  -q         no progress line, no statistics, no warnings (errors still print)\n"
    "  --help     this text\n"
    "  --version  the version\n"
    "\n"
    "A diagram (TOML):\n"
    "  packages = [\"corvex_sorting_multiplexer.pck\"]   # beside the diagram or the program\n"
    "  connections = [\"player.output -> recorder.input\",\n"
    "                 \"player.end_of_file -> recorder.end_of_file\"]\n"
    "  [engine]\n"
    "  speed = 0.5              # engine time at half speed: file players play paced\n"
    "  [end]\n"
    "  when = \"recorder\"        # a component ended its run, or \"component.end_of_file\"\n"
    "  duration = \"10s\"         # and/or a duration\n"
    "  [[component]]\n"
    "  name = \"player\"\n"
    "  model = \"PcapFilePlayer\" # or PcapFileRecorder, PcapLiveCapture, a package's model\n"
    "  properties = { file = \"in.pcap\" }\n"
    "  fifo_size = { output = 8 }\n"
    "  reader_type = { input = \"never_skipping\" }  # fifo, never_skipping, last_or_next,\n"
    "                                              # wait_for_next, sampling\n"
    "\n"
    "Relative paths start at the diagram's folder; a recorder's file \"-\" is the standard\n"
    "output, a player's the standard input. A recorder's file is replaced only when the run\n"
    "succeeds.\n"
    "\n"
    "Host models: PcapFilePlayer (file, packets_per_element), PcapFileRecorder (file,\n"
    "link_type, flush_each_element), PcapLiveCapture (interface, filter, promiscuous,\n"
    "packets_per_element). Ctrl-C is the normal end of a diagram with live captures.\n"
    "See corvex-run(1) for more.\n"
    "\n"
    "Exit status: 0 done; 1 mistakes in the diagram, unreadable or unwritable files, or a\n"
    "component failed; 2 usage error; 3 a multiplexer's output was recorded not in time\n"
    "order (the file is kept); 128+N stopped by signal N.\n";

int UsageError(const std::string& message) {
  std::fprintf(stderr, "corvex-run: %s\n%sTry 'corvex-run --help' for more information.\n",
               message.c_str(), kUsageText);
  return kUsage;
}

} // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  bool quiet = false;
  std::string file;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--help" || argument == "-h") {
      std::fputs(kHelpText, stdout);
      return kDone;
    }
    if (argument == "--version") {
      std::printf("corvex-run %s\n", CORVEX_RUN_VERSION);
      return kDone;
    }
    if (argument == "-q") {
      quiet = true;
    } else if (argument.size() > 1 && argument[0] == '-') {
      return UsageError("unknown option " + argument);
    } else if (!file.empty()) {
      return UsageError("one diagram at a time");
    } else {
      file = argument;
    }
  }
  if (file.empty()) {
    return UsageError("no diagram given");
  }

  VANT::CatchTerminatingSignals(false);
  VANT::Diagram diagram;
  std::vector<VANT::DiagramError> mistakes;
  if (!VANT::ReadDiagram(file, diagram, mistakes)) {
    for (const VANT::DiagramError& mistake : mistakes) {
      std::fprintf(stderr, "%s\n", VANT::FormatDiagramError(file, mistake).c_str());
    }
    return kFailed;
  }
  VANT::DiagramRun run(diagram);
  std::vector<std::string> errors;
  // Building can take long (a component making many inputs); nothing runs yet that a signal
  // would let finish, and the temporary outputs are removed by the signal itself.
  VANT::EndAtOnceOnSignal(true, "corvex-run", quiet);
  const bool built = run.Build(errors);
  VANT::EndAtOnceOnSignal(false);
  if (VANT::SignalCaught()) {
    return VANT::SignalExitStatus("corvex-run", quiet);
  }
  if (!built) {
    for (const std::string& error : errors) {
      std::fprintf(stderr, "%s\n", error.c_str());
    }
    return kFailed;
  }
  VANT::CatchTerminatingSignals(true);
  if (const std::vector<std::string> interfaces = run.Interfaces(); !quiet && !interfaces.empty()) {
    std::string names;
    for (const std::string& name : interfaces) {
      names += (names.empty() ? "" : ", ") + name;
    }
    std::fprintf(stderr, "corvex-run: capturing on %s (Ctrl-C ends)\n", names.c_str());
  }

  const bool showProgress = !quiet && isatty(STDERR_FILENO) == 1;
  bool progressShown = false;
  std::function<void(const VANT::MergeProgress&)> progress;
  if (showProgress) {
    progress = [&progressShown](const VANT::MergeProgress& now) {
      std::fprintf(stderr, "\r%s\033[K", VANT::FormatProgressLine(now).c_str());
      std::fflush(stderr);
      progressShown = true;
    };
  }
  const VANT::DiagramRunResult result = run.Run(progress, 0.25, &VANT::SignalFlag());
  if (progressShown) {
    std::fputs("\r\033[K", stderr);
  }
  const int signal = VANT::SignalFlag().load();
  if (signal != 0 && !(signal == SIGINT && result.ok)) {
    return VANT::SignalExitStatus("corvex-run", quiet);
  }
  if (!quiet) {
    for (const std::string& warning : result.warnings) {
      std::fprintf(stderr, "corvex-run: warning: %s\n", warning.c_str());
    }
  }
  if (!result.ok) {
    for (const std::string& error : result.errors) {
      std::fprintf(stderr, "corvex-run: %s\n", error.c_str());
    }
    return kFailed;
  }
  if (!quiet) {
    std::fputs(result.statistics.c_str(), stderr);
  }
  if (!result.outOfOrder.empty()) {
    for (const std::string& line : result.outOfOrder) {
      if (!quiet) {
        std::fprintf(stderr, "corvex-run: warning: %s\n", line.c_str());
      }
    }
    return kOutOfOrder;
  }
  return kDone;
}
