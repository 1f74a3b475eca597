#pragma once
// VANTFailureNote: why a host component failed, for the program that runs it: set on the
// component's thread when it fails, cleared at its next Birth, read from any thread.

#include <atomic>
#include <mutex>
#include <string>

class VANTFailureNote {
public:
  /// Keeps `text`, then marks the failure: a reader that sees Failed() reads this text.
  void Set(const std::string& text) {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_text = text;
    }
    m_failed.store(true, std::memory_order_release);
  }
  void Clear() noexcept { m_failed.store(false, std::memory_order_release); }
  bool Failed() const noexcept { return m_failed.load(std::memory_order_acquire); }
  std::string Text() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_text;
  }

private:
  std::atomic<bool> m_failed{false};
  mutable std::mutex m_mutex; // guards m_text
  std::string m_text;
};
