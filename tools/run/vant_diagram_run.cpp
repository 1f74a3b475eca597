#include "tools/run/vant_diagram_run.h"

#include "component/vant_mux_texts.h"
#include "dataflow/vant_input.h"
#include "dataflow/vant_output.h"
#include "host/components/vant_capture_output.h"
#include "host/components/vant_pcap_file_player.h"
#include "host/components/vant_pcap_file_recorder.h"
#include "host/components/vant_pcap_live_capture.h"
#include "host/components/vant_pcap_stream_models.h"
#include "host/host.h"
#include "runtime/vant_module.h"
#include "runtime/vant_property.h"
#include "tools/graph/vant_component_graph.h"
#include "tools/merge/vant_merge_inputs.h"
#include "tools/merge/vant_merge_live.h"
#include "tools/merge/vant_merge_options.h"
#include "tools/merge/vant_merge_pipeline.h"
#include "tools/merge/vant_tool_signals.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>

namespace VANT {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Kind = DiagramValue::Kind;

// How long recorders may take to finish their files once the end condition holds, or once the
// captures ended (after a duration or Ctrl-C).
constexpr auto kEndGrace = std::chrono::seconds(10);
// How long the other components may take to end their run once the recorders finished.
constexpr auto kSettleTime = std::chrono::milliseconds(250);
constexpr const char kEndOfFile[] = "end_of_file";

/// A property of a host model: its kind and, for integers, its range.
struct HostProperty {
  const char* name;
  Kind kind;
  int64_t low = 0;
  int64_t high = 0;
  bool required = false;
};

const std::vector<HostProperty>& HostProperties(GraphRole role) {
  static const std::vector<HostProperty> player = {
      {"file", Kind::kString, 0, 0, true}, {"packets_per_element", Kind::kInteger, 1, 65535}};
  static const std::vector<HostProperty> recorder = {{"file", Kind::kString, 0, 0, true},
                                                     {"link_type", Kind::kInteger, 0, 65535},
                                                     {"flush_each_element", Kind::kBoolean}};
  static const std::vector<HostProperty> capture = {
      {"interface", Kind::kString, 0, 0, true},
      {"packets_per_element", Kind::kInteger, 1, 65535},
      {"filter", Kind::kString},
      {"promiscuous", Kind::kBoolean}};
  static const std::vector<HostProperty> none;
  switch (role) {
  case GraphRole::kPlayer:
    return player;
  case GraphRole::kRecorder:
    return recorder;
  case GraphRole::kCapture:
    return capture;
  case GraphRole::kOther:
    break;
  }
  return none;
}

} // namespace

struct DiagramRun::State : GraphRunPolicy {
  struct Part {
    const DiagramComponent* declared = nullptr; // the component as the diagram declares it
    GraphPart* node = nullptr;                  // the component in the graph
    std::map<std::string, const DiagramSetting*> hostValues; // host models' properties
    std::unique_ptr<VANTCaptureOutput> output;               // a recorder's file
    bool spoiled = false; // a mistake in its setup: its connections would only add noise
  };

  const Diagram& diagram;
  ComponentGraph graph;
  std::vector<Part> parts;       // in diagram order
  std::vector<size_t> flowOrder; // sources before what they feed
  MergeInputCheck files;         // the players' inputs, opened up front (one per player, in order)
  std::vector<size_t> playerParts;
  int64_t firstTimestamp = INT64_MAX;
  uint32_t linkType = 0;
  uint32_t snapLength = 0;
  bool built = false;
  std::vector<std::string> errors;
  std::vector<std::string> warnings;
  // Watching the run.
  bool ending = false;   // the end condition held: recorders get to finish their files
  bool draining = false; // ended by a duration or Ctrl-C: whatever is underway is written
  Clock::duration endSeen{};
  Clock::duration finishedSeen{-1}; // when the recorders had finished

  explicit State(const Diagram& d) : diagram(d) {}

  void Error(int line, const std::string& text) {
    errors.push_back(FormatDiagramError(diagram.file, {line, text}));
  }
  Part* Find(const std::string& name) {
    for (Part& part : parts) {
      if (part.declared->name == name) {
        return &part;
      }
    }
    return nullptr;
  }
  Host& GetHost() { return graph.GetHost(); }

  std::string ResolvePath(const std::string& path) const {
    if (path == "-" || fs::path(path).is_absolute() || diagram.folder.empty()) {
      return path;
    }
    return (fs::path(diagram.folder) / path).string();
  }
  std::string FindPackage(const std::string& path) const;

