#pragma once
// Where the module's life cycle meets its inputs and outputs. The life cycle only knows the
// abstract VANTInput and VANTOutput handles; everything it must do to their implementations (the
// FIFO, the readers, the buffers) goes through the functions below, which the input and output
// implementations provide in vant_module_io.cpp.
//
// Thread: each is called by the life cycle at the point its comment names, with the locks
// named there.

#include <cstdint>
#include <memory>

class VANTModule;
class VANTComponent;
class VANTInput;
class VANTOutput;
struct VANTComponentModelDefinition;

namespace VANT::ModuleIO {

/// Start, before the threads run: allocate every output's buffer (AllocOutputBuffer with the
/// output's defaultBufferSize and data) and set its run counter to 0. Errors raise.
void PrepareOutputsForStart(VANTModule& module);

/// Stop from outside: wake every reader still blocked on one of the module's outputs (it waits
/// again), mark every buffered element of every output as released and reset the output's event;
/// once the component is dead (`dead`), also give back what its inputs hold. Never throws.
void ReleaseReadersAtStop(VANTModule& module, bool dead) noexcept;

/// After Death: StopReading on every input that still holds items and is not being read by a
/// thread of the module that still runs. Never throws.
void StopReadingHeldInputs(VANTModule& module) noexcept;

/// The sequential processing round after each Cycle: StopReading on every input.
void StopReadingAllInputs(VANTModule& module);

/// The subsampling rule of the sequential processing step for an input that has data. Returns
/// true when the element was consumed without processing (taken and given back at once, the
/// input's subsampling counter advanced), false when it must be processed (the counter reset).
bool SkipForSubsampling(VANTModule& module, VANTInput* input);

/// The component's output release (its slot 22), for one output, under the structure lock: the
/// output goes back to the unallocated state; its elements' memory is freed once no reader holds
/// one of them (never waited for).
void ReleaseOutputWriter(VANTOutput* output) noexcept;

/// Every output of the module released as ReleaseOutputWriter does (a failed start). Never
/// throws.
void ReleaseOutputWriters(VANTModule& module) noexcept;

/// Keeps resource (what a component makes its output elements point to) alive as long as the
/// current elements of each of the module's outputs: it is released at their next release when
/// no reader holds one of them, else when the last such reader lets go.
void ReleaseWithOutputs(VANTModule& module, const std::shared_ptr<void>& resource);

/// Destruction of a component: each connected input is disconnected as the engine does it
/// (kernel slot 73), and a processing step a writer began for it is waited for, before anything
/// of the component goes. Never throws.
void DisconnectInputs(VANTModule& module) noexcept;

/// Renaming: every input, output and action updates its full name (module part oldName becomes
/// newName). Under the structure lock.
void RenameElements(VANTModule& module, const char* oldName, const char* newName);

/// Construction of a component: its inputs, outputs and actions from the record's tables, in
/// that order and in table order.
void CreateDeclaredElements(VANTComponent& component, const VANTComponentModelDefinition& record);

/// End of the Dynamic wrapper: remove every input, output, property and action from its cursor to
/// the end of its list (the dynamic elements that Dynamic did not declare again).
void RemoveUndeclaredElements(VANTModule& module);

} // namespace VANT::ModuleIO
