// The host's control slot after the handshake: scripted control messages,
// echo requests as keep-alive, slot data, and the recording of everything
// the client sends, opened where the session's keys allow.
#include <sys/socket.h>

#include <chrono>
#include <sstream>

#include "testhost/HostSession.h"
#include "testhost/Wire.h"

namespace testhost {

namespace {

constexpr int kReaderPollMs = 50;
constexpr int kFrameRestMs = 5000;
constexpr size_t kCode = 4;
constexpr size_t kShownBytes = 64;
constexpr uint16_t kSlotReceiveSealed = 0x80;
constexpr uint16_t kSlotSendSealed = 0x100;

int SlotLevel(uint16_t flags) { return (flags >> 9) & 3; }

std::string Hex(const std::vector<uint8_t>& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < bytes.size() && i < kShownBytes; ++i) {
    s += kDigits[bytes[i] >> 4];
    s += kDigits[bytes[i] & 15];
  }
  if (bytes.size() > kShownBytes) s += "...";
  return s;
}

}  // namespace

bool HostSession::Send(const FrameHeader& header, const std::vector<uint8_t>& payload) {
  std::lock_guard<std::mutex> hold(sendMutex_);
  return peer_->SendFrame(header, payload.data(), payload.size());
}

bool HostSession::SendControl(uint32_t code, const std::vector<uint8_t>& body, bool seal, uint16_t kind) {
  std::vector<uint8_t> payload;
  wire::Append(payload, code, 4);
  if (seal) {
    std::vector<uint8_t> sealed;
    if (!encrypted_ || !cipher_.SealMessage(body, &sealed)) return false;
    wire::AppendBytes(payload, sealed.data(), sealed.size());
  } else {
    wire::AppendBytes(payload, body.data(), body.size());
  }
  FrameHeader h;
  h.length = static_cast<uint32_t>(payload.size());
  h.kind = kind;
  h.slot = FrameHeader::kControlSlot;
  return Send(h, payload);
}

bool HostSession::SendSlot(uint16_t slot, const std::vector<uint8_t>& payload, uint8_t subKind, uint8_t index) {
  std::vector<uint8_t> bytes = payload;
  const uint16_t flags = SlotFlags(slot);
  if (encrypted_ && (flags & kSlotReceiveSealed) && !cipher_.SealSlot(payload, SlotLevel(flags), &bytes))
    return false;
  FrameHeader h;
  h.length = static_cast<uint32_t>(bytes.size());
  h.slot = slot;
  h.subKind = subKind;
  h.index = index;
  return Send(h, bytes);
}

bool HostSession::SendEcho(const std::vector<uint8_t>& payload) { return SendControl(code::kEchoRequest, payload); }

void HostSession::StartKeepAlive(int intervalMs) {
  if (keepAlive_.joinable()) return;
  keepAlive_ = std::thread([this, intervalMs] {
    uint64_t beat = 0;
    std::unique_lock<std::mutex> hold(mutex_);
    while (!changed_.wait_for(hold, std::chrono::milliseconds(intervalMs), [&] { return stopping_.load(); })) {
      hold.unlock();
      std::vector<uint8_t> payload;
      wire::Append(payload, ++beat, 8);
      const bool sent = SendEcho(payload);
      hold.lock();
      if (!sent) return;
    }
  });
}

HostMessage HostSession::Record(Frame&& frame) {
  HostMessage m;
  m.header = frame.header;
  m.payload = std::move(frame.payload);
  if (m.header.slot == FrameHeader::kControlSlot) {
    m.code = static_cast<uint32_t>(wire::Read(m.payload, 0, 4));
    m.body.assign(m.payload.begin() + std::min(kCode, m.payload.size()), m.payload.end());
    if (encrypted_ && (m.code == code::kQueryReply || m.code == code::kEvent)) {
      std::vector<uint8_t> opened;
      m.opened = cipher_.OpenMessage(m.body, &opened);
      m.openFailed = !m.opened;
      if (m.opened) m.body = std::move(opened);
    }
  } else {
    m.body = m.payload;
    const uint16_t flags = SlotFlags(m.header.slot);
    if (encrypted_ && (flags & kSlotSendSealed)) {
      std::vector<uint8_t> opened;
      m.opened = cipher_.OpenSlot(m.payload, SlotLevel(flags), &opened);
      m.openFailed = !m.opened;
      if (m.opened) m.body = std::move(opened);
    }
  }
  std::lock_guard<std::mutex> hold(mutex_);
  messages_.push_back(m);
  changed_.notify_all();
  return m;
}

