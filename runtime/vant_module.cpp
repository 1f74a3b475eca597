#include "runtime/vant_module.h"

#include "dataflow/vant_input.h"
#include "dataflow/vant_output.h"
#include "kernel/vant_host_kernel.h"
#include "kernel/vant_kernel.h"
#include "runtime/vant_action.h"
#include "runtime/vant_module_io.h"
#include "runtime/vant_report.h"
#include "util/vant_exceptions.h"
#include "util/vant_report_hook.h"

#include <cstring>

namespace {

VANTPropertyDefinition BuiltIn(const char* name, const VANTPropertyValue* value, bool modifiable,
                               bool readOnly) {
  VANTPropertyDefinition definition{};
  definition.name = name;
  definition.defaultValue = value;
  definition.extra = nullptr;
  definition.needsInit = 0;
  definition.modifiableAfterStart = modifiable ? 1 : 0;
  definition.readOnly = readOnly ? 1 : 0;
  definition.fixedEnumValues = 1;
  definition.stringFlags = 0;
  return definition;
}

// The built-in definitions of every module (function-local, so they exist whenever a module is
// constructed, static initialisation included).
struct ModuleBuiltIns {
  VANTPropertyValue minusOne{int64_t{-1}};
  VANTPropertyValue zero{int64_t{0}};
  VANTPropertyValue ten{int64_t{10}};
  VANTPropertyDefinition processor = BuiltIn("processor", &minusOne, true, false);
  VANTPropertyDefinition counter = BuiltIn("counter", &zero, false, true);
  VANTPropertyDefinition nbPeriods = BuiltIn("nbPeriods", &ten, true, false);
  VANTPropertyDefinition averagePeriod = BuiltIn("averagePeriod", &zero, false, true);
  VANTPropertyDefinition maxPeriod = BuiltIn("maxPeriod", &zero, false, true);
  VANTPropertyDefinition minPeriod = BuiltIn("minPeriod", &zero, false, true);
  VANTPropertyDefinition contextSwitches = BuiltIn("contextSwitches", &zero, false, true);
  VANTPropertyDefinition cpuLoad = BuiltIn("CPULoad", &zero, false, true);
};

const ModuleBuiltIns& BuiltIns() {
  static const ModuleBuiltIns builtIns;
  return builtIns;
}

VANTPropertyImplementation* Implementation(VANTProperty* property) {
  return static_cast<VANTPropertyImplementation*>(property);
}

// Read callback of contextSwitches and CPULoad: the rounded hundredth of the threads' sum.
template <uint32_t (VANTThread::*Read)()>
void SumOverThreads(VANTProperty* property, void* value) {
  VANTModule* module = property->Module();
  uint64_t sum = 0;
  {
    VANTCountedLocker lock(module->StructureLock());
    for (VANTThread* thread : module->Threads()) {
      sum += (thread->*Read)();
    }
  }
  *static_cast<int64_t*>(value) = static_cast<int64_t>((sum + 50) / 100);
}

// Change callback of processor: every thread gets the new processor.
void ProcessorChanged(VANTProperty* property) {
  VANTModule* module = property->Module();
  const int64_t processor = Implementation(property)->Value().Integer();
  VANTCountedLocker lock(module->StructureLock());
  for (VANTThread* thread : module->Threads()) {
    thread->SetProcessor(processor);
  }
}

} // namespace

// ---- VANTModuleBase
// ------------------------------------------------------------------------------

VANTModuleBase::VANTModuleBase(const char* name) : m_name(name) {}

VANTModuleBase::~VANTModuleBase() = default;

void VANTModuleBase::SetName(const char* oldName, const char* newName) {
  if (m_name == oldName) {
    m_name = newName;
    return;
  }
  const std::size_t newLength = VANT::StringLength(newName);
  if (newLength > static_cast<std::size_t>(m_name.Length()) ||
      std::memcmp(m_name.Text(), newName == nullptr ? "" : newName, newLength) != 0) {
    return;
  }
  const char* dot = std::strchr(m_name.Text(), '.');
  if (dot == nullptr) {
    return; // nothing to rebuild the name from
  }
  VANTStackedString<40> rebuilt(newName);
  rebuilt.Append(dot);
  m_name = rebuilt;
}

// ---- VANTModule
// ----------------------------------------------------------------------------------

