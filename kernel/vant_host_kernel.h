#pragma once
// The host kernel: the engine object handed to the package at initialisation. The package reaches
// the engine only through these virtual operations. Their positions in the virtual table are part
// of the binary interface with the engine: every operation sits at a fixed slot index, and unused
// indices are held by reserved entries. Never reorder, insert or remove a virtual function here.
//
// Thread: every operation may be called from any thread; the engine synchronises itself.
// Ownership: the engine owns the kernel; the package keeps the pointer for its whole life.

#include "kernel/vant_report_levels.h"

#include <atomic>
#include <bit>
#include <cstdint>
#include <cstdlib>

static_assert(std::endian::native == std::endian::little, "the engine interface is little-endian");

class VANTModule;
class VANTInput;
class VANTOutput;
class VANTProperty;
class VANTAction;
class VANTEvent;
class VANTBaseClock;
class VANTThread;
struct VANTThreadContext;
struct VANTThreadHooks;

/// A symbol of the engine's table: a module, an input, an output, a property, an action or an
/// engine setting, with the module it belongs to.
struct VANTSymbolRecord {
  enum Kind : uint32_t {
    kModule = 0,
    kInput = 1,
    kOutput = 2,
    kProperty = 3,
    kAction = 4,
    kEngineSetting = 5,
  };
  uint32_t kind;
  void* object;
  VANTModule* module;
};

/// The engine's wake-up registry. Register() stores the address of an event that the engine sets
/// whenever its time changes speed, jumps or resumes, so that pending timed waits recompute their
/// deadlines; it returns a cookie for Unregister().
class VANTWakeUpRegistry {
public:
  virtual void* Register(VANTEvent** slot) = 0;
  virtual void Unregister(void* cookie) = 0;

protected:
  ~VANTWakeUpRegistry() = default;
};

/// The engine's trigger service: sets an event after a delay in real-time microseconds.
/// Arm() marks the event armed; the service clears the mark after setting it, and Disarm() takes
/// a pending arming back. Once Disarm() has returned no Set() of that arming is in flight.
class VANTTriggerService {
public:
  virtual bool Arm(VANTEvent* event, int64_t realDelayUs) = 0;
  virtual void Disarm(VANTEvent* event) = 0;

protected:
  ~VANTTriggerService() = default;
};

/// The engine's thread object handed back for every component or module thread. Its slots are
/// pinned like the kernel's. The host releases it; the runtime never deletes it.
class VANTThread {
public:
  virtual void Release() = 0;                       // slot 0
  virtual uint32_t ContextSwitches() = 0;           // slot 1
  virtual uint32_t CpuLoad() = 0;                   // slot 2: hundredths of a percent
  virtual void SetProcessor(int64_t processor) = 0; // slot 3: -1 = any processor
  virtual void SetPriority(int32_t priority) = 0;   // slot 4: 0 to 255

protected:
  ~VANTThread() = default;
};

/// What a thread body receives. The runtime fills it and starts the operating-system thread; the
/// thread's only work is to hand it to kernel slot 74, 75 or 76.
struct VANTThreadContext {
  enum Kind : uint32_t { kMain = 0, kModule = 1, kComponentMember = 2, kComponentFree = 3 };
  uint32_t size;                // sizeof(VANTThreadContext)
  uint32_t kind;                // Kind
  VANTModule* module;           // the owning module or component
  const VANTThreadHooks* hooks; // the runtime's functions the body calls
  void* user;                   // the member or free function's data
  VANTThread** result;          // where the engine publishes the new thread (release store)
  void* readyFlag;              // std::atomic<int32_t>*: set once `pair` is filled (free form)
  int32_t* pair;                // two 32-bit values filled by the engine (free form)
};

