// Resolving server texts, choosing among addresses, and stopping a connect.
#include <gtest/gtest.h>

#include "SessionDoubles.h"
#include "pelplat/utf16.h"
#include "transport/ConnectTarget.h"
#include "transport/Status.h"

using namespace sessiontest;

namespace {

std::string Dotted(const sockaddr_in& a) {
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
  return text;
}

int UsedAddresses(const ConnectTarget& t) {
  int n = 0;
  for (const sockaddr_in& a : t.addresses) n += a.sin_port != 0 && a.sin_addr.s_addr != 0;
  return n;
}

// The discovery table as the discovery engine would install it.
bool FindLabServer(const WCHAR* name, in_addr* address) {
  if (std::u16string(name) != u"LabServer") return false;
  inet_pton(AF_INET, "127.0.0.9", address);
  return true;
}

TEST(Resolve, ServerTexts) {
  struct Case {
    const char16_t* text;
    int status;
    int mode;
    const char* firstAddress;  // null: no address
    const char16_t* file;
  };
  const Case cases[] = {
      {u"127.0.0.5", kStatusOk, kConnectionNormal, "127.0.0.5", u""},
      {u"localhost", kStatusOk, kConnectionNormal, "127.0.0.1", u""},
      {u"LabServer", kStatusOk, kConnectionNormal, "127.0.0.9", u""},
      {u"127.0.0.5+session.rec", kStatusOk, kConnectionRecord, "127.0.0.5", u"session.rec"},
      {u"somewhere.invalid=old.rec", kStatusOk, kConnectionReplay, "127.0.0.1", u"old.rec"},
      {u"+only.rec", kStatusOk, kConnectionRecord, nullptr, u"only.rec"},
      {u"", kStatusBadArgument, kConnectionNormal, nullptr, u""},
      {u"no-such-host.invalid", kStatusUnknownServer, kConnectionNormal, nullptr, u""},
  };
  SetDiscoveredServerLookup(FindLabServer);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(Utf16ToUtf8(c.text)));
    ConnectTarget t;
    ASSERT_EQ(t.Resolve(c.text, 3389), c.status);
    if (c.status == kStatusBadArgument) continue;
    EXPECT_EQ(GetConnectionMode(), c.mode);
    EXPECT_EQ(GetConnectionModeFile(), std::u16string(c.file));
    if (!c.firstAddress) {
      EXPECT_EQ(UsedAddresses(t), 0);
      continue;
    }
    ASSERT_GE(UsedAddresses(t), 1);
    EXPECT_EQ(Dotted(t.addresses[0]), c.firstAddress);
    EXPECT_EQ(ntohs(t.addresses[0].sin_port), 3389);
    EXPECT_EQ(t.addresses[0].sin_family, AF_INET);
  }
  SetDiscoveredServerLookup(nullptr);
  ConnectTarget t;
  EXPECT_EQ(t.Resolve(nullptr, 1), kStatusBadArgument);
  t.Resolve(u"127.0.0.1", 1);  // back to normal mode for the other tests
}

TEST(Connect, TheFirstAddressThatAcceptsWins) {
  testhost::Listener host;
  ASSERT_TRUE(host.Listen("127.0.0.1"));
  TestClient* client = new TestClient;
  auto* connection = new CConnection(nullptr, nullptr);
  connection->SetClient(client);
  // 127.0.0.2 is loopback too, but nothing listens there: refused.
  ASSERT_EQ(connection->Open(SessionTarget({Loopback("127.0.0.2", host.Port()), host.Address()})), 1);
  EXPECT_EQ(connection->SocketCount(), 1);
  EXPECT_EQ(connection->ConnectedCount(), 1);
  EXPECT_EQ(Dotted(connection->RemoteAddress(0)), "127.0.0.1");
  EXPECT_EQ(client->connected.load(), 1);
  EXPECT_TRUE(host.Accept(5000));
  connection->Close();
  connection->Release();
  client->Release();
}

TEST(Connect, SevenSocketsAtMostTheEighthAddressIsNeverTried) {
  struct Case {
    int acceptingPosition;  // 1-based
    int opened;
  };
  for (Case c : {Case{7, 1}, Case{8, 0}}) {
    SCOPED_TRACE(c.acceptingPosition);
    testhost::Listener host;
    ASSERT_TRUE(host.Listen("127.0.0.1"));
    std::vector<sockaddr_in> addresses;
    for (int i = 1; i <= 8; ++i) {
      std::string refusing = "127.0.0." + std::to_string(i + 1);
      addresses.push_back(i == c.acceptingPosition ? host.Address() : Loopback(refusing.c_str(), host.Port()));
    }
    auto* connection = new CConnection(nullptr, nullptr);
    EXPECT_EQ(connection->Open(SessionTarget(addresses)), c.opened);
    auto peer = host.Accept(c.opened ? 5000 : 300);
    EXPECT_EQ(peer != nullptr, c.opened == 1);
    connection->Close();
    connection->Release();
  }
}

