// The control slot: every code with its answer, the sizes of encrypted
// replies, payloads too short for their code, and the clipboard listener
// going away with the processor.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ClientDoubles.h"
#include "cryptlib/cryptdata.h"
#include "session/ControlSlotDataProcessor.h"
#include "transport/Connection.h"
#include "transport/Status.h"
#include "services/Tunnel.h"
#include "testhost/HostCipher.h"
#include "testhost/Wire.h"

namespace {

using Bytes = std::vector<uint8_t>;
using testhost::wire::Append;
using testhost::wire::Read;

struct Sent {
  uint16_t slot;
  uint16_t kind;
  Bytes bytes;
};

// A client that keeps what it would send, with a cipher paired with a host
// cipher when asked.
class RecordingClient : public CHtClient {
 public:
  int SendOnSlot(uint16_t slot, const void* data, uint32_t length) override {
    return Keep(slot, 2, data, length);
  }
  int SendControl(uint16_t kind, const void* data, uint32_t length) override {
    return Keep(0xFAFA, kind, data, length);
  }

  void PairCipher(testhost::HostCipher* host) {
    cipher = new CSessionCipher;
    params->keyExchangeWord = 2;
    ASSERT_TRUE(host->GenerateKeyPair(8, 17));
    PublicKeyRecord key;
    const Bytes record = host->PublicKeyRecord();
    memcpy(key.bytes, record.data(), sizeof key.bytes);
    uint8_t wrapped[32];
    ASSERT_EQ(cipher->WrapRandomKey(&key, wrapped, 1), 0);
    ASSERT_TRUE(host->UnwrapSessionKey(wrapped, sizeof wrapped));
    ExchangeRecord local;
    ASSERT_EQ(MakeExchangeValue(&local), 0);
    cipher->SetLocalHalf(&local);
    ASSERT_TRUE(host->TakeClientExchange(local.bytes, 0, local.bytes + 18, 0));
    const uint8_t tag[8] = {'U', 'T', 'M', 'A', 'S', 'R', 'V', 0};
    RemoteExchangeRecord remote;
    host->MakeHostExchange(tag, 0x1234, remote.bytes);
    memcpy(remote.bytes + 18, tag, 8);
    remote.bytes[26] = 0x34;
    remote.bytes[27] = 0x12;
    ASSERT_EQ(VerifyExchangeValue(&remote), 0);
    cipher->SetRemoteHalf(&remote);
  }
  void SetReplay() { replay = 1; }
  void SetRunning() { sessionState.store(kRunning); }

  std::vector<Sent> TakeSent() {
    std::lock_guard<std::mutex> hold(mutex_);
    std::vector<Sent> out;
    out.swap(sent_);
    return out;
  }

 private:
  int Keep(uint16_t slot, uint16_t kind, const void* data, uint32_t length) {
    std::lock_guard<std::mutex> hold(mutex_);
    const uint8_t* p = static_cast<const uint8_t*>(data);
    sent_.push_back({slot, kind, Bytes(p, p + length)});
    return static_cast<int>(length);
  }
  std::mutex mutex_;
  std::vector<Sent> sent_;
};

class ControlSlotTest : public testing::Test {
 protected:
  void SetUp() override {
    api = new clienttest::FakeSystemApi;
    api->clipboard = &clipboard;
    client = new RecordingClient;
    clienttest::PlainParameters(&params, 1);
    strcpy(params.UserDeviceName, "kiosk-7");
    ASSERT_EQ(client->Init(api, &params), 0);
    control = new CControlSlotDataProcessor;
    ASSERT_EQ(client->SetControlProcessor(control), 0);
    client->SetRunning();
  }
  void TearDown() override {
    client->ReleaseAllProcessors();
    client->Release();
    api->Stop();
    api->Release();
  }
  void Encrypt() { client->PairCipher(&host); }

  int Deliver(uint32_t code, const Bytes& body) {
    Bytes m;
    Append(m, code, 4);
    m.insert(m.end(), body.begin(), body.end());
    return client->OnControlMessage(m.data(), static_cast<int>(m.size()), nullptr);
  }
  int DeliverSealed(uint32_t code, const Bytes& body) {
    Bytes sealed;
    EXPECT_TRUE(host.SealMessage(body, &sealed));
    return Deliver(code, sealed);
  }
  // The record of an encrypted reply the client sent, opened by the host.
  Bytes OpenReply(const Sent& s, uint32_t code) {
    EXPECT_EQ(s.slot, 0xFAFA);
    EXPECT_EQ(Read(s.bytes, 0, 4), code);
    Bytes body;
    EXPECT_TRUE(host.OpenMessage(Bytes(s.bytes.begin() + 4, s.bytes.end()), &body));
    return body;
  }

