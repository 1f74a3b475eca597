#include "dataflow/vant_fast_io.h"

#include "kernel/vant_kernel.h"
#include "util/vant_exceptions.h"
#include "util/vant_report_hook.h"

#include <bit>
#include <string>

namespace {

// The FIFO's critical sections last a fraction of a microsecond: a thread that finds the lock
// taken spins briefly before it sleeps in the mutex, and a thread about to sleep on an event
// first watches for a few microseconds whether what it waits for happens anyway.
constexpr int kLockSpins = 50;
constexpr int kWaitSpins = 500;

inline void CpuRelax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

void LockSpinning(VANTMutex& mutex) noexcept VANT_ACQUIRE(mutex) VANT_NO_THREAD_SAFETY_ANALYSIS {
  for (int i = 0; i < kLockSpins; ++i) {
    if (mutex.TryLock()) {
      return;
    }
    CpuRelax();
  }
  mutex.Lock();
}

// The caller's lock that AcquireWrite hands over once it holds the FIFO's: the caller held it,
// which the analysis cannot see through the optional pointer.
void ReleaseOuter(VANTMutex* outer) noexcept VANT_NO_THREAD_SAFETY_ANALYSIS {
  if (outer != nullptr) {
    outer->Unlock();
  }
}

// Holds the FIFO lock for a scope, taken with LockSpinning; Release/Acquire in between.
class VANT_SCOPED_CAPABILITY FifoLocker {
public:
  explicit FifoLocker(VANTMutex& mutex) noexcept VANT_ACQUIRE(mutex) : m_mutex(mutex) {
    LockSpinning(m_mutex);
  }
  ~FifoLocker() VANT_RELEASE() VANT_NO_THREAD_SAFETY_ANALYSIS {
    if (m_held) {
      m_mutex.Unlock();
    }
  }
  FifoLocker(const FifoLocker&) = delete;
  FifoLocker& operator=(const FifoLocker&) = delete;
  void Release() noexcept VANT_RELEASE() VANT_NO_THREAD_SAFETY_ANALYSIS {
    m_held = false;
    m_mutex.Unlock();
  }
  void Acquire() noexcept VANT_ACQUIRE() VANT_NO_THREAD_SAFETY_ANALYSIS {
    LockSpinning(m_mutex);
    m_held = true;
  }

private:
  VANTMutex& m_mutex;
  bool m_held = true;
};

constexpr uint32_t Bit(uint32_t reader) noexcept {
  return 1U << (reader & 31U);
}

bool Readable(const VANTFastIOItem* item) noexcept {
  return item->elt.state == VANT::kItemPublished || item->elt.state == VANT::kItemReading;
}

// Fatal FIFO errors: level 2, option 1, flag false.
void ReportFatal(const char* text) noexcept {
  if (VANTHostKernel* kernel = VANT::Kernel()) {
    kernel->Report(text, VANT::kError, 1, false);
  } else {
    VANT::ReportThroughHook(text, VANT::kError, 1, false);
  }
}

std::string WithBit(const char* head, uint32_t bit, const char* tail) {
  return std::string(head) + std::to_string(bit) + tail;
}

void NotifyEngineOfOverrun(void* output) {
  if (VANTHostKernel* kernel = VANT::Kernel()) {
    kernel->Overrun(static_cast<VANTOutput*>(output));
  }
}

} // namespace

VANTFastIO::VANTFastIO(VANTEvent* stopEvent, int32_t itemCount, int32_t publishRate,
                       int32_t writeTimeout, OverrunCallback overrunCallback,
                       void* callbackArgument)
    : m_readers(&m_lock, nullptr, -1), m_stopEvent(stopEvent), m_publishRate(publishRate),
      m_publishCountdown(publishRate), m_writeTimeout(writeTimeout),
      m_overrunCallback(overrunCallback), m_callbackArgument(callbackArgument) {
  CreateItems(itemCount);
}

VANTFastIO::~VANTFastIO() {
  delete[] m_block;
}

void VANTFastIO::Unretain() noexcept {
  // acq_rel: the last holder sees everything the others did with the FIFO before it deletes it.
  if (m_references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    delete this;
  }
}

