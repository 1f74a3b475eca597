#pragma once
// Actions: named commands of a module that the user triggers from the engine (a button in the
// component's menu). VANTAction is the handle the engine calls; VANTActionImplementation is its
// one implementation, made from an action definition by the module's NewAction
// (runtime/vant_dynamic_creation.cpp). The runtime also carries one ready-made action callback:
// rename after upstream component.
//
// Thread: the engine triggers actions from its own threads; a callback runs on the triggering
//   thread. The full name changes only when the module is renamed, under its structure lock.
// Ownership: a module owns its actions and destroys them with itself; an action keeps its own
//   copy of the definition's callback pair.

#include "runtime/vant_model_definition.h"
#include "util/vant_string.h"

#include <cstdint>

class VANTModule;

class VANTAction {
public:
  /// Runs the action's callback with the argument (a pointer-sized value).
  virtual void Trigger(intptr_t argument) = 0; // 0
  virtual const char* FullName() = 0;          // 1
  virtual const char* ShortName() = 0;         // 2
  virtual ~VANTAction() = default;             // 3
};

class VANTActionImplementation final : public VANTAction {
public:
  /// fullName is the module name + "." + shortName. The callback pair is copied (none when the
  /// definition has none).
  VANTActionImplementation(VANTModule* owner, const VANTActionDefinition& definition,
                           const char* fullName, const char* shortName);
  ~VANTActionImplementation() override;
  VANTActionImplementation(const VANTActionImplementation&) = delete;
  VANTActionImplementation& operator=(const VANTActionImplementation&) = delete;

  /// Unless the action may run while the component is not running, a dead owner (state bit 1)
  /// only reports (warning) "This action is not allowed when the component is not running.".
  /// Otherwise calls the callback with argument if there is one, else the plain callback, else
  /// nothing. Exceptions of the callback reach the caller.
  void Trigger(intptr_t argument) override;
  const char* FullName() override { return m_fullName.Text(); }
  const char* ShortName() override { return m_shortName.Text(); }

  /// The definition's name pointer: the identity used when Dynamic declares actions again.
  const char* DefinitionName() const noexcept { return m_definitionName; }
  VANTModule* Module() const noexcept { return m_module; }
  bool AllowedWhenDead() const noexcept { return m_allowedWhenDead == 1; }
  /// Position in the owner's action list when it was created or last declared.
  int32_t Index() const noexcept { return m_index; }
  void SetIndex(int32_t index) noexcept { m_index = index; }
  /// Module renamed: the full name's module part oldName becomes newName.
  void Rename(const char* oldName, const char* newName);

private:
  VANTStackedString<40> m_fullName;
  VANTStackedString<40> m_shortName;
  const char* m_definitionName;
  VANTActionCallbacks m_callbacks;
  uint8_t m_allowedWhenDead;
  VANTModule* m_module;
  int32_t m_index = 0;
};

namespace VANT {

/// The action callback that renames a component after the output connected to its first input:
/// the output's full name with dots made underscores (and macro-component parts joined), followed
/// by "_1" up to "_20" when the name is taken. Reports why when it cannot; never throws.
void RenameAfterUpstreamComponent(VANTModule* module, int32_t index) noexcept;

/// The callback pair of that action, for action definitions.
inline constexpr VANTActionCallbacks RenameAfterUpstreamComponentCallbacks{
    &RenameAfterUpstreamComponent, nullptr};

/// Number of numbered candidates rename after upstream component tries after the plain name.
inline constexpr int32_t kRenameCandidates = 20;

} // namespace VANT
