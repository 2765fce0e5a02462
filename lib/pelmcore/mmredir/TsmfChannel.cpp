#include "mmredir/TsmfChannel.h"

#include <cstring>
#include <new>
#include <unordered_map>
#include <utility>
#include <vector>

#include "sys/ByteWriter.h"
#include "sys/klog.h"
#include "virtchan/ChannelMakers.h"
#include "virtchan/VirtChanWire.h"

using namespace mmredir;

struct CTsmfChannel::Registry {
  struct Entry {
    IMMPresentation* presentation;  // holds one reference of the registry
    const IVirtChanSession* owner;  // the session whose channel announced it
  };
  int32_t refs = 1;  // the process's own
  std::mutex mutex;
  std::vector<Entry> presentations;
  // Open multimedia channels per session.
  std::unordered_map<const IVirtChanSession*, int> liveChannels;
};

namespace {

std::mutex g_registryLock;
CTsmfChannel::Registry* g_registry = nullptr;

// Holds a registry reference for one command.
struct RegistryUse {
  CTsmfChannel::Registry* registry = CTsmfChannel::GetRegistry();
  ~RegistryUse() { CTsmfChannel::ReleaseRegistry(registry); }
};

bool Whole(const ByteReader& r, uint32_t functionId, uint32_t length) {
  if (r.Ok()) return true;
  LogMessageA("CTsmfChannel: function 0x%x: a message of %u bytes is cut short; dropped", functionId, length);
  return false;
}

uint32_t CapabilityValue(uint32_t type, uint32_t serverValue) {
  switch (type) {
    case kCapabilityVersion:
    case kCapabilityLatency:
      return serverValue;
    case kCapabilityPlatformCookie:
      return kPlatformCookieMF;
    case kCapabilityAudioSupport:
      return 1;
    default:
      return 0;  // a capability this client does not know
  }
}

}  // namespace

// ---------------------------------------------------------------- registry

CTsmfChannel::Registry* CTsmfChannel::GetRegistry() {
  Registry* registry;
  {
    std::lock_guard<std::mutex> hold(g_registryLock);
    if (!g_registry) g_registry = new Registry();
    registry = g_registry;
  }
  std::lock_guard<std::mutex> hold(registry->mutex);
  ++registry->refs;
  return registry;
}

void CTsmfChannel::ReleaseRegistry(Registry* registry) {
  if (!registry) return;
  std::vector<Registry::Entry> left;
  {
    std::lock_guard<std::mutex> hold(registry->mutex);
    if (--registry->refs > 0) return;
    left.swap(registry->presentations);
  }
  // The process's own reference keeps this from happening while it runs.
  for (const Registry::Entry& entry : left) entry.presentation->Release();
  std::lock_guard<std::mutex> hold(g_registryLock);
  if (g_registry == registry) g_registry = nullptr;
  delete registry;
}

IMMPresentation* CTsmfChannel::FindPresentation(const uint8_t id[kPresentationIdSize]) {
  RegistryUse use;
  std::lock_guard<std::mutex> hold(use.registry->mutex);
  for (const Registry::Entry& entry : use.registry->presentations) {
    if (entry.presentation->IsPresentation(id)) {
      entry.presentation->AddRef();
      return entry.presentation;
    }
  }
  return nullptr;
}

void CTsmfChannel::CreatePresentation(const uint8_t id[kPresentationIdSize], const PresentationMaker& maker,
                                      const IVirtChanSession* owner) {
  RegistryUse use;
  std::lock_guard<std::mutex> hold(use.registry->mutex);
  for (const Registry::Entry& entry : use.registry->presentations) {
    if (entry.presentation->IsPresentation(id)) return;
  }
  IMMPresentation* made = maker ? maker(id) : nullptr;
  if (!made) {
    LogMessageA("CTsmfChannel: no presentation could be made");
    return;
  }
  use.registry->presentations.push_back({made, owner});
}

void CTsmfChannel::RemovePresentation(const uint8_t id[kPresentationIdSize]) {
  IMMPresentation* removed = nullptr;
  {
    RegistryUse use;
    std::lock_guard<std::mutex> hold(use.registry->mutex);
    auto& list = use.registry->presentations;
    for (auto it = list.begin(); it != list.end(); ++it) {
      if (it->presentation->IsPresentation(id)) {
        removed = it->presentation;
        list.erase(it);
        break;
      }
    }
  }
  if (removed) removed->Release();
}

