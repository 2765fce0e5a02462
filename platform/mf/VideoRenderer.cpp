// The video renderer: a media sink taking RGB32 frames, presenting each on
// a thread of its own when the presentation clock reaches the frame's time.
// A presented picture is the frame scaled into the destination rectangle
// of the display control with the mixer's alpha bitmap blended over it,
// handed to the video window's presenter.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <new>
#include <thread>

#include "MFAttributeStore.h"
#include "MFRendererSink.h"
#include "MFSampleBytes.h"
#include "pelplat/debugout.h"
#include "pelplat/videowindow.h"

namespace pelplat_mf {
namespace {

constexpr UINT32 kMaxDimension = 16384;
// The largest picture presented: an 8K screen with room to spare. A
// destination rectangle beyond it is refused rather than allocated.
constexpr int64_t kMaxPictureSide = 8192;
constexpr int64_t kMaxPicturePixels = 8192LL * 4800;
// Samples held or asked for at once.
constexpr size_t kQueueDepth = 3;
// How long the presenting thread sleeps before it reads the clock again: a
// clock may jump or change rate without telling its sinks.
constexpr LONGLONG kClockPoll = 100000;  // 10 ms in 100 ns units
// A sample with no duration counts as late this long after its time.
constexpr LONGLONG kLateWithoutDuration = 200000;

void Log(const char* text) { OutputDebugStringA(text); }

struct Geometry {
  UINT32 width = 0, height = 0;
  int64_t stride = 0;  // bytes from one row to the next; negative: bottom-up
};

// A frame's pixels, rows top-down, stride width * 4.
struct Frame {
  UINT32 width = 0, height = 0;
  std::vector<BYTE> bgrx;
};

// The source window of a scale, in source pixels.
struct Window {
  double left, top, width, height;
};

// Bilinear scale of `source` (its window) into a dw x dh BGRX picture. A
// window of the picture's own size maps every pixel onto itself.
void ScaleInto(const Frame& source, const Window& window, std::vector<BYTE>* out, UINT32 dw, UINT32 dh) {
  struct Tap {
    UINT32 first, second;
    UINT32 weight;  // of `second`, in 1/256
  };
  // Taps stay inside the window, so that a cropped-off neighbour never
  // bleeds into the edge.
  auto taps = [](double start, double length, UINT32 count, UINT32 limit) {
    std::vector<Tap> result(count);
    const double lowest = std::max(0.0, std::floor(start));
    const double highest = std::max(lowest, std::min(std::ceil(start + length) - 1, static_cast<double>(limit - 1)));
    for (UINT32 i = 0; i < count; ++i) {
      double at = start + (i + 0.5) * length / count - 0.5;
      at = std::min(std::max(at, lowest), highest);
      const UINT32 first = static_cast<UINT32>(at);
      const UINT32 second = std::min(first + 1, limit - 1);
      result[i] = Tap{first, second, static_cast<UINT32>(std::lround((at - first) * 256))};
    }
    return result;
  };
  const std::vector<Tap> xs = taps(window.left, window.width, dw, source.width);
  const std::vector<Tap> ys = taps(window.top, window.height, dh, source.height);
  const size_t sourceStride = static_cast<size_t>(source.width) * 4;
  for (UINT32 y = 0; y < dh; ++y) {
    const BYTE* rowA = source.bgrx.data() + ys[y].first * sourceStride;
    const BYTE* rowB = source.bgrx.data() + ys[y].second * sourceStride;
    const UINT32 wy = ys[y].weight;
    BYTE* target = out->data() + static_cast<size_t>(y) * dw * 4;
    for (UINT32 x = 0; x < dw; ++x) {
      const UINT32 wx = xs[x].weight;
      const size_t a = static_cast<size_t>(xs[x].first) * 4, b = static_cast<size_t>(xs[x].second) * 4;
      for (int c = 0; c < 3; ++c) {
        const UINT32 top = rowA[a + c] * (256 - wx) + rowA[b + c] * wx;
        const UINT32 bottom = rowB[a + c] * (256 - wx) + rowB[b + c] * wx;
        target[x * 4 + c] = static_cast<BYTE>((top * (256 - wy) + bottom * wy + 32768) >> 16);
      }
      target[x * 4 + 3] = 0xFF;
    }
  }
}

// The mixer's bitmap as copied at SetAlphaBitmap, with its parameters.
struct AlphaBitmap {
  UINT32 width = 0, height = 0;
  std::vector<BYTE> argb;  // bytes B, G, R, A; stride width * 4
  MFVideoAlphaBitmapParams params{};
};

// Blends the bitmap's source rectangle over the picture's part that the
// normalised destination names: out = bitmap * a + picture * (1 - a), with
// a the pixel's alpha times fAlpha, rounded to the nearest.
void BlendOver(const AlphaBitmap& bitmap, std::vector<BYTE>* picture, UINT32 pw, UINT32 ph) {
  const MFVideoAlphaBitmapParams& p = bitmap.params;
  RECT source{0, 0, static_cast<LONG>(bitmap.width), static_cast<LONG>(bitmap.height)};
  if ((p.dwFlags & MFVideoAlphaBitmap_SrcRect) && !(p.dwFlags & MFVideoAlphaBitmap_EntireDDS)) source = p.rcSrc;
  MFVideoNormalizedRect dest{0, 0, 1, 1};
  if (p.dwFlags & MFVideoAlphaBitmap_DestRect) dest = p.nrcDest;
  const float global = (p.dwFlags & MFVideoAlphaBitmap_Alpha) ? p.fAlpha : 1.0f;
  const LONG left = std::lround(dest.left * pw), right = std::lround(dest.right * pw);
  const LONG top = std::lround(dest.top * ph), bottom = std::lround(dest.bottom * ph);
  const LONG sw = source.right - source.left, sh = source.bottom - source.top;
  if (right <= left || bottom <= top || sw <= 0 || sh <= 0) return;
  const bool keyed = p.dwFlags & MFVideoAlphaBitmap_SrcColorKey;
  for (LONG y = top; y < bottom; ++y) {
    // Nearest source pixel for each picture pixel.
    const LONG sy = source.top + static_cast<LONG>((static_cast<int64_t>(y - top) * sh) / (bottom - top));
    const BYTE* row = bitmap.argb.data() + static_cast<size_t>(sy) * bitmap.width * 4;
    BYTE* target = picture->data() + static_cast<size_t>(y) * pw * 4;
    for (LONG x = left; x < right; ++x) {
      const LONG sx = source.left + static_cast<LONG>((static_cast<int64_t>(x - left) * sw) / (right - left));
      const BYTE* px = row + static_cast<size_t>(sx) * 4;
      UINT32 alpha = px[3];
      // COLORREF is 0x00BBGGRR.
      if (keyed && px[2] == (p.clrSrcKey & 0xFF) && px[1] == ((p.clrSrcKey >> 8) & 0xFF) &&
          px[0] == ((p.clrSrcKey >> 16) & 0xFF))
        alpha = 0;
      if (global < 1.0f) alpha = static_cast<UINT32>(std::lround(alpha * global));
      BYTE* out = target + static_cast<size_t>(x) * 4;
      for (int c = 0; c < 3; ++c) out[c] = static_cast<BYTE>((px[c] * alpha + out[c] * (255 - alpha) + 127) / 255);
    }
  }
}

bool ValidNormalized(const MFVideoNormalizedRect& r) {
  auto unit = [](float v) { return v >= 0.0f && v <= 1.0f; };
  return unit(r.left) && unit(r.top) && unit(r.right) && unit(r.bottom) && r.left < r.right && r.top < r.bottom;
}

class VideoRenderer : public RendererSink, public IMFVideoDisplayControl, public IMFVideoMixerBitmap {
 public:
  explicit VideoRenderer(HWND window) : window_(window) {}

