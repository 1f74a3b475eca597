#pragma once
// The host kernel stored by the package entry point. Every call of the runtime into the engine
// goes through the pointer returned here.
//
// Thread: any thread. The pointer is published once, with release ordering, when the engine's
// first accepted initialisation call stores it; it never changes afterwards.

#include "kernel/vant_host_kernel.h"

namespace VANT {

/// The engine's kernel, or null before the package has been initialised.
VANTHostKernel* Kernel() noexcept;

/// Stores the kernel unless one is stored already; returns true when this call stored it.
/// Only the package entry point calls this, under its init mutex.
bool StoreKernel(VANTHostKernel* kernel) noexcept;

} // namespace VANT
