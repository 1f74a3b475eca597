// The merge engine of the sorting multiplexer: which input is read next, the sorted queue, the
// output vectors and the order check. Everything here runs on the component's thread.
#include "component/vant_sorting_multiplexer.h"
#include "dataflow/vant_input.h"
#include "dataflow/vant_io_elt.h"
#include "dataflow/vant_output.h"
#include "runtime/vant_property.h"
#include "util/vant_string.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace {

int64_t RecordTimestamp(const uint8_t* record) noexcept {
  int64_t t;
  std::memcpy(&t, record + 8, sizeof(t));
  return t;
}

} // namespace

size_t vant_sorting_multiplexer::QueuedItems() const noexcept {
  return m_queue.Size();
}

std::vector<int32_t> vant_sorting_multiplexer::ScheduleOrder() const {
  std::vector<int32_t> order;
  for (const auto& entry : m_schedule) {
    order.push_back(static_cast<int32_t>(entry.second));
  }
  return order;
}

void vant_sorting_multiplexer::ReadParams() {
  const int64_t size = IntegerProperty(m_vectorMaxSizeProperty, "vector_max_size");
  if (size < 1) {
    Error(VANT::MuxText::kVectorMaxSize, 1, 0);
  }
  m_vectorMaxSize = size > std::numeric_limits<int32_t>::max() ? std::numeric_limits<int32_t>::max()
                                                               : static_cast<int32_t>(size);
  const int64_t latency = IntegerProperty(m_vectorMaxLatencyProperty, "vector_max_latency");
  if (latency < 1000) {
    Error(VANT::MuxText::kVectorMaxLatency, 1, 0);
  }
  m_vectorMaxLatency = latency;
}

int32_t vant_sorting_multiplexer::SelectInput() {
  const auto available = [this](uint32_t i) {
    return i < m_dataInputs.size() &&
           ((m_endOfFile[i].second == 0 && m_endOfFileInputs[i]->DataAvailable()) ||
            m_dataInputs[i]->DataAvailable());
  };
  auto found = m_schedule.begin();
  while (found != m_schedule.end() && !available(found->second)) {
    ++found;
  }
  if (found == m_schedule.end()) {
    return -1;
  }
  // The look takes time: an input before the one found may have been given an element since it
  // was looked at, one that its writer published before the element found (writers that keep
  // the schedule's order, such as live captures taking turns, publish in time order). Everything
  // published before the element found is visible now: a second look up to it takes the first.
  for (auto again = m_schedule.begin(); again != found; ++again) {
    if (available(again->second)) {
      return static_cast<int32_t>(again->second);
    }
  }
  return static_cast<int32_t>(found->second);
}

void vant_sorting_multiplexer::Rekey(uint32_t index, int64_t key) {
  for (auto it = m_schedule.begin(); it != m_schedule.end(); ++it) {
    if (it->second == index) {
      // The node moves with its new key: no allocation per element read.
      auto node = m_schedule.extract(it);
      if (node.empty()) {
        return; // not reached: `it` was an element
      }
      node.key() = key;
      m_schedule.insert(m_schedule.lower_bound(key), std::move(node)); // before equal keys
      return;
    }
  }
}

void vant_sorting_multiplexer::ProcessData(VANTIOElt* element, int32_t index) {
  int64_t rekey = 0;
  (this->*m_kind->process)(element, static_cast<uint32_t>(index), rekey);
  Rekey(static_cast<uint32_t>(index), rekey);
}

void vant_sorting_multiplexer::ProcessPcap(VANTIOElt* element, uint32_t input, int64_t& rekey) {
  if (element->Data() == nullptr || element->BufferSize() < VANT::kPcapElementSize) {
    ReportPcapError(VANT::MuxText::kPcapNoHeader); // no header to read
  }
  const VANTpcap_data_t header = VANT::LoadPcapElement(element->Data());
  if (m_outputLinkType == 0) {
    m_outputLinkType = header.linkType;
  } else if (header.linkType != m_outputLinkType) {
    Error(VANT::MuxText::kLinkTypes, 1, 0);
  }
  m_queue.Begin(input);
  VANT::ForEachPcapPacket(
      header,
      [this, &rekey](const uint8_t* at, const uint8_t* data, uint32_t inclLen) {
        const VANTPcapPacketHeader h = VANT::LoadPcapHeader(at);
        m_queue.Add(h.tsSec, h.tsUsec, data, inclLen, h.len2);
        rekey = h.Timestamp();
      },
      [this](const char* message) {
        m_queue.End(); // the packets before the fault stay queued
        ReportPcapError(message);
      });
  m_queue.End();
}

