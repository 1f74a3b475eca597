#include "util/vant_string.h"
#include "util/vant_time_text.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>

namespace {

struct Accepted {
  const char* text;
  int64_t us;
  int used; // characters consumed
};

TEST(TimeTextParserTest, AcceptedTexts) {
  const Accepted rows[] = {
      {"90", 90000000, 2},
      {"1:30", 90000000, 4},
      {"1:00:00.25", 3600250000, 10},
      {"-1:30", -90000000, 5},
      {"-0:30", -30000000, 5}, // the sign belongs to the whole value, even with a zero field
      {"-0.5", -500000, 4},
      {"+7", 7000000, 2},
      {"1:75", 135000000, 4}, // fields are not limited to 59
      {"0.000001", 1, 8},
      {"1.05", 1050000, 4},
      {"5.", 5000000, 2},
      {"  \t12", 12000000, 5},
      {"1.1234567", 1123456, 8}, // Tricky: a seventh fraction digit is left unread
      {"5abc", 5000000, 1},
      // An empty field counts as 0 ("1:" used to give 1 s, ".5" and ":30" to be refused).
      {"1:", 60000000, 2},
      {"1:x", 60000000, 2},
      {"1::", 3600000000, 3},
      {".5", 500000, 2},
      {":30", 30000000, 3},
      {"-.5", -500000, 3},
      {"-:30", -30000000, 4},
      {".", 0, 1},
      {"1:2:3:4", 3723000000, 5}, // at most three fields
      {"2562047788:00:54.775807", INT64_MAX, 23},
      {"-2562047788:00:54.775807", -INT64_MAX, 24},
  };
  for (const Accepted& row : rows) {
    int64_t us = 0;
    const char* end = nullptr;
    ASSERT_TRUE(VANT::TryParseTimeText(row.text, us, &end)) << row.text;
    EXPECT_EQ(us, row.us) << row.text;
    EXPECT_EQ(end - row.text, row.used) << row.text;
    EXPECT_EQ(VANT::ParseTimeText(row.text), row.us) << row.text;
  }
}

TEST(TimeTextParserTest, RefusedTexts) {
  const char* rows[] = {"",
                        "abc",
                        "-",
                        "+",
                        "- 5",
                        "--5",
                        " ",
                        "99999999999999999999",
                        "2562047788:00:54.775808",
                        "153722867280912930:00",
                        "9223372036855"};
  for (const char* text : rows) {
    int64_t us = 42;
    const char* end = "not touched";
    EXPECT_FALSE(VANT::TryParseTimeText(text, us, &end)) << text;
    EXPECT_EQ(end, text) << text;
    EXPECT_EQ(us, 42) << text;
    EXPECT_EQ(VANT::ParseTimeText(text), -1) << text;
  }
  const char* end = "not touched";
  EXPECT_EQ(VANT::ParseTimeText(nullptr, &end), -1);
  EXPECT_EQ(end, nullptr);
}

TEST(TimeTextParserTest, ReadsBackTheTimeText) {
  for (const int64_t us :
       {int64_t{0}, int64_t{1}, int64_t{-1}, int64_t{59999999}, int64_t{3599999999},
        int64_t{3600000000}, int64_t{-3723000001}, int64_t{86400123456}, INT64_MAX, -INT64_MAX}) {
    const VANTStackedString<40> text(VANT::TimeText, us);
    const char* end = nullptr;
    int64_t back = 0;
    ASSERT_TRUE(VANT::TryParseTimeText(text.Text(), back, &end)) << text.Text();
    EXPECT_EQ(back, us) << text.Text();
    EXPECT_EQ(*end, '\0') << text.Text();
  }
}

} // namespace
