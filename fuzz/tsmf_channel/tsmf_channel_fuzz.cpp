// The multimedia channel's message entry over real presentations and
// redirected streams, whose player and media source are quiet doubles that
// only keep the references they are given. Input: MS-RDPEV messages of u16
// length and bytes (the last takes what is left), as the packet-entry
// targets frame them. The presentations an input announced end with it.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "FuzzPackets.h"
#include "QuietChannelSession.h"
#include "mmredir/MMPresentation.h"
#include "mmredir/TsmfChannel.h"

namespace {

class QuietPlayer : public IRdpMMVrPlayer {
public:
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    const ULONG left = --refs_;
    if (left == 0)
      delete this;
    return left;
  }
  HRESULT CreateVideoWindow() override { return S_OK; }
  HRESULT DestroyVideoWindow() override { return S_OK; }
  HRESULT Open(IMFMediaSource *source) override {
    if (source)
      source->Release();
    return S_OK;
  }
  HRESULT Play(int64_t, uint32_t) override { return S_OK; }
  HRESULT Restart() override { return S_OK; }
  HRESULT Pause() override { return S_OK; }
  HRESULT Stop() override { return S_OK; }
  HRESULT Close() override { return S_OK; }
  HRESULT SetVideoWindowPos(bool, int32_t, int32_t, int32_t, int32_t,
                            int32_t count, const RECT *regions) override {
    // Every region handed over must be there to read.
    volatile LONG sum = 0;
    for (int32_t i = 0; i < count; ++i)
      sum = sum + regions[i].left + regions[i].bottom;
    return S_OK;
  }
  HRESULT SetVolume(uint32_t, uint32_t) override { return S_OK; }

private:
  std::atomic<ULONG> refs_{1};
};

class QuietSource : public IVrRdpMediaSource {
public:
  HRESULT QueryInterface(REFIID, void **object) override {
    if (object)
      *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    const ULONG left = --refs_;
    if (left == 0)
      delete this;
    return left;
  }
  HRESULT GetEvent(DWORD, IMFMediaEvent **) override { return E_NOTIMPL; }
  HRESULT BeginGetEvent(IMFAsyncCallback *, IUnknown *) override {
    return E_NOTIMPL;
  }
  HRESULT EndGetEvent(IMFAsyncResult *, IMFMediaEvent **) override {
    return E_NOTIMPL;
  }
  HRESULT QueueEvent(MediaEventType, REFGUID, HRESULT,
                     const PROPVARIANT *) override {
    return E_NOTIMPL;
  }
  HRESULT GetCharacteristics(DWORD *) override { return E_NOTIMPL; }
  HRESULT CreatePresentationDescriptor(IMFPresentationDescriptor **) override {
    return E_NOTIMPL;
  }
  HRESULT Start(IMFPresentationDescriptor *, const GUID *,
                const PROPVARIANT *) override {
    return E_NOTIMPL;
  }
  HRESULT Stop() override { return E_NOTIMPL; }
  HRESULT Pause() override { return E_NOTIMPL; }
  HRESULT Shutdown() override { return S_OK; }
  HRESULT AppendStream(CVrMFStream *) override { return S_OK; }
  HRESULT Open() override { return S_OK; }

private:
  std::atomic<ULONG> refs_{1};
};

struct Holder {
  std::shared_ptr<CTsmfChannel> channel;
  Holder() {
    MMPresentationParts parts;
    parts.player = [](HWND, int32_t) -> IRdpMMVrPlayer * {
      return new QuietPlayer();
    };
    parts.source = []() -> IVrRdpMediaSource * { return new QuietSource(); };
    channel = std::make_shared<CTsmfChannel>(
        1, 0, 0x100, std::make_shared<QuietChannelSession>(),
        [parts](const uint8_t *id) -> IMMPresentation * {
          return new CMMPresentation(id, parts);
        });
  }
};

std::shared_ptr<CTsmfChannel> Channel() {
  static Holder holder;
  return holder.channel;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::shared_ptr<CTsmfChannel> channel = Channel();
  ForEachFuzzPacket(
      data, size, 0, [&](const std::vector<uint8_t> &packet, size_t) {
        channel->OnReceive(packet.data(), static_cast<uint32_t>(packet.size()),
                           channel->Session(), channel);
      });
  CTsmfChannel::EndSessionPresentations(channel->Session());
  return 0;
}
