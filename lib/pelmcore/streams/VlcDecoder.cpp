#include "streams/VlcDecoder.h"

#include <cstring>
#include <new>
#include <utility>

#include "pelplat/objbase.h"
#include "streams/AvcByteStream.h"
#include "streams/MFPipelineHelpers.h"
#include "streams/VrSample.h"
#include "sys/ByteReader.h"
#include "sys/klog.h"

const VideoCodecRow VideoCodecTable[] = {
    {PELPLAT_FCC('H', '2', '6', '4'), MFVideoFormat_H264, 0x10},
    {PELPLAT_FCC('h', '2', '6', '4'), MFVideoFormat_H264, 0x10},
    {PELPLAT_FCC('A', 'V', 'C', '1'), MFVideoFormat_H264, 0x10000},
    {PELPLAT_FCC('a', 'v', 'c', '1'), MFVideoFormat_H264, 0x10000},
    {PELPLAT_FCC('W', 'M', 'V', '1'), MFVideoFormat_WMV1, 0x1000},
    {PELPLAT_FCC('W', 'M', 'V', '2'), MFVideoFormat_WMV2, 0x2000},
    {PELPLAT_FCC('W', 'M', 'V', '3'), MFVideoFormat_WMV3, 0x4000},
    {PELPLAT_FCC('W', 'V', 'C', '1'), MFVideoFormat_WVC1, 0x8000},
    {PELPLAT_FCC('j', 'p', 'e', 'g'), MFVideoFormat_MJPG, 0x2},
    {0, MFVideoFormat_Base, 0},
};

namespace {

// Fields of the format record and the data record.
constexpr uint32_t kMediaType = 12;
constexpr uint32_t kCodec = 16;
constexpr uint32_t kWidth = 20;
constexpr uint32_t kHeight = 24;
constexpr uint32_t kCodecDataLength = 60;
constexpr uint32_t kCodecData = 64;
constexpr uint32_t kFirstTime = 56;
constexpr uint32_t kSecondTime = 64;
constexpr uint32_t kPayloadLength = 72;
constexpr uint32_t kPayload = 76;
constexpr uint32_t kNv12 = PELPLAT_FCC('N', 'V', '1', '2');
constexpr uint32_t kRgba = PELPLAT_FCC('R', 'G', 'B', 'A');
constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};
// No decoder transform is listed for the subtype.
constexpr HRESULT kNoDecoder = static_cast<HRESULT>(0xC00D5212);  // MF_E_TOPO_CODEC_NOT_FOUND

uint32_t U32At(const uint8_t* record, uint32_t length, uint32_t at) {
  ByteReader in(record, length);
  in.Skip(at);
  return in.U32();
}

GUID SubtypeOf(uint32_t fourCC) {
  for (const VideoCodecRow* row = VideoCodecTable; row->capability; ++row)
    if (row->fourCC == fourCC) return row->subtype;
  return MFVideoFormat_Base;
}

// Units of 1 to 4 length bytes rewritten behind 00 00 00 01; from a unit
// that runs past the end on, the bytes are kept as they are.
void LengthPrefixedToAnnexB(const uint8_t* bytes, uint32_t length, uint32_t lengthSize, std::vector<uint8_t>* out) {
  uint64_t at = 0;
  while (at + lengthSize <= length) {
    uint32_t unit = 0;
    for (uint32_t i = 0; i < lengthSize; ++i) unit = unit << 8 | bytes[at + i];
    if (unit > length - at - lengthSize) break;
    out->insert(out->end(), kStartCode, kStartCode + 4);
    out->insert(out->end(), bytes + at + lengthSize, bytes + at + lengthSize + unit);
    at += lengthSize + static_cast<uint64_t>(unit);
  }
  out->insert(out->end(), bytes + at, bytes + length);
}

}  // namespace

CVlcDecoder::CVlcDecoder() { recycle_.Reset(new (std::nothrow) CVrRecycleManager()); }

CVlcDecoder::~CVlcDecoder() {
  SetListener(nullptr);
  {
    std::lock_guard<std::mutex> hold(transformLock_);
    if (transform_) transform_->Release();
    if (outputSample_) outputSample_->Release();
    transform_ = nullptr;
    outputSample_ = nullptr;
    ClearParameterSets();
  }
  recycle_.Reset(nullptr);
}

