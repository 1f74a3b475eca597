#pragma once
// vant_pcap_file_player: plays one capture file as a PCAP stream. Each element of its output
// `output` is one VANTpcap_data_t header describing up to `PacketsPerElement()` consecutive
// packets of the file (24-byte headers: captured length, original length as len2, seconds and
// microseconds), held in a packet buffer of the player's own, one per FIFO element. After the last
// packet it writes one Integer64 event on `end_of_file`: value 1, timestamp = the last packet's
// time (0 for a file without packets). Then it idles until it is stopped.
//
// Pacing: with a pace origin set, a packet leaves no earlier than engine time
// engineOrigin + (packet time - captureOrigin); the engine's speed then sets the pace. Without it,
// packets leave as fast as the file is read.
//
// A read error (truncated or damaged file) is raised through Error with a text that names the file
// and the reason; the component then ends in error and its end-of-file event never comes. Callers
// see it through Failed() and FailureText().
//
// Thread: configure (Configure, SetPacing) before the start; the counters may be read from any
// thread at any time. Cycle runs on the component's main thread.
// Ownership: the player owns its capture reader and its packet buffers; elements published on
//   `output` point into those buffers, which the player hands to its outputs when it stops or
//   goes, so that they are freed only once no reader holds such an element.

#include "host/components/vant_failure_note.h"
#include "host/components/vant_pcap_capture_file.h"
#include "host/components/vant_pcap_element_slots.h"
#include "pcap_stream/vant_pcap_stream.h"
#include "runtime/vant_component.h"

#include <atomic>
#include <climits>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

/// VANTPcapPlayerGroup: keeps the players of one merge in step, so that no player runs ahead of
/// another that is late (not scheduled, slow disk). Each member publishes its frontier: the time
/// of the first packet it has not sent yet. Places are compared as (time, member): of equal times
/// the lower member comes first. A member sends an element only when the place of its first
/// packet comes before the place of every other member's frontier; the member with the earliest
/// place can always send, so the group never blocks as a whole.
///
/// What it buys: packets that come after the earliest unsent place of any input are only ever
/// those of one element per other input. A reorder buffer of (inputs - 1) x packets per element
/// is then enough for an exact merge of time-sorted inputs, equal times in member order, however
/// the threads are scheduled.
///
/// Thread: every operation may be called from any member's thread; frontiers are atomics, and a
///   waiting member's wake-up event is set when a move lets it go.
/// Ownership: the group does not own the events; it must outlive its members' runs.
class VANTPcapPlayerGroup {
public:
  /// Not set yet: the others wait for this member.
  static constexpr int64_t kUnknown = INT64_MIN;
  /// Nothing more to send: the others never wait for this member.
  static constexpr int64_t kDone = INT64_MAX;
  /// What SetWaiting takes when the member no longer waits.
  static constexpr int64_t kNotWaiting = INT64_MIN;

  explicit VANTPcapPlayerGroup(size_t members);
  VANTPcapPlayerGroup(const VANTPcapPlayerGroup&) = delete;
  VANTPcapPlayerGroup& operator=(const VANTPcapPlayerGroup&) = delete;

  size_t Size() const noexcept { return m_count; }
  /// The event set whenever another member's frontier moves (null: none).
  void SetWakeEvent(size_t member, VANTEvent* event) noexcept;
  /// Publishes the member's frontier and wakes the waiting members that may go now.
  void SetFrontier(size_t member, int64_t timestamp) noexcept;
  /// The member waits until it may send an element starting at `timestamp` (kNotWaiting: it
  /// no longer waits). Set before testing OthersFrontier, so that no move is missed.
  void SetWaiting(size_t member, int64_t timestamp) noexcept;
  int64_t Frontier(size_t member) const noexcept;
  /// The earliest frontier of the other members (kDone when there is none, kUnknown while one
  /// of them has not published one).
  int64_t OthersFrontier(size_t member) const noexcept;
  /// True when `member` may send an element starting at `timestamp`: every other member has
  /// published a frontier, and the place (timestamp, member) comes before each of them.
  bool MayGo(size_t member, int64_t timestamp) const noexcept;
  /// (time, member) comes before (otherTime, other).
  static bool Precedes(int64_t time, size_t member, int64_t otherTime, size_t other) noexcept {
    return time < otherTime || (time == otherTime && member < other);
  }

private:
  struct Member {
    std::atomic<int64_t> frontier{kUnknown};
    std::atomic<int64_t> waiting{kNotWaiting}; // the start time it waits to send, if any
    std::atomic<VANTEvent*> wake{nullptr};
  };
  size_t m_count;
  std::unique_ptr<Member[]> m_members;
};

