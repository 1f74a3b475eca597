#pragma once
// Helpers shared by the fuzz targets: a check that stops the run with a message, a report hook
// that keeps the reports of damaged inputs off the console, and a scratch file per process for
// the readers that only take paths.

#include "util/vant_report_hook.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

/// Stops the run (libFuzzer saves the input) when a property of the code under test fails. The
/// message goes to stdout: the runs close stderr (-close_fd_mask=2) to keep the reports of
/// damaged inputs off the console.
#define FUZZ_CHECK(condition)                                                                      \
  do {                                                                                             \
    if (!(condition)) {                                                                            \
      std::printf("%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);                    \
      std::fflush(stdout);                                                                         \
      std::abort();                                                                                \
    }                                                                                              \
  } while (false)

namespace fuzz {

/// Counts the reports instead of printing them.
inline uint64_t g_reports = 0;
inline void CountReport(const char*, int32_t, int32_t, bool) noexcept {
  ++g_reports;
}
inline void SilenceReports() noexcept {
  VANT::SetReportHook(&CountReport);
}

/// A file of this process in /dev/shm (or $TMPDIR, or /tmp), removed at exit.
class ScratchFile {
public:
  explicit ScratchFile(const char* suffix) {
    const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : std::getenv("TMPDIR");
    m_path = std::string(dir != nullptr ? dir : "/tmp") + "/corvex-fuzz-" +
             std::to_string(getpid()) + suffix;
  }
  ~ScratchFile() { unlink(m_path.c_str()); }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;

  /// Replaces the file's content; false when it cannot be written.
  bool Write(const uint8_t* data, size_t size) const {
    const int fd = open(m_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
      return false;
    }
    bool ok = true;
    while (size > 0 && ok) {
      const ssize_t written = write(fd, data, size);
      ok = written > 0;
      if (ok) {
        data += written;
        size -= static_cast<size_t>(written);
      }
    }
    return close(fd) == 0 && ok;
  }
  const std::string& Path() const noexcept { return m_path; }

private:
  std::string m_path;
};

} // namespace fuzz
