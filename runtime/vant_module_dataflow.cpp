// The module's writing and reading operations: StartWriting and StopWriting on its outputs,
// the StartReading family and StopReading on its inputs. The FIFO decides which item a writer
// fills and which one a reader gets; here are the module's rules around it: the dying check,
// time stamping, subsampling, detaching, the waits on the stop event and the error texts.

#include "dataflow/vant_input_implementation.h"
#include "dataflow/vant_output_implementation.h"
#include "kernel/vant_host_kernel.h"
#include "kernel/vant_kernel.h"
#include "runtime/vant_module.h"
#include "util/vant_exceptions.h"
#include "util/vant_string.h"

#include <algorithm>
#include <cstdint>

namespace {

VANTInputImplementation* InputImpl(VANTInput* input) {
  return static_cast<VANTInputImplementation*>(input);
}

// Marks an input as being read for a scope (BeginRead/EndRead), also when the read throws, and
// gives the FIFO to read first.
class ReadScope {
public:
  ReadScope(VANTInputImplementation* input, bool keepHeld) : m_input(input) {
    fifo = m_input->BeginRead(keepHeld, &index);
  }
  ~ReadScope() { m_input->EndRead(); }
  ReadScope(const ReadScope&) = delete;
  ReadScope& operator=(const ReadScope&) = delete;

  VANTIOMonitorImplementation* fifo = nullptr;
  uint32_t index = 0;

private:
  VANTInputImplementation* m_input;
};

// Marks every input of a multi-input read as being read for a scope.
class MultiReadScope {
public:
  MultiReadScope(VANTInput** inputs, int32_t n) : m_inputs(inputs) {
    uint32_t index = 0;
    for (; m_begun < n; ++m_begun) {
      static_cast<VANTInputImplementation*>(m_inputs[m_begun])->BeginRead(false, &index);
    }
  }
  ~MultiReadScope() {
    for (int32_t k = 0; k < m_begun; ++k) {
      static_cast<VANTInputImplementation*>(m_inputs[k])->EndRead();
    }
  }
  MultiReadScope(const MultiReadScope&) = delete;
  MultiReadScope& operator=(const MultiReadScope&) = delete;

private:
  VANTInput** m_inputs;
  int32_t m_begun = 0;
};

// Failures of the multi-input limits: level 2, option 1, flag true, then the error exception.
[[noreturn]] void FailLimit(const char* text) {
  VANT::KernelReport(text, VANT::kError, 1, true);
  throw VANT::ErrorException;
}

// The most wait objects of one multi-input pass: the stop event, a waiter event and an interrupt
// event per input, the extra events (64; the window-message form allows 255).
constexpr int32_t kMaxInputs = 32;
constexpr int32_t kMaxExtraEvents = 32;
constexpr int32_t kMaxWaitObjects = 64;
constexpr int32_t kMaxMessageWaitObjects = 255;
constexpr int32_t kWaitListSize = 1 + 2 * kMaxInputs + kMaxExtraEvents;

// The waits one pass of a multi-input read armed, one per input at most. Each is cancelled on its
// FIFO when the pass ends (a taken sample, another input's wake, an extra event, the stop, an
// error), unless the pass took it over: the wait whose waiter event fired is finished by
// TakeAfterWait instead.
class ArmedWaits {
public:
  ArmedWaits() = default;
  ~ArmedWaits() { CancelAll(); }
  ArmedWaits(const ArmedWaits&) = delete;
  ArmedWaits& operator=(const ArmedWaits&) = delete;

  void Arm(int32_t k, VANTIOMonitorImplementation* fifo, uint32_t index) noexcept {
    m_waits[k] = {fifo, index};
  }
  /// The wait of input k ends elsewhere: it is not cancelled here.
  void TakeOver(int32_t k) noexcept { m_waits[k].fifo = nullptr; }
  /// Cancels every armed wait (the FIFO lock taken and given back once each).
  void CancelAll() noexcept {
    for (Wait& wait : m_waits) {
      if (wait.fifo != nullptr) {
        wait.fifo->CancelWait(wait.index);
        wait.fifo = nullptr;
      }
    }
  }

private:
  struct Wait {
    VANTIOMonitorImplementation* fifo = nullptr;
    uint32_t index = 0;
  };
  Wait m_waits[kMaxInputs];
};

} // namespace

