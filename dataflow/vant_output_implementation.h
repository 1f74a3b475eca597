#pragma once
// VANTOutputImplementation: the one implementation of VANTOutput. It owns the output's FIFO, the
// shared data block sliced between the FIFO's elements, the output's data type and the time-stamp
// history of its writes.
//
// Thread: the allocation operations and the writes (Write*, below) run on the owning component's
//   threads, or on the engine's while the component is stopped; the engine's threads connect and
//   detach inputs; readers of other components work on the FIFO, which guards itself.
// Locking: m_inputsLock guards the list of connected inputs and which FIFO is the output's. The
//   sequential readers' processing steps after a publication run without it (each input pinned
//   for its step, see VANTInputImplementation::BeginStep), so a connection or a detach never
//   waits for a step. Order: the inputs lock, then an input's lock, then a FIFO's lock.
// Ownership: the output owns the history and holds one reference on its FIFO, which owns the
//   items, their elements and the data block (see VANTFastIO). Whenever the output must free or
//   reshape its elements while a reader still holds one of them (its release, a new allocation,
//   a new FIFO size), it takes a new FIFO and moves its connected inputs to it; the old FIFO,
//   with everything its held elements point to, goes when its last reader lets go. Removing or
//   destroying an output first disconnects its inputs as the engine's disconnect does. So
//   nothing a reader holds is ever freed, and stopping a writer never waits for its readers.

#include "dataflow/vant_fast_io.h"
#include "dataflow/vant_io_definition.h"
#include "dataflow/vant_output.h"
#include "sync/vant_mutex.h"
#include "util/vant_list.h"
#include "util/vant_string.h"

#include <atomic>
#include <cstdint>
#include <memory>

class VANTDataflowOwner;
class VANTInputImplementation;

namespace VANT {
/// A size in bytes that may not fit 64 bits (a matrix of 2^31 x 2^31 cells asks for 2^66).
__extension__ typedef unsigned __int128 WideSize;
} // namespace VANT

class VANTOutputImplementation final : public VANTOutput {
public:
  /// An output of `owner` made from `definition` (its data type deep-copied; the vector flag set
  /// when the default buffer size is not 1 and the type word is not negative), with a FIFO of the
  /// definition's size and publish rate.
  VANTOutputImplementation(VANTDataflowOwner* owner, const VANTOutputDefinition& definition,
                           const char* fullName, const char* shortName);
  ~VANTOutputImplementation() override;
  VANTOutputImplementation(const VANTOutputImplementation&) = delete;
  VANTOutputImplementation& operator=(const VANTOutputImplementation&) = delete;

  void AllocOutputBuffer(int32_t isize, int32_t withData) override;
  void AllocOutputBufferIplImage(const VANTIplImage* model, int32_t noData) override;
  void AllocOutputBufferImage(int32_t isize, int32_t w, int32_t h, uint32_t format, uint32_t extra,
                              int32_t noData) override;
  using VANTOutput::AllocOutputBufferImage;
  void AllocOutputBufferMatrix(int32_t m, int32_t n) override;
  void AllocOutputBufferByteBlock(const VANTByteBlock* model) override;
  VANTStackedString<40>& Name() override { return m_name; }
  uint32_t RunCounter() override { return m_runCounter; }
  /// The output's FIFO as it is now: valid until the output's next allocation, release or FIFO
  /// resize (the owning component's business) or its destruction.
  VANTIOMonitor* Monitor() override { return &Fifo(); }
  void SetMark() override { m_markFlag = 1; }
  void ClearMark() override { m_markFlag = 0; }
  int32_t BytesPerSample() override { return m_bytesPerSample; }
  int32_t FreeSlotCount() override { return Fifo().FreeSlotCount(); }
  /// The type itself, for the owning component's thread; other threads take TypeCopy().
  VANTDataType& Type() override { return m_type; }
  void SetTypeFlags(uint64_t flags) override {
    VANTMutexLocker lock(m_typeLock);
    if (m_type.flags != flags) { // the same flags again write nothing (readers may be looking)
      m_type.flags = flags;
    }
  }
  void SetName2(const char* name2) override {
    VANTMutexLocker lock(m_typeLock);
    m_type.SetName2(name2);
  }
  void SetName2(const VANTStackedString<40>& name2) override { SetName2(name2.Text()); }
  VANTStackedString<40> GetName2() override;
  VANTStackedString<40> GetName2() const override;
  void SetStructureName(const char* name1) override {
    VANTMutexLocker lock(m_typeLock);
    m_type.SetName1(name1);
  }
  const char* StructureName() override { return m_type.name1; }

