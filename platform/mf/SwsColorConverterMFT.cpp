// The colour converter transform over libswscale: NV12 in, RGB32 (bytes B,
// G, R, 255) out, BT.601 studio range, one picture held at a time.
extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <mutex>
#include <new>

#include "ChromaPairs.h"
#include "MFBuiltins.h"
#include "MFTransformBase.h"

namespace pelplat_mf {
namespace {

constexpr UINT32 kMaxDimension = 16384;

class SwsColorConverter : public TransformBase {
 public:
  HRESULT GetInputStreamInfo(DWORD stream, MFT_INPUT_STREAM_INFO* info) override {
    if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
    if (!info) return E_POINTER;
    std::lock_guard<std::mutex> hold(lock_);
    *info = MFT_INPUT_STREAM_INFO{0, MFT_INPUT_STREAM_WHOLE_SAMPLES, Nv12Size(width_, height_), 0, 0};
    return S_OK;
  }
  HRESULT GetInputAvailableType(DWORD stream, DWORD index, IMFMediaType** type) override {
    if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
    if (index > 0) return MF_E_NO_MORE_TYPES;
    std::lock_guard<std::mutex> hold(lock_);
    return NewVideoType(MFVideoFormat_NV12, width_, height_, type);
  }
  HRESULT GetOutputAvailableType(DWORD stream, DWORD index, IMFMediaType** type) override {
    if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
    if (index > 0) return MF_E_NO_MORE_TYPES;
    std::lock_guard<std::mutex> hold(lock_);
    return NewVideoType(MFVideoFormat_RGB32, width_, height_, type);
  }
  HRESULT SetInputType(DWORD stream, IMFMediaType* type, DWORD flags) override {
    return SetType(stream, type, flags, MFVideoFormat_NV12, &inputType_);
  }
  HRESULT SetOutputType(DWORD stream, IMFMediaType* type, DWORD flags) override {
    return SetType(stream, type, flags, MFVideoFormat_RGB32, &outputType_);
  }
  HRESULT ProcessMessage(MFT_MESSAGE_TYPE message, ULONG_PTR) override {
    if (message == MFT_MESSAGE_COMMAND_FLUSH) {
      std::lock_guard<std::mutex> hold(lock_);
      held_.reset();
    }
    return S_OK;
  }

 protected:
  MFT_OUTPUT_STREAM_INFO OutputStreamInfo() const override {
    return MFT_OUTPUT_STREAM_INFO{MFT_OUTPUT_STREAM_WHOLE_SAMPLES | MFT_OUTPUT_STREAM_FIXED_SAMPLE_SIZE, RgbSize(), 16};
  }
  HRESULT TakeInput(IMFSample* sample) override {
    if (held_) return MF_E_NOTACCEPTING;
    DWORD length = 0;
    if (FAILED(sample->GetTotalLength(&length)) || length < Nv12Size(width_, height_)) return E_INVALIDARG;
    held_ = pelplat::Ref<IMFSample>::Share(sample);
    return S_OK;
  }
  HRESULT MakeOutput(MFT_OUTPUT_DATA_BUFFER* buffers, DWORD*) override {
    if (!held_) return MF_E_TRANSFORM_NEED_MORE_INPUT;
    pelplat::Ref<IMFMediaBuffer> buffer;
    HRESULT hr = OutputBuffer(&buffers[0], RgbSize(), buffer.out());
    if (FAILED(hr)) return hr;
    LONGLONG time = 0;
    const bool timed = SUCCEEDED(held_->GetSampleTime(&time));
    // A picture in one buffer is read where it lies; others are joined.
    DWORD held = 0;
    pelplat::Ref<IMFMediaBuffer> single;
    const BYTE* picture = nullptr;
    DWORD length = 0;
    BYTE* in = nullptr;
    if (SUCCEEDED(held_->GetBufferCount(&held)) && held == 1 && SUCCEEDED(held_->GetBufferByIndex(0, single.out())) &&
        SUCCEEDED(single->Lock(&in, nullptr, &length))) {
      picture = in;
    } else if (SampleBytes(held_.get(), &bytes_)) {
      picture = bytes_.data();
      length = static_cast<DWORD>(bytes_.size());
    }
    hr = picture ? S_OK : E_FAIL;
    BYTE* out = nullptr;
    if (SUCCEEDED(hr)) hr = buffer->Lock(&out, nullptr, nullptr);
    if (SUCCEEDED(hr)) {
      hr = Convert(picture, length, out) ? S_OK : E_FAIL;
      buffer->Unlock();
      buffer->SetCurrentLength(SUCCEEDED(hr) ? RgbSize() : 0);
    }
    if (in) single->Unlock();
    held_.reset();
    if (SUCCEEDED(hr) && timed) buffers[0].pSample->SetSampleTime(time);
    return hr;
  }

