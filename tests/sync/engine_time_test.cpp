#include "host/host.h"
#include "host/host_clock.h"
#include "host/host_triggers.h"
#include "kernel/vant_kernel.h"
#include "runtime/vant_report.h"
#include "support/host_fixture.h"
#include "sync/vant_base_clock.h"
#include "sync/vant_engine_time.h"
#include "sync/vant_event.h"
#include "util/vant_exceptions.h"
#include "util/vant_report_hook.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int64_t kSafetyUs = 2000000; // a wait that reaches it means a lost wake-up

// ---- The engine the package sees ---------------------------------------------------------------

Host& Engine() {
  return HostFixture::SharedHost();
}
HostClock& Clock() {
  return Engine().Clock();
}
HostTriggers& Triggers() {
  return Engine().TriggerService();
}

// ---- Reports -----------------------------------------------------------------------------------

std::mutex g_reportsLock;
std::vector<std::string> g_reports;

void CaptureReport(const char* text, int32_t level, int32_t, bool) noexcept {
  std::lock_guard<std::mutex> guard(g_reportsLock);
  g_reports.push_back(std::to_string(level) + " " + text);
}

std::vector<std::string> TakeCapturedReports() {
  std::lock_guard<std::mutex> guard(g_reportsLock);
  std::vector<std::string> taken;
  taken.swap(g_reports);
  return taken;
}

// The module side of the module waits: reports are kept, Error raises ErrorException.
class RecordingReporter final : public VANT::WaitReporter {
public:
  void Report(const char* text, int32_t level) const override {
    CaptureReport(text, level, 0, false);
  }
  [[noreturn]] void Error(const char* text) const override {
    CaptureReport(text, 2, 0, false);
    throw VANT::ErrorException;
  }
};

template <typename Call>
int ThrownInteger(Call call) {
  try {
    call();
  } catch (int thrown) {
    return thrown;
  }
  return 0;
}

// Package-level reports are captured here rather than by the host, so that the texts of the
// waits and of the module reporter come back in one list.
class EngineTimeTest : public HostFixture {
protected:
  void SetUp() override {
    HostFixture::SetUp();
    TakeCapturedReports();
    VANT::SetReportHook(&CaptureReport);
    RestoreClock();
  }
  void TearDown() override {
    EXPECT_TRUE(Clock().TimeLockIdle()) << "a wait kept the time lock";
    EXPECT_EQ(Clock().WakeUpRegistry().Registered(), 0) << "a wait kept its registration";
    RestoreClock();
    VANT::InstallKernelReportHook();
  }
  void RestoreClock() {
    Clock().Restore();
    host().SetTimeoutsSuspended(false);
  }

  static uint64_t Passes() { return Clock().WakeUpRegistry().Registrations(); }
  // Returns once a wait has started a pass after `before` passes: it holds the time lock and is
  // about to block.
  static void AwaitPassAfter(uint64_t before) {
    ASSERT_TRUE(Clock().WakeUpRegistry().AwaitRegistrationAfter(before, kSafetyUs))
        << "the wait never blocked";
  }
  // Makes a host change, then returns once a wait has started a pass after it: the wait saw the
  // change and chose to go on waiting.
  template <typename Change>
  static void ChangeAndAwaitPass(Change change) {
    change();
    HostWakeUps& wakeUps = Clock().WakeUpRegistry();
    ASSERT_TRUE(wakeUps.AwaitPassSeeing(wakeUps.Changes(), kSafetyUs))
        << "the wait did not go on after the change";
  }
  // The background wait must end; if it does not, `unblock` is set so that the test can finish.
  template <typename T>
  static T Finish(std::future<T>& waiting, VANTEvent& unblock) {
    if (waiting.wait_for(std::chrono::microseconds(kSafetyUs)) != std::future_status::ready) {
      ADD_FAILURE() << "the wait did not end";
      unblock.Set();
    }
    return waiting.get();
  }
  template <typename T>
  static bool StillWaiting(std::future<T>& waiting) {
    return waiting.wait_for(std::chrono::seconds(0)) != std::future_status::ready;
  }

  VANTEvent m_stop;
  VANTEvent m_cancel;
  RecordingReporter m_reporter;
};

