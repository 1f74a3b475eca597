// The life cycle through the host: threaded and sequential start and stop with real threads,
// exceptions in each life-cycle call, stop from inside, the refusal to die, destruction, Dynamic.

#include "dataflow/vant_input.h"
#include "scripted_component.h"

#include <chrono>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;
using RuntimeTest::Eventually;
using RuntimeTest::kSequential;
using RuntimeTest::kSequentialOnly;
using RuntimeTest::kThreaded;
using RuntimeTest::kThreadedOnly;

constexpr uint32_t kDead = VANTModule::kDead;
constexpr uint32_t kDying = VANTModule::kDying;
constexpr uint32_t kStarted = VANTModule::kStarted;
constexpr uint32_t kError = VANTModule::kError;

/// An input that says it has `pending` elements; the scripted Cycle takes them.
class FakeInput final : public VANTInput {
public:
  bool IsConnected() override { return true; }
  VANTOutput* Source() override { return nullptr; }
  VANTDataType* SourceType() override { return nullptr; }
  bool CopySourceType(VANTDataType* /*type*/) override { return false; }
  VANTStackedString<40>& Name() override { return m_name; }
  const char* ShortName() override { return "fake"; }
  bool DataAvailable() override { return pending > 0; }
  int32_t AvailableCount() override { return pending; }

  std::atomic<int> pending{0};

private:
  VANTStackedString<40> m_name{"S.fake"};
};

class LifecycleTest : public RuntimeFixture {
protected:
  bool WaitDead(ScriptedComponent* c) {
    return host().WaitForStateBits(c->Name(), kDead, std::chrono::milliseconds(5000));
  }
  int64_t IntegerOf(ScriptedComponent* c, const char* name) { return Property(c, name)->Integer(); }
};

TEST_F(LifecycleTest, ThreadedComponentRunsOnItsMainThreadAndStopsPromptly) {
  ScriptedComponent* c = Make(kThreaded, "T");
  ASSERT_TRUE(host().StartComponent(c));
  ASSERT_TRUE(Eventually([&] { return c->cycles.load() >= 1; }));
  EXPECT_EQ(c->births.load(), 1);
  EXPECT_NE(c->birthThread.load(), VANT::CurrentThreadId());
  EXPECT_EQ(IntegerOf(c, "primaryThreadID"), static_cast<int64_t>(c->birthThread.load()));
  EXPECT_EQ(LastState(c) & (kStarted | kDead | kDying), kStarted);
  EXPECT_EQ(c->ThreadCount(), 1);

  // Cycle is blocked in a wait without time-out: the stop event ends it at once.
  const auto begin = std::chrono::steady_clock::now();
  host().StopComponent(c);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 1s);
  EXPECT_EQ(c->deaths.load(), 1);
  EXPECT_EQ(c->preDeaths.load(), 1);
  EXPECT_EQ(c->deathThread.load(), c->birthThread.load());
  EXPECT_EQ(LastState(c) & (kStarted | kDead | kDying | kError), kDead);
  EXPECT_TRUE(Reported("Component T is dead."));
  EXPECT_EQ(IntegerOf(c, "counter"), 0);
  EXPECT_TRUE(Eventually([&] { return c->ThreadCount() == 0; }));

  // And it starts again.
  ASSERT_TRUE(host().StartComponent(c));
  ASSERT_TRUE(Eventually([&] { return c->cycles.load() >= 2; }));
  EXPECT_EQ(c->births.load(), 2);
  host().StopComponent(c);
  EXPECT_EQ(c->deaths.load(), 2);
}

