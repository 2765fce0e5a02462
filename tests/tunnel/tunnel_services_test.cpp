// The built-in tunnel services: what each handler does with the payloads it
// accepts and refuses, and the remote I/O probe of a loopback session as
// the test host sees it.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "TunnelDoubles.h"
#include "transport/Connection.h"
#include "services/RemoteIo.h"
#include "services/Tunnel.h"
#include "services/TunnelServices.h"
#include "support/FakeSystemApi.h"
#include "testhost/Framing.h"
#include "testhost/RemoteIoServer.h"
#include "testhost/Tunnel.h"
#include "testhost/Wire.h"

using namespace ybx::tunnel;
using testhost::RemoteIoRequest;
using testhost::RemoteIoServer;
using testhost::TunnelCall;
using tunneltest::RecordingClient;

namespace {

class DisplayProcessor : public CSlotDataProcessor {
 public:
  int OnData(const uint8_t*, uint32_t) override { return 0; }
  int OnClientData(const void*, uint32_t) override { return 0; }
};

// A recording client whose control messages carry tunnel frames straight to
// its registry, as the control slot of an encrypted session would.
class ServicesClient : public RecordingClient {
 public:
  explicit ServicesClient(CClientSystemApi* api) { systemApi = api; }

  int OnControlMessage(const uint8_t* data, int length, CConnection* from) override {
    if (!data || length < 4) return CGenericClient::OnControlMessage(data, length, from);
    CxAutoLock hold(&processorLock);
    lastResult = TunnelRegistry::Dispatch(GetTunnelRegistry(), data + 4, static_cast<size_t>(length) - 4, this);
    return 0;
  }
  // Frames out through the connection, when there is one.
  int SendOnSlot(uint16_t slot, const void* data, uint32_t length) override {
    RecordingClient::SendOnSlot(slot, data, length);
    if (!link) return static_cast<int>(length);
    const uint16_t kind = 2;
    return link->Send(slot, data, length, &kind);
  }

  TunnelResult lastResult;
  CConnection* link = nullptr;
};

class TunnelServicesTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(RegisterBuiltInServices(client_->GetTunnelRegistry(), api_, client_)); }
  void TearDown() override {
    client_->ReleaseAllProcessors();  // attached processors hold the client
    client_->Release();
    api_->Release();
  }

  TunnelResult Deliver(const char* object, const char* method, std::vector<uint8_t> payload, uint32_t kind = 1) {
    TunnelCall call;
    call.object = object;
    call.method = method;
    call.kind = kind;
    call.payload = std::move(payload);
    const std::vector<uint8_t> message = call.EncodeMessage();
    client_->OnControlMessage(message.data(), static_cast<int>(message.size()), nullptr);
    return client_->lastResult;
  }
  void AddDisplay() {
    ASSERT_EQ(client_->RegisterSlotProcessor(0, new DisplayProcessor), 0);
    client_->SetDisplaySlot(0);
  }

  testsupport::FakeSystemApi* api_ = new testsupport::FakeSystemApi;
  ServicesClient* client_ = new ServicesClient(api_);
};

