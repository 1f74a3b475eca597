#include "host/components/vant_pcap_capture_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pcap/pcap.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#include <zlib.h>
#include <zstd.h>

namespace {

// Classic pcap magic words as read in this machine's (little-endian) order.
constexpr uint32_t kPcapMicro = 0xA1B2C3D4;
constexpr uint32_t kPcapNano = 0xA1B23C4D;
constexpr uint32_t kPcapExtended = 0xA1B2CD34; // 24-byte records (interface, protocol, type)
constexpr uint32_t kPcapngSection = 0x0A0D0D0A;
constexpr uint32_t kPcapngByteOrder = 0x1A2B3C4D;
constexpr uint32_t kPcapngInterface = 1;
constexpr uint32_t kPcapngObsoletePacket = 2;
constexpr uint32_t kPcapngSimplePacket = 3;
constexpr uint32_t kPcapngEnhancedPacket = 6;
constexpr uint16_t kOptionEnd = 0;
constexpr uint16_t kOptionTimeResolution = 9;
constexpr uint16_t kOptionTimeOffset = 14;
// Blocks are bounded like packets: a packet block carries one packet and its options.
constexpr uint32_t kLargestBlock = VANTPcapCaptureReader::kLargestPacket + (uint32_t{1} << 16);
// How long a read from a pipe waits before it asks whether it was interrupted.
constexpr int kWaitSliceMs = 100;
// Compressed bytes read from the descriptor at a time.
constexpr size_t kCompressedBlock = size_t{1} << 16;
// zstd frames with windows beyond this are refused: each input would hold such a window.
constexpr int kZstdWindowLogMax = 23;

std::string SystemError(int error) {
  char buffer[256];
  return strerror_r(error, buffer, sizeof(buffer));
}

std::string Hex(const uint8_t* bytes, size_t count) {
  std::string text;
  char two[4];
  for (size_t i = 0; i < count; ++i) {
    std::snprintf(two, sizeof(two), "%s%02x", i == 0 ? "" : " ", bytes[i]);
    text += two;
  }
  return text;
}

uint32_t Swap32(uint32_t value) noexcept {
  return __builtin_bswap32(value);
}

uint32_t LoadLE32(const uint8_t* at) noexcept {
  uint32_t value;
  std::memcpy(&value, at, sizeof(value));
  return value;
}

// fraction x 10^6 of a resolution up to 2^63 needs more than 64 bits.
__extension__ typedef unsigned __int128 Wide;

uint32_t PaddedTo4(uint32_t length) noexcept {
  return (length + 3u) & ~3u;
}

std::string Count(uint64_t value) {
  return std::to_string(value);
}

} // namespace

// ---- Byte sources ------------------------------------------------------------------------------

/// The bytes of a capture as they come from its descriptor. Bytes already read to recognise the
/// format can be handed back (Unread) and are read again first.
class VANTCaptureSource {
public:
  VANTCaptureSource(int fd, bool owned, bool waits, const std::function<bool()>* interrupted)
      : m_fd(fd), m_owned(owned), m_waits(waits), m_interrupted(interrupted) {}
  VANTCaptureSource(const VANTCaptureSource&) = delete;
  VANTCaptureSource& operator=(const VANTCaptureSource&) = delete;
  virtual ~VANTCaptureSource() {
    if (m_owned && m_fd >= 0) {
      ::close(m_fd);
    }
  }

  /// Up to `capacity` bytes into `to`: their count, 0 at the end, -1 with `error` set.
  virtual ssize_t Read(uint8_t* to, size_t capacity, std::string& error) {
    return ReadRaw(to, capacity, error);
  }
  /// "gzip", "zstd", or null for plain bytes.
  virtual const char* Compression() const noexcept { return nullptr; }
  /// Bytes taken from the descriptor so far.
  virtual uint64_t RawBytes() const noexcept { return m_raw; }

  void Unread(const uint8_t* bytes, size_t count) {
    m_pending.insert(m_pending.begin() + static_cast<std::ptrdiff_t>(m_pendingAt), bytes,
                     bytes + count);
  }

  ssize_t ReadRaw(uint8_t* to, size_t capacity, std::string& error) {
    if (m_pendingAt < m_pending.size()) {
      const size_t count = std::min(capacity, m_pending.size() - m_pendingAt);
      std::memcpy(to, m_pending.data() + m_pendingAt, count);
      m_pendingAt += count;
      if (m_pendingAt == m_pending.size()) {
        m_pending.clear();
        m_pendingAt = 0;
      }
      return static_cast<ssize_t>(count);
    }
    if (m_waits && !WaitForData(error)) {
      return -1;
    }
    for (;;) {
      const ssize_t got = ::read(m_fd, to, capacity);
      if (got >= 0) {
        m_raw += static_cast<uint64_t>(got);
        return got;
      }
      if (errno != EINTR) {
        error = SystemError(errno);
        return -1;
      }
    }
  }

private:
  bool Interrupted() const {
    return m_interrupted != nullptr && *m_interrupted && (*m_interrupted)();
  }

