// The module registry as the package's static initialisers and the engine use it. The registry is
// process-wide and already holds the package's own definitions, so every test works in groups of
// its own and removes them again; counts over all groups are compared before and after.
#include "package/vant_module_management.h"
#include "package/vant_package_entry.h"
#include "runtime/vant_module.h"
#include "support/host_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {

std::vector<std::string> NamesOf(const std::vector<VANTModuleDefinition*>& definitions) {
  std::vector<std::string> names;
  for (const VANTModuleDefinition* definition : definitions) {
    names.emplace_back(definition->Name() ? definition->Name() : "(null)");
  }
  return names;
}

bool Listed(const VANTModuleGroupDefinition* group) {
  const auto& groups = VANTModuleRegistry::Groups();
  return std::find(groups.begin(), groups.end(), group) != groups.end();
}

int g_records[4];

TEST(ModuleRegistry, GroupDeclaredAfterItsDefinitionsTakesThemOverInOrder) {
  const int32_t before = VANTModuleRegistry::CountDefinitions();
  new VANTModuleDefinition("first", "takeover_group", nullptr, &g_records[0]);
  new VANTModuleDefinition("second", "takeover_group", nullptr, &g_records[1]);
  VANTModuleGroupDefinition* placeholder = VANTModuleRegistry::FindGroup("takeover_group");
  ASSERT_NE(placeholder, nullptr);
  EXPECT_EQ(VANTModuleRegistry::CountDefinitions(), before + 2);

  auto* group = new VANTModuleGroupDefinition("takeover_group");
  EXPECT_EQ(VANTModuleRegistry::FindGroup("takeover_group"), group);
  EXPECT_EQ(std::count_if(VANTModuleRegistry::Groups().begin(), VANTModuleRegistry::Groups().end(),
                          [](const VANTModuleGroupDefinition* g) {
                            return std::string(g->Name() ? g->Name() : "") == "takeover_group";
                          }),
            1);
  EXPECT_EQ(NamesOf(group->Definitions()), (std::vector<std::string>{"first", "second"}));
  for (const VANTModuleDefinition* definition : group->Definitions()) {
    EXPECT_EQ(definition->Category(), group->Name()) << "category must point at the new name";
    EXPECT_EQ(definition->Group(), group);
  }
  EXPECT_EQ(VANTModuleRegistry::CountDefinitions(), before + 2);

  VANTModuleRegistry::RemoveGroup(group);
  EXPECT_EQ(VANTModuleRegistry::FindGroup("takeover_group"), nullptr);
  EXPECT_EQ(VANTModuleRegistry::CountDefinitions(), before);
}

