#include "pcap_component/vant_pcap_component.h"

#include "dataflow/vant_io_elt.h"
#include "dataflow/vant_io_monitor.h"
#include "dataflow/vant_output.h"
#include "util/vant_exceptions.h"

#include <memory>

namespace {

// The packet buffers and offset lists of one allocation, freed together once no reader holds an
// element that points into them.
struct PcapBuffers {
  std::vector<std::unique_ptr<VANTPcapPacketBuffer>> buffers;
  std::vector<std::unique_ptr<VANTPcapOffsetList>> offsets;
};

} // namespace

VANTpcap_component::VANTpcap_component(const char* name, VANTComponentModelDefinition* record)
    : VANTComponent(name, record) {}

VANTpcap_component::~VANTpcap_component() {
  try {
    HandOverBuffers();
  } catch (...) {
    // No memory to hand them over: they are freed with the component (its outputs are released
    // by now, and no reader can hold one of their elements any more).
  }
}

void VANTpcap_component::HandOverBuffers() {
  if (m_outputBuffers.empty() && m_packetOffsets.empty()) {
    return;
  }
  auto buffers = std::make_shared<PcapBuffers>();
  buffers->buffers.swap(m_outputBuffers);
  buffers->offsets.swap(m_packetOffsets);
  ReleaseWithOutputs(buffers);
}

void VANTpcap_component::ReportPcapError(const char* message) {
  Error(message, 1, 0);
  throw VANT::ErrorException; // not reached: Error never returns
}

void VANTpcap_component::AllocatePcapOutputBuffers(VANTOutput* output) {
  // FreePcapOutputBuffers handed the last allocation's entries over; any still here go the same
  // way, since elements of an earlier block may still point into them.
  HandOverBuffers();
  try {
    const int32_t slots = output->FreeSlotCount();
    m_packetOffsets.reserve(slots > 0 ? static_cast<size_t>(slots) : 0);
    for (int32_t k = 0; k < slots; ++k) {
      m_packetOffsets.push_back(std::make_unique<VANTPcapOffsetList>());
    }
    VANTIOMonitor* monitor = output->Monitor();
    if (monitor == nullptr) {
      return;
    }
    VANTFastIOItem* position = nullptr;
    size_t k = 0;
    for (VANTFastIOItem* item = monitor->First(&position); item != nullptr;
         item = monitor->Next(&position), ++k) {
      VANTIOElt* element = monitor->ElementOf(item);
      if (element == nullptr || element->Data() == nullptr) {
        continue;
      }
      while (k >= m_packetOffsets.size()) {
        m_packetOffsets.push_back(std::make_unique<VANTPcapOffsetList>());
      }
      VANTpcap_data_t header = VANT::LoadPcapElement(element->Data());
      header.tag = 1;
      header.packetCount = 0;
      header.packetOffsets = nullptr;
      header.offsetList = m_packetOffsets[k].get();
      header.headerSize = VANT::kPcapHeaderSize;
      header.dataSize = 0;
      m_outputBuffers.push_back(VANT::NewPcapPacketBuffer());
      header.data = m_outputBuffers.back()->data;
      header.buffer = m_outputBuffers.back().get();
      VANT::StorePcapElement(element->Data(), header);
    }
  } catch (...) {
    m_outputBuffers.clear();
    throw;
  }
}

void VANTpcap_component::FreePcapOutputBuffers() {
  // Readers downstream may still hold elements that point into these buffers: the outputs keep
  // them until the last of those readers lets go.
  HandOverBuffers();
  VANTComponent::ReleaseOutputs();
}
