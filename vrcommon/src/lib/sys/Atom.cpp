#include "sys/Atom.h"

CAtom::CAtom() = default;

CAtom::~CAtom() = default;

int32_t CAtom::AddRef() { return refCount_.fetch_add(1) + 1; }

int32_t CAtom::Release() {
  int32_t left = refCount_.fetch_sub(1) - 1;
  if (left == 0) {
    // A destructor that takes and drops a reference of its own must not
    // come back here with a count of zero.
    refCount_.store(1);
    delete this;
  }
  return left;
}
