#include "util/vant_codepage.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <locale.h>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Released {
  void operator()(void* bytes) const noexcept { VANTCodePageRegistry::Release(bytes); }
};
using Buffer = std::unique_ptr<void, Released>;

VANTCodePageRegistry& Registry() {
  return VANTCodePageRegistry::Instance();
}

// Converts through a converter made from two names; `ok` false when the result is null.
struct Converted {
  bool ok = false;
  std::string bytes;
};

Converted ConvertBytes(const char* from, const char* to, const std::string& input) {
  std::unique_ptr<VANTCodePageConverter> converter = VANTCodePageRegistry::MakeConverter(from, to);
  EXPECT_NE(converter, nullptr) << from << " -> " << to;
  Converted out;
  if (!converter) {
    return out;
  }
  size_t length = 0;
  Buffer result(Registry().Convert(*converter, input.data(), input.size(), &length));
  if (result) {
    out.ok = true;
    out.bytes.assign(static_cast<const char*>(result.get()), length);
    // Two spare zero bytes follow every result.
    EXPECT_EQ(static_cast<const char*>(result.get())[length], '\0');
    EXPECT_EQ(static_cast<const char*>(result.get())[length + 1], '\0');
  }
  return out;
}

std::string Wide(std::initializer_list<char16_t> units) {
  std::u16string text(units);
  return std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2);
}

// Switches the calling thread to a locale for the lifetime of the object (the ANSI code page is
// the thread locale's character set).
class ThreadLocale {
public:
  explicit ThreadLocale(const char* name) : m_locale(newlocale(LC_ALL_MASK, name, nullptr)) {
    if (m_locale) {
      m_previous = uselocale(m_locale);
    }
  }
  ~ThreadLocale() {
    if (m_locale) {
      uselocale(m_previous);
      freelocale(m_locale);
    }
  }
  ThreadLocale(const ThreadLocale&) = delete;
  ThreadLocale& operator=(const ThreadLocale&) = delete;
  bool Active() const { return m_locale != nullptr; }

private:
  locale_t m_locale;
  locale_t m_previous = nullptr;
};

TEST(CodePageName, PrefixesNumbersAndTable) {
  struct Case {
    const char* name;
    int64_t codePage;
  };
  const Case cases[] = {{"cp1252", 1252},
                        {"CP_1252", 1252},
                        {"cp_1252", 1252},
                        {"windows-1252", 1252},
                        {"WINDOWS-1252", 1252},
                        {"iso-8859-15", 28605},
                        {"ISO-8859-1", 28591},
                        {"CP", 0},
                        {"CP_", 0},
                        {"IBM037", 37},
                        {"ibm00858", 858},
                        {"UTF-8", 65001},
                        {"UTF8", 65001},
                        {"CP_UTF8", 65001},
                        {"CP_UTF7", 65000},
                        {"UTF_16LE", 1200},
                        {"UTF16BE", 1201},
                        {"CP_ACP", 0},
                        {"CP_OEMCP", 1},
                        {"CP_THREAD_ACP", 3},
                        {"CP_SYMBOL", 42},
                        {"CP4294967295", 4294967295LL},
                        // The table is matched exactly: lower case is not recognised.
                        {"utf-8", -1},
                        {"cp_acp", -1},
                        {"UTF-16LE", -1},
                        // Prefixes need digits, and only digits, after them.
                        {"windows-", -1},
                        {"windows-12x", -1},
                        {"iso-8859-", -1},
                        {"IBM0", -1},
                        {"CP12a", -1},
                        {"IBM37", -1},
                        {"", -1},
                        // Numbers beyond 32 bits are not code pages (and must not wrap around).
                        {"CP4294967296", -1},
                        {"windows-99999999999999999999", -1},
                        {"iso-8859-4294967295", -1}};
  for (const Case& c : cases) {
    EXPECT_EQ(VANT::CodePageOfName(c.name), c.codePage) << '"' << c.name << '"';
  }
  EXPECT_EQ(VANT::CodePageOfName(nullptr), -1);
}

