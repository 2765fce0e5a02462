// The bytes of a sample's buffers, one after the other.
#pragma once

#include <vector>

#include "pelplat/mfobjects.h"

namespace pelplat_mf {

inline bool SampleBytes(IMFSample* sample, std::vector<BYTE>* bytes) {
  DWORD count = 0;
  if (!sample || FAILED(sample->GetBufferCount(&count))) return false;
  bytes->clear();
  for (DWORD i = 0; i < count; ++i) {
    IMFMediaBuffer* buffer = nullptr;
    if (FAILED(sample->GetBufferByIndex(i, &buffer))) return false;
    BYTE* data = nullptr;
    DWORD length = 0;
    if (SUCCEEDED(buffer->Lock(&data, nullptr, &length))) {
      bytes->insert(bytes->end(), data, data + length);
      buffer->Unlock();
    }
    buffer->Release();
  }
  return true;
}

}  // namespace pelplat_mf
