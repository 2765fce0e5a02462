// The audio renderer: a media sink taking 16-bit PCM (or 32-bit float)
// and playing it through wave output (WAVE_MAPPER), its levels applied to
// the samples before they are written. The device is paused and restarted
// with the presentation clock; a marker comes back once every buffer
// before it has played. Without a device the samples are taken and
// counted as played, so that a presentation never stalls for want of a
// sound card; a renderer made silent (the session's sound is off) opens
// none and plays the same way.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <new>

#include "MFRendererSink.h"
#include "MFSampleBytes.h"
#include "pelplat/debugout.h"
#include "pelplat/mmsystem.h"

namespace pelplat_mf {
namespace {

constexpr size_t kQueueDepth = 4;
constexpr UINT32 kMaxChannels = 8;

struct Format {
  UINT32 channels = 0;
  UINT32 rate = 0;
  bool floating = false;
  UINT32 InputFrameBytes() const { return channels * (floating ? 4 : 2); }
};

bool ReadFormat(IMFMediaType* type, Format* format) {
  GUID major{}, subtype{};
  if (FAILED(type->GetGUID(MF_MT_MAJOR_TYPE, &major)) || major != MFMediaType_Audio ||
      FAILED(type->GetGUID(MF_MT_SUBTYPE, &subtype)))
    return false;
  UINT32 bits = 0, channels = 0, rate = 0;
  type->GetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, &bits);
  type->GetUINT32(MF_MT_AUDIO_NUM_CHANNELS, &channels);
  type->GetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, &rate);
  const bool pcm = subtype == MFAudioFormat_PCM && bits == 16;
  const bool floating = subtype == MFAudioFormat_Float && bits == 32;
  if (!pcm && !floating) return false;
  if (channels == 0 || channels > kMaxChannels || rate < 1000 || rate > 384000) return false;
  *format = Format{channels, rate, floating};
  return true;
}

// One buffer on its way through the device, or a marker behind them.
struct Block {
  WAVEHDR header{};
  std::vector<BYTE> pcm;
  bool written = false;
  bool done = false;
  bool flushed = false;  // returned by a reset, not played
};

class AudioRenderer : public RendererSink, public IMFAudioStreamVolume {
 public:
  explicit AudioRenderer(bool silent) : silent_(silent) {}

  // ---- IUnknown (one count for every interface)
  HRESULT QueryInterface(REFIID riid, void** object) override { return RendererSink::QueryInterface(riid, object); }
  ULONG AddRef() override { return RendererSink::AddRef(); }
  ULONG Release() override { return RendererSink::Release(); }

