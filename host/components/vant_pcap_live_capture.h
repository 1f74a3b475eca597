#pragma once
// vant_pcap_live_capture: captures one network interface as a PCAP stream. Its output `output`
// carries VANTpcap_data_t elements of up to PacketsPerElement() packets (24-byte headers:
// captured length, original length as len2, seconds and microseconds of the kernel's capture
// time); `end_of_file` gets one Integer64 event (value 1, timestamp = the last packet's time, 0
// without packets) once the capture is ended.
//
// The capture's thread waits in one poll on the source's descriptor and on an eventfd of its own
// that EndCapture, the component's stop and its group write to; it never polls in a loop. Each
// round takes the packets the kernel holds (up to a budget, so a busy interface cannot keep the
// round going) into a queue of its own, then publishes one element: everything queued, up to
// the element size, that its group lets go (without a group: everything queued). The queue keeps
// the kernel's buffer drained while packets wait for their turn; beyond its byte limit packets
// are dropped and counted (QueueDrops).
//
// Ending: EndCapture() fixes the end at the current time. The capture keeps taking packets
// captured up to then, for as long as one may still be on its way (the group's delivery bound),
// publishes them, sends its end-of-file event and idles until it is stopped. A source that fails
// while running (the interface went away) ends the capture the same way, with a warning.
//
// Counters: packets taken from the kernel, packets and bytes sent, late packets (that came after
// the capture had told its group that no earlier one would come; see VANTLiveCaptureGroup) and
// the kernel's drop counters (read about every quarter of a second, and at the end).
//
// Thread: configure before the start; EndCapture and the counters may be used from any thread.
// Ownership: the capture owns its source (closed at Death) and the packet buffers that its
//   published elements point into.

#include "host/components/vant_failure_note.h"
#include "host/components/vant_live_capture_group.h"
#include "host/components/vant_live_packet_source.h"
#include "host/components/vant_pcap_element_slots.h"
#include "runtime/vant_component.h"

#include <atomic>
#include <climits>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

/// VANTLivePacketQueue: packets waiting to be published, copied one after another into one
/// growing block and taken from the front. It allocates only to grow (and compacts instead when
/// the front has moved far), up to a byte limit.
///
/// Thread: one thread.
class VANTLivePacketQueue {
public:
  struct Entry {
    int64_t tsSec;
    int64_t tsUsec;
    int64_t time; // microseconds
    uint32_t inclLen;
    uint32_t origLen;
  };

  explicit VANTLivePacketQueue(size_t byteLimit = size_t{64} << 20) : m_limit(byteLimit) {}
  void SetLimit(size_t bytes) noexcept { m_limit = bytes; }

  /// Copies the packet in; false (nothing kept) when that would pass the byte limit.
  [[nodiscard]] bool Push(const VANTCapturePacket& packet);
  bool Empty() const noexcept { return m_count == 0; }
  size_t Size() const noexcept { return m_count; }
  Entry Front() const noexcept;
  const uint8_t* FrontData() const noexcept;
  void Pop() noexcept;
  void Clear() noexcept;

private:
  static constexpr size_t kEntryBytes = sizeof(Entry);
  static size_t RecordBytes(uint32_t inclLen) noexcept {
    return kEntryBytes + ((static_cast<size_t>(inclLen) + 7) & ~size_t{7});
  }

  std::vector<uint8_t> m_bytes;
  size_t m_head = 0;
  size_t m_tail = 0;
  size_t m_count = 0;
  size_t m_limit;
};

class vant_pcap_live_capture : public virtual VANTComponent {
public:
  static constexpr int32_t kDefaultPacketsPerElement = 1024;

  vant_pcap_live_capture(const char* name, VANTComponentModelDefinition* record);
  ~vant_pcap_live_capture() override;

  /// The source to capture from (open already) and the most packets per element (1 to 65535).
  void Configure(std::unique_ptr<VANTLivePacketSource> source,
                 int32_t packetsPerElement = kDefaultPacketsPerElement);
  /// Makes the capture member `member` of `group`.
  void SetGroup(VANTLiveCaptureGroup* group, size_t member);
  /// The most bytes of packets queued while they wait for their turn.
  void SetQueueLimit(size_t bytes) { m_queue.SetLimit(bytes); }
  /// Ends the capture at the current time (see the header comment); any thread, any time.
  void EndCapture() noexcept;

