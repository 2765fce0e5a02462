// The in-process Direct3D 9 / DXVA2 model: CPU surfaces, a device that
// converts and copies between them, a device manager with device-change
// tokens, and a decoder service over the configured adapter.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

#include "H264Rebuild.h"
#include "pelplat/comobject.h"
#include "pelplat/d3d9model.h"
#include "pelplat/objbase.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

namespace {

std::mutex g_lock;
D3D9ModelAdapter g_adapter;
D3D9ModelStats g_stats;
uint64_t g_deviceGeneration = 1;

template <typename F>
auto WithModel(F f) {
  std::lock_guard<std::mutex> hold(g_lock);
  return f(g_adapter, g_stats);
}

// Caps what one surface array may take, so a description from the wire
// cannot make the model allocate without bound.
constexpr UINT kMaxDimension = 8192;
constexpr uint64_t kMaxSurfaceBytes = 512ull * 1024 * 1024;
constexpr UINT kPitchAlign = 64;

using pelplat::ComObject;
using pelplat::Ref;

uint64_t FrameBytes(UINT width, UINT height, D3DFORMAT format, UINT* pitch) {
  if (format == D3DFMT_NV12) {
    *pitch = (width + kPitchAlign - 1) / kPitchAlign * kPitchAlign;
    return uint64_t(*pitch) * (height + (height + 1) / 2);
  }
  *pitch = (width * 4 + kPitchAlign - 1) / kPitchAlign * kPitchAlign;
  return uint64_t(*pitch) * height;
}

bool KnownFormat(D3DFORMAT format) {
  return format == D3DFMT_NV12 || format == D3DFMT_A8R8G8B8 || format == D3DFMT_X8R8G8B8;
}

class Surface final : public ComObject<IDirect3DSurface9> {
 public:
  Surface(UINT width, UINT height, D3DFORMAT format, D3DPOOL pool, DWORD usage, bool lockable)
      : lockable_(lockable) {
    desc_ = D3DSURFACE_DESC{format, D3DRTYPE_SURFACE, usage, pool, D3DMULTISAMPLE_NONE, 0, width, height};
    bits_.assign(FrameBytes(width, height, format, &pitch_), 0);
    if (format == D3DFMT_NV12) std::fill(bits_.begin() + size_t(pitch_) * height, bits_.end(), 128);
  }

  HRESULT GetDesc(D3DSURFACE_DESC* desc) override {
    if (!desc) return D3DERR_INVALIDCALL;
    *desc = desc_;
    return S_OK;
  }
  HRESULT LockRect(D3DLOCKED_RECT* locked, const RECT* rect, DWORD) override {
    if (!locked || rect || !lockable_ || locked_) return D3DERR_INVALIDCALL;
    locked_ = true;
    locked->Pitch = INT(pitch_);
    locked->pBits = bits_.data();
    return S_OK;
  }
  HRESULT UnlockRect() override {
    if (!locked_) return D3DERR_INVALIDCALL;
    locked_ = false;
    return S_OK;
  }

  const D3DSURFACE_DESC& Desc() const { return desc_; }
  UINT Pitch() const { return pitch_; }
  uint8_t* Bits() { return bits_.data(); }
  bool IsArgb() const { return desc_.Format == D3DFMT_A8R8G8B8 || desc_.Format == D3DFMT_X8R8G8B8; }

