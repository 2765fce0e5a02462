// The session client's own rules: registration and configuration of
// processors, delivery by slot, sends on slots that the table marks as
// encrypted (never in plain), the display layout and the fixed answers.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "ClientDoubles.h"
#include "cryptlib/cryptdata.h"
#include "transport/Connection.h"
#include "transport/PacketPool.h"
#include "services/RemoteIo.h"
#include "session/SlotDataProcessor.h"
#include "transport/Status.h"
#include "testhost/Framing.h"

namespace {

using Bytes = std::vector<uint8_t>;

class CountingProcessor : public CSlotDataProcessor {
 public:
  int OnData(const uint8_t* data, uint32_t length) override {
    received.emplace_back(data, data + length);
    return 0;
  }
  int OnClientData(const void*, uint32_t length) override {
    fed.push_back(length);
    return 0;
  }
  void OnActivate(int value) override { activations.push_back(value); }
  void OnWindowMoved(UINT_PTR a, UINT_PTR) override { moves.push_back(a); }
  void OnDisplayUpdated(UINT_PTR, UINT_PTR) override { ++updates; }
  int OnServerDisplayBlock(const void*) override { return 0; }

  std::vector<Bytes> received;
  std::vector<uint32_t> fed;
  std::vector<int> activations;
  std::vector<UINT_PTR> moves;
  int updates = 0;
};

// A client whose connection and session state a test sets directly.
class WiredClient : public CHtClient {
 public:
  ~WiredClient() override { Unwire(); }
  void Wire(CConnection* c) {
    CxAutoLock hold(&lock);
    c->AddRef();
    connection = c;
  }
  void Unwire() {
    CxAutoLock hold(&lock);
    if (connection) connection->Release();
    connection = nullptr;
  }
  void SetRunning() { sessionState.store(kRunning); }
  void GiveCipher() { cipher = new CSessionCipher; }
  void SetStreamSlot(uint16_t slot) { streamSlots[0] = slot; }
};

Bytes Entry(const char* name, uint16_t flags) {
  Bytes e(16, 0);
  memcpy(e.data(), name, 8);
  e[8] = 1;
  e[14] = static_cast<uint8_t>(flags);
  e[15] = static_cast<uint8_t>(flags >> 8);
  return e;
}

PacketBuffer* Packet(uint16_t slot, const Bytes& payload) {
  PacketBuffer* b = CPacketPool::Global().Acquire(payload.size(), 0);
  PacketHeader h;
  h.length = static_cast<uint32_t>(payload.size());
  h.slot = slot;
  h.kind = 2;
  h.Write(b->data, b->area);
  if (!payload.empty()) memcpy(b->Payload(), payload.data(), payload.size());
  b->filled = static_cast<uint32_t>(PacketHeader::kSize + payload.size());
  return b;
}

TEST(Client, RegistrationRules) {
  WiredClient* client = new WiredClient;
  CountingProcessor* p = new CountingProcessor;
  EXPECT_EQ(client->RegisterSlotProcessor(20, p), kStatusBadArgument);
  EXPECT_EQ(client->RegisterSlotProcessor(5, p), 0);
  CountingProcessor* q = new CountingProcessor;
  EXPECT_EQ(client->RegisterSlotProcessor(5, q), kStatusTaken);
  delete q;
  EXPECT_EQ(p->Slot(), 5);
  EXPECT_EQ(client->ProcessorCount(), 6);
  EXPECT_EQ(client->RefCount(), 2);  // the attached processor holds the client

  EXPECT_EQ(client->ConfigureSlotProcessor(20, nullptr, 0, nullptr, 0), kStatusFailure);
  EXPECT_EQ(client->ConfigureSlotProcessor(4, nullptr, 0, nullptr, 0), 0);
  const Bytes entry = Entry("HPVCARD ", 0x680);
  const Bytes block(796, 3);
  EXPECT_EQ(client->ConfigureSlotProcessor(5, entry.data(), 16, block.data(), 796), 0);
  EXPECT_EQ(client->GetSlotFlags(5), 0x680);
  EXPECT_EQ(p->ParameterBlockLength(), 796u);
  // The server's entry replaces the copy; no block leaves the old one.
  const Bytes server = Entry("HPVCARD ", 0x1234);
  EXPECT_EQ(client->ConfigureSlotProcessor(5, server.data(), 16, nullptr, 0), 0);
  EXPECT_EQ(client->GetSlotFlags(5), 0x1234);
  EXPECT_EQ(p->ParameterBlockLength(), 796u);
  EXPECT_EQ(client->GetSlotFlags(4), 0);
  EXPECT_EQ(client->GetSlotFlags(25), 0);

  EXPECT_EQ(client->FeedProcessor(5, "ab", 2), 0);
  EXPECT_EQ(client->FeedProcessor(4, "ab", 2), kStatusFailure);
  EXPECT_EQ(client->FeedProcessor(6, "ab", 2), kStatusFailure);
  EXPECT_EQ(p->fed, std::vector<uint32_t>{2});

  EXPECT_EQ(client->ReleaseSlotProcessor(20), kStatusTaken);
  EXPECT_EQ(client->ReleaseSlotProcessor(5), 0);
  EXPECT_EQ(client->RefCount(), 1);
  client->Release();
}

TEST(Client, DeliveryBySlot) {
  WiredClient* client = new WiredClient;
  clienttest::FakeSystemApi* api = new clienttest::FakeSystemApi;
  CClientConnectionParameter params;
  ASSERT_EQ(client->Init(api, &params), 0);
  CountingProcessor* p = new CountingProcessor;
  ASSERT_EQ(client->RegisterSlotProcessor(5, p), 0);

  struct Case {
    uint16_t slot;
    int32_t result;
    size_t received;
  };
  const Case cases[] = {{7, kStatusFailure, 0}, {6, kStatusFailure, 0}, {3, 0, 0}, {5, 0, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.slot);
    PacketBuffer* b = Packet(c.slot, {1, 2, 3});
    EXPECT_EQ(client->DeliverSlotPacket(b, nullptr), 0);
    EXPECT_EQ(b->result, c.result);
    CPacketPool::Release(b);
    EXPECT_EQ(p->received.size(), c.received);
  }
  EXPECT_EQ(api->traffic.load(), 1);
  Bytes data = {4, 5};
  EXPECT_EQ(client->DeliverSlotData(5, data.data(), 2), 0);
  EXPECT_EQ(client->DeliverSlotData(3, data.data(), 2), 0);
  EXPECT_EQ(client->DeliverSlotData(9, data.data(), 2), kStatusFailure);
  EXPECT_EQ(p->received.back(), data);

  // A packet for an encrypted slot that does not decrypt ends the session
  // and never reaches the processor.
  client->GiveCipher();
  const Bytes entry = Entry("HPVCARD ", 0x80);
  client->ConfigureSlotProcessor(5, entry.data(), 16, nullptr, 0);
  PacketBuffer* b = Packet(5, Bytes(16, 9));
  client->DeliverSlotPacket(b, nullptr);
  EXPECT_EQ(b->result, kCipherFailed);
  CPacketPool::Release(b);
  EXPECT_EQ(p->received.size(), 2u);

  // The GUI's calls reach the processors.
  client->SetStreamSlot(5);
  client->NotifyProcessors(1);
  client->StreamSlotCallA(42, 0);
  client->StreamSlotCallB(0, 0);
  EXPECT_EQ(p->activations, std::vector<int>{1});
  EXPECT_EQ(p->moves, std::vector<UINT_PTR>{42});
  EXPECT_EQ(p->updates, 1);

  client->ReleaseAllProcessors();
  api->Stop();
  client->Release();
  api->Release();
}

TEST(Client, FixedAnswers) {
  WiredClient* client = new WiredClient;
  EXPECT_EQ(client->QueryFeature(), 0x0FFFFFFFu);
  EXPECT_STREQ(client->GetClientType(), "HT client");
  WCHAR text[128] = {};
  client->GetStatusText(text, 127);
  EXPECT_EQ(text[0], 0);
  client->GetStatusText(text, 128);
  EXPECT_EQ(std::u16string(text), u"Initializing");
  EXPECT_EQ(client->Stop(), -1);
  EXPECT_EQ(client->Start(), -1);  // not initialised
  EXPECT_EQ(client->Init(nullptr, nullptr), -1);
  EXPECT_EQ(client->GetParamFlags(), 0);
  WCHAR name[8] = {1};
  EXPECT_EQ(client->GetServerName(name, 0), -1);
  EXPECT_EQ(client->GetServerName(name, 8), 0);
  EXPECT_EQ(name[0], 0);
  EXPECT_EQ(client->SendOnSlot(0xFAFA, "x", 1), kStatusNoConnection);
  EXPECT_EQ(client->SendControl(5, "x", 1), kStatusNoConnection);
  client->Release();
}

TEST(Client, DisplayOrigins) {
  WiredClient* client = new WiredClient;
  const uint16_t sizes[2][2] = {{1920, 1080}, {1280, 1024}};
  const int16_t origins[2][2] = {{0, 0}, {-1280, 56}};
  uint8_t bytes[DisplayOrigin::kSize];

  client->SetDisplayLayout(1, sizes, origins);
  client->GetDisplayOrigin(1).Write(bytes);
  EXPECT_EQ(Bytes(bytes, bytes + 9), Bytes(9, 0));
  client->GetDisplayOrigin(0).Write(bytes);
  EXPECT_EQ(Bytes(bytes, bytes + 9), (Bytes{1, 0, 0, 0, 0, 0x80, 0x07, 0x38, 0x04}));

  client->SetDisplayLayout(2, sizes, origins);
  client->GetDisplayOrigin(1).Write(bytes);
  EXPECT_EQ(Bytes(bytes, bytes + 9), (Bytes{1, 0x00, 0xFB, 56, 0, 0x00, 0x05, 0x00, 0x04}));
  client->GetDisplayOrigin(-1).Write(bytes);
  EXPECT_EQ(Bytes(bytes, bytes + 9), Bytes(9, 0));
  client->Release();
}

TEST(Client, RemoteIoIsMadeOnDemand) {
  WiredClient* client = new WiredClient;
  std::shared_ptr<qmt::RemoteIo> first = client->GetRemoteIo(false);
  ASSERT_TRUE(first);
  EXPECT_EQ(client->GetRemoteIo(false), first);
  std::shared_ptr<qmt::RemoteIo> second = client->GetRemoteIo(true);
  EXPECT_NE(second, first);
  client->Release();  // both may outlive the client, detached
  EXPECT_EQ(first->Handle(), 0);
}

// Sends over a real connection to the test host, which sees every frame.
class ClientSends : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(host.Listen());
    connection = new CConnection(nullptr, nullptr);
    ConnectTarget target;
    target.framing = 1;
    target.transport = 1;
    target.addresses[0] = host.Address();
    ASSERT_EQ(connection->Open(target), 1);
    peer = host.Accept(5000);
    ASSERT_TRUE(peer);
    client = new WiredClient;
    client->Wire(connection);
    processor = new CountingProcessor;
    ASSERT_EQ(client->RegisterSlotProcessor(0, processor), 0);
  }
  void TearDown() override {
    client->ReleaseAllProcessors();
    client->Release();
    connection->Close();
    connection->Release();
  }
  void Flags(uint16_t flags) {
    const Bytes entry = Entry("VIRTHID ", flags);
    client->ConfigureSlotProcessor(0, entry.data(), 16, nullptr, 0);
  }
  // The next frame the host reads.
  testhost::Frame Next() {
    testhost::Frame f;
    EXPECT_EQ(peer->ReadFrame(&f, 5000), testhost::ReadResult::kFrame);
    return f;
  }

  testhost::Listener host;
  std::unique_ptr<testhost::FramedPeer> peer;
  CConnection* connection = nullptr;
  WiredClient* client = nullptr;
  CountingProcessor* processor = nullptr;
};

