#include "host/host.h"

#include "dataflow/vant_fast_io.h"
#include "dataflow/vant_input.h"
#include "dataflow/vant_input_implementation.h"
#include "dataflow/vant_output.h"
#include "dataflow/vant_output_implementation.h"
#include "host/host_clock.h"
#include "host/host_threads.h"
#include "host/host_triggers.h"
#include "runtime/vant_action.h"
#include "runtime/vant_property.h"
#include "util/vant_string.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

// Most recent reasons kept for slot 0.
constexpr size_t kReasonsKept = 64;

} // namespace

// =============================================================================================
// Engine time: the clock, time lock and wake-up registry (host/host_clock.h), the trigger service
// (host/host_triggers.h) and the clocks offered by packages.

struct Host::Time {
  HostClock clock;
  HostTriggers triggers;
};

int32_t Host::SpeedSign() {
  return m_time->clock.SpeedSign();
}

int32_t Host::ClockState() {
  return m_time->clock.ClockState();
}

void Host::RegisterClock(VANTBaseClock* clock, bool* flag) {
  m_time->clock.RegisterClock(clock, flag);
}

void Host::UnregisterClock(VANTBaseClock* clock) {
  m_time->clock.UnregisterClock(clock);
}

int64_t Host::RealTime() {
  return HostClock::RealTime() + m_realTimeOffset.load(std::memory_order_acquire);
}

int32_t Host::TimeSpeed() {
  return m_time->clock.TimeSpeed();
}

// Neither form takes the time lock: waits call it while they hold the lock.
int64_t Host::CurrentTime(bool /*first*/, bool /*second*/) {
  return m_time->clock.CurrentTime();
}

VANTWakeUpRegistry* Host::WakeUps() {
  return m_time->clock.WakeUps();
}

void Host::AcquireTimeLock() {
  m_time->clock.AcquireTimeLock();
}

void Host::ReleaseTimeLock() {
  m_time->clock.ReleaseTimeLock();
}

VANTTriggerService* Host::Triggers() {
  return &m_time->triggers;
}

HostClock& Host::Clock() {
  return m_time->clock;
}

HostTriggers& Host::TriggerService() {
  return m_time->triggers;
}

// =============================================================================================
// Construction

Host::Host() : m_time(std::make_unique<Time>()) {
  // Properties are reached through their interface, so their namer needs no runtime code.
  SetElementNamer(VANTSymbolRecord::kAction, [](const void* element) -> const char* {
    return const_cast<VANTAction*>(static_cast<const VANTAction*>(element))->FullName();
  });
  SetElementNamer(VANTSymbolRecord::kProperty, [](const void* element) -> const char* {
    return const_cast<VANTProperty*>(static_cast<const VANTProperty*>(element))->FullName();
  });
  SetElementNamer(VANTSymbolRecord::kInput, [](const void* element) -> const char* {
    return const_cast<VANTInput*>(static_cast<const VANTInput*>(element))->Name().Text();
  });
  SetElementNamer(VANTSymbolRecord::kOutput, [](const void* element) -> const char* {
    return const_cast<VANTOutput*>(static_cast<const VANTOutput*>(element))->Name().Text();
  });
}

Host::~Host() = default;

void Host::Reset() {
  m_reports.Clear();
  m_states.Clear();
  m_modules.Reset(); // before the symbols: its module drops its own names
  m_symbols.RemoveAllButSettings();
  m_settings.RestoreDefaults();
  m_engineState.store(1, std::memory_order_relaxed);
  m_timeoutsSuspended.store(false, std::memory_order_relaxed);
  m_checkLevel.store(0, std::memory_order_relaxed);
  m_changeDepth.store(0, std::memory_order_relaxed);
  m_changesOpened.store(0, std::memory_order_relaxed);
  m_time->clock.Restore();
  std::lock_guard<std::mutex> lock(m_reasonsMutex);
  m_reasons.clear();
}

void Host::NotSupported(const char* operation) {
  m_reports.Add((std::string("Host: ") + operation + " is not supported by this host").c_str(), 2,
                0, false);
}

// =============================================================================================
// Structural changes (0, 1): counted, never locked against anything else.

