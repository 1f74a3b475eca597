// Live changes of the graph while data flows: detaching, removing and destroying outputs,
// stopping and resizing writers whose samples readers still hold, failed starts, sequential
// readers of every kind and their faults. Each test names what used to go wrong; the ones that
// used to hang run under a watchdog.

#include "flow_fixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace FlowTesting;

constexpr auto kHang = 20s; // far beyond what any step here takes, even under the sanitizers

// A threaded reader that keeps the window of its last three samples (all held), copies their
// values when it first has them, and then holds them until the test lets it check them again.
struct Holding {
  std::atomic<int> phase{0}; // 1: window held and copied; 2: checked; then reads on
  std::atomic<bool> intact{true};
  std::atomic<int64_t> newest{0};
  VANTEvent check;

  FlowComponent::Script Script() {
    return [this](FlowComponent& self) {
      VANTIOElt* window[3] = {};
      if (!self.NLastStartReading(self.Input("in"), 3, window)) {
        return;
      }
      newest = window[2]->Timestamp();
      if (phase.load() != 0) {
        return;
      }
      int64_t copies[3][8];
      for (int k = 0; k < 3; ++k) {
        std::memcpy(copies[k], window[k]->Data(), sizeof(copies[k]));
      }
      phase = 1;
      self.Wait4Event(&check, -1);
      for (int k = 0; k < 3; ++k) {
        if (std::memcmp(copies[k], window[k]->Data(), sizeof(copies[k])) != 0 ||
            window[k]->VectorSize() != 8) {
          intact = false;
        }
      }
      phase = 2;
    };
  }
};

class LiveChangeTest : public FlowTest {};

// A sequential reader's step runs on its writer's thread; detaching its input while the writer
// publishes used to deadlock the writer and the engine (the step slept for the end of the detach
// under the lock the detach needed).
TEST_F(LiveChangeTest, DetachingASequentialReaderFromABusyWriterNeverDeadlocks) {
  FlowComponent* writer = Make("FlowWriter", "W");
  FlowComponent* reader = Make("FlowSequentialReader", "S");
  std::atomic<int64_t> written{0};
  writer->onCycle = WriteSequence(1 << 30, &written);
  std::atomic<int64_t> reads{0};
  reader->onCycle = [&](FlowComponent& self) {
    if (self.StartReading(self.Input("in")) != nullptr) {
      ++reads;
    }
  };
  ASSERT_TRUE(host().Connect("W.out", "S.in"));
  ASSERT_TRUE(host().StartComponent(reader));
  ASSERT_TRUE(host().StartComponent(writer));
  Watchdog watchdog(kHang, "detaching a sequential reader from a busy writer");
  for (int round = 0; round < 40; ++round) {
    const int64_t before = reads.load();
    ASSERT_TRUE(Eventually([&] { return reads.load() > before; })) << "round " << round;
    host().DisconnectInput(reader->Input("in"));
    ASSERT_TRUE(host().Connect("W.out", "S.in"));
  }
  const int64_t before = written.load();
  EXPECT_TRUE(Eventually([&] { return written.load() > before + 100; }));
  EXPECT_EQ(writer->State() & VANTModule::kError, 0u);
  EXPECT_EQ(reader->State() & VANTModule::kError, 0u);
  StopAll();
}

// Removing an output or destroying its component while a reader waits on it used to free the
// FIFO under the reader (a crash when the reader stopped). The reader is disconnected first,
// wakes, and waits for a new connection like any unconnected input.
TEST_F(LiveChangeTest, RemovingAnOutputLetsItsWaitingReaderWaitForANewConnection) {
  for (const bool destroyComponent : {false, true}) {
    SCOPED_TRACE(destroyComponent ? "component destroyed" : "output removed");
    FlowComponent* gone = Make("FlowWriter", "Gone");
    FlowComponent* other = Make("FlowWriter", "Other");
    FlowComponent* reader = Make("FlowReader", "R");
    std::atomic<int> waiting{0};
    std::atomic<int64_t> got{0};
    reader->onCycle = [&](FlowComponent& self) {
      ++waiting;
      got = self.StartReading(self.Input("in"))->Timestamp();
    };
    ASSERT_TRUE(host().Connect("Gone.out", "R.in"));
    ASSERT_TRUE(host().StartComponent(reader));
    ASSERT_TRUE(Eventually([&] { return waiting.load() == 1; }));
    std::this_thread::sleep_for(10ms); // the reader sleeps on the FIFO by now
    if (destroyComponent) {
      Destroy(gone);
    } else {
      gone->RemoveOutput(gone->Output("out"));
    }
    EXPECT_FALSE(reader->Input("in")->IsConnected());
    std::atomic<int64_t> written{0};
    other->onCycle = WriteSequence(1, &written);
    ASSERT_TRUE(host().Connect("Other.out", "R.in"));
    ASSERT_TRUE(host().StartComponent(other));
    EXPECT_TRUE(Eventually([&] { return got.load() == 1; }));
    EXPECT_EQ(reader->State() & VANTModule::kError, 0u);
    TearDown();
    host().TakeReports();
  }
}

