// The PCAP packet reader over arbitrary element headers and packet data.
//
// Input: 18 bytes of header fields (tag, linkType, packetCount, headerSize, dataSize, a flag byte
// whose bit 0 makes the data pointer null), then the packet data. Unless the data pointer is
// null, dataSize is bounded by the bytes that follow and the data is copied into a block of
// exactly dataSize bytes, so that a read past dataSize is caught. The packets the reader hands
// out are compared with a plain model of the walk, then packed again the way the multiplexer
// writes its output vectors and read back.

#include "fuzz_support.h"
#include "pcap_stream/vant_pcap_data.h"

#include <cstring>
#include <memory>
#include <vector>

namespace {

struct Packet {
  uint64_t header; // offsets from the start of the data
  uint64_t data;
  uint32_t length;
  bool operator==(const Packet&) const = default;
};

struct Walk {
  std::vector<Packet> packets;
  const char* failure = nullptr;
  int failures = 0;
};

// The reader's walk written out plainly, in 128-bit arithmetic so that nothing wraps.
Walk Model(const VANTpcap_data_t& element) {
  Walk walk;
  const unsigned __int128 size = element.dataSize;
  const unsigned __int128 headerSize = element.headerSize;
  if (size == 0 || element.packetCount == 0) {
    return walk;
  }
  if (element.data == nullptr || headerSize < VANT::kPcapHeaderSize) {
    walk.failure = VANT::kPcapNoRoomForHeader;
    walk.failures = 1;
    return walk;
  }
  unsigned __int128 cursor = 0;
  for (uint32_t index = 0; cursor < size && index < element.packetCount; ++index) {
    if (cursor + headerSize > size) {
      walk.failure = VANT::kPcapNoRoomForHeader;
      walk.failures = 1;
      return walk;
    }
    uint32_t length;
    std::memcpy(&length, element.data + static_cast<size_t>(cursor), sizeof(length));
    const auto header = static_cast<uint64_t>(cursor);
    cursor += headerSize;
    if (cursor + length > size) {
      walk.failure = VANT::kPcapNoRoomForData;
      walk.failures = 1;
      return walk;
    }
    walk.packets.push_back({header, static_cast<uint64_t>(cursor), length});
    cursor += length;
  }
  return walk;
}

Walk Read(const VANTpcap_data_t& element) {
  Walk walk;
  const uint8_t* const begin = element.data;
  const uint64_t size = element.dataSize;
  VANT::ForEachPcapPacket(
      element,
      [&](const uint8_t* header, const uint8_t* data, uint32_t length) {
        FUZZ_CHECK(walk.failures == 0);
        FUZZ_CHECK(begin != nullptr && header >= begin && data >= header);
        const auto headerOffset = static_cast<uint64_t>(header - begin);
        const auto dataOffset = static_cast<uint64_t>(data - begin);
        FUZZ_CHECK(headerOffset + VANT::kPcapHeaderSize <= size);
        FUZZ_CHECK(dataOffset <= size && length <= size - dataOffset);
        // What the multiplexer does with every packet: its timestamp, then its bytes.
        const VANTPcapPacketHeader fields = VANT::LoadPcapHeader(header);
        FUZZ_CHECK(fields.inclLen == length);
        (void)fields.Timestamp();
        uint8_t sum = 0;
        for (uint32_t i = 0; i < length; ++i) {
          sum = static_cast<uint8_t>(sum + data[i]);
        }
        (void)sum;
        walk.packets.push_back({headerOffset, dataOffset, length});
      },
      [&](const char* message) {
        walk.failure = message;
        ++walk.failures;
      });
  return walk;
}

// Packs the packets as the multiplexer's writer does (24-byte headers, offsets list) and checks
// that the reader gives them back unchanged.
void Repack(const VANTpcap_data_t& element, const std::vector<Packet>& packets) {
  std::unique_ptr<VANTPcapPacketBuffer> buffer = VANT::NewPcapPacketBuffer();
  VANTPcapOffsetList offsets;
  for (const Packet& packet : packets) {
    offsets.push_back(buffer->used);
    uint8_t* at = VANT::EnsureCapacity(*buffer, VANT::kPcapHeaderSize + uint64_t{packet.length});
    std::memcpy(at, element.data + packet.header, VANT::kPcapHeaderSize);
    std::memcpy(at + VANT::kPcapHeaderSize, element.data + packet.data, packet.length);
  }
  FUZZ_CHECK(buffer->used <= buffer->capacity);
  VANTpcap_data_t packed{};
  packed.tag = 1;
  packed.linkType = element.linkType;
  packed.packetCount = static_cast<uint16_t>(packets.size());
  packed.packetOffsets = offsets.empty() ? nullptr : offsets.data();
  packed.headerSize = VANT::kPcapHeaderSize;
  packed.dataSize = buffer->used;
  packed.data = buffer->data;
  packed.buffer = buffer.get();
  packed.offsetList = &offsets;

  const Walk again = Read(packed);
  FUZZ_CHECK(again.failures == 0);
  FUZZ_CHECK(again.packets.size() == packets.size());
  for (size_t i = 0; i < packets.size(); ++i) {
    const Packet& original = packets[i];
    const Packet& copy = again.packets[i];
    FUZZ_CHECK(copy.header == offsets[i]);
    FUZZ_CHECK(copy.length == original.length);
    FUZZ_CHECK(std::memcmp(packed.data + copy.header, element.data + original.header,
                           VANT::kPcapHeaderSize) == 0);
    FUZZ_CHECK(
        std::memcmp(packed.data + copy.data, element.data + original.data, original.length) == 0);
  }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::SilenceReports();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  constexpr size_t kFields = 18;
  if (size < kFields) {
    return 0;
  }
  VANTpcap_data_t element{};
  std::memcpy(&element.tag, bytes + 0, 1);
  std::memcpy(&element.linkType, bytes + 1, 4);
  std::memcpy(&element.packetCount, bytes + 5, 2);
  std::memcpy(&element.headerSize, bytes + 7, 2);
  uint64_t dataSize;
  std::memcpy(&dataSize, bytes + 9, 8);
  const bool nullData = (bytes[17] & 1) != 0;
  const size_t available = size - kFields;

  std::unique_ptr<uint8_t[]> data;
  if (nullData) {
    element.data = nullptr;
    element.dataSize = dataSize; // never to be touched, whatever it says
  } else {
    element.dataSize = dataSize % (uint64_t{available} + 1);
    data.reset(new uint8_t[element.dataSize]);
    std::memcpy(data.get(), bytes + kFields, element.dataSize);
    element.data = data.get();
  }

  const Walk model = Model(element);
  const Walk walk = Read(element);
  FUZZ_CHECK(walk.failures <= 1);
  FUZZ_CHECK(walk.failure == model.failure);
  FUZZ_CHECK(walk.packets == model.packets);
  FUZZ_CHECK(walk.packets.size() <= element.packetCount);
  if (!walk.packets.empty()) {
    Repack(element, walk.packets);
  }
  return 0;
}
