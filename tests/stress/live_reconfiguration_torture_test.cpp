// Live reconfiguration under traffic, randomised and repeatable: sources, a merging component, a
// sequential relay, the sorting multiplexer and readers of every reader type (FIFO,
// never-skipping, last-or-next, wait-for-next, sampling, a window of the last samples,
// synchronised, and sequential ones) run while a driver, seeded, connects and detaches inputs,
// stops and starts components, destroys and re-creates sources, removes and re-creates outputs,
// switches reader types, resizes FIFOs and changes the multiplexer's inputs. A watchdog ends the
// run on any step that hangs. Every sample carries a self-check and every reader checks that
// what it holds stays as it took it; under the sanitizers a sample freed under its reader is a
// report. CORVEX_TORTURE_SEED and CORVEX_TORTURE_OPS choose the run (the seed is printed on
// failure).

#include "dataflow/flow_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace FlowTesting;

int64_t FromEnvironment(const char* name, int64_t fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::strtoll(text, nullptr, 10) : fallback;
}

// A sample's eight values: a tag, then tag * 31 + i. Zeroed, freed or half-written memory, or
// two samples mixed, fail the check.
constexpr int32_t kValues = 8;
void Fill(VANTIOElt* element, uint64_t tag) {
  element->Integer64(0) = static_cast<int64_t>(tag);
  for (int32_t i = 1; i < kValues; ++i) {
    element->Integer64(i) = static_cast<int64_t>(tag * 31 + static_cast<uint64_t>(i));
  }
  element->VectorSize() = kValues;
}
bool Consistent(const int64_t* values) {
  const auto tag = static_cast<uint64_t>(values[0]);
  for (int32_t i = 1; i < kValues; ++i) {
    if (static_cast<uint64_t>(values[i]) != tag * 31 + static_cast<uint64_t>(i)) {
      return false;
    }
  }
  return true;
}

/// A driver step that does not end within the limit ends the program (threads that hang cannot
/// be unwound), naming the seed and the step.
class StallWatchdog {
public:
  StallWatchdog(uint64_t seed, std::chrono::seconds limit)
      : m_seed(seed), m_limit(limit), m_thread([this] { Watch(); }) {}
  ~StallWatchdog() {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_over = true;
    }
    m_changed.notify_all();
    m_thread.join();
  }
  StallWatchdog(const StallWatchdog&) = delete;
  StallWatchdog& operator=(const StallWatchdog&) = delete;

  void Step(const std::string& what) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_what = what;
    ++m_steps;
    m_changed.notify_all();
  }

private:
  void Watch() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_over) {
      const uint64_t steps = m_steps;
      if (!m_changed.wait_for(lock, m_limit, [&] { return m_over || m_steps != steps; })) {
        std::fprintf(stderr, "torture: step %llu hung for %lld s: %s (CORVEX_TORTURE_SEED=%llu)\n",
                     static_cast<unsigned long long>(steps),
                     static_cast<long long>(m_limit.count()), m_what.c_str(),
                     static_cast<unsigned long long>(m_seed));
        std::fflush(stderr);
        std::abort();
      }
    }
  }

  uint64_t m_seed;
  std::chrono::seconds m_limit;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::string m_what = "start";
  uint64_t m_steps = 0;
  bool m_over = false;
  std::thread m_thread;
};

class LiveReconfigurationTorture : public FlowTest {
protected:
  // What the components' scripts share with the test; outlives every component.
  std::atomic<int64_t> m_faults{0};
  std::atomic<int64_t> m_samples{0};
  std::mutex m_faultMutex;
  std::string m_firstFault;
  VANTComponent* m_mux = nullptr;

  void Fault(const std::string& what) {
    if (m_faults.fetch_add(1) == 0) {
      std::lock_guard<std::mutex> lock(m_faultMutex);
      m_firstFault = what;
    }
  }

  // Copies a taken sample, checking it.
  struct Copy {
    int64_t values[kValues] = {};
  };
  Copy Take(VANTIOElt* element, const char* who) {
    Copy copy;
    if (element->VectorSize() != kValues) {
      Fault(std::string(who) + ": vector size " + std::to_string(element->VectorSize()));
      return copy;
    }
    std::memcpy(copy.values, element->Data(), sizeof(copy.values));
    if (!Consistent(copy.values)) {
      Fault(std::string(who) + ": a sample inconsistent when taken");
    }
    ++m_samples;
    return copy;
  }
  /// Reports that must never appear, whatever the operator does.
  void CheckReports() {
    for (const HostReport& report : host().TakeReports()) {
      for (const char* wrong :
           {"fatal error", "Stop reading without starting", "Buffer overflow", "refuses to die"}) {
        if (report.text.find(wrong) != std::string::npos) {
          Fault("reported: " + report.text);
        }
      }
    }
  }
  void StillSame(VANTIOElt* element, const Copy& copy, const char* who) {
    if (std::memcmp(copy.values, element->Data(), sizeof(copy.values)) != 0) {
      Fault(std::string(who) + ": a held sample changed under its reader");
    }
  }

