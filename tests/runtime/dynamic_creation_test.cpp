// Creation of elements from definitions, through the host: name rules, the reuse rule across
// successive Dynamic calls, duplicate names, the stop request, model forms, lookups, removal and
// renaming.

#include "runtime/vant_action.h"
#include "runtime/vant_dynamic_creation.h"
#include "support/declaring_component.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {

using DeclaringTest::IntegerProperty;

const VANTPropertyValue kZero{int64_t{0}};
// Two definitions whose names differ only by their address: a declaration that switches from one
// to the other is a changed declaration.
const char kFirstName[] = "dyn";
const char kSecondName[] = "dyn";
const VANTPropertyDefinition kFirst = IntegerProperty(kFirstName, &kZero);
const VANTPropertyDefinition kSecond = IntegerProperty(kSecondName, &kZero);
const VANTActionDefinition kAction{"act", &DeclaringTest::kPlainCallbacks, 0, {}};

std::vector<std::string> ShortNames(VANTList<VANTProperty*>& list) {
  std::vector<std::string> names;
  for (VANTProperty* p : list) {
    names.emplace_back(p->ShortName());
  }
  return names;
}

std::vector<std::string> ActionNames(DeclaringComponent* c) {
  std::vector<std::string> names;
  for (VANTAction* a : c->Actions()) {
    names.emplace_back(a->ShortName());
  }
  return names;
}

std::vector<std::string> SymbolNames(DeclaringComponent* c) {
  std::vector<std::string> names;
  for (const VANTStackedString<40>& name : c->SymbolNames()) {
    names.emplace_back(name.Text());
  }
  return names;
}

/// The properties that Dynamic declared: those after the static ones.
std::vector<std::string> DynamicProperties(DeclaringComponent* c) {
  std::vector<std::string> all = ShortNames(c->Properties());
  auto first = std::find(all.begin(), all.end(), "static_prop");
  return first == all.end() ? std::vector<std::string>{}
                            : std::vector<std::string>(first + 1, all.end());
}

class NameRules : public DeclaringFixture {};

TEST_F(NameRules, PatternOfElementNames) {
  for (const char* good : {"input_1", "a", "Z9_", "abc_DEF_09"}) {
    EXPECT_TRUE(VANT::IsValidElementName(good)) << good;
    EXPECT_TRUE(VANT::IsValidElementName(good, true)) << good;
  }
  for (const char* bad : {"1a", "_a", "a.b", "a:b", "", "a b", "a-b", "a\n", "a\nb", "\n"}) {
    EXPECT_FALSE(VANT::IsValidElementName(bad)) << bad;
  }
  EXPECT_FALSE(VANT::IsValidElementName(nullptr));
  // Outputs of plain modules may hold dots and colons, never a trailing line feed.
  for (const char* good : {"a.b", "a:b", "a.b:c.d", "a.."}) {
    EXPECT_TRUE(VANT::IsValidElementName(good, true)) << good;
  }
  for (const char* bad : {".a", ":a", "a.b\n", "1.a"}) {
    EXPECT_FALSE(VANT::IsValidElementName(bad, true)) << bad;
  }
}

TEST_F(NameRules, InvalidNamesAreRefusedWithTheKindsText) {
  DeclaringComponent* c = Make("N");
  const int32_t before = c->PropertyCount();
  EXPECT_EQ(ThrownInt([&] { c->NewProperty(kFirst, "1a"); }), VANT::ErrorException);
  EXPECT_EQ(ThrownInt([&] { c->NewProperty(kFirst, "ends\n"); }), VANT::ErrorException);
  EXPECT_EQ(ThrownInt([&] { c->NewAction(kAction, "a.b"); }), VANT::ErrorException);
  EXPECT_EQ(c->PropertyCount(), before);
  EXPECT_FALSE(Known("N.1a"));
  const std::vector<HostReport> reports = TakeReports();
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_EQ(reports[0].text, "component N: Trying to create a property with an invalid name: 1a");
  EXPECT_EQ(reports[0].level, 2);
  EXPECT_EQ(reports[0].option, 1);
  EXPECT_EQ(reports[1].text,
            "component N: Trying to create a property with an invalid name: ends\n");
  EXPECT_EQ(reports[2].text, "component N: Trying to create an action with an invalid name: a.b");
  EXPECT_NE(c->State() & VANTModule::kError, 0u);
}

