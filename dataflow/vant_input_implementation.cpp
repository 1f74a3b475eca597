#include "dataflow/vant_input_implementation.h"

#include "dataflow/vant_output_implementation.h"
#include "runtime/vant_action.h"
#include "runtime/vant_module.h"
#include "runtime/vant_property.h"
#include "src/vant_host_kernel.h"
#include "src/vant_kernel.h"
#include "util/vant_string.h"

#include <cstring>
#include <ctime>

namespace {

// A detach is rare and short: the parties look at each other's flags every millisecond.
void PauseForDetach() noexcept {
  timespec pause{0, 1000000};
  clock_nanosleep(CLOCK_MONOTONIC, 0, &pause, nullptr);
}

// How long the engine waits for a reader's acknowledgement before it takes the reader's items
// back itself (a reader whose component is busy in a long Cycle, or stopped).
constexpr int64_t kDetachAckTimeoutUs = 2000000;

void ReportBadParameter(const char* text) {
  if (VANTHostKernel* kernel = VANT::Kernel()) {
    kernel->Report(text, 2, 1, false);
  }
}

} // namespace

VANTInputImplementation::VANTInputImplementation(VANTModule* module,
                                                 const VANTInputDefinition& definition,
                                                 const char* fullName, const char* shortName)
    : m_name(fullName), m_shortName(shortName), m_module(module), m_definition(definition),
      m_readerType(static_cast<uint32_t>(definition.readerType)) {
  m_held.reserve(1);
}

VANTInputImplementation::~VANTInputImplementation() {
  if (VANTOutputImplementation* source = m_source.load(std::memory_order_acquire)) {
    source->EngineDisconnect(this);
  }
}

VANTOutput* VANTInputImplementation::Source() {
  return m_source.load(std::memory_order_acquire);
}

VANTDataType* VANTInputImplementation::SourceType() {
  VANTOutputImplementation* source = m_source.load(std::memory_order_acquire);
  return source != nullptr ? &source->Type() : nullptr;
}

bool VANTInputImplementation::DataAvailable() {
  VANTIOMonitorImplementation* fifo = Fifo();
  return fifo != nullptr && fifo->DataAvailable(m_readerIndex);
}

int32_t VANTInputImplementation::AvailableCount() {
  VANTIOMonitorImplementation* fifo = Fifo();
  return fifo != nullptr ? fifo->AvailableCount(m_readerIndex) : 0;
}

void VANTInputImplementation::Rename(const char* oldName, const char* newName) {
  VANT::RenameModulePart(m_name, oldName, newName);
}

// ---- Sub-properties --------------------------------------------------------------------------

void VANTInputImplementation::ChangeReaderType(VANTPropertyImplementation* property,
                                               int64_t value) {
  const uint32_t current = m_readerType;
  const bool currentRole = current >= VANT::Wait4NextReader;
  const bool newRole = value >= VANT::Wait4NextReader;
  if (currentRole && value != current) {
    property->Value() = VANTPropertyValue(static_cast<int64_t>(current));
    VANTStreamedString message;
    message << "Bad parameter: The input " << m_name.Text()
            << " is a SamplingReader or Wait4NextReader and cannot be switched to FifoReader, "
               "NeverSkippingReader or LastOrNextReader";
    ReportBadParameter(message.Text());
  } else if (!currentRole && !newRole) {
    m_readerType = static_cast<uint32_t>(value);
    if (VANTIOMonitorImplementation* fifo = Fifo()) {
      fifo->SetReaderType(m_readerIndex, m_readerType);
    }
  } else if (!currentRole && newRole) {
    property->Value() = VANTPropertyValue(static_cast<int64_t>(current));
    VANTStreamedString message;
    message << "Bad parameter: The input " << m_name.Text()
            << " cannot be switched to SamplingReader or Wait4NextReader.";
    ReportBadParameter(message.Text());
  }
  // The engine refreshes what it shows of the input.
  VANTHostKernel* kernel = VANT::Kernel();
  if (kernel == nullptr) {
    return;
  }
  VANTSymbolRecord* record = kernel->ModuleRecord("Engine.time");
  if (record == nullptr || record->module == nullptr) {
    return;
  }
  VANTModule* engineTime = record->module;
  if (engineTime->HasAction("refreshInputProperties")) {
    engineTime->Action("refreshInputProperties")
        ->Trigger(reinterpret_cast<intptr_t>(m_name.Text()));
  }
}

