// The real pellum program against the test host playing a device
// redirection server, with pcscd, its virtual reader and a virtual card
// (pcsc_rig.sh): the program announces the smart card, the host's
// smart-card calls reach the card through the program's smart-card device,
// and their results come back as NDR the host decodes. A status-change wait
// left blocked in the service does not stop a context call meanwhile, nor
// the program from ending cleanly when the session does.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "E2eEnv.h"
#include "../support/VirtualCard.h"
#include "HostClipboardServer.h"
#include "RdpNdr.h"
#include "RdpSmartCardAPI.h"
#include "ScardSamples.h"
#include "testhost/DeviceRedirectionServer.h"

extern char** environ;

namespace {

namespace dr = testhost::rdpdr;
using namespace rdpesc;
using Bytes = std::vector<uint8_t>;

constexpr char kChannelSlotName[] = "MSVCEXT ";
constexpr uint32_t kStatePresent = 0x0020;
constexpr uint32_t kInfinite = 0xFFFFFFFF;

dr::DeviceServer DeviceServerOn(PaintingHost& host, uint16_t slot) {
  return dr::DeviceServer([&host, slot](const Bytes& payload) { return host.SendOnSlot(slot, payload); },
                          [&host, slot] {
                            std::vector<Bytes> payloads;
                            for (const testhost::HostMessage& m : host.Messages())
                              if (m.header.slot == slot && m.code == 0) payloads.push_back(m.body);
                            return payloads;
                          });
}

template <class Ret, class Call>
Ret RunScard(dr::DeviceServer& server, uint32_t code, Call call) {
  Bytes input;
  EXPECT_EQ(NdrEncode(call, input), 0u);
  dr::IoCompletion c;
  Ret reply;
  EXPECT_TRUE(server.Control(1, code, input, &c, kWaitMs)) << std::hex << code;
  EXPECT_EQ(c.ioStatus, 0u) << std::hex << code;
  EXPECT_EQ(NdrDecode(c.output.data(), c.output.size(), reply), 0u) << std::hex << code;
  return reply;
}

class SmartCardSession : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::getenv("PELLUM_VICC")) GTEST_SKIP() << "runs inside pcsc_rig.sh";
  }
};

TEST_F(SmartCardSession, TheHostsSmartCardCallsReachTheVirtualCard) {
  VirtualCard card;
  ASSERT_TRUE(card.Insert());
  PaintingHost host;
  ProgramRun run("virtchan-smartcard");
  ASSERT_TRUE(host.Listen(LoopbackHost(64), 0)) << strerror(errno);
  run.WriteProfile({{"ScreenOptions/fullScreen", 0}, {"ScreenOptions/autoDetectAudioVideo", 0}});
  const QString launch = run.WriteLaunchFile("session.json", LaunchJson(LoopbackHost(64), 640, 480));
  run.Start({"-x", launch, "-a", LoopbackHost(64), "-p", QString::number(host.Port())});
  ASSERT_TRUE(host.AcceptAndHandshake(true)) << host.Error();
  const std::vector<uint16_t> channelSlots = host.Slots(kChannelSlotName);
  ASSERT_EQ(channelSlots.size(), 1u);

  testhost::channels::CapabilityReply reply;
  ASSERT_TRUE(ServerOn(host, channelSlots[0]).Exchange(0x17F, &reply, kWaitMs));
  ASSERT_TRUE(reply.enabledGroups & 0x1);
  dr::DeviceServer server = DeviceServerOn(host, channelSlots[0]);
  ASSERT_TRUE(server.Open(true, kWaitMs));
  EXPECT_EQ(server.EchoedClientId(), 0x00C1D00Du);
  ASSERT_EQ(server.Devices().size(), 1u);
  EXPECT_EQ(server.Devices()[0].type, 0x20u);
  EXPECT_EQ(server.Devices()[0].id, 1u);
  EXPECT_EQ(server.Devices()[0].dosName, "SCARD");

  EstablishContext_Call establish;
  establish.dwScope = 2;
  const EstablishContext_Return context =
      RunScard<EstablishContext_Return>(server, scardioctl::kEstablishContext, establish);
  ASSERT_EQ(context.ReturnCode, 0u);
  ASSERT_EQ(context.Context.pbContext.bytes.size(), 4u);

  ListReaders_Call list;
  list.Context = context.Context;
  list.cchReaders = kInfinite;
  const ListReaders_Return readers = RunScard<ListReaders_Return>(server, scardioctl::kListReadersA, list);
  ASSERT_EQ(readers.ReturnCode, 0u);
  ASSERT_TRUE(readers.msz.present);
  const std::string reader(reinterpret_cast<const char*>(readers.msz.bytes.data()));
  ASSERT_NE(reader.find("Virtual PCD"), std::string::npos) << reader;

  // On a thread of the program's own: the card is there (vicc may take a
  // moment to connect, so wait for it).
  GetStatusChangeA_Call now = scardsamples::StatusChangeA({reader}, 20000);
  now.Context = context.Context;
  const GetStatusChange_Return state = RunScard<GetStatusChange_Return>(server, scardioctl::kGetStatusChangeA, now);
  ASSERT_EQ(state.ReturnCode, 0u);
  ASSERT_EQ(state.rgReaderStates.items.size(), 1u);
  uint32_t seen = state.rgReaderStates.items[0].dwEventState;
  for (int i = 0; i < 20 && !(seen & kStatePresent); ++i) {
    GetStatusChangeA_Call change = scardsamples::StatusChangeA({reader}, 2000);
    change.Context = context.Context;
    change.rgReaderStates.items[0].Common.dwCurrentState = seen;
    seen = RunScard<GetStatusChange_Return>(server, scardioctl::kGetStatusChangeA, change)
               .rgReaderStates.items[0]
               .dwEventState;
  }
  EXPECT_TRUE(seen & kStatePresent) << std::hex << seen;

  // A wait for a change that does not come blocks in the service; a context
  // call is answered meanwhile.
  GetStatusChangeA_Call untilChanged = scardsamples::StatusChangeA({reader}, kInfinite);
  untilChanged.Context = context.Context;
  untilChanged.rgReaderStates.items[0].Common.dwCurrentState = seen & ~0x2u;
  Bytes input;
  ASSERT_EQ(NdrEncode(untilChanged, input), 0u);
  const uint32_t blocked = server.Start(1, scardioctl::kGetStatusChangeA, input);
  ASSERT_NE(blocked, 0u);
  Context_Call valid;
  valid.Context = context.Context;
  EXPECT_EQ(RunScard<Long_Return>(server, scardioctl::kIsValidContext, valid).ReturnCode, 0u);
  dr::IoCompletion none;
  EXPECT_FALSE(server.Wait(blocked, &none, 500));

  // The session ends with the wait still blocked: the program ends it and
  // exits as after any hang-up.
  host.Hangup();
  int exitCode = -1;
  ASSERT_TRUE(run.WaitFinished(&exitCode));
  EXPECT_EQ(exitCode, 6);
}

}  // namespace
