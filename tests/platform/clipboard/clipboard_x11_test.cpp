// The clipboard over the X11 CLIPBOARD selection, with xclip as the other
// program on the test's own display.
#include <gtest/gtest.h>

#include <future>

#include "ClipEventLog.h"
#include "FormatFixtures.h"
#include "XclipProcess.h"
#include "pelplat/clipboard.h"
#include "pelplat/utf16.h"

namespace clip = pelplat::clipboard;

namespace {

clip::Bytes Wide(const std::u16string& text) {
  clip::Bytes out;
  for (char16_t c : text) {
    out.push_back(uint8_t(c));
    out.push_back(uint8_t(c >> 8));
  }
  out.push_back(0);
  out.push_back(0);
  return out;
}

clip::Bytes Raw(const std::string& s) { return clip::Bytes(s.begin(), s.end()); }

// A CF_HDROP block of wide paths.
clip::Bytes Hdrop(const std::vector<std::u16string>& paths) {
  clip::Bytes out = {20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0};
  for (const auto& p : paths) {
    clip::Bytes w = Wide(p);
    out.insert(out.end(), w.begin(), w.end());
  }
  out.push_back(0);
  out.push_back(0);
  return out;
}

class X11ClipboardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(xclip::DisplayBackend(), nullptr) << "no X display with XFixes";
    clip::SetClipboardBackend(xclip::DisplayBackend());
    window_ = std::make_unique<clip::ClipboardWindow>(&log_);
  }
  void TearDown() override {
    window_.reset();
    clip::SetClipboardBackend(nullptr);
    clip::SetRenderTimeoutMs(10000);
  }
  void Offer(const std::vector<std::pair<UINT, std::optional<clip::Bytes>>>& offer) {
    ASSERT_TRUE(window_->Open());
    window_->Empty();
    for (auto& [format, data] : offer) window_->SetData(format, data ? &*data : nullptr);
    ASSERT_TRUE(window_->Close());
  }
  std::optional<clip::Bytes> Read(UINT format) {
    if (!window_->Open()) return std::nullopt;
    auto data = window_->GetData(format);
    window_->Close();
    return data;
  }
  std::vector<UINT> Formats() {
    if (!window_->Open()) return {};
    auto formats = window_->EnumFormats();
    window_->Close();
    return formats;
  }

  ClipEventLog log_;
  std::unique_ptr<clip::ClipboardWindow> window_;
};

