#pragma once
// What the data-flow tests share: a component whose Cycle a test scripts, the models made from it
// (writers, threaded and sequential readers of every reader type), a fixture that creates them
// through the engine stand-in and cleans up after each test, and a watchdog that turns a hang
// into a failure.

#include "dataflow/vant_input_implementation.h"
#include "dataflow/vant_output_implementation.h"
#include "runtime/vant_component.h"
#include "support/host_fixture.h"
#include "support/model_table.h"
#include "util/vant_exceptions.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace FlowTesting {

using namespace std::chrono_literals;

/// A component whose Cycle a test scripts (or that idles on its stop event).
class FlowComponent : public VANTComponent {
public:
  using Script = std::function<void(FlowComponent&)>;
  FlowComponent(const char* name, VANTComponentModelDefinition* record)
      : VANTComponent(name, record) {}
  void Birth() override {
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
  Script onBirth;
  Script onCycle;
  VANTEvent never;
  std::atomic<int> cycles{0};
};

/// Makes the next heap allocation of exactly `size` bytes (operator new) fail with
/// std::bad_alloc, once.
void FailNextAllocationOf(std::size_t size);

inline VANTModule* MakeFlow(const char* name, VANTComponentModelDefinition* record) {
  return new FlowComponent(name, record);
}

// Vectors of 8 Integer64 values, FIFO of 16.
inline VANTOutputDefinition g_vectorOutput[] = {
    {"out", 0, 0, {VANT::TypeCode::Integer64 | VANT::VectorFlag, nullptr, nullptr}, 8, 16, 1, 1},
    {nullptr, 0, 0, {0, nullptr, nullptr}, 0, 0, 0, 0},
};
// One Integer32 value, FIFO of 4, no vector flag (so that vector allocations warn).
inline VANTOutputDefinition g_scalarOutput[] = {
    {"out", 0, 0, {VANT::TypeCode::Integer32, nullptr, nullptr}, 1, 4, 1, 1},
    {nullptr, 0, 0, {0, nullptr, nullptr}, 0, 0, 0, 0},
};
// An Integer64 output the component allocates itself (default size 0), FIFO of 4.
inline VANTOutputDefinition g_lateOutput[] = {
    {"out", 0, 0, {VANT::TypeCode::Integer64 | VANT::VectorFlag, nullptr, nullptr}, 0, 4, 1, 1},
    {nullptr, 0, 0, {0, nullptr, nullptr}, 0, 0, 0, 0},
};
// Two outputs: vectors of 8 Integer64 (FIFO of 4) and of 1000 bytes (FIFO of 3).
inline VANTOutputDefinition g_twoOutputs[] = {
    {"a", 0, 0, {VANT::TypeCode::Integer64 | VANT::VectorFlag, nullptr, nullptr}, 8, 4, 1, 1},
    {"b",
     0,
     0,
     {VANT::TypeCode::UnsignedInteger8 | VANT::VectorFlag, nullptr, nullptr},
     1000,
     3,
     1,
     1},
    {nullptr, 0, 0, {0, nullptr, nullptr}, 0, 0, 0, 0},
};
inline VANTInputDefinition g_oneInput[] = {
    {"in", 0, 0, &VANT::Filter::Integer64, VANT::FifoReader, 1},
    {nullptr, 0, 0, nullptr, 0, 0},
};
inline VANTInputDefinition g_samplingInput[] = {
    {"in", 0, 0, &VANT::Filter::Integer64, VANT::SamplingReader, 1},
    {nullptr, 0, 0, nullptr, 0, 0},
};
inline VANTInputDefinition g_waitingInput[] = {
    {"in", 0, 0, &VANT::Filter::Integer64, VANT::Wait4NextReader, 1},
    {nullptr, 0, 0, nullptr, 0, 0},
};
inline VANTInputDefinition g_twoInputs[] = {
    {"a", 0, 0, &VANT::Filter::Integer64, VANT::NeverSkippingReader, 1},
    {"b", 0, 0, &VANT::Filter::Integer64, VANT::NeverSkippingReader, 1},
    {nullptr, 0, 0, nullptr, 0, 0},
};
inline VANTInputDefinition g_noInputs[] = {{nullptr, 0, 0, nullptr, 0, 0}};
inline VANTOutputDefinition g_noOutputs[] = {{nullptr, 0, 0, {0, nullptr, nullptr}, 0, 0, 0, 0}};
inline VANTPropertyDefinition g_noProperties[] = {{nullptr, nullptr, nullptr, 0, 0, 0, 0, 0}};
inline VANTActionDefinition g_noActions[] = {{nullptr, nullptr, 0, {}}};

inline VANTComponentModelDefinition Record(const char* model, uint8_t threaded,
                                           VANTInputDefinition* in, VANTOutputDefinition* out) {
  VANTComponentModelDefinition record{};
  record.modelName = model;
  record.version = "1.0.0";
  record.factory = MakeFlow;
  record.inputCount = VANT::kUncountedEntries;
  record.inputs = in;
  record.outputCount = VANT::kUncountedEntries;
  record.outputs = out;
  record.propertyCount = VANT::kUncountedEntries;
  record.properties = g_noProperties;
  record.actionCount = VANT::kUncountedEntries;
  record.actions = g_noActions;
  record.priority = 128;
  record.threadingModels = 3;
  record.threadedByDefault = threaded;
  return record;
}

inline VANTComponentModelDefinition g_records[] = {
    Record("FlowWriter", 1, g_noInputs, g_vectorOutput),
    Record("FlowScalarWriter", 1, g_noInputs, g_scalarOutput),
    Record("FlowLateWriter", 1, g_noInputs, g_lateOutput),
    Record("FlowTwoWriter", 1, g_noInputs, g_twoOutputs),
    Record("FlowReader", 1, g_oneInput, g_noOutputs),
    Record("FlowSequentialReader", 0, g_oneInput, g_noOutputs),
    Record("FlowSequentialSampler", 0, g_samplingInput, g_noOutputs),
    Record("FlowSequentialWaiter", 0, g_waitingInput, g_noOutputs),
    Record("FlowTwoReader", 1, g_twoInputs, g_noOutputs),
    Record("FlowWaiter", 1, g_waitingInput, g_noOutputs),
    Record("FlowSampler", 1, g_samplingInput, g_noOutputs),
    Record("FlowMerger", 1, g_twoInputs, g_vectorOutput),
    Record("FlowSequentialRelay", 0, g_oneInput, g_vectorOutput),
};

inline int32_t FlowModels(const char* group, void** out, int32_t maxCount) {
  return AnswerModelsQuery(g_records, group, out, maxCount);
}

/// Turns a hang into a failure: unless disarmed within `limit`, prints what was going on (with
/// the seed of a randomised test) and ends the test program, since threads that hang cannot be
/// unwound.
class Watchdog {
public:
  explicit Watchdog(std::chrono::milliseconds limit, std::string what)
      : m_what(std::move(what)), m_thread([this, limit] {
          std::unique_lock<std::mutex> lock(m_mutex);
          if (!m_done.wait_for(lock, limit, [this] { return m_disarmed; })) {
            std::fprintf(stderr, "watchdog: hung for more than %lld ms: %s\n",
                         static_cast<long long>(limit.count()), m_what.c_str());
            std::fflush(stderr);
            std::abort();
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_disarmed = true;
    }
    m_done.notify_all();
    m_thread.join();
  }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

private:
  std::string m_what;
  std::mutex m_mutex;
  std::condition_variable m_done;
  bool m_disarmed = false;
  std::thread m_thread;
};

template <typename Predicate>
bool Eventually(Predicate predicate, std::chrono::milliseconds timeout = 10s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return predicate();
    }
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

class FlowTest : public HostFixture {
protected:
  void SetUp() override {
    HostFixture::SetUp();
    static const bool added = [] {
      std::string error;
      const bool ok = SharedHost().AddModels(&FlowModels, &error);
      EXPECT_TRUE(ok) << error;
      return ok;
    }();
    ASSERT_TRUE(added);
  }
  void TearDown() override {
    for (FlowComponent* component : m_made) {
      host().StopComponent(component);
    }
    for (auto it = m_made.rbegin(); it != m_made.rend(); ++it) {
      host().DestroyComponent(*it);
    }
    m_made.clear();
  }