TEST(CodePageConverter, UnknownNamesGiveNoConverter) {
  EXPECT_EQ(VANTCodePageRegistry::MakeConverter("utf-8", "UTF-8"), nullptr);
  EXPECT_EQ(VANTCodePageRegistry::MakeConverter("UTF-8", nullptr), nullptr);
  std::unique_ptr<VANTCodePageConverter> converter =
      VANTCodePageRegistry::MakeConverter("cp1252", "iso-8859-15");
  ASSERT_NE(converter, nullptr);
  EXPECT_EQ(converter->From(), 1252u);
  EXPECT_EQ(converter->To(), 28605u);
}

TEST(CodePageConverter, EqualCodePagesCopyEveryByteEvenInvalidOnes) {
  const std::string invalid("\xC0\x80\xFF\xED\xA0\x80\0tail", 11);
  Converted copy = ConvertBytes("UTF-8", "CP_UTF8", invalid);
  ASSERT_TRUE(copy.ok);
  EXPECT_EQ(copy.bytes, invalid);
  // The symbol code page has no conversion here, but copying onto itself needs none.
  Converted symbol = ConvertBytes("CP_SYMBOL", "CP42", invalid);
  ASSERT_TRUE(symbol.ok);
  EXPECT_EQ(symbol.bytes, invalid);
  Converted empty = ConvertBytes("UTF-8", "UTF8", std::string());
  EXPECT_TRUE(empty.ok);
  EXPECT_EQ(empty.bytes, "");
}

TEST(CodePageConverter, NullInputAndSymbolCodePageFail) {
  std::unique_ptr<VANTCodePageConverter> converter =
      VANTCodePageRegistry::MakeConverter("UTF-8", "UTF-8");
  EXPECT_EQ(Registry().Convert(*converter, nullptr, 4), nullptr);
  EXPECT_EQ(Registry().ToWide(nullptr), nullptr);
  EXPECT_EQ(Registry().ToAnsi(nullptr), nullptr);
  EXPECT_FALSE(ConvertBytes("CP_SYMBOL", "UTF-8", std::string("a", 2)).ok);
  EXPECT_FALSE(ConvertBytes("UTF-8", "CP_SYMBOL", std::string("a", 2)).ok);
  EXPECT_FALSE(ConvertBytes("UTF-8", "CP99999", std::string("a", 2)).ok);
}

TEST(CodePageConverter, Utf8ToWideGivesExactUnitsWithTerminator) {
  Buffer wide(Registry().ToWide("A\u00e9\u20ac\U0001D11E"));
  ASSERT_NE(wide, nullptr);
  const char16_t* units = static_cast<const char16_t*>(wide.get());
  const char16_t expected[] = {u'A', 0x00E9, 0x20AC, 0xD834, 0xDD1E, 0};
  for (size_t i = 0; i < std::size(expected); ++i) {
    EXPECT_EQ(units[i], expected[i]) << "unit " << i;
  }
}

TEST(CodePageConverter, InvalidUtf8IsRefusedAndBoundariesAccepted) {
  struct Case {
    std::string bytes;
    const char* what;
  };
  const Case refused[] = {
      {std::string("\xC0\x80", 2), "overlong NUL"},
      {"\xC1\xBF", "overlong two-byte"},
      {"\xE0\x80\xAF", "overlong three-byte"},
      {"\xF0\x80\x80\xAF", "overlong four-byte"},
      {"\xED\xA0\x80", "encoded high surrogate"},
      {"\xED\xBF\xBF", "encoded low surrogate"},
      {"\xF4\x90\x80\x80", "above U+10FFFF"},
      {"\xF5\x80\x80\x80", "lead byte F5"},
      {"\xFF", "byte FF"},
      {"\x80", "lone continuation byte"},
      {"ok\xE2\x82", "truncated at the end of the input"},
      {std::string("ok\xE2\x82\0", 5), "truncated before the terminator"},
      {"\xF0\x9D\x84", "truncated four-byte"},
  };
  for (const Case& c : refused) {
    std::string terminated = c.bytes + '\0';
    EXPECT_EQ(Buffer(Registry().ToWide(terminated.c_str())), nullptr) << c.what;
    EXPECT_FALSE(ConvertBytes("UTF-8", "UTF_16LE", c.bytes).ok) << c.what;
    EXPECT_FALSE(ConvertBytes("UTF-8", "windows-1252", c.bytes).ok) << c.what;
    EXPECT_FALSE(ConvertBytes("UTF-8", "CP_ACP", c.bytes).ok) << c.what;
  }
  const Case accepted[] = {
      {"\xF4\x8F\xBF\xBF", "U+10FFFF"}, {"\xED\x9F\xBF", "U+D7FF"}, {"\xEE\x80\x80", "U+E000"},
      {"\xEF\xBF\xBD", "U+FFFD"},       {"\xC2\x80", "U+0080"},
  };
  for (const Case& c : accepted) {
    Converted wide = ConvertBytes("UTF-8", "UTF_16LE", c.bytes);
    ASSERT_TRUE(wide.ok) << c.what;
    Converted back = ConvertBytes("UTF_16LE", "UTF-8", wide.bytes);
    ASSERT_TRUE(back.ok) << c.what;
    EXPECT_EQ(back.bytes, c.bytes) << c.what;
  }
}

