// DirectDraw 7 in memory: surfaces of 32-bit (8-8-8) or 16-bit (5-6-5)
// pixels, stretch and colour-fill blits clipped to the target's clipper,
// and the primary surface, whose blits are put into the clipper's window
// through the screen (pelplat/ddraw.h).
#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <set>
#include <vector>

#include "pelplat/comobject.h"
#include "pelplat/ddraw.h"
#include "pelplat/rectspan.h"

namespace {

std::atomic<int> g_refusedDepth{0};

class CDDrawSurface;
std::mutex g_surfacesMutex;
std::set<CDDrawSurface*>& LiveSurfaces() {
  static std::set<CDDrawSurface*> surfaces;
  return surfaces;
}

bool Intersect(const RECT& a, const RECT& b, RECT* out) {
  out->left = std::max(a.left, b.left);
  out->top = std::max(a.top, b.top);
  out->right = std::min(a.right, b.right);
  out->bottom = std::min(a.bottom, b.bottom);
  return out->left < out->right && out->top < out->bottom;
}

bool ValidRect(const RECT& r) { return r.left < r.right && r.top < r.bottom; }

using pelplat::ComObject;

class CDDrawClipper final : public ComObject<IDirectDrawClipper> {
 public:
  HRESULT QueryInterface(REFIID riid, void** object) override { return Answer(riid, object, IID_IDirectDrawClipper); }
  HRESULT SetHWnd(DWORD, HWND window) override {
    std::lock_guard<std::mutex> hold(mutex_);
    window_ = window;
    return DD_OK;
  }
  HRESULT GetHWnd(HWND* window) override {
    if (!window) return DDERR_INVALIDPARAMS;
    std::lock_guard<std::mutex> hold(mutex_);
    *window = window_;
    return DD_OK;
  }
  HRESULT SetClipList(const RGNDATA* list, DWORD) override {
    std::lock_guard<std::mutex> hold(mutex_);
    rects_.clear();
    if (!list) return DD_OK;
    if (list->rdh.iType != RDH_RECTANGLES || list->rdh.nCount > 4096) return DDERR_INVALIDPARAMS;
    const auto* rects = reinterpret_cast<const RECT*>(list->Buffer);
    for (DWORD i = 0; i < list->rdh.nCount; ++i) rects_.push_back(rects[i]);
    return DD_OK;
  }

  HWND Window() {
    std::lock_guard<std::mutex> hold(mutex_);
    return window_;
  }
  std::vector<RECT> Rects() {
    std::lock_guard<std::mutex> hold(mutex_);
    return rects_;
  }

 private:
  std::mutex mutex_;
  HWND window_ = nullptr;
  std::vector<RECT> rects_;
};

uint32_t ToRgb(uint32_t v, int bits) {
  if (bits == 32) return v & 0xFFFFFF;
  const uint32_t r = (v >> 11) & 0x1F, g = (v >> 5) & 0x3F, b = v & 0x1F;
  return ((r << 3 | r >> 2) << 16) | ((g << 2 | g >> 4) << 8) | (b << 3 | b >> 2);
}

uint32_t FromRgb(uint32_t rgb, int bits) {
  if (bits == 32) return rgb & 0xFFFFFF;
  return (((rgb >> 19) & 0x1F) << 11) | (((rgb >> 10) & 0x3F) << 5) | ((rgb >> 3) & 0x1F);
}

class CDDrawSurface final : public ComObject<IDirectDrawSurface7> {
 public:
  HRESULT QueryInterface(REFIID riid, void** object) override { return Answer(riid, object, IID_IDirectDrawSurface7); }
  // Primary: the display's size; its pixels live on screen.
  CDDrawSurface(int width, int height, int bits, bool primary)
      : width_(width), height_(height), bits_(bits), primary_(primary) {
    if (!primary_) pixels_.assign(static_cast<size_t>(Pitch()) * height_, 0);
    std::lock_guard<std::mutex> hold(g_surfacesMutex);
    LiveSurfaces().insert(this);
  }
  ~CDDrawSurface() override {
    {
      std::lock_guard<std::mutex> hold(g_surfacesMutex);
      LiveSurfaces().erase(this);
    }
    if (clipper_) clipper_->Release();
  }

