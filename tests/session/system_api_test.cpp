// The system API's own part: input records and the sink, the frame-buffer
// lock, the end paths and the waiter, the client name.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "ClientDoubles.h"

namespace {

using clienttest::FakeSystemApi;

// A client that only counts how often it is stopped.
class CountingClient : public CHtClient {
 public:
  int Stop() override {
    stops.fetch_add(1);
    return CHtClient::Stop();
  }
  std::atomic<int> stops{0};
};

struct Sink {
  std::vector<std::vector<int32_t>> records;
  int32_t answer = 0;
  static int32_t Feed(const void* record, uint32_t length, void* context) {
    Sink* self = static_cast<Sink*>(context);
    const int32_t* words = static_cast<const int32_t*>(record);
    self->records.emplace_back(words, words + length / 4);
    return self->answer;
  }
};

TEST(SystemApi, InputRecordsReachTheSink) {
  FakeSystemApi* api = new FakeSystemApi;
  EXPECT_EQ(api->ForwardKeyInput(0x1E, 2), 0);  // no sink: dropped
  api->ForwardPointerInput(1, 2, 3, 4, 5, 1, 0);

  Sink sink;
  sink.answer = 7;
  api->SetInputSink(Sink::Feed, &sink);
  EXPECT_EQ(api->ForwardKeyInput(0x1E, 2), 7);
  api->ForwardPointerInput(100, 200, 0x00780001, 0, 0, 0x101, 1);
  api->ForwardPointerInput(-5, -6, 4, 7, 8, 0, 3);
  api->SetInputSink(nullptr, nullptr);
  EXPECT_EQ(api->ForwardKeyInput(0x1E, 2), 0);
  api->Release();

  const std::vector<std::vector<int32_t>> expected = {
      {0x1E, 2},
      {0x00780001, 100, 200, 1, 0, 0, 1},
      {4, -5, -6, 0, 8, 7, 3},
  };
  EXPECT_EQ(sink.records, expected);
}

class ExposedApi : public FakeSystemApi {
 public:
  bool TryFrameBufferLock() {
    if (!TryEnterCriticalSection(&frameBufferLock.section)) return false;
    LeaveCriticalSection(&frameBufferLock.section);
    return true;
  }
};

TEST(SystemApi, FrameBufferLockAnswersOnlyRealSurfaces) {
  ExposedApi* api = new ExposedApi;
  int stand;
  ISurfaceKeeper* surface = reinterpret_cast<ISurfaceKeeper*>(&stand);  // never drawn on
  api->SetSurface(2, surface);
  for (int index : {-1, 4, 100, 0, 1, 3}) {
    SCOPED_TRACE(index);
    EXPECT_EQ(api->LockFrameBuffer(index), nullptr);
    bool free = false;
    std::thread other([&] { free = api->TryFrameBufferLock(); });
    other.join();
    EXPECT_TRUE(free);
  }
  EXPECT_EQ(api->LockFrameBuffer(2), surface);
  bool free = true;
  std::thread other([&] { free = api->TryFrameBufferLock(); });
  other.join();
  EXPECT_FALSE(free);
  api->UnlockFrameBuffer(surface);
  api->Release();
}

TEST(SystemApi, OnlySomeEndReasonsStopTheClient) {
  for (int reason = 0; reason <= 12; ++reason) {
    SCOPED_TRACE(reason);
    FakeSystemApi* api = new FakeSystemApi;
    CountingClient* client = new CountingClient;
    api->AttachObserver(client);
    for (CxEvent& e : api->displayEvents) e.Reset();
    api->OnSessionEnded(reason, 2);
    const bool stops = reason == 1 || reason == 3 || reason == 7 || reason == 8 || reason == 9 || reason == 11;
    EXPECT_EQ(client->stops.load(), stops ? 1 : 0);
    EXPECT_TRUE(api->connectEvent.Wait(0));
    EXPECT_TRUE(api->runEvent.Wait(0));
    EXPECT_TRUE(api->displayEvents[2].Wait(0));
    EXPECT_FALSE(api->displayEvents[1].Wait(0));
    api->Stop();  // the end of the pass stops whatever is left
    EXPECT_EQ(client->stops.load(), 1);
    client->Release();
    api->Release();
  }
}

TEST(SystemApi, EndPathsRacingStopTheClientOnce) {
  for (int round = 0; round < 1000; ++round) {
    FakeSystemApi* api = new FakeSystemApi;
    CountingClient* client = new CountingClient;
    api->AttachObserver(client);
    std::atomic<int> ready{0};
    auto together = [&] {
      ready.fetch_add(1);
      while (ready.load() < 2) {
      }
    };
    std::thread window([&] {
      together();
      api->OnSessionEnded(round % 2 ? 1 : 9, 0);
    });
    std::thread pass([&] {
      together();
      api->Stop();
    });
    window.join();
    pass.join();
    ASSERT_EQ(client->stops.load(), 1);
    client->Release();
    api->Release();
  }
}

std::atomic<int> g_gone{0};

class MortalClient : public CountingClient {
 public:
  ~MortalClient() override { g_gone.fetch_add(1); }
};

// The main window may release its client before the pass ends; the end of
// the pass still stops it safely, and only then does it go.
TEST(SystemApi, TheClientLivesUntilItIsStopped) {
  g_gone.store(0);
  FakeSystemApi* api = new FakeSystemApi;
  MortalClient* client = new MortalClient;
  api->AttachObserver(client);
  client->Release();
  EXPECT_EQ(g_gone.load(), 0);
  api->Stop();
  EXPECT_EQ(g_gone.load(), 1);
  api->Release();
}

TEST(SystemApi, SecondObserverIsIgnored) {
  FakeSystemApi* api = new FakeSystemApi;
  CountingClient* first = new CountingClient;
  CountingClient* second = new CountingClient;
  api->AttachObserver(first);
  api->AttachObserver(second);
  EXPECT_EQ(api->Observer(), first);
  api->Stop();
  EXPECT_EQ(first->stops.load(), 1);
  EXPECT_EQ(second->stops.load(), 0);
  first->Release();
  second->Release();
  api->Release();
}

TEST(SystemApi, ClientName) {
  FakeSystemApi* api = new FakeSystemApi;
  EXPECT_STREQ(api->getClientName(), "undefined");
  CHtClient* client = new CHtClient;
  CClientConnectionParameter params;
  memset(params.UserDeviceName, 'n', sizeof params.UserDeviceName);  // no terminator at all
  ASSERT_EQ(client->Init(api, &params), 0);
  EXPECT_EQ(std::string(api->getClientName()), std::string(31, 'n'));
  strcpy(params.UserDeviceName, "other");
  EXPECT_EQ(std::string(api->getClientName()), std::string(31, 'n'));  // cached for the object's life
  api->Stop();
  client->Release();
  api->Release();

  // Without a device name: the computer's name up to its first dot.
  api = new FakeSystemApi;
  client = new CHtClient;
  CClientConnectionParameter plain;
  ASSERT_EQ(client->Init(api, &plain), 0);
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  std::string expected(host);
  expected = expected.substr(0, expected.find('.')).substr(0, 31);
  if (expected.empty()) expected = "Pellum";
  EXPECT_EQ(std::string(api->getClientName()), expected);
  api->Stop();
  client->Release();
  api->Release();
}

TEST(SystemApi, WaiterShowsAPendingMessageBeforeTheFinalState) {
  FakeSystemApi* api = new FakeSystemApi;
  CountingClient* client = new CountingClient;
  api->AttachObserver(client);
  api->StartWaiter();
  api->SetConnectionState(connection_state::kConnectFailed, 0);
  api->SetMessageText(u"Connection:", u"Cannot connect to server \"x\"");
  EXPECT_TRUE(api->HasPendingMessage());
  api->SetWaitEvents();
  api->Stop();  // joins the waiter
  EXPECT_EQ(api->Boxes(), std::vector<std::string>{"Error|Cannot connect to server \"x\""});
  EXPECT_EQ(api->States(), (std::vector<clienttest::StateChange>{{10, 0}, {10, 1}}));
  EXPECT_FALSE(api->HasPendingMessage());
  EXPECT_EQ(client->stops.load(), 1);
  client->Release();
  api->Release();
}

TEST(SystemApi, WaiterWithoutMessagePostsTheFinalStateAtOnce) {
  FakeSystemApi* api = new FakeSystemApi;
  api->StartWaiter();
  api->SetConnectionState(connection_state::kDisconnected, 0);
  api->SetWaitEvents();
  api->Stop();
  EXPECT_EQ(api->States(), (std::vector<clienttest::StateChange>{{6, 0}, {6, 1}}));
  EXPECT_TRUE(api->Boxes().empty());
  api->Release();
}

// A session whose thread never ran set none of the waiter's events; the end
// of the pass still gets the waiter out instead of waiting for it forever.
TEST(SystemApi, StopReleasesAWaiterWhoseSessionNeverRan) {
  FakeSystemApi* api = new FakeSystemApi;
  CountingClient* client = new CountingClient;
  api->AttachObserver(client);  // never started
  api->StartWaiter();
  std::promise<void> stopped;
  std::thread pass([&] {
    api->Stop();
    stopped.set_value();
  });
  std::future<void> done = stopped.get_future();
  // Generous: the waiter has nothing to wait for once Stop has begun.
  const bool returned = done.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
  if (!returned) api->SetWaitEvents();  // lets the stuck Stop finish
  pass.join();
  EXPECT_TRUE(returned);
  EXPECT_EQ(client->stops.load(), 1);
  EXPECT_EQ(api->States(), (std::vector<clienttest::StateChange>{{0, 1}}));
  client->Release();
  api->Release();
}

TEST(SystemApi, DisplayEventsStartSet) {
  FakeSystemApi* api = new FakeSystemApi;
  api->WaitDisplayEvents();  // returns at once
  EXPECT_FALSE(api->WaitFirstEvent(0));
  EXPECT_FALSE(api->WaitSecondEvent(0));
  api->Release();
}

// What the session windows call reaches the attached client, and nothing
// happens while none is attached.
class WindowEventClient : public CHtClient {
 public:
  int NotifyProcessors(int value) override {
    calls.push_back("activation " + std::to_string(value));
    return 0;
  }
  void StreamSlotCallA(UINT_PTR a, UINT_PTR) override { calls.push_back("moved " + std::to_string(a)); }
  void StreamSlotCallB(UINT_PTR, UINT_PTR) override { calls.push_back("painted"); }
  std::vector<std::string> calls;
};

TEST(SystemApi, WindowEventsReachTheAttachedClient) {
  FakeSystemApi* api = new FakeSystemApi;
  ISessionStatus* session = api;
  WCHAR name[8] = {u'x'};
  EXPECT_FALSE(session->GetServerName(name, 8));
  session->OnWindowActivation(true);
  session->OnDisplayPainted();

  WindowEventClient* client = new WindowEventClient;
  api->AttachObserver(client);
  session->OnWindowActivation(true);
  session->OnWindowActivation(false);
  session->OnWindowMoved(0x51);
  session->OnDisplayPainted();
  EXPECT_EQ(client->calls,
            (std::vector<std::string>{"activation 1", "activation 0", "moved 81", "painted"}));
  EXPECT_TRUE(session->GetServerName(name, 8));
  EXPECT_EQ(name[0], 0);  // no connection, no name
  api->Stop();
  client->Release();
  api->Release();
}

TEST(SystemApi, BaseAnswers) {
  FakeSystemApi* api = new FakeSystemApi;
  EXPECT_EQ(api->GetErrorText(), nullptr);
  EXPECT_EQ(api->GetDisplayWindowId(0), 0u);
  EXPECT_FALSE(api->HasGui());
  std::vector<uint32_t> list = {1, 2};
  api->GetEmptyInfo(list);
  EXPECT_TRUE(list.empty());
  api->SetStreamOverlayFlag(0, nullptr);
  EXPECT_EQ(api->streamOverlayFlag.load(), 0);
  api->Release();
}

}  // namespace
