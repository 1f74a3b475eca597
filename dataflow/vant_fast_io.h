#pragma once
// VANTFastIO: the FIFO buffer behind every output. A fixed set of items, each carrying one I/O
// element, shared between one writer (the output's component) and up to 32 readers (the inputs
// connected to the output). It decides which item the writer fills next, which item each reader
// gets, when the writer waits for slow readers and when it may overwrite unread samples.
//
// Items: the list's head is the most recently published item, its tail the oldest. An item is
//   free (3), being written (1), published (0) or being read (2). Per item, readingMask has bit r
//   while reader r holds it and readMask has bit r once FIFO reader r has read or skipped it.
// Readers: reader r (0 to 31) is registered by the engine when it connects an input. FIFO readers
//   (fifoReaderMask) read in publication order; never-skipping ones make the writer wait rather
//   than overwrite what they have not read; last-or-next ones skip to the newest sample. Other
//   readers have a role byte: 3 waits for the next publication, 4 samples the newest one.
//
// Ownership: a FIFO is shared. The output holds one reference on it, and so does every input
//   connected to it and every input whose reader still reads from it or holds one of its items
//   (see VANTInputImplementation). The last reference deletes the FIFO with its items, its data
//   block and whatever was kept with the block. So no item, element or data block is ever freed
//   or reused while a reader holds it: an output whose samples are still held when it must free
//   or reshape them takes a new FIFO instead, and the old one goes when its last reader lets go.
//   The data block is the output's allocation; DropBlock frees it only while no item is held.
// Leaving readers: a reader detached while it reads or holds items leaves its index "leaving":
//   it reads nothing more, the writer never takes what it holds, and the index is not given to
//   another reader until the reader says it is gone (ReaderGone).
// Thread: one writer thread, any number of reader threads, and the engine's threads (registration).
//   Every field but the reference count (atomic) is guarded by the FIFO lock; waits happen with
//   the lock released. After the writer's stop (ReleaseAll) an item given back becomes free: a
//   sample of an ended run is never read again.
// Blocks: AcquireWrite may wait for never-skipping readers; a reader waits, outside this class, on
//   the event that TryRead hands back, then finishes with TakeAfterWait.
// Hot path: Publish, TryRead, TakeAfterWait and Release never allocate and hold the lock only for
//   a walk over the items.
// Failure: fatal inconsistencies are reported as errors and raise VANT::ErrorException (-5), after
//   the lock has been left; the owning module's stop raises VANT::StopException (57005).

#include "dataflow/vant_input.h"
#include "dataflow/vant_io_elt.h"
#include "dataflow/vant_io_monitor.h"
#include "sync/vant_condition.h"
#include "sync/vant_event.h"
#include "sync/vant_mutex.h"
#include "sync/vant_thread_annotations.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

class VANTOutput;

namespace VANT {
/// Item states.
enum FastIOState : uint32_t {
  kItemPublished = 0,
  kItemWriting = 1,
  kItemReading = 2,
  kItemFree = 3,
};
/// Role bytes of readers that are not FIFO readers.
inline constexpr uint8_t kRoleWait4Next = 3;
inline constexpr uint8_t kRoleSampling = 4;
/// The most readers one FIFO serves.
inline constexpr uint32_t kMaxFifoReaders = 32;
} // namespace VANT

/// The FIFO part of a list item: its state words and the element it carries.
struct VANTFastIOElt {
  uint32_t state = VANT::kItemFree;
  uint32_t readingMask = 0;
  uint32_t readMask = 0;
  VANTIOEltImplementation element;
};

/// A list item: links to the newer (prev) and older (next) item, then the FIFO part.
struct VANTFastIOItem {
  VANTFastIOItem* prev = nullptr;
  VANTFastIOItem* next = nullptr;
  VANTFastIOElt elt;
};

// Reader status is one bit test: every mask is one 32-bit word.
static_assert(sizeof(VANTFastIOElt::readMask) == 4 && VANT::kMaxFifoReaders == 32);

class VANTFastIO {
public:
  /// Called under the FIFO lock when the writer takes an item some reader has not read, and when
  /// the writer finds no item at all.
  using OverrunCallback = void (*)(void* argument);

  /// What a read step gives: an item, or a wait on `waitEvent` (the reader's waiter slot is armed
  /// and the lock released), or neither (a reader without a role reads nothing).
  struct ReadResult {
    VANTFastIOItem* item = nullptr;
    VANTEvent* waitEvent = nullptr;
    bool MustWait() const noexcept { return waitEvent != nullptr; }
  };