  // A pipe may stay silent for long: wait in slices, so that a stop is seen.
  bool WaitForData(std::string& error) {
    for (;;) {
      pollfd wanted{m_fd, POLLIN, 0};
      const int ready = ::poll(&wanted, 1, kWaitSliceMs);
      if (ready > 0) {
        return true;
      }
      if (ready < 0 && errno != EINTR) {
        return true; // not pollable: the read tells
      }
      if (Interrupted()) {
        error = "interrupted";
        return false;
      }
    }
  }

  int m_fd;
  bool m_owned;
  bool m_waits;
  const std::function<bool()>* m_interrupted;
  uint64_t m_raw = 0;
  std::vector<uint8_t> m_pending;
  size_t m_pendingAt = 0;
};

namespace {

/// gzip data, one member or several in a row.
class GzipSource : public VANTCaptureSource {
public:
  explicit GzipSource(std::unique_ptr<VANTCaptureSource> raw)
      : VANTCaptureSource(-1, false, false, nullptr), m_raw(std::move(raw)),
        m_input(std::make_unique<uint8_t[]>(kCompressedBlock)) {
    m_ready = inflateInit2(&m_stream, 15 + 16) == Z_OK;
  }
  ~GzipSource() override {
    if (m_ready) {
      inflateEnd(&m_stream);
    }
  }

  ssize_t Read(uint8_t* to, size_t capacity, std::string& error) override {
    if (!m_ready) {
      error = "cannot start the gzip decoder";
      return -1;
    }
    m_stream.next_out = to;
    m_stream.avail_out = static_cast<uInt>(std::min<size_t>(capacity, UINT32_MAX));
    const uInt wanted = m_stream.avail_out;
    while (m_stream.avail_out == wanted) {
      if (m_stream.avail_in == 0) {
        const ssize_t got = m_raw->ReadRaw(m_input.get(), kCompressedBlock, error);
        if (got < 0) {
          return -1;
        }
        if (got == 0) {
          if (m_inMember) {
            error = "truncated gzip data (the compressed stream ends early)";
            return -1;
          }
          return 0;
        }
        m_stream.next_in = m_input.get();
        m_stream.avail_in = static_cast<uInt>(got);
      }
      if (!m_inMember) { // a new member begins
        if (m_started && inflateReset(&m_stream) != Z_OK) {
          error = "cannot restart the gzip decoder";
          return -1;
        }
        m_inMember = true;
        m_started = true;
      }
      const int result = inflate(&m_stream, Z_NO_FLUSH);
      if (result == Z_STREAM_END) {
        m_inMember = false;
      } else if (result != Z_OK && result != Z_BUF_ERROR) {
        error = std::string("damaged gzip data (") +
                (m_stream.msg != nullptr ? m_stream.msg : "inflate failed") + ")";
        return -1;
      }
    }
    return static_cast<ssize_t>(wanted - m_stream.avail_out);
  }
  const char* Compression() const noexcept override { return "gzip"; }
  uint64_t RawBytes() const noexcept override { return m_raw->RawBytes(); }

private:
  std::unique_ptr<VANTCaptureSource> m_raw;
  std::unique_ptr<uint8_t[]> m_input;
  z_stream m_stream{};
  bool m_ready = false;
  bool m_inMember = false;
  bool m_started = false;
};

/// zstd data, one frame or several in a row.
class ZstdSource : public VANTCaptureSource {
public:
  explicit ZstdSource(std::unique_ptr<VANTCaptureSource> raw)
      : VANTCaptureSource(-1, false, false, nullptr), m_raw(std::move(raw)),
        m_input(std::make_unique<uint8_t[]>(kCompressedBlock)), m_stream(ZSTD_createDStream()) {
    if (m_stream != nullptr) {
      ZSTD_DCtx_setParameter(m_stream, ZSTD_d_windowLogMax, kZstdWindowLogMax);
    }
  }
  ~ZstdSource() override { ZSTD_freeDStream(m_stream); }

