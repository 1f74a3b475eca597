// The file player and the file recorder on the engine stand-in, without the multiplexer: what the
// player puts into its elements (layout, batching, lengths, the end-of-file event), what the
// recorder makes of them, and how both fail.
#include "dataflow/vant_input.h"
#include "dataflow/vant_io_elt.h"
#include "dataflow/vant_output.h"
#include "host/components/vant_pcap_capture_file.h"
#include "host/components/vant_pcap_file_player.h"
#include "host/components/vant_pcap_file_recorder.h"
#include "host/components/vant_pcap_stream_models.h"
#include "host/host.h"
#include "package/vant_module_management.h"
#include "pcap_stream/vant_pcap_data.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

const fs::path kCaptures = fs::path(CORVEX_SOURCE_DIR) / "data" / "captures";

struct Packet {
  int64_t sec, usec;
  uint32_t incl, orig;
  std::vector<uint8_t> bytes;
  bool operator==(const Packet&) const = default;
};

std::vector<Packet> ReadAll(const fs::path& path) {
  VANTPcapCaptureReader reader;
  std::vector<Packet> packets;
  EXPECT_TRUE(reader.Open(path.string())) << reader.Error();
  VANTCapturePacket p;
  while (reader.Next(p) == VANTPcapCaptureReader::Step::kPacket) {
    packets.push_back({p.tsSec, p.tsUsec, p.inclLen, p.origLen,
                       std::vector<uint8_t>(p.data, p.data + p.inclLen)});
  }
  return packets;
}

// ---- A probe: keeps a copy of every element the player publishes ------------------------------

struct SeenElement {
  uint32_t linkType = 0;
  uint16_t packetCount = 0;
  uint16_t headerSize = 0;
  int32_t vectorSize = 0;
  bool offsetsMatch = true; // packetOffsets[k] is where the reader found packet k
  std::vector<Packet> packets;
};

class PcapProbe : public VANTComponent {
public:
  PcapProbe(const char* name, VANTComponentModelDefinition* record) : VANTComponent(name, record) {}

  void Cycle() override {
    if (done) {
      Wait4Event(&never, -1);
      return;
    }
    VANTInput* inputs[2] = {Input("input"), Input("end_of_file")};
    int32_t index = -1;
    VANTIOElt* element = StartReading(2, inputs, &index);
    if (element == nullptr) {
      return;
    }
    std::lock_guard<std::mutex> lock(mutex);
    if (index == 1) {
      endOfFileValue = element->Integer64(0);
      endOfFileTimestamp = element->Timestamp();
      dataAfterEnd = inputs[0]->DataAvailable();
      StopReading(inputs[0]);
      StopReading(inputs[1]);
      done = true;
      return;
    }
    VANTpcap_data_t header;
    std::memcpy(&header, element->Data(), sizeof(header));
    SeenElement seen;
    seen.linkType = header.linkType;
    seen.packetCount = header.packetCount;
    seen.headerSize = header.headerSize;
    seen.vectorSize = element->VectorSize();
    uint32_t k = 0;
    VANT::ForEachPcapPacket(
        header,
        [&](const uint8_t* at, const uint8_t* data, uint32_t inclLen) {
          const VANTPcapPacketHeader packet = VANT::LoadPcapHeader(at);
          uint64_t offset = 0;
          std::memcpy(&offset, reinterpret_cast<const uint8_t*>(header.packetOffsets) + 8 * k,
                      sizeof(offset));
          seen.offsetsMatch = seen.offsetsMatch && offset == uint64_t(at - header.data);
          seen.packets.push_back({int64_t(packet.tsSec), int64_t(packet.tsUsec), inclLen,
                                  packet.len2, std::vector<uint8_t>(data, data + inclLen)});
          ++k;
        },
        [&](const char*) { seen.offsetsMatch = false; });
    elements.push_back(std::move(seen));
  }

  std::mutex mutex;
  std::vector<SeenElement> elements;
  int64_t endOfFileValue = 0;
  int64_t endOfFileTimestamp = 0;
  bool dataAfterEnd = false;
  std::atomic<bool> done{false};
  VANTEvent never;
};