  bool EngineConnect(VANTInput* input, uint32_t readerIndex, uint32_t role,
                     uint8_t readerByte) override;
  void EngineDisconnect(VANTInput* input) override;
  uint32_t EngineBusyReaders() override;

  // ---- The runtime's side ---------------------------------------------------------------------

  /// Disconnects every connected input as the engine's disconnect does (kernel slot 73, then
  /// EngineDisconnect): each wakes and waits for a new connection. Before the output goes.
  void DisconnectAll() noexcept;

  /// A copy of the output's type, safe on any thread while the output exists: its component may
  /// retype it (Dynamic, Birth, a first element) while a downstream component looks at it.
  VANTDataType TypeCopy() const {
    VANTMutexLocker lock(m_typeLock);
    return m_type;
  }

  /// Returns the output to the unallocated state: history zeroed, sizes 0, unread samples dropped,
  /// the data block (and what was kept with it) freed, or left to the readers that still hold
  /// elements of it (the output then takes a new FIFO).
  void FreeOutputBuffer() noexcept;
  /// Keeps resource alive as long as the current elements' data (released with the data block,
  /// see VANTFastIO::KeepWithBlock): for memory a component makes its elements point to.
  void KeepWithElements(std::shared_ptr<void> resource);
  void SetRunCounter(uint32_t value) noexcept { m_runCounter = value; }
  int32_t DefaultBufferSize() const noexcept { return m_defaultBufferSize; }
  int32_t BufferSize() const noexcept { return m_bufferSize; }
  int32_t FifoSize() const noexcept { return m_fifoSize; }
  /// The output's FIFO as it is now (see Monitor).
  VANTIOMonitorImplementation& Fifo() noexcept { return *m_fifo.load(std::memory_order_acquire); }
  /// The module that owns the output.
  VANTDataflowOwner* Owner() const noexcept { return m_owner; }
  const char* FullName() const noexcept { return m_name.Text(); }
  const char* ShortName() const noexcept { return m_shortName.Text(); }
  /// The definition's name pointer: the identity used when Dynamic declares outputs again.
  const char* DefinitionName() const noexcept { return m_definition.name; }
  /// The component model the output's module was made from (empty for plain modules).
  void SetModelName(const char* modelName) { m_modelName = modelName; }
  const char* ModelName() const noexcept { return m_modelName.Text(); }
  /// Module renamed: the full name's module part becomes newName.
  void Rename(const char* oldName, const char* newName);
  bool IsPeriodic() const noexcept { return m_periodic; }

  // Sub-property handlers (".fifosize", ".subsampling", ".periodic").
  /// Deletes every FIFO item and creates `size` new free ones (none below 1); the output is
  /// unallocated afterwards. Held items are not deleted: a new FIFO takes the old one's place.
  /// Only while the owning module is not started.
  void ResizeFifo(int32_t size);
  void SetSubsampling(int32_t rate);
  void SetPeriodic(bool periodic) noexcept { m_periodic = periodic; }