  ssize_t Read(uint8_t* to, size_t capacity, std::string& error) override {
    if (m_stream == nullptr) {
      error = "cannot start the zstd decoder";
      return -1;
    }
    ZSTD_outBuffer out{to, capacity, 0};
    while (out.pos == 0) {
      if (m_in.pos == m_in.size) {
        const ssize_t got = m_raw->ReadRaw(m_input.get(), kCompressedBlock, error);
        if (got < 0) {
          return -1;
        }
        if (got == 0) {
          if (m_frameOpen) {
            error = "truncated zstd data (the compressed stream ends early)";
            return -1;
          }
          return 0;
        }
        m_in = ZSTD_inBuffer{m_input.get(), static_cast<size_t>(got), 0};
      }
      const size_t result = ZSTD_decompressStream(m_stream, &out, &m_in);
      if (ZSTD_isError(result) != 0) {
        error = std::string("damaged zstd data (") + ZSTD_getErrorName(result) + ")";
        return -1;
      }
      m_frameOpen = result != 0;
    }
    return static_cast<ssize_t>(out.pos);
  }
  const char* Compression() const noexcept override { return "zstd"; }
  uint64_t RawBytes() const noexcept override { return m_raw->RawBytes(); }

private:
  std::unique_ptr<VANTCaptureSource> m_raw;
  std::unique_ptr<uint8_t[]> m_input;
  ZSTD_DStream* m_stream;
  ZSTD_inBuffer m_in{nullptr, 0, 0};
  bool m_frameOpen = true; // a frame is announced by the magic that chose this source
};

} // namespace

// ---- Reader ------------------------------------------------------------------------------------

VANTPcapCaptureReader::VANTPcapCaptureReader() = default;

VANTPcapCaptureReader::~VANTPcapCaptureReader() {
  Close();
}

void VANTPcapCaptureReader::Close() noexcept {
  m_source.reset();
  m_position = 0;
  m_end = 0;
  m_atEnd = false;
  m_consumed = 0;
  m_compressedRead = 0;
  m_format = Format::kNone;
  m_swapped = false;
  m_nanoseconds = false;
  m_recordHeader = 16;
  m_versionMinor = 4;
  m_interfaces.clear();
  m_sectionInterfaces = 0;
  m_packetNumber = 0;
  m_peeked = false;
  m_linkType = 0;
  m_snapLength = 0;
  m_finer = false;
  m_lastSeconds = 0;
  m_lastMicroseconds = 0;
  m_truncated = 0;
  m_fileSize = 0;
}

void VANTPcapCaptureReader::SetInterruptCheck(std::function<bool()> interrupted) {
  m_interrupted = std::move(interrupted);
}

uint32_t VANTPcapCaptureReader::Load32(const uint8_t* at) const noexcept {
  const uint32_t value = LoadLE32(at);
  return m_swapped ? Swap32(value) : value;
}

uint16_t VANTPcapCaptureReader::Load16(const uint8_t* at) const noexcept {
  uint16_t value;
  std::memcpy(&value, at, sizeof(value));
  return m_swapped ? __builtin_bswap16(value) : value;
}

VANTPcapCaptureReader::Step VANTPcapCaptureReader::Fail(const std::string& what) {
  m_error = m_path + ": " + what;
  DropSource(); // nothing more is read
  m_atEnd = true;
  m_position = m_end;
  return Step::kError;
}

VANTPcapCaptureReader::Step VANTPcapCaptureReader::Damaged(const std::string& what) {
  return Fail("damaged capture file (" + what + ")");
}

VANTPcapCaptureReader::Step VANTPcapCaptureReader::Truncated(const std::string& what) {
  return Fail("truncated capture file (" + what + ")");
}

bool VANTPcapCaptureReader::Need(size_t bytes) {
  const size_t available = m_end - m_position;
  if (available >= bytes) {
    return true;
  }
  if (m_position > 0) {
    std::memmove(m_buffer.data(), m_buffer.data() + m_position, available);
    m_position = 0;
    m_end = available;
  }
  if (bytes > m_buffer.size()) {
    m_buffer.resize(bytes);
  }
  while (m_end < bytes) {
    if (m_atEnd || !m_source) {
      return false;
    }
    std::string error;
    const ssize_t got = m_source->Read(m_buffer.data() + m_end, m_buffer.size() - m_end, error);
    if (got < 0) {
      Fail(error);
      return false;
    }
    if (got == 0) {
      m_atEnd = true;
    }
    m_end += static_cast<size_t>(got);
  }
  return true;
}

bool VANTPcapCaptureReader::Open(const std::string& path, size_t blockSize) {
  Close();
  m_path = path;
  m_error.clear();
  int fd = 0;
  bool owned = false;
  if (path != "-") {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      m_error = path + ": " + SystemError(errno);
      return false;
    }
    owned = true;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    m_error = path + ": " + SystemError(errno);
    if (owned) {
      ::close(fd);
    }
    return false;
  }
  std::string kind;
  if (S_ISDIR(info.st_mode)) {
    m_error = path + ": is a directory, not a capture file";
    if (owned) {
      ::close(fd);
    }
    return false;
  }
  if (S_ISREG(info.st_mode)) {
    m_fileSize = static_cast<uint64_t>(info.st_size);
  } else if (S_ISFIFO(info.st_mode)) {
    kind = "a pipe";
  } else if (S_ISCHR(info.st_mode)) {
    kind = "a character device";
  } else if (S_ISSOCK(info.st_mode)) {
    kind = "a socket";
  } else if (S_ISBLK(info.st_mode)) {
    kind = "a block device";
  }
  const bool waits = !S_ISREG(info.st_mode) && !S_ISBLK(info.st_mode);
  m_source = std::make_unique<VANTCaptureSource>(fd, owned, waits, &m_interrupted);
  m_buffer.assign(std::max(blockSize, kSmallestBlockSize), 0);
  if (!DetectFormat(kind)) {
    m_source.reset();
    return false;
  }
  // Up to the first packet: a next-generation file tells its link type on the way.
  VANTCapturePacket first;
  if (Peek(first) == Step::kError) {
    return false;
  }
  return true;
}

