// The real command on real captures: the package file is loaded, the multiplexer merges, and the
// output is compared packet by packet with the reference merge of the bundled captures (same
// packets and bytes, timestamps never decreasing; packets with equal timestamps may come in
// another order). Also the other input formats, one and many inputs, empty, truncated and
// damaged inputs, the options that change the run, and a reading by tshark.
#include "merge_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdlib>
#include <numeric>
#include <tuple>

namespace {

using merge_test::kCaptures;
using merge_test::RunMerge;
using merge_test::RunResult;
using merge_test::RunShell;
using merge_test::fs::path;

struct Packet {
  int64_t sec = 0, usec = 0;
  uint32_t incl = 0, orig = 0;
  std::vector<uint8_t> bytes;

  int64_t Timestamp() const { return sec * 1000000 + usec; }
  auto Key() const { return std::tie(sec, usec, incl, orig, bytes); }
  bool operator==(const Packet& other) const { return Key() == other.Key(); }
  bool operator<(const Packet& other) const { return Key() < other.Key(); }
};

/// Every packet of a capture; *ok is false when the file cannot be read to its end.
std::vector<Packet> ReadAll(const path& file, bool* ok = nullptr) {
  std::vector<Packet> packets;
  VANTPcapCaptureReader reader;
  bool good = reader.Open(file.string());
  VANTCapturePacket p;
  VANTPcapCaptureReader::Step step = VANTPcapCaptureReader::Step::kEnd;
  while (good && (step = reader.Next(p)) == VANTPcapCaptureReader::Step::kPacket) {
    packets.push_back({p.tsSec, p.tsUsec, p.inclLen, p.origLen,
                       std::vector<uint8_t>(p.data, p.data + p.inclLen)});
  }
  if (ok != nullptr) {
    *ok = good && step == VANTPcapCaptureReader::Step::kEnd;
  }
  return packets;
}

/// Positions where a timestamp is below the one before it.
size_t Decreases(const std::vector<Packet>& packets) {
  size_t count = 0;
  for (size_t i = 1; i < packets.size(); ++i) {
    count += packets[i].Timestamp() < packets[i - 1].Timestamp() ? 1 : 0;
  }
  return count;
}

/// The output is the expected merge: never decreasing, and the same packets (equal timestamps in
/// any order).
void ExpectMergeOf(const path& output, std::vector<Packet> expected) {
  bool ok = false;
  std::vector<Packet> got = ReadAll(output, &ok);
  ASSERT_TRUE(ok) << output << " is not a readable capture";
  ASSERT_EQ(got.size(), expected.size());
  EXPECT_EQ(Decreases(got), 0u) << "timestamps go back in " << output;
  std::stable_sort(got.begin(), got.end());
  std::stable_sort(expected.begin(), expected.end());
  size_t differing = 0;
  for (size_t i = 0; i < got.size(); ++i) {
    differing += got[i] == expected[i] ? 0 : 1;
  }
  EXPECT_EQ(differing, 0u) << "packets changed or lost";
}

std::vector<std::string> Bundled(const char* http = "cap_http.pcap") {
  return {(kCaptures / http).string(), (kCaptures / "cap_udp.pcap").string(),
          (kCaptures / "cap_tcpchat.pcap").string(), (kCaptures / "cap_icmp.pcap").string()};
}

std::vector<std::string> Arguments(std::vector<std::string> front,
                                   const std::vector<std::string>& inputs) {
  front.insert(front.end(), inputs.begin(), inputs.end());
  return front;
}

/// The summary says the output is in time order.
bool SummaryInOrder(const std::string& err) {
  return err.find("  order: in time order") != std::string::npos &&
         err.find("NOT IN TIME ORDER") == std::string::npos;
}

/// The N of "time went backwards N times" in the summary, or -1.
int64_t SummaryBackwards(const std::string& err) {
  static const std::string kHead = "time went backwards ";
  const size_t at = err.find(kHead);
  if (at == std::string::npos) {
    return -1;
  }
  std::string digits;
  for (size_t i = at + kHead.size(); i < err.size() && (std::isdigit(err[i]) || err[i] == ',');
       ++i) {
    if (err[i] != ',') {
      digits += err[i];
    }
  }
  return digits.empty() ? -1 : std::stoll(digits);
}

/// The N of "-b N would keep it in order" in the summary, or empty.
std::string SummaryNeededBuffer(const std::string& err) {
  static const std::string kHead = "a larger buffer is needed: -b ";
  const size_t at = err.find(kHead);
  if (at == std::string::npos) {
    return {};
  }
  std::string digits;
  for (size_t i = at + kHead.size(); i < err.size() && (std::isdigit(err[i]) || err[i] == ',');
       ++i) {
    if (err[i] != ',') {
      digits += err[i];
    }
  }
  return digits;
}

class MergeEndToEndTest : public merge_test::ScratchTest {
protected:
  std::string Out() const { return Path("out.pcap").string(); }
};

// ---- The bundled captures ------------------------------------------------------------------

TEST_F(MergeEndToEndTest, BundledCapturesGiveTheReferenceMerge) {
  const RunResult run = RunMerge(Arguments({"-w", Out()}, Bundled()), m_dir);
  ASSERT_EQ(run.status, 0) << run.err;
  ExpectMergeOf(Out(), ReadAll(kCaptures / "ref_merged.pcap"));
  // The summary: every input and the output with their counts, and the order check.
  EXPECT_NE(run.err.find("cap_tcpchat.pcap"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("1,103"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("3,759"), std::string::npos) << run.err;
  EXPECT_TRUE(SummaryInOrder(run.err)) << run.err;
  EXPECT_NE(run.err.find("overruns: 0"), std::string::npos) << run.err;
  EXPECT_TRUE(run.out.empty());
  // Byte for byte the reference merge, equal times in input order (where the reference, written
  // by mergecap, has the one pair of equal times the other way round).
  EXPECT_TRUE(merge_test::ReadText(Out()) ==
              merge_test::StableMerge(merge_test::BundledCaptures(), m_dir));
}

TEST_F(MergeEndToEndTest, PcapngAndNanosecondInputsGiveTheSameMerge) {
  for (const char* http : {"cap_http.pcapng", "cap_http_nsec.pcap"}) {
    SCOPED_TRACE(http);
    const RunResult run = RunMerge(Arguments({"-q", "-w", Out()}, Bundled(http)), m_dir);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(run.err.empty()) << "-q prints nothing on success: " << run.err;
    ExpectMergeOf(Out(), ReadAll(kCaptures / "ref_merged.pcap"));
  }
}

TEST_F(MergeEndToEndTest, OneInputIsCopiedPacketForPacket) {
  const path input = kCaptures / "cap_tcpchat.pcap"; // captured lengths below original lengths
  const RunResult run = RunMerge({"-q", "-w", Out(), input.string()}, m_dir);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(ReadAll(Out()) == ReadAll(input)) << "same packets in the same order";
}

TEST_F(MergeEndToEndTest, PacedRunGivesTheSameMerge) {
  // The captures span 15 s; a thousand times capture speed plays them in about 15 ms.
  const RunResult run =
      RunMerge(Arguments({"-q", "--pace", "1000", "-w", Out()}, Bundled()), m_dir);
  ASSERT_EQ(run.status, 0) << run.err;
  ExpectMergeOf(Out(), ReadAll(kCaptures / "ref_merged.pcap"));
}

TEST_F(MergeEndToEndTest, BufferOfOneElementPerOtherInputIsEnoughForAnExactMerge) {
  // The players keep in step: with 4 inputs of 16-packet elements, 3 x 16 held-back packets
  // (and a little more) make the merge exact, however the threads run.
  for (int round = 0; round < 3; ++round) {
    const RunResult run =
        RunMerge(Arguments({"--batch", "16", "-b", "64", "-w", Out()}, Bundled()), m_dir);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(SummaryInOrder(run.err)) << run.err;
    ExpectMergeOf(Out(), ReadAll(kCaptures / "ref_merged.pcap"));
  }
}

TEST_F(MergeEndToEndTest, TinyBufferLosesNothingAndTheSummaryCountsTheDisorder) {
  // No reorder buffer and one-packet elements: the merge may go wrong, but every packet is
  // written and the summary's count is what the output shows; the exit status tells.
  const RunResult run =
      RunMerge(Arguments({"-b", "0", "-n", "1", "--batch", "64", "-w", Out()}, Bundled()), m_dir);
  std::vector<Packet> got = ReadAll(Out());
  std::vector<Packet> expected = ReadAll(kCaptures / "ref_merged.pcap");
  if (Decreases(got) == 0) {
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(SummaryInOrder(run.err)) << run.err;
  } else {
    EXPECT_EQ(run.status, 3) << run.err;
    EXPECT_EQ(SummaryBackwards(run.err), static_cast<int64_t>(Decreases(got))) << run.err;
  }
  std::stable_sort(got.begin(), got.end());
  std::stable_sort(expected.begin(), expected.end());
  EXPECT_TRUE(got == expected);
}

// ---- Disorder and ties ------------------------------------------------------------------------

/// One input of `count` packets 1 ms apart, in the order `order` gives (a permutation).
void WriteOrdered(const path& file, const std::vector<size_t>& order) {
  std::vector<merge_test::TestPacket> packets;
  for (const size_t k : order) {
    const int64_t ts = 1700000000LL * 1000000 + static_cast<int64_t>(k) * 1000;
    packets.push_back({ts / 1000000, ts % 1000000, std::vector<uint8_t>(60, uint8_t(k))});
  }
  merge_test::WriteCapture(file, 1, packets);
}

TEST_F(MergeEndToEndTest, InputTooDisorderedForTheBufferExitsWithThreeAndSaysWhichBufferWouldDo) {
  struct Case {
    const char* name;
    std::vector<size_t> order;
    std::vector<std::string> options;
  };
  std::vector<size_t> late(20000);
  std::iota(late.begin(), late.end(), 0);
  std::rotate(late.begin() + 6000, late.begin() + 6001, late.begin() + 15001); // 9,000 late
  std::vector<size_t> reversed(late.size());
  std::iota(reversed.rbegin(), reversed.rend(), 0);
  std::vector<size_t> ordered(1000);
  std::iota(ordered.begin(), ordered.end(), 0);
  const Case cases[] = {{"a packet 9,000 places late", late, {}},
                        {"20,000 packets in reverse order", reversed, {}},
                        {"no buffer at all", ordered, {"-b", "0"}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteOrdered(Path("in.pcap"), c.order);
    merge_test::WriteCapture(Path("other.pcap"), 1, {{1700000000, 500, {1, 2, 3}}});
    std::vector<std::string> arguments = c.options;
    arguments.insert(arguments.end(),
                     {"-w", Out(), Path("in.pcap").string(), Path("other.pcap").string()});
    RunResult run = RunMerge(arguments, m_dir);
    const std::vector<Packet> written = ReadAll(Out());
    EXPECT_EQ(written.size(), c.order.size() + 1) << "every packet written";
    if (!c.options.empty() && Decreases(written) == 0) {
      continue; // without a buffer the threads may still have met in order
    }
    EXPECT_EQ(run.status, 3) << run.err;
    EXPECT_NE(run.err.find("NOT IN TIME ORDER"), std::string::npos) << run.err;
    EXPECT_EQ(SummaryBackwards(run.err), static_cast<int64_t>(Decreases(written)));
    const std::string needed = SummaryNeededBuffer(run.err);
    ASSERT_FALSE(needed.empty()) << run.err;
    if (c.options.empty()) {
      // The buffer the summary names puts everything in order.
      arguments.insert(arguments.begin(), {"-q", "-b", needed});
      run = RunMerge(arguments, m_dir);
      EXPECT_EQ(run.status, 0) << "with -b " << needed;
      EXPECT_TRUE(run.err.empty()) << run.err;
      EXPECT_EQ(Decreases(ReadAll(Out())), 0u);
    }
  }
  // A disorder that the buffer holds is merged right and named.
  std::vector<size_t> slightly = ordered;
  std::rotate(slightly.begin() + 10, slightly.begin() + 11, slightly.begin() + 111);
  WriteOrdered(Path("in.pcap"), slightly);
  RunResult run = RunMerge({"-w", Out(), Path("in.pcap").string()}, m_dir);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("in time order; 1 packet reordered"), std::string::npos) << run.err;
  // A jump back beyond 10^10 microseconds comes from the written times, exact to the
  // microsecond, whatever the multiplexer's own reports say.
  merge_test::WriteCapture(Path("in.pcap"), 1, {{1700000000, 0, {1}}, {1699987654, 321099, {2}}});
  run = RunMerge({"-b", "0", "--batch", "1", "-w", Out(), Path("in.pcap").string()}, m_dir);
  EXPECT_EQ(run.status, 3) << run.err;
  EXPECT_NE(run.err.find("time went backwards 1 time (1 packet earlier than one written before "
                         "them), by at most 12345.678901 s;"),
            std::string::npos)
      << run.err;
  // Quiet means quiet: the status alone tells.
  WriteOrdered(Path("in.pcap"), reversed);
  run = RunMerge({"-q", "-b", "10", "-w", Out(), Path("in.pcap").string()}, m_dir);
  EXPECT_EQ(run.status, 3);
  EXPECT_TRUE(run.err.empty()) << run.err;
}

TEST_F(MergeEndToEndTest, EqualTimesLeaveInInputOrderAndEveryRunWritesTheSameBytes) {
  // Four inputs at millisecond resolution: every time is taken by several inputs, some by
  // several packets of one input.
  std::vector<std::string> inputs;
  for (int i = 0; i < 4; ++i) {
    std::vector<merge_test::TestPacket> packets;
    for (int k = 0; k < 3000; ++k) {
      const int64_t ts = 1700000000LL * 1000000 + (k / (1 + i % 2)) * 1000;
      std::vector<uint8_t> bytes(60 + k % 7, uint8_t(i));
      bytes[1] = uint8_t(k);
      packets.push_back({ts / 1000000, ts % 1000000, bytes});
    }
    inputs.push_back(Path("in" + std::to_string(i) + ".pcap").string());
    merge_test::WriteCapture(inputs.back(), 1, packets);
  }
  std::string first;
  for (int round = 0; round < 6; ++round) {
    const RunResult run = RunMerge(
        Arguments({"-q", "--batch", round % 2 == 0 ? "16" : "256", "-w", Out()}, inputs), m_dir);
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string bytes = merge_test::ReadText(Out());
    if (round == 0) {
      first = bytes;
    }
    ASSERT_TRUE(bytes == first) << "round " << round << " wrote other bytes";
  }
  // The tie rule: the earlier input first, then the order of reading.
  std::vector<merge_test::fs::path> files(inputs.begin(), inputs.end());
  EXPECT_TRUE(first == merge_test::StableMerge(files, m_dir)) << "not the stable merge";
}

// ---- Many, empty and bad inputs ------------------------------------------------------------

TEST_F(MergeEndToEndTest, SeventeenInputsWithManyEqualTimestamps) {
  constexpr int kInputs = 17;
  constexpr int kPackets = 300;
  std::vector<std::string> inputs;
  std::vector<Packet> all;
  for (int i = 0; i < kInputs; ++i) {
    std::vector<merge_test::TestPacket> packets;
    for (int k = 0; k < kPackets; ++k) {
      // Steps of 10 us, shifted by 0, 1 or 2 us: a third of the files tie on every timestamp.
      const int64_t ts = 1700000000LL * 1000000 + k * 10 + i % 3;
      std::vector<uint8_t> bytes(60 + (i * 37 + k * 11) % 1400, uint8_t(k));
      bytes[0] = uint8_t(i);
      packets.push_back({ts / 1000000, ts % 1000000, bytes});
      all.push_back(
          {ts / 1000000, ts % 1000000, uint32_t(bytes.size()), uint32_t(bytes.size()), bytes});
    }
    const path file = Path("in" + std::to_string(i) + ".pcap");
    merge_test::WriteCapture(file, 1, packets);
    inputs.push_back(file.string());
  }
  const RunResult run = RunMerge(Arguments({"-w", Out(), "--batch", "32"}, inputs), m_dir);
  ASSERT_EQ(run.status, 0) << run.err;
  ExpectMergeOf(Out(), all);
  EXPECT_TRUE(SummaryInOrder(run.err)) << run.err;
}

TEST_F(MergeEndToEndTest, EmptyCapturesAddNothing) {
  merge_test::WriteCapture(Path("empty.pcap"), 1, {});
  const path icmp = kCaptures / "cap_icmp.pcap";
  RunResult run = RunMerge({"-q", "-w", Out(), Path("empty.pcap").string(), icmp.string()}, m_dir);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(ReadAll(Out()) == ReadAll(icmp));

  run = RunMerge({"-q", "-w", Out(), Path("empty.pcap").string()}, m_dir);
  ASSERT_EQ(run.status, 0) << run.err;
  bool ok = false;
  EXPECT_TRUE(ReadAll(Out(), &ok).empty());
  EXPECT_TRUE(ok) << "an empty merge is still a valid capture";
}

TEST_F(MergeEndToEndTest, TruncatedCaptureFailsNamingItAndLeavesNoOutput) {
  const path udp = kCaptures / "cap_udp.pcap";
  // Cut inside the data of a record near the end: the header and most packets read fine.
  merge_test::CopyPrefix(udp, Path("cut.pcap"), merge_test::fs::file_size(udp) - 50);
  const RunResult run = RunMerge(
      {"-w", Out(), (kCaptures / "cap_icmp.pcap").string(), Path("cut.pcap").string()}, m_dir);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find(Path("cut.pcap").string() + ": truncated"), std::string::npos) << run.err;
  EXPECT_FALSE(merge_test::fs::exists(Out())) << "a short output must not be left behind";
}

TEST_F(MergeEndToEndTest, DamagedRecordFailsNamingTheFile) {
  // A record header claiming a captured length beyond the file: libpcap refuses the record.
  std::string bytes = merge_test::ReadText(kCaptures / "cap_icmp.pcap");
  const size_t firstRecord = 24;
  bytes[firstRecord + 8 + 0] = '\xff'; // incl_len of the first record: 0x??ffffff...
  bytes[firstRecord + 8 + 1] = '\xff';
  bytes[firstRecord + 8 + 2] = '\xff';
  bytes[firstRecord + 8 + 3] = '\x7f';
  merge_test::WriteText(Path("bad.pcap"), bytes);
  const RunResult run = RunMerge({"-q", "-w", Out(), Path("bad.pcap").string()}, m_dir);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find(Path("bad.pcap").string()), std::string::npos) << run.err;
  EXPECT_FALSE(merge_test::fs::exists(Out()));
}

// ---- The package file ----------------------------------------------------------------------

TEST_F(MergeEndToEndTest, MissingOrWrongPackageFileFails) {
  const std::string icmp = (kCaptures / "cap_icmp.pcap").string();
  RunResult run = RunMerge({"--package", Path("none.pck").string(), "-w", Out(), icmp}, m_dir);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("none.pck"), std::string::npos) << run.err;

