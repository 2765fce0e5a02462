// Reference counting shared by the Media Foundation objects of this folder:
// one atomic count per object, 1 for the creator, the last Release deletes.
#pragma once

#include <atomic>

#include "pelplat/unknwn.h"

namespace pelplat_mf {

template <class Base>
class ComObject : public Base {
 public:
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

 protected:
  virtual ~ComObject() = default;
  // Answers the object for IUnknown or any of the given interface ids.
  template <class... Ids>
  HRESULT Answer(REFIID riid, void** object, const Ids&... ids) {
    if (!object) return E_POINTER;
    if (riid == IID_IUnknown || ((riid == ids) || ...)) {
      *object = static_cast<Base*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }

 private:
  std::atomic<ULONG> refs_{1};
};

template <class T>
void SafeRelease(T*& p) {
  if (p) p->Release();
  p = nullptr;
}

}  // namespace pelplat_mf
