// The allocator-presenter the player plugs into the renderless VMR-7:
// every presented frame is copied into a video surface of its own, scaled
// into a composition surface as large as the display, and the destination
// rectangle is copied from there to the primary surface, clipped to the
// program's video window.
#pragma once

#include "pelplat/ddraw.h"
#include "pelplat/dshowbase.h"
#include "streamshared/IDSFrameProcessor.h"

class CVrVMR7Presenter final : public CUnknown,
                               public IVMRSurfaceAllocator,
                               public IVMRImagePresenter,
                               public IVMRWindowlessControl {
 public:
  // The creator releases the object when *result is a failure.
  CVrVMR7Presenter(IDSFrameProcessor* frameProcessor, HWND window, DWORD colourKey, HRESULT* result);
  ~CVrVMR7Presenter() override;
  DECLARE_IUNKNOWN
  HRESULT NonDelegatingQueryInterface(REFIID riid, void** object) override;

  // IVMRSurfaceAllocator
  HRESULT AllocateSurface(DWORD_PTR userId, VMRALLOCATIONINFO* info, DWORD* buffers,
                          IDirectDrawSurface7** surface) override;
  HRESULT FreeSurface(DWORD_PTR userId) override;
  HRESULT PrepareSurface(DWORD_PTR userId, IDirectDrawSurface7* surface, DWORD flags) override;
  HRESULT AdviseNotify(IVMRSurfaceAllocatorNotify* notify) override;

  // IVMRImagePresenter
  HRESULT StartPresenting(DWORD_PTR userId) override;
  HRESULT StopPresenting(DWORD_PTR userId) override { return S_OK; }
  HRESULT PresentImage(DWORD_PTR userId, VMRPRESENTATIONINFO* info) override;

  // IVMRWindowlessControl
  HRESULT GetNativeVideoSize(LONG* width, LONG* height, LONG* aspectWidth, LONG* aspectHeight) override;
  HRESULT GetMinIdealVideoSize(LONG*, LONG*) override { return E_NOTIMPL; }
  HRESULT GetMaxIdealVideoSize(LONG*, LONG*) override { return E_NOTIMPL; }
  HRESULT SetVideoPosition(const RECT* source, const RECT* destination) override;
  HRESULT GetVideoPosition(RECT* source, RECT* destination) override;
  HRESULT GetAspectRatioMode(DWORD* mode) override;
  HRESULT SetAspectRatioMode(DWORD) override { return E_NOTIMPL; }
  HRESULT SetVideoClippingWindow(HWND) override { return E_NOTIMPL; }
  HRESULT RepaintVideo(HWND window, HDC deviceContext) override;
  HRESULT DisplayModeChanged() override { return E_NOTIMPL; }
  HRESULT GetCurrentImage(BYTE**) override { return E_NOTIMPL; }
  HRESULT SetBorderColor(COLORREF) override { return E_NOTIMPL; }
  HRESULT GetBorderColor(COLORREF* colour) override;
  HRESULT SetColorKey(COLORREF colour) override;
  HRESULT GetColorKey(COLORREF* colour) override;

  bool HasDirectDraw() const { return ddraw_ != nullptr; }
  // The player's last word: the program's frame processor may go away.
  void ForgetFrameProcessor();

 private:
  HRESULT CreateDDrawSurfaces();
  HRESULT CreateVideoSurface();
  HRESULT ComposeAndPresent();
  HRESULT FillBlack(IDirectDrawSurface7* surface);
  RECT ToScreen(const RECT& client) const;

  IDirectDraw7* ddraw_ = nullptr;
  IDirectDrawSurface7* primary_ = nullptr;
  IDirectDrawSurface7* composition_ = nullptr;
  IDirectDrawSurface7* video_ = nullptr;
  IVMRSurfaceAllocatorNotify* notify_ = nullptr;
  IVMRSurfaceAllocator* defaultAllocator_ = nullptr;
  IDSFrameProcessor* frameProcessor_;  // not owned
  RECT clientDestination_{};
  RECT screenDestination_{};
  RECT source_{};
  int displayWidth_ = 0, displayHeight_ = 0, displayBits_ = 0;
  int nativeWidth_ = 0, nativeHeight_ = 0;
  int aspectWidth_ = 0, aspectHeight_ = 0;
  HWND window_;
  bool surfaceLost_ = false;
  CCritSec presenterLock_;
  CCritSec surfaceLock_;
  DWORD colourKey_;
};