// Waits until the probe has let go of the client's remote I/O object. The
// object stays the client's, so the answers still reach it.
bool WaitProbeEnd(CGenericClient* client) {
  std::shared_ptr<qmt::RemoteIo> io = client->GetRemoteIo(false);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (io.use_count() > 2 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  return io.use_count() <= 2;
}

std::vector<uint8_t> Bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

std::vector<uint8_t> OpenPayload(const std::u16string& path, size_t size) {
  std::vector<uint8_t> p;
  testhost::wire::AppendWide(p, path, 1024);
  p.resize(size, 0);
  return p;
}

TEST(TunnelServicesRegistration, FourSinksWithTheirMethods) {
  TunnelRegistry registry;
  testsupport::FakeSystemApi* api = new testsupport::FakeSystemApi;
  RecordingClient* client = new RecordingClient;
  EXPECT_FALSE(RegisterBuiltInServices(nullptr, api, client));
  EXPECT_FALSE(RegisterBuiltInServices(&registry, nullptr, client));
  EXPECT_FALSE(RegisterBuiltInServices(&registry, api, nullptr));
  EXPECT_FALSE(registry.FindSink(".vrstd"));
  ASSERT_TRUE(RegisterBuiltInServices(&registry, api, client));
  const std::pair<const char*, std::vector<const char*>> expected[] = {
      {".vrstd", {"trace", "ping"}},
      {".tovix", {"print", "post"}},
      {".vazi_player", {".open"}},
      {".micro_io", {"status"}},
  };
  for (const auto& e : expected) {
    auto sink = registry.FindSink(e.first);
    ASSERT_TRUE(sink) << e.first;
    for (const char* m : e.second) EXPECT_TRUE(sink->FindMethod(m)) << e.first << " " << m;
  }
  client->Release();
  api->Release();
}

TEST_F(TunnelServicesTest, EveryMethodMarksARequestHandledAndLeavesOtherKindsAlone) {
  AddDisplay();
  const std::pair<const char*, const char*> methods[] = {
      {".vrstd", "trace"}, {".vrstd", "ping"},         {".tovix", "print"},
      {".tovix", "post"},  {".vazi_player", ".open"}, {".micro_io", "status"},
  };
  for (const auto& m : methods) {
    TunnelResult request = Deliver(m.first, m.second, {});
    EXPECT_EQ(request.status, 0) << m.first << " " << m.second;
    EXPECT_EQ(request.flag, 0);
    EXPECT_TRUE(request.reply.empty());
    EXPECT_EQ(Deliver(m.first, m.second, Bytes("x"), 2).status, kTunnelNotHandled) << m.first << " " << m.second;
  }
  EXPECT_TRUE(api_->Posted().empty());
  EXPECT_TRUE(client_->Sent().empty());
}

TEST_F(TunnelServicesTest, PostShowsTheTextOnlyWithADisplay) {
  EXPECT_EQ(Deliver(".tovix", "post", Bytes(std::string("{\"early\":1}") + '\0')).status, 0);
  EXPECT_TRUE(api_->Posted().empty());

  AddDisplay();
  client_->SetMode(2);
  Deliver(".tovix", "post", Bytes(std::string("{\"mode\":2}") + '\0'));
  EXPECT_TRUE(api_->Posted().empty());

  client_->SetMode(1);
  Deliver(".tovix", "post", Bytes(std::string("{\"a\":\"wxyz\"}") + '\0'));
  // The server's length bounds the text, terminated or not.
  Deliver(".tovix", "post", Bytes("{\"open\":"));
  Deliver(".tovix", "print", Bytes("ignored"));
  EXPECT_EQ(api_->Posted(), std::vector<std::string>({"{\"a\":\"wxyz\"}", "{\"open\":"}));
}

TEST_F(TunnelServicesTest, StatusPayloadsShorterThanAnAnswerDeliverNothing) {
  std::shared_ptr<qmt::RemoteIo> io = client_->GetRemoteIo(true);
  qmt::RemoteIo::PendingAnswer open = io->Open(u"a.mp4");
  const uint64_t id = client_->SentRequests().back().id;
  std::vector<uint8_t> answer = RemoteIoServer::EncodeAnswer(id, 0, 5, 0, 0, qmt::RemoteIo::kOpen, {});
  EXPECT_EQ(Deliver(".micro_io", "status", std::vector<uint8_t>(answer.begin(), answer.end() - 1)).status, 0);
  EXPECT_EQ(open.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
  EXPECT_EQ(Deliver(".micro_io", "status", answer).status, 0);
  qmt::RemoteIo::Answer a = qmt::RemoteIo::Wait(open, 0);
  ASSERT_TRUE(a);
  EXPECT_EQ(io->Handle(), 5);
}

TEST_F(TunnelServicesTest, OnlyAnOpenCallOfExactSizeStartsAProbe) {
  for (size_t size : {size_t{2055}, size_t{2057}, size_t{0}}) {
    EXPECT_EQ(Deliver(".vazi_player", ".open", OpenPayload(u"clip.mp4", size)).status, 0) << size;
  }
  EXPECT_TRUE(client_->Sent().empty());

  std::weak_ptr<qmt::RemoteIo> before = client_->GetRemoteIo(false);
  Deliver(".vazi_player", ".open", OpenPayload(std::u16string(1024, u'q'), 2056));
  ASSERT_TRUE(client_->WaitForSent(1));
  std::vector<RemoteIoRequest> requests = client_->SentRequests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "open");
  // An unterminated path is cut to what the request can carry.
  EXPECT_EQ(requests[0].path, std::u16string(1023, u'q'));
  EXPECT_TRUE(before.expired() || before.lock() != client_->GetRemoteIo(false))
      << "each call probes with a fresh object";
  // Unanswered, the probe gives up after its waits and ends on its own.
  EXPECT_TRUE(WaitProbeEnd(client_));
}

// ---------------------------------------------------------------- loopback

class ProbeSessionTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(RegisterBuiltInServices(client_->GetTunnelRegistry(), api_, client_));
    ASSERT_TRUE(host_.Listen("127.0.0.1"));
    connection_ = new CConnection(nullptr, nullptr);
    connection_->SetClient(client_);
    ASSERT_EQ(connection_->Open(sessiontest::SessionTarget({host_.Address()})), 1);
    peer_ = host_.Accept(5000);
    ASSERT_TRUE(peer_);
    client_->link = connection_;
    loop_ = std::thread([this] { connection_->ReceiveLoop(); });
  }
  void TearDown() override {
    if (server_) server_->Stop();
    if (peer_) peer_->Close();
    if (connection_) {
      connection_->StopLoop(0);
      if (loop_.joinable()) loop_.join();
      client_->link = nullptr;
      connection_->Close();
      connection_->Release();
    }
    client_->Release();
    api_->Release();
  }

  testsupport::FakeSystemApi* api_ = new testsupport::FakeSystemApi;
  ServicesClient* client_ = new ServicesClient(api_);
  testhost::Listener host_;
  std::unique_ptr<testhost::FramedPeer> peer_;
  std::unique_ptr<RemoteIoServer> server_;
  CConnection* connection_ = nullptr;
  std::thread loop_;
};

