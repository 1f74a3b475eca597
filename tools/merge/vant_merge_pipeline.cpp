#include "tools/merge/vant_merge_pipeline.h"

#include "component/vant_mux_texts.h"
#include "host/components/vant_pcap_capture_file.h"
#include "host/components/vant_pcap_file_player.h"
#include "host/components/vant_pcap_file_recorder.h"
#include "host/components/vant_pcap_live_capture.h"
#include "host/components/vant_pcap_stream_models.h"
#include "host/host.h"
#include "runtime/vant_module.h"
#include "tools/graph/vant_component_graph.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace VANT {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char kPackageName[] = "corvex_sorting_multiplexer.pck";
constexpr const char* kMultiplexerModel = kSortingMultiplexerModel;
constexpr const char kMultiplexer[] = "multiplexer";
constexpr const char kRecorder[] = "recorder";
// Per-packet order reports of the multiplexer (MuxText::kWrongOrderHead ... kWrongOrderTail):
// counted, and only the first few are shown. Its own count at the end of its run
// (MuxText::kWrongOrderCount) is not: the summary tells the order from what was written.
constexpr size_t kWrongOrderShown = 5;
// How long the end may lag behind: the multiplexer ends its run as soon as the recorder has let
// go of its last elements, and the recorder finishes right after the multiplexer's last write.
constexpr auto kEndGrace = std::chrono::seconds(10);
// Beyond this many inputs each player's FIFO holds only kShortPlayerFifo elements: the players
// keep in step, so a few elements ahead are enough, and memory stays bounded as inputs grow.
constexpr size_t kMostInputsWithFullFifos = 4;
constexpr int64_t kShortPlayerFifo = 4;
// A run without pacing in which nothing moves for this long has hung.
constexpr auto kStallLimit = std::chrono::seconds(60);
// Beyond the longest flush delay the options take (1000000 s), in microseconds.
constexpr int64_t kLargestFlushDelayUs = int64_t{1000000} * 1000000;

