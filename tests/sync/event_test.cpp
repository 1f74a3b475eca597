#include "sync/vant_event.h"
#include "util/vant_exceptions.h"
#include "util/vant_report_hook.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

std::mutex g_reportsLock;
std::vector<std::string> g_reports;

void CaptureReport(const char* text, int32_t level, int32_t, bool) noexcept {
  std::lock_guard<std::mutex> guard(g_reportsLock);
  g_reports.push_back(std::to_string(level) + " " + text);
}

// Installs the capturing report hook for one test.
class EventTest : public testing::Test {
protected:
  void SetUp() override {
    TakeReports();
    VANT::SetReportHook(&CaptureReport);
  }
  void TearDown() override { VANT::SetReportHook(nullptr); }

  static std::vector<std::string> TakeReports() {
    std::lock_guard<std::mutex> guard(g_reportsLock);
    std::vector<std::string> taken;
    taken.swap(g_reports);
    return taken;
  }
};

// Owns n events and the pointer array the waits take.
struct EventArray {
  explicit EventArray(int n) {
    for (int i = 0; i < n; ++i) {
      owned.push_back(std::make_unique<VANTEvent>(false, nullptr));
      pointers.push_back(owned.back().get());
    }
  }
  int32_t Size() const { return static_cast<int32_t>(pointers.size()); }
  VANTEvent& operator[](int i) { return *owned[i]; }
  std::vector<std::unique_ptr<VANTEvent>> owned;
  std::vector<VANTEvent*> pointers;
};

// Spins until `count` wait nodes are linked on the event, i.e. the waiter is about to sleep.
void AwaitLinked(VANTEvent& event, uint32_t count = 1) {
  while (event.Handle()->LinkedWaitNodes() < count) {
    std::this_thread::yield();
  }
}

int64_t ElapsedUs(int64_t startNs) {
  return (VANT::MonotonicNowNs() - startNs) / 1000;
}

constexpr int64_t kSafety = 2000000; // 2 s: a wait that reaches it means a lost wake

TEST_F(EventTest, ManualResetStaysSetAndReleasesEveryWaiter) {
  VANTEvent preset(true, "preset");
  EXPECT_STREQ(preset.Name(), "preset");
  EXPECT_EQ(preset.Wait(0), 0);
  EXPECT_EQ(preset.Wait(0), 0) << "a wait must not reset the event";
  preset.Reset();
  EXPECT_EQ(preset.Wait(0), VANT::kWaitTimeout);

  VANTEvent event;
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      if (event.Wait(kSafety) == 0) {
        released.fetch_add(1);
      }
    });
  }
  AwaitLinked(event, 3);
  event.Set();
  for (auto& waiter : waiters) {
    waiter.join();
  }
  EXPECT_EQ(released.load(), 3);
  EXPECT_TRUE(event.IsSet());
}

TEST_F(EventTest, LowestIndexWinsWhenSeveralAreSet) {
  EventArray events(256);
  events[200].Set();
  events[7].Set();
  events[31].Set();
  EXPECT_EQ(VANTEvent::Wait(events.Size(), events.pointers.data(), 0), 7);
  EXPECT_EQ(VANTEvent::Wait(events.Size(), events.pointers.data(), VANT::kInfinite), 7);
  events[7].Reset();
  EXPECT_EQ(VANTEvent::Wait(events.Size(), events.pointers.data(), 0), 31);

  // A sleeping waiter released while a later index is set first still reports the lowest one.
  EventArray sleeping(64);
  int32_t result = -100;
  std::thread waiter(
      [&] { result = VANTEvent::Wait(sleeping.Size(), sleeping.pointers.data(), kSafety); });
  AwaitLinked(sleeping[63]);
  sleeping[40].Set();
  sleeping[12].Set();
  waiter.join();
  EXPECT_TRUE(result == 12 || result == 40) << result;
  EXPECT_EQ(VANTEvent::Wait(sleeping.Size(), sleeping.pointers.data(), 0), 12);
  EXPECT_TRUE(TakeReports().empty());
}

TEST_F(EventTest, SetQuicklyFollowedByResetReleasesTheWaiter) {
  // Tricky: by the time the waiter looks, the event is unset again. It must still be released,
  // with the index of the pulsed event, whether it was already asleep or only linked.
  EventArray events(4);
  for (int round = 0; round < 200; ++round) {
    const int pulsed = round % 4;
    int32_t result = -100;
    std::thread waiter(
        [&] { result = VANTEvent::Wait(events.Size(), events.pointers.data(), VANT::kInfinite); });
    AwaitLinked(events[pulsed]);
    events[pulsed].Set();
    events[pulsed].Reset();
    waiter.join();
    ASSERT_EQ(result, pulsed) << "round " << round;
    EXPECT_EQ(events[pulsed].Handle()->LinkedWaitNodes(), 0u) << "a node stayed linked";
  }
}

