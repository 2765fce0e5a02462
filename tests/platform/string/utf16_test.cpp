#include <algorithm>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "pelplat/utf16.h"

TEST(Utf8, RoundTripsEveryPlane) {
  const std::string samples[] = {"", "A", "grüß", "€uro", "😀 x 𝄞", std::string("nul\0inside", 10)};
  for (const std::string& s : samples) {
    const std::u16string w = Utf8ToUtf16(s);
    EXPECT_EQ(Utf16ToUtf8(w), s);
    std::u16string strict;
    EXPECT_TRUE(Utf8ToUtf16Strict(s.data(), s.size(), strict));
    EXPECT_EQ(strict, w);
  }
  EXPECT_EQ(Utf8ToUtf16("😀€"), (std::u16string{0xD83D, 0xDE00, 0x20AC}));
  EXPECT_EQ(Utf8ToUtf16(static_cast<const char*>(nullptr)), u"");
  EXPECT_EQ(Utf16ToUtf8(static_cast<const WCHAR*>(nullptr)), "");
}

// Expected values as Python's decode(errors="replace") gives them: one
// U+FFFD for each longest ill-formed start of a sequence.
TEST(Utf8, InvalidSequencesBecomeReplacementsOrFailStrictly) {
  const struct {
    std::string bytes;
    std::u16string lenient;
  } cases[] = {
      {"\xC0\xAF", u"\xFFFD\xFFFD"},                  // overlong
      {"\xE0\x80\xAF", u"\xFFFD\xFFFD\xFFFD"},        // overlong
      {"\xED\xA0\x80", u"\xFFFD\xFFFD\xFFFD"},        // encoded surrogate
      {"\xF4\x90\x80\x80", u"\xFFFD\xFFFD\xFFFD\xFFFD"},  // beyond U+10FFFF
      {"\xE2\x82", u"\xFFFD"},                        // cut short
      {"\xE2\x82" "a", u"\xFFFD" "a"},
      {"\x80", u"\xFFFD"},
      {"\xFF", u"\xFFFD"},
      {"a\xF0\x9F\x98", u"a\xFFFD"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Utf8ToUtf16(c.bytes), c.lenient) << c.bytes;
    std::u16string strict = u"old";
    EXPECT_FALSE(Utf8ToUtf16Strict(c.bytes.data(), c.bytes.size(), strict)) << c.bytes;
  }
}

TEST(Utf16, UnpairedSurrogatesBecomeReplacementsOrFailStrictly) {
  const struct {
    std::u16string units;
    std::string lenient;
  } cases[] = {
      {{u'a', 0xD800, u'b'}, "a\xEF\xBF\xBD" "b"},
      {{0xDC00}, "\xEF\xBF\xBD"},
      {{0xDC00, 0xD800}, "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {{u'x', 0xD83D}, "x\xEF\xBF\xBD"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Utf16ToUtf8(c.units), c.lenient);
    std::string strict;
    EXPECT_FALSE(Utf16ToUtf8Strict(c.units.data(), c.units.size(), strict));
  }
  std::string ok;
  EXPECT_TRUE(Utf16ToUtf8Strict(u"😀", 2, ok));
  EXPECT_EQ(ok, "😀");
}

TEST(Utf8BoundaryCut, NeverEndsInsideASequence) {
  const struct {
    std::string s;
    size_t maxBytes;
    size_t cut;
  } cases[] = {
      {"a€", 2, 1}, {"a€", 3, 1}, {"a€", 4, 4}, {"😀", 3, 0}, {"ab", 5, 2}, {"ab", 1, 1}, {"ä", 0, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(Utf8BoundaryCut(c.s.data(), c.s.size(), c.maxBytes), c.cut) << c.s;
}

TEST(WcsCompare, CaseBlindCoversTheBmp) {
  const struct {
    const WCHAR* a;
    const WCHAR* b;
    int sign;
  } cases[] = {
      {u"ÄBC", u"äbc", 0},       {u"ΣΑΣ", u"σασ", 0},        {u"ПРИВЕТ", u"привет", 0},
      {u"abc", u"ABD", -1},      {u"B", u"a", 1},            {u"abc", u"ab", 1},
      {u"Straße", u"STRASSE", 1},  // no full case folding: ß stays one letter
  };
  auto sign = [](int v) { return (v > 0) - (v < 0); };
  for (const auto& c : cases) {
    EXPECT_EQ(sign(WcsICmp(c.a, c.b)), c.sign) << Utf16ToUtf8(c.a) << " / " << Utf16ToUtf8(c.b);
    EXPECT_EQ(sign(WcsICmp(c.b, c.a)), -c.sign);
  }
  EXPECT_EQ(WcsNICmp(u"ÄBCx", u"äbcy", 3), 0);
  EXPECT_LT(WcsNICmp(u"ÄBCx", u"äbcy", 4), 0);
  EXPECT_NE(WcsCmp(u"ÄBC", u"äbc"), 0);
  EXPECT_EQ(WcsNCmp(u"abX", u"abY", 2), 0);
  EXPECT_LT(WcsCmp(u"a", u"\xFFFF"), 0);  // code units compare unsigned
  EXPECT_EQ(WcsToUpper(u'ä'), u'Ä');
  EXPECT_EQ(WcsToLower(u'Ω'), u'ω');
  EXPECT_EQ(WcsToLower(0xD800), 0xD800);
}

TEST(WcsCopy, BoundedCopies) {
  WCHAR buf[8];
  std::fill(std::begin(buf), std::end(buf), u'#');
  WcsNCpy(buf, u"ab", 5);
  EXPECT_EQ(std::u16string(buf, 6), (std::u16string{u'a', u'b', 0, 0, 0, u'#'}));
  std::fill(std::begin(buf), std::end(buf), u'#');
  WcsNCpy(buf, u"abcdef", 3);
  EXPECT_EQ(std::u16string(buf, 4), u"abc#");  // no terminator written

  const struct {
    const WCHAR* src;
    size_t cap;
    std::u16string stored;
  } cases[] = {{u"abcdef", 4, u"abc"}, {u"ab", 4, u"ab"}, {u"ab😀", 4, u"ab"}, {u"a😀", 4, u"a😀"}, {u"x", 1, u""}};
  for (const auto& c : cases) {
    std::fill(std::begin(buf), std::end(buf), u'#');
    EXPECT_EQ(WcsCopyTruncate(buf, c.cap, c.src), c.stored.size());
    EXPECT_EQ(std::u16string(buf), c.stored);
    EXPECT_EQ(buf[c.cap], u'#');
  }
  EXPECT_EQ(WcsLen(u"😀ab"), 4u);
}