// Stopping a writer whose reader holds a window of its samples used to wait 2 s and then free
// the samples' memory under the reader; the next run wrote into it. Now the stop returns at once
// and the held samples stay intact until the reader lets them go, through a restart of the
// writer and, in the second case, a new FIFO size.
TEST_F(LiveChangeTest, HeldSamplesOutliveTheirWritersStopRestartAndResize) {
  for (const bool resize : {false, true}) {
    SCOPED_TRACE(resize ? "FIFO resized while stopped" : "writer restarted");
    FlowComponent* writer = Make("FlowWriter", "W");
    FlowComponent* reader = Make("FlowReader", "R");
    SetInteger("R.in.readerType", VANT::NeverSkippingReader);
    ASSERT_TRUE(host().Connect("W.out", "R.in"));
    Holding holding;
    reader->onCycle = holding.Script();
    std::atomic<int64_t> written{0};
    writer->onCycle = WriteSequence(5, &written);
    ASSERT_TRUE(host().StartComponent(reader));
    ASSERT_TRUE(host().StartComponent(writer));
    ASSERT_TRUE(Eventually([&] { return holding.phase.load() == 1; }));

    const auto begin = std::chrono::steady_clock::now();
    host().StopComponent(writer);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 1s) << "the stop waited for the reader";
    if (resize) {
      SetInteger("W.out.fifosize", 7);
      EXPECT_EQ(static_cast<VANTOutputImplementation*>(writer->Output("out"))->Fifo().ItemCount(),
                7);
    }
    writer->onCycle = WriteSequence(40, &written); // a second run: other values, same size
    ASSERT_TRUE(host().StartComponent(writer));
    ASSERT_TRUE(Eventually([&] { return written.load() >= 8; }));
    holding.check.Set();
    ASSERT_TRUE(Eventually([&] { return holding.phase.load() == 2; }));
    EXPECT_TRUE(holding.intact.load()) << "a held sample was overwritten";
    EXPECT_TRUE(Eventually([&] { return holding.newest.load() == 40; }))
        << "the reader does not follow the new run";
    EXPECT_FALSE(Reported("Stop reading without starting"));
    EXPECT_EQ(reader->State() & VANTModule::kError, 0u);
    TearDown();
    host().TakeReports();
  }
}

// Detaching a reader that holds a sample while its component is busy used to wait 2 s, then take
// the sample back (the writer overwrote it) and clear the reader's list of held items from the
// engine's thread while the reader used it.
TEST_F(LiveChangeTest, DetachingABusyReaderNeitherWaitsNorTakesItsSampleBack) {
  FlowComponent* writer = Make("FlowWriter", "W");
  FlowComponent* reader = Make("FlowReader", "R");
  ASSERT_TRUE(host().Connect("W.out", "R.in"));
  std::atomic<int64_t> written{0};
  writer->onCycle = WriteSequence(1 << 30, &written);
  VANTEvent check;
  std::atomic<int> phase{0};
  std::atomic<bool> intact{true};
  std::atomic<int64_t> readsAfter{0};
  reader->onCycle = [&](FlowComponent& self) {
    VANTIOElt* element = self.StartReading(self.Input("in"));
    if (phase.load() != 0) {
      ++readsAfter;
      return;
    }
    int64_t copy[8];
    std::memcpy(copy, element->Data(), sizeof(copy));
    const int64_t stamp = element->Timestamp();
    phase = 1;
    self.Wait4Event(&check, -1); // busy with its sample
    intact = std::memcmp(copy, element->Data(), sizeof(copy)) == 0 && element->Timestamp() == stamp;
    self.StopReading(self.Input("in"));
    phase = 2;
  };
  ASSERT_TRUE(host().StartComponent(reader));
  ASSERT_TRUE(host().StartComponent(writer));
  ASSERT_TRUE(Eventually([&] { return phase.load() == 1; }));
  const auto begin = std::chrono::steady_clock::now();
  host().DisconnectInput(reader->Input("in"));
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 1s) << "the detach waited for the reader";
  const int64_t before = written.load();
  ASSERT_TRUE(Eventually([&] { return written.load() > before + 64; })); // the FIFO wrapped
  check.Set();
  ASSERT_TRUE(Eventually([&] { return phase.load() == 2; }));
  EXPECT_TRUE(intact.load()) << "the held sample was written over";
  ASSERT_TRUE(host().Connect("W.out", "R.in"));
  EXPECT_TRUE(Eventually([&] { return readsAfter.load() > 10; }));
  EXPECT_FALSE(Reported("Stop reading without starting"));
  EXPECT_EQ(reader->State() & VANTModule::kError, 0u);
  StopAll();
}