bool IsFile(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

fs::path ProgramFolder() {
  std::error_code error;
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  return error ? fs::path() : self.parent_path();
}

std::string ModuleName(const std::string& prefix, size_t index) {
  return prefix + std::to_string(index);
}

bool Contains(const std::string& text, const char* part) {
  return text.find(part) != std::string::npos;
}

/// The merge: a graph built in code, run until the recorder has written everything. It merges
/// files (`files`) or the interfaces of a live merge (`live`).
class Pipeline : public GraphRunPolicy {
public:
  Pipeline(const MergeOptions& options, MergeInputCheck* files, MergeLiveInputs* live,
           VANTCaptureOutput& output, const std::atomic<int>* cancel)
      : m_options(options), m_files(files), m_live(live), m_output(output), m_cancel(cancel) {}

  MergeRunResult Run(const std::string& packagePath, const MergeProgressCallback& progress,
                     double progressInterval);

  Step Watch(int signal, Clock::duration elapsed, std::string& failure) override;
  bool TakeReport(const HostReport& report) override;
  std::string ErrorOf(const GraphPart& part) override;
  std::string NotStarted(const GraphPart& part, const std::string& reason) override;

private:
  bool Build(const std::string& packagePath);
  /// The file players, or the live captures.
  bool BuildSources();
  bool SetInteger(const std::string& property, int64_t value);
  bool Connect(const std::string& output, const std::string& input);
  /// The summary's lines of the inputs, and what the output must hold.
  uint64_t SummariseInputs(MergeSummary& summary);
  void Fail(const std::string& error) { m_result.errors.push_back(error); }

  const MergeOptions& m_options;
  MergeInputCheck* m_files;
  MergeLiveInputs* m_live;
  VANTCaptureOutput& m_output;
  const std::atomic<int>* m_cancel;
  ComponentGraph m_graph;
  std::vector<GraphPart*> m_sources; // players or captures, input_0 first
  GraphPart* m_multiplexer = nullptr;
  GraphPart* m_recorder = nullptr;
  VANTLiveCaptureGroup* m_captureGroup = nullptr; // a live merge's
  std::vector<std::string> m_multiplexerErrors;
  size_t m_wrongOrderReports = 0;
  // Watching the run.
  Clock::duration m_stallLimit{};
  uint64_t m_lastMovement = 0;
  Clock::duration m_lastMove{};
  Clock::duration m_endSeen{-1};
  MergeRunResult m_result;
};

bool Pipeline::SetInteger(const std::string& property, int64_t value) {
  const std::string name = std::string(kMultiplexer) + "." + property;
  if (m_graph.GetHost().FindProperty(name.c_str()) == nullptr) {
    Fail("the package's " + std::string(kMultiplexerModel) + " has no property " + property);
    return false;
  }
  if (!m_graph.SetInteger(name, value)) {
    Fail("the multiplexer refused " + property + " = " + std::to_string(value));
    return false;
  }
  return true;
}

bool Pipeline::Connect(const std::string& output, const std::string& input) {
  std::string reason;
  if (!m_graph.Connect(output, input, reason)) {
    Fail("cannot connect " + output + " to " + input + (reason.empty() ? "" : ": " + reason));
    return false;
  }
  return true;
}

bool Pipeline::Build(const std::string& packagePath) {
  std::string error;
  if (!m_graph.Open(error)) {
    Fail(error);
    return false;
  }
  if (!m_graph.LoadPackage(packagePath, error)) {
    Fail(packagePath + ": cannot load the package: " + error);
    return false;
  }
  if (m_graph.GetHost().Model(kMultiplexerModel) == nullptr) {
    Fail(packagePath + ": the package has no " + std::string(kMultiplexerModel) + " model");
    return false;
  }
  if (!BuildSources()) {
    return false;
  }
  m_multiplexer = m_graph.Add(kMultiplexerModel, kMultiplexer, error);
  if (m_multiplexer == nullptr) {
    Fail("cannot create the " + std::string(kMultiplexerModel) + " of " + packagePath + ": " +
         error);
    return false;
  }
  m_recorder = m_graph.Add(kPcapFileRecorderModel, kRecorder, error);
  if (m_recorder == nullptr) {
    Fail("cannot create the file recorder: " + error);
    return false;
  }
  vant_pcap_file_recorder& recorder = *m_recorder->recorder;
  if (m_live != nullptr) {
    // Each element goes to the system as it comes (and the captures' group learns of it).
    recorder.ConfigureDescriptor(m_output.Descriptor(), OutputName(m_options.output),
                                 m_live->linkType, m_live->snapLength);
    recorder.SetFlushEachElement(true);
    recorder.SetPacketLimit(m_options.packetLimit);
  } else {
    recorder.ConfigureDescriptor(m_output.Descriptor(), OutputName(m_options.output),
                                 m_files->linkType, m_files->snapLength);
    recorder.SetFlushEachElement(m_options.pace > 0);
    m_graph.SetInputTotal(m_files->sizeKnown ? m_files->totalSize : 0);
  }

  // nb_inputs first: it makes the input pairs.
  if (!SetInteger("nb_inputs", static_cast<int64_t>(m_sources.size())) ||
      !SetInteger("buffer_packet_count", m_options.bufferPacketCount) ||
      !SetInteger("vector_max_size", m_options.vectorMaxSize) ||
      !SetInteger("vector_max_latency", m_options.vectorMaxLatency) ||
      !SetInteger("flush_delay", m_options.flushDelay)) {
    return false;
  }
  for (size_t i = 0; i < m_sources.size(); ++i) {
    const std::string& source = m_sources[i]->name;
    const std::string index = std::to_string(i);
    if (!Connect(source + ".output", std::string(kMultiplexer) + ".input_" + index) ||
        !Connect(source + ".end_of_file", std::string(kMultiplexer) + ".iEndOfFile_" + index)) {
      return false;
    }
  }
  // With every input connected the multiplexer learns the stream type and types its output.
  m_graph.RunDynamic(*m_multiplexer);
  if (!Connect(std::string(kMultiplexer) + ".output", std::string(kRecorder) + ".input") ||
      !Connect(std::string(kMultiplexer) + ".end_of_file",
               std::string(kRecorder) + ".end_of_file")) {
    return false;
  }
  // The players keep in step; the captures take turns, told by the recorder what it wrote.
  const std::vector<GraphCaptureMerge> merges = m_graph.JoinGroups(m_options.delayBound);
  m_captureGroup = merges.empty() ? nullptr : merges.front().group;
  return true;
}

bool Pipeline::BuildSources() {
  std::string error;
  if (m_live != nullptr) {
    const size_t queueBytes =
        std::max(kLiveQueueBytes, static_cast<size_t>(m_options.kernelBufferMiB) << 21);
    for (size_t i = 0; i < m_live->sources.size(); ++i) {
      GraphPart* part = m_graph.Add(kPcapLiveCaptureModel, ModuleName("capture_", i), error);
      if (part == nullptr) {
        Fail("cannot create the capture of " + m_live->names[i] + ": " + error);
        return false;
      }
      part->capture->Configure(std::move(m_live->sources[i]),
                               static_cast<int32_t>(m_options.packetsPerElement));
      part->capture->SetQueueLimit(queueBytes);
      m_sources.push_back(part);
    }
    return true;
  }
  const size_t count = m_files->inputs.size();
  for (size_t i = 0; i < count; ++i) {
    const std::string name = ModuleName("player_", i);
    GraphPart* part = m_graph.Add(kPcapFilePlayerModel, name, error);
    if (part == nullptr) {
      Fail("cannot create the file player for " + m_files->inputs[i].path + ": " + error);
      return false;
    }
    // The input was opened by the check: a pipe can be read only once.
    part->player->Configure(std::move(m_files->inputs[i].reader),
                            static_cast<int32_t>(m_options.packetsPerElement));
    m_sources.push_back(part);
    if (count > kMostInputsWithFullFifos) {
      // Many players: fewer elements each, to keep their packet buffers within memory.
      m_graph.SetInteger(name + ".output.fifosize", kShortPlayerFifo);
    }
  }
  return true;
}

bool Pipeline::TakeReport(const HostReport& report) {
  const std::string& text = report.text;
  if (Contains(text, MuxText::kWrongOrderCount)) {
    return true; // the summary tells the order, from what was written
  }
  if (Contains(text, MuxText::kWrongOrderHead) && Contains(text, MuxText::kWrongOrderTail)) {
    if (m_wrongOrderReports++ < kWrongOrderShown) {
      m_result.warnings.push_back(text);
    }
    return true;
  }
  if (report.level >= 2 && Contains(text, (std::string(" ") + kMultiplexer + ":").c_str())) {
    m_multiplexerErrors.push_back(text); // why the multiplexer failed, if it does
  }
  return false;
}

std::string Pipeline::ErrorOf(const GraphPart& part) {
  const std::string text = part.module->ErrorText().Text();
  if (part.player != nullptr) {
    return part.player->Path() + ": the file player failed: " + text;
  }
  if (part.capture != nullptr) {
    return part.capture->Interface() + ": the capture failed: " + text;
  }
  if (part.recorder != nullptr) {
    return OutputName(m_options.output) + ": the file recorder failed: " + text;
  }
  return "the merge failed in the multiplexer: " + (m_multiplexerErrors.empty()
                                                        ? std::string("no reason given")
                                                        : m_multiplexerErrors.front());
}

std::string Pipeline::NotStarted(const GraphPart& part, const std::string& reason) {
  if (part.Failed()) {
    return part.FailureText();
  }
  if (part.player != nullptr) {
    return "the file player of " + part.player->Path() + " did not start";
  }
  if (part.capture != nullptr) {
    return "the capture of " + part.capture->Interface() + " did not start";
  }
  return std::string(part.recorder != nullptr ? "the file recorder" : "the multiplexer") +
         " did not start" + (reason.empty() ? "" : ": " + reason);
}

GraphRunPolicy::Step Pipeline::Watch(int signal, Clock::duration elapsed, std::string& failure) {
  if (m_live != nullptr &&
      (signal == SIGINT || // Ctrl-C is the normal end of a live merge
       (m_options.packetLimit != 0 && m_recorder->recorder->LimitReached()) ||
       (m_options.duration != 0 && elapsed >= std::chrono::microseconds(m_options.duration)))) {
    m_graph.EndCaptures();
  }
  const bool recorded = m_recorder->recorder->Finished();
  const bool multiplexed = m_graph.Ended(*m_multiplexer);
  if (recorded && multiplexed) {
    return Step::kDone;
  }
  if (recorded || multiplexed) {
    if (m_endSeen < Clock::duration::zero()) {
      m_endSeen = elapsed;
    } else if (elapsed - m_endSeen > kEndGrace) {
      if (!recorded) {
        failure = "the multiplexer ended its run before the output was complete";
        return Step::kDone;
      }
      // Everything was recorded; the multiplexer is stopped like the others.
      m_result.warnings.push_back("the multiplexer did not end its run by itself");
      return Step::kDone;
    }
  }
  // A merge that plays files as fast as it can always moves; one that stands still has hung.
  const uint64_t moved = m_graph.Movement();
  if (moved != m_lastMovement) {
    m_lastMovement = moved;
    m_lastMove = elapsed;
  } else if (m_options.pace <= 0 && m_files != nullptr && m_files->sizeKnown &&
             elapsed - m_lastMove > m_stallLimit) {
    failure =
        "the merge stopped moving for " +
        std::to_string(std::chrono::duration_cast<std::chrono::seconds>(m_stallLimit).count()) +
        " s (" + std::to_string(m_recorder->recorder->PacketsWritten()) + " packets written)";
  }
  return Step::kGoOn;
}

uint64_t Pipeline::SummariseInputs(MergeSummary& summary) {
  uint64_t packetsIn = 0;
  if (m_live == nullptr) {
    for (const GraphPart* part : m_sources) {
      const vant_pcap_file_player& player = *part->player;
      MergeStreamCount input;
      input.name = player.Path() == "-" ? "standard input" : player.Path();
      input.packets = player.PacketsSent();
      input.bytes = player.BytesSent();
      input.reordered = player.PacketsReordered();
      input.truncated = player.TimestampsTruncated();
      input.finer = player.FinerThanMicroseconds();
      summary.inputs.push_back(std::move(input));
      packetsIn += player.PacketsSent();
    }
    return packetsIn;
  }
  // A live merge: each interface's line counts what was written of it.
  summary.live = true;
  summary.delayBound = m_options.delayBound;
  for (size_t i = 0; i < m_sources.size(); ++i) {
    const vant_pcap_live_capture& capture = *m_sources[i]->capture;
    const VANTLiveCaptureGroup::Written written =
        m_captureGroup != nullptr ? m_captureGroup->WrittenOf(i) : VANTLiveCaptureGroup::Written{};
    MergeStreamCount input;
    input.name = capture.Interface();
    input.packets = written.packets;
    input.bytes = written.bytes;
    summary.inputs.push_back(std::move(input));
    MergeInterfaceCount counts;
    counts.captured = capture.PacketsCaptured();
    counts.kernelDrops = capture.KernelDrops();
    counts.interfaceDrops = capture.InterfaceDrops();
    counts.queueDrops = capture.QueueDrops();
    counts.late = capture.PacketsLate();
    counts.latencyMedian = written.latency.Quantile(0.5);
    counts.latencyP99 = written.latency.Quantile(0.99);
    counts.latencyMax = written.latency.Max();
    summary.interfaces.push_back(counts);
    packetsIn += capture.PacketsSent();
  }
  // With a packet limit the recorder passes over what comes after it.
  return m_options.packetLimit != 0 ? std::min<uint64_t>(packetsIn, m_options.packetLimit)
                                    : packetsIn;
}

MergeRunResult Pipeline::Run(const std::string& packagePath, const MergeProgressCallback& progress,
                             double progressInterval) {
  const Clock::time_point start = Clock::now();
  if (Build(packagePath)) {
    if (m_options.pace > 0) {
      int64_t origin = INT64_MAX;
      for (const MergeInputInfo& input : m_files->inputs) {
        if (input.hasPacket) {
          origin = std::min(origin, input.firstTimestamp);
        }
      }
      m_graph.SetPacing(m_options.pace, origin);
    }
    // Once the inputs have ended the multiplexer keeps what it holds for the flush delay (engine
    // time, which runs at real speed here): standing still that long is what was asked for.
    m_stallLimit = kStallLimit + std::chrono::microseconds(std::clamp<int64_t>(
                                     m_options.flushDelay, 0, kLargestFlushDelayUs));
    GraphRunResult run = m_graph.Run(*this, progress, progressInterval, m_cancel);
    m_result.errors.insert(m_result.errors.end(), run.errors.begin(), run.errors.end());
    m_result.warnings.insert(m_result.warnings.end(), run.warnings.begin(), run.warnings.end());
  }
  if (m_wrongOrderReports > kWrongOrderShown) {
    m_result.warnings.push_back("(" + std::to_string(m_wrongOrderReports - kWrongOrderShown) +
                                " more wrong-order reports not shown)");
  }

  MergeSummary& summary = m_result.summary;
  summary.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const uint64_t packetsIn = SummariseInputs(summary);
  summary.output.name = OutputName(m_options.output);
  summary.bufferPacketCount = m_options.bufferPacketCount;
  if (m_recorder != nullptr) {
    summary.output.packets = m_recorder->recorder->PacketsWritten();
    summary.output.bytes = m_recorder->recorder->BytesWritten();
    const VANTCaptureOrder order = m_recorder->recorder->Order();
    summary.order = {
        order.first,           order.last,         order.backwards,        order.outOfPlace,
        order.largestStepBack, order.largestDelay, order.delayBeyondWindow};
  }
  // Every output's overruns: the sources', and the multiplexer's, found by name (its objects
  // belong to the package's runtime).
  for (const GraphPart& part : m_graph.Parts()) {
    if (part.recorder == nullptr) {
      for (const char* output : {".output", ".end_of_file"}) {
        if (VANTOutput* found = m_graph.OutputNamed(part.name + output)) {
          summary.overruns += m_graph.OverrunCount(found);
        }
      }
    }
  }
  if (m_result.errors.empty() && m_recorder != nullptr && summary.output.packets != packetsIn) {
    Fail(OutputName(m_options.output) + ": the output holds " +
         std::to_string(summary.output.packets) + " packets, the inputs " +
         std::to_string(packetsIn) + (m_live != nullptr ? " to write" : ""));
  }
  m_result.ok = m_result.errors.empty();
  return m_result;
}

} // namespace

