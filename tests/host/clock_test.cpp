#include "host/host_clock.h"
#include "host/host_triggers.h"
#include "sync/vant_event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>
#include <thread>
#include <vector>

namespace {

constexpr int64_t kSafetyUs = 2000000; // a wait that reaches it means a lost wake-up

// Engine time read between two real-time readings: the clock's value lies between its values
// at `before` and `after`.
struct Sample {
  int64_t before;
  int64_t engine;
  int64_t after;
};

Sample Take(const HostClock& clock) {
  Sample sample;
  sample.before = HostClock::RealTime();
  sample.engine = clock.CurrentTime();
  sample.after = HostClock::RealTime();
  return sample;
}

void SleepUs(int64_t us) {
  std::this_thread::sleep_for(std::chrono::microseconds(us));
}

// Checks that the engine time moved between two samples as the speed says, within the real
// time that the samples bracket (plus one microsecond of truncation on each side).
void ExpectAdvance(const Sample& a, const Sample& b, int32_t speed) {
  const int64_t shortest = (b.before - a.after) * speed / 1000;
  const int64_t longest = (b.after - a.before) * speed / 1000;
  const int64_t moved = b.engine - a.engine;
  EXPECT_GE(moved, std::min(shortest, longest) - 1) << "speed " << speed;
  EXPECT_LE(moved, std::max(shortest, longest) + 1) << "speed " << speed;
}

TEST(HostClockTest, EngineTimeFollowsSpeedInEitherDirection) {
  HostClock clock(5000);
  for (int32_t speed : {1000, 2000, 500, -1000, -3000}) {
    clock.SetSpeed(speed);
    EXPECT_EQ(clock.TimeSpeed(), speed);
    EXPECT_EQ(clock.SpeedSign(), speed > 0 ? 1 : -1);
    const Sample a = Take(clock);
    SleepUs(2000);
    const Sample b = Take(clock);
    ExpectAdvance(a, b, speed);
  }
  clock.SetSpeed(0);
  EXPECT_EQ(clock.SpeedSign(), 0);
  const int64_t still = clock.CurrentTime();
  SleepUs(1000);
  EXPECT_EQ(clock.CurrentTime(), still) << "speed 0 must stand still";
  EXPECT_EQ(clock.ClockState(), HostClock::kRunning) << "speed 0 is not a pause";
}

TEST(HostClockTest, ChangesRebaseWithoutAJump) {
  HostClock clock;
  clock.SetSpeed(4000);
  SleepUs(1000);
  const Sample before = Take(clock);
  clock.SetSpeed(1000); // the time reached at 4x is kept; only the rate changes
  const Sample after = Take(clock);
  // Between the samples time ran at 4x, then at 1x: anything in between, but no jump.
  EXPECT_GE(after.engine - before.engine, after.before - before.after - 1);
  EXPECT_LE(after.engine - before.engine, (after.after - before.before) * 4 + 1);
}

TEST(HostClockTest, PauseFreezesAndResumeContinuesFromTheFrozenTime) {
  HostClock clock(1000000);
  clock.Pause();
  EXPECT_TRUE(clock.Paused());
  EXPECT_EQ(clock.ClockState(), HostClock::kNoDeadline);
  const int64_t frozen = clock.CurrentTime();
  SleepUs(2000);
  EXPECT_EQ(clock.CurrentTime(), frozen);
  clock.SetSpeed(3000); // a speed change while paused keeps the pause
  EXPECT_EQ(clock.CurrentTime(), frozen);
  EXPECT_EQ(clock.ClockState(), HostClock::kNoDeadline);

  const int64_t resumeBefore = HostClock::RealTime();
  clock.Resume();
  const int64_t resumeAfter = HostClock::RealTime();
  EXPECT_EQ(clock.ClockState(), HostClock::kRunning);
  SleepUs(1000);
  // Tricky: the paused stretch must not count; time restarts from `frozen` at the resume.
  ExpectAdvance(Sample{resumeBefore, frozen, resumeAfter}, Take(clock), 3000);
}

TEST(HostClockTest, SteppedTimeMovesOnlyByStepsAndJumps) {
  HostClock clock(100);
  clock.SetStepped(true);
  const int64_t held = clock.CurrentTime();
  SleepUs(1000);
  EXPECT_EQ(clock.CurrentTime(), held);
  EXPECT_EQ(clock.ClockState(), HostClock::kRunning) << "stepped time is not paused";
  clock.Step(600);
  EXPECT_EQ(clock.CurrentTime(), held + 600);
  clock.Step(-1000);
  EXPECT_EQ(clock.CurrentTime(), held - 400);
  clock.JumpTo(-7);
  EXPECT_EQ(clock.CurrentTime(), -7);
  clock.Step(std::numeric_limits<int64_t>::min());
  EXPECT_EQ(clock.CurrentTime(), std::numeric_limits<int64_t>::min()) << "steps saturate";
  clock.JumpTo(0);
  clock.SetStepped(false);
  const Sample a = Take(clock);
  SleepUs(1000);
  ExpectAdvance(a, Take(clock), 1000);
}

TEST(HostClockTest, JumpSetsTheTimeAndKeepsRunning) {
  HostClock clock;
  const int64_t jumpBefore = HostClock::RealTime();
  clock.JumpTo(-5000000);
  const Sample jumped{jumpBefore, -5000000, HostClock::RealTime()};
  SleepUs(1000);
  ExpectAdvance(jumped, Take(clock), 1000);
}

// The host change protocol: the wake-up event is set while a change waits for the time lock, the
// change is invisible to a pass that holds the lock, and the event is reset once the change is
// done.
TEST(HostClockTest, ChangeWaitsForPassesAndWakesThem) {
  HostClock clock;
  VANTEvent* wakeUp = nullptr;
  clock.AcquireTimeLock();
  void* cookie = clock.WakeUps()->Register(&wakeUp);
  ASSERT_NE(cookie, nullptr);
  ASSERT_EQ(wakeUp, &clock.WakeUpRegistry().Event());
  EXPECT_EQ(clock.WakeUpRegistry().Registered(), 1);

  std::atomic<bool> changed{false};
  std::thread changer([&] {
    clock.SetSpeed(2000);
    changed.store(true);
  });
  ASSERT_EQ(wakeUp->Wait(kSafetyUs), 0) << "the change must set the wake-up event first";
  EXPECT_EQ(clock.TimeSpeed(), 1000) << "a pass holding the lock sees no change";
  EXPECT_FALSE(changed.load());
  clock.WakeUps()->Unregister(cookie);
  clock.ReleaseTimeLock();
  changer.join();

  EXPECT_TRUE(changed.load());
  EXPECT_EQ(clock.TimeSpeed(), 2000);
  EXPECT_FALSE(wakeUp->IsSet()) << "the wake-up event is reset before the lock is released";
  EXPECT_EQ(clock.WakeUpRegistry().Registered(), 0);
}

// Passes that wake and re-acquire at once must not starve a change: the lock prefers writers.
// With a reader-preferring lock this used to hang the changer while the waiters spun.
TEST(HostClockTest, ChangesProceedWhilePassesKeepReacquiring) {
  HostClock clock;
  std::atomic<bool> done{false};
  std::atomic<int64_t> passes{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      while (!done.load()) {
        clock.AcquireTimeLock();
        VANTEvent* slot = nullptr;
        void* cookie = clock.WakeUps()->Register(&slot);
        const int32_t speed = clock.TimeSpeed();
        const int32_t again = clock.TimeSpeed();
        EXPECT_EQ(speed, again) << "speed changed inside a pass";
        slot->Wait(2000); // up to 2 ms, or until a change sets the event
        clock.WakeUps()->Unregister(cookie);
        clock.ReleaseTimeLock();
        passes.fetch_add(1);
      }
    });
  }
  while (passes.load() < 3) { // every change below meets passes in progress
    std::this_thread::yield();
  }
  const int64_t start = HostClock::RealTime();
  for (int i = 0; i < 200; ++i) {
    clock.SetSpeed(i % 2 ? 1000 : -500);
  }
  const int64_t took = HostClock::RealTime() - start;
  done.store(true);
  for (std::thread& waiter : waiters) {
    waiter.join();
  }
  EXPECT_LT(took, kSafetyUs) << "changes starved";
  EXPECT_EQ(clock.TimeSpeed(), 1000); // the last change (i = 199)
  EXPECT_EQ(clock.WakeUpRegistry().Registered(), 0);
}

