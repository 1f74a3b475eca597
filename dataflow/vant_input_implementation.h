#pragma once
// VANTInputImplementation: the one implementation of VANTInput. Once the engine connects it, the
// input knows the output's FIFO and its reader index there; the module's StartReading family
// (runtime/vant_module_dataflow.cpp) reads through it and keeps the items it takes until
// StopReading.
//
// Thread: the read operations run on the owning component's threads; the engine's threads
//   connect and detach. The queries of VANTInput take the FIFO lock and never block on data.
// Detaching: the engine sets `detaching` and the interrupt event; a reader blocked in
//   StartReading wakes, gives back what it holds, acknowledges and sleeps until the detach is
//   over. A read does not begin while a detach runs.
// Ownership: the items it holds stay in the output's FIFO.

#include "dataflow/vant_fast_io.h"
#include "dataflow/vant_input.h"
#include "src/vant_model_definition.h"
#include "sync/vant_event.h"
#include "sync/vant_mutex.h"
#include "util/vant_string.h"

#include <atomic>
#include <cstdint>
#include <vector>

class VANTModule;
class VANTOutputImplementation;
class VANTPropertyImplementation;

class VANTInputImplementation final : public VANTInput {
public:
  VANTInputImplementation(VANTModule* module, const VANTInputDefinition& definition,
                          const char* fullName, const char* shortName);
  ~VANTInputImplementation() override;
  VANTInputImplementation(const VANTInputImplementation&) = delete;
  VANTInputImplementation& operator=(const VANTInputImplementation&) = delete;

  bool IsConnected() override { return m_fifo.load(std::memory_order_acquire) != nullptr; }
  VANTOutput* Source() override;
  VANTDataType* SourceType() override;
  VANTStackedString<40>& Name() override { return m_name; }
  const char* ShortName() override { return m_shortName.Text(); }
  bool DataAvailable() override;
  int32_t AvailableCount() override;

  // ---- The runtime's side ---------------------------------------------------------------------

  VANTModule* Module() const noexcept { return m_module; }
  const char* FullName() const noexcept { return m_name.Text(); }
  const char* DefinitionName() const noexcept { return m_definition.name; }
  const VANTDataTypeFilter* Filter() const noexcept { return m_definition.filter; }
  /// The connected output's FIFO, or null.
  VANTIOMonitorImplementation* Fifo() const noexcept {
    return m_fifo.load(std::memory_order_acquire);
  }
  uint32_t ReaderIndex() const noexcept { return m_readerIndex; }
  uint32_t ReaderType() const noexcept { return m_readerType; }
  int32_t InputSubsampling() const noexcept { return m_inputSubsampling; }
  void Rename(const char* oldName, const char* newName);

  /// Sub-property handlers (".readerType" and ".subsampling"); see the .cpp file.
  void ChangeReaderType(VANTPropertyImplementation* property, int64_t value);
  void ChangeSubsampling(int64_t value);
  void SetReaderTypeProperty(VANTPropertyImplementation* property) noexcept {
    m_readerTypeProperty = property;
  }
  VANTPropertyImplementation* ReaderTypeProperty() const noexcept { return m_readerTypeProperty; }

  // Connection (the output applies what the engine decided).
  /// Becomes reader `readerIndex` of output's FIFO and signals the connect event.
  void Link(VANTOutputImplementation* output, uint32_t readerIndex);
  /// Forgets the output and its FIFO.
  void Unlink() noexcept;
  /// Marks the input detaching, interrupts a blocked read and waits (bounded) until the reader
  /// holds nothing and has acknowledged.
  void BeginDetach();
  void EndDetach() noexcept;

  // Reading (the module's StartReading family).
  VANTEvent& ConnectEvent() noexcept { return m_connectEvent; }
  VANTEvent& InterruptEvent() noexcept { return m_interruptEvent; }
  bool IsDetaching() const noexcept { return m_detaching.load(std::memory_order_acquire) != 0; }
  /// Start of a read: gives back what is held (unless keepHeld), waits while a detach runs,
  /// marks the read.
  void BeginRead(bool keepHeld = false);
  /// End of a read (also on exceptions): acknowledges a pending detach when nothing is held.
  void EndRead() noexcept;
  /// Acknowledges a detach and sleeps until it is over (the input holds nothing).
  void AcknowledgeDetach() noexcept;
  /// Records a taken item as the one held (a single read).
  void Hold(VANTFastIOItem* item);
  /// Adds a taken item after those held (a window of the last samples).
  void AppendHeld(VANTFastIOItem* item);
  /// Gives back the oldest held items until at most `count` are held.
  void TrimHeld(int32_t count);
  int32_t HeldCount() const noexcept { return static_cast<int32_t>(m_held.size()); }
  VANTFastIOItem* HeldItem(int32_t k) const noexcept { return m_held[static_cast<size_t>(k)]; }
  /// Gives back every held item (the FIFO reports a release without a take).
  void ReleaseHeld();
  /// Subsampling bookkeeping of a read: true when the sample just taken completes the cycle.
  bool CountSample() noexcept;
  void ResetSubsamplingCounter() noexcept {
    m_subsamplingCounter.store(0, std::memory_order_relaxed);
  }
  /// The subsampling step of a sequential module: true when the waiting sample is taken and
  /// given back at once because it is not the last of its cycle.
  bool SkipForSubsampling();

  /// The input's arrival event (null: none): while connected, every sample published to the
  /// input sets it once readable, also after a disconnect and a new connection. For a component
  /// that waits on many inputs with one event. The caller keeps the event alive until it has set
  /// null again (or the input is gone): once that returns, nothing sets the old event any more.
  void SetArrivalEvent(VANTEvent* event);

private:
  VANTStackedString<40> m_name;
  VANTStackedString<40> m_shortName;
  VANTMutex m_lock;
  std::atomic<VANTIOMonitorImplementation*> m_fifo{nullptr};
  std::atomic<VANTOutputImplementation*> m_source{nullptr};
  VANTModule* m_module;
  VANTInputDefinition m_definition;
  uint32_t m_readerType;
  int32_t m_inputSubsampling = 1;
  uint32_t m_readerIndex = 0;
  VANTEvent m_connectEvent;
  VANTEvent m_interruptEvent;
  VANTEvent m_detachAckEvent;
  // Counted by the reader's thread, reset by the engine's when it connects the input.
  std::atomic<int32_t> m_subsamplingCounter{0};
  std::vector<VANTFastIOItem*> m_held; // oldest first; grows only when a window needs more room
  std::atomic<uint8_t> m_detaching{0};
  std::atomic<uint8_t> m_inStartReading{0};
  std::atomic<uint32_t> m_detachGeneration{0}; // counts the detaches that are over
  VANTPropertyImplementation* m_readerTypeProperty = nullptr;
  VANTEvent* m_arrivalEvent = nullptr; // guarded by m_lock
};
