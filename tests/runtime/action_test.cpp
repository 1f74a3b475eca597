// Actions through the host: triggering by name with the not-running check, the callbacks and
// their index, and rename after upstream component with each of its reports.

#include "runtime/vant_action.h"
#include "support/declaring_component.h"

#include <string>
#include <vector>

namespace {

using DeclaringTest::g_actionCalls;

class Actions : public DeclaringFixture {};

TEST_F(Actions, DeadComponentsOnlyRunActionsAllowedWhenDead) {
  DeclaringComponent* c = Make("K");
  ASSERT_NE(c->State() & VANTModule::kDead, 0u); // constructed, never started
  EXPECT_TRUE(host().TriggerAction("K.static_action", 5));
  EXPECT_TRUE(g_actionCalls.empty());
  const std::vector<HostReport> reports = TakeReports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].text,
            "component K: This action is not allowed when the component is not running.");
  EXPECT_EQ(reports[0].level, 1);
  EXPECT_EQ(reports[0].option, 0);

  // allowedWhenDead, and both callbacks: the one with the argument runs, with the index.
  EXPECT_TRUE(host().TriggerAction("K.any_time", 1234));
  ASSERT_EQ(g_actionCalls.size(), 1u);
  EXPECT_EQ(g_actionCalls[0].module, "K");
  EXPECT_EQ(g_actionCalls[0].index, 1);
  EXPECT_EQ(g_actionCalls[0].argument, 1234);
  EXPECT_TRUE(TakeReports().empty());

  // Alive: the plain callback of the first action runs.
  c->ChangeState(0, VANTModule::kDead);
  EXPECT_TRUE(host().TriggerAction("K.static_action", 9));
  ASSERT_EQ(g_actionCalls.size(), 2u);
  EXPECT_EQ(g_actionCalls[1].index, 0);
  EXPECT_EQ(g_actionCalls[1].argument, -1);
  c->ChangeState(VANTModule::kDead, 0);

  EXPECT_FALSE(host().TriggerAction("K.missing"));
  EXPECT_FALSE(host().TriggerAction("K.threaded")); // a property, not an action
}

TEST_F(Actions, ActionsWithoutCallbacksDoNothing) {
  DeclaringComponent* c = Make("E");
  const VANTActionDefinition none{"none", nullptr, 1, {}};
  VANTAction* action = c->NewAction(none);
  action->Trigger(3);
  EXPECT_TRUE(g_actionCalls.empty());
  EXPECT_TRUE(TakeReports().empty());
}

TEST_F(Actions, TheEngineTimeModuleRecordsRefreshedInputs) {
  EXPECT_EQ(host().ModuleRecord("Engine.time"), nullptr); // absent by default
  host().Modules().InstallEngineTime();
  VANTSymbolRecord* record = host().ModuleRecord("Engine.time");
  ASSERT_NE(record, nullptr);
  ASSERT_NE(record->module, nullptr);
  const char* inputName = "M.input_0";
  EXPECT_TRUE(host().TriggerAction("Engine.time.refreshInputProperties",
                                   reinterpret_cast<intptr_t>(inputName)));
  EXPECT_EQ(host().Modules().TakeRefreshedInputs(), (std::vector<std::string>{"M.input_0"}));
  host().Reset();
  EXPECT_EQ(host().ModuleRecord("Engine.time"), nullptr);
  EXPECT_FALSE(Known("Engine.time.refreshInputProperties"));
}

class RenameAfterUpstream : public DeclaringFixture {
protected:
  void SetUp() override {
    DeclaringFixture::SetUp();
    host().SetEngineState(0); // renaming is refused while the engine runs
  }
  const VANTActionDefinition m_rename{
      "renameAfterUpstream", &VANT::RenameAfterUpstreamComponentCallbacks, 1, {}};
};

TEST_F(RenameAfterUpstream, RefusedWhileTheEngineRuns) {
  DeclaringComponent* c = Make("R");
  c->NewAction(m_rename);
  host().SetEngineState(1);
  EXPECT_TRUE(host().TriggerAction("R.renameAfterUpstream"));
  const std::vector<HostReport> reports = TakeReports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].text, "component R: This action is not allowed when Corvex is running.");
  EXPECT_EQ(reports[0].level, 2);
  EXPECT_STREQ(c->Name(), "R");
}

TEST_F(RenameAfterUpstream, AComponentWithoutInputs) {
  DeclaringComponent* c = Make("R");
  c->NewAction(m_rename);
  EXPECT_TRUE(host().TriggerAction("R.renameAfterUpstream"));
  const std::vector<HostReport> reports = TakeReports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].text,
            "component R: This action scans what is connected to this component's first input, "
            "but this component does not seem to have any inputs.");
  EXPECT_EQ(reports[0].level, 2);
}

TEST_F(RenameAfterUpstream, OnlyComponentsCanBeRenamed) {
  VANT::RenameAfterUpstreamComponent(nullptr, 0);
  const std::vector<HostReport> reports = TakeReports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].text, "Internal error while renaming after upstream component.");
  EXPECT_EQ(reports[0].level, 2);
}

} // namespace
