#pragma once
// The component model definition record and the entries of its property and action tables (the
// input and output entries are dataflow's, see dataflow/vant_io_definition.h). The engine
// reads these records directly out of the package's data, so their layout is a binary interface
// (little-endian, 64-bit pointers): every offset and size is pinned below at compile time. The
// package and the engine stand-in include this header; nothing here owns memory.
//
// Each definition table ends with an entry whose name is null. The package's static records store
// 0xFFFFFFFF in every count field; the engine fills in the real counts (the entries before the
// terminating null name) before it creates the first instance of a model.

#include "dataflow/vant_io_definition.h"

#include <cstddef>
#include <cstdint>
#include <type_traits>

class VANTModule;
class VANTPropertyValue;
struct VANTComponentModelDefinition;

/// One entry of a property definition table.
struct VANTPropertyDefinition {
  const char* name;                      // short name; null ends the table
  const VANTPropertyValue* defaultValue; // initial value
  void* extra;                           // passed through to the property
  uint8_t needsInit;                     // must be set before the component can start
  uint8_t modifiableAfterStart;          // may be set while the component is started
  uint8_t readOnly;                      // cannot be set through the checked setters
  uint8_t fixedEnumValues;               // enumeration text sets only the selection
  uint32_t stringFlags;                  // 16 readable file, 32 directory, 64 path checks apply
};

/// The two callbacks of an action: plain (module, index) and with an argument.
struct VANTActionCallbacks {
  void (*plain)(VANTModule* module, int32_t index);
  void (*withArgument)(VANTModule* module, int32_t index, intptr_t argument);
};

/// One entry of an action definition table.
struct VANTActionDefinition {
  const char* name;                     // short name; null ends the table
  const VANTActionCallbacks* callbacks; // the pair the action copies
  uint8_t allowedWhenDead;              // 1: may run while the component is not running
  uint8_t padding[7];                   //
};

/// Creates a component: instance name and the record it is made from.
using VANTComponentFactory = VANTModule* (*)(const char* instanceName,
                                             VANTComponentModelDefinition* record);

/// The record through which the engine knows a component model and creates its instances.
struct VANTComponentModelDefinition {
  const char* modelName;              // 0x00
  const char* version;                // 0x08: value of the property componentModelVersion
  VANTComponentFactory factory;       // 0x10
  void* reserved1;                    // 0x18: null in this package
  void* reserved2;                    // 0x20: null in this package
  uint32_t destructionStamp;          // 0x28: non-zero: bumped by every destruction (skips 0)
  uint32_t inputCount;                // 0x2C
  VANTInputDefinition* inputs;        // 0x30
  uint32_t outputCount;               // 0x38
  uint32_t padding0;                  // 0x3C
  VANTOutputDefinition* outputs;      // 0x40
  uint32_t propertyCount;             // 0x48
  uint32_t padding1;                  // 0x4C
  VANTPropertyDefinition* properties; // 0x50
  uint32_t actionCount;               // 0x58
  uint32_t padding2;                  // 0x5C
  VANTActionDefinition* actions;      // 0x60
  uint16_t priority;                  // 0x68: default component priority
  uint16_t padding3;                  // 0x6A
  uint32_t threadingModels;           // 0x6C: bit 0 threaded, bit 1 sequential allowed
  uint8_t threadedByDefault;          // 0x70: initial value of the property threaded
  uint8_t padding4[7];                // 0x71
  const char* tag;                    // 0x78: "$!VANT_MODULE!<category>!<model>!$!<version>!$"
};

namespace VANT {

/// What the package stores in every count field of its static records: "not counted yet".
inline constexpr uint32_t kUncountedEntries = 0xFFFFFFFFu;

/// Threading model bits of a component model definition record.
inline constexpr uint32_t kThreadedModel = 1u;
inline constexpr uint32_t kSequentialModel = 2u;

/// Number of entries of a definition table before the entry whose name is null (0 for a null
/// table).
template <typename Entry>
uint32_t CountEntries(const Entry* table) noexcept {
  uint32_t count = 0;
  if (table) {
    while (table[count].name) {
      ++count;
    }
  }
  return count;
}

} // namespace VANT

// The binary layout the engine relies on.
static_assert(std::is_standard_layout_v<VANTPropertyDefinition> &&
              sizeof(VANTPropertyDefinition) == 32);
static_assert(offsetof(VANTPropertyDefinition, name) == 0);
static_assert(offsetof(VANTPropertyDefinition, defaultValue) == 8);
static_assert(offsetof(VANTPropertyDefinition, extra) == 16);
static_assert(offsetof(VANTPropertyDefinition, needsInit) == 24);
static_assert(offsetof(VANTPropertyDefinition, modifiableAfterStart) == 25);
static_assert(offsetof(VANTPropertyDefinition, readOnly) == 26);
static_assert(offsetof(VANTPropertyDefinition, fixedEnumValues) == 27);
static_assert(offsetof(VANTPropertyDefinition, stringFlags) == 28);

static_assert(std::is_standard_layout_v<VANTActionCallbacks> && sizeof(VANTActionCallbacks) == 16);
static_assert(std::is_standard_layout_v<VANTActionDefinition> &&
              sizeof(VANTActionDefinition) == 24);
static_assert(offsetof(VANTActionDefinition, name) == 0);
static_assert(offsetof(VANTActionDefinition, callbacks) == 8);
static_assert(offsetof(VANTActionDefinition, allowedWhenDead) == 16);

static_assert(std::is_standard_layout_v<VANTComponentModelDefinition> &&
              sizeof(VANTComponentModelDefinition) == 0x80);
static_assert(offsetof(VANTComponentModelDefinition, modelName) == 0x00);
static_assert(offsetof(VANTComponentModelDefinition, version) == 0x08);
static_assert(offsetof(VANTComponentModelDefinition, factory) == 0x10);
static_assert(offsetof(VANTComponentModelDefinition, reserved1) == 0x18);
static_assert(offsetof(VANTComponentModelDefinition, reserved2) == 0x20);
static_assert(offsetof(VANTComponentModelDefinition, destructionStamp) == 0x28);
static_assert(offsetof(VANTComponentModelDefinition, inputCount) == 0x2C);
static_assert(offsetof(VANTComponentModelDefinition, inputs) == 0x30);
static_assert(offsetof(VANTComponentModelDefinition, outputCount) == 0x38);
static_assert(offsetof(VANTComponentModelDefinition, outputs) == 0x40);
static_assert(offsetof(VANTComponentModelDefinition, propertyCount) == 0x48);
static_assert(offsetof(VANTComponentModelDefinition, properties) == 0x50);
static_assert(offsetof(VANTComponentModelDefinition, actionCount) == 0x58);
static_assert(offsetof(VANTComponentModelDefinition, actions) == 0x60);
static_assert(offsetof(VANTComponentModelDefinition, priority) == 0x68);
static_assert(offsetof(VANTComponentModelDefinition, threadingModels) == 0x6C);
static_assert(offsetof(VANTComponentModelDefinition, threadedByDefault) == 0x70);
static_assert(offsetof(VANTComponentModelDefinition, tag) == 0x78);
