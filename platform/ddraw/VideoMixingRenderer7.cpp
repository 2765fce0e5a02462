// The Video Mixing Renderer 7: one input pin for 32-bit RGB pictures.
// Renderless, it takes its surfaces from the advised allocator-presenter
// and hands every picture to it; windowless, it keeps the picture in a
// surface of its own and blits it into its clipping window at the video
// position. Also the platform's default allocator-presenter.
#include <cstring>
#include <mutex>

#include "pelplat/ddraw.h"
#include "pelplat/dshowbase.h"
#include "pelplat/dshowreg.h"

namespace {

PELPLAT_GUID(CLSID_VmrFilterClass, 0xB87BEB7B, 0x8D29, 0x423F, 0xAE, 0x4D, 0x65, 0x82, 0xC1, 0x01, 0x75, 0xAC);

uint32_t ReadU32(const BYTE* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24); }

// The picture layout of an accepted input type.
struct PictureFormat {
  int width = 0;
  int height = 0;
  bool bottomUp = false;
  BITMAPINFOHEADER header{};
};

bool ReadPictureFormat(const AM_MEDIA_TYPE& mt, PictureFormat* out) {
  if (mt.majortype != MEDIATYPE_Video || mt.subtype != MEDIASUBTYPE_RGB32 || mt.formattype != FORMAT_VideoInfo ||
      !mt.pbFormat || mt.cbFormat < sizeof(VIDEOINFOHEADER))
    return false;
  memcpy(&out->header, mt.pbFormat + VIDEOINFOHEADER_BMI_OFFSET, sizeof(BITMAPINFOHEADER));
  const int32_t w = static_cast<int32_t>(ReadU32(mt.pbFormat + VIDEOINFOHEADER_BMI_OFFSET + 4));
  const int32_t h = static_cast<int32_t>(ReadU32(mt.pbFormat + VIDEOINFOHEADER_BMI_OFFSET + 8));
  if (w <= 0 || w > 8192 || h == 0 || h < -8192 || h > 8192 || out->header.biBitCount != 32) return false;
  out->width = w;
  out->height = h < 0 ? -h : h;
  out->bottomUp = h > 0;
  out->header.biHeight = out->height;
  return true;
}

// Copies a 32-bit picture into a locked surface of either pixel format.
HRESULT CopyPicture(IDirectDrawSurface7* surface, const PictureFormat& f, const BYTE* pixels, LONG length) {
  if (int64_t{length} < int64_t{f.width} * f.height * 4) return E_INVALIDARG;
  DDSURFACEDESC2 desc{};
  desc.dwSize = sizeof(desc);
  HRESULT hr = surface->Lock(nullptr, &desc, DDLOCK_WAIT, nullptr);
  if (FAILED(hr)) return hr;
  const int w = std::min<int>(f.width, static_cast<int>(desc.dwWidth));
  const int h = std::min<int>(f.height, static_cast<int>(desc.dwHeight));
  const bool is16 = desc.ddpfPixelFormat.dwRGBBitCount == 16;
  for (int y = 0; y < h; ++y) {
    const BYTE* src = pixels + static_cast<size_t>(f.bottomUp ? f.height - 1 - y : y) * f.width * 4;
    BYTE* dst = static_cast<BYTE*>(desc.lpSurface) + static_cast<size_t>(y) * desc.lPitch;
    if (!is16) {
      memcpy(dst, src, static_cast<size_t>(w) * 4);
      continue;
    }
    for (int x = 0; x < w; ++x) {
      const uint32_t b = src[4 * x], g = src[4 * x + 1], r = src[4 * x + 2];
      const uint16_t v = static_cast<uint16_t>(((r >> 3) << 11) | ((g >> 2) << 5) | (b >> 3));
      dst[2 * x] = v & 0xFF;
      dst[2 * x + 1] = v >> 8;
    }
  }
  return surface->Unlock(nullptr);
}

class CVideoMixingRenderer7;