bool VANTPcapCaptureReader::DetectFormat(const std::string& kind) {
  std::string compression;
  for (int layer = 0; layer < 2; ++layer) {
    Need(4);
    if (!m_error.empty()) {
      return false;
    }
    const size_t have = m_end - m_position;
    const uint8_t* at = m_buffer.data() + m_position;
    const std::string what = !compression.empty() ? compression + " data"
                             : kind.empty()       ? "the file"
                                                  : kind;
    if (have == 0) {
      Fail(!compression.empty() ? "not a capture file (the " + compression + " data holds nothing)"
           : kind.empty()       ? "not a capture file (the file is empty)"
                                : "not a capture file (" + kind + " that gave no data)");
      return false;
    }
    if (have < 4) {
      Fail("not a capture file (" + what + " holds only " + Count(have) + " byte" +
           (have == 1 ? "" : "s") + ")");
      return false;
    }
    const uint32_t magic = LoadLE32(at);
    if (layer == 0 && (at[0] == 0x1F && at[1] == 0x8B)) {
      compression = "gzip";
    } else if (layer == 0 && magic == 0xFD2FB528) {
      compression = "zstd";
    } else if (magic == kPcapMicro || magic == kPcapNano || magic == kPcapExtended ||
               Swap32(magic) == kPcapMicro || Swap32(magic) == kPcapNano ||
               Swap32(magic) == kPcapExtended) {
      return OpenPcap();
    } else if (magic == kPcapngSection) {
      return OpenPcapng();
    } else {
      std::string known;
      if (at[0] == 'B' && at[1] == 'Z' && at[2] == 'h') {
        known = ": bzip2-compressed data, which is not read here; decompress it first";
      } else if (have >= 4 && at[0] == 0xFD && at[1] == '7' && at[2] == 'z' && at[3] == 'X') {
        known = ": xz-compressed data, which is not read here; decompress it first";
      } else {
        known = ", which are neither pcap nor pcapng";
      }
      Fail("not a capture file (" +
           (kind.empty() || !compression.empty() ? std::string() : kind + "; ") +
           (compression.empty() ? std::string() : compression + " data; ") + "its first bytes " +
           Hex(at, 4) + known + ")");
      return false;
    }
    // Compressed: hand back what was read and read through the decoder.
    m_source->Unread(at, have);
    m_position = 0;
    m_end = 0;
    if (compression == "gzip") {
      m_source = std::make_unique<GzipSource>(std::move(m_source));
    } else {
      m_source = std::make_unique<ZstdSource>(std::move(m_source));
    }
  }
  Fail("not a capture file (compressed twice)");
  return false;
}

std::string VANTPcapCaptureReader::FormatName() const {
  std::string name = m_format == Format::kPcapng ? "pcapng"
                     : m_nanoseconds             ? "pcap (nanoseconds)"
                                                 : "pcap";
  if (m_source && m_source->Compression() != nullptr) {
    name += std::string(", ") + m_source->Compression();
  }
  return name;
}

uint64_t VANTPcapCaptureReader::BytesRead() const noexcept {
  if (m_source && m_source->Compression() != nullptr) {
    return m_source->RawBytes();
  }
  return m_compressedRead != 0 ? m_compressedRead : m_consumed;
}

void VANTPcapCaptureReader::DropSource() noexcept {
  // A compressed file's progress is counted in its own bytes: keep that count past the source.
  if (m_source && m_source->Compression() != nullptr) {
    m_compressedRead = m_source->RawBytes();
  }
  m_source.reset();
}

VANTPcapCaptureReader::Step VANTPcapCaptureReader::Peek(VANTCapturePacket& packet) {
  if (!m_peeked) {
    m_peekedStep = m_format == Format::kPcap     ? ReadPcap(m_peekedPacket)
                   : m_format == Format::kPcapng ? ReadPcapng(m_peekedPacket)
                                                 : Step::kError;
    if (m_format == Format::kNone && m_error.empty()) {
      m_error = m_path + ": not open";
    }
    m_peeked = true;
  }
  packet = m_peekedPacket;
  return m_peekedStep;
}

VANTPcapCaptureReader::Step VANTPcapCaptureReader::Next(VANTCapturePacket& packet) {
  const Step step = Peek(packet);
  if (step == Step::kPacket) {
    m_peeked = false; // taken: the next call reads on
  }
  return step;
}

