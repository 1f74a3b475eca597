#pragma once
// The PCAP stream payload: one VANTpcap_data_t header per I/O element, describing a batch of
// capture packets held in a separate byte buffer owned by the writing component.
//
// Packet data at `data`: packets back to back, no gap, no alignment. Each packet is a header of
// `headerSize` bytes, whose first 24 bytes are incl_len (u32), len2 (u32), ts_sec (u64) and
// ts_usec (u64), little-endian, followed by incl_len bytes of packet data.
//
// Ownership: the header carries pointers into the writer's memory, so a stream is only valid
// between components of one process; buffers stay owned by the writer.
// Access: the header is packed; read and write its fields by value, never bind a reference or a
// pointer to a member.

#include "kernel/vant_report_levels.h"
#include "util/vant_report_hook.h"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

struct VANTPcapPacketBuffer;
using VANTPcapOffsetList = std::vector<uint64_t>;

#pragma pack(push, 1)
struct VANTpcap_data_t {
  uint8_t tag;                    // 1 when written; not used by readers
  uint32_t linkType;              // link-layer header type of every packet
  uint16_t packetCount;           // packets in this element
  uint64_t* packetOffsets;        // packetCount offsets of the packet headers from `data`
  uint16_t headerSize;            // bytes of each packet header (24 when we write)
  uint64_t dataSize;              // bytes used at `data`
  uint8_t* data;                  // the packets
  VANTPcapPacketBuffer* buffer;   // writer-private: the packet buffer behind `data`
  VANTPcapOffsetList* offsetList; // writer-private: the list behind `packetOffsets`
};
#pragma pack(pop)

static_assert(std::endian::native == std::endian::little);
static_assert(sizeof(VANTpcap_data_t) == 49);
static_assert(offsetof(VANTpcap_data_t, tag) == 0);
static_assert(offsetof(VANTpcap_data_t, linkType) == 1);
static_assert(offsetof(VANTpcap_data_t, packetCount) == 5);
static_assert(offsetof(VANTpcap_data_t, packetOffsets) == 7);
static_assert(offsetof(VANTpcap_data_t, headerSize) == 15);
static_assert(offsetof(VANTpcap_data_t, dataSize) == 17);
static_assert(offsetof(VANTpcap_data_t, data) == 25);
static_assert(offsetof(VANTpcap_data_t, buffer) == 33);
static_assert(offsetof(VANTpcap_data_t, offsetList) == 41);

/// The first 24 bytes of every packet header, as they lie in the packet data.
struct VANTPcapPacketHeader {
  uint32_t inclLen;
  uint32_t len2;
  uint64_t tsSec;
  uint64_t tsUsec;

  /// The packet's single timestamp in microseconds.
  int64_t Timestamp() const noexcept { return static_cast<int64_t>(tsSec * 1000000u + tsUsec); }
};
static_assert(sizeof(VANTPcapPacketHeader) == 24);

namespace VANT {

inline constexpr uint16_t kPcapHeaderSize = 24;
inline constexpr uint64_t kPcapInitialBufferCapacity = 0x20000;
/// Most packets one element can describe: its packet count is 16 bits wide.
inline constexpr uint32_t kPcapMaxPacketsPerElement = 0xFFFF;

inline constexpr const char kPcapNoRoomForHeader[] =
    "Unable to read next PCAP packet in input data. \nData state is inconsistent: a PCAP packet "
    "is supposed to exist but there is not enough space for even the packet header. \nThe "
    "component developer should check that the pcap_data data access objects are used correctly "
    "and contact Sorvaline S.A.S if the problem persists.";
inline constexpr const char kPcapNoRoomForData[] =
    "Unable to read next PCAP packet in input data. \nData state is inconsistent: a PCAP packet "
    "is supposed to exist but there is not enough space for packet data. \nThe component "
    "developer should check that the pcap_data data access objects are used correctly and "
    "contact Sorvaline S.A.S if the problem persists.";
inline constexpr const char kPcapAllocationFailed[] =
    "Unable to allocate the component's PCAP output data buffer.";
inline constexpr const char kPcapReallocationFailed[] =
    "Unable to reallocate the component's PCAP output data buffer";

/// Reads the 24 header bytes at `at` (any alignment).
inline VANTPcapPacketHeader LoadPcapHeader(const uint8_t* at) noexcept {
  VANTPcapPacketHeader header;
  std::memcpy(&header, at, sizeof(header));
  return header;
}
/// Writes the 24 header bytes at `at` (any alignment).
inline void StorePcapHeader(uint8_t* at, const VANTPcapPacketHeader& header) noexcept {
  std::memcpy(at, &header, sizeof(header));
}

/// The header of a PCAP element, read by value from its data (any alignment: it is packed).
inline VANTpcap_data_t LoadPcapElement(const void* data) noexcept {
  VANTpcap_data_t header;
  std::memcpy(&header, data, sizeof(header));
  return header;
}
/// Writes the header of a PCAP element into its data.
inline void StorePcapElement(void* data, const VANTpcap_data_t& header) noexcept {
  std::memcpy(data, &header, sizeof(header));
}

/// Walks the packets of one element in order and hands each one to
/// `deliver(const uint8_t* header, const uint8_t* packetData, uint32_t inclLen)`.
///
/// It stops at `packetCount` packets or at `dataSize` bytes, whichever comes first. A packet that
/// would reach past `dataSize` is an inconsistency: `fail(message)` is called with one of the two
/// messages above. `fail` is expected not to return (the component reports and throws); if it
/// does, the walk stops there, so the reader never touches a byte past the end. A header shorter
/// than the 24 bytes everybody reads, or packet data announced without a data pointer, counts as
/// no room for the header.
template <typename Deliver, typename Fail>
void ForEachPcapPacket(const VANTpcap_data_t& element, Deliver&& deliver, Fail&& fail) {
  const uint8_t* const begin = element.data;
  const uint64_t size = element.dataSize;
  const uint64_t headerSize = element.headerSize;
  const uint32_t count = element.packetCount;
  if (size == 0 || count == 0) {
    return;
  }
  if (begin == nullptr || headerSize < kPcapHeaderSize) {
    fail(kPcapNoRoomForHeader);
    return;
  }
  uint64_t offset = 0;
  for (uint32_t index = 0; offset < size && index < count; ++index) {
    if (size - offset < headerSize) {
      fail(kPcapNoRoomForHeader);
      return;
    }
    const uint8_t* header = begin + offset;
    uint32_t inclLen;
    std::memcpy(&inclLen, header, sizeof(inclLen));
    offset += headerSize;
    if (size - offset < inclLen) {
      fail(kPcapNoRoomForData);
      return;
    }
    deliver(header, begin + offset, inclLen);
    offset += inclLen;
  }
}

} // namespace VANT

