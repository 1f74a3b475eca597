#include "dataflow/vant_input_implementation.h"

#include "dataflow/vant_output_implementation.h"
#include "kernel/vant_host_kernel.h"
#include "kernel/vant_kernel.h"
#include "util/vant_string.h"

#include <cstring>
#include <ctime>

namespace {

void ReportBadParameter(const char* text) {
  if (VANTHostKernel* kernel = VANT::Kernel()) {
    kernel->Report(text, VANT::kError, 1, false);
  }
}

} // namespace

VANTInputImplementation::VANTInputImplementation(VANTDataflowOwner* owner,
                                                 const VANTInputDefinition& definition,
                                                 const char* fullName, const char* shortName)
    : m_name(fullName), m_shortName(shortName), m_owner(owner), m_definition(definition),
      m_readerType(static_cast<uint32_t>(definition.readerType)) {
  m_held.reserve(1);
}

VANTInputImplementation::~VANTInputImplementation() {
  if (VANTOutputImplementation* source = m_source.load(std::memory_order_acquire)) {
    source->EngineDisconnect(this);
  }
  WaitForSteps();
  VANTMutexLocker lock(m_lock);
  m_reads = 0;
  try {
    SyncLocked(false); // gives back what is held and leaves the FIFO
  } catch (...) {
    // reported by the FIFO
  }
}

VANTOutput* VANTInputImplementation::Source() {
  return m_source.load(std::memory_order_acquire);
}

VANTDataType* VANTInputImplementation::SourceType() {
  VANTOutputImplementation* source = m_source.load(std::memory_order_acquire);
  return source != nullptr ? &source->Type() : nullptr;
}

bool VANTInputImplementation::CopySourceType(VANTDataType* type) {
  // The output is unlinked from this input under m_lock before it can go.
  VANTMutexLocker lock(m_lock);
  VANTOutputImplementation* source = m_source.load(std::memory_order_acquire);
  if (source == nullptr) {
    return false;
  }
  *type = source->TypeCopy();
  return true;
}

bool VANTInputImplementation::DataAvailable() {
  VANTMutexLocker lock(m_lock);
  return m_connection.fifo != nullptr && m_connection.fifo->DataAvailable(m_connection.index);
}

int32_t VANTInputImplementation::AvailableCount() {
  VANTMutexLocker lock(m_lock);
  return m_connection.fifo != nullptr ? m_connection.fifo->AvailableCount(m_connection.index) : 0;
}

bool VANTInputImplementation::ConnectedIndex(uint32_t* index) {
  VANTMutexLocker lock(m_lock);
  *index = m_connection.index;
  return m_connection.fifo != nullptr;
}

void VANTInputImplementation::Rename(const char* oldName, const char* newName) {
  VANT::RenameModulePart(m_name, oldName, newName);
}

// ---- Sub-properties --------------------------------------------------------------------------

bool VANTInputImplementation::ChangeReaderType(int64_t value) {
  const uint32_t current = ReaderType();
  const bool currentRole = current >= VANT::Wait4NextReader;
  const bool newRole = value >= VANT::Wait4NextReader;
  if (value < VANT::FifoReader || value > VANT::SamplingReader) {
    VANTStreamedString message;
    message << "Bad parameter: The reader type of the input " << m_name.Text()
            << " must be 0 to 4, not " << value << ".";
    ReportBadParameter(message.Text());
    return false;
  }
  if (currentRole && value != current) {
    VANTStreamedString message;
    message << "Bad parameter: The input " << m_name.Text()
            << " is a SamplingReader or Wait4NextReader and cannot be switched to FifoReader, "
               "NeverSkippingReader or LastOrNextReader";
    ReportBadParameter(message.Text());
    return false;
  }
  if (!currentRole && newRole) {
    VANTStreamedString message;
    message << "Bad parameter: The input " << m_name.Text()
            << " cannot be switched to SamplingReader or Wait4NextReader.";
    ReportBadParameter(message.Text());
    return false;
  }
  if (!currentRole) {
    VANTMutexLocker lock(m_lock);
    m_readerType.store(static_cast<uint32_t>(value), std::memory_order_release);
    if (m_connection.fifo != nullptr) {
      m_connection.fifo->SetReaderType(m_connection.index, static_cast<uint32_t>(value));
    }
  }
  return true;
}