// Reads one element, holds it until told, then checks that its packets are still those it saw.
class PcapHolder : public VANTComponent {
public:
  PcapHolder(const char* name, VANTComponentModelDefinition* record)
      : VANTComponent(name, record) {}

  void Cycle() override {
    if (state.load() != 0) {
      Wait4Event(&never, -1);
      return;
    }
    VANTIOElt* element = StartReading(Input("input"));
    if (element == nullptr) {
      return;
    }
    const std::vector<uint8_t> first = Bytes(*element);
    state = 1;
    Wait4Event(&check, -1);
    intact = !first.empty() && Bytes(*element) == first;
    StopReading(Input("input"));
    state = 2;
  }

  static std::vector<uint8_t> Bytes(VANTIOElt& element) {
    std::vector<uint8_t> bytes;
    VANT::ForEachPcapPacket(
        VANT::LoadPcapElement(element.Data()),
        [&](const uint8_t*, const uint8_t* data, uint32_t inclLen) {
          bytes.insert(bytes.end(), data, data + inclLen);
        },
        [](const char*) {});
    return bytes;
  }

  std::atomic<int> state{0}; // 1: holding, 2: checked and let go
  std::atomic<bool> intact{false};
  VANTEvent check;
  VANTEvent never;
};

VANTModule* MakeProbe(const char* name, VANTComponentModelDefinition* record) {
  if (std::strcmp(record->modelName, "TestPcapHolder") == 0) {
    return new PcapHolder(name, record);
  }
  return new PcapProbe(name, record);
}

VANTInputDefinition g_probeInputs[] = {
    {"input", 0, 0, &VANT::PcapStreamFilter(), VANT::NeverSkippingReader, 1},
    {"end_of_file", 0, 0, &VANT::Filter::Integer64, VANT::NeverSkippingReader, 1},
    {nullptr, 0, 0, nullptr, 0, 0},
};

VANTComponentModelDefinition ProbeRecord(const char* model) {
  VANTComponentModelDefinition record{};
  record.modelName = model;
  record.version = "1.0.0";
  record.factory = &MakeProbe;
  record.destructionStamp = 1;
  record.inputCount = record.outputCount = VANT::kUncountedEntries;
  record.propertyCount = record.actionCount = VANT::kUncountedEntries;
  record.inputs = g_probeInputs;
  record.priority = 128;
  record.threadingModels = VANT::kThreadedModel;
  record.threadedByDefault = 1;
  return record;
}

VANTComponentModelDefinition g_probeRecords[2] = {ProbeRecord("TestPcapProbe"),
                                                  ProbeRecord("TestPcapHolder")};

int32_t ProbeModels(const char* groupName, void** out, int32_t maxCount) {
  if (groupName != nullptr) {
    return out == nullptr ? -1 : 0;
  }
  if (out == nullptr) {
    return 2;
  }
  const int32_t count = std::min(maxCount, 2);
  for (int32_t k = 0; k < count; ++k) {
    out[k] = &g_probeRecords[k];
  }
  return count;
}

// ---- Fixture ---------------------------------------------------------------------------------

class PcapStreamTest : public testing::Test {
protected:
  static Host& SharedHost() {
    static Host* host = [] {
      auto* made = new Host(); // never deleted: the runtime keeps the kernel
      EXPECT_EQ(VANTModuleRegistry::Initialise(made, VANTModuleRegistry::kInterfaceVersion),
                VANTModuleRegistry::kInterfaceLevel);
      std::string error;
      EXPECT_TRUE(made->AddModels(&VANT::PcapStreamModels, &error)) << error;
      EXPECT_TRUE(made->AddModels(&ProbeModels, &error)) << error;
      return made;
    }();
    return *host;
  }

  void SetUp() override {
    m_dir = fs::temp_directory_path() / ("corvex_stream_test_" + std::to_string(getpid()));
    fs::create_directories(m_dir);
  }