/// The runtime functions a thread body calls, all noexcept: each one catches everything itself.
struct VANTThreadHooks {
  void (*attach)(VANTThreadContext* context, VANTThread* thread) noexcept;
  bool (*birth)(VANTThreadContext* context) noexcept;
  bool (*cycle)(VANTThreadContext* context) noexcept;
  void (*death)(VANTThreadContext* context) noexcept;
  void (*run)(VANTThreadContext* context) noexcept;
  void (*detach)(VANTThreadContext* context, VANTThread* thread) noexcept;
};

class VANTHostKernel {
public:
  // 0: Opens a structural change (creation or removal of elements, Dynamic).
  virtual void BeginChange(const char* reason) = 0; // slot 0
  // 1: Closes the change opened by BeginChange.
  virtual void EndChange() = 0; // slot 1
  virtual void Reserved002() { std::abort(); }
  virtual void Reserved003() { std::abort(); }
  virtual void Reserved004() { std::abort(); }
  virtual void Reserved005() { std::abort(); }
  virtual void Reserved006() { std::abort(); }
  virtual void Reserved007() { std::abort(); }
  virtual void Reserved008() { std::abort(); }
  virtual void Reserved009() { std::abort(); }
  virtual void Reserved010() { std::abort(); }
  virtual void Reserved011() { std::abort(); }
  virtual void Reserved012() { std::abort(); }
  virtual void Reserved013() { std::abort(); }
  virtual void Reserved014() { std::abort(); }
  virtual void Reserved015() { std::abort(); }
  virtual void Reserved016() { std::abort(); }
  virtual void Reserved017() { std::abort(); }
  // 18: The engine's record of the module of that name, or null.
  virtual VANTSymbolRecord* ModuleRecord(const char* moduleName) = 0; // slot 18
  virtual void Reserved019() { std::abort(); }
  virtual void Reserved020() { std::abort(); }
  // 21: The name is dropped from the symbol table.
  virtual void DropName(const char* fullName) = 0; // slot 21
  // 22: Locks the symbol table (around every lookup through Symbol).
  virtual void LockSymbols() = 0;   // slot 22
  virtual void UnlockSymbols() = 0; // slot 23
  // 24: Registration of a new element under its full name; false when the name exists.
  virtual bool RegisterInput(VANTInput* input) = 0;          // slot 24
  virtual bool RegisterOutput(VANTOutput* output) = 0;       // slot 25
  virtual bool RegisterProperty(VANTProperty* property) = 0; // slot 26
  virtual bool RegisterAction(VANTAction* action) = 0;       // slot 27
  virtual void Reserved028() { std::abort(); }
  // 29: Announcements of new outputs and inputs: full name, module name, short name, list position.
  virtual void AnnounceModuleOutput(const char* fullName, const char* moduleName,
                                    const char* shortName, int32_t position) = 0; // slot 29
  // 30: A removed input or output, by full name.
  virtual void InputRemoved(const char* fullName) = 0;  // slot 30
  virtual void OutputRemoved(const char* fullName) = 0; // slot 31
  virtual void AnnounceComponentOutput(const char* fullName, const char* moduleName,
                                       const char* shortName, int32_t position) = 0; // slot 32
  virtual void AnnounceComponentInput(const char* fullName, const char* moduleName,
                                      const char* shortName, int32_t position) = 0; // slot 33
  // 34: The module's state word, already changed.
  virtual void ModuleState(const char* moduleName, uint32_t stateWord) = 0; // slot 34
  virtual void Reserved035() { std::abort(); }
  virtual void Reserved036() { std::abort(); }
  virtual void Reserved037() { std::abort(); }
  virtual void Reserved038() { std::abort(); }
  virtual void Reserved039() { std::abort(); }
  virtual void Reserved040() { std::abort(); }
  virtual void Reserved041() { std::abort(); }
  virtual void Reserved042() { std::abort(); }
  virtual void Reserved043() { std::abort(); }
  virtual void Reserved044() { std::abort(); }
  virtual void Reserved045() { std::abort(); }
  virtual void Reserved046() { std::abort(); }
  virtual void Reserved047() { std::abort(); }
  virtual void Reserved048() { std::abort(); }
  virtual void Reserved049() { std::abort(); }
  virtual void Reserved050() { std::abort(); }
  virtual void Reserved051() { std::abort(); }
  virtual void Reserved052() { std::abort(); }
  virtual void Reserved053() { std::abort(); }
  virtual void Reserved054() { std::abort(); }
  virtual void Reserved055() { std::abort(); }
  virtual void Reserved056() { std::abort(); }
  virtual void Reserved057() { std::abort(); }
  virtual void Reserved058() { std::abort(); }
  virtual void Reserved059() { std::abort(); }
  virtual void Reserved060() { std::abort(); }
  virtual void Reserved061() { std::abort(); }
  virtual void Reserved062() { std::abort(); }
  virtual void Reserved063() { std::abort(); }
  virtual void Reserved064() { std::abort(); }
  virtual void Reserved065() { std::abort(); }
  virtual void Reserved066() { std::abort(); }
  virtual void Reserved067() { std::abort(); }
  virtual void Reserved068() { std::abort(); }
  // 69: Renames a module and every full name below it.
  virtual bool Rename(const char* currentName, const char* newName) = 0; // slot 69
  virtual void Reserved070() { std::abort(); }
  virtual void Reserved071() { std::abort(); }
  virtual void Reserved072() { std::abort(); }
  // 73: Disconnects an input from an output.
  virtual void Disconnect(VANTOutput* output, VANTInput* input) = 0; // slot 73
  // 74: Thread bodies: the calling thread runs the main, module or component thread body.
  virtual void RunMainThread(VANTThreadContext* context) = 0;      // slot 74
  virtual void RunModuleThread(VANTThreadContext* context) = 0;    // slot 75
  virtual void RunComponentThread(VANTThreadContext* context) = 0; // slot 76
  // 77: True when any symbol has that name.
  virtual bool NameTaken(const char* name) = 0; // slot 77
  // 78: The module of that name, or null.
  virtual VANTModule* ModuleByName(const char* name) = 0; // slot 78
  // 79: Symbol lookup by full name; call between LockSymbols and UnlockSymbols.
  virtual VANTSymbolRecord* Symbol(const char* fullName) = 0; // slot 79
  virtual void Reserved080() { std::abort(); }
  virtual void Reserved081() { std::abort(); }
  virtual void Reserved082() { std::abort(); }
  virtual void Reserved083() { std::abort(); }
  virtual void Reserved084() { std::abort(); }
  virtual void Reserved085() { std::abort(); }
  virtual void Reserved086() { std::abort(); }
  virtual void Reserved087() { std::abort(); }
  virtual void Reserved088() { std::abort(); }
  virtual void Reserved089() { std::abort(); }
  virtual void Reserved090() { std::abort(); }
  virtual void Reserved091() { std::abort(); }
  virtual void Reserved092() { std::abort(); }
  virtual void Reserved093() { std::abort(); }
  virtual void Reserved094() { std::abort(); }
  virtual void Reserved095() { std::abort(); }
  // 96: A report: text, level (0 information, 1 warning, 2 error), option, flag.
  virtual void Report(const char* text, int32_t level, int32_t option, bool flag) = 0; // slot 96
  virtual void Reserved097() { std::abort(); }
  virtual void Reserved098() { std::abort(); }
  virtual void Reserved099() { std::abort(); }
  virtual void Reserved100() { std::abort(); }
  virtual void Reserved101() { std::abort(); }
  // 102: Engine state word; bit 0: running.
  virtual uint32_t EngineState() = 0; // slot 102
  virtual void Reserved103() { std::abort(); }
  // 104: True while the engine suspends time-outs.
  virtual bool TimeoutsSuspended() = 0; // slot 104
  virtual void Reserved105() { std::abort(); }
  virtual void Reserved106() { std::abort(); }
  // 107: Sign of the time speed; negative: time runs backwards.
  virtual int32_t SpeedSign() = 0; // slot 107
  // 108: Clock state; 2: no deadline (time stopped).
  virtual int32_t ClockState() = 0; // slot 108
  virtual void Reserved109() { std::abort(); }
  virtual void Reserved110() { std::abort(); }
  virtual void Reserved111() { std::abort(); }
  virtual void Reserved112() { std::abort(); }
  virtual void Reserved113() { std::abort(); }
  // 114: An output's FIFO was overrun.
  virtual void Overrun(VANTOutput* output) = 0; // slot 114
  virtual void Reserved115() { std::abort(); }
  virtual void Reserved116() { std::abort(); }
  // 117: Check level of typed accessors; 0 or less: no checks.
  virtual int32_t CheckLevel() = 0; // slot 117
  virtual void Reserved118() { std::abort(); }
  virtual void Reserved119() { std::abort(); }
  // 120: Clock registration.
  virtual void RegisterClock(VANTBaseClock* clock, bool* flag) = 0; // slot 120
  virtual void UnregisterClock(VANTBaseClock* clock) = 0;           // slot 121
  // 122: Real time in microseconds (monotonic).
  virtual int64_t RealTime() = 0; // slot 122
  // 123: Time speed in per-mille.
  virtual int32_t TimeSpeed() = 0; // slot 123
  virtual void Reserved124() { std::abort(); }
  virtual void Reserved125() { std::abort(); }
  virtual void Reserved126() { std::abort(); }
  virtual void Reserved127() { std::abort(); }
  virtual void Reserved128() { std::abort(); }
  // 129: Engine time in microseconds.
  virtual int64_t CurrentTime(bool first, bool second) = 0; // slot 129
  virtual void Reserved130() { std::abort(); }
  // 131: The wake-up registry: events set when engine time changes speed, jumps or resumes.
  virtual VANTWakeUpRegistry* WakeUps() = 0; // slot 131
  // 132: The time lock, held (shared) around every pass of a timed wait.
  virtual void AcquireTimeLock() = 0; // slot 132
  virtual void ReleaseTimeLock() = 0; // slot 133
  virtual void Reserved134() { std::abort(); }
  virtual void Reserved135() { std::abort(); }
  virtual void Reserved136() { std::abort(); }
  virtual void Reserved137() { std::abort(); }
  virtual void Reserved138() { std::abort(); }
  virtual void Reserved139() { std::abort(); }
  virtual void Reserved140() { std::abort(); }
  virtual void Reserved141() { std::abort(); }
  virtual void Reserved142() { std::abort(); }
  virtual void Reserved143() { std::abort(); }
  virtual void Reserved144() { std::abort(); }
  virtual void Reserved145() { std::abort(); }
  // 146: Engine settings by symbol name: boolean and integer values.
  virtual bool EngineBool(const char* symbolName, bool* found) = 0;   // slot 146
  virtual int64_t EngineInt(const char* symbolName, bool* found) = 0; // slot 147
  virtual void Reserved148() { std::abort(); }
  virtual void Reserved149() { std::abort(); }
  virtual void Reserved150() { std::abort(); }
  virtual void Reserved151() { std::abort(); }
  virtual void Reserved152() { std::abort(); }
  virtual void Reserved153() { std::abort(); }
  virtual void Reserved154() { std::abort(); }
  virtual void Reserved155() { std::abort(); }
  virtual void Reserved156() { std::abort(); }
  virtual void Reserved157() { std::abort(); }
  virtual void Reserved158() { std::abort(); }
  // 159: The trigger service: timer events set after a real-time delay.
  virtual VANTTriggerService* Triggers() = 0; // slot 159

protected:
  // Not virtual: a virtual destructor takes two table entries and would shift every slot.
  ~VANTHostKernel() = default;
};
