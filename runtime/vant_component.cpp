#include "runtime/vant_component.h"

#include "dataflow/vant_input.h"
#include "dataflow/vant_output.h"
#include "kernel/vant_kernel.h"
#include "runtime/vant_module_io.h"
#include "runtime/vant_report.h"
#include "sync/vant_thread.h"
#include "util/vant_exceptions.h"

#include <atomic>
#include <exception>

namespace {

constexpr int64_t kBirthTimeout = 3000000;
constexpr int64_t kDeathTimeout = 10000000;
constexpr int64_t kDeathPoll = 10000;

VANTPropertyDefinition ComponentBuiltIn(const char* name, const VANTPropertyValue* value,
                                        bool modifiable, bool readOnly) {
  VANTPropertyDefinition definition{};
  definition.name = name;
  definition.defaultValue = value;
  definition.modifiableAfterStart = modifiable ? 1 : 0;
  definition.readOnly = readOnly ? 1 : 0;
  definition.fixedEnumValues = 1;
  return definition;
}

VANTPropertyImplementation* Implementation(VANTProperty* property) {
  return static_cast<VANTPropertyImplementation*>(property);
}

void ThreadedChanged(VANTProperty* property);
void PriorityChanged(VANTProperty* property);
void AutoStartChanged(VANTProperty* property);

} // namespace

/// The functions the engine's thread bodies call (kernel/vant_host_kernel.h), and the entry of the
/// main thread. Each catches everything itself.
struct VANTComponentThreadBodies {
  static VANTComponent* Component(VANTThreadContext* context) {
    return static_cast<VANTComponent*>(context->module);
  }
  static void Attach(VANTThreadContext* context, VANTThread* thread) noexcept {
    try {
      const bool isMain = context->kind == VANTThreadContext::kMain;
      context->module->AttachThread(thread, isMain);
      if (isMain) {
        VANTComponent* component = Component(context);
        if (component->m_primaryThreadID != nullptr) {
          component->SetIntegerUnchecked(component->m_primaryThreadID, VANT::CurrentThreadId());
        }
      }
    } catch (...) {
      // Attaching only fails for want of memory; the thread still runs.
    }
  }
  static bool Birth(VANTThreadContext* context) noexcept { return Component(context)->MainBirth(); }
  static bool Cycle(VANTThreadContext* context) noexcept { return Component(context)->MainCycle(); }
  static void Death(VANTThreadContext* context) noexcept { Component(context)->MainDeath(); }
  static void Run(VANTThreadContext* context) noexcept {
    context->module->RunExtraThread(context->user);
  }
  static void Detach(VANTThreadContext* context, VANTThread* thread) noexcept {
    try {
      context->module->DetachThread(thread, context->kind == VANTThreadContext::kMain);
    } catch (...) {
    }
  }
  static uint32_t MainEntry(void* argument) {
    auto* component = static_cast<VANTComponent*>(argument);
    VANT::Kernel()->RunMainThread(&component->m_mainContext);
    return 0;
  }
};

const VANTThreadHooks& VANTModule::ThreadHooks() noexcept {
  static const VANTThreadHooks hooks{
      &VANTComponentThreadBodies::Attach, &VANTComponentThreadBodies::Birth,
      &VANTComponentThreadBodies::Cycle,  &VANTComponentThreadBodies::Death,
      &VANTComponentThreadBodies::Run,    &VANTComponentThreadBodies::Detach,
  };
  return hooks;
}

// ---- Construction and destruction
// ----------------------------------------------------------------

