// Filter and pin bases: state changes, pin connection with media-type
// negotiation, allocator agreement, delivery, and the enumerators.
#include <algorithm>
#include <cstring>

#include "pelplat/dshowbase.h"

namespace {

size_t U16Length(LPCWSTR text) {
  size_t n = 0;
  while (text && text[n]) ++n;
  return n;
}

void CopyName(WCHAR* target, const std::u16string& name) {
  const size_t n = std::min<size_t>(name.size(), 127);
  memcpy(target, name.data(), n * sizeof(WCHAR));
  target[n] = 0;
}

class CEnumPins final : public CUnknown, public IEnumPins {
 public:
  explicit CEnumPins(CBaseFilter* filter) : CUnknown("CEnumPins", nullptr), filter_(filter) {
    filter_->AddRef();
  }
  ~CEnumPins() override { filter_->Release(); }
  DECLARE_IUNKNOWN
  HRESULT NonDelegatingQueryInterface(REFIID riid, void** object) override {
    if (riid == IID_IEnumPins) return GetInterface(static_cast<IEnumPins*>(this), object);
    return CUnknown::NonDelegatingQueryInterface(riid, object);
  }
  HRESULT Next(ULONG count, IPin** pins, ULONG* fetched) override {
    if (!pins) return E_POINTER;
    ULONG n = 0;
    while (n < count && position_ < filter_->GetPinCount()) {
      CBasePin* pin = filter_->GetPin(position_++);
      if (!pin) continue;
      pins[n] = pin;
      pin->AddRef();
      ++n;
    }
    if (fetched) *fetched = n;
    return n == count ? S_OK : S_FALSE;
  }
  HRESULT Skip(ULONG count) override {
    position_ += static_cast<int>(count);
    return position_ <= filter_->GetPinCount() ? S_OK : S_FALSE;
  }
  HRESULT Reset() override {
    position_ = 0;
    return S_OK;
  }

 private:
  CBaseFilter* filter_;
  int position_ = 0;
};

class CEnumMediaTypes final : public CUnknown, public IEnumMediaTypes {
 public:
  explicit CEnumMediaTypes(CBasePin* pin) : CUnknown("CEnumMediaTypes", nullptr), pin_(pin) {
    pin_->AddRef();
  }
  ~CEnumMediaTypes() override { pin_->Release(); }
  DECLARE_IUNKNOWN
  HRESULT NonDelegatingQueryInterface(REFIID riid, void** object) override {
    if (riid == IID_IEnumMediaTypes) return GetInterface(static_cast<IEnumMediaTypes*>(this), object);
    return CUnknown::NonDelegatingQueryInterface(riid, object);
  }
  HRESULT Next(ULONG count, AM_MEDIA_TYPE** types, ULONG* fetched) override {
    if (!types) return E_POINTER;
    ULONG n = 0;
    while (n < count) {
      CMediaType type;
      if (pin_->GetMediaType(position_, &type) != S_OK) break;
      ++position_;
      types[n] = CreateMediaType(&type);
      if (!types[n]) break;
      ++n;
    }
    if (fetched) *fetched = n;
    return n == count ? S_OK : S_FALSE;
  }
  HRESULT Skip(ULONG count) override {
    position_ += static_cast<int>(count);
    return S_OK;
  }
  HRESULT Reset() override {
    position_ = 0;
    return S_OK;
  }

 private:
  CBasePin* pin_;
  int position_ = 0;
};

}  // namespace

// ---- CBaseFilter ---------------------------------------------------------------
CBaseFilter::CBaseFilter(const char* name, IUnknown* outer, CCritSec* lock, REFCLSID clsid, HRESULT* hr)
    : CUnknown(name, outer), m_pLock(lock), m_clsid(clsid) {
  if (hr) *hr = S_OK;
}

CBaseFilter::~CBaseFilter() = default;

HRESULT CBaseFilter::NonDelegatingQueryInterface(REFIID riid, void** object) {
  if (riid == IID_IBaseFilter || riid == IID_IMediaFilter)
    return GetInterface(static_cast<IBaseFilter*>(this), object);
  return CUnknown::NonDelegatingQueryInterface(riid, object);
}

HRESULT CBaseFilter::GetClassID(CLSID* clsid) {
  if (!clsid) return E_POINTER;
  *clsid = m_clsid;
  return S_OK;
}

