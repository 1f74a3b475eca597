// Engine-time waits on the host's clock and trigger service. A plain program: each figure is
// printed next to a baseline measured in the same run, with the ratio.
//
//   trigger lateness   a 1 ms trigger, from its deadline to the waiter's wake-up, against
//                      clock_nanosleep to an absolute deadline
//   Rest(1000)         real duration and thread CPU of a 1 ms rest at speed 1000, against a
//                      1 ms clock_nanosleep
//   Rest(100)          the idle-loop rest: 100 real microseconds are under the threshold, so
//                      the rest only yields; calls per second and thread CPU, against
//                      sched_yield
//   reached at once    WaitForTimestamp on a timestamp already passed (one pass of the time
//                      lock), against one CurrentTime call through the kernel

#include "host/host.h"
#include "host/host_clock.h"
#include "kernel/vant_kernel.h"
#include "sync/vant_engine_time.h"
#include "sync/vant_event.h"
#include "util/vant_exceptions.h"

#include <algorithm>
#include <cstdio>
#include <sched.h>
#include <sys/resource.h>
#include <time.h>
#include <vector>

namespace {

class SilentReporter final : public VANT::WaitReporter {
public:
  void Report(const char*, int32_t) const override {}
  [[noreturn]] void Error(const char*) const override { throw VANT::ErrorException; }
};

int64_t ThreadCpuUs() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  return (int64_t{usage.ru_utime.tv_sec} + usage.ru_stime.tv_sec) * 1000000 +
         usage.ru_utime.tv_usec + usage.ru_stime.tv_usec;
}

struct Spread {
  double median;
  double p99;
  double max;
};

Spread SpreadOf(std::vector<int64_t> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return {static_cast<double>(values[n / 2]), static_cast<double>(values[n * 99 / 100]),
          static_cast<double>(values[n - 1])};
}

void SleepUntil(int64_t realUs) {
  timespec deadline{static_cast<time_t>(realUs / 1000000),
                    static_cast<long>(realUs % 1000000) * 1000};
  clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr);
}

void TriggerLateness(Host& host) {
  constexpr int kRounds = 300;
  std::vector<int64_t> trigger;
  std::vector<int64_t> sleep;
  VANTEvent event;
  for (int i = 0; i < kRounds; ++i) {
    const int64_t deadline = HostClock::RealTime() + 1000;
    event.Reset();
    host.Triggers()->Arm(&event, deadline);
    event.Wait(-1);
    trigger.push_back(HostClock::RealTime() - deadline);

    const int64_t sleepDeadline = HostClock::RealTime() + 1000;
    SleepUntil(sleepDeadline);
    sleep.push_back(HostClock::RealTime() - sleepDeadline);
  }
  const Spread t = SpreadOf(trigger);
  const Spread s = SpreadOf(sleep);
  std::printf("trigger lateness (us)   median %6.0f  p99 %6.0f  max %6.0f\n", t.median, t.p99,
              t.max);
  std::printf("  baseline nanosleep    median %6.0f  p99 %6.0f  max %6.0f   ratio (median) %.2f\n",
              s.median, s.p99, s.max, s.median > 0 ? t.median / s.median : 0.0);
}

void RestMillisecond(VANTEvent& stop, const SilentReporter& reporter) {
  constexpr int kRounds = 300;
  int64_t cpu = ThreadCpuUs();
  int64_t start = HostClock::RealTime();
  for (int i = 0; i < kRounds; ++i) {
    VANT::RestOn(&stop, 1000, nullptr, reporter);
  }
  const double restUs = static_cast<double>(HostClock::RealTime() - start) / kRounds;
  const double restCpu = static_cast<double>(ThreadCpuUs() - cpu) / kRounds;

  cpu = ThreadCpuUs();
  start = HostClock::RealTime();
  for (int i = 0; i < kRounds; ++i) {
    SleepUntil(HostClock::RealTime() + 1000);
  }
  const double sleepUs = static_cast<double>(HostClock::RealTime() - start) / kRounds;
  const double sleepCpu = static_cast<double>(ThreadCpuUs() - cpu) / kRounds;
  std::printf("Rest(1000)              %7.0f us per rest, %5.1f us CPU each\n", restUs, restCpu);
  std::printf("  baseline nanosleep    %7.0f us per sleep, %5.1f us CPU each   ratio %.2f\n",
              sleepUs, sleepCpu, restUs / sleepUs);
}

void RestIdle(VANTEvent& stop, const SilentReporter& reporter) {
  constexpr int64_t kSpanUs = 200000;
  int64_t calls = 0;
  int64_t cpu = ThreadCpuUs();
  int64_t start = HostClock::RealTime();
  while (HostClock::RealTime() - start < kSpanUs) {
    VANT::RestOn(&stop, 100, nullptr, reporter);
    ++calls;
  }
  const double restCpuShare = static_cast<double>(ThreadCpuUs() - cpu) / kSpanUs;
  const double restRate = static_cast<double>(calls) / kSpanUs * 1e6;

  int64_t yields = 0;
  cpu = ThreadCpuUs();
  start = HostClock::RealTime();
  while (HostClock::RealTime() - start < kSpanUs) {
    sched_yield();
    ++yields;
  }
  const double yieldCpuShare = static_cast<double>(ThreadCpuUs() - cpu) / kSpanUs;
  const double yieldRate = static_cast<double>(yields) / kSpanUs * 1e6;
  std::printf("Rest(100) idle loop     %9.0f calls/s, thread CPU %3.0f%%\n", restRate,
              restCpuShare * 100);
  std::printf("  baseline sched_yield  %9.0f calls/s, thread CPU %3.0f%%   ratio (rate) %.2f\n",
              yieldRate, yieldCpuShare * 100, restRate / yieldRate);
}

void ReachedAtOnce(Host& host) {
  constexpr int kCalls = 1000000;
  VANTHostKernel* kernel = VANT::Kernel();
  int64_t sink = 0;
  int64_t start = HostClock::RealTime();
  for (int i = 0; i < kCalls; ++i) {
    sink += VANT::WaitForTimestamp(0, nullptr, nullptr) ? 1 : 0;
  }
  const double waitNs = static_cast<double>(HostClock::RealTime() - start) * 1000 / kCalls;
  start = HostClock::RealTime();
  for (int i = 0; i < kCalls; ++i) {
    sink += kernel->CurrentTime(false, false) & 1;
  }
  const double timeNs = static_cast<double>(HostClock::RealTime() - start) * 1000 / kCalls;
  std::printf("reached at once         %7.1f ns per WaitForTimestamp\n", waitNs);
  std::printf("  baseline CurrentTime  %7.1f ns per call   ratio %.2f   (%lld)\n", timeNs,
              waitNs / timeNs, static_cast<long long>(sink % 2));
  (void)host;
}

} // namespace

int main() {
  auto* host = new Host(); // never deleted: the package keeps the kernel pointer
  if (!VANT::StoreKernel(host)) {
    std::fprintf(stderr, "a kernel is installed already\n");
    return 1;
  }
  VANT::SetEventDisarmHook(&VANT::DisarmTimerEvent);
  VANTEvent stop;
  SilentReporter reporter;

  TriggerLateness(*host);
  RestMillisecond(stop, reporter);
  RestIdle(stop, reporter);
  ReachedAtOnce(*host);
  return 0;
}
