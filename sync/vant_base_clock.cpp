#include "sync/vant_base_clock.h"

#include "kernel/vant_kernel.h"

VANTBaseClock::VANTBaseClock(const char* name) : m_name(name) {
  if (VANTHostKernel* kernel = VANT::Kernel()) {
    kernel->RegisterClock(this, &m_engineFlag);
  }
}

VANTBaseClock::~VANTBaseClock() {
  if (VANTHostKernel* kernel = VANT::Kernel()) {
    kernel->UnregisterClock(this);
  }
}

void VANTBaseClock::RegisterWithEngine() {
  if (VANTHostKernel* kernel = VANT::Kernel()) {
    kernel->RegisterClock(this, &m_engineFlag);
  }
}

void VANTBaseClock::UnregisterFromEngine() {
  if (VANTHostKernel* kernel = VANT::Kernel()) {
    kernel->UnregisterClock(this);
  }
}

bool VANTBaseClock::EngineFlag() const noexcept {
  // The engine writes the flag from its own threads; read it as one atomic byte.
  return std::atomic_ref<bool>(const_cast<bool&>(m_engineFlag)).load(std::memory_order_acquire);
}

void VANTBaseClock::Rename(const char* newName) {
  UnregisterFromEngine();
  m_name = newName;
  RegisterWithEngine();
}
