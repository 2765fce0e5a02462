#include "VrPlayer.h"

#include <algorithm>

#include "pelplat/rectspan.h"

namespace {

constexpr DWORD_PTR kUserId = 1234;

template <typename T>
void ReleaseInto(T*& p) {
  if (p) p->Release();
  p = nullptr;
}

template <typename T>
HRESULT Query(IUnknown* from, REFIID riid, T** into) {
  return from->QueryInterface(riid, reinterpret_cast<void**>(into));
}

// The server's rectangle moved by an offset; an edge pushed past the LONG
// range stays at its end.
RECT Moved(const RECT& r, int64_t dx, int64_t dy) {
  return {SaturatedLong(r.left + dx), SaturatedLong(r.top + dy), SaturatedLong(r.right + dx),
          SaturatedLong(r.bottom + dy)};
}

}  // namespace

// ---- CVrPlayer ------------------------------------------------------------------------
CVrPlayer::CVrPlayer(HWND window) : m_window(window) {}

CVrPlayer::~CVrPlayer() {
  CloseBase();
  m_window = nullptr;
}

LONG CVrPlayer::Release() {
  const LONG left = --m_refs;
  if (left == 0) delete this;
  return left;
}

HRESULT CVrPlayer::Close() { return CloseBase(); }

HRESULT CVrPlayer::CloseBase() {
  CAutoLock lock(&m_baseLock);
  ReleaseInto(m_videoWindow);
  ReleaseInto(m_mediaEvents);
  ReleaseInto(m_mediaSeeking);
  ReleaseInto(m_mediaControl);
  ReleaseInto(m_graph);
  return S_OK;
}

HRESULT CVrPlayer::Run() {
  CAutoLock lock(&m_baseLock);
  return m_mediaControl ? m_mediaControl->Run() : E_NOINTERFACE;
}

HRESULT CVrPlayer::Pause() {
  CAutoLock lock(&m_baseLock);
  return m_mediaControl ? m_mediaControl->Pause() : E_NOINTERFACE;
}

HRESULT CVrPlayer::Stop() {
  CAutoLock lock(&m_baseLock);
  return m_mediaControl ? m_mediaControl->Stop() : E_NOINTERFACE;
}

HRESULT CVrPlayer::WindowRect(const RECT* r, int, int) {
  CAutoLock lock(&m_baseLock);
  if (!m_videoWindow) return E_NOINTERFACE;
  const LONG width = SaturatedLong(std::max<int64_t>(0, RectSpan(r->left, r->right)));
  const LONG height = SaturatedLong(std::max<int64_t>(0, RectSpan(r->top, r->bottom)));
  return m_videoWindow->SetWindowPosition(r->left, r->top, width, height);
}

HRESULT CVrPlayer::ShowWindow() {
  CAutoLock lock(&m_baseLock);
  if (!m_videoWindow) return E_NOINTERFACE;
  m_videoWindow->put_WindowState(9);
  m_videoWindow->put_Visible(TRUE);
  return m_videoWindow->put_WindowState(5);
}

// ---- CVrPlayerEx ---------------------------------------------------------------------
CVrPlayerEx::~CVrPlayerEx() { CloseRenderer(); }

HRESULT CVrPlayerEx::CloseRenderer() {
  CAutoLock lock(&m_rendererLock);
  ReleaseInto(m_vmr7Control);
  return S_OK;
}

HRESULT CVrPlayerEx::Close() {
  CloseRenderer();
  CVrPlayer::Close();
  return S_OK;
}

HRESULT CVrPlayerEx::WindowRect(const RECT* r, int x, int y) {
  CAutoLock lock(&m_rendererLock);
  if (!m_vmr7Control) return CVrPlayer::WindowRect(r, x, y);
  LONG w = 0, h = 0;
  HRESULT hr = m_vmr7Control->GetNativeVideoSize(&w, &h, nullptr, nullptr);
  if (FAILED(hr)) {
    m_positionValid = false;
    return hr;
  }
  const RECT destination = Moved(*r, x, y);
  const RECT source{0, 0, w, h};
  hr = m_vmr7Control->SetVideoPosition(&source, &destination);
  m_positionValid = SUCCEEDED(hr);
  return hr;
}

HRESULT CVrPlayerEx::OnParentPaint(HWND window, HDC deviceContext) {
  CAutoLock lock(&m_rendererLock);
  return m_vmr7Control ? m_vmr7Control->RepaintVideo(window, deviceContext) : E_NOINTERFACE;
}

HRESULT CVrPlayerEx::DisplayModeChanged() {
  CAutoLock lock(&m_rendererLock);
  return m_vmr7Control ? m_vmr7Control->DisplayModeChanged() : E_NOINTERFACE;
}

HRESULT CVrPlayerEx::SetColorKey(DWORD colour) {
  CAutoLock lock(&m_rendererLock);
  m_colourKey = colour;
  return m_vmr7Control ? m_vmr7Control->SetColorKey(colour) : S_OK;
}

