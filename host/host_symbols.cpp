#include "host/host_symbols.h"

#include <algorithm>

bool HostSymbols::Add(const char* fullName, VANTSymbolRecord::Kind kind, void* object,
                      VANTModule* module) {
  if (!fullName) {
    return false;
  }
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  return m_records.try_emplace(fullName, VANTSymbolRecord{kind, object, module}).second;
}

bool HostSymbols::Remove(const char* fullName) {
  if (!fullName) {
    return false;
  }
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  return m_records.erase(fullName) > 0;
}

bool HostSymbols::RenameModule(const char* oldName, const char* newName) {
  if (!oldName || !newName) {
    return false;
  }
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  auto module = m_records.find(oldName);
  if (module == m_records.end() || module->second.kind != VANTSymbolRecord::kModule) {
    return false;
  }
  const std::string oldPrefix = std::string(oldName) + ".";
  const std::string newPrefix = std::string(newName) + ".";
  std::vector<std::pair<std::string, std::string>> renames{{oldName, newName}};
  for (const auto& [name, record] : m_records) {
    if (name.compare(0, oldPrefix.size(), oldPrefix) == 0) {
      renames.emplace_back(name, newPrefix + name.substr(oldPrefix.size()));
    }
  }
  // Refuse before changing anything when a new name is taken by a record that is not renamed.
  for (const auto& rename : renames) {
    const std::string& to = rename.second;
    if (m_records.count(to) != 0 && std::none_of(renames.begin(), renames.end(),
                                                 [&](const auto& r) { return r.first == to; })) {
      return false;
    }
  }
  std::vector<std::pair<std::string, VANTSymbolRecord>> moved;
  for (const auto& [from, to] : renames) {
    auto node = m_records.find(from);
    moved.emplace_back(to, node->second);
    m_records.erase(node);
  }
  for (auto& [name, record] : moved) {
    m_records.emplace(std::move(name), record);
  }
  return true;
}

bool HostSymbols::Contains(const char* name) {
  if (!name) {
    return false;
  }
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  return m_records.count(name) != 0;
}

VANTSymbolRecord* HostSymbols::Find(const char* fullName) {
  if (!fullName) {
    return nullptr;
  }
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  auto found = m_records.find(fullName);
  return found == m_records.end() ? nullptr : &found->second;
}

VANTSymbolRecord* HostSymbols::FindModule(const char* name) {
  VANTSymbolRecord* record = Find(name);
  return record && record->kind == VANTSymbolRecord::kModule ? record : nullptr;
}

size_t HostSymbols::Size() {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  return m_records.size();
}

std::vector<std::string> HostSymbols::Names() {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  std::vector<std::string> names;
  names.reserve(m_records.size());
  for (const auto& entry : m_records) {
    names.push_back(entry.first);
  }
  std::sort(names.begin(), names.end());
  return names;
}

void HostSymbols::RemoveAllButSettings() {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  for (auto it = m_records.begin(); it != m_records.end();) {
    if (it->second.kind == VANTSymbolRecord::kEngineSetting) {
      ++it;
    } else {
      it = m_records.erase(it);
    }
  }
}