  clienttest::FakeClipboard clipboard;
  clienttest::FakeSystemApi* api = nullptr;
  CClientConnectionParameter params;
  RecordingClient* client = nullptr;
  CControlSlotDataProcessor* control = nullptr;
  testhost::HostCipher host;
};

Bytes Query(uint32_t id, uint32_t type, uint32_t context) {
  Bytes q;
  Append(q, id, 4);
  Append(q, type, 4);
  Append(q, 0x1111111111111111ull, 8);
  Append(q, context, 4);
  return q;
}

TEST_F(ControlSlotTest, EchoRepliesCarryAtMost296Bytes) {
  for (size_t n : {0u, 10u, 296u, 400u}) {
    SCOPED_TRACE(n);
    Bytes payload(n);
    for (size_t i = 0; i < n; ++i) payload[i] = static_cast<uint8_t>(i);
    const int before = api->traffic.load();
    EXPECT_EQ(Deliver(263, payload), 0);
    EXPECT_EQ(api->traffic.load(), before + 1);
    const std::vector<Sent> sent = client->TakeSent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].kind, 5);
    const size_t kept = std::min<size_t>(n, 296);
    ASSERT_EQ(sent[0].bytes.size(), 4 + kept);
    EXPECT_EQ(Read(sent[0].bytes, 0, 4), 264u);
    EXPECT_TRUE(std::equal(payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(kept),
                           sent[0].bytes.begin() + 4));
  }
}

TEST_F(ControlSlotTest, ServerTextIsBoundedAndLatin1) {
  struct Case {
    Bytes payload;
    std::string shown;
  };
  Bytes noZero(300, 'a');
  const Case cases[] = {
      {noZero, std::string(260, 'a')},
      {{'h', 'i', 0, 'x'}, "hi"},
      {{'c', 0xE9, 0xFF}, "c\xC3\xA9\xC3\xBF"},
      {{}, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Deliver(266, c.payload), 0);
    ASSERT_FALSE(api->Texts().empty());
    EXPECT_EQ(api->Texts().back(), c.shown);
    EXPECT_EQ(api->Captions().back(), "Terminal Server:");
  }
}

