// The session's threads meeting in the client: deliveries and local input
// never run inside one processor at once, and the GUI's calls into the
// processors are safe while the session releases them. Run under
// ThreadSanitizer as well.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "ClientDoubles.h"
#include "services/RemoteIo.h"
#include "session/SlotDataProcessor.h"

namespace {

// Counts how many calls are inside it at once; a delivery can be held at a
// gate.
class OverlapProcessor : public CSlotDataProcessor {
 public:
  int OnData(const uint8_t*, uint32_t) override {
    Enter();
    {
      std::unique_lock<std::mutex> hold(mutex);
      entered = true;
      changed.notify_all();
      changed.wait(hold, [&] { return open; });
    }
    Leave();
    return 0;
  }
  int OnClientData(const void*, uint32_t) override {
    Enter();
    ++fed;
    Leave();
    return 0;
  }
  void OnActivate(int) override {
    Enter();
    Leave();
  }
  void Enter() {
    if (inside.fetch_add(1) != 0) overlaps.fetch_add(1);
  }
  void Leave() { inside.fetch_sub(1); }

  std::mutex mutex;
  std::condition_variable changed;
  bool entered = false;
  bool open = true;
  int fed = 0;
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
};

// The input sink a running session installs, reachable from a test.
class SinkClient : public CHtClient {
 public:
  using CGenericClient::InputSink;
  void SetStreamSlot(uint16_t slot) { streamSlots[0] = slot; }
  SinkClient() { hidSlot = 0; }
};

TEST(ClientThreads, SlowDeliveryHoldsOffInput) {
  clienttest::FakeSystemApi* api = new clienttest::FakeSystemApi;
  SinkClient* client = new SinkClient;
  OverlapProcessor* processor = new OverlapProcessor;
  processor->open = false;
  ASSERT_EQ(client->RegisterSlotProcessor(0, processor), 0);  // the keyboard slot
  api->SetInputSink(SinkClient::InputSink, client);

  std::thread delivery([&] {
    uint8_t payload[4] = {};
    client->DeliverSlotData(0, payload, sizeof payload);
  });
  {
    std::unique_lock<std::mutex> hold(processor->mutex);
    processor->changed.wait(hold, [&] { return processor->entered; });
  }
  std::atomic<bool> keyDone{false};
  int32_t keyAnswer = -1;
  std::thread key([&] {
    keyAnswer = api->ForwardKeyInput(0x1E, 0);
    keyDone.store(true);
  });
  // The key waits for the delivery; give it every chance to slip in.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const bool doneWhileHeld = keyDone.load();
  {
    std::lock_guard<std::mutex> hold(processor->mutex);
    processor->open = true;
    processor->changed.notify_all();
  }
  delivery.join();
  key.join();
  EXPECT_FALSE(doneWhileHeld);
  EXPECT_EQ(keyAnswer, 1);
  EXPECT_EQ(processor->fed, 1);
  EXPECT_EQ(processor->overlaps.load(), 0);

  api->SetInputSink(nullptr, nullptr);
  client->ReleaseAllProcessors();
  client->Release();
  api->Release();
}

TEST(ClientThreads, DeliveriesAndInputNeverOverlap) {
  clienttest::FakeSystemApi* api = new clienttest::FakeSystemApi;
  SinkClient* client = new SinkClient;
  OverlapProcessor* processor = new OverlapProcessor;
  ASSERT_EQ(client->RegisterSlotProcessor(0, processor), 0);
  api->SetInputSink(SinkClient::InputSink, client);
  std::thread delivery([&] {
    uint8_t payload[4] = {};
    for (int i = 0; i < 2000; ++i) client->DeliverSlotData(0, payload, sizeof payload);
  });
  std::thread input([&] {
    for (int i = 0; i < 2000; ++i) api->ForwardPointerInput(i, i, 0, 0, 0, 1, 0);
  });
  std::thread gui([&] {
    for (int i = 0; i < 2000; ++i) client->NotifyProcessors(i & 1);
  });
  delivery.join();
  input.join();
  gui.join();
  EXPECT_EQ(processor->overlaps.load(), 0);
  EXPECT_EQ(processor->fed, 2000);
  api->SetInputSink(nullptr, nullptr);
  client->ReleaseAllProcessors();
  client->Release();
  api->Release();
}

TEST(ClientThreads, GuiCallsWhileProcessorsAreReleased) {
  SinkClient* client = new SinkClient;
  client->SetStreamSlot(2);
  std::atomic<bool> done{false};
  std::thread gui([&] {
    while (!done.load()) {
      client->NotifyProcessors(1);
      client->StreamSlotCallA(1, 2);
      client->StreamSlotCallB(0, 0);
    }
  });
  for (int round = 0; round < 300; ++round) {
    for (uint16_t slot = 0; slot < 4; ++slot) client->RegisterSlotProcessor(slot, new OverlapProcessor);
    client->ReleaseAllProcessors();
  }
  done.store(true);
  gui.join();
  client->Release();
}

// A probe thread keeps its remote I/O object, and keeps sending, while the
// session client it came from is torn down: no send may reach the client
// once its teardown has begun.
TEST(ClientThreads, RemoteIoOutlivesItsClient) {
  for (int round = 0; round < 200; ++round) {
    CHtClient* client = new CHtClient;
    std::shared_ptr<qmt::RemoteIo> io = client->GetRemoteIo(false);
    std::atomic<bool> started{false}, done{false};
    std::thread probe([&] {
      while (!done.load()) {
        io->Open(u"movie.mp4");  // no connection: fails, and is tried again
        started.store(true);
      }
    });
    while (!started.load()) std::this_thread::yield();
    client->Release();
    done.store(true);
    probe.join();
    EXPECT_FALSE(io->Open(u"movie.mp4").valid());
  }
}

}  // namespace
