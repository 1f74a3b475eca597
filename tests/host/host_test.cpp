// The engine stand-in's own bookkeeping, driven through the kernel interface as the package
// drives it.
#include "host/host.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;

// Elements whose full names the tests choose: the namer reads the text they point at.
struct NamedElement {
  const char* fullName;
};
const char* NameOf(const void* element) {
  return static_cast<const NamedElement*>(element)->fullName;
}

template <typename T>
T* As(NamedElement& element) {
  return reinterpret_cast<T*>(&element);
}

int g_module1 = 0;
int g_module2 = 0;
VANTModule* Module1() {
  return reinterpret_cast<VANTModule*>(&g_module1);
}
VANTModule* Module2() {
  return reinterpret_cast<VANTModule*>(&g_module2);
}

class HostTest : public ::testing::Test {
protected:
  void SetUp() override {
    for (auto kind : {VANTSymbolRecord::kInput, VANTSymbolRecord::kOutput,
                      VANTSymbolRecord::kProperty, VANTSymbolRecord::kAction}) {
      host.SetElementNamer(kind, &NameOf);
    }
  }
  Host host;
  VANTHostKernel& kernel = host;
};

TEST_F(HostTest, FullNamesAreUniqueAcrossEveryKindOfElement) {
  ASSERT_TRUE(host.AddModule("mux", Module1()));
  NamedElement input{"mux.input_0"}, output{"mux.output"}, property{"mux.nb_inputs"};
  NamedElement action{"mux.rename"}, clash{"mux.output"};
  EXPECT_TRUE(kernel.RegisterInput(As<VANTInput>(input)));
  EXPECT_TRUE(kernel.RegisterOutput(As<VANTOutput>(output)));
  EXPECT_TRUE(kernel.RegisterProperty(As<VANTProperty>(property)));
  EXPECT_TRUE(kernel.RegisterAction(As<VANTAction>(action)));
  EXPECT_FALSE(kernel.RegisterProperty(As<VANTProperty>(clash))) << "an output has that name";
  EXPECT_FALSE(kernel.RegisterInput(As<VANTInput>(input)));
  EXPECT_FALSE(host.AddModule("mux", Module2()));

  kernel.LockSymbols();
  VANTSymbolRecord* record = kernel.Symbol("mux.output");
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->kind, VANTSymbolRecord::kOutput);
  EXPECT_EQ(record->object, &output);
  EXPECT_EQ(record->module, Module1()) << "elements belong to the module before the dot";
  EXPECT_EQ(kernel.Symbol("mux.missing"), nullptr);
  kernel.UnlockSymbols();

  EXPECT_TRUE(kernel.NameTaken("mux.rename"));
  kernel.OutputRemoved("mux.output");
  kernel.InputRemoved("mux.input_0");
  kernel.DropName("mux.rename");
  EXPECT_FALSE(kernel.NameTaken("mux.output"));
  EXPECT_FALSE(kernel.NameTaken("mux.input_0"));
  EXPECT_FALSE(kernel.NameTaken("mux.rename"));
  EXPECT_TRUE(kernel.RegisterProperty(As<VANTProperty>(clash))) << "the name is free again";
  EXPECT_TRUE(host.TakeReports().empty());
}

TEST_F(HostTest, ModuleLookupsAnswerOnlyForModules) {
  ASSERT_TRUE(host.AddModule("Engine.time", Module2()));
  ASSERT_TRUE(host.AddModule("reader", Module1()));
  NamedElement property{"reader.fileName"}, subProperty{"Engine.time.speed"};
  ASSERT_TRUE(kernel.RegisterProperty(As<VANTProperty>(property)));
  ASSERT_TRUE(kernel.RegisterProperty(As<VANTProperty>(subProperty)));

  EXPECT_EQ(kernel.ModuleByName("reader"), Module1());
  EXPECT_EQ(kernel.ModuleByName("reader.fileName"), nullptr);
  ASSERT_NE(kernel.ModuleRecord("reader"), nullptr);
  EXPECT_EQ(kernel.ModuleRecord("reader")->kind, VANTSymbolRecord::kModule);
  EXPECT_EQ(kernel.ModuleRecord("Engine.version"), nullptr) << "a setting is no module";
  EXPECT_EQ(kernel.ModuleByName(nullptr), nullptr);
  kernel.LockSymbols();
  // A module name may itself hold a dot.
  EXPECT_EQ(kernel.Symbol("Engine.time.speed")->module, Module2());
  kernel.UnlockSymbols();
}

TEST_F(HostTest, SymbolLockIsRecursiveAndExcludesOtherThreads) {
  kernel.LockSymbols();
  kernel.LockSymbols(); // the package may nest lookups
  bool added = false;
  std::thread other([&] { added = host.AddModule("late", Module1()); });
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(kernel.NameTaken("late")) << "another thread must wait for the lock";
  kernel.UnlockSymbols();
  kernel.UnlockSymbols();
  other.join();
  EXPECT_TRUE(added);
  EXPECT_TRUE(kernel.NameTaken("late"));
}

TEST_F(HostTest, RegistrationWithoutANamerIsRefusedAndReported) {
  Host bare;
  bare.SetElementNamer(VANTSymbolRecord::kInput, nullptr);
  NamedElement input{"m.in"};
  EXPECT_FALSE(static_cast<VANTHostKernel&>(bare).RegisterInput(As<VANTInput>(input)));
  const auto reports = bare.TakeReports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].level, 2);
  EXPECT_NE(reports[0].text.find("not supported by this host"), std::string::npos);
}