  // 0xAARRGGBB at (x, y); NV12 through BT.601 limited range.
  uint32_t PixelAt(UINT x, UINT y) const {
    if (IsArgb()) {
      const uint8_t* p = &bits_[size_t(y) * pitch_ + size_t(x) * 4];
      return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    }
    const int luma = bits_[size_t(y) * pitch_ + x];
    const size_t chroma = size_t(pitch_) * desc_.Height + size_t(y / 2) * pitch_ + (x & ~1u);
    const int c = luma - 16, d = bits_[chroma] - 128, e = bits_[chroma + 1] - 128;
    auto clamp = [](int v) { return uint32_t(std::min(255, std::max(0, v))); };
    const uint32_t r = clamp((298 * c + 409 * e + 128) >> 8);
    const uint32_t g = clamp((298 * c - 100 * d - 208 * e + 128) >> 8);
    const uint32_t b = clamp((298 * c + 516 * d + 128) >> 8);
    return 0xFF000000u | r << 16 | g << 8 | b;
  }
  void SetPixel(UINT x, UINT y, uint32_t argb) {
    uint8_t* p = &bits_[size_t(y) * pitch_ + size_t(x) * 4];
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(argb >> (8 * i));
  }
  // A decoded 4:2:0 picture into an NV12 surface, clipped to both.
  void WriteYuv420(const AVFrame* frame) {
    if (desc_.Format != D3DFMT_NV12 || (frame->format != AV_PIX_FMT_YUV420P && frame->format != AV_PIX_FMT_YUVJ420P))
      return;
    const UINT width = std::min(desc_.Width, UINT(frame->width)) & ~1u;
    const UINT height = std::min(desc_.Height, UINT(frame->height)) & ~1u;
    for (UINT y = 0; y < height; ++y)
      std::memcpy(&bits_[size_t(y) * pitch_], frame->data[0] + size_t(y) * frame->linesize[0], width);
    uint8_t* chroma = &bits_[size_t(pitch_) * desc_.Height];
    for (UINT y = 0; y < height / 2; ++y)
      for (UINT x = 0; x < width / 2; ++x) {
        chroma[size_t(y) * pitch_ + 2 * x] = frame->data[1][size_t(y) * frame->linesize[1] + x];
        chroma[size_t(y) * pitch_ + 2 * x + 1] = frame->data[2][size_t(y) * frame->linesize[2] + x];
      }
  }
  void FillNv12(uint8_t luma) {
    std::fill(bits_.begin(), bits_.begin() + size_t(pitch_) * desc_.Height, luma);
    std::fill(bits_.begin() + size_t(pitch_) * desc_.Height, bits_.end(), 128);
  }

 private:
  D3DSURFACE_DESC desc_{};
  UINT pitch_ = 0;
  bool lockable_;
  bool locked_ = false;
  std::vector<uint8_t> bits_;
};

Surface* AsSurface(IDirect3DSurface9* surface) { return dynamic_cast<Surface*>(surface); }

bool ClipRect(const RECT* rect, const D3DSURFACE_DESC& desc, RECT* out) {
  *out = rect ? *rect : RECT{0, 0, LONG(desc.Width), LONG(desc.Height)};
  return out->left >= 0 && out->top >= 0 && out->left < out->right && out->top < out->bottom &&
         out->right <= LONG(desc.Width) && out->bottom <= LONG(desc.Height);
}

class Device final : public ComObject<IDirect3DDevice9> {
 public:
  explicit Device(const D3DPRESENT_PARAMETERS& p)
      : backBuffer_(new Surface(p.BackBufferWidth, p.BackBufferHeight, p.BackBufferFormat, D3DPOOL_DEFAULT,
                                D3DUSAGE_RENDERTARGET, false)) {}