TEST_F(LifecycleTest, SequentialComponentLivesOnTheCallersThreads) {
  ScriptedComponent* c = Make(kSequential, "S");
  ASSERT_TRUE(host().StartComponent(c));
  EXPECT_EQ(c->births.load(), 1);
  EXPECT_EQ(c->birthThread.load(), VANT::CurrentThreadId());
  EXPECT_EQ(IntegerOf(c, "primaryThreadID"), 0);
  EXPECT_EQ(LastState(c) & (kStarted | kDead), kStarted);
  EXPECT_EQ(c->RunningThreads(), 1);

  // Starting again only repeats the announcement.
  const uint64_t announced = host().States().Count();
  ASSERT_TRUE(host().StartComponent(c));
  EXPECT_EQ(host().States().Count(), announced + 1);
  EXPECT_EQ(c->births.load(), 1);

  host().StopComponent(c);
  EXPECT_EQ(c->deaths.load(), 1);
  EXPECT_EQ(c->deathThread.load(), VANT::CurrentThreadId());
  EXPECT_EQ(IntegerOf(c, "primaryThreadID"), -1);
  EXPECT_EQ(LastState(c) & (kStarted | kDead | kDying), kDead);
  EXPECT_EQ(c->RunningThreads(), 0);
  host().StopComponent(c); // a second stop finds it dead and runs no Death
  EXPECT_EQ(c->deaths.load(), 1);
}

TEST_F(LifecycleTest, ThreadingModelOfTheRecordWins) {
  ScriptedComponent* onlyThreaded = Make(kThreadedOnly, "OT");
  ASSERT_TRUE(host().StartComponent(onlyThreaded));
  EXPECT_TRUE(Reported("component OT: Sequential behaviour is not allowed anymore for this "
                       "component (its threading model may have changed since last save "
                       "operation)."));
  EXPECT_TRUE(Property(onlyThreaded, "threaded")->Boolean());
  ASSERT_TRUE(Eventually([&] { return onlyThreaded->births.load() == 1; }));
  EXPECT_NE(onlyThreaded->birthThread.load(), VANT::CurrentThreadId());

  ScriptedComponent* onlySequential = Make(kSequentialOnly, "OS");
  ASSERT_TRUE(host().StartComponent(onlySequential));
  EXPECT_TRUE(Reported("component OS: Threaded behaviour is not allowed anymore for this "
                       "component (its threading model may have changed since last save "
                       "operation)."));
  EXPECT_FALSE(Property(onlySequential, "threaded")->Boolean());
  EXPECT_EQ(onlySequential->birthThread.load(), VANT::CurrentThreadId());
}

struct Escape {
  const char* name;
  ScriptedComponent::Script script;
  std::string text; // what the engine is told
  int32_t level;
};

// The case's name, not its bytes: test names stay the same from build to build.
void PrintTo(const Escape& escape, std::ostream* out) {
  *out << escape.name;
}

class MainThreadEscapeTest : public LifecycleTest, public ::testing::WithParamInterface<Escape> {};

TEST_P(MainThreadEscapeTest, EveryKindEscapingCycleIsReportedAndTheComponentDies) {
  ScriptedComponent* c = Make(kThreaded, "E");
  c->onCycle = GetParam().script;
  ASSERT_TRUE(host().StartComponent(c));
  ASSERT_TRUE(WaitDead(c));
  EXPECT_EQ(c->deaths.load(), 1);
  EXPECT_NE(LastState(c) & kError, 0u);
  Collect();
  bool found = false;
  for (const HostReport& report : m_seen) {
    if (report.text == GetParam().text) {
      found = true;
      EXPECT_EQ(report.level, GetParam().level);
    }
  }
  EXPECT_TRUE(found) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, MainThreadEscapeTest,
    ::testing::Values(
        Escape{"Error", [](ScriptedComponent& c) { c.Error("bad input"); },
               "component E died due to an error.", 1},
        Escape{"Timeout", [](ScriptedComponent&) { throw VANT::TimeoutException; },
               "Component E : Time out (deadlock?) on an input", 2},
        Escape{"Integer", [](ScriptedComponent&) { throw 7; },
               "component E : Fatal error : Unhandled integer exception thrown: 7 Trying to "
               "catch up but the component might crash later.",
               2},
        Escape{"Text", [](ScriptedComponent&) { throw "lost"; },
               "component E : Fatal error : Unhandled string thrown: lost Trying to catch up but "
               "the component might crash later.",
               2},
        Escape{"StdException", [](ScriptedComponent&) { throw std::runtime_error("boom"); },
               "component E : Fatal error : Unhandled std::exception thrown: boom Trying to catch "
               "up but the component might crash later.",
               2},
        Escape{"Other", [](ScriptedComponent&) { throw 2.5; },
               "component E : Fatal error : Unhandled exception thrown. Trying to catch up but "
               "the component might crash later.",
               2}),
    [](const ::testing::TestParamInfo<Escape>& param) { return std::string(param.param.name); });

