#include "mmredir/MMPresentation.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "mmredir/VrMFStream.h"
#include "session/ClientConnectionParameter.h"
#include "sys/ByteReader.h"
#include "sys/ByteWriter.h"
#include "sys/klog.h"
#include "virtchan/VirtChanel.h"

namespace mmredir {

bool ProbeMediaFormat(uint32_t count, const uint8_t* mediaType) {
  CVrMFStream* probe = new (std::nothrow) CVrMFStream(0);
  if (!probe) return false;
  const int32_t result = probe->CheckMediaFormat(count, mediaType);
  probe->Release();
  return result == 0;
}

void WriteCheckFormatAnswer(uint8_t out[kCheckFormatResponseSize], uint32_t messageId, bool supported) {
  ByteWriter w(out, kCheckFormatResponseSize);
  w.U32(kInterfaceStub);
  w.U32(messageId);
  w.U32(supported ? 1 : 0);
  w.U32(kPlatformCookieMF);
  w.U32(0);
}

}  // namespace mmredir

using namespace mmredir;

namespace {

HWND AskSession(const IMMPresentation::Channel& channel, int32_t display) {
  IVirtChanSession* session = channel ? channel->Session() : nullptr;
  return reinterpret_cast<HWND>(session ? session->DisplayWindowId(display) : 0);
}

std::mutex g_lookupLock;
CMMPresentation::DisplayWindowLookup g_lookup = AskSession;

// The session's "Sound" switch covers all of its sound, the redirected
// media's too; a session that says nothing has sound.
bool SessionHasSound(const IMMPresentation::Channel& channel) {
  IVirtChanSession* session = channel ? channel->Session() : nullptr;
  const CClientConnectionParameter* parameters = session ? session->Parameters() : nullptr;
  return !parameters || parameters->useSound != 0;
}

HWND DisplayWindow(const IMMPresentation::Channel& channel, int32_t display) {
  CMMPresentation::DisplayWindowLookup lookup;
  {
    std::lock_guard<std::mutex> hold(g_lookupLock);
    lookup = g_lookup;
  }
  return lookup(channel, display);
}

// Drops the caller's reference on any counted object when it goes.
template <class T>
struct Counted {
  T* p;
  explicit Counted(T* object) : p(object) {}
  ~Counted() {
    if (p) p->Release();
  }
  T* operator->() const { return p; }
  explicit operator bool() const { return p != nullptr; }
  Counted(const Counted&) = delete;
  Counted& operator=(const Counted&) = delete;
};

}  // namespace

CMMPresentation::DisplayWindowLookup CMMPresentation::SetDisplayWindowLookup(DisplayWindowLookup lookup) {
  std::lock_guard<std::mutex> hold(g_lookupLock);
  DisplayWindowLookup previous = std::move(g_lookup);
  g_lookup = lookup ? std::move(lookup) : DisplayWindowLookup(AskSession);
  return previous;
}

CMMPresentation::CMMPresentation(const uint8_t id[kPresentationIdSize], MMPresentationParts parts)
    : parts_(std::move(parts)) {
  std::memcpy(id_, id, kPresentationIdSize);
}

CMMPresentation::~CMMPresentation() {
  if (player_) player_->Release();
  if (source_) source_->Release();
  for (auto it = streams_.rbegin(); it != streams_.rend(); ++it) (*it)->Release();
  streams_.clear();
}

int32_t CMMPresentation::AddRef() {
  std::lock_guard<std::mutex> hold(mutex_);
  return ++refs_;
}

int32_t CMMPresentation::Release() {
  int32_t left;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    left = --refs_;
  }
  if (left == 0) delete this;
  return left;
}

bool CMMPresentation::IsPresentation(const uint8_t id[kPresentationIdSize]) {
  return id && std::memcmp(id, id_, kPresentationIdSize) == 0;
}

CVrMFStream* CMMPresentation::FindStream(uint32_t streamId) {
  std::lock_guard<std::mutex> hold(mutex_);
  for (CVrMFStream* stream : streams_) {
    if (stream->GetStreamId() == streamId) {
      stream->AddRef();
      return stream;
    }
  }
  return nullptr;
}

IRdpMMVrPlayer* CMMPresentation::Player() {
  std::lock_guard<std::mutex> hold(mutex_);
  if (player_) player_->AddRef();
  return player_;
}