  /// `stopEvent` (not owned, may be null) is the owning module's stop event. `writeTimeout` is
  /// the writer's wait limit in microseconds, -1 for none.
  VANTFastIO(VANTEvent* stopEvent, int32_t itemCount, int32_t publishRate, int32_t writeTimeout,
             OverrunCallback overrunCallback, void* callbackArgument);
  virtual ~VANTFastIO();
  VANTFastIO(const VANTFastIO&) = delete;
  VANTFastIO& operator=(const VANTFastIO&) = delete;

  // ---- References ----

  /// One more holder of this FIFO.
  void Retain() noexcept { m_references.fetch_add(1, std::memory_order_relaxed); }
  /// One holder less; the last one deletes the FIFO.
  void Unretain() noexcept;
  /// The writer's module goes away: its stop event and overrun notification are not used again.
  void ForgetWriter() noexcept;

  // ---- Data block ----

  /// The block the elements' data lives in (owned, freed with delete[]), from the output's
  /// allocation. Only while no item is held (after DropBlock).
  void AdoptBlock(uint8_t* block) noexcept;
  uint8_t* Block() const noexcept VANT_REQUIRES(m_lock) { return m_block; }
  /// Something the elements point to besides the block (a component's buffers): released with
  /// the block, by DropBlock or by the FIFO's end.
  void KeepWithBlock(std::shared_ptr<void> resource);
  /// The writer's allocation ends: unless a reader holds an item, every item becomes free (unread
  /// samples are dropped), every element loses its data, and the block and what was kept with it
  /// are freed. Returns false, changing nothing, while an item is held.
  [[nodiscard]] bool DropBlock();

  // ---- Writer ----

  /// Takes an item to fill and marks it being written. When `outer` is given (held by the
  /// caller), it is released once the FIFO lock is held. Waits while every candidate holds a
  /// sample a never-skipping reader has not read. Returns null when the writer-abort event ends
  /// the wait. Throws StopException when the module stops, TimeoutException when the write
  /// time-out passes, ErrorException (reported) when no item can be written at all.
  VANTFastIOItem* AcquireWrite(VANTMutex* outer = nullptr);
  /// Publishes a written item (output subsampling may drop it: it is then freed) and wakes the
  /// waiting readers.
  void Publish(VANTFastIOItem* item);
  /// Gives a written item back unpublished.
  void Free(VANTFastIOItem* item);
  /// Makes a waiting writer give up (AcquireWrite returns null).
  void AbortWriter() noexcept { m_writerAbortEvent.Set(); }

  // ---- Readers ----

  /// First step of a read by reader r: an item, or a wait indication. With `spin`, a reader that
  /// finds nothing new watches a few microseconds for a publication before it arms its wait
  /// (for a thread about to sleep on the wait; not for polls).
  /// Never call it with the FIFO lock held: the armed wait releases the lock once.
  ReadResult TryRead(uint32_t reader, bool spin = false);
  /// Second step, after the reader's wait ended with `waitResult` (0: its waiter event). Takes
  /// the lock back through the waiter slot (1 throws StopException, any other non-zero value
  /// WaitFailedException, lock released). Usually returns an item; returns a new wait when the
  /// sample published during the wait was overwritten before the reader got to it.
  ReadResult TakeAfterWait(uint32_t reader, int32_t waitResult);
  /// Abandons a wait armed by TryRead or TakeAfterWait without taking anything.
  void CancelWait(uint32_t reader) noexcept;
  /// Ends reader r's hold on the newest item it holds.
  void Release(uint32_t reader);
  /// Ends reader r's hold on one given item (reported as fatal when r does not hold it).
  void ReleaseItem(uint32_t reader, VANTFastIOItem* item);
  /// Whether a read by reader r would find a sample now; never takes anything.
  bool DataAvailable(uint32_t reader);
  /// Readable samples not yet read by FIFO reader r, or all readable samples for other roles.
  int32_t AvailableCount(uint32_t reader);
  /// Whether reader r holds any item.
  bool HoldsItems(uint32_t reader);
  /// Whether any reader holds an item.
  bool AnyItemHeld();
  /// A read that never waits (the processing step of a sequential module, right after a
  /// publication): the item TryRead would take, or null. A wait-for-next reader takes the newest
  /// sample, the one just published.
  VANTFastIOItem* TryReadNow(uint32_t reader);
  /// Wakes every reader that waits (used when the owning module stops); they wait again.
  void WakeReaders();
  /// The writer's stop: every sample not held by a reader is dropped (the items become free), so
  /// that the next run starts from an empty FIFO; items still held become free when released.
  void ReleaseAll();

  // ---- Readers' settings ----

  /// Reader types 0 (plain FIFO), 1 (never-skipping), 2 (last-or-next) of a FIFO reader.
  void SetReaderType(uint32_t reader, uint32_t type);
  /// Input subsampling of a FIFO reader, 1 to 256 (stored as rate - 1).
  void SetSubsamplingRate(uint32_t reader, int32_t rate);

  // ---- Registration (the engine's connect and detach) ----