// ---- VANT::WaitForTimestamp
// ----------------------------------------------------------------------

struct ThresholdRow {
  const char* file;
  int line;
  int32_t speed;
  int64_t ahead; // engine microseconds from now to the timestamp
  bool armsTimer;
};

// With engine time held still (stepped), the real delay is exact: (ahead x 1000 / speed) of 499
// or less is reached at once; 500 and more arms a trigger and waits for the engine to get there.
TEST_F(EngineTimeTest, TimestampReachedWithinTheThresholdArmsOtherwise) {
  const ThresholdRow rows[] = {
      {__FILE__, __LINE__, 1000, 400, false},    {__FILE__, __LINE__, 1000, 499, false},
      {__FILE__, __LINE__, 1000, 500, true},     {__FILE__, __LINE__, 1000, 600, true},
      {__FILE__, __LINE__, 2000, 900, false},    {__FILE__, __LINE__, 2000, 999, false},
      {__FILE__, __LINE__, 2000, 1000, true},    {__FILE__, __LINE__, 500, 249, false},
      {__FILE__, __LINE__, 500, 250, true},      {__FILE__, __LINE__, 1000, -50000, false},
      {__FILE__, __LINE__, -1000, 50000, false}, // timestamp waits do not follow time backwards
  };
  Clock().SetStepped(true);
  for (const ThresholdRow& row : rows) {
    SCOPED_TRACE(testing::Message() << row.file << ":" << row.line);
    Clock().SetSpeed(row.speed);
    const int64_t timestamp = Clock().CurrentTime() + row.ahead;
    const uint64_t armed = Triggers().ArmCount();
    if (!row.armsTimer) {
      bool woken = true;
      EXPECT_TRUE(VANT::WaitForTimestamp(timestamp, nullptr, &woken));
      EXPECT_FALSE(woken);
      EXPECT_EQ(Triggers().ArmCount(), armed);
      continue;
    }
    const uint64_t passes = Passes();
    bool woken = false;
    auto waiting = std::async(std::launch::async,
                              [&] { return VANT::WaitForTimestamp(timestamp, &m_cancel, &woken); });
    AwaitPassAfter(passes);
    EXPECT_GT(Triggers().ArmCount(), armed);
    Clock().Step(row.ahead); // the engine gets there: the wake-up ends the pass
    EXPECT_TRUE(Finish(waiting, m_cancel));
    EXPECT_TRUE(woken) << "reached through the engine's wake-up, not the timer";
  }
  EXPECT_EQ(Triggers().Pending(), 0u) << "a timer was left armed";
}

TEST_F(EngineTimeTest, TimestampOnARunningClockEndsOnTheTimer) {
  const int64_t timestamp = Clock().CurrentTime() + 4000;
  bool woken = true;
  int index = 7;
  VANTEvent* cancel[] = {&m_cancel};
  EXPECT_TRUE(VANT::WaitForTimestamp(timestamp, 1, cancel, &index, &woken));
  EXPECT_GE(Clock().CurrentTime(), timestamp - VANT::ReachedThreshold);
  EXPECT_FALSE(woken);
  EXPECT_EQ(index, -1);
}

TEST_F(EngineTimeTest, StillTimeWaitsForAWakeUpOrACancel) {
  for (const bool paused : {false, true}) {
    SCOPED_TRACE(paused ? "paused" : "speed 0");
    if (paused) {
      Clock().Pause();
    } else {
      Clock().SetSpeed(0);
    }
    // Even a timestamp already passed waits while time stands still.
    const int64_t timestamp = Clock().CurrentTime() - 100;
    const uint64_t passes = Passes();
    bool woken = false;
    auto waiting = std::async(std::launch::async,
                              [&] { return VANT::WaitForTimestamp(timestamp, &m_cancel, &woken); });
    AwaitPassAfter(passes);
    // A wake-up that leaves time standing: the wait goes on.
    ChangeAndAwaitPass([] { Clock().JumpTo(Clock().CurrentTime() + 10); });
    EXPECT_TRUE(StillWaiting(waiting));
    if (paused) {
      Clock().Resume();
    } else {
      Clock().SetSpeed(1000);
    }
    EXPECT_TRUE(Finish(waiting, m_cancel));
    EXPECT_TRUE(woken);
  }

  // A cancel event ends it with its index.
  Clock().SetSpeed(0);
  VANTEvent other;
  VANTEvent* cancel[] = {&other, &m_cancel};
  int index = -1;
  const uint64_t passes = Passes();
  auto waiting = std::async(std::launch::async,
                            [&] { return VANT::WaitForTimestamp(0, 2, cancel, &index, nullptr); });
  AwaitPassAfter(passes);
  m_cancel.Set();
  EXPECT_FALSE(Finish(waiting, m_cancel));
  EXPECT_EQ(index, 1);
}

