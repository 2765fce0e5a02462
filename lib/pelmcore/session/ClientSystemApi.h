// The one object through which the session core and the decoders reach the
// platform and the windows, and through which the windows reach the session.
// The base implements the frame-buffer lock over the per-display surfaces,
// the input sink, the end-of-session path with its waiter thread and the
// client name; a user-interface implementation supplies the rest.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pelplat/wintypes.h"
#include "session/AudioClockRecord.h"
#include "session/SessionInputPort.h"
#include "session/SessionObserver.h"
#include "session/SessionStatus.h"
#include "sys/Atom.h"
#include "sys/_synchro.h"

class CClipboardInterface;
class ISurfaceKeeper;

// The states the session reports through SetConnectionState and the
// windows and start-up read back through ConnectionState.
namespace connection_state {
enum : int32_t {
  kStarting = 0,
  kConnecting = 1,
  kConnected = 2,
  kHandshaking = 3,
  kVerifying = 4,
  kSessionUp = 5,
  kDisconnected = 6,
  kTimeout = 7,
  kNetError = 8,
  kSystemError = 9,
  kConnectFailed = 10,
  kUnresolved = 11,
};
}  // namespace connection_state

class CClientSystemApi : public CAtom, public ISessionInputPort, public ISessionStatus {
 public:
  static constexpr int kDisplayCount = 4;
  static constexpr size_t kMessageChars = 512;
  static constexpr size_t kClientNameChars = 32;

  // Local input on its way to the session: (record, record length in bytes,
  // context) → the session's answer.
  typedef int32_t (*InputSink)(const void* record, uint32_t length, void* context);

  CClientSystemApi();
  // Implementations call Stop in their own destructor: the waiter thread
  // calls operations they supply.
  ~CClientSystemApi() override;

  // The first client wins; the system API holds a counted reference to it
  // until one of the end paths has stopped it.
  virtual int AttachObserver(ISessionObserver* client);
  virtual void PostTextMessage(const char* text);
  virtual void SetWaitEvents();
  void ForwardPointerInput(int32_t x, int32_t y, int32_t buttons, int32_t xOffset, int32_t yOffset,
                           int32_t moveFlag, int32_t display) override;
  int32_t ForwardKeyInput(int32_t scanCode, int32_t lockBits) override;
  void OnSessionEnded(int reason, int display) override;
  virtual void StartWaiter();
  virtual void Stop();
  virtual void LockWindowTable();
  virtual void UnlockWindowTable();
  virtual bool HasPendingMessage();
  virtual void ShowMessageBox(const WCHAR* caption, const WCHAR* text, int noWait);
  // record: 656 bytes, narrow texts at bytes 16 and 144, both terminated.
  virtual void ShowSystemMessageBox(const uint8_t* record);
  virtual void WaiterMain();
  virtual void WaitDisplayEvents();
  virtual bool WaitFirstEvent(DWORD milliseconds);
  virtual bool WaitSecondEvent(DWORD milliseconds);
  int32_t IsConnected() override;
  virtual const WCHAR* GetErrorText();
  // final 1 marks a final failure. Implementations store the state with
  // StoreConnectionState.
  virtual int SetConnectionState(int state, int final) = 0;
  virtual uint16_t AllocateAppId() = 0;
  virtual void SetMessageText(const WCHAR* caption, const WCHAR* text);
  virtual bool HasGui();
  virtual void GetColorDepths(std::vector<uint8_t>& depths) = 0;
  virtual uint8_t GetDefaultColorDepth() = 0;
  // A mode is width in the low 16 bits, height in the high 16 bits.
  virtual void GetDisplayModes(std::vector<uint32_t>& modes, int screen) = 0;
  virtual void GetEmptyInfo(std::vector<uint32_t>& list);
  virtual void GetEmptyInfo(std::vector<uint8_t>& list);
  virtual void GetModeWords(uint32_t* pairs, uint32_t capacityWords) = 0;
  virtual void FindBestMode(uint32_t* mode, int screen) = 0;
  virtual int ResizeDisplay(int width, int height, int depth, int display) = 0;
  // length: the bytes of the record that arrived (the record's own lengths
  // are checked against it).
  virtual int SetCursor(const uint8_t* record, uint32_t length, int display) = 0;
  virtual int SetPointerPosition(int x, int y, int display) = 0;
  virtual int SetDesktopGeometry(int32_t a, int32_t b, int32_t c, int32_t d);
  virtual void InvalidateRect(int x, int y, int width, int height, int display) = 0;
  virtual void SetStreamOverlayFlag(int32_t flag, void* data);
  virtual CClipboardInterface* GetClipboard();
  virtual void EnableClipboard(bool enabled) = 0;
  virtual bool IsClipboardEnabled() = 0;
  virtual UINT_PTR GetDisplayWindowId(int display);
  virtual void NotifyTraffic();

