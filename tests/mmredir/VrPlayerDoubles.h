// Doubles of the media session, topology, renderers' services and media
// source for the redirected media player, and the host of its video window.
// The session double keeps a real event queue: the player hears its events
// on the platform's work queues as it would from a real session.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "mmredir/VrMFPlayer.h"
#include "mmredir/VrMFPlayerPlatform.h"
#include "mmredir/VrVideoWindowHost.h"
#include "pelplat/comobject.h"
#include "pelplat/debugout.h"
#include "pelplat/mfapi.h"
#include "pelplat/mfsession.h"

namespace playertest {

// Captures the debug log while it lives.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  std::vector<std::string> Lines();
  bool Has(const std::string& text);
  size_t Count(const std::string& text);

 private:
  std::mutex lock_;
  std::vector<std::string> lines_;
  DebugOutputSink previous_;
};

// IUnknown with one atomic count, for the doubles; a double says which
// ids besides IUnknown it answers.
template <class Base>
class Counted : public pelplat::ComObject<Base> {
 public:
  HRESULT QueryInterface(REFIID riid, void** object) override {
    if (Answers(riid)) return pelplat::Hand<Base>(this, object);
    return this->Answer(riid, object);
  }
  int References() {
    this->AddRef();
    return int(this->Release());
  }

 protected:
  virtual bool Answers(REFIID) { return false; }
};

// The attribute calls the player never makes.
template <class Base>
class NoAttributes : public Counted<Base> {
 public:
  HRESULT GetUINT32(REFGUID, UINT32*) override { return E_NOTIMPL; }
  HRESULT GetUINT64(REFGUID, UINT64*) override { return E_NOTIMPL; }
  HRESULT GetGUID(REFGUID, GUID*) override { return E_NOTIMPL; }
  HRESULT GetBlobSize(REFGUID, UINT32*) override { return E_NOTIMPL; }
  HRESULT GetBlob(REFGUID, UINT8*, UINT32, UINT32*) override { return E_NOTIMPL; }
  HRESULT SetUINT32(REFGUID, UINT32) override { return E_NOTIMPL; }
  HRESULT SetUINT64(REFGUID, UINT64) override { return E_NOTIMPL; }
  HRESULT SetGUID(REFGUID, REFGUID) override { return E_NOTIMPL; }
  HRESULT SetBlob(REFGUID, const UINT8*, UINT32) override { return E_NOTIMPL; }
  HRESULT DeleteItem(REFGUID) override { return E_NOTIMPL; }
  HRESULT GetCount(UINT32*) override { return E_NOTIMPL; }
  HRESULT CopyAllItems(IMFAttributes*) override { return E_NOTIMPL; }
};

class FakeNode : public NoAttributes<IMFTopologyNode> {
 public:
  explicit FakeNode(MF_TOPOLOGY_TYPE type) : type(type) {}
  HRESULT SetUnknown(REFGUID key, IUnknown* value) override;
  HRESULT SetObject(IUnknown* value) override;
  HRESULT GetObject(IUnknown** value) override;
  HRESULT GetNodeType(MF_TOPOLOGY_TYPE* out) override {
    *out = type;
    return S_OK;
  }
  HRESULT GetTopoNodeID(TOPOID* id) override { return E_NOTIMPL; }
  HRESULT GetInputCount(DWORD*) override { return E_NOTIMPL; }
  HRESULT GetOutputCount(DWORD*) override { return E_NOTIMPL; }
  HRESULT ConnectOutput(DWORD output, IMFTopologyNode* downstream, DWORD input) override;
  HRESULT DisconnectOutput(DWORD) override { return E_NOTIMPL; }
  HRESULT GetInput(DWORD, IMFTopologyNode**, DWORD*) override { return E_NOTIMPL; }
  HRESULT GetOutput(DWORD, IMFTopologyNode**, DWORD*) override { return E_NOTIMPL; }

  const MF_TOPOLOGY_TYPE type;
  std::vector<GUID> unknownKeys;
  IUnknown* object = nullptr;
  IMFTopologyNode* downstream = nullptr;  // not counted
  DWORD output = 99, input = 99;

 protected:
  ~FakeNode() override;

 private:
  std::vector<IUnknown*> held_;
};

class FakeTopology : public NoAttributes<IMFTopology> {
 public:
  HRESULT GetTopologyID(TOPOID*) override { return E_NOTIMPL; }
  HRESULT AddNode(IMFTopologyNode* node) override;
  HRESULT RemoveNode(IMFTopologyNode*) override { return E_NOTIMPL; }
  HRESULT GetNodeCount(WORD* count) override {
    *count = WORD(nodes.size());
    return S_OK;
  }
  HRESULT GetNode(WORD, IMFTopologyNode**) override { return E_NOTIMPL; }
  HRESULT Clear() override { return E_NOTIMPL; }
  std::vector<FakeNode*> nodes;