TEST_F(EngineTimeTest, CancelWhileATimerIsArmed) {
  std::vector<std::unique_ptr<VANTEvent>> owned;
  std::vector<VANTEvent*> cancel;
  for (int i = 0; i < 3; ++i) {
    owned.push_back(std::make_unique<VANTEvent>());
    cancel.push_back(owned.back().get());
  }
  const int64_t far = Clock().CurrentTime() + 60000000;
  int index = -1;
  bool woken = true;
  const uint64_t passes = Passes();
  auto waiting = std::async(std::launch::async, [&] {
    return VANT::WaitForTimestamp(far, 3, cancel.data(), &index, &woken);
  });
  AwaitPassAfter(passes);
  EXPECT_EQ(Triggers().Pending(), 1u);
  owned[2]->Set();
  EXPECT_FALSE(Finish(waiting, *owned[2]));
  EXPECT_EQ(index, 2);
  EXPECT_FALSE(woken);
  EXPECT_EQ(Triggers().Pending(), 0u) << "the timer must be disarmed when the wait ends";

  owned[1]->Set(); // with several set, the lowest index wins
  EXPECT_FALSE(VANT::WaitForTimestamp(far, 3, cancel.data(), &index, &woken));
  EXPECT_EQ(index, 1);
}

TEST_F(EngineTimeTest, TimestampWaitRefusals) {
  bool woken = true;
  int index = 5;
  EXPECT_EQ(ThrownInteger([&] { VANT::WaitForTimestamp(0, -1, nullptr, &index, &woken); }),
            VANT::StopException);
  EXPECT_EQ(
      TakeCapturedReports(),
      std::vector<std::string>{"2 VANT::WaitForTimestamp [line:751] [nbCancelEvents:-1] < 0"});

  // 254 cancel events fill the 256 slots with the wake-up and timer events; 255 cannot be waited.
  std::vector<std::unique_ptr<VANTEvent>> owned;
  std::vector<VANTEvent*> cancel;
  for (int i = 0; i < 255; ++i) {
    owned.push_back(std::make_unique<VANTEvent>());
    cancel.push_back(owned.back().get());
  }
  owned[253]->Set();
  EXPECT_FALSE(
      VANT::WaitForTimestamp(Clock().CurrentTime() + 60000000, 254, cancel.data(), &index, &woken));
  EXPECT_EQ(index, 253);
  EXPECT_EQ(ThrownInteger([&] { VANT::WaitForTimestamp(0, 255, cancel.data(), &index, &woken); }),
            VANT::ErrorException);
  EXPECT_EQ(TakeCapturedReports(),
            std::vector<std::string>{"2 VANTEvent::Wait can't wait for more than 256 events"});
  // Zero cancel events with a null array, or a null array with a count: nothing to cancel.
  EXPECT_TRUE(VANT::WaitForTimestamp(Clock().CurrentTime(), 3, nullptr, &index, &woken));
}

// ---- Module waits
// --------------------------------------------------------------------------------

