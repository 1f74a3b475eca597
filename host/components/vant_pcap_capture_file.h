#pragma once
// Capture files, read and written by this program itself.
//
// VANTPcapCaptureReader opens a capture once and streams it: a regular file, a pipe, a FIFO, a
// terminal or any other descriptor ("-" is standard input). The format is told by the first
// bytes: classic pcap (microsecond, nanosecond and the extended-record variant, either byte
// order), pcapng (any number of sections, either byte order), each of them also compressed with
// gzip or zstd. The bytes are read in large blocks; each packet is handed out as a view into the
// block (no copy), with a microsecond timestamp.
//
// VANTPcapCaptureWriter writes a classic microsecond pcap file through a large buffer, on a
// descriptor of its own (Open) or one it is given (Attach).
//
// Both report failures as texts that name the file and what is wrong.
//
// Thread: one object per thread.
// Ownership: each object owns its buffers, and the descriptor it opened itself.

#include <climits>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

/// One packet as the reader hands it out. `data` stays valid until the next call of Next() or
/// Peek() that moves past it.
struct VANTCapturePacket {
  int64_t tsSec = 0;
  int64_t tsUsec = 0;
  uint32_t inclLen = 0;
  uint32_t origLen = 0;
  const uint8_t* data = nullptr;

  /// The capture time in microseconds. A next-generation file can hold times beyond the 64-bit
  /// microsecond range; they saturate, so that the order of packets is kept.
  int64_t Timestamp() const noexcept {
    int64_t us = 0;
    if (__builtin_mul_overflow(tsSec, int64_t{1000000}, &us) ||
        __builtin_add_overflow(us, tsUsec, &us)) {
      return tsSec < 0 ? INT64_MIN : INT64_MAX;
    }
    return us;
  }
};

namespace VANT {
/// A readable name for a link type as files write it, such as "1 (EN10MB, Ethernet)", or its
/// number alone.
std::string LinkTypeName(uint32_t linkType);
} // namespace VANT

class VANTCaptureSource; // the byte stream under a reader: plain, gzip or zstd

class VANTPcapCaptureReader {
public:
  enum class Step { kPacket, kEnd, kError };

  /// Bytes read from the file at a time (a block holds many packets).
  static constexpr size_t kDefaultBlockSize = size_t{1} << 20;
  /// The smallest block a reader uses, whatever it is asked for.
  static constexpr size_t kSmallestBlockSize = size_t{16} << 10;
  /// A captured length above this is taken for damage, not for a packet: no link layer carries
  /// anything near it, and a reader must not be made to allocate gigabytes by one bad word.
  static constexpr uint32_t kLargestPacket = uint32_t{16} << 20;
  /// The snapshot length that readers assume when a file sets none.
  static constexpr uint32_t kDefaultSnapLength = 262144;

  VANTPcapCaptureReader();
  VANTPcapCaptureReader(const VANTPcapCaptureReader&) = delete;
  VANTPcapCaptureReader& operator=(const VANTPcapCaptureReader&) = delete;
  ~VANTPcapCaptureReader();

  /// Opens `path` ("-": standard input) and reads up to the first packet's place, so that the
  /// link type is known. False with Error() set when it cannot be opened or is not a capture.
  [[nodiscard]] bool Open(const std::string& path, size_t blockSize = kDefaultBlockSize);
  /// The next packet, the end of the capture, or an error (a truncated or damaged file).
  Step Next(VANTCapturePacket& packet);
  /// The packet that the next Next() hands out, without taking it.
  Step Peek(VANTCapturePacket& packet);

  /// While a read from a pipe or device waits for data, `interrupted` is asked about every
  /// 100 ms; when it answers true, the read fails with "interrupted".
  void SetInterruptCheck(std::function<bool()> interrupted);

  /// The link type as the file writes it (pcapng: that of its interfaces); 0 for a pcapng file
  /// that describes no interface.
  uint32_t LinkType() const noexcept { return m_linkType; }
  /// The largest snapshot length the file announces (0: none).
  uint32_t SnapLength() const noexcept { return m_snapLength; }
  /// True when the file's timestamps are finer than microseconds.
  bool FinerThanMicroseconds() const noexcept { return m_finer; }
  /// Packets whose timestamp lost a part below the microsecond.
  uint64_t TruncatedTimestamps() const noexcept { return m_truncated; }
  /// "pcap", "pcap (nanoseconds)", "pcapng", each with ", gzip" or ", zstd" when compressed.
  std::string FormatName() const;
  /// Bytes of the file consumed so far (compressed bytes for a compressed file) and the size of
  /// a regular file (0 for anything else), for progress displays.
  uint64_t BytesRead() const noexcept;
  uint64_t FileSize() const noexcept { return m_fileSize; }
  const std::string& Path() const noexcept { return m_path; }
  const std::string& Error() const noexcept { return m_error; }

private:
  enum class Format { kNone, kPcap, kPcapng };
  struct Interface {
    uint32_t linkType = 0;
    uint32_t snapLength = 0;
    uint64_t unitsPerSecond = 1000000;
    int64_t offsetSeconds = 0;
  };

