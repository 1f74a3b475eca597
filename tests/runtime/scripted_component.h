#pragma once
// A component whose life-cycle operations tests script, the model records it is made from, and a
// fixture that registers those models with the shared test host.

#include "runtime/vant_component.h"
#include "support/host_fixture.h"
#include "sync/vant_thread.h"
#include "util/vant_exceptions.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

/// Counts every life-cycle call; each may run a scripted action. Without a Cycle script, Cycle
/// waits on an event that nobody sets (with the stop event), so the component idles until it is
/// stopped. Set the scripts before the component starts.
class ScriptedComponent : public VANTComponent {
public:
  using Script = std::function<void(ScriptedComponent&)>;

  ScriptedComponent(const char* name, VANTComponentModelDefinition* record)
      : VANTComponent(name, record) {}

  void Dynamic() override {
    ++dynamics;
    VANTComponent::Dynamic();
  }
  void Birth() override {
    ++births;
    birthThread = VANT::CurrentThreadId();
    if (onBirth) {
      onBirth(*this);
    }
  }
  void Cycle() override {
    ++cycles;
    if (onCycle) {
      onCycle(*this);
    } else {
      Wait4Event(&never, -1);
    }
  }
  void PreDeath() override { ++preDeaths; }
  void Death() override {
    ++deaths;
    deathThread = VANT::CurrentThreadId();
    if (onDeath) {
      onDeath(*this);
    }
  }

  /// A member function for component threads.
  void Worker() {
    ++workers;
    if (onWorker) {
      onWorker(*this);
    }
  }

  // Made public for tests.
  using VANTComponent::DynamicWrapper;
  using VANTModule::ChangeState;

  Script onBirth;
  Script onCycle;
  Script onDeath;
  Script onWorker;
  VANTEvent never;
  std::atomic<int> dynamics{0};
  std::atomic<int> births{0};
  std::atomic<int> cycles{0};
  std::atomic<int> preDeaths{0};
  std::atomic<int> deaths{0};
  std::atomic<int> workers{0};
  std::atomic<uint32_t> birthThread{0};
  std::atomic<uint32_t> deathThread{0};
};

namespace RuntimeTest {

/// Model names of the test records.
inline constexpr const char* kThreaded = "TestThreaded";         // both models, threaded
inline constexpr const char* kSequential = "TestSequential";     // both models, sequential
inline constexpr const char* kThreadedOnly = "TestThreadedOnly"; // threaded only, saved sequential
inline constexpr const char* kSequentialOnly = "TestSequentialOnly"; // the reverse
inline constexpr const char* kNeedsInit = "TestNeedsInit";           // sequential, one needsInit
inline constexpr const char* kProperties = "TestProperties";         // sequential, every kind

/// The records above (counts filled in by the host).
VANTComponentModelDefinition* Record(const char* modelName);
/// VANTGetModulesDefStruct for the test records.
int32_t TestModels(const char* groupName, void** out, int32_t maxCount);

/// Polls (every millisecond) until predicate holds or timeout passes; returns the predicate.
template <typename Predicate>
bool Eventually(Predicate predicate, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return predicate();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

} // namespace RuntimeTest

/// HostFixture with the test models registered and helpers to make and drop components.
class RuntimeFixture : public HostFixture {
protected:
  void SetUp() override;
  void TearDown() override;

  /// Creates a component of a test model; the fixture stops and destroys it at the end.
  ScriptedComponent* Make(const char* modelName, const char* instanceName);
  /// Stops and destroys a component made by Make now.
  void Drop(ScriptedComponent* component);
  /// The component's property by short name (fails the test when absent).
  VANTProperty* Property(ScriptedComponent* component, const char* shortName);
  /// The last state word the component announced (0 when none).
  uint32_t LastState(ScriptedComponent* component);
  /// True when a report received so far has exactly this text (reports are kept).
  bool Reported(const std::string& text);
  /// Number of reports received so far whose text equals text.
  int CountReports(const std::string& text);
  /// Runs f, which must throw an int, and returns it (fails the test when nothing is thrown).
  static int ThrownInt(const std::function<void()>& f);

  /// Moves the reports received so far into m_seen.
  void Collect();

  std::vector<HostReport> m_seen;
  std::vector<ScriptedComponent*> m_made;
};
