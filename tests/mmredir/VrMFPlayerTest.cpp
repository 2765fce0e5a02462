#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "VrPlayerDoubles.h"
#include "display/AbstractSurfaceKeeper.h"
#include "mmredir/VrMFPlayer.h"
#include "mmredir/VrSessionView.h"
#include "support/FakeSystemApi.h"

using namespace playertest;

namespace {

const HWND kParent = reinterpret_cast<HWND>(0x4242);

// Waits for a condition another thread makes true, with a generous bound.
template <class Condition>
bool WaitUntil(Condition condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// ---- pixels ----------------------------------------------------------------------

uint8_t Red(int x, int y) { return uint8_t(x * 7 + y); }
uint8_t Green(int x, int y) { return uint8_t(y * 3 + 1); }
uint8_t Blue(int x, int y) { return uint8_t(x ^ y ^ 0x5A); }
uint32_t Opaque(int x, int y) { return 0xFF000000u | uint32_t(Red(x, y)) << 16 | uint32_t(Green(x, y)) << 8 | Blue(x, y); }

// A desktop of width x height pixels, red, green, blue first, rows padded to 4.
struct Desktop {
  Desktop(int width, int height, int bytesPerPixel) {
    picture.width = width;
    picture.height = height;
    picture.bytesPerPixel = bytesPerPixel;
    picture.stride = (int64_t(width) * bytesPerPixel + 3) & ~int64_t(3);
    bytes.assign(size_t(picture.stride) * height, 0xEE);
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x) Fill(&bytes[size_t(y) * picture.stride + size_t(x) * bytesPerPixel], x, y);
    picture.bits = bytes.data();
  }
  static void Fill(uint8_t* p, int x, int y) {
    p[0] = Red(x, y);
    p[1] = Green(x, y);
    p[2] = Blue(x, y);
  }
  std::vector<uint8_t> bytes;
  DesktopPicture picture;
};

// A picture in a buffer with guard bytes on both sides and a pitch wider
// than its rows.
struct Target {
  Target(int width, int height) : width(width), height(height), pitch(width * 4 + 8) {
    bytes.assign(kGuard + size_t(pitch) * height + kGuard, 0xCD);
  }
  ArgbPicture Picture() {
    ArgbPicture p;
    p.bits = bytes.data() + kGuard;
    p.pitch = pitch;
    p.width = width;
    p.height = height;
    return p;
  }
  uint32_t At(int x, int y) const {
    uint32_t v;
    std::memcpy(&v, bytes.data() + kGuard + size_t(y) * pitch + size_t(x) * 4, 4);
    return v;
  }
  bool GuardsIntact() const {
    for (size_t i = 0; i < kGuard; ++i)
      if (bytes[i] != 0xCD || bytes[bytes.size() - 1 - i] != 0xCD) return false;
    return true;
  }
  static constexpr size_t kGuard = 64;
  int width, height, pitch;
  std::vector<uint8_t> bytes;
};

struct ViewCase {
  const char* name;
  int x, y, width, height;
};

TEST(SessionViewTest, CopiesTheDesktopUnderTheWindowOpaqueAndLeavesTheRestTransparent) {
  const ViewCase cases[] = {
      {"inside", 4, 3, 16, 8},
      {"reaching past the right and bottom edges", 24, 15, 16, 8},
      {"negative position", -5, -2, 16, 8},
      {"entirely outside", 100, 0, 16, 8},
      {"entirely above and left", -40, -30, 16, 8},
      {"window smaller than the picture", 2, 2, 5, 3},
      {"overlong window", 1, 1, INT_MAX, INT_MAX},
      {"extreme negative position", INT_MIN, INT_MIN, INT_MAX, INT_MAX},
      {"extreme positive position", INT_MAX, INT_MAX, 16, 8},
  };
  for (int bpp : {3, 4}) {
    const Desktop desktop(32, 20, bpp);
    for (const ViewCase& c : cases) {
      SCOPED_TRACE(std::string(c.name) + ", bytes per pixel " + std::to_string(bpp));
      Target target(16, 8);
      CopyDesktopView(target.Picture(), desktop.picture, c.x, c.y, c.width, c.height);
      ASSERT_TRUE(target.GuardsIntact());
      for (int j = 0; j < target.height; ++j)
        for (int i = 0; i < target.width; ++i) {
          const int64_t sx = int64_t(c.x) + i, sy = int64_t(c.y) + j;
          const bool covered = i < c.width && j < c.height && sx >= 0 && sy >= 0 && sx < 32 && sy < 20;
          ASSERT_EQ(target.At(i, j), covered ? Opaque(int(sx), int(sy)) : 0u) << "pixel " << i << "," << j;
        }
    }
  }
}

struct RegionCase {
  const char* name;
  std::vector<RECT> regions;
};

TEST(SessionViewTest, VisibleRegionsBecomeTransparentInsideThePictureOnly) {
  const RegionCase cases[] = {
      {"inside", {{1, 1, 4, 3}, {10, 2, 16, 8}}},
      {"clipped at every edge", {{-3, -3, 2, 2}, {14, 6, 40, 40}}},
      {"negative and huge", {{INT_MIN, INT_MIN, INT_MAX, 1}}},
      {"outside", {{16, 0, 30, 8}, {0, 8, 16, 12}, {-10, -10, 0, 0}}},
      {"empty and inverted", {{5, 5, 5, 7}, {8, 6, 3, 2}}},
  };
  for (const RegionCase& c : cases) {
    SCOPED_TRACE(c.name);
    Target target(16, 8);
    for (int j = 0; j < 8; ++j)
      for (int i = 0; i < 16; ++i) {
        const uint32_t v = Opaque(i, j);
        std::memcpy(target.Picture().bits + size_t(j) * target.pitch + size_t(i) * 4, &v, 4);
      }
    ClearAlphaInRegions(target.Picture(), c.regions.data(), c.regions.size());
    ASSERT_TRUE(target.GuardsIntact());
    for (int j = 0; j < 8; ++j)
      for (int i = 0; i < 16; ++i) {
        bool inside = false;
        for (const RECT& r : c.regions) inside |= i >= r.left && i < r.right && j >= r.top && j < r.bottom;
        ASSERT_EQ(target.At(i, j), inside ? Opaque(i, j) & 0x00FFFFFFu : Opaque(i, j)) << "pixel " << i << "," << j;
      }
  }
}

// A mixer surface as the player makes it, and a display surface behind a
// system API.
struct ViewRig {
  ViewRig(int depth) {
    EXPECT_EQ(keeper.Create(32, 20, depth, depth), 1);
    const int bpp = depth / 8;
    auto* bits = const_cast<BYTE*>(keeper.GetImageBits());
    const int stride = (32 * bpp + 3) & ~3;
    for (int y = 0; y < 20; ++y)
      for (int x = 0; x < 32; ++x) Desktop::Fill(bits + y * stride + x * bpp, x, y);
    api.SetSurface(0, &keeper);
    EXPECT_EQ(CVrMFPlayer::CreateMixerSurface(&surface, nullptr, 16, 8), S_OK);
  }
  ~ViewRig() {
    if (surface) surface->Release();
    api.SetSurface(0, nullptr);
  }
  uint32_t At(int x, int y) {
    D3DLOCKED_RECT locked{};
    EXPECT_EQ(surface->LockRect(&locked, nullptr, D3DLOCK_READONLY), S_OK);
    uint32_t v;
    std::memcpy(&v, static_cast<uint8_t*>(locked.pBits) + y * locked.Pitch + x * 4, 4);
    surface->UnlockRect();
    return v;
  }
  CAbstractSurfaceKeeper keeper;
  testsupport::FakeSystemApi api;
  IDirect3DSurface9* surface = nullptr;
};

TEST(SessionViewTest, GetSessionViewReadsTheDisplaySurfaceAt24And32Bits) {
  for (int depth : {24, 32}) {
    SCOPED_TRACE(depth);
    ViewRig rig(depth);
    ASSERT_TRUE(rig.surface);
    EXPECT_EQ(CVrMFPlayer::GetSessionView(rig.surface, &rig.api, 0, 20, -3, 16, 8), S_OK);
    for (int j = 0; j < 8; ++j)
      for (int i = 0; i < 16; ++i) {
        const bool covered = 20 + i < 32 && j - 3 >= 0;
        ASSERT_EQ(rig.At(i, j), covered ? Opaque(20 + i, j - 3) : 0u) << i << "," << j;
      }
    const RECT regions[] = {{0, 0, 2, 2}, {-4, 6, 100, 100}};
    EXPECT_EQ(CVrMFPlayer::SetVideoVisableRegions(rig.surface, 16, 8, 2, regions), S_OK);
    EXPECT_EQ(rig.At(1, 1), 0u);  // not covered by the desktop and now transparent anyway
    EXPECT_EQ(rig.At(5, 7), Opaque(25, 4) & 0x00FFFFFFu);
    EXPECT_EQ(rig.At(5, 5), Opaque(25, 2));
  }
}

TEST(SessionViewTest, GetSessionViewWithoutADisplaySurfaceAbortsWithAClearedPicture) {
  LogCapture log;
  ViewRig rig(32);
  EXPECT_EQ(CVrMFPlayer::GetSessionView(rig.surface, &rig.api, 0, 0, 0, 16, 8), S_OK);
  EXPECT_EQ(rig.At(3, 3), Opaque(3, 3));
  EXPECT_EQ(CVrMFPlayer::GetSessionView(rig.surface, &rig.api, 2, 0, 0, 16, 8), E_ABORT);
  EXPECT_TRUE(log.Has("CVrMFPlayer::GetSessionView:  G_Api->GetSurface(2) returned null pointer"));
  EXPECT_EQ(rig.At(3, 3), 0u);
  EXPECT_EQ(CVrMFPlayer::GetSessionView(rig.surface, nullptr, 0, 0, 0, 16, 8), E_ABORT);
  EXPECT_EQ(CVrMFPlayer::GetSessionView(nullptr, &rig.api, 0, 0, 0, 16, 8), E_UNEXPECTED);
}

// ---- the player ------------------------------------------------------------------

struct PlayerRig {
  explicit PlayerRig(SessionScript session = {}, ServiceScript services = {},
                     std::vector<GUID> majors = {MFMediaType_Video, MFMediaType_Audio}, bool sound = true)
      : world(session, services) {
    source = new FakeSource(std::move(majors));
    source->sessionClosed = &closedFlag;
    player = new CVrMFPlayer(kParent, 0, sound);
  }
  ~PlayerRig() {
    EndPlayer();
    source->Release();
  }
  // As the presentation ends a player: its session holds the player as its
  // event callback until closed.
  void EndPlayer() {
    if (!player) return;
    player->DestroyVideoWindow();
    player->Close();
    player->Release();
    player = nullptr;
  }
  HRESULT Open() {
    source->AddRef();  // the reference handed over
    const HRESULT hr = player->Open(source);
    if (FAILED(hr)) source->Release();
    return hr;
  }
  FakeSession* Session() {
    std::lock_guard<std::mutex> hold(world.lock);
    return world.session;
  }

