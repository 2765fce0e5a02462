// The virtual-channel tests' session: the channels' session over the one
// fake slot port, which keeps every slot message the channels send and lets
// a test wait for a count of them; and the builders
// of the server's slot messages.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "support/FakeSlotPort.h"
#include "virtchan/VirtChanSession.h"
#include "virtchan/VirtChanWire.h"

namespace virtchantest {

using Bytes = std::vector<uint8_t>;

// The channels' session over the tests' slot port.
class RecordingSession : public ChannelSlotSession {
 public:
  RecordingSession() { Bind(&port_); }
  ~RecordingSession() override { Cut(); }

  // True when at least n messages came within the bound.
  bool WaitFor(size_t n, std::chrono::seconds bound = std::chrono::seconds(60)) {
    return port_.WaitUntil([n](const std::vector<Bytes>& sent) { return sent.size() >= n; }, bound);
  }
  std::vector<Bytes> Sent() { return port_.Sent(); }
  void Clear() { port_.Clear(); }

 private:
  testsupport::FakeSlotPort port_;

 public:
  const CClientConnectionParameter*& parameters = port_.parameters;
};

inline void PutU16(Bytes& b, uint16_t v) {
  b.push_back(uint8_t(v));
  b.push_back(uint8_t(v >> 8));
}
inline void PutU32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}
inline uint16_t U16At(const Bytes& b, size_t at) { return uint16_t(b.at(at) | b.at(at + 1) << 8); }
inline uint32_t U32At(const Bytes& b, size_t at) { return U16At(b, at) | uint32_t(U16At(b, at + 2)) << 16; }

// A slot message: header {code, index, payload size} and the payload.
inline Bytes Message(uint16_t code, uint16_t index, const Bytes& payload) {
  Bytes m;
  PutU16(m, code);
  PutU16(m, index);
  PutU32(m, uint32_t(payload.size()));
  m.insert(m.end(), payload.begin(), payload.end());
  return m;
}

// "OC": u32 0, server channel id, the name units as given (no terminator
// added: the caller writes what it wants on the wire).
inline Bytes Open(uint16_t index, uint32_t id, const std::u16string& nameUnits) {
  Bytes p;
  PutU32(p, 0);
  PutU32(p, id);
  for (char16_t c : nameUnits) PutU16(p, c);
  return Message(virtchan::kChannelOpen, index, p);
}
inline Bytes OpenNamed(uint16_t index, uint32_t id, const std::u16string& name) {
  return Open(index, id, name + std::u16string(1, u'\0'));
}
inline Bytes Close(uint16_t index, uint32_t id) {
  Bytes p;
  PutU32(p, id);
  return Message(virtchan::kChannelClose, index, p);
}
inline Bytes Capabilities(uint16_t magic, uint32_t echo, uint32_t serverMask) {
  Bytes p;
  PutU16(p, magic);
  PutU16(p, 0);
  PutU32(p, echo);
  PutU32(p, serverMask);
  return Message(virtchan::kCapabilities, 0, p);
}

}  // namespace virtchantest
