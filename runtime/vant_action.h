#pragma once
// VANTAction: the handle of a named command of a module, triggered by the user from the engine.
// Its operations keep their table order: the engine calls them by position.
//
// Ownership: a module owns its actions and destroys them with itself.

#include <cstdint>

class VANTAction {
public:
  /// Runs the action's callback with the argument (a pointer-sized value).
  virtual void Trigger(intptr_t argument) = 0; // 0
  virtual const char* FullName() = 0;          // 1
  virtual const char* ShortName() = 0;         // 2
  virtual ~VANTAction() = default;             // 3
};
