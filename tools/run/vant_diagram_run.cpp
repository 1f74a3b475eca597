#include "tools/run/vant_diagram_run.h"

#include "dataflow/vant_input.h"
#include "dataflow/vant_output.h"
#include "host/components/vant_capture_output.h"
#include "host/components/vant_live_capture_group.h"
#include "host/components/vant_pcap_file_player.h"
#include "host/components/vant_pcap_file_recorder.h"
#include "host/components/vant_pcap_live_capture.h"
#include "host/components/vant_pcap_stream_models.h"
#include "host/host.h"
#include "host/host_clock.h"
#include "host/host_threads.h"
#include "package/vant_module_management.h"
#include "runtime/vant_module.h"
#include "runtime/vant_property.h"
#include "tools/merge/vant_merge_inputs.h"
#include "tools/merge/vant_merge_live.h"
#include "tools/merge/vant_merge_options.h"
#include "tools/merge/vant_merge_pipeline.h"
#include "tools/merge/vant_tool_signals.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <thread>

namespace VANT {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Kind = DiagramValue::Kind;

// How long recorders may take to finish their files once the end condition holds.
constexpr auto kEndGrace = std::chrono::seconds(10);
// After a duration or Ctrl-C: how long recorders fed by live captures may take to finish.
constexpr auto kDrainGrace = std::chrono::seconds(2);
constexpr int64_t kThreadEndLimitUs = 2000000;
constexpr size_t kLiveQueueBytes = size_t{64} << 20;
constexpr int64_t kLiveDelayBound = 100000;
constexpr const char kEndOfFile[] = "end_of_file";

/// The host's own models, configured by this runner rather than through engine properties.
enum class HostRole { kNone, kPlayer, kRecorder, kCapture };

HostRole RoleOf(const std::string& model) {
  if (model == kPcapFilePlayerModel) {
    return HostRole::kPlayer;
  }
  if (model == kPcapFileRecorderModel) {
    return HostRole::kRecorder;
  }
  return model == kPcapLiveCaptureModel ? HostRole::kCapture : HostRole::kNone;
}

/// A property of a host model: its kind and, for integers, its range.
struct HostProperty {
  const char* name;
  Kind kind;
  int64_t low = 0;
  int64_t high = 0;
  bool required = false;
};

const std::vector<HostProperty>& HostProperties(HostRole role) {
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
  case HostRole::kPlayer:
    return player;
  case HostRole::kRecorder:
    return recorder;
  case HostRole::kCapture:
    return capture;
  case HostRole::kNone:
    break;
  }
  return none;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::string Thousands(uint64_t value) {
  std::string digits = std::to_string(value);
  for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) {
    digits.insert(static_cast<size_t>(at), ",");
  }
  return digits;
}

} // namespace

struct DiagramRun::State {
  struct Part {
    const DiagramComponent* declared = nullptr; // the component as the diagram declares it
    HostRole role = HostRole::kNone;
    VANTModule* module = nullptr;
    vant_pcap_file_player* player = nullptr;
    vant_pcap_file_recorder* recorder = nullptr;
    vant_pcap_live_capture* capture = nullptr;
    std::map<std::string, const DiagramSetting*> hostValues; // host models' properties
    std::unique_ptr<VANTCaptureOutput> output;               // a recorder's file
    bool endOfFileConnected = false;                         // a recorder's end_of_file input
    bool spoiled = false; // a mistake in its setup: its connections would only add noise
  };

  const Diagram& diagram;
  Host* host = nullptr;
  std::vector<Part> parts;       // in diagram order
  std::vector<size_t> flowOrder; // sources before what they feed
  std::unique_ptr<VANTPcapPlayerGroup> group;
  std::unique_ptr<VANTLiveCaptureGroup> liveGroup;
  MergeInputCheck files; // the players' inputs, opened up front (one per player, in order)
  std::vector<size_t> playerParts;
  int64_t firstTimestamp = INT64_MAX;
  uint32_t linkType = 0;
  uint32_t snapLength = 0;
  bool built = false;
  std::vector<std::string> errors;
  std::vector<std::string> warnings;

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
  /// The error reports the host kept since the last call, joined.
  std::string TakeErrorReports() {
    std::string text;
    for (const HostReport& report : host->TakeReports()) {
      if (report.level >= 2) {
        text += (text.empty() ? "" : "; ") + report.text;
      }
    }
    return text;
  }
  template <typename Element>
  Element* Element_(const std::string& fullName, VANTSymbolRecord::Kind kind) {
    host->Symbols().Lock();
    VANTSymbolRecord* record = host->Symbols().Find(fullName.c_str());
    Element* found =
        record != nullptr && record->kind == kind ? static_cast<Element*>(record->object) : nullptr;
    host->Symbols().Unlock();
    return found;
  }
  VANTOutput* OutputNamed(const std::string& fullName) {
    return Element_<VANTOutput>(fullName, VANTSymbolRecord::kOutput);
  }
  VANTInput* InputNamed(const std::string& fullName) {
    return Element_<VANTInput>(fullName, VANTSymbolRecord::kInput);
  }

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
  void OpenSources();
  void OpenOutputs();

