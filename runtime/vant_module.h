#pragma once
// The roots of every module: VANTModuleBase (definition link and name) and VANTModule, which holds
// the state word, the stop and threads-done events, the structure and property locks, the lists of
// inputs, outputs, properties, actions and threads, the built-in statistics properties, the typed
// property getters and setters, reporting, the module-aware waits and the module threads.
//
// State word: bit 1 dead, bit 2 dying (asked to stop), bit 4 started, bit 8 error, bit 16 auto
// start. The engine is told the new word (kernel slot 34) after every change it must see.
//
// Locks, in the order they are taken: the component's start lock, the property lock, the
// structure lock. The structure lock guards the lists, the cursors, the state word's changes and
// the running thread count; the property lock guards every property value and is held while a
// property callback runs. Both are counted: the owner may take them again.
//
// Thread: the engine's threads call construction, property changes, start and stop; the module's
// own threads run its life cycle. Every operation below may be called from any of them unless its
// comment says otherwise.
// Ownership: a module owns its inputs, outputs, properties and actions and frees them when it is
// destroyed; its thread objects belong to the engine.

#include "dataflow/vant_dataflow_owner.h"
#include "runtime/vant_counted_lock.h"
#include "runtime/vant_property.h"
#include "sync/vant_event.h"
#include "sync/vant_thread_annotations.h"
#include "util/vant_array.h"
#include "util/vant_list.h"
#include "util/vant_string.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

class VANTModuleDefinition;
class VANTInput;
class VANTOutput;
class VANTIOElt;
class VANTInputImplementation;
struct VANTFastIOItem;
class VANTAction;
class VANTThread;
class VANTModule;
struct VANTThreadContext;
struct VANTThreadHooks;

/// A member function run by a module thread.
using VANTModuleThreadFunction = void (VANTModule::*)();

/// The root of every module: the link to its registry definition and its name.
class VANTModuleBase {
public:
  explicit VANTModuleBase(const char* name);
  virtual ~VANTModuleBase(); // 0
  /// A name equal to oldName becomes newName. A name that begins with the whole of newName is
  /// rebuilt as newName followed by its own text from its first dot on. Any other name stays.
  virtual void SetName(const char* oldName, const char* newName); // 1

  const char* Name() const noexcept { return m_name.Text(); }
  VANTModuleDefinition* Definition() const noexcept { return m_definition; }
  void SetDefinition(VANTModuleDefinition* definition) noexcept { m_definition = definition; }

protected:
  VANTModuleDefinition* m_definition = nullptr;
  VANTStackedString<40> m_name;
};

class VANTModule : public VANTModuleBase, public VANTDataflowOwner {
public:
  // State word bits.
  static constexpr uint32_t kDead = 1;
  static constexpr uint32_t kDying = 2;
  static constexpr uint32_t kStarted = 4;
  static constexpr uint32_t kError = 8;
  static constexpr uint32_t kAutoStart = 16;

  /// withStatistics creates counter, nbPeriods, averagePeriod, minPeriod, maxPeriod,
  /// contextSwitches and CPULoad; withProcessor creates processor.
  VANTModule(const char* name, bool withStatistics, bool withProcessor);
  ~VANTModule() override;                                          // 0
  void SetName(const char* oldName, const char* newName) override; // 1
  /// "module" ("component" for a component): the first word of every report.
  virtual const char* TypeText() const; // 2
  /// The processing step of a sequential module, given the input that received data.
  virtual void ProcessInput(VANTInput* input); // 3
  /// Records code and text, sets the error bit, reports text (level 2, option) and throws the
  /// integer VANT::ErrorException. Never returns.
  [[noreturn]] virtual void Error(const char* text, int32_t option = 1, int32_t code = 0); // 4
  /// Sends TypeText() + " " + name + ": " + text to the engine with level and option.
  virtual void Report(const char* text, int32_t level, int32_t option = 0); // 5
  /// The period statistics step, run before each Cycle.
  virtual void UpdateStatistics(); // 6