  World world;
  std::atomic<bool> closedFlag{false};
  FakeSource* source = nullptr;
  CVrMFPlayer* player = nullptr;
};

TEST(VrMFPlayerTest, AnswersItsCallbackInterfacesOnly) {
  PlayerRig rig;
  void* object = nullptr;
  EXPECT_EQ(rig.player->QueryInterface(IID_IMFAsyncCallback, &object), S_OK);
  EXPECT_EQ(object, static_cast<IMFAsyncCallback*>(rig.player));
  rig.player->Release();
  EXPECT_EQ(rig.player->QueryInterface(IID_IMFMediaSession, &object), E_NOINTERFACE);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(rig.player->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
  DWORD flags, queue;
  EXPECT_EQ(rig.player->GetParameters(&flags, &queue), E_NOTIMPL);
  EXPECT_GE(CVrMFPlayer::FrameworkUsers(), 1);
}

TEST(VrMFPlayerTest, OpenBuildsOneBranchPerSelectedStreamAndWaitsForTheTopology) {
  LogCapture log;
  PlayerRig rig;
  ASSERT_EQ(rig.player->CreateVideoWindow(), S_OK);
  const HWND window = rig.player->VideoWindow();
  ASSERT_NE(window, nullptr);
  ASSERT_EQ(rig.Open(), S_OK);
  EXPECT_EQ(rig.player->CurrentState(), CVrMFPlayer::kStopped);
  EXPECT_FALSE(log.Has("waiting for topology"));

  FakeTopology* topology = rig.Session()->topology;
  ASSERT_NE(topology, nullptr);
  ASSERT_EQ(topology->nodes.size(), 4u);
  for (int branch = 0; branch < 2; ++branch) {
    SCOPED_TRACE(branch);
    FakeNode* from = topology->nodes[branch * 2];
    FakeNode* to = topology->nodes[branch * 2 + 1];
    EXPECT_EQ(from->type, MF_TOPOLOGY_SOURCESTREAM_NODE);
    EXPECT_EQ(from->unknownKeys, (std::vector<GUID>{MF_TOPONODE_SOURCE, MF_TOPONODE_PRESENTATION_DESCRIPTOR,
                                                    MF_TOPONODE_STREAM_DESCRIPTOR}));
    EXPECT_EQ(to->type, MF_TOPOLOGY_OUTPUT_NODE);
    EXPECT_EQ(from->downstream, to);
    EXPECT_EQ(from->output, 0u);
    EXPECT_EQ(from->input, 0u);
    auto* activate = static_cast<FakeActivate*>(static_cast<IMFActivate*>(to->object));
    ASSERT_NE(activate, nullptr);
    EXPECT_EQ(activate->video, branch == 0);
    EXPECT_EQ(activate->window, branch == 0 ? window : nullptr);
  }
}

// A player made without sound (the session's sound is off) gives its audio
// streams a silent renderer; the video plays as ever.
TEST(VrMFPlayerTest, WithoutSoundTheAudioRendererIsMadeSilent) {
  for (bool sound : {true, false}) {
    SCOPED_TRACE(sound ? "sound on" : "sound off");
    PlayerRig rig({}, {}, {MFMediaType_Video, MFMediaType_Audio}, sound);
    ASSERT_EQ(rig.Open(), S_OK);
    FakeTopology* topology = rig.Session()->topology;
    ASSERT_NE(topology, nullptr);
    ASSERT_EQ(topology->nodes.size(), 4u);
    for (int branch = 0; branch < 2; ++branch) {
      auto* activate = static_cast<FakeActivate*>(static_cast<IMFActivate*>(topology->nodes[branch * 2 + 1]->object));
      ASSERT_NE(activate, nullptr);
      EXPECT_EQ(activate->silent, !activate->video && !sound) << "branch " << branch;
    }
  }
}

TEST(VrMFPlayerTest, AStreamOfAnotherMajorTypeIsDeselectedAndTheRestPlays) {
  LogCapture log;
  PlayerRig rig({}, {}, {MFMediaType_Audio, MF_MT_MAJOR_TYPE, MFMediaType_Video});
  ASSERT_EQ(rig.Open(), S_OK);
  EXPECT_TRUE(log.Has("CVrMFPlayer::CreateTopology: AddBranchToPartialTopology(1) FAILED [0x80004005]"));
  EXPECT_EQ(rig.Session()->topology->nodes.size(), 4u);
}

struct CommandCase {
  const char* name;
  int from;  // state to reach first
  const char* command;
  HRESULT result;
  int after;
  const char* log;  // null: nothing logged
};

HRESULT Command(CVrMFPlayer* player, const std::string& command) {
  if (command == "Play") return player->Play(1234, 0);
  if (command == "Restart") return player->Restart();
  if (command == "Pause") return player->Pause();
  return player->Stop();
}

void Reach(PlayerRig& rig, int state) {
  if (state == CVrMFPlayer::kNoSession) return;
  ASSERT_EQ(rig.Open(), S_OK);
  if (state == CVrMFPlayer::kStopped) return;
  ASSERT_EQ(rig.player->Play(0, 0), S_OK);
  if (state == CVrMFPlayer::kPlaying) return;
  ASSERT_EQ(rig.player->Pause(), S_OK);
}

TEST(VrMFPlayerTest, PlaybackCommandsInEveryState) {
  const HRESULT kInvalid = MF_E_INVALIDREQUEST;
  const CommandCase cases[] = {
      {"play without a session", 0, "Play", kInvalid, 0, "CVrMFPlayer::OnPlay: invalid state[0]"},
      {"restart without a session", 0, "Restart", kInvalid, 0, "CVrMFPlayer::Restart: invalid state[0]"},
      {"pause without a session", 0, "Pause", kInvalid, 0, "CVrMFPlayer::Pause: invalid state [0]"},
      {"stop without a session", 0, "Stop", E_UNEXPECTED, 0,
       "CVrMFPlayer::Stop: pointer to IMFMediaSession is null"},
      {"play when ready", 5, "Play", S_OK, 3, nullptr},
      {"restart when ready", 5, "Restart", S_OK, 3, nullptr},
      {"pause when ready", 5, "Pause", kInvalid, 5, "CVrMFPlayer::Pause: invalid state [5]"},
      {"stop when ready", 5, "Stop", S_OK, 5, nullptr},
      {"play while playing", 3, "Play", kInvalid, 3, "CVrMFPlayer::OnPlay: invalid state[3]"},
      {"restart while playing", 3, "Restart", kInvalid, 3, "CVrMFPlayer::Restart: invalid state[3]"},
      {"pause while playing", 3, "Pause", S_OK, 4, nullptr},
      {"stop while playing", 3, "Stop", S_OK, 5, nullptr},
      {"play while paused", 4, "Play", S_OK, 3, nullptr},
      {"restart while paused", 4, "Restart", S_OK, 3, nullptr},
      {"pause while paused", 4, "Pause", kInvalid, 4, "CVrMFPlayer::Pause: invalid state [4]"},
      {"stop while paused", 4, "Stop", S_OK, 5, nullptr},
  };
  for (const CommandCase& c : cases) {
    SCOPED_TRACE(c.name);
    PlayerRig rig;
    Reach(rig, c.from);
    LogCapture log;
    EXPECT_EQ(Command(rig.player, c.command), c.result);
    EXPECT_EQ(rig.player->CurrentState(), c.after);
    if (c.log) {
      EXPECT_TRUE(log.Has(c.log));
      EXPECT_EQ(log.Lines().size(), 1u);
    } else {
      EXPECT_TRUE(log.Lines().empty());
    }
  }
}

TEST(VrMFPlayerTest, FailingSessionCommandsAreLoggedAndKeepTheState) {
  const HRESULT kFail = HRESULT(0x80040111);
  struct FailCase {
    const char* command;
    int from;
    const char* log;
  } cases[] = {
      {"Play", 5, "CVrMFPlayer::OnPlay: IMFMediaSession->Start(...) FAILED [0x80040111]"},
      {"Restart", 4, "CVrMFPlayer::Restart: m_pMediaSession->Start(...) FAILED [0x80040111]"},
      {"Pause", 3, "CVrMFPlayer::Pause: IMFMediaSession->Pause() FAILED[0x80040111]"},
      {"Stop", 3, "CVrMFPlayer::Stop: IMFMediaSession->Stop() FAILED[0x80040111]"},
  };
  for (const FailCase& c : cases) {
    SCOPED_TRACE(c.command);
    PlayerRig rig;
    Reach(rig, c.from);
    rig.Session()->script.startResult = kFail;
    rig.Session()->script.pauseResult = kFail;
    rig.Session()->script.stopResult = kFail;
    LogCapture log;
    EXPECT_EQ(Command(rig.player, c.command), kFail);
    EXPECT_EQ(rig.player->CurrentState(), c.from);
    EXPECT_TRUE(log.Has(c.log));
  }
}

TEST(VrMFPlayerTest, OnlyTheFirstStartIgnoresTheOffset) {
  PlayerRig rig;
  ASSERT_EQ(rig.Open(), S_OK);
  ASSERT_EQ(rig.player->Play(5000000, 1), S_OK);
  ASSERT_EQ(rig.player->Stop(), S_OK);
  ASSERT_EQ(rig.player->Play(7000000, 1), S_OK);
  ASSERT_EQ(rig.player->Pause(), S_OK);
  ASSERT_EQ(rig.player->Restart(), S_OK);
  std::lock_guard<std::mutex> hold(rig.Session()->lock);
  const std::vector<PROPVARIANT>& starts = rig.Session()->starts;
  ASSERT_EQ(starts.size(), 3u);
  EXPECT_EQ(starts[0].vt, VT_EMPTY);
  EXPECT_EQ(starts[1].vt, VT_I8);
  EXPECT_EQ(starts[1].hVal, 7000000);
  EXPECT_EQ(starts[2].vt, VT_EMPTY);
}

TEST(VrMFPlayerTest, PlayBeforeTheTopologyIsReadyIsRefused) {
  SessionScript script;
  script.readyOnSetTopology = false;
  PlayerRig rig(script);
  rig.source->AddRef();
  auto open = std::async(std::launch::async, [&] { return rig.player->Open(rig.source); });
  // SetTopology is called under the session lock, which Open leaves in state 2.
  ASSERT_TRUE(WaitUntil([&] { return rig.Session() != nullptr; }));
  ASSERT_TRUE(rig.Session()->WaitForSetTopology());
  {
    LogCapture log;
    EXPECT_EQ(rig.player->CurrentState(), CVrMFPlayer::kTopologyPending);
    EXPECT_EQ(rig.player->Play(0, 0), MF_E_INVALIDREQUEST);
    EXPECT_TRUE(log.Has("CVrMFPlayer::OnPlay: invalid state[2]"));
  }
  rig.Session()->QueueReady();
  EXPECT_EQ(open.get(), S_OK);
  EXPECT_EQ(rig.player->CurrentState(), CVrMFPlayer::kStopped);
  EXPECT_EQ(rig.player->Play(0, 0), S_OK);
}

TEST(VrMFPlayerTest, VolumeIsAppliedToEveryChannelAndStoredForTheNextTopology) {
  ServiceScript services;
  services.channels = 6;
  PlayerRig rig({}, services);
  // Before any topology: stored only, then applied when the topology is ready.
  EXPECT_EQ(rig.player->SetVolume(2500, 0), S_OK);
  EXPECT_EQ(rig.world.streamVolume->sets.load(), 0);
  ASSERT_EQ(rig.Open(), S_OK);
  EXPECT_EQ(rig.world.streamVolume->Levels(), std::vector<float>(6, 0.25f));

  EXPECT_EQ(rig.player->SetVolume(5000, 0), S_OK);
  EXPECT_EQ(rig.world.streamVolume->Levels(), std::vector<float>(6, 0.5f));
  EXPECT_EQ(rig.player->SetVolume(5000, 1), S_OK);
  EXPECT_EQ(rig.world.streamVolume->Levels(), std::vector<float>(6, 0.0f));
  EXPECT_EQ(rig.player->SetVolume(10000, 0), S_OK);
  EXPECT_EQ(rig.world.streamVolume->Levels(), std::vector<float>(6, 1.0f));
}

TEST(VrMFPlayerTest, AnAudioOnlyPresentationGetsItsVolumeAndOpensWithoutWaitingOut) {
  LogCapture log;
  ServiceScript services;
  services.displayControl = false;
  services.mixerBitmap = false;
  PlayerRig rig({}, services, {MFMediaType_Audio});
  EXPECT_EQ(rig.player->SetVolume(5000, 0), S_OK);
  ASSERT_EQ(rig.Open(), S_OK);
  // The ready event was set: Open did not wait out its 5 s.
  EXPECT_FALSE(log.Has("waiting for topology completed"));
  EXPECT_TRUE(log.Has("MFGetService for IMFVideoDisplayControl FAILED"));
  EXPECT_EQ(rig.world.streamVolume->Levels(), std::vector<float>(2, 0.5f));
  // Geometry without video services changes nothing and does not fail.
  const RECT regions[] = {{0, 0, 10, 10}, {20, 20, 30, 30}};
  EXPECT_EQ(rig.player->SetVideoWindowPos(true, 0, 0, 64, 36, 2, regions), S_OK);
  EXPECT_FALSE(rig.player->RefreshRunning());
}

struct OpenFailure {
  const char* name;
  HRESULT result;
  const char* log;
  void (*arrange)(PlayerRig&);
};

TEST(VrMFPlayerTest, AFailedOpenLeavesTheSourceReferenceWithTheCaller) {
  const HRESULT kFail = HRESULT(0x80040155);
  const OpenFailure cases[] = {
      {"no session", kFail, "CVrMFPlayer::CreateMediaSession: MFCreateMediaSession FAILED [0x80040155]",
       [](PlayerRig& r) { r.world.createSessionResult = HRESULT(0x80040155); }},
      {"no topology", kFail, nullptr, [](PlayerRig& r) { r.world.createTopologyResult = HRESULT(0x80040155); }},
      {"no presentation descriptor", kFail,
       "CVrMFPlayer::CreateTopology: CreatePresentationDescriptor FAILED [0x80040155]",
       [](PlayerRig& r) { r.source->descriptorResult = HRESULT(0x80040155); }},
      {"topology refused", kFail,
       "CVrMFPlayer::Open: could not add a new topology to the session FAILED hr[0x80040155]",
       [](PlayerRig& r) { r.world.sessionScript.setTopologyResult = HRESULT(0x80040155); }},
      // Taken, then failed on the session's own thread: answered at once.
      {"topology not built", HRESULT(0xC00D5212),
       "CVrMFPlayer::Open: the session could not build the topology hr[0xc00d5212]",
       [](PlayerRig& r) { r.world.sessionScript.topologySetStatus = HRESULT(0xC00D5212); }},
  };
  for (const OpenFailure& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    PlayerRig rig;
    c.arrange(rig);
    rig.source->AddRef();
    EXPECT_EQ(rig.player->Open(rig.source), c.result);
    EXPECT_EQ(rig.player->CurrentState(), CVrMFPlayer::kNoSession);
    if (c.log) {
      EXPECT_TRUE(log.Has(c.log));
    }
    EXPECT_FALSE(log.Has("waiting for topology completed"));
    // The caller still holds the reference it handed in, and releases it.
    EXPECT_GE(rig.source->References(), 2);
    rig.source->Release();
    rig.EndPlayer();
    EXPECT_EQ(rig.source->References(), 1);
    EXPECT_EQ(rig.source->shutdowns.load(), 0);
  }
}

TEST(VrMFPlayerTest, CloseWaitsForTheSessionToCloseBeforeShuttingTheSourceDown) {
  SessionScript script;
  script.closedOnClose = false;
  PlayerRig rig(script);
  ASSERT_EQ(rig.Open(), S_OK);
  FakeSession* session = rig.Session();
  session->AddRef();
  rig.closedFlag = false;
  auto close = std::async(std::launch::async, [&] { return rig.player->Close(); });
  ASSERT_TRUE(session->WaitForClose());
  EXPECT_EQ(rig.source->shutdowns.load(), 0);
  rig.closedFlag = true;
  session->QueueClosed();
  EXPECT_EQ(close.get(), S_OK);
  EXPECT_EQ(rig.source->shutdowns.load(), 1);
  EXPECT_TRUE(rig.source->shutdownAfterClosed.load());
  EXPECT_EQ(session->shutdowns.load(), 1);
  EXPECT_EQ(rig.player->CurrentState(), CVrMFPlayer::kNoSession);
  // The player let go of the source it owned.
  EXPECT_EQ(rig.source->References(), 1);
  session->Release();
}

// The presentation's Close is its last word: an Open after it, as a
// topology request racing the shutdown may bring, makes no session that
// would hold the player for ever.
TEST(VrMFPlayerTest, AClosedPlayerOpensNoSession) {
  PlayerRig rig;
  EXPECT_EQ(rig.player->Close(), S_OK);  // never opened: at once
  rig.source->AddRef();
  EXPECT_EQ(rig.player->Open(rig.source), MF_E_SHUTDOWN);
  EXPECT_EQ(rig.Session(), nullptr);
  EXPECT_EQ(rig.player->CurrentState(), CVrMFPlayer::kNoSession);
  EXPECT_EQ(rig.source->References(), 2);  // the caller's still
  rig.source->Release();
  EXPECT_EQ(rig.source->shutdowns.load(), 0);
}

TEST(VrMFPlayerTest, AFailedCloseKeepsTheSessionAndFailsTheNextOpen) {
  LogCapture log;
  PlayerRig rig;
  ASSERT_EQ(rig.Open(), S_OK);
  rig.Session()->script.closeResult = HRESULT(0x80040222);
  EXPECT_EQ(rig.player->Close(), HRESULT(0x80040222));
  EXPECT_TRUE(log.Has("CVrMFPlayer::Close: IMFMediaSession->Close() FAILED[0x80040222]"));
  EXPECT_EQ(rig.player->CurrentState(), CVrMFPlayer::kStopped);
  rig.source->AddRef();
  EXPECT_EQ(rig.player->Open(rig.source), HRESULT(0x80040222));
  rig.source->Release();
  EXPECT_TRUE(log.Has("CVrMFPlayer::Open: releasing of the previous session correctly FAILED hr[0x80040222]"));
  rig.Session()->script.closeResult = S_OK;
}

TEST(VrMFPlayerTest, UnknownEventsAreLoggedAndListeningGoesOnUntilAFailedStatus) {
  LogCapture log;
  PlayerRig rig;
  ASSERT_EQ(rig.Open(), S_OK);
  FakeSession* session = rig.Session();
  // Every event the player handles is followed by a new BeginGetEvent. The
  // topology-ready handler may still hold the session lock as Open returns:
  // let it finish before counting.
  rig.player->CurrentState();
  const int before = session->beginGetEvents.load();
  session->QueueEvent(MESessionEnded, GUID_NULL, S_OK, nullptr);
  session->QueueEvent(MESessionStopped, GUID_NULL, S_OK, nullptr);
  EXPECT_TRUE(WaitUntil([&] { return session->beginGetEvents.load() >= before + 2; }));
  EXPECT_TRUE(log.Has("CVrMFPlayer::Invoke: 107 unknow event"));
  session->QueueEvent(MESessionStarted, GUID_NULL, HRESULT(0xC00D36B2), nullptr);
  EXPECT_TRUE(WaitUntil([&] { return log.Has("IMFMediaEvent->GetStatus returned status [0xc00d36b2]"); }));
  rig.player->CurrentState();  // the handler has let go of the session lock
  EXPECT_EQ(session->beginGetEvents.load(), before + 2);
  // No longer hearing the session, Close does not wait for its closed event.
  EXPECT_EQ(rig.player->Close(), S_OK);
  EXPECT_FALSE(log.Has("WaitForSingleObject returned"));
}

// ---- geometry and covering -------------------------------------------------------

struct CoverRig : PlayerRig {
  CoverRig() {
    keeper.Create(64, 40, 32, 32);
    auto* bits = const_cast<BYTE*>(keeper.GetImageBits());
    for (int y = 0; y < 40; ++y)
      for (int x = 0; x < 64; ++x) Desktop::Fill(bits + (y * 64 + x) * 4, x, y);
    api.SetSurface(0, &keeper);
    host.api = &api;
  }
  ~CoverRig() {
    EndPlayer();
    api.SetSurface(0, nullptr);
  }
  CAbstractSurfaceKeeper keeper;
  testsupport::FakeSystemApi api;
  RecordingHost host;
};

TEST(VrMFPlayerTest, APartlyCoveredVideoIsPaintedOverOutsideItsVisibleRegions) {
  CoverRig rig;
  ASSERT_EQ(rig.player->CreateVideoWindow(), S_OK);
  ASSERT_EQ(rig.Open(), S_OK);
  const RECT regions[] = {{0, 0, 8, 8}, {10, 2, 14, 4}, {-5, 15, 3, 99}};
  EXPECT_EQ(rig.player->SetVideoWindowPos(true, 40, 30, 32, 16, 3, regions), S_OK);
  FakeMixerBitmap* mixer = rig.world.mixerBitmap;
  ASSERT_GE(mixer->sets.load(), 1);
  EXPECT_TRUE(rig.player->RefreshRunning());
  {
    std::lock_guard<std::mutex> hold(mixer->lock);
    ASSERT_EQ(mixer->width, 32);
    ASSERT_EQ(mixer->height, 16);
    EXPECT_EQ(mixer->params.dwFlags, MFVideoAlphaBitmap_EntireDDS | MFVideoAlphaBitmap_DestRect);
    EXPECT_EQ(mixer->params.nrcDest.right, 1.0f);
    EXPECT_EQ(mixer->params.nrcDest.bottom, 1.0f);
    for (int j = 0; j < 16; ++j)
      for (int i = 0; i < 32; ++i) {
        bool visible = false;
        for (const RECT& r : regions) visible |= i >= r.left && i < r.right && j >= r.top && j < r.bottom;
        const bool desktop = 40 + i < 64 && 30 + j < 40;
        uint32_t expected = desktop ? Opaque(40 + i, 30 + j) : 0u;
        if (visible) expected &= 0x00FFFFFFu;
        ASSERT_EQ(mixer->pixels[size_t(j) * 32 + i], expected) << i << "," << j;
      }
  }
  const auto placements = rig.host.Placements();
  ASSERT_FALSE(placements.empty());
  EXPECT_TRUE(placements.back().move && placements.back().show);
  EXPECT_EQ(placements.back().x, 40);
  EXPECT_EQ(placements.back().width, 32);

  // Same size: the surface and the refresh stay, the regions change.
  IDirect3DSurface9* surface = mixer->surface;
  const RECT fewer[] = {{0, 0, 32, 8}, {0, 8, 1, 9}};
  EXPECT_EQ(rig.player->SetVideoWindowPos(true, 0, 0, 32, 16, 2, fewer), S_OK);
  EXPECT_TRUE(rig.player->RefreshRunning());
  rig.player->RefreshNow();
  {
    std::lock_guard<std::mutex> hold(mixer->lock);
    EXPECT_EQ(mixer->surface, surface);
    EXPECT_EQ(mixer->pixels[size_t(12) * 32 + 5], Opaque(5, 12));
    EXPECT_EQ(mixer->pixels[size_t(3) * 32 + 5], Opaque(5, 3) & 0x00FFFFFFu);
  }

  // No visible region: hidden, no refresh, no alpha bitmap.
  const int clears = mixer->clears.load();
  EXPECT_EQ(rig.player->SetVideoWindowPos(true, 0, 0, 32, 16, 0, nullptr), S_OK);
  EXPECT_FALSE(rig.player->RefreshRunning());
  EXPECT_GT(mixer->clears.load(), clears);
  EXPECT_FALSE(rig.host.Placements().back().move);
  EXPECT_FALSE(rig.host.Placements().back().show);
}

TEST(VrMFPlayerTest, TheRefreshThreadFollowsTheDesktopWhileTheVideoIsCovered) {
  CoverRig rig;
  ASSERT_EQ(rig.player->CreateVideoWindow(), S_OK);
  ASSERT_EQ(rig.Open(), S_OK);
  const RECT regions[] = {{0, 0, 2, 2}, {4, 4, 6, 6}};
  EXPECT_EQ(rig.player->SetVideoWindowPos(true, 8, 8, 16, 8, 2, regions), S_OK);
  ASSERT_TRUE(rig.player->RefreshRunning());
  // The desktop changes under the video; a later tick copies it.
  if (ISurfaceKeeper* surface = rig.api.LockFrameBuffer(0)) {
    BYTE* pixel = const_cast<BYTE*>(surface->GetImageBits()) + (10 * 64 + 18) * 4;
    pixel[0] = 0x12;
    pixel[1] = 0x34;
    pixel[2] = 0x56;
    rig.api.UnlockFrameBuffer(surface);
  }
  FakeMixerBitmap* mixer = rig.world.mixerBitmap;
  EXPECT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> hold(mixer->lock);
    return mixer->pixels.size() == 16u * 8u && mixer->pixels[2 * 16 + 10] == 0xFF123456u;
  }));
}