TEST_F(X11ClipboardTest, OtherProgramsReadOurTextFilesAndRegisteredFormats) {
  const UINT custom = clip::RegisterClipboardFormatW(u"application/x-pellum-test");
  Offer({{CF_UNICODETEXT, Wide(u"caf\u00e9 \u20ac")},
         {CF_HDROP, Hdrop({u"/tmp/a b.txt", u"/tmp/\u00fc.txt"})},
         {custom, Raw(std::string("\x01\x00\x02", 3))}});
  const std::string targets = xclip::Paste("TARGETS").out;
  for (const char* t : {"TARGETS", "UTF8_STRING", "STRING", "TEXT", "text/uri-list", "application/x-pellum-test"})
    EXPECT_NE(targets.find(t), std::string::npos) << t << " missing from " << targets;

  const struct {
    const char* target;
    std::string printed;
  } cases[] = {
      {"UTF8_STRING", "caf\xC3\xA9 \xE2\x82\xAC"},
      {"text/plain;charset=utf-8", "caf\xC3\xA9 \xE2\x82\xAC"},
      {"STRING", "caf\xE9 ?"},
      {"text/uri-list", "file:///tmp/a%20b.txt\r\nfile:///tmp/%C3%BC.txt\r\n"},
      {"application/x-pellum-test", std::string("\x01\x00\x02", 3)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    xclip::Output got = xclip::Paste(c.target);
    EXPECT_TRUE(got.exited);
    EXPECT_EQ(got.status, 0);
    EXPECT_EQ(got.out, c.printed);
  }
  EXPECT_NE(xclip::Paste("image/png").status, 0);
}

TEST_F(X11ClipboardTest, AnotherProgramsCopyIsReportedAndReadOursIsNot) {
  window_->AddFormatListener();
  Offer({{CF_UNICODETEXT, Wide(u"ours")}});
  EXPECT_TRUE(window_->IsOwner());
  {
    xclip::Copy copy("text/uri-list", "# a comment\r\nfile:///tmp/x%20y\r\nhttp://elsewhere/z\r\n");
    ASSERT_TRUE(log_.WaitFor([](auto& l) { return l.updates.size() == 2; }));
    // Our own change was heard as ours, xclip's as another program's.
    EXPECT_EQ(log_.updates, (std::vector<bool>{true, false}));
    EXPECT_FALSE(window_->IsOwner());
    EXPECT_EQ(Formats(), std::vector<UINT>{CF_HDROP});
    EXPECT_EQ(Read(CF_HDROP), Hdrop({u"/tmp/x y"}));
  }
  xclip::Copy copy("UTF8_STRING", "from xclip \xE2\x82\xAC");
  ASSERT_TRUE(log_.WaitFor([](auto& l) { return l.updates.size() >= 3 && !l.updates.back(); }));
  // The owner's end may be heard before the next copy: wait for the text,
  // offered in the narrow code pages too, as Windows programs find it.
  const std::vector<UINT> text = {CF_UNICODETEXT, CF_TEXT, CF_OEMTEXT};
  for (int i = 0; i < 50 && Formats() != text; ++i)
    ASSERT_TRUE(log_.WaitFor([n = log_.UpdateCount()](auto& l) { return l.updates.size() > n; }));
  EXPECT_EQ(Read(CF_UNICODETEXT), Wide(u"from xclip \u20ac"));
  EXPECT_EQ(Read(CF_TEXT), Raw(std::string("from xclip \x80\0", 13)));
}

TEST_F(X11ClipboardTest, FiveMegabytesOfTextCrossInStepsBothWays) {
  std::string big(5 * 1024 * 1024, 'x');
  for (size_t i = 0; i < big.size(); i += 997) big[i] = char('a' + i % 26);
  std::u16string wide(big.begin(), big.end());
  Offer({{CF_UNICODETEXT, Wide(wide)}});
  xclip::Output out = xclip::Paste("UTF8_STRING");
  EXPECT_EQ(out.status, 0);
  EXPECT_TRUE(out.out == big) << "xclip got " << out.out.size() << " bytes";

  window_->AddFormatListener();
  const size_t heard = log_.UpdateCount();
  big[0] = 'Z';
  xclip::Copy copy("UTF8_STRING", big);
  ASSERT_TRUE(log_.WaitFor([heard](auto& l) { return l.updates.size() > heard && !l.updates.back(); }));
  wide[0] = u'Z';
  std::optional<clip::Bytes> in = Read(CF_UNICODETEXT);
  ASSERT_TRUE(in.has_value());
  EXPECT_TRUE(*in == Wide(wide)) << "read " << in->size() << " bytes";
}

TEST_F(X11ClipboardTest, OurBitmapsHtmlRichTextAndNarrowTextArePastedUnderTheTargetsXProgramsRead) {
  const UINT html = clip::RegisterClipboardFormatW(u"HTML Format");
  const UINT rtf = clip::RegisterClipboardFormatW(u"Rich Text Format");
  const UINT png = clip::RegisterClipboardFormatW(u"PNG");
  const std::string context = "<html><body><!--StartFragment--><b>bold</b><!--EndFragment--></body></html>";
  const std::string htmlFormat = "Version:0.9\r\nStartHTML:0000000105\r\nEndHTML:0000000180\r\n"
                                 "StartFragment:0000000137\r\nEndFragment:0000000148\r\n" + context;
  ASSERT_EQ(fmtfix::HtmlOffsets(htmlFormat), (std::vector<long>{105, long(htmlFormat.size()), 137, 148}));
  const std::string pngFile = fmtfix::PictureFile("PNG");
  Offer({{CF_DIB, fmtfix::Dib24(3, 2)},
         {html, Raw(htmlFormat + '\0')},
         {rtf, Raw(std::string("{\\rtf1 hi}\0", 11))},
         {png, Raw(pngFile)},
         {CF_TEXT, Raw(std::string("caf\xE9 \x80\0", 7))}});

  const std::string targets = xclip::Paste("TARGETS").out;
  for (const char* t : {"image/bmp", "image/png", "text/html", "text/rtf", "UTF8_STRING", "STRING"})
    EXPECT_NE(targets.find(t), std::string::npos) << t << " missing from " << targets;
  for (const char* t : {"HTML Format", "Rich Text Format", "PNG\n"})
    EXPECT_EQ(targets.find(t), std::string::npos) << t << " offered in " << targets;

  const xclip::Output bmp = xclip::Paste("image/bmp");
  EXPECT_EQ(bmp.status, 0);
  EXPECT_EQ(bmp.out.substr(0, 2), "BM");
  EXPECT_TRUE(fmtfix::HasTestPixels(fmtfix::Decoded(bmp.out)));
  const struct {
    const char* target;
    std::string printed;
  } cases[] = {
      {"text/html", context},
      {"text/rtf", "{\\rtf1 hi}"},
      {"image/png", pngFile},
      {"UTF8_STRING", "caf\xC3\xA9 \xE2\x82\xAC"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    xclip::Output got = xclip::Paste(c.target);
    EXPECT_EQ(got.status, 0);
    EXPECT_EQ(got.out, c.printed);
  }
}

TEST_F(X11ClipboardTest, OurDataWhoseHeaderLiesIsRefusedToXProgramsAndTheRestStillPastes) {
  clip::Bytes taller = fmtfix::Dib24(3, 2);
  taller[8] = 3;  // three rows said, two there
  const std::string pastEnd = "Version:0.9\r\nStartHTML:0000000105\r\nEndHTML:0000009999\r\n"
                              "StartFragment:0000000105\r\nEndFragment:0000000110\r\n<b>x</b>";
  const std::string pngFile = fmtfix::PictureFile("PNG");
  Offer({{CF_DIB, taller},
         {clip::RegisterClipboardFormatW(u"HTML Format"), Raw(pastEnd)},
         {clip::RegisterClipboardFormatW(u"PNG"), Raw(pngFile)}});
  EXPECT_EQ(xclip::Paste("image/png").out, pngFile);
  const std::string targets = xclip::Paste("TARGETS").out;
  for (const char* target : {"image/bmp", "text/html"}) {
    EXPECT_NE(targets.find(target), std::string::npos) << target << " missing from " << targets;
    SCOPED_TRACE(target);
    xclip::Output got = xclip::Paste(target);
    EXPECT_TRUE(got.exited);
    EXPECT_NE(got.status, 0);
    EXPECT_EQ(got.out, "");
  }
}

TEST_F(X11ClipboardTest, AnotherProgramsPicturesHtmlAndRichTextAreReadAsWindowsFormats) {
  const UINT html = clip::RegisterClipboardFormatW(u"HTML Format");
  const UINT rtf = clip::RegisterClipboardFormatW(u"Rich Text Format");
  const UINT png = clip::RegisterClipboardFormatW(u"PNG");
  const std::string pngFile = fmtfix::PictureFile("PNG");
  const std::string fragment = "<b>local</b> \xE2\x82\xAC";
  window_->AddFormatListener();
  const struct {
    const char* target;
    std::string copied;
    std::vector<UINT> formats;
  } cases[] = {
      {"image/png", pngFile, {CF_DIB, png}},
      {"image/bmp", fmtfix::PictureFile("BMP"), {CF_DIB}},
      {"text/html", fragment, {html}},
      {"text/rtf", "{\\rtf1 local}", {rtf}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    xclip::Copy copy(c.target, c.copied);
    // Each copy is heard; an earlier owner's end may be heard first.
    for (int i = 0; i < 50 && Formats() != c.formats; ++i)
      ASSERT_TRUE(log_.WaitFor([n = log_.UpdateCount()](auto& l) { return l.updates.size() > n; }));
    ASSERT_EQ(Formats(), c.formats);
    if (c.formats[0] == CF_DIB) {
      std::optional<clip::Bytes> dib = Read(CF_DIB);
      ASSERT_TRUE(dib.has_value());
      EXPECT_EQ(uint32_t((*dib)[0]), 40u);
      EXPECT_TRUE(fmtfix::HasTestPixels(fmtfix::DecodedDib(*dib)));
    }
    if (c.formats.back() == png) EXPECT_EQ(Read(png), Raw(pngFile));
    if (c.formats[0] == rtf) EXPECT_EQ(Read(rtf), Raw(c.copied));
    if (c.formats[0] == html) {
      std::optional<clip::Bytes> data = Read(html);
      ASSERT_TRUE(data.has_value());
      EXPECT_EQ(fmtfix::HtmlFragment(std::string(data->begin(), data->end())), fragment);
    }
  }
}

// How another program's paste of a delayed format ends.
struct X11RenderCase {
  const char* name;
  enum { kData, kFailure, kNoAnswer } answer;
  bool pasted;
};

class X11DelayedRenderTest : public X11ClipboardTest, public ::testing::WithParamInterface<X11RenderCase> {};

TEST_P(X11DelayedRenderTest, APasteOfADelayedFormatIsRenderedByItsOwner) {
  const X11RenderCase& c = GetParam();
  clip::SetRenderTimeoutMs(c.answer == X11RenderCase::kNoAnswer ? 500 : 60000);
  const UINT custom = clip::RegisterClipboardFormatW(u"application/x-pellum-delayed");
  Offer({{custom, std::nullopt}, {CF_UNICODETEXT, std::nullopt}});
  auto paste = std::async(std::launch::async, [] { return xclip::Paste("application/x-pellum-delayed"); });
  ASSERT_TRUE(log_.WaitFor([](auto& l) { return !l.renders.empty(); }));
  EXPECT_EQ(log_.renders, std::vector<UINT>{custom});
  if (c.answer == X11RenderCase::kData) window_->RenderFormat(custom, Raw("rendered late"));
  if (c.answer == X11RenderCase::kFailure) window_->RenderFailed(custom);
  xclip::Output got = paste.get();
  EXPECT_TRUE(got.exited);
  EXPECT_EQ(got.status == 0, c.pasted);
  if (c.pasted) {
    EXPECT_EQ(got.out, "rendered late");
    // Rendered once: the next paste is served without asking again.
    EXPECT_EQ(xclip::Paste("application/x-pellum-delayed").out, "rendered late");
    EXPECT_EQ(log_.renders.size(), 1u);
  }
}

INSTANTIATE_TEST_SUITE_P(Answers, X11DelayedRenderTest,
                         ::testing::Values(X11RenderCase{"Data", X11RenderCase::kData, true},
                                           X11RenderCase{"Failure", X11RenderCase::kFailure, false},
                                           X11RenderCase{"NoAnswer", X11RenderCase::kNoAnswer, false}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
