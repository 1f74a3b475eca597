#include "host/components/vant_pcap_file_recorder.h"

#include "dataflow/vant_input.h"
#include "dataflow/vant_io_elt.h"
#include "util/vant_exceptions.h"

#include <cstring>

vant_pcap_file_recorder::vant_pcap_file_recorder(const char* name,
                                                 VANTComponentModelDefinition* record)
    : VANTComponent(name, record) {
  m_data = Input("input");
  m_endOfFile = Input("end_of_file");
}

vant_pcap_file_recorder::~vant_pcap_file_recorder() = default;

void vant_pcap_file_recorder::Configure(const std::string& path, uint32_t linkType,
                                        uint32_t snapLength) {
  m_path = path;
  m_linkType = linkType;
  m_snapLength = snapLength;
}

std::string vant_pcap_file_recorder::FailureText() const {
  std::lock_guard<std::mutex> lock(m_failureMutex);
  return m_failureText;
}

void vant_pcap_file_recorder::Fail(const std::string& text) {
  {
    std::lock_guard<std::mutex> lock(m_failureMutex);
    m_failureText = text;
  }
  m_failed.store(true, std::memory_order_release);
  Error(text.c_str(), 1, 0);
  throw VANT::ErrorException; // not reached: Error throws it itself
}

void vant_pcap_file_recorder::Birth() {
  m_packets.store(0, std::memory_order_relaxed);
  m_bytes.store(0, std::memory_order_relaxed);
  m_outOfOrder.store(0, std::memory_order_relaxed);
  m_finished.store(false, std::memory_order_release);
  m_failed.store(false, std::memory_order_release);
  m_lastTimestamp = 0;
  m_anyWritten = false;
  if (m_path.empty()) {
    Fail("no capture file to write");
  }
  m_writer = std::make_unique<VANTPcapCaptureWriter>();
  if (!m_writer->Open(m_path, m_linkType, m_snapLength)) {
    Fail(m_writer->Error());
  }
}

void vant_pcap_file_recorder::Cycle() {
  if (m_finished.load(std::memory_order_relaxed)) {
    Wait4Event(&m_never, -1); // ends with the stop exception
    return;
  }
  // The data input first: when both have something, the data wins, so the end-of-file event is
  // only taken once everything published before it has been written.
  VANTInput* inputs[2] = {m_data, m_endOfFile};
  int32_t index = -1;
  VANTIOElt* element = StartReading(2, inputs, &index);
  if (element == nullptr) {
    return;
  }
  if (index == 0) {
    WriteElement(element);
  } else if (index == 1) {
    Finish();
  }
}

void vant_pcap_file_recorder::WriteElement(VANTIOElt* element) {
  if (element->Data() == nullptr) {
    Fail("an element of the stream has no data");
  }
  VANTpcap_data_t header;
  std::memcpy(&header, element->Data(), sizeof(header));
  if (header.linkType != 0 && header.linkType != m_linkType) {
    Fail(m_path + ": the stream's link type " + std::to_string(header.linkType) +
         " differs from the file's (" + std::to_string(m_linkType) + ")");
  }
  uint64_t packets = 0;
  uint64_t bytes = 0;
  uint64_t late = 0;
  bool writeFailed = false;
  VANT::ForEachPcapPacket(
      header,
      [&](const uint8_t* at, const uint8_t* data, uint32_t inclLen) {
        if (writeFailed) {
          return;
        }
        const VANTPcapPacketHeader packet = VANT::LoadPcapHeader(at);
        const int64_t timestamp = packet.Timestamp();
        if (m_anyWritten && timestamp < m_lastTimestamp) {
          ++late;
        }
        m_lastTimestamp = timestamp;
        m_anyWritten = true;
        if (!m_writer->Write(static_cast<int64_t>(packet.tsSec),
                             static_cast<int64_t>(packet.tsUsec), inclLen, packet.len2, data)) {
          writeFailed = true;
          return;
        }
        ++packets;
        bytes += inclLen;
      },
      [this](const char* message) { Fail(message); });
  m_packets.fetch_add(packets, std::memory_order_relaxed);
  m_bytes.fetch_add(bytes, std::memory_order_relaxed);
  m_outOfOrder.fetch_add(late, std::memory_order_relaxed);
  if (writeFailed) {
    Fail(m_writer->Error());
  }
}

void vant_pcap_file_recorder::Finish() {
  // Let go of both inputs at once: the writer upstream waits until nothing of its is held.
  StopReading(m_data);
  StopReading(m_endOfFile);
  if (m_writer && !m_writer->Close()) {
    Fail(m_writer->Error());
  }
  m_finished.store(true, std::memory_order_release);
}

void vant_pcap_file_recorder::Death() {
  // Stopped before the end of the stream: what was written is closed as a valid capture.
  if (m_writer) {
    (void)m_writer->Close();
    m_writer.reset();
  }
}
