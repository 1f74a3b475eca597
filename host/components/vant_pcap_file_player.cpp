#include "host/components/vant_pcap_file_player.h"

#include "dataflow/vant_io_elt.h"
#include "dataflow/vant_output.h"
#include "kernel/vant_kernel.h"
#include "util/vant_exceptions.h"

#include <algorithm>

namespace {

// Longest engine-time wait for a turn before the frontiers are read again (a safety net: every
// move of a frontier wakes the waiters).
constexpr int64_t kTurnPoll = 20000;

int64_t EngineNow() {
  VANTHostKernel* kernel = VANT::Kernel();
  return kernel != nullptr ? kernel->CurrentTime(true, true) : 0;
}

} // namespace

// ---- VANTPcapPlayerGroup ----------------------------------------------------------------------

VANTPcapPlayerGroup::VANTPcapPlayerGroup(size_t members)
    : m_count(members), m_members(std::make_unique<Member[]>(members)) {}

void VANTPcapPlayerGroup::SetWakeEvent(size_t member, VANTEvent* event) noexcept {
  if (member < m_count) {
    m_members[member].wake.store(event, std::memory_order_release);
  }
}

void VANTPcapPlayerGroup::SetFrontier(size_t member, int64_t timestamp) noexcept {
  if (member >= m_count) {
    return;
  }
  // seq_cst: pairs with the seq_cst store of `waiting` and the loads in MayGo of a member about
  // to wait (either it sees this frontier, or this call sees it waiting).
  m_members[member].frontier.store(timestamp, std::memory_order_seq_cst);
  // Wake only the waiting members that may go now: with many members, waking all of them on
  // every move would make each move cost a wake-up of every thread. The two earliest places
  // (frontier, member) give every member's "others" at once.
  size_t unknown = 0;
  size_t unknownAt = 0;
  size_t earliestAt = m_count; // m_count: none
  size_t secondAt = m_count;
  int64_t earliest = kDone;
  int64_t second = kDone;
  for (size_t i = 0; i < m_count; ++i) { // ascending: of equal times the lower member stays first
    const int64_t frontier = m_members[i].frontier.load(std::memory_order_seq_cst);
    if (frontier == kUnknown) {
      ++unknown;
      unknownAt = i;
    } else if (frontier == kDone) {
      continue;
    } else if (earliestAt == m_count || frontier < earliest) {
      secondAt = earliestAt;
      second = earliest;
      earliestAt = i;
      earliest = frontier;
    } else if (secondAt == m_count || frontier < second) {
      secondAt = i;
      second = frontier;
    }
  }
  for (size_t other = 0; other < m_count; ++other) {
    if (other == member) {
      continue;
    }
    const int64_t wanted = m_members[other].waiting.load(std::memory_order_seq_cst);
    if (wanted == kNotWaiting) {
      continue;
    }
    if (unknown > 1 || (unknown == 1 && unknownAt != other)) {
      continue; // still waits for a member that has not spoken
    }
    const size_t first = other == earliestAt ? secondAt : earliestAt;
    if (first == m_count ||
        Precedes(wanted, other, first == earliestAt ? earliest : second, first)) {
      if (VANTEvent* wake = m_members[other].wake.load(std::memory_order_acquire)) {
        wake->Set();
      }
    }
  }
}

void VANTPcapPlayerGroup::SetWaiting(size_t member, int64_t timestamp) noexcept {
  if (member < m_count) {
    m_members[member].waiting.store(timestamp, std::memory_order_seq_cst);
  }
}

int64_t VANTPcapPlayerGroup::Frontier(size_t member) const noexcept {
  return member < m_count ? m_members[member].frontier.load(std::memory_order_acquire) : kDone;
}

int64_t VANTPcapPlayerGroup::OthersFrontier(size_t member) const noexcept {
  int64_t earliest = kDone;
  for (size_t other = 0; other < m_count; ++other) {
    if (other != member) {
      const int64_t frontier = m_members[other].frontier.load(std::memory_order_seq_cst);
      if (frontier == kUnknown) {
        return kUnknown;
      }
      earliest = std::min(earliest, frontier);
    }
  }
  return earliest;
}

bool VANTPcapPlayerGroup::MayGo(size_t member, int64_t timestamp) const noexcept {
  for (size_t other = 0; other < m_count; ++other) {
    if (other == member) {
      continue;
    }
    const int64_t frontier = m_members[other].frontier.load(std::memory_order_seq_cst);
    if (frontier == kUnknown) {
      return false;
    }
    if (frontier != kDone && !Precedes(timestamp, member, frontier, other)) {
      return false;
    }
  }
  return true;
}

