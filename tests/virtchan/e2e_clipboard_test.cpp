// The real pellum program against the test host playing a clipboard
// redirection server: the capability exchange names the groups the
// settings allow, and "CLIPRDR" runs its exchange with the program's own
// channel host; with "clipboardShare" off the clipboard group is not
// offered and no clipboard channel opens.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "E2eEnv.h"
#include "testhost/ClipboardServer.h"

namespace {

namespace cb = testhost::cliprdr;
using Bytes = std::vector<uint8_t>;

constexpr char kChannelSlotName[] = "MSVCEXT ";

cb::ClipboardServer ServerOn(PaintingHost& host, uint16_t slot) {
  return cb::ClipboardServer([&host, slot](const Bytes& payload) { return host.SendOnSlot(slot, payload); },
                             [&host, slot] {
                               std::vector<Bytes> payloads;
                               for (const testhost::HostMessage& m : host.Messages())
                                 if (m.header.slot == slot && m.code == 0) payloads.push_back(m.body);
                               return payloads;
                             });
}

// A session to the host at LoopbackHost(n) with these profile values; the
// channel slot in *slot.
void StartSession(PaintingHost& host, ProgramRun& run, int n, const QMap<QString, QVariant>& profile,
                  uint16_t* slot) {
  ASSERT_TRUE(host.Listen(LoopbackHost(n), 0)) << strerror(errno);
  QMap<QString, QVariant> values = profile;
  values["ScreenOptions/fullScreen"] = 0;
  values["ScreenOptions/autoDetectAudioVideo"] = 0;
  run.WriteProfile(values);
  const QString launch = run.WriteLaunchFile("session.json", LaunchJson(LoopbackHost(n), 640, 480));
  run.Start({"-x", launch, "-a", LoopbackHost(n), "-p", QString::number(host.Port())});
  ASSERT_TRUE(host.AcceptAndHandshake(true)) << host.Error();
  const std::vector<uint16_t> channelSlots = host.Slots(kChannelSlotName);
  ASSERT_EQ(channelSlots.size(), 1u);
  *slot = channelSlots[0];
}

void HangUpAndEnd(PaintingHost& host, ProgramRun& run) {
  host.Hangup();
  int exitCode = -1;
  ASSERT_TRUE(run.WaitFinished(&exitCode));
  EXPECT_EQ(exitCode, 6);
}

TEST(ClipboardChannelSession, TheProgramAnswersTheCapabilityExchangeAndRunsTheClipboardExchange) {
  PaintingHost host;
  ProgramRun run("virtchan-clipboard");
  uint16_t slot = 0;
  ASSERT_NO_FATAL_FAILURE(StartSession(host, run, 61, {{"ScreenOptions/useWmpChannelRedirection", 0}}, &slot));
  cb::ClipboardServer server = ServerOn(host, slot);
  testhost::channels::CapabilityReply reply;
  ASSERT_TRUE(server.Exchange(0x17F, &reply, kWaitMs));
  EXPECT_EQ(reply.enabledGroups, 0x11u);

  ASSERT_TRUE(server.Open(0x0E, kWaitMs));
  EXPECT_EQ(server.ClientFlags(), 0x0Eu);
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
  ASSERT_NO_FATAL_FAILURE(StartSession(host, run, 62, {{"NetworkOptions/clipboardShare", 0}}, &slot));
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

}  // namespace