// ---- Classic pcap ------------------------------------------------------------------------------

bool VANTPcapCaptureReader::OpenPcap() {
  if (!Need(24)) {
    if (m_error.empty()) {
      Truncated("the file header is cut after " + Count(m_end - m_position) + " of 24 bytes");
    }
    return false;
  }
  const uint8_t* at = m_buffer.data() + m_position;
  uint32_t magic = LoadLE32(at);
  m_swapped = magic != kPcapMicro && magic != kPcapNano && magic != kPcapExtended;
  if (m_swapped) {
    magic = Swap32(magic);
  }
  m_nanoseconds = magic == kPcapNano;
  m_recordHeader = magic == kPcapExtended ? 24 : 16;
  const uint16_t major = Load16(at + 4);
  m_versionMinor = Load16(at + 6);
  if (major != 2) {
    Fail("not a capture file (pcap version " + Count(major) + "." + Count(m_versionMinor) +
         "; only version 2 is read)");
    return false;
  }
  const uint32_t snap = Load32(at + 16);
  m_snapLength = snap == 0 ? kDefaultSnapLength : snap;
  m_linkType = Load32(at + 20) & 0x03FFFFFFu; // the upper bits tell about frame check sequences
  m_finer = m_nanoseconds;
  m_position += 24;
  m_consumed += 24;
  m_format = Format::kPcap;
  return true;
}

VANTPcapCaptureReader::Step VANTPcapCaptureReader::ReadPcap(VANTCapturePacket& packet) {
  const uint64_t number = m_packetNumber + 1;
  if (!Need(m_recordHeader)) {
    if (!m_error.empty()) {
      return Step::kError;
    }
    if (m_end == m_position) {
      return Step::kEnd;
    }
    return Truncated("the header of packet " + Count(number) + " is cut after " +
                     Count(m_end - m_position) + " of " + Count(m_recordHeader) + " bytes");
  }
  const uint8_t* at = m_buffer.data() + m_position;
  const uint32_t seconds = Load32(at);
  const uint32_t fraction = Load32(at + 4);
  uint32_t captured = Load32(at + 8);
  uint32_t original = Load32(at + 12);
  // Files of versions before 2.3 wrote the two lengths the other way round.
  if (m_versionMinor < 3 || (m_versionMinor == 3 && captured > original)) {
    std::swap(captured, original);
  }
  if (captured > kLargestPacket) {
    return Damaged("packet " + Count(number) + " claims a captured length of " + Count(captured) +
                   " bytes, more than any packet");
  }
  const size_t whole = m_recordHeader + size_t{captured};
  if (!Need(whole)) {
    if (!m_error.empty()) {
      return Step::kError;
    }
    return Truncated("packet " + Count(number) + " is cut after " +
                     Count(m_end - m_position - m_recordHeader) + " of its " + Count(captured) +
                     " bytes");
  }
  if (fraction >= (m_nanoseconds ? 1000000000u : 1000000u)) {
    return Damaged("packet " + Count(number) + " has " + Count(fraction) +
                   (m_nanoseconds ? " nanoseconds" : " microseconds") + " in its time, " +
                   (m_nanoseconds ? "not below 1000000000" : "not below 1000000"));
  }
  at = m_buffer.data() + m_position;
  packet.tsSec = seconds; // unsigned 32-bit: captures after 2038 stay in order
  if (m_nanoseconds) {
    packet.tsUsec = fraction / 1000;
    m_truncated += fraction % 1000 != 0 ? 1 : 0;
  } else {
    packet.tsUsec = fraction;
  }
  packet.inclLen = captured;
  packet.origLen = original;
  packet.data = at + m_recordHeader;
  m_position += whole;
  m_consumed += whole;
  m_packetNumber = number;
  return Step::kPacket;
}

// ---- pcapng ------------------------------------------------------------------------------------

bool VANTPcapCaptureReader::OpenPcapng() {
  m_format = Format::kPcapng;
  return ReadSection() == Step::kPacket;
}

// Reads the section header block at the read position; kPacket stands for success.
VANTPcapCaptureReader::Step VANTPcapCaptureReader::ReadSection() {
  if (!Need(12)) {
    return !m_error.empty() ? Step::kError : Truncated("a section header block is cut");
  }
  const uint8_t* at = m_buffer.data() + m_position;
  const uint32_t order = LoadLE32(at + 8);
  if (order == kPcapngByteOrder) {
    m_swapped = false;
  } else if (Swap32(order) == kPcapngByteOrder) {
    m_swapped = true;
  } else {
    return Damaged("a section header block with the byte-order word " + Hex(at + 8, 4));
  }
  const uint32_t length = Load32(at + 4);
  if (length < 28 || length % 4 != 0 || length > kLargestBlock) {
    return Damaged("a section header block of " + Count(length) + " bytes");
  }
  if (!Need(length)) {
    return !m_error.empty() ? Step::kError : Truncated("a section header block is cut");
  }
  at = m_buffer.data() + m_position;
  const uint16_t major = Load16(at + 12);
  if (major != 1) {
    return Fail("not a capture file (pcapng version " + Count(major) + "." +
                Count(Load16(at + 14)) + "; only version 1 is read)");
  }
  if (Load32(at + length - 4) != length) {
    return Damaged("a section header block whose two lengths differ");
  }
  m_interfaces.clear();
  m_position += length;
  m_consumed += length;
  return Step::kPacket;
}

