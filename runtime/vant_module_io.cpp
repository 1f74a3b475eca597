// The life cycle's entry points into the inputs and outputs (see vant_module_io.h).

#include "runtime/vant_module_io.h"

#include "dataflow/vant_input_implementation.h"
#include "dataflow/vant_output_implementation.h"
#include "kernel/vant_host_kernel.h"
#include "kernel/vant_kernel.h"
#include "runtime/vant_component.h"
#include "runtime/vant_counted_lock.h"
#include "runtime/vant_module.h"

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

void ReleaseReadersAtStop(VANTModule& module, bool dead) noexcept {
  VANTCountedLocker lock(module.StructureLock());
  for (VANTOutput* output : module.Outputs()) {
    VANTIOMonitorImplementation& fifo = OutputImpl(output)->Fifo();
    fifo.WakeReaders();
    fifo.ReleaseAll();
  }
  if (!dead) {
    return; // its threads still run and may use what their inputs hold
  }
  for (VANTInput* input : module.Inputs()) {
    InputImpl(input)->ReleaseHeldIfIdle();
  }
}

void StopReadingHeldInputs(VANTModule& module) noexcept {
  VANTCountedLocker lock(module.StructureLock());
  for (VANTInput* input : module.Inputs()) {
    InputImpl(input)->ReleaseHeldIfIdle();
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

void ReleaseOutputWriters(VANTModule& module) noexcept {
  VANTCountedLocker lock(module.StructureLock());
  for (VANTOutput* output : module.Outputs()) {
    OutputImpl(output)->FreeOutputBuffer();
  }
}

void ReleaseWithOutputs(VANTModule& module, const std::shared_ptr<void>& resource) {
  VANTCountedLocker lock(module.StructureLock());
  for (VANTOutput* output : module.Outputs()) {
    OutputImpl(output)->KeepWithElements(resource);
  }
}

void DisconnectInputs(VANTModule& module) noexcept {
  VANTCountedLocker lock(module.StructureLock());
  for (VANTInput* input : module.Inputs()) {
    VANTOutput* source = input->Source();
    if (source == nullptr) {
      continue;
    }
    try {
      if (VANTHostKernel* kernel = VANT::Kernel()) {
        kernel->Disconnect(source, input);
      }
    } catch (...) {
      // the engine reports its own failures; the input is detached below all the same
    }
    if (VANTOutput* still = input->Source()) {
      still->EngineDisconnect(input);
    }
  }
  // A writer may have begun a processing step for one of them just before: it finds the
  // component stopped and returns, but it touches the component until then.
  for (VANTInput* input : module.Inputs()) {
    InputImpl(input)->WaitForSteps();
  }
}

// RenameElements, CreateDeclaredElements and RemoveUndeclaredElements: vant_dynamic_creation.cpp.

} // namespace VANT::ModuleIO
