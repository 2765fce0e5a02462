// Whole sessions against the test host over loopback: the connection log
// and the states of a session, names that do not resolve and ports that
// refuse, the plain and the encrypted handshake, and a host that hangs up
// at every step.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "ClientDoubles.h"
#include "HostRun.h"
#include "session/SlotProcessorFactory.h"
#include "pelplat/net.h"
#include "testhost/Wire.h"

namespace {

using clienttest::ClientRig;
using clienttest::HostRun;
using clienttest::StateChange;
using testhost::CloseAt;
using testhost::HandshakeOptions;

constexpr int kWaitMs = 15000;

clienttest::SlotInbox* g_inbox = nullptr;

CSlotDataProcessor* MakeInboxProcessor(const SlotProcessorContext&) {
  return new clienttest::InboxProcessor(g_inbox);
}

// Processors on the display and keyboard slots that record what they get.
class WithInboxProcessors : public testing::Test {
 protected:
  void SetUp() override {
    g_inbox = &inbox;
    RegisterSlotProcessorMaker(slotname::kDisplay, MakeInboxProcessor);
    RegisterSlotProcessorMaker(slotname::kKeyboard, MakeInboxProcessor);
  }
  void TearDown() override {
    RegisterSlotProcessorMaker(slotname::kDisplay, nullptr);
    RegisterSlotProcessorMaker(slotname::kKeyboard, nullptr);
    g_inbox = nullptr;
  }
  clienttest::SlotInbox inbox;
};

// The connection thread has run to its end.
bool RunEnded(ClientRig& rig) { return rig.api->endEvent.Wait(kWaitMs); }

using namespace connection_state;

// The states of a session the host ends during the handshake, after the
// client has verified the server, and after the session was up.
const std::vector<int> kEndedInHandshake = {kStarting, kConnecting, kHandshaking, kConnected, kDisconnected};
const std::vector<int> kEndedInVerifying = {kStarting,  kConnecting, kHandshaking,
                                            kConnected, kVerifying,  kDisconnected};
const std::vector<int> kEndedWhenUp = {kStarting,  kConnecting, kHandshaking, kConnected,
                                       kVerifying, kSessionUp,  kDisconnected};

std::vector<int> Then(std::vector<int> states, int last) {
  states.push_back(last);
  return states;
}

// The test host serving `options` on loopback and a client on its port.
// The host is a base of its own so that it is built before the client and
// goes after it: the client's connection thread may still be talking to it.
struct HostSide {
  HostRun host;
};

class HandshakeRig : public HostSide, public ClientRig {
 public:
  explicit HandshakeRig(const HandshakeOptions& options, int encryptionLevel = 0) {
    host.Serve(options);
    clienttest::PlainParameters(&params, host.Port());
    params.encryptionLevel = encryptionLevel;
  }

  // For a test that looks at the client between its Init and its start.
  int Init() {
    initialized_ = true;
    return ClientRig::Init();
  }
  // Starts the client; once the session is up, the host's handshake is
  // over.
  testing::AssertionResult Up() {
    if (testing::AssertionResult started = Start(); !started) return started;
    if (!api->WaitForState(kSessionUp, kWaitMs)) return Failure("the session did not come up");
    host.Join();
    return testing::AssertionSuccess();
  }
  // Starts the client, waits for its connection thread to end and stops it.
  testing::AssertionResult Ended() {
    if (testing::AssertionResult started = Start(); !started) return started;
    if (!RunEnded(*this)) return Failure("the connection thread did not end");
    host.Join();
    client->Stop();
    return testing::AssertionSuccess();
  }

