// What the merge reads: pipes, FIFOs, process substitution and standard input (each opened once),
// compressed captures, next-generation files with several interfaces, packets longer than their
// file's snapshot length, times past 2038 and times finer than microseconds. Each case runs the
// real program.
#include "merge_test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <zlib.h>
#include <zstd.h>

namespace {

using merge_test::kCaptures;
using merge_test::RunMerge;
using merge_test::RunResult;
using merge_test::RunShell;
namespace fs = merge_test::fs;

struct Packet {
  int64_t sec = 0, usec = 0;
  uint32_t incl = 0, orig = 0;
  std::vector<uint8_t> bytes;
  bool operator==(const Packet&) const = default;
};

std::vector<Packet> ReadAll(const fs::path& file) {
  std::vector<Packet> packets;
  VANTPcapCaptureReader reader;
  EXPECT_TRUE(reader.Open(file.string())) << reader.Error();
  VANTCapturePacket p;
  while (reader.Next(p) == VANTPcapCaptureReader::Step::kPacket) {
    packets.push_back({p.tsSec, p.tsUsec, p.inclLen, p.origLen,
                       std::vector<uint8_t>(p.data, p.data + p.inclLen)});
  }
  EXPECT_TRUE(reader.Error().empty()) << reader.Error();
  return packets;
}

uint32_t HeaderSnapLength(const fs::path& file) {
  const std::string bytes = merge_test::ReadText(file);
  uint32_t snap = 0;
  if (bytes.size() >= 20) {
    std::memcpy(&snap, bytes.data() + 16, sizeof(snap));
  }
  return snap;
}

class MergeInputStreamTest : public merge_test::ScratchTest {
protected:
  std::string Out() const { return Path("out.pcap").string(); }
  std::string Reference() { return merge_test::StableMerge(merge_test::BundledCaptures(), m_dir); }
};

TEST_F(MergeInputStreamTest, PipesFifosProcessSubstitutionAndStandardInputAreReadOnce) {
  const RunResult run =
      RunShell("mkfifo fifo && { cat $C/cap_http.pcap >fifo & } && "
               "cat $C/cap_udp.pcap | $M -q -w out.pcap fifo - <(cat $C/cap_tcpchat.pcap) "
               "/dev/fd/3 3<$C/cap_icmp.pcap",
               m_dir);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(merge_test::ReadText(Out()) == Reference());
}

TEST_F(MergeInputStreamTest, GzipAndZstdCapturesAreReadAndTheirDamageNamed) {
  const std::string http = merge_test::ReadText(kCaptures / "cap_http.pcapng");
  gzFile gz = gzopen(Path("http.pcapng.gz").c_str(), "wb");
  ASSERT_NE(gz, nullptr);
  ASSERT_EQ(gzwrite(gz, http.data(), static_cast<unsigned>(http.size())),
            static_cast<int>(http.size()));
  ASSERT_EQ(gzclose(gz), Z_OK);
  const std::string udp = merge_test::ReadText(kCaptures / "cap_udp.pcap");
  std::string packed(ZSTD_compressBound(udp.size()), '\0');
  packed.resize(ZSTD_compress(packed.data(), packed.size(), udp.data(), udp.size(), 3));
  merge_test::WriteText(Path("udp.pcap.zst"), packed);

  RunResult run =
      RunMerge({"-q", "-w", Out(), Path("http.pcapng.gz").string(), Path("udp.pcap.zst").string(),
                (kCaptures / "cap_tcpchat.pcap").string(), (kCaptures / "cap_icmp.pcap").string()},
               m_dir);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(merge_test::ReadText(Out()) == Reference());

  const std::string gzipped = merge_test::ReadText(Path("http.pcapng.gz"));
  merge_test::WriteText(Path("cut.gz"), gzipped.substr(0, gzipped.size() / 2));
  merge_test::WriteText(Path("cut.zst"), packed.substr(0, packed.size() / 2));
  for (const char* cut : {"cut.gz", "cut.zst"}) {
    run = RunMerge({"-q", "-w", Out(), Path(cut).string()}, m_dir);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find(Path(cut).string() + ": truncated"), std::string::npos) << run.err;
  }
}

TEST_F(MergeInputStreamTest, InterfacesWithOtherSnapLengthsAreMergedOtherLinkTypesNamed) {
  const std::vector<uint8_t> small(60, 0x11);
  const std::vector<uint8_t> large(300, 0x22);
  merge_test::WriteText(Path("two_snaps.pcapng"),
                        merge_test::NextGenerationCapture(
                            {{1, 128, -1}, {1, 65535, 9}},
                            {{0, 1700000000000000, small}, {1, 1700000000000000500, large}}));
  RunResult run = RunMerge({"-q", "-w", Out(), Path("two_snaps.pcapng").string()}, m_dir);
  ASSERT_EQ(run.status, 0) << run.err;
  const std::vector<Packet> packets = ReadAll(Out());
  ASSERT_EQ(packets.size(), 2u);
  EXPECT_EQ(packets[1].bytes, large);
  EXPECT_EQ(packets[1].usec, 0) << "500 ns are truncated";

  merge_test::WriteText(Path("two_types.pcapng"),
                        merge_test::NextGenerationCapture({{1, 0, -1}, {101, 0, -1}},
                                                          {{0, 1700000000000000, small}}));
  run = RunMerge({"-w", Out(), Path("two_types.pcapng").string()}, m_dir);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find(Path("two_types.pcapng").string() +
                         ": interfaces of different link types: interface 1 has link type 101 "
                         "(RAW, Raw IP), the first one 1 (EN10MB, Ethernet)"),
            std::string::npos)
      << run.err;
}