// ---- Writing ---------------------------------------------------------------------------------

VANTIOElt* VANTModule::StartWriting(VANTOutput* output) {
  if (IsDying()) {
    throw VANT::StopException;
  }
  auto* implementation = static_cast<VANTOutputImplementation*>(output);
  try {
    return implementation->TakeForWriting();
  } catch (int error) {
    if (error == VANT::StopException) {
      throw;
    }
    VANTStreamedString message;
    message << "Failed to start writing on " << implementation->FullName();
    Error(message.Text(), 1, 0);
    throw; // not reached: Error throws
  }
}

VANTIOElt* VANTModule::StartWriting(VANTOutput* output, int64_t timestamp) {
  VANTIOElt* element = StartWriting(output);
  if (element != nullptr) {
    element->Timestamp() = timestamp;
  }
  return element;
}

void VANTModule::StopWriting(VANTIOElt* element, bool discard) {
  auto* implementation = static_cast<VANTIOEltImplementation*>(element);
  if (implementation->VectorSize() > implementation->BufferSize()) {
    VANTStreamedString message;
    message << "Buffer overflow detected: VectorSize(" << implementation->VectorSize()
            << ") > BufferSize(" << implementation->BufferSize() << ")";
    Error(message.Text(), 1, 0);
  }
  VANTOutputImplementation* output = implementation->Owner();
  if (output->Publish(implementation, discard)) {
    output->NotifySequentialReaders();
  }
}

void VANTModule::RunSequentialStep(VANTInput* input) noexcept {
  const uint32_t before = State();
  try {
    ProcessInput(input);
  } catch (...) {
    // The module has reported its fault and put itself in error; the writer goes on.
  }
  const uint32_t after = State();
  if (after != before) {
    if (VANTHostKernel* kernel = VANT::Kernel()) {
      kernel->ModuleState(Name(), after);
    }
  }
}

// ---- Reading ---------------------------------------------------------------------------------

// One read on one input: the item taken, or null for a sequential module with nothing new. The
// item is recorded as held before the read ends, so that a detach never sees a reader that holds
// an item it has not recorded. window 0: the item replaces what the input held; window N: it
// joins the N - 1 most recent items held (a window of last samples).
VANTFastIOItem* VANTModule::ReadOne(VANTInputImplementation* reader, int32_t window) {
  ReadScope scope(reader, window > 0);
  VANTIOMonitorImplementation* fifo = scope.fifo;
  uint32_t index = scope.index;
  auto hold = [reader, window](VANTFastIOItem* item) {
    if (window > 0) {
      reader->TrimHeld(window - 1);
      reader->AppendHeld(item);
    } else {
      reader->Hold(item);
    }
    return item;
  };
  if (!IsThreaded()) {
    // Right after a publication, on the writer's thread: never waits (a wait-for-next reader
    // takes the sample just published).
    if (fifo == nullptr) {
      return nullptr;
    }
    VANTFastIOItem* item = fifo->TryReadNow(index);
    return item != nullptr ? hold(item) : nullptr;
  }

  for (bool first = true;; first = false) {
    if (!first) {
      fifo = reader->Current(&index);
    }
    if (fifo == nullptr) {
      VANTEvent* events[2] = {&reader->ConnectEvent(), &m_stopEvent};
      if (VANTEvent::Wait(2, events, -1) == 1) {
        throw VANT::StopException;
      }
      reader->ConnectEvent().Reset();
      continue;
    }
    VANTFastIO::ReadResult result = fifo->TryRead(index, true);
    bool interrupted = false;
    while (result.MustWait()) {
      VANTEvent* events[3] = {result.waitEvent, &m_stopEvent, &reader->InterruptEvent()};
      const int32_t woke = VANTEvent::Wait(3, events, -1);
      if (woke == 2) {
        fifo->CancelWait(index);
        reader->InterruptEvent().Reset();
        interrupted = true;
        break;
      }
      // 0: the waiter event; 1: the stop event (TakeAfterWait throws StopException).
      result = fifo->TakeAfterWait(index, woke == 0 ? 0 : 1);
    }
    if (interrupted || result.item == nullptr) {
      continue;
    }
    if (!reader->CountSample()) {
      fifo->ReleaseItem(index, result.item); // not the last sample of the subsampling cycle
      continue;
    }
    reader->ResetSubsamplingCounter();
    return hold(result.item);
  }
}

