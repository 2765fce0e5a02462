// Media type handlers, stream descriptors and presentation descriptors.
#include <new>
#include <vector>

#include "MFAttributeStore.h"
#include "pelplat/mfapi.h"
#include "pelplat/mfsource.h"

namespace pelplat_mf {
namespace {

bool SameKind(IMFMediaType* a, IMFMediaType* b) {
  GUID am{}, bm{}, as{}, bs{};
  if (FAILED(a->GetGUID(MF_MT_MAJOR_TYPE, &am)) || FAILED(b->GetGUID(MF_MT_MAJOR_TYPE, &bm))) return false;
  a->GetGUID(MF_MT_SUBTYPE, &as);
  b->GetGUID(MF_MT_SUBTYPE, &bs);
  return am == bm && as == bs;
}

class TypeHandler : public ComObject<IMFMediaTypeHandler> {
 public:
  TypeHandler(DWORD count, IMFMediaType** types) {
    for (DWORD i = 0; i < count; ++i) types_.push_back(Ref<IMFMediaType>::Share(types[i]));
  }
  HRESULT QueryInterface(REFIID riid, void** object) override {
    return Answer(riid, object, IID_IMFMediaTypeHandler);
  }
  HRESULT IsMediaTypeSupported(IMFMediaType* type, IMFMediaType** closest) override {
    if (closest) *closest = nullptr;
    if (!type) return E_POINTER;
    for (const Ref<IMFMediaType>& t : types_)
      if (SameKind(t.get(), type)) return S_OK;
    return MF_E_INVALIDMEDIATYPE;
  }
  HRESULT GetMediaTypeCount(DWORD* count) override {
    if (!count) return E_POINTER;
    *count = static_cast<DWORD>(types_.size());
    return S_OK;
  }
  HRESULT GetMediaTypeByIndex(DWORD index, IMFMediaType** type) override {
    if (!type) return E_POINTER;
    if (index >= types_.size()) return MF_E_NO_MORE_TYPES;
    return types_[index].copyTo(type);
  }
  HRESULT SetCurrentMediaType(IMFMediaType* type) override {
    if (!type) return E_POINTER;
    Ref<IMFMediaType> old = Ref<IMFMediaType>::Share(type);
    {
      std::lock_guard<std::mutex> hold(lock_);
      current_.swap(old);
    }
    // The old type goes outside the lock.
    return S_OK;
  }
  HRESULT GetCurrentMediaType(IMFMediaType** type) override {
    if (!type) return E_POINTER;
    std::lock_guard<std::mutex> hold(lock_);
    current_.copyTo(type);
    return current_ ? S_OK : MF_E_NOT_INITIALIZED;
  }
  HRESULT GetMajorType(GUID* major) override {
    if (!major) return E_POINTER;
    std::lock_guard<std::mutex> hold(lock_);
    IMFMediaType* t = current_ ? current_.get() : (types_.empty() ? nullptr : types_[0].get());
    if (!t) return MF_E_NOT_INITIALIZED;
    return t->GetGUID(MF_MT_MAJOR_TYPE, major);
  }

 private:
  ~TypeHandler() override = default;
  std::vector<Ref<IMFMediaType>> types_;  // fixed at creation
  std::mutex lock_;
  Ref<IMFMediaType> current_;
};

class StreamDescriptor : public AttributeStore<IMFStreamDescriptor> {
 public:
  // Adopts the creator's reference on the handler.
  StreamDescriptor(DWORD id, TypeHandler* handler) : id_(id), handler_(handler) {}
  HRESULT QueryInterface(REFIID riid, void** object) override {
    return Answer(riid, object, IID_IMFAttributes, IID_IMFStreamDescriptor);
  }
  HRESULT GetStreamIdentifier(DWORD* id) override {
    if (!id) return E_POINTER;
    *id = id_;
    return S_OK;
  }
  HRESULT GetMediaTypeHandler(IMFMediaTypeHandler** handler) override {
    if (!handler) return E_POINTER;
    return handler_.copyTo(handler);
  }