VANTComponent::VANTComponent(const char* name, VANTComponentModelDefinition* record)
    : VANTModule(name, true, true), m_record(record) {
  m_state.store(kDead, std::memory_order_release);
  m_symbolNames.PushBack(name);

  const VANTPropertyValue threaded(record->threadedByDefault != 0);
  const VANTPropertyValue priority(static_cast<int64_t>(record->priority));
  const VANTPropertyValue autoStart(true);
  const VANTPropertyValue version(record->version != nullptr ? record->version : "");
  const VANTPropertyValue primaryThreadID(int64_t{-1});
  m_threaded.store(record->threadedByDefault != 0, std::memory_order_release);
  m_threadedProperty = NewBuiltInProperty(ComponentBuiltIn("threaded", &threaded, false, false));
  m_threadedProperty->SetWriteCallback(ThreadedChanged);
  m_priority = NewBuiltInProperty(ComponentBuiltIn("priority", &priority, true, false));
  m_priority->SetWriteCallback(PriorityChanged);
  m_autoStart = NewBuiltInProperty(ComponentBuiltIn("autoStart", &autoStart, true, false));
  m_autoStart->SetWriteCallback(AutoStartChanged);
  m_modelVersion =
      NewBuiltInProperty(ComponentBuiltIn("componentModelVersion", &version, false, true));
  m_primaryThreadID =
      NewBuiltInProperty(ComponentBuiltIn("primaryThreadID", &primaryThreadID, false, true));
  MarkBuiltInProperties();

  // The record's own properties (its count fields may still say "not counted": the table ends
  // with a null name either way), then its inputs, outputs and actions.
  if (record->properties != nullptr) {
    for (uint32_t i = 0; i < record->propertyCount && record->properties[i].name != nullptr; ++i) {
      NewProperty(record->properties[i]);
    }
  }
  VANT::ModuleIO::CreateDeclaredElements(*this, *record);

  m_mainContext.size = sizeof(VANTThreadContext);
  m_mainContext.kind = VANTThreadContext::kMain;
  m_mainContext.module = this;
  m_mainContext.hooks = &ThreadHooks();
}

VANTComponent::~VANTComponent() {
  if (m_record != nullptr) {
    // Zero stays zero; otherwise count up, skipping 0 on wrap-around.
    std::atomic_ref<uint32_t> stamp(m_record->destructionStamp);
    uint32_t value = stamp.load(std::memory_order_relaxed);
    while (value != 0 && !stamp.compare_exchange_weak(value, value == 0xFFFFFFFFu ? 1u : value + 1,
                                                      std::memory_order_relaxed)) {
    }
  }
  if ((State() & kDead) == 0) {
    try {
      VANTStreamedString message;
      message << "The destructor of component " << Name() << " was called though " << Name()
              << " is still alive.";
      VANT::KernelReport(message.Text(), VANT::kError, 1, true);
    } catch (...) {
    }
  }
  // No writer upstream runs a processing step of this component from now on.
  VANT::ModuleIO::DisconnectInputs(*this);
}

const char* VANTComponent::TypeText() const {
  return "component";
}

VANTStackedString<40> VANTComponent::Prefix() const {
  VANTStackedString<40> prefix(TypeText());
  prefix.Append(' ');
  prefix.Append(Name());
  return prefix;
}

// ---- Default life-cycle operations
// ----------------------------------------------------------------

void VANTComponent::Dynamic() {
  VANTCountedLocker lock(m_structureLock);
  m_inputCursor = nullptr;
  m_outputCursor = nullptr;
  m_propertyCursor = nullptr;
  m_actionCursor = nullptr;
}

void VANTComponent::Birth() {}
void VANTComponent::PreDeath() {}
void VANTComponent::Death() {}

void VANTComponent::ReleaseOutputs() {
  VANTCountedLocker lock(m_structureLock);
  for (VANTOutput* output : m_outputs) {
    VANT::ModuleIO::ReleaseOutputWriter(output);
  }
}

void VANTComponent::ReleaseWithOutputs(std::shared_ptr<void> resource) {
  VANT::ModuleIO::ReleaseWithOutputs(*this, resource);
}

void VANTComponent::ReleaseAfterFailedStart() noexcept {
  VANT::ModuleIO::ReleaseOutputWriters(*this);
}

VANTComponentTriple VANTComponent::Triple() {
  return m_triple;
}
void VANTComponent::SetTriple(const VANTComponentTriple& triple) {
  m_triple = triple;
}

// ---- Property setters: each followed by the Dynamic wrapper
// ---------------------------------------

void VANTComponent::SetEnum(VANTProperty* property, const VANTEnumStruct& value) {
  VANTModule::SetEnum(property, value);
  DynamicWrapper();
}
void VANTComponent::SetString(VANTProperty* property, const char* value) {
  VANTModule::SetString(property, value);
  DynamicWrapper();
}
void VANTComponent::SetFloat(VANTProperty* property, double value) {
  VANTModule::SetFloat(property, value);
  DynamicWrapper();
}
void VANTComponent::SetInteger(VANTProperty* property, int64_t value) {
  VANTModule::SetInteger(property, value);
  DynamicWrapper();
}
void VANTComponent::SetBoolean(VANTProperty* property, bool value) {
  VANTModule::SetBoolean(property, value);
  DynamicWrapper();
}

