#pragma once
// vant_pcap_file_recorder: writes a PCAP stream into a classic microsecond capture file. It reads
// its input `input` (VANTpcap_data_t elements) and writes every packet of every element, in
// order, with the stream's link type; captured length, original length (len2) and the data go
// into the file unchanged. One Integer64 event on its input `end_of_file` ends the recording:
// whatever the stream still holds is written first (the data input is always read before the
// end-of-file input), then the file is finished, both inputs are let go so that the writer
// upstream sees everything read, and the recorder idles until it is stopped.
//
// Packets go out through the capture writer's large buffer, so that a whole element costs few
// system calls; with SetFlushEachElement every element is handed to the system as it comes (a
// paced stream into a pipe).
//
// While it writes, it watches the order of the times it writes (see OrderCheck): how often time
// went backwards, by how much at most, and how far back a packet came at most.
//
// With a packet limit, packets beyond it are passed over (not written); LimitReached() tells when
// it was reached. A write listener is told of every element taken (see VANTCaptureWriteListener).
//
// The file is opened (a path) or attached (a descriptor) at Birth. An element whose link type
// differs from the file's, a packet that does not fit its element, or a write that fails is
// raised through Error; Failed() and FailureText() tell the caller.
//
// Thread: configure before the start; the counters may be read from any thread at any time.

#include "host/components/vant_failure_note.h"
#include "host/components/vant_pcap_capture_file.h"
#include "pcap_stream/vant_pcap_stream.h"
#include "runtime/vant_component.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

/// What the times of a written stream tell about its order. Packets are numbered from 0 in the
/// order written.
struct VANTCaptureOrder {
  uint64_t packets = 0;
  int64_t first = 0; // time of the first packet (microseconds), when packets > 0
  int64_t last = 0;  // time of the last packet
  /// Packets earlier than the packet written right before them: time went backwards.
  uint64_t backwards = 0;
  /// Packets earlier than the latest time written before them (out of place).
  uint64_t outOfPlace = 0;
  /// The most such a packet lay behind that latest time (microseconds, 0 or more).
  int64_t largestStepBack = 0;
  /// The most packets written between a late packet and the first packet later than it: a
  /// reorder buffer larger by this many packets would have put every one in its place.
  uint64_t largestDelay = 0;
  /// True when a delay reached further back than the check remembers (largestDelay is then a
  /// lower bound).
  bool delayBeyondWindow = false;
};

/// Told by the recorder, on its thread, of every element it took: the first `written` packets of
/// `element` were written (and handed to the system, when the recorder flushes each element), the
/// rest were passed over.
class VANTCaptureWriteListener {
public:
  virtual ~VANTCaptureWriteListener() = default;
  virtual void ElementWritten(const VANTpcap_data_t& element, uint32_t written) = 0;
};

/// Follows the times of a stream packet by packet, in bounded memory.
class VANTCaptureOrderCheck {
public:
  /// How many rises of the latest time are remembered for the delays.
  static constexpr size_t kWindow = size_t{1} << 16;

  void Add(int64_t timestamp);
  const VANTCaptureOrder& Result() const noexcept { return m_order; }

private:
  struct Rise {
    uint64_t packet; // the packet that raised the latest time
    int64_t latest;  // to its time
  };
  VANTCaptureOrder m_order;
  int64_t m_latest = 0;
  std::vector<Rise> m_rises; // ring of the last kWindow rises, oldest at m_oldest
  size_t m_oldest = 0;
  bool m_forgot = false; // rises were dropped from the ring
};

class vant_pcap_file_recorder : public virtual VANTComponent {
public:
  vant_pcap_file_recorder(const char* name, VANTComponentModelDefinition* record);
  ~vant_pcap_file_recorder() override;

  /// The file to create, its link type and the snapshot length written into its header.
  void Configure(const std::string& path, uint32_t linkType, uint32_t snapLength = 262144);
  /// Writes to `fd` instead (it stays the caller's); `name` is used in messages.
  void ConfigureDescriptor(int fd, const std::string& name, uint32_t linkType,
                           uint32_t snapLength = 262144);
  /// Hands every element to the system as soon as it is written.
  void SetFlushEachElement(bool flush) { m_flushEachElement = flush; }
  /// Writes at most `packets` packets (0: no limit).
  void SetPacketLimit(uint64_t packets) { m_packetLimit = packets; }
  /// Tells `listener` (null: nobody) of every element taken; it must outlive the run.
  void SetWriteListener(VANTCaptureWriteListener* listener) { m_listener = listener; }

  void Birth() override;
  void Cycle() override;
  void Death() override;

  uint64_t PacketsWritten() const noexcept { return m_packets.load(std::memory_order_relaxed); }
  uint64_t BytesWritten() const noexcept { return m_bytes.load(std::memory_order_relaxed); }
  /// Packets whose timestamp is below the latest one written before them.
  uint64_t OutOfOrder() const noexcept { return m_outOfOrder.load(std::memory_order_relaxed); }
  /// The order of what was written so far.
  VANTCaptureOrder Order() const;
  /// The snapshot length the file's header announces (after the end: the final one).
  uint32_t SnapLength() const;
  /// True once the packet limit was reached.
  bool LimitReached() const noexcept { return m_limitReached.load(std::memory_order_acquire); }
  /// True once the end-of-file event was read and the file finished without error.
  bool Finished() const noexcept { return m_finished.load(std::memory_order_acquire); }
  bool Failed() const noexcept { return m_failure.Failed(); }
  std::string FailureText() const { return m_failure.Text(); }

private:
  [[noreturn]] void Fail(const std::string& text);
  void WriteElement(VANTIOElt* element);
  void Finish();

  VANTInput* m_data = nullptr;
  VANTInput* m_endOfFile = nullptr;
  std::string m_path;
  int m_fd = -1; // >= 0: attach to it instead of creating m_path
  uint32_t m_linkType = 1;
  uint32_t m_snapLength = 262144;
  bool m_flushEachElement = false;
  uint64_t m_packetLimit = 0;
  VANTCaptureWriteListener* m_listener = nullptr;

  std::unique_ptr<VANTPcapCaptureWriter> m_writer;
  VANTEvent m_never; // idling after the end: only the stop event ends the wait

  mutable std::mutex m_orderMutex; // guards m_order and m_writtenSnapLength
  VANTCaptureOrderCheck m_order;
  uint32_t m_writtenSnapLength = 0;

  std::atomic<uint64_t> m_packets{0};
  std::atomic<uint64_t> m_bytes{0};
  std::atomic<uint64_t> m_outOfOrder{0};
  std::atomic<bool> m_limitReached{false};
  std::atomic<bool> m_finished{false};
  VANTFailureNote m_failure;
};
