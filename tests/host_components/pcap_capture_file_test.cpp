#include "host/components/vant_pcap_capture_file.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

namespace fs = std::filesystem;

const fs::path kCaptures = fs::path(CORVEX_SOURCE_DIR) / "data" / "captures";

struct Packet {
  int64_t sec, usec;
  uint32_t incl, orig;
  std::vector<uint8_t> bytes;
  bool operator==(const Packet&) const = default;
};

std::vector<Packet> ReadAll(const fs::path& path, std::string* error = nullptr) {
  VANTPcapCaptureReader reader;
  std::vector<Packet> packets;
  if (!reader.Open(path.string())) {
    if (error) {
      *error = reader.Error();
    }
    return packets;
  }
  VANTCapturePacket p;
  VANTPcapCaptureReader::Step step;
  while ((step = reader.Next(p)) == VANTPcapCaptureReader::Step::kPacket) {
    packets.push_back({p.tsSec, p.tsUsec, p.inclLen, p.origLen,
                       std::vector<uint8_t>(p.data, p.data + p.inclLen)});
  }
  if (step == VANTPcapCaptureReader::Step::kError && error) {
    *error = reader.Error();
  }
  return packets;
}

std::vector<char> Bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class CaptureFileTest : public testing::Test {
protected:
  fs::path Temp(const std::string& name) {
    fs::path dir = fs::temp_directory_path() / ("corvex_capture_test_" + std::to_string(getpid()));
    fs::create_directories(dir);
    m_dir = dir;
    return dir / name;
  }
  void TearDown() override {
    if (!m_dir.empty()) {
      fs::remove_all(m_dir);
    }
  }
  fs::path m_dir;
};

TEST_F(CaptureFileTest, ReadsEveryPacketOfAClassicCapture) {
  VANTPcapCaptureReader reader;
  ASSERT_TRUE(reader.Open((kCaptures / "cap_http.pcap").string())) << reader.Error();
  EXPECT_EQ(reader.LinkType(), 1u);
  std::vector<Packet> packets = ReadAll(kCaptures / "cap_http.pcap");
  ASSERT_EQ(packets.size(), 856u);
  EXPECT_EQ(packets.front().sec, 1796747393);
  EXPECT_EQ(packets.front().usec, 55516);
  EXPECT_EQ(packets.back().usec, 765948);
}

TEST_F(CaptureFileTest, NanosecondAndNextGenerationFilesGiveTheSamePackets) {
  const std::vector<Packet> classic = ReadAll(kCaptures / "cap_http.pcap");
  EXPECT_EQ(ReadAll(kCaptures / "cap_http_nsec.pcap"), classic);
  EXPECT_EQ(ReadAll(kCaptures / "cap_http.pcapng"), classic);
}

TEST_F(CaptureFileTest, SnappedPacketsKeepTheirOriginalLength) {
  int snapped = 0;
  for (const Packet& p : ReadAll(kCaptures / "cap_tcpchat.pcap")) {
    EXPECT_LE(p.incl, 128u);
    snapped += p.incl < p.orig;
  }
  EXPECT_EQ(snapped, 738);
}

TEST_F(CaptureFileTest, RefusalsNameTheFileAndTheReason) {
  std::string error;
  EXPECT_TRUE(ReadAll(Temp("missing.pcap"), &error).empty());
  EXPECT_NE(error.find("missing.pcap: No such file or directory"), std::string::npos) << error;

  const fs::path text = Temp("notes.pcap");
  std::ofstream(text) << "these are not packets, just some words in a text file\n";
  ReadAll(text, &error);
  EXPECT_NE(error.find("notes.pcap: not a capture file"), std::string::npos) << error;

  const fs::path empty = Temp("empty.pcap");
  std::ofstream{empty};
  ReadAll(empty, &error);
  EXPECT_NE(error.find("empty.pcap: not a capture file"), std::string::npos) << error;

  ReadAll(m_dir, &error);
  EXPECT_NE(error.find("is a directory"), std::string::npos) << error;
}

TEST_F(CaptureFileTest, TruncatedRecordIsAnErrorAfterTheCompletePackets) {
  std::vector<char> bytes = Bytes(kCaptures / "cap_icmp.pcap");
  const fs::path cut = Temp("cut.pcap");
  std::ofstream(cut, std::ios::binary)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size() - 30));
  std::string error;
  std::vector<Packet> packets = ReadAll(cut, &error);
  EXPECT_EQ(packets.size(), 599u);
  EXPECT_NE(error.find("cut.pcap: truncated capture file"), std::string::npos) << error;
}

