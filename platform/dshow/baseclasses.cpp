// The DirectShow base classes: reference counting, media types, samples,
// the memory allocator, the filter and pin bases.
#include <algorithm>
#include <cstring>

#include "pelplat/comobject.h"
#include "pelplat/dshowbase.h"

// ---- CUnknown ------------------------------------------------------------------
CUnknown::CUnknown(const char*, IUnknown* outer) {
  face_.self = this;
  owner_ = outer ? outer : &face_;
}

HRESULT CUnknown::NonDelegatingQueryInterface(REFIID riid, void** object) {
  return pelplat::AnswerAs(&face_, riid, object);
}

ULONG CUnknown::NonDelegatingAddRef() { return static_cast<ULONG>(++m_cRef); }

ULONG CUnknown::NonDelegatingRelease() {
  const LONG left = --m_cRef;
  if (left == 0) {
    // Objects that call out during destruction must not die twice.
    m_cRef = 1;
    delete this;
  }
  return static_cast<ULONG>(std::max<LONG>(left, 0));
}

HRESULT GetInterface(IUnknown* unknown, void** object) { return pelplat::Hand(unknown, object); }

// ---- media types ---------------------------------------------------------------
void FreeMediaType(AM_MEDIA_TYPE& type) {
  if (type.cbFormat != 0 || type.pbFormat) CoTaskMemFree(type.pbFormat);
  type.cbFormat = 0;
  type.pbFormat = nullptr;
  if (type.pUnk) {
    type.pUnk->Release();
    type.pUnk = nullptr;
  }
}

void DeleteMediaType(AM_MEDIA_TYPE* type) {
  if (!type) return;
  FreeMediaType(*type);
  CoTaskMemFree(type);
}

HRESULT CopyMediaType(AM_MEDIA_TYPE* target, const AM_MEDIA_TYPE* source) {
  *target = *source;
  target->pbFormat = nullptr;
  if (source->cbFormat != 0 && source->pbFormat) {
    target->pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(source->cbFormat));
    if (!target->pbFormat) {
      target->cbFormat = 0;
      target->pUnk = nullptr;
      return E_OUTOFMEMORY;
    }
    memcpy(target->pbFormat, source->pbFormat, source->cbFormat);
  } else {
    target->cbFormat = 0;
  }
  if (target->pUnk) target->pUnk->AddRef();
  return S_OK;
}

AM_MEDIA_TYPE* CreateMediaType(const AM_MEDIA_TYPE* source) {
  auto* type = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
  if (!type) return nullptr;
  if (FAILED(CopyMediaType(type, source))) {
    CoTaskMemFree(type);
    return nullptr;
  }
  return type;
}

HRESULT CreateAudioMediaType(const WAVEFORMATEX* format, AM_MEDIA_TYPE* type, BOOL setFormat) {
  if (!format || !type) return E_POINTER;
  memset(type, 0, sizeof(*type));
  type->majortype = MEDIATYPE_Audio;
  type->subtype = FourccSubtype(format->wFormatTag);
  type->formattype = FORMAT_WaveFormatEx;
  type->bFixedSizeSamples = TRUE;
  type->lSampleSize = format->nBlockAlign;
  if (setFormat) {
    const ULONG length = sizeof(WAVEFORMATEX) + (format->wFormatTag == 1 ? 0 : format->cbSize);
    type->pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(length));
    if (!type->pbFormat) return E_OUTOFMEMORY;
    memcpy(type->pbFormat, format, length);
    if (format->wFormatTag == 1) reinterpret_cast<WAVEFORMATEX*>(type->pbFormat)->cbSize = 0;
    type->cbFormat = length;
  }
  return S_OK;
}

CMediaType::CMediaType() { InitMediaType(); }
CMediaType::CMediaType(const CMediaType& other) : CMediaType() { Set(other); }
CMediaType::CMediaType(const AM_MEDIA_TYPE& other) : CMediaType() { Set(other); }
CMediaType::~CMediaType() { FreeMediaType(*this); }

