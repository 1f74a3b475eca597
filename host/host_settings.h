#pragma once
// Engine settings that the package reads by symbol name: booleans and integers through kernel
// slots 146 and 147, texts through the symbol table (slot 79) as engine-setting records whose
// object is the NUL-terminated value.
//
// Thread: any thread; a mutex guards the values (text values also take the symbol table's lock).

#include "host/host_symbols.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

class HostSettings {
public:
  explicit HostSettings(HostSymbols& symbols);

  void SetBool(const std::string& name, bool value);
  void SetInt(const std::string& name, int64_t value);
  /// Replaces the value; the previous text's address becomes invalid.
  void SetText(const std::string& name, const std::string& value);
  /// Removes a setting of any kind.
  void Remove(const std::string& name);

  /// A boolean or integer setting (integers are true when non-zero); false and *found false when
  /// absent.
  bool Bool(const char* name, bool* found);
  /// An integer or boolean setting; 0 and *found false when absent.
  int64_t Int(const char* name, bool* found);
  /// A text setting, or empty with *found false.
  std::string Text(const char* name, bool* found);

  /// The engine's defaults: "Engine.version" = "5.0.0", "Engine.sequentialStart" = false, no
  /// "Engine.shutdownTimeout"; every other setting is removed.
  void RestoreDefaults();

private:
  HostSymbols& m_symbols;
  std::mutex m_mutex;
  std::unordered_map<std::string, int64_t> m_numbers;
  std::unordered_map<std::string, std::unique_ptr<std::string>> m_texts;
};
