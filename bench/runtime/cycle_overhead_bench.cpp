// What the life cycle adds to each Cycle of a threaded component: the dying check, the period
// statistics step (counter, window, average, minimum, maximum) and the exception guard, measured
// through the main thread's cycle function against the bare engine-time read that the statistics
// step cannot do without. Also counts heap allocations per cycle, which must be zero.

#include "host/host.h"
#include "kernel/vant_kernel.h"
#include "package/vant_package_entry.h"
#include "runtime/vant_component.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>

namespace {

std::atomic<uint64_t> g_allocations{0};

class IdleComponent final : public VANTComponent {
public:
  IdleComponent(const char* name, VANTComponentModelDefinition* record)
      : VANTComponent(name, record) {}
  void Cycle() override {}
};

template <typename Step>
double NanosecondsPerCall(int64_t calls, Step step) {
  const auto begin = std::chrono::steady_clock::now();
  for (int64_t i = 0; i < calls; ++i) {
    step();
  }
  const auto elapsed = std::chrono::steady_clock::now() - begin;
  return std::chrono::duration<double, std::nano>(elapsed).count() / static_cast<double>(calls);
}

} // namespace

// The replaced operators pair malloc with free; GCC cannot see that through inlining.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* block = std::malloc(size == 0 ? 1 : size)) {
    return block;
  }
  throw std::bad_alloc();
}
void operator delete(void* block) noexcept {
  std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
  std::free(block);
}

int main() {
  auto* host = new Host(); // the package keeps the kernel for the whole process
  if (VANTPckInit(host, 0x804A8) != 4) {
    std::fprintf(stderr, "the package refused the host\n");
    return 1;
  }
  VANTPropertyDefinition noProperties[] = {{}};
  VANTComponentModelDefinition record{};
  record.modelName = "Idle";
  record.version = "1.0.0";
  record.properties = noProperties;
  record.propertyCount = 0;
  record.priority = 128;
  record.threadingModels = 3;
  record.threadedByDefault = 1;
  auto* component = new IdleComponent("bench", &record);

  VANTThreadContext context{};
  context.size = sizeof(context);
  context.kind = VANTThreadContext::kMain;
  context.module = component;
  context.hooks = &VANTModule::ThreadHooks();
  const VANTThreadHooks& hooks = VANTModule::ThreadHooks();
  hooks.cycle(&context); // sizes the statistics window once

  constexpr int64_t kCalls = 2000000;
  VANTHostKernel* kernel = VANT::Kernel();
  std::atomic<int64_t> sink{0};
  for (int round = 0; round < 3; ++round) {
    const double baseline = NanosecondsPerCall(kCalls, [&] {
      sink.fetch_add(kernel->CurrentTime(true, true), std::memory_order_relaxed);
    });
    const uint64_t allocationsBefore = g_allocations.load();
    const double cycle = NanosecondsPerCall(kCalls, [&] { hooks.cycle(&context); });
    const uint64_t allocations = g_allocations.load() - allocationsBefore;
    std::printf("round %d: engine-time read %.1f ns, cycle step %.1f ns, ratio %.2f, "
                "allocations per cycle %.4f\n",
                round, baseline, cycle, cycle / baseline,
                static_cast<double>(allocations) / static_cast<double>(kCalls));
  }
  const int64_t nbPeriods = component->FindProperty("nbPeriods")->Integer();
  std::printf("statistics window: %lld periods, counter %lld\n", static_cast<long long>(nbPeriods),
              static_cast<long long>(component->FindProperty("counter")->Integer()));
  delete component;
  return 0;
}