TEST(Connect, NoAddressNoConnection) {
  auto* connection = new CConnection(nullptr, nullptr);
  EXPECT_EQ(connection->Open(SessionTarget({})), 0);
  EXPECT_EQ(connection->ReceiveLoop(), 0);
  connection->Release();
}

TEST(Connect, ARefusedConnectedNotificationFailsTheOpen) {
  testhost::Listener host;
  ASSERT_TRUE(host.Listen());
  TestClient* client = new TestClient;
  client->SetConnectedAnswer(9999);
  auto* connection = new CConnection(nullptr, nullptr);
  connection->SetClient(client);
  EXPECT_EQ(connection->Open(SessionTarget({host.Address()})), 0);
  EXPECT_FALSE(connection->IsRunning());
  connection->Release();
  client->Release();
}

// A server that never answers the connect (its backlog is full) holds the
// connect until the stop request.
TEST(Connect, StopCutsAConnectShort) {
  testhost::Listener host;
  ASSERT_TRUE(host.Listen("127.0.0.1", 0, 0));
  std::vector<int> fillers;
  for (int i = 0; i < 4; ++i) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in a = host.Address();
    connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    fillers.push_back(fd);
  }
  auto* connection = new CConnection(nullptr, nullptr);
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    connection->StopLoop(0);
  });
  EXPECT_EQ(connection->Open(SessionTarget({host.Address()})), 0);
  stopper.join();
  EXPECT_EQ(connection->SocketCount(), 0);
  connection->Release();
  for (int fd : fillers) close(fd);
}

TEST(Connect, RecordModeConnectsAndRuns) {
  testhost::Listener host;
  ASSERT_TRUE(host.Listen());
  int status = -1;
  ConnectTarget target = ResolvedTarget(u"127.0.0.1+trace.rec", host.Port(), &status);
  ASSERT_EQ(status, kStatusOk);
  ASSERT_EQ(GetConnectionMode(), kConnectionRecord);

  LoopbackSession s;
  s.client->RegisterSlotProcessor(1, new RecordingProcessor(&s.inbox));
  s.connection = new CConnection(nullptr, nullptr);
  s.connection->SetClient(s.client);
  ASSERT_EQ(s.connection->Open(target), 1);
  EXPECT_EQ(s.client->ReplayFlag(), 0);
  s.peer = host.Accept(5000);
  ASSERT_TRUE(s.peer);
  s.StartLoop();
  ASSERT_TRUE(s.peer->SendFrame(1, {5}));
  ASSERT_TRUE(s.inbox.WaitFor(1));
  const uint8_t reply[] = {6, 7};
  const uint16_t kind = 2;
  EXPECT_EQ(s.connection->Send(1, reply, sizeof reply, &kind), 2);
  testhost::Frame f;
  ASSERT_EQ(s.peer->ReadFrame(&f, 5000), testhost::ReadResult::kFrame);
  EXPECT_EQ(f.payload, std::vector<uint8_t>({6, 7}));

  // The session thread closes while another thread is still sending (a key
  // press): the storage that sends record into must not go away under it.
  s.peer->StartRecording();
  std::atomic<int> sent{0};
  std::thread sender([&] {
    while (s.connection->Send(1, reply, sizeof reply, &kind) == static_cast<int>(sizeof reply)) ++sent;
  });
  while (sent.load() < 20) std::this_thread::yield();
  s.connection->StopLoop(0);
  s.loop.join();
  s.connection->Close();
  sender.join();
  s.connection->Release();
  s.connection = nullptr;
  target.Resolve(u"127.0.0.1", 1);
}

TEST(Connect, ReplayModeNeverConnects) {
  testhost::Listener host;
  ASSERT_TRUE(host.Listen());
  int status = -1;
  ConnectTarget target = ResolvedTarget(u"anywhere=old.rec", host.Port(), &status);
  ASSERT_EQ(status, kStatusOk);
  TestClient* client = new TestClient;
  auto* connection = new CConnection(nullptr, nullptr);
  connection->SetClient(client);
  ASSERT_EQ(connection->Open(target), 1);
  EXPECT_EQ(client->ReplayFlag(), 1);
  EXPECT_EQ(client->connected.load(), 1);
  EXPECT_FALSE(host.Accept(300));
  // Sends are answered as sent without a byte on the wire.
  const uint8_t data[] = {1, 2, 3};
  const uint16_t kind = 2;
  EXPECT_EQ(connection->Send(3, data, sizeof data, &kind), 3);
  connection->StopLoop(0);
  EXPECT_EQ(connection->ReceiveLoop(), 1);
  connection->Close();
  connection->Release();
  client->Release();
  target.Resolve(u"127.0.0.1", 1);
}

}  // namespace