  // Typed getters (7 to 11) and checked setters (12 to 16) of this module's properties.
  virtual void GetEnum(VANTProperty* property, VANTEnumStruct& value);          // 7
  virtual void GetString(VANTProperty* property, VANTStackedString<40>& value); // 8
  virtual void GetFloat(VANTProperty* property, double& value);                 // 9
  virtual void GetInteger(VANTProperty* property, int64_t& value);              // 10
  virtual void GetBoolean(VANTProperty* property, bool& value);                 // 11
  virtual void SetEnum(VANTProperty* property, const VANTEnumStruct& value);    // 12
  virtual void SetString(VANTProperty* property, const char* value);            // 13
  virtual void SetFloat(VANTProperty* property, double value);                  // 14
  virtual void SetInteger(VANTProperty* property, int64_t value);               // 15
  virtual void SetBoolean(VANTProperty* property, bool value);                  // 16

  // What the module's outputs and inputs ask of it (VANTDataflowOwner).
  VANTEvent& OwnerStopEvent() noexcept override { return m_stopEvent; }
  bool OwnerIsThreaded() const noexcept override { return IsThreaded(); }
  const char* OwnerName() const noexcept override { return Name(); }
  /// ProcessInput on the writer's thread. A fault has put the module in error already and goes
  /// no further; a changed state word is told to the engine.
  void RunSequentialStep(VANTInput* input) noexcept override;

  // ---- State ----------------------------------------------------------------------------------
  uint32_t State() const noexcept { return m_state.load(std::memory_order_acquire); }
  bool IsDying() const noexcept { return (State() & kDying) != 0; }
  bool IsThreaded() const noexcept { return m_threaded.load(std::memory_order_acquire); }
  int32_t ErrorCode() const;
  VANTStackedString<40> ErrorText() const;
  /// Tells the engine the current state word (kernel slot 34).
  void NotifyState();
  VANTEvent& StopEvent() noexcept { return m_stopEvent; }
  VANTEvent& ThreadsDoneEvent() noexcept { return m_threadsDoneEvent; }

  // ---- Creation, lookup and removal of elements (runtime/vant_dynamic_creation.cpp) -----------
  // Each New... creates an element from its definition under this module's name (name null: the
  // definition's; a given name must match "^[a-zA-Z][a-zA-Z_0-9]*$"), or reuses the one that the
  // running Dynamic declares again (see vant_dynamic_creation.h), registers it with the engine and
  // returns it. They throw VANT::StopException while the module is dying; a bad definition, an
  // invalid name or a name the engine already knows raises Error.

  VANTInput* NewInput(const VANTInputDefinition& definition, const char* name = nullptr);
  /// A module's output: its name may also hold dots and colons; announced with kernel slot 29.
  VANTOutput* NewOutput(const VANTOutputDefinition& definition, const char* name = nullptr);
  VANTProperty* NewProperty(const VANTPropertyDefinition& definition, const char* name = nullptr);
  /// The form for sub-properties: no name pattern; a name beginning with a backslash is the whole
  /// full name (without the backslash), any other gets the module name and a dot in front.
  VANTProperty* NewSubProperty(const VANTPropertyDefinition& definition, const char* name);
  VANTAction* NewAction(const VANTActionDefinition& definition, const char* name = nullptr);

  /// Lookups by position and by short name raise "Trying to access unknown input #<index> of
  /// <type> <name>" (or "... unknown input <name> of ...", likewise for the other kinds) through
  /// the error raise. The Has... tests answer false instead.
  VANTInput* Input(int32_t index);
  VANTInput* Input(const char* name);
  bool HasInput(const char* name);
  VANTOutput* Output(int32_t index);
  VANTOutput* Output(const char* name);
  bool HasOutput(const char* name);
  VANTProperty* Property(int32_t index);
  VANTProperty* Property(const char* name);
  bool HasProperty(const char* name);
  VANTAction* Action(int32_t index);
  VANTAction* Action(const char* name);
  bool HasAction(const char* name);
  /// The property whose short name is shortName, or null.
  VANTProperty* FindProperty(const char* shortName);
  int32_t InputCount();
  int32_t OutputCount();
  int32_t PropertyCount();
  int32_t ActionCount();

  /// Removal: the element leaves the engine (its names dropped, an input disconnected first) and
  /// is destroyed with its sub-properties. A property of the runtime's own (built-in) is refused
  /// with Error.
  void RemoveInput(VANTInput* input);
  void RemoveOutput(VANTOutput* output);
  void RemoveProperty(VANTProperty* property);
  void RemoveAction(VANTAction* action);

