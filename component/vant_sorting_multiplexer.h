#pragma once
// vant_sorting_multiplexer: the SortingMultiplexer component. It merges the streams of nb_inputs
// sources, each connected through a data input input_<i> and an end-of-file input iEndOfFile_<i>,
// into one stream on its output `output`, ordered by timestamp, through a bounded reordering
// buffer of buffer_packet_count items. Once every source has signalled its end of file and
// flush_delay has passed, the rest is written and one Integer64 event goes out on end_of_file.
//
// Three input kinds, decided from the type of input_0:
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
// Thread: Dynamic runs on the engine's threads under the start lock; Birth, Cycle and Death on
//   the component's main thread. No field is shared between threads; the FIFOs lock themselves.
// Ownership: the component owns its queues (copies of everything read) and its packet buffers.

#include "component/vant_pcap_component.h"
#include "dataflow/vant_data_type.h"
#include "local_interfaces/vant_dynamic_io_models.h"

#include <climits>
#include <cstdint>
#include <map>
#include <memory>
#include <memory_resource>
#include <set>
#include <utility>
#include <vector>

class VANTInput;
class VANTOutput;
class VANTIOElt;
class VANTProperty;

namespace VANT {

/// Texts of the component.
namespace MuxText {
inline constexpr const char kNbInputs[] = "Number of inputs has to be >= 1";
inline constexpr const char kBufferCount[] = "buffer_packet_count must be >= 0";
inline constexpr const char kNotConnected[] = "All inputs have to be connected and of same type!";
inline constexpr const char kWentWrong[] = "Something went wrong!";
inline constexpr const char kVectorMaxSize[] = "vector_max_size must be >= 1";
inline constexpr const char kVectorMaxLatency[] = "vector_max_latency must be >= 1 ms";
inline constexpr const char kLinkTypes[] = "Cannot multiplex different link_types!";
inline constexpr const char kFlushDelay[] = "Flush Delay reached";
inline constexpr const char kFlushing[] = "Flushing queue";
inline constexpr const char kFinished[] = "Finished writing";
inline constexpr const char kLost[] = " data were still in the buffer and got lost ";
inline constexpr const char kUntyped[] = "Cannot multiplex data of undefined type!";
inline constexpr const char kPcapNoHeader[] =
    "Unable to read PCAP data in input data. \nData state is inconsistent: the element is too "
    "small to hold a VANTpcap_data_t header. \nThe component developer should check that the "
    "pcap_data data access objects are used correctly and contact Sorvaline S.A.S if the problem "
    "persists.";
} // namespace MuxText

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

/// Frees packet bytes back to the pool they came from.
struct VANTMuxPoolBytes {
  std::pmr::memory_resource* pool = nullptr;
  uint32_t size = 0;
  void operator()(uint8_t* bytes) const noexcept {
    if (bytes != nullptr) {
      pool->deallocate(bytes, size, 1);
    }
  }
};

/// One packet of the PCAP queue: its header words and its own copy of the packet bytes, taken
/// from the component's packet pool.
struct VANTMuxPacket {
  uint32_t input; // the input it was read from: equal times leave by input index
  uint32_t inclLen;
  uint32_t len2;
  uint64_t tsSec;
  uint64_t tsUsec;
  std::unique_ptr<uint8_t[], VANTMuxPoolBytes> bytes; // exactly inclLen bytes (null for 0)