  void TearDown() override {
    for (VANTModule* module : m_made) {
      host().StopComponent(module);
    }
    for (VANTModule* module : m_made) {
      for (VANTInput* input : module->Inputs()) {
        host().DisconnectInput(input);
      }
    }
    for (auto made = m_made.rbegin(); made != m_made.rend(); ++made) {
      host().DestroyComponent(*made);
    }
    m_made.clear();
    host().TakeReports();
    fs::remove_all(m_dir);
  }

  Host& host() { return SharedHost(); }

  template <typename Component>
  Component* Make(const char* model, const char* name) {
    auto* made = dynamic_cast<Component*>(host().CreateComponent(model, name));
    EXPECT_NE(made, nullptr) << name;
    if (made != nullptr) {
      m_made.push_back(made);
    }
    return made;
  }

  vant_pcap_file_player* Player(const fs::path& file, int32_t batch) {
    auto* player = Make<vant_pcap_file_player>(VANT::kPcapFilePlayerModel, "player");
    player->Configure(file.string(), batch);
    return player;
  }

  void Wire(const char* from, const char* to) {
    ASSERT_TRUE(host().Connect((std::string(from) + ".output").c_str(),
                               (std::string(to) + ".input").c_str()));
    ASSERT_TRUE(host().Connect((std::string(from) + ".end_of_file").c_str(),
                               (std::string(to) + ".end_of_file").c_str()));
  }

  /// Waits (real time, bounded) until done() holds.
  template <typename Done>
  bool WaitFor(Done done, std::chrono::seconds limit = std::chrono::seconds(30)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) {
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
  }

  /// Plays `file` into the probe with this batch size until the end-of-file event.
  PcapProbe* Probe(const fs::path& file, int32_t batch) {
    vant_pcap_file_player* player = Player(file, batch);
    auto* probe = Make<PcapProbe>("TestPcapProbe", "probe");
    Wire("player", "probe");
    EXPECT_TRUE(host().StartComponent(probe));
    EXPECT_TRUE(host().StartComponent(player));
    EXPECT_TRUE(WaitFor([&] { return probe->done.load() || player->Failed(); }));
    EXPECT_FALSE(player->Failed()) << player->FailureText();
    return probe;
  }

  /// Plays `file` through the recorder into `out`; true when the recorder finished.
  bool Record(const fs::path& file, const fs::path& out, int32_t batch, uint32_t linkType = 1) {
    vant_pcap_file_player* player = Player(file, batch);
    auto* recorder = Make<vant_pcap_file_recorder>(VANT::kPcapFileRecorderModel, "recorder");
    recorder->Configure(out.string(), linkType);
    Wire("player", "recorder");
    EXPECT_TRUE(host().StartComponent(recorder));
    EXPECT_TRUE(host().StartComponent(player));
    EXPECT_TRUE(
        WaitFor([&] { return recorder->Finished() || recorder->Failed() || player->Failed(); }));
    m_recorder = recorder;
    m_player = player;
    return recorder->Finished();
  }

  fs::path m_dir;
  std::vector<VANTModule*> m_made;
  vant_pcap_file_recorder* m_recorder = nullptr;
  vant_pcap_file_player* m_player = nullptr;
};

// ---- The player's elements ---------------------------------------------------------------------

class PlayerBatchTest : public PcapStreamTest, public testing::WithParamInterface<int32_t> {};

