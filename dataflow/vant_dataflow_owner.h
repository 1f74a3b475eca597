#pragma once
// VANTDataflowOwner: what an output or an input needs from the module that owns it. Dataflow
// knows its owners only through this interface; the runtime's VANTModule implements it.
//
// Thread: every operation may be called from any thread.
// Ownership: the owner outlives its outputs and inputs; they keep a plain pointer to it.

class VANTEvent;
class VANTInput;

class VANTDataflowOwner {
public:
  /// The event set when the owner is asked to stop: a wait of its writer for a free FIFO slot
  /// ends on it.
  virtual VANTEvent& OwnerStopEvent() noexcept = 0;
  /// True when the owner reads its inputs on threads of its own; false when each publication to
  /// one of its inputs runs its sequential processing step on the writer's thread.
  virtual bool OwnerIsThreaded() const noexcept = 0;
  /// The owner's name, for reports.
  virtual const char* OwnerName() const noexcept = 0;
  /// The sequential processing step for input, on the writer's thread. A fault is the owner's
  /// (it reports it and puts itself in error); nothing is thrown to the writer.
  virtual void RunSequentialStep(VANTInput* input) noexcept = 0;

protected:
  ~VANTDataflowOwner() = default;
};