TEST_F(ProbeSessionTest, TheHostSeesOpenSizeSeekReadClose) {
  server_.reset(new RemoteIoServer(*peer_));
  std::vector<uint8_t> file(300000);
  for (size_t i = 0; i < file.size(); ++i) file[i] = static_cast<uint8_t>(i % 251);
  server_->SetFile(file);
  server_->Start();
  ASSERT_TRUE(server_->SendProbeCall(u"/srv/media/clip.mp4"));
  ASSERT_TRUE(server_->WaitForRequests(5, 15000));
  ASSERT_TRUE(WaitProbeEnd(client_));

  std::vector<RemoteIoRequest> r = server_->Requests();
  ASSERT_EQ(r.size(), 5u);
  const char* order[] = {"open", "size", "seek", "read", "close"};
  for (size_t i = 0; i < r.size(); ++i) {
    EXPECT_EQ(r[i].method, order[i]);
    if (i) {
      EXPECT_EQ(r[i].handle, static_cast<uint32_t>(RemoteIoServer::kHandle));
      EXPECT_GT(r[i].id, r[i - 1].id);
    }
  }
  EXPECT_EQ(r[0].path, u"/srv/media/clip.mp4");
  EXPECT_EQ(r[2].offset, 16);
  EXPECT_EQ(r[3].byteCount, 262144);
}

TEST_F(ProbeSessionTest, ARefusedOpenLeavesOnlyTheOpenOnTheWire) {
  server_.reset(new RemoteIoServer(*peer_));
  server_->SetRefuseOpen(true);
  server_->Start();
  ASSERT_TRUE(server_->SendProbeCall(u"/srv/missing.mp4"));
  ASSERT_TRUE(server_->WaitForRequests(1, 15000));
  ASSERT_TRUE(WaitProbeEnd(client_));
  std::vector<RemoteIoRequest> r = server_->Requests();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].method, "open");
}

}  // namespace