TEST_F(LifecycleTest, FailedBirthSkipsCycleButRunsDeath) {
  ScriptedComponent* c = Make(kThreaded, "B");
  c->onBirth = [](ScriptedComponent&) { throw std::runtime_error("no"); };
  ASSERT_TRUE(host().StartComponent(c));
  ASSERT_TRUE(WaitDead(c));
  EXPECT_EQ(c->cycles.load(), 0);
  EXPECT_EQ(c->deaths.load(), 1);
  EXPECT_TRUE(Reported("component B: Couldn't start. Birth didn't occur correctly (died at "
                       "birth)."));

  ScriptedComponent* s = Make(kSequential, "BS");
  s->onBirth = [](ScriptedComponent& self) { self.Error("cannot"); };
  EXPECT_FALSE(host().StartComponent(s));
  EXPECT_TRUE(Reported("component BS: Couldn't start. Birth didn't occur correctly (died at "
                       "birth)."));
  EXPECT_EQ(s->deaths.load(), 1);
  EXPECT_EQ(LastState(s) & (kDead | kStarted | kError), kDead | kError);
}

TEST_F(LifecycleTest, EveryKindEscapingDeathIsReportedAndSwallowed) {
  const struct {
    ScriptedComponent::Script script;
    std::string text;
    int32_t option;
  } cases[] = {
      {[](ScriptedComponent&) { throw VANT::ErrorException; },
       "D: VANT::ErrorException thrown from Death(). Trying to catch up. The component might "
       "crash later.",
       0},
      {[](ScriptedComponent&) { throw 7; },
       "D: unhandled integer exception thrown from Death(). Trying to catch up. The component "
       "might crash later.",
       2},
      {[](ScriptedComponent&) { throw std::logic_error("why"); },
       "D: unhandled std::exception thrown from Death() (why). Trying to catch up. The component "
       "might crash later.",
       2},
      {[](ScriptedComponent&) { throw 'x'; },
       "D: unhandled exception thrown from Death(). Trying to catch up. The component might crash "
       "later.",
       2},
  };
  for (const auto& test : cases) {
    ScriptedComponent* c = Make(kSequential, "D");
    c->onDeath = test.script;
    ASSERT_TRUE(host().StartComponent(c));
    host().StopComponent(c);
    EXPECT_EQ(LastState(c) & (kDead | kStarted), kDead);
    Collect();
    bool found = false;
    for (const HostReport& report : m_seen) {
      if (report.text == test.text) {
        found = true;
        EXPECT_EQ(report.level, 2);
        EXPECT_EQ(report.option, test.option);
        EXPECT_TRUE(report.flag);
      }
    }
    EXPECT_TRUE(found) << test.text;
    EXPECT_TRUE(Reported("Component D is dead."));
    m_seen.clear();
    Drop(c);
  }
}

TEST_F(LifecycleTest, ThreadedComponentStopsItselfFromCycle) {
  ScriptedComponent* c = Make(kThreaded, "F");
  c->onCycle = [](ScriptedComponent& self) {
    if (self.cycles.load() == 3) {
      self.StopFromCycle();
    }
  };
  ASSERT_TRUE(host().StartComponent(c));
  ASSERT_TRUE(WaitDead(c));
  EXPECT_EQ(c->cycles.load(), 3);
  EXPECT_EQ(c->deaths.load(), 1);
  EXPECT_EQ(LastState(c) & (kError | kStarted | kDying), 0u);
}

