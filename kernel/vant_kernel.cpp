#include "kernel/vant_kernel.h"

#include <atomic>

namespace VANT {
namespace {
std::atomic<VANTHostKernel*> g_kernel{nullptr};
} // namespace

VANTHostKernel* Kernel() noexcept {
  return g_kernel.load(std::memory_order_acquire); // acquire: pairs with the release in StoreKernel
}

bool StoreKernel(VANTHostKernel* kernel) noexcept {
  VANTHostKernel* expected = nullptr;
  return g_kernel.compare_exchange_strong(expected, kernel, std::memory_order_release,
                                          std::memory_order_relaxed);
}

} // namespace VANT
