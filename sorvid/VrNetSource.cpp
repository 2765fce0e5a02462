#include "VrNetSource.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <thread>

namespace {

uint32_t ReadU32(const BYTE* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24); }

// The picture header of a video format block, or all zero when the block
// is too short to hold one.
BITMAPINFOHEADER PictureHeaderOf(const CMediaType& mt) {
  BITMAPINFOHEADER header{};
  size_t at = 0;
  if (mt.formattype == FORMAT_VideoInfo || mt.formattype == FORMAT_MPEGVideo) at = VIDEOINFOHEADER_BMI_OFFSET;
  else if (mt.formattype == FORMAT_VideoInfo2 || mt.formattype == FORMAT_MPEG2Video) at = VIDEOINFOHEADER2_BMI_OFFSET;
  else return header;
  if (!mt.pbFormat || mt.cbFormat < at + sizeof(BITMAPINFOHEADER)) return header;
  header.biWidth = static_cast<LONG>(ReadU32(mt.pbFormat + at + 4));
  header.biHeight = static_cast<LONG>(ReadU32(mt.pbFormat + at + 8));
  header.biBitCount = static_cast<WORD>(mt.pbFormat[at + 14] | (mt.pbFormat[at + 15] << 8));
  return header;
}

// The sender's 32-bit sample properties (bytes 8 to 47 of the record) as
// this process's structure: only the fields its cbData reaches, the length
// no larger than the bytes copied, and never a media type (the sender's
// pointer means nothing here).
AM_SAMPLE2_PROPERTIES NativeProperties(const SampleInfoRecord& info, LONG copied, DWORD* nativeSize) {
  AM_SAMPLE2_PROPERTIES p{};
  struct Field {
    uint32_t wireOffset;  // from byte 8 of the record
    size_t nativeEnd;
  };
  using P = AM_SAMPLE2_PROPERTIES;
  const Field fields[] = {
      {4, offsetof(P, dwTypeSpecificFlags) + sizeof(DWORD)}, {8, offsetof(P, dwSampleFlags) + sizeof(DWORD)},
      {12, offsetof(P, lActual) + sizeof(LONG)},            {16, offsetof(P, tStart) + sizeof(REFERENCE_TIME)},
      {24, offsetof(P, tStop) + sizeof(REFERENCE_TIME)},    {32, offsetof(P, dwStreamId) + sizeof(DWORD)},
  };
  size_t end = 0;
  for (const Field& f : fields)
    if (info.cbData > f.wireOffset) end = f.nativeEnd;
  p.cbData = static_cast<DWORD>(end);
  p.dwTypeSpecificFlags = info.typeSpecificFlags;
  p.dwSampleFlags = info.sampleFlags & ~AM_SAMPLE_TYPECHANGED;
  p.lActual = std::min<LONG>(std::max<LONG>(info.actual, 0), copied);
  p.tStart = info.start;
  p.tStop = info.stop;
  p.dwStreamId = info.propertiesStreamId;
  p.pMediaType = nullptr;
  *nativeSize = static_cast<DWORD>(end);
  return p;
}

}  // namespace

// ---- the pin ------------------------------------------------------------------------
CVrVideoNetSourceStream::CVrVideoNetSourceStream(HRESULT* hr, CVrNetSource* filter)
    : CSourceStream("VrNetOutputPin", hr, filter, u"Output"), CSourceSeeking(&seekingLock_) {}

CVrVideoNetSourceStream::~CVrVideoNetSourceStream() {
  // The worker must be gone before the members it uses; no lock is held
  // while waiting for it.
  StopWorker();
  DropQueue();
}

void CVrVideoNetSourceStream::StopWorker() {
  if (ThreadExists()) {
    StopWaking();
    Exit();
  }
  Close();
}

HRESULT CVrVideoNetSourceStream::NonDelegatingQueryInterface(REFIID riid, void** object) {
  if (!object) return E_POINTER;
  if (riid == IID_IMediaSeeking) return GetInterface(static_cast<IMediaSeeking*>(this), object);
  return CSourceStream::NonDelegatingQueryInterface(riid, object);
}