TEST(CodePageConverter, LoneSurrogatesBecomeReplacementCharacterInUtf8) {
  struct Case {
    std::string wide;
    std::string utf8;
    const char* what;
  };
  const Case cases[] = {
      {Wide({u'A', 0xD800, u'B', 0}),
       std::string("A\xEF\xBF\xBD"
                   "B\0",
                   6),
       "lone high"},
      {Wide({0xDC00, u'x'}), "\xEF\xBF\xBDx", "lone low first"},
      {Wide({u'A', 0xD83D}), "A\xEF\xBF\xBD", "high surrogate cut off at the end"},
      {Wide({0xDC00, 0xD800}), "\xEF\xBF\xBD\xEF\xBF\xBD", "reversed pair"},
      {Wide({0xD83D, 0xDE00}), "\xF0\x9F\x98\x80", "valid pair"},
      // An odd byte count: the half unit at the end is not part of the text.
      {Wide({u'h', u'i'}) + 'x', "hi", "odd byte count"},
  };
  for (const Case& c : cases) {
    Converted out = ConvertBytes("UTF16LE", "UTF-8", c.wide);
    ASSERT_TRUE(out.ok) << c.what;
    EXPECT_EQ(out.bytes, c.utf8) << c.what;
  }
  // For an 8-bit target a lone surrogate is an unmappable character like any other.
  Converted ansi = ConvertBytes("UTF16LE", "cp1252", Wide({u'A', 0xD800, u'B'}));
  ASSERT_TRUE(ansi.ok);
  EXPECT_EQ(ansi.bytes, "A?B");
}

TEST(CodePageConverter, UnmappableCharactersBecomeOneQuestionMarkEach) {
  Converted out =
      ConvertBytes("UTF-8", "windows-1252", std::string("a\u4e2db\u20ac\U0001D11Ez", 13));
  ASSERT_TRUE(out.ok);
  EXPECT_EQ(out.bytes, "a?b\x80?z"); // the supplementary character is one '?', not two
  Converted latin9 = ConvertBytes("UTF-8", "iso-8859-15", std::string("\u20ac\u00a4"));
  ASSERT_TRUE(latin9.ok);
  EXPECT_EQ(latin9.bytes, "\xA4?"); // the euro sign replaced the currency sign in this part
  Converted ebcdic = ConvertBytes("UTF-8", "IBM037", std::string("A\u4e2d", 4));
  ASSERT_TRUE(ebcdic.ok);
  EXPECT_EQ(ebcdic.bytes, "\xC1\x6F"); // '?' in the target's own encoding
}

TEST(CodePageConverter, EightBitRoundTrips) {
  Converted utf8 = ConvertBytes("cp1252", "UTF-8", std::string("\x80\xE9\0", 3));
  ASSERT_TRUE(utf8.ok);
  EXPECT_EQ(utf8.bytes, std::string("\u20ac\u00e9\0", 6));
  Converted koi8 = ConvertBytes("UTF-8", "CP20866", "\u0416");
  ASSERT_TRUE(koi8.ok);
  EXPECT_EQ(koi8.bytes, "\xF6");
  // Bytes that the code page leaves undefined are refused on the way into UTF-16.
  EXPECT_FALSE(ConvertBytes("cp1252", "UTF-8", "\x81").ok);
  EXPECT_FALSE(ConvertBytes("CP20127", "UTF-8", "\xE9").ok);
}

