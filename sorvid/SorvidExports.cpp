// The exported functions: each forwards to one operation of the player
// behind the handle.
#include <new>

#include "FormatRecordToMediaType.h"
#include "Sorvid.h"
#include "VrPlayer.h"
#include "pelplat/dshowreg.h"

int nSorvid = 0;

CSorvid& CSorvid::operator=(const CSorvid&) { return *this; }
CSorvid& CSorvid::operator=(CSorvid&&) { return *this; }

namespace {

// The platform's DirectShow classes are in the registry before any export
// runs.
struct RegisterClasses {
  RegisterClasses() { DsRegisterPlatformClasses(); }
} g_registerClasses;

CVrNspPlayerEx* Player(void* handle) { return static_cast<CVrNspPlayerEx*>(handle); }

}  // namespace

HRESULT SorvidInit(const StreamFormatRecord* record, void** handle) {
  if (!record || !handle) return E_POINTER;
  CMediaType type;
  HRESULT hr = FormatRecordToMediaType(record, &type);
  if (FAILED(hr)) return hr;
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  auto* player = new (std::nothrow) CVrNspPlayerEx();
  if (!player) {
    *handle = nullptr;
    return E_OUTOFMEMORY;
  }
  hr = player->Init(type);
  if (FAILED(hr)) {
    player->Release();
    *handle = nullptr;
    return hr;
  }
  *handle = player;
  return hr;
}

HRESULT SorvidClose(void* handle) {
  if (handle) Player(handle)->Release();
  CoUninitialize();
  return S_OK;
}

HRESULT SorvidSetAllocator(void* handle, const ALLOCATOR_PROPERTIES* properties) {
  if (!handle || !properties) return E_POINTER;
  Player(handle)->SetAllocator(properties);
  return S_OK;
}

HRESULT SorvidSelectAndRenderWindowless(void* handle, HWND__* window, DWORD colourKey,
                                        IDSFrameProcessor* frameProcessor) {
  if (!handle) return E_POINTER;
  return Player(handle)->SelectAndRender(window, colourKey, frameProcessor, 0);
}

HRESULT SorvidSelectAndRender(void* handle) {
  if (!handle) return E_POINTER;
  return Player(handle)->SelectAndRender(nullptr, 0xFFFFFFFF, nullptr, 0);
}

HRESULT SorvidSetBuffer(void* handle, const BYTE* data, uint32_t size, const SampleInfoRecord* info) {
  if (!handle || !data) return E_POINTER;
  return Player(handle)->SetBuffer(data, size, info);
}

HRESULT SorvidSetState(void* handle, uint32_t state) {
  if (!handle) return E_POINTER;
  switch (state) {
    case 0:
      return Player(handle)->Stop();
    case 2:
      return Player(handle)->Pause();
    case 3:
      return Player(handle)->Run();
    default:
      return S_OK;
  }
}

HRESULT SorvidNewSegment(void* handle, const SegmentRecord* segment) {
  if (!handle || !segment) return E_POINTER;
  return Player(handle)->NewSegment(segment);
}

HRESULT SorvidFilterEvent(void* handle, int32_t event) {
  if (!handle) return E_POINTER;
  switch (event) {
    case 1:
      Player(handle)->StopStream();
      return S_OK;
    case 2:
      Player(handle)->BeginFlush();
      return S_OK;
    case 3:
      Player(handle)->EndFlush();
      return S_OK;
    default:
      return S_FALSE;
  }
}

HRESULT SorvidWindowRect(void* handle, const RECT* rect, int32_t, int32_t x, int32_t y) {
  if (!handle || !rect) return E_POINTER;
  return Player(handle)->WindowRect(rect, x, y);
}

HRESULT SorvidUpdateWindowRectToScroll(void* handle, int32_t x, int32_t y) {
  if (!handle) return E_POINTER;
  return Player(handle)->UpdateWindowRectToScroll(x, y);
}

HRESULT SorvidOnParentPaint(void* handle, HWND__* window, HDC__* deviceContext) {
  if (!handle) return E_POINTER;
  return Player(handle)->OnParentPaint(window, deviceContext);
}

HRESULT SorvidShowWindow(void* handle) {
  if (!handle) return E_POINTER;
  return Player(handle)->ShowWindow();
}

HRESULT SorvidPlayFileWait(void* pointer) { return pointer ? S_OK : E_POINTER; }