  bool Setup();
  void LoadPackages();
  void CreateComponents();
  void SetProperties(Part& part);
  void SetHostProperties(Part& part);
  void OrderFlow();
  void SetElementSettings(Part& part);
  void ConnectInputs(Part& part);
  void CheckEnd();
  /// A multiplexer merges only when every one of its data inputs is connected: told now rather
  /// than when it starts.
  void CheckMultiplexerInputs(const Part& part);
  void OpenSources();
  void OpenOutputs();
  /// A multiplexer between captures and a recorder writes each element as it reads it.
  void SetLiveMerge(const GraphCaptureMerge& merge);

  // Running.
  Step Watch(int signal, Clock::duration elapsed, std::string& failure) override;
  /// A component in error, or one that did not start, is told at its line: a value it checks
  /// only when it starts is a mistake in the diagram too.
  std::string FailureOf(const GraphPart& part) override { return AtLine(part, part.FailureText()); }
  std::string ErrorOf(const GraphPart& part) override {
    return AtLine(part, GraphRunPolicy::ErrorOf(part));
  }
  std::string NotStarted(const GraphPart& part, const std::string& reason) override {
    return AtLine(part, GraphRunPolicy::NotStarted(part, reason));
  }
  std::string AtLine(const GraphPart& part, const std::string& text) {
    const Part* found = Find(part.name);
    return found == nullptr ? text
                            : FormatDiagramError(diagram.file, {found->declared->line, text});
  }
  /// The component of [end] when ended its run, or sent its end of file (for the components
  /// of packages: ended their run, which they do right after it).
  bool ConditionHeld();
  std::string Statistics();
  /// The runtime's statistics of a component, "name value, ..." (empty when it keeps none).
  std::string StatisticsOf(const GraphPart& part);
  /// A component that ends its run has its statistics reset: the last seen while it ran are kept.
  void SampleStatistics();
  std::map<std::string, std::string> runningStatistics;
};

std::string DiagramRun::State::FindPackage(const std::string& path) const {
  const std::string beside = ResolvePath(path);
  std::error_code error;
  if (fs::is_regular_file(beside, error) || fs::path(path).is_absolute()) {
    return beside;
  }
  // A bare name is also looked for where corvex-merge finds its package: from the program's
  // own folder (installed, or in its build folder); never a compiled-in path.
  if (fs::path(path).parent_path().empty()) {
    for (const std::string& place : ProgramPackagePlaces(path)) {
      if (fs::is_regular_file(place, error)) {
        return place;
      }
    }
  }
  return beside;
}

void DiagramRun::State::LoadPackages() {
  for (const DiagramPackage& package : diagram.packages) {
    const std::string path = FindPackage(package.path);
    std::string error;
    if (!graph.LoadPackage(path, error)) {
      Error(package.line, "cannot load the package " + package.path + ": " + error);
    }
  }
}

void DiagramRun::State::CreateComponents() {
  for (const DiagramComponent& declared : diagram.components) {
    Part part;
    part.declared = &declared;
    std::string error;
    part.node = graph.Add(declared.model, declared.name, error);
    if (part.node == nullptr) {
      const bool unknown = GetHost().Model(declared.model.c_str()) == nullptr;
      Error(unknown ? declared.modelLine : declared.line, error);
      continue;
    }
    parts.push_back(std::move(part));
  }
}

void DiagramRun::State::SetHostProperties(Part& part) {
  const std::vector<HostProperty>& known = HostProperties(part.node->role);
  for (const DiagramSetting& setting : part.declared->properties) {
    const auto property = std::find_if(
        known.begin(), known.end(), [&](const HostProperty& p) { return setting.name == p.name; });
    if (property == known.end()) {
      std::string names;
      for (const HostProperty& p : known) {
        names += std::string(names.empty() ? "" : ", ") + p.name;
      }
      Error(setting.line, part.declared->model + " has no property " + setting.name +
                              " (its properties: " + names + ")");
      continue;
    }
    const DiagramValue& value = setting.value;
    if (value.kind != property->kind) {
      Error(value.line, part.declared->name + "." + setting.name + " takes " +
                            DiagramValue::KindName(property->kind) + ", not " + value.Text());
      continue;
    }
    if (property->kind == Kind::kInteger &&
        (value.integer < property->low || value.integer > property->high)) {
      Error(value.line, part.declared->name + "." + setting.name + " = " + value.Text() +
                            " is out of range (" + std::to_string(property->low) + " to " +
                            std::to_string(property->high) + ")");
      continue;
    }
    if (property->kind == Kind::kString && value.text.empty()) {
      Error(value.line, part.declared->name + "." + setting.name + " cannot be empty");
      continue;
    }
    part.hostValues[setting.name] = &setting;
  }
  for (const HostProperty& property : known) {
    const bool given =
        std::any_of(part.declared->properties.begin(), part.declared->properties.end(),
                    [&](const DiagramSetting& setting) { return setting.name == property.name; });
    if (property.required && !given) { // a value given but refused is told already
      Error(part.declared->line, part.declared->name + " (" + part.declared->model +
                                     ") needs the property " + property.name);
    }
  }
}

