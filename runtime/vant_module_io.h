#pragma once
// Where the module's life cycle meets its inputs and outputs. The life cycle only knows the
// abstract VANTInput and VANTOutput handles; everything it must do to their implementations (the
// FIFO, the readers, the buffers) goes through the functions below, which the input and output
// implementations provide in vant_module_io.cpp.
//
// Thread: each is called by the life cycle at the point its comment names, with the locks
// named there.

#include <cstdint>

class VANTModule;
class VANTComponent;
class VANTInput;
class VANTOutput;
struct VANTComponentModelDefinition;

namespace VANT::ModuleIO {

/// Start, before the threads run: allocate every output's buffer (AllocOutputBuffer with the
/// output's defaultBufferSize and data) and set its run counter to 0. Errors raise.
void PrepareOutputsForStart(VANTModule& module);

/// Stop from outside, once the component is dead: wake every reader still blocked on one of the
/// module's outputs and wait for it to leave, clear the reading state of every input, mark every
/// buffered element of every output as released and reset the output's event. Never throws.
void ReleaseReadersAtStop(VANTModule& module) noexcept;

/// After Death: StopReading on every input that still holds items. Never throws.
void StopReadingHeldInputs(VANTModule& module) noexcept;

/// The sequential processing round after each Cycle: StopReading on every input.
void StopReadingAllInputs(VANTModule& module);

/// The subsampling rule of the sequential processing step for an input that has data. Returns
/// true when the element was consumed without processing (taken and given back at once, the
/// input's subsampling counter advanced), false when it must be processed (the counter reset).
bool SkipForSubsampling(VANTModule& module, VANTInput* input);

/// The component's output release (its slot 22), for one output, under the structure lock.
void ReleaseOutputWriter(VANTOutput* output) noexcept;

/// Before a component frees what its output elements point to: drops the samples of its outputs
/// that no reader took yet, then waits (bounded, 2 s) until no reader of another component still
/// holds one of their elements. Never throws.
void WaitForOutputReaders(VANTModule& module) noexcept;

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
