// corvex-merge, and corvex-run with a diagram of live captures, capturing live, end to end: the
// test makes two network namespaces of its own joined by veth pairs (unique names per run, removed
// at the end whatever happens), sends numbered raw Ethernet frames (EtherType 0x88B5, no IP) from
// one namespace with live_frame_sender and captures them on the other ends with the real command.
// Traffic never leaves those namespaces. Needs root and iproute2; skipped with a message otherwise.
#include "merge_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <thread>

namespace {

using namespace std::chrono_literals;
using merge_test::fs::path;

#ifdef CORVEX_SANITIZED
constexpr int64_t kSlack = 1000000; // sanitized programs on a loaded machine
#else
constexpr int64_t kSlack = 300000;
#endif

int64_t RealTimeNow() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

/// Spawns argv with standard input from /dev/null, standard output to `out` (a descriptor, or -1
/// for /dev/null) and standard error to the file `err`. Returns the pid, or -1.
pid_t Spawn(const std::vector<std::string>& arguments, int out, const std::string& err) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (out >= 0) {
    posix_spawn_file_actions_adddup2(&actions, out, 1);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  }
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<std::string> all = arguments;
  std::vector<char*> argv;
  for (std::string& argument : all) {
    argv.push_back(argument.data());
  }
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int failed = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return failed == 0 ? pid : -1;
}

/// The exit status of `pid`, or -1 when it did not exit normally.
int Wait(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int RunCommand(const std::vector<std::string>& arguments, const std::string& err = "/dev/null") {
  const pid_t pid = Spawn(arguments, -1, err);
  return pid < 0 ? -1 : Wait(pid);
}

/// A frame of the sender, as written: its link, its number, its capture time and when the test
/// read it from the output (0 when read from a file).
struct Frame {
  uint16_t link = 0;
  uint32_t number = 0;
  int64_t time = 0;
  int64_t arrival = 0;
};

/// Reads a classic microsecond capture from `fd` to its end; each frame of the sender is
/// stamped with the time its record was complete. Other packets are counted in *others.
std::vector<Frame> ReadStream(int fd, size_t* others) {
  std::vector<Frame> frames;
  std::string buffer;
  size_t at = 24; // after the file header
  char chunk[65536];
  for (;;) {
    const ssize_t got = read(fd, chunk, sizeof(chunk));
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      break;
    }
    const int64_t now = RealTimeNow();
    buffer.append(chunk, static_cast<size_t>(got));
    while (buffer.size() >= at + 16) {
      uint32_t record[4];
      std::memcpy(record, buffer.data() + at, sizeof(record));
      if (buffer.size() < at + 16 + record[2]) {
        break;
      }
      const char* data = buffer.data() + at + 16;
      if (record[2] >= 32 && std::memcmp(data + 14, "CVXL", 4) == 0) {
        Frame frame;
        std::memcpy(&frame.link, data + 18, 2);
        std::memcpy(&frame.number, data + 20, 4);
        frame.time = int64_t{record[0]} * 1000000 + record[1];
        frame.arrival = now;
        frames.push_back(frame);
      } else {
        ++*others;
      }
      at += 16 + record[2];
    }
  }
  return frames;
}

std::vector<Frame> ReadFile(const path& file, size_t* others) {
  const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    ADD_FAILURE() << "cannot open " << file;
    return {};
  }
  std::vector<Frame> frames = ReadStream(fd, others);
  close(fd);
  return frames;
}

/// The sender's "link N sent M" lines.
std::map<uint16_t, uint32_t> SentCounts(const std::string& text) {
  std::map<uint16_t, uint32_t> sent;
  unsigned link = 0;
  unsigned long count = 0;
  for (size_t at = text.find("link "); at != std::string::npos; at = text.find("link ", at + 1)) {
    if (std::sscanf(text.c_str() + at, "link %u sent %lu", &link, &count) == 2) {
      sent[static_cast<uint16_t>(link)] = static_cast<uint32_t>(count);
    }
  }
  return sent;
}

/// The packets each interface "rxN" lost in the kernel or the interface, from the summary.
std::map<uint16_t, uint64_t> ReportedDrops(const std::string& text) {
  std::map<uint16_t, uint64_t> drops;
  unsigned link = 0;
  unsigned long kernel = 0;
  unsigned long interface = 0;
  for (size_t at = text.find("  rx"); at != std::string::npos; at = text.find("  rx", at + 1)) {
    if (std::sscanf(text.c_str() + at, "  rx%u: dropped by the kernel %lu, by the interface %lu",
                    &link, &kernel, &interface) == 3) {
      drops[static_cast<uint16_t>(link)] = kernel + interface;
    }
  }
  return drops;
}