IVrRdpMediaSource* CMMPresentation::Source() {
  std::lock_guard<std::mutex> hold(mutex_);
  if (source_) source_->AddRef();
  return source_;
}

// The playback commands reach every stream in the order of ADD_STREAM; the
// streams are called on references of their own, outside the mutex.
template <class Op>
void CMMPresentation::ForEachStream(Op op) {
  std::vector<CVrMFStream*> taken;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    taken = streams_;
    for (CVrMFStream* stream : taken) stream->AddRef();
  }
  for (CVrMFStream* stream : taken) {
    op(stream);
    stream->Release();
  }
}

int32_t CMMPresentation::SendEvent(const Channel& channel, uint32_t eventId) {
  if (!channel) return -1;
  uint8_t message[kEventNotificationSize];
  ByteWriter w(message, sizeof message);
  w.U32(kInterfaceProxy);
  w.U32(0);
  w.U32(kClientEventNotification);
  w.U32(0);  // StreamId
  w.U32(eventId);
  w.U32(0);  // cbData
  return channel->Write(sizeof message, message);
}

int32_t CMMPresentation::OnSample(Channel channel, uint32_t streamId, const uint8_t* sample, uint32_t count) {
  Counted<CVrMFStream> stream(FindStream(streamId));
  if (!stream) {
    LogMessageA("CMMPresentation::OnSample:  could not find stream id[0x%x]\n", streamId);
    return 0;
  }
  stream->SetChannel(std::move(channel));
  stream->OnSample(sample, count);
  return 0;
}

int32_t CMMPresentation::OnNotifyPreroll(Channel, uint32_t streamId) {
  {
    Counted<CVrMFStream> stream(FindStream(streamId));
    if (stream) stream->OnPreroll();
  }
  Counted<IRdpMMVrPlayer> player(Player());
  if (player) player->Pause();
  return 0;
}

int32_t CMMPresentation::OnChannelVolume(Channel, uint32_t, uint32_t) { return 0; }

int32_t CMMPresentation::OnSetAllocatorProps(Channel, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) {
  return E_NOTIMPL;
}

int32_t CMMPresentation::OnSetChannelParameters(Channel, uint32_t) { return E_NOTIMPL; }

// The channel answers format checks itself; this answer carries no request
// id since none is handed in.
int32_t CMMPresentation::OnCheckFormatSupportRequest(Channel channel, uint32_t, uint32_t, uint32_t count,
                                                     const uint8_t* mediaType) {
  uint8_t answer[kCheckFormatResponseSize];
  WriteCheckFormatAnswer(answer, 0, ProbeMediaFormat(count, mediaType));
  return channel ? channel->Write(sizeof answer, answer) : -1;
}

int32_t CMMPresentation::OnAddStream(Channel, uint32_t streamId, uint32_t count, const uint8_t* mediaType) {
  {
    Counted<CVrMFStream> existing(FindStream(streamId));
    if (existing) return E_UNEXPECTED;
  }
  CVrMFStream* stream = new (std::nothrow) CVrMFStream(streamId);
  if (!stream) return E_OUTOFMEMORY;
  const int32_t result = stream->SetMediaType(count, mediaType);
  if (result != 0) {
    LogMessageA("CMMPresentation::OnAddStream: IRdpMMStream->SetMediaType failed [0x%x]\n", result);
    stream->Release();
    return result;
  }
  std::lock_guard<std::mutex> hold(mutex_);
  // Another worker may have added the same id meanwhile.
  for (CVrMFStream* listed : streams_) {
    if (listed->GetStreamId() == streamId) {
      stream->Release();
      return E_UNEXPECTED;
    }
  }
  // A stream the source refuses (it carries at most four) is not kept
  // either: its samples would queue with nothing to take them.
  if (source_) {
    const HRESULT appended = source_->AppendStream(stream);
    if (FAILED(appended)) {
      stream->Release();
      return appended;
    }
  }
  streams_.push_back(stream);
  return 0;
}