  /// Stops every component made so far: call it before the end of a test whose scripts touch
  /// the test's own variables while data keeps flowing.
  void StopAll() {
    for (FlowComponent* component : m_made) {
      host().StopComponent(component);
    }
  }

  FlowComponent* Make(const char* model, const char* name) {
    auto* component = dynamic_cast<FlowComponent*>(host().CreateComponent(model, name));
    EXPECT_NE(component, nullptr) << model;
    if (component != nullptr) {
      m_made.push_back(component);
    }
    return component;
  }

  /// Destroys a component made by Make before the end of the test.
  void Destroy(FlowComponent* component) {
    host().StopComponent(component);
    for (auto it = m_made.begin(); it != m_made.end(); ++it) {
      if (*it == component) {
        m_made.erase(it);
        break;
      }
    }
    host().DestroyComponent(component);
  }

  void SetInteger(const std::string& fullName, int64_t value) {
    VANTProperty* property = host().FindProperty(fullName.c_str());
    ASSERT_NE(property, nullptr) << fullName;
    property->SetInteger(value);
  }

  bool Reported(const std::string& text) {
    for (const HostReport& report : host().Reports().Peek()) {
      if (report.text.find(text) != std::string::npos) {
        return true;
      }
    }
    return false;
  }

  /// A writer script: publishes `count` samples whose 8 values are n*8 .. n*8+7 and timestamp
  /// n+1, then idles.
  static FlowComponent::Script WriteSequence(int64_t count, std::atomic<int64_t>* written) {
    return [count, written](FlowComponent& self) {
      if (written->load() >= count) {
        self.Wait4Event(&self.never, -1);
        return;
      }
      const int64_t n = written->load();
      VANTIOElt* element = self.StartWriting(self.Output("out"), n + 1);
      for (int32_t i = 0; i < 8; ++i) {
        element->Integer64(i) = n * 8 + i;
      }
      element->VectorSize() = 8;
      self.StopWriting(element);
      written->store(n + 1);
    };
  }

  std::vector<FlowComponent*> m_made;
};

} // namespace FlowTesting
