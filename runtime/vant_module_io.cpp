// The life cycle's entry points into the inputs and outputs (see vant_module_io.h).

#include "runtime/vant_module_io.h"

#include "dataflow/vant_input_implementation.h"
#include "dataflow/vant_output_implementation.h"
#include "runtime/vant_component.h"
#include "runtime/vant_counted_lock.h"
#include "runtime/vant_module.h"

#include <ctime>

namespace VANT::ModuleIO {

namespace {

VANTInputImplementation* InputImpl(VANTInput* input) {
  return static_cast<VANTInputImplementation*>(input);
}

VANTOutputImplementation* OutputImpl(VANTOutput* output) {
  return static_cast<VANTOutputImplementation*>(output);
}

} // namespace

void PrepareOutputsForStart(VANTModule& module) {
  VANTCountedLocker lock(module.StructureLock());
  for (VANTOutput* output : module.Outputs()) {
    VANTOutputImplementation* implementation = OutputImpl(output);
    implementation->AllocOutputBuffer(implementation->DefaultBufferSize(), 1);
    implementation->SetRunCounter(0);
  }
}

void ReleaseReadersAtStop(VANTModule& module) noexcept {
  VANTCountedLocker lock(module.StructureLock());
  for (VANTOutput* output : module.Outputs()) {
    VANTIOMonitorImplementation& fifo = OutputImpl(output)->Fifo();
    fifo.WakeReaders();
    fifo.ReleaseAll();
  }
  for (VANTInput* input : module.Inputs()) {
    try {
      InputImpl(input)->ReleaseHeld();
    } catch (...) {
      // reported by the FIFO; the input holds nothing any more either way
    }
  }
}

void StopReadingHeldInputs(VANTModule& module) noexcept {
  VANTCountedLocker lock(module.StructureLock());
  for (VANTInput* input : module.Inputs()) {
    if (InputImpl(input)->HeldCount() > 0) {
      try {
        module.StopReading(input);
      } catch (...) {
        // reported by the FIFO
      }
    }
  }
}

void StopReadingAllInputs(VANTModule& module) {
  VANTCountedLocker lock(module.StructureLock());
  for (VANTInput* input : module.Inputs()) {
    module.StopReading(input);
  }
}

bool SkipForSubsampling(VANTModule& module, VANTInput* input) {
  // Only the module's own inputs have a subsampling cycle; any other handle counts every sample.
  {
    VANTCountedLocker lock(module.StructureLock());
    if (module.Inputs().Find(input) == nullptr) {
      return false;
    }
  }
  return InputImpl(input)->SkipForSubsampling();
}

void ReleaseOutputWriter(VANTOutput* output) noexcept {
  OutputImpl(output)->FreeOutputBuffer();
}

void WaitForOutputReaders(VANTModule& module) noexcept {
  // A reader copies what it holds and gives it back within one of its cycles; one that holds an
  // element much longer (stuck, or stopped without its clean-up) is not waited for any longer.
  constexpr int kPolls = 10000;
  const timespec pause{0, 200000};
  VANTCountedLocker lock(module.StructureLock());
  for (VANTOutput* output : module.Outputs()) {
    VANTIOMonitorImplementation& fifo = OutputImpl(output)->Fifo();
    // Samples nobody took yet are dropped first, so that no reader takes one from now on.
    fifo.ReleaseAll();
    for (int poll = 0; poll < kPolls && fifo.AnyItemHeld(); ++poll) {
      clock_nanosleep(CLOCK_MONOTONIC, 0, &pause, nullptr);
    }
  }
}

// RenameElements, CreateDeclaredElements and RemoveUndeclaredElements: vant_dynamic_creation.cpp.

} // namespace VANT::ModuleIO
