// The life cycle's entry points into the inputs and outputs (see vant_module_io.h). What the
// abstract handles offer is done here; the steps that need the FIFO and reader implementations
// are filled in by those implementations.

#include "runtime/vant_module_io.h"

#include "dataflow/vant_input.h"
#include "dataflow/vant_output.h"
#include "runtime/vant_component.h"
#include "runtime/vant_module.h"

namespace VANT::ModuleIO {

void PrepareOutputsForStart(VANTModule& /*module*/) {
  // Output implementation: AllocOutputBuffer(defaultBufferSize, 1) and runCounter = 0 per output.
}

void ReleaseReadersAtStop(VANTModule& /*module*/) noexcept {
  // Output and input implementations: wake blocked readers, clear reading states, release items.
}

void StopReadingHeldInputs(VANTModule& /*module*/) noexcept {
  // Input implementation: StopReading on every input that holds items.
}

void StopReadingAllInputs(VANTModule& /*module*/) {
  // Input implementation: StopReading on every input.
}

bool SkipForSubsampling(VANTModule& /*module*/, VANTInput* /*input*/) {
  // Input implementation: subsampling counter and reader type. Without it every element counts.
  return false;
}

void ReleaseOutputWriter(VANTOutput* /*output*/) noexcept {
  // Output implementation: FreeOutputBuffer.
}

// RenameElements, CreateDeclaredElements and RemoveUndeclaredElements: vant_dynamic_creation.cpp.

} // namespace VANT::ModuleIO