// CurrentTime never takes the time lock: a pass that holds it shared while a change waits for
// it exclusively must still read the time (a nested shared acquire would deadlock here).
TEST(HostClockTest, CurrentTimeInsideAPassWhileAChangeWaits) {
  HostClock clock;
  clock.AcquireTimeLock();
  std::thread changer([&] { clock.JumpTo(123456789); });
  ASSERT_EQ(clock.WakeUpRegistry().Event().Wait(kSafetyUs), 0);
  const int64_t now = clock.CurrentTime();
  EXPECT_LT(now, 123456789) << "the jump must wait for the pass to end";
  EXPECT_EQ(clock.ClockState(), HostClock::kRunning);
  clock.ReleaseTimeLock();
  changer.join();
  EXPECT_GE(clock.CurrentTime(), 123456789);
}

// ---- Trigger service ---------------------------------------------------------------------------

HostTriggers* g_triggers = nullptr;

void DisarmThroughTestService(VANTEvent* event) noexcept {
  if (g_triggers) {
    g_triggers->Disarm(event);
  }
}

class HostTriggersTest : public testing::Test {
protected:
  void SetUp() override {
    g_triggers = &m_triggers;
    VANT::SetEventDisarmHook(&DisarmThroughTestService);
  }
  void TearDown() override {
    VANT::SetEventDisarmHook(nullptr);
    g_triggers = nullptr;
  }
  HostTriggers m_triggers;
};

