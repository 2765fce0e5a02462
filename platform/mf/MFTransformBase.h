// What the platform's one-in, one-out transforms share: fixed stream
// numbers, one attribute store, one lock with the current types, media
// types built from a subtype and a frame size, and the bytes of a sample
// made contiguous.
#pragma once

#include <mutex>
#include <vector>

#include "pelplat/comobject.h"
#include "MFSampleBytes.h"
#include "pelplat/mfapi.h"
#include "pelplat/mferror.h"

namespace pelplat_mf {

using pelplat::ComObject;
using pelplat::SafeRelease;

class TransformBase : public ComObject<IMFTransform> {
 public:
  TransformBase() { MFCreateAttributes(attributes_.out(), 4); }

  HRESULT QueryInterface(REFIID riid, void** object) override { return Answer(riid, object, IID_IMFTransform); }
  HRESULT GetStreamLimits(DWORD* inMin, DWORD* inMax, DWORD* outMin, DWORD* outMax) override {
    if (!inMin || !inMax || !outMin || !outMax) return E_POINTER;
    *inMin = *inMax = *outMin = *outMax = 1;
    return S_OK;
  }
  HRESULT GetStreamCount(DWORD* inputs, DWORD* outputs) override {
    if (!inputs || !outputs) return E_POINTER;
    *inputs = *outputs = 1;
    return S_OK;
  }
  HRESULT GetStreamIDs(DWORD, DWORD*, DWORD, DWORD*) override { return E_NOTIMPL; }
  // Whole samples of any size: what the decoders take.
  HRESULT GetInputStreamInfo(DWORD stream, MFT_INPUT_STREAM_INFO* info) override {
    if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
    if (!info) return E_POINTER;
    *info = MFT_INPUT_STREAM_INFO{0, MFT_INPUT_STREAM_WHOLE_SAMPLES, 0, 0, 0};
    return S_OK;
  }
  HRESULT GetInputCurrentType(DWORD stream, IMFMediaType** type) override {
    if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
    std::lock_guard<std::mutex> hold(lock_);
    return CurrentType(inputType_.get(), type);
  }
  HRESULT GetOutputCurrentType(DWORD stream, IMFMediaType** type) override {
    if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
    std::lock_guard<std::mutex> hold(lock_);
    return CurrentType(outputType_.get(), type);
  }
  HRESULT GetAttributes(IMFAttributes** attributes) override {
    if (!attributes) return E_POINTER;
    attributes_.copyTo(attributes);
    return attributes_ ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT GetOutputStreamInfo(DWORD stream, MFT_OUTPUT_STREAM_INFO* info) final {
    if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
    if (!info) return E_POINTER;
    std::lock_guard<std::mutex> hold(lock_);
    if (!Configured()) return MF_E_TRANSFORM_TYPE_NOT_SET;
    *info = OutputStreamInfo();
    return S_OK;
  }
  HRESULT ProcessInput(DWORD stream, IMFSample* sample, DWORD) final {
    if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
    if (!sample) return E_POINTER;
    std::lock_guard<std::mutex> hold(lock_);
    if (!Configured()) return MF_E_TRANSFORM_TYPE_NOT_SET;
    return TakeInput(sample);
  }
  // One buffer at a time, its status and events cleared first.
  HRESULT ProcessOutput(DWORD, DWORD count, MFT_OUTPUT_DATA_BUFFER* buffers, DWORD* status) final {
    if (count != 1 || !buffers || !status) return E_INVALIDARG;
    *status = 0;
    buffers[0].dwStatus = 0;
    buffers[0].pEvents = nullptr;
    std::lock_guard<std::mutex> hold(lock_);
    if (!Configured()) return MF_E_TRANSFORM_TYPE_NOT_SET;
    return MakeOutput(buffers, status);
  }

 protected:
  // Whether the transform can take input and make output; under lock_.
  virtual bool Configured() const { return inputType_ && outputType_; }
  // The rest of ProcessInput, ProcessOutput and GetOutputStreamInfo, under
  // lock_ and only when Configured.
  virtual HRESULT TakeInput(IMFSample* sample) = 0;
  virtual MFT_OUTPUT_STREAM_INFO OutputStreamInfo() const = 0;
  virtual HRESULT MakeOutput(MFT_OUTPUT_DATA_BUFFER* buffers, DWORD* status) = 0;

  // Sets one of the current types (`slot`) for SetInputType or
  // SetOutputType: a null type clears it, any other is answered by
  // `check`; unless the call only tests, a type that passes replaces the
  // held one and `taken` follows. All under lock_.
  template <class Check, class Taken>
  HRESULT ChangeType(DWORD stream, IMFMediaType* type, DWORD flags, pelplat::Ref<IMFMediaType>* slot, Check check,
                     Taken taken) {
    if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
    std::lock_guard<std::mutex> hold(lock_);
    if (!type) {
      if (!(flags & MFT_SET_TYPE_TEST_ONLY)) slot->reset();
      return S_OK;
    }
    const HRESULT hr = check(type);
    if (FAILED(hr) || (flags & MFT_SET_TYPE_TEST_ONLY)) return hr;
    *slot = pelplat::Ref<IMFMediaType>::Share(type);
    taken();
    return S_OK;
  }
  ~TransformBase() override = default;

  // A video type of that subtype; a frame size of 0 x 0 is left out.
  static HRESULT NewVideoType(REFGUID subtype, UINT32 width, UINT32 height, IMFMediaType** type) {
    if (!type) return E_POINTER;
    HRESULT hr = MFCreateMediaType(type);
    if (FAILED(hr)) return hr;
    (*type)->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
    (*type)->SetGUID(MF_MT_SUBTYPE, subtype);
    if (width && height) MFSetAttributeSize(*type, MF_MT_FRAME_SIZE, width, height);
    return S_OK;
  }
  static HRESULT CurrentType(IMFMediaType* held, IMFMediaType** type) {
    if (!type) return E_POINTER;
    *type = held;
    if (!held) return MF_E_TRANSFORM_TYPE_NOT_SET;
    held->AddRef();
    return S_OK;
  }
  // The sample's first buffer, when it holds at least `size` bytes.
  static HRESULT OutputBuffer(MFT_OUTPUT_DATA_BUFFER* out, DWORD size, IMFMediaBuffer** buffer) {
    if (!out->pSample) return E_INVALIDARG;
    HRESULT hr = out->pSample->GetBufferByIndex(0, buffer);
    if (FAILED(hr)) return hr;
    DWORD max = 0;
    (*buffer)->GetMaxLength(&max);
    if (max < size) {
      SafeRelease(*buffer);
      return MF_E_BUFFERTOOSMALL;
    }
    return S_OK;
  }

  pelplat::Ref<IMFAttributes> attributes_;
  // The transform's state is under lock_, its current types with it.
  std::mutex lock_;
  pelplat::Ref<IMFMediaType> inputType_;
  pelplat::Ref<IMFMediaType> outputType_;
};

// NV12 with the luma stride equal to the width: a full-width chroma row
// (Cb, Cr pairs) for every two luma rows.
inline DWORD Nv12Size(UINT32 width, UINT32 height) {
  return static_cast<DWORD>(static_cast<uint64_t>(width) * height + static_cast<uint64_t>(width) * ((height + 1) / 2));
}

}  // namespace pelplat_mf