class CVmrInputPin final : public CBaseInputPin {
 public:
  CVmrInputPin(CVideoMixingRenderer7* filter, CCritSec* lock);
  HRESULT CheckMediaType(const CMediaType* type) override;
  HRESULT CompleteConnect(IPin* pin) override;
  HRESULT BreakConnect() override;
  HRESULT Receive(IMediaSample* sample) override;

 private:
  CVideoMixingRenderer7* vmr_;
};

class CVideoMixingRenderer7 final : public CBaseFilter,
                                    public IVMRFilterConfig,
                                    public IVMRSurfaceAllocatorNotify,
                                    public IVMRWindowlessControl,
                                    public IAMFilterMiscFlags {
 public:
  CVideoMixingRenderer7()
      : CBaseFilter("CVideoMixingRenderer7", nullptr, &lock_, CLSID_VmrFilterClass), input_(this, &lock_) {}
  ~CVideoMixingRenderer7() override {
    FreeSurfaces();
    if (allocator_) allocator_->Release();
    if (ddraw_) ddraw_->Release();
  }
  DECLARE_IUNKNOWN

  HRESULT NonDelegatingQueryInterface(REFIID riid, void** object) override {
    if (riid == IID_IVMRFilterConfig) return GetInterface(static_cast<IVMRFilterConfig*>(this), object);
    if (riid == IID_IVMRSurfaceAllocatorNotify && mode_ == VMRMode_Renderless)
      return GetInterface(static_cast<IVMRSurfaceAllocatorNotify*>(this), object);
    if (riid == IID_IVMRWindowlessControl && (mode_ == VMRMode_Renderless || mode_ == VMRMode_Windowless))
      return GetInterface(static_cast<IVMRWindowlessControl*>(this), object);
    if (riid == IID_IAMFilterMiscFlags) return GetInterface(static_cast<IAMFilterMiscFlags*>(this), object);
    return CBaseFilter::NonDelegatingQueryInterface(riid, object);
  }

  int GetPinCount() override { return 1; }
  CBasePin* GetPin(int n) override { return n == 0 ? &input_ : nullptr; }
  ULONG GetMiscFlags() override { return AM_FILTER_MISC_FLAGS_IS_RENDERER; }

  HRESULT Stop() override {
    HRESULT hr = CBaseFilter::Stop();
    IVMRImagePresenter* presenter = Presenter();
    if (presenter) {
      presenter->StopPresenting(userId_);
      presenter->Release();
    }
    return hr;
  }
  HRESULT Pause() override {
    const bool wasStopped = IsStopped();
    HRESULT hr = CBaseFilter::Pause();
    IVMRImagePresenter* presenter = wasStopped ? Presenter() : nullptr;
    if (presenter) {
      presenter->StartPresenting(userId_);
      presenter->Release();
    }
    return hr;
  }

  // ---- IVMRFilterConfig
  HRESULT SetRenderingMode(DWORD mode) override {
    if (mode != VMRMode_Windowed && mode != VMRMode_Windowless && mode != VMRMode_Renderless) return E_INVALIDARG;
    std::lock_guard<std::recursive_mutex> hold(mutex_);
    if (input_.IsConnected() || modeSet_) return VFW_E_WRONG_STATE;
    mode_ = mode;
    modeSet_ = true;
    return S_OK;
  }
  HRESULT GetRenderingMode(DWORD* mode) override {
    if (!mode) return E_POINTER;
    *mode = mode_;
    return S_OK;
  }
  HRESULT SetRenderingPrefs(DWORD prefs) override {
    prefs_ = prefs;
    return S_OK;
  }
  HRESULT GetRenderingPrefs(DWORD* prefs) override {
    if (!prefs) return E_POINTER;
    *prefs = prefs_;
    return S_OK;
  }

  // ---- IVMRSurfaceAllocatorNotify
  HRESULT AdviseSurfaceAllocator(DWORD_PTR userId, IVMRSurfaceAllocator* allocator) override {
    std::lock_guard<std::recursive_mutex> hold(mutex_);
    if (allocator && input_.IsConnected()) return VFW_E_WRONG_STATE;
    if (allocator) allocator->AddRef();
    if (allocator_) allocator_->Release();
    allocator_ = allocator;
    userId_ = userId;
    return S_OK;
  }
  HRESULT SetDDrawDevice(IDirectDraw7* ddraw, HMONITOR) override {
    std::lock_guard<std::recursive_mutex> hold(mutex_);
    if (ddraw) ddraw->AddRef();
    if (ddraw_) ddraw_->Release();
    ddraw_ = ddraw;
    return S_OK;
  }
  HRESULT ChangeDDrawDevice(IDirectDraw7* ddraw, HMONITOR monitor) override { return SetDDrawDevice(ddraw, monitor); }
  HRESULT RestoreDDrawSurfaces() override { return S_OK; }
  HRESULT NotifyEvent(LONG code, LONG_PTR param1, LONG_PTR param2) override {
    return CBaseFilter::NotifyEvent(code, param1, param2);
  }
  // ---- IVMRWindowlessControl: the presenter's, when renderless.
  HRESULT GetNativeVideoSize(LONG* width, LONG* height, LONG* aw, LONG* ah) override {
    if (auto* w = PresenterControl()) return Forward(w, [&](IVMRWindowlessControl* c) { return c->GetNativeVideoSize(width, height, aw, ah); });
    if (mode_ == VMRMode_Renderless) return VFW_E_WRONG_STATE;
    std::lock_guard<std::recursive_mutex> hold(mutex_);
    if (width) *width = format_.width;
    if (height) *height = format_.height;
    if (aw) *aw = format_.width;
    if (ah) *ah = format_.height;
    return S_OK;
  }
  HRESULT GetMinIdealVideoSize(LONG*, LONG*) override { return E_NOTIMPL; }
  HRESULT GetMaxIdealVideoSize(LONG*, LONG*) override { return E_NOTIMPL; }
  HRESULT SetVideoPosition(const RECT* source, const RECT* destination) override {
    if (auto* w = PresenterControl()) return Forward(w, [&](IVMRWindowlessControl* c) { return c->SetVideoPosition(source, destination); });
    if (mode_ == VMRMode_Renderless) return VFW_E_WRONG_STATE;
    std::lock_guard<std::recursive_mutex> hold(mutex_);
    if (source) source_ = *source;
    if (destination) destination_ = *destination;
    positioned_ = true;
    return S_OK;
  }
  HRESULT GetVideoPosition(RECT* source, RECT* destination) override {
    if (auto* w = PresenterControl()) return Forward(w, [&](IVMRWindowlessControl* c) { return c->GetVideoPosition(source, destination); });
    if (mode_ == VMRMode_Renderless) return VFW_E_WRONG_STATE;
    std::lock_guard<std::recursive_mutex> hold(mutex_);
    if (source) *source = source_;
    if (destination) *destination = destination_;
    return S_OK;
  }
  HRESULT GetAspectRatioMode(DWORD* mode) override {
    if (auto* w = PresenterControl()) return Forward(w, [&](IVMRWindowlessControl* c) { return c->GetAspectRatioMode(mode); });
    if (mode) *mode = VMR_ARMODE_NONE;
    return S_OK;
  }
  HRESULT SetAspectRatioMode(DWORD mode) override {
    if (auto* w = PresenterControl()) return Forward(w, [&](IVMRWindowlessControl* c) { return c->SetAspectRatioMode(mode); });
    return mode == VMR_ARMODE_NONE ? S_OK : E_NOTIMPL;
  }
  HRESULT SetVideoClippingWindow(HWND window) override {
    if (auto* w = PresenterControl()) return Forward(w, [&](IVMRWindowlessControl* c) { return c->SetVideoClippingWindow(window); });
    if (mode_ == VMRMode_Renderless) return VFW_E_WRONG_STATE;
    std::lock_guard<std::recursive_mutex> hold(mutex_);
    window_ = window;
    if (primary_) {
      primary_->Release();
      primary_ = nullptr;
    }
    return S_OK;
  }
  HRESULT RepaintVideo(HWND window, HDC dc) override {
    if (auto* w = PresenterControl()) return Forward(w, [&](IVMRWindowlessControl* c) { return c->RepaintVideo(window, dc); });
    if (mode_ == VMRMode_Renderless) return VFW_E_WRONG_STATE;
    std::lock_guard<std::recursive_mutex> hold(mutex_);
    return PresentWindowless();
  }
  HRESULT DisplayModeChanged() override {
    if (auto* w = PresenterControl()) return Forward(w, [&](IVMRWindowlessControl* c) { return c->DisplayModeChanged(); });
    std::lock_guard<std::recursive_mutex> hold(mutex_);
    if (primary_) {
      primary_->Release();
      primary_ = nullptr;
    }
    return S_OK;
  }
  HRESULT GetCurrentImage(BYTE**) override { return E_NOTIMPL; }
  // Serves both the notify and the windowless control (COLORREF is a DWORD).
  HRESULT SetBorderColor(COLORREF colour) override {
    if (auto* w = PresenterControl()) return Forward(w, [&](IVMRWindowlessControl* c) { return c->SetBorderColor(colour); });
    border_ = colour;
    return S_OK;
  }
  HRESULT GetBorderColor(COLORREF* colour) override {
    if (auto* w = PresenterControl()) return Forward(w, [&](IVMRWindowlessControl* c) { return c->GetBorderColor(colour); });
    if (colour) *colour = border_;
    return S_OK;
  }
  HRESULT SetColorKey(COLORREF colour) override {
    if (auto* w = PresenterControl()) return Forward(w, [&](IVMRWindowlessControl* c) { return c->SetColorKey(colour); });
    colourKey_ = colour;
    return S_OK;
  }
  HRESULT GetColorKey(COLORREF* colour) override {
    if (auto* w = PresenterControl()) return Forward(w, [&](IVMRWindowlessControl* c) { return c->GetColorKey(colour); });
    if (colour) *colour = colourKey_;
    return S_OK;
  }

  // ---- the input pin's work
  // The allocator-presenter is called with no lock of ours held: it calls
  // back into this filter under its own lock.
  HRESULT Connected(const CMediaType& mt) {
    if (mode_ == VMRMode_Renderless) {
      PictureFormat format;
      if (!ReadPictureFormat(mt, &format)) return VFW_E_TYPE_NOT_ACCEPTED;
      DWORD_PTR userId = 0;
      IVMRSurfaceAllocator* allocator = Allocator(&userId);
      if (!allocator) return VFW_E_NO_ALLOCATOR;
      VMRALLOCATIONINFO info{};
      info.lpHdr = &format.header;
      info.szAspectRatio = {format.width, format.height};
      info.szNativeSize = {format.width, format.height};
      info.dwMinBuffers = info.dwMaxBuffers = 1;
      DWORD buffers = 1;
      IDirectDrawSurface7* surface = nullptr;
      const HRESULT hr = allocator->AllocateSurface(userId, &info, &buffers, &surface);
      allocator->Release();
      if (FAILED(hr)) return hr;
      std::lock_guard<std::recursive_mutex> hold(mutex_);
      format_ = format;
      if (surface_) surface_->Release();
      surface_ = surface;
      return S_OK;
    }
    std::lock_guard<std::recursive_mutex> hold(mutex_);
    if (!ReadPictureFormat(mt, &format_)) return VFW_E_TYPE_NOT_ACCEPTED;
    // Windowless (and windowed, which has no window here): a picture
    // surface of our own.
    if (!ddraw_ && FAILED(DirectDrawCreateEx(nullptr, reinterpret_cast<void**>(&ddraw_), IID_IDirectDraw7, nullptr)))
      return E_FAIL;
    DDSURFACEDESC2 desc{};
    desc.dwSize = sizeof(desc);
    desc.dwFlags = DDSD_CAPS | DDSD_WIDTH | DDSD_HEIGHT;
    desc.dwWidth = static_cast<DWORD>(format_.width);
    desc.dwHeight = static_cast<DWORD>(format_.height);
    desc.ddsCaps.dwCaps = DDSCAPS_OFFSCREENPLAIN;
    if (!positioned_) {
      source_ = destination_ = {0, 0, format_.width, format_.height};
    }
    return ddraw_->CreateSurface(&desc, &surface_, nullptr);
  }

  void FreeSurfaces() {
    bool hadSurface = false;
    {
      std::lock_guard<std::recursive_mutex> hold(mutex_);
      hadSurface = surface_ != nullptr;
      if (surface_) surface_->Release();
      surface_ = nullptr;
      if (primary_) primary_->Release();
      primary_ = nullptr;
    }
    DWORD_PTR userId = 0;
    IVMRSurfaceAllocator* allocator = hadSurface && mode_ == VMRMode_Renderless ? Allocator(&userId) : nullptr;
    if (allocator) {
      allocator->FreeSurface(userId);
      allocator->Release();
    }
  }

  HRESULT Render(IMediaSample* sample) {
    BYTE* pixels = nullptr;
    sample->GetPointer(&pixels);
    if (!pixels) return S_OK;
    if (mode_ != VMRMode_Renderless) {
      std::lock_guard<std::recursive_mutex> hold(mutex_);
      if (surface_ && SUCCEEDED(Copy(surface_, format_, pixels, sample->GetActualDataLength()))) PresentWindowless();
      return S_OK;
    }
    // Renderless: our lock only for the picture; the presenter is called
    // with none held.
    IDirectDrawSurface7* surface = nullptr;
    PictureFormat format;
    {
      std::lock_guard<std::recursive_mutex> hold(mutex_);
      if (!surface_) return S_OK;
      surface = surface_;
      surface->AddRef();
      format = format_;
    }
    DWORD_PTR userId = 0;
    IVMRSurfaceAllocator* allocator = Allocator(&userId);
    IVMRImagePresenter* presenter = Presenter();
    if (SUCCEEDED(Copy(surface, format, pixels, sample->GetActualDataLength())) && allocator && presenter) {
      allocator->PrepareSurface(userId, surface, 0);
      VMRPRESENTATIONINFO info{};
      info.lpSurf = surface;
      sample->GetTime(&info.rtStart, &info.rtEnd);
      info.szAspectRatio = {format.width, format.height};
      info.rcSrc = info.rcDst = {0, 0, format.width, format.height};
      presenter->PresentImage(userId, &info);
    }
    if (presenter) presenter->Release();
    if (allocator) allocator->Release();
    surface->Release();
    return S_OK;  // a short or undrawable picture is skipped
  }

 private:
  static HRESULT Copy(IDirectDrawSurface7* surface, const PictureFormat& format, const BYTE* pixels, LONG length) {
    HRESULT hr = CopyPicture(surface, format, pixels, length);
    if (hr == DDERR_SURFACELOST && SUCCEEDED(surface->Restore())) hr = CopyPicture(surface, format, pixels, length);
    return hr;
  }

  IVMRSurfaceAllocator* Allocator(DWORD_PTR* userId) {
    std::lock_guard<std::recursive_mutex> hold(mutex_);
    if (allocator_) allocator_->AddRef();
    *userId = userId_;
    return allocator_;
  }

  IVMRImagePresenter* Presenter() {
    std::lock_guard<std::recursive_mutex> hold(mutex_);
    IVMRImagePresenter* presenter = nullptr;
    if (allocator_) allocator_->QueryInterface(IID_IVMRImagePresenter, reinterpret_cast<void**>(&presenter));
    return presenter;
  }

  IVMRWindowlessControl* PresenterControl() {
    if (mode_ != VMRMode_Renderless) return nullptr;
    std::lock_guard<std::recursive_mutex> hold(mutex_);
    IVMRWindowlessControl* control = nullptr;
    if (allocator_) allocator_->QueryInterface(IID_IVMRWindowlessControl, reinterpret_cast<void**>(&control));
    return control;
  }

  template <typename Fn>
  static HRESULT Forward(IVMRWindowlessControl* control, Fn fn) {
    const HRESULT hr = fn(control);
    control->Release();
    return hr;
  }

  HRESULT PresentWindowless() {
    if (!surface_ || !window_ || !ddraw_) return S_OK;
    if (!primary_) {
      DDSURFACEDESC2 desc{};
      desc.dwSize = sizeof(desc);
      desc.dwFlags = DDSD_CAPS;
      desc.ddsCaps.dwCaps = DDSCAPS_PRIMARYSURFACE;
      if (FAILED(ddraw_->CreateSurface(&desc, &primary_, nullptr))) return E_FAIL;
      IDirectDrawClipper* clipper = nullptr;
      if (SUCCEEDED(ddraw_->CreateClipper(0, &clipper, nullptr))) {
        clipper->SetHWnd(0, window_);
        primary_->SetClipper(clipper);
        clipper->Release();
      }
    }
    RECT screen = destination_;
    MapWindowPoints(window_, nullptr, reinterpret_cast<POINT*>(&screen), 2);
    if (screen.left >= screen.right || screen.top >= screen.bottom) return S_OK;
    RECT source = source_;
    const HRESULT hr = primary_->Blt(&screen, surface_, &source, DDBLT_WAIT, nullptr);
    if (hr == DDERR_SURFACELOST) {
      primary_->Restore();
      surface_->Restore();
    }
    return hr;
  }

  CCritSec lock_;
  std::recursive_mutex mutex_;  // mode, surfaces, position
  CVmrInputPin input_;
  DWORD mode_ = VMRMode_Windowed;
  bool modeSet_ = false;
  DWORD prefs_ = 0;
  IVMRSurfaceAllocator* allocator_ = nullptr;
  DWORD_PTR userId_ = 0;
  IDirectDraw7* ddraw_ = nullptr;
  IDirectDrawSurface7* surface_ = nullptr;
  IDirectDrawSurface7* primary_ = nullptr;
  PictureFormat format_;
  HWND window_ = nullptr;
  RECT source_{}, destination_{};
  bool positioned_ = false;
  COLORREF border_ = 0, colourKey_ = 0;
};

