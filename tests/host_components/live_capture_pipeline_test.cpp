// Live captures on the engine stand-in, fed by sources of the test instead of network interfaces,
// through the package's multiplexer (linked in, buffer 0) into the recorder: seeded random
// traffic with bursts, idle members and delivery delays within the bound must come out complete,
// in time order and within the latency bound; a source that fails ends only its own capture; a
// stop is never kept waiting by a capture that has nothing to do. The queue that holds packets
// waiting for their turn is checked on its own.
#include "pcap_stream/vant_pcap_data.h"
#include "host/components/vant_live_capture_group.h"
#include "host/components/vant_pcap_capture_file.h"
#include "host/components/vant_pcap_file_recorder.h"
#include "host/components/vant_pcap_live_capture.h"
#include "host/components/vant_pcap_stream_models.h"
#include "host/host.h"
#include "runtime/vant_property.h"
#include "kernel/vant_kernel.h"
#include "package/vant_package_entry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <random>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// ---- A source the test feeds ------------------------------------------------------------------

/// Packets pushed by a thread of the test; its descriptor is an eventfd written at each push.
/// Each packet carries "member/number" so that the output can be checked.
class TestSource final : public VANTLivePacketSource {
public:
  explicit TestSource(std::string name) : m_name(std::move(name)) {
    m_event = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  }
  ~TestSource() override { close(m_event); }

  void Push(int64_t time, const std::string& bytes) {
    {
      std::lock_guard<std::mutex> lock(m_lock);
      m_packets.push_back({time, bytes});
    }
    const uint64_t one = 1;
    (void)!write(m_event, &one, sizeof(one));
  }
  /// From now on the source fails (after what was pushed before).
  void FailFromHere() { Push(-1, {}); }

  const std::string& Name() const override { return m_name; }
  uint32_t LinkType() const override { return 1; }
  uint32_t SnapLength() const override { return 1500; }
  int Descriptor() const override { return m_event; }
  Step Next(VANTCapturePacket& packet) override {
    std::unique_lock<std::mutex> lock(m_lock);
    if (m_packets.empty()) {
      // Reset the descriptor, then look again: a push after the look writes it anew.
      lock.unlock();
      uint64_t count = 0;
      (void)!read(m_event, &count, sizeof(count));
      lock.lock();
      if (m_packets.empty()) {
        return Step::kNone;
      }
    }
    m_current = std::move(m_packets.front());
    m_packets.pop_front();
    if (m_current.time < 0) {
      m_error = m_name + ": the interface went away";
      return Step::kError;
    }
    packet.tsSec = m_current.time / 1000000;
    packet.tsUsec = m_current.time % 1000000;
    packet.inclLen = static_cast<uint32_t>(m_current.bytes.size());
    packet.origLen = packet.inclLen;
    packet.data = reinterpret_cast<const uint8_t*>(m_current.bytes.data());
    return Step::kPacket;
  }
  Drops ReadDrops() override { return {}; }
  const std::string& Error() const override { return m_error; }

private:
  struct Packet {
    int64_t time;
    std::string bytes;
  };
  std::string m_name;
  std::string m_error;
  int m_event = -1;
  std::mutex m_lock;
  std::deque<Packet> m_packets;
  Packet m_current;
};

// ---- Fixture ---------------------------------------------------------------------------------

struct WrittenPacket {
  int64_t time;
  std::string bytes;
};

std::vector<WrittenPacket> ReadAll(const fs::path& path) {
  VANTPcapCaptureReader reader;
  std::vector<WrittenPacket> packets;
  EXPECT_TRUE(reader.Open(path.string())) << reader.Error();
  VANTCapturePacket p;
  while (reader.Next(p) == VANTPcapCaptureReader::Step::kPacket) {
    packets.push_back(
        {p.Timestamp(), std::string(reinterpret_cast<const char*>(p.data), p.inclLen)});
  }
  return packets;
}

class LiveCapturePipelineTest : public testing::Test {
protected:
  static Host& SharedHost() {
    static Host* host = [] {
      auto* made = new Host(); // never deleted: the package keeps the kernel
      EXPECT_EQ(VANTPckInit(made, 0x804A8), 4);
      std::string error;
      EXPECT_TRUE(made->AddModels(&VANTGetModulesDefStruct, &error)) << error;
      EXPECT_TRUE(made->AddModels(&VANT::PcapStreamModels, &error)) << error;
      return made;
    }();
    return *host;
  }

