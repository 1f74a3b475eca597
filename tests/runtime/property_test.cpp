// Property setters and getters on a component: refusals and their texts, enumerations set by
// index and by text, path checks, callbacks, the changed flag, and reading by full name.

#include "scripted_component.h"

#include <string>

namespace {

using RuntimeTest::kNeedsInit;
using RuntimeTest::kProperties;

class PropertyTest : public RuntimeFixture {
protected:
  void SetUp() override {
    RuntimeFixture::SetUp();
    c = Make(kProperties, "P");
    ASSERT_NE(c, nullptr);
  }
  // The text of a refusal as the module reports it.
  static std::string Refusal(const std::string& text) { return "component P: " + text; }
  int64_t IntegerOf(const char* name) { return Property(c, name)->Integer(); }

  ScriptedComponent* c = nullptr;
};

TEST_F(PropertyTest, RefusalsAreReportedAndRaised) {
  // Read-only: refused even before the start.
  EXPECT_EQ(ThrownInt([&] { Property(c, "ro_int")->SetInteger(3); }), VANT::ErrorException);
  EXPECT_TRUE(Reported(Refusal("Failure while trying to set value of property P.ro_int. This "
                               "property is read only.")));
  EXPECT_EQ(IntegerOf("ro_int"), 5);
  EXPECT_NE(LastState(c) & VANTModule::kError, 0u);

  // Not mutable.
  EXPECT_FALSE(Property(c, "live_int")->SetMutable(false));
  EXPECT_EQ(ThrownInt([&] { Property(c, "live_int")->SetInteger(2); }), VANT::ErrorException);
  EXPECT_TRUE(Reported(Refusal("Failure while trying to set value of property P.live_int. This "
                               "property is not mutable.")));
  EXPECT_TRUE(Property(c, "live_int")->SetMutable(true));

  // Wrong kind, for setters and getters.
  EXPECT_EQ(ThrownInt([&] { Property(c, "ratio")->SetString("x"); }), VANT::ErrorException);
  EXPECT_TRUE(Reported(Refusal("Can't set string value for property P.ratio")));
  EXPECT_EQ(ThrownInt([&] { Property(c, "choice")->SetBoolean(true); }), VANT::ErrorException);
  EXPECT_TRUE(Reported(Refusal("Can't set boolean value for property P.choice")));
  EXPECT_EQ(ThrownInt([&] { Property(c, "flag")->SetFloat(1.0); }), VANT::ErrorException);
  EXPECT_TRUE(Reported(Refusal("Can't set float value for property P.flag")));
  EXPECT_EQ(ThrownInt([&] { Property(c, "ratio")->Boolean(); }), VANT::ErrorException);
  EXPECT_TRUE(Reported(Refusal("Can't get boolean value from property P.ratio")));
  EXPECT_EQ(ThrownInt([&] { Property(c, "flag")->Integer(); }), VANT::ErrorException);
  EXPECT_TRUE(Reported(Refusal("Can't get integer value from property P.flag")));

  // After start, a property that is not modifiable after start; one that is, is taken.
  ASSERT_TRUE(host().StartComponent(c));
  EXPECT_EQ(ThrownInt([&] { Property(c, "fixed_int")->SetInteger(2); }), VANT::ErrorException);
  EXPECT_TRUE(Reported(Refusal("Failure while trying to set value of property P.fixed_int. This "
                               "property can't be modified after start.")));
  // Read-only and not modifiable after start: the started text comes first.
  EXPECT_EQ(ThrownInt([&] { Property(c, "counter")->SetInteger(2); }), VANT::ErrorException);
  EXPECT_TRUE(Reported(Refusal("Failure while trying to set value of property P.counter. This "
                               "property can't be modified after start.")));
  Property(c, "live_int")->SetInteger(9);
  EXPECT_EQ(IntegerOf("live_int"), 9);
}

TEST_F(PropertyTest, EnumerationIndexOutsideTheValuesIsReportedWithTheRange) {
  VANTProperty* choice = Property(c, "choice");
  choice->SetInteger(1);
  EXPECT_EQ(choice->Integer(), 1);
  EXPECT_EQ(choice->String(), "b");
  choice->ClearChanged();
  choice->SetInteger(3);
  EXPECT_EQ(choice->Integer(), 1);  // the selection stays
  EXPECT_TRUE(choice->IsChanged()); // the rest of the set still runs
  EXPECT_TRUE(
      Reported(Refusal("Index 3 not among possible values for enum property P.choice [0..2]")));

  Property(c, "single")->SetInteger(-1);
  EXPECT_TRUE(
      Reported(Refusal("Index -1 not among possible values for enum property P.single [0]")));

  VANTProperty* empty = Property(c, "no_values");
  empty->SetInteger(2);
  EXPECT_EQ(empty->Integer(), -1);
  EXPECT_TRUE(
      Reported(Refusal("Index 2 not among possible values for enum property P.no_values [-1]")));
  EXPECT_EQ(empty->String(), ""); // nothing selected
}

TEST_F(PropertyTest, EnumerationSetByText) {
  VANTProperty* choice = Property(c, "choice");
  choice->SetString("c");
  EXPECT_EQ(choice->Integer(), 2);
  choice->SetString("zz");
  EXPECT_EQ(choice->Integer(), 2);
  EXPECT_TRUE(
      Reported(Refusal("zz does not match any of the possible properties for property P.choice")));
  Property(c, "no_values")->SetString("x");
  EXPECT_TRUE(Reported(Refusal("No possible value for property P.no_values")));

  // The text form replaces the values, unless they are fixed.
  choice->SetString("3|1|x|y|z");
  VANTEnumStruct value;
  choice->GetEnum(value);
  EXPECT_EQ(value.ToString(), "3|1|x|y|z");
  VANTProperty* fixed = Property(c, "fixed_choice");
  fixed->SetString("3|2|x|y|z");
  fixed->GetEnum(value);
  EXPECT_EQ(value.ToString(), "3|2|a|b|c");

  VANTStackedString<40> values;
  int32_t selected = 0;
  fixed->SetEnum("p|q", 1);
  fixed->GetEnum(values, selected);
  EXPECT_EQ(values, "p|q");
  EXPECT_EQ(selected, 1);
}

TEST_F(PropertyTest, PathChecksReportButKeepTheValue) {
  const std::string missing = "/nonexistent/corvex-runtime-test/file";
  Property(c, "path")->SetString(missing.c_str());
  EXPECT_TRUE(Reported(missing + " does not exist or is not readable."));
  EXPECT_EQ(Property(c, "path")->String(), missing.c_str());

  Property(c, "dir")->SetString("/proc/self/status");
  EXPECT_TRUE(Reported("/proc/self/status is not a directory."));
  const size_t seen = m_seen.size();
  Property(c, "dir")->SetString("/tmp");
  Property(c, "path")->SetString(""); // an empty text is not checked
  Property(c, "path")->SetString("/proc/self/status");
  Property(c, "unchecked_path")->SetString(missing.c_str()); // without 64 nothing is checked
  EXPECT_FALSE(Reported("x"));                               // collects
  EXPECT_EQ(m_seen.size(), seen);
}

TEST_F(PropertyTest, WriteCallbackRunsUnderTheSetterAndMayRaise) {
  VANTProperty* flag = Property(c, "flag");
  static VANTProperty* seen = nullptr;
  flag->SetWriteCallback([](VANTProperty* property) {
    seen = property;
    if (property->Boolean()) {
      throw 42;
    }
  });
  flag->ClearChanged();
  EXPECT_FALSE(flag->ChangedEvent()->IsSet());
  EXPECT_EQ(ThrownInt([&] { flag->SetBoolean(true); }), 42);
  EXPECT_EQ(seen, flag);
  EXPECT_FALSE(flag->IsChanged()); // the raise came before the changed flag
  flag->SetBoolean(false);
  EXPECT_TRUE(flag->IsChanged());
  EXPECT_TRUE(flag->ChangedEvent()->IsSet());
  flag->SetWriteCallback(nullptr);
}

TEST_F(PropertyTest, ReadCallbackReplacesTheValue) {
  VANTProperty* ratio = Property(c, "ratio");
  ratio->SetReadCallback([](VANTProperty*, void* value) { *static_cast<double*>(value) = 7.25; });
  EXPECT_EQ(ratio->Float(), 7.25);
  VANTProperty* choice = Property(c, "choice");
  choice->SetReadCallback([](VANTProperty*, void* value) { *static_cast<int32_t*>(value) = 2; });
  VANTEnumStruct value;
  choice->GetEnum(value);
  EXPECT_EQ(value.Selected(), 2);
  ratio->SetReadCallback(nullptr);
  choice->SetReadCallback(nullptr);
}

TEST_F(PropertyTest, PriorityOutsideItsRangeIsSetBackTo128) {
  VANTProperty* priority = Property(c, "priority");
  priority->SetInteger(255);
  EXPECT_EQ(priority->Integer(), 255);
  EXPECT_EQ(ThrownInt([&] { priority->SetInteger(256); }), VANT::ErrorException);
  EXPECT_EQ(priority->Integer(), 128);
  EXPECT_TRUE(Reported(
      Refusal("Invalid priority value. Component's priority should be set between 0 and 255.")));
}

TEST_F(PropertyTest, AutoStartSetsItsStateBit) {
  Property(c, "autoStart")->SetBoolean(true);
  EXPECT_NE(LastState(c) & VANTModule::kAutoStart, 0u);
  Property(c, "autoStart")->SetBoolean(false);
  EXPECT_EQ(LastState(c) & VANTModule::kAutoStart, 0u);
}

TEST_F(PropertyTest, BuiltInPropertiesOfAComponent) {
  EXPECT_EQ(Property(c, "componentModelVersion")->String(), "2.3.4");
  EXPECT_EQ(IntegerOf("primaryThreadID"), -1);
  EXPECT_EQ(IntegerOf("priority"), 128);
  EXPECT_FALSE(Property(c, "threaded")->Boolean());
  EXPECT_EQ(IntegerOf("nbPeriods"), 10);
  EXPECT_EQ(IntegerOf("processor"), -1);
  // Every property is known to the engine by its full name.
  EXPECT_EQ(host().FindProperty("P.choice"), Property(c, "choice"));
  EXPECT_EQ(host().FindProperty("P.CPULoad"), Property(c, "CPULoad"));
}

TEST_F(PropertyTest, ReadingByFullName) {
  VANTStackedString<40> text;
  VANT::GetPropertyStringByName("P.choice", text);
  EXPECT_EQ(text, "a");
  bool found = true;
  VANT::GetPropertyStringByName("P.nothing", text, &found);
  EXPECT_FALSE(found);
  EXPECT_EQ(ThrownInt([&] { VANT::GetPropertyStringByName("P.nothing", text); }),
            VANT::ErrorException);
  EXPECT_TRUE(Reported("Can't get value of property P.nothing. The symbol is undefined."));
  EXPECT_EQ(ThrownInt([&] { VANT::GetPropertyStringByName("P.ratio", text); }),
            VANT::ErrorException);
  EXPECT_TRUE(
      Reported("Can't get string value of property P.ratio. It is not a string or an enum."));
  VANTEnumStruct value;
  EXPECT_EQ(ThrownInt([&] { VANT::GetPropertyEnumByName("P.path", value); }), VANT::ErrorException);
  EXPECT_TRUE(Reported("Can't get string value of property P.path. It is not an enum."));
  VANT::GetPropertyEnumByName("P.single", value);
  EXPECT_EQ(value.ToString(), "1|0|only");
  // Engine text settings read the same way.
  EngineSettings().SetText("Engine.someText", "hello");
  VANT::GetPropertyStringByName("Engine.someText", text, &found);
  EXPECT_TRUE(found);
  EXPECT_EQ(text, "hello");
  EngineSettings().Remove("Engine.someText");
}

class NeedsInitTest : public RuntimeFixture {};

TEST_F(NeedsInitTest, StartRefusedUntilThePropertyIsSet) {
  ScriptedComponent* c = Make(kNeedsInit, "N");
  EXPECT_FALSE(host().StartComponent(c));
  EXPECT_TRUE(Reported("Unable to start component N. Its property must needs to be initialized."));
  EXPECT_EQ(c->births.load(), 0);
  EXPECT_EQ(LastState(c) & (VANTModule::kStarted | VANTModule::kError), VANTModule::kError);
  Property(c, "must")->SetInteger(3);
  EXPECT_TRUE(host().StartComponent(c));
  EXPECT_EQ(c->births.load(), 1);
  EXPECT_EQ(LastState(c) & (VANTModule::kStarted | VANTModule::kError), VANTModule::kStarted);
}

} // namespace

namespace {

class RenameTest : public RuntimeFixture {};

TEST_F(RenameTest, EveryFullNameFollowsTheModule) {
  ScriptedComponent* c = Make(RuntimeTest::kSequential, "Old");
  c->SetName("Old", "New");
  EXPECT_STREQ(c->Name(), "New");
  EXPECT_STREQ(Property(c, "priority")->FullName(), "New.priority");
  bool module = false;
  bool property = false;
  for (const VANTStackedString<40>& name : c->SymbolNames()) {
    module = module || name == "New";
    property = property || name == "New.priority";
    EXPECT_FALSE(name == "Old" || name == "Old.priority") << name.Text();
  }
  EXPECT_TRUE(module);
  EXPECT_TRUE(property);

  // A name that begins with the whole new name keeps its part from the first dot on.
  VANTModuleBase dotted("ab.cd");
  dotted.SetName("zz", "a");
  EXPECT_STREQ(dotted.Name(), "a.cd");
  VANTModuleBase other("xy");
  other.SetName("zz", "q");
  EXPECT_STREQ(other.Name(), "xy");
  c->SetName("New", "Old"); // so that the engine's names are dropped at the end
}

} // namespace
