// The real pellum program on its own X server, the test host playing the
// clipboard redirection server and xclip as another local program: a text
// the host offers is pasted with xclip, and data xclip copies under a
// registered target reaches the host.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <future>

#include "E2eEnv.h"
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

TEST(ClipboardChannelXclip, HostTextIsPastedLocallyAndLocalDataReachesTheHost) {
  PaintingHost host;
  ProgramRun run("virtchan-xclip");
  ASSERT_TRUE(host.Listen(LoopbackHost(64), 0)) << strerror(errno);
  run.WriteProfile({{"ScreenOptions/fullScreen", 0}, {"ScreenOptions/autoDetectAudioVideo", 0}});
  const QString launch = run.WriteLaunchFile("session.json", LaunchJson(LoopbackHost(64), 320, 240));
  run.Start({"-x", launch, "-a", LoopbackHost(64), "-p", QString::number(host.Port())});
  ASSERT_TRUE(host.AcceptAndHandshake(true)) << host.Error();
  const std::vector<uint16_t> channelSlots = host.Slots("MSVCEXT ");
  ASSERT_EQ(channelSlots.size(), 1u);
  const uint16_t slot = channelSlots[0];
  cb::ClipboardServer server = ServerOn(host, slot);
  testhost::channels::CapabilityReply reply;
  ASSERT_TRUE(server.Exchange(0x17F, &reply, kWaitMs));
  ASSERT_TRUE(server.Open(0x0E, kWaitMs));

  // The host's text, pasted by xclip: the paste makes the program ask the
  // host for it.
  bool accepted = false;
  ASSERT_TRUE(server.Offer({{13, u""}}, &accepted, kWaitMs));
  ASSERT_TRUE(accepted);
  auto pasted = std::async(std::launch::async, [] { return xclip::Paste("UTF8_STRING"); });
  uint32_t asked = 0;
  ASSERT_TRUE(server.AnswerRequest(
      [](uint32_t format, Bytes* data) {
        *data = Utf16z(u"from the host \u20ac");
        return format == 13;
      },
      &asked, kWaitMs));
  EXPECT_EQ(asked, 13u);
  const xclip::Output out = pasted.get();
  EXPECT_EQ(out.status, 0);
  EXPECT_EQ(out.out, "from the host \xE2\x82\xAC");

  // xclip copies under a registered target: the program lists it and the
  // host reads it.
  xclip::Copy copy("text/html", "<b>local</b>");
  uint32_t html = 0;
  for (int list = 0; list < 5 && html == 0; ++list) {
    ASSERT_TRUE(server.WaitForClientList(kWaitMs));
    for (const cb::Format& f : server.ClientFormats())
      if (f.name == u"text/html") html = f.id;
  }
  ASSERT_GE(html, 0xC000u);
  Bytes data;
  ASSERT_TRUE(server.Request(html, &data, kWaitMs));
  EXPECT_EQ(std::string(data.begin(), data.end()), "<b>local</b>");

  host.Hangup();
  int exitCode = -1;
  ASSERT_TRUE(run.WaitFinished(&exitCode));
  EXPECT_EQ(exitCode, 6);
}

}  // namespace
