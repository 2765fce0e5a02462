#include "testhost/Framing.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace testhost {

namespace {

constexpr int kRecorderPollMs = 50;
// The recorder never takes frames larger than this; the host is a test tool.
constexpr uint32_t kLargestRecordedPayload = 256u << 20;

void PutLE(uint8_t* out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint64_t GetLE(const uint8_t* in, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | in[i];
  return v;
}

int Remaining(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

}  // namespace

std::array<uint8_t, FrameHeader::kSize> FrameHeader::Encode() const {
  std::array<uint8_t, kSize> out{};
  PutLE(&out[0], length, 4);
  PutLE(&out[4], kind, 2);
  PutLE(&out[6], slot, 2);
  out[8] = subKind;
  out[9] = index;
  PutLE(&out[10], reserved, 2);
  return out;
}

FrameHeader FrameHeader::Decode(const uint8_t* bytes) {
  FrameHeader h;
  h.length = static_cast<uint32_t>(GetLE(bytes, 4));
  h.kind = static_cast<uint16_t>(GetLE(bytes + 4, 2));
  h.slot = static_cast<uint16_t>(GetLE(bytes + 6, 2));
  h.subKind = bytes[8];
  h.index = bytes[9];
  h.reserved = static_cast<uint16_t>(GetLE(bytes + 10, 2));
  return h;
}

bool WaitReadable(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  for (;;) {
    int r = poll(&p, 1, timeoutMs);
    if (r >= 0) return r > 0;
    if (errno != EINTR) return false;
  }
}

// ---------------------------------------------------------------- FramedPeer

FramedPeer::FramedPeer(int fd) : fd_(fd) {}

FramedPeer::~FramedPeer() { Close(); }

bool FramedPeer::SendBytes(const void* data, size_t size) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  while (size > 0) {
    ssize_t n = send(fd_, p, size, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool FramedPeer::SendFrame(const FrameHeader& header, const void* payload, size_t size) {
  const auto bytes = header.Encode();
  std::vector<uint8_t> frame(bytes.begin(), bytes.end());
  if (size) frame.insert(frame.end(), static_cast<const uint8_t*>(payload), static_cast<const uint8_t*>(payload) + size);
  return SendBytes(frame.data(), frame.size());
}

bool FramedPeer::SendFrame(uint16_t slot, const std::vector<uint8_t>& payload, uint16_t kind, uint8_t subKind,
                           uint8_t index) {
  FrameHeader h;
  h.length = static_cast<uint32_t>(payload.size());
  h.kind = kind;
  h.slot = slot;
  h.subKind = subKind;
  h.index = index;
  return SendFrame(h, payload.data(), payload.size());
}

bool FramedPeer::ReadExactly(uint8_t* out, size_t size, int timeoutMs, ReadResult* result) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (size > 0) {
    if (!WaitReadable(fd_, Remaining(deadline))) {
      *result = ReadResult::kTimeout;
      return false;
    }
    ssize_t n = recv(fd_, out, size, 0);
    if (n == 0) {
      *result = ReadResult::kClosed;
      return false;
    }
    if (n < 0) {
      if (errno == EINTR) continue;
      *result = ReadResult::kError;
      return false;
    }
    out += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

ReadResult FramedPeer::ReadFrame(Frame* out, int timeoutMs) {
  uint8_t header[FrameHeader::kSize];
  ReadResult result = ReadResult::kFrame;
  if (!ReadExactly(header, sizeof header, timeoutMs, &result)) return result;
  out->header = FrameHeader::Decode(header);
  if (out->header.length > kLargestRecordedPayload) return ReadResult::kError;
  out->payload.resize(out->header.length);
  if (out->header.length && !ReadExactly(out->payload.data(), out->payload.size(), timeoutMs, &result))
    return result;
  return ReadResult::kFrame;
}

bool FramedPeer::WaitClosed(int timeoutMs, uint64_t* bytesRead) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  uint64_t total = 0;
  uint8_t chunk[65536];
  for (;;) {
    if (!WaitReadable(fd_, Remaining(deadline))) break;
    ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (bytesRead) *bytesRead = total;
      return true;
    }
    total += static_cast<uint64_t>(n);
  }
  if (bytesRead) *bytesRead = total;
  return false;
}

void FramedPeer::StartRecording() {
  if (recorder_.joinable()) return;
  recorder_ = std::thread([this] { Record(); });
}

void FramedPeer::Record() {
  for (;;) {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      if (stopRecording_) return;
    }
    if (!WaitReadable(fd_, kRecorderPollMs)) continue;
    Frame frame;
    ReadResult r = ReadFrame(&frame, 5000);
    std::lock_guard<std::mutex> hold(mutex_);
    if (r == ReadResult::kFrame) {
      frames_.push_back(std::move(frame));
    } else if (r != ReadResult::kTimeout) {
      closed_ = true;
      changed_.notify_all();
      return;
    }
    changed_.notify_all();
  }
}

bool FramedPeer::WaitForFrames(size_t count, int timeoutMs) {
  std::unique_lock<std::mutex> hold(mutex_);
  return changed_.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                           [&] { return frames_.size() >= count || closed_; }) &&
         frames_.size() >= count;
}

std::vector<Frame> FramedPeer::Frames() {
  std::lock_guard<std::mutex> hold(mutex_);
  return frames_;
}

bool FramedPeer::RecorderSawClose() {
  std::lock_guard<std::mutex> hold(mutex_);
  return closed_;
}

void FramedPeer::Close() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    stopRecording_ = true;
  }
  if (recorder_.joinable()) {
    // Wakes a recorder that waits for the rest of a frame.
    if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);
    recorder_.join();
  }
  if (fd_ >= 0) {
    close(fd_);
    fd_ = -1;
  }
}

// ---------------------------------------------------------------- Listener

Listener::~Listener() { Close(); }

bool Listener::Listen(const char* address, uint16_t port, int backlog) {
  Close();
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  if (inet_pton(AF_INET, address, &a.sin_addr) != 1) return false;
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return false;
  int on = 1;
  setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  socklen_t len = sizeof a;
  if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd_, backlog) != 0 ||
      getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    Close();
    return false;
  }
  port_ = ntohs(a.sin_port);
  address_ = a.sin_addr;
  return true;
}

sockaddr_in Listener::Address() const {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port_);
  a.sin_addr = address_;
  return a;
}

std::unique_ptr<FramedPeer> Listener::Accept(int timeoutMs) {
  if (fd_ < 0 || !WaitReadable(fd_, timeoutMs)) return nullptr;
  int fd = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return nullptr;
  return std::make_unique<FramedPeer>(fd);
}

void Listener::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  port_ = 0;
}

}  // namespace testhost