std::string FindMergePackage(const std::string& option, std::vector<std::string>* tried) {
  std::vector<std::string> candidates;
  if (!option.empty()) {
    candidates.push_back(option);
  } else if (const char* environment = std::getenv("CORVEX_PACKAGE");
             environment != nullptr && *environment != '\0') {
    candidates.emplace_back(environment);
  } else {
    candidates = ProgramPackagePlaces(kPackageName);
  }
  for (const std::string& candidate : candidates) {
    if (IsFile(candidate)) {
      return candidate;
    }
  }
  if (tried != nullptr) {
    *tried = candidates;
  }
  return {};
}

std::vector<std::string> ProgramPackagePlaces(const std::string& name) {
  // Only where the program itself lies: installed, <prefix>/bin/../lib/corvex/packages/; in its
  // build folder, one up from tools/. Never the current folder, never a compiled-in path.
  const fs::path folder = ProgramFolder();
  if (!folder.is_absolute()) {
    return {};
  }
  return {(folder.parent_path() / "lib" / "corvex" / "packages" / name).string(),
          (folder.parent_path() / name).string()};
}

std::string OutputName(const std::string& output) {
  return output == "-" ? "standard output" : output;
}

MergeRunResult RunMergePipeline(const MergeOptions& options, MergeInputCheck& inputs,
                                const std::string& packagePath, VANTCaptureOutput& output,
                                const MergeProgressCallback& progress, double progressInterval,
                                const std::atomic<int>* cancel) {
  Pipeline pipeline(options, &inputs, nullptr, output, cancel);
  return pipeline.Run(packagePath, progress, progressInterval);
}

MergeRunResult RunLiveMergePipeline(const MergeOptions& options, MergeLiveInputs& inputs,
                                    const std::string& packagePath, VANTCaptureOutput& output,
                                    const MergeProgressCallback& progress, double progressInterval,
                                    const std::atomic<int>* cancel) {
  Pipeline pipeline(options, nullptr, &inputs, output, cancel);
  return pipeline.Run(packagePath, progress, progressInterval);
}

} // namespace VANT