 protected:
  ~FakeTopology() override;
};

class FakeActivate : public NoAttributes<IMFActivate> {
 public:
  FakeActivate(bool video, HWND window) : video(video), window(window) {}
  HRESULT SetUINT32(REFGUID key, UINT32 value) override {
    if (key != PELPLAT_MF_AUDIO_RENDERER_SILENT) return E_NOTIMPL;
    silent = value != 0;
    return S_OK;
  }
  HRESULT ActivateObject(REFIID, void**) override { return E_NOTIMPL; }
  HRESULT ShutdownObject() override { return S_OK; }
  HRESULT DetachObject() override { return S_OK; }
  const bool video;
  const HWND window;
  bool silent = false;
};

class FakeDisplayControl : public Counted<IMFVideoDisplayControl> {
 public:
  HRESULT GetNativeVideoSize(SIZE*, SIZE*) override { return E_NOTIMPL; }
  HRESULT SetVideoPosition(const MFVideoNormalizedRect* source, const RECT* destination) override;
  HRESULT GetVideoPosition(MFVideoNormalizedRect*, RECT*) override { return E_NOTIMPL; }
  HRESULT SetVideoWindow(HWND) override { return E_NOTIMPL; }
  HRESULT GetVideoWindow(HWND*) override { return E_NOTIMPL; }
  HRESULT RepaintVideo() override {
    ++repaints;
    return S_OK;
  }
  std::mutex lock;
  std::vector<RECT> positions;
  bool sourceWasNull = true;
  std::atomic<int> repaints{0};
};

class FakeMixerBitmap : public Counted<IMFVideoMixerBitmap> {
 public:
  HRESULT SetAlphaBitmap(const MFVideoAlphaBitmap* bitmap) override;
  HRESULT ClearAlphaBitmap() override {
    ++clears;
    return S_OK;
  }
  HRESULT UpdateAlphaBitmapParameters(const MFVideoAlphaBitmapParams*) override { return E_NOTIMPL; }
  HRESULT GetAlphaBitmapParameters(MFVideoAlphaBitmapParams*) override { return E_NOTIMPL; }

  // The last bitmap set, as 32-bit pixel values.
  std::mutex lock;
  std::vector<uint32_t> pixels;
  int width = 0, height = 0;
  MFVideoAlphaBitmapParams params{};
  IDirect3DSurface9* surface = nullptr;  // not counted
  std::atomic<int> sets{0};
  std::atomic<int> clears{0};
};

class FakeStreamVolume : public Counted<IMFAudioStreamVolume> {
 public:
  explicit FakeStreamVolume(UINT32 channels) : levels(channels, -1.0f) {}
  HRESULT GetChannelCount(UINT32* count) override {
    *count = UINT32(levels.size());
    return S_OK;
  }
  HRESULT SetChannelVolume(UINT32, const float) override { return E_NOTIMPL; }
  HRESULT GetChannelVolume(UINT32, float*) override { return E_NOTIMPL; }
  HRESULT SetAllVolumes(UINT32 count, const float* values) override;
  HRESULT GetAllVolumes(UINT32, float*) override { return E_NOTIMPL; }
  std::vector<float> Levels();
  std::atomic<int> sets{0};

 private:
  std::mutex lock_;
  std::vector<float> levels;
};

// The source: a real presentation descriptor over streams of the given
// major types.
class FakeSource : public Counted<IMFMediaSource> {
 public:
  explicit FakeSource(std::vector<GUID> majors);
  HRESULT GetEvent(DWORD, IMFMediaEvent**) override { return E_NOTIMPL; }
  HRESULT BeginGetEvent(IMFAsyncCallback*, IUnknown*) override { return E_NOTIMPL; }
  HRESULT EndGetEvent(IMFAsyncResult*, IMFMediaEvent**) override { return E_NOTIMPL; }
  HRESULT QueueEvent(MediaEventType, REFGUID, HRESULT, const PROPVARIANT*) override { return E_NOTIMPL; }
  HRESULT GetCharacteristics(DWORD*) override { return E_NOTIMPL; }
  HRESULT CreatePresentationDescriptor(IMFPresentationDescriptor** descriptor) override;
  HRESULT Start(IMFPresentationDescriptor*, const GUID*, const PROPVARIANT*) override { return E_NOTIMPL; }
  HRESULT Stop() override { return E_NOTIMPL; }
  HRESULT Pause() override { return E_NOTIMPL; }
  HRESULT Shutdown() override;

