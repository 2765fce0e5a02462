// The local clipboard as the session sees it: the control slot writes the
// server's text into it and listens for local changes. The concrete object
// (a Qt one) lives with the system API; only this interface crosses into the
// session core.
#pragma once

#include <cstdint>
#include <mutex>

class IClipboardListener {
 public:
  virtual ~IClipboardListener() = default;
  // format 0: UTF-16 text; length in bytes including the terminator.
  // Answers -1 when the text could not be sent, else 0.
  virtual int OnClipboardText(int format, const void* data, uint32_t length) = 0;
};

class CClipboardInterface {
 public:
  // What SetData answers besides 0.
  static constexpr int kDisabled = int(0x80000103u);  // sharing is off
  static constexpr int kTooLong = int(0x80000002u);

  virtual ~CClipboardInterface() = default;

  virtual bool IsEnabled() = 0;
  virtual void SetEnabled(bool enabled) = 0;
  // Copies UTF-16 text (byte length) for the local clipboard: 0, kDisabled
  // or kTooLong.
  virtual int SetData(int format, const void* data, uint32_t length) = 0;

  // The listener is set and cleared under the same lock that NotifyListener
  // holds while it calls out, so a listener that clears itself on
  // destruction is never called afterwards.
  void SetListener(IClipboardListener* listener) {
    std::lock_guard<std::mutex> hold(listenerMutex_);
    listener_ = listener;
  }
  // Clears the listener only when it is still the given one.
  void ClearListener(IClipboardListener* listener) {
    std::lock_guard<std::mutex> hold(listenerMutex_);
    if (listener_ == listener) listener_ = nullptr;
  }
  // For the concrete clipboard: hands a local text change to the listener;
  // -1 without one.
  int NotifyListener(int format, const void* data, uint32_t length) {
    std::lock_guard<std::mutex> hold(listenerMutex_);
    return listener_ ? listener_->OnClipboardText(format, data, length) : -1;
  }

 private:
  std::mutex listenerMutex_;
  IClipboardListener* listener_ = nullptr;
};