TEST_F(EngineTimeTest, ModuleTimestampWaitAddsTheStopEvent) {
  VANTEvent* cancel[] = {&m_cancel};
  int index = 9;
  const int64_t far = Clock().CurrentTime() + 60000000;
  m_cancel.Set();
  EXPECT_FALSE(VANT::WaitForTimestampOn(&m_stop, far, 1, cancel, &index, nullptr, m_reporter));
  EXPECT_EQ(index, 0) << "cancel indices leave the stop event out";
  EXPECT_FALSE(VANT::WaitForTimestampOn(&m_stop, far, &m_cancel, nullptr, m_reporter));

  m_stop.Set(); // the stop event comes first, before any cancel event
  EXPECT_EQ(ThrownInteger([&] {
              VANT::WaitForTimestampOn(&m_stop, far, 1, cancel, &index, nullptr, m_reporter);
            }),
            VANT::StopException);
  EXPECT_EQ(index, -1);
  EXPECT_EQ(
      ThrownInteger([&] { VANT::WaitForTimestampOn(&m_stop, far, nullptr, nullptr, m_reporter); }),
      VANT::StopException);
  EXPECT_TRUE(TakeCapturedReports().empty()) << "a stop is never reported";

  EXPECT_EQ(ThrownInteger([&] {
              VANT::WaitForTimestampOn(&m_stop, far, -1, cancel, &index, nullptr, m_reporter);
            }),
            VANT::StopException);
  EXPECT_EQ(
      TakeCapturedReports(),
      std::vector<std::string>{"2 VANT::WaitForTimestamp [line:751] [nbCancelEvents:-1] < 0"});
}

TEST_F(EngineTimeTest, WaitUntil) {
  Clock().SetStepped(true);
  const int64_t timestamp = Clock().CurrentTime() + 5000;
  uint64_t passes = Passes();
  auto waiting = std::async(std::launch::async, [&] {
    return VANT::WaitUntilOn(&m_stop, timestamp, &m_cancel, m_reporter);
  });
  AwaitPassAfter(passes);
  ChangeAndAwaitPass([] { Clock().Step(3000); }); // not there yet: another pass
  EXPECT_TRUE(StillWaiting(waiting));
  Clock().Step(1600); // 400 short: reached
  EXPECT_TRUE(Finish(waiting, m_stop));

  // Time running backwards: only a wake-up, the stop or the cancel event ends a pass.
  Clock().SetSpeed(-1000);
  passes = Passes();
  auto cancelled = std::async(std::launch::async, [&] {
    return VANT::WaitUntilOn(&m_stop, Clock().CurrentTime() + 5000, &m_cancel, m_reporter);
  });
  AwaitPassAfter(passes);
  EXPECT_EQ(Triggers().Pending(), 0u) << "no timer while time runs backwards";
  m_cancel.Set();
  EXPECT_FALSE(Finish(cancelled, m_stop));

  m_cancel.Reset();
  Clock().SetSpeed(1000);
  m_stop.Set();
  EXPECT_EQ(ThrownInteger([&] {
              VANT::WaitUntilOn(&m_stop, Clock().CurrentTime() + 5000, nullptr, m_reporter);
            }),
            VANT::StopException);
  EXPECT_EQ(Triggers().Pending(), 0u);
  EXPECT_TRUE(TakeCapturedReports().empty());
}

TEST_F(EngineTimeTest, RestEndsAtOnceCancelledOrStopped) {
  const uint64_t armed = Triggers().ArmCount();
  EXPECT_TRUE(VANT::RestOn(&m_stop, 100, &m_cancel, m_reporter)); // 100 real us: a yield
  EXPECT_EQ(Triggers().ArmCount(), armed);

  m_cancel.Set();
  EXPECT_FALSE(VANT::RestOn(&m_stop, 60000000, &m_cancel, m_reporter));
  Clock().SetSpeed(0);
  EXPECT_FALSE(VANT::RestOn(&m_stop, 60000000, &m_cancel, m_reporter));
  Clock().SetSpeed(1000);
  m_stop.Set();
  EXPECT_EQ(ThrownInteger([&] { VANT::RestOn(&m_stop, 60000000, &m_cancel, m_reporter); }),
            VANT::StopException);
  EXPECT_EQ(Triggers().Pending(), 0u);
}

struct RestAction {
  enum Kind { kStep, kSpeed, kPause, kResume } kind;
  int64_t value;
  void Apply() const {
    switch (kind) {
    case kStep:
      Clock().Step(value);
      break;
    case kSpeed:
      Clock().SetSpeed(static_cast<int32_t>(value));
      break;
    case kPause:
      Clock().Pause();
      break;
    case kResume:
      Clock().Resume();
      break;
    }
  }
};

