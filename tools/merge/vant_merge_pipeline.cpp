#include "tools/merge/vant_merge_pipeline.h"

#include "component/vant_mux_texts.h"
#include "dataflow/vant_input.h"
#include "dataflow/vant_output.h"
#include "host/components/vant_pcap_capture_file.h"
#include "host/components/vant_pcap_file_player.h"
#include "host/components/vant_pcap_file_recorder.h"
#include "host/components/vant_pcap_live_capture.h"
#include "host/components/vant_pcap_stream_models.h"
#include "host/host.h"
#include "host/host_clock.h"
#include "host/host_threads.h"
#include "package/vant_module_management.h"
#include "runtime/vant_module.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sys/stat.h>
#include <thread>
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
// How long the threads of stopped components may take to be gone.
constexpr int64_t kThreadEndLimitUs = 2000000;
// The least a live capture may queue while its packets wait for their turn.
constexpr size_t kLiveQueueBytes = size_t{64} << 20;

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

/// Everything the merge made, and what it learnt from the reports. It merges files (`files`) or
/// the interfaces of a live merge (`live`).
class Pipeline {
public:
  Pipeline(const MergeOptions& options, MergeInputCheck* files, MergeLiveInputs* live,
           VANTCaptureOutput& output, const std::atomic<int>* cancel)
      : m_options(options), m_files(files), m_live(live), m_output(output), m_cancel(cancel) {}

  MergeRunResult Run(const std::string& packagePath, const MergeProgressCallback& progress,
                     double progressInterval);

private:
  bool Build(const std::string& packagePath);
  /// The file players, or the live captures and their group.
  bool BuildSources();
  /// Ends every live capture (once): what was captured up to now is still written.
  void EndCaptures();
  /// The summary's lines of the inputs and what the output must hold.
  uint64_t SummariseInputs(MergeSummary& summary);
  bool SetInteger(const std::string& property, int64_t value);
  bool Connect(const std::string& output, const std::string& input);
  bool StartAll();
  void StopAll();
  /// Reads the reports received so far.
  void DrainReports();
  /// The first reason of failure, or empty while everything runs.
  std::string CheckFailure();
  bool MultiplexerDead();
  MergeProgress Progress(Clock::time_point start) const;
  /// Grows whenever a packet moves or a component finishes.
  uint64_t Movement() const;
  void Fail(const std::string& error) { m_result.errors.push_back(error); }

  const MergeOptions& m_options;
  MergeInputCheck* m_files;
  MergeLiveInputs* m_live;
  VANTCaptureOutput& m_output;
  const std::atomic<int>* m_cancel;
  Host* m_host = nullptr;
  std::unique_ptr<VANTPcapPlayerGroup> m_group; // outlives the players' runs (stopped in Run)
  std::vector<vant_pcap_file_player*> m_players;
  // Outlives the captures' and the recorder's runs (stopped in Run).
  std::unique_ptr<VANTLiveCaptureGroup> m_liveGroup;
  std::vector<vant_pcap_live_capture*> m_captures;
  bool m_capturesEnded = false;
  VANTModule* m_multiplexer = nullptr;
  vant_pcap_file_recorder* m_recorder = nullptr;
  std::vector<std::string> m_multiplexerErrors;
  size_t m_wrongOrderReports = 0;
  MergeRunResult m_result;
};

bool Pipeline::SetInteger(const std::string& property, int64_t value) {
  const std::string name = std::string(kMultiplexer) + "." + property;
  VANTProperty* handle = m_host->FindProperty(name.c_str());
  if (handle == nullptr) {
    Fail("the package's " + std::string(kMultiplexerModel) + " has no property " + property);
    return false;
  }
  handle->SetInteger(value);
  int64_t read = value - 1;
  handle->GetInteger(read);
  if (read != value) {
    Fail("the multiplexer refused " + property + " = " + std::to_string(value));
    return false;
  }
  return true;
}

