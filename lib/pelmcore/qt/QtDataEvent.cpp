#include "qt/QtDataEvent.h"

#include <cstring>
#include <new>

#include "sys/_synchro.h"

CQtDataEvent::CQtDataEvent(int32_t code, int32_t length, const void* source)
    : QEvent(kType), code_(code) {
  if (length <= 0 || !source) return;
  payload_ = new (std::nothrow) uint8_t[size_t(length)];
  if (!payload_) {
    valid_ = false;
    return;
  }
  memcpy(payload_, source, size_t(length));
  length_ = length;
}

CQtDataEvent::~CQtDataEvent() {
  ReleaseWaiter();
  delete[] payload_;
}

size_t CQtDataEvent::WaiterOffset() const {
  switch (code_) {
    case kMessageBox:
      return length_ == int32_t(sizeof(MessageBoxPayload)) ? offsetof(MessageBoxPayload, done) : 0;
    case kSystemMessageBox:
      return length_ == int32_t(sizeof(SystemMessageBoxPayload)) ? offsetof(SystemMessageBoxPayload, done)
                                                                 : 0;
    default:
      return 0;
  }
}

void CQtDataEvent::ReleaseWaiter() {
  const size_t at = WaiterOffset();
  if (!at) return;
  CxEvent* done = nullptr;
  memcpy(&done, payload_ + at, sizeof done);
  if (!done) return;
  const CxEvent* none = nullptr;
  memcpy(payload_ + at, &none, sizeof none);
  done->Set();
}