// ---- vant_pcap_file_player ---------------------------------------------------------------------

vant_pcap_file_player::vant_pcap_file_player(const char* name, VANTComponentModelDefinition* record)
    : VANTComponent(name, record) {
  m_output = Output("output");
  m_endOfFile = Output("end_of_file");
}

vant_pcap_file_player::~vant_pcap_file_player() {
  // Before the outputs go: a reader may still hold an element that points into the buffers.
  m_slots.HandOver(*this);
}

void vant_pcap_file_player::Configure(const std::string& path, int32_t packetsPerElement) {
  m_path = path;
  m_packetsPerElement = std::clamp<int32_t>(packetsPerElement, 1, VANT::kPcapMaxPacketsPerElement);
}

void vant_pcap_file_player::Configure(std::unique_ptr<VANTPcapCaptureReader> reader,
                                      int32_t packetsPerElement) {
  m_path = reader ? reader->Path() : std::string();
  m_given = std::move(reader);
  m_packetsPerElement = std::clamp<int32_t>(packetsPerElement, 1, VANT::kPcapMaxPacketsPerElement);
}

void vant_pcap_file_player::SetPacing(int64_t captureOrigin, int64_t engineOrigin) {
  m_paced = true;
  m_captureOrigin = captureOrigin;
  m_engineOrigin = engineOrigin;
}

void vant_pcap_file_player::SetGroup(VANTPcapPlayerGroup* group, size_t member) {
  m_group = group;
  m_member = member;
  if (m_group != nullptr) {
    m_group->SetWakeEvent(m_member, &m_turn);
  }
}

void vant_pcap_file_player::MoveFrontier() noexcept {
  if (m_group != nullptr) {
    m_group->SetFrontier(m_member,
                         m_hasPending ? m_pending.Timestamp() : VANTPcapPlayerGroup::kDone);
  }
}

void vant_pcap_file_player::WaitForTurn(int64_t timestamp) {
  if (m_group == nullptr) {
    return;
  }
  // Announce the wait before the test: a frontier that moves after the test sees it and sets
  // the event (reset before the test, so an older wake-up does not count).
  m_group->SetWaiting(m_member, timestamp);
  try {
    for (;;) {
      m_turn.Reset();
      if (m_group->MayGo(m_member, timestamp)) {
        break;
      }
      Wait4Event(&m_turn, kTurnPoll); // throws the stop exception when the player is stopped
    }
  } catch (...) {
    m_group->SetWaiting(m_member, VANTPcapPlayerGroup::kNotWaiting);
    throw;
  }
  m_group->SetWaiting(m_member, VANTPcapPlayerGroup::kNotWaiting);
}

void vant_pcap_file_player::Fail(const std::string& text) {
  m_failure.Set(text);
  if (m_group != nullptr) { // the others must not wait for a player that sends nothing more
    m_group->SetFrontier(m_member, VANTPcapPlayerGroup::kDone);
  }
  Error(text.c_str(), 1, 0);
  throw VANT::ErrorException; // not reached: Error throws it itself
}

void vant_pcap_file_player::Birth() {
  m_packets.store(0, std::memory_order_relaxed);
  m_bytes.store(0, std::memory_order_relaxed);
  m_fileRead.store(0, std::memory_order_relaxed);
  m_finished.store(false, std::memory_order_release);
  m_failure.Clear();
  m_reordered.store(0, std::memory_order_relaxed);
  m_truncated.store(0, std::memory_order_relaxed);
  m_hasPending = false;
  m_atEnd = false;
  m_lastTimestamp = 0;
  m_latest = INT64_MIN;

  if (m_given) {
    m_reader = std::move(m_given);
  } else {
    m_reader = std::make_unique<VANTPcapCaptureReader>();
    if (m_path.empty()) {
      Fail("no capture file to play");
    }
    if (!m_reader->Open(m_path, m_blockSize)) {
      Fail(m_reader->Error());
    }
  }
  // A pipe that stays silent must not keep the player from being stopped.
  m_reader->SetInterruptCheck([this] { return IsDying(); });
  m_finer.store(m_reader->FinerThanMicroseconds(), std::memory_order_relaxed);
  // The data of each element is one header; the packets live in the player's own buffers.
  AllocatePacketBuffers();
  // The first packet tells the group where this player stands.
  m_atEnd = !ReadNext();
  MoveFrontier();
}