HRESULT CBaseFilter::Stop() {
  CAutoLock lock(m_pLock);
  HRESULT result = S_OK;
  if (m_State != State_Stopped) {
    for (int i = 0; i < GetPinCount(); ++i) {
      CBasePin* pin = GetPin(i);
      if (pin && pin->IsConnected()) {
        const HRESULT hr = pin->Inactive();
        if (FAILED(hr) && SUCCEEDED(result)) result = hr;
      }
    }
  }
  m_State = State_Stopped;
  return result;
}

HRESULT CBaseFilter::Pause() {
  CAutoLock lock(m_pLock);
  if (m_State == State_Stopped) {
    for (int i = 0; i < GetPinCount(); ++i) {
      CBasePin* pin = GetPin(i);
      if (pin && pin->IsConnected()) {
        const HRESULT hr = pin->Active();
        if (FAILED(hr)) return hr;
      }
    }
  }
  m_State = State_Paused;
  return S_OK;
}

HRESULT CBaseFilter::Run(REFERENCE_TIME start) {
  CAutoLock lock(m_pLock);
  m_tStart = start;
  if (m_State == State_Stopped) {
    const HRESULT hr = Pause();
    if (FAILED(hr)) return hr;
  }
  if (m_State != State_Running) {
    for (int i = 0; i < GetPinCount(); ++i) {
      CBasePin* pin = GetPin(i);
      if (pin && pin->IsConnected()) {
        const HRESULT hr = pin->Run(start);
        if (FAILED(hr)) return hr;
      }
    }
  }
  m_State = State_Running;
  return S_OK;
}

HRESULT CBaseFilter::GetState(DWORD, FILTER_STATE* state) {
  if (!state) return E_POINTER;
  CAutoLock lock(m_pLock);
  *state = m_State;
  return S_OK;
}

bool CBaseFilter::IsActive() {
  CAutoLock lock(m_pLock);
  return m_State != State_Stopped;
}

bool CBaseFilter::IsStopped() { return !IsActive(); }

HRESULT CBaseFilter::EnumPins(IEnumPins** pins) {
  if (!pins) return E_POINTER;
  *pins = new CEnumPins(this);
  return S_OK;
}

HRESULT CBaseFilter::FindPin(LPCWSTR id, IPin** pin) {
  if (!id || !pin) return E_POINTER;
  const std::u16string wanted(id, U16Length(id));
  for (int i = 0; i < GetPinCount(); ++i) {
    CBasePin* p = GetPin(i);
    PIN_INFO info{};
    if (p && SUCCEEDED(p->QueryPinInfo(&info))) {
      if (info.pFilter) info.pFilter->Release();
      if (wanted == info.achName) {
        *pin = p;
        p->AddRef();
        return S_OK;
      }
    }
  }
  *pin = nullptr;
  return VFW_E_NOT_FOUND;
}

HRESULT CBaseFilter::QueryFilterInfo(FILTER_INFO* info) {
  if (!info) return E_POINTER;
  CopyName(info->achName, m_name);
  info->pGraph = m_pGraph;
  if (m_pGraph) m_pGraph->AddRef();
  return S_OK;
}

// The graph holds the filter; the filter keeps plain pointers back.
HRESULT CBaseFilter::JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) {
  CAutoLock lock(m_pLock);
  m_pGraph = graph;
  m_pSink = nullptr;
  if (graph) {
    IMediaEventSink* sink = nullptr;
    if (SUCCEEDED(graph->QueryInterface(IID_IMediaEventSink, reinterpret_cast<void**>(&sink)))) {
      m_pSink = sink;
      sink->Release();
    }
  }
  m_name = name ? std::u16string(name, U16Length(name)) : std::u16string();
  return S_OK;
}

HRESULT CBaseFilter::NotifyEvent(LONG code, LONG_PTR param1, LONG_PTR param2) {
  IMediaEventSink* sink = m_pSink;
  return sink ? sink->Notify(code, param1, param2) : E_NOTIMPL;
}

// ---- CBasePin ----------------------------------------------------------------------
CBasePin::CBasePin(const char* objectName, CBaseFilter* filter, CCritSec* lock, HRESULT* hr,
                   LPCWSTR name, PIN_DIRECTION direction)
    : CUnknown(objectName, nullptr), m_pFilter(filter), m_pLock(lock), m_dir(direction),
      m_pName(name ? std::u16string(name, U16Length(name)) : std::u16string()) {
  if (hr) *hr = S_OK;
}

CBasePin::~CBasePin() {
  if (m_Connected) m_Connected->Release();
}

HRESULT CBasePin::NonDelegatingQueryInterface(REFIID riid, void** object) {
  if (riid == IID_IPin) return GetInterface(static_cast<IPin*>(this), object);
  if (riid == IID_IQualityControl) return GetInterface(static_cast<IQualityControl*>(this), object);
  return CUnknown::NonDelegatingQueryInterface(riid, object);
}