  bool Start() {
    try {
      thread_ = std::thread([this] { PresentLoop(); });
    } catch (...) {
      return false;
    }
    return true;
  }

  // ---- IUnknown (one count for every interface)
  HRESULT QueryInterface(REFIID riid, void** object) override { return RendererSink::QueryInterface(riid, object); }
  ULONG AddRef() override { return RendererSink::AddRef(); }
  ULONG Release() override { return RendererSink::Release(); }

  // ---- IMFStreamSink
  HRESULT ProcessSample(IMFSample* sample) override {
    if (!sample) return E_POINTER;
    int requests = 0;
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (shutDown_) return MF_E_SHUTDOWN;
      if (geometry_.width == 0) return MF_E_NOT_INITIALIZED;
      if (requested_ > 0) --requested_;
      items_.push_back(Item{Ref<IMFSample>::Share(sample), {}});
      requests = TopUpLocked();
    }
    wake_.notify_all();
    SendRequests(requests);
    return S_OK;
  }
  HRESULT PlaceMarker(MFSTREAMSINK_MARKER_TYPE type, const PROPVARIANT* value, const PROPVARIANT* context) override {
    (void)value;
    Item item{nullptr, {}};
    if (!MakeMarker(type, context, &item.marker)) return E_INVALIDARG;
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (shutDown_) {
        PropVariantClear(&item.marker.context);
        return MF_E_SHUTDOWN;
      }
      items_.push_back(item);
    }
    wake_.notify_all();
    return S_OK;
  }
  HRESULT Flush() override {
    if (IsShutDown()) return MF_E_SHUTDOWN;
    DropQueued(true);
    return S_OK;
  }

