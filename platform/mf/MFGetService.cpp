// The service lookup every renderer and the session answer.
#include "MFRendererSink.h"

HRESULT MFGetService(IUnknown* object, REFGUID service, REFIID riid, void** result) {
  if (!result) return E_POINTER;
  *result = nullptr;
  if (!object) return E_POINTER;
  IMFGetService* lookup = nullptr;
  const HRESULT hr = object->QueryInterface(IID_IMFGetService, reinterpret_cast<void**>(&lookup));
  if (FAILED(hr) || !lookup) return E_NOINTERFACE;
  const HRESULT answer = lookup->GetService(service, riid, result);
  lookup->Release();
  return answer;
}

HRESULT MFGetRendererStats(IUnknown* renderer, MFRendererStats* stats) {
  if (!renderer || !stats) return E_POINTER;
  pelplat_mf::IPelplatRendererStats* counters = nullptr;
  if (FAILED(renderer->QueryInterface(pelplat_mf::IID_PelplatRendererStats, reinterpret_cast<void**>(&counters))) ||
      !counters)
    return E_NOINTERFACE;
  counters->GetStats(stats);
  counters->Release();
  return S_OK;
}