struct RestScript {
  const char* file;
  int line;
  int32_t speed;
  std::vector<RestAction> goesOn; // after each of these the rest of 10000 goes on
  RestAction ends;                // and this one ends it
};

// With stepped time the engine moves only when the test says so. Time moved by the engine
// counts toward the rest in the direction the clock runs; time that stands still (speed 0, a
// pause, or a jump while paused) does not.
TEST_F(EngineTimeTest, RestFollowsTheEngineTime) {
  using A = RestAction;
  const RestScript scripts[] = {
      {__FILE__,
       __LINE__,
       1000,
       {{A::kStep, 4000}, {A::kSpeed, 0}, {A::kSpeed, 1000}, {A::kStep, 5000}},
       {A::kStep, 600}},
      {__FILE__,
       __LINE__,
       -1000,
       {{A::kStep, -4000}, {A::kSpeed, 0}, {A::kSpeed, -1000}, {A::kStep, -5000}},
       {A::kStep, -600}},
      // Turning around: what is left is then rested backwards.
      {__FILE__,
       __LINE__,
       1000,
       {{A::kStep, 4000}, {A::kSpeed, -1000}, {A::kStep, -5000}},
       {A::kStep, -600}},
      {__FILE__,
       __LINE__,
       1000,
       {{A::kStep, 4000}, {A::kPause, 0}, {A::kStep, 3000}, {A::kResume, 0}, {A::kStep, 5000}},
       {A::kStep, 600}},
  };
  for (const RestScript& script : scripts) {
    SCOPED_TRACE(testing::Message() << script.file << ":" << script.line);
    RestoreClock();
    Clock().SetStepped(true);
    Clock().SetSpeed(script.speed);
    const uint64_t passes = Passes();
    auto resting = std::async(std::launch::async,
                              [&] { return VANT::RestOn(&m_stop, 10000, nullptr, m_reporter); });
    AwaitPassAfter(passes);
    for (const RestAction& action : script.goesOn) {
      ChangeAndAwaitPass([&] { action.Apply(); });
      EXPECT_TRUE(StillWaiting(resting));
    }
    script.ends.Apply(); // 400 left: within the threshold
    EXPECT_TRUE(Finish(resting, m_stop));
  }
}

TEST_F(EngineTimeTest, RestOnABackwardsClock) {
  Clock().SetSpeed(-2000);
  const int64_t start = Clock().CurrentTime();
  EXPECT_TRUE(VANT::RestOn(&m_stop, 6000, nullptr, m_reporter));
  EXPECT_GE(start - Clock().CurrentTime(), 6000 - VANT::ReachedThreshold)
      << "the engine time must have gone back by the duration";
}

TEST_F(EngineTimeTest, PausedTimeDoesNotCountInARest) {
  const int64_t start = Clock().CurrentTime();
  const uint64_t passes = Passes();
  auto resting = std::async(std::launch::async,
                            [&] { return VANT::RestOn(&m_stop, 20000, nullptr, m_reporter); });
  AwaitPassAfter(passes);
  Clock().Pause();
  if (Clock().CurrentTime() - start < 20000 - VANT::ReachedThreshold) {
    // Paused before the engine got there, so the rest cannot be over, however long the pause.
    HostWakeUps& wakeUps = Clock().WakeUpRegistry();
    ASSERT_TRUE(wakeUps.AwaitPassSeeing(wakeUps.Changes(), kSafetyUs));
    std::this_thread::sleep_for(std::chrono::milliseconds(25)); // longer than the rest
    EXPECT_TRUE(StillWaiting(resting));
  }
  Clock().Resume();
  EXPECT_TRUE(Finish(resting, m_stop));
  EXPECT_GE(Clock().CurrentTime() - start, 20000 - VANT::ReachedThreshold);
}

