#include "host/host_settings.h"

HostSettings::HostSettings(HostSymbols& symbols) : m_symbols(symbols) {
  RestoreDefaults();
}

void HostSettings::SetBool(const std::string& name, bool value) {
  SetInt(name, value ? 1 : 0);
}

void HostSettings::SetInt(const std::string& name, int64_t value) {
  Remove(name);
  std::lock_guard<std::mutex> lock(m_mutex);
  m_numbers[name] = value;
}

void HostSettings::SetText(const std::string& name, const std::string& value) {
  Remove(name);
  auto text = std::make_unique<std::string>(value);
  m_symbols.Lock();
  m_symbols.Add(name.c_str(), VANTSymbolRecord::kEngineSetting, text->data(), nullptr);
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_texts[name] = std::move(text);
  }
  m_symbols.Unlock();
}

void HostSettings::Remove(const std::string& name) {
  // Symbol lock first, then ours: the same order as SetText.
  m_symbols.Lock();
  std::unique_ptr<std::string> old;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_numbers.erase(name);
    auto text = m_texts.find(name);
    if (text != m_texts.end()) {
      old = std::move(text->second);
      m_texts.erase(text);
      m_symbols.Remove(name.c_str());
    }
  }
  m_symbols.Unlock();
}

bool HostSettings::Bool(const char* name, bool* found) {
  return Int(name, found) != 0;
}

int64_t HostSettings::Int(const char* name, bool* found) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto value = name ? m_numbers.find(name) : m_numbers.end();
  const bool present = value != m_numbers.end();
  if (found) {
    *found = present;
  }
  return present ? value->second : 0;
}

std::string HostSettings::Text(const char* name, bool* found) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto value = name ? m_texts.find(name) : m_texts.end();
  const bool present = value != m_texts.end();
  if (found) {
    *found = present;
  }
  return present ? *value->second : std::string();
}

void HostSettings::RestoreDefaults() {
  std::vector<std::string> names;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& entry : m_numbers) {
      names.push_back(entry.first);
    }
    for (const auto& entry : m_texts) {
      names.push_back(entry.first);
    }
  }
  for (const std::string& name : names) {
    Remove(name);
  }
  SetText("Engine.version", "5.0.0");
  SetBool("Engine.sequentialStart", false);
}
