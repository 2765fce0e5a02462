#include "virtchan/ChannelRDPDR.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "sys/ByteReader.h"
#include "sys/ByteWriter.h"
#include "sys/klog.h"
#include "virtchan/ChannelMakers.h"
#include "virtchan/RdpSmartCardDevice.h"

using namespace rdpdr;

namespace {

constexpr uint32_t kAnnounceReplySize = 12;
constexpr uint32_t kCapabilityResponseSize = 84;
constexpr uint32_t kDeviceAnnounceSize = 28;
constexpr uint32_t kCompletionSize = 20;
constexpr size_t kDosNameSize = 8;

// A record from AllocPacket: its PDU bytes start after the marker and the
// channel header.
uint8_t* PduOf(const std::unique_ptr<uint8_t[]>& packet) {
  return packet.get() + CCVirtChanel::kPacketHeaderOffset + virtchan::kHeaderSize;
}

void WriteHeader(ByteWriter& w, uint16_t packetId) {
  w.U16(kComponentCore);
  w.U16(packetId);
}

// CapabilityType, CapabilityLength 8, Version 1: the printer, port, drive
// and smart-card sets carry nothing more.
void WriteShortCapability(ByteWriter& w, uint16_t type) {
  w.U16(type);
  w.U16(8);
  w.U32(1);
}

}  // namespace

ChannelRDPDR::ChannelRDPDR(uint32_t serverChannelId, uint16_t index, uint32_t optionWord, SessionPtr session)
    : CCVirtChanel(serverChannelId, index, optionWord, std::move(session)) {}

ChannelRDPDR::~ChannelRDPDR() = default;

std::vector<std::shared_ptr<CRdpVDevice>> ChannelRDPDR::Devices() {
  std::lock_guard<std::mutex> hold(deviceMutex_);
  std::vector<std::shared_ptr<CRdpVDevice>> out;
  for (auto& entry : devices_) out.push_back(entry.second);
  return out;
}

int ChannelRDPDR::Stop() {
  for (const auto& device : Devices()) device->Stop();
  CCVirtChanel::Stop();
  return 0;
}

std::shared_ptr<CRdpVDevice> ChannelRDPDR::FindDevice(uint32_t deviceId) {
  std::lock_guard<std::mutex> hold(deviceMutex_);
  auto it = devices_.find(deviceId);
  return it == devices_.end() ? nullptr : it->second;
}

size_t ChannelRDPDR::PendingCount() {
  std::lock_guard<std::recursive_mutex> hold(pendingMutex_);
  return pending_.size();
}

void ChannelRDPDR::OnRequestDone(uint32_t requestId) {
  std::shared_ptr<CRdpRequestPacket> removed;  // released after the lock
  std::lock_guard<std::recursive_mutex> hold(pendingMutex_);
  auto it = std::find_if(pending_.begin(), pending_.end(),
                         [&](const std::shared_ptr<CRdpRequestPacket>& r) { return r->Id() == requestId; });
  if (it == pending_.end()) return;
  removed = std::move(*it);
  pending_.erase(it);
}

int ChannelRDPDR::OnReceive(const uint8_t* data, uint32_t length, IVirtChanSession* session,
                            const std::shared_ptr<CCVirtChanel>& self) {
  ByteReader r(data, length);
  const uint16_t component = r.U16();
  const uint16_t packetId = r.U16();
  if (!r.Ok()) {
    LogMessageA("ChannelRDPDR: %u-byte PDU without a header dropped", length);
    return static_cast<int>(kNotHandled);
  }
  if (component != kComponentCore) return static_cast<int>(kNotHandled);
  switch (packetId) {
    case kDeviceIoRequest:
      return OnDeviceIoRequest(data, length, std::static_pointer_cast<ChannelRDPDR>(self));
    case kServerAnnounce: {
      r.Skip(4);  // the server's version is not read
      const uint32_t clientId = r.U32();
      if (!r.Ok()) {
        LogMessageA("ChannelRDPDR: server announce of %u bytes dropped", length);
        return 0;
      }
      SendClientIdConfirm(kVersionMajor, kVersionMinor, clientId, session);
      return 0;
    }
    case kServerCapability:
      SendClientCapability(kCapabilityCount, session);
      if (OptionWord() & kSmartCardOption)
        SendDeviceListAnnounce(kSmartCardType, kSmartCardId, "SCARD", session, self);
      return 0;
    case kClientIdConfirm:
    case kDeviceReply:
      return 0;
    default:
      return static_cast<int>(kNotHandled);
  }
}

int ChannelRDPDR::OnDeviceIoRequest(const uint8_t* data, uint32_t length, const std::shared_ptr<ChannelRDPDR>& self) {
  IoRequestFields fields;
  const IoRequestCheck check = ReadIoRequest(data, length, &fields);
  if (check == IoRequestCheck::kNoIds) {
    LogMessageA("ChannelRDPDR: device I/O request of %u bytes dropped, too short to answer", length);
    return static_cast<int>(kNotHandled);
  }
  if (check == IoRequestCheck::kTruncated) {
    LogMessageA("ChannelRDPDR: device %u request %u refused, its fields run past its %u bytes", fields.deviceId,
                fields.completionId, length);
    SendIoCompletion(self, data, length, kStatusUnsuccessful);
    return static_cast<int>(kNotHandled);
  }
  std::shared_ptr<CRdpVDevice> device = FindDevice(fields.deviceId);
  std::shared_ptr<CRdpRequestPacket> request = device ? CRdpRequestPacket::Make(data, length) : nullptr;
  if (!request) {
    SendIoCompletion(self, data, length, kStatusUnsuccessful);
    return static_cast<int>(kNotHandled);
  }
  std::lock_guard<std::recursive_mutex> hold(pendingMutex_);
  pending_.push_back(request);
  return device->OnIrp(request) ? 1 : 0;
}

