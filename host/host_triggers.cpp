#include "host/host_triggers.h"

#include "host/host_clock.h"
#include "sync/vant_event.h"

#include <algorithm>
#include <chrono>

namespace {

// The latest deadline the service waits for: steady_clock counts nanoseconds in 64 bits, so a
// later time_point would overflow inside wait_until (about 31 years of uptime is plenty).
constexpr int64_t kFarthestDeadline = int64_t{1} << 50;

} // namespace

HostTriggers::HostTriggers() {
  m_heap.reserve(64);
  m_thread = std::thread([this] { Run(); });
}

HostTriggers::~HostTriggers() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stopping = true;
    for (const Entry& entry : m_heap) {
      entry.event->SetArmed(false);
    }
    m_heap.clear();
  }
  m_changed.notify_one();
  m_thread.join();
}

bool HostTriggers::Later(const Entry& a, const Entry& b) noexcept {
  return a.deadline != b.deadline ? a.deadline > b.deadline : a.order > b.order;
}

void HostTriggers::RemoveLocked(VANTEvent* event) {
  const auto it = std::find_if(m_heap.begin(), m_heap.end(),
                               [event](const Entry& entry) { return entry.event == event; });
  if (it == m_heap.end()) {
    return;
  }
  *it = m_heap.back();
  m_heap.pop_back();
  std::make_heap(m_heap.begin(), m_heap.end(), Later);
}

bool HostTriggers::Arm(VANTEvent* event, int64_t realTimeUs) {
  if (!event) {
    return false;
  }
  const int64_t deadline = std::min(realTimeUs, kFarthestDeadline);
  bool earliest = false;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (event->IsArmed()) {
      RemoveLocked(event); // armed again: keep one entry, at the new deadline
    }
    earliest = m_heap.empty() || deadline < m_heap.front().deadline;
    m_heap.push_back(Entry{deadline, m_armings++, event});
    std::push_heap(m_heap.begin(), m_heap.end(), Later);
    event->SetArmed(true);
  }
  if (earliest) {
    m_changed.notify_one(); // only a new earliest deadline changes how long the thread sleeps
  }
  return true;
}

void HostTriggers::Disarm(VANTEvent* event) {
  if (!event) {
    return;
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  if (event->IsArmed()) {
    RemoveLocked(event);
    event->SetArmed(false);
  }
}

uint64_t HostTriggers::ArmCount() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_armings;
}

std::size_t HostTriggers::Pending() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_heap.size();
}

void HostTriggers::Run() {
  std::unique_lock<std::mutex> lock(m_mutex);
  while (!m_stopping) {
    if (m_heap.empty()) {
      m_changed.wait(lock);
      continue;
    }
    const Entry first = m_heap.front();
    if (first.deadline > HostClock::RealTime()) {
      m_changed.wait_until(
          lock, std::chrono::steady_clock::time_point(std::chrono::microseconds(first.deadline)));
      continue;
    }
    std::pop_heap(m_heap.begin(), m_heap.end(), Later);
    m_heap.pop_back();
    first.event->Set();
    // A release store: a destructor that reads false (acquire) knows the Set above completed.
    first.event->SetArmed(false);
  }
}
