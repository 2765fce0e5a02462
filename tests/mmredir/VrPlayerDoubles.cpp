#include "VrPlayerDoubles.h"

#include <chrono>
#include <cstring>

namespace playertest {

// ---- log -------------------------------------------------------------------------

LogCapture::LogCapture() {
  previous_ = SetDebugOutputSink([this](const std::string& line) {
    std::lock_guard<std::mutex> hold(lock_);
    lines_.push_back(line);
  });
}

LogCapture::~LogCapture() { SetDebugOutputSink(previous_); }

std::vector<std::string> LogCapture::Lines() {
  std::lock_guard<std::mutex> hold(lock_);
  return lines_;
}

size_t LogCapture::Count(const std::string& text) {
  size_t count = 0;
  for (const std::string& line : Lines())
    if (line.find(text) != std::string::npos) ++count;
  return count;
}

bool LogCapture::Has(const std::string& text) { return Count(text) > 0; }

// ---- topology --------------------------------------------------------------------

HRESULT FakeNode::SetUnknown(REFGUID key, IUnknown* value) {
  unknownKeys.push_back(key);
  if (value) {
    value->AddRef();
    held_.push_back(value);
  }
  return S_OK;
}

HRESULT FakeNode::SetObject(IUnknown* value) {
  if (object) object->Release();
  object = value;
  if (object) object->AddRef();
  return S_OK;
}

HRESULT FakeNode::GetObject(IUnknown** value) {
  if (!object) return E_FAIL;
  object->AddRef();
  *value = object;
  return S_OK;
}

HRESULT FakeNode::ConnectOutput(DWORD out, IMFTopologyNode* next, DWORD in) {
  output = out;
  downstream = next;
  input = in;
  return S_OK;
}

FakeNode::~FakeNode() {
  if (object) object->Release();
  for (IUnknown* value : held_) value->Release();
}

HRESULT FakeTopology::AddNode(IMFTopologyNode* node) {
  node->AddRef();
  nodes.push_back(static_cast<FakeNode*>(node));
  return S_OK;
}

FakeTopology::~FakeTopology() {
  for (FakeNode* node : nodes) node->Release();
}

// ---- renderer services -------------------------------------------------------------

HRESULT FakeDisplayControl::SetVideoPosition(const MFVideoNormalizedRect* source, const RECT* destination) {
  std::lock_guard<std::mutex> hold(lock);
  sourceWasNull = source == nullptr;
  positions.push_back(destination ? *destination : RECT{-1, -1, -1, -1});
  return S_OK;
}

HRESULT FakeMixerBitmap::SetAlphaBitmap(const MFVideoAlphaBitmap* bitmap) {
  if (!bitmap || bitmap->GetBitmapFromDC || !bitmap->bitmap.pDDS) return E_INVALIDARG;
  IDirect3DSurface9* source = bitmap->bitmap.pDDS;
  D3DSURFACE_DESC desc{};
  source->GetDesc(&desc);
  D3DLOCKED_RECT locked{};
  if (FAILED(source->LockRect(&locked, nullptr, D3DLOCK_READONLY))) return E_FAIL;
  std::lock_guard<std::mutex> hold(lock);
  width = int(desc.Width);
  height = int(desc.Height);
  pixels.assign(size_t(width) * size_t(height), 0);
  for (int y = 0; y < height; ++y)
    std::memcpy(&pixels[size_t(y) * width], static_cast<uint8_t*>(locked.pBits) + size_t(y) * locked.Pitch,
                size_t(width) * 4);
  source->UnlockRect();
  params = bitmap->params;
  surface = source;
  ++sets;
  return S_OK;
}

HRESULT FakeStreamVolume::SetAllVolumes(UINT32 count, const float* values) {
  std::lock_guard<std::mutex> hold(lock_);
  if (count != levels.size()) return E_INVALIDARG;
  levels.assign(values, values + count);
  ++sets;
  return S_OK;
}

std::vector<float> FakeStreamVolume::Levels() {
  std::lock_guard<std::mutex> hold(lock_);
  return levels;
}

// ---- source ----------------------------------------------------------------------

FakeSource::FakeSource(std::vector<GUID> majors) : majors_(std::move(majors)) {}

HRESULT FakeSource::CreatePresentationDescriptor(IMFPresentationDescriptor** descriptor) {
  if (FAILED(descriptorResult)) return descriptorResult;
  std::vector<IMFStreamDescriptor*> streams;
  for (size_t i = 0; i < majors_.size(); ++i) {
    IMFMediaType* type = nullptr;
    MFCreateMediaType(&type);
    type->SetGUID(MF_MT_MAJOR_TYPE, majors_[i]);
    IMFStreamDescriptor* stream = nullptr;
    MFCreateStreamDescriptor(DWORD(i + 1), 1, &type, &stream);
    type->Release();
    streams.push_back(stream);
  }
  const HRESULT hr = MFCreatePresentationDescriptor(DWORD(streams.size()), streams.data(), descriptor);
  for (IMFStreamDescriptor* stream : streams) stream->Release();
  return hr;
}

HRESULT FakeSource::Shutdown() {
  ++shutdowns;
  shutdownAfterClosed = sessionClosed && sessionClosed->load();
  return S_OK;
}

// ---- session ---------------------------------------------------------------------

FakeSession::FakeSession(const SessionScript& script) : script(script) { MFCreateEventQueue(&queue_); }

FakeSession::~FakeSession() {
  queue_->Shutdown();
  queue_->Release();
  for (PROPVARIANT& value : starts) PropVariantClear(&value);
}

void FakeSession::Record(const std::string& call) {
  std::lock_guard<std::mutex> hold(lock);
  calls.push_back(call);
  changed_.notify_all();
}

HRESULT FakeSession::SetTopology(DWORD, IMFTopology* value) {
  topology = static_cast<FakeTopology*>(value);
  if (FAILED(script.setTopologyResult)) return script.setTopologyResult;
  queue_->QueueEventParamVar(MESessionTopologySet, GUID_NULL, script.topologySetStatus, nullptr);
  if (script.readyOnSetTopology && SUCCEEDED(script.topologySetStatus)) QueueReady();
  Record("SetTopology");
  return S_OK;
}

void FakeSession::QueueReady() {
  IMFMediaEvent* event = nullptr;
  MFCreateMediaEvent(MESessionTopologyStatus, GUID_NULL, S_OK, nullptr, &event);
  event->SetUINT32(MF_EVENT_TOPOLOGY_STATUS, MF_TOPOSTATUS_READY);
  queue_->QueueEvent(event);
  event->Release();
}

void FakeSession::QueueClosed() {
  closedQueued = true;
  queue_->QueueEventParamVar(MESessionClosed, GUID_NULL, S_OK, nullptr);
}

HRESULT FakeSession::Start(const GUID*, const PROPVARIANT* position) {
  if (FAILED(script.startResult)) return script.startResult;
  std::lock_guard<std::mutex> hold(lock);
  PROPVARIANT copy;
  PropVariantCopy(&copy, position);
  starts.push_back(copy);
  calls.push_back("Start");
  return S_OK;
}

HRESULT FakeSession::Pause() {
  if (FAILED(script.pauseResult)) return script.pauseResult;
  Record("Pause");
  return S_OK;
}

HRESULT FakeSession::Stop() {
  if (FAILED(script.stopResult)) return script.stopResult;
  Record("Stop");
  return S_OK;
}

HRESULT FakeSession::Close() {
  if (FAILED(script.closeResult)) return script.closeResult;
  Record("Close");
  if (script.closedOnClose) QueueClosed();
  return S_OK;
}

HRESULT FakeSession::Shutdown() {
  ++shutdowns;
  Record("Shutdown");
  return S_OK;
}

namespace {
bool WaitForCall(std::mutex& lock, std::condition_variable& changed, std::vector<std::string>& calls,
                 const char* name) {
  std::unique_lock<std::mutex> hold(lock);
  return changed.wait_for(hold, std::chrono::seconds(30), [&] {
    for (const std::string& call : calls)
      if (call == name) return true;
    return false;
  });
}
}  // namespace

bool FakeSession::WaitForSetTopology() { return WaitForCall(lock, changed_, calls, "SetTopology"); }
bool FakeSession::WaitForClose() { return WaitForCall(lock, changed_, calls, "Close"); }

// ---- the world -------------------------------------------------------------------

namespace {

std::atomic<World*> g_world{nullptr};

HRESULT CreateSession(IMFAttributes*, IMFMediaSession** out) {
  World* world = World::Current();
  if (FAILED(world->createSessionResult)) return world->createSessionResult;
  auto* session = new FakeSession(world->sessionScript);
  {
    std::lock_guard<std::mutex> hold(world->lock);
    if (world->session) world->session->Release();
    world->session = session;
  }
  session->AddRef();
  *out = session;
  return S_OK;
}

HRESULT CreateTopology(IMFTopology** out) {
  if (FAILED(World::Current()->createTopologyResult)) return World::Current()->createTopologyResult;
  *out = new FakeTopology();
  return S_OK;
}

HRESULT CreateNode(MF_TOPOLOGY_TYPE type, IMFTopologyNode** out) {
  *out = new FakeNode(type);
  return S_OK;
}

HRESULT CreateActivate(World* world, bool video, HWND window, IMFActivate** out) {
  auto* activate = new FakeActivate(video, window);
  std::lock_guard<std::mutex> hold(world->lock);
  world->activates.push_back(activate);
  *out = activate;
  return S_OK;
}

HRESULT CreateVideoActivate(HWND window, IMFActivate** out) {
  return CreateActivate(World::Current(), true, window, out);
}

HRESULT CreateAudioActivate(IMFActivate** out) { return CreateActivate(World::Current(), false, nullptr, out); }

template <class T>
HRESULT Answer(bool present, T* object, void** out) {
  if (!present) return MF_E_UNSUPPORTED_SERVICE;
  object->AddRef();
  *out = object;
  return S_OK;
}

HRESULT GetService(IUnknown*, REFGUID service, REFIID, void** out) {
  World* world = World::Current();
  *out = nullptr;
  if (IsEqualGUID(service, MR_VIDEO_RENDER_SERVICE))
    return Answer(world->services.displayControl, world->displayControl, out);
  if (IsEqualGUID(service, MR_VIDEO_MIXER_SERVICE))
    return Answer(world->services.mixerBitmap, world->mixerBitmap, out);
  if (IsEqualGUID(service, MR_STREAM_VOLUME_SERVICE))
    return Answer(world->services.streamVolume, world->streamVolume, out);
  return MF_E_UNSUPPORTED_SERVICE;
}

}  // namespace

World::World(SessionScript session, ServiceScript services)
    : sessionScript(session),
      services(services),
      displayControl(new FakeDisplayControl()),
      mixerBitmap(new FakeMixerBitmap()),
      streamVolume(new FakeStreamVolume(services.channels)),
      // The player's waits end on the doubles' events; a loaded machine
      // must not turn them into time-outs.
      table_{CreateSession, CreateTopology, CreateNode, CreateVideoActivate, CreateAudioActivate, GetService, 60000} {
  g_world.store(this);
  SetVrMFPlayerPlatform(&table_);
}

World::~World() {
  SetVrMFPlayerPlatform(nullptr);
  g_world.store(nullptr);
  if (session) session->Release();
  displayControl->Release();
  mixerBitmap->Release();
  streamVolume->Release();
}

World* World::Current() { return g_world.load(); }

// ---- host ------------------------------------------------------------------------

RecordingHost::RecordingHost() { SetVrVideoWindowHost(this); }

RecordingHost::~RecordingHost() { SetVrVideoWindowHost(nullptr); }

void RecordingHost::CreateVideoWindow(HWND, HWND) {
  std::lock_guard<std::mutex> hold(lock_);
  calls_.push_back("create");
}

void RecordingHost::PlaceVideoWindow(HWND, const VideoWindowPlacement& placement) {
  std::lock_guard<std::mutex> hold(lock_);
  calls_.push_back(placement.show ? "show" : "hide");
  placements_.push_back(placement);
}

void RecordingHost::DestroyVideoWindow(HWND) {
  std::lock_guard<std::mutex> hold(lock_);
  calls_.push_back("destroy");
}

std::vector<std::string> RecordingHost::Calls() {
  std::lock_guard<std::mutex> hold(lock_);
  return calls_;
}

std::vector<VideoWindowPlacement> RecordingHost::Placements() {
  std::lock_guard<std::mutex> hold(lock_);
  return placements_;
}

}  // namespace playertest