bool Pipeline::Connect(const std::string& output, const std::string& input) {
  if (!m_host->Connect(output.c_str(), input.c_str())) {
    Fail("cannot connect " + output + " to " + input);
    return false;
  }
  return true;
}

bool Pipeline::Build(const std::string& packagePath) {
  // The engine stand-in outlives everything it initialised: the package keeps its kernel pointer
  // until the process ends, so it is never deleted.
  m_host = new Host();
  // This program's own copy of the runtime (players and recorder) and the package's copy are
  // initialised with the same host.
  if (VANTModuleRegistry::Initialise(m_host, VANTModuleRegistry::kInterfaceVersion) !=
      VANTModuleRegistry::kInterfaceLevel) {
    Fail("the runtime of this program refused the engine");
    return false;
  }
  std::string error;
  if (!m_host->AddModels(&PcapStreamModels, &error)) {
    Fail("cannot add the file player and recorder: " + error);
    return false;
  }
  if (!m_host->LoadPackage(packagePath, &error)) {
    Fail(packagePath + ": cannot load the package: " + error);
    return false;
  }
  if (m_host->Model(kMultiplexerModel) == nullptr) {
    Fail(packagePath + ": the package has no " + std::string(kMultiplexerModel) + " model");
    return false;
  }

  if (!BuildSources()) {
    return false;
  }
  const size_t count = m_live != nullptr ? m_captures.size() : m_players.size();
  const char* const prefix = m_live != nullptr ? "capture_" : "player_";
  m_multiplexer = m_host->CreateComponent(kMultiplexerModel, kMultiplexer);
  if (m_multiplexer == nullptr) {
    Fail("cannot create the " + std::string(kMultiplexerModel) + " of " + packagePath);
    return false;
  }
  m_recorder = dynamic_cast<vant_pcap_file_recorder*>(
      m_host->CreateComponent(kPcapFileRecorderModel, kRecorder));
  if (m_recorder == nullptr) {
    Fail("cannot create the file recorder");
    return false;
  }
  if (m_live != nullptr) {
    // Each element goes to the system as it comes; the group learns what was written.
    m_recorder->ConfigureDescriptor(m_output.Descriptor(), OutputName(m_options.output),
                                    m_live->linkType, m_live->snapLength);
    m_recorder->SetFlushEachElement(true);
    m_recorder->SetPacketLimit(m_options.packetLimit);
    m_recorder->SetWriteListener(m_liveGroup.get());
  } else {
    m_recorder->ConfigureDescriptor(m_output.Descriptor(), OutputName(m_options.output),
                                    m_files->linkType, m_files->snapLength);
    m_recorder->SetFlushEachElement(m_options.pace > 0);
  }

  // nb_inputs first: it makes the input pairs.
  if (!SetInteger("nb_inputs", static_cast<int64_t>(count)) ||
      !SetInteger("buffer_packet_count", m_options.bufferPacketCount) ||
      !SetInteger("vector_max_size", m_options.vectorMaxSize) ||
      !SetInteger("vector_max_latency", m_options.vectorMaxLatency) ||
      !SetInteger("flush_delay", m_options.flushDelay)) {
    return false;
  }
  for (size_t i = 0; i < count; ++i) {
    const std::string source = ModuleName(prefix, i);
    const std::string index = std::to_string(i);
    if (!Connect(source + ".output", std::string(kMultiplexer) + ".input_" + index) ||
        !Connect(source + ".end_of_file", std::string(kMultiplexer) + ".iEndOfFile_" + index)) {
      return false;
    }
  }
  // With every input connected the multiplexer learns the stream type and types its output.
  m_host->RunDynamic(m_multiplexer);
  return Connect(std::string(kMultiplexer) + ".output", std::string(kRecorder) + ".input") &&
         Connect(std::string(kMultiplexer) + ".end_of_file",
                 std::string(kRecorder) + ".end_of_file");
}

