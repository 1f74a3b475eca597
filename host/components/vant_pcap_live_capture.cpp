#include "host/components/vant_pcap_live_capture.h"

#include "dataflow/vant_io_elt.h"
#include "dataflow/vant_output.h"
#include "runtime/vant_report.h"
#include "util/vant_exceptions.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

// The drop counters are read about this often (realtime microseconds).
constexpr int64_t kDropReadInterval = 250000;
// Packets taken from the source in one round at least, whatever the element size.
constexpr size_t kSmallestRound = 256;

} // namespace

// ---- VANTLivePacketQueue ----------------------------------------------------------------------

bool VANTLivePacketQueue::Push(const VANTCapturePacket& packet) {
  const size_t need = RecordBytes(packet.inclLen);
  if (m_tail + need > m_bytes.size()) {
    const size_t live = m_tail - m_head;
    if (live + need > m_limit) {
      return false;
    }
    if (live + need > m_bytes.size() || m_head < m_bytes.size() / 2) {
      // Grow (doubling, within the limit) rather than move often.
      const size_t grown =
          std::min(m_limit, std::max({m_bytes.size() * 2, live + need, size_t{64} << 10}));
      m_bytes.resize(grown);
    }
    if (m_head > 0) {
      std::memmove(m_bytes.data(), m_bytes.data() + m_head, live);
      m_head = 0;
      m_tail = live;
    }
  }
  const Entry entry{packet.tsSec, packet.tsUsec, packet.Timestamp(), packet.inclLen,
                    packet.origLen};
  std::memcpy(m_bytes.data() + m_tail, &entry, kEntryBytes);
  if (packet.inclLen != 0) {
    std::memcpy(m_bytes.data() + m_tail + kEntryBytes, packet.data, packet.inclLen);
  }
  m_tail += need;
  ++m_count;
  return true;
}

VANTLivePacketQueue::Entry VANTLivePacketQueue::Front() const noexcept {
  Entry entry;
  std::memcpy(&entry, m_bytes.data() + m_head, kEntryBytes);
  return entry;
}

const uint8_t* VANTLivePacketQueue::FrontData() const noexcept {
  return m_bytes.data() + m_head + kEntryBytes;
}

void VANTLivePacketQueue::Pop() noexcept {
  if (m_count == 0) {
    return;
  }
  m_head += RecordBytes(Front().inclLen);
  if (--m_count == 0) {
    m_head = 0;
    m_tail = 0;
  }
}

void VANTLivePacketQueue::Clear() noexcept {
  m_head = 0;
  m_tail = 0;
  m_count = 0;
}

// ---- vant_pcap_live_capture ---------------------------------------------------------------------

