#pragma once
// The package's two exported entry points, called by the engine through dlsym. They never let an
// exception out.

#include "kernel/vant_host_kernel.h"

#include <cstdint>

extern "C" {

/// Initialises the package with the engine's kernel. version must be 0x804A8; returns 4 when
/// accepted, 0 when refused. Only the first accepted call stores the kernel and runs the
/// definitions' init callbacks; later ones change nothing and still return 4.
__attribute__((visibility("default"))) int32_t VANTPckInit(VANTHostKernel* kernel, int32_t version);

/// With out null: the number of definitions (all groups when groupName is null, else the group
/// with its subgroups; -1 for an unknown group). Otherwise writes up to maxCount component model
/// definition records into out and returns how many it wrote.
__attribute__((visibility("default"))) int32_t
VANTGetModulesDefStruct(const char* groupName, void** out, int32_t maxCount);
}
