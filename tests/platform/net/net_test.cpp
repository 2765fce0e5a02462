// The socket stand-ins: bounded and abortable connects, sends that never
// raise SIGPIPE, datagram sizes, and the adapter-list seam.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "pelplat/net.h"
#include "pelplat/winerror.h"
#include "testhost/Datagram.h"
#include "testhost/Framing.h"

namespace {

sockaddr_in Address(const char* dotted, uint16_t port) { return testhost::LoopbackAddress(dotted, port); }

// A listener whose backlog is full: further connects get no answer.
struct SilentServer {
  SilentServer() {
    listener.Listen("127.0.0.1", 0, 0);
    for (int i = 0; i < 4; ++i) {
      SOCKET s = SocketOpen(AF_INET, SOCK_STREAM);
      sockaddr_in a = listener.Address();
      SocketConnect(s, &a, 50, nullptr);
      fillers.push_back(s);
    }
  }
  ~SilentServer() {
    for (SOCKET s : fillers) closesocket(s);
  }
  testhost::Listener listener;
  std::vector<SOCKET> fillers;
};

TEST(Net, ConnectOutcomes) {
  testhost::Listener open;
  ASSERT_TRUE(open.Listen());
  SilentServer silent;

  SOCKET s = SocketOpen(AF_INET, SOCK_STREAM);
  sockaddr_in a = open.Address();
  EXPECT_EQ(SocketConnect(s, &a, 5000, nullptr), 0);
  closesocket(s);

  s = SocketOpen(AF_INET, SOCK_STREAM);
  a = Address("127.0.0.2", open.Port());
  EXPECT_EQ(SocketConnect(s, &a, 5000, nullptr), -1);
  EXPECT_EQ(GetLastError(), WSAECONNREFUSED);
  closesocket(s);

  s = SocketOpen(AF_INET, SOCK_STREAM);
  a = silent.listener.Address();
  EXPECT_EQ(SocketConnect(s, &a, 200, nullptr), -1);
  EXPECT_EQ(GetLastError(), WSAETIMEDOUT);
  closesocket(s);

  std::atomic<bool> abort{false};
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    abort = true;
  });
  s = SocketOpen(AF_INET, SOCK_STREAM);
  EXPECT_EQ(SocketConnect(s, &a, 60000, &abort), -1);
  EXPECT_EQ(GetLastError(), WSAEINTR);
  stopper.join();
  closesocket(s);
}

TEST(Net, SendingToAClosedPeerFailsWithoutSignal) {
  testhost::Listener host;
  ASSERT_TRUE(host.Listen());
  SOCKET s = SocketOpen(AF_INET, SOCK_STREAM);
  sockaddr_in a = host.Address();
  ASSERT_EQ(SocketConnect(s, &a, 5000, nullptr), 0);
  host.Accept(5000).reset();
  std::vector<uint8_t> data(65536, 1);
  int r = 0;
  for (int i = 0; i < 100 && r >= 0; ++i) {
    r = SocketSend(s, data.data(), static_cast<int>(data.size()), nullptr);
    if (r == SOCKET_WOULD_BLOCK) SocketWaitWritable(s, 100);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(r, -1);
  closesocket(s);
}

TEST(Net, DatagramsReportTheirRealSize) {
  SOCKET s = SocketOpen(AF_INET, SOCK_DGRAM);
  sockaddr_in local = Address("127.0.0.1", 0);
  ASSERT_EQ(SocketBind(s, &local), 0);
  ASSERT_EQ(SocketLocalAddress(s, &local), 0);
  testhost::DatagramPeer peer;
  ASSERT_TRUE(peer.Bind());
  std::vector<uint8_t> big(1500, 7);
  ASSERT_TRUE(peer.SendTo(local, big.data(), big.size()));
  ASSERT_TRUE(peer.SendTo(local, nullptr, 0));
  bool ready = false;
  ASSERT_EQ(SocketWaitReadable(&s, 1, 5000, &ready), 1);
  uint32_t pending = 0;
  ASSERT_EQ(SocketPendingBytes(s, &pending), 0);
  EXPECT_EQ(pending, 1500u);

  uint8_t small[100];
  sockaddr_in from{};
  int full = 0;
  EXPECT_EQ(SocketReceiveFrom(s, small, sizeof small, &from, &full), 100);
  EXPECT_EQ(full, 1500);
  EXPECT_EQ(ntohs(from.sin_port), peer.Port());
  ASSERT_EQ(SocketWaitReadable(&s, 1, 5000, &ready), 1);
  EXPECT_EQ(SocketReceiveFrom(s, small, sizeof small, &from, &full), 0);
  EXPECT_EQ(full, 0);
  EXPECT_EQ(SocketReceiveFrom(s, small, sizeof small, &from, &full), SOCKET_WOULD_BLOCK);
  closesocket(s);
}

TEST(Net, NameService) {
  struct Case {
    const char* text;
    bool dotted;
  };
  for (Case c : {Case{"127.0.0.1", true}, Case{"10.1.2.3", true}, Case{"255.255.255.255", true},
                 Case{"127.1", false}, Case{"1.2.3.4.5", false}, Case{"", false}, Case{"localhost", false}}) {
    in_addr a{};
    EXPECT_EQ(ParseDottedIPv4(c.text, &a), c.dotted) << c.text;
  }
  in_addr found[8];
  ASSERT_GE(ResolveHostIPv4("localhost", found, 8), 1);
  EXPECT_EQ(ntohl(found[0].s_addr), 0x7F000001u);
  EXPECT_EQ(ResolveHostIPv4("no-such-host.invalid", found, 8), 0);
}

DWORD TwoAdapters(std::vector<NetAdapter>& out) {
  out.assign(2, NetAdapter{});
  out[0].name = "eth9";
  out[0].type = MIB_IF_TYPE_ETHERNET;
  return ERROR_SUCCESS;
}

TEST(Net, TheAdapterListProviderCanBeReplaced) {
  std::vector<NetAdapter> list;
  ASSERT_EQ(SystemAdapterList(list), ERROR_SUCCESS);
  bool loopback = false;
  for (const NetAdapter& a : list) {
    if (a.type == MIB_IF_TYPE_LOOPBACK && ntohl(a.firstAddress.s_addr) == 0x7F000001u) loopback = true;
  }
  EXPECT_TRUE(loopback);

  AdapterListProvider before = SetAdapterListProvider(TwoAdapters);
  EXPECT_EQ(GetAdapterList(list), ERROR_SUCCESS);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].name, "eth9");
  EXPECT_EQ(SetAdapterListProvider(before), TwoAdapters);
}

}  // namespace