bool Pipeline::BuildSources() {
  if (m_live != nullptr) {
    const size_t count = m_live->sources.size();
    m_liveGroup = std::make_unique<VANTLiveCaptureGroup>(count, m_options.delayBound);
    const size_t queueBytes =
        std::max(kLiveQueueBytes, static_cast<size_t>(m_options.kernelBufferMiB) << 21);
    for (size_t i = 0; i < count; ++i) {
      const std::string name = ModuleName("capture_", i);
      auto* capture = dynamic_cast<vant_pcap_live_capture*>(
          m_host->CreateComponent(kPcapLiveCaptureModel, name.c_str()));
      if (capture == nullptr) {
        Fail("cannot create the capture of " + m_live->names[i]);
        return false;
      }
      capture->Configure(std::move(m_live->sources[i]),
                         static_cast<int32_t>(m_options.packetsPerElement));
      capture->SetGroup(m_liveGroup.get(), i);
      capture->SetQueueLimit(queueBytes);
      m_captures.push_back(capture);
    }
    return true;
  }
  const size_t count = m_files->inputs.size();
  m_group = std::make_unique<VANTPcapPlayerGroup>(count);
  for (size_t i = 0; i < count; ++i) {
    const std::string name = ModuleName("player_", i);
    auto* player = dynamic_cast<vant_pcap_file_player*>(
        m_host->CreateComponent(kPcapFilePlayerModel, name.c_str()));
    if (player == nullptr) {
      Fail("cannot create the file player for " + m_files->inputs[i].path);
      return false;
    }
    // The input was opened by the check: a pipe can be read only once.
    player->Configure(std::move(m_files->inputs[i].reader),
                      static_cast<int32_t>(m_options.packetsPerElement));
    player->SetGroup(m_group.get(), i);
    m_players.push_back(player);
    if (count > kMostInputsWithFullFifos) {
      // Many players: fewer elements each, to keep their packet buffers within memory.
      if (VANTProperty* fifo = m_host->FindProperty((name + ".output.fifosize").c_str())) {
        fifo->SetInteger(kShortPlayerFifo);
      }
    }
  }
  return true;
}

bool Pipeline::StartAll() {
  if (m_options.pace > 0) {
    // Every player counts from the earliest packet of all inputs, a little ahead of now.
    int64_t origin = INT64_MAX;
    for (const MergeInputInfo& input : m_files->inputs) {
      if (input.hasPacket) {
        origin = std::min(origin, input.firstTimestamp);
      }
    }
    const double speed = std::clamp(m_options.pace * 1000.0, 1.0, static_cast<double>(INT32_MAX));
    m_host->Clock().SetSpeed(static_cast<int32_t>(std::lround(speed)));
    const int64_t engineOrigin = m_host->CurrentTime(true, true) + 10000;
    for (vant_pcap_file_player* player : m_players) {
      player->SetPacing(origin == INT64_MAX ? 0 : origin, engineOrigin);
    }
  }
  // The recorder first, then the players, the multiplexer last. The players keep in step
  // through their group: none sends anything before every one of them has read its first
  // packet, and none runs ahead of one that is late.
  if (!m_host->StartComponent(m_recorder)) {
    Fail(m_recorder->Failed() ? m_recorder->FailureText() : "the file recorder did not start");
    return false;
  }
  for (vant_pcap_file_player* player : m_players) {
    if (!m_host->StartComponent(player)) {
      Fail(player->Failed() ? player->FailureText()
                            : "the file player of " + player->Path() + " did not start");
      return false;
    }
  }
  // The captures likewise: none publishes before every one of them has told its group where
  // it stands.
  for (vant_pcap_live_capture* capture : m_captures) {
    if (!m_host->StartComponent(capture)) {
      Fail(capture->Failed() ? capture->FailureText()
                             : "the capture of " + capture->Interface() + " did not start");
      return false;
    }
  }
  if (!m_host->StartComponent(m_multiplexer)) {
    Fail("the multiplexer did not start");
    return false;
  }
  return true;
}

