// The worker-thread handshake and the source filter bases: a source
// stream's thread runs its processing loop between a pause or run request
// and a stop request.
#include <algorithm>
#include <chrono>

#include "pelplat/dshowbase.h"

// ---- CAMThread -------------------------------------------------------------------
CAMThread::CAMThread() = default;

CAMThread::~CAMThread() { Close(); }

bool CAMThread::Create() {
  std::lock_guard<std::mutex> hold(mutex_);
  if (running_ || thread_.joinable()) return false;
  running_ = true;
  pending_ = replied_ = false;
  thread_ = std::thread([this] {
    ThreadProc();
    std::lock_guard<std::mutex> done(mutex_);
    running_ = false;
    pending_ = false;
    changed_.notify_all();
  });
  return true;
}

HRESULT CAMThread::CallWorker(DWORD request) {
  CAutoLock one(&m_AccessLock);
  std::unique_lock<std::mutex> hold(mutex_);
  if (!running_) return E_FAIL;
  request_ = request;
  pending_ = true;
  replied_ = false;
  changed_.notify_all();
  changed_.wait(hold, [this] { return replied_ || !running_; });
  if (!replied_) return E_FAIL;
  replied_ = false;
  return result_;
}

void CAMThread::Close() {
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

bool CAMThread::ThreadExists() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return running_;
}

DWORD CAMThread::GetRequest() {
  std::unique_lock<std::mutex> hold(mutex_);
  changed_.wait(hold, [this] { return pending_; });
  return request_;
}

bool CAMThread::CheckRequest(DWORD* request) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (!pending_) return false;
  if (request) *request = request_;
  return true;
}

void CAMThread::Reply(HRESULT result) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (!pending_) return;  // every request is answered once
  result_ = result;
  pending_ = false;
  replied_ = true;
  changed_.notify_all();
}

bool CAMThread::WaitForRequestOr(const std::function<bool()>& wake) {
  std::unique_lock<std::mutex> hold(mutex_);
  changed_.wait(hold, [&] { return pending_ || wake(); });
  return pending_;
}

void CAMThread::Poke() {
  std::lock_guard<std::mutex> hold(mutex_);
  changed_.notify_all();
}

// ---- CSource ------------------------------------------------------------------------
CSource::CSource(const char* name, IUnknown* outer, REFCLSID clsid, HRESULT* hr)
    : CBaseFilter(name, outer, &m_cStateLock, clsid, hr) {}

CSource::~CSource() {
  // Each pin removes itself as it goes.
  while (!m_paStreams.empty()) delete m_paStreams.back();
}

int CSource::GetPinCount() {
  CAutoLock lock(&m_cStateLock);
  return static_cast<int>(m_paStreams.size());
}

CBasePin* CSource::GetPin(int n) {
  CAutoLock lock(&m_cStateLock);
  return n >= 0 && n < static_cast<int>(m_paStreams.size()) ? m_paStreams[n] : nullptr;
}

HRESULT CSource::AddPin(CSourceStream* pin) {
  CAutoLock lock(&m_cStateLock);
  m_paStreams.push_back(pin);
  return S_OK;
}

HRESULT CSource::RemovePin(CSourceStream* pin) {
  CAutoLock lock(&m_cStateLock);
  auto it = std::find(m_paStreams.begin(), m_paStreams.end(), pin);
  if (it == m_paStreams.end()) return S_FALSE;
  m_paStreams.erase(it);
  return S_OK;
}

HRESULT CSource::Stop() { return CBaseFilter::Stop(); }
HRESULT CSource::Pause() { return CBaseFilter::Pause(); }

// ---- CSourceStream -----------------------------------------------------------------
CSourceStream::CSourceStream(const char* objectName, HRESULT* hr, CSource* filter, LPCWSTR name)
    : CBaseOutputPin(objectName, filter, filter->pStateLock(), hr, name), m_pFilter(filter) {
  filter->AddPin(this);
}

CSourceStream::~CSourceStream() {
  // No lock is held while the worker finishes.
  if (ThreadExists()) {
    StopCmd();
    Exit();
  }
  Close();
  m_pFilter->RemovePin(this);
}

HRESULT CSourceStream::Active() {
  CAutoLock lock(m_pFilter->pStateLock());
  if (ThreadExists()) return S_FALSE;
  if (!IsConnected()) return S_OK;
  HRESULT hr = CBaseOutputPin::Active();
  if (FAILED(hr)) return hr;
  Close();  // a thread that ended on its own
  if (!Create()) return E_FAIL;
  hr = Init();
  if (FAILED(hr)) return hr;
  return PauseCmd();
}