TEST_F(HostTriggersTest, FiresAtItsDeadlineAndClearsTheMark) {
  VANTEvent event;
  // Far enough ahead that the mark is still there when it is checked, even on a loaded machine
  // or under a sanitizer.
  const int64_t deadline = HostClock::RealTime() + 50000;
  ASSERT_TRUE(m_triggers.Arm(&event, deadline));
  EXPECT_TRUE(event.IsArmed());
  ASSERT_EQ(event.Wait(kSafetyUs), 0);
  EXPECT_GE(HostClock::RealTime(), deadline) << "fired early";
  // Tricky: the mark is cleared just after Set(), in the same critical section; Pending() takes
  // that section's mutex, so once it returns the mark must be clear.
  EXPECT_EQ(m_triggers.Pending(), 0u);
  EXPECT_FALSE(event.IsArmed());
}

TEST_F(HostTriggersTest, EarliestDeadlineFiresFirst) {
  VANTEvent late;
  VANTEvent soon;
  VANTEvent past;
  const int64_t now = HostClock::RealTime();
  ASSERT_TRUE(m_triggers.Arm(&late, now + 40000));
  ASSERT_TRUE(m_triggers.Arm(&soon, now + 1000));
  ASSERT_TRUE(m_triggers.Arm(&past, now - 1000)); // already due: fires at once
  ASSERT_EQ(past.Wait(kSafetyUs), 0);
  ASSERT_EQ(soon.Wait(kSafetyUs), 0);
  const bool lateSet = late.IsSet();
  const int64_t seen = HostClock::RealTime();
  if (lateSet) {
    EXPECT_GE(seen, now + 40000) << "the later deadline fired early";
  }
  EXPECT_EQ(late.Wait(kSafetyUs), 0);
  EXPECT_EQ(m_triggers.ArmCount(), 3u);
}

// A new earliest deadline must wake the service, which sleeps until the old one.
TEST_F(HostTriggersTest, EarlierArmingWakesTheService) {
  VANTEvent far;
  VANTEvent near;
  ASSERT_TRUE(m_triggers.Arm(&far, HostClock::RealTime() + 10 * kSafetyUs));
  SleepUs(1000); // let the service go to sleep on the far deadline
  const int64_t start = HostClock::RealTime();
  ASSERT_TRUE(m_triggers.Arm(&near, start + 1000));
  ASSERT_EQ(near.Wait(kSafetyUs), 0);
  EXPECT_LT(HostClock::RealTime() - start, kSafetyUs / 2);
  EXPECT_FALSE(far.IsSet());
  m_triggers.Disarm(&far);
  EXPECT_FALSE(far.IsArmed());
}

TEST_F(HostTriggersTest, DisarmAndRearm) {
  VANTEvent event;
  ASSERT_TRUE(m_triggers.Arm(&event, HostClock::RealTime() + 1000));
  m_triggers.Disarm(&event);
  EXPECT_FALSE(event.IsArmed());
  EXPECT_EQ(m_triggers.Pending(), 0u);
  EXPECT_EQ(event.Wait(5000), VANT::kWaitTimeout) << "a disarmed event must not fire";
  m_triggers.Disarm(&event); // not held: nothing happens

  // Armed again before firing: one entry, at the new deadline.
  ASSERT_TRUE(m_triggers.Arm(&event, HostClock::RealTime() + 10 * kSafetyUs));
  ASSERT_TRUE(m_triggers.Arm(&event, HostClock::RealTime() + 500));
  EXPECT_EQ(m_triggers.Pending(), 1u);
  EXPECT_EQ(event.Wait(kSafetyUs), 0);
  EXPECT_EQ(m_triggers.Pending(), 0u);
}

TEST_F(HostTriggersTest, FarDeadlinesDoNotOverflow) {
  VANTEvent event;
  ASSERT_TRUE(m_triggers.Arm(&event, std::numeric_limits<int64_t>::max()));
  EXPECT_EQ(event.Wait(3000), VANT::kWaitTimeout) << "an overflowed deadline fired at once";
  m_triggers.Disarm(&event);
}

// Events destroyed while armed, or racing their own deadline, from several threads: a Set on a
// destroyed event would show under the address sanitizer, a lost entry as a pending count.
TEST_F(HostTriggersTest, DestroyingArmedEventsRacingTheirDeadlines) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < 300; ++i) {
        auto event = std::make_unique<VANTEvent>();
        ASSERT_TRUE(m_triggers.Arm(event.get(), HostClock::RealTime() + (i + t) % 7 * 50));
        if (i % 3 == 0) {
          EXPECT_EQ(event->Wait(kSafetyUs), 0);
        }
      } // destroyed here: disarmed through the hook when still held
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(m_triggers.Pending(), 0u);
  EXPECT_EQ(m_triggers.ArmCount(), 900u);
}

} // namespace
