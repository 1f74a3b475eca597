#include "host/host_states.h"

void HostStates::Set(const char* moduleName, uint32_t word) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_words[moduleName ? moduleName : ""] = word;
    ++m_count;
  }
  m_changed.notify_all();
}

bool HostStates::Get(const std::string& moduleName, uint32_t& word) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto found = m_words.find(moduleName);
  if (found == m_words.end()) {
    return false;
  }
  word = found->second;
  return true;
}

bool HostStates::WaitForBits(const std::string& moduleName, uint32_t mask,
                             std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_changed.wait_for(lock, timeout, [&] {
    auto found = m_words.find(moduleName);
    return found != m_words.end() && (found->second & mask) == mask;
  });
}

uint64_t HostStates::Count() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_count;
}

void HostStates::Clear() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_words.clear();
  m_count = 0;
}