  HRESULT Blt(RECT* destination, IDirectDrawSurface7* source, RECT* sourceRect, DWORD flags, DDBLTFX* fx) override {
    std::lock_guard<std::recursive_mutex> hold(mutex_);
    if (lost_) return DDERR_SURFACELOST;
    const RECT whole{0, 0, width_, height_};
    RECT dst = destination ? *destination : whole;
    if (!ValidRect(dst)) return DDERR_INVALIDRECT;
    if (flags & DDBLT_COLORFILL) {
      if (!fx) return DDERR_INVALIDPARAMS;
      const uint32_t rgb = ToRgb(fx->dwFillColor, bits_);
      return Draw(dst, [rgb](int, int) { return rgb; });
    }
    auto* src = static_cast<CDDrawSurface*>(source);
    if (!src || src->primary_) return DDERR_INVALIDPARAMS;
    std::unique_lock<std::recursive_mutex> srcHold(src->mutex_, std::defer_lock);
    if (src != this) srcHold.lock();
    if (src->lost_) return DDERR_SURFACELOST;
    const RECT srcWhole{0, 0, src->width_, src->height_};
    RECT sr = sourceRect ? *sourceRect : srcWhole;
    RECT check;
    if (!ValidRect(sr) || !Intersect(sr, srcWhole, &check) || check.left != sr.left || check.top != sr.top ||
        check.right != sr.right || check.bottom != sr.bottom)
      return DDERR_INVALIDRECT;
    // Spans in 64 bits: a rectangle from outside may be wider than a LONG
    // holds, and a wrapped span would send the source read anywhere.
    const int64_t dw = RectSpan(dst.left, dst.right), dh = RectSpan(dst.top, dst.bottom);
    const int64_t sw = RectSpan(sr.left, sr.right), sh = RectSpan(sr.top, sr.bottom);
    // A copy of the source when it is also the target.
    std::vector<uint8_t> copy;
    const uint8_t* srcPixels = src->pixels_.data();
    if (src == this) {
      copy = pixels_;
      srcPixels = copy.data();
    }
    return Draw(dst, [&](int x, int y) {
      // Draw visits only dst's own pixels, so 0 <= x - dst.left < dw and
      // the source pixel lies inside sr, which lies inside the source.
      const int64_t sx = sr.left + RectSpan(dst.left, x) * sw / dw;
      const int64_t sy = sr.top + RectSpan(dst.top, y) * sh / dh;
      return src->ReadAt(srcPixels, static_cast<int>(sx), static_cast<int>(sy));
    });
  }

  HRESULT GetSurfaceDesc(DDSURFACEDESC2* desc) override {
    if (!desc) return DDERR_INVALIDPARAMS;
    Describe(desc);
    return DD_OK;
  }

  HRESULT Lock(RECT* rect, DDSURFACEDESC2* desc, DWORD, HANDLE) override {
    if (!desc) return DDERR_INVALIDPARAMS;
    if (primary_) return DDERR_UNSUPPORTED;
    mutex_.lock();
    if (lost_) {
      mutex_.unlock();
      return DDERR_SURFACELOST;
    }
    Describe(desc);
    uint8_t* base = pixels_.data();
    if (rect) {
      const RECT whole{0, 0, width_, height_};
      RECT r;
      if (!Intersect(*rect, whole, &r)) {
        mutex_.unlock();
        return DDERR_INVALIDRECT;
      }
      base += static_cast<size_t>(r.top) * Pitch() + static_cast<size_t>(r.left) * (bits_ / 8);
    }
    desc->lpSurface = base;
    return DD_OK;
  }

  HRESULT Unlock(RECT*) override {
    if (primary_) return DDERR_UNSUPPORTED;
    mutex_.unlock();
    return DD_OK;
  }

  HRESULT SetClipper(IDirectDrawClipper* clipper) override {
    std::lock_guard<std::recursive_mutex> hold(mutex_);
    if (clipper) clipper->AddRef();
    if (clipper_) clipper_->Release();
    clipper_ = static_cast<CDDrawClipper*>(clipper);
    return DD_OK;
  }