VANTIOElt* VANTModule::StartReading(VANTInput* input) {
  if (IsDying()) {
    throw VANT::StopException;
  }
  VANTInputImplementation* reader = InputImpl(input);
  try {
    VANTFastIOItem* item = ReadOne(reader, 0);
    return item != nullptr ? reader->ElementOf(item) : nullptr;
  } catch (int error) {
    if (error == VANT::ErrorException) {
      VANTStreamedString message;
      message << "Failed to start reading on " << reader->FullName();
      Error(message.Text(), 1, 0);
    }
    throw;
  }
}

bool VANTModule::NLastStartReading(VANTInput* input, int32_t count, VANTIOElt** out) {
  if (IsDying()) {
    throw VANT::StopException;
  }
  VANTInputImplementation* reader = InputImpl(input);
  if (!IsThreaded() && reader->InputSubsampling() > 1) {
    Error("NLastStartReading is not supported for sequential components with an input "
          "subsampling.",
          1, 0);
  }
  try {
    for (;;) {
      // The window holds the last `count` samples, oldest first.
      VANTFastIOItem* item = ReadOne(reader, count > 0 ? count : 1);
      if (item == nullptr) {
        return false; // a sequential module with nothing new
      }
      if (reader->HeldCount() < count) {
        if (!IsThreaded()) {
          return false;
        }
        continue;
      }
      for (int32_t k = 0; k < reader->HeldCount() && out != nullptr; ++k) {
        out[k] = reader->ElementOf(reader->HeldItem(k));
      }
      return true;
    }
  } catch (int error) {
    if (error == VANT::ErrorException) {
      VANTStreamedString message;
      message << "Failed to start reading " << count << " last samples on " << reader->FullName();
      Error(message.Text(), 1, 0);
    }
    throw;
  }
}

int64_t VANTModule::SynchroStartReading(int32_t n, VANTInput** inputs, VANTIOElt** out,
                                        int64_t synchroTolerance, VANTEvent* event) {
  if (n < 1) {
    Error("The number of inputs cannot be negative.", 1, 0);
  }
  if (n > 256) {
    Error("Can't SynchroStartRead on more than 256 inputs simultaneously. Sorry.", 1, 0);
  }
  if (synchroTolerance < 0) {
    Error("synchroTolerance cannot be negative", 1, 0);
  }
  for (int32_t k = 0; k < n; ++k) {
    out[k] = nullptr;
  }
  auto fail = [&]() -> int64_t {
    for (int32_t k = 0; k < n; ++k) {
      if (out[k] != nullptr) {
        StopReading(inputs[k]);
        out[k] = nullptr;
      }
    }
    return -1;
  };
  VANTInput* missing[256];
  int32_t missingIndex[256];
  bool defined = false;
  int64_t low = 0;
  int64_t high = 0;
  for (;;) {
    int32_t m = 0;
    for (int32_t k = 0; k < n; ++k) {
      if (out[k] == nullptr) {
        missingIndex[m] = k;
        missing[m++] = inputs[k];
      }
    }
    if (m == 0) {
      return low;
    }
    VANTEvent* extra[1] = {event};
    int32_t position = -1;
    VANTIOElt* element = StartReading(m, missing, &position, event != nullptr ? 1 : 0, extra);
    if (element == nullptr || position < 0 || position >= m) {
      return fail(); // the event fired (or nothing new for a sequential module)
    }
    const int32_t k = missingIndex[position];
    const int64_t t = element->Timestamp();
    VANTHostKernel* kernel = VANT::Kernel();
    const bool forward = kernel == nullptr || kernel->SpeedSign() >= 0;
    if (defined && std::max(t, high) - std::min(t, low) > synchroTolerance) {
      if ((forward && t < low) || (!forward && t > high)) {
        StopReading(inputs[k]); // too old for the window: read this input again
        continue;
      }
      // The window starts again at the new sample; samples too far from it are read again.
      low = high = t;
      for (int32_t j = 0; j < n; ++j) {
        if (j == k || out[j] == nullptr) {
          continue;
        }
        const int64_t u = out[j]->Timestamp();
        const bool keep = forward ? t - u <= synchroTolerance : u - t <= synchroTolerance;
        if (keep) {
          low = std::min(low, u);
          high = std::max(high, u);
        } else {
          StopReading(inputs[j]);
          out[j] = nullptr;
        }
      }
      out[k] = element;
      continue;
    }
    out[k] = element;
    low = defined ? std::min(low, t) : t;
    high = defined ? std::max(high, t) : t;
    defined = true;
  }
}