  // ---- Scripts ----

  static void Pause(FlowComponent& self, int64_t microseconds) { self.Rest(microseconds); }

  FlowComponent::Script Source(uint64_t id) {
    return [id](FlowComponent& self) {
      static thread_local uint64_t sequence = 0;
      VANTIOElt* element = self.StartWriting(self.Output("out"));
      Fill(element, (id << 40) + ++sequence);
      self.StopWriting(element);
      Pause(self, 150);
    };
  }
  // Forwards what it reads (one input, or the first of two that has data) to its output.
  FlowComponent::Script Forward(bool twoInputs) {
    return [this, twoInputs](FlowComponent& self) {
      VANTIOElt* in = nullptr;
      if (twoInputs) {
        VANTInput* inputs[2] = {self.Input("a"), self.Input("b")};
        int32_t index = -1;
        in = self.StartReading(2, inputs, &index);
      } else {
        in = self.StartReading(self.Input("in"));
      }
      if (in == nullptr) {
        return; // sequential, nothing new
      }
      const Copy copy = Take(in, "forward");
      VANTIOElt* out = self.StartWriting(self.Output("out"), in->Timestamp());
      Fill(out, static_cast<uint64_t>(copy.values[0]));
      self.StopWriting(out);
    };
  }
  // Reads one sample at a time, holds it a little, checks it is still as taken.
  FlowComponent::Script Single(const char* who) {
    return [this, who](FlowComponent& self) {
      VANTIOElt* element = self.StartReading(self.Input("in"));
      if (element == nullptr) {
        return;
      }
      const Copy copy = Take(element, who);
      if (self.IsThreaded()) {
        Pause(self, 300);
      }
      StillSame(element, copy, who);
    };
  }
  // A window of the last three samples, all held across cycles: the two older ones must be the
  // two newer ones of the previous window, unchanged.
  FlowComponent::Script Window() {
    return [this](FlowComponent& self) {
      static thread_local Copy previous[3];
      static thread_local bool havePrevious = false;
      VANTIOElt* window[3] = {};
      const bool full = self.NLastStartReading(self.Input("in"), 3, window);
      if (!full) {
        return;
      }
      Copy now[3];
      for (int k = 0; k < 3; ++k) {
        now[k] = Take(window[k], "window");
      }
      // After a detach or a restart the window starts again: then the old ones differ.
      if (havePrevious && std::memcmp(&previous[1], &now[0], sizeof(Copy)) == 0 &&
          std::memcmp(&previous[2], &now[1], sizeof(Copy)) != 0) {
        Fault("window: a held sample of the window changed");
      }
      std::copy(now, now + 3, previous);
      havePrevious = true;
      Pause(self, 200);
      for (int k = 0; k < 3; ++k) {
        StillSame(window[k], now[k], "window");
      }
    };
  }
  FlowComponent::Script Synchronised() {
    return [this](FlowComponent& self) {
      VANTInput* inputs[2] = {self.Input("a"), self.Input("b")};
      VANTIOElt* out[2] = {};
      if (self.SynchroStartReading(2, inputs, out, int64_t{1} << 50) < 0) {
        return;
      }
      const Copy a = Take(out[0], "synchronised");
      const Copy b = Take(out[1], "synchronised");
      Pause(self, 200);
      StillSame(out[0], a, "synchronised");
      StillSame(out[1], b, "synchronised");
      self.StopReading(inputs[0]);
      self.StopReading(inputs[1]);
    };
  }

  void TearDown() override {
    if (m_mux != nullptr) {
      host().StopComponent(m_mux);
    }
    FlowTest::TearDown();
    if (m_mux != nullptr) {
      host().DestroyComponent(m_mux);
      m_mux = nullptr;
    }
  }
};

