#include "audio/AudioMessages.h"

#include <cstring>

#include "sys/ByteReader.h"
#include "sys/ByteWriter.h"

namespace audiomsg {

namespace {

constexpr uint8_t kTag[4] = {'C', 'M', 'T', ' '};

void TaggedHeader(ByteWriter& w, uint16_t rest, uint8_t command) {
  w.U16(rest);
  w.U8(command);
  w.U8(kServerKind);
  w.Bytes(kTag, 4);
}

}  // namespace

bool HasTag(const uint8_t* payload, uint32_t size) {
  return payload && size >= kHeaderBytes && memcmp(payload + 4, kTag, 4) == 0;
}

bool Parse(const uint8_t* payload, uint32_t size, Message* out) {
  if (!HasTag(payload, size)) return false;
  ByteReader r(payload, size);
  const uint16_t rest = r.U16();
  out->command = r.U8();
  out->kind = r.U8();
  r.Skip(4);
  out->length = rest >= 6 ? rest - 6u : 0u;
  out->data = r.Take(out->length);
  return r.Ok();
}

std::array<uint8_t, 9> NoDevice() {
  std::array<uint8_t, 9> m{};
  ByteWriter w(m.data(), m.size());
  TaggedHeader(w, 6, kNoDevice);
  w.U8(0);
  return m;
}

std::array<uint8_t, 12> QueueReport(uint32_t bytesInFlight) {
  std::array<uint8_t, 12> m{};
  ByteWriter w(m.data(), m.size());
  w.U16(10);
  w.U8(0);
  w.U8(kQueueReportKind);
  w.U32(bytesInFlight >> 10);
  w.U32(0);
  return m;
}

std::array<uint8_t, 24> PositionReport(uint64_t writePosition, uint64_t playPosition) {
  std::array<uint8_t, 24> m{};  // the four alignment bytes go out as zeros
  ByteWriter w(m.data(), m.size());
  w.U16(22);
  w.U8(0);
  w.U8(kPositionReportKind);
  w.Zeros(4);
  w.U64(writePosition);
  w.U64(playPosition);
  return m;
}

std::array<uint8_t, 48> MicAnnouncement(uint32_t announcedValue, uint32_t bufferSize) {
  std::array<uint8_t, 48> m{};
  ByteWriter w(m.data(), m.size());
  TaggedHeader(w, 46, kMicAnnounce);
  w.U32(1);
  w.U32(announcedValue);
  w.U32(0);
  w.U32(0);
  w.U32(1);
  w.U32(bufferSize);
  w.Zeros(16);
  return m;
}

std::vector<uint8_t> MicData(const uint8_t* pcm, uint32_t n) {
  if (uint64_t(n) + 6 > 0xFFFF) return {};
  std::vector<uint8_t> m(kHeaderBytes + n);
  ByteWriter w(m.data(), m.size());
  TaggedHeader(w, static_cast<uint16_t>(n + 6), kData);
  w.Bytes(pcm, n);
  return m;
}

}  // namespace audiomsg
