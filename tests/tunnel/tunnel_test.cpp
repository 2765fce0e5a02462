// The tunnel frame builder and sender against the test host's own decoder,
// the process-wide sequence across threads, and the registry's dispatch of
// received frames.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <thread>

#include "TunnelDoubles.h"
#include "transport/Status.h"
#include "services/Tunnel.h"
#include "testhost/Tunnel.h"
#include "testhost/Wire.h"

using namespace ybx::tunnel;
using tunneltest::RecordingClient;

namespace {

struct ClientHolder {
  RecordingClient* client = new RecordingClient;
  ~ClientHolder() { client->Release(); }
};

// Sends the frame through a recording client and decodes what went out.
testhost::TunnelCall SendAndDecode(const TunnelFrame& frame) {
  ClientHolder holder;
  EXPECT_EQ(SendTunnelFrame(&frame, holder.client), kStatusOk);
  auto calls = holder.client->SentCalls();
  EXPECT_EQ(calls.size(), 1u);
  return calls.empty() ? testhost::TunnelCall() : calls[0];
}

TEST(TunnelFrameTest, PostWithATwelveCharacterTextIsSixtyNineBytes) {
  const char text[] = "{\"a\":\"wxyz\"}";  // 12 characters and the NUL
  ASSERT_EQ(sizeof text, 13u);
  auto frame = BuildTunnelFrame(".tovix", "post", text, sizeof text);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->Size(), 69u);
  EXPECT_EQ(frame->PayloadLength(), 13u);

  std::vector<uint8_t> bytes(frame->Bytes(), frame->Bytes() + frame->Size());
  EXPECT_EQ(testhost::wire::Read(bytes, 0, 4), 0xF1F2F3F4u);
  EXPECT_EQ(testhost::wire::Read(bytes, 36, 4), 1u);  // a request
  EXPECT_EQ(testhost::wire::Read(bytes, 40, 4), 0u);
  EXPECT_EQ(testhost::wire::Read(bytes, 44, 8), frame->Sequence());
  EXPECT_EQ(testhost::wire::Read(bytes, 52, 4), 13u);
  // Behind each name the rest of its field is zero.
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 10, bytes.begin() + 20), std::vector<uint8_t>(10, 0));
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 24, bytes.begin() + 36), std::vector<uint8_t>(12, 0));

  testhost::TunnelCall call = SendAndDecode(*frame);
  EXPECT_EQ(call.object, ".tovix");
  EXPECT_EQ(call.method, "post");
  EXPECT_EQ(call.kind, 1u);
  EXPECT_EQ(call.sequence, frame->Sequence());
  EXPECT_EQ(call.payload, std::vector<uint8_t>(text, text + sizeof text));
}

TEST(TunnelFrameTest, ArgumentsDecideWhetherAFrameIsBuilt) {
  const std::string fourteen(14, 'm');
  const std::string fifteen(15, 'm');
  const std::string dotFourteen = "." + std::string(13, 'o');
  const std::string dotFifteen = "." + std::string(14, 'o');
  const uint8_t payload[4] = {1, 2, 3, 4};
  struct Case {
    const char* what;
    const char* object;
    const char* method;
    const void* payload;
    int64_t length;
    bool built;
  } cases[] = {
      {"14-character object name", dotFourteen.c_str(), "ping", payload, 4, true},
      {"15-character object name", dotFifteen.c_str(), "ping", payload, 4, false},
      {"14-character method name", ".vrstd", fourteen.c_str(), payload, 4, true},
      {"15-character method name", ".vrstd", fifteen.c_str(), payload, 4, false},
      {"no object name", nullptr, "ping", payload, 4, false},
      {"empty object name", "", "ping", payload, 4, false},
      {"no method name", ".vrstd", nullptr, payload, 4, false},
      {"empty method name", ".vrstd", "", payload, 4, false},
      {"negative length", ".vrstd", "ping", payload, -1, false},
      {"length without payload", ".vrstd", "ping", nullptr, 4, false},
      {"length beyond the length word", ".vrstd", "ping", payload, int64_t{1} << 32, false},
      {"empty frame", ".vrstd", "ping", nullptr, 0, true},
  };
  for (const Case& c : cases) {
    auto frame = BuildTunnelFrame(c.object, c.method, c.payload, c.length);
    EXPECT_EQ(frame != nullptr, c.built) << c.what;
    if (!frame) continue;
    testhost::TunnelCall call = SendAndDecode(*frame);
    EXPECT_EQ(call.object, c.object) << c.what;
    EXPECT_EQ(call.method, c.method) << c.what;
    EXPECT_EQ(frame->Size(), 56u + static_cast<size_t>(c.length)) << c.what;
  }
}

