#pragma once
// Capture files through libpcap: a reader for classic pcap (microsecond and nanosecond) and pcapng
// files that hands out packets with microsecond timestamps, and a writer of classic microsecond
// pcap files. Both report failures as texts that name the file and the reason.
//
// Thread: one object per thread.
// Ownership: each object owns its libpcap handle and closes it in its destructor.

#include <climits>
#include <cstdint>
#include <memory>
#include <string>

struct pcap;
struct pcap_dumper;

/// One packet as the reader hands it out. `data` stays valid until the next call of Next().
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

class VANTPcapCaptureReader {
public:
  enum class Step { kPacket, kEnd, kError };

  VANTPcapCaptureReader() = default;
  VANTPcapCaptureReader(const VANTPcapCaptureReader&) = delete;
  VANTPcapCaptureReader& operator=(const VANTPcapCaptureReader&) = delete;
  ~VANTPcapCaptureReader();

  /// Opens `path`; false with Error() set when it is missing, unreadable or not a capture.
  [[nodiscard]] bool Open(const std::string& path);
  /// The next packet, the end of the file, or an error (a truncated or damaged file).
  Step Next(VANTCapturePacket& packet);

  uint32_t LinkType() const noexcept { return m_linkType; }
  uint32_t SnapLength() const noexcept { return m_snapLength; }
  /// Bytes of the file consumed so far and its whole size, for progress displays.
  uint64_t BytesRead() const noexcept;
  uint64_t FileSize() const noexcept { return m_fileSize; }
  const std::string& Path() const noexcept { return m_path; }
  const std::string& Error() const noexcept { return m_error; }

private:
  pcap* m_handle = nullptr;
  std::unique_ptr<char[]> m_stdioBuffer; // the FILE's buffer: outlives the handle
  std::string m_path;
  std::string m_error;
  uint32_t m_linkType = 0;
  uint32_t m_snapLength = 0;
  uint64_t m_fileSize = 0;
};

class VANTPcapCaptureWriter {
public:
  VANTPcapCaptureWriter() = default;
  VANTPcapCaptureWriter(const VANTPcapCaptureWriter&) = delete;
  VANTPcapCaptureWriter& operator=(const VANTPcapCaptureWriter&) = delete;
  ~VANTPcapCaptureWriter();

  /// Creates `path` as a classic microsecond pcap file with this link type and snapshot length.
  [[nodiscard]] bool Open(const std::string& path, uint32_t linkType, uint32_t snapLength = 262144);
  /// Appends one packet record; `data` holds `inclLen` bytes. False, with Error() set and nothing
  /// written, when the timestamp does not fit the record (see FitsRecord).
  [[nodiscard]] bool Write(int64_t tsSec, int64_t tsUsec, uint32_t inclLen, uint32_t origLen,
                           const uint8_t* data);
  /// Flushes and closes the file; false when a write or the close failed.
  [[nodiscard]] bool Close();

  bool IsOpen() const noexcept { return m_dumper != nullptr; }
  /// True when a record can hold the timestamp: both fields are stored as 32-bit words that are
  /// read back as signed, so each must lie within the signed 32-bit range.
  static bool FitsRecord(int64_t tsSec, int64_t tsUsec) noexcept {
    return tsSec >= INT32_MIN && tsSec <= INT32_MAX && tsUsec >= INT32_MIN && tsUsec <= INT32_MAX;
  }
  uint32_t LinkType() const noexcept { return m_linkType; }
  const std::string& Error() const noexcept { return m_error; }

private:
  pcap* m_dead = nullptr;
  pcap_dumper* m_dumper = nullptr;
  std::unique_ptr<char[]> m_stdioBuffer; // the FILE's buffer: outlives the dumper
  std::string m_path;
  std::string m_error;
  uint32_t m_linkType = 0;
};