void Host::BeginChange(const char* reason) {
  m_changeDepth.fetch_add(1, std::memory_order_relaxed);
  m_changesOpened.fetch_add(1, std::memory_order_relaxed);
  std::lock_guard<std::mutex> lock(m_reasonsMutex);
  if (m_reasons.size() == kReasonsKept) {
    m_reasons.erase(m_reasons.begin());
  }
  m_reasons.emplace_back(reason ? reason : "");
}

void Host::EndChange() {
  m_changeDepth.fetch_sub(1, std::memory_order_relaxed);
}

std::vector<std::string> Host::ChangeReasons() {
  std::lock_guard<std::mutex> lock(m_reasonsMutex);
  return m_reasons;
}

// =============================================================================================
// Symbols (18, 21 to 27, 30, 31, 77 to 79)

VANTSymbolRecord* Host::ModuleRecord(const char* moduleName) {
  return m_symbols.FindModule(moduleName);
}

void Host::DropName(const char* fullName) {
  ForgetConnectionsNamed(fullName);
  m_symbols.Remove(fullName);
}

void Host::LockSymbols() {
  m_symbols.Lock();
}

void Host::UnlockSymbols() {
  m_symbols.Unlock();
}

void Host::SetElementNamer(VANTSymbolRecord::Kind kind, ElementNamer namer) {
  if (kind < std::size(m_namers)) {
    m_namers[kind].store(namer, std::memory_order_release);
  }
}

bool Host::RegisterElement(VANTSymbolRecord::Kind kind, const void* element, const char* what) {
  ElementNamer namer = m_namers[kind].load(std::memory_order_acquire);
  if (!namer) {
    NotSupported((std::string("registration of ") + what).c_str());
    return false;
  }
  const char* fullName = namer(element);
  if (!fullName) {
    return false;
  }
  // The owning module is the longest prefix before a dot that names a module (module names may
  // hold dots themselves).
  m_symbols.Lock();
  VANTSymbolRecord* module = nullptr;
  std::string prefix(fullName);
  for (size_t dot = prefix.rfind('.'); !module && dot != std::string::npos && dot > 0;
       dot = prefix.rfind('.', dot - 1)) {
    prefix.resize(dot);
    module = m_symbols.FindModule(prefix.c_str());
  }
  const bool added =
      m_symbols.Add(fullName, kind, const_cast<void*>(element), module ? module->module : nullptr);
  m_symbols.Unlock();
  return added;
}

bool Host::RegisterInput(VANTInput* input) {
  return RegisterElement(VANTSymbolRecord::kInput, input, "inputs");
}

bool Host::RegisterOutput(VANTOutput* output) {
  return RegisterElement(VANTSymbolRecord::kOutput, output, "outputs");
}

bool Host::RegisterProperty(VANTProperty* property) {
  return RegisterElement(VANTSymbolRecord::kProperty, property, "properties");
}

bool Host::RegisterAction(VANTAction* action) {
  return RegisterElement(VANTSymbolRecord::kAction, action, "actions");
}

void Host::AnnounceModuleOutput(const char* fullName, const char* moduleName, const char* shortName,
                                int32_t position) {
  m_modules.Announce(HostAnnouncement::kModuleOutput, fullName, moduleName, shortName, position);
}

void Host::InputRemoved(const char* fullName) {
  m_symbols.Remove(fullName);
  m_modules.Announce(HostAnnouncement::kInputRemoved, fullName, nullptr, nullptr, -1);
}

void Host::OutputRemoved(const char* fullName) {
  m_symbols.Remove(fullName);
  m_modules.Announce(HostAnnouncement::kOutputRemoved, fullName, nullptr, nullptr, -1);
}

void Host::AnnounceComponentOutput(const char* fullName, const char* moduleName,
                                   const char* shortName, int32_t position) {
  m_modules.Announce(HostAnnouncement::kComponentOutput, fullName, moduleName, shortName, position);
}

void Host::AnnounceComponentInput(const char* fullName, const char* moduleName,
                                  const char* shortName, int32_t position) {
  m_modules.Announce(HostAnnouncement::kComponentInput, fullName, moduleName, shortName, position);
}