TEST(TunnelFrameTest, SequenceNumbersAreUniqueAcrossThreads) {
  constexpr int kThreads = 8;
  constexpr int kFrames = 10000;
  std::vector<std::vector<uint64_t>> seen(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      seen[t].reserve(kFrames);
      for (int i = 0; i < kFrames; ++i) {
        auto frame = BuildTunnelFrame(".vrstd", "trace", &i, sizeof i);
        ASSERT_TRUE(frame);
        seen[t].push_back(frame->Sequence());
      }
    });
  }
  for (auto& t : threads) t.join();
  std::set<uint64_t> all;
  for (int t = 0; t < kThreads; ++t) {
    // Each thread's own numbers only grow.
    EXPECT_TRUE(std::is_sorted(seen[t].begin(), seen[t].end()));
    all.insert(seen[t].begin(), seen[t].end());
  }
  EXPECT_EQ(all.size(), static_cast<size_t>(kThreads) * kFrames);
}

TEST(TunnelFrameTest, SendReportsWhatTheClientSent) {
  auto frame = BuildTunnelFrame(".micro_io", "size", "abcdefghijkl", 12);
  ASSERT_TRUE(frame);
  struct Case {
    const char* what;
    int clientAnswer;  // -1: every byte
    int status;
  } cases[] = {
      {"every byte", -1, kStatusOk},
      {"a short send", 71, kStatusFailure},
      {"nothing", 0, kStatusFailure},
      {"no connection", kStatusNoConnection, kStatusFailure},
  };
  for (const Case& c : cases) {
    ClientHolder holder;
    holder.client->SetSendAnswer(c.clientAnswer);
    EXPECT_EQ(SendTunnelFrame(frame.get(), holder.client), c.status) << c.what;
    auto sent = holder.client->Sent();
    ASSERT_EQ(sent.size(), 1u) << c.what;
    EXPECT_EQ(sent[0].slot, 0xFAFA);
    EXPECT_EQ(sent[0].bytes.size(), 4u + 56 + 12);
    EXPECT_EQ(testhost::wire::Read(sent[0].bytes, 0, 4), 2560u);
    EXPECT_EQ(0, memcmp(sent[0].bytes.data() + 4, frame->Bytes(), frame->Size()));
  }

  ClientHolder holder;
  EXPECT_EQ(SendTunnelFrame(nullptr, holder.client), 1);
  EXPECT_EQ(SendTunnelFrame(frame.get(), nullptr), 1);
  EXPECT_TRUE(holder.client->Sent().empty());
}

// ---------------------------------------------------------------- registry

struct HandlerLog {
  int calls = 0;
  uint32_t kind = 0;
  std::vector<uint8_t> payload;
  ITunnelClient* client = nullptr;
};
HandlerLog g_handlerLog;

void RecordingHandler(TunnelResult* result, uint32_t kind, const uint8_t* payload, uint32_t length,
                      ITunnelClient* client) {
  ++g_handlerLog.calls;
  g_handlerLog.kind = kind;
  g_handlerLog.payload.assign(payload, payload + length);
  g_handlerLog.client = client;
  result->status = 0;
  result->flag = 0;
}

void SilentHandler(TunnelResult*, uint32_t, const uint8_t*, uint32_t, ITunnelClient*) {}

class TunnelDispatchTest : public testing::Test {
 protected:
  void SetUp() override {
    g_handlerLog = HandlerLog();
    auto sink = registry_.AddSink(".probe");
    ASSERT_TRUE(sink);
    ASSERT_TRUE(sink->AddMethod("call", RecordingHandler));
    ASSERT_TRUE(sink->AddMethod("quiet", SilentHandler));
  }
  TunnelResult Dispatch(const std::vector<uint8_t>& frame) {
    return TunnelRegistry::Dispatch(&registry_, frame.data(), frame.size(), holder_.client);
  }
  static testhost::TunnelCall Call(const char* object, const char* method, std::vector<uint8_t> payload,
                                   uint32_t kind = 1) {
    testhost::TunnelCall c;
    c.object = object;
    c.method = method;
    c.kind = kind;
    c.sequence = 0x1122334455667788ull;
    c.payload = std::move(payload);
    return c;
  }