  void SetUp() override {
    SharedHost().Reset();
    m_out = fs::temp_directory_path() /
            ("corvex_live_test_" + std::to_string(getpid()) + "_" +
             testing::UnitTest::GetInstance()->current_test_info()->name() + ".pcap");
  }

  void TearDown() override {
    Host& host = SharedHost();
    for (VANTModule* module : m_made) {
      host.StopComponent(module);
    }
    for (VANTModule* module : m_made) {
      for (VANTInput* input : module->Inputs()) {
        host.DisconnectInput(input);
      }
    }
    for (auto made = m_made.rbegin(); made != m_made.rend(); ++made) {
      host.DestroyComponent(*made);
    }
    m_made.clear();
    host.TakeReports();
    fs::remove(m_out);
  }

  VANTModule* Make(const char* model, const std::string& name) {
    VANTModule* made = SharedHost().CreateComponent(model, name.c_str());
    EXPECT_NE(made, nullptr) << name;
    if (made != nullptr) {
      m_made.push_back(made);
    }
    return made;
  }

  void SetInteger(const std::string& property, int64_t value) {
    VANTProperty* handle = SharedHost().FindProperty(property.c_str());
    ASSERT_NE(handle, nullptr) << property;
    handle->SetInteger(value);
  }

  /// Captures from `sources` through the multiplexer into m_out, as corvex-merge does live.
  void Build(std::vector<std::unique_ptr<TestSource>>& sources, int64_t delay, int32_t batch) {
    Host& host = SharedHost();
    m_group = std::make_unique<VANTLiveCaptureGroup>(sources.size(), delay);
    for (size_t i = 0; i < sources.size(); ++i) {
      auto* capture = dynamic_cast<vant_pcap_live_capture*>(
          Make(VANT::kPcapLiveCaptureModel, "capture_" + std::to_string(i)));
      ASSERT_NE(capture, nullptr);
      capture->Configure(std::move(sources[i]), batch);
      capture->SetGroup(m_group.get(), i);
      m_captures.push_back(capture);
    }
    m_multiplexer = Make("SortingMultiplexer", "multiplexer");
    ASSERT_NE(m_multiplexer, nullptr);
    m_recorder =
        dynamic_cast<vant_pcap_file_recorder*>(Make(VANT::kPcapFileRecorderModel, "recorder"));
    ASSERT_NE(m_recorder, nullptr);
    m_recorder->Configure(m_out.string(), 1, 1500);
    m_recorder->SetFlushEachElement(true);
    m_recorder->SetWriteListener(m_group.get());
    SetInteger("multiplexer.nb_inputs", static_cast<int64_t>(sources.size()));
    SetInteger("multiplexer.buffer_packet_count", 0);
    SetInteger("multiplexer.vector_max_size", batch);
    SetInteger("multiplexer.vector_max_latency", 86400LL * 1000000);
    SetInteger("multiplexer.flush_delay", 0);
    for (size_t i = 0; i < sources.size(); ++i) {
      const std::string from = "capture_" + std::to_string(i);
      ASSERT_TRUE(host.Connect((from + ".output").c_str(),
                               ("multiplexer.input_" + std::to_string(i)).c_str()));
      ASSERT_TRUE(host.Connect((from + ".end_of_file").c_str(),
                               ("multiplexer.iEndOfFile_" + std::to_string(i)).c_str()));
    }
    host.RunDynamic(m_multiplexer);
    ASSERT_TRUE(host.Connect("multiplexer.output", "recorder.input"));
    ASSERT_TRUE(host.Connect("multiplexer.end_of_file", "recorder.end_of_file"));
    ASSERT_TRUE(host.StartComponent(m_recorder));
    for (vant_pcap_live_capture* capture : m_captures) {
      ASSERT_TRUE(host.StartComponent(capture));
    }
    ASSERT_TRUE(host.StartComponent(m_multiplexer));
  }

