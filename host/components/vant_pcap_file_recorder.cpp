#include "host/components/vant_pcap_file_recorder.h"

#include "dataflow/vant_input.h"
#include "dataflow/vant_io_elt.h"
#include "util/vant_exceptions.h"

#include <algorithm>

// ---- VANTCaptureOrderCheck ---------------------------------------------------------------------

void VANTCaptureOrderCheck::Add(int64_t timestamp) {
  const uint64_t packet = m_order.packets++;
  if (packet == 0) {
    m_order.first = timestamp;
    m_latest = timestamp;
    m_rises.reserve(64);
    m_rises.push_back({packet, timestamp});
  } else if (timestamp > m_latest) {
    m_latest = timestamp;
    if (m_rises.size() < kWindow) {
      m_rises.push_back({packet, timestamp});
    } else {
      m_rises[m_oldest] = {packet, timestamp};
      m_oldest = (m_oldest + 1) % kWindow;
      m_forgot = true;
    }
  } else if (timestamp < m_latest) {
    ++m_order.outOfPlace;
    m_order.backwards += timestamp < m_order.last ? 1 : 0;
    int64_t back = 0;
    if (__builtin_sub_overflow(m_latest, timestamp, &back)) {
      back = INT64_MAX;
    }
    m_order.largestStepBack = std::max(m_order.largestStepBack, back);
    // The rises are ordered by time: find the first one past this packet's time. Every packet
    // written since then may be later than this one.
    const size_t count = m_rises.size();
    auto at = [&](size_t k) -> const Rise& { return m_rises[(m_oldest + k) % count]; };
    size_t low = 0;
    size_t high = count - 1; // the last rise is m_latest > timestamp
    while (low < high) {
      const size_t middle = low + (high - low) / 2;
      if (at(middle).latest > timestamp) {
        high = middle;
      } else {
        low = middle + 1;
      }
    }
    const Rise& rise = at(low);
    m_order.largestDelay = std::max(m_order.largestDelay, packet - rise.packet);
    if (low == 0 && m_forgot) {
      m_order.delayBeyondWindow = true;
    }
  }
  m_order.last = timestamp;
}

// ---- vant_pcap_file_recorder -------------------------------------------------------------------

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
  m_fd = -1;
  m_linkType = linkType;
  m_snapLength = snapLength;
}

void vant_pcap_file_recorder::ConfigureDescriptor(int fd, const std::string& name,
                                                  uint32_t linkType, uint32_t snapLength) {
  m_path = name;
  m_fd = fd;
  m_linkType = linkType;
  m_snapLength = snapLength;
}

VANTCaptureOrder vant_pcap_file_recorder::Order() const {
  std::lock_guard<std::mutex> lock(m_orderMutex);
  return m_order.Result();
}

uint32_t vant_pcap_file_recorder::SnapLength() const {
  std::lock_guard<std::mutex> lock(m_orderMutex);
  return m_writtenSnapLength;
}

void vant_pcap_file_recorder::Fail(const std::string& text) {
  m_failure.Set(text);
  Error(text.c_str(), 1, 0);
  throw VANT::ErrorException; // not reached: Error throws it itself
}

void vant_pcap_file_recorder::Birth() {
  m_packets.store(0, std::memory_order_relaxed);
  m_bytes.store(0, std::memory_order_relaxed);
  m_outOfOrder.store(0, std::memory_order_relaxed);
  m_limitReached.store(false, std::memory_order_release);
  m_finished.store(false, std::memory_order_release);
  m_failure.Clear();
  {
    std::lock_guard<std::mutex> lock(m_orderMutex);
    m_order = VANTCaptureOrderCheck();
  }
  if (m_path.empty() && m_fd < 0) {
    Fail("no capture file to write");
  }
  m_writer = std::make_unique<VANTPcapCaptureWriter>();
  const bool opened = m_fd >= 0 ? m_writer->Attach(m_fd, m_path, m_linkType, m_snapLength)
                                : m_writer->Open(m_path, m_linkType, m_snapLength);
  if (!opened) {
    Fail(m_writer->Error());
  }
  std::lock_guard<std::mutex> lock(m_orderMutex);
  m_writtenSnapLength = m_writer->SnapLength();
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
  const VANTpcap_data_t header = VANT::LoadPcapElement(element->Data());
  if (header.linkType != 0 && header.linkType != m_linkType) {
    Fail(m_path + ": the stream's link type " + VANT::LinkTypeName(header.linkType) +
         " differs from the file's, " + VANT::LinkTypeName(m_linkType));
  }
  uint64_t packets = 0;
  uint64_t bytes = 0;
  bool writeFailed = false;
  const uint64_t before = m_packets.load(std::memory_order_relaxed);
  const uint64_t room =
      m_packetLimit == 0 ? UINT64_MAX : m_packetLimit - std::min(before, m_packetLimit);
  std::unique_lock<std::mutex> lock(m_orderMutex);
  const uint64_t backwardsBefore = m_order.Result().backwards;
  VANT::ForEachPcapPacket(
      header,
      [&](const uint8_t* at, const uint8_t* data, uint32_t inclLen) {
        if (writeFailed || packets >= room) {
          return;
        }
        const VANTPcapPacketHeader packet = VANT::LoadPcapHeader(at);
        if (!m_writer->Write(static_cast<int64_t>(packet.tsSec),
                             static_cast<int64_t>(packet.tsUsec), inclLen, packet.len2, data)) {
          writeFailed = true;
          return;
        }
        m_order.Add(packet.Timestamp());
        ++packets;
        bytes += inclLen;
      },
      [this, &lock](const char* message) {
        lock.unlock();
        Fail(message);
      });
  const uint64_t late = m_order.Result().backwards - backwardsBefore;
  lock.unlock();
  if (!writeFailed && m_flushEachElement && !m_writer->Flush()) {
    writeFailed = true;
  }
  m_packets.fetch_add(packets, std::memory_order_relaxed);
  m_bytes.fetch_add(bytes, std::memory_order_relaxed);
  m_outOfOrder.fetch_add(late, std::memory_order_relaxed);
  if (writeFailed) {
    Fail(m_writer->Error());
  }
  if (m_packetLimit != 0 && before + packets >= m_packetLimit) {
    m_limitReached.store(true, std::memory_order_release);
  }
  if (m_listener != nullptr) {
    m_listener->ElementWritten(header, static_cast<uint32_t>(packets));
  }
}

void vant_pcap_file_recorder::Finish() {
  // Let go of both inputs at once: the writer upstream waits until nothing of its is held.
  StopReading(m_data);
  StopReading(m_endOfFile);
  if (m_writer && !m_writer->Close()) {
    Fail(m_writer->Error());
  }
  if (m_writer) {
    std::lock_guard<std::mutex> lock(m_orderMutex);
    m_writtenSnapLength = m_writer->SnapLength();
  }
  m_finished.store(true, std::memory_order_release);
}

void vant_pcap_file_recorder::Death() {
  // Stopped before the end of the stream: what was written is handed to the system; whoever
  // configured the recorder decides what becomes of it.
  if (m_writer) {
    (void)m_writer->Close();
    m_writer.reset();
  }
}