namespace {

// The item `count` steps after `from` (the head when from is null and fromHead is set), or null.
template <typename T>
VANTListItem<T>* Advance(VANTListItem<T>* from, uint64_t count) {
  VANTListItem<T>* item = from;
  for (uint64_t i = 0; item != nullptr && i < count; ++i) {
    item = item->Next();
  }
  return item;
}

} // namespace

void VANTComponent::DynamicWrapper() {
  VANTHostKernel* kernel = VANT::Kernel();
  if (kernel != nullptr) {
    kernel->BeginChange("Calling Dynamic");
  }
  struct Close {
    VANTComponent& self;
    VANTHostKernel* kernel;
    ~Close() {
      self.NotifyState();
      if (kernel != nullptr) {
        kernel->EndChange();
      }
    }
  } close{*this, kernel};

  // A started component never runs Dynamic: do not wait for the start lock then, which a stop
  // may hold while it waits for this very component to die.
  if ((State() & kStarted) != 0) {
    return;
  }
  VANTCountedLocker start(m_startLock);
  if ((State() & kStarted) != 0 || m_inDynamic) {
    return;
  }
  m_inDynamic = true;
  auto clearCursors = [this] {
    VANTCountedLocker lock(m_structureLock);
    m_inputCursor = nullptr;
    m_outputCursor = nullptr;
    m_propertyCursor = nullptr;
    m_actionCursor = nullptr;
    m_inDynamic = false;
  };
  {
    VANTCountedLocker lock(m_structureLock);
    m_inputCursor = Advance(m_inputs.Head(), m_record->inputCount);
    m_outputCursor = Advance(m_outputs.Head(), m_record->outputCount);
    m_propertyCursor = Advance(m_properties.Head(),
                               static_cast<uint64_t>(m_builtInCount) + m_record->propertyCount);
    m_actionCursor = Advance(m_actions.Head(), m_record->actionCount);
    m_state.fetch_and(~kError, std::memory_order_acq_rel);
  }
  try {
    Dynamic();
    VANT::ModuleIO::RemoveUndeclaredElements(*this);
  } catch (...) {
    clearCursors();
    throw;
  }
  clearCursors();
}

// ---- Start
// -----------------------------------------------------------------------------------------

bool VANTComponent::EngineStart() noexcept {
  try {
    return Start();
  } catch (...) {
    ReportEscapedException(EscapePhase::kStart);
  }
  return false;
}