HRESULT CVrVideoNetSourceStream::GetMediaType(CMediaType* type) {
  if (!type) return E_POINTER;
  CAutoLock lock(m_pFilter->pStateLock());
  return type->Set(m_mt);
}

HRESULT CVrVideoNetSourceStream::OnThreadCreate() {
  CAutoLock lock(&streamLock_);
  return S_OK;
}

void CVrVideoNetSourceStream::SetAllocatorProperties(const ALLOCATOR_PROPERTIES& properties) {
  CAutoLock lock(&streamLock_);
  pending_ = properties;
}

HRESULT CVrVideoNetSourceStream::QueueSample(const BYTE* data, uint32_t size, const SampleInfoRecord* info) {
  if (!data || size == 0) return E_INVALIDARG;
  auto* sample = new (std::nothrow) NetSample();
  if (!sample) return E_OUTOFMEMORY;
  try {
    sample->data.assign(data, data + size);
  } catch (const std::bad_alloc&) {
    delete sample;
    return E_OUTOFMEMORY;
  }
  sample->size = sample->remaining = size;
  if (info) sample->info = *info, sample->hasInfo = true;
  {
    CAutoLock lock(&streamLock_);
    try {
      queue_.push_back(sample);
    } catch (const std::bad_alloc&) {
      delete sample;
      return E_OUTOFMEMORY;
    }
  }
  // A loop that a stop or flush ended starts again for the new sample.
  RequestRestart();
  SetWake();
  return S_OK;
}

size_t CVrVideoNetSourceStream::QueuedCount() {
  CAutoLock lock(&streamLock_);
  return queue_.size();
}

HRESULT CVrVideoNetSourceStream::DropQueue() {
  CAutoLock lock(&streamLock_);
  for (NetSample* s : queue_) delete s;
  queue_.clear();
  return S_OK;
}

void CVrVideoNetSourceStream::SetWake() {
  std::lock_guard<std::mutex> hold(wakeMutex_);
  wake_ = true;
  wakeChanged_.notify_all();
}

void CVrVideoNetSourceStream::WaitWake(int milliseconds) {
  std::unique_lock<std::mutex> hold(wakeMutex_);
  wakeChanged_.wait_for(hold, std::chrono::milliseconds(milliseconds), [this] { return wake_ || stopping_; });
  wake_ = false;
}

void CVrVideoNetSourceStream::StopWaking() {
  {
    std::lock_guard<std::mutex> hold(wakeMutex_);
    stopping_ = true;
    wakeChanged_.notify_all();
  }
  StopCmd();
  std::lock_guard<std::mutex> hold(wakeMutex_);
  stopping_ = false;
}

void CVrVideoNetSourceStream::WaitForData() { WaitWake(40); }

HRESULT CVrVideoNetSourceStream::FillBuffer(IMediaSample* sample) {
  IMediaSample* inHand = sample;
  inHand->AddRef();
  const HRESULT hr = FillSample(inHand);
  if (inHand) inHand->Release();
  return hr;
}

HRESULT CVrVideoNetSourceStream::FillSample(IMediaSample*& sample) {
  CAutoLock lock(&streamLock_);
  BYTE* buffer = nullptr;
  if (FAILED(sample->GetPointer(&buffer)) || !buffer) return S_FALSE;
  if (queue_.empty()) return E_PENDING;
  NetSample* next = queue_.front();
  if (static_cast<uint32_t>(sample->GetSize()) < next->remaining) {
    const uint64_t grown = uint64_t{next->remaining} * 3 / 2;
    const uint64_t size = grown <= 0x7FFFFFFF ? grown : next->remaining;
    if (size > 0x7FFFFFFF) return E_OUTOFMEMORY;
    const HRESULT hr = ReallocateBuffers(static_cast<uint32_t>(size), sample);
    if (FAILED(hr)) return hr;
    if (FAILED(sample->GetPointer(&buffer)) || !buffer) return S_FALSE;
  }
  const uint32_t copied = std::min<uint32_t>(static_cast<uint32_t>(sample->GetSize()), next->remaining);
  memcpy(buffer, next->data.data() + (next->size - next->remaining), copied);
  sample->SetActualDataLength(static_cast<LONG>(copied));
  if (next->hasInfo) {
    IMediaSample2* sample2 = nullptr;
    if (SUCCEEDED(sample->QueryInterface(IID_IMediaSample2, reinterpret_cast<void**>(&sample2)))) {
      DWORD size = 0;
      const AM_SAMPLE2_PROPERTIES p = NativeProperties(next->info, static_cast<LONG>(copied), &size);
      if (size > 0) sample2->SetProperties(size, reinterpret_cast<const BYTE*>(&p));
      sample2->Release();
    }
  }
  queue_.pop_front();
  delete next;
  return S_OK;
}

