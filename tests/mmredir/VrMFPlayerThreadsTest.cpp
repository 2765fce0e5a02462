#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "VrPlayerDoubles.h"
#include "display/AbstractSurfaceKeeper.h"
#include "mmredir/VrMFPlayer.h"
#include "support/FakeSystemApi.h"

using namespace playertest;

namespace {

// A player covering its video while the channel's thread changes its
// geometry, volume and state, the session's events arrive on the work
// queues (a ready topology among them, which hands out new renderer
// services), and a painter holds the frame buffer: every path takes its
// locks in the one order, so all of it ends and ThreadSanitizer has nothing
// to report.
TEST(VrMFPlayerThreadsTest, CoveringGeometryEventsAndPaintingRunTogether) {
  LogCapture log;  // commands refused after a new ready topology are logged
  World world;
  auto* source = new FakeSource({MFMediaType_Video, MFMediaType_Audio});
  CAbstractSurfaceKeeper keeper;
  ASSERT_EQ(keeper.Create(64, 40, 32, 32), 1);
  testsupport::FakeSystemApi api;
  api.SetSurface(0, &keeper);
  RecordingHost host;
  host.api = &api;

  auto* player = new CVrMFPlayer(reinterpret_cast<HWND>(0x4242), 0);
  ASSERT_EQ(player->CreateVideoWindow(), S_OK);
  source->AddRef();
  ASSERT_EQ(player->Open(source), S_OK);
  FakeSession* session = world.session;
  const RECT regions[] = {{0, 0, 8, 8}, {10, 2, 14, 4}, {-5, 15, 3, 99}};
  ASSERT_EQ(player->SetVideoWindowPos(true, 4, 4, 32, 16, 3, regions), S_OK);
  ASSERT_TRUE(player->RefreshRunning());

  std::atomic<bool> stop{false};
  std::thread events([&] {
    for (int i = 0; !stop.load(); ++i) {
      if (i % 8 == 0)
        session->QueueReady();
      else
        session->QueueEvent(MESessionNotifyPresentationTime, GUID_NULL, S_OK, nullptr);
      std::this_thread::yield();
    }
  });
  std::thread painter([&] {
    for (uint8_t value = 0; !stop.load(); ++value) {
      if (ISurfaceKeeper* surface = api.LockFrameBuffer(0)) {
        surface->AddDamage(0, 0, 64, 40);
        auto* bits = const_cast<BYTE*>(surface->GetImageBits());
        bits[(value % 40) * 64 * 4] = value;
        api.UnlockFrameBuffer(surface);
      }
      std::this_thread::yield();
    }
  });
  std::thread refresher([&] {
    while (!stop.load()) {
      player->RefreshNow();
      std::this_thread::yield();
    }
  });

  for (int i = 0; i < 300; ++i) {
    const int width = 16 + (i % 3) * 8;
    player->SetVideoWindowPos(true, i % 50 - 10, i % 30 - 5, width, 12, i % 4 == 0 ? 1 : 3, regions);
    player->SetVolume(uint32_t(i * 30), i % 5 == 0);
    if (i % 10 == 0) {
      player->Play(0, 0);
      player->Pause();
      player->Stop();
    }
  }
  stop = true;
  events.join();
  painter.join();
  refresher.join();

  EXPECT_EQ(player->DestroyVideoWindow(), S_OK);
  EXPECT_FALSE(player->RefreshRunning());
  EXPECT_EQ(player->Close(), S_OK);
  player->Release();
  source->Release();
  api.SetSurface(0, nullptr);
  EXPECT_GT(world.mixerBitmap->sets.load(), 0);
}

// Two players at once each keep their own geometry: the covering of one is
// never taken from where the other one's window lies.
TEST(VrMFPlayerThreadsTest, TwoPlayersCoverFromTheirOwnPlaces) {
  World world;
  CAbstractSurfaceKeeper keeper;
  ASSERT_EQ(keeper.Create(64, 40, 32, 32), 1);
  auto* bits = const_cast<BYTE*>(keeper.GetImageBits());
  for (int y = 0; y < 40; ++y)
    for (int x = 0; x < 64; ++x) bits[(y * 64 + x) * 4] = uint8_t(x);  // red = x
  testsupport::FakeSystemApi api;
  api.SetSurface(0, &keeper);
  RecordingHost host;
  host.api = &api;

  struct One {
    CVrMFPlayer* player;
    FakeSource* source;
    FakeMixerBitmap* mixer;
  };
  std::vector<One> players;
  for (int n = 0; n < 2; ++n) {
    One one{new CVrMFPlayer(reinterpret_cast<HWND>(0x4242), 0), new FakeSource({MFMediaType_Video}), nullptr};
    // Each player gets a mixer of its own.
    world.mixerBitmap->Release();
    world.mixerBitmap = new FakeMixerBitmap();
    one.mixer = world.mixerBitmap;
    one.mixer->AddRef();
    one.player->CreateVideoWindow();
    one.source->AddRef();
    ASSERT_EQ(one.player->Open(one.source), S_OK);
    players.push_back(one);
  }
  const RECT regions[] = {{0, 0, 1, 1}, {1, 1, 2, 2}};
  std::thread a([&] { players[0].player->SetVideoWindowPos(true, 10, 0, 8, 8, 2, regions); });
  std::thread b([&] { players[1].player->SetVideoWindowPos(true, 40, 0, 8, 8, 2, regions); });
  a.join();
  b.join();
  for (int n = 0; n < 2; ++n) {
    SCOPED_TRACE(n);
    players[n].player->RefreshNow();
    std::lock_guard<std::mutex> hold(players[n].mixer->lock);
    ASSERT_EQ(players[n].mixer->width, 8);
    const int x0 = n == 0 ? 10 : 40;
    EXPECT_EQ((players[n].mixer->pixels[8 * 5 + 3] >> 16) & 0xFF, uint32_t(x0 + 3));
  }
  for (One& one : players) {
    one.player->DestroyVideoWindow();
    one.player->Close();
    one.player->Release();
    one.source->Release();
    one.mixer->Release();
  }
  api.SetSurface(0, nullptr);
}

// A topology request and the presentation's shutdown from two channels'
// workers: whichever comes first, no session outlives the Close, and the
// source's reference is given back exactly once, also when the Open fails
// (a source without a presentation descriptor) with the Close in between.
TEST(VrMFPlayerThreadsTest, OpenRacingCloseLeavesNoSessionAndOneSourceReference) {
  LogCapture log;  // refused and failed opens are logged
  World world;
  constexpr int kRounds = 100;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    auto* source = new FakeSource({MFMediaType_Video, MFMediaType_Audio});
    if (round % 2) source->descriptorResult = E_FAIL;
    auto* player = new CVrMFPlayer(reinterpret_cast<HWND>(0x4242), 0);
    FakeSession* before = nullptr;
    {
      std::lock_guard<std::mutex> hold(world.lock);
      before = world.session;
    }
    std::atomic<int> ready{0};
    auto together = [&ready] {
      ++ready;
      while (ready.load() < 2) std::this_thread::yield();
    };
    HRESULT opened = S_OK;
    std::thread open([&] {
      together();
      source->AddRef();  // handed over on success
      opened = player->Open(source);
      if (FAILED(opened)) source->Release();
    });
    std::thread close([&] {
      together();
      player->Close();
    });
    open.join();
    close.join();
    EXPECT_EQ(player->CurrentState(), CVrMFPlayer::kNoSession);
    {
      std::lock_guard<std::mutex> hold(world.lock);
      if (world.session != before) {
        EXPECT_GE(world.session->shutdowns.load(), 1);
      }
    }
    EXPECT_EQ(source->References(), 1);
    EXPECT_EQ(source->shutdowns.load(), SUCCEEDED(opened) ? 1 : 0);
    player->Release();
    source->Release();
  }
}

}  // namespace