  HRESULT GetBackBuffer(UINT swapChain, UINT backBuffer, D3DBACKBUFFER_TYPE, IDirect3DSurface9** out) override {
    if (!out || swapChain != 0 || backBuffer != 0) return D3DERR_INVALIDCALL;
    *out = Ref<Surface>(backBuffer_).detach();
    return S_OK;
  }
  HRESULT ColorFill(IDirect3DSurface9* surface, const RECT* rect, D3DCOLOR colour) override {
    Surface* s = AsSurface(surface);
    RECT r;
    if (!s || !s->IsArgb() || s->Desc().Pool != D3DPOOL_DEFAULT || !ClipRect(rect, s->Desc(), &r))
      return D3DERR_INVALIDCALL;
    for (LONG x = r.left; x < r.right; ++x) s->SetPixel(x, r.top, colour);
    const size_t rowBytes = size_t(r.right - r.left) * 4;
    const uint8_t* first = s->Bits() + size_t(r.top) * s->Pitch() + size_t(r.left) * 4;
    for (LONG y = r.top + 1; y < r.bottom; ++y)
      std::memcpy(s->Bits() + size_t(y) * s->Pitch() + size_t(r.left) * 4, first, rowBytes);
    return S_OK;
  }
  HRESULT CreateRenderTarget(UINT width, UINT height, D3DFORMAT format, D3DMULTISAMPLE_TYPE multiSample, DWORD,
                             BOOL lockable, IDirect3DSurface9** out, HANDLE* shared) override {
    if (multiSample != D3DMULTISAMPLE_NONE) return D3DERR_NOTAVAILABLE;
    return Make(width, height, format, D3DPOOL_DEFAULT, D3DUSAGE_RENDERTARGET, lockable, out, shared);
  }
  HRESULT CreateOffscreenPlainSurface(UINT width, UINT height, D3DFORMAT format, D3DPOOL pool,
                                      IDirect3DSurface9** out, HANDLE* shared) override {
    return Make(width, height, format, pool, 0, pool != D3DPOOL_DEFAULT, out, shared);
  }
  HRESULT StretchRect(IDirect3DSurface9* source, const RECT* sourceRect, IDirect3DSurface9* target,
                      const RECT* targetRect, D3DTEXTUREFILTERTYPE) override {
    Surface* from = AsSurface(source);
    Surface* to = AsSurface(target);
    RECT s, t;
    if (!from || !to || from == to || !to->IsArgb() || from->Desc().Pool != D3DPOOL_DEFAULT ||
        to->Desc().Pool != D3DPOOL_DEFAULT || !ClipRect(sourceRect, from->Desc(), &s) ||
        !ClipRect(targetRect, to->Desc(), &t))
      return D3DERR_INVALIDCALL;
    const LONG sw = s.right - s.left, sh = s.bottom - s.top, tw = t.right - t.left, th = t.bottom - t.top;
    for (LONG y = 0; y < th; ++y)
      for (LONG x = 0; x < tw; ++x)
        to->SetPixel(t.left + x, t.top + y, from->PixelAt(s.left + x * sw / tw, s.top + y * sh / th));
    return S_OK;
  }
  HRESULT GetRenderTargetData(IDirect3DSurface9* renderTarget, IDirect3DSurface9* target) override {
    Surface* from = AsSurface(renderTarget);
    Surface* to = AsSurface(target);
    if (!from || !to || !(from->Desc().Usage & D3DUSAGE_RENDERTARGET) || to->Desc().Pool != D3DPOOL_SYSTEMMEM ||
        from->Desc().Width != to->Desc().Width || from->Desc().Height != to->Desc().Height ||
        from->Desc().Format != to->Desc().Format)
      return D3DERR_INVALIDCALL;
    std::memcpy(to->Bits(), from->Bits(), size_t(from->Pitch()) * from->Desc().Height);
    return S_OK;
  }

 private:
  ~Device() override = default;

  static HRESULT Make(UINT width, UINT height, D3DFORMAT format, D3DPOOL pool, DWORD usage, bool lockable,
                      IDirect3DSurface9** out, HANDLE* shared) {
    if (!out || shared || width == 0 || height == 0 || width > kMaxDimension || height > kMaxDimension ||
        !KnownFormat(format))
      return D3DERR_INVALIDCALL;
    *out = new Surface(width, height, format, pool, usage, lockable);
    return S_OK;
  }

