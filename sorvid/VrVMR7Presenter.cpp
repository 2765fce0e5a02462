#include "VrVMR7Presenter.h"

#include <vector>

namespace {

template <typename T>
void ReleaseInto(T*& p) {
  if (p) p->Release();
  p = nullptr;
}

}  // namespace

CVrVMR7Presenter::CVrVMR7Presenter(IDSFrameProcessor* frameProcessor, HWND window, DWORD colourKey, HRESULT* result)
    : CUnknown("CVrVMR7Presenter", nullptr), frameProcessor_(frameProcessor), window_(window), colourKey_(colourKey) {
  HRESULT hr = S_OK;
  if (!window_) {
    hr = E_INVALIDARG;
  } else if (SUCCEEDED(hr = DirectDrawCreateEx(nullptr, reinterpret_cast<void**>(&ddraw_), IID_IDirectDraw7, nullptr)) &&
             SUCCEEDED(hr = ddraw_->SetCooperativeLevel(window_, DDSCL_NORMAL)) &&
             SUCCEEDED(hr = CoCreateInstance(CLSID_AllocPresenter, nullptr, CLSCTX_INPROC_SERVER,
                                             IID_IVMRSurfaceAllocator, reinterpret_cast<void**>(&defaultAllocator_)))) {
    hr = CreateDDrawSurfaces();
  }
  if (SUCCEEDED(hr) && frameProcessor_) {
    // The program's frame processor declines frames; presentation goes to
    // the screen whatever it answers.
    RECT source{}, destination{};
    frameProcessor_->PresentFrame(nullptr, &source, &destination);
  }
  if (result) *result = hr;
}

CVrVMR7Presenter::~CVrVMR7Presenter() {
  {
    CAutoLock lock(&presenterLock_);
    ReleaseInto(composition_);
    ReleaseInto(primary_);
    {
      CAutoLock surfaces(&surfaceLock_);
      ReleaseInto(video_);
    }
    ReleaseInto(notify_);
    ReleaseInto(defaultAllocator_);
  }
  ReleaseInto(ddraw_);
}

void CVrVMR7Presenter::ForgetFrameProcessor() {
  CAutoLock lock(&presenterLock_);
  frameProcessor_ = nullptr;
}

HRESULT CVrVMR7Presenter::NonDelegatingQueryInterface(REFIID riid, void** object) {
  if (!object) return E_POINTER;
  if (riid == IID_IVMRSurfaceAllocator) return GetInterface(static_cast<IVMRSurfaceAllocator*>(this), object);
  if (riid == IID_IVMRImagePresenter) return GetInterface(static_cast<IVMRImagePresenter*>(this), object);
  if (riid == IID_IVMRWindowlessControl) return GetInterface(static_cast<IVMRWindowlessControl*>(this), object);
  return CUnknown::NonDelegatingQueryInterface(riid, object);
}

RECT CVrVMR7Presenter::ToScreen(const RECT& client) const {
  RECT screen = client;
  MapWindowPoints(window_, nullptr, reinterpret_cast<POINT*>(&screen), 2);
  return screen;
}

HRESULT CVrVMR7Presenter::FillBlack(IDirectDrawSurface7* surface) {
  DDBLTFX fx{};
  fx.dwSize = sizeof(fx);
  fx.dwFillColor = 0;
  return surface->Blt(nullptr, nullptr, nullptr, DDBLT_COLORFILL | DDBLT_WAIT, &fx);
}