bool VANTComponent::Start() {
  {
    VANTCountedLocker lock(m_structureLock);
    if ((State() & kStarted) != 0) {
      NotifyState();
      return true;
    }
    ChangeState(kStarted, kError);
  }
  VANTCountedLocker start(m_startLock);
  auto failStart = [this] {
    ChangeState(kError, kStarted);
    NotifyState();
  };

  // Every property of the model that needs a value must have received one. Input and output
  // sub-properties never do, so the walk starts right after the runtime's own properties.
  VANTStackedString<40> uninitialised;
  {
    VANTCountedLocker values(m_propertyLock);
    VANTCountedLocker lock(m_structureLock);
    for (auto* item = m_lastBuiltIn != nullptr ? m_lastBuiltIn->Next() : m_properties.Head();
         item != nullptr; item = item->Next()) {
      if (Implementation(item->Value())->Definition().needsInit != 0) {
        uninitialised = item->Value()->ShortName();
        break;
      }
    }
  }
  if (!uninitialised.IsEmpty()) {
    failStart();
    VANTStreamedString message;
    message << "Unable to start component " << Name() << ". Its property " << uninitialised
            << " needs to be initialized.";
    VANT::RaiseError(message.Text(), 1);
  }

  try {
    VANT::ModuleIO::PrepareOutputsForStart(*this);
  } catch (...) {
    ReleaseAfterFailedStart(); // the outputs allocated before the failure, so a retry can work
    failStart();
    throw;
  }
  {
    VANTCountedLocker values(m_propertyLock);
    ResetStatisticsRun();
  }
  ChangeState(0, kDying);
  m_stopEvent.Reset();
  ChangeState(0, kDead);
  m_threadsDoneEvent.Reset();
  m_deadEvent.Reset();

  // The record's threading models may have changed since the component was saved.
  const uint32_t models = m_record->threadingModels;
  if (IsThreaded() && (models & VANT::kThreadedModel) == 0) {
    m_threaded.store(false, std::memory_order_release);
    Report("Threaded behaviour is not allowed anymore for this component (its threading model "
           "may have changed since last save operation).",
           VANT::kWarning);
    SetBooleanUnchecked(m_threadedProperty, false);
  }
  if (!IsThreaded() && (models & VANT::kSequentialModel) == 0) {
    m_threaded.store(true, std::memory_order_release);
    Report("Sequential behaviour is not allowed anymore for this component (its threading model "
           "may have changed since last save operation).",
           VANT::kWarning);
    SetBooleanUnchecked(m_threadedProperty, true);
  }

  bool started = true;
  if (IsThreaded()) {
    bool created = false;
    try {
      created = VANT::Kernel() != nullptr &&
                VANT::StartThread(&VANTComponentThreadBodies::MainEntry, this);
    } catch (...) {
      created = false;
    }
    if (!created) {
      ReleaseAfterFailedStart();
      failStart();
      Error("Failed to start component main thread", 1);
    }
    bool found = false;
    if (VANT::Kernel()->EngineBool("Engine.sequentialStart", &found) && found &&
        m_birthEvent.Wait(kBirthTimeout) != 0) {
      Report("Couldn't start. Birth didn't occur correctly (3s timeout).", VANT::kInformation);
    }
  } else {
    started = StartSequential();
  }
  NotifyState();
  return started;
}

bool VANTComponent::StartSequential() {
  if (m_primaryThreadID != nullptr) {
    SetIntegerUnchecked(m_primaryThreadID, 0);
  }
  VANTMutexLocker sequential(m_sequentialLock);
  m_sequentialStopped.store(false, std::memory_order_release);
  ChangeRunningThreads(+1);
  bool born = true;
  try {
    Birth();
  } catch (...) {
    born = false;
    Report("Couldn't start. Birth didn't occur correctly (died at birth).", VANT::kInformation);
  }
  ChangeState(0, kDead);
  NotifyState();
  if (!born) {
    SequentialDeathAfterError();
    try {
      ReleaseOutputs(); // what the start and Birth allocated, so a retry can work
    } catch (...) {
    }
    return false;
  }
  // The data that arrived before the start. The steps run without the structure lock (a step may
  // wait); the list stays as it is under the start lock, which Dynamic, its only writer while the
  // component lives, holds too.
  for (auto* item = Inputs().Head(); item != nullptr; item = item->Next()) {
    if (m_sequentialStopped.load(std::memory_order_acquire)) {
      break;
    }
    RunSequential(item->Value(), false);
  }
  return true;
}

// ---- Sequential processing
// -------------------------------------------------------------------------

void VANTComponent::ProcessInput(VANTInput* input) {
  VANTMutexLocker sequential(m_sequentialLock);
  if (m_sequentialStopped.load(std::memory_order_acquire) || IsDying()) {
    return;
  }
  RunSequential(input, true);
}

void VANTComponent::RunSequential(VANTInput* input, bool stopReadingRound) {
  try {
    while (!m_sequentialStopped.load(std::memory_order_acquire) && !IsDying() &&
           input->DataAvailable()) {
      if (VANT::ModuleIO::SkipForSubsampling(*this, input)) {
        continue;
      }
      // One pass per sample: a pass that leaves as much to read as before it (a reader of the
      // newest sample, or a Cycle that reads nothing) ends the step until the next publication.
      const int32_t before = input->AvailableCount();
      m_currentInput = input;
      UpdateStatistics();
      Cycle();
      if (stopReadingRound) {
        VANT::ModuleIO::StopReadingAllInputs(*this);
      }
      if (input->AvailableCount() >= before) {
        break;
      }
    }
  } catch (...) {
    // This step runs on the thread of a writer upstream, which must not pay for the reader's
    // fault: the reader goes into error and dies; the writer goes on.
    ReportEscapedException(EscapePhase::kSequential);
  }
}