void DiagramRun::State::SetProperties(Part& part) {
  if (part.node->role != GraphRole::kOther) {
    SetHostProperties(part);
    return;
  }
  for (const DiagramSetting& setting : part.declared->properties) {
    const std::string fullName = part.declared->name + "." + setting.name;
    VANTProperty* property = GetHost().FindProperty(fullName.c_str());
    if (property == nullptr) {
      Error(setting.line, part.declared->model + " has no property " + setting.name);
      continue;
    }
    const DiagramValue& value = setting.value;
    const int32_t kind = property->Kind();
    const bool fits =
        (kind == VANTPropertyBoolean && value.kind == Kind::kBoolean) ||
        (kind == VANTPropertyInteger && value.kind == Kind::kInteger) ||
        (kind == VANTPropertyFloat &&
         (value.kind == Kind::kFloat || value.kind == Kind::kInteger)) ||
        (kind == VANTPropertyString && value.kind == Kind::kString) ||
        (kind == VANTPropertyEnum && (value.kind == Kind::kString || value.kind == Kind::kInteger));
    if (!fits) {
      static const char* const kKinds[] = {"a boolean", "an integer", "a number", "a string",
                                           "one of its values"};
      const char* wanted = kind >= 0 && kind <= 4 ? kKinds[kind] : "another kind";
      Error(value.line, fullName + " takes " + wanted + ", not " + value.Text());
      continue;
    }
    if (!property->IsWritable()) {
      Error(setting.line, fullName + " cannot be set (read only)");
      continue;
    }
    bool refused = false;
    try {
      switch (value.kind) {
      case Kind::kBoolean:
        property->SetBoolean(value.boolean);
        break;
      case Kind::kInteger:
        if (kind == VANTPropertyFloat) {
          property->SetFloat(static_cast<double>(value.integer));
        } else {
          property->SetInteger(value.integer);
          int64_t read = value.integer - 1;
          property->GetInteger(read);
          refused = read != value.integer;
        }
        break;
      case Kind::kFloat:
        property->SetFloat(value.real);
        break;
      case Kind::kString:
        property->SetString(value.text.c_str());
        break;
      }
    } catch (...) {
      refused = true;
    }
    const std::string reports = graph.TakeErrorReports();
    if (refused || !reports.empty()) {
      Error(value.line, part.declared->name + " refused " + setting.name + " = " + value.Text() +
                            (reports.empty() ? "" : ": " + reports));
    }
  }
}

void DiagramRun::State::OrderFlow() {
  std::map<std::string, size_t> index;
  for (size_t i = 0; i < parts.size(); ++i) {
    index[parts[i].declared->name] = i;
  }
  std::vector<std::pair<size_t, size_t>> feeds;
  for (const DiagramConnection& connection : diagram.connections) {
    const auto from = index.find(connection.fromComponent);
    const auto to = index.find(connection.toComponent);
    if (from != index.end() && to != index.end()) {
      feeds.emplace_back(from->second, to->second);
    }
  }
  flowOrder = ComponentGraph::FlowOrder(parts.size(), feeds);
}

