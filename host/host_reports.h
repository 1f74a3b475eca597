#pragma once
// The reports the package sends to the engine (kernel slot 96), kept in memory so that tests can
// read them, and optionally echoed on stderr as "[info|warning|error] text".
//
// Thread: every operation may be called from any thread; a mutex guards the list (a leaf lock:
// nothing is called while it is held).

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct HostReport {
  std::string text;
  int32_t level = 0; // 0 information, 1 warning, 2 error
  int32_t option = 0;
  bool flag = false;
};

/// "info", "warning" or "error" (any other level).
const char* HostReportLevelName(int32_t level) noexcept;

class HostReports {
public:
  void Add(const char* text, int32_t level, int32_t option, bool flag);
  /// Every report kept so far, oldest first; the list is emptied.
  std::vector<HostReport> Take();
  /// A copy of the reports kept so far.
  std::vector<HostReport> Peek() const;
  void Clear();
  /// Prints each new report on stderr as "[level] text" as well (command-line tools).
  void SetEcho(bool echo);

private:
  mutable std::mutex m_mutex;
  std::vector<HostReport> m_reports;
  bool m_echo = false;
};
