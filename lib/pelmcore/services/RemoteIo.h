// Remote I/O: reading a file that lives on the server through the tunnel.
// Every operation is a ".micro_io" request frame; every answer comes back as
// a ".micro_io" "status" frame. Requests and answers are matched by a 64-bit
// request id, and callers wait on a future with a time-out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <future>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "pelplat/wintypes.h"

class ITunnelClient;

namespace tools {

// One answer: the 28-byte head read out, and a copy of the head and its data.
struct MicroIoAnswer {
  static constexpr size_t kHeadSize = 28;

  uint64_t requestId = 0;
  int32_t dataLength = 0;
  // For an open answer the new file handle; below 1 the open failed.
  int32_t result = 0;
  int32_t value1 = 0;
  int32_t value2 = 0;
  uint32_t code = 0;
  // The head and dataLength data bytes as received.
  std::vector<uint8_t> bytes;

  const uint8_t* Data() const { return bytes.data() + kHeadSize; }
};

}  // namespace tools

namespace qmt {

// The road from remote I/O objects to their session client. The client cuts
// it before it goes; a send already under way finishes first, so no object,
// however long a probe thread keeps it, sends through a client that is gone.
class RemoteIoLink {
 public:
  explicit RemoteIoLink(ITunnelClient* client) : client_(client) {}
  // The tunnel frame's status, or -1 once the link is cut.
  int Send(const char* method, const uint8_t* payload, size_t length);
  void Cut();

 private:
  std::mutex mutex_;
  ITunnelClient* client_;
};

class RemoteIo {
 public:
  // Request codes, as the server's answer names them.
  static constexpr uint32_t kOpen = 101;
  static constexpr uint32_t kClose = 102;
  static constexpr uint32_t kRead = 103;
  static constexpr uint32_t kSeek = 104;
  static constexpr uint32_t kSize = 107;

  static constexpr size_t kPathChars = 1024;
  static constexpr size_t kOpenPayload = 2056;
  static constexpr int kAnswerWaitMs = 2000;
  // What the probe reads, where, and how long it keeps the file open.
  static constexpr int32_t kProbeSeek = 16;
  static constexpr int32_t kProbeRead = 262144;
  static constexpr int kProbeHoldMs = 1000;

  typedef std::unique_ptr<tools::MicroIoAnswer> Answer;  // null: no answer
  // Not valid when no request was sent.
  typedef std::future<Answer> PendingAnswer;

  explicit RemoteIo(ITunnelClient* client);
  explicit RemoteIo(std::shared_ptr<RemoteIoLink> link);
  // Sends "close" for a file still open, but does not wait for its answer:
  // the last reference may go on the connection thread, the only thread
  // that could deliver it. Pending requests end unanswered.
  ~RemoteIo();
  RemoteIo(const RemoteIo&) = delete;
  RemoteIo& operator=(const RemoteIo&) = delete;

  // Cuts the link to the session client: from then on nothing is sent
  // (requests end unanswered at once).
  void Detach();

  // Only while no file is open; the path is cut to 1023 characters.
  PendingAnswer Open(const WCHAR* path);
  // Only while a file is open.
  PendingAnswer Close();
  PendingAnswer Read(int32_t byteCount);
  PendingAnswer Seek(int32_t offset);
  PendingAnswer Size();

  // A ".micro_io" "status" payload. Answers whose data length does not fit
  // the payload are dropped.
  void OnAnswer(const uint8_t* payload, size_t length);

  // The answer within the time, or null (also for a future that is not
  // valid). A later answer is still taken off the pending list and dropped.
  static Answer Wait(PendingAnswer& pending, int timeoutMs = kAnswerWaitMs);

  // The probe the server asks for with ".vazi_player" ".open": open the file,
  // ask its size, seek, read one block, hold it a second, close it. Runs on a
  // detached thread of its own that shares the object.
  static void StartProbe(std::shared_ptr<RemoteIo> io, std::u16string path);

  int32_t Handle() const;
  std::u16string Path() const;

 private:
  struct Pending {
    uint64_t id;
    std::promise<Answer> promise;
  };

  static void RunProbe(const std::shared_ptr<RemoteIo>& io, const std::u16string& path);
  // "close" or "size": only while a file is open.
  PendingAnswer HandleRequest(const char* method);
  // Called with the lock held.
  PendingAnswer SendLocked(const char* method, const uint8_t* payload, size_t length, uint64_t id);
  bool FileOpenLocked() const { return handle_ > 0; }
  void ForgetFileLocked();

  mutable std::mutex mutex_;
  const std::shared_ptr<RemoteIoLink> link_;
  std::list<Pending> pending_;
  WCHAR path_[kPathChars] = {};
  int32_t handle_ = 0;
};

}  // namespace qmt