HRESULT CVrVMR7Presenter::CreateDDrawSurfaces() {
  ReleaseInto(primary_);
  ReleaseInto(composition_);
  DDSURFACEDESC2 mode{};
  mode.dwSize = sizeof(mode);
  if (FAILED(ddraw_->GetDisplayMode(&mode)) || mode.ddpfPixelFormat.dwRGBBitCount <= 8) return DDERR_INVALIDMODE;
  displayWidth_ = static_cast<int>(mode.dwWidth);
  displayHeight_ = static_cast<int>(mode.dwHeight);
  displayBits_ = static_cast<int>(mode.ddpfPixelFormat.dwRGBBitCount);

  DDSURFACEDESC2 desc{};
  desc.dwSize = sizeof(desc);
  desc.dwFlags = DDSD_CAPS;
  desc.ddsCaps.dwCaps = DDSCAPS_PRIMARYSURFACE;
  HRESULT hr = ddraw_->CreateSurface(&desc, &primary_, nullptr);
  if (FAILED(hr)) return hr;
  IDirectDrawClipper* clipper = nullptr;
  if (FAILED(hr = ddraw_->CreateClipper(0, &clipper, nullptr))) return hr;
  hr = clipper->SetHWnd(0, window_);
  if (SUCCEEDED(hr)) hr = primary_->SetClipper(clipper);
  clipper->Release();
  if (FAILED(hr)) return hr;

  desc = DDSURFACEDESC2{};
  desc.dwSize = sizeof(desc);
  desc.dwFlags = DDSD_CAPS | DDSD_HEIGHT | DDSD_WIDTH;
  desc.dwWidth = mode.dwWidth;
  desc.dwHeight = mode.dwHeight;
  desc.ddsCaps.dwCaps = DDSCAPS_VIDEOMEMORY | DDSCAPS_3DDEVICE;
  if (FAILED(hr = ddraw_->CreateSurface(&desc, &composition_, nullptr))) return hr;

  if (FAILED(hr = ddraw_->CreateClipper(0, &clipper, nullptr))) return hr;
  HRGN region = CreateRectRgn(0, 0, displayWidth_, displayHeight_);
  std::vector<uint8_t> data(1024);
  auto* regionData = reinterpret_cast<RGNDATA*>(data.data());
  GetRegionData(region, static_cast<DWORD>(data.size()), regionData);
  DeleteObject(region);
  hr = clipper->SetClipList(regionData, 0);
  if (SUCCEEDED(hr)) hr = composition_->SetClipper(clipper);
  clipper->Release();
  if (FAILED(hr)) return hr;

  if (notify_) return notify_->ChangeDDrawDevice(ddraw_, MonitorFromWindow(window_, MONITOR_DEFAULTTONEAREST));
  return S_OK;
}

HRESULT CVrVMR7Presenter::CreateVideoSurface() {
  CAutoLock lock(&presenterLock_);
  {
    CAutoLock surfaces(&surfaceLock_);
    ReleaseInto(video_);
  }
  DDSURFACEDESC2 desc{};
  desc.dwSize = sizeof(desc);
  desc.dwFlags = DDSD_CAPS | DDSD_HEIGHT | DDSD_WIDTH | DDSD_PIXELFORMAT;
  desc.dwWidth = static_cast<DWORD>(nativeWidth_);
  desc.dwHeight = static_cast<DWORD>(nativeHeight_);
  desc.ddsCaps.dwCaps = DDSCAPS_VIDEOMEMORY;
  desc.ddpfPixelFormat = {sizeof(DDPIXELFORMAT), DDPF_RGB, 0, 32, 0xFF0000, 0xFF00, 0xFF, 0};
  IDirectDrawSurface7* video = nullptr;
  HRESULT hr = ddraw_->CreateSurface(&desc, &video, nullptr);
  if (FAILED(hr)) {
    if (displayBits_ != 16) return hr;
    desc.ddpfPixelFormat = {sizeof(DDPIXELFORMAT), DDPF_RGB, 0, 16, 0xF800, 0x7E0, 0x1F, 0};
    if (FAILED(hr = ddraw_->CreateSurface(&desc, &video, nullptr))) return hr;
  }
  {
    CAutoLock surfaces(&surfaceLock_);
    video_ = video;
  }
  return FillBlack(video_);
}

HRESULT CVrVMR7Presenter::AllocateSurface(DWORD_PTR userId, VMRALLOCATIONINFO* info, DWORD* buffers,
                                          IDirectDrawSurface7** surface) {
  if (!info || !buffers || !surface) return E_POINTER;
  {
    CAutoLock lock(&presenterLock_);
    if (!notify_) return E_FAIL;
  }
  FreeSurface(userId);
  if (!info->lpHdr || info->lpHdr->biBitCount < 16) return E_FAIL;
  HRESULT hr = defaultAllocator_->AllocateSurface(userId, info, buffers, surface);
  if (FAILED(hr)) return hr;
  CAutoLock lock(&presenterLock_);
  nativeWidth_ = info->szNativeSize.cx;
  nativeHeight_ = info->szNativeSize.cy;
  aspectWidth_ = nativeWidth_;
  aspectHeight_ = nativeHeight_;
  if (info->szAspectRatio.cx > 0 && info->szAspectRatio.cy > 0) {
    aspectWidth_ = info->szAspectRatio.cx;
    aspectHeight_ = info->szAspectRatio.cy;
  }
  source_ = clientDestination_ = {0, 0, nativeWidth_, nativeHeight_};
  screenDestination_ = ToScreen(clientDestination_);
  if (FAILED(hr = CreateVideoSurface())) return hr;
  hr = video_->Blt(nullptr, *surface, nullptr, DDBLT_WAIT, nullptr);
  if (FAILED(hr)) {
    FreeSurface(userId);
    return hr;
  }
  return FillBlack(video_);
}

HRESULT CVrVMR7Presenter::FreeSurface(DWORD_PTR userId) {
  CAutoLock lock(&presenterLock_);
  if (defaultAllocator_) defaultAllocator_->FreeSurface(userId);
  CAutoLock surfaces(&surfaceLock_);
  ReleaseInto(video_);
  return S_OK;
}

