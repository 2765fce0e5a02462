// The clipboard's semantics over the in-process model.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "ClipEventLog.h"
#include "pelplat/clipboard.h"

namespace clip = pelplat::clipboard;

namespace {

clip::Bytes B(const char* text) { return clip::Bytes(text, text + strlen(text)); }

class ModelClipboardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    backend_ = clip::MakeModelClipboardBackend();
    clip::SetClipboardBackend(backend_.get());
  }
  void TearDown() override {
    clip::SetClipboardBackend(nullptr);
    clip::SetRenderTimeoutMs(10000);
  }
  // Puts `offer` on the clipboard with `window` as owner.
  static void Offer(clip::ClipboardWindow& window, const std::vector<std::pair<UINT, const char*>>& offer) {
    ASSERT_TRUE(window.Open());
    ASSERT_TRUE(window.Empty());
    for (auto& [format, text] : offer) {
      clip::Bytes data = text ? B(text) : clip::Bytes();
      ASSERT_TRUE(window.SetData(format, text ? &data : nullptr));
    }
    ASSERT_TRUE(window.Close());
  }
  static std::optional<clip::Bytes> Read(clip::ClipboardWindow& window, UINT format) {
    if (!window.Open()) return std::nullopt;
    auto data = window.GetData(format);
    window.Close();
    return data;
  }
  std::unique_ptr<clip::IClipboardBackend> backend_;
};

TEST(ClipboardNamesTest, RegisteredNamesStartAt0xC000AndAreReused) {
  const UINT first = clip::RegisterClipboardFormatW(u"Pellum Test Format A");
  EXPECT_GE(first, clip::kFirstRegisteredFormat);
  EXPECT_EQ(clip::RegisterClipboardFormatW(u"Pellum Test Format A"), first);
  EXPECT_EQ(clip::RegisterClipboardFormatW(u"PELLUM TEST FORMAT a"), first);
  const UINT second = clip::RegisterClipboardFormatW(u"Pellum Test Format B");
  EXPECT_NE(second, first);
  EXPECT_EQ(clip::GetClipboardFormatName(first), u"Pellum Test Format A");
  EXPECT_EQ(clip::GetClipboardFormatName(CF_UNICODETEXT), u"");
  EXPECT_EQ(clip::RegisterClipboardFormatW(u""), 0u);
  EXPECT_EQ(clip::RegisterClipboardFormatW(std::u16string(clip::kMaxFormatName + 1, u'x')), 0u);
}

TEST_F(ModelClipboardTest, OwnerOfferAndListenersSeeWhoChangedIt) {
  ClipEventLog aLog, bLog;
  clip::ClipboardWindow a(&aLog), b(&bLog);
  a.AddFormatListener();
  b.AddFormatListener();
  Offer(a, {{CF_UNICODETEXT, "t"}, {0xC123, "x"}});
  EXPECT_TRUE(a.IsOwner());
  EXPECT_FALSE(b.IsOwner());
  ASSERT_TRUE(aLog.WaitFor([](auto& l) { return l.updates.size() == 1; }));
  ASSERT_TRUE(bLog.WaitFor([](auto& l) { return l.updates.size() == 1; }));
  EXPECT_TRUE(aLog.updates[0]);
  EXPECT_FALSE(bLog.updates[0]);
  ASSERT_TRUE(b.Open());
  EXPECT_EQ(b.EnumFormats(), (std::vector<UINT>{CF_UNICODETEXT, 0xC123}));
  EXPECT_EQ(b.GetData(0xC123), B("x"));
  EXPECT_FALSE(b.GetData(CF_HDROP));
  EXPECT_EQ(clip::GetLastClipboardError(), ERROR_NOT_FOUND);
  b.Close();

  b.RemoveFormatListener();
  Offer(b, {{CF_TEXT, "y"}});
  EXPECT_TRUE(b.IsOwner());
  EXPECT_EQ(aLog.UpdateCount(), 2u);
  EXPECT_EQ(bLog.UpdateCount(), 1u);
}

TEST_F(ModelClipboardTest, ReadingNeedsTheClipboardOpenAndOnlyOneWindowOpensIt) {
  clip::ClipboardWindow a(nullptr), b(nullptr);
  EXPECT_FALSE(a.GetData(CF_TEXT));
  EXPECT_EQ(clip::GetLastClipboardError(), ERROR_CLIPBOARD_NOT_OPEN);
  ASSERT_TRUE(a.Open());
  EXPECT_FALSE(b.Open());
  EXPECT_EQ(clip::GetLastClipboardError(), ERROR_ACCESS_DENIED);
  // A window waiting to open gets in when the other one closes.
  auto opened = std::async(std::launch::async, [&] {
    bool ok = b.Open();
    b.Close();
    return ok;
  });
  a.Close();
  EXPECT_TRUE(opened.get());
}

// How a delayed render ends, as the reader sees it.
struct RenderCase {
  const char* name;
  enum { kData, kFailure, kOwnerGone, kNoAnswer } answer;
  bool readerGetsData;
};

class DelayedRenderTest : public ModelClipboardTest, public ::testing::WithParamInterface<RenderCase> {};

TEST_P(DelayedRenderTest, TheReaderGetsWhatTheOwnerRendersAndNeverHangs) {
  const RenderCase& c = GetParam();
  clip::SetRenderTimeoutMs(c.answer == RenderCase::kNoAnswer ? 300 : 20000);
  ClipEventLog ownerLog;
  auto owner = std::make_unique<clip::ClipboardWindow>(&ownerLog);
  clip::ClipboardWindow reader(nullptr);
  Offer(*owner, {{0xC200, nullptr}});

  EXPECT_FALSE(Read(*owner, 0xC200));  // not asked of itself
  auto read = std::async(std::launch::async, [&] { return Read(reader, 0xC200); });
  ASSERT_TRUE(ownerLog.WaitFor([](auto& l) { return l.renders.size() == 1; }));
  EXPECT_EQ(ownerLog.renders[0], 0xC200u);
  switch (c.answer) {
    case RenderCase::kData:
      owner->RenderFormat(0xC200, B("rendered"));
      break;
    case RenderCase::kFailure:
      owner->RenderFailed(0xC200);
      break;
    case RenderCase::kOwnerGone:
      owner.reset();
      break;
    case RenderCase::kNoAnswer:
      break;
  }
  std::optional<clip::Bytes> got = read.get();
  EXPECT_EQ(got.has_value(), c.readerGetsData);
  if (c.readerGetsData) {
    EXPECT_EQ(*got, B("rendered"));
    // Rendered once, read again without asking the owner.
    EXPECT_EQ(Read(reader, 0xC200), B("rendered"));
    EXPECT_EQ(ownerLog.renders.size(), 1u);
  } else if (owner) {
    // Still delayed: the next reader asks again.
    clip::SetRenderTimeoutMs(300);
    EXPECT_FALSE(Read(reader, 0xC200));
    EXPECT_EQ(ownerLog.renders.size(), 2u);
  }
}

INSTANTIATE_TEST_SUITE_P(Answers, DelayedRenderTest,
                         ::testing::Values(RenderCase{"Data", RenderCase::kData, true},
                                           RenderCase{"Failure", RenderCase::kFailure, false},
                                           RenderCase{"OwnerGone", RenderCase::kOwnerGone, false},
                                           RenderCase{"NoAnswer", RenderCase::kNoAnswer, false}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