  // ---- IMFClockStateSink
  HRESULT OnClockStart(MFTIME, LONGLONG) override { return ChangeState(MFCLOCK_STATE_RUNNING, MEStreamSinkStarted); }
  HRESULT OnClockRestart(MFTIME) override { return ChangeState(MFCLOCK_STATE_RUNNING, MEStreamSinkStarted); }
  HRESULT OnClockPause(MFTIME) override { return ChangeState(MFCLOCK_STATE_PAUSED, MEStreamSinkPaused); }
  HRESULT OnClockStop(MFTIME) override {
    // Stopping discards what was not presented, as a flush does.
    DropQueued(false);
    return ChangeState(MFCLOCK_STATE_STOPPED, MEStreamSinkStopped);
  }
  HRESULT OnClockSetRate(MFTIME, float) override { return S_OK; }

  // ---- IMFVideoDisplayControl
  HRESULT GetNativeVideoSize(SIZE* video, SIZE* aspectRatio) override {
    if (!video && !aspectRatio) return E_POINTER;
    std::lock_guard<std::mutex> hold(lock_);
    if (shutDown_) return MF_E_SHUTDOWN;
    const SIZE size{static_cast<LONG>(geometry_.width), static_cast<LONG>(geometry_.height)};
    if (video) *video = size;
    if (aspectRatio) *aspectRatio = size;
    return S_OK;
  }
  HRESULT SetVideoPosition(const MFVideoNormalizedRect* source, const RECT* destination) override {
    if (!source && !destination) return E_POINTER;
    if (source && !ValidNormalized(*source)) return E_INVALIDARG;
    if (destination) {
      const int64_t w = static_cast<int64_t>(destination->right) - destination->left;
      const int64_t h = static_cast<int64_t>(destination->bottom) - destination->top;
      if (w < 0 || h < 0 || w > kMaxPictureSide || h > kMaxPictureSide || w * h > kMaxPicturePixels)
        return E_INVALIDARG;
    }
    std::lock_guard<std::mutex> hold(mix_);
    if (source) source_ = *source;
    if (destination) {
      destination_ = *destination;
      placed_ = true;
    }
    return S_OK;
  }
  HRESULT GetVideoPosition(MFVideoNormalizedRect* source, RECT* destination) override {
    if (!source || !destination) return E_POINTER;
    const Geometry native = NativeGeometry();
    std::lock_guard<std::mutex> hold(mix_);
    *source = source_;
    *destination = placed_ ? destination_
                           : RECT{0, 0, static_cast<LONG>(native.width), static_cast<LONG>(native.height)};
    return S_OK;
  }
  HRESULT SetVideoWindow(HWND window) override {
    std::lock_guard<std::mutex> hold(lock_);
    if (shutDown_) return MF_E_SHUTDOWN;
    window_ = window;
    return S_OK;
  }
  HRESULT GetVideoWindow(HWND* window) override {
    if (!window) return E_POINTER;
    std::lock_guard<std::mutex> hold(lock_);
    *window = window_;
    return S_OK;
  }
  HRESULT RepaintVideo() override {
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (shutDown_) return MF_E_SHUTDOWN;
      repaint_ = true;
    }
    wake_.notify_all();
    return S_OK;
  }

  // ---- IMFVideoMixerBitmap
  HRESULT SetAlphaBitmap(const MFVideoAlphaBitmap* bitmap) override {
    if (!bitmap) return E_POINTER;
    if (bitmap->GetBitmapFromDC || !bitmap->bitmap.pDDS) return E_INVALIDARG;
    AlphaBitmap copy;
    HRESULT hr = CopySurface(bitmap->bitmap.pDDS, &copy);
    if (FAILED(hr)) return hr;
    if (!ValidParams(bitmap->params, copy.width, copy.height)) return E_INVALIDARG;
    copy.params = bitmap->params;
    std::lock_guard<std::mutex> hold(mix_);
    bitmap_ = std::move(copy);
    hasBitmap_ = true;
    return S_OK;
  }
  HRESULT ClearAlphaBitmap() override {
    std::lock_guard<std::mutex> hold(mix_);
    hasBitmap_ = false;
    bitmap_ = AlphaBitmap();
    return S_OK;
  }
  HRESULT UpdateAlphaBitmapParameters(const MFVideoAlphaBitmapParams* params) override {
    if (!params) return E_POINTER;
    std::lock_guard<std::mutex> hold(mix_);
    if (!hasBitmap_) return MF_E_NOT_INITIALIZED;
    // Only the flags given change; the bitmap's own pixels stay. What the
    // mixer will read is checked whole once merged: a source rectangle
    // given beside "entire surface" is ignored, as that flag says, and
    // never becomes the one in use unchecked.
    if (!ValidParams(*params, bitmap_.width, bitmap_.height)) return E_INVALIDARG;
    MFVideoAlphaBitmapParams p = bitmap_.params;
    if (params->dwFlags & MFVideoAlphaBitmap_SrcColorKey) p.clrSrcKey = params->clrSrcKey;
    if (params->dwFlags & MFVideoAlphaBitmap_SrcRect) p.rcSrc = params->rcSrc;
    if (params->dwFlags & MFVideoAlphaBitmap_DestRect) p.nrcDest = params->nrcDest;
    if (params->dwFlags & MFVideoAlphaBitmap_Alpha) p.fAlpha = params->fAlpha;
    if (params->dwFlags & MFVideoAlphaBitmap_FilterMode) p.dwFilterMode = params->dwFilterMode;
    p.dwFlags |= params->dwFlags;
    if ((params->dwFlags & MFVideoAlphaBitmap_SrcRect) && !(params->dwFlags & MFVideoAlphaBitmap_EntireDDS))
      p.dwFlags &= ~MFVideoAlphaBitmap_EntireDDS;
    if (!ValidParams(p, bitmap_.width, bitmap_.height)) return E_INVALIDARG;
    bitmap_.params = p;
    return S_OK;
  }
  HRESULT GetAlphaBitmapParameters(MFVideoAlphaBitmapParams* params) override {
    if (!params) return E_POINTER;
    std::lock_guard<std::mutex> hold(mix_);
    if (!hasBitmap_) return MF_E_NOT_INITIALIZED;
    *params = bitmap_.params;
    return S_OK;
  }

 protected:
  ~VideoRenderer() override {
    StopThread();
    for (Item& item : items_) Free(item);
  }

  void* OtherInterface(REFIID riid) override {
    if (riid == IID_IMFVideoDisplayControl) return static_cast<IMFVideoDisplayControl*>(this);
    if (riid == IID_IMFVideoMixerBitmap) return static_cast<IMFVideoMixerBitmap*>(this);
    return nullptr;
  }
  bool OffersService(REFGUID service) override {
    return service == MR_VIDEO_RENDER_SERVICE || service == MR_VIDEO_MIXER_SERVICE;
  }
  bool Accepts(IMFMediaType* type) override {
    Geometry geometry;
    return ReadGeometry(type, &geometry);
  }
  HRESULT OfferedType(IMFMediaType** type) override {
    HRESULT hr = MFCreateMediaType(type);
    if (FAILED(hr)) return hr;
    (*type)->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
    (*type)->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_RGB32);
    return S_OK;
  }
  HRESULT TakeType(IMFMediaType* type) override {
    Geometry geometry;
    if (!ReadGeometry(type, &geometry)) return MF_E_INVALIDMEDIATYPE;
    std::lock_guard<std::mutex> hold(lock_);
    geometry_ = geometry;
    return S_OK;
  }
  GUID MajorType() override { return MFMediaType_Video; }
  void StopRendering() override {
    StopThread();
    DropQueued(true);
  }

 private:
  struct Item {
    Ref<IMFSample> sample;  // null for a marker
    Marker marker;
  };

  static void Free(Item& item) {
    item.sample.reset();
    PropVariantClear(&item.marker.context);
  }

  // The clock's time; false without a clock. Called without our lock: the
  // clock calls us under its own.
  bool ClockTime(MFTIME* now) {
    const Ref<IMFPresentationClock> clock = Clock();
    return clock && SUCCEEDED(clock->GetTime(now));
  }

  // RGB32 of a sane size; the stride (MF_MT_DEFAULT_STRIDE, a signed value
  // in a UINT32) covers at least a row.
  static bool ReadGeometry(IMFMediaType* type, Geometry* geometry) {
    GUID major{}, subtype{};
    if (FAILED(type->GetGUID(MF_MT_MAJOR_TYPE, &major)) || major != MFMediaType_Video ||
        FAILED(type->GetGUID(MF_MT_SUBTYPE, &subtype)) || subtype != MFVideoFormat_RGB32)
      return false;
    UINT32 width = 0, height = 0;
    if (FAILED(MFGetAttributeSize(type, MF_MT_FRAME_SIZE, &width, &height))) return false;
    if (width == 0 || height == 0 || width > kMaxDimension || height > kMaxDimension) return false;
    int64_t stride = static_cast<int64_t>(width) * 4;
    UINT32 given = 0;
    if (SUCCEEDED(type->GetUINT32(MF_MT_DEFAULT_STRIDE, &given))) {
      stride = static_cast<int32_t>(given);
      const int64_t magnitude = stride < 0 ? -stride : stride;
      if (magnitude < static_cast<int64_t>(width) * 4 || magnitude > static_cast<int64_t>(kMaxDimension) * 16)
        return false;
    }
    *geometry = Geometry{width, height, stride};
    return true;
  }

  static bool ValidParams(const MFVideoAlphaBitmapParams& p, UINT32 width, UINT32 height) {
    if (p.dwFlags & ~MFVideoAlphaBitmap_BitMask) return false;
    if ((p.dwFlags & MFVideoAlphaBitmap_DestRect) && !ValidNormalized(p.nrcDest)) return false;
    if ((p.dwFlags & MFVideoAlphaBitmap_Alpha) && !(p.fAlpha >= 0.0f && p.fAlpha <= 1.0f)) return false;
    if ((p.dwFlags & MFVideoAlphaBitmap_SrcRect) && !(p.dwFlags & MFVideoAlphaBitmap_EntireDDS) &&
        !ValidSource(p.rcSrc, width, height))
      return false;
    return true;
  }
  static bool ValidSource(const RECT& r, UINT32 width, UINT32 height) {
    return r.left >= 0 && r.top >= 0 && r.left < r.right && r.top < r.bottom &&
           static_cast<int64_t>(r.right) <= width && static_cast<int64_t>(r.bottom) <= height;
  }

  // The A8R8G8B8 surface's pixels as they are now.
  static HRESULT CopySurface(IDirect3DSurface9* surface, AlphaBitmap* copy) {
    D3DSURFACE_DESC desc{};
    HRESULT hr = surface->GetDesc(&desc);
    if (FAILED(hr)) return hr;
    if (desc.Format != D3DFMT_A8R8G8B8 || desc.Width == 0 || desc.Height == 0 || desc.Width > kMaxDimension ||
        desc.Height > kMaxDimension)
      return E_INVALIDARG;
    D3DLOCKED_RECT locked{};
    hr = surface->LockRect(&locked, nullptr, D3DLOCK_READONLY);
    if (FAILED(hr)) return hr;
    const size_t row = static_cast<size_t>(desc.Width) * 4;
    if (!locked.pBits || locked.Pitch < 0 || static_cast<size_t>(locked.Pitch) < row) {
      surface->UnlockRect();
      return E_INVALIDARG;
    }
    copy->width = desc.Width;
    copy->height = desc.Height;
    copy->argb.resize(row * desc.Height);
    for (UINT y = 0; y < desc.Height; ++y)
      std::memcpy(copy->argb.data() + y * row, static_cast<const BYTE*>(locked.pBits) + static_cast<size_t>(y) * locked.Pitch,
                  row);
    surface->UnlockRect();
    return S_OK;
  }

  Geometry NativeGeometry() {
    std::lock_guard<std::mutex> hold(lock_);
    return geometry_;
  }

  // Asks for samples until the queue and the requests fill the depth.
  int TopUpLocked() {
    if (state_ == MFCLOCK_STATE_STOPPED || shutDown_) return 0;
    size_t queued = 0;
    for (const Item& item : items_)
      if (item.sample) ++queued;
    int more = 0;
    while (queued + static_cast<size_t>(requested_) < kQueueDepth) {
      ++requested_;
      ++more;
    }
    return more;
  }

  HRESULT ChangeState(MFCLOCK_STATE state, MediaEventType event) {
    int requests = 0;
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (shutDown_) return MF_E_SHUTDOWN;
      state_ = state;
      ++epoch_;
      if (state == MFCLOCK_STATE_STOPPED) requested_ = 0;
      requests = TopUpLocked();
    }
    wake_.notify_all();
    Send(event);
    SendRequests(requests);
    return S_OK;
  }

  // Drops every sample not presented; markers come back with E_ABORT.
  void DropQueued(bool topUp) {
    std::deque<Item> dropped;
    int requests = 0;
    {
      std::lock_guard<std::mutex> hold(lock_);
      dropped.swap(items_);
      ++epoch_;
      if (topUp) requests = TopUpLocked();
    }
    wake_.notify_all();
    for (Item& item : dropped) {
      if (!item.sample) SendMarker(item.marker, E_ABORT);
      Free(item);
    }
    SendRequests(requests);
  }

  void StopThread() {
    {
      std::lock_guard<std::mutex> hold(lock_);
      stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
    if (thread_.joinable()) thread_.detach();
  }

  // The presenting thread.
  void PresentLoop() {
    std::unique_lock<std::mutex> held(lock_);
    for (;;) {
      wake_.wait(held, [this] {
        return stop_ || repaint_ ||
               (!items_.empty() && (!items_.front().sample || state_ == MFCLOCK_STATE_RUNNING));
      });
      if (stop_) return;
      if (repaint_) {
        repaint_ = false;
        Ref<IMFSample> last = last_;
        if (!last) continue;
        held.unlock();
        Picture picture;
        if (Compose(last.get(), &picture)) Show(picture);
        last.reset();
        held.lock();
        continue;
      }
      if (!items_.front().sample) {
        Item marker = std::move(items_.front());
        items_.pop_front();
        held.unlock();
        SendMarker(marker.marker, S_OK);
        held.lock();
        continue;
      }
      // The clock is read without our lock: it calls us under its own.
      IMFSample* next = items_.front().sample.get();  // the queue's reference
      const uint64_t epoch = epoch_;
      LONGLONG due = 0, duration = 0;
      const bool timed = SUCCEEDED(next->GetSampleTime(&due));
      if (FAILED(next->GetSampleDuration(&duration))) duration = 0;
      held.unlock();
      MFTIME now = due;
      const bool clocked = timed && ClockTime(&now);
      held.lock();
      if (epoch != epoch_ || stop_) continue;
      if (clocked && now < due) {
        const LONGLONG wait = std::min(due - now, kClockPoll);
        wake_.wait_for(held, std::chrono::microseconds(wait / 10 + 1),
                       [&] { return stop_ || repaint_ || epoch != epoch_; });
        continue;
      }
      Item front = std::move(items_.front());
      items_.pop_front();
      const bool late = clocked && now - due > std::max(duration, kLateWithoutDuration);
      const int requests = TopUpLocked();
      held.unlock();
      SendRequests(requests);
      Picture picture;
      const bool composed = Compose(front.sample.get(), &picture);
      held.lock();
      // A flush or stop while it was composed: the frame is not shown (and
      // the sample goes here).
      if (epoch != epoch_ || stop_) continue;
      // Counted before the window sees it, so that whoever the picture
      // reaches finds it counted.
      if (composed) {
        ++stats_.rendered;
        if (late) ++stats_.late;
        last_ = std::move(front.sample);  // the queue's reference moves here
      } else {
        ++stats_.refused;
      }
      if (!composed) continue;
      held.unlock();
      Show(picture);
      held.lock();
    }
  }

  // The sample's bytes as a top-down frame; false (and a log line) when
  // the sample is shorter than its type says.
  bool ReadFrame(IMFSample* sample, const Geometry& geometry, Frame* frame) {
    std::vector<BYTE> bytes;
    if (!SampleBytes(sample, &bytes)) return false;
    const int64_t magnitude = geometry.stride < 0 ? -geometry.stride : geometry.stride;
    const uint64_t row = static_cast<uint64_t>(geometry.width) * 4;
    const uint64_t needed = static_cast<uint64_t>(magnitude) * (geometry.height - 1) + row;
    if (bytes.size() < needed) {
      char line[160];
      std::snprintf(line, sizeof line, "Video renderer: a %ux%u frame needs %llu bytes, the sample has %zu; dropped\n",
                    geometry.width, geometry.height, static_cast<unsigned long long>(needed), bytes.size());
      Log(line);
      return false;
    }
    frame->width = geometry.width;
    frame->height = geometry.height;
    frame->bgrx.resize(row * geometry.height);
    for (UINT32 y = 0; y < geometry.height; ++y) {
      const UINT32 from = geometry.stride < 0 ? geometry.height - 1 - y : y;
      std::memcpy(frame->bgrx.data() + y * row, bytes.data() + static_cast<uint64_t>(magnitude) * from, row);
    }
    return true;
  }

  struct Picture {
    HWND window = nullptr;
    UINT32 width = 0, height = 0;  // 0 when nothing of the video is on show
    std::vector<BYTE> bgrx;
  };

  // Composes the picture for the sample; false when the sample is
  // unreadable.
  bool Compose(IMFSample* sample, Picture* out) {
    Geometry geometry;
    {
      std::lock_guard<std::mutex> hold(lock_);
      geometry = geometry_;
      out->window = window_;
    }
    Frame frame;
    if (!ReadFrame(sample, geometry, &frame)) return false;
    std::vector<BYTE>& picture = out->bgrx;
    UINT32 pw = 0, ph = 0;
    {
      std::lock_guard<std::mutex> hold(mix_);
      pw = placed_ ? static_cast<UINT32>(destination_.right - destination_.left) : frame.width;
      ph = placed_ ? static_cast<UINT32>(destination_.bottom - destination_.top) : frame.height;
      if (pw == 0 || ph == 0) return true;  // nothing of the video is on show
      picture.resize(static_cast<size_t>(pw) * ph * 4);
      const Window from{source_.left * frame.width, source_.top * frame.height,
                        (source_.right - source_.left) * frame.width, (source_.bottom - source_.top) * frame.height};
      ScaleInto(frame, from, &picture, pw, ph);
      if (hasBitmap_) BlendOver(bitmap_, &picture, pw, ph);
    }
    out->width = pw;
    out->height = ph;
    return true;
  }

  // Hands the picture to the window's presenter; called without our locks.
  static void Show(const Picture& picture) {
    if (picture.width == 0 || picture.height == 0) return;
    VideoPresentation shown;
    shown.width = static_cast<int32_t>(picture.width);
    shown.height = static_cast<int32_t>(picture.height);
    shown.stride = static_cast<int32_t>(picture.width * 4);
    shown.bgrx = picture.bgrx.data();
    PresentToVideoWindow(picture.window, shown);
  }

  // Under lock_.
  HWND window_;
  Geometry geometry_;
  MFCLOCK_STATE state_ = MFCLOCK_STATE_STOPPED;
  std::deque<Item> items_;
  int requested_ = 0;
  uint64_t epoch_ = 0;  // moves on at every clock change and flush
  bool repaint_ = false;
  bool stop_ = false;
  Ref<IMFSample> last_;
  std::condition_variable wake_;
  std::thread thread_;

  // Under mix_: the placement and the alpha bitmap.
  std::mutex mix_;
  MFVideoNormalizedRect source_{0, 0, 1, 1};
  RECT destination_{0, 0, 0, 0};
  bool placed_ = false;
  AlphaBitmap bitmap_;
  bool hasBitmap_ = false;
};

