#pragma once
// The engine stand-in: a small but real implementation of the host kernel that loads package
// files, keeps the symbol table, the reports and the engine settings, and runs components. Tests
// and tools create one Host and hand it to the package as its kernel.
//
// The package keeps the kernel pointer for its whole life, so a Host must outlive every package
// it initialised (tests keep one per process, see tests/support/host_fixture.h).
//
// Thread: every kernel operation may be called from any thread. The parts (symbols, reports,
// settings, states, packages) each guard themselves; see their headers.

#include "host/host_modules.h"
#include "host/host_package.h"
#include "host/host_reports.h"
#include "host/host_settings.h"
#include "host/host_states.h"
#include "host/host_symbols.h"
#include "kernel/vant_host_kernel.h"
#include "runtime/vant_model_definition.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class HostClock;
class HostTriggers;

class Host final : public VANTHostKernel {
public:
  /// Reads the full name of an element the package registers (slots 24 to 27). The element
  /// classes belong to the runtime; whoever links them installs the namers.
  using ElementNamer = const char* (*)(const void* element);

  Host();
  ~Host();
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  // ------------------------------------------------------------------------------------------
  // Kernel operations (see kernel/vant_host_kernel.h for what the package relies on).
  void BeginChange(const char* reason) override;
  void EndChange() override;
  VANTSymbolRecord* ModuleRecord(const char* moduleName) override;
  void DropName(const char* fullName) override;
  void LockSymbols() override;
  void UnlockSymbols() override;
  bool RegisterInput(VANTInput* input) override;
  bool RegisterOutput(VANTOutput* output) override;
  bool RegisterProperty(VANTProperty* property) override;
  bool RegisterAction(VANTAction* action) override;
  void AnnounceModuleOutput(const char* fullName, const char* moduleName, const char* shortName,
                            int32_t position) override;
  void InputRemoved(const char* fullName) override;
  void OutputRemoved(const char* fullName) override;
  void AnnounceComponentOutput(const char* fullName, const char* moduleName, const char* shortName,
                               int32_t position) override;
  void AnnounceComponentInput(const char* fullName, const char* moduleName, const char* shortName,
                              int32_t position) override;
  void ModuleState(const char* moduleName, uint32_t stateWord) override;
  bool Rename(const char* currentName, const char* newName) override;
  void Disconnect(VANTOutput* output, VANTInput* input) override;
  void RunMainThread(VANTThreadContext* context) override;
  void RunModuleThread(VANTThreadContext* context) override;
  void RunComponentThread(VANTThreadContext* context) override;
  bool NameTaken(const char* name) override;
  VANTModule* ModuleByName(const char* name) override;
  VANTSymbolRecord* Symbol(const char* fullName) override;
  void Report(const char* text, int32_t level, int32_t option, bool flag) override;
  uint32_t EngineState() override;
  bool TimeoutsSuspended() override;
  int32_t SpeedSign() override;
  int32_t ClockState() override;
  void Overrun(VANTOutput* output) override;
  int32_t CheckLevel() override;
  void RegisterClock(VANTBaseClock* clock, bool* flag) override;
  void UnregisterClock(VANTBaseClock* clock) override;
  int64_t RealTime() override;
  int32_t TimeSpeed() override;
  int64_t CurrentTime(bool first, bool second) override;
  VANTWakeUpRegistry* WakeUps() override;
  void AcquireTimeLock() override;
  void ReleaseTimeLock() override;
  bool EngineBool(const char* symbolName, bool* found) override;
  int64_t EngineInt(const char* symbolName, bool* found) override;
  VANTTriggerService* Triggers() override;

  // ------------------------------------------------------------------------------------------
  // Packages and components.

  /// Loads a package file and initialises it with this host (see HostPackages::Load). A refusal
  /// is also kept as an error report.
  bool LoadPackage(const std::string& path, std::string* error = nullptr);
  /// Adds the models of a package linked into the program (its VANTGetModulesDefStruct).
  bool AddModels(HostModelsQuery query, std::string* error = nullptr);
  /// The record of a model (counts filled in), or null.
  VANTComponentModelDefinition* Model(const char* modelName) { return m_packages.Model(modelName); }
  std::vector<VANTComponentModelDefinition*> Models() { return m_packages.Models(); }
  HostPackages& Packages() { return m_packages; }

  /// Creates a component through its model's factory and enters it in the symbol table as a
  /// module. Null (with an error report) when the model is unknown, the name is taken or the
  /// factory fails.
  VANTModule* CreateComponent(const char* modelName, const char* instanceName);
  /// Enters a module created elsewhere; false when the name is taken.
  bool AddModule(const char* name, VANTModule* module);

  // Life cycle of a component made by CreateComponent, through its engine entries (a component's
  // virtual operations, so they work on components of loaded package files); host_threads.cpp.
  /// Starts it; false when the start failed (the reports tell why).
  bool StartComponent(VANTModule* component);
  /// Stops it and returns once it is dead, or after it refused to die for 10 s of real time.
  void StopComponent(VANTModule* component);
  /// Runs its Dynamic wrapper.
  void RunDynamic(VANTModule* component);
  /// Deletes it once its main thread has left its body (a component that ended its run by itself
  /// is dead before its thread is done with it); its names leave the symbol table. A thread still
  /// in its body after 10 s is reported and the component is left in place, never freed under it.
  void DestroyComponent(VANTModule* component);
  /// Connects output to input: the lowest free reader index of the output's FIFO, the role from
  /// the input's reader type (its ".readerType" property; FIFO readers also take the value of
  /// ".subsampling"). False, with an error report, when the input is connected already or the
  /// output has 32 readers, or when the input's type filter refuses the output's current type
  /// (an output still typed with the any-type word passes: it tells its type at its start).
  bool Connect(VANTOutput* output, VANTInput* input);
  /// The same by full names ("module.output", "module.input").
  bool Connect(const char* outputFullName, const char* inputFullName);
  /// Detaches input from its output (nothing when it is not connected).
  void DisconnectInput(VANTInput* input);
  /// Overrun notifications (kernel slot 114) received for that output so far.
  uint64_t OverrunCount(VANTOutput* output);
  /// The property of that full name ("module.short"), or null; set it through its setters.
  VANTProperty* FindProperty(const char* fullName);

