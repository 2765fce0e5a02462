#include "streams/MFPipelineHelpers.h"

#include "pelplat/objbase.h"

namespace mfpipe {

ScopedMta::ScopedMta() : entered_(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {}

ScopedMta::~ScopedMta() {
  if (entered_) CoUninitialize();
}

HRESULT QueryStreamIds(IMFTransform* transform, DWORD* inputId, DWORD* outputId) {
  DWORD a = 0, b = 0, c = 0, d = 0;
  transform->GetStreamLimits(&a, &b, &c, &d);
  transform->GetStreamCount(&a, &b);
  *inputId = *outputId = 0;
  const HRESULT hr = transform->GetStreamIDs(1, inputId, 1, outputId);
  if (hr == E_NOTIMPL) {
    *inputId = *outputId = 0;
    return S_OK;
  }
  return hr;
}

HRESULT FindAvailableType(IMFTransform* transform, bool output, DWORD stream, REFGUID subtype,
                          IMFMediaType** type) {
  *type = nullptr;
  for (DWORD index = 0;; ++index) {
    IMFMediaType* offered = nullptr;
    HRESULT hr = output ? transform->GetOutputAvailableType(stream, index, &offered)
                        : transform->GetInputAvailableType(stream, index, &offered);
    if (FAILED(hr)) return hr;
    GUID offeredSubtype{};
    hr = offered->GetGUID(MF_MT_SUBTYPE, &offeredSubtype);
    if (FAILED(hr)) {
      offered->Release();
      return hr;
    }
    if (offeredSubtype == subtype) {
      *type = offered;
      return S_OK;
    }
    offered->Release();
  }
}

HRESULT CreateOutputSample(IMFTransform* transform, DWORD stream, IMFSample** sample) {
  *sample = nullptr;
  MFT_OUTPUT_STREAM_INFO info{};
  HRESULT hr = transform->GetOutputStreamInfo(stream, &info);
  if (FAILED(hr) || (info.dwFlags & (MFT_OUTPUT_STREAM_PROVIDES_SAMPLES | MFT_OUTPUT_STREAM_CAN_PROVIDE_SAMPLES)))
    return hr;
  IMFMediaBuffer* buffer = nullptr;
  hr = info.cbAlignment ? MFCreateAlignedMemoryBuffer(info.cbSize, info.cbAlignment - 1, &buffer)
                        : MFCreateMemoryBuffer(info.cbSize, &buffer);
  if (FAILED(hr)) return hr;
  buffer->SetCurrentLength(0);
  hr = MFCreateSample(sample);
  if (SUCCEEDED(hr)) hr = (*sample)->AddBuffer(buffer);
  buffer->Release();
  if (FAILED(hr) && *sample) {
    (*sample)->Release();
    *sample = nullptr;
  }
  return hr;
}

HRESULT ProcessOneOutput(IMFTransform* transform, DWORD stream, IMFSample* sample) {
  MFT_OUTPUT_DATA_BUFFER out{stream, sample, 0, nullptr};
  DWORD status = 0;
  const HRESULT hr = transform->ProcessOutput(0, 1, &out, &status);
  if (out.pEvents) out.pEvents->Release();
  return hr;
}

HRESULT SendMessages(IMFTransform* transform, bool stop, DWORD inputStreamId) {
  if (!stop) {
    transform->ProcessMessage(MFT_MESSAGE_NOTIFY_BEGIN_STREAMING, 0);
    return transform->ProcessMessage(MFT_MESSAGE_NOTIFY_START_OF_STREAM, 0);
  }
  transform->ProcessMessage(MFT_MESSAGE_NOTIFY_END_STREAMING, 0);
  transform->ProcessMessage(MFT_MESSAGE_NOTIFY_END_OF_STREAM, inputStreamId);
  return transform->ProcessMessage(MFT_MESSAGE_COMMAND_DRAIN, 0);
}

}  // namespace mfpipe