  /// Ends every capture and waits (bounded) until the recorder has finished the file.
  bool EndAndWait() {
    for (vant_pcap_live_capture* capture : m_captures) {
      capture->EndCapture();
    }
    const auto limit = std::chrono::steady_clock::now() + 60s;
    while (!m_recorder->Finished()) {
      if (std::chrono::steady_clock::now() > limit || m_recorder->Failed()) {
        return false;
      }
      std::this_thread::sleep_for(5ms);
    }
    return true;
  }

  fs::path m_out;
  std::vector<VANTModule*> m_made;
  std::unique_ptr<VANTLiveCaptureGroup> m_group;
  std::vector<vant_pcap_live_capture*> m_captures;
  VANTModule* m_multiplexer = nullptr;
  vant_pcap_file_recorder* m_recorder = nullptr;
};

std::string Tag(size_t member, uint32_t number) {
  std::string bytes = std::to_string(member) + "/" + std::to_string(number) + "/";
  bytes.resize(60, 'x');
  return bytes;
}

TEST_F(LiveCapturePipelineTest, SeededTrafficIsWrittenCompleteInTimeOrderAndWithinTheBound) {
  const uint64_t seed = std::random_device()();
  SCOPED_TRACE(testing::Message() << "seed " << seed);
  std::mt19937_64 random(seed);
  constexpr size_t kMembers = 3;
  constexpr int64_t kDelay = 300000;     // the delivery bound
  constexpr int64_t kMaxLateness = 2000; // the test's packets reach their source within 2 ms
  std::vector<std::unique_ptr<TestSource>> sources;
  std::vector<TestSource*> feeds;
  for (size_t m = 0; m < kMembers; ++m) {
    sources.push_back(std::make_unique<TestSource>("test" + std::to_string(m)));
    feeds.push_back(sources.back().get());
  }
  Build(sources, kDelay, 16);

  // Member 0 sends steadily, member 1 in bursts, member 2 once at the start and then stays idle
  // (its packet must not wait for the end), for about 1.5 s.
  std::vector<uint32_t> sent(kMembers, 0);
  std::vector<int64_t> last(kMembers, 0);
  auto push = [&](size_t m) {
    const int64_t now = VANTLiveCaptureGroup::RealTimeNow();
    const auto lateness = static_cast<int64_t>(random() % static_cast<uint64_t>(kMaxLateness));
    last[m] = std::max(last[m], now - lateness);
    feeds[m]->Push(last[m], Tag(m, sent[m]++));
  };
  push(2);
  const auto end = std::chrono::steady_clock::now() + 1500ms;
  while (std::chrono::steady_clock::now() < end) {
    push(0);
    if (random() % 40 == 0) {
      for (int k = 0, burst = static_cast<int>(random() % 200); k < burst; ++k) {
        push(1);
      }
    }
    std::this_thread::sleep_for(std::chrono::microseconds(500 + random() % 1500));
  }
  ASSERT_TRUE(EndAndWait());

  const std::vector<WrittenPacket> written = ReadAll(m_out);
  std::vector<uint32_t> next(kMembers, 0);
  for (size_t i = 0; i < written.size(); ++i) {
    ASSERT_TRUE(i == 0 || written[i].time >= written[i - 1].time) << "packet " << i;
    const size_t member = std::stoul(written[i].bytes);
    const uint32_t number =
        static_cast<uint32_t>(std::stoul(written[i].bytes.substr(written[i].bytes.find('/') + 1)));
    ASSERT_LT(member, kMembers);
    ASSERT_EQ(number, next[member]++) << "member " << member << " lost or repeated a packet";
  }
  EXPECT_EQ(next, sent);
  for (size_t m = 0; m < kMembers; ++m) {
    SCOPED_TRACE(testing::Message() << "member " << m);
    EXPECT_EQ(m_captures[m]->PacketsLate(), 0u);
    const VANTLiveCaptureGroup::Written of = m_group->WrittenOf(m);
    EXPECT_EQ(of.packets, sent[m]);
    // The bound, with room for a loaded machine (sanitizers); a packet held up to the end
    // would take about 1.5 s.
    EXPECT_LE(of.latency.Max(), kDelay + 700000);
  }
}

