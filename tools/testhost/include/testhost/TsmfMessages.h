// The messages of the multimedia redirection channel "TSMF" (MS-RDPEV) as a
// server writes them, and readers for what the client answers. Every
// message starts with the shared header {InterfaceId, MessageId,
// FunctionId}; answers carry no FunctionId. Written byte by byte here,
// apart from the client's own code.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace testhost {
namespace tsmf {

using Bytes = std::vector<uint8_t>;
using Guid = std::array<uint8_t, 16>;

// InterfaceId values (interface value and mask).
constexpr uint32_t kServerData = 0x40000000;    // requests on the main interface
constexpr uint32_t kCapabilities = 0x00000002;  // interface manipulation
constexpr uint32_t kClientNotifications = 0x40000001;
constexpr uint32_t kAnswer = 0x80000000;

// FunctionIds of the main interface.
enum Function : uint32_t {
  kExchangeCapabilitiesReq = 0x100,
  kSetChannelParams = 0x101,
  kAddStream = 0x102,
  kOnSample = 0x103,
  kSetVideoWindow = 0x104,
  kOnNewPresentation = 0x105,
  kShutdownPresentationReq = 0x106,
  kSetTopologyReq = 0x107,
  kCheckFormatSupportReq = 0x108,
  kOnPlaybackStarted = 0x109,
  kOnPlaybackPaused = 0x10A,
  kOnPlaybackStopped = 0x10B,
  kOnPlaybackRestarted = 0x10C,
  kOnPlaybackRateChanged = 0x10D,
  kOnFlush = 0x10E,
  kOnStreamVolume = 0x10F,
  kOnChannelVolume = 0x110,
  kOnEndOfStream = 0x111,
  kSetAllocator = 0x112,
  kNotifyPreroll = 0x113,
  kUpdateGeometryInfo = 0x114,
  kRemoveStream = 0x115,
  kSetSourceVideoRect = 0x116,
};
constexpr uint32_t kRimExchangeCapabilityRequest = 0x100;
// FunctionIds of the client's notifications.
constexpr uint32_t kPlaybackAck = 0x100;
constexpr uint32_t kClientEventNotification = 0x101;
// Client events.
constexpr uint32_t kEventEndOfStream = 100;
constexpr uint32_t kEventStopCompleted = 200;
constexpr uint32_t kEventStartCompleted = 201;

constexpr uint32_t kPlatformCookieMf = 1;
constexpr uint32_t kCapabilityVersion = 1;
constexpr uint32_t kCapabilityPlatform = 2;
// TS_MM_DATA_SAMPLE extension flags.
constexpr uint32_t kSampleCleanPoint = 0x1;
// VideoWindowState bits of GEOMETRY_INFO.
constexpr uint32_t kWindowNew = 0x1;
constexpr uint32_t kWindowDeleted = 0x2;
constexpr uint32_t kWindowVisibleRegion = 0x1000;

// "{73646976-0000-0010-8000-00AA00389B71}" in wire order (Data1..3
// little-endian, Data4 as written). False for a malformed text.
bool ParseGuid(const std::string& text, Guid* out);
Guid GuidOf(const char* text);  // for constants that are known to be good

extern const Guid kMediaTypeVideo;
extern const Guid kMediaTypeAudio;
extern const Guid kSubtypeH264;
extern const Guid kSubtypeAac;  // MEDIASUBTYPE_MPEG_HEAAC, format tag 0x1610
extern const Guid kFormatMpeg2Video;
extern const Guid kFormatWaveFormatEx;

struct Capability {
  uint32_t type = 0;
  uint32_t value = 0;  // sent with a length of 4
};

struct Rect {
  int32_t left = 0, top = 0, right = 0, bottom = 0;
};

// GEOMETRY_INFO: the video window in the session window's client area.
struct Geometry {
  uint64_t windowId = 0;
  uint32_t state = kWindowNew | kWindowVisibleRegion;
  int32_t left = 0, top = 0;
  uint32_t width = 0, height = 0;
  // Visible parts, relative to the window's top-left corner.
  std::vector<Rect> visible;
  bool padded = false;  // a 48-byte record instead of 44
};

struct DataSample {
  int64_t start = 0;  // 100-ns units
  int64_t end = 0;
  uint64_t throttle = 0;  // the sample's duration, 100-ns units
  uint32_t extensions = 0;
  Bytes data;
};

// TS_AM_MEDIA_TYPE.
struct MediaType {
  Guid major{}, subtype{}, formatType{};
  uint32_t fixedSizeSamples = 0, temporalCompression = 0, sampleSize = 0;
  Bytes format;
};
Bytes MediaTypeBytes(const MediaType& type);

// The format blocks of the two media types the host sends. Video:
// MPEG2VIDEOINFO (VIDEOINFOHEADER2 with BITMAPINFOHEADER, then the
// sequence header: SPS and PPS behind start codes). Audio: WAVEFORMATEX
// with format tag 0x1610, the HEAACWAVEINFO fields (raw payload) and the
// AudioSpecificConfig.
Bytes Mpeg2VideoInfo(int width, int height, int64_t frameDuration, const Bytes& sequenceHeader);
Bytes HeAacWaveFormat(int channels, int sampleRate, int bitRate, const Bytes& audioSpecificConfig);
MediaType H264MediaType(int width, int height, int64_t frameDuration, const Bytes& sequenceHeader);
MediaType AacMediaType(int channels, int sampleRate, int bitRate, const Bytes& audioSpecificConfig);

// Requests. `id` is the MessageId.
Bytes RimExchangeCapabilityRequest(uint32_t id, uint32_t capabilityValue = 1);
Bytes SetChannelParams(uint32_t id, const Guid& presentation, uint32_t streamId);
Bytes ExchangeCapabilitiesReq(uint32_t id, const std::vector<Capability>& capabilities);
Bytes OnNewPresentation(uint32_t id, const Guid& presentation, uint32_t platformCookie = kPlatformCookieMf);
Bytes CheckFormatSupportReq(uint32_t id, const Bytes& mediaType, uint32_t platformCookie = kPlatformCookieMf,
                            uint32_t noRolloverFlags = 0);
Bytes AddStream(uint32_t id, const Guid& presentation, uint32_t streamId, const Bytes& mediaType);
Bytes SetTopologyReq(uint32_t id, const Guid& presentation);
Bytes UpdateGeometryInfo(uint32_t id, const Guid& presentation, const Geometry& geometry);
Bytes OnPlaybackStarted(uint32_t id, const Guid& presentation, uint64_t offset, bool seek);
// ON_PLAYBACK_PAUSED, _RESTARTED, _STOPPED, SHUTDOWN_PRESENTATION_REQ: the
// presentation only.
Bytes PresentationCommand(uint32_t function, uint32_t id, const Guid& presentation);
Bytes OnSample(uint32_t id, const Guid& presentation, uint32_t streamId, const DataSample& sample);
// ON_END_OF_STREAM, ON_FLUSH: the presentation and the stream.
Bytes StreamCommand(uint32_t function, uint32_t id, const Guid& presentation, uint32_t streamId);

// One message from the client, reassembled from its chunks.
struct ClientPdu {
  enum Kind { kBad, kAnswer, kRimAnswer, kAck, kEvent } kind = kBad;
  uint32_t messageId = 0;
  // Answers: the bytes behind the 8-byte header.
  Bytes body;
  // PLAYBACK_ACK and CLIENT_EVENT_NOTIFICATION.
  uint32_t streamId = 0;
  uint64_t duration = 0;  // ack: DataDuration
  uint64_t size = 0;      // ack: cbData
  uint32_t event = 0;     // notification: EventId
  Bytes eventData;
};
// Reads one whole client message; kBad when its header or the lengths its
// kind fixes do not hold.
ClientPdu ReadClientPdu(const Bytes& message);

// The client's answers, read from their bodies; false when a body is not
// of the answer's size.
struct CapabilitiesAnswer {
  std::vector<std::pair<uint32_t, uint32_t>> capabilities;  // type, value
  uint32_t result = 0;
};
bool ReadCapabilitiesAnswer(const Bytes& body, CapabilitiesAnswer* out);
bool ReadFormatSupportAnswer(const Bytes& body, uint32_t* supported, uint32_t* platformCookie, uint32_t* result);
bool ReadTopologyAnswer(const Bytes& body, uint32_t* ready, uint32_t* result);
bool ReadResultAnswer(const Bytes& body, uint32_t* result);

// The client side's own messages, for scripted clients in tests.
Bytes PlaybackAck(uint32_t streamId, uint64_t duration, uint64_t size);
Bytes ClientEvent(uint32_t streamId, uint32_t event);
Bytes Answer(uint32_t messageId, const Bytes& body, uint32_t interfaceId = kAnswer);

}  // namespace tsmf
}  // namespace testhost
