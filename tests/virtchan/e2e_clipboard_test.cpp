// The real pellum program against the test host playing a clipboard
// redirection server: the capability exchange names the groups the
// settings allow, and "CLIPRDR" runs its exchange with the program's own
// channel host; with "clipboardShare" off the clipboard group is not
// offered and no clipboard channel opens.
#include <ext/stdio_filebuf.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <QFile>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "E2eEnv.h"
#include "HostClipboardServer.h"
#include "testhost/ClipboardServer.h"
#include "testhost/DisplayPainter.h"

namespace {

namespace cb = testhost::cliprdr;
using Bytes = std::vector<uint8_t>;

// Reads the pipe until a line starts with `prefix`, for at most kWaitMs.
bool WaitForLine(int fd, const std::string& prefix, std::string* seen) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  std::string line;
  while (std::chrono::steady_clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char c = 0;
    if (read(fd, &c, 1) != 1) return false;
    seen->push_back(c);
    if (c != '\n') {
      line.push_back(c);
      continue;
    }
    if (line.rfind(prefix, 0) == 0) return true;
    line.clear();
  }
  return false;
}

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
  // The host holds the session while the first pipe is open and prints
  // into the second (the program inherits neither).
  int hold[2];
  int printed[2];
  ASSERT_EQ(pipe2(hold, O_CLOEXEC), 0);
  ASSERT_EQ(pipe2(printed, O_CLOEXEC), 0);
  __gnu_cxx::stdio_filebuf<char> holdBuffer(hold[0], std::ios::in);
  std::istream until(&holdBuffer);
  __gnu_cxx::stdio_filebuf<char> printBuffer(printed[1], std::ios::out);
  std::ostream out(&printBuffer);
  int result = -1;
  std::thread host([&] { result = testhost::RunPaintSession(listener, request, until, out); });

  run.WriteProfile({{"AutoLoginOptions/encryptionLevel", 0},
                    {"ScreenOptions/fullScreen", 0},
                    {"ScreenOptions/autoDetectAudioVideo", 0}});
  const QString launch = run.WriteLaunchFile("demo.json", LaunchJson(LoopbackHost(63), 160, 120));
  run.Start({"-x", launch, "-a", LoopbackHost(63), "-p", QString::number(listener.Port())});
  std::string seen;
  // UTF-16 with its terminator: 13 characters and 2 bytes.
  EXPECT_TRUE(WaitForLine(printed[0], "clipboard offered 28 bytes on slot ", &seen)) << seen;

  close(hold[1]);
  host.join();
  close(printed[0]);
  EXPECT_EQ(result, 0) << seen;
  int exitCode = -1;
  ASSERT_TRUE(run.WaitFinished(&exitCode));
  EXPECT_EQ(exitCode, 6);
}

}  // namespace