TEST_F(NameRules, BadDefinitionsAndDuplicateNames) {
  DeclaringComponent* c = Make("D");
  const VANTPropertyDefinition nameless = IntegerProperty(nullptr, &kZero);
  EXPECT_EQ(ThrownInt([&] { c->NewProperty(nameless); }), VANT::ErrorException);
  const VANTActionDefinition namelessAction{nullptr, nullptr, 0, {}};
  EXPECT_EQ(ThrownInt([&] { c->NewAction(namelessAction); }), VANT::ErrorException);

  // Outside Dynamic a second element of the same name is a new element that the engine refuses.
  VANTProperty* first = c->NewProperty(kFirst, "twice");
  EXPECT_EQ(ThrownInt([&] { c->NewProperty(kFirst, "twice"); }), VANT::ErrorException);
  EXPECT_EQ(c->Property("twice"), first);
  const std::vector<std::string> names = SymbolNames(c);
  EXPECT_EQ(std::count(names.begin(), names.end(), "D.twice"), 1);
  c->NewAction(kAction);
  EXPECT_EQ(ThrownInt([&] { c->NewAction(kAction); }), VANT::ErrorException);
  EXPECT_EQ(c->ActionCount(), 3);

  const std::vector<HostReport> reports = TakeReports();
  ASSERT_EQ(reports.size(), 4u);
  EXPECT_EQ(reports[0].text, "component D: Call to NewProperty failed. Bad property definition.");
  EXPECT_EQ(reports[0].option, 2);
  EXPECT_EQ(reports[1].text, "component D: Call to NewAction failed. Bad action definition.");
  EXPECT_EQ(reports[2].text, "component D: Can't create property D.twice. The symbol already "
                             "exists.");
  EXPECT_EQ(reports[2].option, 1);
  EXPECT_EQ(reports[3].text, "component D: Can't create action D.act. The symbol already exists.");
}

TEST_F(NameRules, CreationAfterAStopRequestThrowsTheStopIntegerQuietly) {
  DeclaringComponent* c = Make("S");
  c->ChangeState(VANTModule::kDying, 0);
  EXPECT_EQ(ThrownInt([&] { c->NewProperty(kFirst, "late"); }), VANT::StopException);
  EXPECT_EQ(ThrownInt([&] { c->NewAction(kAction); }), VANT::StopException);
  EXPECT_EQ(ThrownInt([&] { c->NewProperty("static_prop", "late2"); }), VANT::StopException);
  EXPECT_TRUE(TakeReports().empty());
  EXPECT_FALSE(Known("S.late"));
  EXPECT_EQ(c->State() & VANTModule::kError, 0u);
  c->ChangeState(0, VANTModule::kDying);
  // The structure lock was given back: creation works again.
  EXPECT_NE(c->NewProperty(kFirst, "late"), nullptr);
}

class ReuseRule : public DeclaringFixture {
protected:
  /// Declares the properties of `names` in Dynamic, each from `definition`.
  void Declare(DeclaringComponent* c, std::vector<std::string> names,
               const VANTPropertyDefinition* definition = &kFirst) {
    c->declare = [names, definition](DeclaringComponent& self) {
      for (const std::string& name : names) {
        self.NewProperty(*definition, name.c_str());
      }
    };
    host().RunDynamic(c);
  }
};