void CTsmfChannel::EndSessionPresentations(const IVirtChanSession* owner) {
  std::vector<IMMPresentation*> ended;
  {
    RegistryUse use;
    std::lock_guard<std::mutex> hold(use.registry->mutex);
    auto& list = use.registry->presentations;
    for (auto it = list.begin(); it != list.end();) {
      if (it->owner == owner) {
        ended.push_back(it->presentation);
        it = list.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (IMMPresentation* presentation : ended) {
    LogMessageA("CTsmfChannel: a presentation its session did not shut down is shut down");
    presentation->OnShutdownPresentation(nullptr);
    presentation->Release();
  }
}

size_t CTsmfChannel::PresentationCount() {
  RegistryUse use;
  std::lock_guard<std::mutex> hold(use.registry->mutex);
  return use.registry->presentations.size();
}

// ---------------------------------------------------------------- channel

CTsmfChannel::CTsmfChannel(uint32_t serverChannelId, uint16_t index, uint32_t optionWord, SessionPtr session,
                           PresentationMaker maker)
    : CCVirtChanel(serverChannelId, index, optionWord, std::move(session)), maker_(std::move(maker)) {}

CTsmfChannel::~CTsmfChannel() = default;

int32_t CTsmfChannel::Write(uint32_t length, const void* data) {
  if (length == 0 || !data) return 0;
  SendChunked(static_cast<const uint8_t*>(data), length, virtchan::kMultimediaChunk);
  return 0;
}

int32_t CTsmfChannel::Close() {
  LogMessageW(u"CTsmfChannel::Close - not implemented.\n");
  return -1;
}

int CTsmfChannel::Open(const std::shared_ptr<CCVirtChanel>& self) {
  if (!counted_.exchange(true)) {
    RegistryUse use;
    std::lock_guard<std::mutex> hold(use.registry->mutex);
    ++use.registry->liveChannels[Session()];
  }
  return CCVirtChanel::Open(self);
}

int CTsmfChannel::Stop() {
  uint8_t id[kPresentationIdSize];
  uint32_t streamId;
  bool haveParams;
  {
    std::lock_guard<std::mutex> hold(paramsMutex_);
    std::memcpy(id, presentationId_, sizeof id);
    streamId = streamId_;
    haveParams = haveParams_;
  }
  if (haveParams) {
    if (IMMPresentation* presentation = FindPresentation(id)) {
      presentation->OnCloseChannel(streamId);
      presentation->Release();
    }
  }
  CCVirtChanel::Stop();
  if (!counted_.exchange(false)) return 0;
  bool last = false;
  {
    RegistryUse use;
    std::lock_guard<std::mutex> hold(use.registry->mutex);
    auto it = use.registry->liveChannels.find(Session());
    if (it != use.registry->liveChannels.end() && --it->second <= 0) {
      use.registry->liveChannels.erase(it);
      last = true;
    }
  }
  // No multimedia channel of the session is left to shut its presentations
  // down: their windows must not outlive the session window.
  if (last) EndSessionPresentations(Session());
  return 0;
}

uint32_t CTsmfChannel::StreamId() {
  std::lock_guard<std::mutex> hold(paramsMutex_);
  return streamId_;
}

void CTsmfChannel::WriteAnswer(const uint8_t* answer, uint32_t size) { Write(size, answer); }

template <class Op>
void CTsmfChannel::WithPresentation(const uint8_t id[kPresentationIdSize], Op op) {
  RegistryUse use;
  if (IMMPresentation* presentation = FindPresentation(id)) {
    op(presentation);
    presentation->Release();
  }
}

int CTsmfChannel::OnReceive(const uint8_t* data, uint32_t length, IVirtChanSession*,
                            const std::shared_ptr<CCVirtChanel>& self) {
  ByteReader r(data, length);
  const uint32_t interfaceId = r.U32();
  const uint32_t messageId = r.U32();
  const uint32_t functionId = r.U32();
  if (!r.Ok()) {
    LogMessageA("CTsmfChannel: a message of %u bytes has no header; dropped", length);
    return 0;
  }
  if (interfaceId == kInterfaceCapabilities) {
    if (functionId == kRimRelease || functionId == kRimQueryInterface) return 0;
    if (functionId == kExchangeCapabilities) {
      OnRimExchangeCapability(interfaceId, messageId, r, length);
      return 0;
    }
    LogMessageA("1. Unknow: InterfaceId[0x%x] MessageId[0x%x] FunctionId[0x%x]\n", interfaceId, messageId, functionId);
    return 0;
  }
  if (interfaceId == kInterfaceServerData) {
    if (functionId == kRimRelease || functionId == kRimQueryInterface) return 0;
    if (functionId >= kExchangeCapabilities && functionId <= kSetSourceVideoRect) {
      OnServerDataMessage(messageId, functionId, r, length, self);
      return 0;
    }
    LogMessageA("2. Unknow: InterfaceId[0x%x] MessageId[0x%x] FunctionId[0x%x]\n", interfaceId, messageId, functionId);
    return 0;
  }
  LogMessageA("3. Unknow: InterfaceId[0x%x] MessageId[0x%x] FunctionId[0x%x]\n", interfaceId, messageId, functionId);
  return 0;
}

void CTsmfChannel::OnServerDataMessage(uint32_t messageId, uint32_t functionId, ByteReader& r, uint32_t length,
                                       const Channel& self) {
  switch (functionId) {
    case kExchangeCapabilities:
      OnExchangeCapabilities(messageId, r, length);
      return;
    case kCheckFormatSupport:
      OnCheckFormatSupport(messageId, r, length);
      return;
    case kShutdownPresentation:
      OnShutdownPresentation(messageId, r, length, self);
      return;
    case kSetChannelParams: {
      uint8_t id[kPresentationIdSize];
      r.Bytes(id, sizeof id);
      const uint32_t streamId = r.U32();
      if (!Whole(r, functionId, length)) return;
      std::lock_guard<std::mutex> hold(paramsMutex_);
      std::memcpy(presentationId_, id, sizeof id);
      streamId_ = streamId;
      haveParams_ = true;
      return;
    }
    case kSetTopology: {
      uint8_t id[kPresentationIdSize];
      r.Bytes(id, sizeof id);
      if (!Whole(r, functionId, length)) return;
      WithPresentation(id, [&](IMMPresentation* p) { p->OnSetTopologyRequest(self, messageId); });
      return;
    }
    default:
      OnCommand(functionId, r, length, self);
      return;
  }
}

// The commands that answer nothing: every field is read before the
// presentation is looked up, and a message cut short reaches none.
void CTsmfChannel::OnCommand(uint32_t functionId, ByteReader& r, uint32_t length, const Channel& self) {
  uint8_t id[kPresentationIdSize];
  r.Bytes(id, sizeof id);
  switch (functionId) {
    case kAddStream:
    case kOnSample: {
      const uint32_t streamId = r.U32();
      const uint32_t count = r.U32();
      const uint8_t* bytes = r.Take(count);
      if (!Whole(r, functionId, length)) return;
      WithPresentation(id, [&](IMMPresentation* p) {
        if (functionId == kAddStream)
          p->OnAddStream(self, streamId, count, bytes);
        else
          p->OnSample(self, streamId, bytes, count);
      });
      return;
    }
    case kSetVideoWindow: {
      const uint32_t a = r.U32(), b = r.U32(), c = r.U32(), d = r.U32();
      if (!Whole(r, functionId, length)) return;
      WithPresentation(id, [&](IMMPresentation* p) { p->OnSetVideoWindow(self, a, b, c, d); });
      return;
    }
    case kOnNewPresentation: {
      const uint32_t cookie = r.U32();
      if (!Whole(r, functionId, length)) return;
      CreatePresentation(id, maker_, Session());
      WithPresentation(id, [&](IMMPresentation* p) { p->OnNewPresentation(self, cookie); });
      return;
    }
    case kOnPlaybackStarted: {
      const uint64_t offset = r.U64();
      const uint32_t isSeek = r.U32();
      if (!Whole(r, functionId, length)) return;
      WithPresentation(id, [&](IMMPresentation* p) { p->OnPlaybackStarted(self, offset, isSeek); });
      return;
    }
    case kOnPlaybackPaused:
    case kOnPlaybackStopped:
    case kOnPlaybackRestarted:
      if (!Whole(r, functionId, length)) return;
      WithPresentation(id, [&](IMMPresentation* p) {
        if (functionId == kOnPlaybackPaused)
          p->OnPlaybackPaused(self);
        else if (functionId == kOnPlaybackStopped)
          p->OnPlaybackStopped(self);
        else
          p->OnPlaybackRestarted(self);
      });
      return;
    case kOnPlaybackRateChanged: {
      const int32_t rate = r.I32();
      if (!Whole(r, functionId, length)) return;
      WithPresentation(id, [&](IMMPresentation* p) { p->OnPlaybackRateChanged(self, static_cast<float>(rate)); });
      return;
    }
    case kOnStreamVolume:
    case kOnChannelVolume: {
      const uint32_t first = r.U32();
      const uint32_t second = r.U32();
      if (!Whole(r, functionId, length)) return;
      WithPresentation(id, [&](IMMPresentation* p) {
        if (functionId == kOnStreamVolume)
          p->OnStreamVolume(self, first, second);
        else
          p->OnChannelVolume(self, first, second);
      });
      return;
    }
    case kOnFlush:
    case kOnEndOfStream:
    case kNotifyPreroll:
    case kRemoveStream: {
      const uint32_t streamId = r.U32();
      if (!Whole(r, functionId, length)) return;
      if (functionId == kRemoveStream) LogMessageW(u"CTsmfChannel::OnRemoveStream\n");
      WithPresentation(id, [&](IMMPresentation* p) {
        if (functionId == kOnFlush)
          p->OnFlush(self, streamId);
        else if (functionId == kOnEndOfStream)
          p->OnEndOfStream(self, streamId);
        else if (functionId == kNotifyPreroll)
          p->OnNotifyPreroll(self, streamId);
        else
          p->OnRemoveStream(self, streamId);
      });
      return;
    }
    case kSetAllocator: {
      const uint32_t streamId = r.U32();
      const uint32_t cBuffers = r.U32(), cbBuffer = r.U32(), cbAlign = r.U32(), cbPrefix = r.U32();
      if (!Whole(r, functionId, length)) return;
      WithPresentation(id, [&](IMMPresentation* p) {
        p->OnSetAllocatorProps(self, streamId, cBuffers, cbBuffer, cbAlign, cbPrefix);
      });
      return;
    }
    case kUpdateGeometryInfo:
      OnUpdateGeometryInfo(id, r, length, self);
      return;
    case kSetSourceVideoRect: {
      const uint32_t left = r.U32(), top = r.U32(), right = r.U32(), bottom = r.U32();
      if (!Whole(r, functionId, length)) return;
      WithPresentation(id, [&](IMMPresentation* p) { p->OnSetSourceVideoRect(self, left, top, right, bottom); });
      return;
    }
    default:
      return;
  }
}

void CTsmfChannel::OnUpdateGeometryInfo(const uint8_t id[kPresentationIdSize], ByteReader& r, uint32_t length,
                                        const Channel& self) {
  const uint32_t geometrySize = r.U32();
  if (!Whole(r, kUpdateGeometryInfo, length)) return;
  if (geometrySize != kGeometrySize && geometrySize != kGeometryPaddedSize) {
    LogMessageW(
        u"[ERROR]CTsmfChannel::OnUpdateGeometryInfo - unknown size of "
        u"numGeometryInfo(%d)\n",
        static_cast<int>(geometrySize));
    return;
  }
  const uint8_t* geometry = r.Take(geometrySize);
  const uint32_t cbVisibleRect = r.U32();
  const uint8_t* rectangles = r.Take(cbVisibleRect);
  if (!r.Ok()) {
    LogMessageA(
        "CTsmfChannel::OnUpdateGeometryInfo: %u bytes of visible rectangles do not fit a message of %u bytes; dropped",
        cbVisibleRect, length);
    return;
  }
  WithPresentation(id, [&](IMMPresentation* p) {
    p->OnUpdateGeometryInfo(self, geometrySize, geometry, cbVisibleRect, rectangles);
  });
}

void CTsmfChannel::OnShutdownPresentation(uint32_t messageId, ByteReader& r, uint32_t length, const Channel& self) {
  uint8_t id[kPresentationIdSize];
  r.Bytes(id, sizeof id);
  if (!Whole(r, kShutdownPresentation, length)) return;
  WithPresentation(id, [&](IMMPresentation* p) { p->OnShutdownPresentation(self); });
  RemovePresentation(id);
  uint8_t answer[kShutdownResponseSize];
  ByteWriter w(answer, sizeof answer);
  w.U32(kInterfaceStub);
  w.U32(messageId);
  w.U32(0);
  WriteAnswer(answer, sizeof answer);
}

// The count is bounded by the entries present; each entry is TSMM_CAPABILITIES
// {type, cbCapabilityLength, that many bytes} and the next one starts after
// them. Every answered entry carries a 4-byte value and says so.
void CTsmfChannel::OnExchangeCapabilities(uint32_t messageId, ByteReader& r, uint32_t length) {
  const uint32_t stated = r.U32();
  if (!Whole(r, kExchangeCapabilities, length)) return;
  struct Entry {
    uint32_t type;
    uint32_t value;
  };
  std::vector<Entry> entries;
  while (entries.size() < stated && r.Remaining() > 0) {
    const uint32_t type = r.U32();
    const uint32_t size = r.U32();
    const uint8_t* data = r.Take(size);
    if (!r.Ok()) break;
    ByteReader v(data, size);
    const uint32_t value = v.U32();  // 0 for a shorter entry
    entries.push_back({type, CapabilityValue(type, value)});
  }
  if (entries.size() != stated)
    LogMessageA("CTsmfChannel::OnExchangeCapabilities: %u capabilities stated, %u whole ones present and answered",
                stated, static_cast<uint32_t>(entries.size()));
  const uint32_t count = static_cast<uint32_t>(entries.size());
  std::vector<uint8_t> answer(kAnswerHeaderSize + 8 + size_t{count} * kCapabilityEntrySize);
  ByteWriter w(answer.data(), answer.size());
  w.U32(kInterfaceStub);
  w.U32(messageId);
  w.U32(count);
  for (const Entry& entry : entries) {
    w.U32(entry.type);
    w.U32(4);
    w.U32(entry.value);
  }
  w.U32(0);
  WriteAnswer(answer.data(), static_cast<uint32_t>(answer.size()));
}

void CTsmfChannel::OnCheckFormatSupport(uint32_t messageId, ByteReader& r, uint32_t length) {
  r.Skip(8);  // PlatformCookie, NoRolloverFlags
  const uint32_t count = r.U32();
  const uint8_t* type = r.Take(count);
  if (!Whole(r, kCheckFormatSupport, length)) return;
  uint8_t answer[kCheckFormatResponseSize];
  WriteCheckFormatAnswer(answer, messageId, ProbeMediaFormat(count, type));
  WriteAnswer(answer, sizeof answer);
}

void CTsmfChannel::OnRimExchangeCapability(uint32_t interfaceId, uint32_t messageId, ByteReader& r, uint32_t length) {
  const uint32_t value = r.U32();
  if (!Whole(r, kExchangeCapabilities, length)) return;
  if (value != kRimCapabilityVersion) return;
  uint8_t answer[kRimResponseSize];
  ByteWriter w(answer, sizeof answer);
  w.U32(interfaceId);
  w.U32(messageId);
  w.U32(kRimCapabilityVersion);
  w.U32(0);
  WriteAnswer(answer, sizeof answer);
}

// ---------------------------------------------------------------- maker

namespace {

std::mutex g_partsLock;
std::shared_ptr<const MMPresentationParts> g_parts;

std::shared_ptr<CCVirtChanel> MakeTsmfChannel(const virtchan::ChannelMakeContext& c) {
  std::shared_ptr<const MMPresentationParts> parts;
  {
    std::lock_guard<std::mutex> hold(g_partsLock);
    parts = g_parts;
  }
  CTsmfChannel::PresentationMaker maker = [parts](const uint8_t id[kPresentationIdSize]) -> IMMPresentation* {
    return new (std::nothrow) CMMPresentation(id, parts ? *parts : MMPresentationParts());
  };
  std::shared_ptr<CTsmfChannel> channel(
      new (std::nothrow) CTsmfChannel(c.serverChannelId, c.index, c.optionWord, c.session, std::move(maker)));
  return channel;
}

}  // namespace

void RegisterTsmfChannelMaker(MMPresentationParts parts) {
  {
    std::lock_guard<std::mutex> hold(g_partsLock);
    g_parts = std::make_shared<const MMPresentationParts>(std::move(parts));
  }
  virtchan::RegisterChannelMaker(virtchan::kMultimediaChannel, MakeTsmfChannel);
}