TEST(ModuleRegistry, CountsAndCollectionFollowSubgroupsDepthFirst) {
  // The child names its parent before the parent exists: the parent starts as a placeholder and
  // the real parent inherits the subgroup.
  auto* child = new VANTModuleGroupDefinition("tree_child", nullptr, nullptr, "tree_parent");
  auto* grandchild =
      new VANTModuleGroupDefinition("tree_grandchild", nullptr, nullptr, "tree_child");
  auto* parent = new VANTModuleGroupDefinition("tree_parent");
  ASSERT_EQ(parent->Subgroups().size(), 1u);
  EXPECT_EQ(parent->Subgroups()[0], child);

  new VANTModuleDefinition("c1", "tree_child", nullptr, &g_records[1]);
  new VANTModuleDefinition("p1", "tree_parent", nullptr, &g_records[0]);
  new VANTModuleDefinition("g1", "tree_grandchild", nullptr, &g_records[3]);
  new VANTModuleDefinition("c2", "tree_child", nullptr, &g_records[2]);

  EXPECT_EQ(VANTModuleRegistry::CountDefinitions("tree_parent", false), 1);
  EXPECT_EQ(VANTModuleRegistry::CountDefinitions("tree_parent", true), 4);
  EXPECT_EQ(VANTModuleRegistry::CountDefinitions("tree_child", true), 3);
  EXPECT_EQ(VANTGetModulesDefStruct("tree_parent", nullptr, 0), 4);
  EXPECT_EQ(VANTGetModulesDefStruct("tree_child", nullptr, 7), 3);

  void* out[6] = {};
  ASSERT_EQ(VANTGetModulesDefStruct("tree_parent", out, 6), 4);
  EXPECT_EQ(out[0], &g_records[0]); // the group's own definitions first
  EXPECT_EQ(out[1], &g_records[1]); // then the child's, in order
  EXPECT_EQ(out[2], &g_records[2]);
  EXPECT_EQ(out[3], &g_records[3]); // then the grandchild's
  EXPECT_EQ(out[4], nullptr);

  void* two[3] = {};
  EXPECT_EQ(VANTGetModulesDefStruct("tree_parent", two, 2), 2);
  EXPECT_EQ(two[2], nullptr) << "maxCount must bound the writes";
  EXPECT_EQ(VANTGetModulesDefStruct("tree_parent", two, 0), 0);
  EXPECT_EQ(VANTGetModulesDefStruct("tree_parent", two, -3), 0);

  // The null group counts direct definitions of every group, each exactly once.
  const int32_t all = VANTGetModulesDefStruct(nullptr, nullptr, 0);
  std::vector<void*> every(static_cast<size_t>(all) + 1, nullptr);
  EXPECT_EQ(VANTGetModulesDefStruct(nullptr, every.data(), all + 1), all);
  EXPECT_EQ(std::count(every.begin(), every.end(), &g_records[3]), 1);

  EXPECT_EQ(VANTModuleRegistry::FindDefinition("g1", parent, false), nullptr);
  EXPECT_NE(VANTModuleRegistry::FindDefinition("g1", parent, true), nullptr);
  EXPECT_NE(VANTModuleRegistry::FindDefinition("g1"), nullptr);

  // Removing a subgroup takes it out of its parent's list too.
  VANTModuleRegistry::RemoveGroup(grandchild);
  EXPECT_EQ(VANTModuleRegistry::CountDefinitions("tree_parent", true), 3);
  EXPECT_TRUE(child->Subgroups().empty());

  VANTModuleRegistry::RemoveGroup(parent);
  EXPECT_TRUE(Listed(child)) << "subgroups are not owned by their parent";
  VANTModuleRegistry::RemoveGroup(child);
}

TEST(ModuleRegistry, UnknownGroupsCountMinusOneAndCollectNothing) {
  void* out[2] = {&g_records[0], &g_records[0]};
  EXPECT_EQ(VANTGetModulesDefStruct("no_such_group", nullptr, 0), -1);
  EXPECT_EQ(VANTGetModulesDefStruct("no_such_group", out, 2), 0);
  EXPECT_EQ(out[0], &g_records[0]);
  EXPECT_EQ(VANTModuleRegistry::FindGroup("no_such_group"), nullptr);
}

TEST(ModuleRegistry, SubgroupCyclesEndTheWalk) {
  auto* a = new VANTModuleGroupDefinition("cycle_a");
  auto* b = new VANTModuleGroupDefinition("cycle_b", nullptr, nullptr, "cycle_a");
  VANTModuleRegistry::AddSubgroup(b, a);
  new VANTModuleDefinition("in_a", "cycle_a", nullptr, nullptr);
  new VANTModuleDefinition("in_b", "cycle_b", nullptr, nullptr);
  EXPECT_EQ(VANTModuleRegistry::CountDefinitions("cycle_a", true), 2);
  EXPECT_EQ(VANTModuleRegistry::CountDefinitions("cycle_b", true), 2);
  void* out[4] = {};
  EXPECT_EQ(VANTGetModulesDefStruct("cycle_b", out, 4), 2);
  VANTModuleRegistry::RemoveGroup(a);
  VANTModuleRegistry::RemoveGroup(b);
}

std::vector<std::string> g_calls;
void GroupInit() {
  g_calls.emplace_back("group init");
}
void GroupExit() {
  g_calls.emplace_back("group exit");
}
void DefinitionInit(void* data) {
  g_calls.push_back("init " + *static_cast<std::string*>(data));
}
void DefinitionExit(void* data) {
  g_calls.push_back("exit " + *static_cast<std::string*>(data));
}

TEST(ModuleRegistry, CallbacksRunAtConstructionAndDestruction) {
  g_calls.clear();
  static std::string name = "callbacks_def";
  auto* group = new VANTModuleGroupDefinition("callbacks_group", &GroupInit, &GroupExit);
  EXPECT_EQ(g_calls, (std::vector<std::string>{"group init"}));
  auto* definition =
      new VANTModuleDefinition("d", "callbacks_group", nullptr, &name, nullptr, &DefinitionExit);
  VANTModuleRegistry::RemoveDefinition(definition);
  EXPECT_TRUE(group->Definitions().empty());
  new VANTModuleDefinition("d", "callbacks_group", nullptr, &name, nullptr, &DefinitionExit);
  VANTModuleRegistry::RemoveGroup(group);
  EXPECT_EQ(g_calls, (std::vector<std::string>{"group init", "exit callbacks_def",
                                               "exit callbacks_def", "group exit"}));
}