void CVlcDecoder::ClearParameterSets() {
  sps_.clear();
  pps_.clear();
  spsExtension_.clear();
}

int CVlcDecoder::Release() {
  const int left = --refs_;
  if (left == 0) delete this;
  return left;
}

int CVlcDecoder::SetListener(IDecoderDataListener* listener) {
  listener_.Reset(listener);
  return 0;
}

HRESULT CVlcDecoder::SetFormat(const uint8_t* record, uint32_t length) {
  mediaType_ = U32At(record, length, kMediaType);
  if (mediaType_ == 1) return SetVideoFormat(record, length);
  if (mediaType_ == 2) return E_ABORT;  // no audio codec row: no subtype
  return E_NOTIMPL;
}

HRESULT CVlcDecoder::SetVideoFormat(const uint8_t* record, uint32_t length) {
  ByteReader in(record, length);
  in.Skip(kMediaType);
  const uint32_t mediaType = in.U32();
  const uint32_t fourCC = in.U32();
  const int32_t width = in.I32();
  const int32_t height = in.I32();
  in.Skip(kCodecDataLength - kHeight - 4);
  const uint32_t codecLength = in.U32();
  const uint8_t* codec = in.Take(codecLength);
  if (!in.Ok()) return E_INVALIDARG;
  if (mediaType != 1) return E_NOTIMPL;
  const GUID subtype = SubtypeOf(fourCC);
  if (subtype == MFVideoFormat_Base) return E_ABORT;

  mfpipe::ScopedMta apartment;
  IMFTransform* transform = nullptr;
  const MFT_REGISTER_TYPE_INFO input{MFMediaType_Video, subtype};
  IMFActivate** activates = nullptr;
  UINT32 count = 0;
  if (SUCCEEDED(MFTEnumEx(MFT_CATEGORY_VIDEO_DECODER,
                          MFT_ENUM_FLAG_SYNCMFT | MFT_ENUM_FLAG_LOCALMFT | MFT_ENUM_FLAG_SORTANDFILTER, &input,
                          nullptr, &activates, &count)) &&
      count > 0)
    activates[0]->ActivateObject(IID_IMFTransform, reinterpret_cast<void**>(&transform));
  for (UINT32 i = 0; i < count; ++i) activates[i]->Release();
  CoTaskMemFree(activates);
  if (!transform) return kNoDecoder;

  codecData_.assign(codec, codec + codecLength);
  if (subtype == MFVideoFormat_H264 && !codecData_.empty()) {
    lengthPrefixed_ = codecLength >= 7 && codec[0] != 0 && codec[1] != 0;
    if (lengthPrefixed_) {
      codecData_ = avc::AvcConfigToAnnexB(codec, codecLength, &nalLengthSize_);
      avc::ParameterSets sets;
      if (!codecData_.empty() && nalLengthSize_ != 0 &&
          avc::FindAnnexBParameterSets(codecData_.data(), static_cast<uint32_t>(codecData_.size()), &sets)) {
        std::lock_guard<std::mutex> hold(transformLock_);
        sps_ = sets.sps;
        pps_ = sets.pps;
        spsExtension_ = sets.spsExtension;
        parameterSetsPending_ = !sps_.empty() && !pps_.empty();
      }
    }
  }

  const HRESULT ids = mfpipe::QueryStreamIds(transform, &inputStreamId_, &outputStreamId_);
  width_ = width;
  height_ = height;
  HRESULT inputResult = SetVideoInputType(subtype, transform, codecData_);
  const HRESULT outputResult = SetVideoOutputType(transform);
  if (inputResult == MF_E_TRANSFORM_TYPE_NOT_SET) inputResult = SetVideoInputType(subtype, transform, codecData_);

  IMFSample* sample = nullptr;
  if (FAILED(inputResult) && FAILED(outputResult)) {
    width_ = height_ = 0;
    transform->Release();
    transform = nullptr;
  } else {
    if (subtype == MFVideoFormat_H264) {
      IMFAttributes* attributes = nullptr;
      if (SUCCEEDED(transform->GetAttributes(&attributes)) && attributes) {
        attributes->SetUINT32(MF_LOW_LATENCY, 1);
        attributes->SetUINT32(CODECAPI_AVDecVideoAcceleration_H264, 1);
        attributes->SetUINT32(MF_MT_INTERLACE_MODE, MFVideoInterlace_MixedInterlaceOrProgressive);
        attributes->Release();
      }
    }
    mfpipe::CreateOutputSample(transform, outputStreamId_, &sample);
  }
  // The old pair is released on the way out with no lock held, the sample
  // first.
  pelplat::Ref<IMFTransform> oldTransform;
  pelplat::Ref<IMFSample> oldSample;
  {
    std::lock_guard<std::mutex> hold(transformLock_);
    oldTransform = pelplat::Ref<IMFTransform>(std::exchange(transform_, transform));
    oldSample = pelplat::Ref<IMFSample>(std::exchange(outputSample_, sample));
  }
  return ids;
}

