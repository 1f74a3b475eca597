#pragma once
// Helpers for the corvex-merge tests: a scratch folder, capture files made on the spot, and a run
// of the real command with its exit status and both output streams.

#include "host/components/vant_pcap_capture_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace merge_test {

namespace fs = std::filesystem;

inline const fs::path kCaptures = fs::path(CORVEX_SOURCE_DIR) / "data" / "captures";

/// A folder of its own for each test, removed afterwards.
class ScratchTest : public testing::Test {
protected:
  void SetUp() override {
    const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
    m_dir = fs::temp_directory_path() / ("corvex_merge_" + std::to_string(getpid()) + "_" +
                                         info->test_suite_name() + "_" + info->name());
    fs::remove_all(m_dir);
    fs::create_directories(m_dir);
  }
  void TearDown() override { fs::remove_all(m_dir); }

  fs::path Path(const std::string& name) const { return m_dir / name; }

  fs::path m_dir;
};

inline std::string ReadText(const fs::path& path) {
  std::string content;
  if (FILE* file = std::fopen(path.c_str(), "rb")) {
    char buffer[65536];
    size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof(buffer), file)) > 0) {
      content.append(buffer, got);
    }
    std::fclose(file);
  }
  return content;
}

inline void WriteText(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

/// The first `bytes` bytes of `source`, as a new file.
inline void CopyPrefix(const fs::path& source, const fs::path& target, size_t bytes) {
  std::string content = ReadText(source);
  content.resize(std::min(bytes, content.size()));
  WriteText(target, content);
}

struct TestPacket {
  int64_t sec = 0;
  int64_t usec = 0;
  std::vector<uint8_t> bytes;
};

/// Writes a classic capture with these packets; original length = captured length.
inline void WriteCapture(const fs::path& path, uint32_t linkType,
                         const std::vector<TestPacket>& packets) {
  VANTPcapCaptureWriter writer;
  ASSERT_TRUE(writer.Open(path.string(), linkType)) << writer.Error();
  for (const TestPacket& packet : packets) {
    const auto size = static_cast<uint32_t>(packet.bytes.size());
    ASSERT_TRUE(writer.Write(packet.sec, packet.usec, size, size, packet.bytes.data()));
  }
  ASSERT_TRUE(writer.Close()) << writer.Error();
}

struct RunResult {
  int status = -1; // exit status, or -1 when the program did not exit normally
  std::string out;
  std::string err;
};

/// Runs corvex-merge with these arguments; its output streams go to files in `scratch`.
inline RunResult RunMerge(const std::vector<std::string>& arguments, const fs::path& scratch) {
  const std::string outPath = (scratch / "stdout.txt").string();
  const std::string errPath = (scratch / "stderr.txt").string();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  std::vector<std::string> all{CORVEX_MERGE_PATH};
  all.insert(all.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& argument : all) {
    argv.push_back(argument.data());
  }
  argv.push_back(nullptr);
  RunResult result;
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    ADD_FAILURE() << "cannot start " << argv[0];
    return result;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) {
    result.status = WEXITSTATUS(status);
  } else {
    ADD_FAILURE() << "corvex-merge did not exit normally (status " << status << ")";
  }
  result.out = ReadText(outPath);
  result.err = ReadText(errPath);
  return result;
}

/// The bytes a merge of `inputs` must write: every packet, ordered by time, equal times by input
/// and then as read (a plain k-way merge, independent of the program).
inline std::string StableMerge(const std::vector<fs::path>& inputs, const fs::path& scratch) {
  struct Entry {
    int64_t time;
    size_t input;
    size_t position;
    VANTCapturePacket packet;
    std::vector<uint8_t> bytes;
  };
  std::vector<Entry> all;
  uint32_t snap = 0;
  uint32_t link = 1;
  for (size_t i = 0; i < inputs.size(); ++i) {
    VANTPcapCaptureReader reader;
    EXPECT_TRUE(reader.Open(inputs[i].string())) << reader.Error();
    snap = std::max(snap, reader.SnapLength());
    link = reader.LinkType();
    VANTCapturePacket p;
    for (size_t k = 0; reader.Next(p) == VANTPcapCaptureReader::Step::kPacket; ++k) {
      all.push_back({p.Timestamp(), i, k, p, std::vector<uint8_t>(p.data, p.data + p.inclLen)});
    }
  }
  std::sort(all.begin(), all.end(), [](const Entry& a, const Entry& b) {
    return std::tie(a.time, a.input, a.position) < std::tie(b.time, b.input, b.position);
  });
  const fs::path out = scratch / "stable_merge.pcap";
  VANTPcapCaptureWriter writer;
  EXPECT_TRUE(writer.Open(out.string(), link, snap)) << writer.Error();
  for (const Entry& e : all) {
    EXPECT_TRUE(writer.Write(e.packet.tsSec, e.packet.tsUsec, e.packet.inclLen, e.packet.origLen,
                             e.bytes.data()));
  }
  EXPECT_TRUE(writer.Close()) << writer.Error();
  std::string bytes = ReadText(out);
  fs::remove(out);
  return bytes;
}

