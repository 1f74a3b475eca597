#include "sync/vant_event.h"

#include "util/vant_check.h"
#include "util/vant_exceptions.h"
#include "util/vant_report_hook.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace VANT {

// A thread in a multiple wait. `word` is what it sleeps on: 0 while it is getting ready, 2 once it
// is about to sleep, 1 once an event released it. `fired` is the lowest index whose Set() reached
// it, or INT32_MAX; it lets a Set quickly followed by a Reset still release the waiter.
struct Waiter {
  std::atomic<uint32_t> word{0};
  std::atomic<int32_t> fired{INT32_MAX};
};

// One per event of a wait, on the waiter's stack, linked into the event's list for the time the
// waiter sleeps. Links are read and written under the event's lock only.
struct WaitNode {
  WaitNode* prev;
  WaitNode* next;
  Waiter* waiter;
  int32_t index;
};

namespace {

constexpr uint32_t kGettingReady = 0;
constexpr uint32_t kReleased = 1;
constexpr uint32_t kSleeping = 2;

std::atomic<EventDisarmHook> g_disarmHook{nullptr};

long Futex(std::atomic<uint32_t>* word, int op, uint32_t value, const timespec* deadline) noexcept {
  return syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), op | FUTEX_PRIVATE_FLAG, value,
                 deadline, nullptr, FUTEX_BITSET_MATCH_ANY);
}

[[noreturn]] void ThrowTooManyEvents() {
  ReportThroughHook("VANTEvent::Wait can't wait for more than 256 events", VANT::kError);
  throw ErrorException;
}

void ReportWaitFailure(int error) noexcept {
  char message[256];
  const char* text = strerror_r(error, message, sizeof message);
  char report[320];
  std::snprintf(report, sizeof report, "error_num:%d error_str:%s", error, text);
  ReportThroughHook(report, VANT::kError);
}

// The events of one wait: `count` caller events followed by up to two extra event cores.
struct EventSet {
  VANTEvent* const* events;
  int32_t count;
  EventCore* extras[2];
  int32_t extraCount;

  int32_t Size() const noexcept { return count + extraCount; }
  EventCore* Core(int32_t i) const noexcept {
    return i < count ? events[i]->Handle() : extras[i - count];
  }
  bool Valid() const noexcept {
    for (int32_t i = 0; i < count; ++i) {
      if (events[i] == nullptr || events[i]->Handle() == nullptr) {
        return false;
      }
    }
    for (int32_t i = 0; i < extraCount; ++i) {
      if (extras[i] == nullptr) {
        return false;
      }
    }
    return true;
  }
  int32_t LowestSet() const noexcept {
    const int32_t n = Size();
    for (int32_t i = 0; i < n; ++i) {
      if (Core(i)->IsSet()) {
        return i;
      }
    }
    return -1;
  }
};

