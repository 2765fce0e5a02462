// COM basics of the platform layer: per-thread apartment counters, task
// memory over malloc, and the class registry behind CoCreateInstance.
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "pelplat/objbase.h"

namespace {

struct Apartment {
  ULONG depth = 0;
  DWORD kind = COINIT_MULTITHREADED;
};
thread_local Apartment t_apartment;

struct Registration {
  DWORD cookie;
  CLSID clsid;
  IUnknown* classObject;
};

std::mutex g_registryMutex;
std::vector<Registration> g_registry;
DWORD g_nextCookie = 1;

// The class object registered last for clsid, AddRef'ed; null when none.
IUnknown* FindClassObject(REFCLSID clsid) {
  std::lock_guard<std::mutex> hold(g_registryMutex);
  for (auto it = g_registry.rbegin(); it != g_registry.rend(); ++it) {
    if (it->clsid == clsid) {
      it->classObject->AddRef();
      return it->classObject;
    }
  }
  return nullptr;
}

}  // namespace

HRESULT CoInitializeEx(void*, DWORD coInit) {
  const DWORD kind = coInit & COINIT_APARTMENTTHREADED;
  if (t_apartment.depth > 0 && t_apartment.kind != kind) return RPC_E_CHANGED_MODE;
  t_apartment.kind = kind;
  return t_apartment.depth++ == 0 ? S_OK : S_FALSE;
}

HRESULT CoInitialize(void* reserved) { return CoInitializeEx(reserved, COINIT_APARTMENTTHREADED); }

void CoUninitialize() {
  if (t_apartment.depth > 0) --t_apartment.depth;
}

ULONG CoApartmentDepth() { return t_apartment.depth; }

LPVOID CoTaskMemAlloc(size_t size) { return malloc(size ? size : 1); }

LPVOID CoTaskMemRealloc(LPVOID block, size_t size) { return realloc(block, size ? size : 1); }

void CoTaskMemFree(LPVOID block) { free(block); }

HRESULT CoRegisterClassObject(REFCLSID clsid, IUnknown* classObject, DWORD, DWORD, LPDWORD cookie) {
  if (!classObject || !cookie) return E_INVALIDARG;
  classObject->AddRef();
  std::lock_guard<std::mutex> hold(g_registryMutex);
  *cookie = g_nextCookie++;
  g_registry.push_back(Registration{*cookie, clsid, classObject});
  return S_OK;
}

HRESULT CoRevokeClassObject(DWORD cookie) {
  IUnknown* released = nullptr;
  {
    std::lock_guard<std::mutex> hold(g_registryMutex);
    for (auto it = g_registry.begin(); it != g_registry.end(); ++it) {
      if (it->cookie == cookie) {
        released = it->classObject;
        g_registry.erase(it);
        break;
      }
    }
  }
  if (!released) return E_INVALIDARG;
  released->Release();
  return S_OK;
}

HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, void*, REFIID riid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (!(context & CLSCTX_INPROC_SERVER)) return REGDB_E_CLASSNOTREG;
  IUnknown* classObject = FindClassObject(clsid);
  if (!classObject) return REGDB_E_CLASSNOTREG;
  const HRESULT hr = classObject->QueryInterface(riid, object);
  classObject->Release();
  return hr;
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (t_apartment.depth == 0) return CO_E_NOTINITIALIZED;
  IClassFactory* factory = nullptr;
  const HRESULT hr =
      CoGetClassObject(clsid, context, nullptr, IID_IClassFactory, reinterpret_cast<void**>(&factory));
  if (FAILED(hr)) return hr == E_NOINTERFACE ? CLASS_E_CLASSNOTAVAILABLE : hr;
  const HRESULT made = factory->CreateInstance(outer, riid, object);
  factory->Release();
  return made;
}

int StringFromGUID2(REFGUID guid, LPWSTR text, int size) {
  constexpr int kLength = 39;
  if (!text || size < kLength) return 0;
  char narrow[kLength + 1];
  snprintf(narrow, sizeof narrow, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", guid.Data1, guid.Data2,
           guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
           guid.Data4[6], guid.Data4[7]);
  for (int i = 0; i < kLength; ++i) text[i] = static_cast<WCHAR>(narrow[i]);
  return kLength;
}