void vant_sorting_multiplexer::ProcessRecords(VANTIOElt* element, uint32_t input, int64_t& rekey) {
  const auto* data = static_cast<const uint8_t*>(element->Data());
  int32_t count = element->VectorSize();
  if (data == nullptr || count <= 0) {
    return;
  }
  // Never past the element's data block, whatever its vector size says.
  if (element->BufferSize() >= 0) {
    count = std::min(count, element->BufferSize());
  }
  m_queue.Begin(input);
  for (int32_t r = 0; r < count; ++r) {
    const uint8_t* record = data + static_cast<size_t>(r) * VANT::kRecordSize;
    const int64_t t = RecordTimestamp(record);
    m_queue.Add(VANTMuxQueue::SignedKey(t), 0, record, VANT::kRecordSize, 0);
    rekey = t;
  }
  m_queue.End();
}

void vant_sorting_multiplexer::ProcessOther(VANTIOElt* element, uint32_t input, int64_t& rekey) {
  rekey = element->Timestamp();
  const uint32_t allocated = element->AllocatedDataSize();
  const uint32_t needed = element->Serialize(nullptr, 25);
  const uint32_t used = element->UsedDataSize();
  if (allocated == VANT::kIOEltFailure || needed == VANT::kIOEltFailure ||
      used == VANT::kIOEltFailure) {
    Error(VANT::MuxText::kWentWrong, 1, 0); // a type this component cannot copy
  }
  const uint64_t wide = uint64_t{allocated} + needed - std::min<uint64_t>(used, needed);
  if (wide >= VANT::kIOEltFailure) {
    Error(VANT::MuxText::kWentWrong, 1, 0);
  }
  const auto size = static_cast<uint32_t>(wide);
  m_serialised.assign(size, 0); // zero-filled; keeps its capacity from element to element
  if (element->Serialize(m_serialised.data(), size) == VANT::kIOEltFailure) {
    Error(VANT::MuxText::kWentWrong, 1, 0);
  }
  m_queue.Begin(input);
  m_queue.Add(VANTMuxQueue::SignedKey(element->Timestamp()), 0, m_serialised.data(), size, 0);
  m_queue.End();
}

void vant_sorting_multiplexer::CheckOrder(int64_t timestamp) {
  if (m_lastWrittenTimestamp != std::numeric_limits<int64_t>::min()) {
    int64_t d = 0;
    if (__builtin_sub_overflow(timestamp, m_lastWrittenTimestamp, &d)) {
      d = timestamp < m_lastWrittenTimestamp ? std::numeric_limits<int64_t>::min()
                                             : std::numeric_limits<int64_t>::max();
    }
    if (d < 0) {
      ++m_wrongOrderCount;
      VANTStreamedString text;
      text << VANT::MuxText::kWrongOrderHead << VANTStreamedString(VANT::DurationText, timestamp)
           << VANT::MuxText::kWrongOrderTail;
      Report(text.Text(), VANT::kError, 0);
      if (d < m_maxTimeJump) {
        m_maxTimeJump = d;
      }
    }
  }
  m_lastWrittenTimestamp = timestamp;
}

void vant_sorting_multiplexer::WriteSorted(uint64_t minRemaining, uint64_t maxItems,
                                           int64_t maxLatency) {
  (this->*m_kind->write)(minRemaining, maxItems, maxLatency);
}

void vant_sorting_multiplexer::WritePcap(uint64_t minRemaining, uint64_t maxItems,
                                         int64_t maxLatency) {
  if (m_queue.Size() <= minRemaining) {
    return; // nothing to release: the element would be discarded anyway
  }
  VANTIOElt* element = StartWriting(m_output);
  if (element == nullptr) {
    return;
  }
  element->Timestamp() = 0;
  element->VectorSize() = VANT::kPcapElementSize;
  VANTpcap_data_t header{};
  if (element->Data() != nullptr) {
    header = VANT::LoadPcapElement(element->Data());
  }
  VANTPcapPacketBuffer* buffer = header.buffer;
  VANTPcapOffsetList* offsets = header.offsetList;
  if (buffer == nullptr || offsets == nullptr) {
    StopWriting(element, true);
    Error(VANT::MuxText::kWentWrong, 1, 0); // the output has no packet buffers
  }
  header.tag = 1;
  header.linkType = m_outputLinkType;
  header.headerSize = VANT::kPcapHeaderSize;
  buffer->used = 0;
  offsets->clear();

  // The 16-bit packet count of the header is the hard limit of one element.
  const uint64_t limit = std::min<uint64_t>(maxItems, VANT::kPcapMaxPacketsPerElement);
  uint32_t count = 0;
  bool discard = true;
  bool first = true;
  int64_t firstT = 0;
  try {
    while (m_queue.Size() > minRemaining) {
      const VANTMuxEntry& packet = m_queue.Front();
      const VANTPcapPacketHeader h{packet.size, packet.extra, packet.key1, packet.key2};
      const int64_t t = h.Timestamp();
      if (first) {
        firstT = t;
        element->Timestamp() = t;
        first = false;
      }
      if (count >= limit || VANT::Beyond(t, firstT, maxLatency)) {
        break;
      }
      VANT::AppendPcapPacket(*buffer, *offsets, h, packet.bytes);
      CheckOrder(t);
      ++count;
      discard = false;
      m_queue.Pop();
    }
  } catch (...) {
    // The packet that did not fit stays queued; what was packed goes out.
    header.packetCount = static_cast<uint16_t>(offsets->size());
    header.packetOffsets = offsets->empty() ? nullptr : offsets->data();
    header.data = buffer->data;
    header.dataSize = offsets->empty() ? 0 : buffer->used;
    VANT::StorePcapElement(element->Data(), header);
    StopWriting(element, offsets->empty());
    throw;
  }
  header.packetCount = static_cast<uint16_t>(count);
  header.packetOffsets = offsets->empty() ? nullptr : offsets->data();
  header.data = buffer->data;
  header.dataSize = buffer->used;
  VANT::StorePcapElement(element->Data(), header);
  StopWriting(element, discard);
}

