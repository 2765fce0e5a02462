// The channel's local clipboard over the in-process clipboard model, with a
// second clipboard window standing in for another program.
#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <mutex>

#include "RecordingCallback.h"
#include "localclip/WindowsClipboard.h"
#include "pelplat/clipboard.h"

namespace clip = pelplat::clipboard;

namespace {

clip::Bytes B(const char* text) { return clip::Bytes(text, text + strlen(text)); }

struct ClipboardRelease {
  void operator()(CWindowsClipboard* c) const {
    c->Stop();
    c->Release();
  }
};

class WindowsClipboardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    backend_ = clip::MakeModelClipboardBackend();
    clip::SetClipboardBackend(backend_.get());
    other_ = std::make_unique<clip::ClipboardWindow>(nullptr);
    callback_ = std::make_shared<RecordingCallback>();
    local_.reset(new CWindowsClipboard);
    ASSERT_EQ(local_->Start(callback_), 0);
  }
  void TearDown() override {
    local_.reset();
    other_.reset();
    clip::SetClipboardBackend(nullptr);
  }
  // Another program puts these formats on the clipboard.
  void OtherOffers(const std::vector<UINT>& formats) {
    ASSERT_TRUE(other_->Open());
    other_->Empty();
    clip::Bytes data = B("data");
    for (UINT f : formats) other_->SetData(f, &data);
    ASSERT_TRUE(other_->Close());
  }
  // Another program pastes `format`, on a thread of its own.
  std::future<std::optional<clip::Bytes>> OtherPastes(UINT format) {
    return std::async(std::launch::async, [this, format]() -> std::optional<clip::Bytes> {
      if (!other_->Open()) return std::nullopt;
      auto data = other_->GetData(format);
      other_->Close();
      return data;
    });
  }
  uint32_t Announce(uint32_t serverFormat, const char16_t* name) {
    uint32_t local = 0;
    EXPECT_EQ(local_->BeginServerFormats(), 0);
    EXPECT_EQ(local_->AnnounceServerFormat(serverFormat, name, &local), 0);
    EXPECT_EQ(local_->EndServerFormats(), 0);
    return local;
  }

  std::unique_ptr<clip::IClipboardBackend> backend_;
  std::unique_ptr<clip::ClipboardWindow> other_;
  std::shared_ptr<RecordingCallback> callback_;
  std::unique_ptr<CWindowsClipboard, ClipboardRelease> local_;
};

TEST_F(WindowsClipboardTest, FilterOffersBitmapsAndRegisteredFormatsButNoFileDrops) {
  const struct {
    uint32_t format;
    int32_t result;
  } cases[] = {{0, -1},  {CF_TEXT, -1}, {CF_DIB, 0},   {CF_UNICODETEXT, -1}, {14, -1},         {CF_HDROP, -1},
               {16, -1}, {CF_DIBV5, 0}, {1023, -1},    {1024, 0},            {0xC000, 0},      {0xFFFFFFFFu, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.format);
    EXPECT_EQ(local_->FilterFormat(c.format), c.result);
  }
}