VANTModule::VANTModule(const char* name, bool withStatistics, bool withProcessor)
    : VANTModuleBase(name), m_state(kStarted) {
  const ModuleBuiltIns& builtIns = BuiltIns();
  if (withProcessor) {
    m_processor = NewBuiltInProperty(builtIns.processor);
    m_processor->SetWriteCallback(ProcessorChanged);
  }
  if (withStatistics) {
    m_counter = NewBuiltInProperty(builtIns.counter);
    m_nbPeriods = NewBuiltInProperty(builtIns.nbPeriods);
    m_averagePeriod = NewBuiltInProperty(builtIns.averagePeriod);
    m_minPeriod = NewBuiltInProperty(builtIns.minPeriod);
    m_maxPeriod = NewBuiltInProperty(builtIns.maxPeriod);
    m_contextSwitches = NewBuiltInProperty(builtIns.contextSwitches);
    m_contextSwitches->SetReadCallback(SumOverThreads<&VANTThread::ContextSwitches>);
    m_cpuLoad = NewBuiltInProperty(builtIns.cpuLoad);
    m_cpuLoad->SetReadCallback(SumOverThreads<&VANTThread::CpuLoad>);
    ResetStatisticsRun();
  }
}

VANTModule::~VANTModule() {
  // A thread that is still detaching itself touches the lists below: let it finish.
  WaitForDetachedThreads();
  VANTHostKernel* kernel = VANT::Kernel();
  if (kernel != nullptr) {
    for (const VANTStackedString<40>& name : m_symbolNames) {
      kernel->DropName(name.Text());
    }
  }
  for (VANTAction* action : m_actions) {
    delete action;
  }
  m_actions.Clear();
  for (VANTInput* input : m_inputs) {
    delete input;
  }
  m_inputs.Clear();
  for (VANTOutput* output : m_outputs) {
    delete output;
  }
  m_outputs.Clear();
  for (VANTProperty* property : m_properties) {
    delete property;
  }
  m_properties.Clear();
}

const char* VANTModule::TypeText() const {
  return "module";
}

void VANTModule::ProcessInput(VANTInput* /*input*/) {}

void VANTModule::SetName(const char* oldName, const char* newName) {
  VANTCountedLocker lock(m_structureLock);
  for (VANTProperty* property : m_properties) {
    Implementation(property)->Rename(oldName, newName);
  }
  VANT::ModuleIO::RenameElements(*this, oldName, newName);
  VANTModuleBase::SetName(oldName, newName);
  const std::size_t oldLength = VANT::StringLength(oldName);
  for (VANTStackedString<40>& entry : m_symbolNames) {
    const char* text = entry.Text();
    if (std::strncmp(text, oldName, oldLength) == 0 &&
        (text[oldLength] == 0 || text[oldLength] == '.')) {
      VANTStackedString<40> renamed(newName);
      renamed.Append(text + oldLength);
      entry = renamed;
    }
  }
}

void VANTModule::Error(const char* text, int32_t option, int32_t code) {
  {
    VANTCountedLocker lock(m_structureLock);
    m_errorCode = code;
    m_errorText = text;
    m_state.fetch_or(kError, std::memory_order_acq_rel);
    NotifyState();
  }
  Report(text, VANT::kError, option);
  throw VANT::ErrorException;
}

void VANTModule::Report(const char* text, int32_t level, int32_t option) {
  VANTStreamedString message;
  message << TypeText() << " " << Name() << ": " << text;
  VANT::KernelReport(message.Text(), level, option, false);
}

int32_t VANTModule::ErrorCode() const {
  VANTCountedLocker lock(const_cast<VANTCountedLock&>(m_structureLock));
  return m_errorCode;
}

VANTStackedString<40> VANTModule::ErrorText() const {
  VANTCountedLocker lock(const_cast<VANTCountedLock&>(m_structureLock));
  return m_errorText;
}

void VANTModule::NotifyState() {
  VANTHostKernel* kernel = VANT::Kernel();
  if (kernel == nullptr) {
    return;
  }
  // Under the structure lock, so that the engine sees the words in the order they were made.
  VANTCountedLocker lock(m_structureLock);
  kernel->ModuleState(Name(), State());
}

uint32_t VANTModule::ChangeState(uint32_t set, uint32_t clear) {
  VANTCountedLocker lock(m_structureLock);
  const uint32_t word = (State() & ~clear) | set;
  m_state.store(word, std::memory_order_release);
  return word;
}

// ---- Built-in properties (creation and lookup: vant_dynamic_creation.cpp) ----------------------

VANTPropertyImplementation*
VANTModule::NewBuiltInProperty(const VANTPropertyDefinition& definition) {
  auto* property = Implementation(NewProperty(definition));
  MarkBuiltInProperties();
  return property;
}

void VANTModule::MarkBuiltInProperties() {
  VANTCountedLocker lock(m_structureLock);
  m_builtInCount = m_properties.Count();
  m_lastBuiltIn = m_properties.Tail();
}

// ---- Reports without a module
// --------------------------------------------------------------------

namespace VANT {

void KernelReport(const char* text, int32_t level, int32_t option, bool flag) noexcept {
  VANTHostKernel* kernel = Kernel();
  if (kernel != nullptr) {
    kernel->Report(text, level, option, flag);
  } else {
    ReportThroughHook(text, level, option, flag);
  }
}

} // namespace VANT