void VANTInputImplementation::ChangeSubsampling(int64_t value) {
  m_inputSubsampling = static_cast<int32_t>(value);
  VANTIOMonitorImplementation* fifo = Fifo();
  if (m_readerType < VANT::Wait4NextReader && fifo != nullptr) {
    fifo->SetSubsamplingRate(m_readerIndex, m_inputSubsampling);
  }
}

// ---- Connection ------------------------------------------------------------------------------

void VANTInputImplementation::Link(VANTOutputImplementation* output, uint32_t readerIndex) {
  {
    VANTMutexLocker lock(m_lock);
    // Everything the reader's thread uses is set before the FIFO is published: a reader that
    // waits for the connection starts reading as soon as it sees the FIFO.
    m_readerIndex = readerIndex;
    m_held.clear();
    m_subsamplingCounter.store(0, std::memory_order_relaxed);
    m_source.store(output, std::memory_order_release);
    m_fifo.store(&output->Fifo(), std::memory_order_release);
    if (m_arrivalEvent != nullptr) {
      output->Fifo().SetArrivalEvent(readerIndex, m_arrivalEvent);
      m_arrivalEvent->Set(); // what was published since the registration counts as arrived
    }
  }
  m_connectEvent.Set();
}

void VANTInputImplementation::Unlink() noexcept {
  VANTMutexLocker lock(m_lock);
  m_fifo.store(nullptr, std::memory_order_release);
  m_source.store(nullptr, std::memory_order_release);
  m_held.clear();
}

void VANTInputImplementation::BeginDetach() {
  bool mustWait = false;
  {
    VANTMutexLocker lock(m_lock);
    m_detachAckEvent.Reset();
    m_detaching.store(1, std::memory_order_release);
    m_interruptEvent.Set();
    mustWait = m_inStartReading.load(std::memory_order_acquire) != 0 || !m_held.empty();
  }
  if (mustWait) {
    // The reader acknowledges once it holds nothing; a reader that never comes back (its
    // component is stopped or stuck in a long Cycle) loses its items when the FIFO forgets it.
    m_detachAckEvent.Wait(kDetachAckTimeoutUs);
  }
}

void VANTInputImplementation::EndDetach() noexcept {
  VANTMutexLocker lock(m_lock);
  m_detaching.store(0, std::memory_order_release);
  m_detachGeneration.fetch_add(1, std::memory_order_release);
  m_interruptEvent.Reset();
}

// ---- Reading ---------------------------------------------------------------------------------

void VANTInputImplementation::BeginRead(bool keepHeld) {
  if (!keepHeld && !m_held.empty()) {
    {
      // Under the lock: a detach that begins now either sees this read begun, or saw the items
      // still held before ReleaseHeld touches the list. Either way it waits for the reader.
      VANTMutexLocker lock(m_lock);
      m_inStartReading.store(1, std::memory_order_release);
    }
    try {
      ReleaseHeld();
    } catch (...) {
      m_inStartReading.store(0, std::memory_order_release);
      throw;
    }
  }
  for (;;) {
    {
      VANTMutexLocker lock(m_lock);
      if (!IsDetaching()) {
        m_inStartReading.store(1, std::memory_order_release);
        return;
      }
    }
    // A detach runs and this reader holds nothing: say so, then wait until it is over.
    AcknowledgeDetach();
  }
}

void VANTInputImplementation::EndRead() noexcept {
  bool acknowledge = false;
  {
    VANTMutexLocker lock(m_lock);
    acknowledge = IsDetaching() && m_held.empty();
  }
  if (acknowledge) {
    AcknowledgeDetach();
  }
  m_inStartReading.store(0, std::memory_order_release);
}

