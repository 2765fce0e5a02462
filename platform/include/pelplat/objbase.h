// COM basics: apartments per thread, task memory, and the in-process class
// registry behind CoCreateInstance. Classes come into the registry through
// CoRegisterClassObject (the stand-in for registered in-process servers).
#pragma once

#include <cstddef>

#include "pelplat/unknwn.h"

#define COINIT_MULTITHREADED 0x0u
#define COINIT_APARTMENTTHREADED 0x2u

#define CLSCTX_INPROC_SERVER 0x1u
#define CLSCTX_INPROC_HANDLER 0x2u
#define CLSCTX_LOCAL_SERVER 0x4u
#define CLSCTX_ALL (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER)

#define REGCLS_SINGLEUSE 0u
#define REGCLS_MULTIPLEUSE 1u

#define CO_E_NOTINITIALIZED static_cast<HRESULT>(0x800401F0)
#define REGDB_E_CLASSNOTREG static_cast<HRESULT>(0x80040154)
#define CLASS_E_NOAGGREGATION static_cast<HRESULT>(0x80040110)
#define CLASS_E_CLASSNOTAVAILABLE static_cast<HRESULT>(0x80040111)
#define RPC_E_CHANGED_MODE static_cast<HRESULT>(0x80010106)

// S_OK for the thread's first entry, S_FALSE for a nested one in the same
// apartment kind, RPC_E_CHANGED_MODE for the other kind (not counted).
HRESULT CoInitializeEx(void* reserved, DWORD coInit);
HRESULT CoInitialize(void* reserved);
// Leaves one entry of the thread's apartment.
void CoUninitialize();
// The thread's entry count (0: outside every apartment).
ULONG CoApartmentDepth();

LPVOID CoTaskMemAlloc(size_t size);
LPVOID CoTaskMemRealloc(LPVOID block, size_t size);
void CoTaskMemFree(LPVOID block);

// Registers a class object (it is AddRef'ed) and answers a cookie for
// CoRevokeClassObject. A class registered twice: the latest one serves.
HRESULT CoRegisterClassObject(REFCLSID clsid, IUnknown* classObject, DWORD context, DWORD flags, LPDWORD cookie);
HRESULT CoRevokeClassObject(DWORD cookie);
HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, void* serverInfo, REFIID riid, void** object);
// Needs the calling thread in an apartment (CO_E_NOTINITIALIZED otherwise).
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid, void** object);

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" with its terminator: 39
// characters; answers the count written, 0 when `size` is too small.
int StringFromGUID2(REFGUID guid, LPWSTR text, int size);
