// Component threads through the host's thread bodies: creation, the thread list and running
// count, the thread wait with its time-out text, priority and processor handed to every thread,
// and the context-switch and CPU-load statistics.

#include "host/host_threads.h"
#include "scripted_component.h"

#include <chrono>
#include <memory>
#include <sched.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using RuntimeTest::Eventually;
using RuntimeTest::kSequential;
using RuntimeTest::kThreaded;

class ThreadsTest : public RuntimeFixture {};

// A worker that lives until its component is stopped (the wait ends with the stop).
void WaitForStop(ScriptedComponent& self) {
  self.Wait4Event(&self.never, -1);
}

TEST_F(ThreadsTest, MemberThreadsJoinTheListAndEndWithTheComponent) {
  ScriptedComponent* c = Make(kThreaded, "M");
  std::atomic<uint32_t> workerThread{0};
  c->onWorker = [&](ScriptedComponent& self) {
    workerThread = VANT::CurrentThreadId();
    WaitForStop(self);
  };
  c->onBirth = [](ScriptedComponent& self) {
    VANTThread* thread = self.CreateThread(&ScriptedComponent::Worker);
    EXPECT_NE(thread, nullptr);
  };
  ASSERT_TRUE(host().StartComponent(c));
  ASSERT_TRUE(Eventually([&] { return c->ThreadCount() == 2; }));
  EXPECT_EQ(c->RunningThreads(), 2);
  ASSERT_TRUE(Eventually([&] { return workerThread.load() != 0; }));
  EXPECT_NE(workerThread.load(), c->birthThread.load());

  host().StopComponent(c);
  EXPECT_EQ(c->workers.load(), 1);
  EXPECT_EQ(c->RunningThreads(), 0);
  EXPECT_TRUE(Eventually([&] { return c->ThreadCount() == 0; }));
  EXPECT_EQ(LastState(c) & VANTModule::kDead, VANTModule::kDead);
}

TEST_F(ThreadsTest, FreeFunctionThreadNeedsTheEngineVersion) {
  ScriptedComponent* c = Make(kSequential, "FR");
  static std::atomic<uint32_t> ranOn{0};
  static std::atomic<void*> argumentSeen{nullptr};
  ranOn = 0;
  int token = 0;
  const std::pair<int32_t, int32_t> ids = c->CreateThread(
      [](void* argument) {
        argumentSeen = argument;
        ranOn = VANT::CurrentThreadId();
      },
      &token);
  ASSERT_TRUE(Eventually([] { return ranOn.load() != 0; }));
  EXPECT_EQ(static_cast<uint32_t>(ids.first), ranOn.load());
  EXPECT_EQ(ids.second, 0);
  EXPECT_EQ(argumentSeen.load(), &token);
  EXPECT_TRUE(Eventually([&] { return c->ThreadCount() == 0; }));

  EngineSettings().Remove("Engine.version");
  ranOn = 0;
  EXPECT_EQ(ThrownInt([&] { c->CreateThread([](void*) { ranOn = 1; }, nullptr); }),
            VANT::ErrorException);
  EXPECT_TRUE(Reported(
      "component FR: This component needs to create a component thread that runs a non-member "
      "function. Your engine version does NOT support creating component threads that run "
      "non-member functions. Either update your engine to Corvex >= 4.7.0 or change this "
      "component's code to use VANTComponent::CreateThread(VANTThreadFunction) instead of "
      "VANTComponent::CreateThread(VANTThreadFreeFunction, void*)"));
  std::this_thread::sleep_for(5ms);
  EXPECT_EQ(ranOn.load(), 0u);
  EXPECT_EQ(c->ThreadCount(), 0);
}

TEST_F(ThreadsTest, ThreadWaitGivesUpAfterTheShutdownTimeout) {
  EngineSettings().SetInt("Engine.shutdownTimeout", 20000);
  ScriptedComponent* c = Make(kSequential, "SW");
  std::atomic<bool> release{false};
  c->onWorker = [&](ScriptedComponent&) {
    while (!release.load()) { // ignores the stop
      std::this_thread::sleep_for(1ms);
    }
  };
  c->onBirth = [](ScriptedComponent& self) { self.CreateThread(&ScriptedComponent::Worker); };
  ASSERT_TRUE(host().StartComponent(c));
  const auto begin = std::chrono::steady_clock::now();
  host().StopComponent(c);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 1s);
  Collect();
  bool found = false;
  for (const HostReport& report : m_seen) {
    if (report.text ==
        "component SW: Some threads are still running after 20000 microsecond(s). The model must "
        "be bugged. If this is considered as normal however, consider increase the value of the "
        "Engine.shutdownTimeout property. I destroy the component anyway. This might result in a "
        "system crash.") {
      found = true;
      EXPECT_EQ(report.level, 1);
      EXPECT_EQ(report.option, 2);
    }
  }
  EXPECT_TRUE(found);
  EXPECT_EQ(c->deaths.load(), 1); // Death runs anyway
  release = true;
  // Destruction waits for the late thread to leave the component.
  Drop(c);
}

// A plain module (not a component) with a thread of its own.
class WorkingModule final : public VANTModule {
public:
  WorkingModule() : VANTModule("WM", true, true) {}
  void Work() {
    ran = VANT::CurrentThreadId();
    Wait4Event(&release, -1);
  }
  std::atomic<uint32_t> ran{0};
  VANTEvent release;
};

