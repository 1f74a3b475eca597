// Enumeration texts and the kind a text value takes.

#include "runtime/vant_property_value.h"
#include "support/host_fixture.h"

#include <string>
#include <vector>

namespace {

class EnumStructTest : public HostFixture {
protected:
  static std::vector<std::string> Values(const VANTEnumStruct& e) {
    std::vector<std::string> values;
    for (int32_t i = 0; i < e.Count(); ++i) {
      values.emplace_back(e.Value(i).Text());
    }
    return values;
  }
};

const std::string kIncompatible =
    "VANTEnumStruct::FromString: Selected value incompatible with enum values for property. "
    "Selected property is set to 0.";
const std::string kMismatch = "VANTEnumStruct::FromString: Declared size of enum struct does not "
                              "match the number of given elements.";

TEST_F(EnumStructTest, ParsesValuesAndSelection) {
  VANTEnumStruct e;
  EXPECT_TRUE(e.FromString("3|1|a|b|c", false));
  EXPECT_EQ(Values(e), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(e.Selected(), 1);
  EXPECT_STREQ(e.SelectedText(), "b");
  EXPECT_STREQ(e.ToString().Text(), "3|1|a|b|c");
  EXPECT_TRUE(TakeReportTexts().empty());

  // Empty fields are values too.
  EXPECT_TRUE(e.FromString("3|2|x||", false));
  EXPECT_EQ(Values(e), (std::vector<std::string>{"x", "", ""}));
}

TEST_F(EnumStructTest, SelectionOutOfRangeSelectsTheFirstValue) {
  VANTEnumStruct e;
  EXPECT_FALSE(e.FromString("3|5|a|b|c", false));
  EXPECT_EQ(Values(e), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(e.Selected(), 0);
  const std::vector<HostReport> reports = TakeReports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].text, kIncompatible);
  EXPECT_EQ(reports[0].level, 2);
}

TEST_F(EnumStructTest, DeclaredCountMustMatchTheValues) {
  VANTEnumStruct e("p|q", 1);
  EXPECT_FALSE(e.FromString("2|0|a|b|c", false));
  EXPECT_EQ(e.Count(), 0);
  EXPECT_EQ(e.Selected(), -1);
  EXPECT_EQ(TakeReportTexts(), std::vector<std::string>{kMismatch});

  EXPECT_TRUE(e.FromString("0|0", false));
  EXPECT_EQ(e.Count(), 0);
  EXPECT_EQ(e.Selected(), -1);
  EXPECT_TRUE(TakeReportTexts().empty());
}

TEST_F(EnumStructTest, IllFormedTextLeavesTheStructureUnchanged) {
  VANTEnumStruct e("a|b", 1);
  EXPECT_FALSE(e.FromString("abc", false));
  EXPECT_EQ(Values(e), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(e.Selected(), 1);
  EXPECT_EQ(TakeReportTexts(),
            std::vector<std::string>{"VANTEnumStruct::FromString: Ill-formed enum string "
                                     "[expected:nbVal|selected|val0|val1|val2...] [received:abc]"});
  EXPECT_FALSE(e.FromString(nullptr, false));
  EXPECT_EQ(TakeReports().size(), 1u);
}

TEST_F(EnumStructTest, SelectedOnlyKeepsTheValues) {
  VANTEnumStruct e("a|b|c", 0);
  EXPECT_TRUE(e.FromString("3|2|x|y|z", true));
  EXPECT_EQ(Values(e), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(e.Selected(), 2);
  EXPECT_FALSE(e.FromString("3|3|x|y|z", true));
  EXPECT_EQ(e.Selected(), 0);
  EXPECT_EQ(TakeReportTexts(), std::vector<std::string>{kIncompatible});
}

TEST_F(EnumStructTest, ConstructorReplacesAnIndexOutOfRange) {
  VANTEnumStruct e("a|b", 2);
  EXPECT_EQ(e.Selected(), 0);
  EXPECT_EQ(TakeReportTexts(), std::vector<std::string>{"Selected value incompatible with enum "
                                                        "values for property. Selected property "
                                                        "is set to 0"});
  VANTEnumStruct none("", 4);
  EXPECT_EQ(none.Count(), 0);
  EXPECT_EQ(none.Selected(), -1);
  EXPECT_TRUE(TakeReportTexts().empty());
}

TEST_F(EnumStructTest, TextValueBecomesAnEnumerationOnlyInEnumerationForm) {
  const VANTPropertyValue enumeration("2|1|on|off");
  ASSERT_EQ(enumeration.Kind(), VANTPropertyEnum);
  EXPECT_STREQ(enumeration.Enum().SelectedText(), "off");

  const VANTPropertyValue text("1.4.0");
  ASSERT_EQ(text.Kind(), VANTPropertyString);
  EXPECT_STREQ(text.String().Text(), "1.4.0");

  const VANTPropertyValue empty(static_cast<const char*>(nullptr));
  ASSERT_EQ(empty.Kind(), VANTPropertyString);
  EXPECT_EQ(empty.String().Length(), 0);

  // Copies own their payload.
  VANTPropertyValue copy(enumeration);
  copy.Enum().SetSelected(0);
  EXPECT_EQ(enumeration.Enum().Selected(), 1);
  copy = text;
  EXPECT_EQ(copy.Kind(), VANTPropertyString);
  EXPECT_STREQ(copy.String().Text(), "1.4.0");
}

} // namespace