CMediaType& CMediaType::operator=(const CMediaType& other) {
  if (this != &other) Set(other);
  return *this;
}
CMediaType& CMediaType::operator=(const AM_MEDIA_TYPE& other) {
  if (static_cast<AM_MEDIA_TYPE*>(this) != &other) Set(other);
  return *this;
}

bool CMediaType::operator==(const CMediaType& other) const {
  return majortype == other.majortype && subtype == other.subtype &&
         formattype == other.formattype && cbFormat == other.cbFormat &&
         (cbFormat == 0 || memcmp(pbFormat, other.pbFormat, cbFormat) == 0);
}

HRESULT CMediaType::Set(const AM_MEDIA_TYPE& other) {
  if (&other == static_cast<AM_MEDIA_TYPE*>(this)) return S_OK;
  FreeMediaType(*this);
  const HRESULT hr = CopyMediaType(this, &other);
  if (FAILED(hr)) InitMediaType();
  return hr;
}

void CMediaType::SetSampleSize(ULONG size) {
  if (size == 0) {
    SetVariableSize();
  } else {
    bFixedSizeSamples = TRUE;
    lSampleSize = size;
  }
}

BYTE* CMediaType::AllocFormatBuffer(ULONG length) {
  if (length == 0) return nullptr;
  if (cbFormat == length) return pbFormat;
  auto* block = static_cast<BYTE*>(CoTaskMemAlloc(length));
  if (!block) return nullptr;
  CoTaskMemFree(pbFormat);
  pbFormat = block;
  cbFormat = length;
  return block;
}

BOOL CMediaType::SetFormat(const BYTE* format, ULONG length) {
  if (length == 0) {
    ResetFormatBuffer();
    return TRUE;
  }
  if (!AllocFormatBuffer(length)) return FALSE;
  memcpy(pbFormat, format, length);
  return TRUE;
}

void CMediaType::ResetFormatBuffer() {
  CoTaskMemFree(pbFormat);
  pbFormat = nullptr;
  cbFormat = 0;
}

void CMediaType::InitMediaType() {
  memset(static_cast<AM_MEDIA_TYPE*>(this), 0, sizeof(AM_MEDIA_TYPE));
  lSampleSize = 1;
  bFixedSizeSamples = TRUE;
}

// ---- CMediaSample ----------------------------------------------------------------
CMediaSample::CMediaSample(CBaseAllocator* allocator, BYTE* buffer, LONG length)
    : allocator_(allocator), pBuffer_(buffer), cbBuffer_(length) {}

CMediaSample::~CMediaSample() { DeleteMediaType(mediaType_); }

HRESULT CMediaSample::QueryInterface(REFIID riid, void** object) {
  return pelplat::AnswerAs(static_cast<IMediaSample2*>(this), riid, object, IID_IMediaSample, IID_IMediaSample2);
}

ULONG CMediaSample::AddRef() { return static_cast<ULONG>(++cRef_); }

ULONG CMediaSample::Release() {
  const LONG left = --cRef_;
  if (left == 0) allocator_->ReleaseBuffer(this);
  return static_cast<ULONG>(left);
}

void CMediaSample::ResetProperties() {
  lActual_ = 0;
  dwFlags_ = 0;
  dwTypeSpecificFlags_ = 0;
  dwStreamId_ = 0;
  start_ = end_ = 0;
  DeleteMediaType(mediaType_);
  mediaType_ = nullptr;
}

HRESULT CMediaSample::GetPointer(BYTE** buffer) {
  if (!buffer) return E_POINTER;
  *buffer = pBuffer_;
  return S_OK;
}