VANTIOElt* VANTModule::StartReading(int32_t n, VANTInput** inputs, int32_t* index, int32_t e,
                                    VANTEvent** events) {
  if (IsDying()) {
    throw VANT::StopException;
  }
  if (IsThreaded()) {
    if (e >= kMaxExtraEvents + 1) {
      FailLimit("StartReading can't wait on more than 32 events simultaneously.");
    }
    if (n >= kMaxInputs + 1) {
      FailLimit("StartReading can't wait for more than 32 inputs simultaneously.");
    }
    if (e + 1 + 2 * n >= kMaxWaitObjects + 1) {
      FailLimit("StartReading can't wait for more than 64 events simultaneously.");
    }
  }
  return ReadMany(n, inputs, index, e, events);
}

VANTIOElt* VANTModule::ReadMany(int32_t n, VANTInput** inputs, int32_t* index, int32_t e,
                                VANTEvent** events) {
  if (IsDying()) {
    throw VANT::StopException;
  }
  if (!IsThreaded()) {
    for (int32_t k = 0; k < n; ++k) {
      if (inputs[k] == m_currentInput) {
        if (index != nullptr) {
          *index = k;
        }
        return StartReading(inputs[k]);
      }
    }
    return nullptr;
  }

  // What each wait object stands for: the stop event, an input's connect, waiter or interrupt
  // event, or an extra event.
  enum class Role : uint8_t { kStop, kConnect, kWaiter, kInterrupt, kExtra };
  struct Slot {
    Role role;
    int32_t position;
  };

  try {
    MultiReadScope scope(inputs, n);
    // The FIFO each input read from in this pass: an armed wait is cancelled on that one, which
    // the input keeps (see VANTInputImplementation) until the pass is over.
    VANTIOMonitorImplementation* fifos[kMaxInputs] = {};
    uint32_t indexes[kMaxInputs] = {};
    for (;;) {
      ArmedWaits armed; // whatever ends this pass cancels the waits it armed
      VANTEvent* list[kWaitListSize];
      Slot slots[kWaitListSize];
      int32_t count = 0;
      list[count] = &m_stopEvent;
      slots[count++] = {Role::kStop, 0};
      int32_t takenAt = -1;
      VANTFastIOItem* taken = nullptr;

      for (int32_t k = 0; k < n && takenAt < 0; ++k) {
        VANTInputImplementation* reader = InputImpl(inputs[k]);
        VANTIOMonitorImplementation* fifo = reader->Current(&indexes[k]);
        fifos[k] = fifo;
        if (fifo == nullptr) {
          list[count] = &reader->ConnectEvent();
          slots[count++] = {Role::kConnect, k};
          continue;
        }
        if (reader->ReaderType() == VANT::SamplingReader) {
          VANTStreamedString message;
          message << "StartReading on multiple inputs is not possible with SamplingReader "
                     "inputs. "
                  << reader->FullName() << " is a SamplingReader input.";
          Error(message.Text(), 1, 0);
        }
        if (reader->HeldCount() > 0) {
          reader->ReleaseHeld();
        }
        VANTFastIO::ReadResult result = fifo->TryRead(indexes[k]);
        if (result.item != nullptr) {
          takenAt = k;
          taken = result.item;
          break;
        }
        if (result.MustWait()) {
          armed.Arm(k, fifo, indexes[k]);
          list[count] = result.waitEvent;
          slots[count++] = {Role::kWaiter, k};
          list[count] = &reader->InterruptEvent();
          slots[count++] = {Role::kInterrupt, k};
        } else {
          // Neither a sample nor a wait: the input was detached from this FIFO just now, and its
          // interrupt event (set by the detach) starts the next pass.
          list[count] = &reader->InterruptEvent();
          slots[count++] = {Role::kInterrupt, k};
        }
      }

      if (takenAt < 0) {
        for (int32_t j = 0; j < e; ++j) {
          list[count] = events[j];
          slots[count++] = {Role::kExtra, j};
        }
        const int32_t woke = VANTEvent::Wait(count, list, -1);
        const Slot fired = woke >= 0 && woke < count ? slots[woke] : Slot{Role::kStop, 0};
        // Every armed wait is cancelled but the one whose waiter event fired.
        if (fired.role == Role::kWaiter) {
          armed.TakeOver(fired.position);
        }
        armed.CancelAll();
        switch (fired.role) {
        case Role::kStop:
          throw VANT::StopException;
        case Role::kExtra:
          if (index != nullptr) {
            *index = n + fired.position;
          }
          return nullptr;
        case Role::kConnect:
          InputImpl(inputs[fired.position])->ConnectEvent().Reset();
          continue;
        case Role::kInterrupt:
          // The connection changed: the next pass reads from the input's new FIFO, if any.
          InputImpl(inputs[fired.position])->InterruptEvent().Reset();
          continue;
        case Role::kWaiter: {
          const int32_t k = fired.position;
          VANTFastIO::ReadResult result = fifos[k]->TakeAfterWait(indexes[k], 0);
          if (result.MustWait()) {
            fifos[k]->CancelWait(indexes[k]);
            continue;
          }
          if (result.item == nullptr) {
            continue;
          }
          takenAt = fired.position;
          taken = result.item;
          break;
        }
        }
      } else {
        armed.CancelAll();
      }

      VANTInputImplementation* reader = InputImpl(inputs[takenAt]);
      if (!reader->CountSample()) {
        fifos[takenAt]->ReleaseItem(indexes[takenAt], taken);
        continue;
      }
      reader->ResetSubsamplingCounter();
      reader->Hold(taken);
      if (index != nullptr) {
        *index = takenAt;
      }
      return reader->ElementOf(taken);
    }
  } catch (int error) {
    if (error == VANT::ErrorException) {
      Error("Failed to start reading on multiple inputs", 1, 0);
    }
    throw;
  }
}

VANTIOElt* VANTModule::MsgStartReading(VANTInput* input) {
  // No window-message queue on this platform: nothing is ever queued.
  if (!IsThreaded()) {
    if (IsDying()) {
      throw VANT::StopException;
    }
    return nullptr;
  }
  return StartReading(input);
}

VANTIOElt* VANTModule::MsgStartReading(int32_t n, VANTInput** inputs, int32_t* index, int32_t e,
                                       VANTEvent** events) {
  if (IsThreaded()) {
    if (e >= kMaxExtraEvents + 1 || n >= kMaxInputs + 1) {
      FailLimit("MsgStartReading can't wait on more than 32 events simultaneously.");
    }
    if (e + 1 + 2 * n > kMaxMessageWaitObjects) {
      FailLimit("MsgWait4Events can't wait for more than 255 events simultaneously.");
    }
  }
  return ReadMany(n, inputs, index, e, events); // its own limit, not StartReading's 64
}

void VANTModule::StopReading(VANTInput* input) {
  InputImpl(input)->ReleaseHeld();
}
