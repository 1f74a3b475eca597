#include "package/vant_module_management.h"

#include "kernel/vant_kernel.h"
#include "runtime/vant_module.h"
#include "runtime/vant_report.h"
#include "sync/vant_engine_time.h"
#include "sync/vant_event.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_set>

namespace {

// Caption of the load-time messages, shown before any engine is reachable.
constexpr const char* kLoadTimeCaption = ".\\src\\ModuleManagement";

// Created on first use and never destroyed: static initialisers of other translation units may
// register before this one's, and the registry outlives every static destructor.
std::vector<VANTModuleGroupDefinition*>& GroupList() {
  static auto* groups = new std::vector<VANTModuleGroupDefinition*>();
  return *groups;
}

bool g_initialised = false;

std::mutex& InitMutex() {
  static auto* mutex = new std::mutex();
  return *mutex;
}

bool SameName(const char* a, const char* b) noexcept {
  if (!a || !b) {
    return a == b;
  }
  return std::strcmp(a, b) == 0;
}

char* CopyName(const char* name) {
  if (!name) {
    return nullptr;
  }
  const size_t size = std::strlen(name) + 1;
  char* copy = new char[size];
  std::memcpy(copy, name, size);
  return copy;
}

void ShowLoadTimeError(const char* text) noexcept {
  VANT::DisplayWithTitle(kLoadTimeCaption, text, VANT::kError);
}

template <typename T>
void Erase(std::vector<T*>& list, const T* item) {
  list.erase(std::remove(list.begin(), list.end(), item), list.end());
}

// Visits group, then its subgroups depth first; each group once, so a cycle of subgroups ends.
template <typename Visit>
bool VisitDepthFirst(const VANTModuleGroupDefinition* group,
                     std::unordered_set<const VANTModuleGroupDefinition*>& seen, Visit& visit) {
  if (!seen.insert(group).second) {
    return true;
  }
  if (!visit(group)) {
    return false;
  }
  for (const VANTModuleGroupDefinition* sub : group->Subgroups()) {
    if (!VisitDepthFirst(sub, seen, visit)) {
      return false;
    }
  }
  return true;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Groups

VANTModuleGroupDefinition::VANTModuleGroupDefinition(const char* name, Callback initCallback,
                                                     Callback exitCallback,
                                                     const char* parentName) {
  if (!name) {
    ShowLoadTimeError("VANTModuleGroupDefinition construction : the group name can't be NULL\n");
  }
  m_name = CopyName(name);

  auto& groups = GroupList();
  if (VANTModuleGroupDefinition* previous = VANTModuleRegistry::FindGroup(m_name)) {
    // Take over the placeholder: its subgroups, then its definitions in order.
    for (VANTModuleGroupDefinition* sub : previous->m_subgroups) {
      if (sub != this &&
          std::find(m_subgroups.begin(), m_subgroups.end(), sub) == m_subgroups.end()) {
        m_subgroups.push_back(sub);
      }
    }
    previous->m_subgroups.clear();
    for (VANTModuleDefinition* definition : previous->m_definitions) {
      definition->m_group = this;
      definition->m_category = m_name;
      m_definitions.push_back(definition);
    }
    previous->m_definitions.clear();
    Erase(groups, previous);
    for (VANTModuleGroupDefinition* group : groups) {
      Erase(group->m_subgroups, previous);
    }
    delete previous;
  }
  groups.push_back(this);

  if (parentName) {
    VANTModuleRegistry::AddSubgroup(VANTModuleRegistry::FindOrCreateGroup(parentName), this);
  }

  m_initCallback = initCallback;
  m_exitCallback = exitCallback;
  if (m_initCallback) {
    m_initCallback();
  }
}

VANTModuleGroupDefinition::~VANTModuleGroupDefinition() {
  while (!m_definitions.empty()) {
    delete m_definitions.back(); // unlinks itself from m_definitions
  }
  delete[] m_name;
  m_name = nullptr;
  if (m_exitCallback) {
    m_exitCallback();
  }
  m_subgroups.clear();
}

// ---------------------------------------------------------------------------------------------
// Definitions

VANTModuleDefinition::VANTModuleDefinition(const char* name, const char* category,
                                           CreateFunction createFn, void* userData,
                                           Callback initCallback, Callback exitCallback) {
  VANTModuleGroupDefinition* group = VANTModuleRegistry::FindGroup(category);
  if (group) {
    for (const VANTModuleDefinition* existing : group->m_definitions) {
      if (SameName(existing->m_name, name)) {
        char text[512];
        std::snprintf(text, sizeof(text), "Module %s already referenced in the category %s\n",
                      name ? name : "(null)", category ? category : "(null)");
        ShowLoadTimeError(text);
        break;
      }
    }
  } else {
    group = new VANTModuleGroupDefinition(category);
  }

  m_name = CopyName(name);
  m_category = group->m_name;
  m_createFn = createFn;
  m_userData = userData;
  m_initCallback = initCallback;
  m_exitCallback = exitCallback;
  m_group = group;
  group->m_definitions.push_back(this);

  if (g_initialised && m_initCallback) {
    m_initCallback(m_userData);
  }
}

VANTModuleDefinition::~VANTModuleDefinition() {
  if (m_group) {
    Erase(m_group->m_definitions, this);
    m_group = nullptr;
  }
  delete[] m_name;
  m_name = nullptr;
  if (m_exitCallback) {
    m_exitCallback(m_userData);
  }
}

// ---------------------------------------------------------------------------------------------
// Registry operations

const std::vector<VANTModuleGroupDefinition*>& VANTModuleRegistry::Groups() {
  return GroupList();
}

VANTModuleGroupDefinition* VANTModuleRegistry::FindGroup(const char* name) {
  for (VANTModuleGroupDefinition* group : GroupList()) {
    if (SameName(group->m_name, name)) {
      return group;
    }
  }
  return nullptr;
}

VANTModuleGroupDefinition* VANTModuleRegistry::FindOrCreateGroup(const char* name) {
  if (VANTModuleGroupDefinition* group = FindGroup(name)) {
    return group;
  }
  return new VANTModuleGroupDefinition(name);
}

VANTModuleDefinition* VANTModuleRegistry::FindDefinition(const char* name,
                                                         const VANTModuleGroupDefinition* group,
                                                         bool recursive) {
  if (!group) {
    for (const VANTModuleGroupDefinition* each : GroupList()) {
      for (VANTModuleDefinition* definition : each->m_definitions) {
        if (SameName(definition->m_name, name)) {
          return definition;
        }
      }
    }
    return nullptr;
  }
  VANTModuleDefinition* found = nullptr;
  std::unordered_set<const VANTModuleGroupDefinition*> seen;
  auto visit = [&](const VANTModuleGroupDefinition* each) {
    for (VANTModuleDefinition* definition : each->m_definitions) {
      if (SameName(definition->m_name, name)) {
        found = definition;
        return false;
      }
    }
    return recursive;
  };
  VisitDepthFirst(group, seen, visit);
  return found;
}

int32_t VANTModuleRegistry::CountDefinitions() {
  size_t count = 0;
  for (const VANTModuleGroupDefinition* group : GroupList()) {
    count += group->m_definitions.size();
  }
  return static_cast<int32_t>(count);
}

int32_t VANTModuleRegistry::CountDefinitions(const char* groupName, bool withSubgroups) {
  const VANTModuleGroupDefinition* group = FindGroup(groupName);
  if (!group) {
    return -1;
  }
  size_t count = 0;
  std::unordered_set<const VANTModuleGroupDefinition*> seen;
  auto visit = [&](const VANTModuleGroupDefinition* each) {
    count += each->m_definitions.size();
    return withSubgroups;
  };
  VisitDepthFirst(group, seen, visit);
  return static_cast<int32_t>(count);
}

int32_t VANTModuleRegistry::CollectDefinitions(const char* groupName, VANTModuleDefinition** out,
                                               int32_t maxCount) {
  if (!out || maxCount < 1) {
    return 0;
  }
  int32_t written = 0;
  auto visit = [&](const VANTModuleGroupDefinition* each) {
    for (VANTModuleDefinition* definition : each->m_definitions) {
      if (written >= maxCount) {
        return false;
      }
      out[written++] = definition;
    }
    return written < maxCount;
  };
  if (!groupName) {
    for (const VANTModuleGroupDefinition* group : GroupList()) {
      if (!visit(group)) {
        break;
      }
    }
    return written;
  }
  const VANTModuleGroupDefinition* group = FindGroup(groupName);
  if (!group) {
    return 0;
  }
  std::unordered_set<const VANTModuleGroupDefinition*> seen;
  VisitDepthFirst(group, seen, visit);
  return written;
}

void VANTModuleRegistry::AddSubgroup(VANTModuleGroupDefinition* parent,
                                     VANTModuleGroupDefinition* child) {
  if (!parent || !child || parent == child) {
    return;
  }
  auto& subgroups = parent->m_subgroups;
  if (std::find(subgroups.begin(), subgroups.end(), child) == subgroups.end()) {
    subgroups.push_back(child);
  }
}

void VANTModuleRegistry::RemoveGroup(VANTModuleGroupDefinition* group) {
  if (!group) {
    return;
  }
  auto& groups = GroupList();
  Erase(groups, group);
  for (VANTModuleGroupDefinition* each : groups) {
    Erase(each->m_subgroups, group);
  }
  delete group;
}

VANTModuleBase* VANTModuleRegistry::CreateModule(VANTModuleDefinition* definition,
                                                 const char* instanceName) {
  if (definition == nullptr || definition->m_createFn == nullptr) {
    return nullptr;
  }
  VANTModuleBase* module = definition->m_createFn(instanceName, definition->m_userData);
  if (module != nullptr) {
    module->SetDefinition(definition);
  }
  return module;
}

void VANTModuleRegistry::RemoveDefinition(VANTModuleDefinition* definition) {
  delete definition;
}

void VANTModuleRegistry::Clear() {
  auto& groups = GroupList();
  while (!groups.empty()) {
    VANTModuleGroupDefinition* group = groups.back();
    groups.pop_back();
    for (VANTModuleGroupDefinition* each : groups) {
      Erase(each->m_subgroups, group);
    }
    delete group;
  }
  groups.shrink_to_fit();
  g_initialised = false;
}

bool VANTModuleRegistry::IsInitialised() noexcept {
  return g_initialised;
}

int32_t VANTModuleRegistry::Initialise(VANTHostKernel* kernel, int32_t version) noexcept {
  if (version != kInterfaceVersion || !kernel) {
    return 0;
  }
  std::lock_guard<std::mutex> lock(InitMutex());
  if (!VANT::Kernel()) {
    g_initialised = true;
    // The callbacks run before the kernel is stored.
    for (const VANTModuleGroupDefinition* group : GroupList()) {
      for (const VANTModuleDefinition* definition : group->m_definitions) {
        if (!definition->m_initCallback) {
          continue;
        }
        try {
          definition->m_initCallback(definition->m_userData);
        } catch (...) {
          std::string text = "Initialisation of module ";
          text += definition->m_name ? definition->m_name : "(null)";
          text += " failed\n";
          ShowLoadTimeError(text.c_str());
        }
      }
    }
    VANT::StoreKernel(kernel);
    VANT::InstallKernelReportHook();
    VANT::SetEventDisarmHook(&VANT::DisarmTimerEvent); // armed events disarm when destroyed
  }
  return kInterfaceLevel;
}

int32_t VANTModuleRegistry::ModelsQuery(const char* groupName, void** out,
                                        int32_t maxCount) noexcept {
  try {
    if (!out) {
      return groupName ? CountDefinitions(groupName, true) : CountDefinitions();
    }
    if (maxCount < 1) {
      return 0;
    }
    // Every definition is collected at most once, so the registry's size bounds the array
    // whatever maxCount the caller gives.
    const int32_t capacity = std::min(maxCount, CountDefinitions());
    if (capacity < 1) {
      return 0;
    }
    std::vector<VANTModuleDefinition*> collected(static_cast<size_t>(capacity));
    const int32_t count = CollectDefinitions(groupName, collected.data(), capacity);
    for (int32_t i = 0; i < count; ++i) {
      out[i] = collected[static_cast<size_t>(i)]->UserData();
    }
    return count;
  } catch (...) {
    return 0;
  }
}
