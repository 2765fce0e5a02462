#include "testhost/DeviceRedirectionServer.h"

#include <chrono>
#include <thread>

namespace testhost {
namespace rdpdr {

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kClientId = 0x00C1D00D;

void Put16(Bytes& b, uint16_t v) {
  b.push_back(uint8_t(v));
  b.push_back(uint8_t(v >> 8));
}
void Put32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}
uint16_t Get16(const Bytes& b, size_t at) { return uint16_t(b[at] | b[at + 1] << 8); }
uint32_t Get32(const Bytes& b, size_t at) { return Get16(b, at) | uint32_t(Get16(b, at + 2)) << 16; }

Bytes Header(uint16_t packetId) {
  Bytes b;
  Put16(b, kCore);
  Put16(b, packetId);
  return b;
}

}  // namespace

Bytes ServerAnnounce(uint32_t clientId) {
  Bytes b = Header(kServerAnnounce);
  Put16(b, 1);
  Put16(b, 13);
  Put32(b, clientId);
  return b;
}

Bytes ServerCapability() {
  Bytes b = Header(kServerCapability);
  Put16(b, 1);
  Put16(b, 0);
  Put16(b, 1);   // CAP_GENERAL_TYPE
  Put16(b, 44);  // CapabilityLength
  Put32(b, 2);   // GENERAL_CAPABILITY_VERSION_02
  Put32(b, 0);   // osType
  Put32(b, 0);   // osVersion
  Put16(b, 1);
  Put16(b, 13);
  Put32(b, 0xFFFF);  // ioCode1
  Put32(b, 0);       // ioCode2
  Put32(b, 7);       // extendedPDU
  Put32(b, 0);       // extraFlags1
  Put32(b, 0);       // extraFlags2
  Put32(b, 0);       // SpecialTypeDeviceCap
  return b;
}

Bytes DeviceReply(uint32_t deviceId, uint32_t resultCode) {
  Bytes b = Header(kDeviceReply);
  Put32(b, deviceId);
  Put32(b, resultCode);
  return b;
}

Bytes ControlRequest(uint32_t deviceId, uint32_t completionId, uint32_t code, const Bytes& input,
                     uint32_t outputLimit) {
  Bytes b = Header(kDeviceIoRequest);
  Put32(b, deviceId);
  Put32(b, 0);  // FileId
  Put32(b, completionId);
  Put32(b, 14);  // IRP_MJ_DEVICE_CONTROL
  Put32(b, 0);
  Put32(b, outputLimit);
  Put32(b, uint32_t(input.size()));
  Put32(b, code);
  b.resize(b.size() + 20, 0);
  b.insert(b.end(), input.begin(), input.end());
  return b;
}

IoCompletion ReadIoCompletion(const Bytes& pdu) {
  IoCompletion c;
  if (pdu.size() < 16 || Get16(pdu, 0) != kCore || Get16(pdu, 2) != kDeviceIoCompletion) return c;
  c.deviceId = Get32(pdu, 4);
  c.completionId = Get32(pdu, 8);
  c.ioStatus = Get32(pdu, 12);
  if (pdu.size() < 20) return c;
  const uint64_t length = Get32(pdu, 16);
  if (20 + length > pdu.size()) return c;
  c.output.assign(pdu.begin() + 20, pdu.begin() + 20 + long(length));
  c.ok = true;
  return c;
}

DeviceServer::DeviceServer(Send send, Received received, uint16_t index, uint32_t channelId)
    : send_(std::move(send)), received_(std::move(received)), index_(index), channelId_(channelId) {}

void DeviceServer::Collect() {
  const std::vector<Bytes> all = received_();
  for (; seenPayloads_ < all.size(); ++seenPayloads_) {
    const channels::SlotMessage m = channels::ReadMessage(all[seenPayloads_]);
    if (m.ok && m.code == channels::kData && m.index == index_ && m.payload.size() >= 4) {
      pdus_.push_back(m.payload);
      taken_.push_back(false);
    }
  }
}

bool DeviceServer::Next(uint16_t packetId, Bytes* out, int timeoutMs) {
  const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  do {
    Collect();
    for (size_t i = 0; i < pdus_.size(); ++i) {
      if (taken_[i] || Get16(pdus_[i], 0) != kCore || Get16(pdus_[i], 2) != packetId) continue;
      taken_[i] = true;
      *out = pdus_[i];
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  } while (Clock::now() < end);
  return false;
}

bool DeviceServer::Open(bool expectDevices, int timeoutMs) {
  if (!send_(channels::Open(index_, channelId_, u"RDPDR"))) return false;
  if (!SendPdu(ServerAnnounce(kClientId))) return false;
  Bytes reply;
  if (!Next(kClientIdConfirm, &reply, timeoutMs) || reply.size() < 12) return false;
  echoedClientId_ = Get32(reply, 8);
  if (!SendPdu(ServerCapability())) return false;
  if (!Next(kClientCapability, &capabilities_, timeoutMs)) return false;
  if (!expectDevices) return true;
  Bytes list;
  if (!Next(kDeviceListAnnounce, &list, timeoutMs) || list.size() < 8) return false;
  const uint32_t count = Get32(list, 4);
  size_t at = 8;
  for (uint32_t i = 0; i < count; ++i) {
    if (at + 20 > list.size()) return false;
    Device d;
    d.type = Get32(list, at);
    d.id = Get32(list, at + 4);
    for (size_t k = 0; k < 8 && list[at + 8 + k]; ++k) d.dosName.push_back(char(list[at + 8 + k]));
    const uint64_t dataLength = Get32(list, at + 16);
    at += 20;
    if (at + dataLength > list.size()) return false;
    at += dataLength;
    devices_.push_back(d);
    if (!SendPdu(DeviceReply(d.id, 0))) return false;
  }
  return true;
}

uint32_t DeviceServer::Start(uint32_t deviceId, uint32_t code, const Bytes& input) {
  const uint32_t id = nextCompletionId_++;
  return SendPdu(ControlRequest(deviceId, id, code, input)) ? id : 0;
}

bool DeviceServer::Wait(uint32_t completionId, IoCompletion* out, int timeoutMs) {
  const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  do {
    Collect();
    for (size_t i = 0; i < pdus_.size(); ++i) {
      if (taken_[i]) continue;
      const IoCompletion c = ReadIoCompletion(pdus_[i]);
      if (Get16(pdus_[i], 2) != kDeviceIoCompletion || c.completionId != completionId) continue;
      taken_[i] = true;
      *out = c;
      return c.ok;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  } while (Clock::now() < end);
  return false;
}

bool DeviceServer::Control(uint32_t deviceId, uint32_t code, const Bytes& input, IoCompletion* out, int timeoutMs) {
  const uint32_t id = Start(deviceId, code, input);
  return id != 0 && Wait(id, out, timeoutMs);
}

}  // namespace rdpdr
}  // namespace testhost