ULONG CBasePin::NonDelegatingAddRef() { return m_pFilter->GetOwner()->AddRef(); }
ULONG CBasePin::NonDelegatingRelease() { return m_pFilter->GetOwner()->Release(); }

HRESULT CBasePin::CheckConnect(IPin* pin) {
  PIN_DIRECTION direction;
  const HRESULT hr = pin->QueryDirection(&direction);
  if (FAILED(hr)) return hr;
  return direction == m_dir ? VFW_E_INVALID_DIRECTION : S_OK;
}

HRESULT CBasePin::SetMediaType(const CMediaType* type) { return m_mt.Set(*type); }

HRESULT CBasePin::GetMediaType(int, CMediaType*) { return VFW_S_NO_MORE_ITEMS; }

HRESULT CBasePin::TryConnect(IPin* receivePin, const CMediaType* type) {
  HRESULT hr = CheckMediaType(type);
  if (hr != S_OK) return FAILED(hr) ? hr : VFW_E_TYPE_NOT_ACCEPTED;
  hr = SetMediaType(type);
  if (FAILED(hr)) return hr;
  m_Connected = receivePin;
  receivePin->AddRef();
  hr = receivePin->ReceiveConnection(this, type);
  if (SUCCEEDED(hr)) hr = CompleteConnect(receivePin);
  if (FAILED(hr)) {
    receivePin->Disconnect();
    BreakConnect();
    m_Connected->Release();
    m_Connected = nullptr;
  }
  return hr;
}

// A partial type (null GUIDs) limits the candidates: this pin's preferred
// types first, then the receiving pin's.
HRESULT CBasePin::Connect(IPin* receivePin, const AM_MEDIA_TYPE* type) {
  if (!receivePin) return E_POINTER;
  CAutoLock lock(m_pLock);
  if (m_Connected) return VFW_E_ALREADY_CONNECTED;
  if (!m_pFilter->IsStopped()) return VFW_E_NOT_STOPPED;
  HRESULT hr = CheckConnect(receivePin);
  if (FAILED(hr)) {
    BreakConnect();
    return hr;
  }
  auto fits = [type](const AM_MEDIA_TYPE& candidate) {
    if (!type) return true;
    if (type->majortype != GUID_NULL && type->majortype != candidate.majortype) return false;
    if (type->subtype != GUID_NULL && type->subtype != candidate.subtype) return false;
    if (type->formattype != GUID_NULL && type->formattype != candidate.formattype) return false;
    return true;
  };
  if (type && type->majortype != GUID_NULL && type->subtype != GUID_NULL &&
      type->formattype != GUID_NULL) {
    CMediaType full(*type);
    hr = TryConnect(receivePin, &full);
    if (FAILED(hr)) BreakConnect();
    return hr;
  }
  for (int i = 0;; ++i) {
    CMediaType candidate;
    if (GetMediaType(i, &candidate) != S_OK) break;
    if (fits(candidate) && SUCCEEDED(TryConnect(receivePin, &candidate))) return S_OK;
  }
  IEnumMediaTypes* theirs = nullptr;
  if (SUCCEEDED(receivePin->EnumMediaTypes(&theirs))) {
    AM_MEDIA_TYPE* candidate = nullptr;
    while (theirs->Next(1, &candidate, nullptr) == S_OK) {
      CMediaType mt(*candidate);
      DeleteMediaType(candidate);
      if (fits(mt) && SUCCEEDED(TryConnect(receivePin, &mt))) {
        theirs->Release();
        return S_OK;
      }
    }
    theirs->Release();
  }
  BreakConnect();
  return VFW_E_NO_ACCEPTABLE_TYPES;
}

HRESULT CBasePin::ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* type) {
  if (!connector || !type) return E_POINTER;
  CAutoLock lock(m_pLock);
  if (m_Connected) return VFW_E_ALREADY_CONNECTED;
  if (!m_pFilter->IsStopped()) return VFW_E_NOT_STOPPED;
  HRESULT hr = CheckConnect(connector);
  if (FAILED(hr)) {
    BreakConnect();
    return hr;
  }
  CMediaType mt(*type);
  hr = CheckMediaType(&mt);
  if (hr != S_OK) {
    BreakConnect();
    return FAILED(hr) ? hr : VFW_E_TYPE_NOT_ACCEPTED;
  }
  hr = SetMediaType(&mt);
  if (SUCCEEDED(hr)) {
    m_Connected = connector;
    connector->AddRef();
    hr = CompleteConnect(connector);
    if (FAILED(hr)) {
      m_Connected->Release();
      m_Connected = nullptr;
    }
  }
  if (FAILED(hr)) BreakConnect();
  return hr;
}