void DiagramRun::State::SetElementSettings(Part& part) {
  const auto apply = [&](const DiagramSetting& setting, bool output, int64_t value) {
    const std::string element = part.declared->name + "." + setting.name;
    const bool exists =
        output ? graph.OutputNamed(element) != nullptr : graph.InputNamed(element) != nullptr;
    if (!exists) {
      Error(setting.line,
            part.declared->name + " has no " + (output ? "output " : "input ") + setting.name);
      return;
    }
    const std::string name = element + (output ? ".fifosize" : ".readerType");
    VANTProperty* property = GetHost().FindProperty(name.c_str());
    if (property == nullptr) {
      Error(setting.line, "the " + std::string(output ? "FIFO size" : "reader type") + " of " +
                              element + " cannot be set");
      return;
    }
    try {
      property->SetInteger(value);
    } catch (...) {
    }
    int64_t read = value - 1;
    property->GetInteger(read);
    const std::string reports = graph.TakeErrorReports();
    if (read != value) {
      Error(setting.value.line,
            element + " refused " + setting.value.Text() + (reports.empty() ? "" : ": " + reports));
    }
  };
  for (const DiagramSetting& setting : part.declared->fifoSizes) {
    apply(setting, true, setting.value.integer);
  }
  for (const DiagramSetting& setting : part.declared->readerTypes) {
    const std::vector<std::string>& names = ReaderTypeNames();
    const auto at = std::find(names.begin(), names.end(), setting.value.text);
    apply(setting, false, static_cast<int64_t>(at - names.begin()));
  }
}

void DiagramRun::State::ConnectInputs(Part& part) {
  std::map<std::string, int> connected; // input -> line of its first connection
  for (const DiagramConnection& connection : diagram.connections) {
    if (connection.toComponent != part.declared->name) {
      continue;
    }
    Part* from = Find(connection.fromComponent);
    if (from == nullptr || from->spoiled) {
      continue; // its model was unknown, or its setup failed: told already
    }
    const std::string outputName = connection.fromComponent + "." + connection.output;
    const std::string inputName = connection.toComponent + "." + connection.input;
    VANTOutput* output = graph.OutputNamed(outputName);
    VANTInput* input = graph.InputNamed(inputName);
    bool good = true;
    if (output == nullptr) {
      Error(connection.line, connection.fromComponent + " (" + from->declared->model +
                                 ") has no output " + connection.output);
      good = false;
    }
    if (input == nullptr) {
      Error(connection.line, connection.toComponent + " (" + part.declared->model +
                                 ") has no input " + connection.input);
      good = false;
    }
    const auto [first, added] = connected.emplace(connection.input, connection.line);
    if (!added) {
      Error(connection.line, "input " + inputName + " is connected twice (first at line " +
                                 std::to_string(first->second) + ")");
      good = false;
    }
    if (!good) {
      continue;
    }
    std::string reason;
    if (!graph.Connect(outputName, inputName, reason)) {
      Error(connection.line, "cannot connect " + outputName + " to " + inputName + ": " + reason);
    }
  }
}

void DiagramRun::State::CheckMultiplexerInputs(const Part& part) {
  int64_t inputs = 0;
  const std::string name = part.declared->name;
  VANTProperty* property = GetHost().FindProperty((name + ".nb_inputs").c_str());
  if (property == nullptr) {
    return;
  }
  property->GetInteger(inputs);
  std::set<std::string> connected;
  for (const DiagramConnection& connection : diagram.connections) {
    if (connection.toComponent == name) {
      connected.insert(connection.input);
    }
  }
  constexpr int64_t kNamed = 5; // the first few unconnected inputs are named, then counted
  std::string missing;
  int64_t count = 0;
  for (int64_t i = 0; i < inputs; ++i) {
    for (const char* prefix : {"input_", "iEndOfFile_"}) {
      const std::string input = prefix + std::to_string(i);
      if (connected.count(input) == 0 && count++ < kNamed) {
        missing += (missing.empty() ? "" : ", ") + input;
      }
    }
  }
  if (count > kNamed) {
    missing += " and " + std::to_string(count - kNamed) + " more";
  }
  if (count != 0) {
    Error(part.declared->line, name + " (" + part.declared->model +
                                   ", nb_inputs = " + std::to_string(inputs) +
                                   ") merges only with every input connected: " + missing +
                                   (count > 1 ? " are not" : " is not"));
  }
}