TEST_F(WindowsClipboardTest, FormatListHoldsWhatTheServerMayAskFor) {
  const UINT html = clip::RegisterClipboardFormatW(u"Pellum Local HTML");
  const struct {
    const char* name;
    std::vector<UINT> offered;
    std::vector<VrClipFormatEntry> listed;
  } cases[] = {
      {"text only", {CF_UNICODETEXT, CF_TEXT}, {}},
      {"bitmap", {CF_UNICODETEXT, CF_DIB}, {{CF_DIB, u""}}},
      {"registered", {CF_UNICODETEXT, html}, {{html, u"Pellum Local HTML"}}},
      // No file is served: a descriptor would promise what every request
      // refuses.
      {"file drop", {CF_HDROP, CF_TEXT}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    OtherOffers(c.offered);
    VrClipFormatList* list = nullptr;
    ASSERT_EQ(local_->GetFormats(&list), 0);
    ASSERT_EQ(list != nullptr, !c.listed.empty());
    if (!list) continue;
    ASSERT_EQ(list->entries.size(), c.listed.size());
    for (size_t i = 0; i < c.listed.size(); ++i) {
      EXPECT_EQ(list->entries[i].format, c.listed[i].format);
      EXPECT_EQ(list->entries[i].name, c.listed[i].name);
    }
    local_->FreeFormatList(list);
  }
  EXPECT_EQ(local_->GetFileDescriptorFormat(), clip::RegisterClipboardFormatW(u"FileGroupDescriptorW"));
}

TEST_F(WindowsClipboardTest, ServerFormatsGetLocalIdentifiersReusedForTheSameName) {
  EXPECT_EQ(Announce(13, nullptr), 13u);
  EXPECT_EQ(Announce(18, u"ignored"), 18u);
  const uint32_t rtf = Announce(0xC0A0, u"Pellum Rich Text");
  EXPECT_EQ(rtf, clip::RegisterClipboardFormatW(u"Pellum Rich Text"));
  EXPECT_EQ(Announce(0xC0A0, u"Pellum Rich Text"), rtf);
  // The same server identifier under another name is another format.
  EXPECT_NE(Announce(0xC0A0, u"Pellum Rich Text 2"), rtf);
  // A server format without a name keeps its identifier.
  EXPECT_EQ(Announce(0xC0B0, nullptr), 0xC0B0u);
  uint32_t local = 7;
  ASSERT_EQ(local_->BeginServerFormats(), 0);
  const std::u16string tooLong(300, u'n');
  EXPECT_EQ(local_->AnnounceServerFormat(0xC0C0, tooLong.c_str(), &local), 0x810002);
  EXPECT_EQ(local, 7u);
  ASSERT_EQ(local_->EndServerFormats(), 0);

  ASSERT_TRUE(other_->Open());
  EXPECT_EQ(other_->EnumFormats(), std::vector<UINT>{});  // the last list announced nothing
  other_->Close();
  Announce(0xC0A0, u"Pellum Rich Text");
  ASSERT_TRUE(other_->Open());
  EXPECT_EQ(other_->EnumFormats(), std::vector<UINT>{rtf});
  other_->Close();
}

TEST_F(WindowsClipboardTest, OnlyOtherProgramsChangesAreReported) {
  // Our own changes first: the server's formats, then data set directly.
  Announce(0xC0A0, u"Pellum Own");
  ASSERT_EQ(local_->SetData(0xC0A0, "abc", 3), 0);
  OtherOffers({CF_UNICODETEXT});
  ASSERT_TRUE(callback_->WaitChanges(1));
  // Changes are heard in order: ours, had they been reported, came first.
  EXPECT_EQ(callback_->Changes(), 1);
  ASSERT_TRUE(other_->Open());
  EXPECT_EQ(other_->GetData(CF_UNICODETEXT), B("data"));
  other_->Close();
}

TEST_F(WindowsClipboardTest, DataForAFormatNobodyWaitsForGoesOnTheClipboard) {
  const UINT html = clip::RegisterClipboardFormatW(u"Pellum Direct");
  ASSERT_EQ(local_->SetData(html, "<b>", 3), 0);
  EXPECT_EQ(OtherPastes(html).get(), B("<b>"));
  uint8_t* data = nullptr;
  uint32_t size = 0;
  ASSERT_EQ(local_->GetData(html, &data, &size, 4), 0);
  ASSERT_EQ(size, 7u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data) + 4, 3), "<b>");
  local_->Free(data);
  // Without room in front, twice at once: each block stays whole until its
  // own Free.
  uint8_t* again = nullptr;
  uint32_t againSize = 0;
  ASSERT_EQ(local_->GetData(html, &data, &size, 0), 0);
  ASSERT_EQ(local_->GetData(html, &again, &againSize, 0), 0);
  ASSERT_NE(data, again);
  local_->Free(data);
  ASSERT_EQ(againSize, 3u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(again), 3), "<b>");
  local_->Free(again);
  EXPECT_NE(local_->GetData(0xC999, &data, &size, 0), 0);
  EXPECT_EQ(local_->RenderFailed(html), int32_t(ERROR_NOT_FOUND));
}

