#include "mmredir/VrMFPlayer.h"

#include <chrono>
#include <cstring>
#include <utility>

#include "display/SurfaceKeeper.h"
#include "mmredir/VrSessionView.h"
#include "mmredir/VrVideoWindowHost.h"
#include "pelplat/mfapi.h"
#include "pelplat/objbase.h"
#include "pelplat/synch.h"
#include "pelplat/winerror.h"
#include "session/ClientSystemApi.h"
#include "sys/klog.h"

#define D3DCREATE_FPU_PRESERVE 0x00000002u

namespace {

// The live players; the first starts COM and Media Foundation, the last
// shuts them down.
std::mutex g_frameworkLock;
int32_t g_frameworkUsers = 0;
bool g_comStarted = false;

// Video window handles are never reused, so a window that goes away late
// can never unregister the presenter of a newer one.
std::atomic<uintptr_t> g_lastVideoWindow{0x7e5a0000u};

HRESULT FromWin32(DWORD error) {
  if (int32_t(error) <= 0) return HRESULT(error);
  return HRESULT(0x80070000u | (error & 0xFFFFu));
}

using pelplat::Ref;
using pelplat::SafeRelease;

}  // namespace

// Runs the covering refresh every 100 ms until stopped. A thread of the
// player's rather than a timer of the video window: the refresh copies the
// desktop under the frame-buffer lock and takes the player's locks, which
// the GUI thread must never wait for, and it needs no window to exist.
class CVrMFPlayer::RefreshThread {
 public:
  explicit RefreshThread(CVrMFPlayer* player) : thread_([this, player] { Run(player); }) {}
  ~RefreshThread() { Stop(); }

