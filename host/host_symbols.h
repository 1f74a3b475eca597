#pragma once
// The engine's symbol table: every module, input, output, property, action and engine setting by
// its unique full name ("module.short").
//
// Thread: any thread. A recursive mutex guards the table; the package brackets its lookups with
// Lock()/Unlock() (kernel slots 22 and 23) and calls Find() in between, and every other operation
// takes the same mutex itself. Records keep their address until their name is removed.

#include "kernel/vant_host_kernel.h"

#include <cstddef>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

class HostSymbols {
public:
  void Lock() { m_mutex.lock(); }
  void Unlock() { m_mutex.unlock(); }

  /// Adds a record; false (and nothing changes) when the name is taken or null.
  bool Add(const char* fullName, VANTSymbolRecord::Kind kind, void* object, VANTModule* module);
  /// Removes the name; false when it was absent.
  bool Remove(const char* fullName);
  /// Renames a module's record and every record whose name starts with oldName + ".". False when
  /// oldName is no module or newName (or one of the renamed names) is taken.
  bool RenameModule(const char* oldName, const char* newName);

  bool Contains(const char* name);
  /// The record of that name, or null. The pointer stays valid until the name is removed.
  VANTSymbolRecord* Find(const char* fullName);
  /// The record of that name when it is a module, else null.
  VANTSymbolRecord* FindModule(const char* name);
  size_t Size();
  std::vector<std::string> Names();
  /// Removes every record except the engine settings.
  void RemoveAllButSettings();

private:
  std::recursive_mutex m_mutex;
  std::unordered_map<std::string, VANTSymbolRecord> m_records;
};