CVmrInputPin::CVmrInputPin(CVideoMixingRenderer7* filter, CCritSec* lock)
    : CBaseInputPin("VMR Input0", filter, lock, nullptr, u"VMR Input0"), vmr_(filter) {}

HRESULT CVmrInputPin::CheckMediaType(const CMediaType* type) {
  PictureFormat f;
  return ReadPictureFormat(*type, &f) ? S_OK : E_FAIL;
}

HRESULT CVmrInputPin::CompleteConnect(IPin*) { return vmr_->Connected(m_mt); }

HRESULT CVmrInputPin::BreakConnect() {
  vmr_->FreeSurfaces();
  return CBaseInputPin::BreakConnect();
}

HRESULT CVmrInputPin::Receive(IMediaSample* sample) {
  const HRESULT hr = CBaseInputPin::Receive(sample);
  if (hr != S_OK) return hr;
  return vmr_->Render(sample);
}

// ---- the default allocator-presenter: surfaces in memory, presents nothing.
class CDefaultAllocPresenter final : public CUnknown, public IVMRSurfaceAllocator, public IVMRImagePresenter {
 public:
  CDefaultAllocPresenter() : CUnknown("CDefaultAllocPresenter", nullptr) {}
  ~CDefaultAllocPresenter() override {
    if (surface_) surface_->Release();
    if (notify_) notify_->Release();
    if (ddraw_) ddraw_->Release();
  }
  DECLARE_IUNKNOWN
  HRESULT NonDelegatingQueryInterface(REFIID riid, void** object) override {
    if (riid == IID_IVMRSurfaceAllocator) return GetInterface(static_cast<IVMRSurfaceAllocator*>(this), object);
    if (riid == IID_IVMRImagePresenter) return GetInterface(static_cast<IVMRImagePresenter*>(this), object);
    return CUnknown::NonDelegatingQueryInterface(riid, object);
  }