VANTPcapCaptureReader::Step VANTPcapCaptureReader::ReadInterface(const uint8_t* body,
                                                                 uint32_t length) {
  if (length < 8) {
    return Damaged("an interface description block of " + Count(length + 12) + " bytes");
  }
  Interface interface;
  interface.linkType = Load16(body);
  interface.snapLength = Load32(body + 4);
  uint32_t at = 8;
  while (length - at >= 4) {
    const uint16_t code = Load16(body + at);
    const uint16_t size = Load16(body + at + 2);
    if (code == kOptionEnd) {
      break;
    }
    if (PaddedTo4(size) > length - at - 4) {
      return Damaged("an interface option runs past its block");
    }
    const uint8_t* value = body + at + 4;
    if (code == kOptionTimeResolution && size >= 1) {
      const uint8_t resolution = value[0];
      const uint32_t exponent = resolution & 0x7Fu;
      if ((resolution & 0x80u) != 0 ? exponent > 63 : exponent > 19) {
        return Damaged("an interface with the time resolution code " + Count(resolution));
      }
      uint64_t units = 1;
      for (uint32_t i = 0; i < exponent; ++i) {
        units *= (resolution & 0x80u) != 0 ? 2 : 10;
      }
      interface.unitsPerSecond = units;
    } else if (code == kOptionTimeOffset && size >= 8) {
      uint64_t offset;
      std::memcpy(&offset, value, sizeof(offset));
      interface.offsetSeconds =
          static_cast<int64_t>(m_swapped ? __builtin_bswap64(offset) : offset);
    }
    at += 4 + PaddedTo4(size);
  }
  const uint64_t index = m_sectionInterfaces++;
  if (index == 0) {
    m_linkType = interface.linkType;
  } else if (interface.linkType != m_linkType) {
    return Fail("interfaces of different link types: interface " + Count(index) +
                " has link type " + VANT::LinkTypeName(interface.linkType) + ", the first one " +
                VANT::LinkTypeName(m_linkType) + "; a merge needs one link type");
  }
  const uint32_t snap = interface.snapLength == 0 ? kDefaultSnapLength : interface.snapLength;
  m_snapLength = std::max(m_snapLength, snap);
  m_finer = m_finer || interface.unitsPerSecond > 1000000;
  m_interfaces.push_back(interface);
  return Step::kPacket;
}

void VANTPcapCaptureReader::SetTime(VANTCapturePacket& packet, const Interface& interface,
                                    uint64_t units) {
  const uint64_t perSecond = interface.unitsPerSecond;
  const uint64_t seconds = units / perSecond;
  const uint64_t fraction = units % perSecond;
  if (perSecond == 1000000) {
    packet.tsUsec = static_cast<int64_t>(fraction);
  } else {
    const Wide scaled = static_cast<Wide>(fraction) * 1000000u;
    packet.tsUsec = static_cast<int64_t>(scaled / perSecond);
    m_truncated += scaled % perSecond != 0 ? 1 : 0;
  }
  int64_t signedSeconds =
      seconds > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(seconds);
  if (__builtin_add_overflow(signedSeconds, interface.offsetSeconds, &signedSeconds)) {
    signedSeconds = interface.offsetSeconds < 0 ? INT64_MIN : INT64_MAX;
  }
  packet.tsSec = signedSeconds;
}