  void Birth() override;
  void Cycle() override;
  void Death() override;
  /// Wakes the capture's wait, then stops the component.
  void EngineStop() noexcept override;

  /// The interface's name.
  const std::string& Interface() const noexcept { return m_interface; }
  int32_t PacketsPerElement() const noexcept { return m_packetsPerElement; }
  uint64_t PacketsCaptured() const noexcept { return m_captured.load(std::memory_order_relaxed); }
  uint64_t PacketsSent() const noexcept { return m_packets.load(std::memory_order_relaxed); }
  uint64_t BytesSent() const noexcept { return m_bytes.load(std::memory_order_relaxed); }
  uint64_t PacketsLate() const noexcept { return m_late.load(std::memory_order_relaxed); }
  uint64_t QueueDrops() const noexcept { return m_queueDrops.load(std::memory_order_relaxed); }
  uint64_t KernelDrops() const noexcept { return m_kernelDrops.load(std::memory_order_relaxed); }
  uint64_t InterfaceDrops() const noexcept {
    return m_interfaceDrops.load(std::memory_order_relaxed);
  }
  /// True once the end-of-file event has been published.
  bool Finished() const noexcept { return m_finished.load(std::memory_order_acquire); }
  bool Failed() const noexcept { return m_failure.Failed(); }
  std::string FailureText() const { return m_failure.Text(); }

private:
  enum class Told { kNothing, kIdle, kPending };

  [[noreturn]] void Fail(const std::string& text);
  /// Takes what the source holds, up to the round's budget; true when it may hold more.
  bool Drain(int64_t endAt);
  /// Publishes one element if the group lets it; false (and *retryAt) when it may not.
  bool PublishOne(int64_t* retryAt);
  void WriteEndOfFile();
  /// Waits for the source, the wake-up descriptor, or the realtime `deadline` (kNever: none).
  void WaitForWork(int64_t deadline, bool withSource);
  void ResetWake() noexcept;
  void Wake() noexcept;
  void ReadDrops() noexcept;
  int64_t Now() const noexcept;

  VANTOutput* m_output = nullptr;
  VANTOutput* m_endOfFile = nullptr;
  std::unique_ptr<VANTLivePacketSource> m_source;
  std::string m_interface;
  int32_t m_packetsPerElement = kDefaultPacketsPerElement;
  uint32_t m_linkType = 0;
  VANTLiveCaptureGroup* m_group = nullptr;
  size_t m_member = 0;
  int m_wake = -1; // eventfd

  VANTPcapElementSlots m_slots;
  VANTLivePacketQueue m_queue;
  Told m_told = Told::kNothing;
  int64_t m_promise = INT64_MIN;     // nothing earlier was to come, as the group was told
  int64_t m_latestTaken = INT64_MIN; // the latest time taken from the source
  int64_t m_lastTimestamp = 0;       // the last packet sent
  bool m_sourceGone = false;         // failed, or everything up to the end was taken
  int64_t m_nextDropRead = 0;        // realtime of the next drop-counter read
  VANTEvent m_never;                 // idling after the end: only the stop event ends the wait

  std::atomic<int64_t> m_endAt{INT64_MAX}; // the end's time; INT64_MAX: not ending
  std::atomic<bool> m_stopping{false};     // set by EngineStop before it wakes the thread
  std::atomic<uint64_t> m_captured{0};
  std::atomic<uint64_t> m_packets{0};
  std::atomic<uint64_t> m_bytes{0};
  std::atomic<uint64_t> m_late{0};
  std::atomic<uint64_t> m_queueDrops{0};
  std::atomic<uint64_t> m_kernelDrops{0};
  std::atomic<uint64_t> m_interfaceDrops{0};
  std::atomic<bool> m_finished{false};
  VANTFailureNote m_failure;
};