 private:
  ~SwsColorConverter() override {
    sws_freeContext(scaler_);
  }

  DWORD RgbSize() const { return static_cast<DWORD>(static_cast<uint64_t>(width_) * height_ * 4); }

  // Both types carry the same frame size; NV12 rows need an even width.
  HRESULT SetType(DWORD stream, IMFMediaType* type, DWORD flags, REFGUID wanted, pelplat::Ref<IMFMediaType>* slot) {
    UINT32 width = 0, height = 0;
    const auto check = [&](IMFMediaType* t) -> HRESULT {
      GUID subtype{};
      if (FAILED(t->GetGUID(MF_MT_SUBTYPE, &subtype)) || subtype != wanted ||
          FAILED(MFGetAttributeSize(t, MF_MT_FRAME_SIZE, &width, &height)) || width == 0 || height == 0 ||
          width > kMaxDimension || height > kMaxDimension || (width & 1))
        return MF_E_INVALIDMEDIATYPE;
      const pelplat::Ref<IMFMediaType>& other = slot == &inputType_ ? outputType_ : inputType_;
      if (other && (width != width_ || height != height_)) return MF_E_INVALIDMEDIATYPE;
      return S_OK;
    };
    return ChangeType(stream, type, flags, slot, check, [&] {
      width_ = width;
      height_ = height;
    });
  }

  bool Convert(const BYTE* picture, DWORD length, BYTE* out) {
    const int w = static_cast<int>(width_), h = static_cast<int>(height_);
    // libswscale converts planar 4:2:0 on its fast path (chroma repeated,
    // not interpolated), several times faster than from NV12: the chroma
    // pairs are split into planes first.
    scaler_ = sws_getCachedContext(scaler_, w, h, AV_PIX_FMT_YUV420P, w, h, AV_PIX_FMT_BGRA, SWS_BILINEAR, nullptr,
                                   nullptr, nullptr);
    if (!scaler_ || length < Nv12Size(width_, height_)) return false;
    const size_t half = static_cast<size_t>(w / 2), rows = (static_cast<size_t>(h) + 1) / 2;
    chroma_.resize(2 * half * rows);
    SplitChromaPairs(picture + static_cast<size_t>(w) * h, chroma_.data(), chroma_.data() + half * rows,
                     half * rows);
    const uint8_t* planes[4] = {picture, chroma_.data(), chroma_.data() + half * rows, nullptr};
    const int strides[4] = {w, static_cast<int>(half), static_cast<int>(half), 0};
    uint8_t* outPlanes[4] = {out, nullptr, nullptr, nullptr};
    int outStrides[4] = {4 * w, 0, 0, 0};
    return sws_scale(scaler_, planes, strides, 0, h, outPlanes, outStrides) == h;
  }

  pelplat::Ref<IMFSample> held_;
  UINT32 width_ = 0, height_ = 0;
  SwsContext* scaler_ = nullptr;
  std::vector<BYTE> bytes_;
  std::vector<BYTE> chroma_;
};

}  // namespace

IUnknown* NewSwsColorConverter() { return new (std::nothrow) SwsColorConverter(); }

}  // namespace pelplat_mf
