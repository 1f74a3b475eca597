#include "sync/vant_event.h"
#include "sync/vant_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace {

using VANT::ThreadLevel;

TEST(ThreadPriority, BandsSwitchAtTheirBoundaries) {
  // Tricky: the bands are 256/7 wide, so they switch at 37, 74, 110, 147, 183 and 220.
  struct Row {
    int32_t priority;
    ThreadLevel level;
    int32_t nice;
  };
  const Row rows[] = {
      {0, ThreadLevel::kIdle, 19},
      {36, ThreadLevel::kIdle, 19},
      {37, ThreadLevel::kLowest, 10},
      {73, ThreadLevel::kLowest, 10},
      {74, ThreadLevel::kBelowNormal, 5},
      {109, ThreadLevel::kBelowNormal, 5},
      {110, ThreadLevel::kNormal, 0},
      {146, ThreadLevel::kNormal, 0},
      {147, ThreadLevel::kAboveNormal, -5},
      {182, ThreadLevel::kAboveNormal, -5},
      {183, ThreadLevel::kHighest, -10},
      {219, ThreadLevel::kHighest, -10},
      {220, ThreadLevel::kTimeCritical, -20},
      {255, ThreadLevel::kTimeCritical, -20},
      {-1, ThreadLevel::kNormal, 0},
      {256, ThreadLevel::kNormal, 0},
      {INT32_MAX, ThreadLevel::kNormal, 0},
      {INT32_MIN, ThreadLevel::kNormal, 0},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(VANT::PriorityToLevel(row.priority), row.level) << "priority " << row.priority;
    EXPECT_EQ(VANT::PriorityToNice(row.priority), row.nice) << "priority " << row.priority;
  }
}

TEST(ThreadPriority, AppliesToTheCallingThreadOnly) {
  const int before = getpriority(PRIO_PROCESS, static_cast<id_t>(VANT::CurrentThreadId()));
  int applied = -100;
  bool accepted = false;
  // Any thread may lower its own priority, so idle is always accepted.
  std::thread lowered([&] {
    accepted = VANT::SetCurrentThreadPriority(10);
    applied = getpriority(PRIO_PROCESS, static_cast<id_t>(VANT::CurrentThreadId()));
  });
  lowered.join();
  EXPECT_TRUE(accepted);
  EXPECT_EQ(applied, 19);
  EXPECT_EQ(getpriority(PRIO_PROCESS, static_cast<id_t>(VANT::CurrentThreadId())), before);
}

// What a started thread needs from the test.
struct Gate {
  VANTEvent release;
  std::atomic<uint32_t> threadId{0};
  VANTEvent started;
};

uint32_t HoldUntilReleased(void* raw) {
  auto* gate = static_cast<Gate*>(raw);
  gate->threadId = VANT::CurrentThreadId();
  gate->started.Set();
  gate->release.Wait(VANT::kInfinite);
  return 7;
}

TEST(WaitForThread, ReturnsOnlyAfterAStartedThreadHasEnded) {
  Gate gate;
  ASSERT_TRUE(VANT::StartThread(&HoldUntilReleased, &gate));
  ASSERT_EQ(gate.started.Wait(2000000), 0);
  const uint32_t id = gate.threadId;
  EXPECT_NE(id, VANT::CurrentThreadId());

  std::atomic<bool> done{false};
  std::thread waiter([&] {
    EXPECT_TRUE(VANT::WaitForThread(id));
    done = true;
  });
  EXPECT_EQ(gate.release.Wait(20000), VANT::kWaitTimeout); // give the waiter time to block
  EXPECT_FALSE(done.load()) << "returned while the thread still ran";
  gate.release.Set();
  waiter.join();
  EXPECT_TRUE(done.load());
  EXPECT_FALSE(VANT::WaitForThread(VANT::CurrentThreadId())) << "a thread cannot outlive itself";
}

TEST(WaitForThread, UnknownOrEndedIdsCountAsEnded) {
  uint32_t endedId = 0;
  std::thread ended([&] { endedId = VANT::CurrentThreadId(); });
  ended.join();
  const int64_t start = VANT::MonotonicNowNs();
  EXPECT_TRUE(VANT::WaitForThread(endedId));
  EXPECT_TRUE(VANT::WaitForThread(0x7ffffff0u)); // above any pid_max
  EXPECT_LT(VANT::MonotonicNowNs() - start, 5000000) << "an ended id must not be polled";

  // A thread the runtime did not start is still waited for, by polling.
  VANTEvent release;
  std::atomic<uint32_t> foreignId{0};
  std::thread foreign([&] {
    foreignId = VANT::CurrentThreadId();
    release.Wait(VANT::kInfinite);
  });
  while (foreignId.load() == 0) {
    VANT::Yield();
  }
  release.Set();
  EXPECT_TRUE(VANT::WaitForThread(foreignId));
  foreign.join();
}

struct FormatResult {
  char text[32] = {};
  VANTEvent done;
};

uint32_t FormatNumber(void* raw) {
  auto* result = static_cast<FormatResult*>(raw);
  std::snprintf(result->text, sizeof result->text, "%.10g", 2.5);
  result->done.Set();
  return 0;
}

TEST(StartThread, NewThreadsFormatWithADecimalPointUnderACommaLocale) {
  setenv("LOCPATH", CORVEX_TEST_LOCALE_DIR, 1);
  if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr) {
    unsetenv("LOCPATH");
    GTEST_SKIP() << "no locale with a decimal comma: localedef could not build de_DE.UTF-8 in "
                 << CORVEX_TEST_LOCALE_DIR;
  }
  char mainText[32];
  std::snprintf(mainText, sizeof mainText, "%.10g", 2.5);
  std::string foreignText;
  std::thread foreign([&] {
    char text[32];
    std::snprintf(text, sizeof text, "%.10g", 2.5);
    foreignText = text;
  });
  foreign.join();

  FormatResult result;
  const bool started = VANT::StartThread(&FormatNumber, &result);
  const int32_t waited = started ? result.done.Wait(2000000) : -100;
  std::setlocale(LC_NUMERIC, "C");
  unsetenv("LOCPATH");

  EXPECT_STREQ(mainText, "2,5") << "the process locale did not take effect";
  EXPECT_EQ(foreignText, "2,5");
  ASSERT_TRUE(started);
  ASSERT_EQ(waited, 0);
  EXPECT_STREQ(result.text, "2.5");
}

} // namespace