void VANTFastIO::ForgetWriter() noexcept {
  FifoLocker guard(m_lock);
  m_stopEvent = nullptr;
  m_overrunCallback = nullptr;
}

// ---- Data block ------------------------------------------------------------------------------

void VANTFastIO::AdoptBlock(uint8_t* block) noexcept {
  FifoLocker guard(m_lock);
  delete[] m_block; // null: the allocation dropped the previous one
  m_block = block;
}

void VANTFastIO::KeepWithBlock(std::shared_ptr<void> resource) {
  FifoLocker guard(m_lock);
  m_kept.push_back(std::move(resource));
}

bool VANTFastIO::AnyItemHeldLocked() const noexcept {
  for (VANTFastIOItem* item = m_head; item != nullptr; item = item->next) {
    if (item->elt.readingMask != 0) {
      return true;
    }
  }
  return false;
}

VANTFastIO::Dropped VANTFastIO::TakeBlockLocked() noexcept {
  Dropped dropped;
  dropped.block.reset(m_block);
  m_block = nullptr;
  dropped.kept.swap(m_kept);
  return dropped;
}

bool VANTFastIO::DropBlock() {
  Dropped dropped; // freed once the lock is left
  FifoLocker guard(m_lock);
  if (AnyItemHeldLocked()) {
    return false;
  }
  for (VANTFastIOItem* item = m_head; item != nullptr; item = item->next) {
    item->elt.state = VANT::kItemFree;
    item->elt.readMask = 0;
    item->elt.element.Data() = nullptr;
  }
  m_publishCountdown = m_publishRate;
  m_consumedEvent.Reset();
  m_spaceEvent.Set();
  dropped = TakeBlockLocked();
  guard.Release();
  return true;
}

void VANTFastIO::CreateItems(int32_t count) {
  m_items.reset();
  m_head = m_tail = nullptr;
  m_count = 0;
  if (count < 1) {
    return;
  }
  m_items = std::make_unique<VANTFastIOItem[]>(static_cast<size_t>(count));
  for (int32_t k = 0; k < count; ++k) {
    VANTFastIOItem* item = &m_items[static_cast<size_t>(k)];
    item->elt.element.SetSlot(item);
    item->prev = k > 0 ? item - 1 : nullptr;
    item->next = k + 1 < count ? item + 1 : nullptr;
  }
  m_head = &m_items[0];
  m_tail = &m_items[static_cast<size_t>(count) - 1];
  m_count = count;
}

bool VANTFastIO::Resize(int32_t count) {
  Dropped dropped; // freed once the lock is left
  FifoLocker guard(m_lock);
  if (AnyItemHeldLocked()) {
    return false;
  }
  CreateItems(count);
  dropped = TakeBlockLocked();
  guard.Release();
  return true;
}

void VANTFastIO::MoveToHead(VANTFastIOItem* item) noexcept {
  if (item == m_head) {
    return;
  }
  // Unlink (item is not the head, so it has a newer neighbour).
  item->prev->next = item->next;
  if (item->next != nullptr) {
    item->next->prev = item->prev;
  } else {
    m_tail = item->prev;
  }
  item->prev = nullptr;
  item->next = m_head;
  m_head->prev = item;
  m_head = item;
}

void VANTFastIO::Fatal(const char* text) {
  ReportFatal(text);
  throw VANT::ErrorException;
}

// ---- Writer ----------------------------------------------------------------------------------

