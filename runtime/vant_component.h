#pragma once
// VANTComponent: the base of every component. It adds to the module the component model record,
// the built-in properties threaded, priority, autoStart, componentModelVersion and
// primaryThreadID, and the life cycle: start (threaded or sequential), the sequential processing
// step, Dynamic, stop from outside and from inside, the guarded Death and the clean-up after it.
//
// A concrete component derives from VANTComponent (virtually) and overrides Dynamic, Birth, Cycle
// and Death. A threaded component runs them on its main thread, whose body the engine runs
// (kernel slot 74); a sequential one runs Cycle on the thread of the writer that published data
// to one of its inputs.
//
// Locks: the start lock serialises start, stop and Dynamic and is taken before the property and
// structure locks; the sequential lock serialises Birth, processing steps and Death of a
// sequential component and is taken without the structure lock held.
//
// Thread: the engine's threads call EngineStart, EngineStop, EngineDynamic and the property
// setters; StopFromCycle and CreateThread are for the component's own code.

#include "kernel/vant_host_kernel.h"
#include "runtime/vant_model_definition.h"
#include "runtime/vant_module.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>

class VANTComponent;

/// A member function run by a component thread.
using VANTThreadFunction = void (VANTComponent::*)();
/// A free function run by a component thread, with its argument.
using VANTThreadFreeFunction = void (*)(void* argument);

/// Three 32-bit values a component keeps for the engine (initially -1, -1, 0).
struct VANTComponentTriple {
  int32_t first;
  int32_t second;
  int32_t third;
};

class VANTComponent : public VANTModule {
public:
  VANTComponent(const char* name, VANTComponentModelDefinition* record);
  ~VANTComponent() override;

  const char* TypeText() const override;        // 2: "component"
  void ProcessInput(VANTInput* input) override; // 3
  // 12 to 16: the module's checked setter, then the Dynamic wrapper.
  void SetEnum(VANTProperty* property, const VANTEnumStruct& value) override;
  void SetString(VANTProperty* property, const char* value) override;
  void SetFloat(VANTProperty* property, double value) override;
  void SetInteger(VANTProperty* property, int64_t value) override;
  void SetBoolean(VANTProperty* property, bool value) override;
  /// Declares the elements that depend on the properties (default: nothing).
  virtual void Dynamic();   // 17
  virtual void Cycle() = 0; // 18
  virtual void Birth();     // 19
  /// Called before the threads are waited for and Death runs (default: nothing).
  virtual void PreDeath(); // 20
  virtual void Death();    // 21
  /// Releases the writer side of every output, under the structure lock: each goes back to the
  /// unallocated state at once; the memory of elements that readers of other components still
  /// hold is freed when the last of them lets go (never waited for).
  virtual void ReleaseOutputs();                             // 22
  virtual VANTComponentTriple Triple();                      // 23
  virtual void SetTriple(const VANTComponentTriple& triple); // 24

  // ---- Engine extensions: the engine's entries into the life cycle ----------------------------
  /// Starts the component; false when the start failed (reported). Never throws.
  virtual bool EngineStart() noexcept;
  /// Stops the component and waits (at most 10 s of the kernel's real time) until it is dead.
  virtual void EngineStop() noexcept;
  /// Runs the Dynamic wrapper. Never throws (failures are reported).
  virtual void EngineDynamic() noexcept;

  // ---- Creation of elements (runtime/vant_dynamic_creation.cpp) ---------------------------------
  using VANTModule::NewAction;
  using VANTModule::NewInput;
  using VANTModule::NewProperty;
  /// A component's output: the name pattern of the other kinds, the component model name kept by
  /// the output, announced with kernel slot 32.
  VANTOutput* NewOutput(const VANTOutputDefinition& definition, const char* name = nullptr);
  /// Creation from the entry of the model record's table whose name equals model; an unknown
  /// model raises Error "Call to NewInput(<model>, <name>) failed. The given model (<model>) does
  /// not exist." (NewOutput, NewProperty, NewAction likewise).
  VANTInput* NewInput(const char* model, const char* name);
  VANTOutput* NewOutput(const char* model, const char* name);
  VANTProperty* NewProperty(const char* model, const char* name);
  VANTAction* NewAction(const char* model, const char* name);