VANTPcapCaptureReader::Step VANTPcapCaptureReader::ReadPcapng(VANTCapturePacket& packet) {
  const uint64_t number = m_packetNumber + 1;
  for (;;) {
    if (!Need(8)) {
      if (!m_error.empty()) {
        return Step::kError;
      }
      if (m_end == m_position) {
        return Step::kEnd;
      }
      return Truncated("a block header is cut after " + Count(m_end - m_position) + " bytes");
    }
    const uint8_t* at = m_buffer.data() + m_position;
    if (LoadLE32(at) == kPcapngSection) {
      const Step step = ReadSection();
      if (step != Step::kPacket) {
        return step;
      }
      continue;
    }
    const uint32_t type = Load32(at);
    const uint32_t length = Load32(at + 4);
    if (length < 12 || length % 4 != 0) {
      return Damaged("a block of type " + Count(type) + " claims " + Count(length) + " bytes");
    }
    if (length > kLargestBlock) {
      return Damaged("a block of type " + Count(type) + " claims " + Count(length) +
                     " bytes, more than any packet");
    }
    if (!Need(length)) {
      if (!m_error.empty()) {
        return Step::kError;
      }
      return Truncated("the last block is cut after " + Count(m_end - m_position) + " of " +
                       Count(length) + " bytes");
    }
    at = m_buffer.data() + m_position;
    if (Load32(at + length - 4) != length) {
      return Damaged("a block of type " + Count(type) + " whose two lengths differ");
    }
    const uint8_t* body = at + 8;
    const uint32_t bodyLength = length - 12;
    m_position += length;
    m_consumed += length;
    if (type == kPcapngInterface) {
      const Step step = ReadInterface(body, bodyLength);
      if (step != Step::kPacket) {
        return step;
      }
      continue;
    }
    if (type != kPcapngEnhancedPacket && type != kPcapngObsoletePacket &&
        type != kPcapngSimplePacket) {
      continue; // statistics, names, custom blocks: nothing to merge
    }
    const bool simple = type == kPcapngSimplePacket;
    const uint32_t fixed = simple ? 4 : 20;
    if (bodyLength < fixed) {
      return Damaged("packet " + Count(number) + " is in a block of only " + Count(length) +
                     " bytes");
    }
    const uint32_t interfaceId = simple                          ? 0
                                 : type == kPcapngObsoletePacket ? Load16(body)
                                                                 : Load32(body);
    if (interfaceId >= m_interfaces.size()) {
      return Damaged("packet " + Count(number) + " names interface " + Count(interfaceId) +
                     ", which its section does not describe");
    }
    const Interface& interface = m_interfaces[interfaceId];
    uint32_t captured = 0;
    if (simple) {
      packet.origLen = Load32(body);
      captured = std::min(packet.origLen, bodyLength - fixed);
      if (interface.snapLength != 0) {
        captured = std::min(captured, interface.snapLength);
      }
      // A simple packet block carries no time: it keeps its place after the packet before it.
      packet.tsSec = m_lastSeconds;
      packet.tsUsec = m_lastMicroseconds;
    } else {
      captured = Load32(body + 12);
      packet.origLen = Load32(body + 16);
      if (captured > bodyLength - fixed) {
        return Damaged("packet " + Count(number) + " claims " + Count(captured) +
                       " bytes in a block of " + Count(length));
      }
      const uint64_t units = (uint64_t{Load32(body + 4)} << 32) | Load32(body + 8);
      SetTime(packet, interface, units);
    }
    packet.inclLen = captured;
    packet.data = body + fixed;
    m_packetNumber = number;
    m_lastSeconds = packet.tsSec;
    m_lastMicroseconds = packet.tsUsec;
    return Step::kPacket;
  }
}

// ---- Writer ------------------------------------------------------------------------------------

VANTPcapCaptureWriter::~VANTPcapCaptureWriter() {
  (void)Close();
}

void VANTPcapCaptureWriter::SystemFailure(int error) {
  m_error = m_path + ": " + SystemError(error);
}

bool VANTPcapCaptureWriter::Open(const std::string& path, uint32_t linkType, uint32_t snapLength) {
  (void)Close();
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    m_path = path;
    SystemFailure(errno);
    return false;
  }
  if (!Attach(fd, path, linkType, snapLength)) {
    ::close(fd);
    return false;
  }
  m_owned = true;
  return true;
}

bool VANTPcapCaptureWriter::Attach(int fd, const std::string& name, uint32_t linkType,
                                   uint32_t snapLength) {
  (void)Close();
  m_path = name;
  m_error.clear();
  m_fd = fd;
  m_owned = false;
  m_linkType = linkType;
  m_largest = 0;
  struct stat info {};
  const int flags = ::fcntl(fd, F_GETFL);
  m_headerOffset = ::lseek(fd, 0, SEEK_CUR);
  m_canPatch = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && flags >= 0 &&
               (flags & O_APPEND) == 0 && m_headerOffset >= 0;
  m_snapLength = snapLength == 0 ? VANTPcapCaptureReader::kDefaultSnapLength : snapLength;
  if (!m_canPatch) {
    // The header goes out before the packets and cannot be corrected afterwards.
    m_snapLength = std::max(m_snapLength, VANTPcapCaptureReader::kDefaultSnapLength);
  }
  if (!m_buffer) {
    m_buffer = std::make_unique<uint8_t[]>(kBufferSize);
  }
  const uint32_t header[6] = {kPcapMicro, 2u | (4u << 16), 0, 0, m_snapLength, linkType};
  std::memcpy(m_buffer.get(), header, sizeof(header));
  m_used = sizeof(header);
  return true;
}

bool VANTPcapCaptureWriter::WriteAll(const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t done = ::write(m_fd, data, size);
    if (done < 0) {
      if (errno == EINTR) {
        continue;
      }
      SystemFailure(errno);
      return false;
    }
    data += done;
    size -= static_cast<size_t>(done);
  }
  return true;
}