void DiagramRun::State::CheckEnd() {
  Part* part = diagram.endComponent.empty() ? nullptr : Find(diagram.endComponent);
  if (part == nullptr || part->spoiled) {
    return; // none, or its model was unknown or its setup failed: told already
  }
  // Whether the diagram connects it: a connection refused for its own mistake was told already.
  const bool endOfFileConnected = std::any_of(
      diagram.connections.begin(), diagram.connections.end(),
      [&](const DiagramConnection& connection) {
        return connection.toComponent == diagram.endComponent && connection.input == kEndOfFile;
      });
  if (part->node->recorder != nullptr && !endOfFileConnected) {
    Error(diagram.endLine, diagram.endComponent +
                               " would never end its run: its end_of_file input is not connected");
  }
  if (diagram.endOutput.empty()) {
    return;
  }
  if (graph.OutputNamed(diagram.endComponent + "." + diagram.endOutput) == nullptr) {
    Error(diagram.endLine, diagram.endComponent + " (" + part->declared->model +
                               ") has no output " + diagram.endOutput);
  } else if (diagram.endOutput != kEndOfFile) {
    Error(diagram.endLine,
          "when takes a component, or its end_of_file output, not " + diagram.endOutput);
  }
}

void DiagramRun::State::OpenSources() {
  // Every player's file is opened now, once (a pipe can be read only once).
  std::vector<std::string> paths;
  std::set<std::string> seen;
  for (size_t i = 0; i < parts.size(); ++i) {
    Part& part = parts[i];
    if (part.node->role != GraphRole::kPlayer || part.hostValues.count("file") == 0) {
      continue;
    }
    const DiagramSetting& file = *part.hostValues["file"];
    const std::string path = ResolvePath(file.value.text);
    if (path == "-" && !seen.insert(path).second) {
      Error(file.value.line, "the standard input can be played once only");
      continue;
    }
    MergeInputCheck check = CheckMergeInputs({path}, [] { return SignalCaught(); });
    if (!check.ok) {
      for (const std::string& error : check.errors) {
        Error(file.value.line, error);
      }
      continue;
    }
    MergeInputInfo& info = check.inputs.front();
    if (linkType == 0) {
      linkType = info.linkType;
    }
    snapLength = std::max(snapLength, info.snapLength);
    if (info.hasPacket) {
      firstTimestamp = std::min(firstTimestamp, info.firstTimestamp);
    }
    files.totalSize += info.fileSize;
    files.sizeKnown = files.sizeKnown && check.sizeKnown;
    files.inputs.push_back(std::move(info));
    playerParts.push_back(i);
  }
  std::vector<size_t> captureParts;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (parts[i].node->role == GraphRole::kCapture && parts[i].hostValues.count("interface") != 0) {
      captureParts.push_back(i);
    }
  }
  if (captureParts.empty()) {
    return;
  }
  for (const size_t i : captureParts) {
    Part& part = parts[i];
    MergeOptions options;
    options.interfaces = {part.hostValues["interface"]->value.text};
    if (part.hostValues.count("filter") != 0) {
      options.filter = part.hostValues["filter"]->value.text;
    }
    if (part.hostValues.count("promiscuous") != 0) {
      options.promiscuous = part.hostValues["promiscuous"]->value.boolean;
    }
    MergeLiveInputs live = OpenLiveInputs(options);
    const int line = part.hostValues["interface"]->value.line;
    if (!live.ok) {
      for (const std::string& error : live.errors) {
        Error(line, error);
      }
      continue;
    }
    for (const std::string& warning : live.warnings) {
      warnings.push_back(part.declared->name + ": " + warning);
    }
    if (linkType == 0) {
      linkType = live.linkType;
    }
    snapLength = std::max(snapLength, live.snapLength);
    const int64_t batch = part.hostValues.count("packets_per_element") != 0
                              ? part.hostValues["packets_per_element"]->value.integer
                              : kLiveBatch;
    part.node->capture->Configure(std::move(live.sources.front()), static_cast<int32_t>(batch));
    part.node->capture->SetQueueLimit(kLiveQueueBytes);
  }
}

