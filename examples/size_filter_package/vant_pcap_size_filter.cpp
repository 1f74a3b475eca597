// PcapSizeFilter: a component model that passes on the packets of a PCAP stream whose length on
// the wire is at least `min_size` bytes and drops the others. It sits between a source of PCAP
// elements (a file player, a capture) and whatever reads them (a multiplexer, a recorder):
//
//   input       PCAP elements in        ->  output       PCAP elements out (empty ones are not
//   sent) iEndOfFile  the source's end event  ->  end_of_file  the same event, after the last data
//
// The example of the component author's guide (examples/README.md): one file, the model record,
// its registration, and the life cycle Birth, Cycle, Death.
#include "dataflow/vant_input.h"
#include "dataflow/vant_io_elt.h"
#include "dataflow/vant_output.h"
#include "package/vant_module_management.h"
#include "pcap_component/vant_pcap_component.h"
#include "pcap_stream/vant_pcap_stream.h"
#include "runtime/vant_model_definition.h"
#include "runtime/vant_property.h"
#include "runtime/vant_property_value.h"
#include "util/vant_string.h"

#include <algorithm>
#include <cstdint>

namespace {

// VANTpcap_component gives every element of a PCAP output its own packet buffer; the component
// fills the buffer of the element it writes and publishes the element.
class vant_pcap_size_filter final : public VANTpcap_component {
public:
  vant_pcap_size_filter(const char* name, VANTComponentModelDefinition* record)
      : VANTComponent(name, record), VANTpcap_component(name, record) {
    // The inputs, outputs and properties of the record exist once the base is constructed.
    m_input = Input("input");
    m_endOfFileInput = Input("iEndOfFile");
    m_output = Output("output");
    m_endOfFileOutput = Output("end_of_file");
    m_minSize = Property("min_size");
  }

  // On the component's thread, once per start: check the properties, allocate the output.
  void Birth() override {
    if (m_minSize->Integer() < 0) {
      Error("min_size must be 0 or more", 1, 0); // reports, then ends the start
    }
    m_output->AllocOutputBuffer(VANT::kPcapElementSize, 1); // one packed header per element
    AllocatePcapOutputBuffers(m_output);                    // and a packet buffer behind each
    m_passed = 0;
    m_dropped = 0;
  }

  // Called again and again until the component is stopped. StartReading blocks until one of the
  // inputs has an element (the first listed wins when both have one, so the end event is only
  // taken after every element published before it) and throws when the component is stopped.
  void Cycle() override {
    VANTInput* inputs[2] = {m_input, m_endOfFileInput};
    int32_t which = -1;
    VANTIOElt* element = StartReading(2, inputs, &which);
    if (element == nullptr) {
      return;
    }
    if (which == 0) {
      Filter(*element);
    } else {
      ForwardEndOfFile(*element);
    }
    StopReading(inputs[which]); // the writer upstream may reuse the element now
  }

  // After the last Cycle, on the same thread. The output buffers are released by the base.
  void Death() override {
    VANTStreamedString text;
    text << "passed " << static_cast<unsigned long long>(m_passed) << " packets, dropped "
         << static_cast<unsigned long long>(m_dropped) << " shorter than "
         << static_cast<long long>(m_minSize->Integer()) << " bytes";
    Report(text.Text(), VANT::kInformation, 0);
  }

private:
  void Filter(VANTIOElt& in) {
    const VANTpcap_data_t source = VANT::LoadPcapElement(in.Data());
    // min_size may change while running; a negative value set then counts as 0.
    const auto minSize = static_cast<uint64_t>(std::max<int64_t>(0, m_minSize->Integer()));

    VANTIOElt* out = StartWriting(m_output);
    if (out == nullptr) {
      return;
    }
    VANTpcap_data_t header = VANT::LoadPcapElement(out->Data());
    VANTPcapPacketBuffer* buffer = header.buffer;
    VANTPcapOffsetList* offsets = header.offsetList;
    if (buffer == nullptr || offsets == nullptr) {
      StopWriting(out, true);
      Error("the output element has no packet buffer", 1, 0);
    }
    buffer->used = 0;
    offsets->clear();
    bool first = true;
    try {
      VANT::ForEachPcapPacket(
          source,
          [&](const uint8_t* at, const uint8_t* data, uint32_t) {
            const VANTPcapPacketHeader packet = VANT::LoadPcapHeader(at);
            if (packet.len2 < minSize) {
              ++m_dropped;
              return;
            }
            VANT::AppendPcapPacket(*buffer, *offsets, packet, data);
            if (first) {
              out->Timestamp() = packet.Timestamp(); // an element's time is its first packet's
              first = false;
            }
            ++m_passed;
          },
          [this](const char* message) { ReportPcapError(message); });
    } catch (...) {
      StopWriting(out, true); // never keep an element taken: give it back unpublished
      throw;
    }
    header.tag = 1;
    header.linkType = source.linkType;
    header.packetCount = static_cast<uint16_t>(offsets->size());
    header.packetOffsets = offsets->empty() ? nullptr : offsets->data();
    header.headerSize = VANT::kPcapHeaderSize;
    header.dataSize = buffer->used;
    header.data = buffer->data;
    VANT::StorePcapElement(out->Data(), header);
    out->VectorSize() = VANT::kPcapElementSize;
    StopWriting(out, offsets->empty()); // an element without packets is given back
  }