TEST(VrMFPlayerTest, OneVisibleRegionShowsTheWholeVideoAndZeroSizesChangeNothing) {
  CoverRig rig;
  ASSERT_EQ(rig.player->CreateVideoWindow(), S_OK);
  ASSERT_EQ(rig.Open(), S_OK);
  ASSERT_EQ(rig.player->Play(0, 0), S_OK);
  ASSERT_EQ(rig.player->Pause(), S_OK);
  const size_t calls = rig.host.Calls().size();
  const RECT one[] = {{0, 0, 640, 360}};
  EXPECT_EQ(rig.player->SetVideoWindowPos(true, 10, 20, 0, 360, 1, one), S_OK);
  EXPECT_EQ(rig.player->SetVideoWindowPos(true, 10, 20, 640, -1, 1, one), S_OK);
  EXPECT_EQ(rig.host.Calls().size(), calls);

  EXPECT_EQ(rig.player->SetVideoWindowPos(false, 10, 20, 640, 360, 1, one), S_OK);
  EXPECT_EQ(rig.host.Calls().back(), "hide");
  EXPECT_EQ(rig.player->SetVideoWindowPos(true, 10, 20, 640, 360, 1, one), S_OK);
  EXPECT_EQ(rig.host.Calls().back(), "show");
  std::lock_guard<std::mutex> hold(rig.world.displayControl->lock);
  ASSERT_FALSE(rig.world.displayControl->positions.empty());
  const RECT last = rig.world.displayControl->positions.back();
  EXPECT_EQ(last.right, 640);
  EXPECT_EQ(last.bottom, 360);
  EXPECT_TRUE(rig.world.displayControl->sourceWasNull);
  EXPECT_GE(rig.world.displayControl->repaints.load(), 2);  // paused: repainted each time
}

