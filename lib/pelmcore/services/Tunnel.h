// The named-object tunnel: small calls between the server and the client,
// each naming an object (a sink), one of its methods and an opaque payload,
// carried in control message 2560. The builder and sender of outgoing
// frames, and the per-client registry that hands incoming frames to the
// sinks' handlers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

class ITunnelClient;

namespace ybx {
namespace tunnel {

constexpr uint32_t kTunnelMagic = 0xF1F2F3F4u;
constexpr size_t kTunnelHeaderSize = 56;
constexpr size_t kTunnelNameField = 16;
// A name fills at most 14 characters of its field, so its terminator and the
// field's last byte are always NUL.
constexpr size_t kTunnelNameMaxChars = 14;
constexpr uint32_t kTunnelRequest = 1;
constexpr uint32_t kTunnelAnswer = 2;
// The control message that carries a frame (both directions).
constexpr uint32_t kTunnelControlCode = 2560;
constexpr uint32_t kTunnelEncryptedControlCode = 2561;

// Dispatch statuses besides what a handler sets.
constexpr int32_t kTunnelNotHandled = -4;
constexpr int32_t kTunnelNoSink = -1;
constexpr int32_t kTunnelNoMethod = -2;

// One outgoing frame: the 56-byte header and the payload, as they go on the
// wire. The sender owns it; the magic is cleared when it is freed, so a stale
// copy can never pass for a frame.
class TunnelFrame {
 public:
  ~TunnelFrame();
  TunnelFrame(const TunnelFrame&) = delete;
  TunnelFrame& operator=(const TunnelFrame&) = delete;

  const uint8_t* Bytes() const { return bytes_.data(); }
  size_t Size() const { return bytes_.size(); }
  uint64_t Sequence() const { return sequence_; }
  uint32_t PayloadLength() const { return static_cast<uint32_t>(bytes_.size() - kTunnelHeaderSize); }

 private:
  friend std::unique_ptr<TunnelFrame> BuildTunnelFrame(const char*, const char*, const void*, int64_t);
  TunnelFrame() = default;

  std::vector<uint8_t> bytes_;
  uint64_t sequence_ = 0;
};

// A frame for object.method with the payload, numbered from the process-wide
// sequence; null when a name is missing, empty or longer than 14
// characters, or the length is negative, too large for the length word, or
// not 0 without a payload. Safe on any thread.
std::unique_ptr<TunnelFrame> BuildTunnelFrame(const char* objectName, const char* methodName,
                                              const void* payload, int64_t length);

// Sends control message 2560 with the frame on the control slot: 0 when the
// client reported every byte sent, 9999 otherwise, 1 (nothing sent) without a
// frame or a client.
int SendTunnelFrame(const TunnelFrame* frame, ITunnelClient* client);

// A received frame, read out of its bytes. Payload points into them.
struct TunnelFrameView {
  std::string objectName;
  std::string methodName;
  uint32_t kind = 0;
  uint64_t sequence = 0;
  const uint8_t* payload = nullptr;
  uint32_t payloadLength = 0;
};

// True when the bytes are one acceptable frame: more than 55 bytes, the
// length word equal to the bytes after the header, the magic, both names
// terminated within their fields and kind 1 or 2.
bool ReadTunnelFrame(const uint8_t* bytes, size_t length, TunnelFrameView* out);

// What a handler reports back to the dispatch.
struct TunnelResult {
  int32_t status = kTunnelNotHandled;
  uint64_t sequence = 0;
  uint8_t flag = 0;
  // Reply data a handler may supply; none of the built-in ones does.
  std::vector<uint8_t> reply;
};

// Called on the connection thread; the payload is valid only during the
// call and must not block it.
typedef void (*TunnelHandler)(TunnelResult* result, uint32_t kind, const uint8_t* payload, uint32_t length,
                              ITunnelClient* client);

// A named object: its methods by name. Only a sink whose name begins with
// "." is valid, and only valid sinks are registered.
class TunnelSink {
 public:
  explicit TunnelSink(std::string name);

  // Inserts or replaces; false for an invalid sink.
  bool AddMethod(const std::string& methodName, TunnelHandler handler);
  TunnelHandler FindMethod(const std::string& methodName) const;
  // Calls the handler of the frame's method (outside any lock); false when
  // the sink has no such method.
  bool Invoke(TunnelResult* result, const TunnelFrameView& frame, ITunnelClient* client) const;

  const std::string& Name() const { return name_; }
  bool Valid() const { return valid_; }

 private:
  const std::string name_;
  const bool valid_;
  mutable std::mutex mutex_;
  std::unordered_map<std::string, TunnelHandler> methods_;
};

// The sinks of one session client. Sinks are shared: one handed out stays
// alive while in use, even when the client goes.
class TunnelRegistry {
 public:
  // The new sink (registered unless a sink of that name already was: the
  // first registration stays), or null for an invalid name.
  std::shared_ptr<TunnelSink> AddSink(const std::string& name);
  std::shared_ptr<TunnelSink> FindSink(const std::string& name) const;

  // Hands a received frame to its sink's handler. The status is 9999 for
  // bytes that are not an acceptable frame (the control slot ends the
  // session), -1 without a registry or a valid sink of that name, -2 without
  // the method, else what the handler set (-4 when it set nothing).
  static TunnelResult Dispatch(TunnelRegistry* registry, const uint8_t* frame, size_t length,
                               ITunnelClient* client);

 private:
  mutable std::mutex mutex_;
  std::unordered_map<std::string, std::shared_ptr<TunnelSink>> sinks_;
};

}  // namespace tunnel
}  // namespace ybx
