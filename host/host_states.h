#pragma once
// The last state word each module announced (kernel slot 34), with a way to wait for a bit.
//
// Thread: any thread. A mutex and a condition variable; announcements notify after unlocking.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

class HostStates {
public:
  void Set(const char* moduleName, uint32_t word);
  /// The last word announced for the module; false when it announced none.
  bool Get(const std::string& moduleName, uint32_t& word);
  /// Blocks until the module's last word has every bit of mask set, or the timeout passes.
  /// True when the bits are set.
  bool WaitForBits(const std::string& moduleName, uint32_t mask, std::chrono::milliseconds timeout);
  /// Number of announcements received so far, for every module.
  uint64_t Count();
  void Clear();

private:
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::unordered_map<std::string, uint32_t> m_words;
  uint64_t m_count = 0;
};