  const Ref<Surface> backBuffer_;
};

class Direct3D final : public ComObject<IDirect3D9> {
 public:
  UINT GetAdapterCount() override { return 1; }
  HRESULT GetAdapterIdentifier(UINT adapter, DWORD, D3DADAPTER_IDENTIFIER9* id) override {
    if (adapter != 0 || !id) return D3DERR_INVALIDCALL;
    std::memset(id, 0, sizeof(*id));
    std::strcpy(id->Driver, "pelplat");
    std::strcpy(id->Description, "In-process video model");
    id->VendorId = WithModel([](D3D9ModelAdapter& a, D3D9ModelStats&) { return a.vendorId; });
    return S_OK;
  }
  HRESULT CreateDevice(UINT adapter, D3DDEVTYPE type, HWND, DWORD, D3DPRESENT_PARAMETERS* p,
                       IDirect3DDevice9** out) override {
    if (adapter != 0 || type != D3DDEVTYPE_HAL || !p || !out) return D3DERR_INVALIDCALL;
    const HRESULT result = WithModel([](D3D9ModelAdapter& a, D3D9ModelStats& s) {
      if (SUCCEEDED(a.createDeviceResult)) ++s.devicesCreated;
      return a.createDeviceResult;
    });
    if (FAILED(result)) return result;
    if (p->BackBufferWidth == 0 || p->BackBufferHeight == 0 || p->BackBufferWidth > kMaxDimension ||
        p->BackBufferHeight > kMaxDimension || !KnownFormat(p->BackBufferFormat) || p->BackBufferFormat == D3DFMT_NV12)
      return D3DERR_INVALIDCALL;
    *out = new Device(*p);
    return S_OK;
  }
};

class Decoder final : public ComObject<IDirectXVideoDecoder> {
 public:
  Decoder(std::vector<Surface*> targets, UINT bufferSize, UINT bitstreamSize, bool h264)
      : h264_(h264) {
    for (Surface* s : targets) targets_.push_back(Ref<Surface>::Share(s));
    for (UINT type = 0; type < kBufferTypes; ++type)
      buffers_[type].assign(type == DXVA2_BitStreamDateBufferType ? bitstreamSize : bufferSize, 0);
  }

  HRESULT BeginFrame(IDirect3DSurface9* renderTarget, void*) override {
    const bool fail = WithModel([](D3D9ModelAdapter& a, D3D9ModelStats& s) {
      ++s.beginFrameCalls;
      if (a.beginFrameFailures <= 0) return false;
      --a.beginFrameFailures;
      return true;
    });
    if (fail) return E_FAIL;
    Surface* target = AsSurface(renderTarget);
    if (!target || std::none_of(targets_.begin(), targets_.end(), [&](const Ref<Surface>& s) { return s.get() == target; }))
      return E_INVALIDARG;
    open_.push_back(target);
    return S_OK;
  }
  HRESULT EndFrame(HANDLE*) override {
    const bool none = open_.empty();
    WithModel([none](D3D9ModelAdapter&, D3D9ModelStats& s) {
      ++s.endFrameCalls;
      if (none) ++s.endFramesWithoutFrame;
      return 0;
    });
    if (none) return E_FAIL;
    open_.pop_back();
    return S_OK;
  }
  HRESULT GetBuffer(UINT type, void** buffer, UINT* size) override {
    if (!buffer || !size || type >= kBufferTypes || open_.empty() || taken_[type]) return E_INVALIDARG;
    taken_[type] = true;
    *buffer = buffers_[type].data();
    *size = UINT(buffers_[type].size());
    return S_OK;
  }
  HRESULT ReleaseBuffer(UINT type) override {
    if (type >= kBufferTypes || !taken_[type]) return E_INVALIDARG;
    taken_[type] = false;
    return S_OK;
  }
  HRESULT Execute(const DXVA2_DecodeExecuteParams* params) override {
    const bool fail = WithModel([params](D3D9ModelAdapter& a, D3D9ModelStats& s) {
      ++s.executeCalls;
      s.lastExecuteBuffers = params ? params->NumCompBuffers : 0;
      if (a.executeFailures <= 0) return false;
      --a.executeFailures;
      return true;
    });
    if (fail) return E_FAIL;
    if (!params || open_.empty() || (params->NumCompBuffers && !params->pCompressedBuffers)) return E_INVALIDARG;
    if (h264_) return DecodeH264(*params);
    // The pattern byte: the bitstream's first, else the first of any other
    // buffer but the picture parameters (IDCT coefficients, for one).
    int luma = -1, other = -1;
    for (UINT i = 0; i < params->NumCompBuffers; ++i) {
      const DXVA2_DecodeBufferDesc& d = params->pCompressedBuffers[i];
      if (d.CompressedBufferType >= kBufferTypes || taken_[d.CompressedBufferType] ||
          uint64_t(d.DataOffset) + d.DataSize > buffers_[d.CompressedBufferType].size())
        return E_INVALIDARG;
      if (d.DataSize == 0 || d.CompressedBufferType == DXVA2_PictureParametersBufferType) continue;
      const uint8_t first = buffers_[d.CompressedBufferType][d.DataOffset];
      if (d.CompressedBufferType == DXVA2_BitStreamDateBufferType && luma < 0) luma = first;
      if (other < 0) other = first;
    }
    if (luma < 0) luma = other < 0 ? 0x80 : other;
    for (Surface* s : open_) s->FillNv12(uint8_t(luma));
    return S_OK;
  }

