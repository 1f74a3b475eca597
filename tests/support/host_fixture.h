#pragma once
// A GoogleTest fixture for tests of the package code linked into the test program: one Host per
// process stands in for the engine, and the registry linked into the test (with whatever models
// the test links) is initialised with it, as the package's VANTPckInit does, the first time a
// fixture is set up. The runtime stores its kernel once, so the Host lives until the process ends;
// every test starts from Host::Reset() with the check level at 1.
//
// Link: corvex_host and vant_package (corvex_add_gtest(... LIBS ... corvex_host vant_package)).

#include "host/host.h"
#include "kernel/vant_kernel.h"
#include "package/vant_module_management.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

class HostFixture : public ::testing::Test {
public:
  /// The process's Host, created and handed to the package on first use.
  static Host& SharedHost() {
    static Host* host = [] {
      auto* created = new Host(); // never deleted: the package keeps the pointer
      const int32_t level =
          VANTModuleRegistry::Initialise(created, VANTModuleRegistry::kInterfaceVersion);
      if (level != VANTModuleRegistry::kInterfaceLevel || VANT::Kernel() != created) {
        ADD_FAILURE() << "the registry did not accept the test host (it answered " << level << ")";
      }
      std::string error;
      if (!created->AddModels(&VANTModuleRegistry::ModelsQuery, &error)) {
        ADD_FAILURE() << "the package's models cannot be added: " << error;
      }
      return created;
    }();
    return *host;
  }

protected:
  void SetUp() override {
    Host& shared = SharedHost();
    shared.Reset();
    shared.SetCheckLevel(1);
  }

  Host& host() { return SharedHost(); }

  /// Every report received since the last call (or since the test began).
  std::vector<HostReport> TakeReports() { return host().TakeReports(); }

  /// The texts of the reports received since the last call, oldest first.
  std::vector<std::string> TakeReportTexts() {
    std::vector<std::string> texts;
    for (HostReport& report : TakeReports()) {
      texts.push_back(std::move(report.text));
    }
    return texts;
  }

  HostSettings& EngineSettings() { return host().Settings(); }
};
