#include "pcap_stream/vant_pcap_data.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Builds the packet data of one element: each packet is a header of `headerSize` bytes (the
// first 24 filled in) followed by its bytes.
struct PacketBytes {
  std::vector<uint8_t> bytes;
  uint16_t count = 0;

  void Add(uint64_t sec, uint64_t usec, const std::string& payload, uint16_t headerSize = 24) {
    VANTPcapPacketHeader h{static_cast<uint32_t>(payload.size()), 7u, sec, usec};
    const size_t at = bytes.size();
    bytes.resize(at + headerSize + payload.size(), 0xEE);
    std::memcpy(bytes.data() + at, &h, sizeof(h));
    std::memcpy(bytes.data() + at + headerSize, payload.data(), payload.size());
    ++count;
  }

  VANTpcap_data_t Element(uint16_t headerSize = 24) {
    VANTpcap_data_t e{};
    e.tag = 1;
    e.linkType = 1;
    e.packetCount = count;
    e.headerSize = headerSize;
    e.dataSize = bytes.size();
    e.data = bytes.data();
    return e;
  }
};

struct Walk {
  std::vector<std::string> payloads;
  std::vector<int64_t> stamps;
  std::vector<std::string> errors;
};

Walk Read(const VANTpcap_data_t& e) {
  Walk w;
  VANT::ForEachPcapPacket(
      e,
      [&](const uint8_t* header, const uint8_t* data, uint32_t inclLen) {
        w.stamps.push_back(VANT::LoadPcapHeader(header).Timestamp());
        w.payloads.emplace_back(reinterpret_cast<const char*>(data), inclLen);
      },
      [&](const char* message) { w.errors.emplace_back(message); });
  return w;
}

TEST(PcapPacketReader, DeliversEveryPacketInOrder) {
  PacketBytes p;
  p.Add(10, 999999, "abc");
  p.Add(11, 0, "");
  p.Add(11, 1, "hello");
  Walk w = Read(p.Element());
  EXPECT_TRUE(w.errors.empty());
  EXPECT_EQ(w.payloads, (std::vector<std::string>{"abc", "", "hello"}));
  EXPECT_EQ(w.stamps, (std::vector<int64_t>{10999999, 11000000, 11000001}));
}

TEST(PcapPacketReader, EmptyElementsDeliverNothingAndRaiseNothing) {
  PacketBytes p;
  p.Add(1, 2, "xyz");
  VANTpcap_data_t noCount = p.Element();
  noCount.packetCount = 0;
  VANTpcap_data_t noData = p.Element();
  noData.dataSize = 0;
  VANTpcap_data_t nothing{};
  for (const auto& e : {noCount, noData, nothing}) {
    Walk w = Read(e);
    EXPECT_TRUE(w.payloads.empty());
    EXPECT_TRUE(w.errors.empty());
  }
}

TEST(PcapPacketReader, StopsAtWhicheverLimitComesFirst) {
  PacketBytes p;
  p.Add(1, 0, "one");
  p.Add(2, 0, "two");
  VANTpcap_data_t fewer = p.Element();
  fewer.packetCount = 1; // Tricky: bytes for two packets, but only one announced.
  EXPECT_EQ(Read(fewer).payloads.size(), 1u);

  VANTpcap_data_t shorter = p.Element();
  shorter.packetCount = 5;
  shorter.dataSize = 24 + 3; // exactly the first packet
  Walk w = Read(shorter);
  EXPECT_EQ(w.payloads.size(), 1u);
  EXPECT_TRUE(w.errors.empty());
}

TEST(PcapPacketReader, DataSizeOneByteShortRaisesTheDataMessage) {
  PacketBytes p;
  p.Add(1, 0, "one");
  p.Add(2, 0, "two");
  VANTpcap_data_t e = p.Element();
  e.dataSize -= 1;
  Walk w = Read(e);
  EXPECT_EQ(w.payloads.size(), 1u) << "the packet before the fault is still delivered";
  ASSERT_EQ(w.errors.size(), 1u);
  EXPECT_EQ(w.errors[0], VANT::kPcapNoRoomForData);
}