  run = RunMerge({"--package", icmp, "-w", Out(), icmp}, m_dir);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("cannot load the package"), std::string::npos) << run.err;
  EXPECT_FALSE(merge_test::fs::exists(Out()));
}

TEST_F(MergeEndToEndTest, PackageFromTheEnvironmentIsUsedUnlessTheOptionGivesOne) {
  const std::string icmp = (kCaptures / "cap_icmp.pcap").string();
  ASSERT_EQ(setenv("CORVEX_PACKAGE", Path("elsewhere.pck").c_str(), 1), 0);
  const RunResult fromEnvironment = RunMerge({"-q", "-w", Out(), icmp}, m_dir);
  const RunResult fromOption = RunMerge(
      {"-q", "--package",
       (path(CORVEX_MERGE_PATH).parent_path().parent_path() / "corvex_sorting_multiplexer.pck")
           .string(),
       "-w", Out(), icmp},
      m_dir);
  unsetenv("CORVEX_PACKAGE");
  EXPECT_EQ(fromEnvironment.status, 1);
  EXPECT_NE(fromEnvironment.err.find("elsewhere.pck"), std::string::npos) << fromEnvironment.err;
  EXPECT_EQ(fromOption.status, 0) << fromOption.err;
}

TEST_F(MergeEndToEndTest, PackageIsFoundFromTheProgramNeverFromTheCurrentFolder) {
  // A copy of the program in <dir>/prefix/bin, run from <dir>, where a package lies: not taken.
  // Once the package is in <dir>/prefix/lib/corvex/packages (an installed layout), it is.
  namespace fs = merge_test::fs;
  const fs::path package =
      path(CORVEX_MERGE_PATH).parent_path().parent_path() / "corvex_sorting_multiplexer.pck";
  fs::create_directories(Path("prefix/bin"));
  fs::copy_file(CORVEX_MERGE_PATH, Path("prefix/bin/corvex-merge"));
  fs::copy_file(package, Path("corvex_sorting_multiplexer.pck"));
  const std::string run = "cd '" + m_dir.string() +
                          "' && env -u CORVEX_PACKAGE prefix/bin/corvex-merge -q -w out.pcap '" +
                          (kCaptures / "cap_icmp.pcap").string() + "' 2>err.txt";
  int status = std::system(run.c_str());
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_NE(merge_test::ReadText(Path("err.txt")).find("cannot find the package file"),
            std::string::npos)
      << merge_test::ReadText(Path("err.txt"));
  EXPECT_FALSE(fs::exists(Out()));

  fs::create_directories(Path("prefix/lib/corvex/packages"));
  fs::rename(Path("corvex_sorting_multiplexer.pck"),
             Path("prefix/lib/corvex/packages/corvex_sorting_multiplexer.pck"));
  status = std::system(run.c_str());
  EXPECT_EQ(WEXITSTATUS(status), 0) << merge_test::ReadText(Path("err.txt"));
  EXPECT_TRUE(merge_test::ReadText(Out()) ==
              merge_test::StableMerge({kCaptures / "cap_icmp.pcap"}, m_dir));
}

TEST_F(MergeEndToEndTest, OutputThatCannotBeCreatedFailsNamingIt) {
  const std::string out = Path("no_such_folder/out.pcap").string();
  const RunResult run = RunMerge({"-w", out, (kCaptures / "cap_icmp.pcap").string()}, m_dir);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find(out), std::string::npos) << run.err;
}

// ---- Other readers -------------------------------------------------------------------------

TEST_F(MergeEndToEndTest, TsharkReadsTheOutput) {
  if (std::system("command -v tshark >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "tshark is not installed (apt-get install tshark): output not checked by it";
  }
  const RunResult run = RunMerge(Arguments({"-q", "-w", Out()}, Bundled()), m_dir);
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string listing = Path("tshark.txt").string();
  const std::string command = "tshark -r '" + Out() + "' -T fields -e frame.len >'" + listing +
                              "' 2>'" + Path("tshark.err").string() + "'";
  ASSERT_EQ(std::system(command.c_str()), 0) << merge_test::ReadText(Path("tshark.err"));
  const std::string lines = merge_test::ReadText(listing);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 3759);
}

} // namespace
