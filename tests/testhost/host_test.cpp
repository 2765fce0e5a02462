// The test host's framing and datagram modules seen from a plain socket,
// and the pellum-testhost command serving a real connection.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "transport/Connection.h"
#include "testhost/Datagram.h"
#include "testhost/Framing.h"
#include "HostCommand.h"

namespace {

int ConnectTo(const sockaddr_in& a) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::vector<uint8_t> ReadAll(int fd, size_t n) {
  std::vector<uint8_t> out(n);
  size_t got = 0;
  while (got < n) {
    ssize_t r = read(fd, out.data() + got, n - got);
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  out.resize(got);
  return out;
}

TEST(Framing, FramesOnTheWire) {
  testhost::Listener host;
  ASSERT_TRUE(host.Listen());
  ASSERT_NE(host.Port(), 0);
  int client = ConnectTo(host.Address());
  ASSERT_GE(client, 0);
  auto peer = host.Accept(5000);
  ASSERT_TRUE(peer);

  ASSERT_TRUE(peer->SendFrame(0x0102, {0xAB, 0xCD}, 5, 0x10, 0x03));
  const std::vector<uint8_t> want = {2, 0, 0, 0, 5, 0, 0x02, 0x01, 0x10, 0x03, 0, 0, 0xAB, 0xCD};
  EXPECT_EQ(ReadAll(client, want.size()), want);

  const uint8_t up[] = {3, 0, 0, 0, 2, 0, 0xFA, 0xFA, 0, 0, 0, 0, 7, 8, 9, 0, 0, 0, 0, 2, 0, 4, 0, 0, 0, 0, 0};
  ASSERT_EQ(write(client, up, sizeof up), static_cast<ssize_t>(sizeof up));
  testhost::Frame f;
  ASSERT_EQ(peer->ReadFrame(&f, 5000), testhost::ReadResult::kFrame);
  EXPECT_EQ(f.header.slot, 0xFAFA);
  EXPECT_EQ(f.header.kind, 2);
  EXPECT_EQ(f.payload, std::vector<uint8_t>({7, 8, 9}));
  ASSERT_EQ(peer->ReadFrame(&f, 5000), testhost::ReadResult::kFrame);
  EXPECT_EQ(f.header.slot, 4);
  EXPECT_TRUE(f.payload.empty());
  EXPECT_EQ(peer->ReadFrame(&f, 50), testhost::ReadResult::kTimeout);

  peer->Close();
  uint8_t byte;
  EXPECT_EQ(read(client, &byte, 1), 0);
  close(client);
}

TEST(Framing, RecordingAndClose) {
  testhost::Listener host;
  ASSERT_TRUE(host.Listen());
  int client = ConnectTo(host.Address());
  auto peer = host.Accept(5000);
  ASSERT_TRUE(peer);
  peer->StartRecording();
  const uint8_t two[] = {1, 0, 0, 0, 2, 0, 1, 0, 0, 0, 0, 0, 42, 0, 0, 0, 0, 2, 0, 2, 0, 0, 0, 0, 0};
  ASSERT_EQ(write(client, two, sizeof two), static_cast<ssize_t>(sizeof two));
  ASSERT_TRUE(peer->WaitForFrames(2, 5000));
  auto frames = peer->Frames();
  EXPECT_EQ(frames[0].payload, std::vector<uint8_t>({42}));
  EXPECT_EQ(frames[1].header.slot, 2);
  close(client);
  EXPECT_FALSE(peer->WaitForFrames(3, 5000));
  EXPECT_TRUE(peer->RecorderSawClose());
}

TEST(Framing, NobodyConnectingIsATimeout) {
  testhost::Listener host;
  ASSERT_TRUE(host.Listen("127.0.0.1"));
  EXPECT_FALSE(host.Accept(50));
  EXPECT_FALSE(host.Listen("10.0.0.300"));
}

TEST(Datagrams, SendAndReceive) {
  testhost::DatagramPeer a, b;
  ASSERT_TRUE(a.Bind("127.0.0.1"));
  ASSERT_TRUE(b.Bind("127.0.0.2"));
  const uint8_t data[] = {1, 2, 3};
  ASSERT_TRUE(a.SendTo(b.Address(), data, sizeof data));
  ASSERT_TRUE(a.SendTo(b.Address(), nullptr, 0));
  std::vector<uint8_t> got;
  sockaddr_in from{};
  ASSERT_TRUE(b.Receive(&got, &from, 5000));
  EXPECT_EQ(got, std::vector<uint8_t>({1, 2, 3}));
  EXPECT_EQ(ntohs(from.sin_port), a.Port());
  ASSERT_TRUE(b.Receive(&got, &from, 5000));
  EXPECT_TRUE(got.empty());
  EXPECT_FALSE(b.Receive(&got, &from, 20));
}

// The command runs a script against a client connection.
struct Heard {
  std::mutex mutex;
  std::vector<std::pair<int, std::vector<uint8_t>>> packets;
};

int Receive(int slot, const sockaddr_in*, const uint8_t* data, int length, CConnection*, void* user) {
  auto* heard = static_cast<Heard*>(user);
  std::lock_guard<std::mutex> hold(heard->mutex);
  heard->packets.emplace_back(slot, data ? std::vector<uint8_t>(data, data + length) : std::vector<uint8_t>());
  return 0;
}

TEST(Command, ServesALoopbackConnection) {
  testhosttest::HostCommand command;
  std::string address;
  unsigned port = 0;
  ASSERT_TRUE(command.Start("accept\n"
                            "send slot=3 payload=010203\n"
                            "raw 02000000020004\n"
                            "raw 00000000000a0b\n"
                            "recv\n"
                            "close\n",
                            &address, &port));
  EXPECT_EQ(address, "127.0.0.1");

  Heard heard;
  auto* connection = new CConnection(Receive, &heard);
  ConnectTarget target;
  target.framing = 1;
  target.transport = 1;
  target.addresses[0] = testhost::LoopbackAddress("127.0.0.1", static_cast<uint16_t>(port));
  ASSERT_EQ(connection->Open(target), 1);
  const uint8_t reply[] = {9, 9};
  const uint16_t kind = 5;
  EXPECT_EQ(connection->Send(0xFAFA, reply, sizeof reply, &kind), 2);
  connection->ReceiveLoop();  // until the host closes
  connection->Close();
  connection->Release();

  std::string rest;
  EXPECT_EQ(command.Finish(&rest), 0) << rest;
  EXPECT_NE(rest.find("frame slot=0xfafa kind=5 sub=0 index=0x0 length=2 payload=0909"), std::string::npos) << rest;
  EXPECT_NE(rest.find("closed"), std::string::npos);

  std::vector<std::pair<int, std::vector<uint8_t>>> want = {
      {-1, {}}, {3, {1, 2, 3}}, {4, {0x0A, 0x0B}}, {-1, {}}};
  EXPECT_EQ(heard.packets, want);
}

// --help names every option the command takes, each with its meaning on
// the next line, and ends well; anything it does not know gets the usage
// on standard error and the bad-command-line status.
TEST(Command, HelpListsEveryOptionAndABadOptionGetsTheUsage) {
  const char* const options[] = {
      "--address",       "--port",          "--script",          "--discovery",       "--paint",
      "--paint-with",    "--play",          "--tone",            "--stop-reading",    "--clipboard",
      "--play-h264",     "--play-mjpeg",    "--play-player",     "--play-player-avc1", "--play-mpeg2",
      "--browser-video", "--play-tsmf",     "--tsmf-geometry",   "--tsmf-visible",    "--tsmf-window",
      "--microphone",    "--smartcard",     "--help",
  };
  std::string out, err;
  ASSERT_EQ(testhosttest::HostCommand::Run({"--help"}, &out, &err), 0) << err;
  for (const char* option : options) {
    SCOPED_TRACE(option);
    const size_t at = out.find("\n  " + std::string(option) + " ");
    const size_t bare = out.find("\n  " + std::string(option) + "\n");
    const size_t found = at != std::string::npos ? at : bare;
    ASSERT_NE(found, std::string::npos) << out;
    const size_t next = out.find('\n', found + 1);
    ASSERT_NE(next, std::string::npos);
    EXPECT_EQ(out.compare(next + 1, 6, "      "), 0) << "no meaning under " << option;
  }

  const std::vector<std::vector<std::string>> bad = {
      {"--bogus"}, {"--paint"}, {"--tone", "0"}, {"--microphone", "x"}, {"--smartcard"}, {"--port", "70000"}};
  for (const auto& args : bad) {
    SCOPED_TRACE(args[0]);
    out.clear();
    err.clear();
    EXPECT_EQ(testhosttest::HostCommand::Run(args, &out, &err), 2);
    EXPECT_EQ(err.compare(0, 22, "usage: pellum-testhost"), 0) << err;
    EXPECT_EQ(out, "");
  }
}

}  // namespace
