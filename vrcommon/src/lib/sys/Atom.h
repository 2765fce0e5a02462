// Base of the reference-counted session objects (the connection, the session
// client, the system API). They live on the heap and are released, never
// deleted directly.
#pragma once

#include <atomic>
#include <cstdint>

#include "sys/_synchro.h"

class CAtom {
 public:
  CAtom();
  virtual ~CAtom();

  int32_t AddRef();
  // Deletes the object when the last reference goes; answers the count left.
  int32_t Release();
  int32_t RefCount() const { return refCount_.load(); }

  CAtom(const CAtom&) = delete;
  CAtom& operator=(const CAtom&) = delete;

 protected:
  std::atomic<int32_t> refCount_{1};

 public:
  // The object's own lock (for the session client: the client lock).
  CxLock lock;
};