void Pipeline::StopAll() {
  if (m_host == nullptr) {
    return;
  }
  // The multiplexer first: it reads the players' buffers.
  if (m_multiplexer != nullptr) {
    m_host->StopComponent(m_multiplexer);
  }
  for (vant_pcap_file_player* player : m_players) {
    m_host->StopComponent(player);
  }
  for (vant_pcap_live_capture* capture : m_captures) {
    m_host->StopComponent(capture);
  }
  if (m_recorder != nullptr) {
    m_host->StopComponent(m_recorder);
  }
}

void Pipeline::DrainReports() {
  for (HostReport& report : m_host->TakeReports()) {
    const std::string& text = report.text;
    if (Contains(text, MuxText::kWrongOrderCount)) {
      continue; // the summary tells the order, from what was written
    }
    if (Contains(text, MuxText::kWrongOrderHead) && Contains(text, MuxText::kWrongOrderTail)) {
      if (m_wrongOrderReports++ < kWrongOrderShown) {
        m_result.warnings.push_back(text);
      }
      continue;
    }
    if (report.level < 1) {
      continue; // life-cycle news: started, flushing, dead
    }
    if (Contains(text, " died due to an error")) {
      continue; // the component is in error: its failure is told through CheckFailure
    }
    const bool fromMultiplexer = Contains(text, (std::string(" ") + kMultiplexer + ":").c_str());
    if (report.level >= 2 && fromMultiplexer) {
      m_multiplexerErrors.push_back(text);
    }
    // A failing player or recorder is reported once, through its own failure text.
    bool known = false;
    for (vant_pcap_file_player* player : m_players) {
      known = known || (player->Failed() && Contains(text, player->FailureText().c_str()));
    }
    for (vant_pcap_live_capture* capture : m_captures) {
      known = known || (capture->Failed() && Contains(text, capture->FailureText().c_str()));
    }
    if (m_recorder != nullptr && m_recorder->Failed()) {
      known = known || Contains(text, m_recorder->FailureText().c_str());
    }
    if (!known) {
      m_result.warnings.push_back(text);
    }
  }
}

bool Pipeline::MultiplexerDead() {
  uint32_t word = 0;
  const bool announced = m_host->States().Get(kMultiplexer, word);
  return (announced && (word & VANTModule::kDead) != 0) ||
         (m_multiplexer->State() & VANTModule::kDead) != 0;
}

std::string Pipeline::CheckFailure() {
  for (vant_pcap_file_player* player : m_players) {
    if (player->Failed()) {
      return player->FailureText();
    }
    if ((player->State() & VANTModule::kError) != 0) {
      return player->Path() + ": the file player failed: " + player->ErrorText().Text();
    }
  }
  for (vant_pcap_live_capture* capture : m_captures) {
    if (capture->Failed()) {
      return capture->Interface() + ": " + capture->FailureText();
    }
    if ((capture->State() & VANTModule::kError) != 0) {
      return capture->Interface() + ": the capture failed: " + capture->ErrorText().Text();
    }
  }
  if (m_recorder->Failed()) {
    return m_recorder->FailureText();
  }
  if ((m_recorder->State() & VANTModule::kError) != 0) {
    return OutputName(m_options.output) +
           ": the file recorder failed: " + m_recorder->ErrorText().Text();
  }
  uint32_t word = 0;
  if ((m_host->States().Get(kMultiplexer, word) && (word & VANTModule::kError) != 0) ||
      (m_multiplexer->State() & VANTModule::kError) != 0) {
    std::string reason =
        m_multiplexerErrors.empty() ? std::string("no reason given") : m_multiplexerErrors.front();
    return "the merge failed in the multiplexer: " + reason;
  }
  return {};
}

uint64_t Pipeline::Movement() const {
  uint64_t moved = m_recorder->PacketsWritten() + (m_recorder->Finished() ? 1 : 0);
  for (const vant_pcap_file_player* player : m_players) {
    moved += player->PacketsSent() + (player->Finished() ? 1 : 0);
  }
  for (const vant_pcap_live_capture* capture : m_captures) {
    moved += capture->PacketsSent() + (capture->Finished() ? 1 : 0);
  }
  return moved;
}

