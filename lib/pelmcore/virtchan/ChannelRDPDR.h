// The client end of the device redirection channel "RDPDR": the announce
// and capability handshake, the one device this client serves (the smart
// card, when the session's option bit asks for it), and the routing of
// device I/O requests to it with their completions back to the server.
//
// Each PDU is one whole channel message, without a chunk header. Every
// field is read inside the received bytes: a request too short for what it
// must carry is answered with STATUS_UNSUCCESSFUL when it names a device and
// a completion id, and otherwise dropped with a log line.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "virtchan/RdpVDevice.h"
#include "virtchan/VirtChanel.h"

class ChannelRDPDR : public CCVirtChanel, public IRdpDeviceChannel {
 public:
  static constexpr uint16_t kVersionMajor = 1;
  static constexpr uint16_t kVersionMinor = 12;
  static constexpr uint16_t kCapabilityCount = 5;
  static constexpr uint32_t kSmartCardOption = 0x1;
  static constexpr uint32_t kSmartCardType = 0x20;
  static constexpr uint32_t kSmartCardId = 1;

  ChannelRDPDR(uint32_t serverChannelId, uint16_t index, uint32_t optionWord, SessionPtr session);
  ~ChannelRDPDR() override;

  // Stops every device (ending their requests' threads), then the worker.
  int Stop() override;
  int OnReceive(const uint8_t* data, uint32_t length, IVirtChanSession* session,
                const std::shared_ptr<CCVirtChanel>& self) override;
  void OnRequestDone(uint32_t requestId) override;

  int SendClientIdConfirm(uint16_t major, uint16_t minor, uint32_t clientId, IVirtChanSession* via);
  int SendClientCapability(uint16_t count, IVirtChanSession* via);
  int SendDeviceListAnnounce(uint32_t deviceType, uint32_t deviceId, const char* dosName, IVirtChanSession* via,
                             const std::shared_ptr<CCVirtChanel>& self);

  bool SendCompletion(const uint8_t* request, uint32_t requestLength, uint32_t status, const uint8_t* data,
                      uint32_t length) override;

  std::shared_ptr<CRdpVDevice> FindDevice(uint32_t deviceId);
  size_t PendingCount();

  // A Device I/O Response for the request in `request` (its DeviceId and
  // CompletionId): status form, and data form with IoStatus 0. False when
  // nothing was handed on.
  static bool SendIoCompletion(const std::shared_ptr<ChannelRDPDR>& channel, const uint8_t* request,
                               uint32_t requestLength, uint32_t status);
  static bool SendIoCompletionData(const std::shared_ptr<ChannelRDPDR>& channel, const uint8_t* request,
                                   uint32_t requestLength, const uint8_t* data, uint32_t length);

 private:
  int OnDeviceIoRequest(const uint8_t* data, uint32_t length, const std::shared_ptr<ChannelRDPDR>& self);
  std::vector<std::shared_ptr<CRdpVDevice>> Devices();

  std::mutex deviceMutex_;
  std::map<uint32_t, std::shared_ptr<CRdpVDevice>> devices_;
  std::recursive_mutex pendingMutex_;
  std::vector<std::shared_ptr<CRdpRequestPacket>> pending_;
};

namespace virtchan {
// Registers the device redirection channel's maker under "RDPDR".
void RegisterDeviceChannelMaker();
}  // namespace virtchan