// How a paste of a server format ends.
struct PasteCase {
  const char* name;
  enum { kServerData, kServerFailure, kRequestNotSent, kNoAnswer, kStop } answer;
  bool pasterGetsData;
};

class ServerPasteTest : public WindowsClipboardTest, public ::testing::WithParamInterface<PasteCase> {};

TEST_P(ServerPasteTest, APasteEndsWithTheServersBytesOrWithoutData) {
  const PasteCase& c = GetParam();
  // Long enough that only the case's own answer can end the paste.
  clip::SetRenderTimeoutMs(60000);
  local_->SetRenderWaitMs(c.answer == PasteCase::kNoAnswer ? 300 : 60000);
  if (c.answer == PasteCase::kRequestNotSent) callback_->renderAnswer = 0x810002;
  const uint32_t format = Announce(0xC0D0, u"Pellum Paste");

  auto paste = OtherPastes(format);
  ASSERT_TRUE(callback_->WaitRequest(format));
  switch (c.answer) {
    case PasteCase::kServerData:
      EXPECT_EQ(local_->SetData(format, "server", 6), 0);
      break;
    case PasteCase::kServerFailure:
      // Unless the render gave up already, the failure ends it.
      EXPECT_EQ(local_->RenderFailed(format), 0);
      break;
    case PasteCase::kStop:
      local_.reset();
      break;
    default:
      break;
  }
  ASSERT_EQ(paste.wait_for(RecordingCallback::kBound), std::future_status::ready);
  std::optional<clip::Bytes> got = paste.get();
  EXPECT_EQ(got.has_value(), c.pasterGetsData);
  if (c.pasterGetsData) {
    EXPECT_EQ(*got, B("server"));
  }
  clip::SetRenderTimeoutMs(10000);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ServerPasteTest,
    ::testing::Values(PasteCase{"ServerData", PasteCase::kServerData, true},
                      PasteCase{"ServerFailure", PasteCase::kServerFailure, false},
                      PasteCase{"RequestNotSent", PasteCase::kRequestNotSent, false},
                      PasteCase{"NoAnswer", PasteCase::kNoAnswer, false},
                      PasteCase{"Stop", PasteCase::kStop, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WindowsClipboardLifeTest, AReopenedChannelsClipboardWorksBesideTheOldOne) {
  auto backend = clip::MakeModelClipboardBackend();
  clip::SetClipboardBackend(backend.get());
  std::promise<void> oldGone, newGone;
  auto oldCallbackGone = oldGone.get_future();
  auto newCallbackGone = newGone.get_future();
  auto* before = new CWindowsClipboard;
  before->Start(std::make_shared<RecordingCallback>(&oldGone));
  // The new one starts before the old one has gone.
  auto callback = std::make_shared<RecordingCallback>(&newGone);
  auto* after = new CWindowsClipboard;
  after->Start(callback);
  before->Stop();
  before->Release();
  EXPECT_EQ(oldCallbackGone.wait_for(RecordingCallback::kBound), std::future_status::ready);

  clip::ClipboardWindow other(nullptr);
  ASSERT_TRUE(other.Open());
  other.Empty();
  ASSERT_TRUE(other.Close());
  EXPECT_TRUE(callback->WaitChanges(1));
  callback.reset();
  after->Stop();
  after->Release();
  EXPECT_EQ(newCallbackGone.wait_for(RecordingCallback::kBound), std::future_status::ready);
  clip::SetClipboardBackend(nullptr);
}

}  // namespace
