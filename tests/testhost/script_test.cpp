// The test host's script language.
#include <gtest/gtest.h>

#include "testhost/Script.h"

namespace {

TEST(Script, ParsesEveryCommand) {
  testhost::Script script;
  std::string error;
  ASSERT_TRUE(script.Parse("# a session\n"
                           "accept timeout=2000\n"
                           "send slot=0xFAFA kind=5 payload=0a0B  # control\n"
                           "send slot=1 sub=16 index=2 fill=300\n"
                           "send slot=3 length=0xFFFFFFFF payload=01\n"
                           "\n"
                           "raw 0c000000\n"
                           "recv count=2 timeout=100\n"
                           "sleep 10\n"
                           "datagram 127.0.0.2 4000 payload=55534253\n"
                           "wait-close\n"
                           "close\n",
                           &error))
      << error;
  const auto& c = script.Commands();
  ASSERT_EQ(c.size(), 10u);
  EXPECT_EQ(c[0].kind, testhost::Command::kAccept);
  EXPECT_EQ(c[0].timeoutMs, 2000);
  EXPECT_EQ(c[1].header.slot, 0xFAFA);
  EXPECT_EQ(c[1].header.kind, 5);
  EXPECT_EQ(c[1].bytes, std::vector<uint8_t>({0x0A, 0x0B}));
  EXPECT_FALSE(c[1].lengthGiven);
  EXPECT_EQ(c[2].header.subKind, 16);
  EXPECT_EQ(c[2].header.index, 2);
  EXPECT_EQ(c[2].bytes.size(), 300u);
  EXPECT_EQ(c[2].bytes[299], static_cast<uint8_t>(299));
  EXPECT_TRUE(c[3].lengthGiven);
  EXPECT_EQ(c[3].header.length, 0xFFFFFFFFu);
  EXPECT_EQ(c[4].bytes, std::vector<uint8_t>({0x0C, 0, 0, 0}));
  EXPECT_EQ(c[5].count, 2);
  EXPECT_EQ(c[6].timeoutMs, 10);
  EXPECT_EQ(c[7].address, "127.0.0.2");
  EXPECT_EQ(c[7].port, 4000);
  EXPECT_EQ(c[9].line, 12);
}

TEST(Script, RejectsBadLinesNamingThem) {
  struct Case {
    const char* text;
    const char* error;
  };
  const Case cases[] = {
      {"accept\nfrobnicate\n", "line 2: unknown command frobnicate"},
      {"send payload=00\n", "line 1: send needs slot="},
      {"send slot=70000\n", "line 1: bad value for slot"},
      {"send slot=1 payload=abc\n", "line 1: bad hex payload"},
      {"send slot=1 payload=00 fill=3\n", "line 1: payload and fill together"},
      {"send slot=1 colour=red\n", "line 1: unknown option colour"},
      {"send slot=1 slot=2\n", "line 1: option given twice"},
      {"raw\n", "line 1: raw needs one hex string"},
      {"sleep soon\n", "line 1: sleep needs milliseconds"},
      {"recv count=-1\n", "line 1: bad value for count"},
      {"close now\n", "line 1: unexpected now"},
      {"datagram 192.168.1.255 4000\n", "line 1: datagram goes to loopback addresses only"},
      {"datagram 127.0.0.1 0\n", "line 1: datagram needs an address and a port"},
  };
  for (const Case& c : cases) {
    testhost::Script script;
    std::string error;
    EXPECT_FALSE(script.Parse(c.text, &error)) << c.text;
    EXPECT_EQ(error, c.error);
    EXPECT_TRUE(script.Commands().empty());
  }
}

}  // namespace

namespace {

TEST(Script, ParsesTheSessionCommands) {
  testhost::Script script;
  std::string error;
  ASSERT_TRUE(script.Parse("accept\n"
                           "handshake encrypted=1 words=8 version=0x03010501 tag=LNXSRV full=0\n"
                           "control code=271 seal=1 payload=0102\n"
                           "control code=266 kind=5 fill=3\n"
                           "echo payload=aa timeout=100\n"
                           "record timeout=50\n",
                           &error))
      << error;
  const auto& c = script.Commands();
  ASSERT_EQ(c.size(), 6u);
  EXPECT_EQ(c[1].kind, testhost::Command::kHandshake);
  EXPECT_TRUE(c[1].handshake.encrypted);
  EXPECT_EQ(c[1].handshake.keyWords, 8);
  EXPECT_EQ(c[1].handshake.version, 0x03010501u);
  EXPECT_EQ(c[1].handshake.serverTag, "LNXSRV");
  EXPECT_FALSE(c[1].handshake.fullReply);
  EXPECT_EQ(c[2].code, 271u);
  EXPECT_TRUE(c[2].seal);
  EXPECT_EQ(c[2].bytes, std::vector<uint8_t>({1, 2}));
  EXPECT_EQ(c[3].header.kind, 5);
  EXPECT_EQ(c[3].bytes.size(), 3u);
  EXPECT_EQ(c[4].kind, testhost::Command::kEcho);
  EXPECT_EQ(c[4].timeoutMs, 100);
  EXPECT_EQ(c[5].kind, testhost::Command::kRecord);

  EXPECT_FALSE(script.Parse("control payload=00\n", &error));
  EXPECT_EQ(error, "line 1: control needs code=");
  EXPECT_FALSE(script.Parse("handshake encrypted=2\n", &error));
  EXPECT_EQ(error, "line 1: bad value for encrypted");
}

}  // namespace
