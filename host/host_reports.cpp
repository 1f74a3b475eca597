#include "host/host_reports.h"

#include <cstdio>

const char* HostReportLevelName(int32_t level) noexcept {
  switch (level) {
  case 0:
    return "info";
  case 1:
    return "warning";
  default:
    return "error";
  }
}

void HostReports::Add(const char* text, int32_t level, int32_t option, bool flag) {
  HostReport report{text ? text : "", level, option, flag};
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_echo) {
    std::fprintf(stderr, "[%s] %s\n", HostReportLevelName(level), report.text.c_str());
  }
  m_reports.push_back(std::move(report));
}

std::vector<HostReport> HostReports::Take() {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::vector<HostReport> taken;
  taken.swap(m_reports);
  return taken;
}

std::vector<HostReport> HostReports::Peek() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_reports;
}

void HostReports::Clear() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_reports.clear();
}

void HostReports::SetEcho(bool echo) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_echo = echo;
}