VANTFastIOItem* VANTFastIO::AcquireWrite(VANTMutex* outer) {
  FifoLocker guard(m_lock);
  ReleaseOuter(outer);
  bool waitFailed = false;
  for (;;) {
    VANTFastIOItem* taken = nullptr;
    VANTFastIOItem* candidate = nullptr; // a published item a never-skipping reader still needs
    for (VANTFastIOItem* item = m_tail; item != nullptr; item = item->prev) {
      VANTFastIOElt& elt = item->elt;
      if (elt.state == VANT::kItemFree) {
        taken = item;
        break;
      }
      if (elt.state != VANT::kItemPublished) {
        continue;
      }
      if (elt.readMask == m_fifoReaderMask) {
        taken = item;
        break;
      }
      if ((elt.readMask & m_neverSkippingMask) == m_neverSkippingMask) {
        if (m_overrunCallback != nullptr) {
          m_overrunCallback(m_callbackArgument);
        }
        taken = item;
        break;
      }
      if (candidate == nullptr) {
        candidate = item;
      }
    }
    if (taken == nullptr && candidate != nullptr && waitFailed) {
      taken = candidate; // the wait failed (and was reported): write over the oldest sample
    }
    if (taken != nullptr) {
      taken->elt.state = VANT::kItemWriting;
      return taken;
    }
    if (candidate == nullptr) {
      if (m_overrunCallback != nullptr) {
        m_overrunCallback(m_callbackArgument);
      }
      guard.Release();
      Fatal("Output buffer fatal error : StartWriting has no space where to write. Check that "
            "each call to StartWriting has its corresponding call to StopWriting.");
    }

    // Wait for a never-skipping reader to finish with an item. Both events are reset under the
    // lock and set under it by the readers, so no release is lost while the lock is left.
    m_spaceEvent.Reset();
    m_writerAbortEvent.Reset();
    VANTEvent* events[3] = {&m_spaceEvent, m_stopEvent != nullptr ? m_stopEvent : &m_neverSet,
                            &m_writerAbortEvent};
    guard.Release();
    for (int i = 0;
         i < kWaitSpins && !events[0]->IsSet() && !events[1]->IsSet() && !events[2]->IsSet(); ++i) {
      CpuRelax();
    }
    const int32_t result = VANTEvent::Wait(3, events, m_writeTimeout);
    guard.Acquire();
    switch (result) {
    case 0:
      break;
    case 1:
      throw VANT::StopException; // the guard leaves the lock
    case 2:
      return nullptr;
    case VANT::kWaitTimeout:
      throw VANT::TimeoutException;
    default:
      waitFailed = true;
      break;
    }
  }
}

void VANTFastIO::Publish(VANTFastIOItem* item) {
  FifoLocker guard(m_lock);
  if (--m_publishCountdown > 0) {
    item->elt.state = VANT::kItemFree; // dropped by output subsampling
    return;
  }
  if (m_count > 1) {
    MoveToHead(item);
  }
  item->elt.state = VANT::kItemPublished;
  item->elt.readingMask = 0;
  item->elt.readMask = 0;
  m_writerStopped = false;
  m_publications.store(m_publications.load(std::memory_order_relaxed) + 1,
                       std::memory_order_release); // pairs with the acquire of a spinning reader
  m_readers.Broadcast();
  m_publishCountdown = m_publishRate;
  for (uint32_t mask = m_arrivalMask & m_registeredMask; mask != 0; mask &= mask - 1) {
    m_arrivalEvents[std::countr_zero(mask)]->Set(); // one atomic exchange when already set
  }
}

void VANTFastIO::Free(VANTFastIOItem* item) {
  FifoLocker guard(m_lock);
  item->elt.state = VANT::kItemFree;
}

void VANTFastIO::SetPublishRate(int32_t rate) {
  FifoLocker guard(m_lock);
  // A new rate starts a new cycle: the rate-th sample from now on is the next one kept.
  m_publishRate = rate;
  m_publishCountdown = rate;
}

// ---- Readers ---------------------------------------------------------------------------------

void VANTFastIO::MarkRead(VANTFastIOItem* item, uint32_t bit) noexcept {
  item->elt.readMask |= bit;
  if ((item->elt.readMask & m_neverSkippingMask) == m_neverSkippingMask) {
    m_spaceEvent.Set();
  }
}

void VANTFastIO::Take(VANTFastIOItem* item, uint32_t bit, bool fifoReader) noexcept {
  item->elt.state = VANT::kItemReading;
  item->elt.readingMask |= bit;
  if (fifoReader) {
    item->elt.readMask |= bit;
  }
}