/// Frames in time order, each link's numbers rising from 0 with none repeated, and every one sent
/// written unless the summary counts it as dropped before the capture got it (a machine busy
/// enough to stall the capture for longer than its kernel buffer lasts): nothing goes unsaid.
void ExpectEveryFrameOnceInOrder(const std::vector<Frame>& frames,
                                 const std::map<uint16_t, uint32_t>& sent,
                                 const std::map<uint16_t, uint64_t>& drops = {}) {
  std::map<uint16_t, uint32_t> next;
  std::map<uint16_t, uint64_t> seen;
  for (size_t i = 0; i < frames.size(); ++i) {
    ASSERT_TRUE(i == 0 || frames[i].time >= frames[i - 1].time) << "frame " << i << " goes back";
    const uint16_t link = frames[i].link;
    const auto dropped = drops.find(link);
    if (dropped == drops.end() || dropped->second == 0) {
      ASSERT_EQ(frames[i].number, next[link]) << "link " << link << " lost or repeated a frame";
    } else {
      ASSERT_GE(frames[i].number, next[link]) << "link " << link << " repeated a frame";
    }
    next[link] = frames[i].number + 1;
    ++seen[link];
  }
  for (const auto& [link, count] : sent) {
    const auto dropped = drops.find(link);
    const uint64_t lost = dropped == drops.end() ? 0 : dropped->second;
    EXPECT_EQ(seen[link] + lost, count) << "link " << link << ": written and dropped make the sent";
    if (lost > 0) {
      std::printf("note: link %u lost %llu frames before the capture (a busy machine)\n", link,
                  static_cast<unsigned long long>(lost));
    }
  }
}

/// Two namespaces of this run, "tx" and "rx", joined by veth pairs txN <-> rxN.
class LiveMergeTest : public merge_test::ScratchTest {
protected:
  void SetUp() override {
    ScratchTest::SetUp();
    static std::atomic<int> runs{0};
    const std::string base = "cvx" + std::to_string(getpid()) + "_" + std::to_string(runs++);
    m_tx = base + "tx";
    m_rx = base + "rx";
    if (geteuid() != 0) {
      GTEST_SKIP() << "live captures need root (network namespaces and packet sockets)";
    }
    if (RunCommand({"ip", "netns", "add", m_tx}) != 0) {
      GTEST_SKIP() << "cannot make a network namespace (ip netns add failed: is iproute2 "
                      "installed and are namespaces allowed here?)";
    }
    m_made.push_back(m_tx);
    ASSERT_EQ(RunCommand({"ip", "netns", "add", m_rx}), 0);
    m_made.push_back(m_rx);
  }

  void TearDown() override {
    for (pid_t pid : m_running) {
      kill(pid, SIGKILL);
      Wait(pid);
    }
    for (const std::string& name : m_made) {
      RunCommand({"ip", "netns", "del", name}); // takes its veth ends along
    }
    ScratchTest::TearDown();
  }

  void AddLinks(int count) {
    for (int i = 0; i < count; ++i) {
      const std::string tx = "tx" + std::to_string(i);
      const std::string rx = "rx" + std::to_string(i);
      ASSERT_EQ(RunCommand({"ip", "link", "add", "name", tx, "netns", m_tx, "type", "veth", "peer",
                            "name", rx, "netns", m_rx}),
                0);
      ASSERT_EQ(RunCommand({"ip", "-n", m_tx, "link", "set", tx, "up"}), 0);
      ASSERT_EQ(RunCommand({"ip", "-n", m_rx, "link", "set", rx, "up"}), 0);
    }
  }

  /// Starts `command` in the receiving namespace; its standard output goes to `out` (or
  /// /dev/null), its standard error to stderr.txt. Waits until `capturing` holds.
  pid_t StartCapturing(const std::vector<std::string>& command, int out,
                       const std::function<bool()>& capturing) {
    std::vector<std::string> all{"ip", "netns", "exec", m_rx};
    all.insert(all.end(), command.begin(), command.end());
    const pid_t pid = Spawn(all, out, Path("stderr.txt").string());
    if (pid < 0) {
      ADD_FAILURE() << "cannot start " << command.front();
      return pid;
    }
    m_running.push_back(pid);
    const auto limit = std::chrono::steady_clock::now() + 30s;
    while (!capturing()) {
      if (std::chrono::steady_clock::now() > limit) {
        ADD_FAILURE() << command.front()
                      << " did not start capturing: " << merge_test::ReadText(Path("stderr.txt"));
        break;
      }
      std::this_thread::sleep_for(10ms);
    }
    return pid;
  }