TEST_F(ControlSlotTest, QueriesAnswerEncrypted) {
  Encrypt();
  params.vorbisAudioQuality = 7;
  client->SetReplay();  // fixes the adapter address; replies are still sealed
  struct Case {
    uint32_t type;
    int result;
    Bytes data;      // the reply's data, when one is sent
    bool replied;
  };
  Bytes screen(1360, 0);
  screen[0] = 1;
  screen[0x50] = 2;
  screen[0x54] = 0x80;
  screen[0x55] = 0x07;
  screen[0x58] = 0x38;
  screen[0x59] = 0x04;
  screen[0x5C] = 60;
  const Case cases[] = {
      {1, 0, {0, 1, 0, 0, 0xCD, 0xBC, 0xAB, 0x0A, 0, 0, 0, 0}, true},
      {2, 5, {}, false},
      {5, 0, Bytes(20, 0), true},
      {256, 0, {0, 8, 0, 0}, true},
      {259, 0, {}, false},
      {260, 0, {1, 0, 0, 0}, true},
      {261, 0, {0x38, 4, 0, 0}, true},
      {263, 0, {'k', 'i', 'o', 's', 'k', '-', '7', 0}, true},
      {265, 0, {}, false},
      {266, 0, {7, 0, 0, 0}, true},
      {769, 0, screen, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    // In replay mode nothing is decrypted: the query arrives as plain bytes.
    EXPECT_EQ(Deliver(271, Query(9, c.type, 0xC0)), c.result);
    const std::vector<Sent> sent = client->TakeSent();
    ASSERT_EQ(sent.size(), c.replied ? 1u : 0u);
    if (!c.replied) continue;
    const Bytes body = OpenReply(sent[0], 272);
    EXPECT_EQ(Read(body, 0, 4), 9u);
    EXPECT_EQ(Read(body, 4, 4), c.type);
    EXPECT_EQ(Read(body, 8, 4), 0u);
    EXPECT_EQ(Read(body, 12, 4), c.data.size());
    EXPECT_EQ(Read(body, 16, 4), 0xC0u);
    EXPECT_EQ(Read(body, 20, 4), c.data.size());
    EXPECT_EQ(Bytes(body.begin() + 24, body.begin() + 24 + static_cast<std::ptrdiff_t>(c.data.size())), c.data);
  }
}

TEST_F(ControlSlotTest, UnknownAndShortQueriesAreRefused) {
  Encrypt();
  struct Case {
    Bytes query;
    uint32_t id;
    uint32_t type;
  };
  const Case cases[] = {
      {Query(3, 4, 0x99), 3, 4},
      {Bytes{7, 0, 0, 0, 1, 0, 0, 0}, 7, 1},  // a MAC query cut after its type
      {Bytes{}, 0, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DeliverSealed(271, c.query), 0);
    const std::vector<Sent> sent = client->TakeSent();
    ASSERT_EQ(sent.size(), 1u);
    const Bytes body = OpenReply(sent[0], 272);
    EXPECT_EQ(Read(body, 0, 4), c.id);
    EXPECT_EQ(Read(body, 4, 4), c.type);
    EXPECT_EQ(Read(body, 8, 4), 1608u);
    EXPECT_EQ(Read(body, 12, 4), 0u);
    EXPECT_EQ(Read(body, 16, 4), 0u);
    EXPECT_EQ(Read(body, 20, 4), 0u);
  }
}

TEST_F(ControlSlotTest, EncryptedKindsNeedACipher) {
  for (uint32_t code : {271u, 272u, 273u, 274u, 2560u, 2561u}) {
    SCOPED_TRACE(code);
    EXPECT_EQ(Deliver(code, Query(1, 256, 0)), kStatusNotConsumed);
    EXPECT_TRUE(client->TakeSent().empty());
  }
}

TEST_F(ControlSlotTest, SealedMessagesThatDoNotOpenAreNotConsumed) {
  Encrypt();
  EXPECT_EQ(Deliver(271, Bytes(12, 0x55)), kStatusNotConsumed);  // not whole blocks
  EXPECT_EQ(Deliver(2561, Bytes(4, 0x55)), kStatusNotConsumed);
  EXPECT_TRUE(client->TakeSent().empty());
}

TEST_F(ControlSlotTest, ServerEvents) {
  Encrypt();
  auto event = [](uint32_t code, const Bytes& data) {
    Bytes e;
    Append(e, 0, 4);
    Append(e, code, 4);
    Append(e, 0, 4);
    Append(e, data.size(), 4);
    Append(e, 0, 4);
    Append(e, data.size(), 4);
    e.insert(e.end(), data.begin(), data.end());
    return e;
  };
  for (uint32_t code : {1u, 2u, 3u, 5u}) EXPECT_EQ(DeliverSealed(273, event(code, {})), kStatusNotConsumed);
  EXPECT_EQ(DeliverSealed(273, event(4, {})), 0);
  EXPECT_EQ(DeliverSealed(273, event(0x60000, Bytes(2000, 0x41))), 0);  // an unterminated text
  EXPECT_EQ(DeliverSealed(273, event(0x60000, {})), 0);                  // no text at all
  EXPECT_EQ(DeliverSealed(272, Bytes(8, 1)), 0);
  EXPECT_EQ(DeliverSealed(274, Bytes(8, 1)), 0);
  EXPECT_TRUE(client->TakeSent().empty());
}

TEST_F(ControlSlotTest, PlainQueries) {
  Bytes q;
  for (uint32_t w : {0x11u, 0x22u, 1u, 0x33u, 0x44u, 0x55u}) Append(q, w, 4);
  client->SetReplay();
  EXPECT_EQ(Deliver(275, q), 0);
  std::vector<Sent> sent = client->TakeSent();
  ASSERT_EQ(sent.size(), 1u);
  Bytes expected;
  for (uint32_t w : {276u, 0x11u, 0x22u, 1u, 0u, 0x44u, 0x55u, 12u, 256u}) Append(expected, w, 4);
  for (uint8_t b : {0xCD, 0xBC, 0xAB, 0x0A, 0, 0, 0, 0}) expected.push_back(b);
  EXPECT_EQ(sent[0].bytes, expected);
  EXPECT_EQ(sent[0].slot, 0xFAFA);

  q[8] = 2;  // another type
  EXPECT_EQ(Deliver(275, q), kStatusNotConsumed);
  EXPECT_EQ(Deliver(275, Bytes(q.begin(), q.begin() + 23)), kStatusNotConsumed);
  EXPECT_TRUE(client->TakeSent().empty());
}

TEST_F(ControlSlotTest, ClipboardTextBothWays) {
  const Bytes text = {'h', 0, 'i', 0, 0, 0};
  EXPECT_EQ(Deliver(288, text), 0);
  ASSERT_EQ(clipboard.texts.size(), 1u);
  EXPECT_EQ(clipboard.texts[0], text);

  EXPECT_EQ(clipboard.NotifyListener(0, text.data(), static_cast<uint32_t>(text.size())), 0);
  const std::vector<Sent> sent = client->TakeSent();
  ASSERT_EQ(sent.size(), 1u);
  Bytes expected;
  Append(expected, 288, 4);
  expected.insert(expected.end(), text.begin(), text.end());
  EXPECT_EQ(sent[0].bytes, expected);

  // Once the processor is gone the clipboard has no listener left.
  client->ReleaseControlProcessor();
  EXPECT_EQ(clipboard.NotifyListener(0, text.data(), static_cast<uint32_t>(text.size())), -1);
  EXPECT_TRUE(client->TakeSent().empty());
}

TEST_F(ControlSlotTest, LocalTextThatWouldMakeAFrameOverTheLimitIsDroppedAndLaterTextStillGoes) {
  // The server refuses frames over the limit just as the client does.
  const uint32_t fits = static_cast<uint32_t>(CConnection::kMaxPayload) - 4;
  const Bytes big(fits + 1, 'a');
  const struct {
    const char* what;
    uint32_t length;
    int result;
  } cases[] = {{"a frame of exactly the limit", fits, 0}, {"one byte more", fits + 1, -1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(clipboard.NotifyListener(0, big.data(), c.length), c.result);
    const std::vector<Sent> sent = client->TakeSent();
    ASSERT_EQ(sent.size(), c.result == 0 ? 1u : 0u);
    if (!sent.empty()) EXPECT_EQ(sent[0].bytes.size(), CConnection::kMaxPayload);
  }
  const Bytes text = {'o', 0, 'k', 0, 0, 0};
  EXPECT_EQ(clipboard.NotifyListener(0, text.data(), static_cast<uint32_t>(text.size())), 0);
  EXPECT_EQ(client->TakeSent().size(), 1u);
}

TEST_F(ControlSlotTest, SystemMessageRecordIsBoundedAndTerminated) {
  Bytes full(700, 'x');
  EXPECT_EQ(Deliver(1024, full), 0);
  Bytes shortOne = {0, 0, 0, 0};
  EXPECT_EQ(Deliver(1024, shortOne), 0);
  const auto records = api->SystemMessages();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0][16], 'x');
  EXPECT_EQ(records[0][143], 0);
  EXPECT_EQ(records[0][655], 0);
  EXPECT_EQ(records[1], Bytes(656, 0));
}