  // Unchecked setters: the runtime's own writes. No started, read-only or mutable check, no
  // needsInit change and no write callback; the changed flag and event are set. A wrong kind
  // raises Error with the kind's text.
  void SetEnumUnchecked(VANTProperty* property, const VANTEnumStruct& value);
  void SetStringUnchecked(VANTProperty* property, const char* value);
  void SetFloatUnchecked(VANTProperty* property, double value);
  void SetIntegerUnchecked(VANTProperty* property, int64_t value);
  void SetBooleanUnchecked(VANTProperty* property, bool value);

  // ---- Elements ---------------------------------------------------------------------------------
  VANTList<VANTInput*>& Inputs() noexcept { return m_inputs; }
  VANTList<VANTOutput*>& Outputs() noexcept { return m_outputs; }
  VANTList<VANTProperty*>& Properties() noexcept { return m_properties; }
  VANTList<VANTAction*>& Actions() noexcept { return m_actions; }
  VANTList<VANTStackedString<40>>& SymbolNames() noexcept { return m_symbolNames; }
  /// The engine's thread objects of this module's running threads; read under the structure lock.
  VANTList<VANTThread*>& Threads() noexcept { return m_threads; }
  VANTCountedLock& StructureLock() noexcept { return m_structureLock; }
  VANTCountedLock& PropertyLock() noexcept { return m_propertyLock; }

  // ---- Writing and reading (runtime/vant_module_dataflow.cpp) --------------------------------
  // All but StopReading throw VANT::StopException (57005) at once while the module is dying.

  /// Takes the next element of output's FIFO to fill (its Timestamp and TimeOfIssue cleared).
  /// Waits while never-skipping readers have not read what it would overwrite. Null when the wait
  /// was aborted. A FIFO failure becomes Error "Failed to start writing on <output>".
  VANTIOElt* StartWriting(VANTOutput* output);
  /// The same, then sets the element's Timestamp.
  VANTIOElt* StartWriting(VANTOutput* output, int64_t timestamp);
  /// Publishes the element taken by StartWriting, or gives it back unpublished (discard). Fills a
  /// zero TimeOfIssue with the engine time and a zero Timestamp with TimeOfIssue; then sequential
  /// readers run their processing step. VectorSize above BufferSize raises Error.
  void StopWriting(VANTIOElt* element, bool discard = false);
  /// Reads the next element of input (by its reader type), waiting for one. Null for a sequential
  /// module with nothing new. The element stays held until StopReading or the next read.
  VANTIOElt* StartReading(VANTInput* input);
  /// Reads the first of n inputs (n at most 32) that has data, waiting on all of them and on the
  /// e extra events at once. *index receives the position of the input read, or n + k when
  /// extra event k ended the wait (the result is then null).
  VANTIOElt* StartReading(int32_t n, VANTInput** inputs, int32_t* index, int32_t e = 0,
                          VANTEvent** events = nullptr);
  /// The window-message forms: as StartReading on this platform (no message queue).
  VANTIOElt* MsgStartReading(VANTInput* input);
  VANTIOElt* MsgStartReading(int32_t n, VANTInput** inputs, int32_t* index, int32_t e = 0,
                             VANTEvent** events = nullptr);
  /// Keeps a window of the `count` most recent samples of input, all held: reads one new sample
  /// (waiting for it), drops the oldest when the window is full, and once `count` samples are
  /// held writes their elements to out, oldest first, and returns true. A sequential module
  /// gets false while the window is not full or nothing new came.
  bool NLastStartReading(VANTInput* input, int32_t count, VANTIOElt** out);
  /// Reads one sample on each of the n inputs (1 to 256) such that their timestamps lie within
  /// synchroTolerance of each other (samples too far behind in the direction of engine time are
  /// dropped and read again). Returns the smallest timestamp, with one element per input in out;
  /// -1 (out all null) when event ended the wait.
  int64_t SynchroStartReading(int32_t n, VANTInput** inputs, VANTIOElt** out,
                              int64_t synchroTolerance, VANTEvent* event = nullptr);
  /// Gives back everything input holds.
  void StopReading(VANTInput* input);

