// The module-aware waits: their limits, the stop event appended after the caller's events, and
// the end of every wait with 0xDEAD once the module is asked to stop.

#include "kernel/vant_kernel.h"
#include "scripted_component.h"

#include <array>
#include <chrono>
#include <memory>
#include <vector>

namespace {

using RuntimeTest::kSequential;

class WaitsTest : public RuntimeFixture {
protected:
  void SetUp() override {
    RuntimeFixture::SetUp();
    c = Make(kSequential, "WT");
    for (auto& event : events) {
      event = std::make_unique<VANTEvent>();
      pointers.push_back(event.get());
    }
  }
  void AskToStop() {
    c->ChangeState(VANTModule::kDying, 0);
    c->StopEvent().Set();
  }

  ScriptedComponent* c = nullptr;
  std::array<std::unique_ptr<VANTEvent>, 256> events;
  std::vector<VANTEvent*> pointers;
};

TEST_F(WaitsTest, LimitsOnTheNumberOfEvents) {
  events[253]->Set();
  EXPECT_EQ(c->Wait4Events(254, pointers.data(), -1), 253);
  EXPECT_EQ(ThrownInt([&] { c->Wait4Events(255, pointers.data(), -1); }), VANT::ErrorException);
  EXPECT_TRUE(Reported("Wait4Events can't wait for more than 254 events simultaneously."));

  events[254]->Set();
  EXPECT_EQ(c->MsgWait4Events(255, pointers.data(), -1), 253);
  EXPECT_EQ(ThrownInt([&] { c->MsgWait4Events(256, pointers.data(), -1); }), VANT::ErrorException);
  EXPECT_TRUE(Reported("MsgWait4Events can't wait for more than 255 events simultaneously."));
}

TEST_F(WaitsTest, TheStopEventComesAfterTheCallersEvents) {
  events[1]->Set();
  EXPECT_EQ(c->Wait4Events(3, pointers.data(), -1, true), 1);
  EXPECT_TRUE(c->Wait4Event(events[1].get(), -1));
  EXPECT_TRUE(c->MsgWait4Event(events[1].get(), 0));
  EXPECT_FALSE(c->MsgWait4Event(events[2].get(), 0)); // a poll that finds nothing
  // The stop event signalled without a stop request: its index comes back.
  c->StopEvent().Set();
  EXPECT_EQ(c->Wait4Events(1, pointers.data(), -1, true), 1);
}

TEST_F(WaitsTest, EveryWaitEndsWithStopOnceAskedToStop) {
  AskToStop();
  events[0]->Set(); // even with another event signalled at the same time
  EXPECT_EQ(ThrownInt([&] { c->Wait4Events(2, pointers.data(), -1, true); }), VANT::StopException);
  EXPECT_EQ(ThrownInt([&] { c->Wait4Events(2, pointers.data(), -1, false); }), VANT::StopException);
  EXPECT_EQ(ThrownInt([&] { c->MsgWait4Events(2, pointers.data(), 0, true); }),
            VANT::StopException);
  EXPECT_EQ(ThrownInt([&] { c->Wait4Event(events[0].get(), -1); }), VANT::StopException);
  EXPECT_EQ(ThrownInt([&] { c->Wait4Event(&c->StopEvent(), -1); }), VANT::StopException);
  EXPECT_EQ(ThrownInt([&] { c->MsgWait4Event(events[0].get(), 0); }), VANT::StopException);
  c->ChangeState(0, VANTModule::kDying);
  c->StopEvent().Reset();
}

} // namespace

namespace {

class TimedWaitsTest : public WaitsTest {};

TEST_F(TimedWaitsTest, FiniteTimeOutsRunOnEngineTime) {
  EXPECT_FALSE(c->Wait4Event(events[0].get(), 2000));
  events[0]->Set();
  EXPECT_TRUE(c->Wait4Event(events[0].get(), 2000));
  EXPECT_TRUE(c->Wait4Event(events[0].get(), 0)); // a poll still sees the set event
  EXPECT_EQ(c->Wait4Events(2, pointers.data(), 2000, true), 0);
  EXPECT_EQ(c->Wait4Events(1, pointers.data() + 1, 2000, true), VANT::TimeoutException);
  EXPECT_TRUE(c->Rest(1000));
  EXPECT_FALSE(c->Rest(1000000, events[0].get())); // cancelled at once
  EXPECT_TRUE(c->WaitUntil(VANT::Kernel()->CurrentTime(true, true) + 1000));

  AskToStop();
  EXPECT_EQ(ThrownInt([&] { c->Wait4Event(events[1].get(), 1000000); }), VANT::StopException);
  EXPECT_EQ(ThrownInt([&] { c->Rest(1000000); }), VANT::StopException);
  EXPECT_EQ(
      ThrownInt([&] { c->WaitForTimestamp(VANT::Kernel()->CurrentTime(true, true) + 1000000); }),
      VANT::StopException);
  c->ChangeState(0, VANTModule::kDying);
  c->StopEvent().Reset();
}

TEST_F(TimedWaitsTest, AStopEndsAThreadedWaitWithATimeOut) {
  ScriptedComponent* t = Make(RuntimeTest::kThreaded, "TW");
  t->onCycle = [](ScriptedComponent& self) { self.Wait4Event(&self.never, 60000000); };
  ASSERT_TRUE(host().StartComponent(t));
  ASSERT_TRUE(RuntimeTest::Eventually([&] { return t->cycles.load() == 1; }));
  const auto begin = std::chrono::steady_clock::now();
  host().StopComponent(t);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(1));
  EXPECT_EQ(t->deaths.load(), 1);
  EXPECT_FALSE(Reported("component TW died due to an error."));
}

} // namespace
