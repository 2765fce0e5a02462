#include "testhost/RemoteIoServer.h"

#include <algorithm>
#include <chrono>

#include "testhost/Wire.h"

namespace testhost {

namespace {

constexpr int kReadPollMs = 50;

struct RequestLayout {
  const char* method;
  size_t size;
  size_t idOffset;
};

// The request payloads: their sizes and where the request id sits.
constexpr RequestLayout kLayouts[] = {
    {"open", RemoteIoServer::kOpenPayload, 2048},
    {"close", 12, 4},
    {"read", 16, 8},
    {"seek", 24, 16},
    {"size", 12, 4},
};

}  // namespace

std::vector<uint8_t> RemoteIoServer::EncodeAnswer(uint64_t id, int32_t dataLength, int32_t result,
                                                  int32_t value1, int32_t value2, uint32_t code,
                                                  const std::vector<uint8_t>& data) {
  std::vector<uint8_t> out;
  wire::Append(out, id, 8);
  wire::Append(out, static_cast<uint32_t>(dataLength), 4);
  wire::Append(out, static_cast<uint32_t>(result), 4);
  wire::Append(out, static_cast<uint32_t>(value1), 4);
  wire::Append(out, static_cast<uint32_t>(value2), 4);
  wire::Append(out, code, 4);
  wire::AppendBytes(out, data.data(), data.size());
  return out;
}

bool RemoteIoServer::DecodeRequest(const TunnelCall& call, RemoteIoRequest* out) {
  if (call.object != ".micro_io") return false;
  const std::vector<uint8_t>& p = call.payload;
  for (const RequestLayout& layout : kLayouts) {
    if (call.method != layout.method) continue;
    if (p.size() != layout.size) return false;
    out->method = call.method;
    out->payloadSize = p.size();
    out->id = wire::Read(p, layout.idOffset, 8);
    if (call.method == "open") {
      out->path = wire::ReadWide(p, 0, kPathChars);
    } else {
      out->handle = static_cast<uint32_t>(wire::Read(p, 0, 4));
    }
    if (call.method == "read") out->byteCount = static_cast<int32_t>(wire::Read(p, 4, 4));
    if (call.method == "seek") out->offset = static_cast<int64_t>(wire::Read(p, 4, 8));
    return true;
  }
  return false;
}

std::vector<uint8_t> RemoteIoServer::Answer(const RemoteIoRequest& r) {
  const int32_t size = static_cast<int32_t>(file_.size());
  if (r.method == "open") {
    position_ = 0;
    return EncodeAnswer(r.id, 0, refuseOpen_ ? 0 : kHandle, 0, 0, kOpen, {});
  }
  if (r.method == "size") return EncodeAnswer(r.id, 0, 0, size, 0, kSize, {});
  if (r.method == "seek") {
    position_ = static_cast<uint64_t>(std::max<int64_t>(0, r.offset));
    return EncodeAnswer(r.id, 0, 0, static_cast<int32_t>(position_), 0, kSeek, {});
  }
  if (r.method == "read") {
    const uint64_t start = std::min<uint64_t>(position_, file_.size());
    const uint64_t n = std::min<uint64_t>(file_.size() - start, static_cast<uint64_t>(std::max(r.byteCount, 0)));
    std::vector<uint8_t> data(file_.begin() + start, file_.begin() + start + n);
    position_ = start + n;
    return EncodeAnswer(r.id, static_cast<int32_t>(n), static_cast<int32_t>(n), 0, 0, kRead, data);
  }
  return EncodeAnswer(r.id, 0, 0, 0, 0, kClose, {});
}

void RemoteIoServer::Start() {
  stop_ = false;
  thread_ = std::thread([this] { Serve(); });
}

void RemoteIoServer::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

void RemoteIoServer::Serve() {
  while (!stop_) {
    Frame frame;
    const ReadResult rc = peer_.ReadFrame(&frame, kReadPollMs);
    if (rc == ReadResult::kTimeout) continue;
    if (rc != ReadResult::kFrame) return;
    TunnelCall call;
    RemoteIoRequest request;
    if (frame.header.slot != FrameHeader::kControlSlot || !TunnelCall::Decode(frame.payload, &call) ||
        !DecodeRequest(call, &request))
      continue;
    {
      std::lock_guard<std::mutex> hold(mutex_);
      requests_.push_back(request);
      changed_.notify_all();
    }
    TunnelCall answer;
    answer.object = ".micro_io";
    answer.method = "status";
      answer.sequence = request.id;
    answer.payload = Answer(request);
    if (!SendTunnelCall(peer_, answer)) return;
  }
}

bool RemoteIoServer::SendProbeCall(const std::u16string& path) {
  TunnelCall call;
  call.object = ".vazi_player";
  call.method = ".open";
  wire::AppendWide(call.payload, path.substr(0, kPathChars - 1), kPathChars);
  wire::Append(call.payload, 0, 8);
  return SendTunnelCall(peer_, call);
}

bool RemoteIoServer::WaitForRequests(size_t count, int timeoutMs) {
  std::unique_lock<std::mutex> hold(mutex_);
  return changed_.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] { return requests_.size() >= count; });
}

std::vector<RemoteIoRequest> RemoteIoServer::Requests() {
  std::lock_guard<std::mutex> hold(mutex_);
  return requests_;
}

}  // namespace testhost
