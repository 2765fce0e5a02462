// The remote I/O module of the test host: it serves one in-memory file to
// the client's ".micro_io" requests and answers each with a ".micro_io"
// "status" call, in request order, recording what it was asked.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "testhost/Framing.h"
#include "testhost/Tunnel.h"

namespace testhost {

struct RemoteIoRequest {
  std::string method;
  uint64_t id = 0;
  uint32_t handle = 0;
  int32_t byteCount = 0;   // read
  int64_t offset = 0;      // seek
  std::u16string path;     // open
  size_t payloadSize = 0;
};

class RemoteIoServer {
 public:
  static constexpr uint32_t kOpen = 101, kClose = 102, kRead = 103, kSeek = 104, kSize = 107;
  static constexpr size_t kPathChars = 1024;
  static constexpr size_t kOpenPayload = 2056;
  static constexpr size_t kAnswerHead = 28;
  static constexpr int32_t kHandle = 7;

  explicit RemoteIoServer(FramedPeer& peer) : peer_(peer) {}
  ~RemoteIoServer() { Stop(); }
  RemoteIoServer(const RemoteIoServer&) = delete;
  RemoteIoServer& operator=(const RemoteIoServer&) = delete;

  void SetFile(std::vector<uint8_t> content) { file_ = std::move(content); }
  // Open answers carry result 0: the file cannot be opened.
  void SetRefuseOpen(bool refuse) { refuseOpen_ = refuse; }

  // Reads the client's frames on a thread of its own and answers.
  void Start();
  void Stop();

  // Asks the client to probe the file: ".vazi_player" ".open" with the path.
  bool SendProbeCall(const std::u16string& path);

  bool WaitForRequests(size_t count, int timeoutMs);
  std::vector<RemoteIoRequest> Requests();

  // One "status" payload: the 28-byte head and the data.
  static std::vector<uint8_t> EncodeAnswer(uint64_t id, int32_t dataLength, int32_t result, int32_t value1,
                                           int32_t value2, uint32_t code, const std::vector<uint8_t>& data);
  static bool DecodeRequest(const TunnelCall& call, RemoteIoRequest* out);

 private:
  void Serve();
  std::vector<uint8_t> Answer(const RemoteIoRequest& request);

  FramedPeer& peer_;
  std::vector<uint8_t> file_;
  bool refuseOpen_ = false;
  uint64_t position_ = 0;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<RemoteIoRequest> requests_;
};

}  // namespace testhost