TEST(CodePageConverter, StatefulEncodingsAreFlushedAndResetBetweenConversions) {
  const std::string text("a\u65e5\u672cb", 8);
  Converted jis = ConvertBytes("UTF-8", "CP50220", text);
  ASSERT_TRUE(jis.ok);
  EXPECT_EQ(jis.bytes, "a\x1b$B\x46\x7c\x4b\x5c\x1b(Bb");
  Converted back = ConvertBytes("CP50220", "UTF-8", jis.bytes);
  ASSERT_TRUE(back.ok);
  EXPECT_EQ(back.bytes, text);

  // A conversion that ends while the decoder is shifted into two-byte mode (here on an invalid
  // byte, which this code page replaces) must not leave the next conversion through the same
  // converter decoding in that mode.
  std::unique_ptr<VANTCodePageConverter> decoder =
      VANTCodePageRegistry::MakeConverter("CP50220", "UTF-8");
  const std::string broken("\x1b$B\x46\x7c\xff", 6);
  size_t length = 0;
  Buffer replaced(Registry().Convert(*decoder, broken.data(), broken.size(), &length));
  ASSERT_NE(replaced, nullptr);
  EXPECT_EQ(std::string(static_cast<const char*>(replaced.get()), length), "\u65e5\ufffd");
  Buffer plain(Registry().Convert(*decoder, "FB", 2, &length));
  ASSERT_NE(plain, nullptr);
  EXPECT_EQ(std::string(static_cast<const char*>(plain.get()), length), "FB");
}

// UTF-7 cannot hold a zero: the text is converted without its terminator, which is written after
// it in the target's encoding (it used to fail, or to end inside a base64 run with no terminator).
TEST(CodePageConverter, Utf7ConvertsTheTextAndWritesTheTerminatorAfterIt) {
  struct Case {
    const char* from;
    std::string text;
    std::string utf7;
  };
  const auto z = [](const char* text) { return std::string(text) + '\0'; }; // terminated
  const Case cases[] = {
      {"UTF-8", z("Hi Mom -\u263a-!"), z("Hi Mom -+Jjo--+ACE-")},
      {"UTF-8", z("\u65e5\u672c"), z("+ZeVnLA-")},
      {"UTF-8", z("plain"), z("plain")},
      {"UTF-8", z(""), z("")},
      {"UTF-8", "\u263a", "+Jjo-"}, // no terminator in, none out
      {"UTF_16LE", Wide({0x65E5, 0x672C, u'!', 0}), z("+ZeVnLAAh-")},
      {"UTF16BE", std::string("\x26\x3a\0\0", 4), z("+Jjo-")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.from << " " << testing::PrintToString(c.text));
    Converted utf7 = ConvertBytes(c.from, "UTF-7", c.text);
    ASSERT_TRUE(utf7.ok);
    EXPECT_EQ(utf7.bytes, c.utf7);
    Converted back = ConvertBytes("UTF-7", c.from, utf7.bytes);
    ASSERT_TRUE(back.ok);
    EXPECT_EQ(back.bytes, c.text);
  }
}

// The code pages converted without options replace invalid input instead of refusing it; every
// other code page still refuses it.
TEST(CodePageConverter, CodePagesWithoutOptionsReplaceInvalidInput) {
  struct Case {
    const char* from;
    std::string bytes;
    std::string utf8;
  };
  const Case replaced[] = {
      {"CP50220", "a\x80z", "a\ufffdz"},
      {"CP50221", "\x1b$B\x46\x7c\xff\x1b(Bz", "\u65e5\ufffdz"},
      {"CP50222", "\x1b$B\x46", "\ufffd"}, // cut short at the end
      {"UTF-7", std::string("a\x80z") + '\0', std::string("a\ufffdz") + '\0'},
      {"CP_UTF7", "+ZeV\xffnLA-", "\u65e5\ufffd\u672c"},
  };
  for (const Case& c : replaced) {
    SCOPED_TRACE(testing::Message() << c.from << " " << testing::PrintToString(c.bytes));
    Converted out = ConvertBytes(c.from, "UTF-8", c.bytes);
    ASSERT_TRUE(out.ok);
    EXPECT_EQ(out.bytes, c.utf8);
  }
  EXPECT_FALSE(ConvertBytes("CP51932", "UTF-8", "a\xff\xfe").ok); // EUC-JP: refused
  EXPECT_FALSE(ConvertBytes("CP_SYMBOL", "UTF-8", "a").ok);       // no conversion here at all
}