  // Running.
  bool StartAll();
  void StopAll();
  void DrainReports();
  std::string CheckFailure();
  bool Dead(const Part& part);
  bool DurationPassed(Clock::time_point start) const;
  /// The component of [end] when ended its run, or sent its end of file (for the components
  /// of packages: ended their run, which they do right after it).
  bool ConditionHeld();
  bool RecordersFinished(bool onlyWithEndOfFile);
  MergeProgress Progress(Clock::time_point start) const;
  std::string Statistics();
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
    if (!host->LoadPackage(path, &error)) {
      Error(package.line, "cannot load the package " + package.path + ": " + error);
    }
    host->TakeReports();
  }
}

void DiagramRun::State::CreateComponents() {
  for (const DiagramComponent& declared : diagram.components) {
    Part part;
    part.declared = &declared;
    part.role = RoleOf(declared.model);
    if (host->Model(declared.model.c_str()) == nullptr) {
      std::string known;
      for (VANTComponentModelDefinition* model : host->Models()) {
        known += std::string(known.empty() ? "" : ", ") + model->modelName;
      }
      Error(declared.modelLine,
            "unknown model " + declared.model + " (the loaded models: " + known + ")");
      continue;
    }
    part.module = host->CreateComponent(declared.model.c_str(), declared.name.c_str());
    if (part.module == nullptr) {
      Error(declared.line, "cannot create " + declared.name + ": " + TakeErrorReports());
      continue;
    }
    part.player = dynamic_cast<vant_pcap_file_player*>(part.module);
    part.recorder = dynamic_cast<vant_pcap_file_recorder*>(part.module);
    part.capture = dynamic_cast<vant_pcap_live_capture*>(part.module);
    parts.push_back(std::move(part));
  }
}

void DiagramRun::State::SetHostProperties(Part& part) {
  const std::vector<HostProperty>& known = HostProperties(part.role);
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
    if (property.required && part.hostValues.count(property.name) == 0) {
      Error(part.declared->line, part.declared->name + " (" + part.declared->model +
                                     ") needs the property " + property.name);
    }
  }
}

void DiagramRun::State::SetProperties(Part& part) {
  if (part.role != HostRole::kNone) {
    SetHostProperties(part);
    return;
  }
  for (const DiagramSetting& setting : part.declared->properties) {
    const std::string fullName = part.declared->name + "." + setting.name;
    VANTProperty* property = host->FindProperty(fullName.c_str());
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
    const std::string reports = TakeErrorReports();
    if (refused || !reports.empty()) {
      Error(value.line, part.declared->name + " refused " + setting.name + " = " + value.Text() +
                            (reports.empty() ? "" : ": " + reports));
    }
  }
}

void DiagramRun::State::OrderFlow() {
  // Kahn's order over the connections; what is left in a loop keeps the diagram order.
  const size_t count = parts.size();
  std::vector<size_t> incoming(count, 0);
  std::vector<std::vector<size_t>> feeds(count);
  std::map<std::string, size_t> index;
  for (size_t i = 0; i < count; ++i) {
    index[parts[i].declared->name] = i;
  }
  for (const DiagramConnection& connection : diagram.connections) {
    const auto from = index.find(connection.fromComponent);
    const auto to = index.find(connection.toComponent);
    if (from != index.end() && to != index.end() && from->second != to->second) {
      feeds[from->second].push_back(to->second);
      ++incoming[to->second];
    }
  }
  std::vector<bool> placed(count, false);
  while (flowOrder.size() < count) {
    bool progress = false;
    for (size_t i = 0; i < count; ++i) {
      if (!placed[i] && incoming[i] == 0) {
        placed[i] = true;
        progress = true;
        flowOrder.push_back(i);
        for (size_t next : feeds[i]) {
          --incoming[next];
        }
      }
    }
    if (!progress) {
      for (size_t i = 0; i < count; ++i) {
        if (!placed[i]) {
          placed[i] = true;
          flowOrder.push_back(i);
          for (size_t next : feeds[i]) {
            incoming[next] = incoming[next] > 0 ? incoming[next] - 1 : 0;
          }
          break;
        }
      }
    }
  }
}