HRESULT CVrVideoNetSourceStream::ReallocateBuffers(uint32_t size, IMediaSample*& sample) {
  IMemAllocator* allocator = Allocator();
  if (!allocator) return VFW_E_NO_ALLOCATOR;
  ALLOCATOR_PROPERTIES props{};
  HRESULT hr = allocator->GetProperties(&props);
  if (FAILED(hr)) return hr;
  if (props.cBuffers > 1) {
    hr = DeliverBeginFlush();
    if (FAILED(hr)) return hr;
    hr = DeliverEndFlush();
    if (FAILED(hr)) return hr;
  }
  sample->Release();
  sample = nullptr;
  if (FAILED(hr = allocator->Decommit())) return hr;
  props.cbBuffer = static_cast<LONG>(size);
  ALLOCATOR_PROPERTIES actual{};
  if (FAILED(hr = allocator->SetProperties(&props, &actual))) return hr;
  if (FAILED(hr = allocator->Commit())) return hr;
  return GetDeliveryBuffer(&sample, nullptr, nullptr, 0);
}

HRESULT CVrVideoNetSourceStream::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) {
  if (!allocator || !request) return E_POINTER;
  ALLOCATOR_PROPERTIES want = *request;
  {
    CAutoLock lock(&streamLock_);
    if (pending_.cBuffers != 0 && pending_.cbBuffer != 0) {
      want = pending_;
    } else {
      const BITMAPINFOHEADER h = PictureHeaderOf(m_mt);
      const int64_t stride = ((int64_t{h.biBitCount} * h.biWidth + 31) >> 3) & ~int64_t{3};
      const int64_t height = h.biHeight < 0 ? -int64_t{h.biHeight} : int64_t{h.biHeight};
      if (stride < 0 || stride > 0x7FFFFFFF) return E_FAIL;
      const int64_t bytes = height * stride;  // both below 2^32: no overflow
      if (bytes > 0x7FFFFFFF) return E_FAIL;
      want.cBuffers = 1;
      want.cbBuffer = static_cast<LONG>(std::max<int64_t>(0x3000, bytes));
    }
  }
  ALLOCATOR_PROPERTIES actual{};
  const HRESULT hr = allocator->SetProperties(&want, &actual);
  if (FAILED(hr)) return hr;
  return actual.cbBuffer < want.cbBuffer ? E_FAIL : S_OK;
}

HRESULT CVrVideoNetSourceStream::SetRate(double rate) {
  if (rate <= 0) return E_INVALIDARG;
  {
    CAutoLock lock(&seekingLock_);
    m_dRateSeeking = rate;
  }
  RestartDelivery();
  return S_OK;
}

HRESULT CVrVideoNetSourceStream::ChangeStart() {
  RestartDelivery();
  return S_OK;
}

HRESULT CVrVideoNetSourceStream::ChangeStop() {
  RestartDelivery();
  return S_OK;
}

void CVrVideoNetSourceStream::RestartDelivery() {
  if (!ThreadExists()) return;
  DeliverBeginFlush();
  StopWaking();
  DeliverEndFlush();
  RunCmd();
}

HRESULT CVrVideoNetSourceStream::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
  SetRate(rate);
  CAutoLock lock(&streamLock_);
  return DeliverNewSegment(start, stop, rate);
}