TEST_F(LifecycleTest, SequentialProcessingStepAndItsExceptions) {
  // The step runs on a writer's thread: no fault of the reader's reaches the caller. An error,
  // a time-out on an input or any other integer ends the reader, in error.
  struct Case {
    int thrown;
    const char* report;
  };
  const Case cases[] = {
      {VANT::ErrorException, "component Q (sequential) died due to an error."},
      {VANT::TimeoutException, "Component Q : Time out (deadlock?) on an input"},
      {7, "component Q : Fatal error : Unhandled integer exception thrown: 7 Trying to catch up "
          "but the component might crash later."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.thrown);
    FakeInput input;
    ScriptedComponent* c1 = Make(kSequential, "Q");
    c1->onCycle = [&](ScriptedComponent& self) {
      --input.pending;
      if (self.cycles.load() == 4) {
        throw c.thrown;
      }
    };
    ASSERT_TRUE(host().StartComponent(c1));
    input.pending = 3;
    c1->ProcessInput(&input);
    EXPECT_EQ(c1->cycles.load(), 3);
    EXPECT_EQ(IntegerOf(c1, "counter"), 3);

    input.pending = 2;
    c1->ProcessInput(&input); // returns: nothing is thrown at the writer
    EXPECT_TRUE(Reported(c.report));
    EXPECT_EQ(c1->deaths.load(), 1);
    EXPECT_EQ(input.pending.load(), 1); // nothing more was processed
    EXPECT_EQ(LastState(c1) & (kDead | kError | kStarted), kDead | kError);
    c1->ProcessInput(&input);
    EXPECT_EQ(c1->cycles.load(), 4);
    Drop(c1);
  }
}

TEST_F(LifecycleTest, SequentialComponentStopsItselfFromCycle) {
  FakeInput input;
  ScriptedComponent* c = Make(kSequential, "SF");
  c->onCycle = [&](ScriptedComponent& self) {
    --input.pending;
    if (self.cycles.load() == 2) {
      self.StopFromCycle(); // dies before this returns
      EXPECT_EQ(self.deaths.load(), 1);
    }
  };
  c->onBirth = [&](ScriptedComponent&) { input.pending = 5; };
  ASSERT_TRUE(host().StartComponent(c));
  c->ProcessInput(&input);
  EXPECT_EQ(c->cycles.load(), 2);
  EXPECT_EQ(LastState(c) & (kDead | kStarted), kDead);
  host().StopComponent(c);
  EXPECT_EQ(c->deaths.load(), 1);
}

TEST_F(LifecycleTest, StdExceptionInASequentialCycleKillsTheComponent) {
  FakeInput input;
  ScriptedComponent* c = Make(kSequential, "X");
  c->onCycle = [&](ScriptedComponent&) {
    --input.pending;
    throw std::out_of_range("index");
  };
  ASSERT_TRUE(host().StartComponent(c));
  input.pending = 2;
  c->ProcessInput(&input);
  EXPECT_TRUE(Reported("component X : Fatal error : Unhandled std::exception thrown: index Trying "
                       "to catch up but the component might crash later."));
  EXPECT_EQ(c->deaths.load(), 1);
  EXPECT_EQ(LastState(c) & kDead, kDead);
}