int32_t CMMPresentation::OnSetTopologyRequest(Channel channel, uint32_t messageId) {
  uint32_t topologyReady = 0;
  {
    Counted<IRdpMMVrPlayer> player(Player());
    Counted<IVrRdpMediaSource> source(Source());
    if (player && source && source->Open() >= 0) {
      source->AddRef();  // the player's, on success
      const HRESULT result = player->Open(source.p);
      if (result >= 0) {
        topologyReady = 1;
      } else {
        LogMessageA("CMMPresentation::OnSetTopologyRequest:  CVrMediaPlayer->Open() failed [0x%x]\n", result);
        source->Release();
      }
    }
  }
  if (!channel) return -1;
  uint8_t answer[kTopologyResponseSize];
  ByteWriter w(answer, sizeof answer);
  w.U32(kInterfaceStub);
  w.U32(messageId);
  w.U32(topologyReady);
  w.U32(0);
  return channel->Write(sizeof answer, answer);
}

int32_t CMMPresentation::OnSetVideoWindow(Channel, uint32_t, uint32_t, uint32_t, uint32_t) { return E_NOTIMPL; }

int32_t CMMPresentation::OnSetSourceVideoRect(Channel, uint32_t, uint32_t, uint32_t, uint32_t) { return E_NOTIMPL; }

int32_t CMMPresentation::OnNewPresentation(Channel channel, uint32_t) {
  const HWND parent = DisplayWindow(channel, 0);
  IRdpMMVrPlayer* player = parts_.player ? parts_.player(parent, 0, SessionHasSound(channel)) : nullptr;
  IVrRdpMediaSource* source = parts_.source ? parts_.source() : nullptr;
  // The window exists before another worker can reach the player, so that a
  // shutdown meanwhile cannot leave one behind.
  if (player) player->CreateVideoWindow();
  // A repeated announcement replaces both: the earlier player's window goes
  // and the new source lists the streams already added. Shutting down the
  // earlier source ended its streams for good, so each is made again with
  // its id and format.
  DropPlayerAndSource(true);
  std::vector<CVrMFStream*> ended;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    player_ = player;
    source_ = source;
    ended.swap(streams_);
    for (CVrMFStream* old : ended) {
      CVrMFStream* renewed = new (std::nothrow) CVrMFStream(old->GetStreamId());
      if (!renewed) continue;
      const std::vector<uint8_t> format = old->Format();
      if (renewed->SetMediaType(static_cast<uint32_t>(format.size()), format.data()) != 0 ||
          (source && FAILED(source->AppendStream(renewed)))) {
        renewed->Release();
        continue;
      }
      streams_.push_back(renewed);
    }
  }
  for (auto it = ended.rbegin(); it != ended.rend(); ++it) (*it)->Release();
  return E_NOTIMPL;
}

void CMMPresentation::DropPlayerAndSource(bool closePlayer) {
  IRdpMMVrPlayer* player = nullptr;
  IVrRdpMediaSource* source = nullptr;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    std::swap(player, player_);
    std::swap(source, source_);
  }
  if (player) {
    if (closePlayer) {
      player->DestroyVideoWindow();
      player->Close();
    }
    player->Release();
  }
  if (source) {
    // An opened source and its streams hold each other until the source is
    // shut down; the player's Close does that only for a source it opened.
    DWORD characteristics = 0;
    if (source->GetCharacteristics(&characteristics) != MF_E_SHUTDOWN) source->Shutdown();
    source->Release();
  }
}

int32_t CMMPresentation::OnShutdownPresentation(Channel) {
  DropPlayerAndSource(true);
  std::vector<CVrMFStream*> streams;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    streams.swap(streams_);
  }
  for (auto it = streams.rbegin(); it != streams.rend(); ++it) (*it)->Release();
  return E_NOTIMPL;
}

int32_t CMMPresentation::OnPlaybackStarted(Channel channel, uint64_t startOffset, uint32_t isSeek) {
  ForEachStream([&](CVrMFStream* stream) { stream->OnStart(static_cast<int64_t>(startOffset), isSeek); });
  const int32_t result = SendEvent(channel, kEventStartCompleted);
  Counted<IRdpMMVrPlayer> player(Player());
  if (player) player->Play(static_cast<int64_t>(startOffset), isSeek);
  return result;
}

int32_t CMMPresentation::OnPlaybackPaused(Channel) {
  ForEachStream([](CVrMFStream* stream) { stream->OnPause(); });
  Counted<IRdpMMVrPlayer> player(Player());
  if (player) player->Pause();
  return 0;
}