  HRESULT AllocateSurface(DWORD_PTR, VMRALLOCATIONINFO* info, DWORD* buffers, IDirectDrawSurface7** surface) override {
    if (!info || !buffers || !surface) return E_POINTER;
    std::lock_guard<std::mutex> hold(mutex_);
    if (info->szNativeSize.cx <= 0 || info->szNativeSize.cy <= 0) return E_INVALIDARG;
    if (!ddraw_ && FAILED(DirectDrawCreateEx(nullptr, reinterpret_cast<void**>(&ddraw_), IID_IDirectDraw7, nullptr)))
      return E_FAIL;
    if (surface_) surface_->Release();
    surface_ = nullptr;
    DDSURFACEDESC2 desc{};
    desc.dwSize = sizeof(desc);
    desc.dwFlags = DDSD_CAPS | DDSD_WIDTH | DDSD_HEIGHT | DDSD_PIXELFORMAT;
    desc.dwWidth = static_cast<DWORD>(info->szNativeSize.cx);
    desc.dwHeight = static_cast<DWORD>(info->szNativeSize.cy);
    desc.ddsCaps.dwCaps = DDSCAPS_OFFSCREENPLAIN;
    desc.ddpfPixelFormat = {sizeof(DDPIXELFORMAT), DDPF_RGB, 0, 32, 0xFF0000, 0xFF00, 0xFF, 0};
    HRESULT hr = ddraw_->CreateSurface(&desc, &surface_, nullptr);
    if (FAILED(hr)) {
      // A display that has no 32-bit surfaces gets 5-6-5 ones.
      desc.ddpfPixelFormat = {sizeof(DDPIXELFORMAT), DDPF_RGB, 0, 16, 0xF800, 0x7E0, 0x1F, 0};
      hr = ddraw_->CreateSurface(&desc, &surface_, nullptr);
    }
    if (FAILED(hr)) return hr;
    *buffers = 1;
    *surface = surface_;
    surface_->AddRef();
    return S_OK;
  }
  HRESULT FreeSurface(DWORD_PTR) override {
    std::lock_guard<std::mutex> hold(mutex_);
    if (surface_) surface_->Release();
    surface_ = nullptr;
    return S_OK;
  }
  HRESULT PrepareSurface(DWORD_PTR, IDirectDrawSurface7* surface, DWORD) override { return surface ? S_OK : E_POINTER; }
  HRESULT AdviseNotify(IVMRSurfaceAllocatorNotify* notify) override {
    std::lock_guard<std::mutex> hold(mutex_);
    if (notify) notify->AddRef();
    if (notify_) notify_->Release();
    notify_ = notify;
    return S_OK;
  }
  HRESULT StartPresenting(DWORD_PTR) override { return S_OK; }
  HRESULT StopPresenting(DWORD_PTR) override { return S_OK; }
  HRESULT PresentImage(DWORD_PTR, VMRPRESENTATIONINFO* info) override { return info ? S_OK : E_POINTER; }

 private:
  std::mutex mutex_;
  IDirectDraw7* ddraw_ = nullptr;
  IDirectDrawSurface7* surface_ = nullptr;
  IVMRSurfaceAllocatorNotify* notify_ = nullptr;
};

}  // namespace

HRESULT DsCreateVideoMixingRenderer7(IBaseFilter** filter) {
  if (!filter) return E_POINTER;
  *filter = new CVideoMixingRenderer7();
  return S_OK;
}

HRESULT DsCreateAllocPresenter(IUnknown* outer, REFIID riid, void** object) {
  if (outer) return CLASS_E_NOAGGREGATION;
  auto* presenter = new CDefaultAllocPresenter();
  const HRESULT hr = presenter->NonDelegatingQueryInterface(riid, object);
  presenter->NonDelegatingRelease();
  return hr;
}