TEST_F(CaptureFileTest, WriterRoundTripIsByteIdentical) {
  const fs::path copy = Temp("copy.pcap");
  VANTPcapCaptureWriter writer;
  ASSERT_TRUE(writer.Open(copy.string(), 1, 128)) << writer.Error(); // that file's snap length
  for (const Packet& p : ReadAll(kCaptures / "cap_tcpchat.pcap")) {
    ASSERT_TRUE(writer.Write(p.sec, p.usec, p.incl, p.orig, p.bytes.data()));
  }
  ASSERT_TRUE(writer.Close()) << writer.Error();
  EXPECT_EQ(Bytes(copy), Bytes(kCaptures / "cap_tcpchat.pcap"));
}

// Next-generation files hold 64-bit times in their own units: seconds whose microseconds exceed
// 64 bits saturate (order kept) instead of overflowing.
TEST(CapturePacketTest, TimestampSaturatesBeyondTheMicrosecondRange) {
  VANTCapturePacket packet;
  packet.tsSec = 1700000000;
  packet.tsUsec = 999999;
  EXPECT_EQ(packet.Timestamp(), 1700000000999999);
  packet.tsSec = INT64_MAX / 1000000;
  packet.tsUsec = INT64_MAX % 1000000;
  EXPECT_EQ(packet.Timestamp(), INT64_MAX);
  packet.tsUsec += 1;
  EXPECT_EQ(packet.Timestamp(), INT64_MAX);
  packet.tsSec = 18446744073709; // the largest 64-bit count of microseconds, in seconds
  packet.tsUsec = 0;
  EXPECT_EQ(packet.Timestamp(), INT64_MAX);
  packet.tsSec = -packet.tsSec;
  EXPECT_EQ(packet.Timestamp(), INT64_MIN);
}

// A record stores both timestamp fields as unsigned 32-bit words: times up to 2106 are written,
// anything beyond (a next-generation capture can hold one) or before 1970 is refused rather than
// written wrapped.
TEST_F(CaptureFileTest, WriterTakesUnsignedSecondsAndRefusesWhatARecordCannotHold) {
  const fs::path out = Temp("wide.pcap");
  const uint8_t bytes[4] = {1, 2, 3, 4};
  VANTPcapCaptureWriter writer;
  ASSERT_TRUE(writer.Open(out.string(), 1)) << writer.Error();
  ASSERT_TRUE(writer.Write(INT32_MAX, 999999, 4, 4, bytes)) << writer.Error();
  ASSERT_TRUE(writer.Write(int64_t{INT32_MAX} + 1, 0, 4, 4, bytes)) << "2038-01-19 03:14:08";
  ASSERT_TRUE(writer.Write(UINT32_MAX, 5, 4, 4, bytes)) << writer.Error();
  EXPECT_FALSE(writer.Write(int64_t{UINT32_MAX} + 1, 0, 4, 4, bytes));
  EXPECT_NE(writer.Error().find("timestamp 4294967296 s 0 us cannot be stored"), std::string::npos)
      << writer.Error();
  EXPECT_FALSE(writer.Write(-1, 5, 4, 4, bytes));
  EXPECT_FALSE(writer.Write(0, int64_t{UINT32_MAX} + 1, 4, 4, bytes));
  ASSERT_TRUE(writer.Close()) << writer.Error();

  const std::vector<Packet> packets = ReadAll(out);
  ASSERT_EQ(packets.size(), 3u); // the refused ones left nothing behind
  EXPECT_EQ(packets[0].sec, INT32_MAX);
  EXPECT_EQ(packets[1].sec, int64_t{INT32_MAX} + 1) << "read back unsigned, after the one before";
  EXPECT_EQ(packets[2].sec, UINT32_MAX);
  EXPECT_EQ(packets[2].bytes, std::vector<uint8_t>(bytes, bytes + 4));
}

TEST_F(CaptureFileTest, WriterRefusesAnUnwritablePath) {
  VANTPcapCaptureWriter writer;
  EXPECT_FALSE(
      writer.Open((m_dir.empty() ? Temp("x") : m_dir).string() + "/no/such/dir/out.pcap", 1));
  EXPECT_NE(writer.Error().find("No such file or directory"), std::string::npos) << writer.Error();
}

} // namespace