void VANTComponent::SequentialDeathAfterError() noexcept {
  ChangeState(kError | kDying, 0);
  m_stopEvent.Set();
  if (!m_sequentialStopped.exchange(true, std::memory_order_acq_rel)) {
    DieNow();
  }
}

void VANTComponent::DieNow() noexcept {
  try {
    ChangeRunningThreads(-1);
  } catch (...) {
  }
  try {
    PreDeath();
  } catch (...) {
    // The pre-death hook is a courtesy; Death still runs.
  }
  WaitForThreads();
  GuardedDeath();
  AfterDeath();
}

// ---- Main thread
// -----------------------------------------------------------------------------------

bool VANTComponent::MainBirth() noexcept {
  bool born = false;
  if (!IsDying()) {
    try {
      Birth();
      born = true;
    } catch (...) {
      ReportEscapedException(EscapePhase::kBirth);
    }
  }
  m_birthEvent.Set();
  return born && !IsDying();
}

bool VANTComponent::MainCycle() noexcept {
  if (IsDying()) {
    return false;
  }
  try {
    UpdateStatistics();
    Cycle();
  } catch (...) {
    ReportEscapedException(EscapePhase::kCycle);
    return false;
  }
  return !IsDying();
}

void VANTComponent::MainDeath() noexcept {
  // Whatever ended the run, the component's other threads and waits are told to stop now.
  ChangeState(kDying, 0);
  m_stopEvent.Set();
  DieNow();
}

namespace {

// The exception being handled, as the reports tell it.
struct Escaped {
  enum Kind { kInteger, kString, kStandard, kUnknown };
  Kind kind = kUnknown;
  int value = 0;
  const char* text = ""; // the string thrown, or what(): valid while the exception is handled
};

Escaped ClassifyCurrentException() noexcept {
  Escaped escaped;
  try {
    throw;
  } catch (int value) {
    escaped.kind = Escaped::kInteger;
    escaped.value = value;
  } catch (const char* text) {
    escaped.kind = Escaped::kString;
    escaped.text = text != nullptr ? text : "";
  } catch (const std::exception& exception) {
    escaped.kind = Escaped::kStandard;
    escaped.text = exception.what();
  } catch (...) {
  }
  return escaped;
}

} // namespace