VANTFastIO::Pick VANTFastIO::Select(uint32_t reader, VANTFastIOItem** taken) {
  const uint32_t bit = Bit(reader);
  if ((m_fifoReaderMask & bit) == 0) {
    const uint8_t role = m_readerByte[reader & 31];
    if (role == VANT::kRoleWait4Next || role == VANT::kRoleSampling) {
      for (VANTFastIOItem* item = m_head; item != nullptr; item = item->next) {
        if (Readable(item)) {
          Take(item, bit, false);
          *taken = item;
          return Pick::kTaken;
        }
      }
      return Pick::kWait;
    }
    return Pick::kNothing;
  }

  VANTFastIOItem* newest = nullptr;
  VANTFastIOItem* lastRead = nullptr;
  for (VANTFastIOItem* item = m_head; item != nullptr; item = item->next) {
    if (!Readable(item)) {
      continue;
    }
    if (newest == nullptr) {
      newest = item;
    }
    if ((item->elt.readMask & bit) != 0) {
      lastRead = item;
      break;
    }
  }
  if (newest == nullptr || lastRead == newest) {
    return Pick::kWait; // nothing published, or nothing newer than what this reader read
  }
  VANTFastIOItem* pick = nullptr;
  if ((m_lastOrNextMask & bit) != 0) {
    // Skip to the newest sample: everything readable between it and the last read counts read.
    for (VANTFastIOItem* item = newest->next; item != lastRead; item = item->next) {
      if (Readable(item)) {
        MarkRead(item, bit);
      }
    }
    pick = newest;
  } else if (lastRead != nullptr) {
    // Strict order: the readable item right after the last one read.
    for (VANTFastIOItem* item = lastRead->prev; item != nullptr; item = item->prev) {
      if (Readable(item)) {
        pick = item;
        break;
      }
    }
  } else {
    // Read none of the current items: start with the oldest.
    for (VANTFastIOItem* item = m_tail; item != nullptr; item = item->prev) {
      if (Readable(item)) {
        pick = item;
        break;
      }
    }
  }
  if (pick == nullptr) {
    return Pick::kWait; // not reached: `newest` is readable and newer than `lastRead`
  }
  Take(pick, bit, true);
  *taken = pick;
  return Pick::kTaken;
}

VANTFastIO::ReadResult VANTFastIO::ArmWait(uint32_t reader) {
  // Called with the lock held once; BeginWait resets the waiter event, marks it waiting and
  // leaves the lock, so a publication from now on sets the event.
  m_armedAt[reader & 31] = m_publications.load(std::memory_order_relaxed);
  m_armedWakes[reader & 31] = m_wakes;
  ReadResult result;
  BeginReaderWait(reader, result.waitEvent);
  return result;
}

void VANTFastIO::BeginReaderWait(uint32_t reader,
                                 VANTEvent*& waitEvent) VANT_NO_THREAD_SAFETY_ANALYSIS {
  VANTEvent* abortEvent = nullptr;
  m_readers.BeginWait(static_cast<int32_t>(reader & 31), waitEvent, abortEvent);
}

void VANTFastIO::RetakeAfterWait(uint32_t reader,
                                 int32_t waitResult) VANT_NO_THREAD_SAFETY_ANALYSIS {
  m_readers.EndWait(static_cast<int32_t>(reader & 31), waitResult); // takes the lock
}

VANTFastIO::ReadResult VANTFastIO::TryRead(uint32_t reader, bool spin) {
  LockSpinning(m_lock);
  const uint32_t bit = Bit(reader);
  if ((m_fifoReaderMask & bit) == 0 && m_readerByte[reader & 31] == VANT::kRoleWait4Next) {
    return ArmWait(reader); // always waits for the next publication
  }
  ReadResult result;
  Pick pick = Select(reader, &result.item);
  if (pick == Pick::kWait && spin) {
    // Watch for a publication a few microseconds before arming the wait.
    const uint64_t seen = m_publications.load(std::memory_order_relaxed);
    m_lock.Unlock();
    for (int i = 0; i < kWaitSpins && m_publications.load(std::memory_order_acquire) == seen; ++i) {
      CpuRelax();
    }
    LockSpinning(m_lock);
    pick = Select(reader, &result.item);
  }
  if (pick == Pick::kWait) {
    return ArmWait(reader);
  }
  m_lock.Unlock();
  return result;
}

