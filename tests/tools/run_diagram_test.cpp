// corvex-run on real diagrams: every kind of mistake is refused with its line before anything
// starts (no output file appears), the bundled example diagrams write the merge of the bundled
// captures, a paced replay keeps the capture's pace, and Ctrl-C ends a run cleanly.
#include "merge_test_support.h"

#include <gtest/gtest.h>

#include <chrono>

namespace {

using merge_test::kCaptures;
using merge_test::ReadText;
using merge_test::RunResult;
using merge_test::RunShell;
using merge_test::WriteText;
using merge_test::fs::path;

const path kExamples = path(CORVEX_SOURCE_DIR) / "examples" / "diagrams";

/// Replaces every `from` of text by `to`.
std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

class RunDiagramTest : public merge_test::ScratchTest {
protected:
  /// Writes `text` as diagram.toml in the scratch folder ("@C@" names the bundled captures'
  /// folder) and runs corvex-run on it.
  RunResult Run(const std::string& text, const std::string& options = "") {
    WriteText(Path("diagram.toml"), Replace(text, "@C@", kCaptures.string()));
    setenv("R", CORVEX_RUN_PATH, 1);
    return RunShell("\"$R\" " + options + " diagram.toml", m_dir);
  }
  /// An example diagram, reading the bundled captures, run in the scratch folder.
  RunResult RunExample(const std::string& name, const std::string& edit = "",
                       const std::string& replacement = "") {
    std::string text = ReadText(kExamples / name);
    text = Replace(text, "../../data/captures", "@C@");
    if (!edit.empty()) {
      text = Replace(text, edit, replacement);
    }
    return Run(text, "-q");
  }
};

// A player into a recorder: the base the mistakes below spoil one at a time.
constexpr const char kPlayerToRecorder[] = R"(connections = [
  "player.output -> recorder.input",
  "player.end_of_file -> recorder.end_of_file",
]
[end]
when = "recorder"
[[component]]
name = "player"
model = "PcapFilePlayer"
properties = { file = "@C@/cap_icmp.pcap" }
[[component]]
name = "recorder"
model = "PcapFileRecorder"
properties = { file = "out.pcap" }
)";

// Two players into the package's multiplexer.
constexpr const char kMultiplexer[] = R"(packages = ["corvex_sorting_multiplexer.pck"]
connections = [
  "a.output -> mux.input_0",
  "a.end_of_file -> mux.iEndOfFile_0",
  "b.output -> mux.input_1",
  "b.end_of_file -> mux.iEndOfFile_1",
  "mux.output -> recorder.input",
  "mux.end_of_file -> recorder.end_of_file",
]
[end]
when = "mux.end_of_file"
[[component]]
name = "a"
model = "PcapFilePlayer"
properties = { file = "@C@/cap_icmp.pcap" }
[[component]]
name = "b"
model = "PcapFilePlayer"
properties = { file = "@C@/cap_udp.pcap" }
[[component]]
name = "mux"
model = "SortingMultiplexer"
properties = { nb_inputs = 2, buffer_packet_count = 100 }
[[component]]
name = "recorder"
model = "PcapFileRecorder"
properties = { file = "out.pcap" }
)";

TEST_F(RunDiagramTest, BaseDiagramsRunAndTellWhatEachComponentDid) {
  for (const char* diagram : {kPlayerToRecorder, kMultiplexer}) {
    const RunResult result = Run(diagram);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(merge_test::fs::exists(Path("out.pcap"))) << result.err;
    EXPECT_NE(result.err.find("recorder (PcapFileRecorder): ended its run\n"), std::string::npos)
        << result.err;
    merge_test::fs::remove(Path("out.pcap"));
  }
  const RunResult counted = Run(kPlayerToRecorder);
  EXPECT_NE(counted.err.find("sent: 600 packets"), std::string::npos) << counted.err;
  EXPECT_NE(counted.err.find("written: 600 packets, 92,162 bytes, in time order"),
            std::string::npos)
      << counted.err;
  // "-" is the standard output: the same capture, and no file.
  const std::string file = ReadText(Path("out.pcap"));
  merge_test::fs::remove(Path("out.pcap"));
  const RunResult piped = Run(Replace(kPlayerToRecorder, "out.pcap", "-"), "-q");
  ASSERT_EQ(piped.status, 0) << piped.err;
  EXPECT_EQ(piped.out.size(), file.size());
  EXPECT_EQ(piped.err, "");
  EXPECT_FALSE(merge_test::fs::exists(Path("out.pcap")));
}

