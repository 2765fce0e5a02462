// The host's side of the session: its cipher forms against the client's
// cipher in both directions, and the pellum-testhost command serving a whole
// encrypted handshake to a real session client.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "../session/ClientDoubles.h"
#include "cryptlib/cryptdata.h"
#include "transport/Connection.h"
#include "session/SlotDataProcessor.h"
#include "session/SlotProcessorFactory.h"
#include "testhost/HostCipher.h"
#include "HostCommand.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A client cipher and a host cipher that share the session key and both
// halves, as after a handshake.
struct PairedCiphers {
  explicit PairedCiphers(int words = 8) {
    EXPECT_TRUE(host.GenerateKeyPair(words, 17));
    PublicKeyRecord key;
    const Bytes record = host.PublicKeyRecord();
    memcpy(key.bytes, record.data(), sizeof key.bytes);
    Bytes wrapped(static_cast<size_t>(words) * 4);
    EXPECT_EQ(client.WrapRandomKey(&key, wrapped.data(), 1), 0);
    EXPECT_TRUE(host.UnwrapSessionKey(wrapped.data(), wrapped.size()));
    ExchangeRecord local;
    for (size_t i = 0; i < 128; ++i) local.bytes[18 + i] = static_cast<uint8_t>(i);
    local.bytes[148] = 24;
    EXPECT_EQ(MakeExchangeValue(&local), 0);
    client.SetLocalHalf(&local);
    EXPECT_TRUE(host.TakeClientExchange(local.bytes, 0, local.bytes + 18, 24));
    const uint8_t tag[8] = {'L', 'N', 'X', 'S', 'R', 'V', ' ', 0};
    RemoteExchangeRecord remote;
    host.MakeHostExchange(tag, 0x0102, remote.bytes);
    memcpy(remote.bytes + 18, tag, 8);
    remote.bytes[26] = 0x02;
    remote.bytes[27] = 0x01;
    EXPECT_EQ(VerifyExchangeValue(&remote), 0);
    client.SetRemoteHalf(&remote);
  }
  testhost::HostCipher host;
  CSessionCipher client;
};

Bytes Pattern(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 13 + 1);
  return b;
}

TEST(HostCipher, SessionKeyUnwrapsForEveryModulusLength) {
  for (int words : {8, 16, 32}) {
    SCOPED_TRACE(words);
    PairedCiphers pair(words);
    uint8_t key[16];
    ASSERT_TRUE(pair.client.GetKey(0, key));
    EXPECT_EQ(0, memcmp(key, pair.host.SessionKey(), 16));
  }
}

TEST(HostCipher, SlotPayloadsBothWays) {
  PairedCiphers pair;
  for (int level = 0; level <= 3; ++level) {
    for (size_t n : {0u, 1u, 7u, 8u, 15u, 16u, 17u, 100u}) {
      SCOPED_TRACE(testing::Message() << "level " << level << ", " << n << " bytes");
      const Bytes payload = Pattern(n);
      // Host to client: the client opens what the host sealed.
      Bytes sealed;
      ASSERT_TRUE(pair.host.SealSlot(payload, level, &sealed));
      uint32_t length = static_cast<uint32_t>(sealed.size());
      ASSERT_EQ(pair.client.DecryptPacket(sealed.data(), sealed.data(), &length, level), 0);
      EXPECT_EQ(Bytes(sealed.begin(), sealed.begin() + length), payload);
      // Client to host.
      const int pad = pair.client.GetPaddingSize(static_cast<uint32_t>(n), level);
      ASSERT_GE(pad, 0);
      Bytes out(n + static_cast<size_t>(pad));
      ASSERT_EQ(pair.client.EncryptPacket(out.data(), payload.data(), static_cast<uint32_t>(n), pad, level), 0);
      Bytes opened;
      ASSERT_TRUE(pair.host.OpenSlot(out, level, &opened));
      EXPECT_EQ(opened, payload);
    }
  }
}

