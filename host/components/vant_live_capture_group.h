#pragma once
// VANTLiveCaptureGroup: lets the live captures that feed one multiplexer publish their packets so
// that the multiplexer can write each element as it reads it (buffer_packet_count 0) and the
// output is still in time order, at any packet rate, with every packet written within a bounded
// time of its capture.
//
// Frontiers. A place is (time, member); of equal times the lower member comes first. Each member
// tells the group what it holds, and so the earliest place it can still publish (its frontier):
//   - pending(front): packets wait, the earliest at `front`: its frontier is (front, member);
//   - idle: nothing waits. The delivery bound D says that a packet reaches its capture at most D
//     after its capture time, so nothing earlier than now - D can come any more, nor anything
//     earlier than what the member published already: its frontier is
//     (max(latest published, now - D), member), and it moves with the clock;
//   - done: nothing more; unknown (before its first report): everybody waits for it.
// A member publishes an element only when its first packet comes before every other member's
// frontier, and only packets that do. Two members can never both be allowed, so elements are
// published one at a time and in time order. A member that waits only for the clock knows when
// to look again (Turn::retryAt), within D of its packet's time.
//
// Read order. Publishing in time order is not enough: the multiplexer reads, among its inputs
// that hold an element, the one whose last read packet is the earliest (its schedule key), and
// with no reorder buffer it writes what it read in that order. So a publication also waits while
// another member may still have an unread element that the multiplexer would not read first:
// member j's unread elements are read before i's next one when j's key (the time of the last
// packet of the element j published before the one that is unread; at most that of the one
// before its latest) is below i's key (the last packet of i's latest element). What may be
// unread is told by the recorder: it reports every element written (ElementWritten), and what is
// written was read. Elements leave the multiplexer in the order they were published, so the
// count of packets written says which publications are written.
//
// The bound: a packet captured at t is published at the latest when every idle frontier has
// passed t, at t + D, plus the time the multiplexer and the recorder need for the elements
// before it; it is written right after. A packet that comes later than D after its capture time
// may be written out of order: the captures count such packets (late).
//
// Latency: the recorder's reports also give each packet's write time; the group keeps, per
// member, the packets and bytes written and the distribution of capture-to-write times.
//
// Thread: every operation may be called from any thread; one mutex guards the state and is held
//   only for bookkeeping (and for the wake-up writes), never across a wait.
// Ownership: the group does not own the members' wake-up descriptors; it must outlive the runs
//   of its members and of the recorder that reports to it.

#include "host/components/vant_latency_histogram.h"
#include "host/components/vant_pcap_file_recorder.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

class VANTLiveCaptureGroup final : public VANTCaptureWriteListener {
public:
  /// The realtime clock in microseconds (the clock of the kernel's capture times).
  using ClockFunction = int64_t (*)();
  static int64_t RealTimeNow() noexcept;
  /// Turn::retryAt when only an event can change the answer.
  static constexpr int64_t kNever = INT64_MAX;

  /// `members` captures; `delayBound` is D in microseconds (at least 1).
  VANTLiveCaptureGroup(size_t members, int64_t delayBound, ClockFunction clock = &RealTimeNow);
  VANTLiveCaptureGroup(const VANTLiveCaptureGroup&) = delete;
  VANTLiveCaptureGroup& operator=(const VANTLiveCaptureGroup&) = delete;

  size_t Size() const noexcept { return m_members.size(); }
  int64_t DelayBound() const noexcept { return m_delayBound; }
  int64_t Now() const noexcept { return m_clock(); }

  /// The descriptor (an eventfd) that the group writes to when a waiting member's turn may have
  /// come; -1: none.
  void SetWakeDescriptor(size_t member, int descriptor);

  // ---- What a member holds (each wakes the waiting members) ----------------------------------
  void SetPending(size_t member, int64_t front);
  void SetIdle(size_t member);
  void SetDone(size_t member);

  /// The answer to a member that wants to publish from `front` on.
  struct Turn {
    bool go = false;
    /// With go: the packets that may go are those whose place comes before (limit, limitMember).
    int64_t limit = INT64_MAX;
    size_t limitMember = SIZE_MAX;
    /// Without go: the realtime at which the answer may change without an event (kNever).
    int64_t retryAt = kNever;
  };
  /// Asks for a turn. Without go the member is marked waiting: its wake-up descriptor is written
  /// when another member's state changes or the recorder writes (at most once per wait).
  Turn TryTurn(size_t member, int64_t front);
  /// True when the packet at `time` may go in the turn given to `member`.
  static bool Allows(const Turn& turn, size_t member, int64_t time) noexcept {
    return Precedes(time, member, turn.limit, turn.limitMember);
  }
  /// Records an element of `count` packets, the last at `lastTime` and the latest at
  /// `latestTime`, just before it is published. The member's frontier stays where it was until
  /// it reports its new state after the publication.
  void Publishing(size_t member, uint64_t count, int64_t lastTime, int64_t latestTime);

  /// The recorder's report (its thread): the first `written` packets of the element were written
  /// (the rest, if any, were passed over).
  void ElementWritten(const VANTpcap_data_t& element, uint32_t written) override;

  /// What was written of one member's packets.
  struct Written {
    uint64_t packets = 0;
    uint64_t bytes = 0;
    VANTLatencyHistogram latency; // capture time to write, microseconds
  };
  Written WrittenOf(size_t member) const;
  /// Packets published and packets the recorder reported, over all members.
  uint64_t PacketsPublished() const;
  uint64_t PacketsReported() const;

  /// (time, member) comes before (otherTime, other).
  static bool Precedes(int64_t time, size_t member, int64_t otherTime, size_t other) noexcept {
    return time < otherTime || (time == otherTime && member < other);
  }

private:
  enum class State { kUnknown, kIdle, kPending, kDone };
  struct Member {
    State state = State::kUnknown;
    int64_t front = 0;                   // kPending
    int64_t latestPublished = INT64_MIN; // the latest packet time it published
    int64_t key = 0;                     // last packet of its latest element (0: none yet)
    int64_t previousKey = 0;             // `key` before its latest element
    uint64_t publishedEnd = 0;           // the packet count of all publications after its latest
    int wakeDescriptor = -1;
    bool waiting = false;
    Written written;
  };
  struct Publication {
    size_t member;
    uint64_t end; // the packet count of all publications after this one
  };

  void Set(size_t member, State state, int64_t front);
  /// Writes the wake-up descriptors of the waiting members but `except` (lock held).
  void WakeWaiting(size_t except);

  const int64_t m_delayBound;
  const ClockFunction m_clock;
  mutable std::mutex m_lock;
  std::vector<Member> m_members;       // guarded by m_lock
  std::deque<Publication> m_unwritten; // guarded by m_lock: publications not all reported
  uint64_t m_published = 0;            // guarded by m_lock
  uint64_t m_reported = 0;             // guarded by m_lock
};