void VANTInputImplementation::AcknowledgeDetach() noexcept {
  uint32_t generation = 0;
  {
    VANTMutexLocker lock(m_lock);
    if (!IsDetaching()) {
      return;
    }
    generation = m_detachGeneration.load(std::memory_order_acquire);
    m_interruptEvent.Reset();
    m_detachAckEvent.Set();
  }
  // Until this detach is over: the next one may begin before this reader looks again, and it
  // must be acknowledged anew.
  while (m_detachGeneration.load(std::memory_order_acquire) == generation) {
    PauseForDetach();
  }
}

void VANTInputImplementation::Hold(VANTFastIOItem* item) {
  m_held.clear();
  m_held.push_back(item);
}

void VANTInputImplementation::AppendHeld(VANTFastIOItem* item) {
  m_held.push_back(item);
}

void VANTInputImplementation::TrimHeld(int32_t count) {
  VANTIOMonitorImplementation* fifo = Fifo();
  const size_t keep = count > 0 ? static_cast<size_t>(count) : 0;
  if (m_held.size() <= keep) {
    return;
  }
  const size_t surplus = m_held.size() - keep;
  for (size_t k = 0; k < surplus && fifo != nullptr; ++k) {
    fifo->ReleaseItem(m_readerIndex, m_held[k]);
  }
  m_held.erase(m_held.begin(), m_held.begin() + static_cast<std::ptrdiff_t>(surplus));
}

void VANTInputImplementation::ReleaseHeld() {
  VANTIOMonitorImplementation* fifo = Fifo();
  if (fifo != nullptr) {
    for (VANTFastIOItem* item : m_held) {
      fifo->ReleaseItem(m_readerIndex, item);
    }
  }
  if (m_inStartReading.load(std::memory_order_acquire) != 0) {
    m_held.clear();
    return;
  }
  bool acknowledge = false;
  {
    VANTMutexLocker lock(m_lock);
    m_held.clear();
    acknowledge = IsDetaching();
  }
  if (acknowledge) {
    AcknowledgeDetach();
  }
}

void VANTInputImplementation::SetArrivalEvent(VANTEvent* event) {
  VANTMutexLocker lock(m_lock);
  VANTEvent* const previous = m_arrivalEvent;
  m_arrivalEvent = event;
  // While m_fifo is set under this lock the output has not unlinked this input: its FIFO lives.
  VANTIOMonitorImplementation* fifo = Fifo();
  if (fifo == nullptr) {
    return;
  }
  if (previous != nullptr && previous != event) {
    fifo->ClearArrivalEvent(m_readerIndex, previous);
  }
  // A detach under way has unregistered this reader, or will: its slot may soon belong to
  // another input, so nothing is set there. The next connection sets the event.
  if (event != nullptr && !IsDetaching()) {
    fifo->SetArrivalEvent(m_readerIndex, event);
  }
}

bool VANTInputImplementation::CountSample() noexcept {
  const int32_t count = m_subsamplingCounter.load(std::memory_order_relaxed) + 1;
  m_subsamplingCounter.store(count, std::memory_order_relaxed);
  return count >= m_inputSubsampling;
}

bool VANTInputImplementation::SkipForSubsampling() {
  if (m_inputSubsampling <= 1) {
    return false;
  }
  VANTIOMonitorImplementation* fifo = Fifo();
  if (fifo == nullptr) {
    return false;
  }
  const int32_t count = m_subsamplingCounter.load(std::memory_order_relaxed);
  if (count + 1 >= m_inputSubsampling) {
    m_subsamplingCounter.store(0, std::memory_order_relaxed);
    return false;
  }
  VANTFastIO::ReadResult result = fifo->TryRead(m_readerIndex);
  if (result.MustWait()) {
    fifo->CancelWait(m_readerIndex);
    return false;
  }
  if (result.item != nullptr) {
    fifo->Release(m_readerIndex);
    m_subsamplingCounter.store(count + 1, std::memory_order_relaxed);
    return true;
  }
  return false;
}
