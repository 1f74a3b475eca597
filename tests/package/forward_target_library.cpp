// A package stand-in loaded by the forwarding tests: it answers VANTPckInit as told and remembers
// what it received.
#include "kernel/vant_host_kernel.h"

#include <cstdint>

namespace {
int32_t g_answer = 4;
VANTHostKernel* g_kernel = nullptr;
int32_t g_version = 0;
int32_t g_calls = 0;
} // namespace

extern "C" {

__attribute__((visibility("default"))) int32_t VANTPckInit(VANTHostKernel* kernel,
                                                           int32_t version) {
  g_kernel = kernel;
  g_version = version;
  ++g_calls;
  return g_answer;
}

/// Sets the next answers and returns what the last call received.
__attribute__((visibility("default"))) int32_t
ForwardTargetState(int32_t answer, VANTHostKernel** kernel, int32_t* version) {
  g_answer = answer;
  *kernel = g_kernel;
  *version = g_version;
  return g_calls;
}
}