void DiagramRun::State::OpenOutputs() {
  std::vector<std::string> inputs;
  for (const MergeInputInfo& info : files.inputs) {
    inputs.push_back(info.path);
  }
  std::set<std::string> written;
  for (Part& part : parts) {
    if (part.node->role != GraphRole::kRecorder) {
      continue;
    }
    const DiagramSetting& file = *part.hostValues["file"];
    const std::string path = ResolvePath(file.value.text);
    if (OutputIsAnInput(path, inputs)) {
      Error(file.value.line, "the output " + path + " is also an input");
      continue;
    }
    // The same file under two spellings (./a, a link to its folder) is still the same file; a
    // device such as /dev/null may take several.
    std::error_code error;
    const bool standard = path == "-" || path == "/dev/stdout";
    const bool device = !standard && fs::exists(path, error) && !fs::is_regular_file(path, error);
    const fs::path canonical = fs::weakly_canonical(fs::absolute(path, error), error);
    const std::string same = standard ? "-" : error ? path : canonical.string();
    if (!device && !written.insert(same).second) {
      Error(file.value.line, "the output " + path + " is written by another recorder too");
      continue;
    }
    part.output = std::make_unique<VANTCaptureOutput>();
    if (!part.output->Open(path)) {
      Error(file.value.line, part.output->Error());
      part.output.reset();
      continue;
    }
    if (part.output->Replaces()) {
      RemoveOnSecondSignal(part.output->TemporaryPath());
    }
    const uint32_t link = part.hostValues.count("link_type") != 0
                              ? static_cast<uint32_t>(part.hostValues["link_type"]->value.integer)
                              : (linkType != 0 ? linkType : 1);
    part.node->recorder->ConfigureDescriptor(part.output->Descriptor(), OutputName(path), link,
                                             snapLength != 0 ? snapLength : 262144);
    const bool flush = part.hostValues.count("flush_each_element") != 0
                           ? part.hostValues["flush_each_element"]->value.boolean
                           : diagram.speed > 0 || graph.HasCaptures();
    part.node->recorder->SetFlushEachElement(flush);
  }
}

void DiagramRun::State::SetLiveMerge(const GraphCaptureMerge& merge) {
  const Part* found = Find(merge.merger->name);
  if (found == nullptr || merge.merger->model != kSortingMultiplexerModel) {
    return; // a component of its own kind: it must write each element as it reads it
  }
  const Part& merger = *found;
  int64_t batch = 1;
  for (const GraphPart* capture : merge.captures) {
    int64_t own = kLiveBatch;
    if (const Part* part = Find(capture->name)) {
      const auto at = part->hostValues.find("packets_per_element");
      own = at != part->hostValues.end() ? at->second->value.integer : own;
    }
    batch = std::max(batch, own);
  }
  // What corvex-merge sets for a live merge, where the diagram says nothing else.
  const std::pair<const char*, int64_t> settings[] = {{"buffer_packet_count", 0},
                                                      {"vector_max_size", batch},
                                                      {"vector_max_latency", kLiveVectorLatency},
                                                      {"flush_delay", 0}};
  for (const auto& [name, value] : settings) {
    const std::string wanted = name;
    const auto declared =
        std::find_if(merger.declared->properties.begin(), merger.declared->properties.end(),
                     [&wanted](const DiagramSetting& setting) { return setting.name == wanted; });
    if (declared == merger.declared->properties.end()) {
      graph.SetInteger(merger.declared->name + "." + name, value);
    } else if (wanted == "buffer_packet_count" && declared->value.integer != 0) {
      Error(declared->value.line,
            merger.declared->name + " merges live captures (" + merge.captures.front()->name +
                (merge.captures.size() > 1 ? ", ..." : "") +
                "): it writes each element as it reads it, in the order the captures hand them "
                "over, so buffer_packet_count must be 0");
    }
  }
}

bool DiagramRun::State::Setup() {
  if (std::string error; !graph.Open(error)) {
    errors.push_back(diagram.file + ": " + error);
    return false;
  }
  LoadPackages();
  if (!errors.empty()) {
    return false; // its models would all be unknown
  }
  CreateComponents();
  for (Part& part : parts) {
    const size_t before = errors.size();
    SetProperties(part);
    part.spoiled = errors.size() != before;
  }
  OrderFlow();
  for (const size_t i : flowOrder) {
    Part& part = parts[i];
    // The component makes the inputs and outputs its properties ask for, its inputs are set up
    // and connected, and then it learns the types of its sources and types its outputs.
    if (part.node->role == GraphRole::kOther && !part.spoiled) {
      graph.RunDynamic(*part.node);
      if (const std::string reports = graph.TakeErrorReports(); !reports.empty()) {
        Error(part.declared->line, part.declared->name + ": " + reports);
        part.spoiled = true;
      }
    }
    if (part.spoiled) {
      continue;
    }
    SetElementSettings(part);
    ConnectInputs(part);
    if (part.node->role == GraphRole::kOther) {
      graph.RunDynamic(*part.node);
      if (const std::string reports = graph.TakeErrorReports(); !reports.empty()) {
        Error(part.declared->line, part.declared->name + ": " + reports);
      }
    }
  }
  for (const Part& part : parts) {
    if (!part.spoiled && part.declared->model == kSortingMultiplexerModel) {
      CheckMultiplexerInputs(part);
    }
  }
  CheckEnd();
  if (!errors.empty()) {
    return false;
  }
  OpenSources();
  if (!errors.empty()) {
    return false;
  }
  for (size_t member = 0; member < playerParts.size(); ++member) {
    Part& part = parts[playerParts[member]];
    const int64_t batch = part.hostValues.count("packets_per_element") != 0
                              ? part.hostValues["packets_per_element"]->value.integer
                              : (diagram.speed > 0 ? 1 : 256);
    part.node->player->Configure(std::move(files.inputs[member].reader),
                                 static_cast<int32_t>(batch));
  }
  // Captures take turns with corvex-merge's default delivery bound (--delay).
  for (const GraphCaptureMerge& merge : graph.JoinGroups(MergeOptions{}.delayBound)) {
    SetLiveMerge(merge);
  }
  graph.SetInputTotal(files.sizeKnown ? files.totalSize : 0);
  OpenOutputs();
  return errors.empty();
}

