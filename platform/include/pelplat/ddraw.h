// DirectDraw 7 as the video renderer and its presenters use it: a device
// object with the display mode, surfaces held in memory with stretch and
// colour-fill blits, clippers bound to a window, and the primary surface,
// whose blits land in the clipper's window on screen. Surfaces can be
// lost (after a display change, or when a test says so) and restored.
#pragma once

#include "pelplat/objbase.h"
#include "pelplat/wingdi.h"
#include "pelplat/winuser.h"

PELPLAT_GUID(IID_IDirectDraw7, 0x15E65EC0, 0x3B9C, 0x11D2, 0xB9, 0x2F, 0x00, 0x60, 0x97, 0x97, 0xEA, 0x5B);
PELPLAT_GUID(IID_IDirectDrawSurface7, 0x06675A80, 0x3B9B, 0x11D2, 0xB9, 0x2F, 0x00, 0x60, 0x97, 0x97, 0xEA, 0x5B);
PELPLAT_GUID(IID_IDirectDrawClipper, 0x6C14DB85, 0xA733, 0x11CE, 0xA5, 0x21, 0x00, 0x20, 0xAF, 0x0B, 0xE5, 0x60);

#define DD_OK S_OK
#define DDERR_INVALIDPARAMS E_INVALIDARG
#define DDERR_GENERIC E_FAIL
#define DDERR_OUTOFMEMORY E_OUTOFMEMORY
#define DDERR_INVALIDMODE static_cast<HRESULT>(0x88760078)
#define DDERR_INVALIDPIXELFORMAT static_cast<HRESULT>(0x88760091)
#define DDERR_SURFACELOST static_cast<HRESULT>(0x887601C2)
#define DDERR_NOCLIPLIST static_cast<HRESULT>(0x887600CD)
#define DDERR_INVALIDRECT static_cast<HRESULT>(0x88760096)
#define DDERR_UNSUPPORTED E_NOTIMPL
#define DDERR_WRONGMODE static_cast<HRESULT>(0x8876024B)

#define DDSCL_NORMAL 0x8u

#define DDSD_CAPS 0x1u
#define DDSD_HEIGHT 0x2u
#define DDSD_WIDTH 0x4u
#define DDSD_PITCH 0x8u
#define DDSD_PIXELFORMAT 0x1000u

#define DDSCAPS_OFFSCREENPLAIN 0x40u
#define DDSCAPS_PRIMARYSURFACE 0x200u
#define DDSCAPS_SYSTEMMEMORY 0x800u
#define DDSCAPS_3DDEVICE 0x2000u
#define DDSCAPS_VIDEOMEMORY 0x4000u

#define DDPF_RGB 0x40u

#define DDBLT_COLORFILL 0x400u
#define DDBLT_WAIT 0x1000000u
#define DDLOCK_WAIT 0x1u

struct DDPIXELFORMAT {
  DWORD dwSize;
  DWORD dwFlags;
  DWORD dwFourCC;
  DWORD dwRGBBitCount;
  DWORD dwRBitMask;
  DWORD dwGBitMask;
  DWORD dwBBitMask;
  DWORD dwRGBAlphaBitMask;
};

struct DDSCAPS2 {
  DWORD dwCaps;
  DWORD dwCaps2;
  DWORD dwCaps3;
  DWORD dwCaps4;
};

struct DDSURFACEDESC2 {
  DWORD dwSize;
  DWORD dwFlags;
  DWORD dwHeight;
  DWORD dwWidth;
  LONG lPitch;
  DWORD dwBackBufferCount;
  DWORD dwRefreshRate;
  LPVOID lpSurface;
  DDPIXELFORMAT ddpfPixelFormat;
  DDSCAPS2 ddsCaps;
};

struct DDBLTFX {
  DWORD dwSize;
  DWORD dwFillColor;
};

struct IDirectDrawClipper : IUnknown {
  virtual HRESULT SetHWnd(DWORD flags, HWND window) = 0;
  virtual HRESULT GetHWnd(HWND* window) = 0;
  // A copy of the rectangles; null clears the list.
  virtual HRESULT SetClipList(const RGNDATA* list, DWORD flags) = 0;

 protected:
  ~IDirectDrawClipper() = default;
};

struct IDirectDrawSurface7 : IUnknown {
  // Stretches source (whole surface when null) into the destination
  // rectangle (whole surface when null), clipped to this surface's clipper.
  // DDBLT_COLORFILL fills the destination with fx->dwFillColor instead.
  virtual HRESULT Blt(RECT* destination, IDirectDrawSurface7* source, RECT* sourceRect,
                      DWORD flags, DDBLTFX* fx) = 0;
  virtual HRESULT GetSurfaceDesc(DDSURFACEDESC2* desc) = 0;
  virtual HRESULT Lock(RECT* rect, DDSURFACEDESC2* desc, DWORD flags, HANDLE event) = 0;
  virtual HRESULT Unlock(RECT* rect) = 0;
  virtual HRESULT SetClipper(IDirectDrawClipper* clipper) = 0;
  virtual HRESULT GetClipper(IDirectDrawClipper** clipper) = 0;
  virtual HRESULT IsLost() = 0;
  virtual HRESULT Restore() = 0;

 protected:
  ~IDirectDrawSurface7() = default;
};

struct IDirectDraw7 : IUnknown {
  virtual HRESULT CreateClipper(DWORD flags, IDirectDrawClipper** clipper, IUnknown* outer) = 0;
  virtual HRESULT CreateSurface(DDSURFACEDESC2* desc, IDirectDrawSurface7** surface, IUnknown* outer) = 0;
  virtual HRESULT GetDisplayMode(DDSURFACEDESC2* desc) = 0;
  virtual HRESULT SetCooperativeLevel(HWND window, DWORD flags) = 0;
  virtual HRESULT RestoreAllSurfaces() = 0;

 protected:
  ~IDirectDraw7() = default;
};

// Null guid: the default device.
HRESULT DirectDrawCreateEx(GUID* guid, void** ddraw, REFIID iid, IUnknown* outer);

// ---- Linux side: where the primary surface's pixels go -------------------
// The screen is the X display of $DISPLAY. Tests may replace the parts of
// it the model reads: the display mode, and where primary blits land.
struct DDrawDisplayMode {
  int width = 0;
  int height = 0;
  int bitsPerPixel = 0;
};

class DDrawScreen {
 public:
  virtual ~DDrawScreen() = default;
  virtual bool GetDisplayMode(DDrawDisplayMode* mode) = 0;
  // The window's client area in desktop coordinates; false for a window
  // that does not exist.
  virtual bool GetWindowRect(HWND window, RECT* rect) = 0;
  // Puts 32-bit pixels (0x00RRGGBB, rows top-down) at (x, y) of the window's
  // client area; the caller has clipped them to it. Must not wait for the
  // program's GUI thread.
  virtual void PutPixels(HWND window, int x, int y, int width, int height, const uint32_t* pixels,
                         int stridePixels) = 0;
};

// Installs a screen (null: the X display again) and answers the previous
// one; the caller keeps ownership.
DDrawScreen* DDrawSetScreen(DDrawScreen* screen);
DDrawScreen* DDrawGetScreen();
// Marks every existing surface lost, as a display change does.
void DDrawLoseAllSurfaces();
// Refuses surfaces of that bit depth from now on (0 refuses none).
void DDrawRefuseSurfaceDepth(int bitsPerPixel);