HRESULT CBasePin::Disconnect() {
  CAutoLock lock(m_pLock);
  if (!m_pFilter->IsStopped()) return VFW_E_NOT_STOPPED;
  if (!m_Connected) return S_FALSE;
  BreakConnect();
  m_Connected->Release();
  m_Connected = nullptr;
  return S_OK;
}

HRESULT CBasePin::ConnectedTo(IPin** pin) {
  if (!pin) return E_POINTER;
  CAutoLock lock(m_pLock);
  *pin = m_Connected;
  if (!m_Connected) return VFW_E_NOT_CONNECTED;
  m_Connected->AddRef();
  return S_OK;
}

HRESULT CBasePin::ConnectionMediaType(AM_MEDIA_TYPE* type) {
  if (!type) return E_POINTER;
  CAutoLock lock(m_pLock);
  if (!m_Connected) {
    memset(type, 0, sizeof(*type));
    return VFW_E_NOT_CONNECTED;
  }
  return CopyMediaType(type, &m_mt);
}

HRESULT CBasePin::QueryPinInfo(PIN_INFO* info) {
  if (!info) return E_POINTER;
  info->pFilter = m_pFilter;
  m_pFilter->AddRef();
  info->dir = m_dir;
  CopyName(info->achName, m_pName);
  return S_OK;
}

HRESULT CBasePin::QueryDirection(PIN_DIRECTION* direction) {
  if (!direction) return E_POINTER;
  *direction = m_dir;
  return S_OK;
}

HRESULT CBasePin::QueryAccept(const AM_MEDIA_TYPE* type) {
  if (!type) return E_POINTER;
  CMediaType mt(*type);
  const HRESULT hr = CheckMediaType(&mt);
  return FAILED(hr) ? S_FALSE : hr;
}

HRESULT CBasePin::EnumMediaTypes(IEnumMediaTypes** types) {
  if (!types) return E_POINTER;
  *types = new CEnumMediaTypes(this);
  return S_OK;
}

HRESULT CBasePin::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
  m_tStart = start;
  m_tStop = stop;
  m_dRate = rate;
  return S_OK;
}

// ---- CBaseOutputPin ---------------------------------------------------------------
CBaseOutputPin::CBaseOutputPin(const char* objectName, CBaseFilter* filter, CCritSec* lock,
                               HRESULT* hr, LPCWSTR name)
    : CBasePin(objectName, filter, lock, hr, name, PINDIR_OUTPUT) {}

CBaseOutputPin::~CBaseOutputPin() {
  if (m_pAllocator) m_pAllocator->Release();
  if (m_pInputPin) m_pInputPin->Release();
}

HRESULT CBaseOutputPin::CheckConnect(IPin* pin) {
  HRESULT hr = CBasePin::CheckConnect(pin);
  if (FAILED(hr)) return hr;
  if (m_pInputPin) m_pInputPin->Release();
  m_pInputPin = nullptr;
  hr = pin->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&m_pInputPin));
  return FAILED(hr) ? VFW_E_NO_TRANSPORT : S_OK;
}

HRESULT CBaseOutputPin::CompleteConnect(IPin*) { return DecideAllocator(m_pInputPin, &m_pAllocator); }

HRESULT CBaseOutputPin::BreakConnect() {
  if (m_pAllocator) {
    m_pAllocator->Decommit();
    m_pAllocator->Release();
    m_pAllocator = nullptr;
  }
  if (m_pInputPin) {
    m_pInputPin->Release();
    m_pInputPin = nullptr;
  }
  return S_OK;
}

HRESULT CBaseOutputPin::DecideAllocator(IMemInputPin* pin, IMemAllocator** allocator) {
  if (!pin || !allocator) return E_POINTER;
  if (*allocator) {
    (*allocator)->Release();
    *allocator = nullptr;
  }
  ALLOCATOR_PROPERTIES props{};
  pin->GetAllocatorRequirements(&props);
  if (props.cbAlign == 0) props.cbAlign = 1;
  HRESULT hr = pin->GetAllocator(allocator);
  if (SUCCEEDED(hr)) {
    hr = DecideBufferSize(*allocator, &props);
    if (SUCCEEDED(hr)) hr = pin->NotifyAllocator(*allocator, FALSE);
    if (SUCCEEDED(hr)) return S_OK;
  }
  if (*allocator) {
    (*allocator)->Release();
    *allocator = nullptr;
  }
  hr = CreateMemoryAllocator(allocator);
  if (FAILED(hr)) return hr;
  hr = DecideBufferSize(*allocator, &props);
  if (SUCCEEDED(hr)) hr = pin->NotifyAllocator(*allocator, FALSE);
  if (FAILED(hr)) {
    (*allocator)->Release();
    *allocator = nullptr;
  }
  return hr;
}

