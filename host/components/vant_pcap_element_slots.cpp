#include "host/components/vant_pcap_element_slots.h"

#include "dataflow/vant_io_elt.h"
#include "dataflow/vant_io_monitor.h"
#include "dataflow/vant_output.h"
#include "pcap_stream/vant_pcap_stream.h"
#include "runtime/vant_component.h"

#include <new>

void VANTPcapElementSlots::HandOver(VANTComponent& owner) noexcept {
  if (!m_slots || m_slots->empty()) {
    m_slots.reset();
    return;
  }
  try {
    const std::shared_ptr<void> kept = m_slots; // on failure the buffers stay here
    owner.ReleaseWithOutputs(kept);
    m_slots.reset();
  } catch (...) {
    // No memory for the hand-over: the buffers stay until the owner goes, which disconnects
    // every reader first.
  }
}

bool VANTPcapElementSlots::Allocate(VANTComponent& owner, VANTOutput* output, uint32_t linkType) {
  HandOver(owner);
  if (m_slots) {
    throw std::bad_alloc(); // no memory for the hand-over; never new buffers in their place
  }
  m_slots = std::make_shared<SlotList>();
  output->AllocOutputBuffer(VANT::kPcapElementSize, 1);
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
    slot->buffer = VANT::NewPcapPacketBuffer();
    m_slots->push_back(std::move(slot));
    Slot& stored = *m_slots->back();
    VANTpcap_data_t header{};
    header.tag = 1;
    header.linkType = linkType;
    header.headerSize = VANT::kPcapHeaderSize;
    header.data = stored.buffer->data;
    header.buffer = stored.buffer.get();
    header.offsetList = &stored.offsets;
    VANT::StorePcapElement(element->Data(), header);
  }
  return true;
}

bool VANTPcapElementSlots::Begin(VANTIOElt* element) {
  const VANTpcap_data_t header = VANT::LoadPcapElement(element->Data());
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
  const VANTPcapPacketHeader header{inclLen, origLen, static_cast<uint64_t>(tsSec),
                                    static_cast<uint64_t>(tsUsec)};
  VANT::AppendPcapPacket(*m_buffer, *m_offsets, header, data);
  ++m_count;
}

void VANTPcapElementSlots::Finish(VANTIOElt* element, uint32_t linkType, int64_t timestamp) {
  VANTpcap_data_t header = VANT::LoadPcapElement(element->Data());
  header.tag = 1;
  header.linkType = linkType;
  header.packetCount = static_cast<uint16_t>(m_count);
  header.packetOffsets = m_offsets->empty() ? nullptr : m_offsets->data();
  header.headerSize = VANT::kPcapHeaderSize;
  header.dataSize = m_buffer->used;
  header.data = m_buffer->data;
  VANT::StorePcapElement(element->Data(), header);
  element->VectorSize() = VANT::kPcapElementSize;
  element->Timestamp() = timestamp;
}
