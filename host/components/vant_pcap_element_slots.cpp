#include "host/components/vant_pcap_element_slots.h"

#include "dataflow/vant_io_elt.h"
#include "dataflow/vant_io_monitor.h"
#include "dataflow/vant_output.h"

#include <cstring>

namespace {

VANTpcap_data_t LoadHeader(VANTIOElt* element) {
  VANTpcap_data_t header;
  std::memcpy(&header, element->Data(), sizeof(header));
  return header;
}

void StoreHeader(VANTIOElt* element, const VANTpcap_data_t& header) {
  std::memcpy(element->Data(), &header, sizeof(header));
}

} // namespace

bool VANTPcapElementSlots::Allocate(VANTOutput* output, uint32_t linkType) {
  Free();
  output->AllocOutputBuffer(static_cast<int32_t>(sizeof(VANTpcap_data_t)), 1);
  VANTIOMonitor* monitor = output->Monitor();
  if (monitor == nullptr) {
    return false;
  }
  // Right after the allocation no element is in use: every one of them gets a buffer.
  VANTFastIOItem* position = nullptr;
  for (VANTFastIOItem* item = monitor->First(&position); item != nullptr;
       item = monitor->Next(&position)) {
    VANTIOElt* element = monitor->ElementOf(item);
    auto slot = std::make_unique<Slot>();
    slot->buffer.reset(VANT::NewPcapPacketBuffer());
    m_slots.push_back(std::move(slot));
    Slot& stored = *m_slots.back();
    VANTpcap_data_t header{};
    header.tag = 1;
    header.linkType = linkType;
    header.headerSize = VANT::kPcapHeaderSize;
    header.data = stored.buffer->data;
    header.buffer = stored.buffer.get();
    header.offsetList = &stored.offsets;
    StoreHeader(element, header);
  }
  return true;
}

bool VANTPcapElementSlots::Begin(VANTIOElt* element) {
  const VANTpcap_data_t header = LoadHeader(element);
  m_buffer = header.buffer;
  m_offsets = header.offsetList;
  m_count = 0;
  if (m_buffer == nullptr || m_offsets == nullptr) {
    return false;
  }
  m_buffer->used = 0;
  m_offsets->clear();
  return true;
}

void VANTPcapElementSlots::Append(int64_t tsSec, int64_t tsUsec, uint32_t inclLen, uint32_t origLen,
                                  const uint8_t* data) {
  m_offsets->push_back(m_buffer->used);
  uint8_t* at = VANT::EnsureCapacity(*m_buffer, VANT::kPcapHeaderSize + uint64_t{inclLen});
  VANTPcapPacketHeader header;
  header.inclLen = inclLen;
  header.len2 = origLen;
  header.tsSec = static_cast<uint64_t>(tsSec);
  header.tsUsec = static_cast<uint64_t>(tsUsec);
  std::memcpy(at, &header, sizeof(header));
  if (inclLen != 0) {
    std::memcpy(at + VANT::kPcapHeaderSize, data, inclLen);
  }
  ++m_count;
}

void VANTPcapElementSlots::Finish(VANTIOElt* element, uint32_t linkType, int64_t timestamp) {
  VANTpcap_data_t header = LoadHeader(element);
  header.tag = 1;
  header.linkType = linkType;
  header.packetCount = static_cast<uint16_t>(m_count);
  header.packetOffsets = m_offsets->empty() ? nullptr : m_offsets->data();
  header.headerSize = VANT::kPcapHeaderSize;
  header.dataSize = m_buffer->used;
  header.data = m_buffer->data;
  StoreHeader(element, header);
  element->VectorSize() = static_cast<int32_t>(sizeof(VANTpcap_data_t));
  element->Timestamp() = timestamp;
}
