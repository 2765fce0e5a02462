// Attribute stores, media types, memory buffers and samples.
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "MFAttributeStore.h"
#include "pelplat/mfapi.h"

namespace pelplat_mf {
namespace {

class Attributes : public AttributeStore<IMFAttributes> {
 public:
  HRESULT QueryInterface(REFIID riid, void** object) override { return Answer(riid, object, IID_IMFAttributes); }
};

class MediaType : public AttributeStore<IMFMediaType> {
 public:
  HRESULT QueryInterface(REFIID riid, void** object) override {
    return Answer(riid, object, IID_IMFAttributes, IID_IMFMediaType);
  }
  HRESULT GetMajorType(GUID* major) override { return GetGUID(MF_MT_MAJOR_TYPE, major); }
};

// Bytes of one allocation, the usable part starting at the requested
// alignment.
class MemoryBuffer : public ComObject<IMFMediaBuffer> {
 public:
  MemoryBuffer(DWORD maxLength, DWORD alignment) : maxLength_(maxLength) {
    storage_ = static_cast<BYTE*>(std::malloc(static_cast<size_t>(maxLength) + alignment + 1));
    if (storage_) {
      const uintptr_t at = reinterpret_cast<uintptr_t>(storage_);
      data_ = reinterpret_cast<BYTE*>((at + alignment) & ~static_cast<uintptr_t>(alignment));
    }
  }
  bool Ok() const { return storage_ != nullptr; }

  HRESULT QueryInterface(REFIID riid, void** object) override { return Answer(riid, object, IID_IMFMediaBuffer); }
  HRESULT Lock(BYTE** data, DWORD* maxLength, DWORD* currentLength) override {
    if (!data) return E_POINTER;
    *data = data_;
    std::lock_guard<std::mutex> hold(lock_);
    if (maxLength) *maxLength = maxLength_;
    if (currentLength) *currentLength = currentLength_;
    return S_OK;
  }
  HRESULT Unlock() override { return S_OK; }
  HRESULT GetCurrentLength(DWORD* length) override {
    if (!length) return E_POINTER;
    std::lock_guard<std::mutex> hold(lock_);
    *length = currentLength_;
    return S_OK;
  }
  HRESULT SetCurrentLength(DWORD length) override {
    if (length > maxLength_) return E_INVALIDARG;
    std::lock_guard<std::mutex> hold(lock_);
    currentLength_ = length;
    return S_OK;
  }
  HRESULT GetMaxLength(DWORD* length) override {
    if (!length) return E_POINTER;
    *length = maxLength_;
    return S_OK;
  }

 private:
  ~MemoryBuffer() override { std::free(storage_); }

  const DWORD maxLength_;
  BYTE* storage_ = nullptr;
  BYTE* data_ = nullptr;
  std::mutex lock_;
  DWORD currentLength_ = 0;
};

class Sample : public AttributeStore<IMFSample> {
 public:
  HRESULT QueryInterface(REFIID riid, void** object) override {
    return Answer(riid, object, IID_IMFAttributes, IID_IMFSample);
  }
  HRESULT GetSampleTime(LONGLONG* time) override { return GetTime(time_, timeSet_, MF_E_NO_SAMPLE_TIMESTAMP, time); }
  HRESULT SetSampleTime(LONGLONG time) override { return SetTime(&time_, &timeSet_, time); }
  HRESULT GetSampleDuration(LONGLONG* duration) override {
    return GetTime(duration_, durationSet_, MF_E_NO_SAMPLE_DURATION, duration);
  }
  HRESULT SetSampleDuration(LONGLONG duration) override { return SetTime(&duration_, &durationSet_, duration); }
  HRESULT GetBufferCount(DWORD* count) override {
    if (!count) return E_POINTER;
    std::lock_guard<std::mutex> hold(lock_);
    *count = static_cast<DWORD>(buffers_.size());
    return S_OK;
  }
  HRESULT GetBufferByIndex(DWORD index, IMFMediaBuffer** buffer) override {
    if (!buffer) return E_POINTER;
    std::lock_guard<std::mutex> hold(lock_);
    if (index >= buffers_.size()) return E_INVALIDARG;
    return buffers_[index].copyTo(buffer);
  }
  HRESULT AddBuffer(IMFMediaBuffer* buffer) override {
    if (!buffer) return E_POINTER;
    pelplat::Ref<IMFMediaBuffer> held = pelplat::Ref<IMFMediaBuffer>::Share(buffer);
    std::lock_guard<std::mutex> hold(lock_);
    buffers_.push_back(std::move(held));
    return S_OK;
  }
  HRESULT RemoveAllBuffers() override {
    std::vector<pelplat::Ref<IMFMediaBuffer>> gone;  // released outside the lock
    {
      std::lock_guard<std::mutex> hold(lock_);
      gone.swap(buffers_);
    }
    return S_OK;
  }
  HRESULT GetTotalLength(DWORD* length) override {
    if (!length) return E_POINTER;
    std::lock_guard<std::mutex> hold(lock_);
    DWORD total = 0;
    for (const pelplat::Ref<IMFMediaBuffer>& buffer : buffers_) {
      DWORD one = 0;
      buffer->GetCurrentLength(&one);
      total += one;
    }
    *length = total;
    return S_OK;
  }

 private:
  ~Sample() override { RemoveAllBuffers(); }

  // A time and a duration are each unknown until set.
  HRESULT GetTime(const LONGLONG& field, const bool& set, HRESULT unset, LONGLONG* out) {
    if (!out) return E_POINTER;
    std::lock_guard<std::mutex> hold(lock_);
    if (!set) return unset;
    *out = field;
    return S_OK;
  }
  HRESULT SetTime(LONGLONG* field, bool* set, LONGLONG value) {
    std::lock_guard<std::mutex> hold(lock_);
    *field = value;
    *set = true;
    return S_OK;
  }

  std::mutex lock_;
  std::vector<pelplat::Ref<IMFMediaBuffer>> buffers_;
  LONGLONG time_ = 0;
  LONGLONG duration_ = 0;
  bool timeSet_ = false;
  bool durationSet_ = false;
};

template <class T, class I>
HRESULT Make(I** out) {
  if (!out) return E_POINTER;
  *out = new (std::nothrow) T();
  return *out ? S_OK : E_OUTOFMEMORY;
}

}  // namespace
}  // namespace pelplat_mf

using namespace pelplat_mf;

HRESULT MFCreateAttributes(IMFAttributes** attributes, UINT32) { return Make<Attributes>(attributes); }
HRESULT MFCreateMediaType(IMFMediaType** type) { return Make<MediaType>(type); }
HRESULT MFCreateSample(IMFSample** sample) { return Make<Sample>(sample); }

HRESULT MFCreateAlignedMemoryBuffer(DWORD maxLength, DWORD alignment, IMFMediaBuffer** buffer) {
  if (!buffer) return E_POINTER;
  *buffer = nullptr;
  // The mask must be one less than a power of two.
  if ((alignment & (alignment + 1)) != 0) return E_INVALIDARG;
  MemoryBuffer* made = new (std::nothrow) MemoryBuffer(maxLength, alignment);
  if (!made) return E_OUTOFMEMORY;
  if (!made->Ok()) {
    made->Release();
    return E_OUTOFMEMORY;
  }
  *buffer = made;
  return S_OK;
}

HRESULT MFCreateMemoryBuffer(DWORD maxLength, IMFMediaBuffer** buffer) {
  return MFCreateAlignedMemoryBuffer(maxLength, 0, buffer);
}