class vant_pcap_file_player : public virtual VANTComponent {
public:
  static constexpr int32_t kDefaultPacketsPerElement = 256;

  vant_pcap_file_player(const char* name, VANTComponentModelDefinition* record);
  ~vant_pcap_file_player() override;

  /// The file to play and the most packets per element (1 to 65535). The file is opened at Birth.
  void Configure(const std::string& path, int32_t packetsPerElement = kDefaultPacketsPerElement);
  /// Plays a capture that is open already (a pipe can be opened only once); it is used at the
  /// next Birth, and played from where it stands.
  void Configure(std::unique_ptr<VANTPcapCaptureReader> reader,
                 int32_t packetsPerElement = kDefaultPacketsPerElement);
  /// The block size of the reader that Birth opens itself.
  void SetBlockSize(size_t bytes) { m_blockSize = bytes; }
  /// Plays the file in capture time: see the header comment.
  void SetPacing(int64_t captureOrigin, int64_t engineOrigin);
  /// Makes the player member `member` of `group` (see VANTPcapPlayerGroup).
  void SetGroup(VANTPcapPlayerGroup* group, size_t member);

  void Birth() override;
  void Cycle() override;
  void Death() override;

  const std::string& Path() const noexcept { return m_path; }
  int32_t PacketsPerElement() const noexcept { return m_packetsPerElement; }
  uint64_t PacketsSent() const noexcept { return m_packets.load(std::memory_order_relaxed); }
  uint64_t BytesSent() const noexcept { return m_bytes.load(std::memory_order_relaxed); }
  uint64_t FileBytesRead() const noexcept { return m_fileRead.load(std::memory_order_relaxed); }
  /// Packets sent that are earlier than a packet sent before them: the input is not in time order.
  uint64_t PacketsReordered() const noexcept { return m_reordered.load(std::memory_order_relaxed); }
  /// Packets whose time lost a part below the microsecond (the stream carries microseconds).
  uint64_t TimestampsTruncated() const noexcept {
    return m_truncated.load(std::memory_order_relaxed);
  }
  /// True when the file's times are finer than microseconds.
  bool FinerThanMicroseconds() const noexcept { return m_finer.load(std::memory_order_relaxed); }
  /// True once the end-of-file event has been published.
  bool Finished() const noexcept { return m_finished.load(std::memory_order_acquire); }
  bool Failed() const noexcept { return m_failure.Failed(); }
  std::string FailureText() const { return m_failure.Text(); }

private:
  void AllocatePacketBuffers();
  /// Reads the next packet into m_pending; false at the end of the file. A read error fails.
  bool ReadNext();
  /// Records the failure and raises it through Error (never returns).
  [[noreturn]] void Fail(const std::string& text);
  void WriteEndOfFile();
  /// With a group: waits until an element starting at `timestamp` may be sent.
  void WaitForTurn(int64_t timestamp);
  /// With a group: publishes the time of the next packet to send (kDone at the end).
  void MoveFrontier() noexcept;

  VANTOutput* m_output = nullptr;
  VANTOutput* m_endOfFile = nullptr;
  std::string m_path;
  int32_t m_packetsPerElement = kDefaultPacketsPerElement;
  bool m_paced = false;
  int64_t m_captureOrigin = 0;
  int64_t m_engineOrigin = 0;

  std::unique_ptr<VANTPcapCaptureReader> m_reader; // opened at Birth, or the one given
  std::unique_ptr<VANTPcapCaptureReader> m_given;  // handed over by Configure, taken at Birth
  size_t m_blockSize = VANTPcapCaptureReader::kDefaultBlockSize;
  int64_t m_latest = INT64_MIN; // the latest time sent so far
  VANTPcapElementSlots m_slots;
  // The packet read ahead (the reader's data stays valid only until its next call).
  VANTCapturePacket m_pending;
  bool m_hasPending = false;
  bool m_atEnd = false;
  int64_t m_lastTimestamp = 0;
  VANTEvent m_never; // idling after the end: only the stop event ends the wait
  VANTPcapPlayerGroup* m_group = nullptr;
  size_t m_member = 0;
  VANTEvent m_turn; // set by the group when another member's frontier moves

  std::atomic<uint64_t> m_packets{0};
  std::atomic<uint64_t> m_bytes{0};
  std::atomic<uint64_t> m_fileRead{0};
  std::atomic<uint64_t> m_reordered{0};
  std::atomic<uint64_t> m_truncated{0};
  std::atomic<bool> m_finer{false};
  std::atomic<bool> m_finished{false};
  VANTFailureNote m_failure;
};
