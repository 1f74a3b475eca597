// The period statistics step on a stepped engine clock: the window of nbPeriods periods, its
// average, minimum and maximum, and the restart of the window at a start or a new nbPeriods.

#include "host/host_clock.h"
#include "scripted_component.h"

namespace {

using RuntimeTest::kSequential;

class StatisticsTest : public RuntimeFixture {
protected:
  void SetUp() override {
    RuntimeFixture::SetUp();
    host().Clock().SetStepped(true);
    c = Make(kSequential, "ST");
  }
  void TearDown() override {
    RuntimeFixture::TearDown();
    host().Clock().SetStepped(false);
  }
  // One Cycle's statistics step after `period` engine microseconds.
  void After(int64_t period) {
    host().Clock().Step(period);
    c->UpdateStatistics();
  }
  int64_t Value(const char* name) { return Property(c, name)->Integer(); }
  void ExpectWindow(int64_t average, int64_t minimum, int64_t maximum) {
    EXPECT_EQ(Value("averagePeriod"), average);
    EXPECT_EQ(Value("minPeriod"), minimum);
    EXPECT_EQ(Value("maxPeriod"), maximum);
  }

  ScriptedComponent* c = nullptr;
};

TEST_F(StatisticsTest, WindowOfTheLastPeriods) {
  Property(c, "nbPeriods")->SetInteger(3);
  c->UpdateStatistics(); // the first step only records the time
  EXPECT_EQ(Value("counter"), 1);
  ExpectWindow(0, 0, 0);
  After(10);
  ExpectWindow(10, 10, 10);
  After(20);
  ExpectWindow(15, 10, 20);
  After(30);
  ExpectWindow(20, 10, 30);
  After(40); // 10 leaves the window
  ExpectWindow(30, 20, 40);
  After(5);
  ExpectWindow(25, 5, 40);
  EXPECT_EQ(Value("counter"), 6);
  EXPECT_TRUE(Property(c, "averagePeriod")->IsChanged());
}

TEST_F(StatisticsTest, AStartOrANewWindowSizeStartsAgain) {
  Property(c, "nbPeriods")->SetInteger(2);
  c->UpdateStatistics();
  After(7);
  After(9);
  ExpectWindow(8, 7, 9);

  ASSERT_TRUE(host().StartComponent(c));
  After(1000); // after a start the first step only records the time
  ExpectWindow(8, 7, 9);
  After(4);
  ExpectWindow(4, 4, 4);

  Property(c, "nbPeriods")->SetInteger(4); // modifiable while started
  After(100);
  ExpectWindow(4, 4, 4);
  After(6);
  After(2);
  ExpectWindow(4, 2, 6);

  // Below 1 the window holds the last period alone.
  Property(c, "nbPeriods")->SetInteger(0);
  After(1);
  After(3);
  After(11);
  ExpectWindow(11, 11, 11);

  host().StopComponent(c); // the clean-up after death clears the figures
  EXPECT_EQ(Value("counter"), 0);
  ExpectWindow(0, 0, 0);
}

} // namespace