  TunnelRegistry registry_;
  ClientHolder holder_;
};

TEST_F(TunnelDispatchTest, AFrameReachesItsHandlerWithKindPayloadAndClient) {
  for (uint32_t kind : {1u, 2u}) {
    g_handlerLog = HandlerLog();
    TunnelResult r = Dispatch(Call(".probe", "call", {9, 8, 7}, kind).EncodeFrame());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.sequence, 0x1122334455667788ull);
    EXPECT_EQ(g_handlerLog.calls, 1);
    EXPECT_EQ(g_handlerLog.kind, kind);
    EXPECT_EQ(g_handlerLog.payload, std::vector<uint8_t>({9, 8, 7}));
    EXPECT_EQ(g_handlerLog.client, holder_.client);
  }
  TunnelResult quiet = Dispatch(Call(".probe", "quiet", {}).EncodeFrame());
  EXPECT_EQ(quiet.status, kTunnelNotHandled);
  EXPECT_TRUE(holder_.client->Sent().empty());
}

TEST_F(TunnelDispatchTest, UnknownObjectsAndMethodsReachNoHandler) {
  EXPECT_EQ(Dispatch(Call(".nobody", "call", {1}).EncodeFrame()).status, kTunnelNoSink);
  EXPECT_EQ(Dispatch(Call(".probe", "nothing", {1}).EncodeFrame()).status, kTunnelNoMethod);
  EXPECT_EQ(TunnelRegistry::Dispatch(nullptr, Call(".probe", "call", {}).EncodeFrame().data(), 56,
                                     holder_.client)
                .status,
            kTunnelNoSink);
  EXPECT_EQ(g_handlerLog.calls, 0);
  EXPECT_TRUE(holder_.client->Sent().empty());
}

TEST_F(TunnelDispatchTest, MalformedFramesAreRefusedWhole) {
  std::vector<uint8_t> good = Call(".probe", "call", std::vector<uint8_t>(11, 0x5A)).EncodeFrame();
  auto with = [&](size_t offset, uint8_t value) {
    std::vector<uint8_t> f = good;
    f[offset] = value;
    return f;
  };
  struct Case {
    const char* what;
    std::vector<uint8_t> frame;
  } cases[] = {
      {"length word 10 with 11 payload bytes", Call(".probe", "call", std::vector<uint8_t>(11, 1)).EncodeFrame(10)},
      {"length word 12 with 11 payload bytes", Call(".probe", "call", std::vector<uint8_t>(11, 1)).EncodeFrame(12)},
      {"negative length word", Call(".probe", "call", {}).EncodeFrame(0xFFFFFFFFu)},
      {"55 bytes", std::vector<uint8_t>(good.begin(), good.begin() + 55)},
      {"no bytes", {}},
      {"wrong magic", with(0, 0xF5)},
      {"object name not terminated", with(19, 'x')},
      {"method name not terminated", with(35, 'x')},
      {"kind 0", with(36, 0)},
      {"kind 3", with(36, 3)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Dispatch(c.frame).status, kStatusFailure) << c.what;
  }
  EXPECT_EQ(TunnelRegistry::Dispatch(&registry_, nullptr, 100, holder_.client).status, kStatusFailure);
  EXPECT_EQ(g_handlerLog.calls, 0);
  EXPECT_EQ(Dispatch(good).status, 0);
}

TEST(TunnelRegistryTest, OnlyDottedNamesRegisterAndTheFirstRegistrationStays) {
  TunnelRegistry registry;
  EXPECT_FALSE(registry.AddSink("vrstd"));
  EXPECT_FALSE(registry.AddSink(""));
  EXPECT_FALSE(registry.FindSink("vrstd"));

  auto first = registry.AddSink(".same");
  auto second = registry.AddSink(".same");
  ASSERT_TRUE(first && second);
  EXPECT_EQ(registry.FindSink(".same"), first);

  TunnelSink invalid("plain");
  EXPECT_FALSE(invalid.AddMethod("m", SilentHandler));
  EXPECT_TRUE(first->AddMethod("m", SilentHandler));
  EXPECT_TRUE(first->AddMethod("m", RecordingHandler));  // replaced
  EXPECT_EQ(first->FindMethod("m"), &RecordingHandler);
  EXPECT_EQ(first->FindMethod("other"), nullptr);
}

}  // namespace