HRESULT CVlcDecoder::SetVideoInputType(REFGUID subtype, IMFTransform* transform,
                                       const std::vector<uint8_t>& codecData) {
  if (!transform) return E_INVALIDARG;
  IMFMediaType* type = nullptr;
  HRESULT hr = mfpipe::FindAvailableType(transform, false, inputStreamId_, subtype, &type);
  if (FAILED(hr)) return hr;
  hr = MFSetAttributeSize(type, MF_MT_FRAME_SIZE, static_cast<UINT32>(width_), static_cast<UINT32>(height_));
  UINT32 existing = 0;
  if (SUCCEEDED(hr) && !codecData.empty() && type->GetBlobSize(MF_MT_USER_DATA, &existing) == MF_E_ATTRIBUTENOTFOUND)
    hr = type->SetBlob(MF_MT_USER_DATA, codecData.data(), static_cast<UINT32>(codecData.size()));
  if (SUCCEEDED(hr)) hr = transform->SetInputType(inputStreamId_, type, 0);
  type->Release();
  return hr;
}

HRESULT CVlcDecoder::SetVideoOutputType(IMFTransform* transform) {
  int rgbIndex = -1, nv12Index = -1;
  HRESULT hr = S_OK;
  for (DWORD index = 0;; ++index) {
    IMFMediaType* type = nullptr;
    hr = transform->GetOutputAvailableType(outputStreamId_, index, &type);
    if (FAILED(hr)) break;
    GUID subtype{};
    hr = type->GetGUID(MF_MT_SUBTYPE, &subtype);
    type->Release();
    if (FAILED(hr)) break;
    if (subtype == MFVideoFormat_RGB32) rgbIndex = static_cast<int>(index);
    if (subtype == MFVideoFormat_NV12) nv12Index = static_cast<int>(index);
  }
  if (rgbIndex < 0 && nv12Index < 0) return hr;
  const bool rgb = rgbIndex >= 0;
  IMFMediaType* chosen = nullptr;
  hr = transform->GetOutputAvailableType(outputStreamId_, static_cast<DWORD>(rgb ? rgbIndex : nv12Index), &chosen);
  if (FAILED(hr)) return hr;
  UINT32 width = 0, height = 0;
  if (FAILED(MFGetAttributeSize(chosen, MF_MT_FRAME_SIZE, &width, &height))) width = height = 0;
  hr = transform->SetOutputType(outputStreamId_, chosen, 0);
  chosen->Release();
  width_ = static_cast<int>(width);
  height_ = static_cast<int>(height);
  outputBits_ = rgb ? 32 : 12;
  outputFourCC_ = rgb ? kRgba : kNv12;
  listener_.WhileHeld([&](IDecoderDataListener* listener) {
    listener->SetVideoOutputFormat(rgb ? MFVideoFormat_RGB32 : MFVideoFormat_NV12, width_, height_);
  });
  return hr;
}