TEST_F(HostTest, EngineSettingsHaveTheEngineDefaultsAndCanBeChanged) {
  bool found = true;
  EXPECT_FALSE(kernel.EngineBool("Engine.sequentialStart", &found));
  EXPECT_TRUE(found);
  EXPECT_EQ(kernel.EngineInt("Engine.shutdownTimeout", &found), 0);
  EXPECT_FALSE(found);
  kernel.LockSymbols();
  VANTSymbolRecord* version = kernel.Symbol("Engine.version");
  ASSERT_NE(version, nullptr);
  EXPECT_EQ(version->kind, VANTSymbolRecord::kEngineSetting);
  EXPECT_STREQ(static_cast<const char*>(version->object), "5.0.0");
  kernel.UnlockSymbols();

  host.Settings().SetInt("Engine.shutdownTimeout", 2500);
  host.Settings().SetBool("Engine.sequentialStart", true);
  host.Settings().SetText("Engine.version", "6.1.0");
  EXPECT_EQ(kernel.EngineInt("Engine.shutdownTimeout", &found), 2500);
  EXPECT_TRUE(found);
  EXPECT_TRUE(kernel.EngineBool("Engine.sequentialStart", &found));
  kernel.LockSymbols();
  EXPECT_STREQ(static_cast<const char*>(kernel.Symbol("Engine.version")->object), "6.1.0");
  kernel.UnlockSymbols();

  host.Settings().Remove("Engine.version");
  EXPECT_FALSE(kernel.NameTaken("Engine.version"));
  EXPECT_FALSE(kernel.EngineBool(nullptr, &found));
  EXPECT_FALSE(found);

  host.Reset();
  EXPECT_EQ(host.Settings().Text("Engine.version", &found), "5.0.0");
  kernel.EngineInt("Engine.shutdownTimeout", &found);
  EXPECT_FALSE(found);
}

TEST_F(HostTest, WaitsForAStateBitAnnouncedByAnotherThread) {
  std::thread module([&] {
    kernel.ModuleState("mux", 0x10); // started
    std::this_thread::sleep_for(20ms);
    kernel.ModuleState("mux", 0x13); // dead and dying bits added
  });
  EXPECT_TRUE(host.WaitForStateBits("mux", 0x1, 5s));
  module.join();
  uint32_t word = 0;
  ASSERT_TRUE(host.States().Get("mux", word));
  EXPECT_EQ(word, 0x13u);
  EXPECT_EQ(host.States().Count(), 2u);
  EXPECT_FALSE(host.WaitForStateBits("mux", 0x100, 10ms));
  EXPECT_FALSE(host.WaitForStateBits("other", 0x1, 10ms));
}

TEST_F(HostTest, StructuralChangesCountNesting) {
  kernel.BeginChange("Removing an input");
  kernel.BeginChange("Dynamic");
  EXPECT_EQ(host.ChangeDepth(), 2);
  kernel.EndChange();
  kernel.EndChange();
  EXPECT_EQ(host.ChangeDepth(), 0);
  EXPECT_EQ(host.ChangesOpened(), 2u);
  EXPECT_EQ(host.ChangeReasons(), (std::vector<std::string>{"Removing an input", "Dynamic"}));
}

TEST_F(HostTest, ReportsAreKeptInOrderAndEchoedWhenAsked) {
  kernel.Report("first", 0, 1, false);
  host.Reports().SetEcho(true);
  testing::internal::CaptureStderr();
  kernel.Report("second", 1, 2, true);
  kernel.Report("third", 2, 0, false);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "[warning] second\n[error] third\n");
  const auto reports = host.TakeReports();
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_EQ(reports[0].text, "first");
  EXPECT_EQ(reports[1].option, 2);
  EXPECT_TRUE(reports[1].flag);
  EXPECT_EQ(reports[2].level, 2);
  EXPECT_TRUE(host.TakeReports().empty());
}

TEST_F(HostTest, ModelRecordsGetTheirCountsFromTheTables) {
  VANTInputDefinition inputs[] = {{"a", 0, 0, nullptr, 0, 1}, {nullptr, 0, 0, nullptr, 0, 0}};
  VANTActionDefinition actions[] = {{"x", nullptr, 1, {}},
                                    {"y", nullptr, 0, {}},
                                    {"z", nullptr, 0, {}},
                                    {nullptr, nullptr, 0, {}}};
  VANTComponentModelDefinition record{};
  record.modelName = "Counted";
  record.inputCount = record.outputCount = record.propertyCount = record.actionCount =
      VANT::kUncountedEntries;
  record.inputs = inputs;
  record.actions = actions;
  HostPackages::FillCounts(&record);
  EXPECT_EQ(record.inputCount, 1u);
  EXPECT_EQ(record.outputCount, 0u) << "a missing table has no entries";
  EXPECT_EQ(record.propertyCount, 0u);
  EXPECT_EQ(record.actionCount, 3u);
  record.actionCount = 2; // a count already given stays
  HostPackages::FillCounts(&record);
  EXPECT_EQ(record.actionCount, 2u);
}

} // namespace