TEST(HostCipher, ControlMessagesBothWays) {
  PairedCiphers pair;
  for (size_t n : {4u, 12u, 20u, 1356u}) {
    SCOPED_TRACE(n);
    const Bytes body = Pattern(n);
    Bytes sealed;
    ASSERT_TRUE(pair.host.SealMessage(body, &sealed));
    uint32_t length = static_cast<uint32_t>(sealed.size());
    ASSERT_EQ(pair.client.DecryptMessage(sealed.data(), sealed.data(), &length, 0), 0);
    EXPECT_EQ(Bytes(sealed.begin(), sealed.begin() + length), body);

    Bytes out(n + 4);
    ASSERT_EQ(pair.client.EncryptMessage(out.data(), body.data(), static_cast<uint32_t>(n), 4, 0), 0);
    Bytes opened;
    ASSERT_TRUE(pair.host.OpenMessage(out, &opened));
    EXPECT_EQ(opened, body);
  }
}

TEST(HostCipher, BlocksBothWays) {
  PairedCiphers pair;
  for (size_t n : {8u, 1370u, 2410u, 2028u}) {
    SCOPED_TRACE(n);
    const Bytes plain = Pattern(n);
    Bytes data = plain;
    CryptBlockRecord record;
    record.flags = CryptBlockRecord::kEncrypt | CryptBlockRecord::kWithDigest | CryptBlockRecord::kBlockKeyVariant;
    record.level = 3;
    record.length = static_cast<uint32_t>(n);
    record.data = data.data();
    ASSERT_EQ(pair.client.CryptBlock(&record), 0);
    ASSERT_NE(data, plain);
    EXPECT_TRUE(pair.host.OpenBlock(data.data(), n, true, 3, record.digest));
    EXPECT_EQ(data, plain);
    data[n / 2] ^= 1;
    Bytes tampered = plain;
    tampered[0] ^= 1;
    EXPECT_FALSE(pair.host.OpenBlock(tampered.data(), n, true, 3, record.digest));

    data = plain;
    ASSERT_TRUE(pair.host.SealBlock(data.data(), n, true, 3, nullptr));
    CryptBlockRecord open;
    open.flags = CryptBlockRecord::kDecrypt | CryptBlockRecord::kBlockKeyVariant;
    open.level = 3;
    open.length = static_cast<uint32_t>(n);
    open.data = data.data();
    ASSERT_EQ(pair.client.CryptBlock(&open), 0);
    EXPECT_EQ(data, plain);
  }
}

TEST(HostCipher, ExchangeValuesCheck) {
  testhost::HostCipher host;
  ExchangeRecord local;
  local.bytes[148] = 16;
  ASSERT_EQ(MakeExchangeValue(&local), 0);
  EXPECT_TRUE(host.TakeClientExchange(local.bytes, 7, local.bytes + 18, 16));
  EXPECT_FALSE(host.TakeClientExchange(local.bytes, 7, local.bytes + 18, 24));
  local.bytes[15] ^= 0x80;
  EXPECT_FALSE(host.TakeClientExchange(local.bytes, 7, local.bytes + 18, 16));
}

// ---------------------------------------------------------------- the command

// Takes whatever reaches its slot.
class KeyboardProcessor : public CSlotDataProcessor {
 public:
  int OnData(const uint8_t*, uint32_t) override { return 0; }
  int OnClientData(const void*, uint32_t) override { return 0; }
};

CSlotDataProcessor* MakeKeyboard(const SlotProcessorContext&) { return new KeyboardProcessor; }

TEST(Command, ServesAnEncryptedHandshakeAndPrintsWhatItReceived) {
  testhosttest::HostCommand command;
  std::string address;
  unsigned port = 0;
  ASSERT_TRUE(command.Start("accept\n"
                            "handshake encrypted=1 words=8\n"
                            "echo payload=0a0b0c\n"
                            "record timeout=10000\n",
                            &address, &port));

  RegisterSlotProcessorMaker(slotname::kKeyboard, MakeKeyboard);
  {
    clienttest::ClientRig rig;
    clienttest::PlainParameters(&rig.params, static_cast<uint16_t>(port));
    rig.params.encryptionLevel = 1;
    ASSERT_EQ(rig.Init(), 0);
    ASSERT_EQ(rig.client->Start(), 0);
    ASSERT_TRUE(rig.api->WaitForState(connection_state::kSessionUp, 15000));
    // The host's echo comes after reply 260: once it is answered the
    // session runs.
    for (int i = 0; i < 1000 && rig.api->traffic.load() == 0; ++i) usleep(10000);
    // Typed while the session runs: sealed on the keyboard slot.
    const uint8_t key[8] = {0x1E, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_GT(rig.client->SendOnSlot(0, key, sizeof key), 8);
  }  // the client stops and hangs up
  RegisterSlotProcessorMaker(slotname::kKeyboard, nullptr);

  std::string rest;
  EXPECT_EQ(command.Finish(&rest), 0) << rest;
  for (const char* expected : {"hello tag=pMPWIND flags=9 size=1540", "slot 0 name=\"VIRTHID \" flags=0x700",
                               "encrypted key=unwrapped digest=ok exchange=ok", "handshake done",
                               "control code=264 kind=5 length=7 body=0a0b0c", "slot=0 length=",
                               "opened body=1e00000000000000", "record ended"}) {
    EXPECT_NE(rest.find(expected), std::string::npos) << expected << "\n" << rest;
  }
}

// A 16 x 16 picture for the painting host, as a binary PPM.
bool WriteSmallPicture(const std::string& path) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return false;
  fprintf(f, "P6\n16 16\n255\n");
  for (int i = 0; i < 16 * 16 * 3; ++i) fputc(i & 0xFF, f);
  return fclose(f) == 0;
}