TEST_F(RunDiagramTest, EachMistakeIsRefusedWithItsLine) {
  struct Case {
    const char* what;
    const char* base;
    const char* from; // the base's text to replace
    const char* to;
    int line;
    const char* message;
  };
  const Case cases[] = {
      {"unknown package", kMultiplexer, "corvex_sorting_multiplexer.pck", "missing.pck", 1,
       "cannot load the package missing.pck"},
      {"unknown model", kMultiplexer, "\"SortingMultiplexer\"", "\"SortingMux\"", 22,
       "unknown model SortingMux"},
      {"unknown property", kMultiplexer, "buffer_packet_count", "buffer_count", 23,
       "SortingMultiplexer has no property buffer_count"},
      {"wrong type", kMultiplexer, "nb_inputs = 2", "nb_inputs = \"2\"", 23,
       "mux.nb_inputs takes an integer, not \"2\""},
      {"value the component refuses", kMultiplexer, "nb_inputs = 2", "nb_inputs = 0", 23,
       "mux refused nb_inputs = 0: component mux: Number of inputs has to be >= 1"},
      {"value the component checks when it starts", kMultiplexer, "buffer_packet_count = 100",
       "buffer_packet_count = -1", 21,
       "mux (SortingMultiplexer) ended in error: buffer_packet_count must be >= 0"},
      {"multiplexer input left unconnected", kMultiplexer, "nb_inputs = 2", "nb_inputs = 3", 21,
       "mux (SortingMultiplexer, nb_inputs = 3) merges only with every input connected: input_2, "
       "iEndOfFile_2 are not"},
      {"out of range", kPlayerToRecorder, "cap_icmp.pcap\" }",
       "cap_icmp.pcap\", packets_per_element = 0 }", 10,
       "player.packets_per_element = 0 is out of range (1 to 65535)"},
      {"unknown property of a host model", kPlayerToRecorder, "file = \"out.pcap\"",
       "file = \"out.pcap\", speed = 2", 14, "PcapFileRecorder has no property speed"},
      {"unknown output", kPlayerToRecorder, "player.output", "player.out", 2,
       "player (PcapFilePlayer) has no output out"},
      {"unknown input", kMultiplexer, "b.output -> mux.input_1", "b.output -> mux.input_2", 5,
       "mux (SortingMultiplexer) has no input input_2"},
      {"input connected twice", kMultiplexer, "b.output -> mux.input_1", "b.output -> mux.input_0",
       5, "input mux.input_0 is connected twice (first at line 3)"},
      {"incompatible stream types", kPlayerToRecorder, "player.output -> recorder.input",
       "player.end_of_file -> recorder.input", 2,
       "cannot connect player.end_of_file to recorder.input: output player.end_of_file (type "
       "0x8000) does not fit"},
      {"duplicate component names", kPlayerToRecorder, "name = \"recorder\"", "name = \"player\"",
       12, "duplicate component name player (first at line 8)"},
      {"missing end condition", kPlayerToRecorder, "when = \"recorder\"", "", 5,
       "no end condition"},
      {"end on an unknown component", kPlayerToRecorder, "when = \"recorder\"", "when = \"writer\"",
       6, "unknown component writer"},
      {"end that cannot come", kPlayerToRecorder,
       "  \"player.end_of_file -> recorder.end_of_file\",\n", "", 5,
       "recorder would never end its run: its end_of_file input is not connected"},
      {"end on an output other than end_of_file", kPlayerToRecorder, "when = \"recorder\"",
       "when = \"player.output\"", 6, "when takes a component, or its end_of_file output"},
      {"unknown key", kPlayerToRecorder, "model = \"PcapFilePlayer\"",
       "model = \"PcapFilePlayer\"\nthreads = 2", 10, "unknown key 'threads' in a component"},
      {"malformed connection", kPlayerToRecorder, "player.output -> recorder.input",
       "player.output => recorder.input", 2, "a connection must read"},
      {"unreadable input", kPlayerToRecorder, "cap_icmp.pcap", "no_such.pcap", 10,
       "no_such.pcap: No such file"},
      {"interface that cannot be captured", kPlayerToRecorder,
       "\"PcapFilePlayer\"\nproperties = { file = \"@C@/cap_icmp.pcap\" }",
       "\"PcapLiveCapture\"\nproperties = { interface = \"nosuch0\" }", 10,
       "nosuch0: "}, // no such interface (or no permission, without root)
      {"one file for two recorders", kPlayerToRecorder, "file = \"out.pcap\" }",
       "file = \"out.pcap\" }\n[[component]]\nname = \"copy\"\nmodel = \"PcapFileRecorder\"\n"
       "properties = { file = \"./out.pcap\" }",
       18, "the output ./out.pcap is written by another recorder too"},
      {"TOML syntax", kPlayerToRecorder, "when = \"recorder\"", "when = recorder", 6, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string base = c.base;
    ASSERT_NE(base.find(c.from), std::string::npos);
    const RunResult result = Run(Replace(base, c.from, c.to));
    EXPECT_EQ(result.status, 1) << result.err;
    // The first line told is the mistake's, and it says what is wrong.
    const std::string head = "diagram.toml:" + std::to_string(c.line) + ": ";
    const std::string first = result.err.substr(0, result.err.find('\n'));
    EXPECT_TRUE(first.find(head) != std::string::npos && first.find(c.message) != std::string::npos)
        << "expected: " << head << "..." << c.message << "\ngot: " << result.err;
    // Refused before anything started: no output, not even a temporary one.
    EXPECT_EQ(std::distance(merge_test::fs::directory_iterator(m_dir),
                            merge_test::fs::directory_iterator()),
              3)
        << "only the diagram and the two output streams";
  }
}

TEST_F(RunDiagramTest, AMultiplexersOutputRecordedOutOfOrderExitsThreeAndIsKept) {
  // No reorder buffer: the four captures' elements go out as they are read.
  const RunResult result =
      RunExample("merge.toml", "buffer_packet_count = 8192", "buffer_packet_count = 0");
  EXPECT_EQ(result.status, 3) << result.err;
  EXPECT_TRUE(merge_test::fs::exists(Path("merged.pcap")));
}

TEST_F(RunDiagramTest, ExampleMergesWriteTheMergeOfTheCaptures) {
  const std::string expected = merge_test::StableMerge(merge_test::BundledCaptures(), m_dir);
  struct Example {
    const char* file;
    const char* output;
  };
  for (const Example& example :
       {Example{"merge.toml", "merged.pcap"}, Example{"chained.toml", "chained.pcap"}}) {
    SCOPED_TRACE(example.file);
    const RunResult result = RunExample(example.file);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(ReadText(Path(example.output)) == expected) << "not the merge of the captures";
  }
  // corvex-merge writes the same bytes as its diagram.
  setenv("M", CORVEX_MERGE_PATH, 1);
  const RunResult merge = RunShell("\"$M\" -q -w m.pcap $C/cap_http.pcap $C/cap_udp.pcap "
                                   "$C/cap_tcpchat.pcap $C/cap_icmp.pcap",
                                   m_dir);
  ASSERT_EQ(merge.status, 0) << merge.err;
  EXPECT_TRUE(ReadText(Path("m.pcap")) == ReadText(Path("merged.pcap")));
}

TEST_F(RunDiagramTest, ExampleComponentBetweenPlayersAndMultiplexerKeepsTheLargePackets) {
  const RunResult result = RunExample("size_filter.toml", "\"corvex_size_filter.pck\"",
                                      "\"" + std::string(CORVEX_SIZE_FILTER_PACKAGE) + "\"");
  ASSERT_EQ(result.status, 0) << result.err;
  // Every packet of 100 bytes or more on the wire, in time order, and no other.
  size_t large = 0;
  for (const path& capture : merge_test::BundledCaptures()) {
    VANTPcapCaptureReader reader;
    ASSERT_TRUE(reader.Open(capture.string()));
    VANTCapturePacket packet;
    while (reader.Next(packet) == VANTPcapCaptureReader::Step::kPacket) {
      large += packet.origLen >= 100 ? 1 : 0;
    }
  }
  VANTPcapCaptureReader output;
  ASSERT_TRUE(output.Open(Path("large_packets.pcap").string()));
  VANTCapturePacket packet;
  size_t written = 0;
  int64_t last = 0;
  while (output.Next(packet) == VANTPcapCaptureReader::Step::kPacket) {
    EXPECT_GE(packet.origLen, 100u);
    EXPECT_GE(packet.Timestamp(), last);
    last = packet.Timestamp();
    ++written;
  }
  EXPECT_EQ(written, large);
  EXPECT_GT(large, 0u);
}

TEST_F(RunDiagramTest, PacedReplayTakesTwiceTheSpanAtHalfSpeed) {
  // Three packets over 0.6 s of capture time: at half speed the replay takes about 1.2 s; one
  // that ignores the pace takes milliseconds.
  const std::vector<uint8_t> frame(60, 0xAB);
  merge_test::WriteCapture(Path("short.pcap"), 1,
                           {{100, 0, frame}, {100, 300000, frame}, {100, 600000, frame}});
  const auto start = std::chrono::steady_clock::now();
  const RunResult result = RunExample("paced.toml", "@C@/cap_icmp.pcap", Path("short.pcap"));
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_GE(seconds, 1.0) << "the replay did not keep the pace";
  EXPECT_TRUE(ReadText(Path("paced.pcap")) == ReadText(Path("short.pcap")));
}

TEST_F(RunDiagramTest, CtrlCEndsARunWithoutLeavingItsOutput) {
  // The paced replay of the ICMP capture takes 23 s: interrupted after half a second.
  WriteText(Path("diagram.toml"),
            Replace(ReadText(kExamples / "paced.toml"), "../../data/captures", kCaptures));
  setenv("R", CORVEX_RUN_PATH, 1);
  const RunResult result =
      RunShell("\"$R\" diagram.toml & sleep 0.5; kill -INT $!; wait $!; echo \"status $?\"", m_dir);
  EXPECT_NE(result.out.find("status 130"), std::string::npos) << result.out << result.err;
  EXPECT_NE(result.err.find("corvex-run: interrupted by INT"), std::string::npos) << result.err;
  for (const auto& entry : merge_test::fs::directory_iterator(m_dir)) {
    EXPECT_EQ(entry.path().string().find("paced"), std::string::npos) << entry.path();
  }
}

} // namespace
