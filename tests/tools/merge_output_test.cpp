// Where the merge writes, and what a failure or a signal leaves behind: a file is replaced only
// by a complete merge, a symbolic link stays a link, standard output and devices are written
// straight and never removed, and every terminating signal ends the run with 128 + its number.
// Each case runs the real program.
#include "merge_test_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>

namespace {

using merge_test::kCaptures;
using merge_test::RunMerge;
using merge_test::RunResult;
using merge_test::RunShell;
namespace fs = merge_test::fs;

const std::string kOld = "the old content, which a failed merge must leave alone\n";

class MergeOutputTest : public merge_test::ScratchTest {
protected:
  /// A good input and one that fails near its end, after the output has been written to.
  std::vector<std::string> FailingInputs() {
    const fs::path udp = kCaptures / "cap_udp.pcap";
    merge_test::CopyPrefix(udp, Path("cut.pcap"), fs::file_size(udp) - 50);
    return {(kCaptures / "cap_icmp.pcap").string(), Path("cut.pcap").string()};
  }
  /// The names in the scratch folder other than these.
  std::vector<std::string> Others(const std::vector<std::string>& known) {
    std::vector<std::string> others;
    for (const fs::directory_entry& entry : fs::directory_iterator(m_dir)) {
      const std::string name = entry.path().filename().string();
      if (std::find(known.begin(), known.end(), name) == known.end()) {
        others.push_back(name);
      }
    }
    return others;
  }
};

TEST_F(MergeOutputTest, FailedMergeLeavesTheOldFileAndTheLinkAsTheyWere) {
  merge_test::WriteText(Path("target.pcap"), kOld);
  fs::create_symlink("target.pcap", Path("link.pcap"));
  const std::vector<std::string> known = {"target.pcap", "link.pcap", "cut.pcap", "stdout.txt",
                                          "stderr.txt"};
  for (const char* output : {"target.pcap", "link.pcap"}) {
    SCOPED_TRACE(output);
    std::vector<std::string> arguments = {"-w", Path(output).string()};
    for (const std::string& input : FailingInputs()) {
      arguments.push_back(input);
    }
    const RunResult run = RunMerge(arguments, m_dir);
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_NE(run.err.find("cut.pcap: truncated"), std::string::npos) << run.err;
    EXPECT_TRUE(fs::is_symlink(Path("link.pcap")));
    EXPECT_EQ(merge_test::ReadText(Path("target.pcap")), kOld);
    EXPECT_TRUE(Others(known).empty()) << "left behind: " << Others(known).front();
  }
  // A merge that succeeds through the link replaces its target; the link stays a link.
  const RunResult run = RunMerge(
      {"-q", "-w", Path("link.pcap").string(), (kCaptures / "cap_icmp.pcap").string()}, m_dir);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(fs::is_symlink(Path("link.pcap")));
  EXPECT_EQ(merge_test::ReadText(Path("target.pcap")),
            merge_test::ReadText(kCaptures / "cap_icmp.pcap"));
}

// The output replaces its file through the folder, which could replace a file its user may not
// write: such a file is refused and kept, as a write in place would be.
TEST_F(MergeOutputTest, AFileTheUserMayNotWriteIsRefusedAndKept) {
  merge_test::WriteText(Path("kept.pcap"), kOld);
  fs::permissions(Path("kept.pcap"),
                  fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  fs::permissions(m_dir, fs::perms::all);
  // Root may write anything: the command then runs as nobody.
  const std::string as =
      geteuid() == 0 ? "setpriv --reuid=nobody --regid=nogroup --clear-groups " : "";
  if (!as.empty() && RunShell("command -v setpriv", m_dir).status != 0) {
    GTEST_SKIP() << "running as root without setpriv to drop the rights";
  }
  const RunResult run = RunShell(as + "$M -q -w kept.pcap $C/cap_icmp.pcap", m_dir);
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_NE(run.err.find("kept.pcap: Permission denied"), std::string::npos) << run.err;
  EXPECT_EQ(merge_test::ReadText(Path("kept.pcap")), kOld);
}

TEST_F(MergeOutputTest, StandardOutputAndDevicesAreWrittenStraightAndNeverRemoved) {
  const std::string inputs = "$C/cap_http.pcap $C/cap_udp.pcap $C/cap_tcpchat.pcap "
                             "$C/cap_icmp.pcap";
  const std::string reference = merge_test::StableMerge(merge_test::BundledCaptures(), m_dir);
  // Into a pipe, by both names; nothing named "-" appears, the summary goes to stderr.
  for (const char* name : {"-", "/dev/stdout"}) {
    SCOPED_TRACE(name);
    const RunResult run = RunShell("$M -w " + std::string(name) + " " + inputs +
                                       " | cat >piped.pcap; exit ${PIPESTATUS[0]}",
                                   m_dir);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(merge_test::ReadText(Path("piped.pcap")) == reference);
    EXPECT_NE(run.err.find(name[1] == '\0' ? "output: standard output" : "output: /dev/stdout"),
              std::string::npos)
        << run.err;
    EXPECT_FALSE(fs::exists(Path("-")));
  }
  // A failing merge into /dev/stdout, and into /dev/null: neither name is removed.
  std::string failing;
  for (const std::string& input : FailingInputs()) {
    failing += " " + input;
  }
  for (const char* name : {"/dev/stdout", "/dev/null"}) {
    SCOPED_TRACE(name);
    const RunResult run = RunShell("$M -q -w " + std::string(name) + failing, m_dir);
    EXPECT_EQ(run.status, 1) << run.err;
    struct stat info {};
    EXPECT_EQ(lstat(name, &info), 0) << name << " was removed";
  }
  EXPECT_TRUE(fs::exists(Path("stdout.txt")));
}

TEST_F(MergeOutputTest, EveryTerminatingSignalEndsTheMergeCleanlyWith128PlusItsNumber) {
  for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    SCOPED_TRACE(sigabbrev_np(signal));
    merge_test::WriteText(Path("out.pcap"), kOld);
    // Played at capture speed the bundled captures take 15 s: time enough for a signal.
    std::vector<std::string> all = {CORVEX_MERGE_PATH, "--pace", "1", "-w",
                                    Path("out.pcap").string()};
    for (const char* name : {"cap_http.pcap", "cap_udp.pcap", "cap_icmp.pcap"}) {
      all.push_back((kCaptures / name).string());
    }
    std::vector<char*> argv;
    for (std::string& argument : all) {
      argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string errPath = Path("stderr.txt").string();
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    // Once the temporary output exists, packets are on their way into it.
    const std::vector<std::string> known = {"out.pcap", "stderr.txt"};
    for (int i = 0; i < 500 && Others(known).empty(); ++i) {
      usleep(10000);
    }
    ASSERT_EQ(Others(known).size(), 1u);
    usleep(200000);
    kill(pid, signal);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 128 + signal);
    EXPECT_NE(merge_test::ReadText(errPath).find("interrupted"), std::string::npos)
        << merge_test::ReadText(errPath);
    EXPECT_EQ(merge_test::ReadText(Path("out.pcap")), kOld);
    EXPECT_TRUE(Others(known).empty()) << "left behind: " << Others(known).front();
  }
}

TEST_F(MergeOutputTest, ReaderOfThePipeGoingAwayEndsTheMergeWithSigpipeStatus) {
  // The merge is larger than a pipe holds, so the program writes on after head has gone.
  const RunResult run = RunShell("$M -w - $C/cap_http.pcap $C/cap_udp.pcap $C/cap_tcpchat.pcap "
                                 "$C/cap_icmp.pcap | head -c 100 >/dev/null; "
                                 "exit ${PIPESTATUS[0]}",
                                 m_dir);
  EXPECT_EQ(run.status, 128 + SIGPIPE) << run.err;
}

} // namespace