HRESULT CSourceStream::Inactive() {
  CAutoLock lock(m_pFilter->pStateLock());
  if (!IsConnected()) return S_OK;
  // Decommitting first frees a worker that waits for a buffer.
  const HRESULT hr = CBaseOutputPin::Inactive();
  if (ThreadExists()) {
    StopCmd();
    Exit();
  }
  Close();
  return hr;
}

HRESULT CSourceStream::CheckMediaType(const CMediaType* type) {
  CAutoLock lock(m_pFilter->pStateLock());
  CMediaType mine;
  if (FAILED(GetMediaType(&mine))) return E_FAIL;
  return mine == *type ? S_OK : E_FAIL;
}

HRESULT CSourceStream::GetMediaType(int position, CMediaType* type) {
  if (position != 0) return VFW_S_NO_MORE_ITEMS;
  const HRESULT hr = GetMediaType(type);
  return SUCCEEDED(hr) ? S_OK : hr;
}

HRESULT CSourceStream::GetMediaType(CMediaType*) { return E_UNEXPECTED; }

void CSourceStream::RequestRestart() {
  restartWanted_ = true;
  Poke();
}

DWORD CSourceStream::ThreadProc() {
  bool initialised = false;
  for (;;) {
    const bool request = WaitForRequestOr([this, &initialised] { return initialised && restartWanted_; });
    if (!request) {
      restartWanted_ = false;
      DoBufferProcessingLoop();
      continue;
    }
    switch (GetRequest()) {
      case CMD_INIT:
        initialised = true;
        Reply(OnThreadCreate());
        break;
      case CMD_EXIT:
        Reply(S_OK);
        OnThreadDestroy();
        return 0;
      case CMD_RUN:
      case CMD_PAUSE:
        restartWanted_ = false;
        Reply(S_OK);
        DoBufferProcessingLoop();
        break;
      case CMD_STOP:
        Reply(S_OK);
        break;
      default:
        Reply(E_NOTIMPL);
        break;
    }
  }
}

HRESULT CSourceStream::DoBufferProcessingLoop() {
  OnThreadStartPlay();
  DWORD request = 0;
  do {
    while (!CheckRequest(&request)) {
      IMediaSample* sample = nullptr;
      HRESULT hr = GetDeliveryBuffer(&sample, nullptr, nullptr, 0);
      if (FAILED(hr)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        continue;
      }
      hr = FillSample(sample);
      if (hr == S_OK) {
        hr = Deliver(sample);
        sample->Release();
        if (hr != S_OK) return S_OK;
      } else if (hr == E_PENDING) {
        if (sample) sample->Release();
        WaitForData();
      } else {
        if (sample) sample->Release();
        DeliverEndOfStream();
        if (hr == S_FALSE) return S_OK;
        m_pFilter->NotifyEvent(EC_ERRORABORT, hr, 0);
        return hr;
      }
    }
    if (request == CMD_RUN || request == CMD_PAUSE) {
      Reply(S_OK);
    } else if (request != CMD_STOP && request != CMD_EXIT) {
      Reply(E_UNEXPECTED);
    }
  } while (request != CMD_STOP && request != CMD_EXIT);
  return S_FALSE;
}

// ---- CSourceSeeking ---------------------------------------------------------------
CSourceSeeking::CSourceSeeking(CCritSec* lock) : m_pLock(lock) {}

HRESULT CSourceSeeking::SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop,
                                     DWORD stopFlags) {
  bool startChanged = false, stopChanged = false;
  {
    CAutoLock lock(m_pLock);
    if (current && (currentFlags & AM_SEEKING_AbsolutePositioning)) {
      m_rtStart = *current;
      startChanged = true;
    }
    if (stop && (stopFlags & AM_SEEKING_AbsolutePositioning)) {
      m_rtStop = *stop;
      stopChanged = true;
    }
  }
  HRESULT hr = S_OK;
  if (startChanged) hr = ChangeStart();
  if (stopChanged && SUCCEEDED(hr)) hr = ChangeStop();
  return hr;
}

HRESULT CSourceSeeking::GetPositions(LONGLONG* current, LONGLONG* stop) {
  CAutoLock lock(m_pLock);
  if (current) *current = m_rtStart;
  if (stop) *stop = m_rtStop;
  return S_OK;
}

HRESULT CSourceSeeking::SetRate(double rate) {
  {
    CAutoLock lock(m_pLock);
    m_dRateSeeking = rate;
  }
  return ChangeRate();
}

HRESULT CSourceSeeking::GetRate(double* rate) {
  if (!rate) return E_POINTER;
  CAutoLock lock(m_pLock);
  *rate = m_dRateSeeking;
  return S_OK;
}