HRESULT CVrPlayerEx::AddVmr7() {
  IBaseFilter* vmr = nullptr;
  HRESULT hr = CoCreateInstance(CLSID_VideoMixingRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                reinterpret_cast<void**>(&vmr));
  if (FAILED(hr)) return hr;
  IVMRFilterConfig* config = nullptr;
  if (SUCCEEDED(Query(vmr, IID_IVMRFilterConfig, &config))) {
    config->SetRenderingMode(VMRMode_Windowless);
    if (m_colourKey != 0xFFFFFFFF) config->SetRenderingPrefs(RenderPrefs_DoNotRenderColorKeyAndBorder);
    config->Release();
  }
  {
    CAutoLock lock(&m_rendererLock);
    ReleaseInto(m_vmr7Control);
    if (SUCCEEDED(Query(vmr, IID_IVMRWindowlessControl, &m_vmr7Control))) {
      m_vmr7Control->SetVideoClippingWindow(m_window);
      if (m_colourKey != 0xFFFFFFFF) m_vmr7Control->SetColorKey(m_colourKey);
      m_vmr7Control->SetBorderColor(0);
    }
  }
  hr = m_graph->AddFilter(vmr, u"VMR7");
  vmr->Release();
  return hr;
}

// ---- CVrNspPlayer -------------------------------------------------------------------
CVrNspPlayer::~CVrNspPlayer() {
  CloseSource();
  CVrPlayerEx::Close();
  CAutoLock lock(&m_streamLock);
  m_pendingType = CMediaType();
  m_pendingAllocator = {};
  m_frameProcessor = nullptr;
}

HRESULT CVrNspPlayer::CloseSource() {
  CAutoLock lock(&m_streamLock);
  if (m_source) {
    if (m_mediaControl) m_mediaControl->Stop();
    if (m_graph) m_graph->RemoveFilter(m_source);
    ReleaseInto(m_source);
  }
  return S_OK;
}

HRESULT CVrNspPlayer::Close() {
  CAutoLock lock(&m_streamLock);
  CloseSource();
  return CVrPlayerEx::Close();
}

HRESULT CVrNspPlayer::Stop() {
  CAutoLock lock(&m_streamLock);
  const HRESULT hr = CVrPlayer::Stop();
  return m_source ? m_source->DropQueue() : hr;
}

HRESULT CVrNspPlayer::Init(const CMediaType& type) {
  CAutoLock lock(&m_streamLock);
  return m_pendingType.Set(type);
}

HRESULT CVrNspPlayer::SetAllocator(const ALLOCATOR_PROPERTIES* properties) {
  if (!properties) return E_INVALIDARG;
  CAutoLock lock(&m_streamLock);
  m_pendingAllocator = *properties;
  return S_OK;
}

HRESULT CVrNspPlayer::SetBuffer(const BYTE* data, uint32_t size, const SampleInfoRecord* info) {
  CAutoLock lock(&m_streamLock);
  return m_source ? m_source->QueueSample(data, size, info) : E_NOINTERFACE;
}

HRESULT CVrNspPlayer::NewSegment(const SegmentRecord* segment) {
  if (!segment) return E_INVALIDARG;
  CAutoLock lock(&m_streamLock);
  if (!m_source) return E_NOINTERFACE;
  const HRESULT hr = m_source->NewSegment(segment->start, segment->stop, segment->rate);
  if (m_mediaSeeking) {
    LONGLONG start = segment->start, stop = segment->stop;
    m_mediaSeeking->SetPositions(&start, AM_SEEKING_AbsolutePositioning, &stop, AM_SEEKING_AbsolutePositioning);
    m_mediaSeeking->SetRate(segment->rate);
  }
  return hr;
}

HRESULT CVrNspPlayer::StopStream() {
  CAutoLock lock(&m_streamLock);
  return m_source ? m_source->StopStream() : E_NOINTERFACE;
}

HRESULT CVrNspPlayer::BeginFlush() {
  CAutoLock lock(&m_streamLock);
  return m_source ? m_source->BeginFlush() : E_NOINTERFACE;
}

HRESULT CVrNspPlayer::EndFlush() {
  CAutoLock lock(&m_streamLock);
  return m_source ? m_source->EndFlush() : E_NOINTERFACE;
}

HRESULT CVrNspPlayer::AddRenderer() {
  if (!m_graph) return E_INVALIDARG;
  HRESULT hr = AddEvr();
  if (FAILED(hr)) hr = AddVmr9();
  if (FAILED(hr)) hr = AddVmr7();
  return hr;
}