  void ForwardEndOfFile(VANTIOElt& in) {
    VANTIOElt* out = StartWriting(m_endOfFileOutput);
    if (out == nullptr) {
      return;
    }
    out->Integer64(0) = in.Integer64(0);
    out->Timestamp() = in.Timestamp();
    StopWriting(out, false);
  }

  VANTInput* m_input = nullptr;
  VANTInput* m_endOfFileInput = nullptr;
  VANTOutput* m_output = nullptr;
  VANTOutput* m_endOfFileOutput = nullptr;
  VANTProperty* m_minSize = nullptr;
  uint64_t m_passed = 0;
  uint64_t m_dropped = 0;
};

// ---- The model record: what the engine reads to know the model and create its components.

const VANTPropertyValue kMinSizeDefault{int64_t{0}};

// Inputs and outputs share one namespace per component: "end_of_file" names the output, so the
// input of the end event is "iEndOfFile".
VANTInputDefinition g_inputs[] = {
    {"input", 0, 0, &VANT::PcapStreamFilter(), VANT::NeverSkippingReader, 1},
    {"iEndOfFile", 0, 0, &VANT::Filter::Integer64, VANT::NeverSkippingReader, 1},
    {nullptr, 0, 0, nullptr, 0, 0},
};

// name, reserved, padding, type, buffer size (0: allocated at Birth), FIFO size, subsampling,
// reserved
VANTOutputDefinition g_outputs[] = {
    {"output", 0, 0, {VANT::kPcapStreamFlags, VANT::kPcapStructureName, nullptr}, 0, 16, 1, 1},
    {"end_of_file", 0, 0, {VANT::TypeCode::Integer64, nullptr, nullptr}, 1, 4, 1, 1},
    {nullptr, 0, 0, {0, nullptr, nullptr}, 0, 0, 0, 0},
};

// name, default, extra, needsInit, modifiableAfterStart, readOnly, fixedEnumValues, stringFlags
VANTPropertyDefinition g_properties[] = {
    {"min_size", &kMinSizeDefault, nullptr, 0, 1, 0, 1, 0},
    {nullptr, nullptr, nullptr, 0, 0, 0, 0, 0},
};

VANTActionDefinition g_actions[] = {{nullptr, nullptr, 0, {}}};

VANTModule* CreateFilter(const char* instanceName, VANTComponentModelDefinition* record) {
  return new vant_pcap_size_filter(instanceName, record);
}

VANTModuleBase* CreateFromDefinition(const char* instanceName, void* userData) {
  return CreateFilter(instanceName, static_cast<VANTComponentModelDefinition*>(userData));
}

VANTComponentModelDefinition g_record = {
    "PcapSizeFilter",                                       // modelName
    "1.0.0",                                                // version
    &CreateFilter,                                          // factory
    nullptr,                                                // reserved1
    nullptr,                                                // reserved2
    0,                                                      // destructionStamp
    VANT::kUncountedEntries,                                // inputCount: the host counts
    g_inputs,                                               // inputs
    VANT::kUncountedEntries,                                // outputCount
    0,                                                      //
    g_outputs,                                              // outputs
    VANT::kUncountedEntries,                                // propertyCount
    0,                                                      //
    g_properties,                                           // properties
    VANT::kUncountedEntries,                                // actionCount
    0,                                                      //
    g_actions,                                              // actions
    128,                                                    // priority
    0,                                                      //
    VANT::kThreadedModel,                                   // threadingModels
    1,                                                      // threadedByDefault
    {},                                                     //
    "$!VANT_MODULE!VANTComponent!PcapSizeFilter!$!1.0.0!$", // tag
};

// Registered while the library loads; the registry owns it. VANTGetModulesDefStruct hands the
// record to the engine.
[[maybe_unused]] VANTModuleDefinition* const g_definition = new VANTModuleDefinition(
    "vant_pcap_size_filter", "VANTComponent", &CreateFromDefinition, &g_record);

} // namespace