  int64_t Timestamp() const noexcept { return static_cast<int64_t>(tsSec * 1000000u + tsUsec); }
};

/// (ts_sec, ts_usec) as unsigned values, ts_sec first, then the input index.
struct VANTMuxPacketOrder {
  bool operator()(const VANTMuxPacket& a, const VANTMuxPacket& b) const noexcept {
    if (a.tsSec != b.tsSec) {
      return a.tsSec < b.tsSec;
    }
    return a.tsUsec != b.tsUsec ? a.tsUsec < b.tsUsec : a.input < b.input;
  }
};

/// The order key of records and other elements: (timestamp, input index).
using VANTMuxKey = std::pair<int64_t, uint32_t>;

/// One 96-byte record.
struct VANTMuxRecord {
  uint8_t bytes[VANT::kRecordSize];
};

/// One element of another type in its serialised form.
struct VANTMuxElement {
  std::shared_ptr<uint8_t[]> bytes;
  uint32_t size = 0;
};

class vant_sorting_multiplexer : public VANTpcap_component {
public:
  // Input kinds.
  static constexpr uint32_t kPcap = 0;
  static constexpr uint32_t kRecords = 1;
  static constexpr uint32_t kOther = 2;

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
  uint32_t InputKind() const noexcept { return m_inputKind; }
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
  uint32_t m_inputKind = kOther;
  int32_t m_bufferPacketCount = 0;
  int32_t m_vectorMaxSize = 1;
  int64_t m_vectorMaxLatency = 100000;
  int64_t m_wrongOrderCount = 0;
  int64_t m_lastWrittenTimestamp = 0;
  int64_t m_maxTimeJump = 0;
  // Packet bytes and queue nodes come from one pool of size classes: a packet costs no call to
  // the general allocator once the pool has grown to the queue's depth. Declared before the
  // queue, which must go first.
  std::pmr::unsynchronized_pool_resource m_packetPool{std::pmr::pool_options{0, 2048}};
  std::pmr::multiset<VANTMuxPacket, VANTMuxPacketOrder> m_pcapQueue{&m_packetPool};
  uint32_t m_outputLinkType = 0;
  std::multimap<VANTMuxKey, VANTMuxRecord> m_recordQueue;
  std::multimap<VANTMuxKey, VANTMuxElement> m_eltQueue;
  bool m_finished = false;
  int64_t m_lastEndOfFileIssue = 0;
  // The kind waits for the first element (input_0 was untyped at Birth); then every element is
  // checked against the type of that first one.
  bool m_kindPending = false;
  bool m_checkElementTypes = false;
  VANTDataType m_elementType;

private:
  /// The kind of a source type (the three tests of Dynamic).
  static uint32_t KindOf(const VANTDataType& type);
  /// A type still of the any-type word: it passes every kind's test and says nothing.
  static bool Untyped(const VANTDataType& type);
  /// Allocates `output` for the decided kind (PCAP and record vectors; the other kind later).
  void AllocateOutput();
  /// Decides the kind from the first element read when input_0 was untyped at Birth.
  void DecideKind(VANTIOElt& element);
  /// Every data input connected with the type of input_0 (word and name1), and every end-of-file
  /// input connected.
  bool InputsConsistent(bool withEndOfFile);
  /// Types `output` like input_0 when every data input agrees, else as any type.
  void TypeOutput();
  /// Erases input index from the schedule and inserts it again under key (lower-bound rule).
  void Rekey(uint32_t index, int64_t key);
  void ProcessPcap(VANTIOElt* element, uint32_t input, int64_t& rekey);
  void ProcessRecords(VANTIOElt* element, uint32_t input, int64_t& rekey);
  void ProcessOther(VANTIOElt* element, uint32_t input, int64_t& rekey);
  void WritePcap(uint64_t minRemaining, uint64_t maxItems, int64_t maxLatency);
  void WriteRecords(uint64_t minRemaining, uint64_t maxItems, int64_t maxLatency);
  void WriteOther(uint64_t minRemaining);
  /// The integer value of one of the record's properties (cached handle).
  int64_t IntegerProperty(VANTProperty*& cache, const char* name);

  VANTOutput* m_output = nullptr;
  VANTOutput* m_endOfFileOutput = nullptr;
  VANTProperty* m_vectorMaxSizeProperty = nullptr;
  VANTProperty* m_vectorMaxLatencyProperty = nullptr;
  VANTProperty* m_flushDelayProperty = nullptr;
};