  void Close() noexcept;
  /// At least `bytes` bytes from the read position on in the buffer; false at the end of the
  /// stream (Error() empty) or on a read error (Error() set).
  bool Need(size_t bytes);
  Step Fail(const std::string& what);
  Step Damaged(const std::string& what);
  Step Truncated(const std::string& what);
  bool DetectFormat(const std::string& kind);
  bool OpenPcap();
  bool OpenPcapng();
  Step ReadPcap(VANTCapturePacket& packet);
  Step ReadPcapng(VANTCapturePacket& packet);
  /// Reads the section header block at the read position.
  Step ReadSection();
  Step ReadInterface(const uint8_t* body, uint32_t length);
  void SetTime(VANTCapturePacket& packet, const Interface& interface, uint64_t units);
  uint32_t Load32(const uint8_t* at) const noexcept;
  uint16_t Load16(const uint8_t* at) const noexcept;
  /// Closes the source, keeping what BytesRead() counts.
  void DropSource() noexcept;

  std::unique_ptr<VANTCaptureSource> m_source;
  std::function<bool()> m_interrupted;
  std::vector<uint8_t> m_buffer;
  size_t m_position = 0; // first byte not consumed
  size_t m_end = 0;      // end of the bytes read
  bool m_atEnd = false;  // the source has nothing more
  uint64_t m_consumed = 0;
  uint64_t m_compressedRead = 0; // a compressed file's own bytes read, once its source is gone

  Format m_format = Format::kNone;
  bool m_swapped = false;
  bool m_nanoseconds = false;
  uint32_t m_recordHeader = 16; // classic: 16, or 24 for the extended records
  uint16_t m_versionMinor = 4;
  std::vector<Interface> m_interfaces; // pcapng: those of the current section
  uint64_t m_sectionInterfaces = 0;    // of all sections, for the messages
  uint64_t m_packetNumber = 0;         // packets handed out so far

  bool m_peeked = false;
  Step m_peekedStep = Step::kEnd;
  VANTCapturePacket m_peekedPacket;

  std::string m_path;
  std::string m_error;
  uint32_t m_linkType = 0;
  uint32_t m_snapLength = 0;
  bool m_finer = false;
  int64_t m_lastSeconds = 0; // the time of the last pcapng packet, for one that has none
  int64_t m_lastMicroseconds = 0;
  uint64_t m_truncated = 0;
  uint64_t m_fileSize = 0;
};

class VANTPcapCaptureWriter {
public:
  VANTPcapCaptureWriter() = default;
  VANTPcapCaptureWriter(const VANTPcapCaptureWriter&) = delete;
  VANTPcapCaptureWriter& operator=(const VANTPcapCaptureWriter&) = delete;
  ~VANTPcapCaptureWriter();

  /// Creates (or truncates) `path` and writes the file header. False with Error() set on failure.
  [[nodiscard]] bool Open(const std::string& path, uint32_t linkType, uint32_t snapLength = 262144);
  /// Writes to `fd`, which stays the caller's; `name` is used in messages. The header's snapshot
  /// length is `snapLength` (0: 262144) for a regular file, raised afterwards when a longer packet
  /// is written; on anything else (where the header cannot be rewritten) it is at least 262144.
  [[nodiscard]] bool Attach(int fd, const std::string& name, uint32_t linkType,
                            uint32_t snapLength = 262144);
  /// Appends one packet record; `data` holds `inclLen` bytes. False, with Error() set and nothing
  /// written, when the timestamp does not fit the record (see FitsRecord) or a write failed.
  [[nodiscard]] bool Write(int64_t tsSec, int64_t tsUsec, uint32_t inclLen, uint32_t origLen,
                           const uint8_t* data);
  /// Hands everything written so far to the system.
  [[nodiscard]] bool Flush();
  /// Flushes, sets the header's snapshot length to the largest packet when needed, and closes
  /// the file when it opened it; false when a write or the close failed.
  [[nodiscard]] bool Close();

  bool IsOpen() const noexcept { return m_fd >= 0; }
  /// True when a record can hold the timestamp: both fields are unsigned 32-bit words.
  static bool FitsRecord(int64_t tsSec, int64_t tsUsec) noexcept {
    return tsSec >= 0 && tsSec <= UINT32_MAX && tsUsec >= 0 && tsUsec <= UINT32_MAX;
  }
  uint32_t LinkType() const noexcept { return m_linkType; }
  /// The snapshot length the header announces.
  uint32_t SnapLength() const noexcept { return m_snapLength; }
  const std::string& Error() const noexcept { return m_error; }

  static constexpr size_t kBufferSize = size_t{1} << 20;

private:
  bool WriteAll(const uint8_t* data, size_t size);
  bool WriteTwo(const uint8_t* first, size_t firstSize, const uint8_t* second, size_t secondSize);
  void SystemFailure(int error);

  int m_fd = -1;
  bool m_owned = false;
  bool m_canPatch = false; // a regular file, not appended to: the header can be rewritten
  int64_t m_headerOffset = 0;
  std::unique_ptr<uint8_t[]> m_buffer;
  size_t m_used = 0;
  std::string m_path;
  std::string m_error;
  uint32_t m_linkType = 0;
  uint32_t m_snapLength = 0;
  uint32_t m_largest = 0; // largest captured length written
};