// Sequential readers of the reader types that see the newest sample used to make their writer
// loop forever (data stays available to them); input subsampling is not theirs. A sequential
// reader whose Cycle takes nothing used to loop forever as well. Each publication now gives one
// pass.
TEST_F(LiveChangeTest, SequentialReadersRunOnePassPerPublication) {
  struct Case {
    const char* model;
    int64_t subsampling;
    bool reads;
    std::vector<int64_t> seen; // timestamps read, in order
  };
  const std::vector<Case> cases = {
      {"FlowSequentialSampler", 1, true, {1, 2, 3, 4, 5}},
      {"FlowSequentialSampler", 3, true, {1, 2, 3, 4, 5}},
      {"FlowSequentialWaiter", 1, true, {1, 2, 3, 4, 5}},
      {"FlowSequentialReader", 1, false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.model) + " subsampling " + std::to_string(c.subsampling));
    FlowComponent* writer = Make("FlowWriter", "W");
    FlowComponent* reader = Make(c.model, "S");
    SetInteger("S.in.subsampling", c.subsampling);
    ASSERT_TRUE(host().Connect("W.out", "S.in"));
    std::vector<int64_t> seen; // written on the writer's thread only
    reader->onCycle = [&](FlowComponent& self) {
      if (c.reads) {
        seen.push_back(self.StartReading(self.Input("in"))->Timestamp());
      }
    };
    std::atomic<int64_t> written{0};
    writer->onCycle = WriteSequence(5, &written);
    ASSERT_TRUE(host().StartComponent(reader));
    {
      Watchdog watchdog(kHang, std::string("the writer of a sequential ") + c.model);
      ASSERT_TRUE(host().StartComponent(writer));
      ASSERT_TRUE(Eventually([&] { return written.load() == 5; }, kHang + 5s));
    }
    host().StopComponent(writer);
    EXPECT_EQ(seen, c.seen);
    if (!c.reads) {
      EXPECT_GE(reader->cycles.load(), 1);
      EXPECT_LE(reader->cycles.load(), 5);
    }
    TearDown();
  }
}

// A sequential reader that fails with anything but its own error used to throw into its writer's
// StopWriting and kill the writer. The reader goes into error and dies; the writer goes on.
TEST_F(LiveChangeTest, AFailingSequentialReaderLeavesItsWriterRunning) {
  struct Case {
    int thrown;
    const char* report;
  };
  const Case cases[] = {
      {7, "component S : Fatal error : Unhandled integer exception thrown: 7 Trying to catch up "
          "but the component might crash later."},
      {VANT::TimeoutException, "Component S : Time out (deadlock?) on an input"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.thrown);
    FlowComponent* writer = Make("FlowWriter", "W");
    FlowComponent* reader = Make("FlowSequentialReader", "S");
    ASSERT_TRUE(host().Connect("W.out", "S.in"));
    reader->onCycle = [&](FlowComponent& self) {
      self.StartReading(self.Input("in"));
      throw c.thrown;
    };
    std::atomic<int64_t> written{0};
    writer->onCycle = WriteSequence(50, &written);
    ASSERT_TRUE(host().StartComponent(reader));
    ASSERT_TRUE(host().StartComponent(writer));
    EXPECT_TRUE(Eventually([&] { return written.load() == 50; }));
    EXPECT_EQ(writer->State() & (VANTModule::kError | VANTModule::kDead), 0u);
    EXPECT_TRUE(Eventually([&] { return (reader->State() & VANTModule::kDead) != 0; }));
    EXPECT_NE(reader->State() & VANTModule::kError, 0u);
    EXPECT_EQ(reader->cycles.load(), 1);
    EXPECT_TRUE(Reported(c.report));
    TearDown();
    host().TakeReports();
  }
}

