#pragma once
// VANTBaseClock: the base through which a package offers a clock of its own to the engine. The
// clock is known to the engine from construction to destruction; the engine writes the clock's
// flag through the pointer it receives at registration, and reads the clock through the four
// operations every concrete clock provides.
//
// Thread: construct, rename and destroy on one thread at a time; the engine may read the flag
//   and call the clock operations from its own threads.
// Ownership: the clock owns its name; the engine keeps only the pointers it was handed.
// Kernel: without an installed host kernel, registration and withdrawal do nothing.

#include "util/vant_string.h"

#include <atomic>
#include <cstdint>

class VANTBaseClock {
public:
  /// Stores the name (null gives the empty name) and registers the clock with the engine.
  explicit VANTBaseClock(const char* name);
  VANTBaseClock(const VANTBaseClock&) = delete;
  VANTBaseClock& operator=(const VANTBaseClock&) = delete;

  /// Registers the clock with the engine, handing it the address of the engine flag.
  virtual void RegisterWithEngine();
  /// Withdraws the clock from the engine.
  virtual void UnregisterFromEngine();
  /// Whether the clock can run at another speed than real time; false in the base.
  virtual bool SupportsSpeed() { return false; }
  /// Whether the clock can jump in time; false in the base.
  virtual bool SupportsJumps() { return false; }
  /// The operations the engine drives a clock through.
  virtual void Start() = 0;
  virtual void Stop() = 0;
  /// The clock's time in microseconds.
  virtual int64_t Time() = 0;
  /// The clock's speed in per-mille of real time.
  virtual int32_t Speed() = 0;
  /// Withdraws the clock from the engine.
  virtual ~VANTBaseClock();

  const char* Name() const noexcept { return m_name.Text(); }
  /// The flag the engine writes through the pointer handed over at registration.
  bool EngineFlag() const noexcept;
  /// Withdraws the clock, takes the new name and registers it again (through the virtual
  /// register and withdraw operations, so a derived clock sees both).
  void Rename(const char* newName);

private:
  bool m_engineFlag = false; // written by the engine through its pointer
  VANTStackedString<40> m_name;
};