bool Host::NameTaken(const char* name) {
  return m_symbols.Contains(name);
}

VANTModule* Host::ModuleByName(const char* name) {
  VANTSymbolRecord* record = m_symbols.FindModule(name);
  return record ? record->module : nullptr;
}

VANTSymbolRecord* Host::Symbol(const char* fullName) {
  return m_symbols.Find(fullName);
}

bool Host::AddModule(const char* name, VANTModule* module) {
  return m_symbols.Add(name, VANTSymbolRecord::kModule, module, module);
}

// =============================================================================================
// Module states, reports, engine settings (34, 96, 102, 104, 117, 146, 147)

void Host::ModuleState(const char* moduleName, uint32_t stateWord) {
  m_states.Set(moduleName, stateWord);
}

void Host::Report(const char* text, int32_t level, int32_t option, bool flag) {
  m_reports.Add(text, level, option, flag);
}

uint32_t Host::EngineState() {
  return m_engineState.load(std::memory_order_relaxed);
}

bool Host::TimeoutsSuspended() {
  return m_timeoutsSuspended.load(std::memory_order_relaxed);
}

int32_t Host::CheckLevel() {
  return m_checkLevel.load(std::memory_order_relaxed);
}

bool Host::EngineBool(const char* symbolName, bool* found) {
  return m_settings.Bool(symbolName, found);
}

int64_t Host::EngineInt(const char* symbolName, bool* found) {
  return m_settings.Int(symbolName, found);
}

// =============================================================================================
// Packages and components

bool Host::LoadPackage(const std::string& path, std::string* error) {
  std::string why;
  int32_t models = 0;
  if (m_packages.Load(path, this, why, &models)) {
    // Loaded but useless: most often the registration was left out of the link.
    if (models == 0) {
      m_reports.Add(("Package " + path + ": registers no component model").c_str(), 1, 0, false);
    }
    return true;
  }
  m_reports.Add(why.c_str(), 2, 0, false);
  if (error) {
    *error = why;
  }
  return false;
}

bool Host::AddModels(HostModelsQuery query, std::string* error) {
  std::string why;
  if (m_packages.AddModels(query, why)) {
    return true;
  }
  m_reports.Add(why.c_str(), 2, 0, false);
  if (error) {
    *error = why;
  }
  return false;
}

VANTModule* Host::CreateComponent(const char* modelName, const char* instanceName) {
  VANTComponentModelDefinition* record = m_packages.Model(modelName);
  if (!record || !record->factory) {
    NotSupported((std::string("the model ") + (modelName ? modelName : "(null)")).c_str());
    return nullptr;
  }
  if (!instanceName || m_symbols.Contains(instanceName)) {
    m_reports.Add((std::string("Host: the name ") + (instanceName ? instanceName : "(null)") +
                   " is already taken")
                      .c_str(),
                  2, 0, false);
    return nullptr;
  }
  VANTModule* module = nullptr;
  try {
    module = record->factory(instanceName, record);
  } catch (...) {
    module = nullptr;
  }
  if (!module) {
    m_reports.Add(
        (std::string("Host: the component ") + instanceName + " could not be created").c_str(), 2,
        0, false);
    return nullptr;
  }
  // The module may have entered its own record while it was constructed.
  if (!m_symbols.FindModule(instanceName)) {
    AddModule(instanceName, module);
  }
  return module;
}

// =============================================================================================
// Operations of later stages of this host

bool Host::Rename(const char* currentName, const char* newName) {
  return m_modules.Rename(currentName, newName);
}

void Host::Disconnect(VANTOutput* output, VANTInput* input) {
  if (output == nullptr || input == nullptr) {
    return;
  }
  // The output first: the reader index is given back only once the input no longer uses it.
  output->EngineDisconnect(input);
  std::lock_guard<std::mutex> lock(m_connectionsMutex);
  auto connection = m_connections.find(input);
  if (connection != m_connections.end() && connection->second.output == output) {
    auto readers = m_outputReaders.find(connection->second.output);
    if (readers != m_outputReaders.end()) {
      readers->second.usedMask &= ~(1u << connection->second.reader);
    }
    m_connections.erase(connection);
  }
}

