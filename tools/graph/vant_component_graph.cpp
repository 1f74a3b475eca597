#include "tools/graph/vant_component_graph.h"

#include "dataflow/vant_input.h"
#include "dataflow/vant_output.h"
#include "host/components/vant_pcap_file_recorder.h"
#include "host/components/vant_pcap_live_capture.h"
#include "host/components/vant_pcap_stream_models.h"
#include "host/host.h"
#include "host/host_clock.h"
#include "host/host_threads.h"
#include "package/vant_module_management.h"
#include "runtime/vant_module.h"
#include "runtime/vant_property.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <csignal>
#include <sstream>
#include <thread>

namespace VANT {
namespace {

using Clock = std::chrono::steady_clock;

// How often a run looks at its components.
constexpr auto kWatchPeriod = std::chrono::milliseconds(5);
// How long the threads of stopped components may take to be gone.
constexpr int64_t kThreadEndLimitUs = 2000000;

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

GraphRole RoleOf(const std::string& model) {
  if (model == kPcapFilePlayerModel) {
    return GraphRole::kPlayer;
  }
  if (model == kPcapFileRecorderModel) {
    return GraphRole::kRecorder;
  }
  return model == kPcapLiveCaptureModel ? GraphRole::kCapture : GraphRole::kOther;
}

} // namespace

bool GraphPart::Failed() const {
  return (player != nullptr && player->Failed()) || (recorder != nullptr && recorder->Failed()) ||
         (capture != nullptr && capture->Failed());
}

std::string GraphPart::FailureText() const {
  if (player != nullptr && player->Failed()) {
    return player->FailureText();
  }
  if (recorder != nullptr && recorder->Failed()) {
    return recorder->FailureText();
  }
  if (capture != nullptr && capture->Failed()) {
    return capture->Interface() + ": " + capture->FailureText();
  }
  return {};
}

bool GraphPart::Finished() const {
  return (player != nullptr && player->Finished()) ||
         (recorder != nullptr && recorder->Finished()) ||
         (capture != nullptr && capture->Finished());
}

bool GraphRunPolicy::TakeReport(const HostReport& /*report*/) {
  return false;
}

std::string GraphRunPolicy::FailureOf(const GraphPart& part) {
  return part.FailureText();
}

std::string GraphRunPolicy::ErrorOf(const GraphPart& part) {
  return part.name + " (" + part.model + ") ended in error: " + part.module->ErrorText().Text();
}

std::string GraphRunPolicy::NotStarted(const GraphPart& part, const std::string& reason) {
  return part.name + " did not start" + (reason.empty() ? "" : ": " + reason);
}

ComponentGraph::ComponentGraph() = default;

ComponentGraph::~ComponentGraph() = default;

bool ComponentGraph::Open(std::string& error) {
  // The engine stand-in outlives everything it initialised: a package keeps its kernel pointer
  // until the process ends, so it is never deleted. This program's own copy of the runtime (the
  // host's models) and each package's copy are initialised with the same host.
  m_host = new Host();
  if (VANTModuleRegistry::Initialise(m_host, VANTModuleRegistry::kInterfaceVersion) !=
      VANTModuleRegistry::kInterfaceLevel) {
    error = "the runtime of this program refused the engine";
    return false;
  }
  std::string reason;
  if (!m_host->AddModels(&PcapStreamModels, &reason)) {
    error = "cannot add the host's models: " + reason;
    return false;
  }
  return true;
}

bool ComponentGraph::LoadPackage(const std::string& path, std::string& error) {
  const bool loaded = m_host->LoadPackage(path, &error);
  m_host->TakeReports(); // what loading told is in `error`
  return loaded;
}

GraphPart* ComponentGraph::Add(const std::string& model, const std::string& name,
                               std::string& error) {
  if (m_host->Model(model.c_str()) == nullptr) {
    std::string known;
    for (VANTComponentModelDefinition* definition : m_host->Models()) {
      known += std::string(known.empty() ? "" : ", ") + definition->modelName;
    }
    error = "unknown model " + model + " (the loaded models: " + known + ")";
    return nullptr;
  }
  GraphPart part;
  part.name = name;
  part.model = model;
  part.role = RoleOf(model);
  part.module = m_host->CreateComponent(model.c_str(), name.c_str());
  if (part.module == nullptr) {
    error = "cannot create " + name + ": " + TakeErrorReports();
    return nullptr;
  }
  part.player = dynamic_cast<vant_pcap_file_player*>(part.module);
  part.recorder = dynamic_cast<vant_pcap_file_recorder*>(part.module);
  part.capture = dynamic_cast<vant_pcap_live_capture*>(part.module);
  m_parts.push_back(std::move(part));
  return &m_parts.back();
}

GraphPart* ComponentGraph::Find(const std::string& name) {
  for (GraphPart& part : m_parts) {
    if (part.name == name) {
      return &part;
    }
  }
  return nullptr;
}

const GraphPart* ComponentGraph::SourceOf(const GraphPart& part, const std::string& input) const {
  for (const Connection& connection : m_connections) {
    if (connection.input == part.name + "." + input) {
      return &m_parts[connection.from];
    }
  }
  return nullptr;
}

bool ComponentGraph::HasCaptures() const {
  return std::any_of(m_parts.begin(), m_parts.end(),
                     [](const GraphPart& part) { return part.capture != nullptr; });
}

namespace {

void* FindElement(Host& host, const std::string& fullName, VANTSymbolRecord::Kind kind) {
  host.Symbols().Lock();
  VANTSymbolRecord* record = host.Symbols().Find(fullName.c_str());
  void* found = record != nullptr && record->kind == kind ? record->object : nullptr;
  host.Symbols().Unlock();
  return found;
}

} // namespace

VANTOutput* ComponentGraph::OutputNamed(const std::string& fullName) {
  return static_cast<VANTOutput*>(FindElement(*m_host, fullName, VANTSymbolRecord::kOutput));
}

VANTInput* ComponentGraph::InputNamed(const std::string& fullName) {
  return static_cast<VANTInput*>(FindElement(*m_host, fullName, VANTSymbolRecord::kInput));
}

bool ComponentGraph::SetInteger(const std::string& fullName, int64_t value) {
  VANTProperty* property = m_host->FindProperty(fullName.c_str());
  if (property == nullptr) {
    return false;
  }
  try {
    property->SetInteger(value);
  } catch (...) {
    // a refused value is seen when it is read back
  }
  int64_t read = value - 1;
  property->GetInteger(read);
  return read == value;
}

bool ComponentGraph::Connect(const std::string& output, const std::string& input,
                             std::string& reason) {
  VANTOutput* from = OutputNamed(output);
  VANTInput* to = InputNamed(input);
  if (from == nullptr || to == nullptr) {
    reason = "no " + (from == nullptr ? "output " + output : "input " + input);
    return false;
  }
  if (!m_host->Connect(from, to)) {
    reason = TakeErrorReports();
    const std::string prefix = "Host: ";
    if (reason.compare(0, prefix.size(), prefix) == 0) {
      reason.erase(0, prefix.size());
    }
    return false;
  }
  const auto indexOf = [this](const std::string& fullName) {
    const std::string component = fullName.substr(0, fullName.find('.'));
    for (size_t i = 0; i < m_parts.size(); ++i) {
      if (m_parts[i].name == component) {
        return i;
      }
    }
    return m_parts.size();
  };
  const size_t fromIndex = indexOf(output);
  const size_t toIndex = indexOf(input);
  if (fromIndex < m_parts.size() && toIndex < m_parts.size()) {
    m_connections.push_back({fromIndex, toIndex, output, input});
    GraphPart& reader = m_parts[toIndex];
    if (reader.recorder != nullptr && input == reader.name + ".end_of_file") {
      reader.endOfFileConnected = true;
    }
  }
  return true;
}

std::string ComponentGraph::TakeErrorReports() {
  std::string text;
  for (const HostReport& report : m_host->TakeReports()) {
    if (report.level >= 2) {
      text += (text.empty() ? "" : "; ") + report.text;
    }
  }
  return text;
}

void ComponentGraph::RunDynamic(GraphPart& part) {
  m_host->RunDynamic(part.module);
}

std::vector<GraphCaptureMerge> ComponentGraph::JoinGroups(int64_t captureDelayBound) {
  std::vector<vant_pcap_file_player*> players;
  for (GraphPart& part : m_parts) {
    if (part.player != nullptr) {
      players.push_back(part.player);
    }
  }
  m_playerGroup = std::make_unique<VANTPcapPlayerGroup>(players.size());
  for (size_t member = 0; member < players.size(); ++member) {
    players[member]->SetGroup(m_playerGroup.get(), member);
  }
  // The component each capture's packets go to, and the recorder that writes that component's
  // output.
  const auto fedBy = [this](const GraphPart& from, const std::string& output) -> GraphPart* {
    for (const Connection& connection : m_connections) {
      if (connection.output == from.name + output) {
        return &m_parts[connection.to];
      }
    }
    return nullptr;
  };
  std::vector<GraphCaptureMerge> merges;
  for (size_t i = 0; i < m_parts.size(); ++i) {
    GraphPart* merger = m_parts[i].capture != nullptr ? fedBy(m_parts[i], ".output") : nullptr;
    if (merger == nullptr || merger->role != GraphRole::kOther) {
      continue; // captured into a recorder directly, or not at all: nobody to take turns with
    }
    GraphPart* recorder = fedBy(*merger, ".output");
    if (recorder == nullptr || recorder->recorder == nullptr) {
      continue; // no recorder can tell what was written: the component orders on its own
    }
    auto same = std::find_if(merges.begin(), merges.end(),
                             [&](const GraphCaptureMerge& m) { return m.merger == merger; });
    if (same == merges.end()) {
      GraphCaptureMerge merge;
      merge.merger = merger;
      merge.recorder = recorder;
      same = merges.insert(merges.end(), std::move(merge));
    }
    same->captures.push_back(&m_parts[i]);
  }
  for (GraphCaptureMerge& merge : merges) {
    m_captureGroups.push_back(
        std::make_unique<VANTLiveCaptureGroup>(merge.captures.size(), captureDelayBound));
    merge.group = m_captureGroups.back().get();
    for (size_t member = 0; member < merge.captures.size(); ++member) {
      merge.captures[member]->capture->SetGroup(merge.group, member);
    }
    merge.recorder->recorder->SetWriteListener(merge.group);
  }
  return merges;
}

void ComponentGraph::SetPacing(double speed, int64_t firstTimestamp) {
  const double perMille = std::clamp(speed * 1000.0, 1.0, double{INT32_MAX});
  m_host->Clock().SetSpeed(static_cast<int32_t>(std::lround(perMille)));
  // Every player counts from the earliest packet of all inputs, a little ahead of now.
  const int64_t engineOrigin = m_host->CurrentTime(true, true) + 10000;
  for (GraphPart& part : m_parts) {
    if (part.player != nullptr) {
      part.player->SetPacing(firstTimestamp == INT64_MAX ? 0 : firstTimestamp, engineOrigin);
    }
  }
}

void ComponentGraph::EndCaptures() {
  if (m_capturesEnded) {
    return;
  }
  m_capturesEnded = true;
  for (GraphPart& part : m_parts) {
    if (part.capture != nullptr) {
      part.capture->EndCapture();
    }
  }
}

bool ComponentGraph::Ended(const GraphPart& part) {
  if (part.role != GraphRole::kOther) {
    return part.Finished();
  }
  uint32_t word = 0;
  const bool announced = m_host->States().Get(part.name, word);
  return (announced && (word & VANTModule::kDead) != 0) ||
         (part.module->State() & VANTModule::kDead) != 0;
}

bool ComponentGraph::RecordersFinished(bool onlyWithEndOfFile) const {
  return std::all_of(m_parts.begin(), m_parts.end(), [&](const GraphPart& part) {
    return part.recorder == nullptr || (onlyWithEndOfFile && !part.endOfFileConnected) ||
           part.recorder->Finished();
  });
}

uint64_t ComponentGraph::Movement() const {
  uint64_t moved = 0;
  for (const GraphPart& part : m_parts) {
    moved += part.Finished() ? 1 : 0;
    if (part.recorder != nullptr) {
      moved += part.recorder->PacketsWritten();
    }
    if (part.player != nullptr) {
      moved += part.player->PacketsSent();
    }
    if (part.capture != nullptr) {
      moved += part.capture->PacketsSent();
    }
  }
  return moved;
}

GraphProgress ComponentGraph::Progress(Clock::time_point start) const {
  GraphProgress progress;
  for (const GraphPart& part : m_parts) {
    if (part.recorder != nullptr) {
      progress.packets += part.recorder->PacketsWritten();
      progress.bytes += part.recorder->BytesWritten();
    }
    if (part.player != nullptr) {
      progress.inputRead += part.player->FileBytesRead();
    }
  }
  progress.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  progress.inputTotal = m_inputTotal;
  return progress;
}

uint64_t ComponentGraph::OverrunCount(VANTOutput* output) {
  return m_host->OverrunCount(output);
}

bool ComponentGraph::Statistic(const GraphPart& part, const char* name, std::string& value) {
  VANTProperty* property = m_host->FindProperty((part.name + "." + name).c_str());
  if (property == nullptr) {
    return false;
  }
  std::ostringstream text;
  if (property->Kind() == VANTPropertyFloat) {
    double real = 0;
    property->GetFloat(real);
    text << real;
  } else {
    int64_t integer = 0;
    property->GetInteger(integer);
    text << integer;
  }
  value = text.str();
  return true;
}

std::vector<size_t> ComponentGraph::FlowOrder(size_t count,
                                              const std::vector<std::pair<size_t, size_t>>& feeds) {
  // Kahn's order over the connections; what is left in a loop keeps its order.
  std::vector<size_t> incoming(count, 0);
  std::vector<std::vector<size_t>> next(count);
  for (const auto& [from, to] : feeds) {
    if (from < count && to < count && from != to) {
      next[from].push_back(to);
      ++incoming[to];
    }
  }
  std::vector<size_t> order;
  std::vector<bool> placed(count, false);
  const auto place = [&](size_t i) {
    placed[i] = true;
    order.push_back(i);
    for (const size_t fed : next[i]) {
      incoming[fed] = incoming[fed] > 0 ? incoming[fed] - 1 : 0;
    }
  };
  while (order.size() < count) {
    bool progress = false;
    for (size_t i = 0; i < count; ++i) {
      if (!placed[i] && incoming[i] == 0) {
        place(i);
        progress = true;
      }
    }
    if (!progress) {
      place(static_cast<size_t>(std::find(placed.begin(), placed.end(), false) - placed.begin()));
    }
  }
  return order;
}

std::vector<size_t> ComponentGraph::OrderOfConnections() const {
  std::vector<std::pair<size_t, size_t>> feeds;
  for (const Connection& connection : m_connections) {
    feeds.emplace_back(connection.from, connection.to);
  }
  return FlowOrder(m_parts.size(), feeds);
}

bool ComponentGraph::StartAll(GraphRunPolicy& policy, std::string& failure) {
  // The recorders first, then the players and captures: they keep in step through their groups
  // (none sends before every one is ready), then the others, each before those that feed it.
  std::vector<size_t> order;
  for (size_t i = 0; i < m_parts.size(); ++i) {
    if (m_parts[i].role == GraphRole::kRecorder) {
      order.push_back(i);
    }
  }
  for (size_t i = 0; i < m_parts.size(); ++i) {
    if (m_parts[i].role == GraphRole::kPlayer || m_parts[i].role == GraphRole::kCapture) {
      order.push_back(i);
    }
  }
  const std::vector<size_t> flow = OrderOfConnections();
  for (auto at = flow.rbegin(); at != flow.rend(); ++at) {
    if (m_parts[*at].role == GraphRole::kOther) {
      order.push_back(*at);
    }
  }
  for (const size_t i : order) {
    GraphPart& part = m_parts[i];
    if (!m_host->StartComponent(part.module)) {
      failure = policy.NotStarted(part, part.Failed() ? part.FailureText() : TakeErrorReports());
      return false;
    }
  }
  return true;
}

void ComponentGraph::StopAll() {
  // The readers of a buffer before its owner: the others in flow order, then the players and
  // captures, the recorders last.
  for (const size_t i : OrderOfConnections()) {
    if (m_parts[i].role == GraphRole::kOther) {
      m_host->StopComponent(m_parts[i].module);
    }
  }
  for (GraphPart& part : m_parts) {
    if (part.player != nullptr || part.capture != nullptr) {
      m_host->StopComponent(part.module);
    }
  }
  for (GraphPart& part : m_parts) {
    if (part.recorder != nullptr) {
      m_host->StopComponent(part.module);
    }
  }
}

void ComponentGraph::DrainReports(GraphRunPolicy& policy, std::vector<HostReport>& warnings) {
  for (const HostReport& report : m_host->TakeReports()) {
    if (policy.TakeReport(report) || report.level < 1) {
      continue; // the owner's, or life-cycle news: started, flushing, dead
    }
    if (Contains(report.text, " died due to an error")) {
      continue; // the component is in error: its failure is told through CheckFailure
    }
    // A failing host model is told once, through its own failure text.
    const bool known = std::any_of(m_parts.begin(), m_parts.end(), [&](const GraphPart& part) {
      if (!part.Failed()) {
        return false;
      }
      const std::string own =
          part.capture != nullptr ? part.capture->FailureText() : part.FailureText();
      return Contains(report.text, own);
    });
    if (!known) {
      warnings.push_back(report);
    }
  }
}

std::string ComponentGraph::CheckFailure(GraphRunPolicy& policy) {
  for (GraphPart& part : m_parts) {
    if (part.Failed()) {
      return policy.FailureOf(part);
    }
    uint32_t word = 0;
    if ((m_host->States().Get(part.name, word) && (word & VANTModule::kError) != 0) ||
        (part.module->State() & VANTModule::kError) != 0) {
      return policy.ErrorOf(part);
    }
  }
  return {};
}

GraphRunResult ComponentGraph::Run(GraphRunPolicy& policy,
                                   const std::function<void(const GraphProgress&)>& progress,
                                   double progressInterval, const std::atomic<int>* cancel,
                                   const std::function<void()>& beforeStop) {
  GraphRunResult result;
  std::vector<HostReport> reports; // worth showing
  const Clock::time_point start = Clock::now();
  // The threads the components start come on top of these; all of them are gone again before
  // the result is handed back, so that the program never exits under a thread still ending.
  const size_t threadsBefore = HostThreads::ProcessThreadCount();
  std::string failure;
  const bool started = StartAll(policy, failure);
  if (started) {
    const auto interval = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(std::max(progressInterval, 0.01)));
    Clock::time_point nextProgress = start + interval;
    // SIGINT is the normal end of a live capture; any other signal interrupts.
    const bool live = HasCaptures();
    for (;;) {
      std::this_thread::sleep_for(kWatchPeriod);
      DrainReports(policy, reports);
      failure = CheckFailure(policy);
      const int signal = cancel != nullptr ? cancel->load(std::memory_order_relaxed) : 0;
      if (failure.empty() && signal != 0 && !(signal == SIGINT && live)) {
        failure = "interrupted";
      }
      if (!failure.empty() ||
          policy.Watch(signal, Clock::now() - start, failure) == GraphRunPolicy::Step::kDone ||
          !failure.empty()) {
        break;
      }
      if (progress && Clock::now() >= nextProgress) {
        progress(Progress(start));
        nextProgress = Clock::now() + interval;
      }
    }
  }
  if (beforeStop) {
    beforeStop();
  }
  // What the stop of a failed run reports (the players' deaths, the packets a component still
  // held) follows from the failure: only the failure itself is shown.
  const size_t warningsBeforeStop = reports.size();
  StopAll();
  DrainReports(policy, reports);
  HostThreads::WaitForProcessThreads(threadsBefore, kThreadEndLimitUs);
  if (failure.empty()) {
    failure = CheckFailure(policy);
  }
  for (size_t i = 0; i < reports.size(); ++i) {
    // A failed run shows its failure, not the errors that led to it or the news of its stop.
    if (failure.empty() || (i < warningsBeforeStop && reports[i].level < 2)) {
      result.warnings.push_back(reports[i].text);
    }
  }
  if (!failure.empty()) {
    result.errors.push_back(failure);
  }
  result.ok = result.errors.empty();
  return result;
}

} // namespace VANT