void VANTComponent::ReportEscapedException(EscapePhase phase) noexcept {
  const Escaped escaped = ClassifyCurrentException();
  const bool integer = escaped.kind == Escaped::kInteger;
  const bool stop = integer && escaped.value == VANT::StopException;
  const bool error = integer && escaped.value == VANT::ErrorException;
  const bool timeout = integer && escaped.value == VANT::TimeoutException;
  const char* const catchUp = " Trying to catch up but the component might crash later.";
  try {
    VANTStreamedString message;
    switch (phase) {
    case EscapePhase::kStart:
      // An integer was reported where it was raised.
      if (escaped.kind == Escaped::kStandard) {
        message << "Start failed: " << escaped.text;
        Report(message.Text(), VANT::kError, 1);
      } else if (!integer) {
        Report("Start failed.", VANT::kError, 1);
      }
      return;
    case EscapePhase::kDeath:
      message << Name();
      if (error) {
        message << ": VANT::ErrorException thrown from Death(). Trying to catch up. The component "
                   "might crash later.";
      } else if (integer) {
        message << ": unhandled integer exception thrown from Death(). Trying to catch up. The "
                   "component might crash later.";
      } else if (escaped.kind == Escaped::kStandard) {
        message << ": unhandled std::exception thrown from Death() (" << escaped.text
                << "). Trying to catch up. The component might crash later.";
      } else {
        message << ": unhandled exception thrown from Death(). Trying to catch up. The component "
                   "might crash later.";
      }
      VANT::KernelReport(message.Text(), VANT::kError, error ? 0 : 2, true);
      return;
    case EscapePhase::kBirth:
    case EscapePhase::kCycle:
    case EscapePhase::kSequential:
      break;
    }
    if (stop) {
      return; // a stop request, not a failure
    }
    const bool sequential = phase == EscapePhase::kSequential;
    int32_t level = VANT::kError;
    bool display = false;
    if (error) {
      message << Prefix()
              << (sequential ? " (sequential) died due to an error." : " died due to an error.");
      level = VANT::kWarning;
    } else if (timeout) {
      message << "Component " << Name() << " : Time out (deadlock?) on an input";
    } else if (integer) {
      message << Prefix()
              << " : Fatal error : Unhandled integer exception thrown: " << escaped.value
              << catchUp;
    } else {
      display = true;
      message << Prefix() << " : Fatal error : ";
      if (escaped.kind == Escaped::kString) {
        message << "Unhandled string thrown: " << escaped.text << catchUp;
      } else if (escaped.kind == Escaped::kStandard) {
        message << "Unhandled std::exception thrown: " << escaped.text << catchUp;
      } else {
        message << "Unhandled exception thrown." << catchUp;
      }
    }
    if (sequential) {
      if (display) {
        VANT::DirectDisplay(message.Text(), VANT::kError, true);
      }
      VANT::ExternalReport(message.Text(), level, level == VANT::kWarning ? 1 : 0);
      SequentialDeathAfterError();
      return;
    }
    ChangeState(kError | kDying, 0);
    m_stopEvent.Set();
    if (display) {
      VANT::DirectDisplay(message.Text(), VANT::kError, true);
    }
    VANT::ExternalReport(message.Text(), level, level == VANT::kWarning ? 1 : 0);
    if (phase == EscapePhase::kBirth) {
      Report("Couldn't start. Birth didn't occur correctly (died at birth).", VANT::kInformation);
    }
  } catch (...) {
    // Out of memory while reporting: the component is still marked to die.
    if (phase == EscapePhase::kSequential && !stop) {
      SequentialDeathAfterError();
    } else if (phase == EscapePhase::kBirth || phase == EscapePhase::kCycle) {
      ChangeState(kError | kDying, 0);
      m_stopEvent.Set();
    }
  }
}

// ---- Death
// -----------------------------------------------------------------------------------------

void VANTComponent::GuardedDeath() noexcept {
  try {
    Death();
  } catch (...) {
    ReportEscapedException(EscapePhase::kDeath);
  }
}

void VANTComponent::AfterDeath() noexcept {
  VANT::ModuleIO::StopReadingHeldInputs(*this);
  try {
    VANTStreamedString message;
    message << "Component " << Name() << " is dead.";
    VANT::KernelReport(message.Text(), VANT::kInformation, 0, true);
    ResetStatistics();
  } catch (...) {
  }
  bool releaseOutputs = false;
  {
    VANTCountedLocker lock(m_structureLock);
    ChangeState(kDead, kDying | kStarted);
    releaseOutputs = m_releaseOutputsAtDeath;
    m_releaseOutputsAtDeath = false;
  }
  if (releaseOutputs) {
    try {
      ReleaseOutputs();
    } catch (...) {
    }
  }
  m_birthEvent.Reset();
  m_deadEvent.Set();
  NotifyState();
}

// ---- Stop
// ------------------------------------------------------------------------------------------

void VANTComponent::EngineStop() noexcept {
  try {
    Stop();
  } catch (...) {
    Report("Stop failed.", VANT::kError, 1);
  }
}