void CVrVideoNetSourceStream::BeginFlushCommand() {
  DeliverBeginFlush();
  StopWaking();
  DropQueue();
}

void CVrVideoNetSourceStream::EndFlushCommand() {
  DeliverEndFlush();
  RunCmd();
}

void CVrVideoNetSourceStream::StopStreamCommand() {
  StopWaking();
  DropQueue();
}

// ---- the filter --------------------------------------------------------------------
CVrNetSource::CVrNetSource(HRESULT* hr) : CSource("", nullptr, CLSID_VrNetSource, hr) {
  HRESULT pinResult = S_OK;
  new CVrVideoNetSourceStream(&pinResult, this);  // the filter owns its pins
  if (hr) *hr = pinResult;
}

CVrNetSource::~CVrNetSource() = default;

HRESULT CVrNetSource::NonDelegatingQueryInterface(REFIID riid, void** object) {
  if (riid == IID_IAMFilterMiscFlags) return GetInterface(static_cast<IAMFilterMiscFlags*>(this), object);
  if (riid == IID_IFileSourceFilter) return GetInterface(static_cast<IFileSourceFilter*>(this), object);
  return CSource::NonDelegatingQueryInterface(riid, object);
}

HRESULT CVrNetSource::GetCurFile(LPWSTR* fileName, AM_MEDIA_TYPE*) {
  if (!fileName) return E_POINTER;
  char text[64];
  snprintf(text, sizeof(text), "VrNetMovie_0x%llx.avi",
           static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(this)));
  const size_t n = strlen(text);
  auto* wide = static_cast<LPWSTR>(CoTaskMemAlloc((n + 1) * sizeof(WCHAR)));
  if (!wide) return E_OUTOFMEMORY;
  for (size_t i = 0; i <= n; ++i) wide[i] = static_cast<WCHAR>(text[i]);
  *fileName = wide;
  return S_OK;
}

CVrVideoNetSourceStream* CVrNetSource::Stream() {
  CAutoLock lock(pStateLock());
  return m_paStreams.empty() ? nullptr : static_cast<CVrVideoNetSourceStream*>(m_paStreams[0]);
}

HRESULT CVrNetSource::SetStreamMediaType(const CMediaType& type) {
  CVrVideoNetSourceStream* pin = Stream();
  if (!pin) return E_NOINTERFACE;
  CAutoLock lock(pStateLock());
  return pin->SetMediaType(&type);
}

HRESULT CVrNetSource::SetAllocatorProperties(const ALLOCATOR_PROPERTIES& properties) {
  CVrVideoNetSourceStream* pin = Stream();
  if (!pin) return E_NOINTERFACE;
  pin->SetAllocatorProperties(properties);
  return S_OK;
}

HRESULT CVrNetSource::QueueSample(const BYTE* data, uint32_t size, const SampleInfoRecord* info) {
  CVrVideoNetSourceStream* pin = Stream();
  if (!pin) return E_NOINTERFACE;
  CAutoLock lock(pStateLock());
  return pin->QueueSample(data, size, info);
}

HRESULT CVrNetSource::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
  CVrVideoNetSourceStream* pin = Stream();
  return pin ? pin->NewSegment(start, stop, rate) : E_NOINTERFACE;
}

HRESULT CVrNetSource::BeginFlush() {
  CVrVideoNetSourceStream* pin = Stream();
  if (!pin) return E_NOINTERFACE;
  pin->BeginFlushCommand();
  return S_OK;
}

HRESULT CVrNetSource::EndFlush() {
  CVrVideoNetSourceStream* pin = Stream();
  if (!pin) return E_NOINTERFACE;
  pin->EndFlushCommand();
  return S_OK;
}

HRESULT CVrNetSource::StopStream() {
  CVrVideoNetSourceStream* pin = Stream();
  if (!pin) return E_NOINTERFACE;
  pin->StopStreamCommand();
  return S_OK;
}

HRESULT CVrNetSource::DropQueue() {
  CVrVideoNetSourceStream* pin = Stream();
  return pin ? pin->DropQueue() : E_NOINTERFACE;
}