  // ---- Waits -----------------------------------------------------------------------------------
  // Each ends with the integer VANT::StopException (57005) when the module is asked to stop.

  /// Waits until one of the n events (then the stop event at index n when includeStop) is set;
  /// timeout in engine microseconds, -1 without limit. Returns the index or -3 on time-out.
  /// n of 255 or more is reported and raises VANT::ErrorException.
  int32_t Wait4Events(int32_t n, VANTEvent** events, int64_t timeout, bool includeStop = true);
  /// The same, also ending on a queued window message (never, on this platform); the time-out is
  /// real time. n of 256 or more is refused.
  int32_t MsgWait4Events(int32_t n, VANTEvent** events, int64_t timeout, bool includeStop = true);
  /// Waits for one event and the stop event: true when the event was set, false on time-out.
  bool Wait4Event(VANTEvent* event, int64_t timeout);
  bool MsgWait4Event(VANTEvent* event, int64_t timeout);
  /// Waits until engine time reaches timestamp (true) or a cancel event is set (false, with its
  /// index in *cancelIndex).
  bool WaitForTimestamp(int64_t timestamp, int32_t n, VANTEvent** cancelEvents, int* cancelIndex,
                        bool* woken = nullptr);
  bool WaitForTimestamp(int64_t timestamp, VANTEvent* cancelEvent = nullptr, bool* woken = nullptr);
  bool WaitUntil(int64_t timestamp, VANTEvent* cancelEvent = nullptr);
  /// Sleeps for duration engine microseconds: true when over, false when cancelled.
  bool Rest(int64_t duration, VANTEvent* cancelEvent = nullptr);

  // ---- Threads ---------------------------------------------------------------------------------
  /// Creates a module thread that runs function on this module (its body is run by the engine,
  /// kernel slot 75) and returns once the engine handed back its thread object. Failure raises
  /// Error "Failed to create module thread".
  VANTThread* CreateModuleThread(VANTModuleThreadFunction function);
  /// Waits on the threads-done event for "Engine.shutdownTimeout" (10 s when absent or negative);
  /// on time-out reports it (level 1, option 2) and returns false.
  bool WaitForThreads();
  /// Adds (+1) or removes (-1) a running thread; reaching 0 signals the threads-done event.
  void ChangeRunningThreads(int32_t delta);
  int32_t RunningThreads();
  int32_t ThreadCount();

  /// The thread functions the engine's thread bodies call (see kernel/vant_host_kernel.h).
  static const VANTThreadHooks& ThreadHooks() noexcept;

protected:
  /// One read on one input (see runtime/vant_module_dataflow.cpp).
  VANTFastIOItem* ReadOne(VANTInputImplementation* reader, int32_t window);
  /// The multi-input read once its limits are checked (StartReading's or MsgStartReading's).
  VANTIOElt* ReadMany(int32_t n, VANTInput** inputs, int32_t* index, int32_t e, VANTEvent** events);
  /// Sets and clears state bits under the structure lock; returns the new word. The engine is not
  /// told: call NotifyState() when it must see the change.
  uint32_t ChangeState(uint32_t set, uint32_t clear);
  /// Zeroes the statistics run (sample count, write position, running sum).
  void ResetStatisticsRun();
  /// counter, averagePeriod, minPeriod and maxPeriod back to 0, and the run reset.
  void ResetStatistics();
  /// The stored value of a property after the kind checks of a setter; under the property lock.
  void StoreEnum(VANTPropertyImplementation* property, const VANTEnumStruct& value);
  void StoreString(VANTPropertyImplementation* property, const char* value);
  void StoreInteger(VANTPropertyImplementation* property, int64_t value);
  /// Refuses a checked set when the property cannot take it; raises Error with the refusal.
  void CheckSettable(VANTPropertyImplementation* property, bool kindFits, const char* kindText);
  /// Creates one of the runtime's own properties and counts it as built-in.
  VANTPropertyImplementation* NewBuiltInProperty(const VANTPropertyDefinition& definition);
  /// Marks every property created so far as built-in.
  void MarkBuiltInProperties();
  /// Creates an extra thread (module or component) through kernel slot 75 or 76 with a body of
  /// its own; failureText is raised through Error when the thread cannot be created.
  VANTThread* CreateExtraThread(uint32_t kind, std::function<void()> body, const char* failureText,
                                int32_t* pair);