TEST(CodePageConverter, TextsLongerThanTheStackBufferConvert) {
  std::string utf8;
  std::string latin1;
  for (int i = 0; i < 5000; ++i) {
    utf8 += "\u00e9";
    latin1 += '\xE9';
    if (i % 100 == 0) {
      utf8 += "\U0001F600";
      latin1 += '?';
    }
  }
  Converted out = ConvertBytes("UTF-8", "iso-8859-1", utf8 + '\0');
  ASSERT_TRUE(out.ok);
  EXPECT_EQ(out.bytes, latin1 + '\0');
  Buffer wide(Registry().ToWide(utf8.c_str()));
  ASSERT_NE(wide, nullptr);
  EXPECT_EQ(std::char_traits<char16_t>::length(static_cast<const char16_t*>(wide.get())),
            5000u + 50u * 2u);
}

TEST(CodePageRegistry, AnsiFollowsTheThreadLocaleAtConversionTime) {
  {
    ThreadLocale c("C");
    ASSERT_TRUE(c.Active());
    EXPECT_FALSE(VANT::SystemCodePageIsUtf8());
    Buffer ansi(Registry().ToAnsi("caf\u00e9"));
    ASSERT_NE(ansi, nullptr);
    EXPECT_STREQ(static_cast<const char*>(ansi.get()), "caf?");
  }
  {
    ThreadLocale utf8("C.UTF-8");
    if (!utf8.Active()) {
      GTEST_SKIP() << "C.UTF-8 locale not installed";
    }
    EXPECT_TRUE(VANT::SystemCodePageIsUtf8());
    Buffer ansi(Registry().ToAnsi("caf\u00e9"));
    ASSERT_NE(ansi, nullptr);
    EXPECT_STREQ(static_cast<const char*>(ansi.get()), "caf\u00e9");
    // Invalid UTF-8 is refused even though source and target are both UTF-8 underneath.
    EXPECT_EQ(Buffer(Registry().ToAnsi("caf\xC3")), nullptr);
  }
  ThreadLocale c("C");
  Buffer again(Registry().ToAnsi("caf\u00e9"));
  ASSERT_NE(again, nullptr);
  EXPECT_STREQ(static_cast<const char*>(again.get()), "caf?");
}

TEST(CodePageRegistry, StringFormsKeepTheOutputOnFailure) {
  VANTStackedString<40> out("untouched");
  EXPECT_FALSE(Registry().WideToString(nullptr, out));
  EXPECT_FALSE(Registry().AnsiToString(nullptr, out));
  {
    ThreadLocale c("C");
    ASSERT_TRUE(c.Active());
    EXPECT_FALSE(Registry().AnsiToString("caf\xE9", out)); // not ASCII
    EXPECT_EQ(out, "untouched");
    ASSERT_TRUE(Registry().AnsiToString("plain", out));
    EXPECT_EQ(out, "plain");
  }
  // Longer than the in-object buffer, with a lone surrogate in the middle.
  std::u16string wide = u"/home/user/a rather long directory name/";
  wide += char16_t{0xDC01};
  wide += u"/\u00e9t\u00e9.pcap";
  ASSERT_TRUE(Registry().WideToString(wide.c_str(), out));
  EXPECT_EQ(out, "/home/user/a rather long directory name/\xEF\xBF\xBD/\u00e9t\u00e9.pcap");
  ASSERT_TRUE(Registry().WideToString(u"", out));
  EXPECT_EQ(out.Length(), 0);
}

TEST(CodePageRegistry, ConcurrentConversionsGiveCorrectResults) {
  auto work = [](const char* text, std::u16string expected, int* failures) {
    for (int i = 0; i < 500; ++i) {
      Buffer wide(Registry().ToWide(text));
      if (!wide || static_cast<const char16_t*>(wide.get()) != expected) {
        ++*failures;
      }
    }
  };
  int failures[3] = {0, 0, 0};
  std::thread a(work, "/tmp/\u00e9t\u00e9", u"/tmp/\u00e9t\u00e9", &failures[0]);
  std::thread b(work, "/var/\u65e5\u672c", u"/var/\u65e5\u672c", &failures[1]);
  work("/srv/\U0001D11E", u"/srv/\U0001D11E", &failures[2]);
  a.join();
  b.join();
  EXPECT_EQ(failures[0] + failures[1] + failures[2], 0);
}

} // namespace