TEST_F(ReuseRule, SameFewerMoreAndReorderedDeclarations) {
  DeclaringComponent* c = Make("R");
  Declare(c, {"p0", "p1", "p2"});
  EXPECT_EQ(DynamicProperties(c), (std::vector<std::string>{"p0", "p1", "p2"}));
  VANTProperty* p0 = c->Property("p0");
  VANTProperty* p1 = c->Property("p1");
  VANTProperty* p2 = c->Property("p2");
  p1->SetInteger(41); // a reused element keeps its value

  Declare(c, {"p0", "p1", "p2"}); // the same: nothing is made again
  EXPECT_EQ(c->Property("p0"), p0);
  EXPECT_EQ(c->Property("p1"), p1);
  EXPECT_EQ(c->Property("p2"), p2);
  EXPECT_EQ(p1->Integer(), 41);

  Declare(c, {"p0", "p1"}); // fewer: the last one goes
  EXPECT_EQ(DynamicProperties(c), (std::vector<std::string>{"p0", "p1"}));
  EXPECT_EQ(c->Property("p0"), p0);
  EXPECT_EQ(c->Property("p1"), p1);
  EXPECT_FALSE(c->HasProperty("p2"));
  EXPECT_FALSE(Known("R.p2"));
  EXPECT_TRUE(Known("R.p1"));

  Declare(c, {"p0", "p1", "p3", "p4"}); // more: only the new ones are made, in order
  EXPECT_EQ(DynamicProperties(c), (std::vector<std::string>{"p0", "p1", "p3", "p4"}));
  EXPECT_EQ(c->Property("p1"), p1);

  p0->SetInteger(5);
  Declare(c, {"p1", "p0", "p4"}); // reordered: p0, skipped by the search for p1, goes
  EXPECT_EQ(DynamicProperties(c), (std::vector<std::string>{"p1", "p0", "p4"}));
  EXPECT_EQ(c->Property("p1"), p1);
  EXPECT_EQ(c->Property("p0")->Integer(), 0); // made again after p1, with its default
  EXPECT_TRUE(Known("R.p0"));
  EXPECT_FALSE(Known("R.p3"));

  Declare(c, {}); // none: every dynamic property goes, the static ones stay
  EXPECT_TRUE(DynamicProperties(c).empty());
  EXPECT_TRUE(c->HasProperty("static_prop"));
  EXPECT_TRUE(c->HasProperty("threaded"));
  for (const std::string& name : SymbolNames(c)) {
    EXPECT_FALSE(name == "R.p0" || name == "R.p1" || name == "R.p4") << name;
  }
  EXPECT_TRUE(TakeReports().empty());
}