 private:
  ~Decoder() override {
    targets_.clear();
    WithModel([](D3D9ModelAdapter&, D3D9ModelStats& s) { return --s.decodersAlive; });
  }

  HRESULT DecodeH264(const DXVA2_DecodeExecuteParams& params) {
    const uint8_t* data[kBufferTypes] = {};
    size_t sizes[kBufferTypes] = {};
    for (UINT i = 0; i < params.NumCompBuffers; ++i) {
      const DXVA2_DecodeBufferDesc& d = params.pCompressedBuffers[i];
      if (d.CompressedBufferType >= kBufferTypes || taken_[d.CompressedBufferType] ||
          uint64_t(d.DataOffset) + d.DataSize > buffers_[d.CompressedBufferType].size())
        return E_INVALIDARG;
      data[d.CompressedBufferType] = buffers_[d.CompressedBufferType].data() + d.DataOffset;
      sizes[d.CompressedBufferType] = d.DataSize;
    }
    const bool decoded = h264Rebuild_.Decode(
        data[DXVA2_PictureParametersBufferType], sizes[DXVA2_PictureParametersBufferType],
        data[DXVA2_InverseQuantizationMatrixBufferType], sizes[DXVA2_InverseQuantizationMatrixBufferType],
        data[DXVA2_BitStreamDateBufferType], sizes[DXVA2_BitStreamDateBufferType], UINT(targets_.size()),
        [this](int surface, const AVFrame* frame) {
          if (surface >= 0 && size_t(surface) < targets_.size()) targets_[surface]->WriteYuv420(frame);
        });
    return decoded ? S_OK : E_FAIL;
  }

  static constexpr UINT kBufferTypes = 9;
  std::vector<Ref<Surface>> targets_;
  bool h264_;
  H264Rebuild h264Rebuild_;
  std::vector<Surface*> open_;
  std::vector<uint8_t> buffers_[kBufferTypes];
  bool taken_[kBufferTypes] = {};
};

template <typename T>
HRESULT CopyOut(const std::vector<T>& items, UINT* count, T** out) {
  if (!count || !out) return E_POINTER;
  *count = 0;
  *out = nullptr;
  if (items.empty()) return S_OK;
  *out = static_cast<T*>(CoTaskMemAlloc(items.size() * sizeof(T)));
  if (!*out) return E_OUTOFMEMORY;
  std::memcpy(static_cast<void*>(*out), items.data(), items.size() * sizeof(T));
  *count = UINT(items.size());
  return S_OK;
}

class DecoderService final : public ComObject<IDirectXVideoDecoderService> {
 public:
  HRESULT QueryInterface(REFIID riid, void** object) override {
    return Answer(riid, object, IID_IDirectXVideoDecoderService);
  }