void Host::DisconnectInput(VANTInput* input) {
  if (input != nullptr && input->IsConnected()) {
    Disconnect(input->Source(), input);
  }
}

void Host::Overrun(VANTOutput* output) {
  std::lock_guard<std::mutex> lock(m_connectionsMutex);
  auto readers = m_outputReaders.find(output);
  if (readers != m_outputReaders.end()) {
    ++readers->second.overruns;
  } else {
    m_outputReaders[output].overruns = 1;
  }
}

uint64_t Host::OverrunCount(VANTOutput* output) {
  std::lock_guard<std::mutex> lock(m_connectionsMutex);
  auto readers = m_outputReaders.find(output);
  return readers != m_outputReaders.end() ? readers->second.overruns : 0;
}

void Host::ForgetConnectionsNamed(const char* fullName) {
  if (fullName == nullptr) {
    return;
  }
  std::lock_guard<std::mutex> lock(m_connectionsMutex);
  for (auto connection = m_connections.begin(); connection != m_connections.end();) {
    if (connection->second.inputName == fullName) {
      auto readers = m_outputReaders.find(connection->second.output);
      if (readers != m_outputReaders.end()) {
        readers->second.usedMask &= ~(1u << connection->second.reader);
      }
      connection = m_connections.erase(connection);
    } else {
      ++connection;
    }
  }
  for (auto readers = m_outputReaders.begin(); readers != m_outputReaders.end();) {
    if (readers->second.name == fullName) {
      for (auto connection = m_connections.begin(); connection != m_connections.end();) {
        connection = connection->second.output == readers->first ? m_connections.erase(connection)
                                                                 : std::next(connection);
      }
      readers = m_outputReaders.erase(readers);
    } else {
      ++readers;
    }
  }
}

namespace {

// An integer property of the input's ("<input>.<suffix>"), or the fallback.
std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof(text), "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

/// "type 0x... VANTpcap_data_t": the type word and the structure name, when there is one.
std::string TypeText(const VANTDataType& type) {
  std::string text = "type " + Hex(type.flags);
  if (type.name1 != nullptr && *type.name1 != '\0') {
    text += std::string(" ") + type.name1;
  }
  return text;
}

bool AcceptsType(const VANTDataTypeFilter& filter, const VANTDataType& type) {
  VANTDataTypeFilter named(filter);
  for (const char** pattern : {&named.pattern1, &named.pattern2}) {
    if (*pattern != nullptr && **pattern == '\0') {
      *pattern = nullptr;
    }
  }
  return named.Accepts(type);
}

std::string FilterText(const VANTDataTypeFilter& filter) {
  std::string text = "accepts types " + Hex(filter.accept);
  if (filter.mask != 0) {
    text += " with " + Hex(filter.value & filter.mask) + " under mask " + Hex(filter.mask);
  }
  if (filter.pattern1 != nullptr && *filter.pattern1 != '\0') {
    text += std::string(" named ") + filter.pattern1;
  }
  return text;
}

int64_t InputSetting(HostSymbols& symbols, VANTInput* input, const char* suffix, int64_t fallback) {
  const std::string name = std::string(input->Name().Text()) + suffix;
  VANTSymbolRecord* record = symbols.Find(name.c_str());
  if (record == nullptr || record->kind != VANTSymbolRecord::kProperty ||
      record->object == nullptr) {
    return fallback;
  }
  int64_t value = fallback;
  static_cast<VANTProperty*>(record->object)->GetInteger(value);
  return value;
}

} // namespace