TEST_F(ReuseRule, AChangedDefinitionReplacesTheElementInPlace) {
  DeclaringComponent* c = Make("C");
  Declare(c, {"a", "b", "c"});
  VANTProperty* a = c->Property("a");
  VANTProperty* b = c->Property("b");
  VANTProperty* cc = c->Property("c");
  c->declare = [](DeclaringComponent& self) {
    self.NewProperty(kFirst, "a");
    self.NewProperty(kSecond, "b"); // same name, another definition
    self.NewProperty(kFirst, "c");
  };
  host().RunDynamic(c);
  EXPECT_EQ(DynamicProperties(c), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(c->Property("a"), a);
  EXPECT_NE(c->Property("b"), b);
  EXPECT_EQ(c->Property("c"), cc);
  EXPECT_EQ(static_cast<VANTPropertyImplementation*>(c->Property("b"))->DefinitionName(),
            kSecondName);
  EXPECT_TRUE(Known("C.b"));
  const std::vector<std::string> names = SymbolNames(c);
  EXPECT_EQ(std::count(names.begin(), names.end(), "C.b"), 1);
  EXPECT_TRUE(TakeReports().empty());
}

TEST_F(ReuseRule, ActionsKeepTheirDeclarationOrderAndIndex) {
  DeclaringComponent* c = Make("A");
  c->declare = [](DeclaringComponent& self) {
    self.NewAction(kAction, "x");
    self.NewAction(kAction, "y");
  };
  host().RunDynamic(c);
  EXPECT_EQ(ActionNames(c), (std::vector<std::string>{"static_action", "any_time", "x", "y"}));
  EXPECT_EQ(static_cast<VANTActionImplementation*>(c->Action("y"))->Index(), 3);
  VANTAction* y = c->Action("y");
  c->declare = [](DeclaringComponent& self) { self.NewAction(kAction, "y"); };
  host().RunDynamic(c);
  EXPECT_EQ(ActionNames(c), (std::vector<std::string>{"static_action", "any_time", "y"}));
  EXPECT_EQ(c->Action("y"), y);
  EXPECT_EQ(static_cast<VANTActionImplementation*>(y)->Index(), 2);
  EXPECT_FALSE(Known("A.x"));
  EXPECT_TRUE(Known("A.y"));
}

TEST_F(ReuseRule, AFailingDynamicKeepsWhatItDidNotReach) {
  DeclaringComponent* c = Make("F");
  Declare(c, {"p0", "p1"});
  VANTProperty* p1 = c->Property("p1");
  c->declare = [](DeclaringComponent& self) {
    self.NewProperty(kFirst, "p0");
    self.NewProperty(kFirst, "1bad"); // Error
  };
  host().RunDynamic(c);
  EXPECT_EQ(c->Property("p1"), p1);
  EXPECT_FALSE(TakeReports().empty());
  // The next call starts from fresh cursors.
  Declare(c, {"p0", "p1"});
  EXPECT_EQ(c->Property("p1"), p1);
  EXPECT_EQ(DynamicProperties(c), (std::vector<std::string>{"p0", "p1"}));
}

class Lookups : public DeclaringFixture {};

TEST_F(Lookups, ByIndexAndNameWithTheirTexts) {
  DeclaringComponent* c = Make("L");
  EXPECT_STREQ(c->Property(0)->ShortName(), "processor");
  EXPECT_STREQ(c->Action(1)->ShortName(), "any_time");
  EXPECT_STREQ(c->Action("static_action")->FullName(), "L.static_action");
  EXPECT_TRUE(c->HasAction("any_time"));
  EXPECT_FALSE(c->HasAction("missing"));
  EXPECT_FALSE(c->HasProperty("missing"));
  EXPECT_EQ(c->FindProperty("missing"), nullptr);
  EXPECT_TRUE(TakeReports().empty());

  const int32_t count = c->PropertyCount();
  EXPECT_EQ(ThrownInt([&] { c->Property(count); }), VANT::ErrorException);
  EXPECT_EQ(ThrownInt([&] { c->Action(-1); }), VANT::ErrorException);
  EXPECT_EQ(ThrownInt([&] { c->Action("missing"); }), VANT::ErrorException);
  EXPECT_EQ(ThrownInt([&] { c->Property("missing"); }), VANT::ErrorException);
  const std::vector<HostReport> reports = TakeReports();
  ASSERT_EQ(reports.size(), 4u);
  EXPECT_EQ(reports[0].text,
            "Trying to access unknown property #" + std::to_string(count) + " of component L");
  EXPECT_EQ(reports[1].text, "Trying to access unknown action #-1 of component L");
  EXPECT_EQ(reports[2].text, "Trying to access unknown action missing of component L");
  EXPECT_EQ(reports[3].text, "Trying to access unknown property missing of component L");
  for (const HostReport& report : reports) {
    EXPECT_EQ(report.level, 2);
    EXPECT_TRUE(report.flag);
  }
  // A lookup is no error of the component.
  EXPECT_EQ(c->State() & VANTModule::kError, 0u);
}

TEST_F(Lookups, ModelFormsCreateFromTheRecordsEntries) {
  DeclaringComponent* c = Make("M");
  VANTProperty* copy = c->NewProperty("static_prop", "copy");
  EXPECT_STREQ(copy->FullName(), "M.copy");
  EXPECT_EQ(copy->Integer(), 7);
  VANTAction* action = c->NewAction("any_time", "again");
  EXPECT_STREQ(action->FullName(), "M.again");
  EXPECT_EQ(ThrownInt([&] { c->NewProperty("nope", "x"); }), VANT::ErrorException);
  EXPECT_EQ(ThrownInt([&] { c->NewAction("nope", "x"); }), VANT::ErrorException);
  const std::vector<HostReport> reports = TakeReports();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].text, "component M: Call to NewProperty(nope, x) failed. The given model "
                             "(nope) does not exist.");
  EXPECT_EQ(reports[0].option, 2);
  EXPECT_EQ(reports[1].text, "component M: Call to NewAction(nope, x) failed. The given model "
                             "(nope) does not exist.");
}