  /// Registers reader r with a reader type (0 to 4, as the input's) and, for FIFO readers, its
  /// subsampling minus 1. Clears whatever reader r had marked and resets its waiter slot.
  /// Returns false (nothing changed) for r >= 32 and for an index registered or leaving.
  bool RegisterReader(uint32_t reader, uint32_t readerType, uint8_t readerByte);
  /// Removes reader r, which neither reads nor holds anything: its masks, its read marks and any
  /// hold it still had; wakes the writer.
  void UnregisterReader(uint32_t reader);
  /// Reader r is detached while it reads or holds items: it reads nothing more (its masks and
  /// read marks go, the writer is woken) but keeps what it holds, and r stays taken.
  void LeaveReader(uint32_t reader);
  /// A leaving reader is done: whatever it still held is released and r is free again.
  void ReaderGone(uint32_t reader);
  /// The indexes that cannot be given to a new reader now: registered or leaving.
  uint32_t BusyReaders();
  /// The reader type (0 to 4) and reader byte reader r was registered with; false when r is not
  /// registered.
  bool ReaderSettings(uint32_t reader, uint32_t* readerType, uint8_t* readerByte);

  // ---- Arrival events (a reader that waits on many FIFOs at once) ----

  /// From now on every publication sets `event` for registered reader r, under the FIFO lock and
  /// after the item is readable: a reader that resets the event, then looks at the FIFO and then
  /// waits on the event misses no publication. Registering or unregistering reader r forgets it.
  void SetArrivalEvent(uint32_t reader, VANTEvent* event);
  /// Forgets reader r's arrival event if it is `event`. Once it returns, no publication sets
  /// `event` through reader r any more.
  void ClearArrivalEvent(uint32_t reader, VANTEvent* event);

  // ---- State ----

  /// Items the writer can take without waiting: free, or published and read by every FIFO reader.
  int32_t FreeSlotCount();
  /// No item is being read and every published item was read by every FIFO reader.
  bool AllRead();
  /// The writer's next item would hold a sample some FIFO reader has not read (or none exists).
  bool IsFull();
  /// Output subsampling: only every rate-th published sample is kept. Values below 1 keep all.
  void SetPublishRate(int32_t rate);
  /// Deletes every item, the data block and what was kept with it, and creates `count` free
  /// items (none below 1). Returns false, changing nothing, while a reader holds an item. Only
  /// while nobody writes.
  bool Resize(int32_t count);
  int32_t ItemCount() const noexcept { return m_count; }

  VANTMutex& Lock() noexcept VANT_RETURN_CAPABILITY(m_lock) { return m_lock; }
  VANTEvent& ConsumedEvent() noexcept { return m_consumedEvent; }
  VANTEvent& SpaceEvent() noexcept { return m_spaceEvent; }

  // Masks, for the engine and for tests; read them under Lock() for a consistent view.
  uint32_t RegisteredMask() const noexcept VANT_REQUIRES(m_lock) { return m_registeredMask; }
  uint32_t FifoReaderMask() const noexcept VANT_REQUIRES(m_lock) { return m_fifoReaderMask; }
  uint32_t NeverSkippingMask() const noexcept VANT_REQUIRES(m_lock) { return m_neverSkippingMask; }
  uint32_t LastOrNextMask() const noexcept VANT_REQUIRES(m_lock) { return m_lastOrNextMask; }
  uint8_t ReaderByte(uint32_t reader) const noexcept VANT_REQUIRES(m_lock) {
    return m_readerByte[reader & 31];
  }

protected:
  VANTFastIOItem* Head() const noexcept VANT_REQUIRES(m_lock) { return m_head; }

private:
  enum class Pick { kTaken, kWait, kNothing };

  // Freed outside the lock: a block and what was kept with it.
  struct Dropped {
    std::unique_ptr<uint8_t[]> block;
    std::vector<std::shared_ptr<void>> kept;
  };
  bool AnyItemHeldLocked() const noexcept VANT_REQUIRES(m_lock);
  Dropped TakeBlockLocked() noexcept VANT_REQUIRES(m_lock);
  void CreateItems(int32_t count) VANT_REQUIRES(m_lock);
  void MoveToHead(VANTFastIOItem* item) noexcept VANT_REQUIRES(m_lock);
  // Selection of TryRead and TakeAfterWait, under the lock. Sets *taken or says why not.
  Pick Select(uint32_t reader, VANTFastIOItem** taken) VANT_REQUIRES(m_lock);
  void Take(VANTFastIOItem* item, uint32_t bit, bool fifoReader) noexcept VANT_REQUIRES(m_lock);
  void ReleaseLocked(VANTFastIOItem* item, uint32_t bit) noexcept VANT_REQUIRES(m_lock);
  void MarkRead(VANTFastIOItem* item, uint32_t bit) noexcept VANT_REQUIRES(m_lock);
  /// Arms reader's wait: called with the lock held once, returns with it released (the
  /// condition's BeginWait leaves it).
  ReadResult ArmWait(uint32_t reader) VANT_RELEASE(m_lock);
  /// Takes the lock back through reader's waiter slot after its wait (see TakeAfterWait).
  void RetakeAfterWait(uint32_t reader, int32_t waitResult) VANT_ACQUIRE(m_lock);
  /// The condition's handing back of the lock, which the analysis cannot follow.
  void BeginReaderWait(uint32_t reader, VANTEvent*& waitEvent) VANT_RELEASE(m_lock);
  [[noreturn]] void Fatal(const char* text);