  // ------------------------------------------------------------------------------------------
  // What tests and tools read and set.

  HostReports& Reports() { return m_reports; }
  /// Every report kept so far (the list is emptied).
  std::vector<HostReport> TakeReports() { return m_reports.Take(); }
  HostSymbols& Symbols() { return m_symbols; }
  HostSettings& Settings() { return m_settings; }
  HostStates& States() { return m_states; }
  /// Renaming, actions by name, announcements and the engine module "Engine.time".
  HostModules& Modules() { return m_modules; }
  /// Triggers the action of that full name ("module.action"); false when there is none or it
  /// failed (reported).
  bool TriggerAction(const char* fullName, intptr_t argument = 0) {
    return m_modules.TriggerAction(fullName, argument);
  }

  void SetElementNamer(VANTSymbolRecord::Kind kind, ElementNamer namer);

  void SetEngineState(uint32_t state) { m_engineState.store(state, std::memory_order_relaxed); }
  void SetTimeoutsSuspended(bool suspended) {
    m_timeoutsSuspended.store(suspended, std::memory_order_relaxed);
  }
  /// Engine time: speed, pause, jumps, the time lock and the wake-up registry.
  HostClock& Clock();
  HostTriggers& TriggerService();

  void SetCheckLevel(int32_t level) { m_checkLevel.store(level, std::memory_order_relaxed); }
  /// Moves the real time the package reads (kernel slot 122) forward, so that tests of real-time
  /// limits (the 10 s a stop waits for a death) take milliseconds. Engine time and the trigger
  /// service keep the clock's own real time. Real time never goes back.
  void AdvanceRealTime(int64_t microseconds) {
    if (microseconds > 0) {
      m_realTimeOffset.fetch_add(microseconds, std::memory_order_acq_rel);
    }
  }

  /// Waits until the module's last announced state word has every bit of mask.
  bool WaitForStateBits(const std::string& moduleName, uint32_t mask,
                        std::chrono::milliseconds timeout) {
    return m_states.WaitForBits(moduleName, mask, timeout);
  }

  /// Open structural changes (slots 0 and 1): current nesting, total opened, recent reasons.
  int32_t ChangeDepth() const { return m_changeDepth.load(std::memory_order_relaxed); }
  uint64_t ChangesOpened() const { return m_changesOpened.load(std::memory_order_relaxed); }
  std::vector<std::string> ChangeReasons();

  /// Back to a fresh engine between tests: reports, state words, change counters, settings,
  /// check level 0, engine state running, every symbol but the settings, engine time running at
  /// speed 1000 (not paused, not stepped). Models stay known.
  void Reset();

private:
  bool RegisterElement(VANTSymbolRecord::Kind kind, const void* element, const char* what);
  void NotSupported(const char* operation);

  HostReports m_reports;
  HostSymbols m_symbols;
  HostSettings m_settings{m_symbols};
  HostStates m_states;
  HostPackages m_packages;
  HostModules m_modules{m_symbols, m_reports};

  std::atomic<ElementNamer> m_namers[6] = {};
  std::atomic<uint32_t> m_engineState{1};
  std::atomic<bool> m_timeoutsSuspended{false};
  std::atomic<int32_t> m_checkLevel{0};
  std::atomic<int64_t> m_realTimeOffset{0};

  // Connections: which reader indices each output has given away, and to whom. The inputs and
  // outputs belong to the components; an output's entry goes when its name leaves the engine.
  struct OutputReaders {
    std::string name;
    uint32_t usedMask = 0;
    uint64_t overruns = 0;
  };
  std::mutex m_connectionsMutex; // leaf lock: never held while the package runs
  std::map<VANTOutput*, OutputReaders> m_outputReaders;
  struct Connection {
    VANTOutput* output;
    uint32_t reader;
    std::string inputName;
  };
  std::map<VANTInput*, Connection> m_connections;
  /// A name left the engine: an output of that name forgets its readers, an input of that name
  /// gives its reader index back.
  void ForgetConnectionsNamed(const char* fullName);

  // The components whose main thread is in its body (RunMainThread), by component.
  std::mutex m_mainThreadsMutex; // leaf lock
  std::condition_variable m_mainThreadLeft;
  std::map<const VANTModule*, int> m_mainThreadsIn;

  std::atomic<int32_t> m_changeDepth{0};
  std::atomic<uint64_t> m_changesOpened{0};
  std::mutex m_reasonsMutex; // leaf lock: only guards m_reasons
  std::vector<std::string> m_reasons;

  // Engine time (kernel slots 107, 108, 120 to 123, 129, 131 to 133, 159); see host.cpp.
  struct Time;
  std::unique_ptr<Time> m_time;
};
