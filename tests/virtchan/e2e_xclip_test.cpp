// The real pellum program on its own X server, the test host playing the
// clipboard redirection server and xclip as another local program: a text
// and a bitmap the host offers are pasted with xclip under its targets, and
// HTML xclip copies reaches the host as "HTML Format"; a plain text xclip
// copies reaches the host as control text and a PNG picture as "PNG" and
// as a bitmap through the clipboard channel; with "clipboardShare" off
// neither leaves the program.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <optional>

#include "E2eEnv.h"
#include "FormatFixtures.h"
#include "HostClipboardServer.h"
#include "XclipProcess.h"
#include "testhost/ClipboardServer.h"

namespace {

namespace cb = testhost::cliprdr;
using Bytes = std::vector<uint8_t>;

Bytes Utf16z(const std::u16string& s) {
  Bytes b;
  for (char16_t c : s) {
    b.push_back(uint8_t(c));
    b.push_back(uint8_t(c >> 8));
  }
  b.push_back(0);
  b.push_back(0);
  return b;
}

constexpr uint32_t kControlText = 288;

// Some bytes of every value, zeros among them, longer than one chunk.
std::string ImageBytes() {
  std::string png = "\x89PNG\r\n\x1a\n";
  for (int i = 0; i < 5000; ++i) png.push_back(char((i * 7 + i / 256) & 0xFF));
  return png;
}

// True once xclip pastes `expected` back under the target: the copy has
// taken the selection. xclip takes it only after reading all its input.
bool PastesBack(const std::string& target, const std::string& expected) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  while (std::chrono::steady_clock::now() < end)
    if (xclip::Paste(target).out == expected) return true;
  return false;
}

// The identifier the program's format lists give `name`, once one of at
// most five lists names it.
void WaitForListed(cb::ClipboardServer& server, const std::u16string& name, uint32_t* id) {
  *id = 0;
  for (int list = 0; list < 5 && *id == 0; ++list) {
    ASSERT_TRUE(server.WaitForClientList(kWaitMs));
    for (const cb::Format& f : server.ClientFormats())
      if (f.name == name) *id = f.id;
  }
}

// The server's side of the clipboard channel, answered and opened: past
// this the program's session, its control text included, is running.
void OpenServer(cb::ClipboardServer& server) {
  testhost::channels::CapabilityReply reply;
  ASSERT_TRUE(server.Exchange(0x17F, &reply, kWaitMs));
  ASSERT_TRUE(server.Open(0x0E, kWaitMs));
}

// A session on its own loopback address whose clipboard channel the host
// has answered and opened.
class ClipboardXclipTest : public ::testing::Test {
 protected:
  void StartOpen(int n, const char* name) {
    run.emplace(QString(name));
    ASSERT_NO_FATAL_FAILURE(StartClipboardSession(host, *run, n, {}, &slot, 320, 240));
    server.emplace(ServerOn(host, slot));
    ASSERT_NO_FATAL_FAILURE(OpenServer(*server));
  }

  PaintingHost host;
  std::optional<ProgramRun> run;
  uint16_t slot = 0;
  std::optional<cb::ClipboardServer> server;
};

TEST_F(ClipboardXclipTest, HostTextAndBitmapArePastedLocallyAndLocalHtmlReachesTheHostAsHtmlFormat) {
  ASSERT_NO_FATAL_FAILURE(StartOpen(64, "virtchan-xclip"));

  // The host's text and bitmap, pasted by xclip: each paste makes the
  // program ask the host for the format behind the target.
  bool accepted = false;
  ASSERT_TRUE(server->Offer({{13, u""}, {8, u""}}, &accepted, kWaitMs));
  ASSERT_TRUE(accepted);
  const struct {
    const char* target;
    uint32_t format;
    Bytes supplied;
  } pastes[] = {
      {"UTF8_STRING", 13, Utf16z(u"from the host \u20ac")},
      {"image/bmp", 8, fmtfix::Dib24(3, 2)},
  };
  std::string printed[2];
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(pastes[i].target);
    auto pasted = std::async(std::launch::async, [&] { return xclip::Paste(pastes[i].target); });
    uint32_t asked = 0;
    ASSERT_TRUE(server->AnswerRequest(
        [&](uint32_t format, Bytes* data) {
          *data = pastes[i].supplied;
          return format == pastes[i].format;
        },
        &asked, kWaitMs));
    EXPECT_EQ(asked, pastes[i].format);
    const xclip::Output out = pasted.get();
    EXPECT_EQ(out.status, 0);
    printed[i] = out.out;
  }
  EXPECT_EQ(printed[0], "from the host \xE2\x82\xAC");
  EXPECT_EQ(printed[1].substr(0, 2), "BM");
  EXPECT_TRUE(fmtfix::HasTestPixels(fmtfix::Decoded(printed[1])));

  // xclip copies HTML: the program lists it as Windows programs know it, and
  // the host reads it with offsets that point at the copied fragment.
  xclip::Copy copy("text/html", "<b>local</b>");
  uint32_t html = 0;
  ASSERT_NO_FATAL_FAILURE(WaitForListed(*server, u"HTML Format", &html));
  ASSERT_GE(html, 0xC000u);
  Bytes data;
  ASSERT_TRUE(server->Request(html, &data, kWaitMs));
  EXPECT_EQ(fmtfix::HtmlFragment(std::string(data.begin(), data.end())), "<b>local</b>");

  ASSERT_NO_FATAL_FAILURE(HangUpAndEnd(host, *run));
}