  // Enters the frame-buffer lock and answers the display's surface with the
  // lock held; null (lock left again) for a display without a surface or an
  // index outside 0-3.
  ISurfaceKeeper* LockFrameBuffer(int index);
  // Once for every non-null LockFrameBuffer.
  void UnlockFrameBuffer(ISurfaceKeeper* surface);
  // Both null removes the sink; waits for a delivery in progress.
  void SetInputSink(InputSink callback, void* context);
  // The name this computer gives the server, at most 31 characters.
  const char* getClientName();

  int32_t ConnectionState() const override { return connectionState.load(); }
  bool GetServerName(WCHAR* buffer, uint32_t size) override;
  void OnWindowActivation(bool active) override;
  void OnWindowMoved(UINT_PTR windowId) override;
  void OnDisplayPainted() override;
  // The attached session client, without taking it away.
  ISessionObserver* Observer() const { return observer.load(); }
  // Copies the text (at most 511 characters) as the pending message.
  void StoreMessageText(const WCHAR* text);
  // A copy of the pending message text (empty when none).
  std::u16string MessageText();

  // Set by start-up and the main window.
  std::atomic<uint8_t> forceDualMonitor{0};
  std::atomic<uint8_t> showNormalMessages{1};
  std::atomic<uint8_t> showSystemMessages{1};
  std::atomic<int32_t> pointerDisplay{-1};

  CxEvent endEvent;                    // auto-reset
  CxEvent connectEvent;                // manual-reset
  CxEvent runEvent;                    // manual-reset
  CxEvent displayEvents[kDisplayCount];  // manual-reset, initially set

  std::atomic<int32_t> connected{0};
  std::atomic<int32_t> invalidated{0};
  // The display slot's video drawing switch: while 0 the stream slot draws
  // no video frames.
  std::atomic<int32_t> streamOverlayFlag{1};
  // Written by the audio slot's wave output, read by the stream slots.
  AudioClockRecord audioClock;

 protected:
  void StoreConnectionState(int32_t state) { connectionState.store(state); }
  // Takes the observer away; exactly one end path gets it.
  ISessionObserver* TakeObserver() { return observer.exchange(nullptr); }
  // Takes the observer away, stops it and drops the reference.
  void StopObserver();

  // Pointed at the implementation's keepers; touched only under the
  // frame-buffer lock.
  ISurfaceKeeper* surfaces[kDisplayCount] = {};
  CxLock frameBufferLock;

 private:
  std::atomic<int32_t> connectionState{0};
  std::atomic<ISessionObserver*> observer{nullptr};
  CxLock inputLock;
  InputSink inputSink = nullptr;
  void* inputContext = nullptr;
  std::mutex waiterMutex;
  std::thread waiter;
  std::mutex messageMutex;
  WCHAR messageText[kMessageChars] = {};
  std::mutex nameMutex;
  char clientName[kClientNameChars] = {};
  int32_t desktopGeometry[4] = {};
};
