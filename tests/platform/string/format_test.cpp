#include <algorithm>
#include <cstdio>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pelplat/utf16.h"

namespace {

struct Case {
  std::string got;
  std::string want;
};

void ExpectAll(const std::initializer_list<Case>& cases) {
  int row = 0;
  for (const Case& c : cases) EXPECT_EQ(c.got, c.want) << "row " << row++;
}

}  // namespace

TEST(FormatA, StringAndCharacterWidthsFollowWindows) {
  const char* nullText = nullptr;
  const WCHAR* nullWide = nullptr;
  ExpectAll({
      {FormatA("%s|%S|%ls|%ws|%hs|%hS", "a", u"b", u"c", u"d", "e", "f"), "a|b|c|d|e|f"},
      {FormatA("%s %S", "grüß", u"€😀"), "grüß €😀"},
      {FormatA("%c%C%lc%wc%hc", 'x', u'ä', u'€', u'z', 'y'), "xä€zy"},
      {FormatA("[%s][%ls]", nullText, nullWide), "[(null)][(null)]"},
      {FormatA("[%.3s]", nullText), "[(nu]"},
      {FormatA("%C", 0xD800), "\xEF\xBF\xBD"},
  });
}

TEST(FormatW, StringAndCharacterWidthsFollowWindows) {
  EXPECT_EQ(FormatW(u"%s|%S|%ls|%ws|%hs", u"a", "b", u"c", u"d", "e"), u"a|b|c|d|e");
  EXPECT_EQ(FormatW(u"%s %S", u"€😀", "grüß"), u"€😀 grüß");
  EXPECT_EQ(FormatW(u"%c%C%hc%lc", u'ä', 'x', 'y', u'€'), u"äxy€");
  EXPECT_EQ(FormatW(u"%C", 0xC3), u"\xFFFD");
  EXPECT_EQ(FormatW(u"%d %5.1f %I64u %x %%", -3, 2.25, 18446744073709551615ULL, 255u),
            u"-3   2.2 18446744073709551615 ff %");
  EXPECT_EQ(FormatW(u"[%5s][%-4S][%.1s]", u"ab", "c", u"xyz"), u"[   ab][c   ][x]");
}

TEST(FormatA, IntegerSizesFollowWindows) {
  ExpectAll({
      {FormatA("%I64d %I64u %I64x %I64X", -5000000000LL, 18446744073709551615ULL, 0xABCDEF0123ULL,
               0xABCDEF0123ULL),
       "-5000000000 18446744073709551615 abcdef0123 ABCDEF0123"},
      {FormatA("%I32d %I32u %I32x", -1, 4000000000u, 0xFFFFFFFFu), "-1 4000000000 ffffffff"},
      {FormatA("%lld %llu %zu %zd %Iu %jd %td", -1LL, 1ULL << 63, size_t{7}, ptrdiff_t{-7}, size_t{1} << 40,
               intmax_t{-9}, ptrdiff_t{5}),
       "-1 9223372036854775808 7 -7 1099511627776 -9 5"},
      // A Windows long is 32 bits: LONG and DWORD go with %ld / %lu.
      {FormatA("%ld %lu %lx", LONG{-2}, DWORD{4000000000u}, ULONG{0xCAFEu}), "-2 4000000000 cafe"},
      {FormatA("%hd %hu %hhd %hhu", 70000, 70000, 200, 257), "4464 4464 -56 1"},
      {FormatA("%p|%20p|%-20p|", reinterpret_cast<void*>(0x1234abcd), reinterpret_cast<void*>(0xff),
               reinterpret_cast<void*>(0x1)),
       "000000001234ABCD|    00000000000000FF|0000000000000001    |"},
  });
}

TEST(FormatA, WidthAndPrecision) {
  const char unterminated[3] = {'a', 'b', 'c'};
  ExpectAll({
      {FormatA("[%5s][%-5s][%.2s][%5.1s]", "abc", "abc", "abc", "abc"), "[  abc][abc  ][ab][    a]"},
      {FormatA("[%*s][%-*s][%.*s][%*d]", 4, "ab", 4, "ab", 1, "xyz", -4, 7), "[  ab][ab  ][x][7   ]"},
      {FormatA("[%.*s]", -1, "all"), "[all]"},
      {FormatA("[%.3s]", unterminated), "[abc]"},
      // Precision counts characters of the argument and never splits one.
      {FormatA("[%.2ls][%.3s][%.1ls]", u"äöü", "äöü", u"😀x"), "[äö][ä][]"},
      {FormatA("[%6ls]", u"äö"), "[  äö]"},
      {FormatA("[%05d][%-+5d][% d][%#x][%#o][%.3d]", 42, 42, 42, 255, 8, 7), "[00042][+42  ][ 42][0xff][010][007]"},
  });
}