TEST_F(LifecycleTest, AComponentThatIgnoresItsStopIsReportedAfterTenSecondsOfRealTime) {
  ScriptedComponent* c = Make(kThreaded, "R");
  std::atomic<bool> release{false};
  c->onCycle = [&](ScriptedComponent&) {
    while (!release.load()) {
      std::this_thread::sleep_for(1ms);
    }
  };
  ASSERT_TRUE(host().StartComponent(c));
  ASSERT_TRUE(Eventually([&] { return c->cycles.load() == 1; }));
  const auto begin = std::chrono::steady_clock::now();
  std::thread stopper([&] { host().StopComponent(c); });
  std::this_thread::sleep_for(20ms);
  host().AdvanceRealTime(10000000);
  stopper.join();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 1s);
  Collect();
  bool found = false;
  for (const HostReport& report : m_seen) {
    if (report.text == "Component R refuses to die after 10 seconds. The component model "
                       "TestThreaded must be bugged.") {
      found = true;
      EXPECT_EQ(report.level, 1);
      EXPECT_EQ(report.option, 1);
      EXPECT_TRUE(report.flag);
    }
  }
  EXPECT_TRUE(found);
  EXPECT_EQ(c->deaths.load(), 0);
  release = true;
  ASSERT_TRUE(WaitDead(c));
  EXPECT_EQ(c->deaths.load(), 1);
}

TEST_F(LifecycleTest, DestroyingALiveComponentIsReportedOnce) {
  ScriptedComponent* c = Make(kSequential, "L");
  ASSERT_TRUE(host().StartComponent(c));
  std::erase(m_made, c);
  host().DestroyComponent(c);
  EXPECT_EQ(CountReports("The destructor of component L was called though L is still alive."), 1);
  EXPECT_EQ(host().FindProperty("L.priority"), nullptr); // its names left the engine

  ScriptedComponent* dead = Make(kSequential, "L2");
  Drop(dead);
  EXPECT_EQ(CountReports("The destructor of component L2 was called though L2 is still alive."), 0);
}

TEST_F(LifecycleTest, DestructionStampCountsDestructionsAndSkipsZero) {
  VANTComponentModelDefinition* record = RuntimeTest::Record(kSequential);
  record->destructionStamp = 0xFFFFFFFEu;
  Drop(Make(kSequential, "Z1"));
  EXPECT_EQ(record->destructionStamp, 0xFFFFFFFFu);
  Drop(Make(kSequential, "Z2"));
  EXPECT_EQ(record->destructionStamp, 1u);
  record->destructionStamp = 0;
  Drop(Make(kSequential, "Z3"));
  EXPECT_EQ(record->destructionStamp, 0u);
  record->destructionStamp = 1;
}

TEST_F(LifecycleTest, PropertyChangesRunDynamicOnlyWhileStopped) {
  ScriptedComponent* c = Make(kSequential, "DY");
  const int before = c->dynamics.load();
  Property(c, "nbPeriods")->SetInteger(4);
  EXPECT_EQ(c->dynamics.load(), before + 1);
  const std::vector<std::string> reasons = host().ChangeReasons();
  ASSERT_FALSE(reasons.empty());
  EXPECT_EQ(reasons.back(), "Calling Dynamic");
  EXPECT_EQ(host().ChangeDepth(), 0);

  ASSERT_TRUE(host().StartComponent(c));
  Property(c, "nbPeriods")->SetInteger(5);
  EXPECT_EQ(c->dynamics.load(), before + 1);
  EXPECT_EQ(host().ChangeDepth(), 0);

  host().StopComponent(c);
  // A refusal leaves the error bit; the next Dynamic clears it.
  EXPECT_EQ(ThrownInt([&] { Property(c, "counter")->SetInteger(1); }), VANT::ErrorException);
  EXPECT_NE(LastState(c) & kError, 0u);
  host().RunDynamic(c);
  EXPECT_EQ(c->dynamics.load(), before + 2);
  EXPECT_EQ(LastState(c) & kError, 0u);
}

TEST_F(LifecycleTest, SequentialStartSettingWaitsForBirth) {
  EngineSettings().SetBool("Engine.sequentialStart", true);
  ScriptedComponent* c = Make(kThreaded, "W");
  std::atomic<bool> born{false};
  c->onBirth = [&](ScriptedComponent&) {
    std::this_thread::sleep_for(30ms);
    born = true;
  };
  ASSERT_TRUE(host().StartComponent(c));
  EXPECT_TRUE(born.load());
}

} // namespace