bool Host::Connect(VANTOutput* output, VANTInput* input) {
  if (output == nullptr || input == nullptr) {
    m_reports.Add("Host: cannot connect a missing output or input", 2, 0, false);
    return false;
  }
  const std::string inputName = input->Name().Text();
  const std::string outputName = output->Name().Text();
  if (input->IsConnected()) {
    m_reports.Add(("Host: input " + inputName + " is connected already").c_str(), 2, 0, false);
    return false;
  }
  // Every input the runtime makes is its one implementation, in the package's copy of the
  // runtime as in this program's (same sources and flags): its filter says what it accepts.
  // An empty name pattern (a dynamic input declared without a structure name) asks for no name.
  const VANTDataTypeFilter* filter = static_cast<VANTInputImplementation*>(input)->Filter();
  // A copy: the output's component may be retyping it on its own thread.
  const VANTDataType type = static_cast<VANTOutputImplementation*>(output)->TypeCopy();
  if (filter != nullptr && !AcceptsType(*filter, type)) {
    m_reports.Add(("Host: output " + outputName + " (" + TypeText(type) + ") does not fit input " +
                   inputName + " (" + FilterText(*filter) + ")")
                      .c_str(),
                  2, 0, false);
    return false;
  }
  const int64_t readerType = InputSetting(m_symbols, input, ".readerType", 0);
  const int64_t subsampling = InputSetting(m_symbols, input, ".subsampling", 1);
  const uint32_t role = readerType >= 0 && readerType <= 4 ? static_cast<uint32_t>(readerType) : 0u;
  const uint8_t readerByte =
      role <= 2 ? static_cast<uint8_t>(std::clamp<int64_t>(subsampling, 1, 256) - 1)
                : static_cast<uint8_t>(role);
  // The lowest reader index that neither this engine gave away nor the output's FIFO still
  // counts as taken (a detached reader that holds samples keeps its index until it lets go).
  // The FIFO is asked outside the connections' lock, which its own lock may need (overruns).
  uint32_t refused = 0;
  for (;;) {
    const uint32_t busy = output->EngineBusyReaders() | refused;
    uint32_t reader = 0;
    {
      std::lock_guard<std::mutex> lock(m_connectionsMutex);
      OutputReaders& readers = m_outputReaders[output];
      readers.name = outputName;
      while (reader < VANT::kMaxFifoReaders && ((readers.usedMask | busy) & (1u << reader)) != 0) {
        ++reader;
      }
      if (reader == VANT::kMaxFifoReaders) {
        m_reports.Add(("Host: output " + outputName + " has " +
                       std::to_string(VANT::kMaxFifoReaders) + " readers already; " + inputName +
                       " cannot be connected")
                          .c_str(),
                      VANT::kError, 0, false);
        return false;
      }
      readers.usedMask |= 1u << reader;
      m_connections[input] = Connection{output, reader, inputName};
    }
    if (output->EngineConnect(input, reader, role, readerByte)) {
      return true;
    }
    // Taken meanwhile: give it back and try the next one.
    std::lock_guard<std::mutex> lock(m_connectionsMutex);
    m_outputReaders[output].usedMask &= ~(1u << reader);
    m_connections.erase(input);
    refused |= 1u << reader;
  }
}

bool Host::Connect(const char* outputFullName, const char* inputFullName) {
  VANTSymbolRecord* output = m_symbols.Find(outputFullName);
  VANTSymbolRecord* input = m_symbols.Find(inputFullName);
  if (output == nullptr || output->kind != VANTSymbolRecord::kOutput) {
    m_reports.Add((std::string("Host: no output named ") + outputFullName).c_str(), 2, 0, false);
    return false;
  }
  if (input == nullptr || input->kind != VANTSymbolRecord::kInput) {
    m_reports.Add((std::string("Host: no input named ") + inputFullName).c_str(), 2, 0, false);
    return false;
  }
  return Connect(static_cast<VANTOutput*>(output->object), static_cast<VANTInput*>(input->object));
}

void Host::RunMainThread(VANTThreadContext* context) {
  {
    std::lock_guard<std::mutex> lock(m_mainThreadsMutex);
    ++m_mainThreadsIn[context->module];
  }
  HostThreads::RunMainThread(context);
  // The body's last touch of the component is behind it.
  {
    std::lock_guard<std::mutex> lock(m_mainThreadsMutex);
    if (--m_mainThreadsIn[context->module] == 0) {
      m_mainThreadsIn.erase(context->module);
    }
  }
  m_mainThreadLeft.notify_all();
}

void Host::RunModuleThread(VANTThreadContext* context) {
  HostThreads::RunExtraThread(context);
}

void Host::RunComponentThread(VANTThreadContext* context) {
  HostThreads::RunExtraThread(context);
}