TEST_F(LiveCapturePipelineTest, AFailingSourceEndsOnlyItsOwnCapture) {
  std::vector<std::unique_ptr<TestSource>> sources;
  sources.push_back(std::make_unique<TestSource>("steady"));
  sources.push_back(std::make_unique<TestSource>("failing"));
  TestSource* steady = sources[0].get();
  TestSource* failing = sources[1].get();
  Build(sources, 50000, 8);
  uint32_t count = 0;
  for (uint32_t k = 0; k < 5; ++k) {
    failing->Push(VANTLiveCaptureGroup::RealTimeNow(), Tag(1, k));
  }
  failing->FailFromHere();
  for (; count < 40; ++count) {
    steady->Push(VANTLiveCaptureGroup::RealTimeNow(), Tag(0, count));
    std::this_thread::sleep_for(2ms);
  }
  // The failed capture has ended by itself, and its packets are written.
  const auto limit = std::chrono::steady_clock::now() + 30s;
  while (!m_captures[1]->Finished() && std::chrono::steady_clock::now() < limit) {
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_TRUE(m_captures[1]->Finished());
  EXPECT_FALSE(m_captures[1]->Failed());
  ASSERT_TRUE(EndAndWait());
  EXPECT_EQ(ReadAll(m_out).size(), 45u);
  bool warned = false;
  for (const HostReport& report : SharedHost().TakeReports()) {
    warned =
        warned || report.text.find("failing: the interface went away; its capture ends here") !=
                      std::string::npos;
  }
  EXPECT_TRUE(warned);
}

TEST_F(LiveCapturePipelineTest, AStopIsNotKeptWaitingByAnIdleCapture) {
  std::vector<std::unique_ptr<TestSource>> sources;
  sources.push_back(std::make_unique<TestSource>("quiet"));
  Build(sources, 100000, 8);
  std::this_thread::sleep_for(50ms); // the capture now waits in its poll
  const auto begin = std::chrono::steady_clock::now();
  SharedHost().StopComponent(m_captures[0]);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 2s) << "the stop waited for the capture";
  EXPECT_NE(m_captures[0]->State() & VANTModule::kDead, 0u);
}

TEST(LivePacketQueueTest, KeepsOrderAndBytesAcrossGrowthAndCompactionAndRespectsItsLimit) {
  VANTLivePacketQueue queue(size_t{1} << 20);
  std::mt19937 random(3);
  std::deque<std::string> expected;
  uint32_t pushed = 0;
  for (int round = 0; round < 20000; ++round) {
    if (random() % 3 != 0) {
      std::string bytes = std::to_string(pushed++);
      bytes.resize(random() % 1600, '.');
      VANTCapturePacket packet;
      packet.tsSec = pushed;
      packet.tsUsec = 5;
      packet.inclLen = static_cast<uint32_t>(bytes.size());
      packet.origLen = packet.inclLen + 1;
      packet.data = reinterpret_cast<const uint8_t*>(bytes.data());
      if (queue.Push(packet)) {
        expected.push_back(bytes);
      }
    } else if (!queue.Empty()) {
      const VANTLivePacketQueue::Entry front = queue.Front();
      ASSERT_EQ(front.inclLen, expected.front().size());
      ASSERT_EQ(front.origLen, front.inclLen + 1);
      ASSERT_EQ(front.time, front.tsSec * 1000000 + 5);
      ASSERT_EQ(std::string(reinterpret_cast<const char*>(queue.FrontData()), front.inclLen),
                expected.front());
      queue.Pop();
      expected.pop_front();
    }
    ASSERT_EQ(queue.Size(), expected.size());
  }
  EXPECT_LT(expected.size(), static_cast<size_t>(pushed)) << "the limit was never reached";
  // Emptied, it starts over; full, a packet that does not fit is refused and nothing queued is
  // lost.
  while (!queue.Empty()) {
    queue.Pop();
    expected.pop_front();
  }
  const std::string big(600000, 'b');
  VANTCapturePacket packet;
  packet.inclLen = static_cast<uint32_t>(big.size());
  packet.data = reinterpret_cast<const uint8_t*>(big.data());
  EXPECT_TRUE(queue.Push(packet));
  EXPECT_FALSE(queue.Push(packet));
  EXPECT_EQ(queue.Size(), 1u);
  EXPECT_EQ(queue.Front().inclLen, big.size());
}

} // namespace
