// The command's behaviour before any merge starts: usage errors, help, version, and the refusal
// of inputs that cannot be merged. Each case runs the real program.
#include "merge_test_support.h"

#include <gtest/gtest.h>

namespace {

using merge_test::kCaptures;
using merge_test::RunMerge;

class MergeCommandTest : public merge_test::ScratchTest {};

TEST_F(MergeCommandTest, UsageErrorsExitWithTwoAndTouchNothing) {
  const std::string out = Path("out.pcap").string();
  const std::string in = (kCaptures / "cap_icmp.pcap").string();
  for (const std::vector<std::string>& arguments :
       std::vector<std::vector<std::string>>{{},
                                             {in},
                                             {"-w", out},
                                             {"--buffer", "lots", "-w", out, in},
                                             {"-n", "70000", "-w", out, in},
                                             {"--no-such-option", "-w", out, in}}) {
    const merge_test::RunResult run = RunMerge(arguments, m_dir);
    EXPECT_EQ(run.status, 2) << run.err;
    EXPECT_EQ(run.err.rfind("corvex-merge: ", 0), 0u) << run.err;
    EXPECT_NE(run.err.find("usage: corvex-merge"), std::string::npos);
    EXPECT_TRUE(run.out.empty());
  }
  EXPECT_FALSE(merge_test::fs::exists(out));
}

TEST_F(MergeCommandTest, OutputThatIsAnInputIsAUsageError) {
  merge_test::CopyPrefix(kCaptures / "cap_icmp.pcap", Path("in.pcap"), 1 << 20);
  const std::string before = merge_test::ReadText(Path("in.pcap"));
  const merge_test::RunResult run =
      RunMerge({"-w", Path("in.pcap").string(), Path("in.pcap").string()}, m_dir);
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("is also an input"), std::string::npos) << run.err;
  EXPECT_EQ(merge_test::ReadText(Path("in.pcap")), before);
}

TEST_F(MergeCommandTest, HelpAndVersionGoToStandardOutput) {
  const merge_test::RunResult help = RunMerge({"--help"}, m_dir);
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--vector-latency"), std::string::npos);
  EXPECT_TRUE(help.err.empty());
  const merge_test::RunResult version = RunMerge({"-V"}, m_dir);
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("corvex-merge ", 0), 0u);
}

TEST_F(MergeCommandTest, InputsThatCannotBeMergedExitWithOneNamingEachFile) {
  merge_test::WriteText(Path("notes.txt"), "hello\n");
  merge_test::WriteCapture(Path("raw.pcap"), 101, {{1, 2, {0x45, 0, 0, 20}}});
  const std::string out = Path("out.pcap").string();
  const std::string good = (kCaptures / "cap_icmp.pcap").string();

  merge_test::RunResult run = RunMerge({"-w", out, good, Path("missing.pcap").string()}, m_dir);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err,
            "corvex-merge: " + Path("missing.pcap").string() + ": No such file or directory\n");

  run = RunMerge({"-w", out, Path("notes.txt").string(), good}, m_dir);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find(Path("notes.txt").string() + ": not a capture file"), std::string::npos)
      << run.err;

  run = RunMerge({"-q", "-w", out, good, Path("raw.pcap").string()}, m_dir);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find(Path("raw.pcap").string() +
                         ": different link types: link type 101 (RAW, Raw IP), but " + good +
                         " has link type 1 (EN10MB, Ethernet)"),
            std::string::npos)
      << run.err;

  // What is not a capture is said for what it is.
  for (const auto& [input, expected] : std::vector<std::pair<std::string, std::string>>{
           {"/dev/zero", "/dev/zero: not a capture file (a character device; its first bytes 00 00 "
                         "00 00, which are neither pcap nor pcapng)"},
           {"/dev/null", "/dev/null: not a capture file (a character device that gave no data)"},
           {m_dir.string(), m_dir.string() + ": is a directory, not a capture file"}}) {
    run = RunMerge({"-w", out, input}, m_dir);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "corvex-merge: " + expected + "\n");
  }
  // More inputs than open files allowed: one line that says so, not one per input.
  run = merge_test::RunShell(
      "ulimit -n 40; $M -w out.pcap $(for i in $(seq 20); do echo $C/cap_icmp.pcap; done)", m_dir);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "corvex-merge: 20 inputs need more open files than this process may have "
                     "(40: see ulimit -n)\n");
  EXPECT_FALSE(merge_test::fs::exists(out)) << "a refused merge must not leave an output behind";
}

TEST_F(MergeCommandTest, InterfacesThatCannotBeCapturedExitWithOneNamingEach) {
  const std::string out = Path("out.pcap").string();
  const merge_test::RunResult run =
      RunMerge({"-w", out, "-i", "cvxnosuch0", "-i", "cvxnosuch1"}, m_dir);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("corvex-merge: cvxnosuch0: "), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("corvex-merge: cvxnosuch1: "), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find("capturing on"), std::string::npos) << run.err;
  EXPECT_FALSE(merge_test::fs::exists(out));
}

} // namespace
