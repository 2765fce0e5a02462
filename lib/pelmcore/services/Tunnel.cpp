#include "services/Tunnel.h"

#include <atomic>
#include <climits>
#include <cstring>
#include <new>

#include "services/TunnelClient.h"
#include "transport/PacketHeader.h"
#include "transport/Status.h"
#include "sys/ByteReader.h"
#include "sys/ByteWriter.h"

namespace ybx {
namespace tunnel {

namespace {

// Unique across threads and sessions for the life of the process.
std::atomic<uint64_t> g_nextSequence{0};

constexpr size_t kNameLimit = kTunnelNameMaxChars + 1;

// The name's length, or 0 when it is missing, empty or too long.
size_t UsableNameLength(const char* name) {
  if (!name) return 0;
  const size_t n = strnlen(name, kNameLimit);
  return n < kNameLimit ? n : 0;
}

void WriteName(ByteWriter& writer, const char* name, size_t length) {
  writer.Bytes(name, length);
  writer.Zeros(kTunnelNameField - length);
}

// A name field as text: up to its first NUL, which the reader has made sure
// lies within the field.
std::string ReadName(ByteReader& reader) {
  const uint8_t* field = reader.Take(kTunnelNameField);
  if (!field) return std::string();
  const char* text = reinterpret_cast<const char*>(field);
  return std::string(text, strnlen(text, kTunnelNameField));
}

}  // namespace

TunnelFrame::~TunnelFrame() {
  if (bytes_.size() >= sizeof(uint32_t)) memset(bytes_.data(), 0, sizeof(uint32_t));
}

std::unique_ptr<TunnelFrame> BuildTunnelFrame(const char* objectName, const char* methodName,
                                              const void* payload, int64_t length) {
  const size_t objectLength = UsableNameLength(objectName);
  const size_t methodLength = UsableNameLength(methodName);
  if (objectLength == 0 || methodLength == 0) return nullptr;
  if (length < 0 || length > INT32_MAX || (length != 0 && !payload)) return nullptr;

  std::unique_ptr<TunnelFrame> frame(new (std::nothrow) TunnelFrame);
  if (!frame) return nullptr;
  try {
    frame->bytes_.resize(kTunnelHeaderSize + static_cast<size_t>(length));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  frame->sequence_ = g_nextSequence.fetch_add(1);

  ByteWriter writer(frame->bytes_.data(), frame->bytes_.size());
  writer.U32(kTunnelMagic);
  WriteName(writer, objectName, objectLength);
  WriteName(writer, methodName, methodLength);
  writer.U32(kTunnelRequest);
  writer.U32(0);
  writer.U64(frame->sequence_);
  writer.U32(static_cast<uint32_t>(length));
  if (length) writer.Bytes(payload, static_cast<size_t>(length));
  if (!writer.Ok()) return nullptr;
  return frame;
}

int SendTunnelFrame(const TunnelFrame* frame, ITunnelClient* client) {
  if (!frame || !client) return 1;
  const uint64_t total = sizeof(uint32_t) + static_cast<uint64_t>(frame->Size());
  if (total > UINT32_MAX) return kStatusFailure;
  std::vector<uint8_t> message;
  try {
    message.resize(static_cast<size_t>(total));
  } catch (const std::bad_alloc&) {
    return kStatusFailure;
  }
  ByteWriter writer(message.data(), message.size());
  writer.U32(kTunnelControlCode);
  writer.Bytes(frame->Bytes(), frame->Size());
  if (!writer.Ok()) return kStatusFailure;
  const int sent = client->SendOnSlot(PacketHeader::kControlSlot, message.data(),
                                      static_cast<uint32_t>(message.size()));
  return sent == static_cast<int>(message.size()) ? kStatusOk : kStatusFailure;
}

bool ReadTunnelFrame(const uint8_t* bytes, size_t length, TunnelFrameView* out) {
  if (!bytes || length < kTunnelHeaderSize) return false;
  ByteReader reader(bytes, length);
  const uint32_t magic = reader.U32();
  const uint8_t* objectField = bytes + reader.Position();
  out->objectName = ReadName(reader);
  const uint8_t* methodField = bytes + reader.Position();
  out->methodName = ReadName(reader);
  out->kind = reader.U32();
  reader.Skip(sizeof(uint32_t));
  out->sequence = reader.U64();
  const uint32_t payloadLength = reader.U32();
  if (!reader.Ok()) return false;
  if (magic != kTunnelMagic) return false;
  if (objectField[kTunnelNameField - 1] != 0 || methodField[kTunnelNameField - 1] != 0) return false;
  if (out->kind != kTunnelRequest && out->kind != kTunnelAnswer) return false;
  if (payloadLength > INT32_MAX || payloadLength != reader.Remaining()) return false;
  out->payloadLength = payloadLength;
  out->payload = payloadLength ? reader.Take(payloadLength) : nullptr;
  return true;
}

// ---------------------------------------------------------------- sinks

TunnelSink::TunnelSink(std::string name) : name_(std::move(name)), valid_(!name_.empty() && name_[0] == '.') {}

bool TunnelSink::AddMethod(const std::string& methodName, TunnelHandler handler) {
  if (!valid_ || name_.empty()) return false;
  std::lock_guard<std::mutex> hold(mutex_);
  methods_[methodName] = handler;
  return true;
}

TunnelHandler TunnelSink::FindMethod(const std::string& methodName) const {
  std::lock_guard<std::mutex> hold(mutex_);
  auto it = methods_.find(methodName);
  return it == methods_.end() ? nullptr : it->second;
}

bool TunnelSink::Invoke(TunnelResult* result, const TunnelFrameView& frame, ITunnelClient* client) const {
  TunnelHandler handler = FindMethod(frame.methodName);
  if (!handler) return false;
  handler(result, frame.kind, frame.payload, frame.payloadLength, client);
  return true;
}

// ---------------------------------------------------------------- registry

std::shared_ptr<TunnelSink> TunnelRegistry::AddSink(const std::string& name) {
  auto sink = std::make_shared<TunnelSink>(name);
  if (!sink->Valid()) return nullptr;
  std::lock_guard<std::mutex> hold(mutex_);
  sinks_.emplace(name, sink);
  return sink;
}

std::shared_ptr<TunnelSink> TunnelRegistry::FindSink(const std::string& name) const {
  std::lock_guard<std::mutex> hold(mutex_);
  auto it = sinks_.find(name);
  return it == sinks_.end() ? nullptr : it->second;
}

TunnelResult TunnelRegistry::Dispatch(TunnelRegistry* registry, const uint8_t* frame, size_t length,
                                      ITunnelClient* client) {
  TunnelResult result;
  TunnelFrameView view;
  if (!ReadTunnelFrame(frame, length, &view)) {
    result.status = kStatusFailure;
    return result;
  }
  result.sequence = view.sequence;
  std::shared_ptr<TunnelSink> sink = registry ? registry->FindSink(view.objectName) : nullptr;
  if (!sink || !sink->Valid()) {
    result.status = kTunnelNoSink;
    return result;
  }
  if (!sink->Invoke(&result, view, client)) result.status = kTunnelNoMethod;
  return result;
}

}  // namespace tunnel
}  // namespace ybx