VANTFastIO::ReadResult VANTFastIO::TakeAfterWait(uint32_t reader, int32_t waitResult) {
  RetakeAfterWait(reader, waitResult);
  ReadResult result;
  const Pick pick = Select(reader, &result.item);
  if (pick == Pick::kTaken) {
    m_lock.Unlock();
    return result;
  }
  if ((m_registeredMask & Bit(reader)) == 0) {
    m_lock.Unlock();
    return result; // detached meanwhile (leaving): nothing more to read here
  }
  if (pick == Pick::kWait &&
      (m_publications.load(std::memory_order_relaxed) != m_armedAt[reader & 31] ||
       m_wakes != m_armedWakes[reader & 31])) {
    // Woken by a publication whose sample the writer has taken back already, or by the writer's
    // stop (WakeReaders): wait for the next publication.
    return ArmWait(reader);
  }
  const uint32_t bit = Bit(reader);
  const bool fifoReader = (m_fifoReaderMask & bit) != 0;
  const bool sampling = m_readerByte[reader & 31] == VANT::kRoleSampling;
  m_lock.Unlock();
  if (fifoReader) {
    Fatal(WithBit("VANTFastIO fatal error : Trouble with a FIFO reader. Couldn't find its data (X",
                  bit, "). Please contact the technical support team.")
              .c_str());
  }
  if (sampling) {
    Fatal(WithBit("VANTFastIO fatal error : Trouble with a sampling reader. Couldn't find its "
                  "data (X",
                  bit, "). Please contact the technical support team.")
              .c_str());
  }
  Fatal(WithBit("VANTFastIO fatal error : VANTFastIO monitor has no space where to read (X", bit,
                "). Please contact the technical support team.")
            .c_str());
}

void VANTFastIO::CancelWait(uint32_t reader) noexcept {
  RetakeAfterWait(reader, 0);
  m_lock.Unlock();
}

void VANTFastIO::Release(uint32_t reader) {
  const uint32_t bit = Bit(reader);
  FifoLocker guard(m_lock);
  VANTFastIOItem* held = nullptr;
  for (VANTFastIOItem* item = m_head; item != nullptr; item = item->next) {
    if (item->elt.state == VANT::kItemReading && (item->elt.readingMask & bit) != 0) {
      held = item;
      break;
    }
  }
  if (held == nullptr) {
    guard.Release();
    Fatal(WithBit("VANTFastIO fatal error : Stop reading without starting (X", bit, ")").c_str());
  }
  ReleaseLocked(held, bit);
}

void VANTFastIO::ReleaseItem(uint32_t reader, VANTFastIOItem* item) {
  const uint32_t bit = Bit(reader);
  FifoLocker guard(m_lock);
  if (item == nullptr || item->elt.state != VANT::kItemReading ||
      (item->elt.readingMask & bit) == 0) {
    guard.Release();
    Fatal(WithBit("VANTFastIO fatal error : Stop reading without starting (X", bit, ")").c_str());
  }
  ReleaseLocked(item, bit);
}

void VANTFastIO::ReleaseLocked(VANTFastIOItem* held, uint32_t bit) noexcept {
  VANTFastIOElt& elt = held->elt;
  elt.readingMask &= ~bit;
  if (elt.readingMask != 0) {
    return; // another reader still holds it; its release wakes the writer
  }
  if (m_writerStopped) {
    // A sample of a run that has ended: nobody reads it again.
    elt.state = VANT::kItemFree;
    elt.readMask = 0;
    m_spaceEvent.Set();
    return;
  }
  elt.state = VANT::kItemPublished;
  if (elt.readMask == m_fifoReaderMask) {
    m_consumedEvent.Set();
  }
  // The writer may take the item now unless a never-skipping reader has yet to read it.
  if (m_neverSkippingMask != 0 && (elt.readMask & m_neverSkippingMask) == m_neverSkippingMask) {
    m_spaceEvent.Set();
  }
}

bool VANTFastIO::DataAvailable(uint32_t reader) {
  const uint32_t bit = Bit(reader);
  FifoLocker guard(m_lock);
  const bool fifoReader = (m_fifoReaderMask & bit) != 0;
  for (VANTFastIOItem* item = m_head; item != nullptr; item = item->next) {
    if (Readable(item)) {
      // The newest readable item: new to a FIFO reader unless it read it already.
      return !fifoReader || (item->elt.readMask & bit) == 0;
    }
  }
  return false;
}

