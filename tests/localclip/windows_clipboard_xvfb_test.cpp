// The channel's local clipboard on an X display, with xclip as the local
// program that pastes the server's formats and copies its own.
#include <gtest/gtest.h>

#include <future>

#include "RecordingCallback.h"
#include "localclip/WindowsClipboard.h"
#include "pelplat/clipboard.h"
#include "platform/clipboard/FormatFixtures.h"
#include "platform/clipboard/XclipProcess.h"

namespace clip = pelplat::clipboard;

namespace {

std::string Utf16Le(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) {
    out.push_back(char(c & 0xFF));
    out.push_back(char(c >> 8));
  }
  return out + std::string(2, '\0');
}

struct ClipboardRelease {
  void operator()(CWindowsClipboard* c) const {
    c->Stop();
    c->Release();
  }
};

class WindowsClipboardX11Test : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(xclip::DisplayBackend(), nullptr) << "no X display with XFixes";
    clip::SetClipboardBackend(xclip::DisplayBackend());
    callback_ = std::make_shared<RecordingCallback>();
    local_.reset(new CWindowsClipboard);
    ASSERT_EQ(local_->Start(callback_), 0);
  }
  void TearDown() override {
    local_.reset();
    clip::SetClipboardBackend(nullptr);
  }
  uint32_t Announce(const std::vector<std::pair<uint32_t, const char16_t*>>& formats) {
    uint32_t local = 0;
    EXPECT_EQ(local_->BeginServerFormats(), 0);
    for (auto& [id, name] : formats) EXPECT_EQ(local_->AnnounceServerFormat(id, name, &local), 0);
    EXPECT_EQ(local_->EndServerFormats(), 0);
    return local;
  }

  std::shared_ptr<RecordingCallback> callback_;
  std::unique_ptr<CWindowsClipboard, ClipboardRelease> local_;
};

// The BMP file of a DIB with a 40-byte header and no palette.
std::string BmpOf(const fmtfix::Bytes& dib) {
  std::string head = "BM";
  for (uint32_t v : {uint32_t(14 + dib.size()), 0u, 14u + 40u})
    for (int i = 0; i < 4; ++i) head.push_back(char(v >> (8 * i)));
  return head + std::string(dib.begin(), dib.end());
}

TEST_F(WindowsClipboardX11Test, APasteAsksTheServerAndPrintsWhatItSupplied) {
  const std::string htmlFormat = "Version:0.9\r\nStartHTML:0000000105\r\nEndHTML:0000000118\r\n"
                                 "StartFragment:0000000105\r\nEndFragment:0000000118\r\n<i>server</i>";
  const fmtfix::Bytes dib = fmtfix::Dib24(3, 2);
  const struct {
    const char* target;
    uint32_t serverFormat;
    const char16_t* name;
    std::string supplied;  // by the server, in the local format
    std::string printed;
  } cases[] = {
      {"UTF8_STRING", CF_UNICODETEXT, nullptr, Utf16Le(u"server \u00e9t\u00e9"), "server \xC3\xA9t\xC3\xA9"},
      {"application/x-pellum-server", 0xC123, u"application/x-pellum-server", "\x7f" "bytes", "\x7f" "bytes"},
      {"image/bmp", CF_DIB, nullptr, std::string(dib.begin(), dib.end()), BmpOf(dib)},
      {"text/html", 0xC126, u"HTML Format", htmlFormat, "<i>server</i>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    const uint32_t local = Announce({{c.serverFormat, c.name}});
    auto paste = std::async(std::launch::async, [&] { return xclip::Paste(c.target); });
    ASSERT_TRUE(callback_->WaitRequest(local));
    EXPECT_EQ(local_->SetData(local, c.supplied.data(), uint32_t(c.supplied.size())), 0);
    xclip::Output got = paste.get();
    EXPECT_EQ(got.status, 0);
    EXPECT_EQ(got.out, c.printed);
  }
}

TEST_F(WindowsClipboardX11Test, AServerFailureEndsThePasteWithoutData) {
  clip::SetRenderTimeoutMs(60000);
  const uint32_t local = Announce({{0xC124, u"application/x-pellum-refused"}});
  auto paste = std::async(std::launch::async, [] { return xclip::Paste("application/x-pellum-refused"); });
  ASSERT_TRUE(callback_->WaitRequest(local));
  EXPECT_EQ(local_->RenderFailed(local), 0);
  xclip::Output got = paste.get();
  EXPECT_TRUE(got.exited);
  EXPECT_NE(got.status, 0);
  EXPECT_EQ(got.out, "");
  clip::SetRenderTimeoutMs(10000);
}

TEST_F(WindowsClipboardX11Test, AnotherProgramsCopyIsReportedAndListedOursIsNot) {
  Announce({{0xC125, u"application/x-pellum-own"}});
  ASSERT_EQ(local_->SetData(CF_UNICODETEXT, "a\0\0", 4), 0);
  xclip::Copy copy("application/x-pellum-local", "local bytes");
  ASSERT_TRUE(callback_->WaitChanges(1));
  // Changes are heard in order: ours, had they been reported, came first.
  EXPECT_EQ(callback_->Changes(), 1);

  VrClipFormatList* list = nullptr;
  ASSERT_EQ(local_->GetFormats(&list), 0);
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->entries.size(), 1u);
  EXPECT_EQ(list->entries[0].name, u"application/x-pellum-local");
  const uint32_t format = list->entries[0].format;
  EXPECT_GE(format, 0xC000u);
  local_->FreeFormatList(list);
  uint8_t* data = nullptr;
  uint32_t size = 0;
  ASSERT_EQ(local_->GetData(format, &data, &size, 0), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data), size), "local bytes");
  local_->Free(data);
}

}  // namespace