TEST_F(EngineTimeTest, EventWaitWithAnEngineTimeOut) {
  VANTEvent first;
  VANTEvent second;
  VANTEvent* events[] = {&first, &second};
  second.Set();
  EXPECT_EQ(VANT::Wait4EventsOn(&m_stop, 2, events, 1000000, true), 1);
  m_stop.Set(); // index 2, after the caller's: the caller's events keep precedence
  EXPECT_EQ(VANT::Wait4EventsOn(&m_stop, 2, events, 1000000, true), 1);
  second.Reset();
  EXPECT_EQ(ThrownInteger([&] { VANT::Wait4EventsOn(&m_stop, 2, events, 1000000, true); }),
            VANT::StopException);
  EXPECT_EQ(VANT::Wait4EventsOn(&m_stop, 2, events, 600, false), VANT::kWaitTimeout);
  EXPECT_EQ(ThrownInteger([&] { VANT::WaitForEventOn(&m_stop, &first, 1000000); }),
            VANT::StopException);
  EXPECT_EQ(ThrownInteger([&] { VANT::WaitForEventOn(&m_stop, &m_stop, 1000000); }),
            VANT::StopException);
  m_stop.Reset();

  const int64_t start = Clock().CurrentTime();
  EXPECT_FALSE(VANT::WaitForEventOn(&m_stop, &first, 3000));
  EXPECT_GE(Clock().CurrentTime() - start, 3000 - VANT::ReachedThreshold);
  first.Set();
  EXPECT_TRUE(VANT::WaitForEventOn(&m_stop, &first, 3000));
}

// A time-out too short to block on (0 included) is still one look at the events: a set event
// wins over the time-out (it used to answer time-out without looking), the stop event stops, and
// nothing set is a time-out. Time is held still, so the real time left is exact.
TEST_F(EngineTimeTest, TimeOutsTooShortToBlockStillLookAtTheEvents) {
  struct Row {
    const char* file;
    int line;
    int32_t speed;
    int64_t timeout;
  };
  const Row rows[] = {{__FILE__, __LINE__, 1000, 0},
                      {__FILE__, __LINE__, 1000, 1},
                      {__FILE__, __LINE__, 1000, 499},
                      {__FILE__, __LINE__, 2000, 999}}; // 499 real microseconds
  Clock().SetStepped(true);
  VANTEvent first;
  VANTEvent second;
  VANTEvent* events[] = {&first, &second};
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << row.file << ":" << row.line);
    Clock().SetSpeed(row.speed);
    const uint64_t passes = Passes();
    EXPECT_EQ(VANT::Wait4EventsOn(&m_stop, 2, events, row.timeout, true), VANT::kWaitTimeout);
    EXPECT_FALSE(VANT::WaitForEventOn(&m_stop, &second, row.timeout));
    second.Set();
    EXPECT_EQ(VANT::Wait4EventsOn(&m_stop, 2, events, row.timeout, true), 1);
    EXPECT_TRUE(VANT::WaitForEventOn(&m_stop, &second, row.timeout));
    first.Set(); // the lowest index, as in every wait
    EXPECT_EQ(VANT::Wait4EventsOn(&m_stop, 2, events, row.timeout, false), 0);
    m_stop.Set();
    EXPECT_EQ(ThrownInteger([&] { VANT::WaitForEventOn(&m_stop, &second, row.timeout); }),
              VANT::StopException);
    EXPECT_EQ(VANT::Wait4EventsOn(&m_stop, 2, events, row.timeout, true), 0);
    first.Reset();
    second.Reset();
    EXPECT_EQ(ThrownInteger([&] { VANT::Wait4EventsOn(&m_stop, 2, events, row.timeout, true); }),
              VANT::StopException);
    m_stop.Reset();
    EXPECT_EQ(Passes(), passes) << "too short to block: no pass registers the wake-up event";
  }
}

// A jump backwards restarts the whole time-out from the new time; a jump forwards uses it up.
TEST_F(EngineTimeTest, EventWaitTimeOutRestartsWhenTimeGoesBack) {
  Clock().SetStepped(true);
  VANTEvent event;
  VANTEvent* events[] = {&event};
  uint64_t passes = Passes();
  auto waiting = std::async(std::launch::async,
                            [&] { return VANT::Wait4EventsOn(&m_stop, 1, events, 2000, true); });
  AwaitPassAfter(passes);
  ChangeAndAwaitPass([] { Clock().Step(-100000); });
  ChangeAndAwaitPass([] { Clock().Step(1000); }); // half of the restarted time-out
  EXPECT_TRUE(StillWaiting(waiting));
  Clock().Step(1600);
  EXPECT_EQ(Finish(waiting, event), VANT::kWaitTimeout);
}