int32_t VANTFastIO::AvailableCount(uint32_t reader) {
  const uint32_t bit = Bit(reader);
  FifoLocker guard(m_lock);
  const bool fifoReader = (m_fifoReaderMask & bit) != 0;
  int32_t count = 0;
  for (VANTFastIOItem* item = m_head; item != nullptr; item = item->next) {
    if (Readable(item) && (!fifoReader || (item->elt.readMask & bit) == 0)) {
      ++count;
    }
  }
  return count;
}

bool VANTFastIO::HoldsItems(uint32_t reader) {
  const uint32_t bit = Bit(reader);
  FifoLocker guard(m_lock);
  for (VANTFastIOItem* item = m_head; item != nullptr; item = item->next) {
    if ((item->elt.readingMask & bit) != 0) {
      return true;
    }
  }
  return false;
}

bool VANTFastIO::AnyItemHeld() {
  FifoLocker guard(m_lock);
  return AnyItemHeldLocked();
}

VANTFastIOItem* VANTFastIO::TryReadNow(uint32_t reader) {
  FifoLocker guard(m_lock);
  VANTFastIOItem* item = nullptr;
  return Select(reader, &item) == Pick::kTaken ? item : nullptr;
}

void VANTFastIO::WakeReaders() {
  FifoLocker guard(m_lock);
  ++m_wakes;
  m_readers.Broadcast();
}

void VANTFastIO::ReleaseAll() {
  FifoLocker guard(m_lock);
  for (VANTFastIOItem* item = m_head; item != nullptr; item = item->next) {
    VANTFastIOElt& elt = item->elt;
    // An item a reader still holds stays with it; its release makes it an old sample.
    if (elt.state != VANT::kItemReading) {
      elt.state = VANT::kItemFree;
      elt.readMask = 0;
      elt.readingMask = 0;
    }
  }
  m_writerStopped = true;
  m_publishCountdown = m_publishRate;
  m_consumedEvent.Reset();
  m_spaceEvent.Set(); // a writer that still waits finds free items
}

// ---- Readers' settings -----------------------------------------------------------------------

void VANTFastIO::SetReaderType(uint32_t reader, uint32_t type) {
  const uint32_t bit = Bit(reader);
  FifoLocker guard(m_lock);
  if (reader >= VANT::kMaxFifoReaders || (m_registeredMask & bit) == 0) {
    guard.Release();
    Fatal("VANTFastIO fatal error : trying to set the reader type for a reader that has never "
          "been registered before.");
  }
  if ((m_fifoReaderMask & bit) == 0) {
    guard.Release();
    Fatal("VANTFastIO fatal error : SetReaderType works only with FIFO readers.");
  }
  m_neverSkippingMask &= ~bit;
  m_lastOrNextMask &= ~bit;
  if (type == VANT::NeverSkippingReader) {
    m_neverSkippingMask |= bit;
  } else if (type == VANT::LastOrNextReader) {
    m_lastOrNextMask |= bit;
  }
  m_spaceEvent.Set(); // a writer waiting for this reader re-examines the items
}

void VANTFastIO::SetSubsamplingRate(uint32_t reader, int32_t rate) {
  const uint32_t bit = Bit(reader);
  FifoLocker guard(m_lock);
  if (reader >= VANT::kMaxFifoReaders || (m_registeredMask & bit) == 0) {
    guard.Release();
    Fatal("VANTFastIO fatal error : trying to set the subsampling rate for a reader that has "
          "never been registered before.");
  }
  if ((m_fifoReaderMask & bit) == 0) {
    guard.Release();
    Fatal("VANTFastIO fatal error : SetSubsamplingRate works only with FIFO readers.");
  }
  if (rate < 1 || rate > 256) {
    guard.Release();
    Fatal("VANTFastIO fatal error: Output subsampling rate must be an integer in the range "
          "between 1 and 256 included.");
  }
  m_readerByte[reader] = static_cast<uint8_t>(rate - 1);
}

// ---- Registration ----------------------------------------------------------------------------

