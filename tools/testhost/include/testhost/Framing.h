// The framing module of the test host: a listener on a loopback address and
// the framed connection it accepts. The host writes its frames byte by byte
// on its own, so that tests check the client's framing against an
// independent implementation.
#pragma once

#include <netinet/in.h>

#include <array>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testhost {

struct FrameHeader {
  static constexpr size_t kSize = 12;
  static constexpr uint16_t kControlSlot = 0xFAFA;
  static constexpr uint8_t kNoIndex = 0xAA;

  uint32_t length = 0;
  uint16_t kind = 2;
  uint16_t slot = 0;
  uint8_t subKind = 0;
  uint8_t index = kNoIndex;
  uint16_t reserved = 0;

  std::array<uint8_t, kSize> Encode() const;
  static FrameHeader Decode(const uint8_t* bytes);  // kSize bytes
};

struct Frame {
  FrameHeader header;
  std::vector<uint8_t> payload;
};

enum class ReadResult { kFrame, kClosed, kTimeout, kError };

// One accepted TCP connection. Reading is either synchronous (ReadFrame,
// WaitClosed) or done by a recorder thread (StartRecording); not both.
class FramedPeer {
 public:
  explicit FramedPeer(int fd);
  ~FramedPeer();
  FramedPeer(const FramedPeer&) = delete;
  FramedPeer& operator=(const FramedPeer&) = delete;

  // A frame with the header as given: header.length need not match the
  // payload, so that hostile lengths can be sent.
  bool SendFrame(const FrameHeader& header, const void* payload, size_t size);
  // A well-formed frame (length = payload size).
  bool SendFrame(uint16_t slot, const std::vector<uint8_t>& payload, uint16_t kind = 2, uint8_t subKind = 0,
                 uint8_t index = FrameHeader::kNoIndex);
  // Raw bytes, for frames cut at chosen points.
  bool SendBytes(const void* data, size_t size);

  ReadResult ReadFrame(Frame* out, int timeoutMs);
  // Reads and drops bytes until the client closes; false on time-out.
  bool WaitClosed(int timeoutMs, uint64_t* bytesRead = nullptr);

  void StartRecording();
  // True once `count` frames are recorded (false after the time-out).
  bool WaitForFrames(size_t count, int timeoutMs);
  std::vector<Frame> Frames();
  bool RecorderSawClose();

  void Close();
  int Fd() const { return fd_; }

 private:
  bool ReadExactly(uint8_t* out, size_t size, int timeoutMs, ReadResult* result);
  void Record();

  int fd_;
  std::thread recorder_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Frame> frames_;
  bool closed_ = false;
  bool stopRecording_ = false;
};

class Listener {
 public:
  Listener() = default;
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // Port 0 takes an ephemeral port; Port() tells which. A backlog of 0 with
  // one connection left unaccepted makes later connects hang.
  bool Listen(const char* address = "127.0.0.1", uint16_t port = 0, int backlog = 16);
  uint16_t Port() const { return port_; }
  sockaddr_in Address() const;
  // The next connection, or null after timeoutMs.
  std::unique_ptr<FramedPeer> Accept(int timeoutMs);
  void Close();

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
  in_addr address_{};
};

// Waits until fd is readable (or writable); false after timeoutMs.
bool WaitReadable(int fd, int timeoutMs);

}  // namespace testhost