void VANTInputImplementation::ChangeSubsampling(int64_t value) {
  m_inputSubsampling.store(static_cast<int32_t>(value), std::memory_order_release);
  VANTMutexLocker lock(m_lock);
  if (ReaderType() < VANT::Wait4NextReader && m_connection.fifo != nullptr) {
    m_connection.fifo->SetSubsamplingRate(m_connection.index, static_cast<int32_t>(value));
  }
}

// ---- Connection ------------------------------------------------------------------------------

void VANTInputImplementation::Link(VANTOutputImplementation* output,
                                   VANTIOMonitorImplementation* fifo, uint32_t readerIndex) {
  {
    VANTMutexLocker lock(m_lock);
    if (m_connection.fifo != nullptr) {
      DropConnectionLocked(m_connection); // not expected: the engine connects a free input
    }
    fifo->Retain();
    m_connection = {fifo, readerIndex};
    m_subsamplingCounter.store(0, std::memory_order_relaxed);
    m_source.store(output, std::memory_order_release);
    m_connected.store(fifo, std::memory_order_release);
    ArmArrivalLocked();
  }
  m_connectEvent.Set();
}

void VANTInputImplementation::Relink(VANTOutputImplementation* output,
                                     VANTIOMonitorImplementation* fifo, uint32_t readerIndex) {
  VANTMutexLocker lock(m_lock);
  if (m_source.load(std::memory_order_acquire) != output || m_connection.fifo == nullptr) {
    return;
  }
  const ReaderSlot old = m_connection;
  fifo->Retain();
  m_connection = {fifo, readerIndex};
  m_connected.store(fifo, std::memory_order_release);
  DropConnectionLocked(old); // forgets the arrival event in the old FIFO
  ArmArrivalLocked();
}

void VANTInputImplementation::ArmArrivalLocked() {
  if (m_arrivalEvent != nullptr && m_connection.fifo != nullptr) {
    m_connection.fifo->SetArrivalEvent(m_connection.index, m_arrivalEvent);
    m_arrivalEvent->Set(); // what was published since the registration counts as arrived
  }
}

void VANTInputImplementation::Unlink(VANTOutputImplementation* output) {
  VANTMutexLocker lock(m_lock);
  if (m_source.load(std::memory_order_acquire) != output || m_connection.fifo == nullptr) {
    return;
  }
  const ReaderSlot old = m_connection;
  m_connection = {};
  m_connected.store(nullptr, std::memory_order_release);
  m_source.store(nullptr, std::memory_order_release);
  DropConnectionLocked(old);
}

void VANTInputImplementation::DropConnectionLocked(const ReaderSlot& old) {
  if (m_reading == old) {
    if (m_reads > 0 || !m_held.empty()) {
      // The reader still reads or holds items of it: it gives them back and leaves the FIFO
      // itself (a blocked read is woken below).
      old.fifo->LeaveReader(old.index);
    } else {
      old.fifo->UnregisterReader(old.index);
      m_reading = {};
      old.fifo->Unretain(); // the reader's reference
    }
  } else {
    old.fifo->UnregisterReader(old.index);
  }
  old.fifo->Unretain(); // the connection's reference
  m_interruptEvent.Set();
}

// ---- Processing steps ------------------------------------------------------------------------

void VANTInputImplementation::BeginStep() {
  VANTMutexLocker lock(m_lock);
  ++m_steps;
}

void VANTInputImplementation::EndStep() noexcept {
  // Under the lock: a waiter frees the input only after it took the lock again, so this Set is
  // over by then.
  VANTMutexLocker lock(m_lock);
  if (--m_steps == 0) {
    m_stepsDone.Set();
  }
}

void VANTInputImplementation::WaitForSteps() noexcept {
  VANTMutexLocker lock(m_lock);
  while (m_steps > 0) {
    m_stepsDone.Reset();
    lock.Release();
    m_stepsDone.Wait(-1);
    lock.Acquire();
  }
}

// ---- Reading ---------------------------------------------------------------------------------

void VANTInputImplementation::ReleaseHeldLocked() {
  VANTIOMonitorImplementation* fifo = m_reading.fifo;
  const uint32_t index = m_reading.index;
  size_t released = 0;
  try {
    for (; released < m_held.size() && fifo != nullptr; ++released) {
      fifo->ReleaseItem(index, m_held[released]);
    }
  } catch (...) {
    m_held.clear(); // reported by the FIFO: the item was not this reader's any more
    throw;
  }
  m_held.clear();
}