TEST_F(EngineTimeTest, SuspendedTimeOutsWaitWithoutLimit) {
  host().SetTimeoutsSuspended(true);
  Clock().SetStepped(true);
  VANTEvent event;
  VANTEvent* events[] = {&event};
  uint64_t passes = Passes();
  auto waiting = std::async(std::launch::async,
                            [&] { return VANT::Wait4EventsOn(&m_stop, 1, events, 1000, false); });
  AwaitPassAfter(passes);
  ChangeAndAwaitPass([] { Clock().Step(1000000); }); // far past the deadline
  EXPECT_TRUE(StillWaiting(waiting));
  event.Set();
  EXPECT_EQ(Finish(waiting, event), 0);
}

// Many timed waits holding the time lock while the engine keeps changing its speed: every
// change gets through, every wait ends where it should.
TEST_F(EngineTimeTest, TimedWaitsWhileTheSpeedChanges) {
  std::atomic<bool> done{false};
  std::vector<std::future<int>> workers;
  for (int w = 0; w < 3; ++w) {
    workers.push_back(std::async(std::launch::async, [&, w] {
      int finished = 0;
      for (int i = 0; i < 15; ++i) {
        if (w == 0) {
          finished += VANT::RestOn(&m_stop, 1500, nullptr, m_reporter) ? 1 : 0;
        } else if (w == 1) {
          // Reached means a real delay of 499 or less: at 3x up to 1497 engine microseconds.
          const int64_t timestamp = Clock().CurrentTime() + 1500;
          const bool reached = VANT::WaitForTimestamp(timestamp, nullptr, nullptr);
          finished += reached && Clock().CurrentTime() >= timestamp - 3 * VANT::ReachedThreshold;
        } else {
          VANTEvent never;
          finished += VANT::WaitForEventOn(&m_stop, &never, 1500) ? 0 : 1;
        }
      }
      return finished;
    }));
  }
  int changes = 0;
  const int32_t speeds[] = {3000, 1000, 500, 2000};
  while (std::any_of(workers.begin(), workers.end(), [](std::future<int>& worker) {
    return worker.wait_for(std::chrono::microseconds(300)) != std::future_status::ready;
  })) {
    Clock().SetSpeed(speeds[changes++ % 4]);
    ASSERT_LT(changes, 20000) << "the waits do not end";
  }
  for (std::future<int>& worker : workers) {
    EXPECT_EQ(worker.get(), 15) << "worker " << (&worker - workers.data());
  }
  EXPECT_GT(changes, 0);
  EXPECT_EQ(Triggers().Pending(), 0u);
}

// ---- VANTBaseClock
// ---------------------------------------------------------------------------------

class TestClock final : public VANTBaseClock {
public:
  using VANTBaseClock::VANTBaseClock;
  void Start() override {}
  void Stop() override {}
  int64_t Time() override { return 0; }
  int32_t Speed() override { return 1000; }
};

TEST_F(EngineTimeTest, BaseClockIsKnownToTheEngineFromConstructionToDestruction) {
  const int32_t before = Clock().ClockCount();
  {
    TestClock clock("studio");
    EXPECT_EQ(Clock().FindClock("studio"), &clock);
    EXPECT_FALSE(clock.EngineFlag());
    EXPECT_TRUE(Clock().SetClockFlag(&clock, true)); // written through the registered pointer
    EXPECT_TRUE(clock.EngineFlag());

    clock.Rename("a clock name longer than forty characters, on the heap");
    EXPECT_STREQ(clock.Name(), "a clock name longer than forty characters, on the heap");
    EXPECT_EQ(Clock().FindClock("studio"), nullptr);
    EXPECT_EQ(Clock().FindClock(clock.Name()), &clock);
    EXPECT_EQ(Clock().ClockCount(), before + 1);
  }
  EXPECT_EQ(Clock().ClockCount(), before);
}

} // namespace
