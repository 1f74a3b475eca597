// The capture file reader on arbitrary files.
//
// Input: the whole file (written to a scratch file, since the reader takes paths). Every packet
// is read to the end or to the first error, each of its bytes touched. The same bytes compressed
// with gzip must read as the same packets, with the same outcome. The packets of a file read
// without error are written with the capture writer and must read back the same.

#include "fuzz_support.h"
#include "host/components/vant_pcap_capture_file.h"

#include <cstdio>
#include <cstring>
#include <vector>
#include <zlib.h>

namespace {

struct Packet {
  int64_t tsSec;
  int64_t tsUsec;
  uint32_t inclLen;
  uint32_t origLen;
  std::vector<uint8_t> data;
  bool operator==(const Packet&) const = default;
};

// Reads every packet; false when the reader stopped on an error.
bool ReadAll(VANTPcapCaptureReader& reader, std::vector<Packet>& packets) {
  constexpr size_t kMostPackets = 1 << 16;
  VANTCapturePacket packet;
  for (size_t n = 0; n < kMostPackets; ++n) {
    const VANTPcapCaptureReader::Step step = reader.Next(packet);
    FUZZ_CHECK(reader.BytesRead() <= reader.FileSize());
    if (step == VANTPcapCaptureReader::Step::kEnd) {
      return true;
    }
    if (step == VANTPcapCaptureReader::Step::kError) {
      FUZZ_CHECK(!reader.Error().empty());
      return false;
    }
    FUZZ_CHECK(packet.data != nullptr || packet.inclLen == 0);
    packets.push_back({packet.tsSec, packet.tsUsec, packet.inclLen, packet.origLen,
                       std::vector<uint8_t>(packet.data, packet.data + packet.inclLen)});
    (void)packet.Timestamp();
  }
  return true;
}

// The bytes as one gzip member.
std::vector<uint8_t> Gzip(const uint8_t* bytes, size_t size) {
  z_stream stream{};
  std::vector<uint8_t> out;
  if (deflateInit2(&stream, 1, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    return out;
  }
  out.resize(deflateBound(&stream, static_cast<uLong>(size)) + 32);
  stream.next_in = const_cast<uint8_t*>(bytes);
  stream.avail_in = static_cast<uInt>(size);
  stream.next_out = out.data();
  stream.avail_out = static_cast<uInt>(out.size());
  const int result = deflate(&stream, Z_FINISH);
  out.resize(result == Z_STREAM_END ? stream.total_out : 0);
  deflateEnd(&stream);
  return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  static const fuzz::ScratchFile input(".pcap");
  static const fuzz::ScratchFile output("-copy.pcap");
  static const fuzz::ScratchFile compressed(".pcap.gz");
  FUZZ_CHECK(input.Write(bytes, size));
  // Compressed input inside gzip is compressed twice, which is refused.
  const bool plainCompressed =
      (size >= 2 && bytes[0] == 0x1F && bytes[1] == 0x8B) ||
      (size >= 4 && bytes[0] == 0x28 && bytes[1] == 0xB5 && bytes[2] == 0x2F && bytes[3] == 0xFD);

  VANTPcapCaptureReader reader;
  VANTPcapCaptureReader unpacked;
  const std::vector<uint8_t> gzipped = Gzip(bytes, size);
  FUZZ_CHECK(!gzipped.empty() && compressed.Write(gzipped.data(), gzipped.size()));
  // Small blocks: packets and blocks straddle the reads.
  const bool opened = reader.Open(input.Path(), 1);
  const bool unpackedOpened = unpacked.Open(compressed.Path(), 1);
  if (!plainCompressed) {
    FUZZ_CHECK(opened == unpackedOpened);
  }
  if (!opened) {
    FUZZ_CHECK(!reader.Error().empty());
    VANTCapturePacket packet;
    FUZZ_CHECK(reader.Next(packet) == VANTPcapCaptureReader::Step::kError);
    return 0;
  }
  FUZZ_CHECK(reader.FileSize() == size);
  std::vector<Packet> packets;
  const bool complete = ReadAll(reader, packets);
  if (!plainCompressed && unpackedOpened) {
    std::vector<Packet> same;
    FUZZ_CHECK(ReadAll(unpacked, same) == complete);
    FUZZ_CHECK(same == packets);
  }
  if (!complete) {
    return 0;
  }

  VANTPcapCaptureWriter writer;
  FUZZ_CHECK(writer.Open(output.Path(), reader.LinkType(), reader.SnapLength()));
  for (const Packet& packet : packets) {
    const bool fits = VANTPcapCaptureWriter::FitsRecord(packet.tsSec, packet.tsUsec);
    FUZZ_CHECK(writer.Write(packet.tsSec, packet.tsUsec, packet.inclLen, packet.origLen,
                            packet.data.data()) == fits);
    if (!fits) {
      FUZZ_CHECK(!writer.Error().empty());
      return 0; // refused, not wrapped: nothing to compare
    }
  }
  FUZZ_CHECK(writer.Close());

  VANTPcapCaptureReader again;
  FUZZ_CHECK(again.Open(output.Path()));
  FUZZ_CHECK(again.LinkType() == reader.LinkType());
  std::vector<Packet> copies;
  FUZZ_CHECK(ReadAll(again, copies));
  FUZZ_CHECK(copies.size() == packets.size());
  for (size_t i = 0; i < packets.size(); ++i) {
    if (!(copies[i] == packets[i])) {
      std::printf("packet %zu: read %lld.%06lld %u/%u, read back %lld.%06lld %u/%u\n", i,
                  static_cast<long long>(packets[i].tsSec),
                  static_cast<long long>(packets[i].tsUsec), packets[i].inclLen, packets[i].origLen,
                  static_cast<long long>(copies[i].tsSec), static_cast<long long>(copies[i].tsUsec),
                  copies[i].inclLen, copies[i].origLen);
    }
    FUZZ_CHECK(copies[i] == packets[i]);
  }
  return 0;
}
