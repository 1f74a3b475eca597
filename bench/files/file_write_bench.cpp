// Write throughput of VANTFileAccessor, each way of writing measured in one process:
//   buffered synchronous (the baseline), unbuffered synchronous, unbuffered asynchronous through
//   the ring (io_uring), and the same ring on its writer-thread fallback.
// Each run writes the same amount in 1 MiB blocks to a fresh file and includes the final flush to
// the disk, so the buffered run pays for its cache too. Use a directory on a real disk: a tmpfs
// measures memory copies.
//
// The disks of shared machines vary from one second to the next, so the four runs are repeated in
// rounds, interleaved, and each way is given with its median rate and its range.
//
// Usage: files_write_bench [directory] [MiB] [rounds]   (defaults: the build directory, 256, 3)

#include "files/vant_file_accessor.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/statfs.h>
#include <unistd.h>
#include <vector>

#ifndef CORVEX_BENCH_DEFAULT_DIR
#define CORVEX_BENCH_DEFAULT_DIR "."
#endif

namespace {

constexpr uint32_t BlockSize = 1024 * 1024;
constexpr int BufferCount = 4; // three in flight and one being filled

char* g_buffers[BufferCount];
int g_free[BufferCount];
int g_freeCount = 0;
bool g_failed = false;

void OnError(const char* text) {
  std::fprintf(stderr, "error: %s\n", text);
  g_failed = true;
}

void OnRelease(void* token) {
  g_free[g_freeCount++] = static_cast<int>(reinterpret_cast<intptr_t>(token)) - 1;
}

void ResetPool() {
  g_freeCount = 0;
  for (int i = BufferCount - 1; i >= 0; --i) {
    g_free[g_freeCount++] = i;
  }
}

/// Writes blocks of BlockSize with the options, flushes, closes. Seconds, or a negative value.
double Run(const std::string& path, int32_t options, int blocks, std::string* backend) {
  ::unlink(path.c_str());
  ResetPool();
  const auto start = std::chrono::steady_clock::now();
  {
    VANTFileAccessor file(&OnError, &OnRelease);
    if (!file.OpenWrite(path.c_str(), options)) {
      return -1;
    }
    *backend = file.WriteHandle()->AsyncBackendName();
    for (int i = 0; i < blocks; ++i) {
      if (g_freeCount == 0) {
        std::fprintf(stderr, "error: no buffer came back\n");
        return -1;
      }
      const int index = g_free[--g_freeCount];    // tokens are index + 1: a null token is dropped
      g_buffers[index][0] = static_cast<char>(i); // the block is "filled" before each write
      if (!file.Write(g_buffers[index], BlockSize, reinterpret_cast<void*>(intptr_t{index + 1}))) {
        return -1;
      }
    }
    if (!file.Flush() || !file.CloseWrite()) {
      return -1;
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ::unlink(path.c_str());
  return g_failed ? -1 : seconds;
}

} // namespace

int main(int argc, char** argv) {
  const std::string directory = argc > 1 ? argv[1] : CORVEX_BENCH_DEFAULT_DIR;
  const int mebibytes = argc > 2 ? std::atoi(argv[2]) : 256;
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 3;
  if (mebibytes <= 0 || rounds <= 0) {
    std::fprintf(stderr, "usage: %s [directory] [MiB] [rounds]\n", argv[0]);
    return 2;
  }
  struct statfs fs {};
  if (::statfs(directory.c_str(), &fs) == 0 && fs.f_type == 0x01021994 /* TMPFS_MAGIC */) {
    std::fprintf(stderr, "warning: %s is a tmpfs; the figures measure memory, not a disk\n",
                 directory.c_str());
  }
  for (char*& buffer : g_buffers) {
    buffer = static_cast<char*>(std::aligned_alloc(4096, BlockSize));
    std::memset(buffer, 0x5A, BlockSize);
  }
  const std::string path = directory + "/files_write_bench.tmp";

  struct Way {
    const char* name;
    int32_t options;
    bool threadFallback;
  };
  const Way ways[] = {
      {"buffered, synchronous", 0, false},
      {"unbuffered, synchronous", VANT::FileNoBuffering, false},
      {"unbuffered, asynchronous", VANT::FileNoBuffering | VANT::FileAsynchronous, false},
      {"unbuffered, asynchronous", VANT::FileNoBuffering | VANT::FileAsynchronous, true},
  };

  std::printf("%d MiB in 1 MiB blocks to %s, %d rounds, each run including the flush to disk\n",
              mebibytes, directory.c_str(), rounds);
  constexpr int WayCount = sizeof ways / sizeof ways[0];
  std::vector<double> rates[WayCount];
  std::string backends[WayCount];
  int status = 0;
  for (int round = 0; round < rounds; ++round) {
    for (int w = 0; w < WayCount; ++w) {
      if (ways[w].threadFallback) {
        ::setenv("CORVEX_NO_IO_URING", "1", 1);
      } else {
        ::unsetenv("CORVEX_NO_IO_URING");
      }
      const double seconds = Run(path, ways[w].options, mebibytes, &backends[w]);
      if (seconds <= 0) {
        status = 1;
        continue;
      }
      rates[w].push_back(mebibytes * 1.048576 / seconds); // MB/s (10^6 bytes)
    }
  }
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
  };
  const double baseline = median(rates[0]);
  for (int w = 0; w < WayCount; ++w) {
    const char* backend = backends[w].empty() ? "-" : backends[w].c_str();
    if (rates[w].empty()) {
      std::printf("%-26s %-9s failed\n", ways[w].name, backend);
      continue;
    }
    const auto [low, high] = std::minmax_element(rates[w].begin(), rates[w].end());
    const double rate = median(rates[w]);
    std::printf("%-26s %-9s %8.1f MB/s (%6.1f .. %6.1f)  %5.2fx buffered\n", ways[w].name, backend,
                rate, *low, *high, baseline > 0 ? rate / baseline : 0.0);
  }
  for (char* buffer : g_buffers) {
    std::free(buffer);
  }
  return status;
}
