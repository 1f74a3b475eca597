// A package built like the real one (the package objects and the runtime, the same link flags)
// plus a few test definitions and one more export through which tests look inside a loaded copy:
// the kernel it stored and the order in which its init callbacks ran.
#include "kernel/vant_kernel.h"
#include "package/vant_module_management.h"
#include "runtime/vant_model_definition.h"

#include <string>

namespace {

std::string& Log() {
  static auto* log = new std::string();
  return *log;
}

// Logs the definition's model name, and whether the kernel was already stored at the time.
void RecordInit(void* userData) {
  const auto* record = static_cast<const VANTComponentModelDefinition*>(userData);
  Log() += record->modelName;
  Log() += VANT::Kernel() ? "+kernel;" : "-kernel;";
}

VANTInputDefinition g_inputs[] = {
    {"in_a", 0, 0, nullptr, 0, 1}, {"in_b", 0, 0, nullptr, 0, 1}, {nullptr, 0, 0, nullptr, 0, 0}};
VANTPropertyDefinition g_properties[] = {{"p", nullptr, nullptr, 0, 0, 0, 1, 0},
                                         {nullptr, nullptr, nullptr, 0, 0, 0, 0, 0}};

// What the factory saw in the record it was handed.
uint32_t g_seenInputCount = 0;
uint32_t g_seenPropertyCount = 0;
int g_fakeModule = 0;

VANTModule* Factory(const char* /*name*/, VANTComponentModelDefinition* record) {
  g_seenInputCount = record->inputCount;
  g_seenPropertyCount = record->propertyCount;
  return reinterpret_cast<VANTModule*>(&g_fakeModule);
}

VANTComponentModelDefinition MakeRecord(const char* name) {
  VANTComponentModelDefinition record{};
  record.modelName = name;
  record.version = "1.4.0";
  record.factory = &Factory;
  record.inputCount = record.outputCount = record.propertyCount = record.actionCount =
      VANT::kUncountedEntries;
  record.inputs = g_inputs;
  record.properties = g_properties;
  record.priority = 128;
  record.threadingModels = VANT::kThreadedModel;
  record.threadedByDefault = 1;
  return record;
}

VANTComponentModelDefinition g_first = MakeRecord("ProbeFirst");
VANTComponentModelDefinition g_second = MakeRecord("ProbeSecond");
VANTComponentModelDefinition g_late = MakeRecord("ProbeLate");

// Registered while the library loads, in this order: a definition in a placeholder group, the
// group itself (a subgroup of another placeholder), a definition in that parent.
[[maybe_unused]] VANTModuleDefinition* const g_firstDefinition =
    new VANTModuleDefinition("probe_first", "ProbeChild", nullptr, &g_first, &RecordInit);
[[maybe_unused]] VANTModuleGroupDefinition* const g_childGroup =
    new VANTModuleGroupDefinition("ProbeChild", nullptr, nullptr, "ProbeRoot");
[[maybe_unused]] VANTModuleDefinition* const g_secondDefinition =
    new VANTModuleDefinition("probe_second", "ProbeRoot", nullptr, &g_second, &RecordInit);

} // namespace

extern "C" {

struct CorvexProbe {
  VANTHostKernel* (*kernel)();
  const char* (*log)();
  void (*registerLate)();
  uint32_t (*seenInputCount)();
  uint32_t (*seenPropertyCount)();
};

__attribute__((visibility("default"))) const CorvexProbe* CorvexProbeApi() {
  static const CorvexProbe probe = {
      [] { return VANT::Kernel(); },
      [] { return Log().c_str(); },
      [] { new VANTModuleDefinition("probe_late", "ProbeRoot", nullptr, &g_late, &RecordInit); },
      [] { return g_seenInputCount; },
      [] { return g_seenPropertyCount; },
  };
  return &probe;
}
}
