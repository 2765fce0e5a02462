// Text, file lists, bitmaps and HTML between the Windows formats and X11
// targets, with blocks other programs may have made badly.
#include <gtest/gtest.h>

#include <QByteArray>
#include <QImage>

#include "FormatFixtures.h"
#include "clipinternal.h"

namespace clip = pelplat::clipboard;

namespace {

clip::Bytes Block(const std::string& s) { return clip::Bytes(s.begin(), s.end()); }

// DROPFILES with the names at `first`, narrow or wide.
std::string DropFiles(uint32_t first, bool wide) {
  std::string head(20, '\0');
  head[0] = char(first);
  head[16] = wide ? 1 : 0;
  return head;
}

TEST(ClipboardFormatsTest, FileListsBecomeUriListsAndBadBlocksNothing) {
  const struct {
    const char* name;
    std::string hdrop;
    std::string uris;
  } cases[] = {
      {"wide", DropFiles(20, true) + std::string("/\0a\0 \0\0\0/\0%\0\0\0\0\0", 16), "file:///a%20\r\nfile:///%25\r\n"},
      {"narrow", DropFiles(20, false) + std::string("/x\0/y\0\0", 7), "file:///x\r\nfile:///y\r\n"},
      {"relative name skipped", DropFiles(20, false) + std::string("C:\\x\0/y\0\0", 9), "file:///y\r\n"},
      {"no closing name", DropFiles(20, true) + std::string("/\0b\0", 4), "file:///b\r\n"},
      {"too short", std::string(19, '\0'), ""},
      {"names past the end", DropFiles(200, true) + "/\0", ""},
      {"names inside the header", DropFiles(4, true) + "/\0", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(clip::HdropToUriList(Block(c.hdrop)), c.uris);
  }
}

TEST(ClipboardFormatsTest, UriListsKeepOnlyLocalFiles) {
  const struct {
    const char* name;
    std::string uris;
    std::u16string names;  // zero-separated, as the block holds them
  } cases[] = {
      {"comments and line ends", "# c\r\nfile:///a%20b\nfile://localhost/c\r\n", std::u16string(u"/a b\0/c\0", 8)},
      {"other hosts and schemes", "file://far/x\r\nhttp://h/y\r\nfile:relative\r\n", u""},
      {"bad escapes kept, zero bytes refused", "file:///p%2\r\nfile:///q%00r\r\nfile:///%zz", std::u16string(u"/p%2\0/%zz\0", 10)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    clip::Bytes hdrop = clip::UriListToHdrop(c.uris);
    if (c.names.empty()) {
      EXPECT_TRUE(hdrop.empty());
      continue;
    }
    clip::Bytes expected = Block(DropFiles(20, true));
    for (char16_t u : c.names + u'\0') {
      expected.push_back(uint8_t(u));
      expected.push_back(uint8_t(u >> 8));
    }
    EXPECT_EQ(hdrop, expected);
  }
}

TEST(ClipboardFormatsTest, TextCrossesAsUtf8OrLatin1) {
  const clip::Bytes wide = Block(std::string("a\0\xe9\0\xac\x20\0\0z\0", 10));
  EXPECT_EQ(clip::WideTextToUtf8(wide), "a\xC3\xA9\xE2\x82\xAC");
  EXPECT_EQ(clip::WideTextToLatin1(wide), "a\xE9?");
  EXPECT_EQ(clip::WideTextToUtf8(Block(std::string("a\0b", 3))), "a");  // odd byte dropped
  EXPECT_EQ(clip::Utf8ToWideText("a\xC3\xA9", 3), Block(std::string("a\0\xe9\0\0\0", 6)));
  EXPECT_EQ(clip::Latin1ToWideText("a\xE9", 2), Block(std::string("a\0\xe9\0\0\0", 6)));
}

TEST(ClipboardFormatsTest, NarrowTextIsReadInItsCodePage) {
  const clip::Bytes ansi = Block(std::string("a\x80\xE9\x81\0tail", 9));
  const clip::Bytes oem = Block(std::string("a\x80\xE9\xB3", 4));
  EXPECT_EQ(clip::WideTextToUtf8(clip::NarrowToWideText(ansi, clip::CodePage::kAnsi)), "a\xE2\x82\xAC\xC3\xA9\xC2\x81");
  EXPECT_EQ(clip::WideTextToUtf8(clip::NarrowToWideText(oem, clip::CodePage::kOem)), "a\xC3\x87\xCE\x98\xE2\x94\x82");
  const clip::Bytes wide = clip::Utf8ToWideText("\xE2\x82\xAC\xC3\x87\xE4\xB8\x80", 8);  // euro, C cedilla, CJK
  EXPECT_EQ(clip::WideToNarrowText(wide, clip::CodePage::kAnsi), Block(std::string("\x80\xC7?\0", 4)));
  EXPECT_EQ(clip::WideToNarrowText(wide, clip::CodePage::kOem), Block(std::string("?\x80?\0", 4)));
}

TEST(ClipboardFormatsTest, BitmapsBecomeBmpFilesWithTheBitsOffsetCountingMasksAndPalette) {
  const struct {
    const char* name;
    clip::Bytes dib;
    uint32_t bitsOffset;  // bfOffBits
  } cases[] = {
      {"24 bits", fmtfix::Dib24(3, 2), 14 + 40},
      {"24 bits top-down", fmtfix::Dib24(3, -2), 14 + 40},
      {"8 bits, full palette", fmtfix::Dib8(3, 2, 0), 14 + 40 + 256 * 4},
      {"8 bits, six colours used", fmtfix::Dib8(3, 2, 6), 14 + 40 + 6 * 4},
      {"32 bits with masks", fmtfix::Dib32Masks(3, 2, 40), 14 + 40 + 12},
      {"32 bits, version 5 header", fmtfix::Dib32Masks(3, 2, 124), 14 + 124},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string bmp = clip::DibToBmp(c.dib);
    ASSERT_EQ(bmp.size(), 14 + c.dib.size());
    EXPECT_EQ(bmp.substr(0, 2), "BM");
    EXPECT_EQ(fmtfix::U32(bmp, 2), bmp.size());
    EXPECT_EQ(fmtfix::U32(bmp, 10), c.bitsOffset);
    const QImage image = QImage::fromData(QByteArray(bmp.data(), int(bmp.size())), "BMP");
    ASSERT_FALSE(image.isNull());
    EXPECT_TRUE(fmtfix::HasTestPixels(image));
    EXPECT_EQ(clip::BmpToDib(bmp), c.dib);
  }
}

TEST(ClipboardFormatsTest, ABmpWithAGapBeforeItsBitsBecomesADibWithout) {
  const clip::Bytes dib = fmtfix::Dib8(3, 2, 6);
  std::string bmp = clip::DibToBmp(dib);
  const uint32_t bitsAt = fmtfix::U32(bmp, 10);
  bmp.insert(bitsAt, "gap!");
  bmp[10] = char(bitsAt + 4);
  EXPECT_EQ(clip::BmpToDib(bmp), dib);
}

TEST(ClipboardFormatsTest, BitmapsWhoseHeadersLieAreRefused) {
  auto with = [](clip::Bytes dib, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) dib[at + i] = uint8_t(value >> (8 * i));
    return dib;
  };
  clip::Bytes cut = fmtfix::Dib24(3, 2);
  cut.pop_back();
  const clip::Bytes headerOnly(cut.begin(), cut.begin() + 30);
  clip::Bytes noPalette = fmtfix::Dib8(3, 2, 6);
  noPalette.resize(40 + 20);
  const struct {
    const char* name;
    clip::Bytes dib;
  } cases[] = {
      {"empty", {}},
      {"shorter than its header", headerOnly},
      {"bits cut short", cut},
      {"taller than its bits", with(fmtfix::Dib24(3, 2), 8, 3)},
      {"huge sides", with(with(fmtfix::Dib24(3, 2), 4, 0x7FFFFFFF), 8, 0x7FFFFFFF)},
      {"palette past the end", noPalette},
      {"more colours than 8 bits hold", with(fmtfix::Dib8(3, 2, 6), 32, 257)},
      {"unknown header size", with(fmtfix::Dib24(3, 2), 0, 41)},
      {"header larger than the block", with(fmtfix::Dib24(3, 2), 0, 124)},
      {"no width", with(fmtfix::Dib24(3, 2), 4, 0)},
      {"two planes", with(fmtfix::Dib24(3, 2), 12, 0x00180002)},
      {"7 bits per pixel", with(fmtfix::Dib24(3, 2), 12, 0x00070001)},
      {"JPEG inside", with(fmtfix::Dib24(3, 2), 16, 4)},
      {"compressed without a size", with(with(fmtfix::Dib8(3, 2, 6), 16, 1), 20, 0)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(clip::DibToBmp(c.dib), "");
    const std::string bmp = "BM" + std::string(12, '\0') + std::string(c.dib.begin(), c.dib.end());
    EXPECT_TRUE(clip::BmpToDib(bmp).empty());
  }
  std::string early = clip::DibToBmp(fmtfix::Dib8(3, 2, 6));
  early[10] = char(early[10] - 4);  // bits said to start inside the palette
  EXPECT_TRUE(clip::BmpToDib(early).empty());
  EXPECT_TRUE(clip::BmpToDib("XY" + early.substr(2)).empty());
  EXPECT_TRUE(clip::PngToDib("\x89PNG\r\n\x1a\n not really").empty());
}

TEST(ClipboardFormatsTest, HtmlFormatGivesItsContextAndBadOffsetsNothing) {
  // The header with each offset as given, then `body` (offsets count from
  // the first byte of the header).
  auto make = [](const std::string& sh, const std::string& eh, const std::string& sf, const std::string& ef,
                 const std::string& body) {
    const std::string text = "Version:1.0\r\nStartHTML:" + sh + "\r\nEndHTML:" + eh + "\r\nStartFragment:" + sf +
                             "\r\nEndFragment:" + ef + "\r\n" + body;
    return Block(text);
  };
  const std::string body = "<html><body><!--StartFragment--><b>x</b><!--EndFragment--></body></html>";
  const size_t head = make("000", "000", "000", "000", "").size();
  const size_t sf = head + body.find("<b>"), ef = head + body.find("<!--End");
  auto n = [](size_t v) {
    char s[8];
    snprintf(s, sizeof s, "%03zu", v);
    return std::string(s);
  };
  clip::Bytes terminated = make(n(head), n(head + body.size()), n(sf), n(ef), body);
  terminated.push_back(0);
  const struct {
    const char* name;
    clip::Bytes data;
    std::string html;
  } cases[] = {
      {"context", make(n(head), n(head + body.size()), n(sf), n(ef), body), body},
      {"terminated", terminated, body},
      // "-1" is a digit shorter than the other offsets.
      {"no context: the fragment", make("-1", "-1", n(sf - 2), n(ef - 2), body), "<b>x</b>"},
      {"fragment past the end", make(n(head), n(head + body.size()), n(sf), n(head + body.size() + 1), body), ""},
      {"context past the end", make(n(head), n(head + body.size() + 1), n(sf), n(ef), body), ""},
      {"fragment before the context", make(n(sf + 1), n(head + body.size()), n(sf), n(ef), body), ""},
      {"fragment ends before it starts", make(n(head), n(head + body.size()), n(ef), n(sf), body), ""},
      {"context inside the header", make("010", n(head + body.size()), n(sf), n(ef), body), ""},
      {"not a number", make(n(head), n(head + body.size()), "1x3", n(ef), body), ""},
      {"no header at all", Block(body), ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(clip::HtmlFormatToHtml(c.data), c.html);
  }
}

TEST(ClipboardFormatsTest, HtmlBecomesHtmlFormatWithOffsetsAtItsFragment) {
  const struct {
    const char* name;
    std::string html;
    std::string fragment;
  } cases[] = {
      {"a bare fragment", "<b>bold</b> \xE2\x82\xAC", "<b>bold</b> \xE2\x82\xAC"},
      {"marked fragment", "<html><body><!--StartFragment--><i>it</i><!--EndFragment--></body></html>", "<i>it</i>"},
      {"UTF-16 with its mark", std::string("\xFF\xFE<\0p\0>\0\xAC\x20", 10), "<p>\xE2\x82\xAC"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const clip::Bytes data = clip::HtmlToHtmlFormat(c.html);
    ASSERT_FALSE(data.empty());
    EXPECT_EQ(data.back(), 0);
    const std::string text(data.begin(), data.end() - 1);
    EXPECT_EQ(text.compare(0, 12, "Version:0.9\r"), 0);
    const std::vector<long> at = fmtfix::HtmlOffsets(text);
    EXPECT_EQ(at[0], 105);
    EXPECT_EQ(at[1], long(text.size()));
    EXPECT_EQ(fmtfix::HtmlFragment(text), c.fragment);
    EXPECT_EQ(clip::HtmlFormatToHtml(data), text.substr(105));
  }
}

}  // namespace
