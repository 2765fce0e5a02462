#include "services/RemoteIo.h"

#include <atomic>
#include <chrono>
#include <thread>

#include "pelplat/utf16.h"
#include "services/Tunnel.h"
#include "sys/ByteReader.h"
#include "sys/ByteWriter.h"
#include "sys/klog.h"

namespace qmt {

namespace {

constexpr const char* kSinkName = ".micro_io";

// Separate from the tunnel's sequence numbers, and shared by every session
// of the process; the first request carries 13.
std::atomic<uint64_t> g_nextRequestId{13};

uint64_t NextRequestId() { return g_nextRequestId.fetch_add(1); }

// The payload of "close" and "size": the handle and a new request id, which
// it answers.
typedef uint8_t HandlePayload[12];
uint64_t WriteHandlePayload(int32_t handle, HandlePayload& payload) {
  ByteWriter writer(payload, sizeof payload);
  writer.U32(static_cast<uint32_t>(handle));
  const uint64_t id = NextRequestId();
  writer.U64(id);
  return id;
}

bool ParseHead(const uint8_t* payload, size_t length, tools::MicroIoAnswer* answer) {
  ByteReader reader(payload, length);
  answer->requestId = reader.U64();
  answer->dataLength = reader.I32();
  answer->result = reader.I32();
  answer->value1 = reader.I32();
  answer->value2 = reader.I32();
  answer->code = reader.U32();
  return reader.Ok();
}

}  // namespace

int RemoteIoLink::Send(const char* method, const uint8_t* payload, size_t length) {
  std::unique_ptr<ybx::tunnel::TunnelFrame> frame =
      ybx::tunnel::BuildTunnelFrame(kSinkName, method, payload, static_cast<int64_t>(length));
  std::lock_guard<std::mutex> hold(mutex_);
  if (!frame || !client_) return -1;
  return ybx::tunnel::SendTunnelFrame(frame.get(), client_);
}

void RemoteIoLink::Cut() {
  std::lock_guard<std::mutex> hold(mutex_);
  client_ = nullptr;
}

RemoteIo::RemoteIo(ITunnelClient* client) : link_(std::make_shared<RemoteIoLink>(client)) {}

RemoteIo::RemoteIo(std::shared_ptr<RemoteIoLink> link) : link_(std::move(link)) {}

RemoteIo::~RemoteIo() {
  std::lock_guard<std::mutex> hold(mutex_);
  if (FileOpenLocked()) {
    HandlePayload payload;
    WriteHandlePayload(handle_, payload);
    link_->Send("close", payload, sizeof payload);
  }
  for (Pending& p : pending_) p.promise.set_value(nullptr);
  pending_.clear();
}

void RemoteIo::Detach() { link_->Cut(); }

int32_t RemoteIo::Handle() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return handle_;
}

std::u16string RemoteIo::Path() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return std::u16string(path_);
}

void RemoteIo::ForgetFileLocked() {
  handle_ = 0;
  path_[0] = 0;
}

RemoteIo::PendingAnswer RemoteIo::SendLocked(const char* method, const uint8_t* payload, size_t length,
                                             uint64_t id) {
  pending_.push_back(Pending{id, std::promise<Answer>()});
  auto entry = std::prev(pending_.end());
  PendingAnswer future = entry->promise.get_future();
  if (link_->Send(method, payload, length) == 0) return future;
  entry->promise.set_value(nullptr);
  pending_.erase(entry);
  return PendingAnswer();
}

RemoteIo::PendingAnswer RemoteIo::Open(const WCHAR* path) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (handle_ != 0 || !path || !path[0]) return PendingAnswer();
  WcsCopyTruncate(path_, kPathChars, path);

  uint8_t payload[kOpenPayload];
  ByteWriter writer(payload, sizeof payload);
  const size_t n = WcsLen(path_);
  for (size_t i = 0; i < n; ++i) writer.U16(path_[i]);
  writer.Zeros((kPathChars - n) * sizeof(WCHAR));
  const uint64_t id = NextRequestId();
  writer.U64(id);
  PendingAnswer future = SendLocked("open", payload, sizeof payload, id);
  if (!future.valid()) path_[0] = 0;
  return future;
}

RemoteIo::PendingAnswer RemoteIo::Close() { return HandleRequest("close"); }

RemoteIo::PendingAnswer RemoteIo::Size() { return HandleRequest("size"); }

