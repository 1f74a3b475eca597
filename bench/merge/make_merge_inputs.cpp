// Writes the input set of the merge benchmark: N classic pcap files (Ethernet, microseconds) of P
// packets each, 60 to 1500 bytes, whose timestamps interleave across the files and repeat often
// (about 4 packets in 10 share the timestamp of the one before them, and the files advance at the
// same pace, so equal timestamps across files are common too). The content is deterministic:
// the same arguments always give the same bytes.
//
//   merge_bench_inputs DIR [FILES=4] [PACKETS=1000000] [SEED=1]
//
// Files are named DIR/merge_input_<i>.pcap. Each packet starts with a fake Ethernet header
// followed by the file index and the packet number, so every packet is unique.
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

uint64_t SplitMix(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

void Put32(uint8_t* at, uint32_t value) {
  std::memcpy(at, &value, 4);
}

bool ParseNumber(const char* text, uint64_t& value) {
  char* end = nullptr;
  errno = 0;
  value = std::strtoull(text, &end, 10);
  return errno == 0 && end != text && *end == '\0';
}

constexpr uint32_t kMinSize = 60;
constexpr uint32_t kMaxSize = 1500;
constexpr int64_t kStartSeconds = 1700000000;

bool WriteFile(const std::string& path, uint32_t index, uint64_t packets, uint64_t seed,
               const std::vector<uint8_t>& noise) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    std::fprintf(stderr, "merge_bench_inputs: %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  std::vector<char> stdioBuffer(1 << 22);
  std::setvbuf(file, stdioBuffer.data(), _IOFBF, stdioBuffer.size());

  uint8_t header[24] = {};
  Put32(header, 0xA1B2C3D4); // classic pcap, microseconds, little-endian
  header[4] = 2;             // version 2.4
  header[6] = 4;
  Put32(header + 16, 65535); // snapshot length
  Put32(header + 20, 1);     // Ethernet
  std::fwrite(header, 1, sizeof(header), file);

  uint64_t state = seed * 0x100000001B3ull + index;
  int64_t timestamp = kStartSeconds * 1000000 + static_cast<int64_t>(SplitMix(state) % 50);
  uint8_t record[16 + kMaxSize];
  for (uint64_t n = 0; n < packets; ++n) {
    const uint64_t draw = SplitMix(state);
    if (n > 0 && draw % 10 >= 4) {
      timestamp += 1 + static_cast<int64_t>((draw >> 8) % 12); // else: same as the one before
    }
    const uint32_t size =
        kMinSize + static_cast<uint32_t>((draw >> 20) % (kMaxSize - kMinSize + 1));
    Put32(record, static_cast<uint32_t>(timestamp / 1000000));
    Put32(record + 4, static_cast<uint32_t>(timestamp % 1000000));
    Put32(record + 8, size);
    Put32(record + 12, size);
    uint8_t* data = record + 16;
    std::memcpy(data, noise.data() + (draw >> 40) % (noise.size() - kMaxSize), size);
    static const uint8_t kEthernet[14] = {0x02, 0, 0, 0, 0, 1, 0x02, 0, 0, 0, 0, 2, 0x88, 0xB5};
    std::memcpy(data, kEthernet, sizeof(kEthernet));
    Put32(data + 14, index);
    std::memcpy(data + 18, &n, sizeof(n));
    std::fwrite(record, 1, 16 + size, file);
  }
  const bool ok = std::fflush(file) == 0 && std::ferror(file) == 0;
  if (std::fclose(file) != 0 || !ok) {
    std::fprintf(stderr, "merge_bench_inputs: %s: write failed: %s\n", path.c_str(),
                 std::strerror(errno));
    return false;
  }
  return true;
}

} // namespace

int main(int argc, char** argv) {
  uint64_t files = 4;
  uint64_t packets = 1000000;
  uint64_t seed = 1;
  if (argc < 2 || argc > 5 || (argc > 2 && !ParseNumber(argv[2], files)) ||
      (argc > 3 && !ParseNumber(argv[3], packets)) || (argc > 4 && !ParseNumber(argv[4], seed)) ||
      files == 0 || files > 10000) {
    std::fprintf(stderr, "usage: merge_bench_inputs DIR [FILES=4] [PACKETS=1000000] [SEED=1]\n");
    return 2;
  }
  std::vector<uint8_t> noise(1 << 20);
  uint64_t state = seed;
  for (size_t i = 0; i < noise.size(); i += 8) {
    const uint64_t value = SplitMix(state);
    std::memcpy(noise.data() + i, &value, 8);
  }
  for (uint64_t i = 0; i < files; ++i) {
    const std::string path = std::string(argv[1]) + "/merge_input_" + std::to_string(i) + ".pcap";
    if (!WriteFile(path, static_cast<uint32_t>(i), packets, seed, noise)) {
      return 1;
    }
  }
  return 0;
}