HRESULT CMediaSample::GetTime(REFERENCE_TIME* start, REFERENCE_TIME* stop) {
  if (!(dwFlags_ & AM_SAMPLE_TIMEVALID)) return VFW_E_SAMPLE_TIME_NOT_SET;
  if (start) *start = start_;
  if (stop) *stop = (dwFlags_ & AM_SAMPLE_STOPVALID) ? end_ : start_ + 1;
  return (dwFlags_ & AM_SAMPLE_STOPVALID) ? S_OK : VFW_S_NO_STOP_TIME;
}

HRESULT CMediaSample::SetTime(REFERENCE_TIME* start, REFERENCE_TIME* stop) {
  if (!start) {
    dwFlags_ &= ~(AM_SAMPLE_TIMEVALID | AM_SAMPLE_STOPVALID);
    return S_OK;
  }
  start_ = *start;
  dwFlags_ |= AM_SAMPLE_TIMEVALID;
  if (stop) {
    end_ = *stop;
    dwFlags_ |= AM_SAMPLE_STOPVALID;
  } else {
    dwFlags_ &= ~AM_SAMPLE_STOPVALID;
  }
  return S_OK;
}

HRESULT CMediaSample::IsSyncPoint() { return (dwFlags_ & AM_SAMPLE_SPLICEPOINT) ? S_OK : S_FALSE; }
HRESULT CMediaSample::SetSyncPoint(BOOL sync) {
  dwFlags_ = sync ? (dwFlags_ | AM_SAMPLE_SPLICEPOINT) : (dwFlags_ & ~AM_SAMPLE_SPLICEPOINT);
  return S_OK;
}
HRESULT CMediaSample::IsPreroll() { return (dwFlags_ & AM_SAMPLE_PREROLL) ? S_OK : S_FALSE; }
HRESULT CMediaSample::SetPreroll(BOOL preroll) {
  dwFlags_ = preroll ? (dwFlags_ | AM_SAMPLE_PREROLL) : (dwFlags_ & ~AM_SAMPLE_PREROLL);
  return S_OK;
}
HRESULT CMediaSample::IsDiscontinuity() {
  return (dwFlags_ & AM_SAMPLE_DATADISCONTINUITY) ? S_OK : S_FALSE;
}
HRESULT CMediaSample::SetDiscontinuity(BOOL discontinuity) {
  dwFlags_ = discontinuity ? (dwFlags_ | AM_SAMPLE_DATADISCONTINUITY)
                           : (dwFlags_ & ~AM_SAMPLE_DATADISCONTINUITY);
  return S_OK;
}

HRESULT CMediaSample::SetActualDataLength(LONG length) {
  if (length < 0 || length > cbBuffer_) return VFW_E_BUFFER_OVERFLOW;
  lActual_ = length;
  return S_OK;
}

HRESULT CMediaSample::GetMediaType(AM_MEDIA_TYPE** type) {
  if (!type) return E_POINTER;
  if (!mediaType_) {
    *type = nullptr;
    return S_FALSE;
  }
  *type = CreateMediaType(mediaType_);
  return *type ? S_OK : E_OUTOFMEMORY;
}

HRESULT CMediaSample::SetMediaType(AM_MEDIA_TYPE* type) {
  DeleteMediaType(mediaType_);
  mediaType_ = nullptr;
  dwFlags_ &= ~AM_SAMPLE_TYPECHANGED;
  if (!type) return S_OK;
  mediaType_ = CreateMediaType(type);
  if (!mediaType_) return E_OUTOFMEMORY;
  dwFlags_ |= AM_SAMPLE_TYPECHANGED;
  return S_OK;
}

HRESULT CMediaSample::GetProperties(DWORD size, BYTE* properties) {
  if (!properties) return E_POINTER;
  AM_SAMPLE2_PROPERTIES p{};
  p.cbData = std::min<DWORD>(size, sizeof(p));
  p.dwTypeSpecificFlags = dwTypeSpecificFlags_;
  p.dwSampleFlags = dwFlags_;
  p.lActual = lActual_;
  p.tStart = start_;
  p.tStop = end_;
  p.dwStreamId = dwStreamId_;
  p.pMediaType = mediaType_;
  p.pbBuffer = pBuffer_;
  p.cbBuffer = cbBuffer_;
  memcpy(properties, &p, p.cbData);
  return S_OK;
}