void Pipeline::EndCaptures() {
  if (m_capturesEnded) {
    return;
  }
  m_capturesEnded = true;
  for (vant_pcap_live_capture* capture : m_captures) {
    capture->EndCapture();
  }
}

uint64_t Pipeline::SummariseInputs(MergeSummary& summary) {
  uint64_t packetsIn = 0;
  for (const vant_pcap_file_player* player : m_players) {
    MergeStreamCount input;
    input.name = player->Path() == "-" ? "standard input" : player->Path();
    input.packets = player->PacketsSent();
    input.bytes = player->BytesSent();
    input.reordered = player->PacketsReordered();
    input.truncated = player->TimestampsTruncated();
    input.finer = player->FinerThanMicroseconds();
    summary.inputs.push_back(std::move(input));
    packetsIn += player->PacketsSent();
  }
  if (m_live == nullptr) {
    return packetsIn;
  }
  // A live merge: each interface's line counts what was written of it.
  summary.live = true;
  summary.delayBound = m_options.delayBound;
  for (size_t i = 0; i < m_captures.size(); ++i) {
    const vant_pcap_live_capture* capture = m_captures[i];
    const VANTLiveCaptureGroup::Written written = m_liveGroup->WrittenOf(i);
    MergeStreamCount input;
    input.name = capture->Interface();
    input.packets = written.packets;
    input.bytes = written.bytes;
    summary.inputs.push_back(std::move(input));
    MergeInterfaceCount counts;
    counts.captured = capture->PacketsCaptured();
    counts.kernelDrops = capture->KernelDrops();
    counts.interfaceDrops = capture->InterfaceDrops();
    counts.queueDrops = capture->QueueDrops();
    counts.late = capture->PacketsLate();
    counts.latencyMedian = written.latency.Quantile(0.5);
    counts.latencyP99 = written.latency.Quantile(0.99);
    counts.latencyMax = written.latency.Max();
    summary.interfaces.push_back(counts);
    packetsIn += capture->PacketsSent();
  }
  // With a packet limit the recorder passes over what comes after it.
  return m_options.packetLimit != 0 ? std::min<uint64_t>(packetsIn, m_options.packetLimit)
                                    : packetsIn;
}

MergeProgress Pipeline::Progress(Clock::time_point start) const {
  MergeProgress progress;
  progress.packets = m_recorder->PacketsWritten();
  progress.bytes = m_recorder->BytesWritten();
  progress.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  progress.inputTotal = m_files != nullptr && m_files->sizeKnown ? m_files->totalSize : 0;
  for (const vant_pcap_file_player* player : m_players) {
    progress.inputRead += player->FileBytesRead();
  }
  return progress;
}

