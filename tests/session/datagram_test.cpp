// Discovery mode: raw datagrams over sockets bound to the local adapters,
// here an adapter list of loopback addresses given through the seam.
#include <gtest/gtest.h>

#include "SessionDoubles.h"
#include "pelplat/net.h"
#include "pelplat/winerror.h"
#include "transport/PacketHeader.h"
#include "transport/Status.h"
#include "testhost/Datagram.h"

using namespace sessiontest;

namespace {

NetAdapter Adapter(const char* name, DWORD type, const char* address) {
  NetAdapter a;
  a.name = name;
  a.type = type;
  inet_pton(AF_INET, address, &a.firstAddress);
  return a;
}

DWORD LoopbackAdapters(std::vector<NetAdapter>& out) {
  out = {
      Adapter("eth0", MIB_IF_TYPE_ETHERNET, "127.0.0.1"),
      Adapter("lo", MIB_IF_TYPE_LOOPBACK, "127.0.0.1"),
      Adapter("tun0", MIB_IF_TYPE_OTHER, "127.0.0.3"),
      Adapter("eth1", MIB_IF_TYPE_ETHERNET, "0.0.0.0"),
      Adapter("eth2", MIB_IF_TYPE_ETHERNET, "255.255.255.255"),
      Adapter("wlan0", IF_TYPE_IEEE80211, "127.0.0.2"),
  };
  return ERROR_SUCCESS;
}

DWORD BrokenAdapters(std::vector<NetAdapter>&) { return ERROR_NOT_SUPPORTED; }

struct Heard {
  int slot;
  std::vector<uint8_t> data;
  int length;
  std::string from;
};

class Discovery : public testing::Test {
 protected:
  void SetUp() override { previous_ = SetAdapterListProvider(LoopbackAdapters); }
  void TearDown() override { SetAdapterListProvider(previous_); }

  static int Receive(int slot, const sockaddr_in* sender, const uint8_t* data, int length, CConnection*,
                     void* user) {
    auto* self = static_cast<Discovery*>(user);
    char text[INET_ADDRSTRLEN] = {};
    if (sender) inet_ntop(AF_INET, &sender->sin_addr, text, sizeof text);
    std::lock_guard<std::mutex> hold(self->mutex_);
    self->heard_.push_back(Heard{slot, data ? std::vector<uint8_t>(data, data + std::max(length, 0))
                                            : std::vector<uint8_t>(),
                                 length, text});
    self->changed_.notify_all();
    return 0;
  }
  bool WaitHeard(size_t n) {
    std::unique_lock<std::mutex> hold(mutex_);
    return changed_.wait_for(hold, std::chrono::seconds(5), [&] { return heard_.size() >= n; });
  }
  std::vector<Heard> HeardSoFar() {
    std::lock_guard<std::mutex> hold(mutex_);
    return heard_;
  }

  static ConnectTarget DiscoveryTarget() {
    ConnectTarget t;
    t.framing = 2;
    t.transport = 2;
    return t;
  }

  AdapterListProvider previous_ = nullptr;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Heard> heard_;
};

TEST_F(Discovery, OneSocketPerEthernetOrWirelessAdapterWithAnAddress) {
  auto* connection = new CConnection(Receive, this);
  ASSERT_EQ(connection->Open(DiscoveryTarget()), 1);
  EXPECT_EQ(connection->SocketCount(), 2);
  char text[INET_ADDRSTRLEN];
  sockaddr_in first = connection->LocalAddress(0);
  sockaddr_in second = connection->LocalAddress(1);
  EXPECT_STREQ(inet_ntop(AF_INET, &first.sin_addr, text, sizeof text), "127.0.0.1");
  EXPECT_NE(first.sin_port, 0);
  EXPECT_STREQ(inet_ntop(AF_INET, &second.sin_addr, text, sizeof text), "127.0.0.2");
  ASSERT_TRUE(WaitHeard(1));
  EXPECT_EQ(HeardSoFar()[0].slot, -1);
  EXPECT_EQ(HeardSoFar()[0].length, kNotifyConnected);
  connection->Close();
  connection->Release();
}

TEST_F(Discovery, EachDatagramArrivesWithItsOwnLengthAndEmptyOnesAreDropped) {
  auto* connection = new CConnection(Receive, this);
  ASSERT_EQ(connection->Open(DiscoveryTarget()), 1);
  std::thread loop([&] { connection->ReceiveLoop(); });

  testhost::DatagramPeer host;
  ASSERT_TRUE(host.Bind("127.0.0.1"));
  const sockaddr_in client = connection->LocalAddress(0);
  std::vector<uint8_t> large(3000), small = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, last = {42};
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<uint8_t>(i);
  ASSERT_TRUE(host.SendTo(client, large.data(), large.size()));
  ASSERT_TRUE(host.SendTo(client, small.data(), small.size()));
  ASSERT_TRUE(host.SendTo(client, nullptr, 0));
  ASSERT_TRUE(host.SendTo(client, nullptr, 0));
  ASSERT_TRUE(host.SendTo(client, last.data(), last.size()));

  ASSERT_TRUE(WaitHeard(4));  // the connected notification and three datagrams
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  auto heard = HeardSoFar();
  ASSERT_EQ(heard.size(), 4u);
  const std::vector<uint8_t>* want[] = {&large, &small, &last};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(heard[i + 1].slot, PacketHeader::kControlSlot);
    EXPECT_EQ(heard[i + 1].length, static_cast<int>(want[i]->size()));
    EXPECT_EQ(heard[i + 1].data, *want[i]);
    EXPECT_EQ(heard[i + 1].from, "127.0.0.1");
  }
  EXPECT_TRUE(connection->IsRunning());

  connection->StopLoop(0);
  loop.join();
  connection->Close();
  connection->Release();
}

TEST_F(Discovery, ARawSendGoesOutOfEverySocket) {
  auto* connection = new CConnection(Receive, this);
  ASSERT_EQ(connection->Open(DiscoveryTarget()), 1);
  testhost::DatagramPeer host;
  ASSERT_TRUE(host.Bind("127.0.0.1"));
  const uint8_t probe[] = {'U', 'S', 'B', 'S', 0, 0};
  const sockaddr_in destination = host.Address();
  EXPECT_EQ(connection->Send(0, probe, sizeof probe, &destination), 0);
  std::vector<std::string> sources;
  for (int i = 0; i < 2; ++i) {
    std::vector<uint8_t> got;
    sockaddr_in from{};
    ASSERT_TRUE(host.Receive(&got, &from, 5000));
    EXPECT_EQ(got, std::vector<uint8_t>(probe, probe + sizeof probe));
    char text[INET_ADDRSTRLEN];
    sources.push_back(inet_ntop(AF_INET, &from.sin_addr, text, sizeof text));
  }
  std::sort(sources.begin(), sources.end());
  EXPECT_EQ(sources, std::vector<std::string>({"127.0.0.1", "127.0.0.2"}));
  EXPECT_EQ(connection->Send(0, probe, sizeof probe, nullptr), kStatusFailure);
  connection->Close();
  connection->Release();
}

TEST_F(Discovery, NoAdapterListNoConnection) {
  SetAdapterListProvider(BrokenAdapters);
  DebugCapture log;
  auto* connection = new CConnection(Receive, this);
  EXPECT_EQ(connection->Open(DiscoveryTarget()), 0);
  EXPECT_TRUE(log.Contains("GetAdaptersInfo returns 50"));
  EXPECT_TRUE(HeardSoFar().empty());
  connection->Release();
}

}  // namespace
