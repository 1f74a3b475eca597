#pragma once
// VANTInputImplementation: the one implementation of VANTInput. Once the engine connects it, the
// input knows the output's FIFO and its reader index there; the module's StartReading family
// (runtime/vant_module_dataflow.cpp) reads through it and keeps the items it takes until
// StopReading.
//
// Two FIFOs: the connection (set and cleared by the engine) and the one the reader works on (the
// reader's own: it adopts the connection when it reads, and leaves it once it is no longer the
// connection and the reader neither reads nor holds anything). Each holds a reference on its
// FIFO (see VANTFastIO), so a FIFO never goes while its reader may still touch it.
// Detaching: the engine clears the connection and never waits for the reader. A reader that is
//   idle and holds nothing is unregistered at once; one that reads or holds items becomes a
//   leaving reader of that FIFO: a blocked read is woken (the interrupt event), gives back what
//   it holds and waits for a new connection, and items held outside a read stay valid until
//   StopReading (or the next read) gives them back.
// Thread: the read operations run on the owning component's threads (the reader side); the
//   engine's threads connect, detach and change the sub-properties. The queries of VANTInput
//   take the input's lock and the FIFO's and never block on data.
// Locking: m_lock guards the connection, the reader's FIFO, the read mark and, outside a read,
//   the held items; it is taken before a FIFO's lock and never while one is held.
// Ownership: the items it holds stay in the reader's FIFO.

#include "dataflow/vant_fast_io.h"
#include "dataflow/vant_input.h"
#include "dataflow/vant_io_definition.h"
#include "sync/vant_event.h"
#include "sync/vant_mutex.h"
#include "util/vant_string.h"

#include <atomic>
#include <cstdint>
#include <vector>

class VANTDataflowOwner;
class VANTOutputImplementation;

class VANTInputImplementation final : public VANTInput {
public:
  VANTInputImplementation(VANTDataflowOwner* owner, const VANTInputDefinition& definition,
                          const char* fullName, const char* shortName);
  /// Detaches from the source and gives back what is held (the owning module is dead).
  ~VANTInputImplementation() override;
  VANTInputImplementation(const VANTInputImplementation&) = delete;
  VANTInputImplementation& operator=(const VANTInputImplementation&) = delete;

  bool IsConnected() override { return m_connected.load(std::memory_order_acquire) != nullptr; }
  VANTOutput* Source() override;
  VANTDataType* SourceType() override;
  bool CopySourceType(VANTDataType* type) override;
  VANTStackedString<40>& Name() override { return m_name; }
  const char* ShortName() override { return m_shortName.Text(); }
  bool DataAvailable() override;
  int32_t AvailableCount() override;

  // ---- The runtime's side ---------------------------------------------------------------------

  /// The module that owns the input.
  VANTDataflowOwner* Owner() const noexcept { return m_owner; }
  const char* FullName() const noexcept { return m_name.Text(); }
  const char* DefinitionName() const noexcept { return m_definition.name; }
  const VANTDataTypeFilter* Filter() const noexcept { return m_definition.filter; }
  /// The connected output's FIFO, or null (for inspection while nothing changes the graph).
  VANTIOMonitorImplementation* Fifo() const noexcept {
    return m_connected.load(std::memory_order_acquire);
  }
  /// The reader index of the connection; false while unconnected.
  bool ConnectedIndex(uint32_t* index);
  uint32_t ReaderType() const noexcept { return m_readerType.load(std::memory_order_acquire); }
  int32_t InputSubsampling() const noexcept {
    return m_inputSubsampling.load(std::memory_order_acquire);
  }
  void Rename(const char* oldName, const char* newName);

  /// Sub-property handlers (".readerType" and ".subsampling"); see the .cpp file. A refused
  /// reader type is reported, and false tells the caller to show ReaderType() again.
  [[nodiscard]] bool ChangeReaderType(int64_t value);
  void ChangeSubsampling(int64_t value);

  // ---- Connection (the output applies what the engine decided; under the output's lock) ----
  /// Becomes reader `readerIndex` of `fifo` (output's, registered already) and signals the
  /// connect event.
  void Link(VANTOutputImplementation* output, VANTIOMonitorImplementation* fifo,
            uint32_t readerIndex);
  /// The output took a new FIFO: the connection moves to it (same reader index, registered
  /// already); the old one is left as a detach leaves it. Nothing when output is not the source.
  void Relink(VANTOutputImplementation* output, VANTIOMonitorImplementation* fifo,
              uint32_t readerIndex);
  /// Detaches from output (nothing when it is not the source); never waits for the reader.
  void Unlink(VANTOutputImplementation* output);

  // ---- Processing steps of a sequential module (run on a writer's thread) ---------------------
  /// A writer is about to run the step of this input's module: the input (and so its module)
  /// stays until EndStep. Called under the writer's output lock, so never for a detached input.
  void BeginStep();
  void EndStep() noexcept;
  /// Waits until no writer runs a step for this input (before the input or its module goes; the
  /// module is stopped by then, so such a step only finds it stopped and returns).
  void WaitForSteps() noexcept;

