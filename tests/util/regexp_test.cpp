#include "util/vant_regexp.h"

#include <gtest/gtest.h>
#include <pcre.h>

#include <string>
#include <thread>
#include <vector>

namespace {

std::string Text(const VANTStackedString<40>& s) {
  return std::string(s.Text(), s.Length());
}

TEST(RegExp, RuntimeNamePatterns) {
  VANTRegExp name("^[a-zA-Z][a-zA-Z_0-9]*$");
  VANTRegExp outputName("^[a-zA-Z][a-zA-Z_0-9\\.:]*$");
  ASSERT_TRUE(name.IsValid());
  ASSERT_TRUE(outputName.IsValid());
  for (const char* good : {"a", "input_12", "Z9_"}) {
    EXPECT_TRUE(name.Match(good)) << good;
    EXPECT_TRUE(outputName.Match(good)) << good;
  }
  for (const char* dotted : {"out.put", "ns:name", "a.b:c."}) {
    EXPECT_FALSE(name.Match(dotted)) << dotted;
    EXPECT_TRUE(outputName.Match(dotted)) << dotted;
  }
  for (const char* bad : {"", "1abc", "_x", "a b", "a-b", "caf\xC3\xA9"}) {
    EXPECT_FALSE(name.Match(bad)) << bad;
    EXPECT_FALSE(outputName.Match(bad)) << bad;
  }
  // The explicit length is honoured: the bytes after it are not part of the subject.
  EXPECT_TRUE(name.Match("abc def", 3));
  EXPECT_FALSE(name.Match("abc def", 4));
  EXPECT_FALSE(name.Match(nullptr));
  EXPECT_FALSE(name.Match("abc", -1));
}

TEST(RegExp, InvalidPatternCarriesMessageAndOffset) {
  struct Case {
    const char* pattern;
    const char* message;
    int32_t offset;
  };
  const Case cases[] = {
      {"a(b", "missing )", 3},
      {"ab[c", "missing terminating ] for character class", 4},
      {"x[z-a]", "range out of order in character class", 4},
      {"*a", "nothing to repeat", 0},
  };
  for (const Case& c : cases) {
    VANTRegExp re(c.pattern);
    EXPECT_FALSE(re.IsValid()) << c.pattern;
    ASSERT_NE(re.ErrorText(), nullptr) << c.pattern;
    EXPECT_STREQ(re.ErrorText(), c.message) << c.pattern;
    EXPECT_EQ(re.ErrorOffset(), c.offset) << c.pattern;
    EXPECT_FALSE(re.Match("a(b")) << c.pattern;
    EXPECT_FALSE(re.Study()) << c.pattern;
    EXPECT_EQ(re.SubstringCount(), 0) << c.pattern;
  }

  // UTF mode stays off even when the pattern or the options ask for it.
  VANTRegExp utfItem("(*UTF8)a");
  EXPECT_FALSE(utfItem.IsValid());
  EXPECT_NE(utfItem.ErrorText(), nullptr);
  VANTRegExp utfOption("a", PCRE_UTF8);
  EXPECT_FALSE(utfOption.IsValid());
  EXPECT_EQ(utfOption.Options(), PCRE_UTF8);
  // So bytes that are not UTF-8 are matched as bytes.
  VANTRegExp bytes("^\\xff.$");
  ASSERT_TRUE(bytes.IsValid());
  EXPECT_TRUE(bytes.Match("\xff\xc3"));

  // Recompiling with a good pattern clears the error.
  VANTRegExp fixed("a(b");
  EXPECT_TRUE(fixed.Recompile("a(b)"));
  EXPECT_EQ(fixed.ErrorText(), nullptr);
  EXPECT_EQ(fixed.ErrorOffset(), -1);
  EXPECT_TRUE(fixed.Match("ab"));

  VANTRegExp none;
  EXPECT_FALSE(none.IsValid());
  EXPECT_EQ(none.ErrorText(), nullptr);
  EXPECT_EQ(none.ErrorOffset(), -1);
  EXPECT_FALSE(none.Match(""));
}

TEST(RegExp, GroupsAndUnsetGroups) {
  // Regression: with the initial 10-entry vector PCRE returned 2 here (the unset group 2 ends the
  // part that fits) instead of "too small", and group 3 was lost.
  VANTRegExp re("^(a)(x)?(b)$");
  ASSERT_TRUE(re.Match("ab"));
  ASSERT_EQ(re.SubstringCount(), 4);
  EXPECT_EQ(Text(re.Substring(0)), "ab");
  EXPECT_EQ(Text(re.Substring(1)), "a");
  EXPECT_EQ(Text(re.Substring(2)), ""); // did not take part
  EXPECT_EQ(Text(re.Substring(3)), "b");
  EXPECT_EQ(re.StartOffset(2), -1);
  EXPECT_EQ(re.StartOffset(3), 1);
  EXPECT_EQ(re.EndOffset(3), 2);
  EXPECT_EQ(Text(re.Substring(4)), ""); // beyond the count
  EXPECT_EQ(Text(re.Substring(-1)), "");

  // Groups after the last one that took part are not counted.
  VANTRegExp alternatives("(a)|(b)");
  ASSERT_TRUE(alternatives.Match("a"));
  EXPECT_EQ(alternatives.SubstringCount(), 2);
  ASSERT_TRUE(alternatives.Match("b"));
  ASSERT_EQ(alternatives.SubstringCount(), 3);
  EXPECT_EQ(Text(alternatives.Substring(1)), ""); // a stale "a" would be a fault
  EXPECT_EQ(Text(alternatives.Substring(2)), "b");

  // An empty group that took part is empty too, but has an offset.
  VANTRegExp empty("x()y");
  ASSERT_TRUE(empty.Match("--xy"));
  EXPECT_EQ(Text(empty.Substring(1)), "");
  EXPECT_EQ(empty.StartOffset(1), 3);
}

TEST(RegExp, MoreGroupsThanTheInitialOffsetVectorHolds) {
  // Tricky: 10 entries hold three pairs (PCRE keeps a third as workspace): the whole match and
  // two groups. The third group is the first that makes the vector grow.
  VANTRegExp two("(a)(b)");
  ASSERT_TRUE(two.Match("ab"));
  EXPECT_EQ(two.OffsetVectorSize(), 10);
  EXPECT_EQ(two.SubstringCount(), 3);

  VANTRegExp three("(a)(b)(c)");
  ASSERT_TRUE(three.Match("abc"));
  EXPECT_EQ(three.OffsetVectorSize(), 20);
  ASSERT_EQ(three.SubstringCount(), 4);
  EXPECT_EQ(Text(three.Substring(3)), "c");

  std::string pattern;
  std::string subject;
  for (int i = 0; i < 25; ++i) {
    pattern += "(" + std::string(1, static_cast<char>('a' + i)) + "+)-";
    subject += std::string(static_cast<size_t>(i % 3 + 1), static_cast<char>('a' + i)) + "-";
  }
  VANTRegExp many(pattern.c_str());
  ASSERT_TRUE(many.Match(subject.c_str()));
  EXPECT_EQ(many.OffsetVectorSize(), 80); // 26 pairs need 78 entries
  ASSERT_EQ(many.SubstringCount(), 26);
  EXPECT_EQ(Text(many.Substring(0)), subject);
  for (int i = 0; i < 25; ++i) {
    EXPECT_EQ(Text(many.Substring(i + 1)),
              std::string(static_cast<size_t>(i % 3 + 1), static_cast<char>('a' + i)))
        << "group " << i + 1;
  }
  // A later match with fewer groups keeps the grown vector and shrinks the count.
  VANTRegExp copy(many);
  ASSERT_TRUE(copy.Recompile("(x)"));
  ASSERT_TRUE(copy.Match("x"));
  EXPECT_EQ(many.SubstringCount(), 2);
  EXPECT_EQ(many.OffsetVectorSize(), 80);
}

TEST(RegExp, SubstringsKeepLongTextAndZeroBytes) {
  VANTRegExp re("^([^=]*)=(.*)$", PCRE_DOTALL);
  const std::string longValue(100, 'v');
  const std::string subject = "key=" + longValue;
  ASSERT_TRUE(re.Match(subject.c_str()));
  EXPECT_EQ(Text(re.Substring(2)), longValue);

  const char withZero[] = {'k', '=', 'a', '\0', 'b'};
  ASSERT_TRUE(re.Match(withZero, 5));
  EXPECT_EQ(Text(re.Substring(2)), std::string("a\0b", 3));

  // A failed match keeps the substrings of the last successful one.
  EXPECT_FALSE(re.Match("no equals sign"));
  EXPECT_EQ(Text(re.Substring(1)), "k");
}

TEST(RegExp, MatchingAnOwnSubstringIsSafe) {
  // The subject is substring 1 of the last match, which this match rewrites before it reads
  // group 2 from the subject. Regression: group 2 was read from the overwritten (in-object) or
  // freed (heap) text of substring 1.
  VANTRegExp re("^(.*)(.)$");
  for (const std::string& body : {std::string("abc"), std::string(70, 'x') + "abc"}) {
    ASSERT_TRUE(re.Match((body + "d").c_str()));
    ASSERT_EQ(Text(re.Substring(1)), body);
    ASSERT_TRUE(re.Match(re.Substring(1).Text(), re.Substring(1).Length()));
    EXPECT_EQ(Text(re.Substring(0)), body);
    EXPECT_EQ(Text(re.Substring(1)), body.substr(0, body.size() - 1));
    EXPECT_EQ(Text(re.Substring(2)), "c");
  }
}

TEST(RegExp, CopiesShareTheCompiledBody) {
  auto first = std::make_unique<VANTRegExp>("^(\\d+)$");
  EXPECT_EQ(first->References(), 1);
  VANTRegExp copy(*first);
  EXPECT_EQ(first->References(), 2);
  {
    VANTRegExp third = copy;
    EXPECT_EQ(copy.References(), 3);
  }
  EXPECT_EQ(copy.References(), 2);
  first.reset();
  EXPECT_EQ(copy.References(), 1);
  ASSERT_TRUE(copy.Match("42"));
  EXPECT_EQ(Text(copy.Substring(1)), "42");

  // Self-assignment, direct and through another handle on the same body, keeps the body alive.
  VANTRegExp& alias = copy;
  copy = alias;
  EXPECT_EQ(copy.References(), 1);
  ASSERT_TRUE(copy.Match("7"));
  VANTRegExp same(copy);
  copy = same;
  EXPECT_EQ(copy.References(), 2);

  // Assignment releases the old body and shares the new one.
  VANTRegExp other("x");
  copy = other;
  EXPECT_EQ(same.References(), 1);
  EXPECT_EQ(other.References(), 2);
  EXPECT_TRUE(copy.Match("x"));
  EXPECT_TRUE(same.Match("7"));
}

TEST(RegExp, RecompileAndOptionsChangeTheSharedBodySetPatternDoesNot) {
  VANTRegExp a("abc");
  VANTRegExp b(a);
  b.SetOptions(PCRE_CASELESS);
  EXPECT_EQ(a.Options(), PCRE_CASELESS);
  ASSERT_TRUE(b.Recompile("xyz"));
  EXPECT_TRUE(a.Match("XYZ")); // a sees the new pattern and its options
  EXPECT_FALSE(a.Match("abc"));

  b.SetPattern("abc"); // a new body, compiled with options 0
  EXPECT_EQ(a.References(), 1);
  EXPECT_EQ(b.Options(), 0);
  EXPECT_TRUE(a.Match("xyz"));
  EXPECT_TRUE(b.Match("abc"));
  EXPECT_FALSE(b.Match("ABC"));

  b.Reset();
  EXPECT_FALSE(b.IsValid());
  EXPECT_TRUE(a.IsValid());
  b.SetPattern(nullptr);
  EXPECT_FALSE(b.IsValid());
  EXPECT_EQ(b.ErrorText(), nullptr);
}

TEST(RegExp, RecompileDropsTheStudyOfTheOldPattern) {
  // The study of "[ab]cdefgh" knows that a match starts with 'a' or 'b' and is at least 8 bytes
  // long. Kept for "x", it would make every match fail (or read data laid out for another
  // pattern).
  VANTRegExp re("[ab]cdefgh");
  ASSERT_TRUE(re.Study());
  EXPECT_TRUE(re.Match("--bcdefgh"));
  ASSERT_TRUE(re.Recompile("x"));
  EXPECT_TRUE(re.Match("--x"));
  ASSERT_TRUE(re.Study());
  ASSERT_TRUE(re.Study()); // studying again replaces the study without leaking it
  EXPECT_TRUE(re.Match("x"));
  EXPECT_FALSE(re.Match("bcdefgh"));
}

TEST(RegExp, HandlesOnOneBodyCopiedAndDestroyedOnTwoThreads) {
  VANTRegExp shared("^[a-z]+$");
  auto churn = [&shared] {
    for (int i = 0; i < 20000; ++i) {
      VANTRegExp copy(shared);
      VANTRegExp other;
      other = copy;
    }
  };
  std::thread t1(churn);
  std::thread t2(churn);
  t1.join();
  t2.join();
  EXPECT_EQ(shared.References(), 1);
  EXPECT_TRUE(shared.Match("still"));
}

} // namespace
