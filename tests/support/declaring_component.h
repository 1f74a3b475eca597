#pragma once
// A component whose Dynamic() runs a script that tests set, its model records, and a fixture that
// registers them with the shared test host. For tests of the creation of inputs, outputs,
// properties and actions, and of the dynamic input and output models.
//
// Link: corvex_host and vant_package (with host_fixture.h).

#include "runtime/vant_component.h"
#include "support/host_fixture.h"
#include "util/vant_exceptions.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

class DeclaringComponent : public VANTComponent {
public:
  using Script = std::function<void(DeclaringComponent&)>;

  DeclaringComponent(const char* name, VANTComponentModelDefinition* record)
      : VANTComponent(name, record) {}

  /// Runs the script; the cursors the wrapper placed stay where the declarations leave them.
  void Dynamic() override {
    ++dynamics;
    if (declare) {
      declare(*this);
    }
  }
  void Cycle() override { Wait4Event(&never, -1); }

  using VANTComponent::DynamicWrapper;
  using VANTModule::ChangeState;

  Script declare;
  int dynamics = 0;
  VANTEvent never;
};

namespace DeclaringTest {

inline constexpr const char* kModel = "TestDeclaring";

inline VANTModule* Factory(const char* name, VANTComponentModelDefinition* record) {
  return new DeclaringComponent(name, record);
}

inline VANTPropertyDefinition IntegerProperty(const char* name, const VANTPropertyValue* value) {
  VANTPropertyDefinition definition{};
  definition.name = name;
  definition.defaultValue = value;
  definition.modifiableAfterStart = 1;
  definition.fixedEnumValues = 1;
  return definition;
}

inline const VANTPropertyValue kSeven{int64_t{7}};

/// Records the calls of the test actions: (module name, index, argument).
struct ActionCall {
  std::string module;
  int32_t index;
  intptr_t argument;
};
inline std::vector<ActionCall> g_actionCalls;

inline void Plain(VANTModule* module, int32_t index) {
  g_actionCalls.push_back({module->Name(), index, -1});
}
inline void WithArgument(VANTModule* module, int32_t index, intptr_t argument) {
  g_actionCalls.push_back({module->Name(), index, argument});
}
inline const VANTActionCallbacks kPlainCallbacks{&Plain, nullptr};
inline const VANTActionCallbacks kBothCallbacks{&Plain, &WithArgument};

// The record's tables (static elements, and the models of the model forms).
inline VANTPropertyDefinition g_properties[] = {
    IntegerProperty("static_prop", &kSeven),
    IntegerProperty(nullptr, nullptr),
};
inline VANTActionDefinition g_actions[] = {
    {"static_action", &kPlainCallbacks, 0, {}},
    {"any_time", &kBothCallbacks, 1, {}},
    {nullptr, nullptr, 0, {}},
};

inline VANTComponentModelDefinition MakeRecord() {
  VANTComponentModelDefinition record{};
  record.modelName = kModel;
  record.version = "1.0.0";
  record.factory = Factory;
  record.destructionStamp = 1;
  record.inputCount = VANT::kUncountedEntries;
  record.outputCount = VANT::kUncountedEntries;
  record.propertyCount = VANT::kUncountedEntries;
  record.actionCount = VANT::kUncountedEntries;
  record.properties = g_properties;
  record.actions = g_actions;
  record.priority = 128;
  record.threadingModels = 3;
  record.threadedByDefault = 1;
  return record;
}

inline VANTComponentModelDefinition g_record = MakeRecord();

inline int32_t Models(const char* groupName, void** out, int32_t maxCount) {
  if (groupName != nullptr) {
    return out == nullptr ? -1 : 0;
  }
  if (out == nullptr) {
    return 1;
  }
  if (maxCount < 1) {
    return 0;
  }
  out[0] = &g_record;
  return 1;
}

} // namespace DeclaringTest

/// HostFixture with the declaring model registered; components made here are destroyed at the end.
class DeclaringFixture : public HostFixture {
protected:
  void SetUp() override {
    HostFixture::SetUp();
    std::string error;
    ASSERT_TRUE(host().AddModels(&DeclaringTest::Models, &error)) << error;
    DeclaringTest::g_actionCalls.clear();
  }
  void TearDown() override {
    for (DeclaringComponent* component : m_made) {
      host().DestroyComponent(component);
    }
    m_made.clear();
  }

  DeclaringComponent* Make(const char* name) {
    VANTModule* module = host().CreateComponent(DeclaringTest::kModel, name);
    auto* component = dynamic_cast<DeclaringComponent*>(module);
    EXPECT_NE(component, nullptr) << name;
    if (component != nullptr) {
      m_made.push_back(component);
    }
    return component;
  }
  void Destroy(DeclaringComponent* component) {
    std::erase(m_made, component);
    host().DestroyComponent(component);
  }

  /// Runs f, which must throw an integer, and returns it (0 and a test failure when it does not).
  template <typename F>
  static int ThrownInt(F f) {
    try {
      f();
    } catch (int code) {
      return code;
    }
    ADD_FAILURE() << "no integer was thrown";
    return 0;
  }

  /// True when the host's symbol table holds the name.
  bool Known(const std::string& name) { return host().NameTaken(name.c_str()); }

  std::vector<DeclaringComponent*> m_made;
};
