// Dynamic input and output models: failed checks and their report format.
#include "local_interfaces/vant_dynamic_io_models.h"
#include "support/host_fixture.h"
#include "util/vant_exceptions.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

namespace {

class DynamicModelChecks : public HostFixture {
protected:
  // The prefix every failed-check report of this thread starts with.
  static std::string Prefix(int line, const std::string& function) {
    return "[" + std::to_string(getpid()) + "." + std::to_string(gettid()) +
           "] vant_dynamic_io_models.h:" + std::to_string(line) + "/" + function;
  }

  template <typename Call>
  void ExpectFailedCheck(Call call, int line, const std::string& function,
                         const std::string& condition) {
    int thrown = 0;
    try {
      call();
    } catch (int code) {
      thrown = code;
    }
    EXPECT_EQ(thrown, VANT::ErrorException) << function;
    const std::string prefix = Prefix(line, function);
    const std::vector<HostReport> reports = TakeReports();
    ASSERT_EQ(reports.size(), 2u) << function;
    EXPECT_EQ(reports[0].text, prefix + " : Assertion Failed: " + condition);
    EXPECT_EQ(reports[1].text, prefix + " : " + prefix + ": -5");
    for (const HostReport& report : reports) {
      EXPECT_EQ(report.level, 2);
    }
  }
};

TEST_F(DynamicModelChecks, UnknownModelNameFailsWithTheSetCheck) {
  VANT::DynamicInputModelSet inputs;
  ExpectFailedCheck([&] { inputs.Model("input_0"); }, 418,
                    "VANT::DynamicModelSetBase<struct VANT::DynamicInputModelSet>::Model",
                    "it != m_models.end()");
  VANT::DynamicOutputModelSet outputs;
  ExpectFailedCheck([&] { outputs.Model("output"); }, 418,
                    "VANT::DynamicModelSetBase<struct VANT::DynamicOutputModelSet>::Model",
                    "it != m_models.end()");
}

TEST_F(DynamicModelChecks, AccessorsOfAModelWithoutStateFail) {
  VANT::DynamicInputModel model;
  const std::string base = "VANT::DynamicModelBase<struct VANT::DynamicInputModel>::";
  ExpectFailedCheck([&] { model.setUnused(true); }, 149, base + "setUnused", "IsValid()");
  ExpectFailedCheck([&] { (void)model.isUnused(); }, 158, base + "isUnused", "IsValid()");
  ExpectFailedCheck([&] { model.Instance(); }, 170, base + "Instance", "IsValid()");
  ExpectFailedCheck([&] { model.TypeName(); }, 187, base + "TypeName", "IsValid()");
  ExpectFailedCheck([&] { model.ShortName(); }, 193, base + "ShortName", "IsValid()");
  ExpectFailedCheck([&] { model.Input(); }, 274, "VANT::DynamicInputModel::Input", "IsValid()");

  VANT::DynamicOutputModel output;
  const std::string outputBase = "VANT::DynamicModelBase<struct VANT::DynamicOutputModel>::";
  ExpectFailedCheck([&] { output.setUnused(false); }, 149, outputBase + "setUnused", "IsValid()");
  ExpectFailedCheck([&] { (void)output.isUnused(); }, 158, outputBase + "isUnused", "IsValid()");
}

TEST_F(DynamicModelChecks, StateWithoutInputFailsWithItsOwnCheck) {
  VANT::DynamicInputModel model;
  model.m_state = std::make_unique<VANT::DynamicInputState>("input_0", 0x8000, nullptr, 1);
  ExpectFailedCheck([&] { model.Input(); }, 235, "VANT::DynamicInputModel::State::Instance",
                    "m_input != nullptr");
}

} // namespace