int32_t CMMPresentation::OnPlaybackStopped(Channel channel) {
  ForEachStream([](CVrMFStream* stream) { stream->OnStop(); });
  const int32_t result = SendEvent(channel, kEventStopCompleted);
  Counted<IRdpMMVrPlayer> player(Player());
  if (player) player->Stop();
  return result;
}

int32_t CMMPresentation::OnPlaybackRestarted(Channel) {
  ForEachStream([](CVrMFStream* stream) { stream->OnReStart(); });
  Counted<IRdpMMVrPlayer> player(Player());
  if (player) player->Restart();
  return 0;
}

int32_t CMMPresentation::OnPlaybackRateChanged(Channel, float) {
  LogMessageA("CMMPresentation::OnPlaybackRateChanged:  - not implemented\n");
  return 0;
}

int32_t CMMPresentation::OnStreamVolume(Channel, uint32_t newVolume, uint32_t muted) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    streamVolume_ = newVolume;
    muted_ = muted;
  }
  Counted<IRdpMMVrPlayer> player(Player());
  if (player) player->SetVolume(newVolume, muted);
  return 0;
}

int32_t CMMPresentation::OnFlush(Channel, uint32_t streamId) {
  Counted<CVrMFStream> stream(FindStream(streamId));
  if (stream) stream->OnFlush();
  return 0;
}

int32_t CMMPresentation::OnUpdateGeometryInfo(Channel, uint32_t geometrySize, const uint8_t* geometry,
                                              uint32_t cbVisibleRect, const uint8_t* rectangles) {
  if (geometrySize != kGeometrySize && geometrySize != kGeometryPaddedSize) return E_INVALIDARG;
  ByteReader g(geometry, geometrySize);
  g.Skip(8);  // VideoWindowId
  const uint32_t state = g.U32();
  const int32_t width = g.I32();
  const int32_t height = g.I32();
  const int32_t left = g.I32();
  const int32_t top = g.I32();
  if (!g.Ok()) return E_INVALIDARG;
  const bool visible = (state & kWindowDeleted) == 0;

  std::vector<RECT> regions;
  ByteReader r(rectangles, cbVisibleRect);
  const uint32_t n = cbVisibleRect / kVisibleRectSize;
  regions.reserve(n);
  for (uint32_t i = 0; i < n; ++i) {
    RECT rect;
    rect.top = r.I32();
    rect.left = r.I32();
    rect.bottom = r.I32();
    rect.right = r.I32();
    if (!r.Ok()) return E_INVALIDARG;
    regions.push_back(rect);
  }
  Counted<IRdpMMVrPlayer> player(Player());
  if (player)
    player->SetVideoWindowPos(visible, left, top, width, height, static_cast<int32_t>(regions.size()),
                              regions.empty() ? nullptr : regions.data());
  return 0;
}

int32_t CMMPresentation::OnEndOfStream(Channel channel, uint32_t streamId) {
  Counted<CVrMFStream> stream(FindStream(streamId));
  if (!stream) return 0;
  // A stream that had no sample has its channel only from here, and the end
  // goes back through it.
  stream->SetChannel(std::move(channel));
  stream->OnEndOfStream();
  return 0;
}

int32_t CMMPresentation::OnRemoveStream(Channel, uint32_t streamId) {
  LogMessageA("CMMPresentation::OnRemoveStream: stream id[0x%x]\n", streamId);
  CVrMFStream* removed = nullptr;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    auto it = std::find_if(streams_.begin(), streams_.end(),
                           [&](CVrMFStream* stream) { return stream->GetStreamId() == streamId; });
    if (it != streams_.end()) {
      removed = *it;
      streams_.erase(it);
    }
  }
  if (removed) {
    removed->OnRemove();
    removed->Release();
  }
  return 0;
}

int32_t CMMPresentation::OnCloseChannel(uint32_t streamId) {
  Counted<CVrMFStream> stream(FindStream(streamId));
  if (stream) stream->OnClose();
  return 0;
}

size_t CMMPresentation::StreamCount() {
  std::lock_guard<std::mutex> hold(mutex_);
  return streams_.size();
}

uint32_t CMMPresentation::StreamVolume() {
  std::lock_guard<std::mutex> hold(mutex_);
  return streamVolume_;
}

uint32_t CMMPresentation::Muted() {
  std::lock_guard<std::mutex> hold(mutex_);
  return muted_;
}