 private:
  testing::AssertionResult Start() {
    if (!initialized_ && Init() != 0) return Failure("Init failed");
    if (client->Start() != 0) return Failure("Start failed");
    return testing::AssertionSuccess();
  }
  testing::AssertionResult Failure(const char* what) {
    testing::AssertionResult failure = testing::AssertionFailure() << what << "; states";
    for (int state : api->StateNumbers()) failure << " " << state;
    return failure;
  }
  bool initialized_ = false;
};

std::vector<uint8_t> Region(const uint8_t* h, size_t offset, size_t size) {
  return std::vector<uint8_t>(h + offset, h + offset + size);
}

using SessionTest = WithInboxProcessors;

TEST_F(SessionTest, PlainSessionLogAndStates) {
  HandshakeRig rig(HandshakeOptions{});
  HostRun& host = rig.host;
  ASSERT_TRUE(rig.Up());
  ASSERT_TRUE(host.ok) << host.report.error;
  // Once an echo has come back the connection thread is past reply 260.
  ASSERT_TRUE(host.session->SendEcho({1, 2, 3}));
  testhost::HostMessage echo;
  ASSERT_TRUE(host.session->WaitFor([](const testhost::HostMessage& m) { return m.code == 264; }, kWaitMs, &echo));
  EXPECT_EQ(echo.header.kind, 5);
  EXPECT_EQ(echo.body, (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(rig.client->SessionState(), CGenericClient::kRunning);
  EXPECT_EQ(rig.client->Start(), 0);  // the second start only notes itself

  ASSERT_EQ(rig.client->Stop(), 0);
  EXPECT_EQ(rig.client->Stop(), -1);
  const std::vector<StateChange> expected = {{kStarting, 0},  {kConnecting, 0}, {kHandshaking, 0},
                                             {kConnected, 0}, {kVerifying, 0},  {kSessionUp, 0},
                                             {kDisconnected, 0}};
  EXPECT_EQ(rig.api->States(), expected);
  const std::vector<std::string> log = {"Parameters:<OK>", "Connection:<OK>", "Connecting:<OK>", "Connected:<OK>",
                                        "Processing:<OK>", "Parameters:<OK>", "Already Started:<OK>", "Terminated",
                                        "Cleaning UP"};
  EXPECT_EQ(rig.client->ConnectionLog(), log);
  EXPECT_EQ(rig.api->Resizes(), (std::vector<std::vector<int>>{{1024, 768, 24, 0}}));

  // The host saw the short hello twice and no encryption.
  EXPECT_EQ(host.report.first.size(), 1544u);
  EXPECT_EQ(host.report.second.size(), 1544u);
  EXPECT_EQ(testhost::wire::Read(host.report.first, 0, 4), 257u);
  EXPECT_EQ(testhost::wire::Read(host.report.second, 0, 4), 259u);
  ASSERT_EQ(host.report.slotTable.size(), 4u);
  EXPECT_EQ(host.report.slotTable[0].name, "VIRTHID ");
}

// A name service that answers only when the test lets it.
struct BlockingNameService {
  static BlockingNameService* current;
  std::mutex mutex;
  std::condition_variable changed;
  bool entered = false, released = false, left = false;

  static int Resolve(const char*, in_addr*, int) {
    BlockingNameService& self = *current;
    std::unique_lock<std::mutex> hold(self.mutex);
    self.entered = true;
    self.changed.notify_all();
    self.changed.wait(hold, [&] { return self.released; });
    self.left = true;
    self.changed.notify_all();
    return 0;
  }
  template <class F>
  bool WaitFor(F condition) {
    std::unique_lock<std::mutex> hold(mutex);
    return changed.wait_for(hold, std::chrono::milliseconds(kWaitMs), condition);
  }
};
BlockingNameService* BlockingNameService::current = nullptr;

// Closing a window while the server's name is being looked up: the stop
// returns while the name service still has not answered.
TEST_F(SessionTest, StopDoesNotWaitForTheNameService) {
  BlockingNameService service;
  BlockingNameService::current = &service;
  HostResolver previous = SetHostResolver(BlockingNameService::Resolve);
  {
    ClientRig rig;
    clienttest::PlainParameters(&rig.params, 1);
    clienttest::SetText(rig.params.serverAddress, kFieldChars, u"slow-name-service.invalid");
    ASSERT_EQ(rig.Init(), 0);
    ASSERT_EQ(rig.client->Start(), 0);
    ASSERT_TRUE(service.WaitFor([&] { return service.entered; }));
    rig.client->Stop();
    EXPECT_TRUE(RunEnded(rig));
    std::lock_guard<std::mutex> hold(service.mutex);
    EXPECT_FALSE(service.left) << "the stop waited for the name service";
  }
  {
    std::lock_guard<std::mutex> hold(service.mutex);
    service.released = true;
    service.changed.notify_all();
  }
  // The late answer lands in the lookup's own state, after the client went.
  EXPECT_TRUE(service.WaitFor([&] { return service.left; }));
  SetHostResolver(previous);
}

// Ports that do not fit 16 bits are refused, not cut down to another one.
TEST_F(SessionTest, PortsOutsideSixteenBitsAreRefused) {
  for (uint32_t port : {0u, 65536u + 80u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(port);
    ClientRig rig;
    clienttest::PlainParameters(&rig.params, 1);
    rig.params.port = port;
    ASSERT_EQ(rig.Init(), 0);
    ASSERT_EQ(rig.client->Start(), 0);
    ASSERT_TRUE(RunEnded(rig));
    rig.client->Stop();
    EXPECT_EQ(rig.api->States(), (std::vector<StateChange>{{kStarting, 0}, {kUnresolved, 0}}));
  }
}

TEST_F(SessionTest, UnknownServer) {
  ClientRig rig;
  clienttest::PlainParameters(&rig.params, 1);
  clienttest::SetText(rig.params.serverAddress, kFieldChars, u"no-such-host.invalid");
  ASSERT_EQ(rig.Init(), 0);
  ASSERT_EQ(rig.client->Start(), 0);
  ASSERT_TRUE(RunEnded(rig));
  rig.client->Stop();
  EXPECT_EQ(rig.api->States(), (std::vector<StateChange>{{kStarting, 0}, {kUnresolved, 0}}));
  EXPECT_EQ(rig.client->ConnectionLog(),
            (std::vector<std::string>{"Parameters:<OK>", "Connection:<OK>", "Unknown Server:<FAIL>", "Cleaning UP"}));
}

TEST_F(SessionTest, RefusedPortWithAndWithoutReporting) {
  uint16_t port;
  {
    testhost::Listener closed;
    ASSERT_TRUE(closed.Listen());
    port = closed.Port();
  }
  for (int report : {1, 0}) {
    SCOPED_TRACE(report);
    ClientRig rig;
    clienttest::PlainParameters(&rig.params, port);
    ASSERT_EQ(rig.Init(), 0);
    rig.client->SetOptionValue(report);
    ASSERT_EQ(rig.client->Start(), 0);
    ASSERT_TRUE(RunEnded(rig));
    rig.client->Stop();
    EXPECT_EQ(rig.api->States(), (std::vector<StateChange>{{kStarting, 0}, {kConnecting, 0}, {kConnectFailed, 0}}));
    std::vector<std::string> log = {"Parameters:<OK>", "Connection:<OK>", "Connecting:<OK>", "No connection:<FAIL>"};
    if (report) {
      EXPECT_EQ(rig.api->Captions(), std::vector<std::string>{"Connection:"});
      EXPECT_EQ(rig.api->Texts(), std::vector<std::string>{"Cannot connect to server \"127.0.0.1\""});
    } else {
      EXPECT_TRUE(rig.api->Texts().empty());
      log.push_back("Critical Message - Connection:Cannot connect to server \"127.0.0.1\":<FAIL>");
    }
    log.push_back("Cleaning UP");
    EXPECT_EQ(rig.client->ConnectionLog(), log);
  }
}

TEST_F(SessionTest, GroupNameIsReportedForAGroupSession) {
  uint16_t port;
  {
    testhost::Listener closed;
    ASSERT_TRUE(closed.Listen());
    port = closed.Port();
  }
  ClientRig rig;
  clienttest::PlainParameters(&rig.params, port);
  clienttest::SetText(rig.params.groupName, kFieldChars, u"Office");
  ASSERT_EQ(rig.Init(), 0);
  ASSERT_EQ(rig.client->Start(), 0);
  ASSERT_TRUE(RunEnded(rig));
  EXPECT_EQ(rig.api->Texts(), std::vector<std::string>{"Cannot connect to group server \"Office\""});
}

TEST_F(SessionTest, EncryptedSessionOpensBothWays) {
  HandshakeOptions options;
  options.encrypted = true;
  HandshakeRig rig(options, 2);
  HostRun& host = rig.host;
  ASSERT_EQ(rig.Init(), 0);
  EXPECT_EQ(rig.params.keyExchangeWord, 2u);
  ASSERT_TRUE(rig.Up());
  ASSERT_TRUE(host.ok) << host.report.error;

  // The host unwrapped the key, and the opened hello is the client's own
  // (with the flags word of message 259).
  EXPECT_EQ(host.report.first.size(), 28u);
  EXPECT_EQ(testhost::wire::Read(host.report.first, 4 + 8, 2), 12u);
  EXPECT_TRUE(host.report.keyUnwrapped);
  EXPECT_TRUE(host.report.digestOk);
  EXPECT_TRUE(host.report.exchangeOk);
  const uint8_t* own = rig.client->Hello();
  const uint8_t* seen = host.report.hello.data();
  for (const auto& r : {std::make_pair(0x016, 946), std::make_pair(0x434, 212), std::make_pair(0x530, 212)})
    EXPECT_EQ(Region(seen, r.first, r.second), Region(own, r.first, r.second)) << r.first;
  EXPECT_EQ(testhost::wire::Read(host.report.hello, 8, 2), 9u);
  EXPECT_EQ(rig.client->AlignFlag(), 1);

  // A payload on the display slot (flags 0x680: the client opens it at
  // level 3) reaches its processor as sent.
  const std::vector<uint8_t> picture = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17};
  ASSERT_TRUE(host.session->SendSlot(1, picture));
  for (int i = 0; i < 500 && inbox.All().empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(inbox.All().size(), 1u);
  EXPECT_EQ(inbox.All()[0].first, 1);
  EXPECT_EQ(inbox.All()[0].second, picture);
  EXPECT_EQ(inbox.displayBlock.size(), 16u);

  // The keyboard slot (0x700) goes out sealed; the host opens it.
  const std::vector<uint8_t> key = {0x1E, 0, 0, 0, 1, 0, 0, 0};
  EXPECT_GT(rig.client->SendOnSlot(0, key.data(), static_cast<uint32_t>(key.size())), 8);
  testhost::HostMessage m;
  ASSERT_TRUE(host.session->WaitFor([](const testhost::HostMessage& x) { return x.header.slot == 0; }, kWaitMs, &m));
  EXPECT_TRUE(m.opened);
  EXPECT_EQ(m.body, key);

  // An encrypted query comes back as an encrypted reply.
  std::vector<uint8_t> query;
  testhost::wire::Append(query, 77, 4);   // id
  testhost::wire::Append(query, 256, 4);  // type
  testhost::wire::Append(query, 0, 8);
  testhost::wire::Append(query, 5, 4);  // context
  ASSERT_TRUE(host.session->SendControl(testhost::code::kQuery, query, true));
  ASSERT_TRUE(host.session->WaitFor([](const testhost::HostMessage& x) { return x.code == 272; }, kWaitMs, &m));
  ASSERT_TRUE(m.opened);
  EXPECT_EQ(testhost::wire::Read(m.body, 0, 4), 77u);
  EXPECT_EQ(testhost::wire::Read(m.body, 16, 4), 5u);
  EXPECT_EQ(testhost::wire::Read(m.body, 24, 4), 2048u);

  rig.client->Stop();
  EXPECT_EQ(rig.api->StateNumbers(), kEndedWhenUp);
}

TEST_F(SessionTest, AlignmentFlagComesFromTheEncryptedReply) {
  HandshakeOptions options;
  options.encrypted = true;
  options.keyWords = 8;
  options.alignWord = 0x7FFF;
  HandshakeRig rig(options, 1);
  ASSERT_TRUE(rig.Up());
  EXPECT_EQ(rig.client->AlignFlag(), 0);
}

TEST_F(SessionTest, RequestedModeGoesIntoTheSecondHello) {
  HandshakeRig rig(HandshakeOptions{});
  HostRun& host = rig.host;
  rig.client->SetRequestedMode(1920, 0xF0000438);
  rig.client->SetRequestedModeKind(2);
  ASSERT_TRUE(rig.Up());
  EXPECT_EQ(testhost::wire::Read(host.report.second, 4 + 0x1D8, 4), 1920u);
  EXPECT_EQ(testhost::wire::Read(host.report.second, 4 + 0x1DC, 4), 0x10000438u);
  EXPECT_EQ(testhost::wire::Read(host.report.second, 4 + 0x1E0, 4), 0u);
  EXPECT_EQ(testhost::wire::Read(host.report.first, 4 + 0x1D8, 4), 1024u);
  rig.client->Stop();
  EXPECT_EQ(rig.api->Resizes(), (std::vector<std::vector<int>>{{1024, 768, 24, 0}}));
}

TEST_F(SessionTest, LinuxServerWithAShortReply) {
  HandshakeOptions options;
  options.serverTag = "LNXSRV";
  options.version = 0x03010501;
  options.fullReply = false;
  HandshakeRig rig(options);
  ASSERT_TRUE(rig.Up());
  rig.client->Stop();
  EXPECT_EQ(rig.client->Remap(), 0);
}

struct RefusalCase {
  const char* name;
  void (*setup)(HandshakeOptions*);
  std::vector<int> states;
};

TEST_F(SessionTest, RefusedRepliesEndTheSession) {
  const RefusalCase cases[] = {
      {"short 258", [](HandshakeOptions* o) { o->reply258Size = 491; }, kEndedInHandshake},
      {"old server", [](HandshakeOptions* o) { o->version = 0x06010404; }, kEndedInVerifying},
      {"slot count", [](HandshakeOptions* o) { o->slotCountDelta = 1; }, kEndedInVerifying},
  };
  for (const RefusalCase& c : cases) {
    SCOPED_TRACE(c.name);
    HandshakeOptions options;
    c.setup(&options);
    HandshakeRig rig(options);
    ASSERT_TRUE(rig.Ended());
    EXPECT_EQ(rig.api->StateNumbers(), c.states);
    EXPECT_EQ(rig.client->ConnectionLog().back(), "Cleaning UP");
  }
}

TEST_F(SessionTest, HostHangsUpAtEveryStep) {
  struct Step {
    CloseAt at;
    std::vector<int> states;
  };
  const Step steps[] = {
      {CloseAt::kBeforeHello, kEndedInHandshake}, {CloseAt::kAfterHello, kEndedInHandshake},
      {CloseAt::kAfter258, kEndedInVerifying},    {CloseAt::kAfter259, kEndedInVerifying},
      {CloseAt::kAfter260, kEndedWhenUp},
  };
  for (bool encrypted : {false, true}) {
    for (const Step& step : steps) {
      SCOPED_TRACE(testing::Message() << "step " << static_cast<int>(step.at) << (encrypted ? " encrypted" : ""));
      HandshakeOptions options;
      options.encrypted = encrypted;
      options.keyWords = 8;
      options.closeAt = step.at;
      HandshakeRig rig(options, encrypted ? 1 : 0);
      ASSERT_TRUE(rig.Ended());
      EXPECT_EQ(rig.api->StateNumbers(), step.states);
      const std::vector<std::string> log = rig.client->ConnectionLog();
      ASSERT_GE(log.size(), 2u);
      EXPECT_EQ(log[log.size() - 2], "Terminated");
      EXPECT_EQ(log.back(), "Cleaning UP");
    }
  }
}

// A host that takes the connection and then answers nothing ends the
// session as a time-out at whichever step it goes quiet.
TEST_F(SessionTest, SilentHostEndsTheSessionAsATimeout) {
  struct Step {
    CloseAt at;
    std::vector<int> states;
  };
  const Step steps[] = {
      {CloseAt::kBeforeHello, Then(kEndedInHandshake, kTimeout)},
      {CloseAt::kAfter259, Then(kEndedInVerifying, kTimeout)},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(testing::Message() << "silent at step " << static_cast<int>(step.at));
    HandshakeOptions options;
    options.silentAt = step.at;
    HandshakeRig rig(options);
    ASSERT_EQ(rig.Init(), 0);
    rig.client->SetHandshakeStepTimeout(300);
    ASSERT_TRUE(rig.Ended());
    EXPECT_EQ(rig.api->StateNumbers(), step.states);
    const std::vector<std::string> log = rig.client->ConnectionLog();
    ASSERT_GE(log.size(), 2u);
    EXPECT_NE(log[log.size() - 2].find("Timeout"), std::string::npos) << log[log.size() - 2];
  }
}

// A server whose backlog is full never answers the connect: Stop still
// returns once the connection thread has ended.
TEST_F(SessionTest, StopEndsAConnectInProgress) {
  testhost::Listener full;
  ASSERT_TRUE(full.Listen("127.0.0.1", 0, 0));
  std::vector<int> fillers;
  for (int i = 0; i < 4; ++i) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in a = full.Address();
    connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    fillers.push_back(fd);
  }
  ClientRig rig;
  clienttest::PlainParameters(&rig.params, full.Port());
  ASSERT_EQ(rig.Init(), 0);
  ASSERT_EQ(rig.client->Start(), 0);
  ASSERT_TRUE(rig.api->WaitForState(kConnecting, kWaitMs));
  ASSERT_EQ(rig.client->Stop(), 0);
  EXPECT_TRUE(RunEnded(rig));
  EXPECT_EQ(rig.api->StateNumbers().back(), kConnectFailed);
  for (int fd : fillers) close(fd);
}

}  // namespace
