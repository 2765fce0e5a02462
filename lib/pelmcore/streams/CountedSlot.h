// One counted reference that one thread replaces while others use it (a
// stream part's listener, its sample recycler). The swap happens under the
// slot's own lock and what was held is released after that lock is let go,
// so a Release that calls back never runs under it; users take a reference
// of their own and call out with no lock held.
#pragma once

#include <mutex>

#include "pelplat/comobject.h"

template <class T>
class CountedSlot {
 public:
  CountedSlot() = default;
  CountedSlot(const CountedSlot&) = delete;
  CountedSlot& operator=(const CountedSlot&) = delete;

  // Holds `next`, taking over the caller's reference (null empties the
  // slot), and releases what it held.
  void Reset(T* next) { Exchange(next); }
  // Holds `next` and hands what it held to the caller.
  pelplat::Ref<T> Exchange(T* next) {
    pelplat::Ref<T> previous(next);
    std::lock_guard<std::mutex> hold(lock_);
    previous.swap(held_);
    return previous;
  }
  // What the slot holds, with a reference of the caller's own; null when
  // empty.
  pelplat::Ref<T> Share() const {
    std::lock_guard<std::mutex> hold(lock_);
    return held_;
  }
  // Runs f on the held object under the slot's lock, so that no Reset
  // completes meanwhile; nothing runs when the slot is empty.
  template <class F>
  void WhileHeld(F&& f) const {
    std::lock_guard<std::mutex> hold(lock_);
    if (held_) f(held_.get());
  }

 private:
  mutable std::mutex lock_;
  pelplat::Ref<T> held_;
};