  // The engine's thread bodies reach these through ThreadHooks().
  friend struct VANTComponentThreadBodies;
  friend struct VANTDynamicCreation;
  void AttachThread(VANTThread* thread, bool isMain);
  /// Runs an extra thread's body; every exception is caught and reported.
  void RunExtraThread(void* user) noexcept;
  void DetachThread(VANTThread* thread, bool isMain);
  /// Waits until every thread that attached itself has detached again (reported after 10 s).
  void WaitForDetachedThreads();

  // Built-in property handles (null when not created).
  VANTPropertyImplementation* m_processor = nullptr;
  VANTPropertyImplementation* m_counter = nullptr;
  VANTPropertyImplementation* m_nbPeriods = nullptr;
  VANTPropertyImplementation* m_averagePeriod = nullptr;
  VANTPropertyImplementation* m_maxPeriod = nullptr;
  VANTPropertyImplementation* m_minPeriod = nullptr;
  VANTPropertyImplementation* m_contextSwitches = nullptr;
  VANTPropertyImplementation* m_cpuLoad = nullptr;
  VANTPropertyImplementation* m_priority = nullptr; // a component's; applied to new threads

  // Period statistics (UpdateStatistics runs on the module's processing thread only).
  VANTArray<int64_t> m_periods;
  int32_t m_windowSize = 0; // N, the value of nbPeriods in force
  int32_t m_sampleCount = 0;
  int32_t m_writePosition = 0;
  int64_t m_runningSum = 0;
  int64_t m_lastTime = 0;

  // Dynamic cursors: the first element after those declared statically (null: none).
  VANTListItem<VANTInput*>* m_inputCursor = nullptr;
  VANTListItem<VANTOutput*>* m_outputCursor = nullptr;
  VANTListItem<VANTProperty*>* m_propertyCursor = nullptr;
  VANTListItem<VANTAction*>* m_actionCursor = nullptr;
  /// The input whose data the sequential processing step is handling.
  VANTInput* m_currentInput = nullptr;

  std::atomic<uint32_t> m_state; // changed under m_structureLock
  int32_t m_errorCode VANT_GUARDED_BY(m_structureLock) = 0;
  VANTStackedString<40> m_errorText VANT_GUARDED_BY(m_structureLock);
  std::atomic<bool> m_threaded{false}; // mirrors the property threaded

  VANTEvent m_stopEvent;
  VANTEvent m_threadsDoneEvent;
  VANTCountedLock m_propertyLock;
  VANTCountedLock m_structureLock VANT_ACQUIRED_AFTER(m_propertyLock);
  int32_t m_runningThreads VANT_GUARDED_BY(m_structureLock) = 0;

  VANTList<VANTStackedString<40>> m_symbolNames VANT_GUARDED_BY(m_structureLock);
  VANTList<VANTThread*> m_threads VANT_GUARDED_BY(m_structureLock);
  VANTList<VANTInput*> m_inputs VANT_GUARDED_BY(m_structureLock);
  VANTList<VANTOutput*> m_outputs VANT_GUARDED_BY(m_structureLock);
  VANTList<VANTProperty*> m_properties VANT_GUARDED_BY(m_structureLock);
  VANTList<VANTAction*> m_actions VANT_GUARDED_BY(m_structureLock);
  int32_t m_builtInCount = 0;
  VANTListItem<VANTProperty*>* m_lastBuiltIn = nullptr;

private:
  // Threads that attached themselves and have not detached yet. Guarded by its own mutex (a leaf
  // lock) so that destruction can wait for the last detach without touching freed memory.
  std::mutex m_attachMutex;
  std::condition_variable m_attachChanged;
  int32_t m_attached = 0;
};

namespace VANT {

/// The thread-wait time-out text: "<N> second(s)" for a million microseconds or more (whole
/// seconds, truncated), else "<N> microsecond(s)".
VANTStackedString<40> ShutdownTimeoutText(int64_t timeoutUs);

/// Sends a report to the engine (kernel slot 96), or prints it when no engine is installed.
void KernelReport(const char* text, int32_t level, int32_t option, bool flag) noexcept;

} // namespace VANT