TEST_F(MergeInputStreamTest, PacketsLongerThanTheSnapLengthAreNeverCut) {
  const std::vector<uint8_t> oversize(200, 0x33);
  merge_test::WriteText(Path("snap64.pcap"),
                        merge_test::ClassicCapture(0xA1B2C3D4, 64, 1,
                                                   {{1700000000, 1, std::vector<uint8_t>(40, 1)},
                                                    {1700000000, 2, oversize}}));
  // Into a file (whose header is set afterwards) and into a pipe (announced up front).
  const RunResult run = RunShell("$M -q -w out.pcap snap64.pcap && $M -q -w - snap64.pcap | "
                                 "cat >piped.pcap",
                                 m_dir);
  ASSERT_EQ(run.status, 0) << run.err;
  for (const char* file : {"out.pcap", "piped.pcap"}) {
    SCOPED_TRACE(file);
    const std::vector<Packet> packets = ReadAll(Path(file));
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[1].bytes, oversize);
    EXPECT_GE(HeaderSnapLength(Path(file)), 200u);
  }
  EXPECT_EQ(HeaderSnapLength(Path("out.pcap")), 200u) << "the largest packet, no more";
}

TEST_F(MergeInputStreamTest, CapturesCrossing2038StayInOrderAndFinerTimesAreToldTruncated) {
  // 2038-01-19 03:14:07.5 and 03:14:08.5, as unsigned 32-bit seconds; a nanosecond file with
  // one time below the microsecond.
  const std::vector<uint8_t> bytes(60, 0x44);
  merge_test::WriteText(Path("a.pcap"), merge_test::ClassicCapture(0xA1B2C3D4, 65535, 1,
                                                                   {{0x7FFFFFFF, 500000, bytes},
                                                                    {0x80000000, 500000, bytes}}));
  merge_test::WriteText(
      Path("b_ns.pcap"),
      merge_test::ClassicCapture(0xA1B23C4D, 65535, 1,
                                 {{0x7FFFFFFF, 700000000, bytes}, {0x80000000, 700001500, bytes}}));
  const RunResult run =
      RunMerge({"-w", Out(), Path("a.pcap").string(), Path("b_ns.pcap").string()}, m_dir);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("last packet: 2038-01-19 03:14:08.700001 UTC"), std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("order: in time order\n"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("b_ns.pcap has times finer than microseconds: 1 packet truncated"),
            std::string::npos)
      << run.err;
  const std::vector<Packet> packets = ReadAll(Out());
  ASSERT_EQ(packets.size(), 4u);
  EXPECT_EQ(packets[2].sec, 0x80000000);
  EXPECT_EQ(packets[3].usec, 700001);
}

// Times that a file gets wrong or leaves out: a sub-second field beyond its second is damage
// (it used to be written as it was, out of order, with advice no buffer could follow); a later
// section's finer resolution is told like the first one's; a simple packet block, which has no
// time, keeps its place after the packet before it instead of going to 1970.
TEST_F(MergeInputStreamTest, TimesAFileGetsWrongOrLeavesOutAreToldOrKeepTheirPlace) {
  const std::vector<uint8_t> bytes(60, 0x55);
  for (const auto& [magic, fraction] :
       {std::pair{0xA1B2C3D4u, 2500000u}, std::pair{0xA1B23C4Du, 1500000000u}}) {
    merge_test::WriteText(
        Path("bad.pcap"),
        merge_test::ClassicCapture(magic, 65535, 1, {{1000, 0, bytes}, {1000, fraction, bytes}}));
    const RunResult run = RunMerge({"-w", Out(), Path("bad.pcap").string()}, m_dir);
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_NE(run.err.find("bad.pcap: damaged capture file (packet 2 has"), std::string::npos)
        << run.err;
  }

  std::string sections = merge_test::NextGenerationCapture({{1, 0, -1}}, {{0, 1000000000, bytes}});
  sections += merge_test::NextGenerationCapture({{1, 0, 9}}, {{0, 1000000000123456789, bytes}});
  // A simple packet block (type 3) after the last packet: original length, then the data.
  const uint32_t simple[3] = {3, 16 + 60, 60};
  sections.append(reinterpret_cast<const char*>(simple), sizeof(simple));
  sections.append(bytes.begin(), bytes.end());
  sections.append(reinterpret_cast<const char*>(&simple[1]), 4);
  merge_test::WriteText(Path("sections.pcapng"), sections);
  merge_test::WriteText(Path("later.pcap"),
                        merge_test::ClassicCapture(0xA1B2C3D4, 65535, 1, {{1000000001, 0, bytes}}));
  const RunResult run =
      RunMerge({"-w", Out(), Path("sections.pcapng").string(), Path("later.pcap").string()}, m_dir);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("sections.pcapng has times finer than microseconds: 1 packet truncated"),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("order: in time order\n"), std::string::npos) << run.err;
  const std::vector<Packet> packets = ReadAll(Out());
  ASSERT_EQ(packets.size(), 4u);
  EXPECT_EQ(packets[1].sec, 1000000000);
  EXPECT_EQ(packets[1].usec, 123456);
  EXPECT_EQ(packets[2].sec, 1000000000) << "the simple block follows the packet before it";
  EXPECT_EQ(packets[2].usec, 123456);
  EXPECT_EQ(packets[3].sec, 1000000001);
}

} // namespace
