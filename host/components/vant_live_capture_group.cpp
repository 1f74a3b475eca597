#include "host/components/vant_live_capture_group.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <unistd.h>

int64_t VANTLiveCaptureGroup::RealTimeNow() noexcept {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

VANTLiveCaptureGroup::VANTLiveCaptureGroup(size_t members, int64_t delayBound, ClockFunction clock)
    : m_delayBound(std::max<int64_t>(delayBound, 1)), m_clock(clock), m_members(members) {}

void VANTLiveCaptureGroup::SetWakeDescriptor(size_t member, int descriptor) {
  std::lock_guard<std::mutex> lock(m_lock);
  if (member < m_members.size()) {
    m_members[member].wakeDescriptor = descriptor;
  }
}

void VANTLiveCaptureGroup::WakeWaiting(size_t except) {
  for (size_t other = 0; other < m_members.size(); ++other) {
    Member& waiter = m_members[other];
    if (other == except || !waiter.waiting) {
      continue;
    }
    waiter.waiting = false;
    if (waiter.wakeDescriptor >= 0) {
      const uint64_t one = 1;
      // An eventfd write only fails when its counter is full: then it is readable anyway.
      (void)!::write(waiter.wakeDescriptor, &one, sizeof(one));
    }
  }
}

void VANTLiveCaptureGroup::Set(size_t member, State state, int64_t front) {
  std::lock_guard<std::mutex> lock(m_lock);
  if (member >= m_members.size()) {
    return;
  }
  m_members[member].state = state;
  m_members[member].front = front;
  WakeWaiting(member);
}

void VANTLiveCaptureGroup::SetPending(size_t member, int64_t front) {
  Set(member, State::kPending, front);
}

void VANTLiveCaptureGroup::SetIdle(size_t member) {
  Set(member, State::kIdle, 0);
}

void VANTLiveCaptureGroup::SetDone(size_t member) {
  Set(member, State::kDone, 0);
}

VANTLiveCaptureGroup::Turn VANTLiveCaptureGroup::TryTurn(size_t member, int64_t front) {
  std::lock_guard<std::mutex> lock(m_lock);
  Turn turn;
  if (member >= m_members.size()) {
    return turn;
  }
  const int64_t now = m_clock();
  bool go = true;
  for (size_t other = 0; other < m_members.size(); ++other) {
    const Member& them = m_members[other];
    if (other == member || them.state == State::kDone) {
      continue;
    }
    if (them.state == State::kUnknown) {
      go = false; // nothing is known of it yet: only its first report moves this
      continue;
    }
    const bool idle = them.state == State::kIdle;
    const int64_t place = idle ? std::max(them.latestPublished, now - m_delayBound) : them.front;
    if (Precedes(front, member, place, other)) {
      if (Precedes(place, other, turn.limit, turn.limitMember)) {
        turn.limit = place;
        turn.limitMember = other;
      }
      continue;
    }
    go = false;
    if (idle) {
      // Its frontier passes `front` when now - D does (on equal times, only once past it when
      // it comes first).
      const int64_t at = front + m_delayBound + (other < member ? 1 : 0);
      turn.retryAt = std::min(turn.retryAt, at);
    }
  }
  if (go) {
    // What another member published may still be unread; the multiplexer reads it before this
    // member's next element only when its key is below this member's.
    const int64_t key = m_members[member].key;
    for (size_t other = 0; other < m_members.size() && go; ++other) {
      const Member& them = m_members[other];
      go = other == member || them.publishedEnd <= m_reported || them.previousKey < key;
    }
    if (!go) {
      turn.retryAt = kNever;
    }
  }
  turn.go = go;
  if (go) {
    turn.retryAt = kNever;
  } else {
    turn.limit = INT64_MAX;
    turn.limitMember = SIZE_MAX;
    m_members[member].waiting = true;
  }
  return turn;
}

void VANTLiveCaptureGroup::Publishing(size_t member, uint64_t count, int64_t lastTime,
                                      int64_t latestTime) {
  std::lock_guard<std::mutex> lock(m_lock);
  if (member >= m_members.size() || count == 0) {
    return;
  }
  Member& publisher = m_members[member];
  m_published += count;
  publisher.publishedEnd = m_published;
  publisher.previousKey = publisher.key;
  publisher.key = lastTime;
  publisher.latestPublished = std::max(publisher.latestPublished, latestTime);
  if (!m_unwritten.empty() && m_unwritten.back().member == member) {
    m_unwritten.back().end = m_published; // one run of the same member: one entry
  } else {
    m_unwritten.push_back({member, m_published});
  }
}

void VANTLiveCaptureGroup::ElementWritten(const VANTpcap_data_t& element, uint32_t written) {
  const int64_t now = m_clock();
  std::lock_guard<std::mutex> lock(m_lock);
  uint32_t index = 0;
  VANT::ForEachPcapPacket(
      element,
      [&](const uint8_t* at, const uint8_t*, uint32_t inclLen) {
        const uint64_t number = m_reported++;
        while (!m_unwritten.empty() && number >= m_unwritten.front().end) {
          m_unwritten.pop_front();
        }
        if (index++ < written && !m_unwritten.empty()) {
          Written& of = m_members[m_unwritten.front().member].written;
          ++of.packets;
          of.bytes += inclLen;
          of.latency.Add(now - VANT::LoadPcapHeader(at).Timestamp());
        }
      },
      [](const char*) {});
  while (!m_unwritten.empty() && m_reported >= m_unwritten.front().end) {
    m_unwritten.pop_front();
  }
  WakeWaiting(SIZE_MAX);
}

VANTLiveCaptureGroup::Written VANTLiveCaptureGroup::WrittenOf(size_t member) const {
  std::lock_guard<std::mutex> lock(m_lock);
  return member < m_members.size() ? m_members[member].written : Written{};
}

uint64_t VANTLiveCaptureGroup::PacketsPublished() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_published;
}

uint64_t VANTLiveCaptureGroup::PacketsReported() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_reported;
}