  // Writes (the module's StartWriting and StopWriting).
  /// A writable element of the FIFO, owned by this output for the write; null when the writer's
  /// wait was aborted. Throws what the FIFO throws.
  VANTIOEltImplementation* TakeForWriting();
  /// Time stamps the element (engine time for a zero time of issue, the time of issue for a zero
  /// timestamp, the history and the periodic fit), then publishes it or, with discard, frees it.
  /// The size check is the caller's. Returns false when nothing was published.
  bool Publish(VANTIOEltImplementation* element, bool discard);
  /// After a publication: the processing step of every connected sequential reader (a fault of
  /// the reader's stays the reader's).
  void NotifySequentialReaders();

  /// Connected inputs (read under InputsLock()).
  VANTList<VANTInput*>& ConnectedInputs() noexcept { return m_connectedInputs; }
  VANTMutex& InputsLock() noexcept { return m_inputsLock; }

private:
  /// Refuses a second allocation; option 1 for AllocOutputBuffer, 2 for the specialised forms.
  void CheckNotAllocated(int32_t option);
  /// The start of every allocation: a FIFO whose items are all free and unheld, without data
  /// block (a new FIFO when a reader still holds an item), and every element reset: BufferSize
  /// 0, auxiliary and user words 0, the output's type, no data.
  void ResetElements();
  /// A new FIFO of `size` items takes the current one's place; the connected inputs move to it
  /// with their reader indexes and types. The old FIFO stays with the readers that hold its
  /// items. Throws std::bad_alloc.
  void ReplaceFifo(int32_t size);
  /// Allocates bytes x FIFO size for the FIFO's elements and hands it to the FIFO; returns it
  /// (null when there is nothing to allocate). Failures are reported and raised.
  uint8_t* AllocateSharedMemory(uint64_t bytes);
  void RequireSharedBlock(const uint8_t* block, int64_t bytesPerSample);
  /// The "is too big" failure of an allocation of `bytes` per element.
  [[noreturn]] void FailTooBig(VANT::WideSize bytes);
  [[noreturn]] void FailNegative(const char* operation, int32_t line, const char* parameter,
                                 int64_t value);
  /// The element of the FIFO item at position k (allocation order) for each k.
  template <class Visit>
  void ForEachElement(Visit visit);
  /// The least-squares value of the 30 history entries at the newest position.
  int64_t FittedTimestamp() const noexcept;

  VANTStackedString<40> m_name;
  VANTStackedString<40> m_modelName;
  // Lock order of the flow, outermost first: a module's own locks (start, sequential, property,
  // structure: runtime/vant_component.h, runtime/vant_module.h); an output's inputs lock; an
  // input's lock (VANTInputImplementation::m_lock); a FIFO's lock (VANTFastIO::m_lock); an
  // event's own lock. A sequential reader's step runs on the writer's thread with none of the
  // flow's locks held, its input pinned by BeginStep, so the step may take its own module's
  // locks and write into its own outputs: the writer's locks and the reader's never nest.
  VANTMutex m_inputsLock;
  std::atomic<VANTIOMonitorImplementation*> m_fifo; // one reference; changed under m_inputsLock
  VANTStackedString<40> m_shortName;
  // The type's writers take m_typeLock (a leaf: nothing is locked under it), and so do the
  // copies other threads make; the owning component's thread reads it without.
  mutable VANTMutex m_typeLock;
  VANTDataType m_type;
  VANTOutputDefinition m_definition;
  VANTDataflowOwner* m_owner;
  int32_t m_defaultBufferSize;
  int32_t m_fifoSize;
  int32_t m_subsampling;
  uint32_t m_markFlag = 0;
  VANTList<VANTInput*> m_connectedInputs;
  std::atomic<int32_t> m_connectedCount{0}; // entries of m_connectedInputs, read without the lock
  uint32_t m_runCounter = 0;
  int32_t m_bufferSize = 0;
  int32_t m_bytesPerSample = 0;
  bool m_periodic = false;
  std::unique_ptr<int64_t[]> m_history; // 30 ring entries, then the last published time stamp
  int32_t m_historyIndex = 0;
};

namespace VANT {
/// Entries of an output's time-stamp ring.
inline constexpr int32_t kHistoryLength = 30;
} // namespace VANT