  HRESULT CreateSurface(UINT width, UINT height, UINT backBuffers, D3DFORMAT format, D3DPOOL pool, DWORD,
                        DWORD dxvaType, IDirect3DSurface9** surfaces, HANDLE* shared) override {
    if (!surfaces || shared || dxvaType > DXVA2_VideoSoftwareRenderTarget || width == 0 || height == 0 ||
        width > kMaxDimension || height > kMaxDimension || !KnownFormat(format))
      return E_INVALIDARG;
    UINT pitch = 0;
    if (uint64_t(backBuffers) + 1 > kMaxSurfaceBytes / FrameBytes(width, height, format, &pitch))
      return E_OUTOFMEMORY;
    for (uint64_t i = 0; i <= backBuffers; ++i)
      surfaces[i] = new Surface(width, height, format, pool, D3DUSAGE_RENDERTARGET, false);
    return S_OK;
  }
  HRESULT GetDecoderDeviceGuids(UINT* count, GUID** guids) override {
    return CopyOut(Adapter().profiles, count, guids);
  }
  HRESULT GetDecoderRenderTargets(REFGUID guid, UINT* count, D3DFORMAT** formats) override {
    const D3D9ModelAdapter a = Adapter();
    if (!Lists(a, guid)) return E_INVALIDARG;
    return CopyOut(a.renderTargetFormats, count, formats);
  }
  HRESULT GetDecoderConfigurations(REFGUID guid, const DXVA2_VideoDesc* desc, void* reserved, UINT* count,
                                   DXVA2_ConfigPictureDecode** configs) override {
    const D3D9ModelAdapter a = Adapter();
    if (!desc || reserved || !Lists(a, guid)) return E_INVALIDARG;
    std::vector<DXVA2_ConfigPictureDecode> list;
    for (UINT raw : a.bitstreamRawConfigs) {
      DXVA2_ConfigPictureDecode c{};
      c.ConfigBitstreamRaw = raw;
      c.ConfigMinRenderTargetBuffCount = 3;
      list.push_back(c);
    }
    return CopyOut(list, count, configs);
  }
  HRESULT CreateVideoDecoder(REFGUID guid, const DXVA2_VideoDesc* desc, const DXVA2_ConfigPictureDecode* config,
                             IDirect3DSurface9** renderTargets, UINT count, IDirectXVideoDecoder** out) override {
    const D3D9ModelAdapter a = Adapter();
    if (!desc || !config || !renderTargets || count == 0 || !out || !Lists(a, guid)) return E_INVALIDARG;
    std::vector<Surface*> targets;
    for (UINT i = 0; i < count; ++i) {
      Surface* s = AsSurface(renderTargets[i]);
      if (!s || s->Desc().Width != desc->SampleWidth || s->Desc().Height != desc->SampleHeight) return E_INVALIDARG;
      targets.push_back(s);
    }
    const HRESULT result = WithModel([&guid](D3D9ModelAdapter& m, D3D9ModelStats& s) {
      if (FAILED(m.createDecoderResult)) return m.createDecoderResult;
      ++s.decodersCreated;
      ++s.decodersAlive;
      s.lastDecoderProfile = guid;
      return S_OK;
    });
    if (FAILED(result)) return result;
    const bool h264 = !a.patternDecoder && (guid == DXVA2_ModeH264_E || guid == DXVA2_ModeH264_F);
    *out = new Decoder(std::move(targets), a.bufferSize, a.bitstreamBufferSize, h264);
    return S_OK;
  }

 private:
  static D3D9ModelAdapter Adapter() { return D3D9ModelCurrent(); }
  static bool Lists(const D3D9ModelAdapter& a, REFGUID guid) {
    return std::find(a.profiles.begin(), a.profiles.end(), guid) != a.profiles.end();
  }
};

class DeviceManager final : public ComObject<IDirect3DDeviceManager9> {
 public:
  explicit DeviceManager(UINT token) : token_(token) {}