TEST_P(PlayerBatchTest, ElementsCarryEveryPacketInOrderWithinTheBatchSize) {
  const int32_t batch = GetParam();
  // cap_tcpchat was captured with a 128-byte snapshot: original lengths exceed captured ones.
  const fs::path file = kCaptures / "cap_tcpchat.pcap";
  const std::vector<Packet> expected = ReadAll(file);
  PcapProbe* probe = Probe(file, batch);
  ASSERT_TRUE(probe->done);

  std::lock_guard<std::mutex> lock(probe->mutex);
  std::vector<Packet> seen;
  for (const SeenElement& element : probe->elements) {
    EXPECT_EQ(element.linkType, 1u);
    EXPECT_EQ(element.headerSize, VANT::kPcapHeaderSize);
    EXPECT_EQ(element.vectorSize, 49);
    EXPECT_GE(element.packetCount, 1);
    EXPECT_LE(element.packetCount, batch);
    EXPECT_EQ(element.packets.size(), element.packetCount);
    EXPECT_TRUE(element.offsetsMatch);
    seen.insert(seen.end(), element.packets.begin(), element.packets.end());
  }
  // Tricky: every element but the last is full, so the count of elements is fixed by the batch.
  EXPECT_EQ(probe->elements.size(), (expected.size() + batch - 1) / batch);
  ASSERT_EQ(seen.size(), expected.size());
  EXPECT_TRUE(seen == expected) << "packets changed on the way (len2 must be the original length)";
  EXPECT_EQ(probe->endOfFileValue, 1);
  EXPECT_EQ(probe->endOfFileTimestamp, expected.back().sec * 1000000 + expected.back().usec);
  EXPECT_FALSE(probe->dataAfterEnd) << "the end-of-file event overtook data";
}

INSTANTIATE_TEST_SUITE_P(BatchSizes, PlayerBatchTest, testing::Values(1, 7, 256, 65535));

TEST_F(PcapStreamTest, EmptyCaptureGivesOnlyTheEndOfFileEvent) {
  const fs::path empty = m_dir / "empty.pcap";
  {
    VANTPcapCaptureWriter writer;
    ASSERT_TRUE(writer.Open(empty.string(), 1));
    ASSERT_TRUE(writer.Close());
  }
  PcapProbe* probe = Probe(empty, 256);
  ASSERT_TRUE(probe->done);
  std::lock_guard<std::mutex> lock(probe->mutex);
  EXPECT_TRUE(probe->elements.empty());
  EXPECT_EQ(probe->endOfFileValue, 1);
}

// A reader may hold a player's element across the player's stop, its next run and its
// destruction: the packet buffers the element points into were freed at the next start and with
// the player, under the reader. They now go when the reader lets go.
TEST_F(PcapStreamTest, PacketsAReaderHoldsOutliveThePlayersRestartAndDestruction) {
  vant_pcap_file_player* player = Player(kCaptures / "cap_tcpchat.pcap", 7);
  auto* holder = Make<PcapHolder>("TestPcapHolder", "holder");
  ASSERT_TRUE(host().Connect("player.output", "holder.input"));
  ASSERT_TRUE(host().StartComponent(holder));
  ASSERT_TRUE(host().StartComponent(player));
  ASSERT_TRUE(WaitFor([&] { return holder->state.load() == 1; }));
  host().StopComponent(player);
  ASSERT_TRUE(host().StartComponent(player)); // a new run with new packet buffers
  host().StopComponent(player);
  m_made.erase(std::find(m_made.begin(), m_made.end(), player));
  host().DestroyComponent(player);
  for (int k = 0; k < 64; ++k) { // what was freed gets used again
    std::vector<uint8_t> scribble(size_t{1} << 17, 0xA5);
    ASSERT_EQ(scribble.back(), 0xA5);
  }
  holder->check.Set();
  ASSERT_TRUE(WaitFor([&] { return holder->state.load() == 2; }));
  EXPECT_TRUE(holder->intact.load());
}

// ---- Failures ----------------------------------------------------------------------------------