TEST_F(LiveReconfigurationTorture, EveryLiveChangeUnderTraffic) {
  const auto seed = static_cast<uint64_t>(FromEnvironment("CORVEX_TORTURE_SEED", 20261209));
  const int64_t operations = FromEnvironment("CORVEX_TORTURE_OPS", 250);
  SCOPED_TRACE("CORVEX_TORTURE_SEED=" + std::to_string(seed));
  std::printf("torture: CORVEX_TORTURE_SEED=%llu CORVEX_TORTURE_OPS=%lld\n",
              static_cast<unsigned long long>(seed), static_cast<long long>(operations));
  std::mt19937_64 random(seed);
  auto pick = [&](size_t count) { return static_cast<size_t>(random() % count); };

  // ---- The graph ----
  struct Node {
    std::string name;
    const char* model;
    FlowComponent::Script script;
    FlowComponent* component = nullptr;
  };
  std::vector<Node> nodes = {
      {"S0", "FlowWriter", Source(0)},
      {"S1", "FlowWriter", Source(1)},
      {"S2", "FlowWriter", Source(2)},
      {"M", "FlowMerger", Forward(true)},
      {"R", "FlowSequentialRelay", Forward(false)},
      {"Kfifo", "FlowReader", Single("fifo")},
      {"Kskip", "FlowReader", Single("never-skipping")},
      {"Klast", "FlowReader", Single("last-or-next")},
      {"Kwait", "FlowWaiter", Single("wait-for-next")},
      {"Ksample", "FlowSampler", Single("sampling")},
      {"Kwindow", "FlowReader", Window()},
      {"Ksync", "FlowTwoReader", Synchronised()},
      {"Qfifo", "FlowSequentialReader", Single("sequential")},
      {"Qsample", "FlowSequentialSampler", Single("sequential sampling")},
      {"Qwait", "FlowSequentialWaiter", Single("sequential wait-for-next")},
  };
  // Every reader may hold samples of any output it reads (a window three), about fifteen at
  // once: FIFOs of 20 or more never run out of items for their writer (which is reported as a
  // fault, so a sample whose release was lost shows too).
  constexpr int64_t kFifoSize = 20;
  auto make = [&](Node& node) {
    node.component = Make(node.model, node.name.c_str());
    ASSERT_NE(node.component, nullptr) << node.name;
    node.component->onCycle = node.script;
    if (node.component->HasOutput("out")) {
      SetInteger(node.name + ".out.fifosize", kFifoSize);
    }
  };
  for (Node& node : nodes) {
    make(node);
  }
  m_mux = dynamic_cast<VANTComponent*>(host().CreateComponent("SortingMultiplexer", "X"));
  ASSERT_NE(m_mux, nullptr);
  SetInteger("X.nb_inputs", 2);
  SetInteger("X.flush_delay", 0);
  SetInteger("X.output.fifosize", kFifoSize);
  SetInteger("Kskip.in.readerType", VANT::NeverSkippingReader);
  SetInteger("Klast.in.readerType", VANT::LastOrNextReader);

  // Inputs and the outputs each may be connected to. Inputs that may be never-skipping read
  // only threaded writers: a sequential writer (the relay) that waits for a stopped reader would
  // hold up the thread of the writer it runs on. The multiplexer's inputs read only writers
  // that are never destroyed (it looks at their types while it starts). No component reads its
  // own output (the relay would run its step within its own step).
  const std::vector<std::string> sourceOutputs = {"S0.out", "S1.out", "S2.out"};
  const std::vector<std::string> threadedOutputs = {"S0.out", "S1.out", "S2.out", "M.out",
                                                    "X.output"};
  const std::vector<std::string> anyOutputs = {"S0.out", "S1.out", "S2.out",
                                               "M.out",  "R.out",  "X.output"};
  const std::vector<std::string> lastingOutputs = {"S0.out", "M.out"};
  struct Wire {
    std::string input;
    const std::vector<std::string>* outputs;
    bool switchable; // its reader type may change between 0, 1 and 2
  };
  const std::vector<Wire> wires = {
      {"M.a", &sourceOutputs, true},          {"M.b", &sourceOutputs, true},
      {"R.in", &threadedOutputs, false},      {"Kfifo.in", &threadedOutputs, true},
      {"Kskip.in", &threadedOutputs, true},   {"Klast.in", &threadedOutputs, true},
      {"Kwait.in", &anyOutputs, false},       {"Ksample.in", &anyOutputs, false},
      {"Kwindow.in", &threadedOutputs, true}, {"Ksync.a", &threadedOutputs, true},
      {"Ksync.b", &threadedOutputs, true},    {"Qfifo.in", &anyOutputs, false},
      {"Qsample.in", &anyOutputs, false},     {"Qwait.in", &anyOutputs, false},
      {"X.input_0", &lastingOutputs, false},  {"X.input_1", &lastingOutputs, false},
  };
  auto inputNamed = [&](const std::string& fullName) -> VANTInput* {
    host().Symbols().Lock();
    VANTSymbolRecord* record = host().Symbols().Find(fullName.c_str());
    VANTInput* input = record != nullptr && record->kind == VANTSymbolRecord::kInput
                           ? static_cast<VANTInput*>(record->object)
                           : nullptr;
    host().Symbols().Unlock();
    return input;
  };

  // A starting point: everything connected once, everything started.
  for (const Wire& wire : wires) {
    host().Connect((*wire.outputs)[pick(wire.outputs->size())].c_str(), wire.input.c_str());
  }
  for (Node& node : nodes) {
    host().StartComponent(node.component);
  }
  host().StartComponent(m_mux);

  StallWatchdog watchdog(seed, std::chrono::seconds(20));
  for (int64_t step = 0; step < operations; ++step) {
    const uint64_t dice = random() % 100;
    std::string what;
    try {
      if (dice < 30) {
        const Wire& wire = wires[pick(wires.size())];
        const std::string& output = (*wire.outputs)[pick(wire.outputs->size())];
        what = "connect " + output + " -> " + wire.input;
        watchdog.Step(what);
        VANTInput* input = inputNamed(wire.input);
        if (input != nullptr && !input->IsConnected()) {
          host().Connect(output.c_str(), wire.input.c_str());
        }
      } else if (dice < 50) {
        const Wire& wire = wires[pick(wires.size())];
        what = "detach " + wire.input;
        watchdog.Step(what);
        host().DisconnectInput(inputNamed(wire.input));
      } else if (dice < 60) {
        const size_t k = pick(nodes.size() + 1);
        what = "stop " + (k < nodes.size() ? nodes[k].name : std::string("X"));
        watchdog.Step(what);
        host().StopComponent(k < nodes.size() ? nodes[k].component : m_mux);
      } else if (dice < 75) {
        const size_t k = pick(nodes.size() + 1);
        what = "start " + (k < nodes.size() ? nodes[k].name : std::string("X"));
        watchdog.Step(what);
        host().StartComponent(k < nodes.size() ? nodes[k].component : m_mux);
      } else if (dice < 83) {
        std::vector<const Wire*> switchable;
        for (const Wire& wire : wires) {
          if (wire.switchable) {
            switchable.push_back(&wire);
          }
        }
        const Wire& wire = *switchable[pick(switchable.size())];
        const int64_t type = static_cast<int64_t>(pick(3));
        what = "reader type " + std::to_string(type) + " for " + wire.input;
        watchdog.Step(what);
        SetInteger(wire.input + ".readerType", type);
      } else if (dice < 90) {
        static const char* const resizable[] = {"S0", "S1", "S2", "M", "R"};
        const std::string name = resizable[pick(5)];
        const int64_t size = kFifoSize + static_cast<int64_t>(pick(15));
        what = "FIFO size " + std::to_string(size) + " for " + name + ".out";
        watchdog.Step(what);
        SetInteger(name + ".out.fifosize", size);
      } else if (dice < 94) {
        Node& node = nodes[1 + pick(2)]; // S1 or S2
        what = "destroy and re-create " + node.name;
        watchdog.Step(what);
        Destroy(node.component);
        make(node);
        host().StartComponent(node.component);
      } else if (dice < 97) {
        Node& node = nodes[1 + pick(2)];
        what = "remove and re-create the output of " + node.name;
        watchdog.Step(what);
        host().StopComponent(node.component);
        node.component->RemoveOutput(node.component->Output("out"));
        node.component->NewOutput(g_vectorOutput[0]);
        SetInteger(node.name + ".out.fifosize", kFifoSize);
      } else if (dice < 99) {
        const int64_t inputs = 1 + static_cast<int64_t>(pick(3));
        what = "multiplexer inputs " + std::to_string(inputs);
        watchdog.Step(what);
        host().StopComponent(m_mux);
        SetInteger("X.nb_inputs", inputs);
      } else {
        what = "pause";
        watchdog.Step(what);
      }
    } catch (int error) {
      ADD_FAILURE() << "step " << step << " (" << what << ") threw " << error;
      break;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 1500));
    CheckReports();
    if (m_faults.load() != 0) {
      ADD_FAILURE() << "after step " << step << " (" << what << ")";
      break;
    }
  }

  watchdog.Step("stopping everything");
  StopAll();
  host().StopComponent(m_mux);
  CheckReports();
  EXPECT_EQ(m_faults.load(), 0) << m_firstFault;
  EXPECT_GT(m_samples.load(), 0);
  std::printf("torture: %lld samples checked\n", static_cast<long long>(m_samples.load()));

  // Whatever happened, a source and a reader connected anew still carry data.
  watchdog.Step("a fresh connection after everything");
  for (const Wire& wire : wires) {
    host().DisconnectInput(inputNamed(wire.input)); // a stopped never-skipping reader holds up
  }
  for (const char* input : {"Kfifo.in", "Kskip.in"}) {
    ASSERT_TRUE(host().Connect("S0.out", input));
  }
  const int64_t before = m_samples.load();
  ASSERT_TRUE(host().StartComponent(nodes[0].component));
  ASSERT_TRUE(host().StartComponent(nodes[5].component));
  ASSERT_TRUE(host().StartComponent(nodes[6].component));
  EXPECT_TRUE(Eventually([&] { return m_samples.load() > before + 20; }, 15s));
  watchdog.Step("tear down");
}

} // namespace