  HRESULT GetClipper(IDirectDrawClipper** clipper) override {
    if (!clipper) return DDERR_INVALIDPARAMS;
    std::lock_guard<std::recursive_mutex> hold(mutex_);
    *clipper = clipper_;
    if (!clipper_) return DDERR_NOCLIPLIST;
    clipper_->AddRef();
    return DD_OK;
  }

  HRESULT IsLost() override {
    std::lock_guard<std::recursive_mutex> hold(mutex_);
    return lost_ ? DDERR_SURFACELOST : DD_OK;
  }

  HRESULT Restore() override {
    std::lock_guard<std::recursive_mutex> hold(mutex_);
    if (lost_) std::fill(pixels_.begin(), pixels_.end(), 0);
    lost_ = false;
    return DD_OK;
  }

  void Lose() {
    std::lock_guard<std::recursive_mutex> hold(mutex_);
    lost_ = true;
  }

 private:
  int Pitch() const { return width_ * (bits_ / 8); }

  void Describe(DDSURFACEDESC2* desc) const {
    memset(desc, 0, sizeof(*desc));
    desc->dwSize = sizeof(*desc);
    desc->dwFlags = DDSD_CAPS | DDSD_WIDTH | DDSD_HEIGHT | DDSD_PITCH | DDSD_PIXELFORMAT;
    desc->dwWidth = static_cast<DWORD>(width_);
    desc->dwHeight = static_cast<DWORD>(height_);
    desc->lPitch = Pitch();
    desc->ddsCaps.dwCaps = primary_ ? DDSCAPS_PRIMARYSURFACE : DDSCAPS_OFFSCREENPLAIN;
    desc->ddpfPixelFormat.dwSize = sizeof(DDPIXELFORMAT);
    desc->ddpfPixelFormat.dwFlags = DDPF_RGB;
    desc->ddpfPixelFormat.dwRGBBitCount = static_cast<DWORD>(bits_);
    desc->ddpfPixelFormat.dwRBitMask = bits_ == 32 ? 0xFF0000 : 0xF800;
    desc->ddpfPixelFormat.dwGBitMask = bits_ == 32 ? 0xFF00 : 0x7E0;
    desc->ddpfPixelFormat.dwBBitMask = bits_ == 32 ? 0xFF : 0x1F;
  }

  uint32_t ReadAt(const uint8_t* pixels, int x, int y) const {
    const uint8_t* p = pixels + static_cast<size_t>(y) * Pitch() + static_cast<size_t>(x) * (bits_ / 8);
    uint32_t v = 0;
    if (bits_ == 32) {
      v = p[0] | (p[1] << 8) | (p[2] << 16);
    } else {
      v = p[0] | (p[1] << 8);
    }
    return ToRgb(v, bits_);
  }

  void WriteAt(int x, int y, uint32_t rgb) {
    uint8_t* p = pixels_.data() + static_cast<size_t>(y) * Pitch() + static_cast<size_t>(x) * (bits_ / 8);
    const uint32_t v = FromRgb(rgb, bits_);
    p[0] = v & 0xFF;
    p[1] = (v >> 8) & 0xFF;
    if (bits_ == 32) {
      p[2] = (v >> 16) & 0xFF;
      p[3] = 0;
    }
  }

  // The clip rectangles of the target, in its own coordinates (screen
  // coordinates for the primary surface).
  std::vector<RECT> ClipRects(HWND* window, RECT* windowRect) {
    std::vector<RECT> clips;
    if (primary_) {
      if (!clipper_ || !clipper_->Window()) return clips;  // no window: nowhere to draw
      *window = clipper_->Window();
      DDrawScreen* screen = DDrawGetScreen();
      if (!screen || !screen->GetWindowRect(*window, windowRect)) return clips;
      clips.push_back(*windowRect);
      return clips;
    }
    const RECT whole{0, 0, width_, height_};
    std::vector<RECT> list = clipper_ ? clipper_->Rects() : std::vector<RECT>{};
    if (list.empty()) list.push_back(whole);
    for (const RECT& r : list) {
      RECT c;
      if (Intersect(r, whole, &c)) clips.push_back(c);
    }
    return clips;
  }