TEST(ModuleRegistry, DuplicateDefinitionIsShownAndStillRegistered) {
  new VANTModuleDefinition("twice", "duplicate_group", nullptr, &g_records[0]);
  testing::internal::CaptureStderr();
  new VANTModuleDefinition("twice", "duplicate_group", nullptr, &g_records[1]);
  const std::string shown = testing::internal::GetCapturedStderr();
  EXPECT_EQ(shown, "Error: .\\src\\ModuleManagement: Module twice already referenced in the "
                   "category duplicate_group\n\r\n");
  EXPECT_EQ(VANTModuleRegistry::CountDefinitions("duplicate_group", false), 2);
  VANTModuleRegistry::RemoveGroup(VANTModuleRegistry::FindGroup("duplicate_group"));
}

TEST(ModuleRegistry, NullGroupNameIsShownAndKept) {
  testing::internal::CaptureStderr();
  auto* group = new VANTModuleGroupDefinition(nullptr);
  const std::string shown = testing::internal::GetCapturedStderr();
  EXPECT_EQ(shown, "Error: .\\src\\ModuleManagement: VANTModuleGroupDefinition construction : "
                   "the group name can't be NULL\n\r\n");
  EXPECT_EQ(group->Name(), nullptr);
  EXPECT_EQ(VANTModuleRegistry::FindGroup(nullptr), group);
  // A definition without a category lands in the null-named group, which only null matches.
  new VANTModuleDefinition("orphan", nullptr, nullptr, nullptr);
  EXPECT_EQ(VANTModuleRegistry::CountDefinitions(nullptr, false), 1);
  EXPECT_EQ(VANTModuleRegistry::FindGroup(""), nullptr);
  VANTModuleRegistry::RemoveGroup(group);
}

VANTModuleBase* CreateNamed(const char* instanceName, void* userData) {
  ++*static_cast<int*>(userData);
  return new VANTModuleBase(instanceName);
}
VANTModuleBase* CreateNothing(const char*, void* userData) {
  ++*static_cast<int*>(userData);
  return nullptr;
}

// Creating through a definition calls its create function with the instance name and the user
// data and links the module to the definition (the create function used to be stored only).
TEST(ModuleRegistry, CreatesModulesThroughTheirDefinitions) {
  int calls = 0;
  auto* made = new VANTModuleDefinition("made", "create_group", &CreateNamed, &calls);
  auto* none = new VANTModuleDefinition("none", "create_group", &CreateNothing, &calls);
  auto* plain = new VANTModuleDefinition("plain", "create_group", nullptr, &calls);

  std::unique_ptr<VANTModuleBase> module(VANTModuleRegistry::CreateModule(made, "instance1"));
  ASSERT_NE(module, nullptr);
  EXPECT_STREQ(module->Name(), "instance1");
  EXPECT_EQ(module->Definition(), made);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(VANTModuleRegistry::CreateModule(none, "instance2"), nullptr);
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(VANTModuleRegistry::CreateModule(plain, "instance3"), nullptr);
  EXPECT_EQ(VANTModuleRegistry::CreateModule(nullptr, "instance4"), nullptr);
  EXPECT_EQ(calls, 2);
  VANTModuleRegistry::RemoveGroup(VANTModuleRegistry::FindGroup("create_group"));
}

// Registration after the package accepted its kernel runs the init callback at once.
class LateRegistration : public HostFixture {};

TEST_F(LateRegistration, InitCallbackRunsDuringConstruction) {
  ASSERT_TRUE(VANTModuleRegistry::IsInitialised());
  g_calls.clear();
  static std::string name = "late";
  new VANTModuleDefinition("late_def", "late_group", nullptr, &name, &DefinitionInit);
  EXPECT_EQ(g_calls, (std::vector<std::string>{"init late"}));
  // A second accepted initialisation changes nothing and runs no callback again.
  EXPECT_EQ(VANTPckInit(&host(), 0x804A8), 4);
  EXPECT_EQ(g_calls.size(), 1u);
  VANTModuleRegistry::RemoveGroup(VANTModuleRegistry::FindGroup("late_group"));
}

} // namespace