// ---- Running ---------------------------------------------------------------------------------

void DiagramRun::State::SampleStatistics() {
  for (const Part& part : parts) {
    if (part.node->role == GraphRole::kOther && !graph.Ended(*part.node)) {
      runningStatistics[part.node->name] = StatisticsOf(*part.node);
    }
  }
}

GraphRunPolicy::Step DiagramRun::State::Watch(int signal, Clock::duration elapsed,
                                              std::string& failure) {
  SampleStatistics();
  const bool live = graph.HasCaptures();
  const bool held = !ending && ConditionHeld();
  if (!ending &&
      (held || signal == SIGINT ||
       (diagram.endDuration > 0 && elapsed >= std::chrono::microseconds(diagram.endDuration)))) {
    ending = true;
    draining = !held;
    endSeen = elapsed;
    graph.EndCaptures();
  }
  if (!ending) {
    return Step::kGoOn;
  }
  // Live captures end with an end-of-file event that flows to the recorders; played files that
  // were cut short do not, and their recorders keep what they wrote.
  if (draining && !live) {
    return Step::kDone;
  }
  if (graph.RecordersFinished(true)) {
    // The components that passed the end on end their run right after it: a moment for them, so
    // that the statistics tell how they ended.
    if (finishedSeen < Clock::duration::zero()) {
      finishedSeen = elapsed;
    }
    const bool othersEnded = std::all_of(parts.begin(), parts.end(), [this](const Part& part) {
      return part.node->role != GraphRole::kOther || graph.Ended(*part.node);
    });
    return othersEnded || elapsed - finishedSeen >= kSettleTime ? Step::kDone : Step::kGoOn;
  }
  if (elapsed - endSeen > kEndGrace) {
    failure = std::string("a recorder did not receive its end of file within ") +
              std::to_string(std::chrono::duration_cast<std::chrono::seconds>(kEndGrace).count()) +
              " s after " + (draining ? "the captures ended" : "the end condition") +
              ": what it wrote may be incomplete";
    return Step::kDone;
  }
  return Step::kGoOn;
}

bool DiagramRun::State::ConditionHeld() {
  // Its end of file: the host's sources have sent it once they are finished; the other
  // components end their run right after it.
  // The end of its run: the host's components idle once done, the others die.
  const Part* part = diagram.endComponent.empty() ? nullptr : Find(diagram.endComponent);
  return part != nullptr && graph.Ended(*part->node);
}

std::string DiagramRun::State::StatisticsOf(const GraphPart& part) {
  static const char* const kStatistics[] = {"counter",   "averagePeriod",   "minPeriod",
                                            "maxPeriod", "contextSwitches", "CPULoad"};
  std::string line;
  for (const char* name : kStatistics) {
    if (std::string value; graph.Statistic(part, name, value)) {
      line += std::string(line.empty() ? "" : ", ") + name + " " + value;
    }
  }
  return line;
}