// Applies the fields that both `size` and the record's cbData cover. The
// media type travels as a pointer that must be one of this process; a
// length beyond the buffer is refused.
HRESULT CMediaSample::SetProperties(DWORD size, const BYTE* properties) {
  if (!properties) return E_POINTER;
  AM_SAMPLE2_PROPERTIES p{};
  memcpy(&p, properties, std::min<DWORD>(size, sizeof(p)));
  const DWORD covered = std::min<DWORD>({size, p.cbData, static_cast<DWORD>(sizeof(p))});
  auto has = [covered](size_t end) { return covered >= end; };
  using P = AM_SAMPLE2_PROPERTIES;
  if (has(offsetof(P, lActual) + sizeof(LONG)) && (p.lActual < 0 || p.lActual > cbBuffer_))
    return VFW_E_BUFFER_OVERFLOW;
  if (has(offsetof(P, dwTypeSpecificFlags) + sizeof(DWORD))) dwTypeSpecificFlags_ = p.dwTypeSpecificFlags;
  if (has(offsetof(P, dwSampleFlags) + sizeof(DWORD)))
    dwFlags_ = (p.dwSampleFlags & ~AM_SAMPLE_TYPECHANGED) | (dwFlags_ & AM_SAMPLE_TYPECHANGED);
  if (has(offsetof(P, lActual) + sizeof(LONG))) lActual_ = p.lActual;
  if (has(offsetof(P, tStart) + sizeof(REFERENCE_TIME))) start_ = p.tStart;
  if (has(offsetof(P, tStop) + sizeof(REFERENCE_TIME))) end_ = p.tStop;
  if (has(offsetof(P, dwStreamId) + sizeof(DWORD))) dwStreamId_ = p.dwStreamId;
  if (has(offsetof(P, pMediaType) + sizeof(void*)) && (p.dwSampleFlags & AM_SAMPLE_TYPECHANGED))
    return SetMediaType(p.pMediaType);
  return S_OK;
}

// ---- allocators -------------------------------------------------------------------
CBaseAllocator::CBaseAllocator(const char* name, IUnknown* outer) : CUnknown(name, outer) {}

CBaseAllocator::~CBaseAllocator() {
  for (CMediaSample* s : free_) delete s;
}

HRESULT CBaseAllocator::NonDelegatingQueryInterface(REFIID riid, void** object) {
  if (riid == IID_IMemAllocator) return GetInterface(static_cast<IMemAllocator*>(this), object);
  return CUnknown::NonDelegatingQueryInterface(riid, object);
}

HRESULT CBaseAllocator::SetProperties(ALLOCATOR_PROPERTIES* request, ALLOCATOR_PROPERTIES* actual) {
  if (!request || !actual) return E_POINTER;
  std::lock_guard<std::mutex> hold(mutex_);
  if (committed_) return VFW_E_ALREADY_COMMITTED;
  if (allocated_ != static_cast<LONG>(free_.size())) return VFW_E_BUFFERS_OUTSTANDING;
  if (request->cBuffers < 0 || request->cbBuffer < 0 || request->cbPrefix < 0 || request->cbAlign < 0)
    return E_INVALIDARG;
  props_.cBuffers = std::max<LONG>(request->cBuffers, 1);
  props_.cbBuffer = request->cbBuffer;
  props_.cbAlign = std::max<LONG>(request->cbAlign, 1);
  props_.cbPrefix = request->cbPrefix;
  changed_ = true;
  *actual = props_;
  return S_OK;
}

HRESULT CBaseAllocator::GetProperties(ALLOCATOR_PROPERTIES* props) {
  if (!props) return E_POINTER;
  std::lock_guard<std::mutex> hold(mutex_);
  *props = props_;
  return S_OK;
}

