// The merge engine of the sorting multiplexer: which input is read next, the three sorted queues,
// the output vectors and the order check. Everything here runs on the component's thread.
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
  switch (m_inputKind) {
  case kPcap:
    return m_pcapQueue.size();
  case kRecords:
    return m_recordQueue.size();
  default:
    return m_eltQueue.size();
  }
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
  if (m_inputKind > kOther) {
    Error(VANT::MuxText::kWentWrong, 1, 0);
  }
  for (const auto& entry : m_schedule) {
    const uint32_t i = entry.second;
    if (i >= m_dataInputs.size()) {
      continue;
    }
    if (m_endOfFile[i].second == 0 && m_endOfFileInputs[i]->DataAvailable()) {
      return static_cast<int32_t>(i);
    }
    if (m_dataInputs[i]->DataAvailable()) {
      return static_cast<int32_t>(i);
    }
  }
  return -1;
}

void vant_sorting_multiplexer::Rekey(uint32_t index, int64_t key) {
  for (auto it = m_schedule.begin(); it != m_schedule.end(); ++it) {
    if (it->second == index) {
      m_schedule.erase(it);
      m_schedule.emplace_hint(m_schedule.lower_bound(key), key, index);
      return;
    }
  }
}

void vant_sorting_multiplexer::ProcessData(VANTIOElt* element, int32_t index) {
  int64_t rekey = 0;
  const auto input = static_cast<uint32_t>(index);
  switch (m_inputKind) {
  case kPcap:
    ProcessPcap(element, input, rekey);
    break;
  case kRecords:
    ProcessRecords(element, input, rekey);
    break;
  default:
    ProcessOther(element, input, rekey);
    break;
  }
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
  VANT::ForEachPcapPacket(
      header,
      [this, input, &rekey](const uint8_t* at, const uint8_t* data, uint32_t inclLen) {
        const VANTPcapPacketHeader h = VANT::LoadPcapHeader(at);
        VANTMuxPacket packet{input,    inclLen,
                             h.len2,   h.tsSec,
                             h.tsUsec, {nullptr, VANTMuxPoolBytes{&m_packetPool, inclLen}}};
        if (inclLen > 0) {
          packet.bytes.reset(static_cast<uint8_t*>(m_packetPool.allocate(inclLen, 1)));
          std::memcpy(packet.bytes.get(), data, inclLen);
        }
        rekey = packet.Timestamp();
        m_pcapQueue.insert(std::move(packet)); // after the packets of equal time and input
      },
      [this](const char* message) { ReportPcapError(message); });
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
  for (int32_t r = 0; r < count; ++r) {
    VANTMuxRecord record;
    std::memcpy(record.bytes, data + static_cast<size_t>(r) * VANT::kRecordSize, VANT::kRecordSize);
    const int64_t t = RecordTimestamp(record.bytes);
    const VANTMuxKey key{t, input};
    m_recordQueue.emplace_hint(m_recordQueue.lower_bound(key), key, record); // before equal keys
    rekey = t;
  }
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
  VANTMuxElement copy;
  copy.size = static_cast<uint32_t>(wide);
  copy.bytes = std::make_shared<uint8_t[]>(copy.size); // zero-filled
  if (element->Serialize(copy.bytes.get(), copy.size) == VANT::kIOEltFailure) {
    Error(VANT::MuxText::kWentWrong, 1, 0);
  }
  const VANTMuxKey key{element->Timestamp(), input};
  m_eltQueue.emplace_hint(m_eltQueue.lower_bound(key), key, std::move(copy)); // before equal keys
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
      text << "The signal with the timestamp " << VANTStreamedString(VANT::DurationText, timestamp)
           << " has wrong order!";
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
  switch (m_inputKind) {
  case kPcap:
    WritePcap(minRemaining, maxItems, maxLatency);
    break;
  case kRecords:
    WriteRecords(minRemaining, maxItems, maxLatency);
    break;
  default:
    WriteOther(minRemaining);
    break;
  }
}

void vant_sorting_multiplexer::WritePcap(uint64_t minRemaining, uint64_t maxItems,
                                         int64_t maxLatency) {
  if (m_pcapQueue.size() <= minRemaining) {
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
    while (m_pcapQueue.size() > minRemaining) {
      auto it = m_pcapQueue.begin();
      const int64_t t = it->Timestamp();
      if (first) {
        firstT = t;
        element->Timestamp() = t;
        first = false;
      }
      if (count >= limit || VANT::Beyond(t, firstT, maxLatency)) {
        break;
      }
      const uint64_t offset = buffer->used;
      uint8_t* at = VANT::EnsureCapacity(*buffer, uint64_t{VANT::kPcapHeaderSize} + it->inclLen);
      offsets->push_back(offset);
      const VANTPcapPacketHeader h{it->inclLen, it->len2, it->tsSec, it->tsUsec};
      std::memcpy(at, &h, sizeof(h));
      if (it->inclLen > 0) {
        std::memcpy(at + VANT::kPcapHeaderSize, it->bytes.get(), it->inclLen);
      }
      CheckOrder(t);
      ++count;
      discard = false;
      m_pcapQueue.erase(it);
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
  if (m_recordQueue.size() <= minRemaining) {
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
  while (m_recordQueue.size() > minRemaining) {
    auto it = m_recordQueue.begin();
    const int64_t t = it->first.first;
    if (first) {
      firstT = t;
      element->Timestamp() = t;
      first = false;
    }
    if (count >= limit || VANT::Beyond(t, firstT, maxLatency)) {
      break;
    }
    CheckOrder(t);
    std::memcpy(records + static_cast<size_t>(count) * VANT::kRecordSize, it->second.bytes,
                VANT::kRecordSize);
    ++count;
    discard = false;
    m_recordQueue.erase(it);
  }
  element->VectorSize() = static_cast<int32_t>(count);
  StopWriting(element, discard);
}

void vant_sorting_multiplexer::WriteOther(uint64_t minRemaining) {
  while (m_eltQueue.size() > minRemaining) {
    auto it = m_eltQueue.begin();
    VANTIOElt* element = StartWriting(m_output);
    if (element == nullptr) {
      return;
    }
    const uint32_t read = element->Deserialize(it->second.bytes.get(), it->second.size, false);
    m_eltQueue.erase(it);
    // A record that does not fit the output element is reported by Deserialize; the element
    // then goes back unpublished rather than half filled.
    StopWriting(element, read == VANT::kIOEltFailure);
  }
}

void vant_sorting_multiplexer::Flush() {
  Report(VANT::MuxText::kFlushing, VANT::kInformation, 0);
  if (m_inputKind == kPcap || m_inputKind == kRecords) {
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
