#pragma once
// Where a live capture takes its packets from.
//
// VANTLivePacketSource is what the live capture component reads: a descriptor that becomes
// readable when packets may be waiting, and a read that never blocks. VANTPcapLiveSource is the
// real one: one network interface through libpcap, with the kernel's timestamps (in the best
// precision the kernel gives; the stream keeps microseconds). Tests give the component sources
// of their own.
//
// Thread: one thread at a time per source (the capture's thread once the capture runs).
// Ownership: a source owns its capture handle and closes it when destroyed.

#include "host/components/vant_pcap_capture_file.h"

#include <cstdint>
#include <string>

/// How an interface is captured.
struct VANTLiveCaptureSettings {
  /// Bytes kept of each packet (the snapshot length).
  uint32_t snapLength = 262144;
  /// The kernel's capture buffer in bytes.
  int64_t bufferBytes = int64_t{8} << 20;
  bool promiscuous = true;
  /// Immediate mode: every packet is handed over as it comes (a ring of whole frames, whose slots
  /// are as large as the largest frame the interface may carry). Otherwise the kernel hands over
  /// blocks of packets, each at the latest after `bufferTimeoutMs` (a block per time-out at
  /// least, so a slow link fills the ring in blocks x time-out), in a compact ring.
  bool immediate = false;
  int32_t bufferTimeoutMs = 1;
  /// A capture filter in the usual expression language; empty: every packet.
  std::string filter;
};

class VANTLivePacketSource {
public:
  enum class Step { kPacket, kNone, kError };
  /// Packets the capture lost before they were read.
  struct Drops {
    uint64_t kernel = 0;    // no room left in the capture buffer
    uint64_t interface = 0; // dropped by the interface or its driver
  };

  VANTLivePacketSource() = default;
  VANTLivePacketSource(const VANTLivePacketSource&) = delete;
  VANTLivePacketSource& operator=(const VANTLivePacketSource&) = delete;
  virtual ~VANTLivePacketSource() = default;

  /// The interface's name, for messages and summaries.
  virtual const std::string& Name() const = 0;
  virtual uint32_t LinkType() const = 0;
  virtual uint32_t SnapLength() const = 0;
  /// Readable (poll) when packets may be waiting.
  virtual int Descriptor() const = 0;
  /// The next packet if one is waiting (valid until the next call), kNone when none is, or an
  /// error (Error() says what; the source is then of no further use). Never blocks.
  virtual Step Next(VANTCapturePacket& packet) = 0;
  /// The drop counters since the capture began.
  virtual Drops ReadDrops() = 0;
  virtual const std::string& Error() const = 0;
};

class VANTPcapLiveSource final : public VANTLivePacketSource {
public:
  VANTPcapLiveSource() = default;
  ~VANTPcapLiveSource() override;

  /// Opens and starts the capture on `interface`. False with Error() set ("IFACE: reason").
  [[nodiscard]] bool Open(const std::string& interface, const VANTLiveCaptureSettings& settings);
  /// A warning of the start that did not stop it (promiscuous mode refused, ...), or empty.
  const std::string& Warning() const noexcept { return m_warning; }
  /// True when the kernel gives nanoseconds (truncated to microseconds in the stream).
  bool Nanoseconds() const noexcept { return m_nanoseconds; }

  const std::string& Name() const override { return m_name; }
  uint32_t LinkType() const override { return m_linkType; }
  uint32_t SnapLength() const override { return m_snapLength; }
  int Descriptor() const override { return m_descriptor; }
  Step Next(VANTCapturePacket& packet) override;
  Drops ReadDrops() override;
  const std::string& Error() const override { return m_error; }

private:
  bool Fail(const std::string& reason);

  struct pcap* m_handle = nullptr;
  std::string m_name;
  std::string m_error;
  std::string m_warning;
  uint32_t m_linkType = 0;
  uint32_t m_snapLength = 0;
  int m_descriptor = -1;
  bool m_nanoseconds = false;
  Drops m_drops;
};
