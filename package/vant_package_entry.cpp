// The entry points the engine looks up in the package file. Only this file is compiled into the
// package objects rather than the runtime library, so the runtime can be linked anywhere without
// exporting them.
#include "package/vant_package_entry.h"

#include "package/vant_module_management.h"

extern "C" {

int32_t VANTPckInit(VANTHostKernel* kernel, int32_t version) {
  return VANTModuleRegistry::Initialise(kernel, version);
}

int32_t VANTGetModulesDefStruct(const char* groupName, void** out, int32_t maxCount) {
  return VANTModuleRegistry::ModelsQuery(groupName, out, maxCount);
}
}
