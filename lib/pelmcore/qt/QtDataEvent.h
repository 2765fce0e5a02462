// What a session thread wants done to a session window, carried through the
// window's Qt event queue so that only the GUI thread touches widgets. The
// event owns a copy of its payload.
#pragma once

#include <QEvent>
#include <cstddef>
#include <cstdint>

#include "pelplat/wintypes.h"

class CxEvent;

class CQtDataEvent : public QEvent {
 public:
  static constexpr QEvent::Type kType = static_cast<QEvent::Type>(1000);

  enum Code : int32_t {
    kStatusText = 1,     // wide text with its terminator
    kDisplaySize = 2,    // i32 height, width, colour depth
    kChangedRect = 4,    // i32 left, top, right, bottom (inclusive)
    kHideCursor = 5,     // no payload
    kClose = 6,          // i32 reason
    kMessageBox = 8,     // MessageBoxPayload
    kSystemMessageBox = 9,  // SystemMessageBoxPayload
    kConnected = 10,     // no payload
    kTovixText = 11,     // narrow text with its terminator
    kCursorShape = 12,   // the cursor-shape record
  };

  // Copies length bytes of source; no payload for a length of 0 or less or
  // a null source.
  CQtDataEvent(int32_t code, int32_t length, const void* source);
  // An event nobody handled still releases a caller waiting on it.
  ~CQtDataEvent() override;

  int32_t Code() const { return code_; }
  uint8_t* Payload() const { return payload_; }
  int32_t Length() const { return length_; }
  // False when the payload could not be allocated; such an event is not
  // posted.
  bool Valid() const { return valid_; }

  // Message boxes: sets the waiting caller's event, once; the pointer is
  // cleared so that nothing touches the event after its owner has gone.
  void ReleaseWaiter();

  CQtDataEvent(const CQtDataEvent&) = delete;
  CQtDataEvent& operator=(const CQtDataEvent&) = delete;

 private:
  size_t WaiterOffset() const;

  int32_t code_;
  uint8_t* payload_ = nullptr;
  int32_t length_ = 0;
  bool valid_ = true;
};

// Payload of a message box: the texts cut and terminated, the event of a
// caller that waits for the user (null when nobody waits) and the no-wait
// flag. Memory layout only: it never leaves the process.
struct MessageBoxPayload {
  static constexpr size_t kCaptionChars = 128;
  static constexpr size_t kTextChars = 256;
  WCHAR caption[kCaptionChars];
  WCHAR text[kTextChars];
  CxEvent* done;
  uint32_t noWait;
};

// Payload of a system message box: the server's record and the event of a
// waiting caller (null: nobody waits for these).
struct SystemMessageBoxPayload {
  static constexpr size_t kRecordBytes = 656;
  uint8_t record[kRecordBytes];
  CxEvent* done;
};