void VANTInputImplementation::SyncLocked(bool adopt) {
  if (m_reading.fifo != nullptr && !(m_reading == m_connection)) {
    // The connection went (or moved to another FIFO): leave the old FIFO, whose leaving
    // reader this is.
    const ReaderSlot old = m_reading;
    try {
      ReleaseHeldLocked();
    } catch (...) {
      // reported by the FIFO; the reader leaves all the same
    }
    m_reading = {};
    old.fifo->ReaderGone(old.index);
    old.fifo->Unretain();
  }
  if (adopt && m_reading.fifo == nullptr && m_connection.fifo != nullptr) {
    m_connection.fifo->Retain();
    m_reading = m_connection;
  }
}

VANTIOMonitorImplementation* VANTInputImplementation::BeginRead(bool keepHeld, uint32_t* index) {
  VANTMutexLocker lock(m_lock);
  ++m_reads;
  try {
    if (!keepHeld) {
      ReleaseHeldLocked();
    }
    SyncLocked(true);
  } catch (...) {
    --m_reads;
    throw;
  }
  *index = m_reading.index;
  return m_reading.fifo;
}

VANTIOMonitorImplementation* VANTInputImplementation::Current(uint32_t* index) {
  VANTMutexLocker lock(m_lock);
  SyncLocked(true);
  *index = m_reading.index;
  return m_reading.fifo;
}

void VANTInputImplementation::EndRead() noexcept {
  VANTMutexLocker lock(m_lock);
  if (m_reads > 0) {
    --m_reads;
  }
  if (m_reads == 0 && m_held.empty()) {
    SyncLocked(false); // a detached reader that holds nothing leaves its FIFO now
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
  VANTIOMonitorImplementation* fifo = m_reading.fifo;
  const size_t keep = count > 0 ? static_cast<size_t>(count) : 0;
  if (m_held.size() <= keep) {
    return;
  }
  const size_t surplus = m_held.size() - keep;
  for (size_t k = 0; k < surplus && fifo != nullptr; ++k) {
    fifo->ReleaseItem(m_reading.index, m_held[k]);
  }
  m_held.erase(m_held.begin(), m_held.begin() + static_cast<std::ptrdiff_t>(surplus));
}

void VANTInputImplementation::ReleaseHeld() {
  VANTMutexLocker lock(m_lock);
  ReleaseHeldLocked();
  if (m_reads == 0) {
    SyncLocked(false);
  }
}

void VANTInputImplementation::ReleaseHeldIfIdle() noexcept {
  VANTMutexLocker lock(m_lock);
  if (m_reads != 0) {
    return; // a thread of the module still reads: it gives back what it holds itself
  }
  try {
    ReleaseHeldLocked();
  } catch (...) {
    // reported by the FIFO
  }
  SyncLocked(false);
}

void VANTInputImplementation::SetArrivalEvent(VANTEvent* event) {
  VANTMutexLocker lock(m_lock);
  VANTEvent* const previous = m_arrivalEvent;
  m_arrivalEvent = event;
  // While the connection is set under this lock, its reader index is this input's in that FIFO
  // (a detach clears the connection under this lock before the index can go to another input).
  if (m_connection.fifo == nullptr) {
    return;
  }
  if (previous != nullptr && previous != event) {
    m_connection.fifo->ClearArrivalEvent(m_connection.index, previous);
  }
  if (event != nullptr) {
    m_connection.fifo->SetArrivalEvent(m_connection.index, event);
  }
}

bool VANTInputImplementation::CountSample() noexcept {
  const int32_t count = m_subsamplingCounter.load(std::memory_order_relaxed) + 1;
  m_subsamplingCounter.store(count, std::memory_order_relaxed);
  return count >= InputSubsampling();
}

bool VANTInputImplementation::SkipForSubsampling() {
  const int32_t rate = InputSubsampling();
  if (rate <= 1 || ReaderType() >= VANT::Wait4NextReader) {
    return false; // the newest-sample readers are processed at every publication
  }
  const int32_t count = m_subsamplingCounter.load(std::memory_order_relaxed);
  if (count + 1 >= rate) {
    m_subsamplingCounter.store(0, std::memory_order_relaxed);
    return false;
  }
  VANTMutexLocker lock(m_lock);
  SyncLocked(true);
  if (m_reading.fifo == nullptr) {
    return false;
  }
  VANTFastIOItem* item = m_reading.fifo->TryReadNow(m_reading.index);
  if (item == nullptr) {
    return false;
  }
  m_reading.fifo->ReleaseItem(m_reading.index, item);
  m_subsamplingCounter.store(count + 1, std::memory_order_relaxed);
  return true;
}