class Removal : public DeclaringFixture {};

TEST_F(Removal, PropertiesAndActionsLeaveTheEngineAndTheNameList) {
  DeclaringComponent* c = Make("X");
  VANTProperty* p = c->NewProperty(kFirst, "gone");
  VANTAction* a = c->NewAction(kAction, "gone_too");
  ASSERT_TRUE(Known("X.gone"));
  c->RemoveProperty(p);
  c->RemoveAction(a);
  EXPECT_FALSE(Known("X.gone"));
  EXPECT_FALSE(Known("X.gone_too"));
  EXPECT_FALSE(c->HasProperty("gone"));
  EXPECT_FALSE(c->HasAction("gone_too"));
  for (const std::string& name : SymbolNames(c)) {
    EXPECT_EQ(name.find("gone"), std::string::npos);
  }
  // The runtime's own properties stay.
  EXPECT_EQ(ThrownInt([&] { c->RemoveProperty(c->Property("priority")); }), VANT::ErrorException);
  EXPECT_TRUE(c->HasProperty("priority"));
  // Names can be used again.
  EXPECT_NE(c->NewProperty(kFirst, "gone"), nullptr);
}

TEST_F(Removal, DestructionDropsEveryName) {
  DeclaringComponent* c = Make("Z");
  c->NewProperty(kFirst, "extra");
  ASSERT_TRUE(Known("Z.extra"));
  ASSERT_TRUE(Known("Z.static_action"));
  Destroy(c);
  EXPECT_FALSE(Known("Z"));
  EXPECT_FALSE(Known("Z.extra"));
  EXPECT_FALSE(Known("Z.static_action"));
  EXPECT_FALSE(Known("Z.threaded"));
}

class Renaming : public DeclaringFixture {};

TEST_F(Renaming, EveryFullNameFollowsTheModule) {
  DeclaringComponent* c = Make("Old");
  c->NewProperty(kFirst, "extra");
  ASSERT_TRUE(host().Rename("Old", "New"));
  EXPECT_STREQ(c->Name(), "New");
  EXPECT_STREQ(c->Property("extra")->FullName(), "New.extra");
  EXPECT_STREQ(c->Action("static_action")->FullName(), "New.static_action");
  EXPECT_TRUE(Known("New"));
  EXPECT_TRUE(Known("New.extra"));
  EXPECT_TRUE(Known("New.static_action"));
  EXPECT_FALSE(Known("Old"));
  EXPECT_FALSE(Known("Old.extra"));
  EXPECT_EQ(host().ModuleByName("New"), c);
  for (const std::string& name : SymbolNames(c)) {
    EXPECT_TRUE(name == "New" || name.starts_with("New.")) << name;
  }
  EXPECT_TRUE(host().TriggerAction("New.static_action"));

  // Refusals change nothing.
  Make("Other");
  EXPECT_FALSE(host().Rename("New", "Other"));
  EXPECT_FALSE(host().Rename("Missing", "Free"));
  EXPECT_FALSE(host().Rename("New", ""));
  EXPECT_STREQ(c->Name(), "New");

  // Destruction after renaming drops the new names.
  Destroy(c);
  EXPECT_FALSE(Known("New"));
  EXPECT_FALSE(Known("New.extra"));
}

} // namespace