// The one wait every form goes through. The set holds 1 to 256 valid events.
int32_t WaitAny(const EventSet& set, int64_t deadlineNs) noexcept {
  int32_t found = set.LowestSet();
  if (found >= 0) {
    return found;
  }
  if (deadlineNs <= 0 || (deadlineNs != kNoDeadline && MonotonicNowNs() >= deadlineNs)) {
    return kWaitTimeout;
  }

  const int32_t n = set.Size();
  Waiter waiter;
  WaitNode nodes[kMaxWaitEvents]; // left uninitialised: only the first n are filled
  for (int32_t i = 0; i < n; ++i) {
    nodes[i].waiter = &waiter;
    nodes[i].index = i;
    set.Core(i)->Link(&nodes[i]);
  }
  // Linked (seq_cst) before this scan: pairs with the exchange-then-load of EventCore::Set().
  found = set.LowestSet();

  int error = 0;
  if (found < 0) {
    timespec deadline{};
    const timespec* deadlinePtr = nullptr;
    if (deadlineNs != kNoDeadline) {
      deadline.tv_sec = static_cast<time_t>(deadlineNs / 1000000000);
      deadline.tv_nsec = static_cast<long>(deadlineNs % 1000000000);
      deadlinePtr = &deadline;
    }
    for (;;) {
      // acquire: pairs with the exchange of the releasing Set().
      uint32_t word = waiter.word.load(std::memory_order_acquire);
      if (word == kReleased) {
        break;
      }
      if (word == kGettingReady &&
          !waiter.word.compare_exchange_strong(word, kSleeping, std::memory_order_acquire)) {
        continue; // released meanwhile
      }
      if (Futex(&waiter.word, FUTEX_WAIT_BITSET, kSleeping, deadlinePtr) == -1) {
        const int failure = errno;
        if (failure == ETIMEDOUT) {
          break;
        }
        if (failure != EINTR && failure != EAGAIN) {
          error = failure;
          break;
        }
      }
    }
  }

  for (int32_t i = 0; i < n; ++i) {
    set.Core(i)->Unlink(&nodes[i]);
  }
  if (error != 0) {
    ReportWaitFailure(error);
    return kWaitFailed;
  }
  // The lowest event set now wins; otherwise an event that was set while we were linked (and
  // perhaps reset since) released us. `fired` was written under the locks taken by Unlink().
  const int32_t now = set.LowestSet();
  if (now >= 0) {
    return now;
  }
  if (found >= 0) {
    return found;
  }
  const int32_t fired = waiter.fired.load(std::memory_order_relaxed);
  return fired != INT32_MAX ? fired : kWaitTimeout;
}

int32_t WaitOne(EventCore* core, int64_t timeoutUs) noexcept {
  if (core == nullptr) {
    ReportWaitFailure(EINVAL);
    return kWaitFailed;
  }
  return WaitAny(EventSet{nullptr, 0, {core, nullptr}, 1}, TimeoutToDeadlineNs(timeoutUs));
}

int32_t WaitMany(int32_t n, VANTEvent* const* events, VANTEvent* extra0, VANTEvent* extra1,
                 int64_t deadlineNs) {
  EventSet set{events, n, {nullptr, nullptr}, 0};
  if (extra0 != nullptr) {
    set.extras[set.extraCount++] = extra0->Handle();
  }
  if (extra1 != nullptr) {
    set.extras[set.extraCount++] = extra1->Handle();
  }
  if (n > kMaxWaitEvents - set.extraCount) {
    ThrowTooManyEvents();
  }
  // No event at all, a negative count or a missing event: the wait itself is invalid.
  if (n < 0 || (n > 0 && events == nullptr) || set.Size() == 0 || !set.Valid()) {
    ReportWaitFailure(EINVAL);
    return kWaitFailed;
  }
  return WaitAny(set, deadlineNs);
}

} // namespace

