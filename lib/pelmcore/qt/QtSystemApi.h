// The system API of the Qt user interface. Session threads never touch a
// widget: every effect on a session window is a CQtDataEvent posted into the
// window's event queue through the window table, and the window handles it
// on the GUI thread. Also owns the four display surfaces, the connection
// state texts, the display modes, the cursor shapes, the text clipboard and
// the application id of this copy of the program.
#pragma once

#include <QList>
#include <QSize>
#include <QString>
#include <cstdint>
#include <mutex>
#include <vector>

#include "qt/QtDoubleBufferSurfaceKeeper.h"
#include "qt/QtAppIdAllocator.h"
#include "qt/QtWindowPorts.h"
#include "session/ClientSystemApi.h"
#include "sys/_synchro.h"

class CQtDataEvent;
class QCursor;
class QObject;
class QtClipboardInterface;

class CQtSystemApi : public CClientSystemApi,
                     public IQtSessionWindows,
                     public IQtDisplayFrames,
                     public IQtPointerDisplay {
 public:
  // Construct on the GUI thread, after the QApplication. The id table key
  // is for tests that must not share ids with a running program.
  CQtSystemApi();
  explicit CQtSystemApi(const QString& appIdKey);
  ~CQtSystemApi() override;

  // The live instance, or null.
  static CQtSystemApi* Instance();

  void PostTextMessage(const char* text) override;
  // Start-up stops the system API after the event loop has ended: a
  // message box still queued then is never shown, so its caller is
  // released before the waiter thread is joined.
  void Stop() override;
  void LockWindowTable() override;
  void UnlockWindowTable() override;
  // Waits for the user (no-wait flag 0) only off the GUI thread and only
  // while the event is alive: a window that goes away unhandled releases
  // the caller.
  void ShowMessageBox(const WCHAR* caption, const WCHAR* text, int noWait) override;
  // Logs the message and posts it; the caller never waits.
  void ShowSystemMessageBox(const uint8_t* record) override;
  const WCHAR* GetErrorText() override;
  int SetConnectionState(int state, int final) override;
  uint16_t AllocateAppId() override { return appIds_.Id(); }
  void SetMessageText(const WCHAR* caption, const WCHAR* text) override;
  bool HasGui() override { return true; }
  void GetColorDepths(std::vector<uint8_t>& depths) override;
  uint8_t GetDefaultColorDepth() override { return 24; }
  void GetDisplayModes(std::vector<uint32_t>& modes, int screen) override;
  void GetModeWords(uint32_t* pairs, uint32_t capacityWords) override;
  void FindBestMode(uint32_t* mode, int screen) override;
  int ResizeDisplay(int width, int height, int depth, int display) override;
  int SetCursor(const uint8_t* record, uint32_t length, int display) override;
  int SetPointerPosition(int x, int y, int display) override { return 0; }
  void InvalidateRect(int x, int y, int width, int height, int display) override;
  CClipboardInterface* GetClipboard() override;
  void EnableClipboard(bool enabled) override;
  bool IsClipboardEnabled() override;
  UINT_PTR GetDisplayWindowId(int display) override;

  // Posts the event to the display's window (ownership passes to Qt) and
  // answers true; deletes it and answers false when there is no window.
  bool PostToWindow(CQtDataEvent* event, int display);

  // GUI thread. A window takes an empty entry only; its display event is
  // reset then. A window leaves the table before it is destroyed.
  bool RegisterWindow(int display, QObject* window);
  void UnregisterWindow(QObject* window) override;
  QObject* WindowAt(int display);

  uint16_t GetAppId() const override { return appIds_.Id(); }

  // The picture of a display's surface for painting; only between
  // LockFrameBuffer and UnlockFrameBuffer of that display, null for an index
  // outside 0-3 or a surface without pixels.
  const QImage* DisplayImage(int display) const override;
  ISurfaceKeeper* LockDisplayFrame(int display) override { return LockFrameBuffer(display); }
  void UnlockDisplayFrame(ISurfaceKeeper* surface) override { UnlockFrameBuffer(surface); }
  bool HasSession() const override { return Observer() != nullptr; }
  void SetPointerDisplay(int display) override { pointerDisplay.store(display); }

  // Cursor-shape record (little-endian): u32 flags at 4 (bits 0-1 the
  // kind: 0 a 32 x 32 AND/XOR pair at 16 and 144, 1 one bit, 2 24 bits,
  // 3 32 bits per pixel; bit 3 a 1-bit mask before the colour bits; bit 30
  // or 31 hidden), i16 hot spot at 12 and 14; colour kinds: i16 width,
  // height and data length at 16, 18, 20 and the data at 22.
  //
  // The bytes of a well-formed record (its own lengths fit in length, a
  // colour cursor is 1 to 256 pixels each way and its mask and colour bits
  // are there); 0 for anything else.
  static uint32_t CursorShapeBytes(const uint8_t* record, uint32_t length);
  // GUI thread. A new cursor the caller deletes; null for a malformed or
  // hidden record.
  static QCursor* MakeCursor(const uint8_t* record, uint32_t length);

  CQtSystemApi(const CQtSystemApi&) = delete;
  CQtSystemApi& operator=(const CQtSystemApi&) = delete;

 protected:
  // The sizes of the local screens, the primary first. Read on the GUI
  // thread; other threads (the hello's mode words) get the last sizes read.
  virtual QList<QSize> LocalScreenSizes() const;

 private:
  void Construct();
  // Under the window-table lock, to every window in the table; a final
  // post empties the table.
  void PostToAll(int32_t code, int32_t length, const void* payload, bool clear);

  QtClipboardInterface* clipboard_ = nullptr;
  QObject* windows_[kDisplayCount] = {};
  UINT_PTR windowIds_[kDisplayCount] = {};
  CQtDoubleBufferSurfaceKeeper keepers_[kDisplayCount] = {
      CQtDoubleBufferSurfaceKeeper(0), CQtDoubleBufferSurfaceKeeper(1),
      CQtDoubleBufferSurfaceKeeper(2), CQtDoubleBufferSurfaceKeeper(3)};
  CxLock windowTableLock_;
  bool stopping_ = false;  // under the window-table lock
  mutable std::mutex screensMutex_;
  mutable QList<QSize> screens_;
  QtAppIdAllocator appIds_;
};
