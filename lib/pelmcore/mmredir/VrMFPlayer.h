// The player of one redirected multimedia presentation: a media session over
// the presentation's media source, audio to the audio renderer, video to
// the video renderer in a video window of its own over the session window,
// and the parts of the remote desktop that cover the video painted over it
// through the video mixer's alpha bitmap.
//
// Threads: the channel's worker calls the IRdpMMVrPlayer operations; the
// work queues call Invoke with the session's events; a refresh thread of the
// player's re-copies the covering desktop every 100 ms while the video is
// partly covered. The video window lives on the GUI thread behind
// IVrVideoWindowHost. Lock order: session lock, then mixer lock, then the
// system API's frame-buffer lock. The refresh thread is joined with no lock
// held.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "mmredir/RdpMMVrPlayer.h"
#include "mmredir/VrMFPlayerPlatform.h"
#include "pelplat/comobject.h"
#include "pelplat/d3d9.h"
#include "pelplat/mfsession.h"

class CClientSystemApi;

class CVrMFPlayer final : public pelplat::ComObject<IMFAsyncCallback, IRdpMMVrPlayer> {
 public:
  enum State : int32_t {
    kNoSession = 0,
    kSessionCreated = 1,
    kTopologyPending = 2,
    kPlaying = 3,
    kPaused = 4,
    kStopped = 5,
    kClosing = 6,
  };

  static constexpr int kRefreshMilliseconds = 100;

  // Without `sound` (the session's sound is off) the audio streams play
  // into a renderer that opens no device.
  CVrMFPlayer(HWND parent, int32_t displayIndex, bool sound = true);
  CVrMFPlayer(const CVrMFPlayer&) = delete;
  CVrMFPlayer& operator=(const CVrMFPlayer&) = delete;

  // IUnknown / IMFAsyncCallback
  HRESULT QueryInterface(REFIID riid, void** object) override;
  HRESULT GetParameters(DWORD* flags, DWORD* queue) override;
  HRESULT Invoke(IMFAsyncResult* result) override;

  // IRdpMMVrPlayer
  HRESULT CreateVideoWindow() override;
  HRESULT DestroyVideoWindow() override;
  HRESULT Open(IMFMediaSource* source) override;
  HRESULT Play(int64_t offset, uint32_t seek) override;
  HRESULT Restart() override;
  HRESULT Pause() override;
  HRESULT Stop() override;
  // Ends the session for good: a later (or racing) Open makes none.
  HRESULT Close() override;
  HRESULT SetVideoWindowPos(bool visible, int32_t x, int32_t y, int32_t width, int32_t height,
                            int32_t regionCount, const RECT* regions) override;
  HRESULT SetVolume(uint32_t volume, uint32_t muted) override;

  // Copies the desktop of `displayIndex` under (x, y, width, height) into
  // the surface, opaque; surface pixels with no desktop pixel stay 0.
  static HRESULT GetSessionView(IDirect3DSurface9* surface, CClientSystemApi* api, int32_t displayIndex,
                                int32_t x, int32_t y, int32_t width, int32_t height);
  // Alpha 0 inside every region, clipped to the surface.
  static HRESULT SetVideoVisableRegions(IDirect3DSurface9* surface, int32_t width, int32_t height,
                                        uint32_t regionCount, const RECT* regions);
  // A zeroed system-memory A8R8G8B8 surface for the mixer.
  static HRESULT CreateMixerSurface(IDirect3DSurface9** surface, HWND window, int32_t width, int32_t height);

  // For tests.
  int32_t CurrentState();
  HWND VideoWindow();
  bool RefreshRunning();
  // Runs one refresh tick now, as the refresh thread does.
  void RefreshNow();

  // The number of live players (the users of Media Foundation).
  static int32_t FrameworkUsers();

 private:
  struct Geometry {
    int32_t x = 0;
    int32_t y = 0;
    int32_t width = 0;
    int32_t height = 0;
  };
  class RefreshThread;

  ~CVrMFPlayer() override;

  // Ends the media session and releases what Open built; Open runs it
  // before it builds a new one.
  HRESULT CloseSession();
  HRESULT CreateMediaSession();
  HRESULT CreateTopology(IMFMediaSource* source, IMFTopology** topology);
  HRESULT AddBranchToPartialTopology(IMFMediaSource* source, DWORD index, IMFTopology* topology,
                                     IMFPresentationDescriptor* presentation, HWND window);
  HRESULT CreateSourceStreamNode(IMFMediaSource* source, IMFPresentationDescriptor* presentation,
                                 IMFStreamDescriptor* stream, IMFTopologyNode** node);
  HRESULT CreateOutputNode(IMFStreamDescriptor* stream, HWND window, IMFTopologyNode** node);

  // Session events, under the session lock.
  HRESULT OnMESessionTopologyStatus(IMFMediaEvent* event);
  HRESULT OnMESessionCapabilitiesChanged(IMFMediaEvent* event);
  HRESULT OnMESessionNotifyPresentationTime(IMFMediaEvent* event);
  HRESULT OnTopologyReady();
  HRESULT OnPlay(int64_t offset);
  HRESULT ApplyVolume();

  HRESULT ClearMixerSettings();
  void UpdateSessionView();
  // Takes the refresh thread out under the mixer lock; the caller joins it
  // with no lock held.
  std::unique_ptr<RefreshThread> TakeRefreshThread();
  void StopRefresh();

  std::mutex sessionLock_;
  std::mutex mixerLock_;

  // Under the session lock.
  int32_t state_ = kNoSession;
  pelplat::Ref<IMFMediaSource> source_;
  pelplat::Ref<IMFMediaSession> m_pMediaSession;
  pelplat::Ref<IMFVideoDisplayControl> displayControl_;
  pelplat::Ref<IMFAudioStreamVolume> streamVolume_;
  pelplat::Ref<IMFTopology> topology_;
  pelplat::Ref<IMFPresentationClock> clock_;
  HANDLE sessionClosedEvent_ = nullptr;
  HANDLE topologyReadyEvent_ = nullptr;
  uint32_t volume_ = 5000;
  uint32_t muted_ = 0;
  HWND videoWindow_ = nullptr;
  int32_t firstStart_ = 1;
  bool listening_ = false;  // a BeginGetEvent is outstanding
  bool shutDown_ = false;   // Close ran: no further session
  // A failed event while Open waited for the topology: the session could
  // not build it, and Open answers this instead of success.
  HRESULT topologyFailure_ = S_OK;

  // Under the mixer lock.
  pelplat::Ref<IMFVideoMixerBitmap> mixerBitmap_;
  pelplat::Ref<IDirect3DSurface9> mixerSurface_;
  int32_t mixerSurfaceWidth_ = 0;
  int32_t mixerSurfaceHeight_ = 0;
  std::unique_ptr<RefreshThread> refresh_;
  std::vector<RECT> regions_;
  Geometry lastGeometry_;

  const HWND parent_;
  const int32_t displayIndex_;
  const bool sound_;
  const VrMFPlayerPlatform& platform_;
};
