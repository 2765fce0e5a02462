// The attribute store behind media types, samples and activation objects:
// typed items by GUID key under one lock. Asking for an item under another
// type answers MF_E_INVALIDTYPE, a missing one MF_E_ATTRIBUTENOTFOUND.
#pragma once

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <tuple>
#include <vector>

#include "pelplat/comobject.h"
#include "pelplat/mferror.h"
#include "pelplat/mfobjects.h"

namespace pelplat_mf {

using pelplat::ComObject;
using pelplat::Ref;
using pelplat::SafeRelease;

// Answers a value the object knows through the caller's out parameter.
template <class T>
HRESULT Give(T* out, const T& value) {
  if (!out) return E_POINTER;
  *out = value;
  return S_OK;
}

struct GuidLess {
  bool operator()(const GUID& a, const GUID& b) const {
    return std::memcmp(&a, &b, sizeof(GUID)) < 0;
  }
};

struct AttributeValue {
  enum Kind { kUint32, kUint64, kGuid, kBlob, kUnknown } kind = kUint32;
  UINT64 number = 0;
  GUID guid{};
  std::vector<UINT8> blob;
  // Holds one reference on the interface for as long as a copy lives.
  Ref<IUnknown> unknown;
};

template <class Base>
class AttributeStore : public ComObject<Base> {
 public:
  HRESULT GetUINT32(REFGUID key, UINT32* value) override {
    return Read(key, AttributeValue::kUint32, value,
                [](const AttributeValue& item) { return static_cast<UINT32>(item.number); });
  }
  HRESULT GetUINT64(REFGUID key, UINT64* value) override {
    return Read(key, AttributeValue::kUint64, value, [](const AttributeValue& item) { return item.number; });
  }
  HRESULT GetGUID(REFGUID key, GUID* value) override {
    return Read(key, AttributeValue::kGuid, value, [](const AttributeValue& item) { return item.guid; });
  }
  HRESULT GetBlobSize(REFGUID key, UINT32* size) override {
    return Read(key, AttributeValue::kBlob, size,
                [](const AttributeValue& item) { return static_cast<UINT32>(item.blob.size()); });
  }
  HRESULT GetBlob(REFGUID key, UINT8* buffer, UINT32 size, UINT32* written) override {
    if (!buffer) return E_POINTER;
    std::lock_guard<std::mutex> hold(lock_);
    const AttributeValue* item = nullptr;
    const HRESULT hr = Find(key, AttributeValue::kBlob, &item);
    if (FAILED(hr)) return hr;
    if (item->blob.size() > size) return MF_E_BUFFERTOOSMALL;
    if (!item->blob.empty()) std::memcpy(buffer, item->blob.data(), item->blob.size());
    if (written) *written = static_cast<UINT32>(item->blob.size());
    return S_OK;
  }
  HRESULT SetUINT32(REFGUID key, UINT32 value) override {
    AttributeValue item;
    item.number = value;
    return Store(key, std::move(item));
  }
  HRESULT SetUINT64(REFGUID key, UINT64 value) override {
    AttributeValue item;
    item.kind = AttributeValue::kUint64;
    item.number = value;
    return Store(key, std::move(item));
  }
  HRESULT SetGUID(REFGUID key, REFGUID value) override {
    AttributeValue item;
    item.kind = AttributeValue::kGuid;
    item.guid = value;
    return Store(key, std::move(item));
  }
  HRESULT SetBlob(REFGUID key, const UINT8* buffer, UINT32 size) override {
    if (!buffer && size) return E_POINTER;
    AttributeValue item;
    item.kind = AttributeValue::kBlob;
    item.blob.assign(buffer, buffer + size);
    return Store(key, std::move(item));
  }
  HRESULT SetUnknown(REFGUID key, IUnknown* unknown) override {
    if (!unknown) return E_POINTER;
    AttributeValue item;
    item.kind = AttributeValue::kUnknown;
    item.unknown = Ref<IUnknown>::Share(unknown);
    return Store(key, std::move(item));
  }
  HRESULT GetUnknown(REFGUID key, REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    Ref<IUnknown> held;
    {
      std::lock_guard<std::mutex> hold(lock_);
      const AttributeValue* item = nullptr;
      const HRESULT hr = Find(key, AttributeValue::kUnknown, &item);
      if (FAILED(hr)) return hr;
      held = item->unknown;
    }
    return held->QueryInterface(riid, object);
  }
  HRESULT DeleteItem(REFGUID key) override {
    std::lock_guard<std::mutex> hold(lock_);
    items_.erase(key);
    return S_OK;
  }
  HRESULT GetCount(UINT32* count) override {
    if (!count) return E_POINTER;
    std::lock_guard<std::mutex> hold(lock_);
    *count = static_cast<UINT32>(items_.size());
    return S_OK;
  }
  HRESULT CopyAllItems(IMFAttributes* dest) override {
    if (!dest) return E_POINTER;
    std::map<GUID, AttributeValue, GuidLess> copy;
    {
      std::lock_guard<std::mutex> hold(lock_);
      copy = items_;
    }
    for (const auto& [key, item] : copy) {
      HRESULT hr = S_OK;
      switch (item.kind) {
        case AttributeValue::kUint32: hr = dest->SetUINT32(key, static_cast<UINT32>(item.number)); break;
        case AttributeValue::kUint64: hr = dest->SetUINT64(key, item.number); break;
        case AttributeValue::kGuid: hr = dest->SetGUID(key, item.guid); break;
        case AttributeValue::kBlob:
          hr = dest->SetBlob(key, item.blob.data(), static_cast<UINT32>(item.blob.size()));
          break;
        case AttributeValue::kUnknown: hr = dest->SetUnknown(key, item.unknown.get()); break;
      }
      if (FAILED(hr)) return hr;
    }
    return S_OK;
  }

 private:
  // Reads the item of `kind` under `key` into *value through `take`.
  template <class T, class Take>
  HRESULT Read(REFGUID key, AttributeValue::Kind kind, T* value, Take take) {
    if (!value) return E_POINTER;
    std::lock_guard<std::mutex> hold(lock_);
    const AttributeValue* item = nullptr;
    const HRESULT hr = Find(key, kind, &item);
    if (SUCCEEDED(hr)) *value = take(*item);
    return hr;
  }
  HRESULT Find(REFGUID key, AttributeValue::Kind kind, const AttributeValue** item) {
    const auto it = items_.find(key);
    if (it == items_.end()) return MF_E_ATTRIBUTENOTFOUND;
    if (it->second.kind != kind) return MF_E_INVALIDTYPE;
    *item = &it->second;
    return S_OK;
  }
  HRESULT Store(REFGUID key, AttributeValue&& item) {
    std::lock_guard<std::mutex> hold(lock_);
    items_[key] = std::move(item);
    return S_OK;
  }

  std::mutex lock_;
  std::map<GUID, AttributeValue, GuidLess> items_;
};

}  // namespace pelplat_mf
