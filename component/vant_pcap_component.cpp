#include "component/vant_pcap_component.h"

#include "dataflow/vant_io_elt.h"
#include "dataflow/vant_io_monitor.h"
#include "dataflow/vant_output.h"
#include "util/vant_exceptions.h"

#include <memory>

namespace {

// The packet buffers and offset lists of one allocation, freed together.
struct PcapBuffers {
  std::vector<VANTPcapPacketBuffer*> buffers;
  std::vector<VANTPcapOffsetList*> offsets;
  PcapBuffers() = default;
  PcapBuffers(const PcapBuffers&) = delete;
  PcapBuffers& operator=(const PcapBuffers&) = delete;
  ~PcapBuffers() {
    for (VANTPcapPacketBuffer* buffer : buffers) {
      delete buffer;
    }
    for (VANTPcapOffsetList* list : offsets) {
      delete list;
    }
  }
};

} // namespace

VANTpcap_component::VANTpcap_component(const char* name, VANTComponentModelDefinition* record)
    : VANTComponent(name, record) {}

VANTpcap_component::~VANTpcap_component() {
  try {
    HandOverBuffers();
  } catch (...) {
    // No memory to hand them over: nothing can hold them any more without the outputs' help.
    for (VANTPcapPacketBuffer* buffer : m_outputBuffers) {
      delete buffer;
    }
    m_outputBuffers.clear();
    DropOffsetLists();
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

void VANTpcap_component::DropOffsetLists() noexcept {
  for (VANTPcapOffsetList* list : m_packetOffsets) {
    delete list;
  }
  m_packetOffsets.clear();
}

void VANTpcap_component::AllocatePcapOutputBuffers(VANTOutput* output) {
  // The entries were freed by the last FreePcapOutputBuffers; forget whatever is left.
  m_outputBuffers.clear();
  DropOffsetLists();
  try {
    const int32_t slots = output->FreeSlotCount();
    m_packetOffsets.reserve(slots > 0 ? static_cast<size_t>(slots) : 0);
    for (int32_t k = 0; k < slots; ++k) {
      m_packetOffsets.push_back(new VANTPcapOffsetList());
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
        m_packetOffsets.push_back(new VANTPcapOffsetList());
      }
      VANTpcap_data_t header = VANT::LoadPcapElement(element->Data());
      header.tag = 1;
      header.packetCount = 0;
      header.packetOffsets = nullptr;
      header.offsetList = m_packetOffsets[k];
      header.headerSize = VANT::kPcapHeaderSize;
      header.dataSize = 0;
      VANTPcapPacketBuffer* buffer = VANT::NewPcapPacketBuffer();
      m_outputBuffers.push_back(buffer);
      header.data = buffer->data;
      header.buffer = buffer;
      VANT::StorePcapElement(element->Data(), header);
    }
  } catch (...) {
    for (VANTPcapPacketBuffer* buffer : m_outputBuffers) {
      delete buffer;
    }
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