/// The bundled captures in the order of the reference merge.
inline std::vector<fs::path> BundledCaptures() {
  return {kCaptures / "cap_http.pcap", kCaptures / "cap_udp.pcap", kCaptures / "cap_tcpchat.pcap",
          kCaptures / "cap_icmp.pcap"};
}

/// Runs a bash script in `scratch`, with $M naming the program and $C the bundled captures; its
/// output streams go to files in `scratch`.
inline RunResult RunShell(const std::string& script, const fs::path& scratch) {
  setenv("M", CORVEX_MERGE_PATH, 1);
  setenv("C", kCaptures.c_str(), 1);
  const std::string outPath = (scratch / "stdout.txt").string();
  const std::string errPath = (scratch / "stderr.txt").string();
  const std::string command =
      "cd '" + scratch.string() + "' && { " + script + "; } >'" + outPath + "' 2>'" + errPath + "'";
  RunResult result;
  std::string shell = "/bin/bash";
  std::string flag = "-c";
  std::string body = command;
  char* argv[] = {shell.data(), flag.data(), body.data(), nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv, environ) != 0) {
    ADD_FAILURE() << "cannot start bash";
    return result;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.out = ReadText(outPath);
  result.err = ReadText(errPath);
  return result;
}

/// The bytes of a classic capture written by hand: any magic word (either byte order is the
/// caller's business), snapshot length and link type; `fraction` is micro- or nanoseconds.
struct HandRecord {
  uint32_t sec = 0;
  uint32_t fraction = 0;
  std::vector<uint8_t> bytes;
};
inline std::string ClassicCapture(uint32_t magic, uint32_t snapLength, uint32_t linkType,
                                  const std::vector<HandRecord>& records) {
  std::string out;
  auto put32 = [&out](uint32_t value) { out.append(reinterpret_cast<const char*>(&value), 4); };
  put32(magic);
  put32(2u | (4u << 16));
  put32(0);
  put32(0);
  put32(snapLength);
  put32(linkType);
  for (const HandRecord& record : records) {
    put32(record.sec);
    put32(record.fraction);
    put32(static_cast<uint32_t>(record.bytes.size()));
    put32(static_cast<uint32_t>(record.bytes.size()));
    out.append(record.bytes.begin(), record.bytes.end());
  }
  return out;
}

/// A next-generation capture written by hand: one section, these interfaces (link type,
/// snapshot length, time resolution option or -1), then enhanced packet blocks.
struct HandInterface {
  uint16_t linkType = 1;
  uint32_t snapLength = 0;
  int resolution = -1;
};
struct HandPacket {
  uint32_t interface = 0;
  uint64_t units = 0; // in the interface's resolution
  std::vector<uint8_t> bytes;
};
inline std::string NextGenerationCapture(const std::vector<HandInterface>& interfaces,
                                         const std::vector<HandPacket>& packets) {
  std::string out;
  auto put32 = [&out](uint32_t value) { out.append(reinterpret_cast<const char*>(&value), 4); };
  auto put16 = [&out](uint16_t value) { out.append(reinterpret_cast<const char*>(&value), 2); };
  put32(0x0A0D0D0A);
  put32(28);
  put32(0x1A2B3C4D);
  put16(1);
  put16(0);
  put32(0xFFFFFFFF);
  put32(0xFFFFFFFF);
  put32(28);
  for (const HandInterface& interface : interfaces) {
    const uint32_t length = 20 + (interface.resolution >= 0 ? 8 : 0) + 4;
    put32(1);
    put32(length);
    put16(interface.linkType);
    put16(0);
    put32(interface.snapLength);
    if (interface.resolution >= 0) {
      put16(9);
      put16(1);
      put32(static_cast<uint32_t>(interface.resolution)); // the byte, then padding
    }
    put32(0); // end of options
    put32(length);
  }
  for (const HandPacket& packet : packets) {
    const auto size = static_cast<uint32_t>(packet.bytes.size());
    const uint32_t length = 32 + ((size + 3) & ~3u);
    put32(6);
    put32(length);
    put32(packet.interface);
    put32(static_cast<uint32_t>(packet.units >> 32));
    put32(static_cast<uint32_t>(packet.units));
    put32(size);
    put32(size);
    out.append(packet.bytes.begin(), packet.bytes.end());
    out.append((4 - size % 4) % 4, '\0');
    put32(length);
  }
  return out;
}

} // namespace merge_test