  template <typename Pixel>
  HRESULT Draw(const RECT& dst, Pixel pixel) {
    HWND window = nullptr;
    RECT windowRect{};
    for (const RECT& clip : ClipRects(&window, &windowRect)) {
      RECT r;
      if (!Intersect(dst, clip, &r)) continue;
      if (primary_) {
        const int w = r.right - r.left, h = r.bottom - r.top;
        std::vector<uint32_t> out(static_cast<size_t>(w) * h);
        for (int y = r.top; y < r.bottom; ++y)
          for (int x = r.left; x < r.right; ++x) out[static_cast<size_t>(y - r.top) * w + (x - r.left)] = pixel(x, y);
        DDrawGetScreen()->PutPixels(window, r.left - windowRect.left, r.top - windowRect.top, w, h, out.data(), w);
      } else {
        for (int y = r.top; y < r.bottom; ++y)
          for (int x = r.left; x < r.right; ++x) WriteAt(x, y, pixel(x, y));
      }
    }
    return DD_OK;
  }

  std::recursive_mutex mutex_;
  const int width_, height_, bits_;
  const bool primary_;
  bool lost_ = false;
  std::vector<uint8_t> pixels_;
  CDDrawClipper* clipper_ = nullptr;
};

class CDirectDraw7 final : public ComObject<IDirectDraw7> {
 public:
  HRESULT QueryInterface(REFIID riid, void** object) override { return Answer(riid, object, IID_IDirectDraw7); }
  HRESULT CreateClipper(DWORD, IDirectDrawClipper** clipper, IUnknown* outer) override {
    if (!clipper) return DDERR_INVALIDPARAMS;
    if (outer) return CLASS_E_NOAGGREGATION;
    *clipper = new CDDrawClipper();
    return DD_OK;
  }

  HRESULT CreateSurface(DDSURFACEDESC2* desc, IDirectDrawSurface7** surface, IUnknown* outer) override {
    if (!desc || !surface) return DDERR_INVALIDPARAMS;
    if (outer) return CLASS_E_NOAGGREGATION;
    *surface = nullptr;
    if (!(desc->dwFlags & DDSD_CAPS)) return DDERR_INVALIDPARAMS;
    DDrawDisplayMode mode;
    if (!DDrawGetScreen()->GetDisplayMode(&mode)) return DDERR_GENERIC;
    if (desc->ddsCaps.dwCaps & DDSCAPS_PRIMARYSURFACE) {
      if (desc->dwFlags & (DDSD_WIDTH | DDSD_HEIGHT)) return DDERR_INVALIDPARAMS;
      *surface = new CDDrawSurface(mode.width, mode.height, mode.bitsPerPixel == 16 ? 16 : 32, true);
      return DD_OK;
    }
    if ((desc->dwFlags & (DDSD_WIDTH | DDSD_HEIGHT)) != (DDSD_WIDTH | DDSD_HEIGHT)) return DDERR_INVALIDPARAMS;
    if (desc->dwWidth == 0 || desc->dwHeight == 0 || desc->dwWidth > 16384 || desc->dwHeight > 16384)
      return DDERR_INVALIDPARAMS;
    int bits = mode.bitsPerPixel == 16 ? 16 : 32;
    if (desc->dwFlags & DDSD_PIXELFORMAT) {
      const DDPIXELFORMAT& pf = desc->ddpfPixelFormat;
      const bool rgb32 = pf.dwRGBBitCount == 32 && pf.dwRBitMask == 0xFF0000 && pf.dwGBitMask == 0xFF00 &&
                         pf.dwBBitMask == 0xFF;
      const bool rgb565 = pf.dwRGBBitCount == 16 && pf.dwRBitMask == 0xF800 && pf.dwGBitMask == 0x7E0 &&
                          pf.dwBBitMask == 0x1F;
      if (!(pf.dwFlags & DDPF_RGB) || (!rgb32 && !rgb565)) return DDERR_INVALIDPIXELFORMAT;
      bits = rgb32 ? 32 : 16;
    }
    if (bits == g_refusedDepth.load()) return DDERR_INVALIDPIXELFORMAT;
    try {
      *surface = new CDDrawSurface(static_cast<int>(desc->dwWidth), static_cast<int>(desc->dwHeight), bits, false);
    } catch (const std::bad_alloc&) {
      return DDERR_OUTOFMEMORY;
    }
    return DD_OK;
  }