TEST_F(PcapStreamTest, TruncatedCaptureFailsNamingTheFileAndSendsNoEndOfFile) {
  const fs::path source = kCaptures / "cap_icmp.pcap";
  const fs::path cut = m_dir / "cut.pcap";
  std::ifstream in(source, std::ios::binary);
  std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  bytes.resize(bytes.size() - 37); // the last record loses part of its data
  std::ofstream(cut, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));

  vant_pcap_file_player* player = Player(cut, 16);
  auto* probe = Make<PcapProbe>("TestPcapProbe", "probe");
  Wire("player", "probe");
  ASSERT_TRUE(host().StartComponent(probe));
  ASSERT_TRUE(host().StartComponent(player));
  ASSERT_TRUE(WaitFor([&] { return player->Failed(); }));
  EXPECT_NE(player->FailureText().find(cut.string()), std::string::npos) << player->FailureText();
  EXPECT_NE(player->FailureText().find("truncated"), std::string::npos) << player->FailureText();
  ASSERT_TRUE(host().WaitForStateBits("player", VANTModule::kDead | VANTModule::kError,
                                      std::chrono::seconds(10)));
  EXPECT_FALSE(player->Finished());
  EXPECT_FALSE(probe->done) << "a short stream must not look complete";
}

TEST_F(PcapStreamTest, MissingFileFailsAtBirth) {
  vant_pcap_file_player* player = Player(m_dir / "nothing.pcap", 256);
  auto* probe = Make<PcapProbe>("TestPcapProbe", "probe");
  Wire("player", "probe");
  ASSERT_TRUE(host().StartComponent(probe));
  host().StartComponent(player);
  ASSERT_TRUE(WaitFor([&] { return player->Failed(); }));
  EXPECT_NE(player->FailureText().find("nothing.pcap"), std::string::npos);
}

// ---- Players in a group ------------------------------------------------------------------------

TEST(PcapPlayerGroupTest, OthersFrontierIsTheEarliestKnownOneOfTheOthers) {
  VANTPcapPlayerGroup group(3);
  EXPECT_EQ(group.OthersFrontier(0), VANTPcapPlayerGroup::kUnknown) << "nobody has spoken yet";
  group.SetFrontier(1, 500);
  EXPECT_EQ(group.OthersFrontier(0), VANTPcapPlayerGroup::kUnknown) << "member 2 is unknown";
  group.SetFrontier(2, 300);
  EXPECT_EQ(group.OthersFrontier(0), 300);
  EXPECT_EQ(group.OthersFrontier(2), VANTPcapPlayerGroup::kUnknown) << "member 0 is unknown";
  group.SetFrontier(0, 700);
  EXPECT_EQ(group.OthersFrontier(2), 500) << "a member's own frontier does not count";
  group.SetFrontier(1, VANTPcapPlayerGroup::kDone);
  group.SetFrontier(2, VANTPcapPlayerGroup::kDone);
  EXPECT_EQ(group.OthersFrontier(0), VANTPcapPlayerGroup::kDone) << "nothing left to wait for";
}

TEST(PcapPlayerGroupTest, AMoveWakesOnlyTheWaitingMembersThatMayGo) {
  VANTPcapPlayerGroup group(3);
  VANTEvent mover;
  VANTEvent waiter;
  VANTEvent idle;
  group.SetWakeEvent(0, &mover);
  group.SetWakeEvent(1, &waiter);
  group.SetWakeEvent(2, &idle);
  group.SetFrontier(2, 100);
  group.SetWaiting(1, 50); // member 1 wants to send an element starting at 50
  group.SetFrontier(0, 40);
  EXPECT_FALSE(waiter.IsSet()) << "member 0 at 40 still holds back an element starting at 50";
  group.SetFrontier(0, 50);
  EXPECT_FALSE(waiter.IsSet()) << "of equal times the lower member goes first";
  group.SetFrontier(0, 51);
  EXPECT_TRUE(waiter.IsSet());
  EXPECT_FALSE(idle.IsSet()) << "member 2 does not wait";
  EXPECT_FALSE(mover.IsSet()) << "a move does not wake the mover";
  waiter.Reset();
  group.SetWaiting(1, VANTPcapPlayerGroup::kNotWaiting);
  group.SetFrontier(0, 70);
  EXPECT_FALSE(waiter.IsSet()) << "member 1 no longer waits";
  // The other way round: member 0 waits for 100, where member 2 stands; it goes first.
  group.SetFrontier(1, 200);
  group.SetWaiting(0, 100);
  group.SetFrontier(2, 100);
  EXPECT_TRUE(mover.IsSet()) << "a lower member is not held back by an equal time";
  EXPECT_TRUE(group.MayGo(0, 100));
  EXPECT_FALSE(group.MayGo(2, 200)) << "member 1 stands at 200 and comes first";
  EXPECT_TRUE(group.MayGo(1, 69)) << "member 0 stands at 70";
  EXPECT_FALSE(group.MayGo(1, 70)) << "and goes first at 70";
}

