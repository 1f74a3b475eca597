#include "host/host_package.h"

#include "runtime/vant_property_value.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <filesystem>
#include <system_error>

// Package libraries are never unloaded: a package frees nothing at unload (its registry stays
// allocated), and its components or threads may still be referenced when the host goes away.
HostPackages::~HostPackages() = default;

void HostPackages::FillCounts(VANTComponentModelDefinition* record) noexcept {
  if (record->inputCount == VANT::kUncountedEntries) {
    record->inputCount = VANT::CountEntries(record->inputs);
  }
  if (record->outputCount == VANT::kUncountedEntries) {
    record->outputCount = VANT::CountEntries(record->outputs);
  }
  if (record->propertyCount == VANT::kUncountedEntries) {
    record->propertyCount = VANT::CountEntries(record->properties);
  }
  if (record->actionCount == VANT::kUncountedEntries) {
    record->actionCount = VANT::CountEntries(record->actions);
  }
}

bool HostPackages::Load(const std::string& path, VANTHostKernel* kernel, std::string& error,
                        int32_t* modelCount) {
  const std::string prefix = "Package " + path + ": ";
  VANT::PackageInfo info;
  const VANT::PackageInfoStatus status = VANT::ReadPackageInfo(path, info);
  if (status != VANT::PackageInfoStatus::kOk) {
    error = prefix + VANT::Describe(status);
    return false;
  }
  // Entries missing, out of order or with wrong values (a package for another platform or
  // engine among them), then the code itself: only a package whose SIG is the digest of its
  // library image is loaded.
  const std::vector<std::string> problems = VANT::CheckPackageEntries(info);
  if (!problems.empty()) {
    error = prefix + problems.front();
    return false;
  }
  const std::string signature = VANT::ImageSignature(path, info.imageSize);
  if (signature.empty()) {
    error = prefix + "library image cannot be read";
    return false;
  }
  if (signature != *info.Find("SIG")) {
    error = prefix + "SIG does not match the library code: the package is damaged or was " +
            "changed after packing, so it is not loaded";
    return false;
  }

  // A name without a slash would make the loader search its library path (and maybe load
  // another file than the one whose block was checked): the file is named by its full path.
  std::error_code failed;
  const std::string full = std::filesystem::absolute(path, failed).string();
  if (failed) {
    error = prefix + "cannot be located: " + failed.message();
    return false;
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  void* handle = dlopen(full.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (!handle) {
    const char* why = dlerror();
    error = prefix + "cannot be loaded: " + (why ? why : "unknown error");
    return false;
  }
  // From here on the library stays loaded: its static objects may already be referenced.
  m_loaded.push_back({path, handle, info});
  auto init = reinterpret_cast<HostPackageInit>(dlsym(handle, "VANTPckInit"));
  auto query = reinterpret_cast<HostModelsQuery>(dlsym(handle, "VANTGetModulesDefStruct"));
  if (!init || !query) {
    error =
        prefix + "entry point " + (init ? "VANTGetModulesDefStruct" : "VANTPckInit") + " not found";
    return false;
  }
  const int32_t level = init(kernel, kInterfaceVersion);
  if (level != kInterfaceLevel) {
    error = prefix + "VANTPckInit answered " + std::to_string(level) + ", expected " +
            std::to_string(kInterfaceLevel);
    return false;
  }
  if (!AddModelsLocked(query, error)) {
    error = prefix + error;
    return false;
  }
  if (modelCount != nullptr) {
    *modelCount = query(nullptr, nullptr, 0);
  }
  return true;
}

bool HostPackages::AddModels(HostModelsQuery query, std::string& error) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return AddModelsLocked(query, error);
}

bool HostPackages::AddModelsLocked(HostModelsQuery query, std::string& error) {
  const int32_t count = query(nullptr, nullptr, 0);
  if (count < 0) {
    error = "VANTGetModulesDefStruct answered " + std::to_string(count);
    return false;
  }
  std::vector<void*> records(static_cast<size_t>(count));
  const int32_t written = count > 0 ? query(nullptr, records.data(), count) : 0;
  if (written < 0 || written > count) {
    error = "VANTGetModulesDefStruct wrote " + std::to_string(written) + " of " +
            std::to_string(count) + " records";
    return false;
  }
  records.resize(static_cast<size_t>(written));
  for (void* each : records) {
    auto* record = static_cast<VANTComponentModelDefinition*>(each);
    if (!record || !record->modelName) {
      error = "a model record has no name";
      return false;
    }
    for (const VANTComponentModelDefinition* known : m_models) {
      if (known != record && std::strcmp(known->modelName, record->modelName) == 0) {
        error = std::string("model ") + record->modelName + " is already known";
        return false;
      }
    }
  }
  for (void* each : records) {
    auto* record = static_cast<VANTComponentModelDefinition*>(each);
    FillCounts(record);
    bool known = false;
    for (const VANTComponentModelDefinition* model : m_models) {
      known = known || model == record;
    }
    if (!known) {
      m_models.push_back(record);
    }
  }
  return true;
}

VANTComponentModelDefinition* HostPackages::Model(const char* modelName) {
  if (!modelName) {
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  for (VANTComponentModelDefinition* record : m_models) {
    if (std::strcmp(record->modelName, modelName) == 0) {
      FillCounts(record);
      return record;
    }
  }
  return nullptr;
}

std::vector<VANTComponentModelDefinition*> HostPackages::Models() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_models;
}

std::vector<VANT::PackageInfo> HostPackages::LoadedInfo() {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::vector<VANT::PackageInfo> infos;
  for (const Loaded& loaded : m_loaded) {
    infos.push_back(loaded.info);
  }
  return infos;
}

namespace {

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof(text), "0x%" PRIx64, value);
  return text;
}