TEST(PcapPacketReader, TruncatedHeaderRaisesTheHeaderMessage) {
  PacketBytes p;
  p.Add(1, 0, "one");
  p.Add(2, 0, "two");
  VANTpcap_data_t e = p.Element();
  e.dataSize = 27 + 10; // the second header is cut after 10 bytes
  Walk w = Read(e);
  ASSERT_EQ(w.errors.size(), 1u);
  EXPECT_EQ(w.errors[0], VANT::kPcapNoRoomForHeader);
  EXPECT_NE(
      std::string(VANT::kPcapNoRoomForHeader).find("not enough space for even the packet header"),
      std::string::npos);
}

TEST(PcapPacketReader, HugeInclLenNeverWrapsPastTheEnd) {
  PacketBytes p;
  p.Add(1, 0, "x");
  VANTpcap_data_t e = p.Element();
  uint32_t huge = 0xFFFFFFFF;
  std::memcpy(p.bytes.data(), &huge, sizeof(huge));
  Walk w = Read(e);
  EXPECT_TRUE(w.payloads.empty());
  ASSERT_EQ(w.errors.size(), 1u);
  EXPECT_EQ(w.errors[0], VANT::kPcapNoRoomForData);
}

TEST(PcapPacketReader, LongerHeadersAreSkippedAndShortOnesRefused) {
  PacketBytes p;
  p.Add(5, 6, "payload", 32);
  Walk w = Read(p.Element(32));
  EXPECT_TRUE(w.errors.empty());
  EXPECT_EQ(w.payloads, (std::vector<std::string>{"payload"}));

  PacketBytes q;
  q.Add(5, 6, "payload");
  Walk shortHeader = Read(q.Element(8));
  EXPECT_TRUE(shortHeader.payloads.empty());
  ASSERT_EQ(shortHeader.errors.size(), 1u);
  EXPECT_EQ(shortHeader.errors[0], VANT::kPcapNoRoomForHeader);
}

TEST(PcapPacketBuffer, GrowsToPowersOfTwoAndKeepsContent) {
  std::unique_ptr<VANTPcapPacketBuffer> b = VANT::NewPcapPacketBuffer();
  EXPECT_EQ(b->capacity, 131072u);
  uint8_t* first = VANT::EnsureCapacity(*b, 131072);
  std::memset(first, 0x5A, 131072);
  EXPECT_EQ(b->used, 131072u);
  EXPECT_EQ(b->capacity, 131072u) << "a full buffer does not grow";

  uint8_t* next = VANT::EnsureCapacity(*b, 1);
  EXPECT_EQ(b->capacity, 262144u);
  EXPECT_EQ(next, b->data + 131072);
  EXPECT_EQ(b->data[0], 0x5A);
  EXPECT_EQ(b->data[131071], 0x5A);

  b->used = 0; // reuse for the next element: the allocation stays
  VANT::EnsureCapacity(*b, 100);
  EXPECT_EQ(b->capacity, 262144u);
}

TEST(PcapPacketBuffer, ImpossibleGrowthThrowsAndLeavesTheBufferUnchanged) {
  std::unique_ptr<VANTPcapPacketBuffer> b = VANT::NewPcapPacketBuffer();
  VANT::EnsureCapacity(*b, 10);
  uint8_t* data = b->data;
  EXPECT_THROW(VANT::EnsureCapacity(*b, ~uint64_t{0}), std::bad_alloc);
  EXPECT_THROW(VANT::EnsureCapacity(*b, (uint64_t{1} << 63) + 1), std::bad_alloc);
  EXPECT_EQ(b->data, data);
  EXPECT_EQ(b->used, 10u);
  EXPECT_EQ(b->capacity, 131072u);
}

TEST(PcapPacketBuffer, GrownCapacityRule) {
  EXPECT_EQ(VANT::PcapGrownCapacity(1), 1u);
  EXPECT_EQ(VANT::PcapGrownCapacity(131073), 262144u);
  EXPECT_EQ(VANT::PcapGrownCapacity(uint64_t{1} << 63), uint64_t{1} << 63);
  EXPECT_EQ(VANT::PcapGrownCapacity((uint64_t{1} << 63) + 1), 0u);
}

} // namespace
