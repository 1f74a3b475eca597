#include "util/vant_string.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>

namespace {

using Str = VANTStackedString<40>;

std::string Chars(int n, char c = 'x') {
  return std::string(static_cast<std::size_t>(n), c);
}

// ---- Capacity rule and storage ----------------------------------------------------------------

TEST(StackedStringTest, CapacityAtTheInObjectBoundary) {
  struct Row {
    int length;
    int capacity;
  };
  // Tricky: 40 characters need 41 bytes, so the first heap block is already 80; 79 needs 120.
  for (const Row row : {Row{0, 40}, Row{1, 40}, Row{39, 40}, Row{40, 80}, Row{41, 80}, Row{78, 80},
                        Row{79, 120}, Row{80, 120}, Row{119, 160}}) {
    const std::string text = Chars(row.length);
    const Str s(text.c_str());
    EXPECT_EQ(s.Length(), row.length);
    EXPECT_EQ(s.Capacity(), row.capacity) << "length " << row.length;
    EXPECT_EQ(s.IsInObject(), row.length < 40) << "length " << row.length;
    EXPECT_EQ(std::string(s.Text()), text);
  }
}

TEST(StackedStringTest, AppendGrowsOnlyWhenTheTerminatorNoLongerFits) {
  Str s;
  int previous = s.Capacity();
  for (int n = 1; n <= 250; ++n) {
    s.Append('a' + static_cast<char>(n % 26));
    ASSERT_EQ(s.Length(), n);
    ASSERT_GE(s.Capacity(), n + 1);
    ASSERT_EQ(s.Capacity() % 40, 0);
    ASSERT_EQ(s.Text()[n], '\0');
    if (s.Capacity() != previous) {
      // A move happens exactly when the new length reaches the old capacity.
      EXPECT_EQ(n, previous) << "grew early at length " << n;
      EXPECT_EQ(s.Capacity(), 40 * ((n + 1) / 40 + 1));
      previous = s.Capacity();
    }
  }
  for (int n = 0; n < 250; ++n) {
    ASSERT_EQ(s.Text()[n], 'a' + static_cast<char>((n + 1) % 26)) << n;
  }
}

TEST(StackedStringTest, AppendingTheEightiethCharacterMovesTo120) {
  Str s(Chars(40).c_str());
  ASSERT_EQ(s.Capacity(), 80);
  s.Append(Chars(39).c_str());
  ASSERT_EQ(s.Length(), 79);
  EXPECT_EQ(s.Capacity(), 80); // Tricky: 79 characters plus the terminator fill 80 exactly.
  s.Append('y');
  EXPECT_EQ(s.Length(), 80);
  EXPECT_EQ(s.Capacity(), 120);
  EXPECT_EQ(std::string(s.Text()), Chars(79) + "y");
}

TEST(StackedStringTest, AppendingFromItselfAcrossAMove) {
  Str s(Chars(39, 'a').c_str());
  s.Append(s); // the source is the in-object buffer that is being left behind
  EXPECT_EQ(std::string(s.Text()), Chars(78, 'a'));
  s.Append(s.Text() + 70); // the source is the heap block that is being freed
  EXPECT_EQ(s.Length(), 86);
  EXPECT_EQ(std::string(s.Text()), Chars(86, 'a'));
  s += s;
  EXPECT_EQ(std::string(s.Text()), Chars(172, 'a'));
}

TEST(StackedStringTest, AssigningFromItsOwnText) {
  Str s((Chars(50, 'a') + "tail").c_str());
  s = s.Text() + 50; // the old heap block holds the source
  EXPECT_EQ(std::string(s.Text()), "tail");
  EXPECT_TRUE(s.IsInObject());
  Str copy(s);
  copy = copy;
  EXPECT_EQ(copy, "tail");
}

TEST(StackedStringTest, AssignmentStartsAfreshFromTheRule) {
  Str s(Chars(100).c_str());
  s = "short";
  EXPECT_TRUE(s.IsInObject());
  EXPECT_EQ(s.Capacity(), 40);
  const Str longer(Chars(45).c_str());
  s = longer;
  EXPECT_EQ(s.Capacity(), 80);
  EXPECT_EQ(s, longer);
  EXPECT_NE(s.Text(), longer.Text());
}

TEST(StackedStringTest, MovesStealHeapTextAndCopyInObjectText) {
  Str heap(Chars(60).c_str());
  const char* block = heap.Text();
  Str stolen(std::move(heap));
  EXPECT_EQ(stolen.Text(), block);
  EXPECT_TRUE(heap.IsEmpty()); // NOLINT(bugprone-use-after-move): moved-from state is specified
  EXPECT_TRUE(heap.IsInObject());
  heap = "reused after the move";
  EXPECT_EQ(heap, "reused after the move");

  Str small("abc");
  Str target(Chars(90).c_str());
  target = std::move(small);
  EXPECT_EQ(target, "abc");
  EXPECT_TRUE(target.IsInObject());
  EXPECT_TRUE(small.IsEmpty()); // NOLINT(bugprone-use-after-move)
}

TEST(StackedStringTest, NullTextsAreEmpty) {
  const char* none = nullptr;
  Str s(none);
  EXPECT_TRUE(s.IsEmpty());
  EXPECT_STREQ(s.Text(), "");
  s = "x";
  s = none;
  EXPECT_TRUE(s.IsEmpty());
  s.Append(none).Append(none, 5);
  EXPECT_TRUE(s.IsEmpty());
  EXPECT_TRUE(s == none);
  const Str counted(none, 12);
  EXPECT_TRUE(counted.IsEmpty());
}

TEST(StackedStringTest, CountedConstructorCopiesEmbeddedZeros) {
  const char bytes[] = {'a', '\0', 'b', 'c'};
  const Str s(bytes, 4);
  EXPECT_EQ(s.Length(), 4);
  EXPECT_EQ(s.Text()[1], '\0');
  EXPECT_EQ(s.Text()[4], '\0');
  EXPECT_FALSE(s == "a"); // equality compares lengths, not up to the first zero
  EXPECT_FALSE(Str(bytes, 4) == Str(bytes, 3));
  EXPECT_TRUE(Str(bytes, 4) == Str(bytes, 4));
  EXPECT_TRUE(Str(bytes, -3).IsEmpty());
}

TEST(StackedStringTest, SizedConstructor) {
  Str withLength(VANT::Sized, 100, true);
  EXPECT_EQ(withLength.Length(), 100);
  EXPECT_EQ(withLength.Capacity(), 120);
  EXPECT_EQ(withLength.Text()[100], '\0');
  for (int i = 0; i < 100; ++i) {
    withLength.Data()[i] = 'z';
  }
  EXPECT_EQ(std::string(withLength.Text()), Chars(100, 'z'));

  const Str roomOnly(VANT::Sized, 39, false);
  EXPECT_TRUE(roomOnly.IsEmpty());
  EXPECT_TRUE(roomOnly.IsInObject());
  const Str negative(VANT::Sized, -5, true);
  EXPECT_TRUE(negative.IsEmpty());
  EXPECT_EQ(negative.Capacity(), 40);
}

TEST(StackedStringTest, DigitsConstructor) {
  EXPECT_EQ(Str(VANT::Digits, 7, 3), "007");
  EXPECT_EQ(Str(VANT::Digits, 12345, 3), "345");
  EXPECT_EQ(Str(VANT::Digits, 0, 1), "0");
  EXPECT_EQ(Str(VANT::Digits, 5, 0), "");
  EXPECT_EQ(Str(VANT::Digits, -42, 4), "0042"); // digits of the magnitude
  EXPECT_EQ(Str(VANT::Digits, INT64_MIN, 19), "9223372036854775808");
  EXPECT_EQ(Str(VANT::Digits, 1, 45).Length(), 45);
}

TEST(StackedStringTest, TimeText) {
  EXPECT_EQ(Str(VANT::TimeText, 0), "00:00.000000");
  EXPECT_EQ(Str(VANT::TimeText, 61500000), "01:01.500000");
  EXPECT_EQ(Str(VANT::TimeText, 3723000001), "1:02:03.000001");
  EXPECT_EQ(Str(VANT::TimeText, 3599999999), "59:59.999999");
  EXPECT_EQ(Str(VANT::TimeText, 3600000000), "1:00:00.000000");
  EXPECT_EQ(Str(VANT::TimeText, -61500000), "-01:01.500000");
  EXPECT_EQ(Str(VANT::TimeText, -1), "-00:00.000001");
  EXPECT_EQ(Str(VANT::TimeText, INT64_MAX), "2562047788:00:54.775807");
  EXPECT_EQ(Str(VANT::TimeText, INT64_MIN), "-2562047788:00:54.775808");
}

// ---- Streamed string --------------------------------------------------------------------------

TEST(StreamedStringTest, IntegersInEveryBase) {
  VANTStreamedString s;
  s << int32_t{-1} << ' ' << uint32_t{0xffffffffu} << ' ' << int16_t{-2} << ' ' << uint16_t{65535}
    << ' ' << int64_t{INT64_MIN} << ' ' << uint64_t{UINT64_MAX};
  EXPECT_STREQ(s.Text(), "-1 4294967295 -2 65535 -9223372036854775808 18446744073709551615");

  VANTStreamedString hex;
  hex.SetFlags(VANTStreamedString::Hexadecimal);
  hex << int32_t{-1} << ' ' << int16_t{-1} << ' ' << int64_t{-1} << ' ' << uint32_t{255} << ' '
      << 2.5;
  EXPECT_STREQ(hex.Text(), "ffffffff ffff ffffffffffffffff ff 2.5"); // floats ignore the flags

  VANTStreamedString oct;
  oct.SetFlags(VANTStreamedString::Octal);
  oct << int32_t{8} << ' ' << int16_t{-1} << ' ' << uint64_t{64};
  EXPECT_STREQ(oct.Text(), "10 177777 100");

  VANTStreamedString both;
  both.SetFlags(VANTStreamedString::Hexadecimal | VANTStreamedString::Octal);
  both << int32_t{255};
  EXPECT_STREQ(both.Text(), "ff"); // hexadecimal wins
}

TEST(StreamedStringTest, FloatingPointUsesTenSignificantDigits) {
  VANTStreamedString s;
  s << 2.5 << ' ' << 1.0 / 3.0 << ' ' << 0.1f << ' ' << 1e20 << ' ' << 123456789012.0 << ' '
    << -0.0;
  EXPECT_STREQ(s.Text(), "2.5 0.3333333333 0.1000000015 1e+20 1.23456789e+11 -0");
}

TEST(StreamedStringTest, ChainsAcrossTheHeapBoundary) {
  VANTStreamedString s("value=");
  for (int i = 0; i < 20; ++i) {
    s << i << ",";
  }
  EXPECT_STREQ(s.Text(), "value=0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,");
  EXPECT_FALSE(s.IsInObject());
  const char* none = nullptr;
  s << none;
  EXPECT_EQ(s.Length(), 56);
  s << Str("!");
  EXPECT_EQ(s.Text()[56], '!');
  VANTStreamedString copy(s);
  EXPECT_EQ(copy, s);
}

TEST(StreamedStringTest, DurationText) {
  struct Row {
    int64_t us;
    const char* text;
  };
  for (const Row row :
       {Row{1000000, "1000 ms"}, Row{1000001, "1.000001 s"}, Row{1000, "1000 us"},
        Row{1001, "1.001 ms"}, Row{0, "0 us"}, Row{-1001, "-1.001 ms"}, Row{-1000, "-1000 us"},
        Row{-2500000, "-2.5 s"}, Row{INT64_MIN, "-9.223372037e+12 s"}}) {
    EXPECT_STREQ(VANTStreamedString(VANT::DurationText, row.us).Text(), row.text) << row.us;
  }
}

// ---- Free conversions and byte strings --------------------------------------------------------

TEST(NumberToTextTest, SignsAndRadixes) {
  char b[72];
  EXPECT_EQ(VANT::IntegerToText(-255, b, sizeof b, 10), 4);
  EXPECT_STREQ(b, "-255");
  EXPECT_EQ(VANT::IntegerToText(-1, b, sizeof b, 16), 8);
  EXPECT_STREQ(b, "ffffffff"); // no sign outside radix 10
  VANT::IntegerToText(INT32_MIN, b, sizeof b, 10);
  EXPECT_STREQ(b, "-2147483648");
  VANT::UnsignedToText(35, b, sizeof b, 36);
  EXPECT_STREQ(b, "z");
  VANT::Integer64ToText(INT64_MIN, b, sizeof b, 10);
  EXPECT_STREQ(b, "-9223372036854775808");
  EXPECT_EQ(VANT::Integer64ToText(-1, b, sizeof b, 2), 64);
  EXPECT_EQ(std::string(b), Chars(64, '1'));
  VANT::ToTextWithSign(static_cast<uint32_t>(-5), b, sizeof b, 10, true);
  EXPECT_STREQ(b, "-5");
  VANT::ToTextWithSign64(5, b, sizeof b, 16, true);
  EXPECT_STREQ(b, "-fffffffffffffffb");
  VANT::UnsignedToText(0, b, sizeof b, 8);
  EXPECT_STREQ(b, "0");
}

TEST(NumberToTextTest, RefusesBadRadixAndSmallBuffers) {
  char b[8] = "junk";
  EXPECT_EQ(VANT::IntegerToText(5, b, sizeof b, 1), -1);
  EXPECT_STREQ(b, "");
  EXPECT_EQ(VANT::IntegerToText(5, b, sizeof b, 37), -1);
  EXPECT_EQ(VANT::IntegerToText(-123456, b, 8, 10), 7); // exactly fits with its terminator
  EXPECT_STREQ(b, "-123456");
  EXPECT_EQ(VANT::IntegerToText(-1234567, b, 8, 10), -1);
  EXPECT_STREQ(b, "");
  EXPECT_EQ(VANT::IntegerToText(1, nullptr, 8, 10), -1);
  EXPECT_EQ(VANT::IntegerToText(1, b, 0, 10), -1);
}

TEST(ByteStringTest, CompareAndCopy) {
  EXPECT_EQ(VANT::StringLength(nullptr), 0u);
  EXPECT_EQ(VANT::StringCompare("a", "b"), -1);
  EXPECT_EQ(VANT::StringCompare("b", "a"), 1);
  EXPECT_EQ(VANT::StringCompare("\x80", "a"), 1); // unsigned bytes
  EXPECT_EQ(VANT::StringCompare("ab", "abc"), -1);
  EXPECT_EQ(VANT::StringCompare(nullptr, ""), 0);
  EXPECT_EQ(VANT::StringCompare(nullptr, "a"), -1);
  EXPECT_EQ(VANT::StringCompareNoCase("HeLLo", "hello"), 0);
  EXPECT_EQ(VANT::StringCompareNoCase("B", "a"), 1);
  EXPECT_EQ(VANT::StringCompareNoCase("[", "a"), '[' - 'a'); // only A..Z fold
  EXPECT_EQ(VANT::StringCompareNoCase("\xc4", "\xe4"), 0xc4 - 0xe4);
  EXPECT_EQ(VANT::StringCompareNoCase("abc", nullptr), 'a');

  char b[6];
  EXPECT_TRUE(VANT::StringCopy(b, sizeof b, "abc"));
  EXPECT_TRUE(VANT::StringConcat(b, sizeof b, "de"));
  EXPECT_STREQ(b, "abcde");
  EXPECT_FALSE(VANT::StringConcat(b, sizeof b, "f"));
  EXPECT_STREQ(b, "abcde");
  EXPECT_FALSE(VANT::StringCopy(b, sizeof b, "0123456789"));
  EXPECT_STREQ(b, "01234");
  char unterminated[3] = {'x', 'y', 'z'};
  EXPECT_FALSE(VANT::StringConcat(unterminated, sizeof unterminated, "a"));
  EXPECT_EQ(unterminated[2], 'z');
}

} // namespace