std::string ValueText(const VANTPropertyValue* value) {
  if (value == nullptr) {
    return "(no default)";
  }
  switch (value->Kind()) {
  case VANTPropertyBoolean:
    return value->Boolean() ? "true (boolean)" : "false (boolean)";
  case VANTPropertyInteger:
    return std::to_string(value->Integer()) + " (integer)";
  case VANTPropertyFloat: {
    char text[32];
    std::snprintf(text, sizeof(text), "%g (float)", value->Float());
    return text;
  }
  case VANTPropertyString:
    return "\"" + std::string(value->String().Text()) + "\" (string)";
  case VANTPropertyEnum:
    return std::string(value->Enum().ValuesText().Text()) + " (enumeration)";
  default:
    return "(kind " + std::to_string(value->Kind()) + ")";
  }
}

std::string TypeText(const VANTDataTypeDef& type) {
  std::string text = "type " + Hex(type.flags);
  if (type.name1 != nullptr && *type.name1 != '\0') {
    text += " " + std::string(type.name1);
  }
  return text;
}

std::string FilterText(const VANTDataTypeFilter* filter) {
  if (filter == nullptr) {
    return "any type";
  }
  std::string text = "types with mask " + Hex(filter->mask) + " = " + Hex(filter->value) +
                     ", or codes " + Hex(filter->accept);
  if (filter->pattern1 != nullptr && *filter->pattern1 != '\0') {
    text += ", named " + std::string(filter->pattern1);
  }
  return text;
}

} // namespace

std::string HostPackages::DescribeModel(const VANTComponentModelDefinition& record) {
  std::string text = std::string("model ") + (record.modelName ? record.modelName : "(no name)") +
                     ", version " + (record.version ? record.version : "(none)") + "\n";
  if (record.inputCount == 0 && record.outputCount == 0 && record.propertyCount == 0) {
    text += "  declares no input, output or property\n";
  }
  if (record.inputCount == 0 && (record.outputCount != 0 || record.propertyCount != 0)) {
    text += "  input    none in the record (a model may make them from its properties)\n";
  }
  for (uint32_t i = 0; i < record.inputCount; ++i) {
    const VANTInputDefinition& input = record.inputs[i];
    text +=
        std::string("  input    ") + input.name + ": accepts " + FilterText(input.filter) + "\n";
  }
  for (uint32_t i = 0; i < record.outputCount; ++i) {
    const VANTOutputDefinition& output = record.outputs[i];
    text += std::string("  output   ") + output.name + ": " + TypeText(output.type) + ", FIFO of " +
            std::to_string(output.fifoSize) + "\n";
  }
  for (uint32_t i = 0; i < record.propertyCount; ++i) {
    const VANTPropertyDefinition& property = record.properties[i];
    text += std::string("  property ") + property.name + " = " + ValueText(property.defaultValue) +
            (property.readOnly ? ", read-only" : "") + "\n";
  }
  return text;
}