TEST_F(PcapStreamTest, PlayerOfAGroupWaitsForTheOthersAndGoesOnWhenTheyAreDone) {
  VANTPcapPlayerGroup group(2);
  vant_pcap_file_player* player = Player(kCaptures / "cap_icmp.pcap", 16);
  player->SetGroup(&group, 0);
  auto* probe = Make<PcapProbe>("TestPcapProbe", "probe");
  Wire("player", "probe");
  ASSERT_TRUE(host().StartComponent(probe));
  ASSERT_TRUE(host().StartComponent(player));
  // Member 1 has not read its first packet: member 0 must not send anything.
  ASSERT_TRUE(WaitFor([&] { return group.Frontier(0) != VANTPcapPlayerGroup::kUnknown; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(player->PacketsSent(), 0u);
  // Member 1 stands at the capture's 300th packet: member 0 sends the elements that start no
  // later than that, then waits again.
  const std::vector<Packet> packets = ReadAll(kCaptures / "cap_icmp.pcap");
  const int64_t middle = packets[300].sec * 1000000 + packets[300].usec;
  group.SetFrontier(1, middle);
  ASSERT_TRUE(WaitFor([&] { return player->PacketsSent() >= 300; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_LT(player->PacketsSent(), 300u + 16) << "at most one element past the other's frontier";
  EXPECT_GE(group.Frontier(0), middle);
  group.SetFrontier(1, VANTPcapPlayerGroup::kDone);
  ASSERT_TRUE(WaitFor([&] { return probe->done.load(); }));
  EXPECT_EQ(player->PacketsSent(), packets.size());
  EXPECT_EQ(group.Frontier(0), VANTPcapPlayerGroup::kDone);
  // The group goes with this scope: the player stops (and tells the group) before.
  host().StopComponent(player);
  player->SetGroup(nullptr, 0);
}

// ---- The recorder ------------------------------------------------------------------------------

TEST_F(PcapStreamTest, RecorderWritesWhatThePlayerReadsForEveryInputFormat) {
  const std::vector<Packet> expected = ReadAll(kCaptures / "cap_http.pcap");
  int round = 0;
  for (const char* name : {"cap_http.pcap", "cap_http_nsec.pcap", "cap_http.pcapng"}) {
    SCOPED_TRACE(name);
    const fs::path out = m_dir / ("out" + std::to_string(round++) + ".pcap");
    ASSERT_TRUE(Record(kCaptures / name, out, 100)) << m_recorder->FailureText();
    EXPECT_EQ(m_recorder->PacketsWritten(), expected.size());
    EXPECT_EQ(m_recorder->OutOfOrder(), 0u);
    EXPECT_TRUE(ReadAll(out) == expected);
    TearDown();
    SetUp();
  }
}

TEST_F(PcapStreamTest, RecorderRefusesAStreamOfAnotherLinkType) {
  const fs::path out = m_dir / "out.pcap";
  EXPECT_FALSE(Record(kCaptures / "cap_udp.pcap", out, 64, /*linkType=*/105));
  EXPECT_TRUE(m_recorder->Failed());
  EXPECT_NE(m_recorder->FailureText().find("link type 1"), std::string::npos)
      << m_recorder->FailureText();
}

TEST_F(PcapStreamTest, RecorderThatCannotCreateItsFileFails) {
  const fs::path out = m_dir / "no_such_folder" / "out.pcap";
  EXPECT_FALSE(Record(kCaptures / "cap_udp.pcap", out, 64));
  EXPECT_TRUE(m_recorder->Failed());
  EXPECT_NE(m_recorder->FailureText().find(out.string()), std::string::npos);
}

} // namespace