void VANTComponent::Stop() {
  VANTCountedLocker start(m_startLock);
  ChangeState(kDying, 0);
  m_stopEvent.Set();

  if (!IsThreaded()) {
    if (m_primaryThreadID != nullptr) {
      SetIntegerUnchecked(m_primaryThreadID, -1);
    }
    VANTMutexLocker sequential(m_sequentialLock);
    if (!m_sequentialStopped.exchange(true, std::memory_order_acq_rel)) {
      DieNow();
    }
  }

  // Wait for the death, measured on the engine's real-time clock; the dead event ends each pause
  // as soon as the clean-up after death has run.
  VANTHostKernel* kernel = VANT::Kernel();
  const int64_t begin = kernel != nullptr ? kernel->RealTime() : 0;
  while ((State() & kDead) == 0) {
    if (kernel == nullptr || kernel->RealTime() - begin >= kDeathTimeout) {
      VANTStreamedString message;
      message << "Component " << Name() << " refuses to die after 10 seconds. The component model "
              << (m_record->modelName != nullptr ? m_record->modelName : "") << " must be bugged.";
      VANT::KernelReport(message.Text(), VANT::kWarning, 1, true);
      break;
    }
    m_deadEvent.Wait(kDeathPoll);
  }

  VANT::ModuleIO::ReleaseReadersAtStop(*this, (State() & kDead) != 0);
  // A component that refused to die stays asked to, and keeps its outputs until it is dead: it
  // dies as soon as its thread lets it, and the clean-up after its death releases them.
  bool releaseNow = false;
  {
    VANTCountedLocker lock(m_structureLock);
    releaseNow = (State() & kDead) != 0;
    if (releaseNow) {
      ChangeState(0, kDying);
    } else {
      m_releaseOutputsAtDeath = true;
    }
  }
  if (releaseNow) {
    try {
      ReleaseOutputs();
    } catch (...) {
    }
  }
  NotifyState();
}

void VANTComponent::StopFromCycle() {
  ChangeState(kDying, 0);
  m_stopEvent.Set();
  if (IsThreaded()) {
    throw VANT::StopException;
  }
  if (!m_sequentialStopped.exchange(true, std::memory_order_acq_rel)) {
    DieNow();
  }
}

void VANTComponent::SetThreadedFlag(bool threaded) noexcept {
  m_threaded.store(threaded, std::memory_order_release);
}

void VANTComponent::SetAutoStartBit(bool on) {
  if (on) {
    ChangeState(kAutoStart, 0);
  } else {
    ChangeState(0, kAutoStart);
  }
  NotifyState();
}

void VANTComponent::EngineDynamic() noexcept {
  try {
    DynamicWrapper();
  } catch (...) {
    // Reported where it was raised.
  }
}

// ---- Threads
// ---------------------------------------------------------------------------------------

VANTThread* VANTComponent::CreateThread(VANTThreadFunction function) {
  return CreateComponentThread([this, function] { (this->*function)(); });
}

VANTThread* VANTComponent::CreateComponentThread(std::function<void()> body) {
  return CreateExtraThread(VANTThreadContext::kComponentMember, std::move(body),
                           "Failed to create a component thread that runs a member function",
                           nullptr);
}

std::pair<int32_t, int32_t> VANTComponent::CreateThread(VANTThreadFreeFunction function,
                                                        void* argument) {
  VANTStackedString<40> version;
  bool found = false;
  VANT::GetPropertyStringByName("Engine.version", version, &found);
  if (!found) {
    Error("This component needs to create a component thread that runs a non-member function. "
          "Your engine version does NOT support creating component threads that run non-member "
          "functions. Either update your engine to Corvex >= 4.7.0 or change this component's "
          "code to use VANTComponent::CreateThread(VANTThreadFunction) instead of "
          "VANTComponent::CreateThread(VANTThreadFreeFunction, void*)",
          1);
  }
  int32_t pair[2] = {0, 0};
  CreateExtraThread(
      VANTThreadContext::kComponentFree, [function, argument] { function(argument); },
      "Failed to create a component thread that runs a non-member function", pair);
  return {pair[0], pair[1]};
}

// ---- Change callbacks of the component's built-in properties
// --------------------------------------

namespace {

void ThreadedChanged(VANTProperty* property) {
  auto* component = static_cast<VANTComponent*>(property->Module());
  component->SetThreadedFlag(Implementation(property)->Value().Boolean());
}

void PriorityChanged(VANTProperty* property) {
  VANTModule* module = property->Module();
  const int64_t priority = Implementation(property)->Value().Integer();
  if (priority < 0 || priority > 255) {
    module->SetIntegerUnchecked(property, 128);
    module->Error("Invalid priority value. Component's priority should be set between 0 and 255.",
                  1);
  }
  VANTCountedLocker lock(module->StructureLock());
  for (VANTThread* thread : module->Threads()) {
    thread->SetPriority(static_cast<int32_t>(priority));
  }
}

void AutoStartChanged(VANTProperty* property) {
  auto* component = static_cast<VANTComponent*>(property->Module());
  component->SetAutoStartBit(Implementation(property)->Value().Boolean());
}

} // namespace