MergeRunResult Pipeline::Run(const std::string& packagePath, const MergeProgressCallback& progress,
                             double progressInterval) {
  const Clock::time_point start = Clock::now();
  bool ok = Build(packagePath);
  // The threads the components start come on top of these; all of them are gone again before
  // the result is handed back, so that the program never exits under a thread still ending.
  const size_t threadsBefore = HostThreads::ProcessThreadCount();
  ok = ok && StartAll();
  std::string failure;
  if (ok) {
    const auto interval = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(std::max(progressInterval, 0.01)));
    Clock::time_point nextProgress = start + interval;
    Clock::time_point endSeen{};
    uint64_t lastMovement = Movement();
    Clock::time_point lastMove = Clock::now();
    // Once the inputs have ended the multiplexer keeps what it holds for the flush delay (engine
    // time, which runs at real speed here): standing still that long is what was asked for.
    const auto stallLimit = kStallLimit + std::chrono::microseconds(std::clamp<int64_t>(
                                              m_options.flushDelay, 0, kLargestFlushDelayUs));
    for (;;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      DrainReports();
      failure = CheckFailure();
      const int signal = m_cancel != nullptr ? m_cancel->load(std::memory_order_relaxed) : 0;
      if (m_live != nullptr && signal == SIGINT) {
        EndCaptures(); // Ctrl-C is the normal end of a live merge
      } else if (signal != 0) {
        failure = "interrupted";
      }
      if (m_live != nullptr &&
          ((m_options.packetLimit != 0 && m_recorder->LimitReached()) ||
           (m_options.duration != 0 &&
            Clock::now() - start >= std::chrono::microseconds(m_options.duration)))) {
        EndCaptures();
      }
      if (!failure.empty()) {
        break;
      }
      const bool recorded = m_recorder->Finished();
      const bool multiplexed = MultiplexerDead();
      if (recorded && multiplexed) {
        break;
      }
      if (recorded || multiplexed) {
        const Clock::time_point now = Clock::now();
        if (endSeen == Clock::time_point{}) {
          endSeen = now;
        } else if (now - endSeen > kEndGrace) {
          if (!recorded) {
            failure = "the multiplexer ended its run before the output was complete";
            break;
          }
          // Everything was recorded; the multiplexer is stopped below like the others.
          m_result.warnings.push_back("the multiplexer did not end its run by itself");
          break;
        }
      }
      // A merge that plays files as fast as it can always moves; one that stands still has hung.
      const uint64_t moved = Movement();
      if (moved != lastMovement) {
        lastMovement = moved;
        lastMove = Clock::now();
      } else if (m_options.pace <= 0 && m_files != nullptr && m_files->sizeKnown &&
                 Clock::now() - lastMove > stallLimit) {
        failure =
            "the merge stopped moving for " +
            std::to_string(std::chrono::duration_cast<std::chrono::seconds>(stallLimit).count()) +
            " s (" + std::to_string(m_recorder->PacketsWritten()) + " packets written)";
        break;
      }
      if (progress && Clock::now() >= nextProgress) {
        progress(Progress(start));
        nextProgress = Clock::now() + interval;
      }
    }
  }
  // What the stop of a failed merge reports (the players' deaths, the packets the multiplexer
  // still held) follows from the failure: only the failure itself is shown.
  const size_t warningsBeforeStop = m_result.warnings.size();
  StopAll();
  if (m_host != nullptr) {
    DrainReports();
  }
  HostThreads::WaitForProcessThreads(threadsBefore, kThreadEndLimitUs);
  if (!failure.empty() || !ok) {
    m_result.warnings.resize(warningsBeforeStop);
  }
  if (ok && failure.empty()) {
    failure = CheckFailure();
  }
  if (!failure.empty()) {
    Fail(failure);
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
    summary.output.packets = m_recorder->PacketsWritten();
    summary.output.bytes = m_recorder->BytesWritten();
    const VANTCaptureOrder order = m_recorder->Order();
    summary.order = {
        order.first,           order.last,         order.backwards,        order.outOfPlace,
        order.largestStepBack, order.largestDelay, order.delayBeyondWindow};
  }
  if (m_host != nullptr) {
    for (vant_pcap_file_player* player : m_players) {
      summary.overruns += m_host->OverrunCount(player->Output("output"));
      summary.overruns += m_host->OverrunCount(player->Output("end_of_file"));
    }
    for (vant_pcap_live_capture* capture : m_captures) {
      summary.overruns += m_host->OverrunCount(capture->Output("output"));
      summary.overruns += m_host->OverrunCount(capture->Output("end_of_file"));
    }
    // The multiplexer's outputs, found by name (its objects belong to the package's runtime).
    for (const char* output : {".output", ".end_of_file"}) {
      const std::string name = std::string(kMultiplexer) + output;
      m_host->Symbols().Lock();
      VANTSymbolRecord* record = m_host->Symbols().Find(name.c_str());
      VANTOutput* found = record != nullptr && record->kind == VANTSymbolRecord::kOutput
                              ? static_cast<VANTOutput*>(record->object)
                              : nullptr;
      m_host->Symbols().Unlock();
      if (found != nullptr) {
        summary.overruns += m_host->OverrunCount(found);
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