HRESULT CVrVMR7Presenter::PrepareSurface(DWORD_PTR, IDirectDrawSurface7* surface, DWORD) {
  return surface ? S_OK : E_POINTER;
}

HRESULT CVrVMR7Presenter::AdviseNotify(IVMRSurfaceAllocatorNotify* notify) {
  CAutoLock lock(&presenterLock_);
  if (notify) notify->AddRef();
  ReleaseInto(notify_);
  notify_ = notify;
  if (notify_) {
    const HRESULT hr = notify_->SetDDrawDevice(ddraw_, MonitorFromWindow(window_, MONITOR_DEFAULTTONEAREST));
    if (FAILED(hr)) return hr;
  }
  return defaultAllocator_ ? defaultAllocator_->AdviseNotify(notify) : E_FAIL;
}

HRESULT CVrVMR7Presenter::StartPresenting(DWORD_PTR) {
  CAutoLock lock(&presenterLock_);
  return S_OK;
}

HRESULT CVrVMR7Presenter::PresentImage(DWORD_PTR, VMRPRESENTATIONINFO* info) {
  if (!info || !info->lpSurf) return E_POINTER;
  CAutoLock lock(&presenterLock_);
  // After a lost primary surface, and as long as any surface is missing,
  // every frame tries to make all three again.
  if (surfaceLost_ || !primary_ || !composition_ || !video_) {
    surfaceLost_ = false;
    FreeSurface(0);
    if (SUCCEEDED(CreateDDrawSurfaces())) CreateVideoSurface();
  }
  // Until every surface exists again there is nothing to present into.
  if (!primary_ || !composition_ || !video_) return E_PENDING;
  const HRESULT hr = video_->Blt(nullptr, info->lpSurf, nullptr, DDBLT_WAIT, nullptr);
  if (hr == DDERR_SURFACELOST) {
    // A display change loses every surface, ours first seen here.
    surfaceLost_ = true;
    return E_PENDING;
  }
  if (FAILED(hr)) return hr;
  return ComposeAndPresent();
}

HRESULT CVrVMR7Presenter::ComposeAndPresent() {
  CAutoLock lock(&presenterLock_);
  RECT source = source_, destination = screenDestination_;
  composition_->Blt(&destination, video_, &source, DDBLT_WAIT, nullptr);
  const HRESULT hr = primary_->Blt(&destination, composition_, &destination, DDBLT_WAIT, nullptr);
  if (hr == DDERR_SURFACELOST) {
    surfaceLost_ = true;
    return E_PENDING;
  }
  return S_OK;
}

HRESULT CVrVMR7Presenter::GetNativeVideoSize(LONG* width, LONG* height, LONG* aspectWidth, LONG* aspectHeight) {
  CAutoLock lock(&presenterLock_);
  if (width) *width = nativeWidth_;
  if (height) *height = nativeHeight_;
  if (aspectWidth) *aspectWidth = aspectWidth_;
  if (aspectHeight) *aspectHeight = aspectHeight_;
  return S_OK;
}

HRESULT CVrVMR7Presenter::SetVideoPosition(const RECT* source, const RECT* destination) {
  CAutoLock lock(&presenterLock_);
  if (source) source_ = *source;
  if (destination) {
    clientDestination_ = *destination;
    screenDestination_ = ToScreen(clientDestination_);
  }
  return S_OK;
}

HRESULT CVrVMR7Presenter::GetVideoPosition(RECT* source, RECT* destination) {
  CAutoLock lock(&presenterLock_);
  if (source) *source = {0, 0, nativeWidth_, nativeHeight_};
  if (destination) *destination = clientDestination_;
  return S_OK;
}

HRESULT CVrVMR7Presenter::GetAspectRatioMode(DWORD* mode) {
  if (mode) *mode = VMR_ARMODE_NONE;
  return S_OK;
}

HRESULT CVrVMR7Presenter::RepaintVideo(HWND, HDC) {
  CAutoLock lock(&presenterLock_);
  screenDestination_ = ToScreen(clientDestination_);
  if (!primary_ || !composition_ || !video_) return E_NOINTERFACE;
  return ComposeAndPresent();
}

HRESULT CVrVMR7Presenter::GetBorderColor(COLORREF* colour) {
  if (colour) *colour = 0;
  return S_OK;
}

HRESULT CVrVMR7Presenter::SetColorKey(COLORREF colour) {
  CAutoLock lock(&presenterLock_);
  colourKey_ = colour;
  return E_NOTIMPL;
}

HRESULT CVrVMR7Presenter::GetColorKey(COLORREF* colour) {
  CAutoLock lock(&presenterLock_);
  if (colour) *colour = colourKey_;
  return E_NOTIMPL;
}