  std::atomic<int32_t> m_references{1};
  // The innermost lock of the flow: while it is held only events are set (each with its own
  // leaf lock); it is never held across a wait (an armed read wait gives it up, see ArmWait).
  VANTMutex m_lock;
  VANTCondition2 m_readers;
  VANTEvent m_consumedEvent;
  VANTEvent m_spaceEvent;
  VANTEvent m_writerAbortEvent;
  VANTEvent* m_stopEvent;
  VANTEvent m_neverSet; // stands in for a missing stop event, so the writer's wait keeps its order
  std::unique_ptr<VANTFastIOItem[]> m_items;
  VANTFastIOItem* m_head VANT_GUARDED_BY(m_lock) = nullptr;
  VANTFastIOItem* m_tail VANT_GUARDED_BY(m_lock) = nullptr;
  int32_t m_count = 0;
  int32_t m_publishRate;
  int32_t m_publishCountdown VANT_GUARDED_BY(m_lock);
  uint32_t m_registeredMask VANT_GUARDED_BY(m_lock) = 0;
  uint32_t m_fifoReaderMask VANT_GUARDED_BY(m_lock) = 0;
  uint32_t m_neverSkippingMask VANT_GUARDED_BY(m_lock) = 0;
  uint32_t m_lastOrNextMask VANT_GUARDED_BY(m_lock) = 0;
  uint32_t m_leavingMask VANT_GUARDED_BY(m_lock) = 0;
  // Since ReleaseAll: a released item becomes free, not readable.
  bool m_writerStopped VANT_GUARDED_BY(m_lock) = false;
  uint8_t* m_block VANT_GUARDED_BY(m_lock) = nullptr; // owned (delete[])
  std::vector<std::shared_ptr<void>> m_kept VANT_GUARDED_BY(m_lock);
  int32_t m_writeTimeout;
  uint8_t m_readerByte[VANT::kMaxFifoReaders] VANT_GUARDED_BY(m_lock) = {};
  OverrunCallback m_overrunCallback;
  void* m_callbackArgument;
  // Publications so far, and the count each reader saw when it armed its wait: a reader woken by
  // a publication whose sample is gone already waits again instead of failing.
  std::atomic<uint64_t> m_publications{0}; // written under the lock, watched without it
  uint64_t m_armedAt[VANT::kMaxFifoReaders] VANT_GUARDED_BY(m_lock) = {};
  // Wake-ups of every waiting reader (the writer's stop), and the count each reader saw when it
  // armed its wait: such a wake-up finds nothing to read and is not an inconsistency.
  uint64_t m_wakes VANT_GUARDED_BY(m_lock) = 0;
  uint64_t m_armedWakes[VANT::kMaxFifoReaders] VANT_GUARDED_BY(m_lock) = {};
  // Arrival events by reader; bit r of the mask is set while entry r is not null.
  VANTEvent* m_arrivalEvents[VANT::kMaxFifoReaders] VANT_GUARDED_BY(m_lock) = {};
  uint32_t m_arrivalMask VANT_GUARDED_BY(m_lock) = 0;
};

/// VANTIOMonitorImplementation: an output's FIFO, walkable through VANTIOMonitor.
class VANTIOMonitorImplementation final : public VANTFastIO, public VANTIOMonitor {
public:
  /// The FIFO of `output`: its overrun notification goes to the engine (kernel slot 114) with
  /// the output; the writer waits without time-out.
  VANTIOMonitorImplementation(VANTEvent* stopEvent, int32_t fifoSize, int32_t subsampling,
                              VANTOutput* output);
  /// A FIFO with a given overrun callback and write time-out.
  VANTIOMonitorImplementation(VANTEvent* stopEvent, int32_t fifoSize, int32_t subsampling,
                              int32_t writeTimeout, OverrunCallback callback, void* argument);
  ~VANTIOMonitorImplementation() override = default;

  VANTIOElt* ElementOf(VANTFastIOItem* item) override;
  VANTFastIOItem* First(VANTFastIOItem** position) override;
  VANTFastIOItem* Next(VANTFastIOItem** position) override;
};