bool VANTFastIO::RegisterReader(uint32_t reader, uint32_t readerType, uint8_t readerByte) {
  if (reader >= VANT::kMaxFifoReaders) {
    return false;
  }
  const uint32_t bit = Bit(reader);
  FifoLocker guard(m_lock);
  if (((m_registeredMask | m_leavingMask) & bit) != 0) {
    return false; // still some reader's
  }
  for (VANTFastIOItem* item = m_head; item != nullptr; item = item->next) {
    item->elt.readMask &= ~bit;
    item->elt.readingMask &= ~bit;
  }
  m_registeredMask |= bit;
  m_fifoReaderMask &= ~bit;
  m_neverSkippingMask &= ~bit;
  m_lastOrNextMask &= ~bit;
  if (readerType <= VANT::LastOrNextReader) {
    m_fifoReaderMask |= bit;
    if (readerType == VANT::NeverSkippingReader) {
      m_neverSkippingMask |= bit;
    } else if (readerType == VANT::LastOrNextReader) {
      m_lastOrNextMask |= bit;
    }
    m_readerByte[reader] = readerByte;
  } else {
    m_readerByte[reader] = static_cast<uint8_t>(readerType);
  }
  m_readers.ResetWaiter(static_cast<int32_t>(reader));
  m_arrivalEvents[reader] = nullptr;
  m_arrivalMask &= ~bit;
  return true;
}

void VANTFastIO::UnregisterReader(uint32_t reader) {
  if (reader >= VANT::kMaxFifoReaders) {
    return;
  }
  const uint32_t bit = Bit(reader);
  FifoLocker guard(m_lock);
  m_registeredMask &= ~bit;
  m_leavingMask &= ~bit;
  m_fifoReaderMask &= ~bit;
  m_neverSkippingMask &= ~bit;
  m_lastOrNextMask &= ~bit;
  m_readerByte[reader] = 0;
  for (VANTFastIOItem* item = m_head; item != nullptr; item = item->next) {
    item->elt.readMask &= ~bit;
    if ((item->elt.readingMask & bit) != 0) {
      ReleaseLocked(item, bit);
    }
  }
  m_readers.ResetWaiter(static_cast<int32_t>(reader));
  m_arrivalEvents[reader] = nullptr;
  m_arrivalMask &= ~bit;
  m_spaceEvent.Set(); // what the writer waited for may not be needed any more
}

void VANTFastIO::LeaveReader(uint32_t reader) {
  if (reader >= VANT::kMaxFifoReaders) {
    return;
  }
  const uint32_t bit = Bit(reader);
  FifoLocker guard(m_lock);
  if ((m_registeredMask & bit) == 0) {
    return;
  }
  m_registeredMask &= ~bit;
  m_fifoReaderMask &= ~bit;
  m_neverSkippingMask &= ~bit;
  m_lastOrNextMask &= ~bit;
  m_readerByte[reader] = 0;
  m_leavingMask |= bit;
  m_arrivalEvents[reader] = nullptr; // its input may be connected elsewhere already
  m_arrivalMask &= ~bit;
  for (VANTFastIOItem* item = m_head; item != nullptr; item = item->next) {
    item->elt.readMask &= ~bit; // what it holds stays held (readingMask) until it is gone
  }
  m_spaceEvent.Set(); // the writer no longer waits for this reader
}

void VANTFastIO::ReaderGone(uint32_t reader) {
  if (reader >= VANT::kMaxFifoReaders) {
    return;
  }
  const uint32_t bit = Bit(reader);
  FifoLocker guard(m_lock);
  if ((m_leavingMask & bit) == 0) {
    return;
  }
  for (VANTFastIOItem* item = m_head; item != nullptr; item = item->next) {
    item->elt.readMask &= ~bit;
    if ((item->elt.readingMask & bit) != 0) {
      ReleaseLocked(item, bit);
    }
  }
  m_leavingMask &= ~bit;
  m_readers.ResetWaiter(static_cast<int32_t>(reader));
  m_spaceEvent.Set();
}

uint32_t VANTFastIO::BusyReaders() {
  FifoLocker guard(m_lock);
  return m_registeredMask | m_leavingMask;
}