  // ---- IMFStreamSink
  HRESULT ProcessSample(IMFSample* sample) override {
    if (!sample) return E_POINTER;
    std::lock_guard<std::mutex> order(device_lock_);
    Format format;
    std::vector<float> levels;
    bool running = false;
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (shutDown_) return MF_E_SHUTDOWN;
      if (format_.channels == 0) return MF_E_NOT_INITIALIZED;
      if (requested_ > 0) --requested_;
      format = format_;
      levels = levels_;
      running = state_ != MFCLOCK_STATE_STOPPED;
    }
    auto block = std::make_unique<Block>();
    if (!Convert(sample, format, levels, &block->pcm)) {
      int requests = 0;
      {
        std::lock_guard<std::mutex> hold(lock_);
        ++stats_.refused;
        requests = TopUpLocked();
      }
      SendRequests(requests);
      return S_OK;  // the stream goes on without the unreadable sample
    }
    if (!device_) {
      // No sound device: the sample counts as played at once.
      int requests = 0;
      {
        std::lock_guard<std::mutex> hold(lock_);
        ++stats_.rendered;
        requests = TopUpLocked();
      }
      SendRequests(requests);
      return S_OK;
    }
    Block* raw = block.get();
    raw->header.lpData = reinterpret_cast<LPSTR>(raw->pcm.data());
    raw->header.dwBufferLength = static_cast<DWORD>(raw->pcm.size());
    raw->header.dwUser = reinterpret_cast<DWORD_PTR>(raw);
    if (waveOutPrepareHeader(device_, &raw->header, sizeof(WAVEHDR)) != MMSYSERR_NOERROR) {
      // The block is lost, but its request is made again so the stream
      // does not stall on it.
      OutputDebugStringA("Audio renderer: the wave device could not prepare a buffer; dropped\n");
      int requests = 0;
      {
        std::lock_guard<std::mutex> hold(lock_);
        ++stats_.refused;
        requests = TopUpLocked();
      }
      SendRequests(requests);
      return E_FAIL;
    }
    {
      std::lock_guard<std::mutex> hold(lock_);
      items_.push_back(Item{block.release(), {}});
    }
    if (running) WriteBlock(raw);
    return S_OK;
  }
  HRESULT PlaceMarker(MFSTREAMSINK_MARKER_TYPE type, const PROPVARIANT* value, const PROPVARIANT* context) override {
    (void)value;
    Item item{nullptr, {}};
    if (!MakeMarker(type, context, &item.marker)) return E_INVALIDARG;
    bool now = false;
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (shutDown_) {
        PropVariantClear(&item.marker.context);
        return MF_E_SHUTDOWN;
      }
      now = items_.empty();
      if (!now) items_.push_back(item);
    }
    if (now) SendMarker(item.marker, S_OK);
    return S_OK;
  }
  HRESULT Flush() override {
    if (IsShutDown()) return MF_E_SHUTDOWN;
    Drop(true);
    return S_OK;
  }

  // ---- IMFClockStateSink
  HRESULT OnClockStart(MFTIME, LONGLONG) override { return Play(MEStreamSinkStarted); }
  HRESULT OnClockRestart(MFTIME) override { return Play(MEStreamSinkStarted); }
  HRESULT OnClockPause(MFTIME) override {
    {
      std::lock_guard<std::mutex> order(device_lock_);
      std::lock_guard<std::mutex> hold(lock_);
      if (shutDown_) return MF_E_SHUTDOWN;
      state_ = MFCLOCK_STATE_PAUSED;
      if (device_) waveOutPause(device_);
    }
    Send(MEStreamSinkPaused);
    return S_OK;
  }
  HRESULT OnClockStop(MFTIME) override {
    if (IsShutDown()) return MF_E_SHUTDOWN;
    Drop(false);
    {
      std::lock_guard<std::mutex> hold(lock_);
      state_ = MFCLOCK_STATE_STOPPED;
      requested_ = 0;
    }
    Send(MEStreamSinkStopped);
    return S_OK;
  }
  HRESULT OnClockSetRate(MFTIME, float) override { return S_OK; }

  // ---- IMFAudioStreamVolume
  HRESULT GetChannelCount(UINT32* count) override {
    if (!count) return E_POINTER;
    std::lock_guard<std::mutex> hold(lock_);
    if (shutDown_) return MF_E_SHUTDOWN;
    *count = static_cast<UINT32>(levels_.size());
    return levels_.empty() ? MF_E_NOT_INITIALIZED : S_OK;
  }
  HRESULT SetChannelVolume(UINT32 index, const float level) override {
    if (!(level >= 0.0f && level <= 1.0f)) return E_INVALIDARG;
    std::lock_guard<std::mutex> hold(lock_);
    if (shutDown_) return MF_E_SHUTDOWN;
    if (index >= levels_.size()) return E_INVALIDARG;
    levels_[index] = level;
    return S_OK;
  }
  HRESULT GetChannelVolume(UINT32 index, float* level) override {
    if (!level) return E_POINTER;
    std::lock_guard<std::mutex> hold(lock_);
    if (shutDown_) return MF_E_SHUTDOWN;
    if (index >= levels_.size()) return E_INVALIDARG;
    *level = levels_[index];
    return S_OK;
  }
  HRESULT SetAllVolumes(UINT32 count, const float* levels) override {
    if (!levels) return E_POINTER;
    for (UINT32 i = 0; i < count; ++i)
      if (!(levels[i] >= 0.0f && levels[i] <= 1.0f)) return E_INVALIDARG;
    std::lock_guard<std::mutex> hold(lock_);
    if (shutDown_) return MF_E_SHUTDOWN;
    if (count != levels_.size() || count == 0) return E_INVALIDARG;
    levels_.assign(levels, levels + count);
    return S_OK;
  }
  HRESULT GetAllVolumes(UINT32 count, float* levels) override {
    if (!levels) return E_POINTER;
    std::lock_guard<std::mutex> hold(lock_);
    if (shutDown_) return MF_E_SHUTDOWN;
    if (count != levels_.size() || count == 0) return E_INVALIDARG;
    std::copy(levels_.begin(), levels_.end(), levels);
    return S_OK;
  }

 protected:
  ~AudioRenderer() override {
    CloseDevice();
    for (Item& item : items_) {
      delete item.block;
      PropVariantClear(&item.marker.context);
    }
  }

  void* OtherInterface(REFIID riid) override {
    return riid == IID_IMFAudioStreamVolume ? static_cast<IMFAudioStreamVolume*>(this) : nullptr;
  }
  bool OffersService(REFGUID service) override { return service == MR_STREAM_VOLUME_SERVICE; }
  bool Accepts(IMFMediaType* type) override {
    Format format;
    return ReadFormat(type, &format);
  }
  HRESULT OfferedType(IMFMediaType** type) override {
    HRESULT hr = MFCreateMediaType(type);
    if (FAILED(hr)) return hr;
    (*type)->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio);
    (*type)->SetGUID(MF_MT_SUBTYPE, MFAudioFormat_PCM);
    (*type)->SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, 16);
    return S_OK;
  }
  HRESULT TakeType(IMFMediaType* type) override {
    Format format;
    if (!ReadFormat(type, &format)) return MF_E_INVALIDMEDIATYPE;
    // A new format needs a device opened for it.
    Drop(false);
    CloseDevice();
    std::lock_guard<std::mutex> order(device_lock_);
    {
      std::lock_guard<std::mutex> hold(lock_);
      format_ = format;
      levels_.assign(format.channels, 1.0f);
    }
    WAVEFORMATEX wave{};
    wave.wFormatTag = WAVE_FORMAT_PCM;
    wave.nChannels = static_cast<WORD>(format.channels);
    wave.nSamplesPerSec = format.rate;
    wave.wBitsPerSample = 16;
    wave.nBlockAlign = static_cast<WORD>(format.channels * 2);
    wave.nAvgBytesPerSec = format.rate * wave.nBlockAlign;
    HWAVEOUT device = nullptr;
    if (silent_) {
      OutputDebugStringA("Audio renderer: the session's sound is off; the sound is dropped\n");
    } else {
      const MMRESULT opened = waveOutOpen(&device, WAVE_MAPPER, &wave, reinterpret_cast<DWORD_PTR>(&Done),
                                          reinterpret_cast<DWORD_PTR>(this), CALLBACK_FUNCTION);
      if (opened != MMSYSERR_NOERROR) {
        char line[128];
        std::snprintf(line, sizeof line, "Audio renderer: no wave output device (%u); the sound is dropped\n", opened);
        OutputDebugStringA(line);
        device = nullptr;
      }
    }
    std::lock_guard<std::mutex> hold(lock_);
    device_ = device;
    if (device_ && state_ == MFCLOCK_STATE_PAUSED) waveOutPause(device_);
    return S_OK;
  }
  GUID MajorType() override { return MFMediaType_Audio; }
  void StopRendering() override {
    Drop(false);
    CloseDevice();
  }

 private:
  struct Item {
    Block* block;  // null for a marker
    Marker marker;
  };

  // The sample's bytes as 16-bit PCM with the levels applied; false (and a
  // log line) when they are not whole frames.
  static bool Convert(IMFSample* sample, const Format& format, const std::vector<float>& levels,
                      std::vector<BYTE>* out) {
    std::vector<BYTE> bytes;
    if (!SampleBytes(sample, &bytes)) return false;
    const size_t frameBytes = format.InputFrameBytes();
    if (bytes.empty() || bytes.size() % frameBytes != 0) {
      char line[128];
      std::snprintf(line, sizeof line, "Audio renderer: a sample of %zu bytes is not whole %zu-byte frames; dropped\n",
                    bytes.size(), frameBytes);
      OutputDebugStringA(line);
      return false;
    }
    const size_t values = bytes.size() / (format.floating ? 4 : 2);
    out->resize(values * 2);
    for (size_t i = 0; i < values; ++i) {
      const float level = levels[i % format.channels];
      int32_t v;
      if (format.floating) {
        float f;
        std::memcpy(&f, bytes.data() + i * 4, 4);
        if (!(f == f)) f = 0;  // NaN
        f = std::min(1.0f, std::max(-1.0f, f));
        v = static_cast<int32_t>(std::lround(f * level * 32767.0f));
      } else {
        const int16_t s = static_cast<int16_t>(bytes[i * 2] | (bytes[i * 2 + 1] << 8));
        v = level == 1.0f ? s : static_cast<int32_t>(std::lround(s * level));
      }
      v = std::min(32767, std::max(-32768, v));
      (*out)[i * 2] = static_cast<BYTE>(v & 0xFF);
      (*out)[i * 2 + 1] = static_cast<BYTE>((v >> 8) & 0xFF);
    }
    return true;
  }

  // Under device_lock_.
  void WriteBlock(Block* block) {
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (block->written) return;
      block->written = true;
    }
    if (waveOutWrite(device_, &block->header, sizeof(WAVEHDR)) != MMSYSERR_NOERROR) {
      // The device refused it: it counts as done so that what follows moves on.
      OutputDebugStringA("Audio renderer: the wave device refused a buffer; dropped\n");
      Finished(block, true);
    }
  }

  int TopUpLocked() {
    if (state_ == MFCLOCK_STATE_STOPPED || shutDown_) return 0;
    size_t queued = 0;
    for (const Item& item : items_)
      if (item.block) ++queued;
    int more = 0;
    while (queued + static_cast<size_t>(requested_) < kQueueDepth) {
      ++requested_;
      ++more;
    }
    return more;
  }

  HRESULT Play(MediaEventType event) {
    int requests = 0;
    std::vector<Block*> waiting;
    {
      std::lock_guard<std::mutex> order(device_lock_);
      {
        std::lock_guard<std::mutex> hold(lock_);
        if (shutDown_) return MF_E_SHUTDOWN;
        const MFCLOCK_STATE before = state_;
        state_ = MFCLOCK_STATE_RUNNING;
        if (device_ && before == MFCLOCK_STATE_PAUSED) waveOutRestart(device_);
        for (Item& item : items_)
          if (item.block && !item.block->written) waiting.push_back(item.block);
        requests = TopUpLocked();
      }
      for (Block* block : waiting) WriteBlock(block);
    }
    Send(event);
    SendRequests(requests);
    return S_OK;
  }

  // Returns every buffer not yet played and aborts the markers.
  void Drop(bool topUp) {
    std::lock_guard<std::mutex> order(device_lock_);
    std::vector<Marker> aborted;
    std::vector<Block*> unwritten;
    {
      std::lock_guard<std::mutex> hold(lock_);
      std::deque<Item> kept;
      for (Item& item : items_) {
        if (!item.block) {
          aborted.push_back(item.marker);
        } else if (!item.block->written) {
          unwritten.push_back(item.block);
        } else {
          item.block->flushed = true;
          kept.push_back(item);
        }
      }
      items_.swap(kept);
    }
    for (Block* block : unwritten) {
      waveOutUnprepareHeader(device_, &block->header, sizeof(WAVEHDR));
      delete block;
    }
    // The reset hands back every written buffer through Done, on this
    // thread: our lock is not held here.
    if (device_) waveOutReset(device_);
    for (Marker& marker : aborted) SendMarker(marker, E_ABORT);
    int requests = 0;
    if (topUp) {
      std::lock_guard<std::mutex> hold(lock_);
      requests = TopUpLocked();
    }
    SendRequests(requests);
  }

  void CloseDevice() {
    std::lock_guard<std::mutex> order(device_lock_);
    HWAVEOUT device = nullptr;
    {
      std::lock_guard<std::mutex> hold(lock_);
      device = device_;
      device_ = nullptr;
    }
    if (!device) return;
    waveOutReset(device);
    waveOutClose(device);
  }

  static void Done(HANDLE, UINT message, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR) {
    if (message != WOM_DONE || !instance || !param1) return;
    WAVEHDR* header = reinterpret_cast<WAVEHDR*>(param1);
    reinterpret_cast<AudioRenderer*>(instance)->Finished(reinterpret_cast<Block*>(header->dwUser), false);
  }

  // The device is done with the block: everything done at the front of the
  // queue leaves it, markers that reach the front come back.
  void Finished(Block* block, bool refused) {
    std::vector<Block*> leaving;
    std::vector<Marker> markers;
    int requests = 0;
    HWAVEOUT device = nullptr;
    {
      std::lock_guard<std::mutex> hold(lock_);
      block->done = true;
      if (refused) block->flushed = true;
      while (!items_.empty() && (!items_.front().block || items_.front().block->done)) {
        Item item = items_.front();
        items_.pop_front();
        if (!item.block) {
          markers.push_back(item.marker);
          continue;
        }
        if (!item.block->flushed) ++stats_.rendered;
        leaving.push_back(item.block);
      }
      requests = TopUpLocked();
      device = device_;
    }
    for (Block* done : leaving) {
      if (device) waveOutUnprepareHeader(device, &done->header, sizeof(WAVEHDR));
      delete done;
    }
    for (Marker& marker : markers) SendMarker(marker, S_OK);
    SendRequests(requests);
  }

  const bool silent_;
  // Orders the device calls (writes, resets, the open and close) among
  // themselves; taken before lock_, never inside the device's callback.
  std::mutex device_lock_;
  HWAVEOUT device_ = nullptr;  // changed under both locks

  // Under lock_.
  Format format_;
  std::vector<float> levels_;
  MFCLOCK_STATE state_ = MFCLOCK_STATE_STOPPED;
  std::deque<Item> items_;
  int requested_ = 0;
};

IMFMediaSink* NewAudioRenderer(HWND, IMFAttributes* settings) {
  UINT32 silent = 0;
  if (settings) settings->GetUINT32(PELPLAT_MF_AUDIO_RENDERER_SILENT, &silent);
  return new (std::nothrow) AudioRenderer(silent != 0);
}

}  // namespace
}  // namespace pelplat_mf

HRESULT MFCreateAudioRendererActivate(IMFActivate** activate) {
  return pelplat_mf::NewRendererActivate(pelplat_mf::NewAudioRenderer, nullptr, activate);
}
