// Calls on Media Foundation transforms that the decoder and the colour
// converter make alike.
#pragma once

#include "pelplat/mfidl.h"

namespace mfpipe {

// Inside the process's multithreaded apartment for the scope: threads of the
// pipeline make COM objects without joining one themselves.
class ScopedMta {
 public:
  ScopedMta();
  ~ScopedMta();
  ScopedMta(const ScopedMta&) = delete;
  ScopedMta& operator=(const ScopedMta&) = delete;

 private:
  bool entered_;
};

// Asks the stream limits and count (answers unused), then the stream ids;
// a transform that does not number its streams (E_NOTIMPL) has ids 0 and 0,
// and the answer is then 0.
HRESULT QueryStreamIds(IMFTransform* transform, DWORD* inputId, DWORD* outputId);

// Walks the available input (or output) types from index 0 to the first
// whose subtype is `subtype`; its result ends the walk otherwise.
HRESULT FindAvailableType(IMFTransform* transform, bool output, DWORD stream, REFGUID subtype,
                          IMFMediaType** type);

// A sample with one buffer of the reported output size, unless the
// transform brings its own samples (then *sample stays null).
HRESULT CreateOutputSample(IMFTransform* transform, DWORD stream, IMFSample** sample);

// ProcessOutput into `sample`; releases any events collection.
HRESULT ProcessOneOutput(IMFTransform* transform, DWORD stream, IMFSample* sample);

// The first buffer's current bytes of a transform's output sample, locked
// for the call of `use`; the buffer's length goes back to 0 afterwards.
template <class Use>
void WithOutputBytes(IMFSample* sample, Use use) {
  IMFMediaBuffer* buffer = nullptr;
  if (!sample || FAILED(sample->GetBufferByIndex(0, &buffer))) return;
  BYTE* data = nullptr;
  DWORD length = 0;
  if (SUCCEEDED(buffer->Lock(&data, nullptr, &length))) {
    if (data) use(data, length);
    buffer->Unlock();
  }
  buffer->SetCurrentLength(0);
  buffer->Release();
}

HRESULT SendMessages(IMFTransform* transform, bool stop, DWORD inputStreamId);

}  // namespace mfpipe