  void Stop() {
    {
      std::lock_guard<std::mutex> hold(lock_);
      stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

 private:
  void Run(CVrMFPlayer* player) {
    std::unique_lock<std::mutex> hold(lock_);
    while (!wake_.wait_for(hold, std::chrono::milliseconds(kRefreshMilliseconds), [this] { return stop_; })) {
      hold.unlock();
      player->RefreshNow();
      hold.lock();
    }
  }

  std::mutex lock_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread thread_;  // last: it starts once the rest exists
};

CVrMFPlayer::CVrMFPlayer(HWND parent, int32_t displayIndex, bool sound)
    : parent_(parent), displayIndex_(displayIndex), sound_(sound), platform_(CurrentVrMFPlayerPlatform()) {
  std::lock_guard<std::mutex> hold(g_frameworkLock);
  if (g_frameworkUsers++ == 0) {
    g_comStarted = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    MFStartup(MF_VERSION, MFSTARTUP_FULL);
  }
}

CVrMFPlayer::~CVrMFPlayer() {
  Close();
  StopRefresh();
  // A window the presentation did not destroy goes with its player.
  if (videoWindow_)
    if (IVrVideoWindowHost* host = VrVideoWindowHost()) host->DestroyVideoWindow(videoWindow_);
  mixerSurface_.reset();
  mixerBitmap_.reset();
  std::lock_guard<std::mutex> hold(g_frameworkLock);
  if (--g_frameworkUsers == 0) {
    MFShutdown();
    if (g_comStarted) CoUninitialize();
    g_comStarted = false;
  }
}

int32_t CVrMFPlayer::FrameworkUsers() {
  std::lock_guard<std::mutex> hold(g_frameworkLock);
  return g_frameworkUsers;
}

HRESULT CVrMFPlayer::QueryInterface(REFIID riid, void** object) {
  return Answer(riid, object, IID_IMFAsyncCallback);
}

HRESULT CVrMFPlayer::GetParameters(DWORD*, DWORD*) { return E_NOTIMPL; }

// ---- the video window ------------------------------------------------------------

HRESULT CVrMFPlayer::CreateVideoWindow() {
  HWND window = nullptr;
  {
    std::lock_guard<std::mutex> hold(sessionLock_);
    if (videoWindow_) return S_OK;
    window = reinterpret_cast<HWND>(++g_lastVideoWindow);
    videoWindow_ = window;
  }
  if (IVrVideoWindowHost* host = VrVideoWindowHost()) host->CreateVideoWindow(window, parent_);
  return S_OK;
}

HRESULT CVrMFPlayer::DestroyVideoWindow() {
  HWND window = nullptr;
  {
    std::lock_guard<std::mutex> hold(sessionLock_);
    std::swap(window, videoWindow_);
  }
  StopRefresh();
  if (window)
    if (IVrVideoWindowHost* host = VrVideoWindowHost()) host->DestroyVideoWindow(window);
  return S_OK;
}

HWND CVrMFPlayer::VideoWindow() {
  std::lock_guard<std::mutex> hold(sessionLock_);
  return videoWindow_;
}

int32_t CVrMFPlayer::CurrentState() {
  std::lock_guard<std::mutex> hold(sessionLock_);
  return state_;
}

// ---- opening ---------------------------------------------------------------------

HRESULT CVrMFPlayer::Open(IMFMediaSource* source) {
  HRESULT hr = CloseSession();
  if (FAILED(hr)) {
    LogMessageA("CVrMFPlayer::Open: releasing of the previous session correctly FAILED hr[0x%x]", unsigned(hr));
    std::lock_guard<std::mutex> hold(sessionLock_);
    state_ = kNoSession;
    return hr;
  }
  if (!source) return E_POINTER;

  HANDLE readyEvent = nullptr;
  bool wait = false;
  {
    std::lock_guard<std::mutex> hold(sessionLock_);
    // A session made after the presentation's Close would never be closed,
    // and it holds the player as its event callback.
    if (shutDown_) {
      state_ = kNoSession;
      return MF_E_SHUTDOWN;
    }
    sessionClosedEvent_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    topologyReadyEvent_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    topologyFailure_ = S_OK;
    hr = CreateMediaSession();
    if (FAILED(hr)) {
      LogMessageA("CVrMFPlayer::Open: creating a new session FAILED hr[0x%x]", unsigned(hr));
      state_ = kNoSession;
      return hr;
    }
    source_ = Ref<IMFMediaSource>(source);

    IMFTopology* topology = nullptr;
    hr = CreateTopology(source, &topology);
    if (topology) topology_ = Ref<IMFTopology>(topology);
    if (SUCCEEDED(hr) && !topology_) {
      LogMessageA("CVrMFPlayer::Open: creating a new topology FAILED hr[0x%x]", unsigned(hr));
      hr = E_UNEXPECTED;
    }
    if (SUCCEEDED(hr)) {
      hr = m_pMediaSession->SetTopology(0, topology_.get());
      if (FAILED(hr))
        LogMessageA("CVrMFPlayer::Open: could not add a new topology to the session FAILED hr[0x%x]", unsigned(hr));
    }
    if (SUCCEEDED(hr)) {
      IMFClock* clock = nullptr;
      if (SUCCEEDED(m_pMediaSession->GetClock(&clock)) && clock) {
        clock->QueryInterface(IID_IMFPresentationClock, clock_.outVoid());
        clock->Release();
      }
      if (state_ == kSessionCreated) state_ = kTopologyPending;
      wait = state_ == kTopologyPending;
      readyEvent = topologyReadyEvent_;
      // Kept open until the wait below is over: a Close meanwhile closes
      // the player's handle.
      if (wait && readyEvent) DuplicateHandleRef(readyEvent);
    } else {
      // Forgotten before the lock goes, so that a Close cannot shut down
      // and release what is still the caller's reference.
      state_ = kNoSession;
      source_.detach();
    }
  }

  if (wait && readyEvent) {
    const DWORD result = WaitForSingleObject(readyEvent, platform_.waitMilliseconds);
    if (result != WAIT_OBJECT_0)
      LogMessageA("CVrMFPlayer::Open:  waiting for topology completed (result[%d])", int(result));
    CloseHandle(readyEvent);
    // A topology the session could not build plays nothing: the server is
    // told so and plays the media itself. The source goes back to the
    // caller unless a Close has taken it meanwhile.
    std::lock_guard<std::mutex> hold(sessionLock_);
    if (FAILED(topologyFailure_) && source_.get() == source) {
      hr = topologyFailure_;
      LogMessageA("CVrMFPlayer::Open: the session could not build the topology hr[0x%x]", unsigned(hr));
      state_ = kNoSession;
      source_.detach();
    }
  }
  return hr;
}

HRESULT CVrMFPlayer::CreateMediaSession() {
  if (state_ != kNoSession) return E_UNEXPECTED;
  IMFMediaSession* session = nullptr;
  HRESULT hr = platform_.createMediaSession(nullptr, &session);
  if (FAILED(hr) || !session) {
    if (SUCCEEDED(hr)) hr = E_UNEXPECTED;
    LogMessageA("CVrMFPlayer::CreateMediaSession: MFCreateMediaSession FAILED [0x%x]", unsigned(hr));
    return hr;
  }
  m_pMediaSession = Ref<IMFMediaSession>(session);
  state_ = kSessionCreated;
  hr = m_pMediaSession->BeginGetEvent(this, nullptr);
  listening_ = SUCCEEDED(hr);
  return hr;
}

HRESULT CVrMFPlayer::CreateTopology(IMFMediaSource* source, IMFTopology** out) {
  *out = nullptr;
  IMFTopology* topology = nullptr;
  HRESULT hr = platform_.createTopology(&topology);
  if (FAILED(hr)) return hr;
  if (!topology) return E_UNEXPECTED;

  IMFPresentationDescriptor* presentation = nullptr;
  hr = source->CreatePresentationDescriptor(&presentation);
  if (FAILED(hr) || !presentation) {
    if (SUCCEEDED(hr)) hr = E_UNEXPECTED;
    LogMessageA("CVrMFPlayer::CreateTopology: CreatePresentationDescriptor FAILED [0x%x]", unsigned(hr));
    topology->Release();
    return hr;
  }
  DWORD count = 0;
  hr = presentation->GetStreamDescriptorCount(&count);
  if (FAILED(hr)) {
    LogMessageA("CVrMFPlayer::CreateTopology: GetStreamDescriptorCount FAILED [0x%x]", unsigned(hr));
    presentation->Release();
    topology->Release();
    return hr;
  }
  HWND window = videoWindow_;
  for (DWORD index = 0; index < count; ++index) {
    hr = AddBranchToPartialTopology(source, index, topology, presentation, window);
    if (FAILED(hr)) {
      LogMessageA("CVrMFPlayer::CreateTopology: AddBranchToPartialTopology(%d) FAILED [0x%x]", int(index),
                  unsigned(hr));
      hr = presentation->DeselectStream(index);
      if (FAILED(hr)) break;
    }
  }
  presentation->Release();
  *out = topology;
  return hr;
}

HRESULT CVrMFPlayer::AddBranchToPartialTopology(IMFMediaSource* source, DWORD index, IMFTopology* topology,
                                                IMFPresentationDescriptor* presentation, HWND window) {
  BOOL selected = FALSE;
  IMFStreamDescriptor* stream = nullptr;
  HRESULT hr = presentation->GetStreamDescriptorByIndex(index, &selected, &stream);
  if (FAILED(hr)) {
    LogMessageA("CVrMFPlayer::AddBranchToPartialTopology: GetStreamDescriptorByIndex(%d) FAILED [0x%x]", int(index),
                unsigned(hr));
    return hr;
  }
  if (!selected) {
    SafeRelease(stream);
    return S_OK;
  }
  IMFTopologyNode* sourceNode = nullptr;
  IMFTopologyNode* outputNode = nullptr;
  hr = CreateSourceStreamNode(source, presentation, stream, &sourceNode);
  if (FAILED(hr)) {
    LogMessageA("CVrMFPlayer::AddBranchToPartialTopology: CreateSourceStreamNode FAILED [0x%x]", unsigned(hr));
  } else {
    hr = CreateOutputNode(stream, window, &outputNode);
    if (FAILED(hr)) LogMessageA("CVrMFPlayer::AddBranchToPartialTopology: CreateOutputNode FAILED [0x%x]", unsigned(hr));
  }
  if (SUCCEEDED(hr)) {
    hr = topology->AddNode(sourceNode);
    if (FAILED(hr)) LogMessageA("CVrMFPlayer::AddBranchToPartialTopology: AddNode(SourceNode) FAILED [0x%x]", unsigned(hr));
  }
  if (SUCCEEDED(hr)) {
    hr = topology->AddNode(outputNode);
    if (FAILED(hr)) LogMessageA("CVrMFPlayer::AddBranchToPartialTopology: AddNode(OutputNode) FAILED [0x%x]", unsigned(hr));
  }
  if (SUCCEEDED(hr)) hr = sourceNode->ConnectOutput(0, outputNode, 0);
  SafeRelease(stream);
  SafeRelease(sourceNode);
  SafeRelease(outputNode);
  return hr;
}

HRESULT CVrMFPlayer::CreateSourceStreamNode(IMFMediaSource* source, IMFPresentationDescriptor* presentation,
                                            IMFStreamDescriptor* stream, IMFTopologyNode** out) {
  *out = nullptr;
  if (!source || !presentation || !stream) return E_UNEXPECTED;
  IMFTopologyNode* node = nullptr;
  HRESULT hr = platform_.createTopologyNode(MF_TOPOLOGY_SOURCESTREAM_NODE, &node);
  if (FAILED(hr) || !node) {
    if (SUCCEEDED(hr)) hr = E_UNEXPECTED;
    LogMessageA("CVrMFPlayer::CreateSourceStreamNode: MFCreateTopologyNode(MF_TOPOLOGY_SOURCESTREAM_NODE) FAILED [0x%x]",
                unsigned(hr));
    return hr;
  }
  hr = node->SetUnknown(MF_TOPONODE_SOURCE, source);
  if (FAILED(hr)) {
    LogMessageA("CVrMFPlayer::CreateSourceStreamNode: SetUnknown(MF_TOPONODE_SOURCE) FAILED [0x%x]", unsigned(hr));
  } else {
    hr = node->SetUnknown(MF_TOPONODE_PRESENTATION_DESCRIPTOR, presentation);
    if (FAILED(hr)) {
      LogMessageA("CVrMFPlayer::CreateSourceStreamNode: SetUnknown(MF_TOPONODE_PRESENTATION_DESCRIPTOR) FAILED [0x%x]",
                  unsigned(hr));
    } else {
      hr = node->SetUnknown(MF_TOPONODE_STREAM_DESCRIPTOR, stream);
      if (FAILED(hr))
        LogMessageA("CVrMFPlayer::CreateSourceStreamNode: SetUnknown(MF_TOPONODE_STREAM_DESCRIPTOR) FAILED [0x%x]",
                    unsigned(hr));
    }
  }
  if (FAILED(hr)) {
    node->Release();
    return hr;
  }
  *out = node;
  return S_OK;
}

HRESULT CVrMFPlayer::CreateOutputNode(IMFStreamDescriptor* stream, HWND window, IMFTopologyNode** out) {
  *out = nullptr;
  if (!stream) return E_UNEXPECTED;
  IMFMediaTypeHandler* handler = nullptr;
  HRESULT hr = stream->GetMediaTypeHandler(&handler);
  if (FAILED(hr) || !handler) {
    if (SUCCEEDED(hr)) hr = E_UNEXPECTED;
    LogMessageA("CVrMFPlayer::CreateOutputNode: GetMediaTypeHandler FAILED [0x%x]", unsigned(hr));
    return hr;
  }
  GUID major{};
  hr = handler->GetMajorType(&major);
  handler->Release();
  if (FAILED(hr)) return hr;

  IMFActivate* activate = nullptr;
  if (IsEqualGUID(major, MFMediaType_Audio)) {
    hr = platform_.createAudioRendererActivate(&activate);
    // The stream still plays, so that the video and the server's flow go
    // on; only the sound device stays closed.
    if (SUCCEEDED(hr) && activate && !sound_) hr = activate->SetUINT32(PELPLAT_MF_AUDIO_RENDERER_SILENT, TRUE);
    if (FAILED(hr) && activate) {
      activate->Release();
      activate = nullptr;
    }
  } else if (IsEqualGUID(major, MFMediaType_Video))
    hr = platform_.createVideoRendererActivate(window, &activate);
  else
    return E_FAIL;
  if (FAILED(hr)) return hr;
  if (!activate) return E_UNEXPECTED;

  IMFTopologyNode* node = nullptr;
  hr = platform_.createTopologyNode(MF_TOPOLOGY_OUTPUT_NODE, &node);
  if (FAILED(hr) || !node) {
    if (SUCCEEDED(hr)) hr = E_UNEXPECTED;
    LogMessageA("CVrMFPlayer::CreateOutputNode: MFCreateTopologyNode(MF_TOPOLOGY_OUTPUT_NODE) FAILED [0x%x]",
                unsigned(hr));
    activate->Release();
    return hr;
  }
  hr = node->SetObject(activate);
  activate->Release();
  if (FAILED(hr)) {
    LogMessageA("CVrMFPlayer::CreateOutputNode: SetObject(IActivate) FAILED [0x%x]", unsigned(hr));
    node->Release();
    return hr;
  }
  *out = node;
  return S_OK;
}

// ---- session events --------------------------------------------------------------

HRESULT CVrMFPlayer::Invoke(IMFAsyncResult* result) {
  if (!result) {
    LogMessageA("CVrMFPlayer::Invoke: input parameter is null");
    return S_OK;
  }
  IMFMediaEvent* event = nullptr;
  {
    std::lock_guard<std::mutex> hold(sessionLock_);
    if (!m_pMediaSession) {
      LogMessageA("CVrMFPlayer::Invoke: pointer to IMFMediaSession is null");
      listening_ = false;
      return S_OK;
    }
    HRESULT hr = m_pMediaSession->EndGetEvent(result, &event);
    if (FAILED(hr) || !event) {
      listening_ = false;
      LogMessageA("CVrMFPlayer::Invoke: IMFMediaSession->EndGetEvent FAILED [0x%x]", unsigned(hr));
      SafeRelease(event);
      return S_OK;
    }
    MediaEventType type = MEUnknown;
    hr = event->GetType(&type);
    bool listen = false;
    if (FAILED(hr)) {
      LogMessageA("CVrMFPlayer::Invoke: IMFMediaEvent->GetType FAILED [0x%x]", unsigned(hr));
    } else if (type == MESessionClosed) {
      if (sessionClosedEvent_) SetEvent(sessionClosedEvent_);
    } else {
      HRESULT status = S_OK;
      hr = event->GetStatus(&status);
      if (FAILED(hr)) {
        LogMessageA("CVrMFPlayer::Invoke: IMFMediaEvent->GetStatus FAILED [0x%x] eventType[%d]", unsigned(hr),
                    int(type));
      } else if (FAILED(status)) {
        LogMessageA("CVrMFPlayer::Invoke: IMFMediaEvent->GetStatus returned status [0x%x]", unsigned(status));
        // Open need not wait out its time for a topology that failed.
        if (state_ == kTopologyPending && topologyReadyEvent_) {
          topologyFailure_ = status;
          SetEvent(topologyReadyEvent_);
        }
      } else {
        HRESULT handled = S_OK;
        switch (type) {
          case MESessionTopologySet:
          case MESessionStarted:
          case MESessionPaused:
          case MESessionStopped:
          case MESessionStreamSinkFormatChanged:
            break;
          case MESessionCapabilitiesChanged: handled = OnMESessionCapabilitiesChanged(event); break;
          case MESessionTopologyStatus: handled = OnMESessionTopologyStatus(event); break;
          case MESessionNotifyPresentationTime: handled = OnMESessionNotifyPresentationTime(event); break;
          default: LogMessageA("CVrMFPlayer::Invoke: %d unknow event", int(type)); break;
        }
        listen = handled != S_FALSE;
      }
    }
    listening_ = listen && SUCCEEDED(m_pMediaSession->BeginGetEvent(this, nullptr));
  }
  event->Release();
  return S_OK;
}

HRESULT CVrMFPlayer::OnMESessionCapabilitiesChanged(IMFMediaEvent* event) {
  UINT32 caps = 0;
  event->GetUINT32(MF_EVENT_SESSIONCAPS, &caps);
  return S_OK;
}

HRESULT CVrMFPlayer::OnMESessionNotifyPresentationTime(IMFMediaEvent* event) {
  UINT64 start = 0, offset = 0;
  event->GetUINT64(MF_EVENT_START_PRESENTATION_TIME, &start);
  event->GetUINT64(MF_EVENT_PRESENTATION_TIME_OFFSET, &offset);
  return S_OK;
}

HRESULT CVrMFPlayer::OnMESessionTopologyStatus(IMFMediaEvent* event) {
  UINT32 status = 0;
  const HRESULT hr = event->GetUINT32(MF_EVENT_TOPOLOGY_STATUS, &status);
  if (FAILED(hr)) {
    LogMessageA("CVrMFPlayer::OnMESessionTopologyStatus: IMFMediaEvent->GetUINT32(MF_EVENT_TOPOLOGY_STATUS) FAILED [0x%x]",
                unsigned(hr));
    return hr;
  }
  if (status != MF_TOPOSTATUS_READY) return S_OK;
  state_ = kStopped;
  return OnTopologyReady();
}

// The video services are optional: a presentation without video has no
// display control and no mixer, and still gets its volume and its ready
// event.
HRESULT CVrMFPlayer::OnTopologyReady() {
  displayControl_.reset();
  {
    std::lock_guard<std::mutex> hold(mixerLock_);
    mixerBitmap_.reset();
  }
  streamVolume_.reset();

  HRESULT hr = platform_.getService(m_pMediaSession.get(), MR_VIDEO_RENDER_SERVICE, IID_IMFVideoDisplayControl,
                                    displayControl_.outVoid());
  if (FAILED(hr)) {
    displayControl_.detach();
    LogMessageA("CVrMFPlayer::OnTopologyReady: MFGetService for IMFVideoDisplayControl FAILED [0x%x]", unsigned(hr));
  } else {
    IMFVideoMixerBitmap* bitmap = nullptr;
    hr = platform_.getService(m_pMediaSession.get(), MR_VIDEO_MIXER_SERVICE, IID_IMFVideoMixerBitmap,
                              reinterpret_cast<void**>(&bitmap));
    if (FAILED(hr)) {
      bitmap = nullptr;
      LogMessageA("CVrMFPlayer::OnTopologyReady: MFGetService for IMFVideoMixerBitmap FAILED [0x%x]", unsigned(hr));
    }
    std::lock_guard<std::mutex> hold(mixerLock_);
    mixerBitmap_ = Ref<IMFVideoMixerBitmap>(bitmap);
  }
  hr = platform_.getService(m_pMediaSession.get(), MR_STREAM_VOLUME_SERVICE, IID_IMFAudioStreamVolume,
                            streamVolume_.outVoid());
  if (FAILED(hr)) {
    streamVolume_.detach();
    LogMessageA("CVrMFPlayer::OnTopologyReady: MFGetService for IMFAudioStreamVolume FAILED [0x%x]", unsigned(hr));
  }
  if (streamVolume_) ApplyVolume();
  if (topologyReadyEvent_) SetEvent(topologyReadyEvent_);
  return S_OK;
}

// ---- starting and pausing ---------------------------------------------------------

HRESULT CVrMFPlayer::Play(int64_t offset, uint32_t) {
  std::lock_guard<std::mutex> hold(sessionLock_);
  return OnPlay(offset);
}

HRESULT CVrMFPlayer::OnPlay(int64_t offset) {
  if (state_ != kPaused && state_ != kStopped) {
    LogMessageA("CVrMFPlayer::OnPlay: invalid state[%d]", int(state_));
    return MF_E_INVALIDREQUEST;
  }
  if (!m_pMediaSession) {
    LogMessageA("CVrMFPlayer::OnPlay: pointer to IMFMediaSession is NULL");
    return E_UNEXPECTED;
  }
  PROPVARIANT position;
  PropVariantInit(&position);
  if (firstStart_ == 1) {
    firstStart_ = 2;
  } else {
    position.vt = VT_I8;
    position.hVal = offset;
  }
  const HRESULT hr = m_pMediaSession->Start(&GUID_NULL, &position);
  PropVariantClear(&position);
  if (FAILED(hr)) {
    LogMessageA("CVrMFPlayer::OnPlay: IMFMediaSession->Start(...) FAILED [0x%x]", unsigned(hr));
    return hr;
  }
  state_ = kPlaying;
  return hr;
}

HRESULT CVrMFPlayer::Restart() {
  std::lock_guard<std::mutex> hold(sessionLock_);
  if (state_ != kPaused && state_ != kStopped) {
    LogMessageA("CVrMFPlayer::Restart: invalid state[%d]", int(state_));
    return MF_E_INVALIDREQUEST;
  }
  if (!m_pMediaSession) {
    LogMessageA("CVrMFPlayer::Restart: pointer to IMFMediaSession is null");
    return E_UNEXPECTED;
  }
  PROPVARIANT position;
  PropVariantInit(&position);
  const HRESULT hr = m_pMediaSession->Start(&GUID_NULL, &position);
  if (FAILED(hr)) {
    LogMessageA("CVrMFPlayer::Restart: m_pMediaSession->Start(...) FAILED [0x%x]", unsigned(hr));
    return hr;
  }
  state_ = kPlaying;
  return hr;
}

HRESULT CVrMFPlayer::Pause() {
  std::lock_guard<std::mutex> hold(sessionLock_);
  if (state_ != kPlaying) {
    LogMessageA("CVrMFPlayer::Pause: invalid state [%d]", int(state_));
    return MF_E_INVALIDREQUEST;
  }
  if (!m_pMediaSession) {
    LogMessageA("CVrMFPlayer::Pause: pointer to IMFMediaSession is null");
    return E_UNEXPECTED;
  }
  const HRESULT hr = m_pMediaSession->Pause();
  if (FAILED(hr)) {
    LogMessageA("CVrMFPlayer::Pause: IMFMediaSession->Pause() FAILED[0x%x]", unsigned(hr));
    return hr;
  }
  state_ = kPaused;
  return hr;
}

HRESULT CVrMFPlayer::Stop() {
  std::lock_guard<std::mutex> hold(sessionLock_);
  if (!m_pMediaSession) {
    LogMessageA("CVrMFPlayer::Stop: pointer to IMFMediaSession is null");
    return E_UNEXPECTED;
  }
  const HRESULT hr = m_pMediaSession->Stop();
  if (FAILED(hr)) {
    LogMessageA("CVrMFPlayer::Stop: IMFMediaSession->Stop() FAILED[0x%x]", unsigned(hr));
    return hr;
  }
  state_ = kStopped;
  return hr;
}

// ---- closing ---------------------------------------------------------------------

HRESULT CVrMFPlayer::Close() {
  {
    std::lock_guard<std::mutex> hold(sessionLock_);
    shutDown_ = true;
  }
  return CloseSession();
}

HRESULT CVrMFPlayer::CloseSession() {
  HRESULT hr = S_OK;
  HANDLE closedEvent = nullptr;
  {
    std::lock_guard<std::mutex> hold(sessionLock_);
    if (state_ != kClosing && m_pMediaSession) {
      hr = m_pMediaSession->Close();
      if (FAILED(hr)) {
        LogMessageA("CVrMFPlayer::Close: IMFMediaSession->Close() FAILED[0x%x]", unsigned(hr));
        return hr;
      }
      state_ = kClosing;
      // A player that no longer hears the session's events would wait out
      // the whole time for a closed event that never reaches it.
      if (listening_) closedEvent = sessionClosedEvent_;
      // Kept open until the wait below is over.
      if (closedEvent) DuplicateHandleRef(closedEvent);
    }
  }
  if (closedEvent) {
    const DWORD result = WaitForSingleObject(closedEvent, platform_.waitMilliseconds);
    if (result != WAIT_OBJECT_0)
      LogMessageA("CVrMFPlayer::Close: WaitForSingleObject returned [0x%x] hr[0x%x]", unsigned(result),
                  unsigned(FromWin32(GetLastError())));
    CloseHandle(closedEvent);
  }

  Ref<IMFMediaSource> source;
  Ref<IMFMediaSession> session;
  Ref<IMFTopology> topology;
  {
    std::lock_guard<std::mutex> hold(sessionLock_);
    source.swap(source_);
    session.swap(m_pMediaSession);
    topology.swap(topology_);
    displayControl_.reset();
    {
      std::lock_guard<std::mutex> mixer(mixerLock_);
      mixerBitmap_.reset();
    }
    streamVolume_.reset();
    clock_.reset();
    if (sessionClosedEvent_) CloseHandle(sessionClosedEvent_);
    // An Open still waiting for this session's topology waits no longer.
    if (topologyReadyEvent_) SetEvent(topologyReadyEvent_);
    if (topologyReadyEvent_) CloseHandle(topologyReadyEvent_);
    sessionClosedEvent_ = nullptr;
    topologyReadyEvent_ = nullptr;
    state_ = kNoSession;
  }
  if (source) source->Shutdown();
  source.reset();
  if (session) session->Shutdown();
  session.reset();
  topology.reset();
  return hr;
}

// ---- placement and covering ------------------------------------------------------

HRESULT CVrMFPlayer::SetVideoWindowPos(bool visible, int32_t x, int32_t y, int32_t width, int32_t height,
                                       int32_t regionCount, const RECT* regions) {
  if (width <= 0 || height <= 0) return S_OK;
  HWND window = VideoWindow();
  IVrVideoWindowHost* host = VrVideoWindowHost();

  if (regionCount <= 0 || !regions) {
    // Fully covered: no video to be seen.
    ClearMixerSettings();
    if (host && window) host->PlaceVideoWindow(window, VideoWindowPlacement{});
    return S_OK;
  }
  if (host && window) host->PlaceVideoWindow(window, VideoWindowPlacement::At(x, y, width, height, visible));

  // The whole frame fills the window whether or not parts of it are
  // covered: the covering bitmap is laid over the window's area.
  Ref<IMFVideoDisplayControl> control;
  int32_t state = kNoSession;
  {
    std::lock_guard<std::mutex> hold(sessionLock_);
    control = displayControl_;
    state = state_;
  }
  if (control) {
    const RECT destination{0, 0, width, height};
    control->SetVideoPosition(nullptr, &destination);
  }
  if (regionCount == 1) {
    ClearMixerSettings();
    if (control && state == kPaused) control->RepaintVideo();
    control.reset();
    {
      std::lock_guard<std::mutex> hold(mixerLock_);
      lastGeometry_ = Geometry{x, y, width, height};
    }
    return S_OK;
  }

  control.reset();
  Ref<IMFVideoMixerBitmap> bitmap;
  bool refreshing = false;
  {
    std::lock_guard<std::mutex> hold(mixerLock_);
    lastGeometry_ = Geometry{x, y, width, height};
    if (mixerBitmap_) {
      bitmap = mixerBitmap_;
      regions_.assign(regions, regions + regionCount);
      if (width != mixerSurfaceWidth_ || height != mixerSurfaceHeight_) {
        bitmap->ClearAlphaBitmap();
        mixerSurface_.reset();
        IDirect3DSurface9* surface = nullptr;
        if (SUCCEEDED(CreateMixerSurface(&surface, window, width, height)) && surface) {
          mixerSurface_ = Ref<IDirect3DSurface9>(surface);
          mixerSurfaceWidth_ = width;
          mixerSurfaceHeight_ = height;
        } else {
          SafeRelease(surface);
        }
      }
    }
    refreshing = refresh_ != nullptr;
  }
  if (bitmap && !refreshing) {
    UpdateSessionView();
    if (window) {
      std::lock_guard<std::mutex> hold(mixerLock_);
      if (!refresh_) refresh_ = std::make_unique<RefreshThread>(this);
    }
  }
  return S_OK;
}

HRESULT CVrMFPlayer::ClearMixerSettings() {
  std::unique_ptr<RefreshThread> refresh;
  {
    std::lock_guard<std::mutex> hold(mixerLock_);
    refresh = std::move(refresh_);
    if (mixerSurface_) {
      if (mixerBitmap_) mixerBitmap_->ClearAlphaBitmap();
      mixerSurface_.reset();
      mixerSurfaceWidth_ = 0;
      mixerSurfaceHeight_ = 0;
      regions_.clear();
    }
  }
  // Joined with no lock held: a tick in progress takes both.
  refresh.reset();
  return S_OK;
}

std::unique_ptr<CVrMFPlayer::RefreshThread> CVrMFPlayer::TakeRefreshThread() {
  std::lock_guard<std::mutex> hold(mixerLock_);
  return std::move(refresh_);
}

void CVrMFPlayer::StopRefresh() { TakeRefreshThread().reset(); }

bool CVrMFPlayer::RefreshRunning() {
  std::lock_guard<std::mutex> hold(mixerLock_);
  return refresh_ != nullptr;
}

void CVrMFPlayer::RefreshNow() { UpdateSessionView(); }

void CVrMFPlayer::UpdateSessionView() {
  Ref<IMFVideoDisplayControl> control;
  {
    std::lock_guard<std::mutex> hold(sessionLock_);
    if (state_ == kPaused) control = displayControl_;
  }
  IVrVideoWindowHost* host = VrVideoWindowHost();
  CClientSystemApi* api = host ? host->SystemApi() : nullptr;
  {
    std::lock_guard<std::mutex> hold(mixerLock_);
    // The place is read in the same hold as the regions it goes with: a
    // tick of the refresh thread never draws a place the window has left.
    const Geometry where = lastGeometry_;
    if (regions_.size() > 1 && mixerBitmap_ && mixerSurface_) {
      HRESULT hr = GetSessionView(mixerSurface_.get(), api, displayIndex_, where.x, where.y, where.width, where.height);
      if (SUCCEEDED(hr))
        hr = SetVideoVisableRegions(mixerSurface_.get(), where.width, where.height, uint32_t(regions_.size()),
                                    regions_.data());
      if (SUCCEEDED(hr)) {
        MFVideoAlphaBitmap bitmap;
        std::memset(&bitmap, 0, sizeof bitmap);
        bitmap.GetBitmapFromDC = FALSE;
        bitmap.bitmap.pDDS = mixerSurface_.get();
        bitmap.params.dwFlags = MFVideoAlphaBitmap_EntireDDS | MFVideoAlphaBitmap_DestRect;
        bitmap.params.nrcDest = MFVideoNormalizedRect{0.0f, 0.0f, 1.0f, 1.0f};
        mixerBitmap_->ClearAlphaBitmap();
        mixerBitmap_->SetAlphaBitmap(&bitmap);
      }
    }
    if (control) control->RepaintVideo();
  }
}

namespace {

ArgbPicture LockedPicture(IDirect3DSurface9* surface, const D3DLOCKED_RECT& locked) {
  D3DSURFACE_DESC desc;
  std::memset(&desc, 0, sizeof desc);
  ArgbPicture picture;
  if (FAILED(surface->GetDesc(&desc)) || !locked.pBits || locked.Pitch <= 0) return picture;
  picture.bits = static_cast<uint8_t*>(locked.pBits);
  picture.pitch = locked.Pitch;
  picture.width = int32_t(desc.Width);
  picture.height = int32_t(desc.Height);
  return picture;
}

}  // namespace

HRESULT CVrMFPlayer::GetSessionView(IDirect3DSurface9* surface, CClientSystemApi* api, int32_t displayIndex,
                                    int32_t x, int32_t y, int32_t width, int32_t height) {
  if (!surface) return E_UNEXPECTED;
  D3DLOCKED_RECT locked{};
  HRESULT hr = surface->LockRect(&locked, nullptr, 0);
  if (FAILED(hr)) {
    LogMessageA("CVrMFPlayer::GetSessionView: IDirect3DSurface9->LockRect FAILED 0x%x", unsigned(hr));
    return hr;
  }
  const ArgbPicture picture = LockedPicture(surface, locked);
  if (picture.bits) std::memset(picture.bits, 0, size_t(picture.pitch) * size_t(picture.height));
  ISurfaceKeeper* keeper = api ? api->LockFrameBuffer(displayIndex) : nullptr;
  if (!keeper) {
    LogMessageA("CVrMFPlayer::GetSessionView:  G_Api->GetSurface(%d) returned null pointer", int(displayIndex));
    surface->UnlockRect();
    return E_ABORT;
  }
  DesktopPicture desktop;
  desktop.bits = keeper->GetImageBits();
  desktop.width = keeper->GetWidth();
  desktop.height = keeper->GetHeight();
  desktop.bytesPerPixel = keeper->GetBitsPerPixel() / 8;
  desktop.stride = (int64_t(desktop.width) * desktop.bytesPerPixel + 3) & ~int64_t(3);
  CopyDesktopView(picture, desktop, x, y, width, height);
  api->UnlockFrameBuffer(keeper);
  surface->UnlockRect();
  return S_OK;
}

HRESULT CVrMFPlayer::SetVideoVisableRegions(IDirect3DSurface9* surface, int32_t, int32_t, uint32_t regionCount,
                                            const RECT* regions) {
  if (!surface) return E_UNEXPECTED;
  D3DLOCKED_RECT locked{};
  const HRESULT hr = surface->LockRect(&locked, nullptr, 0);
  if (FAILED(hr)) {
    LogMessageA("CVrMFPlayer::SetVideoVisableRegions: IDirect3DSurface9->LockRect FAILED 0x%x", unsigned(hr));
    return hr;
  }
  ClearAlphaInRegions(LockedPicture(surface, locked), regions, regionCount);
  surface->UnlockRect();
  return S_OK;
}

HRESULT CVrMFPlayer::CreateMixerSurface(IDirect3DSurface9** out, HWND window, int32_t width, int32_t height) {
  *out = nullptr;
  if (width <= 0 || height <= 0) return E_INVALIDARG;
  IDirect3D9* d3d = Direct3DCreate9(D3D_SDK_VERSION);
  if (!d3d) {
    LogMessageA("CVrMFPlayer::CreateMixerSurface: Direct3DCreate9 FAILED");
    return E_UNEXPECTED;
  }
  // The model's devices want a size and a format; windowed devices take
  // the window's size and the desktop's format.
  D3DPRESENT_PARAMETERS parameters;
  std::memset(&parameters, 0, sizeof parameters);
  parameters.BackBufferWidth = UINT(width);
  parameters.BackBufferHeight = UINT(height);
  parameters.BackBufferFormat = D3DFMT_X8R8G8B8;
  parameters.SwapEffect = D3DSWAPEFFECT_DISCARD;
  parameters.hDeviceWindow = window;
  parameters.Windowed = TRUE;
  IDirect3DDevice9* device = nullptr;
  HRESULT hr = d3d->CreateDevice(D3DADAPTER_DEFAULT, D3DDEVTYPE_HAL, nullptr,
                                 D3DCREATE_SOFTWARE_VERTEXPROCESSING | D3DCREATE_MULTITHREADED | D3DCREATE_FPU_PRESERVE,
                                 &parameters, &device);
  if (FAILED(hr) || !device) {
    if (SUCCEEDED(hr)) hr = E_UNEXPECTED;
    LogMessageA("CVrMFPlayer::CreateMixerSurface: IDirect3D9->CreateDevice FAILED 0x%x", unsigned(hr));
    d3d->Release();
    return hr;
  }
  IDirect3DSurface9* surface = nullptr;
  hr = device->CreateOffscreenPlainSurface(UINT(width), UINT(height), D3DFMT_A8R8G8B8, D3DPOOL_SYSTEMMEM, &surface,
                                           nullptr);
  if (FAILED(hr) || !surface) {
    if (SUCCEEDED(hr)) hr = E_UNEXPECTED;
    LogMessageA("CVrMFPlayer::CreateMixerSurface: IDirect3DDevice9->CreateOffscreenPlainSurface FAILED 0x%x",
                unsigned(hr));
  } else {
    D3DLOCKED_RECT locked{};
    hr = surface->LockRect(&locked, nullptr, 0);
    if (FAILED(hr)) {
      LogMessageA("CVrMFPlayer::CreateMixerSurface: IDirect3DSurface9->LockRect FAILED 0x%x", unsigned(hr));
    } else {
      const ArgbPicture picture = LockedPicture(surface, locked);
      if (picture.bits) std::memset(picture.bits, 0, size_t(picture.pitch) * size_t(picture.height));
      hr = surface->UnlockRect();
    }
    *out = surface;
  }
  device->Release();
  d3d->Release();
  return hr;
}

// ---- volume ----------------------------------------------------------------------

HRESULT CVrMFPlayer::SetVolume(uint32_t volume, uint32_t muted) {
  std::lock_guard<std::mutex> hold(sessionLock_);
  volume_ = volume;
  muted_ = muted;
  return ApplyVolume();
}

HRESULT CVrMFPlayer::ApplyVolume() {
  if (!streamVolume_) return S_OK;
  UINT32 channels = 0;
  HRESULT hr = streamVolume_->GetChannelCount(&channels);
  if (FAILED(hr) || channels == 0) return hr;
  const float level = muted_ ? 0.0f : float(volume_) / 10000.0f;
  const std::vector<float> levels(channels, level);
  return streamVolume_->SetAllVolumes(channels, levels.data());
}

IRdpMMVrPlayer* CreateVrMFPlayer(HWND parent, int32_t displayIndex, bool sound) {
  return new CVrMFPlayer(parent, displayIndex, sound);
}