  // ---- Reading (the module's StartReading family: the reader side) ----------------------------
  VANTEvent& ConnectEvent() noexcept { return m_connectEvent; }
  VANTEvent& InterruptEvent() noexcept { return m_interruptEvent; }
  /// Start of a read: marks it, gives back what is held (unless keepHeld and still connected to
  /// the same FIFO) and returns the FIFO to read (see Current).
  VANTIOMonitorImplementation* BeginRead(bool keepHeld, uint32_t* index);
  /// The FIFO to read from now, with the reader index, adopting the connection when the reader
  /// has left its previous FIFO; null while unconnected. Within a read.
  VANTIOMonitorImplementation* Current(uint32_t* index);
  /// End of a read (also on exceptions).
  void EndRead() noexcept;
  /// Records a taken item as the one held (a single read).
  void Hold(VANTFastIOItem* item);
  /// Adds a taken item after those held (a window of the last samples).
  void AppendHeld(VANTFastIOItem* item);
  /// Gives back the oldest held items until at most `count` are held.
  void TrimHeld(int32_t count);
  int32_t HeldCount() const noexcept { return static_cast<int32_t>(m_held.size()); }
  VANTFastIOItem* HeldItem(int32_t k) const noexcept { return m_held[static_cast<size_t>(k)]; }
  /// The element of a held or just taken item.
  VANTIOElt* ElementOf(VANTFastIOItem* item) noexcept { return &item->elt.element; }
  /// Gives back every held item (the FIFO reports a release without a take); a detached reader
  /// then leaves its FIFO.
  void ReleaseHeld();
  /// The same from outside the reader's threads once they are over (stop, death): nothing while
  /// a read is still marked.
  void ReleaseHeldIfIdle() noexcept;
  /// Subsampling bookkeeping of a read: true when the sample just taken completes the cycle.
  bool CountSample() noexcept;
  void ResetSubsamplingCounter() noexcept {
    m_subsamplingCounter.store(0, std::memory_order_relaxed);
  }
  /// The subsampling step of a sequential module (FIFO reader types only): true when the
  /// waiting sample is taken and given back at once because it is not the last of its cycle.
  bool SkipForSubsampling();

  /// The input's arrival event (null: none): while connected, every sample published to the
  /// input sets it once readable, also after a disconnect and a new connection. For a component
  /// that waits on many inputs with one event. The caller keeps the event alive until it has set
  /// null again (or the input is gone): once that returns, nothing sets the old event any more.
  void SetArrivalEvent(VANTEvent* event);

private:
  struct ReaderSlot {
    VANTIOMonitorImplementation* fifo = nullptr;
    uint32_t index = 0;
    bool operator==(const ReaderSlot& other) const noexcept {
      return fifo == other.fifo && index == other.index;
    }
  };
  /// Drops the connection `old` (m_lock held): unregisters the reader, or makes it a leaving
  /// reader when it reads or holds items of it; wakes a blocked read.
  void DropConnectionLocked(const ReaderSlot& old);
  /// Gives back the held items of the reader's FIFO (m_lock held).
  void ReleaseHeldLocked();
  /// When the reader's FIFO is no longer the connection: gives back what is held, tells the FIFO
  /// the reader is gone and lets it go. Then adopts the connection when adopt is set.
  void SyncLocked(bool adopt);
  /// Puts the arrival event into the connection's FIFO and sets it once (m_lock held).
  void ArmArrivalLocked();

  VANTStackedString<40> m_name;
  VANTStackedString<40> m_shortName;
  // Taken after the source output's inputs lock and before a FIFO's lock, never while a FIFO's
  // lock is held (see the lock order in vant_output_implementation.h).
  VANTMutex m_lock;
  std::atomic<VANTIOMonitorImplementation*> m_connected{nullptr}; // m_connection.fifo, lock-free
  std::atomic<VANTOutputImplementation*> m_source{nullptr};
  ReaderSlot m_connection; // the engine's; guarded by m_lock, holds a reference
  ReaderSlot m_reading;    // the reader's; changed under m_lock, holds a reference
  int32_t m_reads = 0;     // reads under way (a multi-input read may name an input twice); m_lock
  int32_t m_steps = 0;     // writers running a step for this input; m_lock
  VANTEvent m_stepsDone;   // set (under m_lock) when m_steps drops to 0
  VANTDataflowOwner* m_owner;
  VANTInputDefinition m_definition;
  std::atomic<uint32_t> m_readerType;
  std::atomic<int32_t> m_inputSubsampling{1};
  VANTEvent m_connectEvent;
  VANTEvent m_interruptEvent;
  // Counted by the reader's thread, reset by the engine's when it connects the input.
  std::atomic<int32_t> m_subsamplingCounter{0};
  // Oldest first; grows only when a window needs more room. The reader side changes it within a
  // read, or under m_lock; the engine looks at it only under m_lock outside a read.
  std::vector<VANTFastIOItem*> m_held;
  VANTEvent* m_arrivalEvent = nullptr; // guarded by m_lock
};