bool VANTPcapCaptureWriter::WriteTwo(const uint8_t* first, size_t firstSize, const uint8_t* second,
                                     size_t secondSize) {
  iovec parts[2] = {{const_cast<uint8_t*>(first), firstSize},
                    {const_cast<uint8_t*>(second), secondSize}};
  while (parts[0].iov_len + parts[1].iov_len > 0) {
    iovec* from = parts[0].iov_len > 0 ? &parts[0] : &parts[1];
    const ssize_t done = ::writev(m_fd, from, from == parts ? 2 : 1);
    if (done < 0) {
      if (errno == EINTR) {
        continue;
      }
      SystemFailure(errno);
      return false;
    }
    auto left = static_cast<size_t>(done);
    for (iovec& part : parts) {
      const size_t taken = std::min(left, part.iov_len);
      part.iov_base = static_cast<uint8_t*>(part.iov_base) + taken;
      part.iov_len -= taken;
      left -= taken;
    }
  }
  return true;
}

bool VANTPcapCaptureWriter::Write(int64_t tsSec, int64_t tsUsec, uint32_t inclLen, uint32_t origLen,
                                  const uint8_t* data) {
  if (m_fd < 0) {
    m_error = m_path + ": not open";
    return false;
  }
  if (!FitsRecord(tsSec, tsUsec)) {
    m_error = m_path + ": timestamp " + std::to_string(tsSec) + " s " + std::to_string(tsUsec) +
              " us cannot be stored in a pcap record";
    return false;
  }
  const uint32_t header[4] = {static_cast<uint32_t>(tsSec), static_cast<uint32_t>(tsUsec), inclLen,
                              origLen};
  const size_t whole = sizeof(header) + size_t{inclLen};
  if (m_used + whole > kBufferSize) {
    if (!Flush()) {
      return false;
    }
    if (whole > kBufferSize / 2) { // a packet that large goes out on its own
      if (!WriteTwo(reinterpret_cast<const uint8_t*>(header), sizeof(header), data, inclLen)) {
        return false;
      }
      m_largest = std::max(m_largest, inclLen);
      return true;
    }
  }
  std::memcpy(m_buffer.get() + m_used, header, sizeof(header));
  if (inclLen != 0) {
    std::memcpy(m_buffer.get() + m_used + sizeof(header), data, inclLen);
  }
  m_used += whole;
  m_largest = std::max(m_largest, inclLen);
  return true;
}

bool VANTPcapCaptureWriter::Flush() {
  if (m_fd < 0 || m_used == 0) {
    return m_fd >= 0;
  }
  const size_t used = m_used;
  m_used = 0;
  return WriteAll(m_buffer.get(), used);
}

bool VANTPcapCaptureWriter::Close() {
  if (m_fd < 0) {
    return true;
  }
  bool ok = Flush();
  if (ok && m_largest > m_snapLength && m_canPatch) {
    // A packet longer than the announced snapshot length: readers would cut it.
    const uint32_t snap = m_largest;
    if (::pwrite(m_fd, &snap, sizeof(snap), m_headerOffset + 16) != sizeof(snap)) {
      SystemFailure(errno);
      ok = false;
    } else {
      m_snapLength = snap;
    }
  }
  if (m_owned && ::close(m_fd) != 0) {
    if (ok) {
      SystemFailure(errno);
    }
    ok = false;
  }
  m_fd = -1;
  m_owned = false;
  m_used = 0;
  return ok;
}

// ---- Link type names ---------------------------------------------------------------------------

namespace VANT {

std::string LinkTypeName(uint32_t linkType) {
  // Files carry link types in their own numbering; libpcap names them by its own, which differs
  // for a few old values.
  int dlt = static_cast<int>(linkType);
  switch (linkType) {
  case 100:
    dlt = DLT_ATM_RFC1483;
    break;
  case 101:
    dlt = DLT_RAW;
    break;
  case 102:
    dlt = DLT_SLIP_BSDOS;
    break;
  case 103:
    dlt = DLT_PPP_BSDOS;
    break;
  default:
    if (linkType == DLT_RAW || linkType == DLT_ATM_RFC1483 || linkType == DLT_SLIP_BSDOS ||
        linkType == DLT_PPP_BSDOS) {
      dlt = -1; // numbers that files do not use for these
    }
    break;
  }
  const char* name = dlt < 0 ? nullptr : pcap_datalink_val_to_name(dlt);
  const char* description = dlt < 0 ? nullptr : pcap_datalink_val_to_description(dlt);
  std::string text = std::to_string(linkType);
  if (name != nullptr) {
    text += " (";
    text += name;
    if (description != nullptr) {
      text += std::string(", ") + description;
    }
    text += ")";
  }
  return text;
}

} // namespace VANT
