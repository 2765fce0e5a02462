#include "testhost/Tunnel.h"

#include "testhost/Wire.h"

namespace testhost {

std::vector<uint8_t> TunnelCall::EncodeFrame() const {
  return EncodeFrame(static_cast<uint32_t>(payload.size()));
}

std::vector<uint8_t> TunnelCall::EncodeFrame(uint32_t lengthWord) const {
  std::vector<uint8_t> out;
  wire::Append(out, kMagic, 4);
  // Names longer than 15 bytes are cut so that the terminator stays.
  wire::AppendText(out, object.substr(0, kNameField - 1), kNameField);
  wire::AppendText(out, method.substr(0, kNameField - 1), kNameField);
  wire::Append(out, kind, 4);
  wire::Append(out, 0, 4);
  wire::Append(out, sequence, 8);
  wire::Append(out, lengthWord, 4);
  wire::AppendBytes(out, payload.data(), payload.size());
  return out;
}

std::vector<uint8_t> TunnelCall::EncodeMessage() const {
  std::vector<uint8_t> out;
  wire::Append(out, kControlCode, 4);
  const std::vector<uint8_t> frame = EncodeFrame();
  wire::AppendBytes(out, frame.data(), frame.size());
  return out;
}

bool TunnelCall::Decode(const std::vector<uint8_t>& message, TunnelCall* out) {
  constexpr size_t kFrame = 4;
  if (message.size() < kFrame + kHeaderSize) return false;
  if (wire::Read(message, 0, 4) != kControlCode || wire::Read(message, kFrame, 4) != kMagic) return false;
  const uint64_t length = wire::Read(message, kFrame + 52, 4);
  if (length != message.size() - kFrame - kHeaderSize) return false;
  if (message[kFrame + 4 + kNameField - 1] != 0 || message[kFrame + 4 + 2 * kNameField - 1] != 0) return false;
  out->object = wire::ReadText(message, kFrame + 4, kNameField);
  out->method = wire::ReadText(message, kFrame + 4 + kNameField, kNameField);
  out->kind = static_cast<uint32_t>(wire::Read(message, kFrame + 36, 4));
  out->sequence = wire::Read(message, kFrame + 44, 8);
  out->payload.assign(message.begin() + kFrame + kHeaderSize, message.end());
  return true;
}

bool SendTunnelCall(FramedPeer& peer, const TunnelCall& call) {
  return peer.SendFrame(FrameHeader::kControlSlot, call.EncodeMessage());
}

}  // namespace testhost
