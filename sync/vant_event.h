#pragma once
// Events and the waits built on them. Every event is manual-reset: once set it stays set until it
// is reset, and it releases every thread that waits on it. A wait may watch up to 256 events at
// once and ends when any one of them is set; when several are set the lowest index is returned.
//
// Time-outs are signed microseconds, truncated to whole milliseconds before the wait: -1 waits
// without limit, 0 to 999 only poll, and any other value below -999 also waits without limit.
// Results: the index of the set event (0 for a single event), VANT::kWaitTimeout (-3) on
// time-out, VANT::kWaitFailed (-1) when the wait itself failed (reported as an error first).
//
// Cost: Set() and Reset() are one atomic exchange or store when nobody sleeps on the event; a wait
// on events that are already set returns after reading them. A wait that sleeps links one node per
// event on its own stack: no heap allocation, and one futex wake per sleeping waiter.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

class VANTEvent;

namespace VANT {

/// The most events one wait accepts.
inline constexpr int32_t kMaxWaitEvents = 256;
/// Wait results besides an event index.
inline constexpr int32_t kWaitFailed = -1;
inline constexpr int32_t kWaitMessage = -2; // never returned here: threads have no message queue
inline constexpr int32_t kWaitTimeout = -3;
/// Time-out value that waits without limit.
inline constexpr int64_t kInfinite = -1;
/// Deadline value (CLOCK_MONOTONIC nanoseconds) that waits without limit. A deadline of zero or
/// below, or one already past, makes a wait poll.
inline constexpr int64_t kNoDeadline = INT64_MAX;

/// Reads CLOCK_MONOTONIC in nanoseconds.
int64_t MonotonicNowNs() noexcept;
/// The absolute deadline of a wait with this time-out in microseconds: the time-out is truncated
/// to whole milliseconds; -1 and other values that truncate below zero give kNoDeadline, and
/// 0 to 999 microseconds give a deadline that polls.
int64_t TimeoutToDeadlineNs(int64_t timeoutUs) noexcept;

/// Disarms an event still held by the engine's trigger service. The runtime installs it once the
/// engine is known; without it a destroyed event disarms nothing.
using EventDisarmHook = void (*)(VANTEvent* event) noexcept;
void SetEventDisarmHook(EventDisarmHook hook) noexcept;

struct WaitNode;

/// EventCore: the state behind an event handle. Set/Reset/IsSet may be called from any thread;
/// the waits of VANTEvent and VANTEventBasic sleep on it.
///
/// Memory ordering: Set() and Reset() are sequentially consistent, so a thread that resets an
/// event and then checks its predicate cannot miss a Set() given after the predicate became true.
/// Everything a thread did before Set() is visible to a waiter released by it.
/// Ownership: destroying a core that a thread still waits on is a bug (asserted in debug builds).
///   A core may be destroyed as soon as a wait it released returns, even while the Set() that
///   released it is still running: the destructor waits for that Set() to leave.
class EventCore {
public:
  explicit EventCore(bool initialState) noexcept : m_state(initialState ? 1u : 0u) {}
  ~EventCore();
  EventCore(const EventCore&) = delete;
  EventCore& operator=(const EventCore&) = delete;

  void Set() noexcept {
    // Counted before the state changes: a waiter released by this Set may destroy the event at
    // once, and the destructor waits until the count is back to 0 (this Set touches nothing of
    // the core after its decrement).
    m_setters.fetch_add(1, std::memory_order_seq_cst);
    // seq_cst exchange then load: pairs with the link-then-load of a waiter (Dekker order), so
    // either this Set sees the waiter linked or the waiter sees the event set.
    if (m_state.exchange(1, std::memory_order_seq_cst) == 0 &&
        m_linked.load(std::memory_order_seq_cst) != 0) {
      WakeWaiters();
    }
    m_setters.fetch_sub(1, std::memory_order_release); // pairs with the acquire in ~EventCore
  }
  void Reset() noexcept { m_state.store(0, std::memory_order_seq_cst); }
  [[nodiscard]] bool IsSet() const noexcept { return m_state.load(std::memory_order_seq_cst) != 0; }

  /// Wait nodes linked on this event: one per event of each wait that sleeps or is about to.
  [[nodiscard]] uint32_t LinkedWaitNodes() const noexcept {
    return m_linked.load(std::memory_order_acquire);
  }

  // Used by the waits only.
  void Link(WaitNode* node) noexcept;
  void Unlink(WaitNode* node) noexcept;

private:
  void WakeWaiters() noexcept;

  std::atomic<uint32_t> m_state;
  std::atomic<uint32_t> m_linked{0};  // nodes in the list; written under m_lock
  std::atomic<uint32_t> m_setters{0}; // Set() calls under way
  std::mutex m_lock;                  // guards m_head and the links of its nodes
  WaitNode* m_head = nullptr;
};

} // namespace VANT

