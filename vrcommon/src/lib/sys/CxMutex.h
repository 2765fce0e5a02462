// Polymorphic lock around one CxLock record.
#pragma once

#include "_synchro.h"

class CxMutex {
 public:
  CxMutex() = default;
  virtual ~CxMutex() = default;
  void Lock() { lock_.Acquire("CxMutex.h", 27); }
  void Unlock() { lock_.Release(); }
  CxLock* Record() { return &lock_; }

  CxMutex(const CxMutex&) = delete;
  CxMutex& operator=(const CxMutex&) = delete;

 private:
  CxLock lock_;
};