TEST(FormatA, NumbersMatchTheCLibrary) {
  const char* intFormats[] = {"%d", "%5d", "%-5d|", "%05d", "%+d", "% d", "%x", "%#X", "%o", "%.3d", "%8.3d", "%u"};
  for (const char* f : intFormats) {
    for (int v : {0, 42, -42, 2147483647}) {
      char want[64];
      snprintf(want, sizeof want, f, v);
      EXPECT_EQ(FormatA(f, v), want) << f << " " << v;
    }
  }
  const char* floatFormats[] = {"%f", "%.2f", "%10.3e", "%g", "%G", "%a", "%-9.1f|", "%+.0f", "%#.0f", "%E", "%F"};
  for (const char* f : floatFormats) {
    for (double v : {0.0, 1234.5678, -0.000123, 1e300}) {
      char want[400];
      snprintf(want, sizeof want, f, v);
      EXPECT_EQ(FormatA(f, v), want) << f << " " << v;
    }
  }
  char want[64];
  snprintf(want, sizeof want, "%.3Lf", 1.5L);
  EXPECT_EQ(FormatA("%.3Lf", 1.5L), want);
}

TEST(FormatA, OddDirectivesAreHarmless) {
  int untouched = 42;
  ExpectAll({
      {FormatA("100%% %5%"), "100% %"},
      {FormatA("a%nb", &untouched), "ab"},
      {FormatA("%y|%5k|%d", 3), "%y|%5k|3"},
      {FormatA("50%"), "50%"},
      {FormatA("x%-5"), "x%-5"},
      {FormatA("%Z%d", 1), "%Z1"},
  });
  EXPECT_EQ(untouched, 42);
  EXPECT_EQ(FormatA(nullptr), "");
}

// The bounded forms: cut to cap-1 characters, always terminated, -1 when cut.
template <class Ch>
struct BoundedCase {
  const Ch* text;
  size_t cap;
  int result;
  std::basic_string<Ch> stored;
};

template <class Ch, class Print>
void ExpectBounded(const std::vector<BoundedCase<Ch>>& cases, Print print) {
  int row = 0;
  for (const auto& c : cases) {
    Ch buf[32];
    std::fill(std::begin(buf), std::end(buf), Ch('#'));
    EXPECT_EQ(print(buf, c.cap, c.text), c.result) << "row " << row;
    EXPECT_EQ(std::basic_string<Ch>(buf), c.stored) << "row " << row;
    EXPECT_EQ(buf[c.cap], Ch('#')) << "row " << row << " wrote beyond the capacity";
    ++row;
  }
  Ch untouched = Ch('#');
  EXPECT_EQ(print(&untouched, 0, cases.front().text), -1);
  EXPECT_EQ(untouched, Ch('#'));
}

TEST(SnwPrintf, CutsToCapacityAndKeepsSurrogatePairsWhole) {
  ExpectBounded<WCHAR>(
      {
          {u"abcdefghijklmnopqrst", 8, -1, u"abcdefg"},
          {u"abcdefg", 8, 7, u"abcdefg"},
          {u"abcdefgh", 8, -1, u"abcdefg"},
          {u"abcdef😀x", 8, -1, u"abcdef"},
          {u"abcde😀x", 8, -1, u"abcde😀"},
          {u"abc", 1, -1, u""},
          {u"", 1, 0, u""},
      },
      [](WCHAR* buf, size_t cap, const WCHAR* text) { return SnwPrintf(buf, cap, u"%s", text); });
}

TEST(SnPrintf, CutsToCapacityAndKeepsUtf8SequencesWhole) {
  ExpectBounded<char>(
      {
          {"abcdefghijklmnopqrst", 8, -1, "abcdefg"},
          {"abcdefg", 8, 7, "abcdefg"},
          {"abcdef€", 8, -1, "abcdef"},
          {"abcd€x", 8, -1, "abcd€"},
          {"abcde😀", 8, -1, "abcde"},
          {"abc", 1, -1, ""},
      },
      [](char* buf, size_t cap, const char* text) { return SnPrintf(buf, cap, "%s", text); });
  char buf[8];
  EXPECT_EQ(SnPrintf(buf, 4, "%10d", 5), -1);
  EXPECT_STREQ(buf, "   ");
  EXPECT_EQ(SnPrintf(buf, sizeof buf, "%d-%S", 12, u"ab"), 5);
  EXPECT_STREQ(buf, "12-ab");
}
