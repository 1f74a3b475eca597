#pragma once
// vant_sorting_multiplexer: the SortingMultiplexer component. It merges the streams of nb_inputs
// sources, each connected through a data input input_<i> and an end-of-file input iEndOfFile_<i>,
// into one stream on its output `output`, ordered by timestamp, through a bounded reordering
// buffer of buffer_packet_count items. Once every source has signalled its end of file and
// flush_delay has passed, the rest is written and one Integer64 event goes out on end_of_file.
//
// Three input kinds, decided from the type of input_0 (or from the first element read, when
// input_0's source still has the any-type word at Birth):
//   0  PCAP streams (VANTpcap_data_t): packets are taken apart, sorted one by one and packed again
//      into output vectors of at most vector_max_size packets spanning at most
//      vector_max_latency microseconds;
//   1  Record96B vectors: the 96-byte records are sorted by their own timestamp (bytes 8 to 15)
//      and packed again the same way;
//   2  anything else: whole elements are copied, sorted by element timestamp and written one by
//      one.
//
// The merge: each Cycle() reads at most one element, from the input furthest behind among those
// that have data (the schedule, keyed by the timestamp of the last item read from each input),
// moves its content into the sorted queue, and while more than buffer_packet_count items are
// queued writes one output element made of the oldest ones. Items written with a timestamp below
// the previous one are counted and reported.
//
// Equal timestamps leave by input index, lowest first, so that the output never depends on the
// order in which thread timing let the inputs be read; within one input, packets leave in the
// order they were read, records and other elements newest first. In the schedule, the input
// re-keyed last is tried first.
//
// Waiting: when no input has data, the component sleeps until a sample arrives on any input
// (every input carries the component's wake event as its arrival event), a property it reads
// while running changes, the flush may be due (engine time) or the component is stopped.
//
// Thread: Dynamic runs on the engine's threads under the start lock; Birth, Cycle and Death on
//   the component's main thread. Only the wake event and the count of property changes are
//   touched by other threads (publishers and property setters); the FIFOs lock themselves.
// Ownership: the component owns its queue (copies of everything read) and its packet buffers.

#include "component/vant_mux_queue.h"
#include "component/vant_mux_texts.h"
#include "dataflow/vant_data_type.h"
#include "local_interfaces/vant_dynamic_io_models.h"
#include "pcap_component/vant_pcap_component.h"
#include "sync/vant_event.h"

#include <atomic>
#include <climits>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

class VANTInput;
class VANTOutput;
class VANTIOElt;
class VANTProperty;

namespace VANT {

/// The any-type word of the data inputs and of `output` before it is typed.
inline constexpr uint64_t kAnyTypeWord = 0x0C000000FFFFFFFFULL;
/// Records of one Record96B output element.
inline constexpr int32_t kRecordsPerElement = 256;
inline constexpr uint32_t kRecordSize = 96;

/// t > base + span, computed without overflow: a limit beyond the 64-bit range on the side of a
/// positive span is never passed, one beyond it on the side of a negative span always is.
inline bool Beyond(int64_t t, int64_t base, int64_t span) noexcept {
  int64_t limit = 0;
  if (__builtin_add_overflow(base, span, &limit)) {
    return span < 0;
  }
  return t > limit;
}

/// The model record of SortingMultiplexer, as the package hands it out.
VANTComponentModelDefinition& SortingMultiplexerRecord();

} // namespace VANT

class vant_sorting_multiplexer : public VANTpcap_component {
public:
  // Input kinds.
  static constexpr uint32_t kPcap = 0;
  static constexpr uint32_t kRecords = 1;
  static constexpr uint32_t kOther = 2;

  /// What the multiplexer does differently for one input kind: how an element read enters the
  /// queue, how queued items leave, how the output is allocated before the first element and
  /// released at Death, and how equal times of one input are ordered. One constant per kind
  /// (vant_sorting_queue.cpp); the component points at the one of the decided kind.
  struct Kind {
    uint32_t code;           // kPcap, kRecords or kOther (InputKind())
    bool vectors;            // an output element packs many items (vector_max_size, _latency)
    VANTMuxQueue::Ties ties; // within one input: packets in read order, the others newest first
    void (vant_sorting_multiplexer::*process)(VANTIOElt* element, uint32_t input, int64_t& rekey);
    void (vant_sorting_multiplexer::*write)(uint64_t minRemaining, uint64_t maxItems,
                                            int64_t maxLatency);
    void (vant_sorting_multiplexer::*allocate)(); // at the start (the other kind: first element)
    void (vant_sorting_multiplexer::*release)();  // at Death
  };
  static const Kind kPcapKind;
  static const Kind kRecordKind;
  static const Kind kOtherKind;

  vant_sorting_multiplexer(const char* name, VANTComponentModelDefinition* record);
  ~vant_sorting_multiplexer() override;

  void Dynamic() override;
  void Cycle() override;
  void Birth() override;
  void Death() override;

  // ---- The merge engine (vant_sorting_queue.cpp) ----------------------------------------------

  /// Re-reads vector_max_size and vector_max_latency.
  void ReadParams();
  /// The input to read next, or -1 when none has data.
  int32_t SelectInput();
  /// Moves the content of element, read on input_<index>, into the active queue and re-keys the
  /// input in the schedule.
  void ProcessData(VANTIOElt* element, int32_t index);
  /// Writes one output element of the oldest items (kinds 0 and 1) or every surplus element
  /// (kind 2), leaving minRemaining items queued.
  void WriteSorted(uint64_t minRemaining, uint64_t maxItems, int64_t maxLatency);
  /// Counts and reports an item written with a timestamp below the previous one.
  void CheckOrder(int64_t timestamp);
  /// Writes everything queued.
  void Flush();
  /// Types and allocates output like element; returns the element's buffer size.
  int32_t AllocateOutputLike(VANTOutput* output, VANTIOElt* element);
  /// One event on end_of_file: the source with the greatest end-of-file timestamp.
  void WriteEndOfFile();