int64_t MonotonicNowNs() noexcept {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

int64_t TimeoutToDeadlineNs(int64_t timeoutUs) noexcept {
  if (timeoutUs == kInfinite) {
    return kNoDeadline;
  }
  const int64_t ms = timeoutUs / 1000; // truncates toward zero
  if (ms < 0) {
    return kNoDeadline;
  }
  if (ms == 0) {
    return 0; // poll
  }
  const int64_t now = MonotonicNowNs();
  if (ms > (kNoDeadline - now) / 1000000) {
    return kNoDeadline;
  }
  return now + ms * 1000000;
}

void SetEventDisarmHook(EventDisarmHook hook) noexcept {
  g_disarmHook.store(hook, std::memory_order_release); // pairs with the acquire in ~VANTEvent
}

EventCore::~EventCore() {
  VANT_ASSERT(m_head == nullptr, "event destroyed while a thread waits on it");
  // A Set() that released a waiter which now destroys the event may still be walking the list:
  // it is a few instructions from its end and never blocks, so yielding is enough.
  while (m_setters.load(std::memory_order_acquire) != 0) {
    sched_yield();
  }
}

void EventCore::Link(WaitNode* node) noexcept {
  std::lock_guard<std::mutex> guard(m_lock);
  node->prev = nullptr;
  node->next = m_head;
  if (m_head != nullptr) {
    m_head->prev = node;
  }
  m_head = node;
  m_linked.fetch_add(1, std::memory_order_seq_cst); // pairs with the load in Set()
}

void EventCore::Unlink(WaitNode* node) noexcept {
  std::lock_guard<std::mutex> guard(m_lock);
  if (node->prev != nullptr) {
    node->prev->next = node->next;
  } else {
    m_head = node->next;
  }
  if (node->next != nullptr) {
    node->next->prev = node->prev;
  }
  m_linked.fetch_sub(1, std::memory_order_relaxed);
}

void EventCore::WakeWaiters() noexcept {
  std::lock_guard<std::mutex> guard(m_lock);
  for (WaitNode* node = m_head; node != nullptr; node = node->next) {
    Waiter* waiter = node->waiter;
    int32_t lowest = waiter->fired.load(std::memory_order_relaxed);
    while (node->index < lowest &&
           !waiter->fired.compare_exchange_weak(lowest, node->index, std::memory_order_relaxed)) {
    }
    // release: pairs with the acquire load of the sleeping waiter. Only a waiter that is asleep
    // (or about to be) needs the system call, and only the first event to reach it makes it.
    if (waiter->word.exchange(kReleased, std::memory_order_release) == kSleeping) {
      Futex(&waiter->word, FUTEX_WAKE, 1, nullptr);
    }
  }
}

} // namespace VANT

// ---------------------------------------------------------------------------------------------

VANTEvent::VANTEvent(VANT::EventCore* handle) noexcept : m_handle(handle), m_ownsHandle(false) {}

VANTEvent::VANTEvent(bool initialState, const char* name)
    : m_handle(new VANT::EventCore(initialState)), m_name(name != nullptr ? name : ""),
      m_ownsHandle(true) {}

VANTEvent::~VANTEvent() {
  if (IsArmed()) {
    if (VANT::EventDisarmHook hook = VANT::g_disarmHook.load(std::memory_order_acquire)) {
      hook(this);
    }
  }
  if (m_ownsHandle) {
    delete m_handle;
  }
}

bool VANTEvent::IsArmed() const noexcept {
  // acquire: pairs with the release store of the trigger service after its Set().
  return std::atomic_ref<bool>(const_cast<bool&>(m_armed)).load(std::memory_order_acquire);
}

void VANTEvent::SetArmed(bool armed) noexcept {
  std::atomic_ref<bool>(m_armed).store(armed, std::memory_order_release);
}

int32_t VANTEvent::Wait(int64_t timeoutUs) noexcept {
  return VANT::WaitOne(m_handle, timeoutUs);
}

int32_t VANTEvent::Wait(int32_t n, VANTEvent* const* events, int64_t timeoutUs) {
  return VANT::WaitMany(n, events, nullptr, nullptr, VANT::TimeoutToDeadlineNs(timeoutUs));
}

int32_t VANTEvent::MsgWait(int32_t n, VANTEvent* const* events, int64_t timeoutUs) {
  return VANT::WaitMany(n, events, nullptr, nullptr, VANT::TimeoutToDeadlineNs(timeoutUs));
}

int32_t VANTEvent::WaitUntil(int32_t n, VANTEvent* const* events, VANTEvent* extra0,
                             VANTEvent* extra1, int64_t deadlineNs) {
  return VANT::WaitMany(n, events, extra0, extra1, deadlineNs);
}

VANTEventBasic::VANTEventBasic(VANT::EventCore* handle) noexcept
    : m_handle(handle), m_ownsHandle(false) {}

VANTEventBasic::VANTEventBasic(bool initialState, const char* name)
    : m_handle(new VANT::EventCore(initialState)), m_name(name != nullptr ? name : ""),
      m_ownsHandle(true) {}

VANTEventBasic::~VANTEventBasic() {
  if (m_ownsHandle) {
    delete m_handle;
  }
}

int32_t VANTEventBasic::Wait(int64_t timeoutUs) noexcept {
  return VANT::WaitOne(m_handle, timeoutUs);
}