// A start that failed on its second output used to leave the first one allocated and the second
// one marked allocated: every later start failed with "Output buffer already initialized".
TEST_F(LiveChangeTest, AFailedStartReleasesItsOutputsAndCanBeRetried) {
  FlowComponent* writer = Make("FlowTwoWriter", "W");
  FailNextAllocationOf(3000); // the data block of output b: 1000 bytes x 3 elements
  EXPECT_FALSE(host().StartComponent(writer));
  EXPECT_TRUE(Reported("Failed to allocate [buffer_size:1000 x fifo_size:3 = 3000] bytes for "
                       "output [W.b] due to: std::bad_alloc"));
  for (const char* name : {"a", "b"}) {
    auto* output = static_cast<VANTOutputImplementation*>(writer->Output(name));
    EXPECT_EQ(output->BufferSize(), 0) << name;
    EXPECT_EQ(output->BytesPerSample(), 0) << name;
  }
  host().TakeReports();
  EXPECT_TRUE(host().StartComponent(writer));
  EXPECT_FALSE(Reported("Output buffer already initialized"));
}

// A component that allocates its output itself when it finds it unallocated (as the multiplexer
// does for elements of any type) used to find it still sized after a stop: the next run wrote
// into no buffer ("Buffer overflow detected").
TEST_F(LiveChangeTest, AStoppedOutputIsUnallocatedForTheNextRun) {
  FlowComponent* writer = Make("FlowLateWriter", "W");
  FlowComponent* reader = Make("FlowReader", "R");
  ASSERT_TRUE(host().Connect("W.out", "R.in"));
  writer->onBirth = [](FlowComponent& self) {
    if (self.Output("out")->BytesPerSample() == 0) {
      self.Output("out")->AllocOutputBuffer(4, 1);
    }
  };
  std::atomic<int> writes{0};
  writer->onCycle = [&](FlowComponent& self) {
    if (writes.load() > 0) {
      self.Wait4Event(&self.never, -1);
    }
    VANTIOElt* element = self.StartWriting(self.Output("out"), 10 + writes.load());
    element->VectorSize() = 4;
    element->Integer64(3) = 77;
    self.StopWriting(element);
    ++writes;
  };
  std::atomic<int64_t> got{0};
  reader->onCycle = [&](FlowComponent& self) {
    got = self.StartReading(self.Input("in"))->Integer64(3);
  };
  ASSERT_TRUE(host().StartComponent(reader));
  for (int run = 0; run < 2; ++run) {
    got = 0;
    writes = 0;
    ASSERT_TRUE(host().StartComponent(writer)) << "run " << run;
    EXPECT_TRUE(Eventually([&] { return got.load() == 77; })) << "run " << run;
    host().StopComponent(writer);
    EXPECT_EQ(writer->Output("out")->BytesPerSample(), 0);
  }
  EXPECT_FALSE(Reported("Buffer overflow detected"));
}

// ".readerType" takes 0 to 4 only: -1 used to be stored as 4294967295 and then refused every
// switch.
TEST_F(LiveChangeTest, AReaderTypeOutsideZeroToFourIsRefused) {
  FlowComponent* reader = Make("FlowReader", "R");
  auto* input = static_cast<VANTInputImplementation*>(reader->Input("in"));
  for (const int64_t wrong : {int64_t{-1}, int64_t{5}}) {
    SetInteger("R.in.readerType", wrong);
    EXPECT_EQ(host().FindProperty("R.in.readerType")->Integer(), VANT::FifoReader);
    EXPECT_EQ(input->ReaderType(), static_cast<uint32_t>(VANT::FifoReader));
    EXPECT_TRUE(Reported("Bad parameter: The reader type of the input R.in must be 0 to 4, not " +
                         std::to_string(wrong) + "."));
  }
  SetInteger("R.in.readerType", VANT::LastOrNextReader);
  EXPECT_EQ(input->ReaderType(), static_cast<uint32_t>(VANT::LastOrNextReader));
}