  // ---- For the component's own code ------------------------------------------------------------
  /// Ends the component's own run. A threaded component throws the integer VANT::StopException
  /// from here (let it pass); a sequential one dies before this returns.
  void StopFromCycle();
  /// Creates a component thread that runs function (kernel slot 76); returns once the engine has
  /// handed back its thread object. Failure raises Error.
  VANTThread* CreateThread(VANTThreadFunction function);
  /// The same for a member function of a derived component.
  template <typename Component>
  VANTThread* CreateThread(void (Component::*function)()) {
    auto* self = dynamic_cast<Component*>(this);
    return CreateComponentThread([self, function] { (self->*function)(); });
  }
  /// Creates a component thread that runs function(argument). Needs an engine that defines
  /// "Engine.version" (else Error). Returns the two values the engine filled in: the thread's
  /// kernel id and 0.
  std::pair<int32_t, int32_t> CreateThread(VANTThreadFreeFunction function, void* argument);

  VANTComponentModelDefinition* Record() const noexcept { return m_record; }
  /// Change callbacks of threaded and autoStart.
  void SetThreadedFlag(bool threaded) noexcept;
  void SetAutoStartBit(bool on);
  VANTEvent& BirthEvent() noexcept { return m_birthEvent; }
  /// Hands over memory the component made its output elements point to: resource is released
  /// with the elements' own data, at the next output release when no reader holds one of them,
  /// else when the last such reader lets go. Call it instead of freeing that memory itself.
  void ReleaseWithOutputs(std::shared_ptr<void> resource);

protected:
  /// The Dynamic wrapper: Dynamic under the start lock while the component is not started.
  void DynamicWrapper();
  /// Death guarded against every exception (each kind reported).
  void GuardedDeath() noexcept;
  /// After Death: inputs released, "is dead" reported, statistics cleared, state dead.
  void AfterDeath() noexcept;

private:
  friend struct VANTComponentThreadBodies;

  bool Start();
  void Stop();
  /// Start of a sequential component: Birth, then the data already waiting on the inputs.
  bool StartSequential();
  /// The sequential processing of what input holds; stopReadingRound adds StopReading on every
  /// input after each Cycle. Called with the sequential lock held.
  void RunSequential(VANTInput* input, bool stopReadingRound);
  /// The end of a sequential component after an error (sequential lock held).
  void SequentialDeathAfterError() noexcept;
  /// Count - 1, pre-death hook, thread wait, guarded Death, clean-up.
  void DieNow() noexcept;
  /// A start that failed after the outputs were allocated gives them back.
  void ReleaseAfterFailedStart() noexcept;
  VANTThread* CreateComponentThread(std::function<void()> body);
  /// "<type> <name>": the beginning of the fatal texts.
  VANTStackedString<40> Prefix() const;

  // The main thread's steps (run by the engine's thread body, kernel slot 74).
  bool MainBirth() noexcept;
  bool MainCycle() noexcept;
  void MainDeath() noexcept;
  /// Where an exception escaped the component's code.
  enum class EscapePhase { kStart, kBirth, kCycle, kSequential, kDeath };
  /// Turns the exception being handled (call it in a catch block) into the component's report
  /// for that phase: a start reports its failure; Birth, Cycle and a sequential step put the
  /// component in error and make it die (a stop request there is no failure and reports
  /// nothing); Death reports and goes on. Never throws.
  void ReportEscapedException(EscapePhase phase) noexcept;

  VANTComponentModelDefinition* m_record;
  // Lock order: start lock, sequential lock, property lock, structure lock.
  VANTCountedLock m_startLock VANT_ACQUIRED_BEFORE(m_propertyLock);
  VANTMutex m_sequentialLock VANT_ACQUIRED_AFTER(m_startLock) VANT_ACQUIRED_BEFORE(m_propertyLock);
  VANTMutex m_auxiliaryLock;
  VANTEvent m_birthEvent;
  VANTEvent m_deadEvent; // set by the clean-up after death, reset by start
  std::atomic<bool> m_sequentialStopped{true};
  bool m_inDynamic = false;
  /// A stop gave up waiting for the death: the clean-up after death releases the outputs.
  bool m_releaseOutputsAtDeath VANT_GUARDED_BY(m_structureLock) = false;
  VANTComponentTriple m_triple{-1, -1, 0};

  VANTPropertyImplementation* m_threadedProperty = nullptr;
  VANTPropertyImplementation* m_autoStart = nullptr;
  VANTPropertyImplementation* m_modelVersion = nullptr;
  VANTPropertyImplementation* m_primaryThreadID = nullptr;

  /// What the engine's main-thread body receives (kernel slot 74).
  VANTThreadContext m_mainContext{};
};
