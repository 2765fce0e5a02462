// The real pellum program against the test host playing a clipboard
// redirection server: the capability exchange names the groups the
// settings allow, and "CLIPRDR" runs its exchange with the program's own
// channel host; with "clipboardShare" off the clipboard group is not
// offered and no clipboard channel opens.
#include <gtest/gtest.h>

#include <QFile>
#include <cerrno>
#include <cstring>

#include "E2eEnv.h"
#include "HostClipboardServer.h"
#include "testhost/ClipboardServer.h"
#include "testhost/DisplayPainter.h"
#include "support/PaintSessionThread.h"

namespace {

namespace cb = testhost::cliprdr;
using Bytes = std::vector<uint8_t>;

TEST(ClipboardChannelSession, TheProgramAnswersTheCapabilityExchangeAndRunsTheClipboardExchange) {
  PaintingHost host;
  ProgramRun run("virtchan-clipboard");
  uint16_t slot = 0;
  ASSERT_NO_FATAL_FAILURE(StartClipboardSession(host, run, 61, {{"ScreenOptions/useWmpChannelRedirection", 0}}, &slot));
  cb::ClipboardServer server = ServerOn(host, slot);
  testhost::channels::CapabilityReply reply;
  ASSERT_TRUE(server.Exchange(0x17F, &reply, kWaitMs));
  EXPECT_EQ(reply.enabledGroups, 0x11u);

  ASSERT_TRUE(server.Open(0x0E, kWaitMs));
  // Long names and no file paths; no file streaming, since no file is served.
  EXPECT_EQ(server.ClientFlags(), 0x0Au);
  bool accepted = false;
  ASSERT_TRUE(server.Offer({{13, u""}, {0xC0DE, u"Server Format"}}, &accepted, kWaitMs));
  EXPECT_TRUE(accepted);
  // A format nobody offers locally is refused.
  Bytes data;
  EXPECT_FALSE(server.Request(0xC0DD, &data, kWaitMs));
  EXPECT_TRUE(run.Running());
  ASSERT_NO_FATAL_FAILURE(HangUpAndEnd(host, run));
}

TEST(ClipboardChannelSession, WithClipboardShareOffNoClipboardChannelOpens) {
  PaintingHost host;
  ProgramRun run("virtchan-no-clipboard");
  uint16_t slot = 0;
  ASSERT_NO_FATAL_FAILURE(StartClipboardSession(host, run, 62, {{"NetworkOptions/clipboardShare", 0}}, &slot));
  cb::ClipboardServer server = ServerOn(host, slot);
  testhost::channels::CapabilityReply reply;
  ASSERT_TRUE(server.Exchange(0x17F, &reply, kWaitMs));
  EXPECT_EQ(reply.enabledGroups, 0x101u);
  // Opened anyway: the program has no clipboard channel to answer with, and
  // a second exchange shows the session is still being served.
  ASSERT_FALSE(server.Open(0x0E, 2000));
  ASSERT_TRUE(server.Exchange(0x10, &reply, kWaitMs));
  EXPECT_EQ(reply.enabledGroups, 0u);
  ASSERT_NO_FATAL_FAILURE(HangUpAndEnd(host, run));
}

// The command-line host's --clipboard: its offer of a text is taken by the
// program's clipboard channel.
TEST(ClipboardChannelSession, ThePaintSessionsClipboardOfferIsTaken) {
  ProgramRun run("virtchan-paint-offer");
  const testhost::RgbImage picture = TestPicture(160, 120, 2);
  const QString image = WritePpm(run, "desktop.ppm", picture);
  ASSERT_FALSE(image.isEmpty());
  testhost::Listener listener;
  ASSERT_TRUE(listener.Listen(LoopbackHost(63), 0)) << strerror(errno);
  testhost::PaintRequest request;
  request.imageFile = image.toStdString();
  request.acceptTimeoutMs = kWaitMs;
  request.clipboardText = "from the host";
  testsupport::PaintSessionThread host(listener, request);

  run.WriteProfile({{"AutoLoginOptions/encryptionLevel", 0},
                    {"ScreenOptions/fullScreen", 0},
                    {"ScreenOptions/autoDetectAudioVideo", 0}});
  const QString launch = run.WriteLaunchFile("demo.json", LaunchJson(LoopbackHost(63), 160, 120));
  run.Start({"-x", launch, "-a", LoopbackHost(63), "-p", QString::number(listener.Port())});
  std::string line;
  // UTF-16 with its terminator: 13 characters and 2 bytes.
  EXPECT_TRUE(host.WaitForLine("clipboard offered 28 bytes on slot ", &line, kWaitMs)) << host.Printed();

  EXPECT_EQ(host.Finish(), 0) << host.Printed();
  int exitCode = -1;
  ASSERT_TRUE(run.WaitFinished(&exitCode));
  EXPECT_EQ(exitCode, 6);
}

}  // namespace