TEST_F(EventTest, TimeOutsAreTruncatedToWholeMilliseconds) {
  EXPECT_EQ(VANT::TimeoutToDeadlineNs(VANT::kInfinite), VANT::kNoDeadline);
  EXPECT_EQ(VANT::TimeoutToDeadlineNs(-1000), VANT::kNoDeadline);
  EXPECT_LE(VANT::TimeoutToDeadlineNs(0), 0) << "0 polls";
  EXPECT_LE(VANT::TimeoutToDeadlineNs(999), 0) << "999 us is 0 ms: a poll";
  EXPECT_LE(VANT::TimeoutToDeadlineNs(-999), 0) << "-999 us truncates to 0 ms: a poll";
  const int64_t before = VANT::MonotonicNowNs();
  const int64_t deadline = VANT::TimeoutToDeadlineNs(1999);
  const int64_t after = VANT::MonotonicNowNs();
  EXPECT_GE(deadline, before + 1000000) << "1999 us is 1 ms";
  EXPECT_LE(deadline, after + 1000000) << "1999 us is 1 ms, not 2";
  EXPECT_EQ(VANT::TimeoutToDeadlineNs(INT64_MAX), VANT::kNoDeadline) << "no overflow";

  VANTEvent event;
  int64_t start = VANT::MonotonicNowNs();
  EXPECT_EQ(event.Wait(999), VANT::kWaitTimeout);
  EXPECT_EQ(event.Handle()->LinkedWaitNodes(), 0u);
  start = VANT::MonotonicNowNs();
  EXPECT_EQ(event.Wait(2999), VANT::kWaitTimeout);
  EXPECT_GE(ElapsedUs(start), 2000);
  VANTEventBasic basic;
  start = VANT::MonotonicNowNs();
  EXPECT_EQ(basic.Wait(1500), VANT::kWaitTimeout);
  EXPECT_GE(ElapsedUs(start), 1000);
}

TEST_F(EventTest, AWaitTimesOutAndThenTheEventStillWorks) {
  EventArray events(3);
  const int64_t start = VANT::MonotonicNowNs();
  EXPECT_EQ(VANTEvent::Wait(events.Size(), events.pointers.data(), 20000), VANT::kWaitTimeout);
  EXPECT_GE(ElapsedUs(start), 20000);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(events[i].Handle()->LinkedWaitNodes(), 0u);
  }
  int32_t result = -100;
  std::thread waiter(
      [&] { result = VANTEvent::Wait(events.Size(), events.pointers.data(), kSafety); });
  AwaitLinked(events[2]);
  events[2].Set();
  waiter.join();
  EXPECT_EQ(result, 2);
}

TEST_F(EventTest, AcceptsTwoHundredFiftySixEventsAndRefusesOneMore) {
  EventArray events(257);
  EXPECT_EQ(VANTEvent::Wait(256, events.pointers.data(), 0), VANT::kWaitTimeout);
  events[255].Set();
  EXPECT_EQ(VANTEvent::Wait(256, events.pointers.data(), VANT::kInfinite), 255);
  EXPECT_EQ(VANTEvent::MsgWait(256, events.pointers.data(), 0), 255);
  EXPECT_TRUE(TakeReports().empty());

  for (auto wait : {&VANTEvent::Wait, &VANTEvent::MsgWait}) {
    try {
      wait(257, events.pointers.data(), VANT::kInfinite);
      ADD_FAILURE() << "257 events were accepted";
    } catch (int code) {
      EXPECT_EQ(code, VANT::ErrorException);
    }
    EXPECT_EQ(TakeReports(),
              std::vector<std::string>{"2 VANTEvent::Wait can't wait for more than 256 events"});
  }

  // The extras of WaitUntil count in the limit and keep the indices after the caller's events.
  VANTEvent extra(true);
  EXPECT_THROW(VANTEvent::WaitUntil(255, events.pointers.data(), &extra, &extra, 0), int);
  TakeReports();
  events[255].Reset();
  EXPECT_EQ(VANTEvent::WaitUntil(254, events.pointers.data(), nullptr, &extra, 0), 254);
  EXPECT_EQ(VANTEvent::WaitUntil(254, events.pointers.data(), &extra, &extra, 0), 254);
  events[3].Set();
  EXPECT_EQ(VANTEvent::WaitUntil(254, events.pointers.data(), &extra, nullptr, 0), 3);
}

TEST_F(EventTest, AnInvalidWaitIsReportedAndFails) {
  EventArray events(2);
  EXPECT_EQ(VANTEvent::Wait(0, events.pointers.data(), VANT::kInfinite), VANT::kWaitFailed);
  events.pointers[1] = nullptr;
  EXPECT_EQ(VANTEvent::Wait(2, events.pointers.data(), VANT::kInfinite), VANT::kWaitFailed);
  const std::vector<std::string> expected(2, "2 error_num:22 error_str:Invalid argument");
  EXPECT_EQ(TakeReports(), expected);
}