HRESULT CVlcDecoder::CreateInputSample(IMFTransform* transform, uint32_t size, IMFSample** sample) {
  *sample = nullptr;
  MFT_INPUT_STREAM_INFO info{};
  HRESULT hr = transform->GetInputStreamInfo(inputStreamId_, &info);
  if (FAILED(hr)) return hr;
  IMFMediaBuffer* buffer = nullptr;
  hr = MFCreateMemoryBuffer(size > info.cbSize ? size : info.cbSize, &buffer);
  if (FAILED(hr)) return hr;
  hr = MFCreateSample(sample);
  if (SUCCEEDED(hr)) hr = (*sample)->AddBuffer(buffer);
  buffer->Release();
  if (FAILED(hr) && *sample) {
    (*sample)->Release();
    *sample = nullptr;
  }
  return hr;
}

IMFTransform* CVlcDecoder::TakeTransform() {
  std::lock_guard<std::mutex> hold(transformLock_);
  if (transform_) transform_->AddRef();
  return transform_;
}

bool CVlcDecoder::HasTransform() {
  std::lock_guard<std::mutex> hold(transformLock_);
  return transform_ != nullptr;
}

HRESULT CVlcDecoder::ProcessInput(const uint8_t* record, uint32_t length) {
  ByteReader in(record, length);
  in.Skip(kMediaType);
  const uint32_t mediaType = in.U32();
  in.Skip(kFirstTime - kMediaType - 4);
  const int64_t firstTime = static_cast<int64_t>(in.U64());
  const int64_t secondTime = static_cast<int64_t>(in.U64());
  const uint32_t payloadLength = in.U32();
  const uint8_t* payload = in.Take(payloadLength);
  // The payload must lie inside the record.
  if (!in.Ok() || mediaType != mediaType_) return E_INVALIDARG;
  IMFTransform* transform = TakeTransform();
  if (!transform) return E_POINTER;
  if (payloadLength == 0) {
    transform->Release();
    return E_INVALIDARG;
  }
  if (ProcessOutput(transform) != 0) {
    transform->Release();
    return 0;
  }
  std::vector<uint8_t> bytes;
  bytes.reserve(payloadLength + 64);
  {
    std::lock_guard<std::mutex> hold(transformLock_);
    if (lengthPrefixed_ && parameterSetsPending_) {
      bytes.insert(bytes.end(), kStartCode, kStartCode + 4);
      bytes.insert(bytes.end(), sps_.begin(), sps_.end());
      bytes.insert(bytes.end(), kStartCode, kStartCode + 4);
      bytes.insert(bytes.end(), pps_.begin(), pps_.end());
      parameterSetsPending_ = false;
    }
  }
  if (!lengthPrefixed_) {
    bytes.insert(bytes.end(), payload, payload + payloadLength);
  } else if (nalLengthSize_ == 4) {
    const size_t at = bytes.size();
    bytes.insert(bytes.end(), payload, payload + payloadLength);
    avc::AvcToAnnexB(bytes.data() + at, payloadLength, 4);
  } else {
    LengthPrefixedToAnnexB(payload, payloadLength, nalLengthSize_, &bytes);
  }
  IMFSample* sample = nullptr;
  HRESULT hr = CreateInputSample(transform, static_cast<uint32_t>(bytes.size()), &sample);
  IMFMediaBuffer* buffer = nullptr;
  if (SUCCEEDED(hr)) hr = sample->GetBufferByIndex(0, &buffer);
  BYTE* data = nullptr;
  if (SUCCEEDED(hr)) hr = buffer->Lock(&data, nullptr, nullptr);
  if (SUCCEEDED(hr)) {
    std::memcpy(data, bytes.data(), bytes.size());
    buffer->Unlock();
    buffer->SetCurrentLength(static_cast<DWORD>(bytes.size()));
    const int64_t time = secondTime > 0 ? secondTime : (firstTime != 0 ? firstTime : secondTime);
    sample->SetSampleTime(time * 10);
    lastInputTime_ = time * 10;
    {
      std::lock_guard<std::mutex> hold(lastInputLock_);
      lastInput_ = bytes;
    }
    hr = transform->ProcessInput(inputStreamId_, sample, 0);
  }
  if (buffer) buffer->Release();
  if (sample) sample->Release();
  transform->Release();
  return hr;
}

std::vector<uint8_t> CVlcDecoder::LastInput() {
  std::lock_guard<std::mutex> hold(lastInputLock_);
  return lastInput_;
}