  HRESULT ResetDevice(IDirect3DDevice9* device, UINT token) override {
    if (!device || token != token_) return E_INVALIDARG;
    std::lock_guard<std::mutex> hold(lock_);
    device_ = Ref<IDirect3DDevice9>::Share(device);
    return S_OK;
  }
  HRESULT OpenDeviceHandle(HANDLE* handle) override {
    if (!handle) return E_POINTER;
    std::lock_guard<std::mutex> hold(lock_);
    if (!device_) return DXVA2_E_NOT_INITIALIZED;
    const uint64_t generation = WithModel([](D3D9ModelAdapter&, D3D9ModelStats&) { return g_deviceGeneration; });
    handles_.push_back({++lastHandle_, generation});
    *handle = reinterpret_cast<HANDLE>(lastHandle_);
    return S_OK;
  }
  HRESULT CloseDeviceHandle(HANDLE handle) override {
    std::lock_guard<std::mutex> hold(lock_);
    auto it = Find(handle);
    if (it == handles_.end()) return E_HANDLE;
    handles_.erase(it);
    return S_OK;
  }
  HRESULT TestDevice(HANDLE handle) override {
    std::lock_guard<std::mutex> hold(lock_);
    auto it = Find(handle);
    if (it == handles_.end()) return E_HANDLE;
    const uint64_t now = WithModel([](D3D9ModelAdapter&, D3D9ModelStats&) { return g_deviceGeneration; });
    return it->generation == now ? S_OK : DXVA2_E_NEW_VIDEO_DEVICE;
  }
  HRESULT GetVideoService(HANDLE handle, REFIID riid, void** service) override {
    if (!service) return E_POINTER;
    *service = nullptr;
    std::lock_guard<std::mutex> hold(lock_);
    if (Find(handle) == handles_.end()) return E_HANDLE;
    if (riid != IID_IDirectXVideoDecoderService) return E_NOINTERFACE;
    *service = static_cast<IDirectXVideoDecoderService*>(new DecoderService());
    return S_OK;
  }

 private:
  struct Handle {
    uintptr_t id;
    uint64_t generation;
  };
  ~DeviceManager() override = default;
  std::vector<Handle>::iterator Find(HANDLE handle) {
    return std::find_if(handles_.begin(), handles_.end(),
                        [handle](const Handle& h) { return h.id == reinterpret_cast<uintptr_t>(handle); });
  }

  UINT token_;
  std::mutex lock_;
  Ref<IDirect3DDevice9> device_;
  std::vector<Handle> handles_;
  uintptr_t lastHandle_ = 0;
};

std::atomic<UINT> g_nextToken{1};

}  // namespace

IDirect3D9* Direct3DCreate9(UINT sdkVersion) {
  if (sdkVersion != D3D_SDK_VERSION) return nullptr;
  if (WithModel([](D3D9ModelAdapter& a, D3D9ModelStats&) { return a.failDirect3D; })) return nullptr;
  return new Direct3D();
}

HRESULT DXVA2CreateDirect3DDeviceManager9(UINT* resetToken, IDirect3DDeviceManager9** manager) {
  if (!resetToken || !manager) return E_POINTER;
  *resetToken = g_nextToken++;
  *manager = new DeviceManager(*resetToken);
  return S_OK;
}

void D3D9ModelConfigure(const D3D9ModelAdapter& adapter) {
  std::lock_guard<std::mutex> hold(g_lock);
  const int alive = g_stats.decodersAlive;
  g_adapter = adapter;
  g_stats = D3D9ModelStats{};
  g_stats.decodersAlive = alive;
}

D3D9ModelAdapter D3D9ModelCurrent() {
  std::lock_guard<std::mutex> hold(g_lock);
  return g_adapter;
}

D3D9ModelStats D3D9ModelStatistics() {
  std::lock_guard<std::mutex> hold(g_lock);
  return g_stats;
}

void D3D9ModelChangeDevice() {
  std::lock_guard<std::mutex> hold(g_lock);
  ++g_deviceGeneration;
}