RemoteIo::PendingAnswer RemoteIo::HandleRequest(const char* method) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (!FileOpenLocked()) return PendingAnswer();
  HandlePayload payload;
  const uint64_t id = WriteHandlePayload(handle_, payload);
  return SendLocked(method, payload, sizeof payload, id);
}

RemoteIo::PendingAnswer RemoteIo::Read(int32_t byteCount) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (!FileOpenLocked() || byteCount <= 0) return PendingAnswer();
  uint8_t payload[16];
  ByteWriter writer(payload, sizeof payload);
  writer.U32(static_cast<uint32_t>(handle_));
  writer.I32(byteCount);
  const uint64_t id = NextRequestId();
  writer.U64(id);
  return SendLocked("read", payload, sizeof payload, id);
}

RemoteIo::PendingAnswer RemoteIo::Seek(int32_t offset) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (!FileOpenLocked()) return PendingAnswer();
  uint8_t payload[24];
  ByteWriter writer(payload, sizeof payload);
  writer.U32(static_cast<uint32_t>(handle_));
  writer.U64(static_cast<uint64_t>(static_cast<int64_t>(offset)));
  writer.U32(0);
  const uint64_t id = NextRequestId();
  writer.U64(id);
  return SendLocked("seek", payload, sizeof payload, id);
}

void RemoteIo::OnAnswer(const uint8_t* payload, size_t length) {
  auto answer = std::make_unique<tools::MicroIoAnswer>();
  if (!ParseHead(payload, length, answer.get())) return;
  // The data length is the server's word: only a length that the payload
  // really holds is copied.
  const int64_t n = answer->dataLength;
  if (n < 0 || static_cast<uint64_t>(n) > length - tools::MicroIoAnswer::kHeadSize) {
    LogMessageA("RemoteIo::OnAnswer: an answer to request %llu announces %lld data bytes in a %llu-byte "
                "payload; dropped",
                static_cast<unsigned long long>(answer->requestId), static_cast<long long>(n),
                static_cast<unsigned long long>(length));
    return;
  }

  std::lock_guard<std::mutex> hold(mutex_);
  // The server answers in request order: an older request still pending
  // will not be answered any more.
  std::unique_ptr<Pending> taken;
  for (auto it = pending_.begin(); it != pending_.end();) {
    if (it->id > answer->requestId) {
      ++it;
    } else if (it->id == answer->requestId) {
      taken.reset(new Pending{it->id, std::move(it->promise)});
      it = pending_.erase(it);
    } else {
      it->promise.set_value(nullptr);
      it = pending_.erase(it);
    }
  }
  if (!taken) return;

  if (answer->code == kOpen) {
    handle_ = answer->result;
    if (handle_ < 1) ForgetFileLocked();
  } else if (answer->code == kClose) {
    ForgetFileLocked();
  }
  try {
    answer->bytes.assign(payload, payload + tools::MicroIoAnswer::kHeadSize + n);
  } catch (const std::bad_alloc&) {
    taken->promise.set_value(nullptr);
    return;
  }
  taken->promise.set_value(std::move(answer));
}

RemoteIo::Answer RemoteIo::Wait(PendingAnswer& pending, int timeoutMs) {
  if (!pending.valid()) return nullptr;
  if (pending.wait_for(std::chrono::milliseconds(timeoutMs)) != std::future_status::ready) return nullptr;
  return pending.get();
}

void RemoteIo::StartProbe(std::shared_ptr<RemoteIo> io, std::u16string path) {
  if (!io) return;
  try {
    std::thread([io, path] { RunProbe(io, path); }).detach();
  } catch (const std::system_error& e) {
    LogMessageA("RemoteIo::StartProbe: no thread for the probe: %s", e.what());
  }
}

void RemoteIo::RunProbe(const std::shared_ptr<RemoteIo>& io, const std::u16string& path) {
  // Each answer is taken and let go at once: the probe only exercises the
  // server's side.
  PendingAnswer open = io->Open(path.c_str());
  Wait(open);
  PendingAnswer size = io->Size();
  Wait(size);
  PendingAnswer seek = io->Seek(kProbeSeek);
  Wait(seek);
  PendingAnswer read = io->Read(kProbeRead);
  Wait(read);
  std::this_thread::sleep_for(std::chrono::milliseconds(kProbeHoldMs));
  PendingAnswer close = io->Close();
  Wait(close);
}

}  // namespace qmt