// ---------------------------------------------------------------- senders

int ChannelRDPDR::SendClientIdConfirm(uint16_t major, uint16_t minor, uint32_t clientId, IVirtChanSession* via) {
  std::unique_ptr<uint8_t[]> packet = AllocPacket(kAnnounceReplySize);
  if (!packet) return static_cast<int>(kFail);
  ByteWriter w(PduOf(packet), kAnnounceReplySize);
  WriteHeader(w, kClientIdConfirm);
  w.U16(major);
  w.U16(minor);
  w.U32(clientId);
  return SendPacketVia(packet.get(), via);
}

int ChannelRDPDR::SendClientCapability(uint16_t count, IVirtChanSession* via) {
  std::unique_ptr<uint8_t[]> packet = AllocPacket(kCapabilityResponseSize);
  if (!packet) return static_cast<int>(kFail);
  ByteWriter w(PduOf(packet), kCapabilityResponseSize);
  WriteHeader(w, kClientCapability);
  w.U16(count);
  w.U16(0);
  // The general set.
  w.U16(1);
  w.U16(44);
  w.U32(2);           // Version
  w.U32(2);           // osType
  w.U32(0x00060001);  // osVersion
  w.U16(kVersionMajor);
  w.U16(kVersionMinor);
  w.U32(0x0000FFFF);  // ioCode1: all major functions
  w.U32(0);           // ioCode2
  w.U32(7);           // extendedPDU
  w.U32(1);           // extraFlags1
  w.U32(0);           // extraFlags2
  w.U32(0);           // SpecialTypeDeviceCap
  for (uint16_t type = 2; type <= 5; ++type) WriteShortCapability(w, type);
  return SendPacketVia(packet.get(), via);
}

int ChannelRDPDR::SendDeviceListAnnounce(uint32_t deviceType, uint32_t deviceId, const char* dosName,
                                         IVirtChanSession* via, const std::shared_ptr<CCVirtChanel>& self) {
  std::unique_ptr<uint8_t[]> packet = AllocPacket(kDeviceAnnounceSize);
  if (!packet) return static_cast<int>(kFail);
  uint8_t name[kDosNameSize] = {};
  // The DOS name is a fixed 8-byte field, not a C string: no terminator when full.
  if (dosName) std::memcpy(name, dosName, strnlen(dosName, sizeof name));
  ByteWriter w(PduOf(packet), kDeviceAnnounceSize);
  WriteHeader(w, kDeviceListAnnounce);
  w.U32(1);
  w.U32(deviceType);
  w.U32(deviceId);
  w.Bytes(name, sizeof name);
  w.U32(0);

  // The device exists before the server can send it a request.
  std::weak_ptr<IRdpDeviceChannel> channel = std::static_pointer_cast<ChannelRDPDR>(self);
  std::shared_ptr<CRdpVDevice> device;
  if (deviceType == kSmartCardType)
    device.reset(new (std::nothrow) CRdpSmartCardDevice(channel, deviceType, deviceId, dosName));
  else
    device.reset(new (std::nothrow) CRdpVDevice(channel, deviceType, deviceId, dosName));
  std::shared_ptr<CRdpVDevice> replaced;
  if (device) {
    std::lock_guard<std::mutex> hold(deviceMutex_);
    replaced = std::move(devices_[deviceId]);
    devices_[deviceId] = device;
  }
  // A replaced device's requests end before it goes.
  if (replaced) replaced->Stop();
  return SendPacketVia(packet.get(), via);
}

bool ChannelRDPDR::SendCompletion(const uint8_t* request, uint32_t requestLength, uint32_t status,
                                  const uint8_t* data, uint32_t length) {
  IoRequestFields fields;
  if (ReadIoRequest(request, requestLength, &fields) == IoRequestCheck::kNoIds) return false;
  if (length && !data) return false;
  const uint64_t size = uint64_t{kCompletionSize} + length;
  if (size > UINT32_MAX - CCVirtChanel::kPacketHeaderOffset - virtchan::kHeaderSize) return false;
  std::unique_ptr<uint8_t[]> packet = AllocPacket(static_cast<uint32_t>(size));
  if (!packet) return false;
  ByteWriter w(PduOf(packet), size);
  WriteHeader(w, kDeviceIoCompletion);
  w.U32(fields.deviceId);
  w.U32(fields.completionId);
  w.U32(status);
  w.U32(length);
  if (length) w.Bytes(data, length);
  SendPacket(packet.get());
  return true;
}

bool ChannelRDPDR::SendIoCompletion(const std::shared_ptr<ChannelRDPDR>& channel, const uint8_t* request,
                                    uint32_t requestLength, uint32_t status) {
  return channel && channel->SendCompletion(request, requestLength, status, nullptr, 0);
}

bool ChannelRDPDR::SendIoCompletionData(const std::shared_ptr<ChannelRDPDR>& channel, const uint8_t* request,
                                        uint32_t requestLength, const uint8_t* data, uint32_t length) {
  return channel && channel->SendCompletion(request, requestLength, 0, data, length);
}

namespace virtchan {

void RegisterDeviceChannelMaker() {
  RegisterChannelMaker(kDeviceChannel, [](const ChannelMakeContext& c) -> std::shared_ptr<CCVirtChanel> {
    std::shared_ptr<ChannelRDPDR> channel(new (std::nothrow)
                                              ChannelRDPDR(c.serverChannelId, c.index, c.optionWord, c.session));
    return channel;
  });
}

}  // namespace virtchan