/// VANTEvent: a manual-reset event, either created here or wrapping an existing handle.
///
/// Thread: any thread may set, reset or wait on any event.
/// Blocks: the waits block until an event is set or the time-out passes.
/// Ownership: an event created by the creating constructor owns its handle and frees it; one
///   built from an existing handle never frees it. The name is only kept, never looked up.
/// Trigger service: while the engine's trigger service holds the event it marks it armed; the
///   destructor then disarms it through the installed disarm hook before freeing the handle.
class VANTEvent {
public:
  /// Wraps an existing handle: not owned, unnamed, not armed.
  explicit VANTEvent(VANT::EventCore* handle) noexcept;
  /// Creates a new event with the given initial state; a null name gives an unnamed event.
  explicit VANTEvent(bool initialState = false, const char* name = nullptr);
  virtual ~VANTEvent();
  VANTEvent(const VANTEvent&) = delete;
  VANTEvent& operator=(const VANTEvent&) = delete;

  void Set() noexcept { m_handle->Set(); }
  void Reset() noexcept { m_handle->Reset(); }
  [[nodiscard]] bool IsSet() const noexcept { return m_handle->IsSet(); }

  /// Waits for this event: 0 when set, VANT::kWaitTimeout, or VANT::kWaitFailed.
  int32_t Wait(int64_t timeoutUs) noexcept;

  /// Waits until any of the n events is set and returns its index (the lowest when several are
  /// set), VANT::kWaitTimeout, or VANT::kWaitFailed after reporting "error_num:... error_str:...".
  /// More than 256 events: reports "VANTEvent::Wait can't wait for more than 256 events" and
  /// throws VANT::ErrorException without waiting. The same event may appear more than once.
  static int32_t Wait(int32_t n, VANTEvent* const* events, int64_t timeoutUs);
  /// As Wait(n, events, timeoutUs). Threads here have no message queue, so a queued message never
  /// ends the wait and VANT::kWaitMessage is never returned.
  static int32_t MsgWait(int32_t n, VANTEvent* const* events, int64_t timeoutUs);
  /// As Wait(n, events, ...), on the n events followed by extra0 and extra1 (each skipped when
  /// null, so the first non-null extra has index n), until an absolute CLOCK_MONOTONIC deadline
  /// in nanoseconds (VANT::kNoDeadline: no limit; zero, below or past: poll). The limit of 256
  /// counts the extras. For waits that add a stop event or a wake-up event to the caller's.
  static int32_t WaitUntil(int32_t n, VANTEvent* const* events, VANTEvent* extra0,
                           VANTEvent* extra1, int64_t deadlineNs);

  [[nodiscard]] VANT::EventCore* Handle() const noexcept { return m_handle; }
  [[nodiscard]] const char* Name() const noexcept { return m_name.c_str(); }
  [[nodiscard]] bool OwnsHandle() const noexcept { return m_ownsHandle; }

  /// The trigger service's mark. Only the engine's trigger service writes it: true while it
  /// holds the event, cleared after its Set(). Release/acquire: a destructor that reads false
  /// knows that no Set() of the service is in flight.
  [[nodiscard]] bool IsArmed() const noexcept;
  void SetArmed(bool armed) noexcept;

private:
  VANT::EventCore* m_handle;
  std::string m_name;
  bool m_ownsHandle;
  bool m_armed = false;
};

/// VANTEventBasic: the same manual-reset event without the trigger-service mark; its destructor
/// only frees an owned handle. Thread and ownership rules as VANTEvent.
class VANTEventBasic {
public:
  explicit VANTEventBasic(VANT::EventCore* handle) noexcept;
  explicit VANTEventBasic(bool initialState = false, const char* name = nullptr);
  ~VANTEventBasic();
  VANTEventBasic(const VANTEventBasic&) = delete;
  VANTEventBasic& operator=(const VANTEventBasic&) = delete;

  void Set() noexcept { m_handle->Set(); }
  void Reset() noexcept { m_handle->Reset(); }
  [[nodiscard]] bool IsSet() const noexcept { return m_handle->IsSet(); }
  /// As VANTEvent::Wait(timeoutUs).
  int32_t Wait(int64_t timeoutUs) noexcept;

  [[nodiscard]] VANT::EventCore* Handle() const noexcept { return m_handle; }
  [[nodiscard]] const char* Name() const noexcept { return m_name.c_str(); }
  [[nodiscard]] bool OwnsHandle() const noexcept { return m_ownsHandle; }

private:
  VANT::EventCore* m_handle;
  std::string m_name;
  bool m_ownsHandle;
};
