#include "testhost/ClipboardChannel.h"

#include <algorithm>

#include "pelplat/memapi.h"
#include "testhost/Wire.h"

namespace testhost {

using wire::Append;
using wire::Read;

namespace channels {

Bytes Message(uint16_t code, uint16_t index, const Bytes& payload) {
  Bytes m;
  Append(m, code, 2);
  Append(m, index, 2);
  Append(m, payload.size(), 4);
  m.insert(m.end(), payload.begin(), payload.end());
  return m;
}

Bytes Capabilities(uint32_t echo, uint32_t serverGroups, uint16_t magic) {
  Bytes p;
  Append(p, magic, 2);
  Append(p, 0, 2);
  Append(p, echo, 4);
  Append(p, serverGroups, 4);
  return Message(kCapabilities, 0, p);
}

Bytes Open(uint16_t index, uint32_t serverChannelId, const std::u16string& name) {
  Bytes p;
  Append(p, 0, 4);
  Append(p, serverChannelId, 4);
  for (char16_t c : name) Append(p, c, 2);
  Append(p, 0, 2);
  return Message(kOpen, index, p);
}

Bytes Close(uint16_t index, uint32_t serverChannelId) {
  Bytes p;
  Append(p, serverChannelId, 4);
  return Message(kClose, index, p);
}

Bytes Data(uint16_t index, const Bytes& pdu) { return Message(kData, index, pdu); }

SlotMessage ReadMessage(const Bytes& bytes) {
  SlotMessage m;
  if (bytes.size() < 8) return m;
  m.code = static_cast<uint16_t>(Read(bytes, 0, 2));
  m.index = static_cast<uint16_t>(Read(bytes, 2, 2));
  const uint64_t length = Read(bytes, 4, 4);
  m.ok = length == bytes.size() - 8;
  m.payload.assign(bytes.begin() + 8, bytes.end());
  return m;
}

CapabilityReply ReadCapabilityReply(const Bytes& bytes) {
  CapabilityReply r;
  const SlotMessage m = ReadMessage(bytes);
  r.ok = m.ok && m.code == kCapabilities && m.index == 0x8000 && m.payload.size() == 16 &&
         Read(m.payload, 0, 2) == 0xCA01 && Read(m.payload, 2, 2) == 0x8000 && Read(m.payload, 12, 4) == 0;
  r.echo = static_cast<uint32_t>(Read(m.payload, 4, 4));
  r.enabledGroups = static_cast<uint32_t>(Read(m.payload, 8, 4));
  return r;
}

namespace {
// A stated total is trusted this far ahead of the chunks that carry it.
constexpr uint32_t kReserveLimit = 64u << 20;
}  // namespace

bool PduAssembler::Add(uint16_t index, const Bytes& payload) {
  if (payload.size() < 8) return false;
  const uint32_t total = static_cast<uint32_t>(Read(payload, 0, 4));
  const uint32_t flags = static_cast<uint32_t>(Read(payload, 4, 4));
  flags_.push_back(flags);
  Partial& p = partial_[index];
  const bool first = flags & 0x01;
  if (first != p.bytes.empty() || !(flags & 0x10)) return false;
  if (first) {
    p.total = total;
    p.bytes.reserve(std::min<uint32_t>(total, kReserveLimit));
    AdviseHugePages(p.bytes.data(), p.bytes.capacity());
  }
  if (total != p.total) return false;
  p.bytes.insert(p.bytes.end(), payload.begin() + 8, payload.end());
  if (p.bytes.size() > p.total) return false;
  const bool last = flags & 0x02;
  if (last != (p.bytes.size() == p.total)) return false;
  if (last) {
    done_[index].push_back(std::move(p.bytes));
    partial_.erase(index);
  }
  return true;
}

std::vector<Bytes> PduAssembler::Take(uint16_t index) {
  std::vector<Bytes> out;
  out.swap(done_[index]);
  return out;
}

}  // namespace channels

namespace cliprdr {

Bytes Pdu(uint16_t type, uint16_t flags, const Bytes& data) {
  Bytes p;
  Append(p, type, 2);
  Append(p, flags, 2);
  Append(p, data.size(), 4);
  p.insert(p.end(), data.begin(), data.end());
  return p;
}

Bytes MonitorReady() { return Pdu(kMonitorReady, 0, {}); }

Bytes ServerCapabilities(uint32_t generalFlags) {
  Bytes d;
  Append(d, 1, 2);   // one set
  Append(d, 0, 2);   // pad
  Append(d, 1, 2);   // CB_CAPSTYPE_GENERAL
  Append(d, 12, 2);  // its length
  Append(d, 2, 4);   // CB_CAPS_VERSION_2
  Append(d, generalFlags, 4);
  return Pdu(kClipCaps, 0, d);
}

Bytes FormatList(const std::vector<Format>& formats, uint16_t flags) {
  Bytes d;
  for (const Format& f : formats) {
    Append(d, f.id, 4);
    for (char16_t c : f.name) Append(d, c, 2);
    Append(d, 0, 2);
  }
  return Pdu(kFormatList, flags, d);
}

Bytes FormatListResponse(bool ok) { return Pdu(kFormatListResponse, ok ? kResponseOk : kResponseFail, {}); }

Bytes FormatDataRequest(uint32_t formatId) {
  Bytes d;
  Append(d, formatId, 4);
  return Pdu(kFormatDataRequest, 0, d);
}

Bytes FormatDataResponse(bool ok, const Bytes& data) {
  return Pdu(kFormatDataResponse, ok ? kResponseOk : kResponseFail, data);
}

Bytes FileContentsRequest(uint32_t streamId, int32_t fileIndex) {
  Bytes d;
  Append(d, streamId, 4);
  Append(d, static_cast<uint32_t>(fileIndex), 4);
  Append(d, 1, 4);  // FILECONTENTS_SIZE
  Append(d, 0, 4);
  Append(d, 0, 4);
  Append(d, 8, 4);
  return Pdu(kFileContentsRequest, 0, d);
}

ParsedPdu ReadPdu(const Bytes& bytes) {
  ParsedPdu p;
  if (bytes.size() < 8) return p;
  p.type = static_cast<uint16_t>(Read(bytes, 0, 2));
  p.flags = static_cast<uint16_t>(Read(bytes, 2, 2));
  p.ok = Read(bytes, 4, 4) == bytes.size() - 8;
  p.data.assign(bytes.begin() + 8, bytes.end());
  return p;
}

bool ReadFormatList(const Bytes& data, std::vector<Format>* formats) {
  formats->clear();
  size_t at = 0;
  while (at < data.size()) {
    if (data.size() - at < 6) return false;
    Format f;
    f.id = static_cast<uint32_t>(Read(data, at, 4));
    at += 4;
    for (;;) {
      if (data.size() - at < 2) return false;
      const char16_t c = static_cast<char16_t>(Read(data, at, 2));
      at += 2;
      if (!c) break;
      f.name.push_back(c);
    }
    formats->push_back(std::move(f));
  }
  return true;
}

uint32_t ReadGeneralFlags(const Bytes& data) {
  const size_t count = static_cast<size_t>(Read(data, 0, 2));
  size_t at = 4;
  for (size_t i = 0; i < count && at + 4 <= data.size(); ++i) {
    const uint64_t type = Read(data, at, 2);
    const uint64_t length = Read(data, at + 2, 2);
    if (length < 4) return 0;
    if (type == 1 && length >= 12) return static_cast<uint32_t>(Read(data, at + 8, 4));
    at += length;
  }
  return 0;
}

}  // namespace cliprdr
}  // namespace testhost