TEST_F(EventTest, NoWakeIsLostInAPingPongRace) {
  // Each side resets its event before checking the shared counter, then sleeps: a Set that falls
  // between the check and the sleep must still wake it, or the wait runs into its safety limit.
  VANTEvent ping;
  VANTEvent pong;
  std::atomic<int> turn{0};
  constexpr int kRounds = 3000;
  std::atomic<int> lost{0};
  auto side = [&](VANTEvent& mine, VANTEvent& theirs, int parity) {
    for (int round = 0; round < kRounds; ++round) {
      for (;;) {
        mine.Reset();
        if (turn.load() % 2 == parity) {
          break;
        }
        if (mine.Wait(kSafety) != 0) {
          lost.fetch_add(1);
          return;
        }
      }
      turn.fetch_add(1);
      theirs.Set();
    }
  };
  std::thread a([&] { side(ping, pong, 0); });
  std::thread b([&] { side(pong, ping, 1); });
  a.join();
  b.join();
  EXPECT_EQ(lost.load(), 0);
  EXPECT_EQ(turn.load(), 2 * kRounds);
}

// Tricky: the waiter frees the event as soon as its wait returns, while the Set() that released
// it may still be walking the event's list of waiters (a "done" event on the waiter's stack is the
// usual case). Under the sanitizers a Set() touching the freed event is reported.
TEST_F(EventTest, AnEventMayBeFreedAsSoonAsTheWaitItReleasedReturns) {
  constexpr int kRounds = 4000;
  std::atomic<VANTEvent*> current{nullptr};
  std::atomic<int> done{0};
  std::thread setter([&] {
    for (int round = 0; round < kRounds; ++round) {
      VANTEvent* event = nullptr;
      while ((event = current.exchange(nullptr)) == nullptr) {
        std::this_thread::yield();
      }
      event->Set();
      while (done.load() == round) {
        std::this_thread::yield(); // the next event is the waiter's to make
      }
    }
  });
  int failed = 0;
  for (int round = 0; round < kRounds; ++round) {
    auto event = std::make_unique<VANTEvent>();
    current.store(event.get());
    failed += event->Wait(kSafety) != 0 ? 1 : 0;
    event.reset();
    done.store(round + 1);
  }
  setter.join();
  EXPECT_EQ(failed, 0);
}

TEST_F(EventTest, NoWakeIsLostAcrossSeveralEvents) {
  // The waiter watches three events; the setter picks one each round, and the waiter must see
  // exactly that index (the others stay unset).
  EventArray events(3);
  EventArray acks(1);
  constexpr int kRounds = 1500;
  std::atomic<int> mismatches{0};
  std::thread waiter([&] {
    for (int round = 0; round < kRounds; ++round) {
      const int32_t got = VANTEvent::Wait(events.Size(), events.pointers.data(), kSafety);
      if (got != round % 3) {
        mismatches.fetch_add(1);
      }
      if (got >= 0) {
        events[got].Reset();
      }
      acks[0].Set();
    }
  });
  for (int round = 0; round < kRounds; ++round) {
    events[round % 3].Set();
    ASSERT_EQ(acks[0].Wait(kSafety), 0) << "round " << round;
    acks[0].Reset();
  }
  waiter.join();
  EXPECT_EQ(mismatches.load(), 0);
}

// Records the events the disarm hook is asked about.
std::vector<VANTEvent*> g_disarmed;
void RecordDisarm(VANTEvent* event) noexcept {
  g_disarmed.push_back(event);
}

TEST_F(EventTest, DestructorDisarmsOnlyArmedEventsAndFreesOnlyOwnedHandles) {
  VANT::SetEventDisarmHook(&RecordDisarm);
  g_disarmed.clear();
  auto armed = std::make_unique<VANTEvent>();
  auto idle = std::make_unique<VANTEvent>();
  armed->SetArmed(true);
  VANTEvent* const armedAddress = armed.get();
  armed.reset();
  idle.reset();
  VANT::SetEventDisarmHook(nullptr);
  ASSERT_EQ(g_disarmed.size(), 1u);
  EXPECT_TRUE(g_disarmed[0] == armedAddress);

  VANT::EventCore core(false);
  {
    VANTEvent wrapper(&core);
    EXPECT_FALSE(wrapper.OwnsHandle());
    EXPECT_STREQ(wrapper.Name(), "");
    wrapper.Set();
    VANTEventBasic basicWrapper(&core);
    EXPECT_EQ(basicWrapper.Wait(0), 0);
  }
  EXPECT_TRUE(core.IsSet()) << "the core must outlive the wrappers that do not own it";
}

} // namespace
