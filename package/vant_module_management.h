#pragma once
// The module registry: every module definition the package declares, sorted into named groups
// (categories). Groups and definitions register themselves when they are constructed, normally
// from static initialisers while the library loads; the engine then initialises the package once
// (VANTPckInit) and collects the definitions' user data (VANTGetModulesDefStruct).
//
// Ownership: groups and definitions are heap objects owned by the registry. A group owns its
// definitions; its subgroups are only referenced. Create them with `new` and never delete them
// yourself: remove them through VANTModuleRegistry.
//
// Thread: the registry has no lock. It is built on the loader's thread and only read afterwards;
// only the package initialisation runs under its own mutex.

#include "kernel/vant_host_kernel.h"

#include <cstdint>
#include <vector>

class VANTModuleBase;
class VANTModuleDefinition;
class VANTModuleRegistry;

/// A named group of module definitions, with optional subgroups.
class VANTModuleGroupDefinition {
public:
  using Callback = void (*)();

  /// Registers the group. A group already registered under the same name (a placeholder made
  /// by a definition or a child group) hands over its definitions and subgroups and is destroyed.
  /// With parentName set, the group becomes a subgroup of that group (created as a placeholder
  /// when missing). A null name is shown as a load-time error and kept.
  VANTModuleGroupDefinition(const char* name, Callback initCallback = nullptr,
                            Callback exitCallback = nullptr, const char* parentName = nullptr);
  VANTModuleGroupDefinition(const VANTModuleGroupDefinition&) = delete;
  VANTModuleGroupDefinition& operator=(const VANTModuleGroupDefinition&) = delete;

  const char* Name() const noexcept { return m_name; }
  const std::vector<VANTModuleDefinition*>& Definitions() const noexcept { return m_definitions; }
  const std::vector<VANTModuleGroupDefinition*>& Subgroups() const noexcept { return m_subgroups; }

protected:
  /// Destroys the group's definitions, then calls the exit callback. Subgroups stay alive.
  virtual ~VANTModuleGroupDefinition();

private:
  friend class VANTModuleDefinition;
  friend class VANTModuleRegistry;

  char* m_name = nullptr;
  Callback m_initCallback = nullptr;
  Callback m_exitCallback = nullptr;
  std::vector<VANTModuleDefinition*> m_definitions;
  std::vector<VANTModuleGroupDefinition*> m_subgroups;
};

/// One module definition: a name, the group it belongs to and the user data the engine gets
/// (for a component: its VANTComponentModelDefinition record).
class VANTModuleDefinition {
public:
  using CreateFunction = VANTModuleBase* (*)(const char* instanceName, void* userData);
  using Callback = void (*)(void* userData);

  /// Registers the definition at the end of the group named category, creating a placeholder
  /// group when none has that name. A second definition of the same name in one category is
  /// shown as a load-time error and still registered. Once the package is initialised, the init
  /// callback runs here, with userData.
  VANTModuleDefinition(const char* name, const char* category, CreateFunction createFn,
                       void* userData, Callback initCallback = nullptr,
                       Callback exitCallback = nullptr);
  VANTModuleDefinition(const VANTModuleDefinition&) = delete;
  VANTModuleDefinition& operator=(const VANTModuleDefinition&) = delete;

  const char* Name() const noexcept { return m_name; }
  /// The name of the group holding the definition (the group's own string).
  const char* Category() const noexcept { return m_category; }
  CreateFunction CreateFn() const noexcept { return m_createFn; }
  void* UserData() const noexcept { return m_userData; }
  VANTModuleGroupDefinition* Group() const noexcept { return m_group; }

protected:
  /// Unlinks the definition from its group, then calls the exit callback with userData.
  virtual ~VANTModuleDefinition();

private:
  friend class VANTModuleGroupDefinition;
  friend class VANTModuleRegistry;

  char* m_name = nullptr;
  const char* m_category = nullptr;
  CreateFunction m_createFn = nullptr;
  Callback m_initCallback = nullptr;
  Callback m_exitCallback = nullptr;
  void* m_userData = nullptr;
  VANTModuleGroupDefinition* m_group = nullptr;
};

/// The package-wide registry operations. Names compare byte-wise and case-sensitively; a null
/// name matches only a null name.
class VANTModuleRegistry {
public:
  /// The interface version word the engine passes to VANTPckInit.
  static constexpr int32_t kInterfaceVersion = 0x804A8;
  /// What VANTPckInit answers on acceptance: the package interface level.
  static constexpr int32_t kInterfaceLevel = 4;

  /// The groups in registration order.
  static const std::vector<VANTModuleGroupDefinition*>& Groups();

  static VANTModuleGroupDefinition* FindGroup(const char* name);
  /// The group of that name, or a new placeholder group (no callbacks, no parent).
  static VANTModuleGroupDefinition* FindOrCreateGroup(const char* name);
  /// The first definition of that name: in every group when group is null, else in group (and,
  /// with recursive, in its subgroups, depth first).
  static VANTModuleDefinition* FindDefinition(const char* name,
                                              const VANTModuleGroupDefinition* group = nullptr,
                                              bool recursive = false);

  /// Sum of the direct definition counts of every group.
  static int32_t CountDefinitions();
  /// The group's own definitions, plus those of its subgroups (recursively) when withSubgroups;
  /// -1 when no group has that name.
  static int32_t CountDefinitions(const char* groupName, bool withSubgroups);
  /// Up to maxCount definitions into out: with groupName null, every group's definitions in
  /// order; else the group's own, then each subgroup depth first. Unknown group or maxCount < 1:
  /// 0. Returns the number written.
  static int32_t CollectDefinitions(const char* groupName, VANTModuleDefinition** out,
                                    int32_t maxCount);

  /// A new module made through the definition: its create function is called with instanceName
  /// and the definition's user data, and the module is linked to the definition. Null when the
  /// definition is null, has no create function, or its create function gives null. The caller
  /// owns the module.
  [[nodiscard]] static VANTModuleBase* CreateModule(VANTModuleDefinition* definition,
                                                    const char* instanceName);

  /// Appends child to parent's subgroups (each group at most once).
  static void AddSubgroup(VANTModuleGroupDefinition* parent, VANTModuleGroupDefinition* child);
  /// Takes the group out of the registry and out of every subgroup list, then destroys it.
  static void RemoveGroup(VANTModuleGroupDefinition* group);
  /// Unlinks and destroys the definition.
  static void RemoveDefinition(VANTModuleDefinition* definition);
  /// Destroys every group, empties the list and clears the initialised flag.
  static void Clear();

  /// True once the package initialisation has accepted its first call.
  static bool IsInitialised() noexcept;

  /// The package initialisation behind VANTPckInit: refuses (0) a version word other than
  /// kInterfaceVersion or a null kernel; the first accepted call runs every definition's init
  /// callback, then stores the kernel; every accepted call returns kInterfaceLevel.
  static int32_t Initialise(VANTHostKernel* kernel, int32_t version) noexcept;

  /// The engine's query behind VANTGetModulesDefStruct: a count when out is null, else the user
  /// data of the collected definitions.
  static int32_t ModelsQuery(const char* groupName, void** out, int32_t maxCount) noexcept;
};