std::string DiagramRun::State::Statistics() {
  std::ostringstream out;
  for (Part& part : parts) {
    const GraphPart& node = *part.node;
    const bool ended = graph.Ended(node);
    const char* condition = (node.module->State() & VANTModule::kError) != 0 ? "in error"
                            : ended                                          ? "ended its run"
                                                                             : "running";
    out << node.name << " (" << node.model << "): " << condition << "\n";
    const auto seen = runningStatistics.find(node.name);
    if (node.role == GraphRole::kOther && ended && seen != runningStatistics.end()) {
      out << "  statistics (last seen running): " << seen->second << "\n";
    } else if (node.role == GraphRole::kOther && ended) {
      out << "  statistics: none (reset when it ended its run, before they were looked at)\n";
    } else if (const std::string line = StatisticsOf(node); !line.empty()) {
      out << "  statistics: " << line << "\n";
    }
    if (node.player != nullptr) {
      out << "  sent: " << FormatCount(node.player->PacketsSent()) << " packets, "
          << FormatCount(node.player->BytesSent()) << " bytes of " << node.player->Path() << "\n";
    }
    if (node.capture != nullptr) {
      out << "  captured: " << FormatCount(node.capture->PacketsCaptured()) << " packets, sent "
          << FormatCount(node.capture->PacketsSent()) << ", dropped by the kernel "
          << FormatCount(node.capture->KernelDrops()) << "\n";
    }
    if (node.recorder != nullptr) {
      out << "  written: " << FormatCount(node.recorder->PacketsWritten()) << " packets, "
          << FormatCount(node.recorder->BytesWritten()) << " bytes, "
          << (node.recorder->Order().outOfPlace == 0 ? "in time order" : "NOT in time order")
          << "\n";
    }
    for (const DiagramConnection& connection : diagram.connections) {
      if (connection.fromComponent != node.name) {
        continue;
      }
      if (VANTOutput* output = graph.OutputNamed(node.name + "." + connection.output)) {
        out << "  " << connection.output << " -> " << connection.toComponent << "."
            << connection.input << ": " << FormatCount(graph.OverrunCount(output)) << " overruns\n";
      }
    }
  }
  return out.str();
}

DiagramRun::DiagramRun(const Diagram& diagram) : m_state(std::make_unique<State>(diagram)) {}

DiagramRun::~DiagramRun() = default;

bool DiagramRun::Build(std::vector<std::string>& errors) {
  State& s = *m_state;
  s.built = s.Setup();
  if (!s.built) {
    for (State::Part& part : s.parts) {
      if (part.output != nullptr) {
        ForgetTemporary(part.output->TemporaryPath());
        part.output->Abort();
      }
    }
  }
  errors = s.errors;
  return s.built;
}

std::vector<std::string> DiagramRun::Interfaces() const {
  std::vector<std::string> names;
  for (const GraphPart& part : m_state->graph.Parts()) {
    if (part.capture != nullptr) {
      names.push_back(part.capture->Interface());
    }
  }
  return names;
}

DiagramRunResult DiagramRun::Run(const std::function<void(const MergeProgress&)>& progress,
                                 double progressInterval, const std::atomic<int>* cancel) {
  State& s = *m_state;
  DiagramRunResult result;
  if (!s.built) {
    result.errors = s.errors;
    return result;
  }
  if (s.diagram.speed > 0) {
    s.graph.SetPacing(s.diagram.speed, s.firstTimestamp);
  }
  // The statistics are taken before the stop resets what the components counted.
  const GraphRunResult run = s.graph.Run(s, progress, progressInterval, cancel,
                                         [&] { result.statistics = s.Statistics(); });
  s.errors.insert(s.errors.end(), run.errors.begin(), run.errors.end());
  s.warnings.insert(s.warnings.end(), run.warnings.begin(), run.warnings.end());
  // The recorders' files: kept when the run succeeded, removed otherwise.
  for (State::Part& part : s.parts) {
    if (part.output == nullptr) {
      continue;
    }
    ForgetTemporary(part.output->TemporaryPath());
    if (!s.errors.empty()) {
      part.output->Abort();
    } else if (!part.output->Commit()) {
      s.errors.push_back(part.output->Error());
    }
  }
  // A multiplexer's output must be in time order: a recorder of one that is not says so.
  for (const State::Part& part : s.parts) {
    const GraphPart* source = s.graph.SourceOf(*part.node, "input");
    if (part.node->recorder != nullptr && source != nullptr &&
        source->model == kSortingMultiplexerModel) {
      const VANTCaptureOrder order = part.node->recorder->Order();
      if (order.outOfPlace != 0) {
        result.outOfOrder.push_back(
            part.node->name + " wrote " + source->name + "'s output not in time order (" +
            std::to_string(order.outOfPlace) + " packets out of place; the largest step back " +
            std::to_string(order.largestStepBack) + " us)");
      }
    }
  }
  result.errors = s.errors;
  result.warnings = s.warnings;
  result.ok = s.errors.empty();
  return result;
}

} // namespace VANT
