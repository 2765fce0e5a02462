// Media Foundation's data objects: attribute stores, media types, memory
// buffers, samples, collections and activation objects.
#pragma once

#include "pelplat/unknwn.h"

typedef uint8_t UINT8;
typedef uint32_t UINT32;
typedef uint64_t UINT64;

// {2cd2d921-c447-44a7-a13c-4adabfc247e3}
PELPLAT_GUID(IID_IMFAttributes, 0x2cd2d921, 0xc447, 0x44a7, 0xa1, 0x3c, 0x4a, 0xda, 0xbf, 0xc2, 0x47, 0xe3);
// {44ae0fa8-ea31-4109-8d2e-4cae4997c555}
PELPLAT_GUID(IID_IMFMediaType, 0x44ae0fa8, 0xea31, 0x4109, 0x8d, 0x2e, 0x4c, 0xae, 0x49, 0x97, 0xc5, 0x55);
// {045fa593-8799-42b8-bc8d-8968c6453507}
PELPLAT_GUID(IID_IMFMediaBuffer, 0x045fa593, 0x8799, 0x42b8, 0xbc, 0x8d, 0x89, 0x68, 0xc6, 0x45, 0x35, 0x07);
// {c40a00f2-b93a-4d80-ae8c-5a1c634f58e4}
PELPLAT_GUID(IID_IMFSample, 0xc40a00f2, 0xb93a, 0x4d80, 0xae, 0x8c, 0x5a, 0x1c, 0x63, 0x4f, 0x58, 0xe4);
// {7fee9e9a-4a89-47a6-899c-b6a53a70fb67}
PELPLAT_GUID(IID_IMFActivate, 0x7fee9e9a, 0x4a89, 0x47a6, 0x89, 0x9c, 0xb6, 0xa5, 0x3a, 0x70, 0xfb, 0x67);
// {5bc8a76b-869a-46a3-9b03-fa218a66aebe}
PELPLAT_GUID(IID_IMFCollection, 0x5bc8a76b, 0x869a, 0x46a3, 0x9b, 0x03, 0xfa, 0x21, 0x8a, 0x66, 0xae, 0xbe);

typedef GUID MF_ATTRIBUTE_KEY;

struct IMFAttributes : IUnknown {
  virtual HRESULT GetUINT32(REFGUID key, UINT32* value) = 0;
  virtual HRESULT GetUINT64(REFGUID key, UINT64* value) = 0;
  virtual HRESULT GetGUID(REFGUID key, GUID* value) = 0;
  virtual HRESULT GetBlobSize(REFGUID key, UINT32* size) = 0;
  virtual HRESULT GetBlob(REFGUID key, UINT8* buffer, UINT32 size, UINT32* written) = 0;
  virtual HRESULT SetUINT32(REFGUID key, UINT32 value) = 0;
  virtual HRESULT SetUINT64(REFGUID key, UINT64 value) = 0;
  virtual HRESULT SetGUID(REFGUID key, REFGUID value) = 0;
  virtual HRESULT SetBlob(REFGUID key, const UINT8* buffer, UINT32 size) = 0;
  virtual HRESULT DeleteItem(REFGUID key) = 0;
  virtual HRESULT GetCount(UINT32* count) = 0;
  // Copies every item into dest (which keeps items of other keys).
  virtual HRESULT CopyAllItems(IMFAttributes* dest) = 0;
  // An interface item: the store keeps a reference; GetUnknown answers it
  // for riid with an added reference.
  virtual HRESULT SetUnknown(REFGUID, IUnknown*) { return E_NOTIMPL; }
  virtual HRESULT GetUnknown(REFGUID, REFIID, void**) { return E_NOTIMPL; }

 protected:
  ~IMFAttributes() = default;
};

struct IMFMediaType : IMFAttributes {
  virtual HRESULT GetMajorType(GUID* major) = 0;

 protected:
  ~IMFMediaType() = default;
};

struct IMFMediaBuffer : IUnknown {
  virtual HRESULT Lock(BYTE** data, DWORD* maxLength, DWORD* currentLength) = 0;
  virtual HRESULT Unlock() = 0;
  virtual HRESULT GetCurrentLength(DWORD* length) = 0;
  virtual HRESULT SetCurrentLength(DWORD length) = 0;
  virtual HRESULT GetMaxLength(DWORD* length) = 0;

 protected:
  ~IMFMediaBuffer() = default;
};

struct IMFSample : IMFAttributes {
  virtual HRESULT GetSampleTime(LONGLONG* time) = 0;
  virtual HRESULT SetSampleTime(LONGLONG time) = 0;
  virtual HRESULT GetSampleDuration(LONGLONG* duration) = 0;
  virtual HRESULT SetSampleDuration(LONGLONG duration) = 0;
  virtual HRESULT GetBufferCount(DWORD* count) = 0;
  virtual HRESULT GetBufferByIndex(DWORD index, IMFMediaBuffer** buffer) = 0;
  virtual HRESULT AddBuffer(IMFMediaBuffer* buffer) = 0;
  virtual HRESULT RemoveAllBuffers() = 0;
  virtual HRESULT GetTotalLength(DWORD* length) = 0;

 protected:
  ~IMFSample() = default;
};

struct IMFCollection : IUnknown {
  virtual HRESULT GetElementCount(DWORD* count) = 0;

 protected:
  ~IMFCollection() = default;
};

// Creates the object it describes; the activation object keeps it until
// ShutdownObject or DetachObject.
struct IMFActivate : IMFAttributes {
  virtual HRESULT ActivateObject(REFIID riid, void** object) = 0;
  virtual HRESULT ShutdownObject() = 0;
  virtual HRESULT DetachObject() = 0;

 protected:
  ~IMFActivate() = default;
};
