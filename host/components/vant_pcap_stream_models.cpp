#include "host/components/vant_pcap_stream_models.h"

#include "dataflow/vant_input.h"
#include "host/components/vant_pcap_file_player.h"
#include "host/components/vant_pcap_file_recorder.h"
#include "host/components/vant_pcap_live_capture.h"
#include "runtime/vant_model_definition.h"

#include <iterator>

namespace VANT {
namespace {

// Small FIFOs: each element of a player holds up to a few hundred kilobytes of packets, and the
// multiplexer keeps its own reorder buffer anyway.
constexpr int32_t kPlayerFifoSize = 8;
constexpr int32_t kEndOfFileFifoSize = 2;

VANTModule* MakePlayer(const char* name, VANTComponentModelDefinition* record) {
  return new vant_pcap_file_player(name, record);
}

VANTModule* MakeLiveCapture(const char* name, VANTComponentModelDefinition* record) {
  return new vant_pcap_live_capture(name, record);
}

VANTModule* MakeRecorder(const char* name, VANTComponentModelDefinition* record) {
  return new vant_pcap_file_recorder(name, record);
}

// The player and the live capture allocate their PCAP output themselves at Birth (one 49-byte
// header per element), so the start allocates nothing there (buffer size 0).
VANTOutputDefinition g_playerOutputs[] = {
    {"output", 0, 0, {kPcapStreamFlags, kPcapStructureName, nullptr}, 0, kPlayerFifoSize, 1, 1},
    {"end_of_file", 0, 0, {TypeCode::Integer64, nullptr, nullptr}, 1, kEndOfFileFifoSize, 1, 1},
    {nullptr, 0, 0, {0, nullptr, nullptr}, 0, 0, 0, 0},
};

VANTInputDefinition g_recorderInputs[] = {
    {"input", 0, 0, &PcapStreamFilter(), NeverSkippingReader, 1},
    {"end_of_file", 0, 0, &Filter::Integer64, NeverSkippingReader, 1},
    {nullptr, 0, 0, nullptr, 0, 0},
};

VANTComponentModelDefinition MakeRecord(const char* model, VANTComponentFactory factory) {
  VANTComponentModelDefinition record{};
  record.modelName = model;
  record.version = "1.0.0";
  record.factory = factory;
  record.destructionStamp = 1;
  record.inputCount = kUncountedEntries;
  record.outputCount = kUncountedEntries;
  record.propertyCount = kUncountedEntries;
  record.actionCount = kUncountedEntries;
  record.priority = 128;
  record.threadingModels = kThreadedModel;
  record.threadedByDefault = 1;
  return record;
}

VANTComponentModelDefinition& PlayerRecord() {
  static VANTComponentModelDefinition record = [] {
    VANTComponentModelDefinition made = MakeRecord(kPcapFilePlayerModel, &MakePlayer);
    made.outputs = g_playerOutputs;
    return made;
  }();
  return record;
}

VANTComponentModelDefinition& LiveCaptureRecord() {
  static VANTComponentModelDefinition record = [] {
    VANTComponentModelDefinition made = MakeRecord(kPcapLiveCaptureModel, &MakeLiveCapture);
    made.outputs = g_playerOutputs;
    return made;
  }();
  return record;
}

VANTComponentModelDefinition& RecorderRecord() {
  static VANTComponentModelDefinition record = [] {
    VANTComponentModelDefinition made = MakeRecord(kPcapFileRecorderModel, &MakeRecorder);
    made.inputs = g_recorderInputs;
    return made;
  }();
  return record;
}

} // namespace

int32_t PcapStreamModels(const char* groupName, void** out, int32_t maxCount) {
  if (groupName != nullptr) {
    return out == nullptr ? -1 : 0;
  }
  VANTComponentModelDefinition* const records[] = {&PlayerRecord(), &RecorderRecord(),
                                                   &LiveCaptureRecord()};
  if (out == nullptr) {
    return static_cast<int32_t>(std::size(records));
  }
  int32_t written = 0;
  for (VANTComponentModelDefinition* record : records) {
    if (written < maxCount) {
      out[written++] = record;
    }
  }
  return written;
}

} // namespace VANT