TEST_F(ControlSlotTest, HandshakeRepliesAndOtherCodes) {
  EXPECT_EQ(Deliver(258, Bytes(488, 0)), kStatusNotConsumed);
  EXPECT_EQ(Deliver(260, Bytes(488, 0)), kStatusNotConsumed);
  for (uint32_t code : {257u, 259u, 261u, 264u, 265u, 267u, 270u, 276u, 287u, 5000u})
    EXPECT_EQ(Deliver(code, Bytes(8, 1)), 0) << code;
  EXPECT_EQ(Deliver(262, Bytes(2644, 0)), 0);  // a key block outside an encrypted session
  Encrypt();
  EXPECT_EQ(Deliver(262, Bytes(2644, 0)), 0);  // whose digest does not match: ignored
  EXPECT_TRUE(client->TakeSent().empty());
}

TEST_F(ControlSlotTest, TunnelFramesAreCheckedBeforeDispatch) {
  Encrypt();
  auto frame = [](const char* object, uint32_t kind, int32_t lengthWord, size_t payload) {
    Bytes f;
    Append(f, 0xF1F2F3F4u, 4);
    f.resize(4 + 16, 0);
    for (size_t i = 0; object[i] && i < 15; ++i) f[4 + i] = static_cast<uint8_t>(object[i]);
    const char method[] = "call";
    f.resize(36, 0);
    memcpy(f.data() + 20, method, 4);
    Append(f, kind, 4);
    Append(f, 1, 8);
    f.resize(52, 0);
    Append(f, static_cast<uint32_t>(lengthWord), 4);
    f.resize(56 + payload, 0);
    return f;
  };
  EXPECT_EQ(Deliver(2560, frame(".nobody", 1, 10, 11)), kStatusFailure);
  EXPECT_EQ(Deliver(2560, frame(".nobody", 3, 10, 10)), kStatusFailure);
  EXPECT_EQ(Deliver(2560, Bytes(55, 0)), kStatusFailure);
  EXPECT_EQ(Deliver(2560, frame(".nobody", 1, 10, 10)), 0);  // no such sink: dispatched, nothing sent
  EXPECT_EQ(DeliverSealed(2561, frame(".nobody", 2, 0, 0)), 0);
  EXPECT_TRUE(client->TakeSent().empty());
}