TEST_F(ThreadsTest, ModuleThreadsCountAsRunningUntilTheyEnd) {
  auto module = std::make_unique<WorkingModule>();
  EXPECT_STREQ(module->TypeText(), "module");
  EXPECT_EQ(module->State(), VANTModule::kStarted);
  module->ThreadsDoneEvent().Reset();
  VANTThread* thread =
      module->CreateModuleThread(static_cast<VANTModuleThreadFunction>(&WorkingModule::Work));
  ASSERT_NE(thread, nullptr);
  ASSERT_TRUE(Eventually([&] { return module->ran.load() != 0; }));
  EXPECT_EQ(module->RunningThreads(), 1);
  EXPECT_EQ(module->ThreadCount(), 1);
  module->release.Set();
  EXPECT_TRUE(module->WaitForThreads());
  EXPECT_TRUE(Eventually([&] { return module->ThreadCount() == 0; }));
  EXPECT_EQ(module->RunningThreads(), 0);
}

TEST(ShutdownTimeoutText, SecondsFromAMillionOnElseMicroseconds) {
  EXPECT_EQ(VANT::ShutdownTimeoutText(2500000), "2 second(s)");
  EXPECT_EQ(VANT::ShutdownTimeoutText(1000000), "1 second(s)");
  EXPECT_EQ(VANT::ShutdownTimeoutText(999999), "999999 microsecond(s)");
  EXPECT_EQ(VANT::ShutdownTimeoutText(10000000), "10 second(s)");
}

TEST_F(ThreadsTest, PriorityAndProcessorReachEveryThread) {
  ScriptedComponent* c = Make(kThreaded, "PR");
  std::atomic<pid_t> tid{0};
  c->onWorker = [&](ScriptedComponent& self) {
    tid = static_cast<pid_t>(VANT::CurrentThreadId());
    WaitForStop(self);
  };
  c->onBirth = [](ScriptedComponent& self) { self.CreateThread(&ScriptedComponent::Worker); };
  Property(c, "priority")->SetInteger(200); // before start: applied when each thread attaches
  ASSERT_TRUE(host().StartComponent(c));
  ASSERT_TRUE(Eventually([&] { return tid.load() != 0 && c->ThreadCount() == 2; }));

  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(tid.load()));
  if (geteuid() == 0) { // raising a thread above normal needs the privilege
    EXPECT_EQ(nice, VANT::PriorityToNice(200));
    Property(c, "priority")->SetInteger(255);
    EXPECT_EQ(getpriority(PRIO_PROCESS, static_cast<id_t>(tid.load())), VANT::PriorityToNice(255));
  }
  Property(c, "priority")->SetInteger(10);
  EXPECT_EQ(getpriority(PRIO_PROCESS, static_cast<id_t>(tid.load())), VANT::PriorityToNice(10));

  Property(c, "processor")->SetInteger(0);
  cpu_set_t set;
  ASSERT_EQ(sched_getaffinity(tid.load(), sizeof(set), &set), 0);
  EXPECT_EQ(CPU_COUNT(&set), 1);
  EXPECT_TRUE(CPU_ISSET(0, &set));
  Property(c, "processor")->SetInteger(-1);
  ASSERT_EQ(sched_getaffinity(tid.load(), sizeof(set), &set), 0);
  EXPECT_EQ(CPU_COUNT(&set), std::min<long>(sysconf(_SC_NPROCESSORS_CONF), CPU_SETSIZE));
}

TEST_F(ThreadsTest, ContextSwitchesAndCpuLoadSumTheThreads) {
  ScriptedComponent* c = Make(kSequential, "CS");
  std::atomic<int> phase{0};
  c->onWorker = [&](ScriptedComponent& self) {
    // 300 short sleeps: at least 300 voluntary context switches.
    for (int i = 0; i < 300; ++i) {
      std::this_thread::sleep_for(50us);
    }
    // Then busy for a while, so that the CPU load is high.
    const auto until = std::chrono::steady_clock::now() + 60ms;
    while (std::chrono::steady_clock::now() < until) {
    }
    phase = 1;
    WaitForStop(self);
  };
  ASSERT_TRUE(host().StartComponent(c));
  // Reset the load mark of the thread object just after creation.
  c->CreateThread(&ScriptedComponent::Worker);
  ASSERT_TRUE(Eventually([&] { return phase.load() == 1; }));
  // Each property reads the rounded hundredth of the threads' sum.
  EXPECT_GE(Property(c, "contextSwitches")->Integer(), 3);
  EXPECT_GE(Property(c, "CPULoad")->Integer(), 1);
  EXPECT_GT(HostThreads::ReadContextSwitches(static_cast<pid_t>(VANT::CurrentThreadId())), 0u);
  EXPECT_EQ(HostThreads::ReadContextSwitches(0), 0u);
  host().StopComponent(c);
  EXPECT_EQ(Property(c, "contextSwitches")->Integer(), 0); // no thread left
}

TEST_F(ThreadsTest, ProcessThreadWaitEndsWhenStoppedComponentsThreadsAreGone) {
  const size_t before = HostThreads::ProcessThreadCount();
  ASSERT_GT(before, 0u);
  ScriptedComponent* c = Make(kThreaded, "Gone");
  c->onWorker = [](ScriptedComponent& self) { WaitForStop(self); };
  c->onBirth = [](ScriptedComponent& self) {
    EXPECT_NE(self.CreateThread(&ScriptedComponent::Worker), nullptr);
  };
  ASSERT_TRUE(host().StartComponent(c));
  ASSERT_TRUE(Eventually([&] { return c->ThreadCount() == 2; }));
  EXPECT_EQ(HostThreads::ProcessThreadCount(), before + 2);
  // The two are alive: the wait gives up.
  EXPECT_FALSE(HostThreads::WaitForProcessThreads(before, 20000));

  host().StopComponent(c);
  EXPECT_TRUE(HostThreads::WaitForProcessThreads(before, 2000000));
  EXPECT_LE(HostThreads::ProcessThreadCount(), before);
}

} // namespace
