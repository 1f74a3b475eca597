#include "scripted_component.h"

#include "support/model_table.h"

#include <cstring>

namespace RuntimeTest {
namespace {

VANTModule* Factory(const char* name, VANTComponentModelDefinition* record) {
  return new ScriptedComponent(name, record);
}

VANTPropertyDefinition Definition(const char* name, const VANTPropertyValue* value,
                                  uint8_t needsInit, uint8_t modifiable, uint8_t readOnly,
                                  uint8_t fixedEnum, uint32_t stringFlags) {
  VANTPropertyDefinition definition{};
  definition.name = name;
  definition.defaultValue = value;
  definition.needsInit = needsInit;
  definition.modifiableAfterStart = modifiable;
  definition.readOnly = readOnly;
  definition.fixedEnumValues = fixedEnum;
  definition.stringFlags = stringFlags;
  return definition;
}

const VANTPropertyValue kFive{int64_t{5}};
const VANTPropertyValue kOne{int64_t{1}};
const VANTPropertyValue kChoice{"a|b|c", 0};
const VANTPropertyValue kSingle{"only", 0};
const VANTPropertyValue kNoValues{"", 0};
const VANTPropertyValue kEmptyText{""};
const VANTPropertyValue kHalf{0.5};
const VANTPropertyValue kFalse{false};

VANTPropertyDefinition g_noProperties[] = {Definition(nullptr, nullptr, 0, 0, 0, 0, 0)};
VANTPropertyDefinition g_needsInit[] = {
    Definition("must", &kOne, 1, 0, 0, 1, 0),
    Definition(nullptr, nullptr, 0, 0, 0, 0, 0),
};
VANTPropertyDefinition g_properties[] = {
    Definition("ro_int", &kFive, 0, 1, 1, 1, 0),
    Definition("fixed_int", &kOne, 0, 0, 0, 1, 0),
    Definition("live_int", &kOne, 0, 1, 0, 1, 0),
    Definition("choice", &kChoice, 0, 1, 0, 0, 0),
    Definition("fixed_choice", &kChoice, 0, 1, 0, 1, 0),
    Definition("single", &kSingle, 0, 1, 0, 0, 0),
    Definition("no_values", &kNoValues, 0, 1, 0, 0, 0),
    Definition("path", &kEmptyText, 0, 1, 0, 0, 64 | 16),
    Definition("dir", &kEmptyText, 0, 1, 0, 0, 64 | 32),
    Definition("unchecked_path", &kEmptyText, 0, 1, 0, 0, 16),
    Definition("ratio", &kHalf, 0, 1, 0, 0, 0),
    Definition("flag", &kFalse, 0, 1, 0, 0, 0),
    Definition(nullptr, nullptr, 0, 0, 0, 0, 0),
};

VANTComponentModelDefinition MakeRecord(const char* model, uint32_t threadingModels,
                                        uint8_t threadedByDefault,
                                        VANTPropertyDefinition* properties) {
  VANTComponentModelDefinition record{};
  record.modelName = model;
  record.version = "2.3.4";
  record.factory = Factory;
  record.destructionStamp = 1;
  record.inputCount = VANT::kUncountedEntries;
  record.outputCount = VANT::kUncountedEntries;
  record.propertyCount = VANT::kUncountedEntries;
  record.actionCount = VANT::kUncountedEntries;
  record.properties = properties;
  record.priority = 128;
  record.threadingModels = threadingModels;
  record.threadedByDefault = threadedByDefault;
  return record;
}

VANTComponentModelDefinition g_records[] = {
    MakeRecord(kThreaded, 3, 1, g_noProperties),
    MakeRecord(kSequential, 3, 0, g_noProperties),
    MakeRecord(kThreadedOnly, 1, 0, g_noProperties),
    MakeRecord(kSequentialOnly, 2, 1, g_noProperties),
    MakeRecord(kNeedsInit, 3, 0, g_needsInit),
    MakeRecord(kProperties, 3, 0, g_properties),
};

} // namespace

VANTComponentModelDefinition* Record(const char* modelName) {
  for (VANTComponentModelDefinition& record : g_records) {
    if (std::strcmp(record.modelName, modelName) == 0) {
      return &record;
    }
  }
  return nullptr;
}

int32_t TestModels(const char* groupName, void** out, int32_t maxCount) {
  return AnswerModelsQuery(g_records, groupName, out, maxCount);
}

} // namespace RuntimeTest

// ---- RuntimeFixture
// --------------------------------------------------------------------------------

void RuntimeFixture::SetUp() {
  HostFixture::SetUp();
  static const bool added = [] {
    std::string error;
    const bool ok = SharedHost().AddModels(&RuntimeTest::TestModels, &error);
    EXPECT_TRUE(ok) << error;
    return ok;
  }();
  ASSERT_TRUE(added);
}

void RuntimeFixture::TearDown() {
  for (ScriptedComponent* component : m_made) {
    host().StopComponent(component);
    host().DestroyComponent(component);
  }
  m_made.clear();
}

ScriptedComponent* RuntimeFixture::Make(const char* modelName, const char* instanceName) {
  VANTModule* module = host().CreateComponent(modelName, instanceName);
  EXPECT_NE(module, nullptr) << modelName << " " << instanceName;
  auto* component = dynamic_cast<ScriptedComponent*>(static_cast<VANTComponent*>(module));
  if (component != nullptr) {
    m_made.push_back(component);
  }
  return component;
}

void RuntimeFixture::Drop(ScriptedComponent* component) {
  std::erase(m_made, component);
  host().StopComponent(component);
  host().DestroyComponent(component);
}

VANTProperty* RuntimeFixture::Property(ScriptedComponent* component, const char* shortName) {
  VANTProperty* property = component->FindProperty(shortName);
  EXPECT_NE(property, nullptr) << shortName;
  return property;
}

uint32_t RuntimeFixture::LastState(ScriptedComponent* component) {
  uint32_t word = 0;
  host().States().Get(component->Name(), word);
  return word;
}

void RuntimeFixture::Collect() {
  for (HostReport& report : TakeReports()) {
    m_seen.push_back(std::move(report));
  }
}

bool RuntimeFixture::Reported(const std::string& text) {
  return CountReports(text) > 0;
}

int RuntimeFixture::CountReports(const std::string& text) {
  Collect();
  int count = 0;
  for (const HostReport& report : m_seen) {
    count += report.text == text ? 1 : 0;
  }
  return count;
}

int RuntimeFixture::ThrownInt(const std::function<void()>& f) {
  try {
    f();
  } catch (int error) {
    return error;
  }
  ADD_FAILURE() << "no integer was thrown";
  return 0;
}