// The code alone, and messages cut inside the code.
TEST_F(ControlSlotTest, EveryCodeWithATooShortPayload) {
  Encrypt();
  struct Case {
    uint32_t code;
    int result;
  };
  const Case cases[] = {{257, 0}, {258, 5}, {259, 0},  {260, 5},    {262, 0},  {263, 0},    {264, 0},
                        {266, 0}, {271, 5}, {272, 5},  {273, 5},    {274, 5},  {275, 5},    {276, 0},
                        {288, 0}, {1024, 0}, {2560, 9999}, {2561, 5}, {0, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    Bytes m;
    Append(m, c.code, 4);
    EXPECT_EQ(client->OnControlMessage(m.data(), static_cast<int>(m.size()), nullptr), c.result);
    for (int cut = 1; cut < 4; ++cut) EXPECT_EQ(client->OnControlMessage(m.data(), cut, nullptr), 0);
  }
  client->TakeSent();
}

TEST_F(ControlSlotTest, ReplySizes) {
  Encrypt();
  for (uint32_t n = 0; n <= 40; ++n) {
    SCOPED_TRACE(n);
    Bytes record(n);
    for (uint32_t i = 0; i < n; ++i) record[i] = static_cast<uint8_t>(0xA0 + i);
    EXPECT_EQ(control->SendReply(client, 273, record.data(), n), 1);
    const std::vector<Sent> sent = client->TakeSent();
    ASSERT_EQ(sent.size(), 1u);
    const size_t expected = ((n + 11) / 8) * 8 + 4;
    EXPECT_EQ(sent[0].bytes.size(), expected);
    const Bytes body = OpenReply(sent[0], 273);
    ASSERT_EQ(body.size(), expected - 8);
    EXPECT_EQ(Bytes(body.begin(), body.begin() + n), record);
  }
  // The worked case: five bytes padded to twelve, a message of twenty.
  const uint8_t five[5] = {1, 2, 3, 4, 5};
  control->SendReply(client, 272, five, 5);
  EXPECT_EQ(client->TakeSent()[0].bytes.size(), 20u);
}

TEST_F(ControlSlotTest, RepliesAreNeverSentPlain) {
  const uint8_t record[8] = {};
  EXPECT_EQ(control->SendReply(client, 272, record, sizeof record), 0);
  EXPECT_EQ(client->SendClientEvent(0x4A000, record, 4), 0);
  EXPECT_TRUE(client->TakeSent().empty());
}

TEST_F(ControlSlotTest, ClientEventRecord) {
  Encrypt();
  const uint8_t data[4] = {9, 8, 7, 6};
  EXPECT_EQ(client->SendClientEvent(0x4A000, data, sizeof data), 0);
  const std::vector<Sent> sent = client->TakeSent();
  ASSERT_EQ(sent.size(), 1u);
  const Bytes body = OpenReply(sent[0], 273);
  Bytes expected;
  for (uint32_t w : {0u, 0x4A000u, 0u, 4u, 0u, 4u}) Append(expected, w, 4);
  expected.insert(expected.end(), data, data + 4);
  EXPECT_EQ(Bytes(body.begin(), body.begin() + 28), expected);
}

TEST_F(ControlSlotTest, WholeMessagesFromTheLocalSide) {
  const Bytes message = {0x20, 0x01, 0, 0, 1, 2, 3};
  EXPECT_EQ(client->FeedControlProcessor(message.data(), static_cast<uint32_t>(message.size())), 0);
  const std::vector<Sent> sent = client->TakeSent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].bytes, message);
  client->ReleaseControlProcessor();
  EXPECT_EQ(client->FeedControlProcessor(message.data(), static_cast<uint32_t>(message.size())), kStatusNotConsumed);
  EXPECT_EQ(client->SendClientEvent(1, nullptr, 0), -1);
}

}  // namespace