void vant_sorting_multiplexer::WriteRecords(uint64_t minRemaining, uint64_t maxItems,
                                            int64_t maxLatency) {
  if (m_queue.Size() <= minRemaining) {
    return;
  }
  VANTIOElt* element = StartWriting(m_output);
  if (element == nullptr) {
    return;
  }
  auto* records = static_cast<uint8_t*>(element->Data());
  const int32_t capacity = records == nullptr ? 0 : std::max(element->BufferSize(), 0);
  const uint64_t limit = std::min<uint64_t>(maxItems, static_cast<uint64_t>(capacity));
  uint32_t count = 0;
  bool discard = true;
  bool first = true;
  int64_t firstT = 0;
  while (m_queue.Size() > minRemaining) {
    const VANTMuxEntry& record = m_queue.Front();
    const int64_t t = VANTMuxQueue::FromSignedKey(record.key1);
    if (first) {
      firstT = t;
      element->Timestamp() = t;
      first = false;
    }
    if (count >= limit || VANT::Beyond(t, firstT, maxLatency)) {
      break;
    }
    CheckOrder(t);
    std::memcpy(records + static_cast<size_t>(count) * VANT::kRecordSize, record.bytes,
                VANT::kRecordSize);
    ++count;
    discard = false;
    m_queue.Pop();
  }
  element->VectorSize() = static_cast<int32_t>(count);
  StopWriting(element, discard);
}

void vant_sorting_multiplexer::WriteOther(uint64_t minRemaining, uint64_t /*maxItems*/,
                                          int64_t /*maxLatency*/) {
  while (m_queue.Size() > minRemaining) {
    const VANTMuxEntry& item = m_queue.Front();
    VANTIOElt* element = StartWriting(m_output);
    if (element == nullptr) {
      return;
    }
    const uint32_t read = element->Deserialize(item.bytes, item.size, false);
    m_queue.Pop();
    // A record that does not fit the output element is reported by Deserialize; the element
    // then goes back unpublished rather than half filled.
    StopWriting(element, read == VANT::kIOEltFailure);
  }
}

void vant_sorting_multiplexer::Flush() {
  Report(VANT::MuxText::kFlushing, VANT::kInformation, 0);
  if (m_kind->vectors) {
    const auto maxItems = static_cast<uint64_t>(m_vectorMaxSize);
    size_t before = QueuedItems();
    while (before > 0) {
      WriteSorted(0, maxItems, m_vectorMaxLatency);
      const size_t after = QueuedItems();
      if (after >= before) {
        break; // the writer gave up (its wait was aborted): nothing more can go out
      }
      before = after;
    }
  } else {
    WriteSorted(0, 1, 0);
  }
  Report(VANT::MuxText::kFinished, VANT::kInformation, 0);
}

// ---- The input kinds ---------------------------------------------------------------------------

// Packets leave in the order read within one input (a capture keeps its order); records and
// other elements newest first.
const vant_sorting_multiplexer::Kind vant_sorting_multiplexer::kPcapKind{
    kPcap,
    true,
    VANTMuxQueue::Ties::kOldestFirst,
    &vant_sorting_multiplexer::ProcessPcap,
    &vant_sorting_multiplexer::WritePcap,
    &vant_sorting_multiplexer::AllocatePcapOutput,
    &vant_sorting_multiplexer::ReleasePcapOutput};
const vant_sorting_multiplexer::Kind vant_sorting_multiplexer::kRecordKind{
    kRecords,
    true,
    VANTMuxQueue::Ties::kNewestFirst,
    &vant_sorting_multiplexer::ProcessRecords,
    &vant_sorting_multiplexer::WriteRecords,
    &vant_sorting_multiplexer::AllocateRecordOutput,
    &vant_sorting_multiplexer::AllocateNothing};
const vant_sorting_multiplexer::Kind vant_sorting_multiplexer::kOtherKind{
    kOther,
    false,
    VANTMuxQueue::Ties::kNewestFirst,
    &vant_sorting_multiplexer::ProcessOther,
    &vant_sorting_multiplexer::WriteOther,
    &vant_sorting_multiplexer::AllocateNothing,
    &vant_sorting_multiplexer::AllocateNothing};