bool HostSession::ReadMessage(HostMessage* out, int timeoutMs) {
  Frame frame;
  const ReadResult r = peer_->ReadFrame(&frame, timeoutMs);
  if (r != ReadResult::kFrame) {
    if (r != ReadResult::kTimeout) {
      std::lock_guard<std::mutex> hold(mutex_);
      closed_ = true;
      changed_.notify_all();
    }
    return false;
  }
  HostMessage m = Record(std::move(frame));
  if (out) *out = std::move(m);
  return true;
}

void HostSession::StartReader() {
  if (reader_.joinable()) return;
  reader_ = std::thread([this] { ReaderMain(); });
}

void HostSession::StopReading() {
  std::lock_guard<std::mutex> hold(mutex_);
  readingStopped_ = true;
}

void HostSession::ResumeReading() {
  std::lock_guard<std::mutex> hold(mutex_);
  readingStopped_ = false;
  changed_.notify_all();
}

void HostSession::ReaderMain() {
  while (!stopping_.load()) {
    {
      std::unique_lock<std::mutex> hold(mutex_);
      changed_.wait(hold, [&] { return !readingStopped_ || stopping_.load(); });
    }
    if (!WaitReadable(peer_->Fd(), kReaderPollMs)) continue;
    Frame frame;
    const ReadResult r = peer_->ReadFrame(&frame, kFrameRestMs);
    if (r == ReadResult::kFrame) {
      Record(std::move(frame));
    } else if (r != ReadResult::kTimeout) {
      std::lock_guard<std::mutex> hold(mutex_);
      closed_ = true;
      changed_.notify_all();
      return;
    }
  }
}

bool HostSession::WaitFor(const std::function<bool(const HostMessage&)>& match, int timeoutMs, HostMessage* out,
                          size_t from) {
  std::unique_lock<std::mutex> hold(mutex_);
  size_t found = SIZE_MAX;
  auto seen = [&] {
    for (size_t i = from; i < messages_.size(); ++i) {
      if (match(messages_[i])) {
        found = i;
        return true;
      }
    }
    return closed_;
  };
  changed_.wait_for(hold, std::chrono::milliseconds(timeoutMs), seen);
  if (found == SIZE_MAX) return false;
  if (out) *out = messages_[found];
  return true;
}

bool HostSession::WaitClientClosed(int timeoutMs) {
  std::unique_lock<std::mutex> hold(mutex_);
  return changed_.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] { return closed_; });
}

std::vector<HostMessage> HostSession::Messages() {
  std::lock_guard<std::mutex> hold(mutex_);
  return messages_;
}

void HostSession::Stop() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    stopping_.store(true);
    changed_.notify_all();
  }
  if (keepAlive_.joinable()) keepAlive_.join();
  if (reader_.joinable()) {
    // Wakes a reader that waits for the rest of a frame.
    if (peer_->Fd() >= 0) shutdown(peer_->Fd(), SHUT_RDWR);
    reader_.join();
  }
}

std::string DescribeMessage(const HostMessage& m) {
  std::ostringstream s;
  if (m.header.slot == FrameHeader::kControlSlot) {
    s << "control code=" << m.code << " kind=" << m.header.kind << " length=" << m.payload.size();
  } else {
    s << "slot=" << m.header.slot << " length=" << m.payload.size();
  }
  if (m.opened) s << " opened";
  if (m.openFailed) s << " unopened";
  s << " body=" << Hex(m.body);
  return s.str();
}

}  // namespace testhost
