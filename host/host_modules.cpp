#include "host/host_modules.h"

#include "runtime/vant_action.h"
#include "runtime/vant_module.h"

#include <exception>
#include <utility>

namespace {

constexpr const char* kEngineTime = "Engine.time";

/// The engine's module "Engine.time": a plain module with the action "refreshInputProperties",
/// which records the input full name it is given.
class HostEngineTime final : public VANTModule {
public:
  explicit HostEngineTime(HostModules& owner)
      : VANTModule(kEngineTime, false, false), m_owner(owner) {}

  static void Refresh(VANTModule* module, int32_t /*index*/, intptr_t argument) {
    static_cast<HostEngineTime*>(module)->m_owner.RecordRefreshedInput(
        reinterpret_cast<const char*>(argument));
  }

private:
  HostModules& m_owner;
};

const VANTActionCallbacks kRefreshCallbacks{nullptr, &HostEngineTime::Refresh};
const VANTActionDefinition kRefreshDefinition{"refreshInputProperties", &kRefreshCallbacks, 1, {}};

} // namespace

HostModules::HostModules(HostSymbols& symbols, HostReports& reports)
    : m_symbols(symbols), m_reports(reports) {}

HostModules::~HostModules() = default;

bool HostModules::Rename(const char* currentName, const char* newName) {
  if (currentName == nullptr || newName == nullptr || *newName == 0) {
    return false;
  }
  // Copies: the names may be the module's own, which the renaming changes.
  const std::string oldName(currentName);
  const std::string name(newName);
  if (!m_symbols.RenameModule(oldName.c_str(), name.c_str())) {
    return false;
  }
  VANTSymbolRecord* record = m_symbols.FindModule(name.c_str());
  VANTModule* module = record != nullptr ? record->module : nullptr;
  if (module != nullptr) {
    module->SetName(oldName.c_str(), name.c_str());
  }
  return true;
}

bool HostModules::TriggerAction(const char* fullName, intptr_t argument) {
  m_symbols.Lock();
  VANTSymbolRecord* record = m_symbols.Find(fullName);
  VANTAction* action = record != nullptr && record->kind == VANTSymbolRecord::kAction
                           ? static_cast<VANTAction*>(record->object)
                           : nullptr;
  m_symbols.Unlock();
  if (action == nullptr) {
    return false;
  }
  std::string failure;
  try {
    action->Trigger(argument);
    return true;
  } catch (int code) {
    failure = "integer " + std::to_string(code);
  } catch (const std::exception& exception) {
    failure = exception.what();
  } catch (...) {
    failure = "unknown exception";
  }
  m_reports.Add(("Host: the action " + std::string(fullName) + " failed: " + failure).c_str(), 2, 0,
                false);
  return false;
}

void HostModules::Announce(HostAnnouncement::Kind kind, const char* fullName,
                           const char* moduleName, const char* shortName, int32_t position) {
  HostAnnouncement announcement{kind, fullName != nullptr ? fullName : "",
                                moduleName != nullptr ? moduleName : "",
                                shortName != nullptr ? shortName : "", position};
  std::lock_guard<std::mutex> lock(m_logMutex);
  m_announcements.push_back(std::move(announcement));
}

std::vector<HostAnnouncement> HostModules::TakeAnnouncements() {
  std::lock_guard<std::mutex> lock(m_logMutex);
  return std::exchange(m_announcements, {});
}

void HostModules::InstallEngineTime() {
  std::lock_guard<std::mutex> lock(m_engineTimeMutex);
  if (m_engineTime != nullptr) {
    return;
  }
  auto module = std::make_unique<HostEngineTime>(*this);
  // The module's record first: the action's record names its module.
  if (!m_symbols.Add(kEngineTime, VANTSymbolRecord::kModule, module.get(), module.get())) {
    m_reports.Add("Host: the name Engine.time is taken", 2, 0, false);
    return;
  }
  try {
    module->NewAction(kRefreshDefinition);
  } catch (...) {
    m_symbols.Remove(kEngineTime);
    return; // reported by the module
  }
  m_engineTime = std::move(module);
}

void HostModules::RemoveEngineTime() {
  std::unique_ptr<VANTModule> module;
  {
    std::lock_guard<std::mutex> lock(m_engineTimeMutex);
    module = std::move(m_engineTime);
  }
  if (module != nullptr) {
    module.reset(); // drops the action's name
    m_symbols.Remove(kEngineTime);
  }
}

std::vector<std::string> HostModules::TakeRefreshedInputs() {
  std::lock_guard<std::mutex> lock(m_logMutex);
  return std::exchange(m_refreshedInputs, {});
}

void HostModules::RecordRefreshedInput(const char* inputName) {
  std::lock_guard<std::mutex> lock(m_logMutex);
  m_refreshedInputs.emplace_back(inputName != nullptr ? inputName : "");
}

void HostModules::Reset() {
  RemoveEngineTime();
  std::lock_guard<std::mutex> lock(m_logMutex);
  m_announcements.clear();
  m_refreshedInputs.clear();
}
