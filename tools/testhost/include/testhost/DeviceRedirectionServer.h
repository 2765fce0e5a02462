// A device redirection server over the "MSVCEXT " slot of one session: opens
// "RDPDR", runs the announce and capability handshake of MS-RDPEFS, takes the
// client's device list and answers it, and sends device control requests
// whose completions it hands back. PDUs go whole in one channel message each
// way, without chunk headers. Written byte by byte here, apart from the
// client's own code; the smart-card calls inside the requests are the
// caller's (the tests encode them with the smart-card NDR codec).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "testhost/ClipboardChannel.h"

namespace testhost {
namespace rdpdr {

using Bytes = std::vector<uint8_t>;

constexpr uint16_t kCore = 0x4472;
constexpr uint16_t kServerAnnounce = 0x496E;
constexpr uint16_t kClientIdConfirm = 0x4343;
constexpr uint16_t kServerCapability = 0x5350;
constexpr uint16_t kClientCapability = 0x4350;
constexpr uint16_t kDeviceListAnnounce = 0x4441;
constexpr uint16_t kDeviceReply = 0x6472;
constexpr uint16_t kDeviceIoRequest = 0x4952;
constexpr uint16_t kDeviceIoCompletion = 0x4943;

Bytes ServerAnnounce(uint32_t clientId);
// numCapabilities 1: a general set of version 2.
Bytes ServerCapability();
Bytes DeviceReply(uint32_t deviceId, uint32_t resultCode);
// IRP_MJ_DEVICE_CONTROL with the input buffer and an output limit.
Bytes ControlRequest(uint32_t deviceId, uint32_t completionId, uint32_t code, const Bytes& input,
                     uint32_t outputLimit = 0x10000);

struct Device {
  uint32_t type = 0;
  uint32_t id = 0;
  std::string dosName;
};

struct IoCompletion {
  uint32_t deviceId = 0;
  uint32_t completionId = 0;
  uint32_t ioStatus = 0;
  Bytes output;  // OutputBufferLength bytes after the length word
  bool ok = false;
};
IoCompletion ReadIoCompletion(const Bytes& pdu);

class DeviceServer {
 public:
  using Send = std::function<bool(const Bytes& payload)>;
  using Received = std::function<std::vector<Bytes>()>;

  DeviceServer(Send send, Received received, uint16_t index = 2, uint32_t channelId = 1002);

  // "OC" for "RDPDR", the announce (ClientId echoed) and the capability
  // request; waits for the capability response and the device list when
  // one is expected, and answers each device with success.
  bool Open(bool expectDevices, int timeoutMs);
  const std::vector<Device>& Devices() const { return devices_; }
  const Bytes& ClientCapabilities() const { return capabilities_; }
  uint32_t EchoedClientId() const { return echoedClientId_; }

  // One device control request; its completion.
  bool Control(uint32_t deviceId, uint32_t code, const Bytes& input, IoCompletion* out, int timeoutMs);
  // Sends a control request and returns at once; Wait takes its completion.
  uint32_t Start(uint32_t deviceId, uint32_t code, const Bytes& input);
  bool Wait(uint32_t completionId, IoCompletion* out, int timeoutMs);

  // The next client PDU with this PacketId, past those seen before.
  bool Next(uint16_t packetId, Bytes* out, int timeoutMs);
  bool SendPdu(const Bytes& pdu) { return send_(channels::Data(index_, pdu)); }

 private:
  void Collect();

  Send send_;
  Received received_;
  const uint16_t index_;
  const uint32_t channelId_;
  size_t seenPayloads_ = 0;
  std::vector<Bytes> pdus_;
  std::vector<bool> taken_;
  std::vector<Device> devices_;
  Bytes capabilities_;
  uint32_t echoedClientId_ = 0;
  uint32_t nextCompletionId_ = 1;
};

}  // namespace rdpdr
}  // namespace testhost