HRESULT CVrNspPlayer::SelectAndRender(HWND window, DWORD c, IDSFrameProcessor* frameProcessor,
                                      int rendererPreference) {
  Close();
  CAutoLock lock(&m_streamLock);
  m_window = window;
  m_frameProcessor = frameProcessor;
  m_rendererPreference = rendererPreference;
  m_colourKey = ((c & 0xFF) << 16) | (c & 0xFF00) | ((c >> 16) & 0xFF);

  IGraphBuilder* builder = nullptr;
  auto fail = [&](HRESULT hr) {
    ReleaseInto(m_source);
    ReleaseInto(builder);
    CVrPlayer::Close();
    return hr;
  };
  HRESULT hr = S_OK;
  m_source = new CVrNetSource(&hr);
  if (FAILED(hr)) return fail(hr);
  m_source->SetStreamMediaType(m_pendingType);
  m_source->SetAllocatorProperties(m_pendingAllocator);
  if (FAILED(hr = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterGraph,
                                   reinterpret_cast<void**>(&m_graph))))
    return fail(hr);
  if (FAILED(hr = m_graph->AddFilter(m_source, u"NetSource"))) return fail(hr);
  if (FAILED(hr = Query(m_graph, IID_IGraphBuilder, &builder))) return fail(hr);
  if (FAILED(hr = AddRenderer())) return fail(hr);
  hr = builder->Render(m_source->GetPin(0));
  ReleaseInto(builder);
  if (FAILED(hr)) return fail(hr);
  {
    CAutoLock base(&m_baseLock);
    if (FAILED(hr = Query(m_graph, IID_IMediaControl, &m_mediaControl))) return fail(hr);
    if (FAILED(hr = Query(m_graph, IID_IMediaEventEx, &m_mediaEvents))) return fail(hr);
    Query(m_graph, IID_IMediaSeeking, &m_mediaSeeking);
    if (FAILED(hr = Query(m_graph, IID_IVideoWindow, &m_videoWindow))) return fail(hr);
    m_videoWindow->put_Caption(u"VrNetPlayer");
  }
  return S_OK;
}

HRESULT CVrNspPlayer::UpdateWindowRectToScroll(int x, int y) {
  CAutoLock lock(&m_streamLock);
  CAutoLock renderer(&m_rendererLock);
  if (!m_positionValid || !m_vmr7Control || (x == m_lastScrollX && y == m_lastScrollY)) return S_OK;
  RECT destination{};
  LONG w = 0, h = 0;
  if (FAILED(m_vmr7Control->GetVideoPosition(nullptr, &destination)) ||
      FAILED(m_vmr7Control->GetNativeVideoSize(&w, &h, nullptr, nullptr)))
    return S_OK;
  const int64_t dx = int64_t{m_lastScrollX} - x, dy = int64_t{m_lastScrollY} - y;
  destination = Moved(destination, dx, dy);
  m_lastScrollX = x;
  m_lastScrollY = y;
  const RECT source{0, 0, w, h};
  m_vmr7Control->SetVideoPosition(&source, &destination);
  return S_OK;
}

// ---- CVrNspPlayerEx -----------------------------------------------------------------
CVrNspPlayerEx::~CVrNspPlayerEx() {
  DetachNotify();
  if (m_presenter) {
    m_presenter->ForgetFrameProcessor();
    m_presenter->AdviseNotify(nullptr);
    m_presenter->Release();
    m_presenter = nullptr;
  }
}

// The renderer of an earlier build lets go of the presenter, so that it
// is neither kept alive nor advised twice.
void CVrNspPlayerEx::DetachNotify() {
  if (!m_notify) return;
  m_notify->AdviseSurfaceAllocator(kUserId, nullptr);
  ReleaseInto(m_notify);
}

HRESULT CVrNspPlayerEx::AddVmr7() {
  HRESULT hr = S_OK;
  if (!m_presenter) {
    m_presenter = new CVrVMR7Presenter(m_frameProcessor, m_window, m_colourKey, &hr);
    if (FAILED(hr)) ReleaseInto(m_presenter);
  }
  if (m_presenter) {
    IBaseFilter* vmr = nullptr;
    IVMRFilterConfig* config = nullptr;
    hr = CoCreateInstance(CLSID_VideoMixingRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                          reinterpret_cast<void**>(&vmr));
    if (SUCCEEDED(hr)) hr = Query(vmr, IID_IVMRFilterConfig, &config);
    if (SUCCEEDED(hr)) {
      config->SetRenderingMode(VMRMode_Renderless);
      config->SetRenderingPrefs(RenderPrefs_DoNotRenderColorKeyAndBorder);
      DetachNotify();
      hr = Query(vmr, IID_IVMRSurfaceAllocatorNotify, &m_notify);
    }
    if (SUCCEEDED(hr)) hr = m_presenter->AdviseNotify(m_notify);
    if (SUCCEEDED(hr)) hr = m_notify->AdviseSurfaceAllocator(kUserId, m_presenter);
    if (SUCCEEDED(hr)) {
      CAutoLock lock(&m_rendererLock);
      ReleaseInto(m_vmr7Control);
      hr = Query(vmr, IID_IVMRWindowlessControl, &m_vmr7Control);
      if (SUCCEEDED(hr)) {
        m_vmr7Control->SetVideoClippingWindow(m_window);
        m_vmr7Control->SetColorKey(m_colourKey);
      }
    }
    if (SUCCEEDED(hr)) hr = m_graph->AddFilter(vmr, u"VrVMR7 Custom");
    ReleaseInto(config);
    ReleaseInto(vmr);
    if (SUCCEEDED(hr)) return S_OK;
    DetachNotify();
    m_presenter->AdviseNotify(nullptr);
    ReleaseInto(m_presenter);
  }
  return CVrPlayerEx::AddVmr7();
}