TEST_F(ClientSends, SlotDataWaitsForTheRunningSession) {
  const Bytes key = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(client->SendOnSlot(0, key.data(), 8), 0);
  EXPECT_EQ(client->SendOnSlot(0xFAFA, "mark", 4), 4);
  client->SetRunning();
  EXPECT_EQ(client->SendOnSlot(0, key.data(), 8), 8);
  EXPECT_EQ(client->SendControl(5, "echo", 4), 4);

  testhost::Frame f = Next();
  EXPECT_EQ(f.header.slot, 0xFAFA);
  EXPECT_EQ(f.header.kind, 2);
  EXPECT_EQ(f.payload, (Bytes{'m', 'a', 'r', 'k'}));
  f = Next();
  EXPECT_EQ(f.header.slot, 0);
  EXPECT_EQ(f.payload, key);
  f = Next();
  EXPECT_EQ(f.header.slot, 0xFAFA);
  EXPECT_EQ(f.header.kind, 5);
}

TEST_F(ClientSends, EncryptedSlotsNeverCarryPlainBytes) {
  client->SetRunning();
  const Bytes key = {0x1E, 0, 0, 0, 1, 0, 0, 0};
  struct Case {
    const char* name;
    uint16_t flags;
    bool cipher;
  };
  const Case cases[] = {
      {"no cipher", 0x700, false},
      {"level 3, cipher not yet keyed (no padding size)", 0x700, true},
      {"level 0, cipher not yet keyed (encryption fails)", 0x100, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.cipher && !client->Cipher()) client->GiveCipher();
    Flags(c.flags);
    EXPECT_EQ(client->SendOnSlot(0, key.data(), static_cast<uint32_t>(key.size())), 0);
  }
  EXPECT_EQ(client->SendOnSlot(0xFAFA, "mark", 4), 4);
  const testhost::Frame f = Next();
  EXPECT_EQ(f.header.slot, 0xFAFA);  // nothing went out before the mark
}

}  // namespace