  HRESULT descriptorResult = S_OK;
  std::atomic<int> shutdowns{0};
  std::atomic<bool> shutdownAfterClosed{false};
  std::atomic<bool>* sessionClosed = nullptr;  // set by the world

 private:
  std::vector<GUID> majors_;
};

// What the session does with each command.
struct SessionScript {
  bool readyOnSetTopology = true;
  bool closedOnClose = true;
  HRESULT setTopologyResult = S_OK;
  // The status of MESessionTopologySet: a failure means the topology could
  // not be built, and no ready status follows.
  HRESULT topologySetStatus = S_OK;
  HRESULT startResult = S_OK;
  HRESULT pauseResult = S_OK;
  HRESULT stopResult = S_OK;
  HRESULT closeResult = S_OK;
};

class FakeSession : public Counted<IMFMediaSession> {
 public:
  explicit FakeSession(const SessionScript& script);
  HRESULT GetEvent(DWORD flags, IMFMediaEvent** event) override { return queue_->GetEvent(flags, event); }
  HRESULT BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) override {
    ++beginGetEvents;
    return queue_->BeginGetEvent(callback, state);
  }
  HRESULT EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) override {
    return queue_->EndGetEvent(result, event);
  }
  HRESULT QueueEvent(MediaEventType type, REFGUID extended, HRESULT status, const PROPVARIANT* value) override {
    return queue_->QueueEventParamVar(type, extended, status, value);
  }
  HRESULT SetTopology(DWORD flags, IMFTopology* topology) override;
  HRESULT ClearTopologies() override { return E_NOTIMPL; }
  HRESULT Start(const GUID* format, const PROPVARIANT* position) override;
  HRESULT Pause() override;
  HRESULT Stop() override;
  HRESULT Close() override;
  HRESULT Shutdown() override;
  HRESULT GetClock(IMFClock**) override { return E_NOTIMPL; }
  HRESULT GetSessionCapabilities(DWORD*) override { return E_NOTIMPL; }
  HRESULT GetFullTopology(DWORD, TOPOID, IMFTopology**) override { return E_NOTIMPL; }

  // Queues MESessionTopologyStatus READY.
  void QueueReady();
  void QueueClosed();
  // Waits (bounded) until SetTopology or Close was called.
  bool WaitForSetTopology();
  bool WaitForClose();

  SessionScript script;
  std::atomic<int> beginGetEvents{0};
  std::atomic<bool> closedQueued{false};
  std::atomic<int> shutdowns{0};
  std::mutex lock;
  std::vector<PROPVARIANT> starts;
  std::vector<std::string> calls;
  FakeTopology* topology = nullptr;  // not counted

 protected:
  ~FakeSession() override;

 private:
  void Record(const std::string& call);
  std::condition_variable changed_;
  IMFMediaEventQueue* queue_ = nullptr;
};

// Which services the session answers.
struct ServiceScript {
  bool displayControl = true;
  bool mixerBitmap = true;
  bool streamVolume = true;
  UINT32 channels = 2;
};

// The world one test runs in: the platform table points here while it lives.
class World {
 public:
  explicit World(SessionScript session = {}, ServiceScript services = {});
  ~World();

  static World* Current();

  SessionScript sessionScript;
  ServiceScript services;
  HRESULT createSessionResult = S_OK;
  HRESULT createTopologyResult = S_OK;

  FakeSession* session = nullptr;  // the last made; the world keeps one reference
  FakeDisplayControl* displayControl;
  FakeMixerBitmap* mixerBitmap;
  FakeStreamVolume* streamVolume;
  std::mutex lock;
  std::vector<FakeActivate*> activates;  // not counted

 private:
  VrMFPlayerPlatform table_;
};

// The video window host: records every call, answers with a system API.
class RecordingHost : public IVrVideoWindowHost {
 public:
  RecordingHost();
  ~RecordingHost() override;
  void CreateVideoWindow(HWND window, HWND parent) override;
  void PlaceVideoWindow(HWND window, const VideoWindowPlacement& placement) override;
  void DestroyVideoWindow(HWND window) override;
  CClientSystemApi* SystemApi() override { return api; }

  std::vector<std::string> Calls();
  std::vector<VideoWindowPlacement> Placements();
  CClientSystemApi* api = nullptr;

 private:
  std::mutex lock_;
  std::vector<std::string> calls_;
  std::vector<VideoWindowPlacement> placements_;
};

}  // namespace playertest