void DiagramRun::State::SetElementSettings(Part& part) {
  const auto apply = [&](const DiagramSetting& setting, bool output, int64_t value) {
    const std::string element = part.declared->name + "." + setting.name;
    const bool exists = output ? OutputNamed(element) != nullptr : InputNamed(element) != nullptr;
    if (!exists) {
      Error(setting.line,
            part.declared->name + " has no " + (output ? "output " : "input ") + setting.name);
      return;
    }
    const std::string name = element + (output ? ".fifosize" : ".readerType");
    VANTProperty* property = host->FindProperty(name.c_str());
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
    const std::string reports = TakeErrorReports();
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
    VANTOutput* output = OutputNamed(outputName);
    VANTInput* input = InputNamed(inputName);
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
    if (!host->Connect(output, input)) {
      std::string reason = TakeErrorReports();
      const std::string prefix = "Host: ";
      if (reason.compare(0, prefix.size(), prefix) == 0) {
        reason.erase(0, prefix.size());
      }
      Error(connection.line, "cannot connect " + outputName + " to " + inputName + ": " + reason);
      continue;
    }
    if (part.role == HostRole::kRecorder && connection.input == "end_of_file") {
      part.endOfFileConnected = true;
    }
  }
}

void DiagramRun::State::CheckEnd() {
  Part* part = diagram.endComponent.empty() ? nullptr : Find(diagram.endComponent);
  if (part == nullptr || part->spoiled) {
    return; // none, or its model was unknown or its setup failed: told already
  }
  if (part->recorder != nullptr && !part->endOfFileConnected) {
    Error(diagram.endLine, diagram.endComponent +
                               " would never end its run: its end_of_file input is not connected");
  }
  if (diagram.endOutput.empty()) {
    return;
  }
  if (OutputNamed(diagram.endComponent + "." + diagram.endOutput) == nullptr) {
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
    if (part.role != HostRole::kPlayer || part.hostValues.count("file") == 0) {
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
    if (parts[i].role == HostRole::kCapture && parts[i].hostValues.count("interface") != 0) {
      captureParts.push_back(i);
    }
  }
  if (captureParts.empty()) {
    return;
  }
  liveGroup = std::make_unique<VANTLiveCaptureGroup>(captureParts.size(), kLiveDelayBound);
  for (size_t member = 0; member < captureParts.size(); ++member) {
    Part& part = parts[captureParts[member]];
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
                              : 1024;
    part.capture->Configure(std::move(live.sources.front()), static_cast<int32_t>(batch));
    part.capture->SetGroup(liveGroup.get(), member);
    part.capture->SetQueueLimit(kLiveQueueBytes);
  }
}

void DiagramRun::State::OpenOutputs() {
  std::vector<std::string> inputs;
  for (const MergeInputInfo& info : files.inputs) {
    inputs.push_back(info.path);
  }
  std::set<std::string> written;
  for (Part& part : parts) {
    if (part.role != HostRole::kRecorder) {
      continue;
    }
    const DiagramSetting& file = *part.hostValues["file"];
    const std::string path = ResolvePath(file.value.text);
    if (OutputIsAnInput(path, inputs)) {
      Error(file.value.line, "the output " + path + " is also an input");
      continue;
    }
    if (!written.insert(path == "/dev/stdout" ? "-" : path).second) {
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
    part.recorder->ConfigureDescriptor(part.output->Descriptor(), OutputName(path), link,
                                       snapLength != 0 ? snapLength : 262144);
    const bool flush = part.hostValues.count("flush_each_element") != 0
                           ? part.hostValues["flush_each_element"]->value.boolean
                           : diagram.speed > 0 || liveGroup != nullptr;
    part.recorder->SetFlushEachElement(flush);
  }
}

bool DiagramRun::State::Setup() {
  // The engine stand-in outlives everything it initialised: a package keeps its kernel pointer
  // until the process ends, so it is never deleted.
  host = new Host();
  if (VANTModuleRegistry::Initialise(host, VANTModuleRegistry::kInterfaceVersion) !=
      VANTModuleRegistry::kInterfaceLevel) {
    errors.push_back(diagram.file + ": the runtime of this program refused the engine");
    return false;
  }
  std::string error;
  if (!host->AddModels(&PcapStreamModels, &error)) {
    errors.push_back(diagram.file + ": cannot add the host's models: " + error);
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
    if (part.role == HostRole::kNone && !part.spoiled) {
      host->RunDynamic(part.module);
      if (const std::string reports = TakeErrorReports(); !reports.empty()) {
        Error(part.declared->line, part.declared->name + ": " + reports);
        part.spoiled = true;
      }
    }
    if (part.spoiled) {
      continue;
    }
    SetElementSettings(part);
    ConnectInputs(part);
    if (part.role == HostRole::kNone) {
      host->RunDynamic(part.module);
      if (const std::string reports = TakeErrorReports(); !reports.empty()) {
        Error(part.declared->line, part.declared->name + ": " + reports);
      }
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
  group = std::make_unique<VANTPcapPlayerGroup>(playerParts.size());
  for (size_t member = 0; member < playerParts.size(); ++member) {
    Part& part = parts[playerParts[member]];
    const int64_t batch = part.hostValues.count("packets_per_element") != 0
                              ? part.hostValues["packets_per_element"]->value.integer
                              : (diagram.speed > 0 ? 1 : 256);
    part.player->Configure(std::move(files.inputs[member].reader), static_cast<int32_t>(batch));
    part.player->SetGroup(group.get(), member);
  }
  OpenOutputs();
  return errors.empty();
}

// ---- Running ---------------------------------------------------------------------------------

bool DiagramRun::State::StartAll() {
  if (diagram.speed > 0) {
    const double perMille = std::clamp(diagram.speed * 1000.0, 1.0, double{INT32_MAX});
    host->Clock().SetSpeed(static_cast<int32_t>(std::lround(perMille)));
    const int64_t engineOrigin = host->CurrentTime(true, true) + 10000;
    for (const size_t i : playerParts) {
      parts[i].player->SetPacing(firstTimestamp == INT64_MAX ? 0 : firstTimestamp, engineOrigin);
    }
  }
  std::vector<size_t> order;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (parts[i].role == HostRole::kRecorder) {
      order.push_back(i);
    }
  }
  for (size_t i = 0; i < parts.size(); ++i) {
    if (parts[i].role == HostRole::kPlayer || parts[i].role == HostRole::kCapture) {
      order.push_back(i);
    }
  }
  for (auto at = flowOrder.rbegin(); at != flowOrder.rend(); ++at) {
    if (parts[*at].role == HostRole::kNone) {
      order.push_back(*at);
    }
  }
  for (const size_t i : order) {
    Part& part = parts[i];
    if (!host->StartComponent(part.module)) {
      std::string reason =
          part.player != nullptr && part.player->Failed()       ? part.player->FailureText()
          : part.recorder != nullptr && part.recorder->Failed() ? part.recorder->FailureText()
          : part.capture != nullptr && part.capture->Failed()   ? part.capture->FailureText()
                                                                : TakeErrorReports();
      errors.push_back(part.declared->name + " did not start" +
                       (reason.empty() ? "" : ": " + reason));
      return false;
    }
  }
  return true;
}

void DiagramRun::State::StopAll() {
  for (const size_t i : flowOrder) {
    if (parts[i].role == HostRole::kNone) {
      host->StopComponent(parts[i].module);
    }
  }
  for (Part& part : parts) {
    if (part.role == HostRole::kPlayer || part.role == HostRole::kCapture) {
      host->StopComponent(part.module);
    }
  }
  for (Part& part : parts) {
    if (part.role == HostRole::kRecorder) {
      host->StopComponent(part.module);
    }
  }
}

void DiagramRun::State::DrainReports() {
  for (const HostReport& report : host->TakeReports()) {
    if (report.level < 1 || Contains(report.text, " died due to an error")) {
      continue; // life-cycle news; a component in error is told through CheckFailure
    }
    bool known = false;
    for (const Part& part : parts) {
      const bool failed = (part.player != nullptr && part.player->Failed()) ||
                          (part.recorder != nullptr && part.recorder->Failed()) ||
                          (part.capture != nullptr && part.capture->Failed());
      known = known || (failed && part.role == HostRole::kPlayer &&
                        Contains(report.text, part.player->FailureText()));
      known = known || (failed && part.role == HostRole::kRecorder &&
                        Contains(report.text, part.recorder->FailureText()));
      known = known || (failed && part.role == HostRole::kCapture &&
                        Contains(report.text, part.capture->FailureText()));
    }
    if (!known) {
      warnings.push_back(report.text);
    }
  }
}

bool DiagramRun::State::Dead(const Part& part) {
  uint32_t word = 0;
  const bool announced = host->States().Get(part.declared->name, word);
  return (announced && (word & VANTModule::kDead) != 0) ||
         (part.module->State() & VANTModule::kDead) != 0;
}

std::string DiagramRun::State::CheckFailure() {
  for (Part& part : parts) {
    if (part.player != nullptr && part.player->Failed()) {
      return part.player->FailureText();
    }
    if (part.recorder != nullptr && part.recorder->Failed()) {
      return part.recorder->FailureText();
    }
    if (part.capture != nullptr && part.capture->Failed()) {
      return part.capture->Interface() + ": " + part.capture->FailureText();
    }
    uint32_t word = 0;
    if ((host->States().Get(part.declared->name, word) && (word & VANTModule::kError) != 0) ||
        (part.module->State() & VANTModule::kError) != 0) {
      return part.declared->name + " (" + part.declared->model +
             ") ended in error: " + part.module->ErrorText().Text();
    }
  }
  return {};
}

bool DiagramRun::State::DurationPassed(Clock::time_point start) const {
  return diagram.endDuration > 0 &&
         Clock::now() - start >= std::chrono::microseconds(diagram.endDuration);
}

bool DiagramRun::State::ConditionHeld() {
  if (diagram.endComponent.empty()) {
    return false;
  }
  // Its end of file: the host's sources have sent it once they are finished; the other
  // components end their run right after it.
  // The end of its run: the host's components idle once done, the others die.
  const Part* part = Find(diagram.endComponent);
  if (part == nullptr) {
    return false;
  }
  if (part->player != nullptr) {
    return part->player->Finished();
  }
  if (part->recorder != nullptr) {
    return part->recorder->Finished();
  }
  if (part->capture != nullptr) {
    return part->capture->Finished();
  }
  return Dead(*part);
}

bool DiagramRun::State::RecordersFinished(bool onlyWithEndOfFile) {
  for (const Part& part : parts) {
    if (part.recorder != nullptr && (part.endOfFileConnected || !onlyWithEndOfFile) &&
        !part.recorder->Finished()) {
      return false;
    }
  }
  return true;
}

MergeProgress DiagramRun::State::Progress(Clock::time_point start) const {
  MergeProgress progress;
  for (const Part& part : parts) {
    if (part.recorder != nullptr) {
      progress.packets += part.recorder->PacketsWritten();
      progress.bytes += part.recorder->BytesWritten();
    }
    if (part.player != nullptr) {
      progress.inputRead += part.player->FileBytesRead();
    }
  }
  progress.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  progress.inputTotal = files.sizeKnown ? files.totalSize : 0;
  return progress;
}

std::string DiagramRun::State::Statistics() {
  std::ostringstream out;
  static const char* const kStatistics[] = {"counter",   "averagePeriod",   "minPeriod",
                                            "maxPeriod", "contextSwitches", "CPULoad"};
  for (Part& part : parts) {
    const uint32_t state = part.module->State();
    const bool finished = (part.player != nullptr && part.player->Finished()) ||
                          (part.recorder != nullptr && part.recorder->Finished()) ||
                          (part.capture != nullptr && part.capture->Finished());
    const char* condition = (state & VANTModule::kError) != 0 ? "in error"
                            : finished || Dead(part)          ? "ended its run"
                                                              : "running";
    out << part.declared->name << " (" << part.declared->model << "): " << condition << "\n";
    std::string line;
    for (const char* name : kStatistics) {
      VANTProperty* property = host->FindProperty((part.declared->name + "." + name).c_str());
      if (property == nullptr) {
        continue;
      }
      std::ostringstream value;
      if (property->Kind() == VANTPropertyFloat) {
        double real = 0;
        property->GetFloat(real);
        value << real;
      } else {
        int64_t integer = 0;
        property->GetInteger(integer);
        value << integer;
      }
      line += std::string(line.empty() ? "" : ", ") + name + " " + value.str();
    }
    if (!line.empty()) {
      out << "  statistics: " << line << "\n";
    }
    if (part.player != nullptr) {
      out << "  sent: " << Thousands(part.player->PacketsSent()) << " packets, "
          << Thousands(part.player->BytesSent()) << " bytes of " << part.player->Path() << "\n";
    }
    if (part.capture != nullptr) {
      out << "  captured: " << Thousands(part.capture->PacketsCaptured()) << " packets, sent "
          << Thousands(part.capture->PacketsSent()) << ", dropped by the kernel "
          << Thousands(part.capture->KernelDrops()) << "\n";
    }
    if (part.recorder != nullptr) {
      out << "  written: " << Thousands(part.recorder->PacketsWritten()) << " packets, "
          << Thousands(part.recorder->BytesWritten()) << " bytes, "
          << (part.recorder->Order().outOfPlace == 0 ? "in time order" : "NOT in time order")
          << "\n";
    }
    for (const DiagramConnection& connection : diagram.connections) {
      if (connection.fromComponent != part.declared->name) {
        continue;
      }
      VANTOutput* output = OutputNamed(part.declared->name + "." + connection.output);
      if (output != nullptr) {
        out << "  " << connection.output << " -> " << connection.toComponent << "."
            << connection.input << ": " << Thousands(host->OverrunCount(output)) << " overruns\n";
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

DiagramRunResult DiagramRun::Run(const std::function<void(const MergeProgress&)>& progress,
                                 double progressInterval, const std::atomic<int>* cancel) {
  State& s = *m_state;
  DiagramRunResult result;
  const Clock::time_point start = Clock::now();
  const size_t threadsBefore = HostThreads::ProcessThreadCount();
  bool ok = s.built && s.StartAll();
  std::string failure;
  if (ok) {
    const auto interval = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(std::max(progressInterval, 0.01)));
    Clock::time_point nextProgress = start + interval;
    Clock::time_point endSeen{};
    bool ending = false;   // the end condition held: recorders get to finish their files
    bool draining = false; // ended by a duration or Ctrl-C: whatever is underway is written
    for (;;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      s.DrainReports();
      failure = s.CheckFailure();
      if (!failure.empty()) {
        break;
      }
      const int signal = cancel != nullptr ? cancel->load(std::memory_order_relaxed) : 0;
      if (signal != 0 && !(signal == SIGINT && s.liveGroup != nullptr)) {
        failure = "interrupted";
        break;
      }
      const bool held = !ending && s.ConditionHeld();
      if (!ending && (held || s.DurationPassed(start) || signal == SIGINT)) {
        ending = true;
        draining = !held;
        endSeen = Clock::now();
        for (State::Part& part : s.parts) {
          if (part.capture != nullptr) {
            part.capture->EndCapture();
          }
        }
      }
      if (ending) {
        // Live captures end with an end-of-file event that flows to every recorder; played
        // files that were cut short do not, and their recorders keep what they wrote.
        const bool finished = s.RecordersFinished(!draining || s.liveGroup == nullptr);
        if (finished || (draining && s.liveGroup == nullptr)) {
          break;
        }
        if (Clock::now() - endSeen > (draining ? kDrainGrace : kEndGrace)) {
          if (!draining) {
            failure = "a recorder did not receive its end of file after the end condition";
          }
          break;
        }
      }
      if (progress && Clock::now() >= nextProgress) {
        progress(s.Progress(start));
        nextProgress = Clock::now() + interval;
      }
    }
  }
  const size_t warningsBeforeStop = s.warnings.size();
  if (s.built) {
    result.statistics = s.Statistics(); // before the stop resets what the components counted
    s.StopAll();
    s.DrainReports();
  }
  HostThreads::WaitForProcessThreads(threadsBefore, kThreadEndLimitUs);
  if (!failure.empty() || !ok) {
    s.warnings.resize(std::min(s.warnings.size(), warningsBeforeStop));
  }
  if (ok && failure.empty()) {
    failure = s.CheckFailure();
  }
  if (!failure.empty()) {
    s.errors.push_back(failure);
  }
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
  result.errors = s.errors;
  result.warnings = s.warnings;
  result.ok = s.errors.empty();
  return result;
}

} // namespace VANT
