#pragma once
// The engine's module-level services: renaming a module (kernel slot 69), triggering actions by
// their full name, the announcements of new and removed inputs and outputs (slots 29 to 33), and
// the engine's own module "Engine.time" with its action "refreshInputProperties", which the
// runtime triggers with an input's full name after the input's reader type changed.
//
// "Engine.time" is absent until InstallEngineTime(); Reset() removes it again.
//
// Thread: any thread. The announcement log and the refreshed-input log each have a leaf mutex;
// renaming and triggering call into the package with no host lock held, except the symbol
// table's own while a record is looked up.

#include "host/host_reports.h"
#include "host/host_symbols.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class VANTModule;

/// One announcement of the package about its inputs and outputs.
struct HostAnnouncement {
  enum Kind : int32_t {
    kModuleOutput = 29,
    kInputRemoved = 30,
    kOutputRemoved = 31,
    kComponentOutput = 32,
    kComponentInput = 33,
  };
  Kind kind;
  std::string fullName;
  std::string moduleName; // empty for removals
  std::string shortName;  // empty for removals
  int32_t position = -1;  // position in the module's list; -1 for removals
};

class HostModules {
public:
  HostModules(HostSymbols& symbols, HostReports& reports);
  ~HostModules();
  HostModules(const HostModules&) = delete;
  HostModules& operator=(const HostModules&) = delete;

  /// Kernel slot 69: the module currentName becomes newName, with every symbol below it
  /// ("currentName." prefix), then the module renames itself and its elements. False (nothing
  /// changed) when currentName is no module, or newName is empty or taken.
  bool Rename(const char* currentName, const char* newName);

  /// Triggers the action of that full name ("module.action") with argument. False when there is
  /// no such action; an exception of the action is caught, reported and gives false.
  bool TriggerAction(const char* fullName, intptr_t argument);

  void Announce(HostAnnouncement::Kind kind, const char* fullName, const char* moduleName,
                const char* shortName, int32_t position);
  /// Every announcement since the last call, oldest first.
  std::vector<HostAnnouncement> TakeAnnouncements();

  /// Creates the engine module "Engine.time" with its action "refreshInputProperties" (which may
  /// run at any time); no effect when it exists.
  void InstallEngineTime();
  /// Removes "Engine.time" again.
  void RemoveEngineTime();
  /// The input full names "refreshInputProperties" was triggered with, oldest first; the list is
  /// emptied.
  std::vector<std::string> TakeRefreshedInputs();
  void RecordRefreshedInput(const char* inputName);

  /// Back to a fresh engine: no "Engine.time", no announcements, no refreshed inputs.
  void Reset();

private:
  HostSymbols& m_symbols;
  HostReports& m_reports;

  std::mutex m_engineTimeMutex; // guards m_engineTime (install and removal)
  std::unique_ptr<VANTModule> m_engineTime;

  std::mutex m_logMutex; // leaf: guards the two logs
  std::vector<HostAnnouncement> m_announcements;
  std::vector<std::string> m_refreshedInputs;
};
