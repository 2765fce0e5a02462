// The tunnel module of the test host: named-object calls inside control
// message 2560, built and read by the host on its own.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "testhost/Framing.h"

namespace testhost {

struct TunnelCall {
  static constexpr uint32_t kControlCode = 2560;
  static constexpr uint32_t kMagic = 0xF1F2F3F4u;
  static constexpr size_t kHeaderSize = 56;
  static constexpr size_t kNameField = 16;

  std::string object;
  std::string method;
  uint32_t kind = 1;  // a request: the only kind the client's handlers act on
  uint64_t sequence = 0;
  std::vector<uint8_t> payload;

  // The 56-byte header and the payload. The length word is the payload's
  // size unless one is given (hostile frames).
  std::vector<uint8_t> EncodeFrame() const;
  std::vector<uint8_t> EncodeFrame(uint32_t lengthWord) const;
  // Control message 2560 around the frame.
  std::vector<uint8_t> EncodeMessage() const;

  // A control payload that is a well-formed tunnel message, read out.
  static bool Decode(const std::vector<uint8_t>& controlPayload, TunnelCall* out);
};

// Sends the call as a control message on slot 0xFAFA.
bool SendTunnelCall(FramedPeer& peer, const TunnelCall& call);

}  // namespace testhost