  // ---- Read by tests ----------------------------------------------------------------------------
  uint32_t InputKind() const noexcept { return m_kind->code; }
  int64_t WrongOrderCount() const noexcept { return m_wrongOrderCount; }
  int64_t MaxTimeJump() const noexcept { return m_maxTimeJump; }
  uint32_t OutputLinkType() const noexcept { return m_outputLinkType; }
  size_t QueuedItems() const noexcept;
  /// The schedule's input indices in walking order.
  std::vector<int32_t> ScheduleOrder() const;
  const std::vector<std::pair<int64_t, int64_t>>& EndOfFileTable() const noexcept {
    return m_endOfFile;
  }
  bool Finished() const noexcept { return m_finished; }

protected:
  VANT::DynamicInputModelSet m_inputModels;
  VANT::DynamicOutputModelSet m_outputModels;
  bool m_firstData = true;
  int64_t m_nbInputs = 0;
  std::multimap<int64_t, uint32_t> m_schedule;
  std::vector<std::pair<int64_t, int64_t>> m_endOfFile;
  std::vector<VANTInput*> m_endOfFileInputs;
  std::vector<VANTInput*> m_dataInputs;
  const Kind* m_kind = &kOtherKind;
  int32_t m_bufferPacketCount = 0;
  int32_t m_vectorMaxSize = 1;
  int64_t m_vectorMaxLatency = 100000;
  int64_t m_wrongOrderCount = 0;
  int64_t m_lastWrittenTimestamp = 0;
  int64_t m_maxTimeJump = 0;
  // The sorted queue of the active kind: packets, records or other elements.
  VANTMuxQueue m_queue;
  uint32_t m_outputLinkType = 0;
  bool m_finished = false;
  int64_t m_lastEndOfFileIssue = 0;
  // The kind waits for the first element (input_0 was untyped at Birth); then every element is
  // checked against the type of that first one.
  bool m_kindPending = false;
  bool m_checkElementTypes = false;
  VANTDataType m_elementType;
  // Other elements are serialised here before they are queued.
  std::vector<uint8_t> m_serialised;

private:
  /// The kind of a source type (the three tests of Dynamic).
  static const Kind& KindOf(const VANTDataType& type);
  /// A type still of the any-type word: it passes every kind's test and says nothing.
  static bool Untyped(const VANTDataType& type);
  /// Allocates `output` for the decided kind (PCAP and record vectors; the other kind later).
  void AllocatePcapOutput();
  void AllocateRecordOutput();
  void AllocateNothing() {}
  /// Gives the PCAP output's packet buffers to the output (Death).
  void ReleasePcapOutput() { FreePcapOutputBuffers(); }
  /// Decides the kind from the first element read when input_0 was untyped at Birth.
  void DecideKind(VANTIOElt& element);
  /// Empties the queue for the inputs and the tie rule of the kind.
  void ResetQueue();
  /// Every data input connected with the type of input_0 (word and name1), and every end-of-file
  /// input connected (when asked); `firstType`, when given, receives input_0's type then.
  bool InputsConsistent(bool withEndOfFile, VANTDataType* firstType = nullptr);
  /// Types `output` like input_0 when every data input agrees, else as any type.
  void TypeOutput();
  /// Erases input index from the schedule and inserts it again under key (lower-bound rule).
  void Rekey(uint32_t index, int64_t key);
  void ProcessPcap(VANTIOElt* element, uint32_t input, int64_t& rekey);
  void ProcessRecords(VANTIOElt* element, uint32_t input, int64_t& rekey);
  void ProcessOther(VANTIOElt* element, uint32_t input, int64_t& rekey);
  void WritePcap(uint64_t minRemaining, uint64_t maxItems, int64_t maxLatency);
  void WriteRecords(uint64_t minRemaining, uint64_t maxItems, int64_t maxLatency);
  void WriteOther(uint64_t minRemaining, uint64_t maxItems, int64_t maxLatency);
  /// The integer value of one of the record's properties (cached handle).
  int64_t IntegerProperty(VANTProperty*& cache, const char* name);

  // ---- Waiting while no input has data (vant_sorting_multiplexer.cpp) ----
  /// Gives every input the wake event as its arrival event (Birth), or takes it back (Death).
  void ArmInputs();
  void DisarmInputs() noexcept;
  /// No input has data: flushes when due, else waits for an arrival, a property change, the
  /// moment the flush could be due, or the stop.
  void Idle();
  /// Watches the wake event for up to `budget` real microseconds; true when it was set.
  bool SpinForWake(int64_t budget);
  /// The write callback of vector_max_size, vector_max_latency and flush_delay.
  static void ParametersChanged(VANTProperty* property);
  /// ReadParams, when one of its properties was set since the last read.
  void ReadChangedParams();

  // Set by every publication to an input (arrival event) and by every change of the properties
  // read while running. The engine's threads set it; the component's thread resets and waits.
  VANTEvent m_wake;
  std::vector<VANTInput*> m_armedInputs;
  std::atomic<uint64_t> m_parameterChanges{1}; // set by the write callback: release
  uint64_t m_parametersRead = 0;               // m_parameterChanges when ReadParams last ran
  int64_t m_quietSpell = 0; // running mean of the idle spells, real microseconds (Idle)

  VANTOutput* m_output = nullptr;
  VANTOutput* m_endOfFileOutput = nullptr;
  VANTProperty* m_vectorMaxSizeProperty = nullptr;
  VANTProperty* m_vectorMaxLatencyProperty = nullptr;
  VANTProperty* m_flushDelayProperty = nullptr;
};