HRESULT CBaseOutputPin::Active() {
  return m_pAllocator ? m_pAllocator->Commit() : VFW_E_NO_ALLOCATOR;
}

HRESULT CBaseOutputPin::Inactive() {
  return m_pAllocator ? m_pAllocator->Decommit() : VFW_E_NO_ALLOCATOR;
}

HRESULT CBaseOutputPin::GetDeliveryBuffer(IMediaSample** sample, REFERENCE_TIME* start,
                                          REFERENCE_TIME* stop, DWORD flags) {
  if (!m_pAllocator) return VFW_E_NO_ALLOCATOR;
  return m_pAllocator->GetBuffer(sample, start, stop, flags);
}

HRESULT CBaseOutputPin::Deliver(IMediaSample* sample) {
  IMemInputPin* pin = m_pInputPin;
  return pin ? pin->Receive(sample) : VFW_E_NOT_CONNECTED;
}

HRESULT CBaseOutputPin::DeliverEndOfStream() {
  IPin* pin = m_Connected;
  return pin ? pin->EndOfStream() : VFW_E_NOT_CONNECTED;
}

HRESULT CBaseOutputPin::DeliverBeginFlush() {
  IPin* pin = m_Connected;
  return pin ? pin->BeginFlush() : VFW_E_NOT_CONNECTED;
}

HRESULT CBaseOutputPin::DeliverEndFlush() {
  IPin* pin = m_Connected;
  return pin ? pin->EndFlush() : VFW_E_NOT_CONNECTED;
}

HRESULT CBaseOutputPin::DeliverNewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
  IPin* pin = m_Connected;
  return pin ? pin->NewSegment(start, stop, rate) : VFW_E_NOT_CONNECTED;
}

// ---- CBaseInputPin -----------------------------------------------------------------
CBaseInputPin::CBaseInputPin(const char* objectName, CBaseFilter* filter, CCritSec* lock, HRESULT* hr,
                             LPCWSTR name)
    : CBasePin(objectName, filter, lock, hr, name, PINDIR_INPUT) {}

CBaseInputPin::~CBaseInputPin() {
  if (m_pAllocator) m_pAllocator->Release();
}

HRESULT CBaseInputPin::NonDelegatingQueryInterface(REFIID riid, void** object) {
  if (riid == IID_IMemInputPin) return GetInterface(static_cast<IMemInputPin*>(this), object);
  return CBasePin::NonDelegatingQueryInterface(riid, object);
}

HRESULT CBaseInputPin::GetAllocator(IMemAllocator** allocator) {
  if (!allocator) return E_POINTER;
  CAutoLock lock(m_pLock);
  if (!m_pAllocator) {
    const HRESULT hr = CreateMemoryAllocator(&m_pAllocator);
    if (FAILED(hr)) return hr;
  }
  *allocator = m_pAllocator;
  m_pAllocator->AddRef();
  return S_OK;
}

HRESULT CBaseInputPin::NotifyAllocator(IMemAllocator* allocator, BOOL) {
  if (!allocator) return E_POINTER;
  CAutoLock lock(m_pLock);
  allocator->AddRef();
  if (m_pAllocator) m_pAllocator->Release();
  m_pAllocator = allocator;
  return S_OK;
}

HRESULT CBaseInputPin::Receive(IMediaSample* sample) {
  if (!sample) return E_POINTER;
  if (m_bFlushing) return S_FALSE;
  if (m_pFilter->IsStopped()) return VFW_E_WRONG_STATE;
  return S_OK;
}

HRESULT CBaseInputPin::BeginFlush() {
  m_bFlushing = true;
  return S_OK;
}

HRESULT CBaseInputPin::EndFlush() {
  m_bFlushing = false;
  return S_OK;
}

HRESULT CBaseInputPin::BreakConnect() {
  if (m_pAllocator) {
    m_pAllocator->Decommit();
    m_pAllocator->Release();
    m_pAllocator = nullptr;
  }
  return S_OK;
}

HRESULT CBaseInputPin::Inactive() {
  m_bFlushing = false;
  return S_OK;
}
