// The one way this tree writes IUnknown: ComObject gives a class of one or
// more interfaces its reference count and the answer to QueryInterface, and
// Ref<T> holds one counted reference to an object so that an owner never
// releases by hand.
//
// Counting: one atomic count per object, shared by all its interfaces; the
// creator holds the first reference, the last Release deletes the object.
#pragma once

#include <atomic>
#include <cstddef>
#include <utility>

#include "pelplat/unknwn.h"

namespace pelplat {

// Hands out `face` with one more reference, as QueryInterface and
// GetInterface do.
template <class I>
HRESULT Hand(I* face, void** object) {
  if (!object) return E_POINTER;
  *object = face;
  face->AddRef();
  return S_OK;
}

// Hands out `face` when riid is IUnknown or one of `ids`; otherwise null
// and E_NOINTERFACE.
template <class I, class... Ids>
HRESULT AnswerAs(I* face, REFIID riid, void** object, const Ids&... ids) {
  if (!object) return E_POINTER;
  if (riid == IID_IUnknown || ((riid == ids) || ...)) return Hand(face, object);
  *object = nullptr;
  return E_NOINTERFACE;
}

// The object's first interface answers for IUnknown; further interfaces
// (the object derives from all of them) share its count.
template <class First, class... More>
class ComObject : public First, public More... {
 public:
  // An object that says nothing beyond IUnknown; classes with more to say
  // answer through Answer.
  HRESULT QueryInterface(REFIID riid, void** object) override { return Answer(riid, object); }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

 protected:
  virtual ~ComObject() = default;
  // Answers the first interface for IUnknown or any of `ids`.
  template <class... Ids>
  HRESULT Answer(REFIID riid, void** object, const Ids&... ids) {
    return AnswerAs(static_cast<First*>(this), riid, object, ids...);
  }

 private:
  std::atomic<ULONG> refs_{1};
};

// Releases the object and forgets it.
template <class T>
void SafeRelease(T*& p) {
  if (p) p->Release();
  p = nullptr;
}

// One counted reference, as the owner of COM objects holds them. The
// constructor adopts a reference the caller holds (a creator's, an out
// parameter's); Share adds one. Not thread-safe by itself: a Ref shared
// between threads stays under its owner's lock.
template <class T>
class Ref {
 public:
  Ref() = default;
  Ref(std::nullptr_t) {}
  explicit Ref(T* adopted) : p_(adopted) {}
  Ref(const Ref& other) : p_(other.p_) {
    if (p_) p_->AddRef();
  }
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  ~Ref() {
    if (p_) p_->Release();
  }
  Ref& operator=(Ref other) noexcept {
    swap(other);
    return *this;
  }

  static Ref Share(T* p) {
    if (p) p->AddRef();
    return Ref(p);
  }

  T* get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

  // Lets go of the reference.
  void reset() { Ref().swap(*this); }
  // The reference goes to the caller.
  T* detach() { return std::exchange(p_, nullptr); }
  // For out parameters that hand over a reference: empties this first.
  T** out() {
    reset();
    return &p_;
  }
  void** outVoid() { return reinterpret_cast<void**>(out()); }
  // Hands a new reference to *to (null when this holds none).
  HRESULT copyTo(T** to) const {
    if (!to) return E_POINTER;
    *to = p_;
    if (p_) p_->AddRef();
    return S_OK;
  }
  void swap(Ref& other) noexcept { std::swap(p_, other.p_); }

 private:
  T* p_ = nullptr;
};

// The object's interface `riid` as a T, or null.
template <class T>
Ref<T> Query(IUnknown* object, REFIID riid) {
  Ref<T> result;
  if (object) object->QueryInterface(riid, result.outVoid());
  return result;
}

}  // namespace pelplat