bool VANTFastIO::ReaderSettings(uint32_t reader, uint32_t* readerType, uint8_t* readerByte) {
  if (reader >= VANT::kMaxFifoReaders) {
    return false;
  }
  const uint32_t bit = Bit(reader);
  FifoLocker guard(m_lock);
  if ((m_registeredMask & bit) == 0) {
    return false;
  }
  *readerByte = m_readerByte[reader];
  if ((m_fifoReaderMask & bit) == 0) {
    *readerType = m_readerByte[reader];
  } else if ((m_neverSkippingMask & bit) != 0) {
    *readerType = VANT::NeverSkippingReader;
  } else if ((m_lastOrNextMask & bit) != 0) {
    *readerType = VANT::LastOrNextReader;
  } else {
    *readerType = VANT::FifoReader;
  }
  return true;
}

void VANTFastIO::SetArrivalEvent(uint32_t reader, VANTEvent* event) {
  if (reader >= VANT::kMaxFifoReaders) {
    return;
  }
  FifoLocker guard(m_lock);
  m_arrivalEvents[reader] = event;
  m_arrivalMask = event != nullptr ? m_arrivalMask | Bit(reader) : m_arrivalMask & ~Bit(reader);
}

void VANTFastIO::ClearArrivalEvent(uint32_t reader, VANTEvent* event) {
  if (reader >= VANT::kMaxFifoReaders) {
    return;
  }
  FifoLocker guard(m_lock);
  if (m_arrivalEvents[reader] == event) {
    m_arrivalEvents[reader] = nullptr;
    m_arrivalMask &= ~Bit(reader);
  }
}

// ---- State -----------------------------------------------------------------------------------

int32_t VANTFastIO::FreeSlotCount() {
  FifoLocker guard(m_lock);
  int32_t count = 0;
  for (VANTFastIOItem* item = m_head; item != nullptr; item = item->next) {
    if (item->elt.state == VANT::kItemFree ||
        (item->elt.state == VANT::kItemPublished && item->elt.readMask == m_fifoReaderMask)) {
      ++count;
    }
  }
  return count;
}

bool VANTFastIO::AllRead() {
  FifoLocker guard(m_lock);
  for (VANTFastIOItem* item = m_head; item != nullptr; item = item->next) {
    if (item->elt.state == VANT::kItemReading) {
      return false;
    }
    if (item->elt.state == VANT::kItemPublished && item->elt.readMask != m_fifoReaderMask) {
      return false;
    }
  }
  return true;
}

bool VANTFastIO::IsFull() {
  FifoLocker guard(m_lock);
  for (VANTFastIOItem* item = m_tail; item != nullptr; item = item->prev) {
    if (item->elt.state == VANT::kItemFree) {
      return false;
    }
    if (item->elt.state == VANT::kItemPublished) {
      return item->elt.readMask != m_fifoReaderMask;
    }
  }
  return true;
}

// ---- Monitor ---------------------------------------------------------------------------------

VANTIOMonitorImplementation::VANTIOMonitorImplementation(VANTEvent* stopEvent, int32_t fifoSize,
                                                         int32_t subsampling, VANTOutput* output)
    : VANTFastIO(stopEvent, fifoSize, subsampling, -1, &NotifyEngineOfOverrun, output) {}

VANTIOMonitorImplementation::VANTIOMonitorImplementation(VANTEvent* stopEvent, int32_t fifoSize,
                                                         int32_t subsampling, int32_t writeTimeout,
                                                         OverrunCallback callback, void* argument)
    : VANTFastIO(stopEvent, fifoSize, subsampling, writeTimeout, callback, argument) {}

VANTIOElt* VANTIOMonitorImplementation::ElementOf(VANTFastIOItem* item) {
  return item != nullptr ? &item->elt.element : nullptr;
}

// The walk is the caller's to keep consistent: under Lock(), or while nothing writes or reads.
VANTFastIOItem*
VANTIOMonitorImplementation::First(VANTFastIOItem** position) VANT_NO_THREAD_SAFETY_ANALYSIS {
  *position = Head();
  return *position;
}

VANTFastIOItem* VANTIOMonitorImplementation::Next(VANTFastIOItem** position) {
  *position = *position != nullptr ? (*position)->next : nullptr;
  return *position;
}