/// The growable byte buffer behind one PCAP output element. It only grows (to powers of two) and
/// is reused for every write into the same FIFO element.
struct VANTPcapPacketBuffer {
  uint8_t* data = nullptr;
  uint64_t capacity = 0;
  uint64_t used = 0;

  VANTPcapPacketBuffer() = default;
  VANTPcapPacketBuffer(const VANTPcapPacketBuffer&) = delete;
  VANTPcapPacketBuffer& operator=(const VANTPcapPacketBuffer&) = delete;
  ~VANTPcapPacketBuffer() { std::free(data); }
};

namespace VANT {

/// The capacity a buffer grows to so that `needed` bytes fit: the smallest power of two not below
/// it, or 0 when no such 64-bit value exists.
inline uint64_t PcapGrownCapacity(uint64_t needed) noexcept {
  constexpr uint64_t kLargest = uint64_t{1} << 63;
  return needed > kLargest ? 0 : std::bit_ceil(needed);
}

/// Reserves `n` more bytes at the end of `buffer` and returns where they start; `used` grows by
/// `n`. When the bytes do not fit, the allocation grows to the smallest power of two that holds
/// them, keeping its content. A failed growth reports the reallocation message as an error and
/// throws std::bad_alloc, leaving the buffer unchanged.
inline uint8_t* EnsureCapacity(VANTPcapPacketBuffer& buffer, uint64_t n) {
  const uint64_t needed = buffer.used + n;
  if (needed < buffer.used || needed > buffer.capacity) {
    const uint64_t grown = needed < buffer.used ? 0 : PcapGrownCapacity(needed);
    void* moved = grown == 0 ? nullptr : std::realloc(buffer.data, grown);
    if (moved == nullptr) {
      ReportThroughHook(kPcapReallocationFailed, VANT::kError);
      throw std::bad_alloc();
    }
    buffer.data = static_cast<uint8_t*>(moved);
    buffer.capacity = grown;
  }
  uint8_t* at = buffer.data + buffer.used;
  buffer.used = needed;
  return at;
}

/// Appends one packet to an element's buffer and offset list: its 24-byte header (headerSize 24)
/// followed by header.inclLen bytes from data. Fails as EnsureCapacity does, or with
/// std::bad_alloc from the offset list; the element is then given back unpublished.
inline void AppendPcapPacket(VANTPcapPacketBuffer& buffer, VANTPcapOffsetList& offsets,
                             const VANTPcapPacketHeader& header, const uint8_t* data) {
  const uint64_t offset = buffer.used;
  uint8_t* at = EnsureCapacity(buffer, uint64_t{kPcapHeaderSize} + header.inclLen);
  offsets.push_back(offset);
  StorePcapHeader(at, header);
  if (header.inclLen != 0) {
    std::memcpy(at + kPcapHeaderSize, data, header.inclLen);
  }
}

/// Creates a packet buffer with the initial capacity. A failed allocation reports the allocation
/// message as an error and throws std::bad_alloc.
[[nodiscard]] inline std::unique_ptr<VANTPcapPacketBuffer> NewPcapPacketBuffer() {
  auto buffer = std::make_unique<VANTPcapPacketBuffer>();
  buffer->data = static_cast<uint8_t*>(std::malloc(kPcapInitialBufferCapacity));
  if (buffer->data == nullptr) {
    ReportThroughHook(kPcapAllocationFailed, VANT::kError);
    throw std::bad_alloc();
  }
  buffer->capacity = kPcapInitialBufferCapacity;
  return buffer;
}

} // namespace VANT