// Makes the renderer on the first ActivateObject and keeps it until
// ShutdownObject (which shuts it down) or DetachObject.
class RendererActivate : public AttributeStore<IMFActivate> {
 public:
  using Factory = IMFMediaSink* (*)(HWND, IMFAttributes*);
  RendererActivate(Factory factory, HWND window) : factory_(factory), window_(window) {}

  HRESULT QueryInterface(REFIID riid, void** object) override {
    return Answer(riid, object, IID_IMFAttributes, IID_IMFActivate);
  }
  HRESULT ActivateObject(REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    std::lock_guard<std::mutex> hold(made_lock_);
    if (!made_) made_ = Ref<IMFMediaSink>(factory_(window_, this));
    if (!made_) return E_OUTOFMEMORY;
    return made_->QueryInterface(riid, object);
  }
  HRESULT ShutdownObject() override {
    Ref<IMFMediaSink> made;  // shut down and released outside the lock
    {
      std::lock_guard<std::mutex> hold(made_lock_);
      made.swap(made_);
    }
    if (made) made->Shutdown();
    return S_OK;
  }
  HRESULT DetachObject() override {
    std::lock_guard<std::mutex> hold(made_lock_);
    made_.reset();
    return S_OK;
  }

 private:
  ~RendererActivate() override = default;

  const Factory factory_;
  const HWND window_;
  std::mutex made_lock_;
  Ref<IMFMediaSink> made_;
};

IMFMediaSink* NewVideoRenderer(HWND window, IMFAttributes*) {
  VideoRenderer* renderer = new (std::nothrow) VideoRenderer(window);
  if (!renderer) return nullptr;
  if (!renderer->Start()) {
    renderer->Shutdown();
    static_cast<IMFMediaSink*>(renderer)->Release();
    return nullptr;
  }
  return renderer;
}

}  // namespace

HRESULT NewRendererActivate(IMFMediaSink* (*factory)(HWND, IMFAttributes*), HWND window, IMFActivate** activate) {
  if (!activate) return E_POINTER;
  *activate = new (std::nothrow) RendererActivate(factory, window);
  return *activate ? S_OK : E_OUTOFMEMORY;
}

}  // namespace pelplat_mf

HRESULT MFCreateVideoRendererActivate(HWND window, IMFActivate** activate) {
  return pelplat_mf::NewRendererActivate(pelplat_mf::NewVideoRenderer, window, activate);
}