  HRESULT GetDisplayMode(DDSURFACEDESC2* desc) override {
    if (!desc) return DDERR_INVALIDPARAMS;
    DDrawDisplayMode mode;
    if (!DDrawGetScreen()->GetDisplayMode(&mode)) return DDERR_GENERIC;
    memset(desc, 0, sizeof(*desc));
    desc->dwSize = sizeof(*desc);
    desc->dwFlags = DDSD_WIDTH | DDSD_HEIGHT | DDSD_PIXELFORMAT | DDSD_PITCH;
    desc->dwWidth = static_cast<DWORD>(mode.width);
    desc->dwHeight = static_cast<DWORD>(mode.height);
    desc->lPitch = mode.width * ((mode.bitsPerPixel + 7) / 8);
    desc->ddpfPixelFormat.dwSize = sizeof(DDPIXELFORMAT);
    desc->ddpfPixelFormat.dwFlags = DDPF_RGB;
    desc->ddpfPixelFormat.dwRGBBitCount = static_cast<DWORD>(mode.bitsPerPixel);
    return DD_OK;
  }

  HRESULT SetCooperativeLevel(HWND, DWORD) override { return DD_OK; }

  HRESULT RestoreAllSurfaces() override {
    std::lock_guard<std::mutex> hold(g_surfacesMutex);
    for (CDDrawSurface* s : LiveSurfaces()) s->Restore();
    return DD_OK;
  }
};

}  // namespace

HRESULT DirectDrawCreateEx(GUID* guid, void** ddraw, REFIID iid, IUnknown* outer) {
  if (!ddraw) return DDERR_INVALIDPARAMS;
  *ddraw = nullptr;
  if (outer) return CLASS_E_NOAGGREGATION;
  if (guid || iid != IID_IDirectDraw7) return DDERR_INVALIDPARAMS;
  *ddraw = static_cast<IDirectDraw7*>(new CDirectDraw7());
  return DD_OK;
}

void DDrawLoseAllSurfaces() {
  std::lock_guard<std::mutex> hold(g_surfacesMutex);
  for (CDDrawSurface* s : LiveSurfaces()) s->Lose();
}

void DDrawRefuseSurfaceDepth(int bitsPerPixel) { g_refusedDepth = bitsPerPixel; }

// ---- regions, monitors, window points ----------------------------------------------
struct HRGN__ {
  RECT rect;
};

HRGN CreateRectRgn(int left, int top, int right, int bottom) {
  return new HRGN__{RECT{std::min(left, right), std::min(top, bottom), std::max(left, right), std::max(top, bottom)}};
}

DWORD GetRegionData(HRGN region, DWORD size, RGNDATA* data) {
  if (!region) return 0;
  const DWORD needed = sizeof(RGNDATAHEADER) + sizeof(RECT);
  if (!data || size < needed) return needed;
  data->rdh.dwSize = sizeof(RGNDATAHEADER);
  data->rdh.iType = RDH_RECTANGLES;
  data->rdh.nCount = 1;
  data->rdh.nRgnSize = sizeof(RECT);
  data->rdh.rcBound = region->rect;
  memcpy(data->Buffer, &region->rect, sizeof(RECT));
  return needed;
}

BOOL DeleteObject(HRGN region) {
  delete region;
  return TRUE;
}

HMONITOR MonitorFromWindow(HWND, DWORD) { return reinterpret_cast<HMONITOR>(1); }

int MapWindowPoints(HWND from, HWND to, POINT* points, UINT count) {
  if (!points) return 0;
  RECT origin{};
  int64_t dx = 0, dy = 0;
  if (from && DDrawGetScreen()->GetWindowRect(from, &origin)) {
    dx += origin.left;
    dy += origin.top;
  }
  if (to && DDrawGetScreen()->GetWindowRect(to, &origin)) {
    dx -= origin.left;
    dy -= origin.top;
  }
  // Points come from servers too: a coordinate near the edge of a LONG
  // stops there rather than wrapping to the other side of the desktop.
  for (UINT i = 0; i < count; ++i) {
    points[i].x = SaturatedLong(points[i].x + dx);
    points[i].y = SaturatedLong(points[i].y + dy);
  }
  return static_cast<int>((static_cast<uint32_t>(dy) << 16) | (static_cast<uint32_t>(dx) & 0xFFFF));
}
