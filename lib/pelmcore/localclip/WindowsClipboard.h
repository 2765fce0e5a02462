// The local clipboard of the clipboard redirection channel over the
// platform clipboard. A hidden clipboard window with a thread of its own
// hears the clipboard's changes and render requests; the channel's worker
// lists, reads and writes through the same window.
//
// A render request waits for the server's bytes at most the render
// time-out; it ends without data when the request could not be sent, when
// the server answers with a failure (RenderFailed), when the time is up or
// when the clipboard stops.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "localclip/VrLocalClipboard.h"
#include "pelplat/clipboard.h"
#include "sys/Atom.h"

class CWindowsClipboard : public CVrLocalClipboard, public CAtom {
 public:
  // Private messages of the clipboard window.
  static constexpr uint32_t kMsgRenderDone = 0x521;  // wParam format, lParam the record
  static constexpr uint32_t kMsgDestroy = 0x540;
  static constexpr uint32_t kMsgRenderFormat = 0x0305;  // WM_RENDERFORMAT
  static constexpr uint32_t kMsgClipboardUpdate = 0x031D;  // WM_CLIPBOARDUPDATE
  static constexpr int kStopWaitMs = 500;

  CWindowsClipboard();

  int32_t Start(std::shared_ptr<CVrLocalClipCallback> callback) override;
  int32_t Stop() override;
  int32_t SetData(uint32_t format, const void* data, uint32_t length) override;
  int32_t RenderFailed(uint32_t format) override;
  int32_t GetData(uint32_t format, uint8_t** data, uint32_t* size, int32_t reserved) override;
  uint8_t* Alloc(uint32_t size) override;
  void Free(void* block) override;
  int32_t BeginServerFormats() override;
  int32_t AnnounceServerFormat(uint32_t serverFormat, const char16_t* name,
                               uint32_t* localFormat) override;
  int32_t EndServerFormats() override;
  int32_t GetFormats(VrClipFormatList** list) override;
  void FreeFormatList(VrClipFormatList* list) override;
  uint32_t GetFileDescriptorFormat() override;
  int32_t FilterFormat(uint32_t format) override;

  // How long a render waits for the server's bytes; the platform's render
  // time-out unless set. For tests.
  void SetRenderWaitMs(int ms);

 protected:
  ~CWindowsClipboard() override;

 private:
  struct Message {
    uint32_t id = 0;
    uint64_t wParam = 0;
    const void* lParam = nullptr;
  };
  // One server format already given a local identifier.
  struct FormatRegistered {
    uint32_t serverFormat = 0;
    uint32_t localFormat = 0;
    std::u16string name;
  };
  // One render waiting for the server's bytes.
  struct ClipboardValue {
    int32_t status = -1;  // -1 waiting, 0 completed, 1 failed
    uint32_t format = 0;
    uint64_t createdMs = 0;
    pelplat::clipboard::Bytes data;
  };
  class WindowEvents;

  void Post(const Message& message);
  // false: the wait ended by the deadline.
  bool NextMessage(Message* message, const std::chrono::steady_clock::time_point* deadline);
  void ThreadMain();
  // The window procedure; false once the window is destroyed.
  bool Dispatch(const Message& message);
  void RenderRequest(uint32_t format);
  bool CompleteRender(uint32_t format, pelplat::clipboard::Bytes* data, int32_t status);
  std::shared_ptr<pelplat::clipboard::ClipboardWindow> Window();
  std::shared_ptr<CVrLocalClipCallback> Callback();

  std::mutex stateMutex_;  // window, callback, thread
  std::shared_ptr<pelplat::clipboard::ClipboardWindow> window_;
  std::shared_ptr<WindowEvents> events_;
  std::shared_ptr<CVrLocalClipCallback> callback_;
  std::thread thread_;
  std::thread::id threadId_;
  bool threadEnded_ = false;
  std::condition_variable threadEndedCv_;

  std::mutex queueMutex_;
  std::condition_variable queueCv_;
  std::deque<Message> queue_;
  bool destroyed_ = false;  // window thread only

  std::mutex registeredMutex_;
  std::list<FormatRegistered> registered_;

  std::mutex pendingMutex_;
  std::list<ClipboardValue*> pending_;

  // Data GetData handed out in the backend's own buffer, by its address,
  // until Free.
  std::mutex lentMutex_;
  std::map<const void*, pelplat::clipboard::Bytes> lent_;

  std::atomic<uint32_t> fileDescriptorFormat_{0};
  std::atomic<int> renderWaitMs_{-1};
};
