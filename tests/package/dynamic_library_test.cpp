// Forwarding this package's kernel to a library the package loaded itself.
#include "package/vant_dynamic_library.h"
#include "support/host_fixture.h"

#include <gtest/gtest.h>

namespace {

using TargetState = int32_t (*)(int32_t, VANTHostKernel**, int32_t*);

class ForwardPckInit : public HostFixture {};

TEST_F(ForwardPckInit, PassesTheStoredKernelAndTheVersionWord) {
  VANTDynamicLibrary library(CORVEX_FORWARD_TARGET);
  ASSERT_TRUE(library.IsLoaded()) << library.LoadError();
  auto state = reinterpret_cast<TargetState>(library.Symbol("ForwardTargetState"));
  ASSERT_NE(state, nullptr);
  VANTHostKernel* kernel = nullptr;
  int32_t version = 0;
  state(4, &kernel, &version);

  int32_t result = 0;
  EXPECT_TRUE(VANT::ForwardPckInitToLibrary(library, &result));
  EXPECT_EQ(result, 4);
  EXPECT_EQ(state(4, &kernel, &version), 1);
  EXPECT_EQ(kernel, &host());
  EXPECT_EQ(version, 0x804A8);
  EXPECT_TRUE(TakeReports().empty());

  // Any non-zero answer is success; 0 is reported.
  state(9, &kernel, &version);
  EXPECT_TRUE(VANT::ForwardPckInitToLibrary(library, &result));
  EXPECT_EQ(result, 9);
  state(0, &kernel, &version);
  EXPECT_FALSE(VANT::ForwardPckInitToLibrary(library, &result));
  EXPECT_EQ(result, 0);
  const std::vector<HostReport> reports = TakeReports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].text, "VANT::ForwardPckInitToLibrary: VANTPckInit call failed");
  EXPECT_EQ(reports[0].level, 2);
  EXPECT_EQ(reports[0].option, 0);
  EXPECT_FALSE(reports[0].flag);
}

TEST_F(ForwardPckInit, RefusesAnUnloadedLibraryOrOneWithoutTheEntryPoint) {
  VANTDynamicLibrary missing("/nonexistent/libnothing.so");
  EXPECT_FALSE(missing.IsLoaded());
  EXPECT_FALSE(missing.LoadError().empty());
  EXPECT_EQ(missing.Symbol("VANTPckInit"), nullptr);
  int32_t result = 0;
  EXPECT_FALSE(VANT::ForwardPckInitToLibrary(missing, &result));
  EXPECT_EQ(result, 0x7FFFFFFF);

  VANTDynamicLibrary other("libm.so.6");
  ASSERT_TRUE(other.IsLoaded()) << other.LoadError();
  EXPECT_FALSE(VANT::ForwardPckInitToLibrary(other));

  const std::vector<HostReport> reports = TakeReports();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].text, "VANT::ForwardPckInitToLibrary: Dynamic library is not loaded");
  EXPECT_EQ(reports[1].text,
            "VANT::ForwardPckInitToLibrary: Failed to load 'VANTPckInit' from the dynamic library");
  EXPECT_EQ(reports[1].level, 2);
}

TEST(DynamicLibrary, MovesOwnershipOfTheHandle) {
  VANTDynamicLibrary first(CORVEX_FORWARD_TARGET);
  ASSERT_TRUE(first.IsLoaded());
  VANTDynamicLibrary second(std::move(first));
  EXPECT_FALSE(first.IsLoaded()); // NOLINT(bugprone-use-after-move): moved-from state is defined
  EXPECT_TRUE(second.IsLoaded());
  EXPECT_NE(second.Symbol("VANTPckInit"), nullptr);
  VANTDynamicLibrary third("/nonexistent/x.so");
  third = std::move(second);
  EXPECT_TRUE(third.IsLoaded());
}

} // namespace
