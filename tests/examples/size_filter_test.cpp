// The example component package (examples/size_filter_package) as an engine uses it: loaded from
// its package file beside the multiplexer's, placed between a file player and the multiplexer,
// its end event forwarded after its last data, on the bundled captures. The package file is the
// one of this build, or the one CORVEX_SIZE_FILTER_PACKAGE names (built out of tree against the
// installed SDK).
#include "host/components/vant_pcap_capture_file.h"
#include "host/components/vant_pcap_file_player.h"
#include "host/components/vant_pcap_file_recorder.h"
#include "host/components/vant_pcap_stream_models.h"
#include "host/host.h"
#include "package/vant_module_management.h"
#include "runtime/vant_property.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

const fs::path kCaptures = fs::path(CORVEX_SOURCE_DIR) / "data" / "captures";

struct Packet {
  int64_t time;
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
    packets.push_back({p.tsSec * 1000000 + p.tsUsec, p.inclLen, p.origLen,
                       std::vector<uint8_t>(p.data, p.data + p.inclLen)});
  }
  return packets;
}

std::string FilterPackage() {
  const char* given = std::getenv("CORVEX_SIZE_FILTER_PACKAGE");
  return given != nullptr && *given != '\0' ? given : CORVEX_SIZE_FILTER_PACKAGE;
}

// player_0 (cap_http) -> filter -> multiplexer.input_0; player_1 (cap_udp) -> multiplexer.input_1;
// multiplexer -> recorder. The expected output: the http packets at least min_size long on the
// wire and every udp packet, merged by time (ties: the first input first).
TEST(SizeFilterPackage, DropsShortPacketsBetweenAPlayerAndTheMultiplexer) {
  auto* host = new Host(); // never deleted: the packages keep its pointer
  ASSERT_EQ(VANTModuleRegistry::Initialise(host, VANTModuleRegistry::kInterfaceVersion),
            VANTModuleRegistry::kInterfaceLevel);
  std::string error;
  ASSERT_TRUE(host->AddModels(&VANT::PcapStreamModels, &error)) << error;
  ASSERT_TRUE(host->LoadPackage(CORVEX_PACKAGE_FILE, &error)) << error;
  ASSERT_TRUE(host->LoadPackage(FilterPackage(), &error)) << error;

  const fs::path http = kCaptures / "cap_http.pcap";
  const fs::path udp = kCaptures / "cap_udp.pcap";
  std::string pattern = (fs::temp_directory_path() / "corvex_filter_XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  const fs::path out = fs::path(pattern) / "out.pcap";

  // A size that keeps some http packets and drops others.
  std::vector<Packet> kept = ReadAll(http);
  std::vector<uint32_t> sizes;
  for (const Packet& p : kept) {
    sizes.push_back(p.orig);
  }
  std::sort(sizes.begin(), sizes.end());
  const uint32_t minSize = sizes[sizes.size() / 2] + 1;
  std::erase_if(kept, [&](const Packet& p) { return p.orig < minSize; });
  ASSERT_FALSE(kept.empty());
  ASSERT_LT(kept.size(), sizes.size());
  std::vector<Packet> expected = kept;
  const std::vector<Packet> other = ReadAll(udp);
  expected.insert(expected.end(), other.begin(), other.end());
  std::stable_sort(expected.begin(), expected.end(),
                   [](const Packet& a, const Packet& b) { return a.time < b.time; });

  auto* first = dynamic_cast<vant_pcap_file_player*>(
      host->CreateComponent(VANT::kPcapFilePlayerModel, "player_0"));
  auto* second = dynamic_cast<vant_pcap_file_player*>(
      host->CreateComponent(VANT::kPcapFilePlayerModel, "player_1"));
  VANTModule* filter = host->CreateComponent("PcapSizeFilter", "filter");
  VANTModule* multiplexer = host->CreateComponent("SortingMultiplexer", "multiplexer");
  auto* recorder = dynamic_cast<vant_pcap_file_recorder*>(
      host->CreateComponent(VANT::kPcapFileRecorderModel, "recorder"));
  ASSERT_TRUE(first && second && filter && multiplexer && recorder);
  first->Configure(http.string(), 7); // several elements, some losing every packet
  second->Configure(udp.string(), 16);
  recorder->Configure(out.string(), 1);
  host->FindProperty("filter.min_size")->SetInteger(minSize);
  host->FindProperty("multiplexer.nb_inputs")->SetInteger(2);
  host->FindProperty("multiplexer.buffer_packet_count")->SetInteger(1 << 20);
  host->FindProperty("multiplexer.vector_max_size")->SetInteger(64);
  host->FindProperty("multiplexer.flush_delay")->SetInteger(0);
  for (const auto& [from, to] : std::vector<std::pair<const char*, const char*>>{
           {"player_0.output", "filter.input"},
           {"player_0.end_of_file", "filter.iEndOfFile"},
           {"filter.output", "multiplexer.input_0"},
           {"filter.end_of_file", "multiplexer.iEndOfFile_0"},
           {"player_1.output", "multiplexer.input_1"},
           {"player_1.end_of_file", "multiplexer.iEndOfFile_1"}}) {
    ASSERT_TRUE(host->Connect(from, to)) << from << " -> " << to;
  }
  host->RunDynamic(multiplexer);
  ASSERT_TRUE(host->Connect("multiplexer.output", "recorder.input"));
  ASSERT_TRUE(host->Connect("multiplexer.end_of_file", "recorder.end_of_file"));
  for (VANTModule* module :
       std::vector<VANTModule*>{recorder, multiplexer, filter, first, second}) {
    ASSERT_TRUE(host->StartComponent(module)) << module->Name();
  }
  // Bounded: a filter that loses its end event would leave the recorder waiting for ever.
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!recorder->Finished() && !recorder->Failed() && std::chrono::steady_clock::now() < limit) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_TRUE(recorder->Finished()) << (recorder->Failed() ? recorder->FailureText() : "timed out");
  for (VANTModule* module :
       std::vector<VANTModule*>{multiplexer, filter, first, second, recorder}) {
    host->StopComponent(module);
  }

  const std::vector<Packet> written = ReadAll(out);
  EXPECT_EQ(written.size(), expected.size());
  EXPECT_TRUE(written == expected) << "not the filtered merge";
  bool reported = false;
  for (const HostReport& report : host->TakeReports()) {
    reported =
        reported || report.text.find("dropped " + std::to_string(sizes.size() - kept.size()) +
                                     " shorter than") != std::string::npos;
  }
  EXPECT_TRUE(reported) << "the filter reports what it dropped at its end";
  fs::remove_all(pattern);
}

} // namespace
