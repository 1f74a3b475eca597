#pragma once
// A minimal engine for the data-flow tests: it keeps the reports it receives, answers the check
// level the test sets and counts overrun notifications. Everything else aborts: these tests
// never reach it. Installed once per process (the runtime stores its kernel once).

#include "src/vant_host_kernel.h"
#include "src/vant_kernel.h"

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

struct TestReport {
  std::string text;
  int32_t level;
  int32_t option;
  bool flag;
};

class TestKernel final : public VANTHostKernel {
public:
  /// The process's kernel, installed on first use.
  static TestKernel& Installed() {
    static TestKernel* kernel = [] {
      auto* created = new TestKernel(); // never deleted: the runtime keeps the pointer
      if (!VANT::StoreKernel(created)) {
        std::abort(); // another kernel was installed first: these tests cannot run
      }
      return created;
    }();
    return *kernel;
  }

  void SetCheckLevel(int32_t level) { m_checkLevel.store(level); }
  std::vector<TestReport> TakeReports() {
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<TestReport> taken;
    taken.swap(m_reports);
    return taken;
  }
  int32_t TakeOverruns() { return m_overruns.exchange(0); }

  void Report(const char* text, int32_t level, int32_t option, bool flag) override {
    std::lock_guard<std::mutex> guard(m_lock);
    m_reports.push_back({text != nullptr ? text : "", level, option, flag});
  }
  int32_t CheckLevel() override { return m_checkLevel.load(); }
  void Overrun(VANTOutput*) override { m_overruns.fetch_add(1); }

  void BeginChange(const char*) override { std::abort(); }
  void EndChange() override { std::abort(); }
  VANTSymbolRecord* ModuleRecord(const char*) override { std::abort(); }
  void DropName(const char*) override { std::abort(); }
  void LockSymbols() override { std::abort(); }
  void UnlockSymbols() override { std::abort(); }
  bool RegisterInput(VANTInput*) override { std::abort(); }
  bool RegisterOutput(VANTOutput*) override { std::abort(); }
  bool RegisterProperty(VANTProperty*) override { std::abort(); }
  bool RegisterAction(VANTAction*) override { std::abort(); }
  void AnnounceModuleOutput(const char*, const char*, const char*, int32_t) override {
    std::abort();
  }
  void InputRemoved(const char*) override { std::abort(); }
  void OutputRemoved(const char*) override { std::abort(); }
  void AnnounceComponentOutput(const char*, const char*, const char*, int32_t) override {
    std::abort();
  }
  void AnnounceComponentInput(const char*, const char*, const char*, int32_t) override {
    std::abort();
  }
  void ModuleState(const char*, uint32_t) override { std::abort(); }
  bool Rename(const char*, const char*) override { std::abort(); }
  void Disconnect(VANTOutput*, VANTInput*) override { std::abort(); }
  void RunMainThread(VANTThreadContext*) override { std::abort(); }
  void RunModuleThread(VANTThreadContext*) override { std::abort(); }
  void RunComponentThread(VANTThreadContext*) override { std::abort(); }
  bool NameTaken(const char*) override { std::abort(); }
  VANTModule* ModuleByName(const char*) override { std::abort(); }
  VANTSymbolRecord* Symbol(const char*) override { std::abort(); }
  uint32_t EngineState() override { std::abort(); }
  bool TimeoutsSuspended() override { std::abort(); }
  int32_t SpeedSign() override { std::abort(); }
  int32_t ClockState() override { std::abort(); }
  void RegisterClock(VANTBaseClock*, bool*) override { std::abort(); }
  void UnregisterClock(VANTBaseClock*) override { std::abort(); }
  int64_t RealTime() override { std::abort(); }
  int32_t TimeSpeed() override { std::abort(); }
  int64_t CurrentTime(bool, bool) override { std::abort(); }
  VANTWakeUpRegistry* WakeUps() override { std::abort(); }
  void AcquireTimeLock() override { std::abort(); }
  void ReleaseTimeLock() override { std::abort(); }
  bool EngineBool(const char*, bool*) override { std::abort(); }
  int64_t EngineInt(const char*, bool*) override { std::abort(); }
  VANTTriggerService* Triggers() override { std::abort(); }

private:
  TestKernel() = default;
  ~TestKernel() = default;

  std::mutex m_lock;
  std::vector<TestReport> m_reports;
  std::atomic<int32_t> m_checkLevel{0};
  std::atomic<int32_t> m_overruns{0};
};