vant_pcap_live_capture::vant_pcap_live_capture(const char* name,
                                               VANTComponentModelDefinition* record)
    : VANTComponent(name, record) {
  m_output = Output("output");
  m_endOfFile = Output("end_of_file");
  m_wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

vant_pcap_live_capture::~vant_pcap_live_capture() {
  m_slots.HandOver(*this); // before the outputs go: a reader may still hold an element
  if (m_wake >= 0) {
    close(m_wake);
  }
}

void vant_pcap_live_capture::Configure(std::unique_ptr<VANTLivePacketSource> source,
                                       int32_t packetsPerElement) {
  m_interface = source ? source->Name() : std::string();
  m_source = std::move(source);
  m_packetsPerElement = std::clamp<int32_t>(packetsPerElement, 1, VANT::kPcapMaxPacketsPerElement);
}

void vant_pcap_live_capture::SetGroup(VANTLiveCaptureGroup* group, size_t member) {
  m_group = group;
  m_member = member;
}

int64_t vant_pcap_live_capture::Now() const noexcept {
  return m_group != nullptr ? m_group->Now() : VANTLiveCaptureGroup::RealTimeNow();
}

void vant_pcap_live_capture::Wake() noexcept {
  const uint64_t one = 1;
  // A full counter is readable anyway.
  (void)!write(m_wake, &one, sizeof(one));
}

void vant_pcap_live_capture::ResetWake() noexcept {
  uint64_t count = 0;
  (void)!read(m_wake, &count, sizeof(count));
}

void vant_pcap_live_capture::EndCapture() noexcept {
  int64_t expected = INT64_MAX;
  m_endAt.compare_exchange_strong(expected, Now(), std::memory_order_acq_rel);
  Wake(); // after the store: the thread resets its wake-up before it reads the end
}

void vant_pcap_live_capture::EngineStop() noexcept {
  m_stopping.store(true, std::memory_order_release);
  Wake();
  VANTComponent::EngineStop();
}

void vant_pcap_live_capture::Fail(const std::string& text) {
  m_failure.Set(text);
  if (m_group != nullptr) { // the others must not wait for a capture that sends nothing more
    m_group->SetDone(m_member);
  }
  Error(text.c_str(), 1, 0);
  throw VANT::ErrorException; // not reached: Error throws it itself
}

void vant_pcap_live_capture::ReadDrops() noexcept {
  if (m_source) {
    const VANTLivePacketSource::Drops drops = m_source->ReadDrops();
    m_kernelDrops.store(drops.kernel, std::memory_order_relaxed);
    m_interfaceDrops.store(drops.interface, std::memory_order_relaxed);
  }
}

void vant_pcap_live_capture::Birth() {
  m_captured.store(0, std::memory_order_relaxed);
  m_packets.store(0, std::memory_order_relaxed);
  m_bytes.store(0, std::memory_order_relaxed);
  m_late.store(0, std::memory_order_relaxed);
  m_queueDrops.store(0, std::memory_order_relaxed);
  m_finished.store(false, std::memory_order_release);
  m_failure.Clear();
  m_stopping.store(false, std::memory_order_release);
  m_told = Told::kNothing;
  m_promise = INT64_MIN;
  m_latestTaken = INT64_MIN;
  m_lastTimestamp = 0;
  m_sourceGone = false;
  m_nextDropRead = 0;
  m_queue.Clear();
  if (m_wake < 0) {
    Fail("cannot create the capture's wake-up descriptor: " + std::string(std::strerror(errno)));
  }
  if (!m_source) {
    Fail("no interface to capture");
  }
  m_linkType = m_source->LinkType();
  if (!m_slots.Allocate(*this, m_output, m_linkType)) {
    Fail("the output has no FIFO");
  }
  if (m_group != nullptr) {
    m_group->SetWakeDescriptor(m_member, m_wake);
  }
}

bool vant_pcap_live_capture::Drain(int64_t endAt) {
  const size_t budget = std::max<size_t>(static_cast<size_t>(m_packetsPerElement), kSmallestRound);
  const int64_t delay = m_group != nullptr ? m_group->DelayBound() : 0;
  VANTCapturePacket packet;
  for (size_t taken = 0; taken < budget; ++taken) {
    const VANTLivePacketSource::Step step = m_source->Next(packet);
    if (step == VANTLivePacketSource::Step::kNone) {
      return false;
    }
    if (step == VANTLivePacketSource::Step::kError) {
      const std::string text = m_source->Error() + "; its capture ends here";
      Report(text.c_str(), VANT::kWarning, 0);
      m_sourceGone = true;
      int64_t notEnding = INT64_MAX;
      m_endAt.compare_exchange_strong(notEnding, Now(), std::memory_order_acq_rel);
      return false;
    }
    const int64_t time = packet.Timestamp();
    if (time > endAt) {
      // Captured after the end: everything before it has come (the kernel hands over one
      // interface's packets in order), and nothing after it is wanted.
      m_sourceGone = true;
      return false;
    }
    m_captured.fetch_add(1, std::memory_order_relaxed);
    if (m_told == Told::kIdle) {
      // Leave the idle frontier first; until then the others may count on now - D.
      m_group->SetPending(m_member, time);
      m_told = Told::kPending;
      m_promise = std::max(m_promise, Now() - delay);
    }
    if (time < m_promise || time < m_latestTaken) {
      m_late.fetch_add(1, std::memory_order_relaxed);
    }
    m_latestTaken = std::max(m_latestTaken, time);
    if (!m_queue.Push(packet)) {
      m_queueDrops.fetch_add(1, std::memory_order_relaxed);
    }
  }
  return true;
}

bool vant_pcap_live_capture::PublishOne(int64_t* retryAt) {
  const int64_t front = m_queue.Front().time;
  VANTLiveCaptureGroup::Turn turn;
  turn.go = true;
  if (m_group != nullptr) {
    turn = m_group->TryTurn(m_member, front);
    if (!turn.go) {
      *retryAt = turn.retryAt;
      return false;
    }
  }
  VANTIOElt* element = StartWriting(m_output);
  if (element == nullptr) {
    return false;
  }
  if (!m_slots.Begin(element)) {
    StopWriting(element, true);
    Fail("an element of the output has no packet buffer");
  }
  uint64_t bytes = 0;
  int64_t last = front;
  int64_t latest = INT64_MIN;
  try {
    while (!m_queue.Empty() && m_slots.Count() < static_cast<uint32_t>(m_packetsPerElement)) {
      const VANTLivePacketQueue::Entry packet = m_queue.Front();
      if (m_group != nullptr && !VANTLiveCaptureGroup::Allows(turn, m_member, packet.time)) {
        break;
      }
      m_slots.Append(packet.tsSec, packet.tsUsec, packet.inclLen, packet.origLen,
                     m_queue.FrontData());
      bytes += packet.inclLen;
      last = packet.time;
      latest = std::max(latest, packet.time);
      m_queue.Pop();
    }
  } catch (...) {
    StopWriting(element, true);
    throw;
  }
  const uint32_t count = m_slots.Count();
  m_slots.Finish(element, m_linkType, front);
  if (m_group != nullptr) {
    m_group->Publishing(m_member, count, last, latest);
  }
  StopWriting(element, false);
  m_lastTimestamp = last;
  m_promise = std::max(m_promise, latest);
  // After the publication: what lies below the new frontier is in the FIFO.
  if (m_group != nullptr) {
    if (m_queue.Empty()) {
      m_group->SetIdle(m_member);
      m_told = Told::kIdle;
    } else {
      m_group->SetPending(m_member, m_queue.Front().time);
      m_told = Told::kPending;
    }
  }
  m_packets.fetch_add(count, std::memory_order_relaxed);
  m_bytes.fetch_add(bytes, std::memory_order_relaxed);
  return true;
}

void vant_pcap_live_capture::WriteEndOfFile() {
  VANTIOElt* element = StartWriting(m_endOfFile);
  if (element == nullptr) {
    return;
  }
  element->Integer64(0) = 1;
  element->Timestamp() = m_lastTimestamp;
  StopWriting(element, false);
  ReadDrops();
  m_finished.store(true, std::memory_order_release);
  if (m_group != nullptr) {
    m_group->SetDone(m_member);
  }
}

void vant_pcap_live_capture::WaitForWork(int64_t deadline, bool withSource) {
  pollfd descriptors[2] = {{m_wake, POLLIN, 0}, {-1, POLLIN, 0}};
  nfds_t count = 1;
  if (withSource && m_source && m_source->Descriptor() >= 0) {
    descriptors[1].fd = m_source->Descriptor();
    count = 2;
  }
  timespec limit{};
  timespec* timeout = nullptr;
  if (deadline != VANTLiveCaptureGroup::kNever) {
    const int64_t left = std::max<int64_t>(deadline - Now(), 0);
    limit.tv_sec = static_cast<time_t>(left / 1000000);
    limit.tv_nsec = static_cast<long>(left % 1000000) * 1000;
    timeout = &limit;
  }
  // EINTR or a time-out: the next round looks again.
  (void)ppoll(descriptors, count, timeout, nullptr);
}

void vant_pcap_live_capture::Cycle() {
  if (m_finished.load(std::memory_order_relaxed) || m_stopping.load(std::memory_order_acquire)) {
    Wait4Event(&m_never, -1); // ends with the stop exception
    return;
  }
  ResetWake(); // from here on every wake-up is kept in the descriptor
  const int64_t endAt = m_endAt.load(std::memory_order_acquire);
  const bool more = !m_sourceGone && Drain(endAt);
  if (m_group != nullptr && m_told != Told::kPending && !m_queue.Empty()) {
    m_group->SetPending(m_member, m_queue.Front().time);
    m_told = Told::kPending;
  } else if (m_group != nullptr && m_told != Told::kIdle && m_queue.Empty()) {
    m_group->SetIdle(m_member);
    m_told = Told::kIdle;
  }

  int64_t retryAt = VANTLiveCaptureGroup::kNever;
  const bool published = !m_queue.Empty() && PublishOne(&retryAt);
  const int64_t now = Now();
  if (now >= m_nextDropRead) {
    ReadDrops();
    m_nextDropRead = now + kDropReadInterval;
  }
  const int64_t ending = m_endAt.load(std::memory_order_acquire);
  if (ending != INT64_MAX && m_queue.Empty() && !more) {
    // Every packet captured up to the end has come once the delivery bound has passed.
    const int64_t delay = m_group != nullptr ? m_group->DelayBound() : 0;
    const int64_t until = ending > INT64_MAX - delay ? INT64_MAX : ending + delay;
    if (m_sourceGone || now >= until) {
      WriteEndOfFile();
      return;
    }
    retryAt = std::min(retryAt, until);
  }
  if (more || published) {
    return; // go on at once
  }
  WaitForWork(retryAt, !m_sourceGone);
}

void vant_pcap_live_capture::Death() {
  // A stopped capture sends nothing more: nobody waits for it, and nobody wakes it any more
  // (after this call the group no longer writes to its descriptor, which goes with it).
  if (m_group != nullptr) {
    m_group->SetDone(m_member);
    m_group->SetWakeDescriptor(m_member, -1);
  }
  ReadDrops();
  // Elements already published may still be read downstream: the packet buffers go when the
  // last reader of one lets go.
  m_slots.HandOver(*this);
  m_source.reset();
}