  pid_t StartMerge(const std::vector<std::string>& arguments, int out = -1) {
    std::vector<std::string> command{CORVEX_MERGE_PATH};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return StartCapturing(command, out, [this] {
      return merge_test::ReadText(Path("stderr.txt")).find("capturing on") != std::string::npos;
    });
  }

  /// The temporary files a recorder writes beside `output` until it commits it.
  std::vector<path> TemporariesOf(const path& output) const {
    std::vector<path> found;
    for (const auto& entry : merge_test::fs::directory_iterator(m_dir)) {
      const std::string name = entry.path().filename().string();
      if (name.rfind("." + output.filename().string() + ".corvex-", 0) == 0) {
        found.push_back(entry.path());
      }
    }
    return found;
  }

  int Finish(pid_t pid) {
    const int status = Wait(pid);
    m_running.erase(std::find(m_running.begin(), m_running.end(), pid));
    return status;
  }

  /// Sends from the other namespace; returns the frames sent per link.
  std::map<uint16_t, uint32_t> Send(const std::vector<std::string>& links) {
    std::vector<std::string> all{"ip", "netns", "exec", m_tx, LIVE_FRAME_SENDER_PATH};
    all.insert(all.end(), links.begin(), links.end());
    const int out = open(Path("sent.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const pid_t pid = Spawn(all, out, Path("sender.txt").string());
    close(out);
    EXPECT_GE(pid, 0);
    EXPECT_EQ(pid < 0 ? -1 : Wait(pid), 0) << merge_test::ReadText(Path("sender.txt"));
    return SentCounts(merge_test::ReadText(Path("sent.txt")));
  }

  std::string m_tx;
  std::string m_rx;
  std::vector<std::string> m_made;
  std::vector<pid_t> m_running;
};

TEST_F(LiveMergeTest, IdleSteadyAndBurstingLinksAreMergedInOrderWithinTheBound) {
  AddLinks(3);
  constexpr int64_t kDelay = 200000;
  int pipe[2];
  ASSERT_EQ(pipe2(pipe, O_CLOEXEC), 0);
  const pid_t merge = StartMerge({"-i", "rx0", "-i", "rx1", "-i", "rx2", "--filter",
                                  "ether proto 0x88b5", "--delay", "200ms", "-w", "-"},
                                 pipe[1]);
  close(pipe[1]);
  ASSERT_GT(merge, 0);
  size_t others = 0;
  std::vector<Frame> frames;
  std::thread reader([&] { frames = ReadStream(pipe[0], &others); });

  // Link 0 steady for 3 s, link 1 idle for 2 s and then slow, link 2 in bursts.
  const std::map<uint16_t, uint32_t> sent =
      Send({"tx0=0:r300x900", "tx1=1:w2000/r50x20", "tx2=2:b250/w1000/b250/w1000/b250"});
  std::this_thread::sleep_for(std::chrono::microseconds(2 * kDelay));
  kill(merge, SIGINT); // the normal end of a live merge
  const int status = Finish(merge);
  reader.join();
  close(pipe[0]);
  const std::string err = merge_test::ReadText(Path("stderr.txt"));
  EXPECT_EQ(status, 0) << err;
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(others, 0u) << "the capture filter let other packets through";
  ExpectEveryFrameOnceInOrder(frames, sent, ReportedDrops(err));
  if (HasFailure()) {
    std::printf("the merge's summary:\n%s", err.c_str());
  }

  int64_t worst = 0;
  for (const Frame& frame : frames) {
    worst = std::max(worst, frame.arrival - frame.time);
  }
  EXPECT_LE(worst, kDelay + kSlack) << "a frame took longer than the bound from capture to write";
  EXPECT_EQ(ReportedDrops(err).size(), 3u) << "a line per interface: " << err;
  EXPECT_NE(err.find("  order: in time order"), std::string::npos) << err;
}

TEST_F(LiveMergeTest, CountDurationAndSignalsEndTheMergeAsDocumented) {
  AddLinks(2);
  const std::vector<std::string> capture{"-i",  "rx0",      "-i",
                                         "rx1", "--filter", "ether proto 0x88b5"};
  auto with = [&capture](std::vector<std::string> more) {
    more.insert(more.begin(), capture.begin(), capture.end());
    return more;
  };
  // -c: exactly that many packets, then a complete file, renamed into place.
  const path counted = Path("counted.pcap");
  pid_t merge = StartMerge(with({"-c", "50", "-w", counted.string()}));
  Send({"tx0=0:r400x100", "tx1=1:r400x100"});
  EXPECT_EQ(Finish(merge), 0) << merge_test::ReadText(Path("stderr.txt"));
  size_t others = 0;
  const std::vector<Frame> first = ReadFile(counted, &others);
  EXPECT_EQ(first.size(), 50u);
  ExpectEveryFrameOnceInOrder(first, {});

  // -a duration: ends by itself, here with nothing captured: an empty, valid capture.
  const path timed = Path("timed.pcap");
  const auto begin = std::chrono::steady_clock::now();
  merge = StartMerge(with({"-a", "duration:1", "-w", timed.string()}));
  EXPECT_EQ(Finish(merge), 0) << merge_test::ReadText(Path("stderr.txt"));
  EXPECT_GE(std::chrono::steady_clock::now() - begin, 1s);
  EXPECT_TRUE(ReadFile(timed, &others).empty());
  EXPECT_EQ(merge_test::fs::file_size(timed), 24u) << "the file header alone";

  // SIGTERM keeps its meaning: the merge fails, and no file is left.
  const path stopped = Path("stopped.pcap");
  merge = StartMerge(with({"-w", stopped.string()}));
  kill(merge, SIGTERM);
  EXPECT_EQ(Finish(merge), 128 + SIGTERM);
  EXPECT_FALSE(merge_test::fs::exists(stopped));
}

TEST_F(LiveMergeTest, CtrlCEndsALiveDiagramWithEveryCapturedFrameCommitted) {
  AddLinks(2);
  // Two captures into the package's multiplexer into a recorder; only Ctrl-C comes before the
  // end condition (a duration the test never reaches).
  std::string diagram = "packages = [\"" CORVEX_PACKAGE_FILE "\"]\nconnections = [\n";
  std::string components;
  for (const std::string n : {"0", "1"}) {
    diagram += "  \"rx" + n + ".output -> multiplexer.input_" + n + "\",\n  \"rx" + n +
               ".end_of_file -> multiplexer.iEndOfFile_" + n + "\",\n";
    components += "[[component]]\nname = \"rx" + n +
                  "\"\nmodel = \"PcapLiveCapture\"\nproperties = { interface = \"rx" + n +
                  "\", filter = \"ether proto 0x88b5\" }\n";
  }
  diagram += "  \"multiplexer.output -> recorder.input\",\n"
             "  \"multiplexer.end_of_file -> recorder.end_of_file\",\n]\n"
             "[end]\nduration = \"1h\"\n" +
             components +
             "[[component]]\nname = \"multiplexer\"\nmodel = \"SortingMultiplexer\"\n"
             "properties = { nb_inputs = 2 }\n"
             "[[component]]\nname = \"recorder\"\nmodel = \"PcapFileRecorder\"\n"
             "properties = { file = \"live.pcap\" }\n";
  merge_test::WriteText(Path("live.toml"), diagram);
  const path output = Path("live.pcap");
  // The recorder's temporary file is made once the captures are open, before the run starts.
  const pid_t run = StartCapturing({CORVEX_RUN_PATH, Path("live.toml").string()}, -1,
                                   [&] { return !TemporariesOf(output).empty(); });
  ASSERT_GT(run, 0);
  const std::map<uint16_t, uint32_t> sent = Send({"tx0=0:r400x120", "tx1=1:b60/w100/b60"});
  std::this_thread::sleep_for(200ms); // the last frames reach the capture's buffer
  kill(run, SIGINT);                  // the normal end of a live diagram
  const int status = Finish(run);
  const std::string err = merge_test::ReadText(Path("stderr.txt"));
  EXPECT_EQ(status, 0) << err;
  EXPECT_TRUE(merge_test::fs::exists(output)) << err;
  EXPECT_TRUE(TemporariesOf(output).empty()) << "a temporary file was left beside the output";
  size_t others = 0;
  ASSERT_EQ(sent.size(), 2u);
  ExpectEveryFrameOnceInOrder(ReadFile(output, &others), sent);
  EXPECT_EQ(others, 0u) << "the capture filter let other packets through";
  if (HasFailure()) {
    std::printf("corvex-run's standard error:\n%s", err.c_str());
  }
  // A reorder buffer would hold back the elements the captures wait to see written.
  const size_t at = diagram.find("nb_inputs = 2");
  diagram.insert(at + 13, ", buffer_packet_count = 100");
  merge_test::WriteText(Path("live.toml"), diagram);
  const path refused = Path("refused.txt");
  EXPECT_EQ(RunCommand({"ip", "netns", "exec", m_rx, CORVEX_RUN_PATH, Path("live.toml").string()},
                       refused.string()),
            1);
  const std::string told = merge_test::ReadText(refused);
  const std::string line =
      std::to_string(std::count(diagram.begin(), diagram.begin() + at, '\n') + 1);
  EXPECT_NE(told.find("live.toml:" + line + ": multiplexer merges live captures (rx0, ...)"),
            std::string::npos)
      << told;
  EXPECT_NE(told.find("buffer_packet_count must be 0"), std::string::npos) << told;
}

} // namespace