HRESULT CBaseAllocator::Commit() {
  std::lock_guard<std::mutex> hold(mutex_);
  if (committed_) return S_OK;
  if (props_.cbBuffer <= 0) return VFW_E_SIZENOTSET;
  decommitInProgress_ = false;
  if (changed_ || allocated_ == 0) {
    if (allocated_ != static_cast<LONG>(free_.size())) return VFW_E_BUFFERS_OUTSTANDING;
    Free();
    const HRESULT hr = Alloc();
    if (FAILED(hr)) return hr;
    changed_ = false;
  }
  committed_ = true;
  return S_OK;
}

HRESULT CBaseAllocator::Decommit() {
  std::lock_guard<std::mutex> hold(mutex_);
  if (!committed_) return S_OK;
  committed_ = false;
  decommitInProgress_ = true;
  FreeIfIdle();
  freed_.notify_all();
  return S_OK;
}

void CBaseAllocator::FreeIfIdle() {
  if (decommitInProgress_ && allocated_ == static_cast<LONG>(free_.size())) {
    Free();
    decommitInProgress_ = false;
  }
}

HRESULT CBaseAllocator::GetBuffer(IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* stop,
                                  DWORD flags) {
  if (!sample) return E_POINTER;
  *sample = nullptr;
  std::unique_lock<std::mutex> hold(mutex_);
  freed_.wait(hold, [this] { return !committed_ || !free_.empty(); });
  if (!committed_) return VFW_E_NOT_COMMITTED;
  CMediaSample* s = free_.back();
  free_.pop_back();
  s->ResetProperties();
  s->AddRef();
  hold.unlock();
  NonDelegatingAddRef();  // the sample keeps its allocator alive while it is out
  if (start) s->SetTime(start, stop);
  *sample = s;
  return S_OK;
}

HRESULT CBaseAllocator::ReleaseBuffer(IMediaSample* sample) {
  CMediaSample* s = static_cast<CMediaSample*>(static_cast<IMediaSample2*>(sample));
  {
    std::lock_guard<std::mutex> hold(mutex_);
    free_.push_back(s);
    FreeIfIdle();
    freed_.notify_all();
  }
  // The sample held the allocator alive while it was out.
  NonDelegatingRelease();
  return S_OK;
}

CMemAllocator::CMemAllocator(const char* name, IUnknown* outer, HRESULT* hr)
    : CBaseAllocator(name, outer) {
  if (hr) *hr = S_OK;
}

CMemAllocator::~CMemAllocator() { Free(); }

HRESULT CMemAllocator::Alloc() {
  const int64_t align = props_.cbAlign;
  const int64_t slot = ((static_cast<int64_t>(props_.cbBuffer) + props_.cbPrefix + align - 1) / align) * align;
  const int64_t total = slot * props_.cBuffers;
  if (total <= 0 || total > (int64_t{1} << 31)) return E_OUTOFMEMORY;
  try {
    memory_.assign(static_cast<size_t>(total), 0);
  } catch (...) {
    return E_OUTOFMEMORY;
  }
  for (LONG i = 0; i < props_.cBuffers; ++i) {
    free_.push_back(new CMediaSample(this, memory_.data() + i * slot + props_.cbPrefix, props_.cbBuffer));
    ++allocated_;
  }
  return S_OK;
}

void CMemAllocator::Free() {
  for (CMediaSample* s : free_) delete s;
  free_.clear();
  allocated_ = 0;
  std::vector<BYTE>().swap(memory_);
}

HRESULT CreateMemoryAllocator(IMemAllocator** allocator) {
  if (!allocator) return E_POINTER;
  HRESULT hr = S_OK;
  auto* a = new CMemAllocator("CMemAllocator", nullptr, &hr);
  *allocator = a;
  return hr;
}