// With --stop-reading the painting host takes nothing after the handshake:
// the client's bulk sends fill the socket buffers and its queue, and with
// nothing taken for the stall limit the client ends the session.
TEST(Command, StopsReadingAfterTheHandshakeWhenAsked) {
  const std::string picture = ::testing::TempDir() + "stop-reading.ppm";
  ASSERT_TRUE(WriteSmallPicture(picture));
  testhosttest::HostCommand command;
  std::string address;
  unsigned port = 0;
  ASSERT_TRUE(command.StartWith({"--paint", picture, "--stop-reading"}, &address, &port));
  // The painted packets need a display processor to go to.
  RegisterSlotProcessorMaker(slotname::kDisplay, MakeKeyboard);
  {
    clienttest::ClientRig rig;
    clienttest::PlainParameters(&rig.params, static_cast<uint16_t>(port));
    ASSERT_EQ(rig.Init(), 0);
    ASSERT_EQ(rig.client->Start(), 0);
    ASSERT_TRUE(rig.api->WaitForState(5, 60000));
    // The host's keep-alive echo comes after reply 260.
    for (int i = 0; i < 1000 && rig.api->traffic.load() == 0; ++i) usleep(10000);
    CConnection* connection = rig.client->AddConnectionRef();
    ASSERT_NE(connection, nullptr);
    connection->SetStallLimit(2000);
    connection->Release();
    const Bytes bulk(64 * 1024, 0xB0);
    const int size = static_cast<int>(bulk.size());
    int sent = 0;
    while (sent < 100000 && rig.client->SendOnSlot(0, bulk.data(), size) == size) ++sent;
    EXPECT_GT(sent, 0);
    EXPECT_TRUE(rig.api->WaitForState(6, 15000));  // disconnected
  }
  RegisterSlotProcessorMaker(slotname::kDisplay, nullptr);
  std::string rest;
  EXPECT_EQ(command.Finish(&rest), 0) << rest;
  EXPECT_NE(rest.find("painted "), std::string::npos) << rest;
  std::remove(picture.c_str());
}

// The client takes tunnel frames only in an encrypted session and ends a
// plain one on the first: the painting host says so instead of sending one.
TEST(Command, RefusesBrowserVideoInAPlainSession) {
  const std::string picture = ::testing::TempDir() + "plain-browser-video.ppm";
  ASSERT_TRUE(WriteSmallPicture(picture));
  testhosttest::HostCommand command;
  std::string address;
  unsigned port = 0;
  ASSERT_TRUE(command.StartWith({"--paint", picture, "--browser-video", "0,0,8,8,file:///nothing.mp4"}, &address, &port));
  RegisterSlotProcessorMaker(slotname::kDisplay, MakeKeyboard);
  std::string rest;
  {
    clienttest::ClientRig rig;
    clienttest::PlainParameters(&rig.params, static_cast<uint16_t>(port));
    ASSERT_EQ(rig.Init(), 0);
    ASSERT_EQ(rig.client->Start(), 0);
    EXPECT_EQ(command.Finish(&rest), 1) << rest;
    EXPECT_TRUE(rig.api->WaitForState(6, 60000));  // the host hung up
  }
  RegisterSlotProcessorMaker(slotname::kDisplay, nullptr);
  EXPECT_NE(rest.find("browser video needs an encrypted session"), std::string::npos) << rest;
  std::remove(picture.c_str());
}

}  // namespace