 private:
  ~StreamDescriptor() override = default;
  const DWORD id_;
  const Ref<IMFMediaTypeHandler> handler_;
};

class PresentationDescriptor : public AttributeStore<IMFPresentationDescriptor> {
 public:
  struct Entry {
    Ref<IMFStreamDescriptor> descriptor;
    bool selected;
  };
  explicit PresentationDescriptor(std::vector<Entry> entries) : entries_(std::move(entries)) {}
  HRESULT QueryInterface(REFIID riid, void** object) override {
    return Answer(riid, object, IID_IMFAttributes, IID_IMFPresentationDescriptor);
  }
  HRESULT GetStreamDescriptorCount(DWORD* count) override {
    if (!count) return E_POINTER;
    *count = static_cast<DWORD>(entries_.size());
    return S_OK;
  }
  HRESULT GetStreamDescriptorByIndex(DWORD index, BOOL* selected,
                                     IMFStreamDescriptor** descriptor) override {
    if (!selected || !descriptor) return E_POINTER;
    if (index >= entries_.size()) return E_INVALIDARG;
    std::lock_guard<std::mutex> hold(lock_);
    *selected = entries_[index].selected ? TRUE : FALSE;
    return entries_[index].descriptor.copyTo(descriptor);
  }
  HRESULT SelectStream(DWORD index) override { return Mark(index, true); }
  HRESULT DeselectStream(DWORD index) override { return Mark(index, false); }
  HRESULT Clone(IMFPresentationDescriptor** copy) override {
    if (!copy) return E_POINTER;
    std::vector<Entry> entries;
    {
      std::lock_guard<std::mutex> hold(lock_);
      entries = entries_;
    }
    PresentationDescriptor* made = new (std::nothrow) PresentationDescriptor(std::move(entries));
    if (!made) return E_OUTOFMEMORY;
    const HRESULT hr = CopyAllItems(made);
    if (FAILED(hr)) {
      made->Release();
      return hr;
    }
    *copy = made;
    return S_OK;
  }

 private:
  ~PresentationDescriptor() override = default;
  HRESULT Mark(DWORD index, bool selected) {
    if (index >= entries_.size()) return E_INVALIDARG;
    std::lock_guard<std::mutex> hold(lock_);
    entries_[index].selected = selected;
    return S_OK;
  }
  std::mutex lock_;  // guards the selections; the entries are fixed
  std::vector<Entry> entries_;
};

}  // namespace
}  // namespace pelplat_mf

using namespace pelplat_mf;

HRESULT MFCreateStreamDescriptor(DWORD id, DWORD typeCount, IMFMediaType** types,
                                 IMFStreamDescriptor** descriptor) {
  if (!descriptor || (typeCount && !types)) return E_POINTER;
  *descriptor = nullptr;
  for (DWORD i = 0; i < typeCount; ++i)
    if (!types[i]) return E_POINTER;
  TypeHandler* handler = new (std::nothrow) TypeHandler(typeCount, types);
  if (!handler) return E_OUTOFMEMORY;
  StreamDescriptor* made = new (std::nothrow) StreamDescriptor(id, handler);
  if (!made) {
    handler->Release();
    return E_OUTOFMEMORY;
  }
  *descriptor = made;
  return S_OK;
}

HRESULT MFCreatePresentationDescriptor(DWORD count, IMFStreamDescriptor** descriptors,
                                       IMFPresentationDescriptor** presentation) {
  if (!presentation || (count && !descriptors)) return E_POINTER;
  *presentation = nullptr;
  std::vector<PresentationDescriptor::Entry> entries;
  for (DWORD i = 0; i < count; ++i) {
    if (!descriptors[i]) return E_POINTER;
    entries.push_back({Ref<IMFStreamDescriptor>::Share(descriptors[i]), true});
  }
  *presentation = new (std::nothrow) PresentationDescriptor(std::move(entries));
  return *presentation ? S_OK : E_OUTOFMEMORY;
}