TEST(VrMFPlayerTest, TheVideoWindowIsMadeOnceAndDestroyedWithItsRefresh) {
  CoverRig rig;
  ASSERT_EQ(rig.player->CreateVideoWindow(), S_OK);
  const HWND window = rig.player->VideoWindow();
  ASSERT_EQ(rig.player->CreateVideoWindow(), S_OK);
  EXPECT_EQ(rig.player->VideoWindow(), window);
  ASSERT_EQ(rig.Open(), S_OK);
  const RECT regions[] = {{0, 0, 8, 8}, {10, 2, 14, 4}};
  EXPECT_EQ(rig.player->SetVideoWindowPos(true, 0, 0, 32, 16, 2, regions), S_OK);
  EXPECT_TRUE(rig.player->RefreshRunning());
  EXPECT_EQ(rig.player->DestroyVideoWindow(), S_OK);
  EXPECT_FALSE(rig.player->RefreshRunning());
  EXPECT_EQ(rig.player->VideoWindow(), nullptr);
  EXPECT_EQ(rig.host.Calls(), (std::vector<std::string>{"create", "show", "destroy"}));
  // A new window gets a new handle.
  ASSERT_EQ(rig.player->CreateVideoWindow(), S_OK);
  EXPECT_NE(rig.player->VideoWindow(), window);
}

TEST(VrMFPlayerTest, ServerRectanglesOfAnySizeStayInsideTheSurfaces) {
  CoverRig rig;
  ASSERT_EQ(rig.player->CreateVideoWindow(), S_OK);
  ASSERT_EQ(rig.Open(), S_OK);
  const RECT wild[] = {{INT_MIN, INT_MIN, INT_MAX, INT_MAX}, {50, 50, -50, -50}, {3, 3, 4, 4}};
  EXPECT_EQ(rig.player->SetVideoWindowPos(true, -30, -30, 48, 24, 3, wild), S_OK);
  EXPECT_EQ(rig.player->SetVideoWindowPos(true, INT_MAX, INT_MIN, 48, 24, 3, wild), S_OK);
  rig.player->RefreshNow();
  // A window too large for any surface leaves the player without one.
  LogCapture log;
  EXPECT_EQ(rig.player->SetVideoWindowPos(true, 0, 0, INT_MAX, INT_MAX, 3, wild), S_OK);
  EXPECT_TRUE(log.Has("CVrMFPlayer::CreateMixerSurface:"));
  rig.player->RefreshNow();
}

}  // namespace
