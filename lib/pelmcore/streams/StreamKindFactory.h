// Where the stream slot gets its stream kinds. A kind this build cannot
// make yields null; the slot then refuses the format as it refuses one
// that no kind accepts.
#pragma once

#include <cstdint>
#include <memory>

#include "pelplat/wintypes.h"
#include "streams/Stream.h"

class ISlotSessionPort;

enum class StreamKind {
  kVideo,        // decoded video (refuses every format so far)
  kAudio,        // audio with a wave format
  kDH264,        // H.264 through the decoder library
  kDJ,           // RGB24 or MJPEG, drawn by the client
  kDirectShow,   // the video filter library, format kind 1
  kDxva,         // hardware decoding, format kind 2
  kPlayer,       // the player stream of 0x80300 messages
};

struct StreamKindArgs {
  std::shared_ptr<ISlotSessionPort> port;  // kept by the stream while it needs the session
  int displayIndex = 0;
  UINT_PTR window = 0;      // the session window of display 0
  uint32_t colourKey = 0;   // COLORREF
  bool sound = true;        // the session's "Sound" switch: off, audio kinds stay silent
};

// The player stream takes decoders for its video and audio parts from
// whole creation messages.
class IPlayerStream {
 public:
  // 0 when the decoder for the message's kind now exists.
  virtual int CreateDecoder(const uint8_t* message, uint32_t length) = 0;

 protected:
  ~IPlayerStream() = default;
};

class StreamKindFactory {
 public:
  virtual ~StreamKindFactory() = default;
  // A new stream of that kind, or null when this build has none. A player
  // stream also implements IPlayerStream.
  virtual std::unique_ptr<CStream> Make(StreamKind kind, const StreamKindArgs& args) = 0;
};

// A kind that no subsystem has registered: every Make answers null.
class CNoStreamKinds : public StreamKindFactory {
 public:
  std::unique_ptr<CStream> Make(StreamKind, const StreamKindArgs&) override { return nullptr; }
};

// Each stream subsystem registers the kinds it builds; the slot processors
// make their streams through the registered makers.
typedef std::unique_ptr<CStream> (*StreamKindMaker)(const StreamKindArgs& args);

// Registers the maker of a kind; null removes it. Answers the maker it
// replaced. Safe on any thread.
StreamKindMaker RegisterStreamKindMaker(StreamKind kind, StreamKindMaker maker);

// The kinds registered at the time of each Make.
class CRegisteredStreamKinds : public StreamKindFactory {
 public:
  std::unique_ptr<CStream> Make(StreamKind kind, const StreamKindArgs& args) override;
};