TEST_F(ClipboardXclipTest, LocalPlainTextReachesTheHostAsControlText) {
  ASSERT_NO_FATAL_FAILURE(StartOpen(65, "virtchan-xclip-text"));

  xclip::Copy copy("", "local text \xE2\x82\xAC");
  const Bytes expected = Utf16z(u"local text \u20ac");
  EXPECT_TRUE(host.WaitFor([&](const testhost::HostMessage& m) {
    return m.header.slot == testhost::FrameHeader::kControlSlot && m.code == kControlText && m.body == expected;
  })) << "no control text with the copied text";
  ASSERT_NO_FATAL_FAILURE(HangUpAndEnd(host, *run));
}

TEST_F(ClipboardXclipTest, LocalPngReachesTheHostAsPngAndAsABitmap) {
  ASSERT_NO_FATAL_FAILURE(StartOpen(66, "virtchan-xclip-image"));

  const std::string png = fmtfix::PictureFile("PNG");
  xclip::Copy copy("image/png", png);
  uint32_t image = 0;
  ASSERT_NO_FATAL_FAILURE(WaitForListed(*server, u"PNG", &image));
  ASSERT_GE(image, 0xC000u);
  bool bitmapListed = false;
  for (const cb::Format& f : server->ClientFormats()) bitmapListed |= f.id == 8;
  EXPECT_TRUE(bitmapListed);
  Bytes data;
  ASSERT_TRUE(server->Request(image, &data, kWaitMs));
  EXPECT_EQ(data, Bytes(png.begin(), png.end()));
  ASSERT_TRUE(server->Request(8, &data, kWaitMs));
  EXPECT_TRUE(fmtfix::HasTestPixels(fmtfix::DecodedDib(data)));
  ASSERT_NO_FATAL_FAILURE(HangUpAndEnd(host, *run));
}

TEST(ClipboardChannelXclip, WithClipboardShareOffNothingCopiedLocallyLeaves) {
  PaintingHost host;
  ProgramRun run("virtchan-xclip-off");
  uint16_t slot = 0;
  ASSERT_NO_FATAL_FAILURE(
      StartClipboardSession(host, run, 67, {{"NetworkOptions/clipboardShare", 0}}, &slot, 320, 240));
  cb::ClipboardServer server = ServerOn(host, slot);
  testhost::channels::CapabilityReply reply;
  ASSERT_TRUE(server.Exchange(0x17F, &reply, kWaitMs));
  const size_t from = host.Messages().size();

  // Each copy is in place on the display (xclip pastes it back) while the
  // host watches for anything of it.
  auto leaves = [&](const testhost::HostMessage& m) {
    return (m.header.slot == testhost::FrameHeader::kControlSlot && m.code == kControlText) ||
           m.header.slot == slot;
  };
  {
    xclip::Copy copy("", "local text");
    ASSERT_TRUE(PastesBack("UTF8_STRING", "local text"));
    EXPECT_FALSE(host.WaitFor(leaves, 5000, from)) << "control text or channel data with clipboardShare off";
  }
  {
    const std::string png = ImageBytes();
    xclip::Copy copy("image/png", png);
    ASSERT_TRUE(PastesBack("image/png", png));
    EXPECT_FALSE(host.WaitFor(leaves, 5000, from)) << "control text or channel data with clipboardShare off";
  }
  EXPECT_TRUE(run.Running());
  ASSERT_NO_FATAL_FAILURE(HangUpAndEnd(host, run));
}

}  // namespace