void vant_pcap_file_player::AllocatePacketBuffers() {
  if (!m_slots.Allocate(*this, m_output, m_reader->LinkType())) {
    Fail("the output has no FIFO");
  }
}

bool vant_pcap_file_player::ReadNext() {
  switch (m_reader->Next(m_pending)) {
  case VANTPcapCaptureReader::Step::kPacket:
    m_hasPending = true;
    return true;
  case VANTPcapCaptureReader::Step::kEnd:
    m_hasPending = false;
    return false;
  case VANTPcapCaptureReader::Step::kError:
    break;
  }
  m_hasPending = false;
  Fail(m_reader->Error());
}

void vant_pcap_file_player::Cycle() {
  if (m_finished.load(std::memory_order_relaxed)) {
    Wait4Event(&m_never, -1); // ends with the stop exception
    return;
  }
  if (!m_hasPending && !m_atEnd && !ReadNext()) {
    m_atEnd = true;
  }
  if (!m_hasPending) {
    WriteEndOfFile();
    return;
  }
  if (m_paced) {
    const int64_t due = m_engineOrigin + (m_pending.Timestamp() - m_captureOrigin);
    if (EngineNow() < due) {
      WaitUntil(due);
    }
  }
  WaitForTurn(m_pending.Timestamp());

  VANTIOElt* element = StartWriting(m_output);
  if (element == nullptr) {
    return;
  }
  if (!m_slots.Begin(element)) {
    StopWriting(element, true);
    Fail("an element of the output has no packet buffer");
  }
  const int64_t firstTimestamp = m_pending.Timestamp();
  uint32_t count = 0;
  uint64_t bytes = 0;
  uint64_t reordered = 0;
  try {
    const int64_t now = m_paced ? EngineNow() : 0;
    while (m_hasPending && count < static_cast<uint32_t>(m_packetsPerElement)) {
      if (m_paced && count > 0 &&
          m_engineOrigin + (m_pending.Timestamp() - m_captureOrigin) > now) {
        break; // not due yet: it starts the next element
      }
      m_slots.Append(m_pending.tsSec, m_pending.tsUsec, m_pending.inclLen, m_pending.origLen,
                     m_pending.data);
      ++count;
      bytes += m_pending.inclLen;
      m_lastTimestamp = m_pending.Timestamp();
      if (m_lastTimestamp < m_latest) {
        ++reordered;
      } else {
        m_latest = m_lastTimestamp;
      }
      m_hasPending = false;
      // Read ahead also when the element is full: the next packet is the new frontier.
      if (!ReadNext()) {
        m_atEnd = true;
      }
    }
  } catch (...) {
    StopWriting(element, true);
    throw;
  }
  m_slots.Finish(element, m_reader->LinkType(), firstTimestamp);
  StopWriting(element, false);
  MoveFrontier(); // after the publication: what lies below the new frontier is in the FIFO
  m_packets.fetch_add(count, std::memory_order_relaxed);
  m_bytes.fetch_add(bytes, std::memory_order_relaxed);
  m_reordered.fetch_add(reordered, std::memory_order_relaxed);
  m_truncated.store(m_reader->TruncatedTimestamps(), std::memory_order_relaxed);
  m_finer.store(m_reader->FinerThanMicroseconds(), std::memory_order_relaxed); // a later section
  m_fileRead.store(m_reader->BytesRead(), std::memory_order_relaxed);
}

void vant_pcap_file_player::WriteEndOfFile() {
  VANTIOElt* element = StartWriting(m_endOfFile);
  if (element == nullptr) {
    return;
  }
  element->Integer64(0) = 1;
  element->Timestamp() = m_lastTimestamp;
  StopWriting(element, false);
  m_fileRead.store(m_reader->FileSize(), std::memory_order_relaxed);
  m_truncated.store(m_reader->TruncatedTimestamps(), std::memory_order_relaxed);
  m_finer.store(m_reader->FinerThanMicroseconds(), std::memory_order_relaxed);
  m_finished.store(true, std::memory_order_release);
}

void vant_pcap_file_player::Death() {
  // A stopped player sends nothing more: nobody waits for it.
  if (m_group != nullptr) {
    m_group->SetFrontier(m_member, VANTPcapPlayerGroup::kDone);
  }
  // Elements already published may still be read downstream: the packet buffers go when the
  // last reader of one lets go.
  m_slots.HandOver(*this);
  m_reader.reset();
}