HRESULT CVlcDecoder::ProcessOutput(IMFTransform* transform) {
  for (int changes = 0;;) {
    IMFSample* output;
    {
      std::lock_guard<std::mutex> hold(transformLock_);
      output = outputSample_;
      if (output) output->AddRef();
    }
    HRESULT hr = mfpipe::ProcessOneOutput(transform, outputStreamId_, output);
    if (hr == S_OK && output) DeliverOutput(output);
    if (output) output->Release();
    if (hr == S_OK || hr == MF_E_TRANSFORM_NEED_MORE_INPUT) return 0;
    if (hr != MF_E_TRANSFORM_STREAM_CHANGE && hr != MF_E_TRANSFORM_TYPE_NOT_SET) return hr;
    // A transform that keeps asking for a new type must not hold the input
    // thread for ever.
    if (++changes > kMaxRenegotiations) {
      LogMessageA("CVlcDecoder::ProcessOutput: format changes without end (0x%x)\n", static_cast<uint32_t>(hr));
      return hr;
    }
    hr = SetVideoOutputType(transform);
    IMFSample* fresh = nullptr;
    if (SUCCEEDED(hr)) hr = mfpipe::CreateOutputSample(transform, outputStreamId_, &fresh);
    IMFSample* old;
    {
      std::lock_guard<std::mutex> hold(transformLock_);
      old = outputSample_;
      outputSample_ = fresh;
    }
    if (old) old->Release();
    if (FAILED(hr)) return hr;
    if (!fresh) return hr;
  }
}

void CVlcDecoder::DeliverOutput(IMFSample* output) {
  LONGLONG time = 0;
  output->GetSampleTime(&time);
  CVrVideoSample* copy = nullptr;
  mfpipe::WithOutputBytes(output, [&](const BYTE* data, DWORD length) {
    const pelplat::Ref<CVrRecycleManager> manager = recycle_.Share();
    copy = manager ? manager->CopySample(data, length, width_, height_, outputBits_, outputFourCC_)
                   : new (std::nothrow) CVrVideoSample(data, length, width_, height_, outputBits_, outputFourCC_);
  });
  if (!copy) return;
  copy->SetTime(time / 10);
  if (const pelplat::Ref<IDecoderDataListener> listener = listener_.Share()) listener->OnDecodedSample(copy);
  copy->Release();
}

HRESULT CVlcDecoder::Start() {
  IMFTransform* transform = TakeTransform();
  if (!transform) return E_ABORT;
  const HRESULT hr = mfpipe::SendMessages(transform, false, inputStreamId_);
  transform->Release();
  return hr;
}

HRESULT CVlcDecoder::Stop() {
  IMFTransform* transform = TakeTransform();
  if (!transform) return E_ABORT;
  const HRESULT hr = mfpipe::SendMessages(transform, true, inputStreamId_);
  transform->Release();
  return hr;
}

int CVlcDecoder::Shutdown() {
  SetListener(nullptr);
  recycle_.Reset(nullptr);
  return 0;
}

uint32_t CVlcDecoder::EnumerateVideoCodecs() {
  mfpipe::ScopedMta apartment;
  uint32_t mask = 0;
  for (const VideoCodecRow* row = VideoCodecTable; row->capability; ++row) {
    MFT_REGISTER_TYPE_INFO input{MFMediaType_Video, row->subtype};
    CLSID* classes = nullptr;
    UINT32 count = 0;
    if (SUCCEEDED(MFTEnum(MFT_CATEGORY_VIDEO_DECODER, 0, &input, nullptr, nullptr, &classes, &count)) && count > 0) {
      IMFTransform* made = nullptr;
      if (SUCCEEDED(CoCreateInstance(classes[0], nullptr, CLSCTX_INPROC_SERVER, IID_IMFTransform,
                                     reinterpret_cast<void**>(&made))) &&
          made) {
        made->Release();
        mask |= row->capability;
      }
    }
    CoTaskMemFree(classes);
  }
  LogMessageA("** VIDEO [0x%x]\n", mask);
  return mask;
}

uint32_t CVlcDecoder::EnumerateAudioCodecs() {
  LogMessageA("** AUDIO [0x%x]\n", 0u);
  return 0;
}