// The multi-input MsgStartReading has its own limit of 255 wait objects; it used to be held to
// StartReading's 64. The "is too big" message of a matrix names the size asked for.
TEST_F(LiveChangeTest, MessageReadLimitAndTheMatrixSizeInItsMessage) {
  FlowComponent* reader = Make("FlowTwoReader", "R");
  VANTEvent extra(true, nullptr);
  extra.Set();
  std::atomic<int> index{-1};
  std::atomic<int> thrown{0};
  reader->onCycle = [&](FlowComponent& self) {
    if (index.load() >= 0 || thrown.load() != 0) {
      self.Wait4Event(&self.never, -1);
      return;
    }
    std::vector<VANTInput*> inputs(32, self.Input("a")); // 1 + 64 + 1 wait objects
    VANTEvent* events[1] = {&extra};
    int32_t at = -1;
    try {
      EXPECT_EQ(self.MsgStartReading(32, inputs.data(), &at, 1, events), nullptr);
      index = at;
    } catch (int error) {
      thrown = error;
    }
  };
  ASSERT_TRUE(host().StartComponent(reader));
  ASSERT_TRUE(Eventually([&] { return index.load() >= 0 || thrown.load() != 0; }));
  EXPECT_EQ(thrown.load(), 0);
  EXPECT_EQ(index.load(), 32);

  FlowComponent* writer = Make("FlowScalarWriter", "M");
  try {
    writer->Output("out")->AllocOutputBufferMatrix(100000, 100000);
    ADD_FAILURE() << "a matrix of 10^10 cells must be refused";
  } catch (int error) {
    EXPECT_EQ(error, VANT::ErrorException);
  }
  EXPECT_TRUE(Reported("Requested buffer size [160000000040] is too big"));
  EXPECT_EQ(writer->Output("out")->BytesPerSample(), 0);
}

// A downstream component looks at its source's type (at its Dynamic and Birth) while the
// source's component may retype the output, or the output goes. The type's names are owned
// strings that a retype frees: looking through SourceType() from another thread read freed
// memory. A copy is whole and of one moment, and an output that went gives none.
TEST_F(LiveChangeTest, AnOutputsTypeIsCopiedWholeWhileItIsRetypedOrGoes) {
  FlowComponent* writer = Make("FlowWriter", "W");
  FlowComponent* reader = Make("FlowReader", "R");
  ASSERT_TRUE(host().Connect("W.out", "R.in"));
  VANTOutput* output = writer->Output("out");
  VANTInput* input = reader->Input("in");
  VANTDataType initial;
  ASSERT_TRUE(input->CopySourceType(&initial));
  const std::string names[3] = {"a_first_rather_long_structure_name", "second",
                                initial.name1 != nullptr ? initial.name1 : ""};
  // Each part is set on its own, so a copy may hold parts of two rounds; each part is whole.
  auto whole = [&names](const char* name) {
    return name == nullptr || names[0] == name || names[1] == name || names[2] == name;
  };
  std::atomic<int> torn{0};
  std::atomic<int> copies{0};
  std::thread looking([&] {
    VANTDataType type;
    while (input->CopySourceType(&type)) {
      if (!whole(type.name1) || !whole(type.name2) ||
          (type.flags != 1 && type.flags != 2 && type.flags != initial.flags)) {
        ++torn;
      }
      ++copies;
    }
  });
  for (int i = 0; i < 20000 || copies.load() < 1000; ++i) {
    const std::string& name = names[i & 1];
    output->SetStructureName(name.c_str());
    output->SetName2(name.c_str());
    output->SetTypeFlags(static_cast<uint64_t>((i & 1) + 1));
  }
  writer->RemoveOutput(output);
  Watchdog watchdog(kHang, "copying the type of an output that went");
  looking.join(); // ends when the output went
  EXPECT_EQ(torn.load(), 0) << "of " << copies.load() << " copies";
  VANTDataType after;
  EXPECT_FALSE(input->CopySourceType(&after)) << "an unconnected input gives no type";
}

} // namespace
