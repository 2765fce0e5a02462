#include "testhost/TsmfMessages.h"

#include <cctype>

#include "testhost/Wire.h"

namespace testhost {
namespace tsmf {

using wire::Append;
using wire::Read;

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

void AppendGuid(Bytes& out, const Guid& guid) { out.insert(out.end(), guid.begin(), guid.end()); }

Bytes Header(uint32_t interfaceId, uint32_t id, uint32_t function) {
  Bytes out;
  Append(out, interfaceId, 4);
  Append(out, id, 4);
  Append(out, function, 4);
  return out;
}

Bytes Request(uint32_t function, uint32_t id, const Guid& presentation) {
  Bytes out = Header(kServerData, id, function);
  AppendGuid(out, presentation);
  return out;
}

void AppendMediaType(Bytes& out, const Bytes& mediaType) {
  Append(out, mediaType.size(), 4);
  out.insert(out.end(), mediaType.begin(), mediaType.end());
}

constexpr uint32_t kFourccH264 = 0x34363248;  // "H264"
constexpr uint16_t kWaveFormatHeAac = 0x1610;
constexpr uint16_t kAacProfileUnspecified = 0xFE;

}  // namespace

bool ParseGuid(const std::string& text, Guid* out) {
  std::string t = text;
  if (t.size() == 38 && t.front() == '{' && t.back() == '}') t = t.substr(1, 36);
  if (t.size() != 36 || t[8] != '-' || t[13] != '-' || t[18] != '-' || t[23] != '-') return false;
  uint8_t bytes[16];
  int n = 0;
  for (size_t i = 0; i < t.size(); ++i) {
    if (t[i] == '-') continue;
    const int high = HexDigit(t[i]);
    const int low = i + 1 < t.size() ? HexDigit(t[i + 1]) : -1;
    if (high < 0 || low < 0 || n == 16) return false;
    bytes[n++] = static_cast<uint8_t>(high << 4 | low);
    ++i;
  }
  if (n != 16) return false;
  // Data1, Data2 and Data3 are little-endian on the wire.
  const int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  for (int i = 0; i < 16; ++i) (*out)[i] = bytes[order[i]];
  return true;
}

Guid GuidOf(const char* text) {
  Guid g{};
  ParseGuid(text, &g);
  return g;
}

const Guid kMediaTypeVideo = GuidOf("73646976-0000-0010-8000-00AA00389B71");
const Guid kMediaTypeAudio = GuidOf("73647561-0000-0010-8000-00AA00389B71");
const Guid kSubtypeH264 = GuidOf("34363248-0000-0010-8000-00AA00389B71");
const Guid kSubtypeAac = GuidOf("00001610-0000-0010-8000-00AA00389B71");
const Guid kFormatMpeg2Video = GuidOf("E06D80E3-DB46-11CF-B4D1-00805F6CBBEA");
const Guid kFormatWaveFormatEx = GuidOf("05589F81-C356-11CE-BF01-00AA0055595A");

Bytes MediaTypeBytes(const MediaType& type) {
  Bytes out;
  AppendGuid(out, type.major);
  AppendGuid(out, type.subtype);
  Append(out, type.fixedSizeSamples, 4);
  Append(out, type.temporalCompression, 4);
  Append(out, type.sampleSize, 4);
  AppendGuid(out, type.formatType);
  Append(out, type.format.size(), 4);
  out.insert(out.end(), type.format.begin(), type.format.end());
  return out;
}

Bytes Mpeg2VideoInfo(int width, int height, int64_t frameDuration, const Bytes& sequenceHeader) {
  Bytes out;
  // VIDEOINFOHEADER2: rcSource, rcTarget (the whole picture).
  for (int i = 0; i < 2; ++i) {
    Append(out, 0, 4);
    Append(out, 0, 4);
    Append(out, uint32_t(width), 4);
    Append(out, uint32_t(height), 4);
  }
  Append(out, 0, 4);  // dwBitRate
  Append(out, 0, 4);  // dwBitErrorRate
  Append(out, uint64_t(frameDuration), 8);
  Append(out, 0, 4);                 // dwInterlaceFlags
  Append(out, 0, 4);                 // dwCopyProtectFlags
  Append(out, uint32_t(width), 4);   // dwPictAspectRatioX
  Append(out, uint32_t(height), 4);  // dwPictAspectRatioY
  Append(out, 0, 4);                 // dwControlFlags
  Append(out, 0, 4);                 // dwReserved2
  // BITMAPINFOHEADER.
  Append(out, 40, 4);
  Append(out, uint32_t(width), 4);
  Append(out, uint32_t(height), 4);
  Append(out, 1, 2);   // biPlanes
  Append(out, 24, 2);  // biBitCount
  Append(out, kFourccH264, 4);
  Append(out, uint32_t(width) * uint32_t(height) * 3, 4);
  for (int i = 0; i < 4; ++i) Append(out, 0, 4);
  // MPEG2VIDEOINFO's own fields, then the sequence header in place of
  // dwSequenceHeader[].
  Append(out, 0, 4);  // dwStartTimeCode
  Append(out, sequenceHeader.size(), 4);
  Append(out, 0, 4);  // dwProfile
  Append(out, 0, 4);  // dwLevel
  Append(out, 0, 4);  // dwFlags: start codes, no length prefixes
  out.insert(out.end(), sequenceHeader.begin(), sequenceHeader.end());
  return out;
}

Bytes HeAacWaveFormat(int channels, int sampleRate, int bitRate, const Bytes& audioSpecificConfig) {
  Bytes out;
  Append(out, kWaveFormatHeAac, 2);
  Append(out, uint32_t(channels), 2);
  Append(out, uint32_t(sampleRate), 4);
  Append(out, uint32_t(bitRate / 8), 4);
  Append(out, 1, 2);                                // nBlockAlign
  Append(out, 16, 2);                               // wBitsPerSample
  Append(out, 12 + audioSpecificConfig.size(), 2);  // cbSize
  Append(out, 0, 2);                                // wPayloadType: raw AAC
  Append(out, kAacProfileUnspecified, 2);
  Append(out, 0, 2);  // wStructType
  Append(out, 0, 2);  // wReserved1
  Append(out, 0, 4);  // dwReserved2
  out.insert(out.end(), audioSpecificConfig.begin(), audioSpecificConfig.end());
  return out;
}

MediaType H264MediaType(int width, int height, int64_t frameDuration, const Bytes& sequenceHeader) {
  MediaType t;
  t.major = kMediaTypeVideo;
  t.subtype = kSubtypeH264;
  t.temporalCompression = 1;
  t.formatType = kFormatMpeg2Video;
  t.format = Mpeg2VideoInfo(width, height, frameDuration, sequenceHeader);
  return t;
}

MediaType AacMediaType(int channels, int sampleRate, int bitRate, const Bytes& audioSpecificConfig) {
  MediaType t;
  t.major = kMediaTypeAudio;
  t.subtype = kSubtypeAac;
  t.fixedSizeSamples = 1;
  t.sampleSize = 1;
  t.formatType = kFormatWaveFormatEx;
  t.format = HeAacWaveFormat(channels, sampleRate, bitRate, audioSpecificConfig);
  return t;
}

Bytes RimExchangeCapabilityRequest(uint32_t id, uint32_t capabilityValue) {
  Bytes out = Header(kCapabilities, id, kRimExchangeCapabilityRequest);
  Append(out, capabilityValue, 4);
  return out;
}

Bytes SetChannelParams(uint32_t id, const Guid& presentation, uint32_t streamId) {
  Bytes out = Request(kSetChannelParams, id, presentation);
  Append(out, streamId, 4);
  return out;
}

Bytes ExchangeCapabilitiesReq(uint32_t id, const std::vector<Capability>& capabilities) {
  Bytes out = Header(kServerData, id, kExchangeCapabilitiesReq);
  Append(out, capabilities.size(), 4);
  for (const Capability& c : capabilities) {
    Append(out, c.type, 4);
    Append(out, 4, 4);
    Append(out, c.value, 4);
  }
  return out;
}

Bytes OnNewPresentation(uint32_t id, const Guid& presentation, uint32_t platformCookie) {
  Bytes out = Request(kOnNewPresentation, id, presentation);
  Append(out, platformCookie, 4);
  return out;
}

Bytes CheckFormatSupportReq(uint32_t id, const Bytes& mediaType, uint32_t platformCookie, uint32_t noRolloverFlags) {
  Bytes out = Header(kServerData, id, kCheckFormatSupportReq);
  Append(out, platformCookie, 4);
  Append(out, noRolloverFlags, 4);
  AppendMediaType(out, mediaType);
  return out;
}

Bytes AddStream(uint32_t id, const Guid& presentation, uint32_t streamId, const Bytes& mediaType) {
  Bytes out = Request(kAddStream, id, presentation);
  Append(out, streamId, 4);
  AppendMediaType(out, mediaType);
  return out;
}

Bytes SetTopologyReq(uint32_t id, const Guid& presentation) { return Request(kSetTopologyReq, id, presentation); }

Bytes UpdateGeometryInfo(uint32_t id, const Guid& presentation, const Geometry& g) {
  Bytes out = Request(kUpdateGeometryInfo, id, presentation);
  Append(out, g.padded ? 48 : 44, 4);
  Append(out, g.windowId, 8);
  Append(out, g.state, 4);
  Append(out, g.width, 4);
  Append(out, g.height, 4);
  Append(out, uint32_t(g.left), 4);
  Append(out, uint32_t(g.top), 4);
  Append(out, 0, 8);                 // Reserved
  Append(out, uint32_t(g.left), 4);  // client_left
  Append(out, uint32_t(g.top), 4);   // client_top
  if (g.padded) Append(out, 0, 4);
  Append(out, g.visible.size() * 16, 4);
  for (const Rect& r : g.visible) {
    // TS_RECT: Top, Left, Bottom, Right.
    Append(out, uint32_t(r.top), 4);
    Append(out, uint32_t(r.left), 4);
    Append(out, uint32_t(r.bottom), 4);
    Append(out, uint32_t(r.right), 4);
  }
  return out;
}

Bytes OnPlaybackStarted(uint32_t id, const Guid& presentation, uint64_t offset, bool seek) {
  Bytes out = Request(kOnPlaybackStarted, id, presentation);
  Append(out, offset, 8);
  Append(out, seek ? 1 : 0, 4);
  return out;
}

Bytes PresentationCommand(uint32_t function, uint32_t id, const Guid& presentation) {
  return Request(function, id, presentation);
}

Bytes OnSample(uint32_t id, const Guid& presentation, uint32_t streamId, const DataSample& s) {
  Bytes out = Request(kOnSample, id, presentation);
  Append(out, streamId, 4);
  Append(out, 36 + s.data.size(), 4);  // numSample
  Append(out, uint64_t(s.start), 8);
  Append(out, uint64_t(s.end), 8);
  Append(out, s.throttle, 8);
  Append(out, 0, 4);  // SampleFlags
  Append(out, s.extensions, 4);
  Append(out, s.data.size(), 4);
  out.insert(out.end(), s.data.begin(), s.data.end());
  return out;
}

Bytes StreamCommand(uint32_t function, uint32_t id, const Guid& presentation, uint32_t streamId) {
  Bytes out = Request(function, id, presentation);
  Append(out, streamId, 4);
  return out;
}

ClientPdu ReadClientPdu(const Bytes& m) {
  ClientPdu c;
  if (m.size() < 8) return c;
  const uint32_t interfaceId = uint32_t(Read(m, 0, 4));
  c.messageId = uint32_t(Read(m, 4, 4));
  if (interfaceId == kClientNotifications) {
    if (m.size() < 12) return c;
    const uint32_t function = uint32_t(Read(m, 8, 4));
    c.streamId = uint32_t(Read(m, 12, 4));
    if (function == kPlaybackAck && m.size() == 32) {
      c.duration = Read(m, 16, 8);
      c.size = Read(m, 24, 8);
      c.kind = ClientPdu::kAck;
    } else if (function == kClientEventNotification && m.size() >= 24 && m.size() - 24 == Read(m, 20, 4)) {
      c.event = uint32_t(Read(m, 16, 4));
      c.eventData.assign(m.begin() + 24, m.end());
      c.kind = ClientPdu::kEvent;
    }
    return c;
  }
  if (interfaceId == kAnswer || interfaceId == kCapabilities) {
    c.kind = interfaceId == kAnswer ? ClientPdu::kAnswer : ClientPdu::kRimAnswer;
    c.body.assign(m.begin() + 8, m.end());
  }
  return c;
}

bool ReadCapabilitiesAnswer(const Bytes& body, CapabilitiesAnswer* out) {
  if (body.size() < 8) return false;
  const uint64_t n = Read(body, 0, 4);
  if (body.size() != 8 + 12 * n) return false;
  out->capabilities.clear();
  for (uint64_t i = 0; i < n; ++i) {
    const size_t at = size_t(4 + 12 * i);
    if (Read(body, at + 4, 4) != 4) return false;
    out->capabilities.emplace_back(uint32_t(Read(body, at, 4)), uint32_t(Read(body, at + 8, 4)));
  }
  out->result = uint32_t(Read(body, body.size() - 4, 4));
  return true;
}

bool ReadFormatSupportAnswer(const Bytes& body, uint32_t* supported, uint32_t* platformCookie, uint32_t* result) {
  if (body.size() != 12) return false;
  *supported = uint32_t(Read(body, 0, 4));
  *platformCookie = uint32_t(Read(body, 4, 4));
  *result = uint32_t(Read(body, 8, 4));
  return true;
}

bool ReadTopologyAnswer(const Bytes& body, uint32_t* ready, uint32_t* result) {
  if (body.size() != 8) return false;
  *ready = uint32_t(Read(body, 0, 4));
  *result = uint32_t(Read(body, 4, 4));
  return true;
}

bool ReadResultAnswer(const Bytes& body, uint32_t* result) {
  if (body.size() != 4) return false;
  *result = uint32_t(Read(body, 0, 4));
  return true;
}

Bytes PlaybackAck(uint32_t streamId, uint64_t duration, uint64_t size) {
  Bytes out = Header(kClientNotifications, 0, kPlaybackAck);
  Append(out, streamId, 4);
  Append(out, duration, 8);
  Append(out, size, 8);
  return out;
}

Bytes ClientEvent(uint32_t streamId, uint32_t event) {
  Bytes out = Header(kClientNotifications, 0, kClientEventNotification);
  Append(out, streamId, 4);
  Append(out, event, 4);
  Append(out, 0, 4);
  return out;
}

Bytes Answer(uint32_t messageId, const Bytes& body, uint32_t interfaceId) {
  Bytes out;
  Append(out, interfaceId, 4);
  Append(out, messageId, 4);
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

}  // namespace tsmf
}  // namespace testhost
