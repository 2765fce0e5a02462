// The device side of the device redirection channel: the request fields
// and their check, the port a request completes through, one device I/O
// request, and the base of every redirected device.
//
// A request is a copy of the received request, its fields read and checked
// once, and the completion that goes out at most once whoever (inline
// failure path or a request's own thread) gets there first. A device keeps
// a weak link back to its channel (the channel owns its devices, never the
// reverse).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "virtchan/smartcard/RdpSmartCardAPI.h"

class CRdpVDevice;

namespace rdpdr {

constexpr uint16_t kComponentCore = 0x4472;
constexpr uint16_t kServerAnnounce = 0x496E;
constexpr uint16_t kClientIdConfirm = 0x4343;
constexpr uint16_t kServerCapability = 0x5350;
constexpr uint16_t kClientCapability = 0x4350;
constexpr uint16_t kDeviceListAnnounce = 0x4441;
constexpr uint16_t kDeviceReply = 0x6472;
constexpr uint16_t kDeviceIoRequest = 0x4952;
constexpr uint16_t kDeviceIoCompletion = 0x4943;

constexpr uint32_t kMajorCreate = 0;
constexpr uint32_t kMajorClose = 2;
constexpr uint32_t kMajorDeviceControl = 14;

constexpr uint32_t kStatusUnsuccessful = 0xC0000001;
constexpr uint32_t kNotHandled = 0x80100004;
constexpr uint32_t kFail = 0x80004005;

// Header, DeviceId, FileId, CompletionId, MajorFunction, MinorFunction.
constexpr uint32_t kIoRequestSize = 24;
// A device control request's input buffer starts here.
constexpr uint32_t kControlInputOffset = 56;
// Enough of a request to answer it: up to and including CompletionId.
constexpr uint32_t kIoRequestIdsSize = 16;

struct IoRequestFields {
  uint32_t deviceId = 0;
  uint32_t completionId = 0;
  uint32_t majorFunction = 0;
  uint32_t outputBufferLength = 0;
  uint32_t inputBufferLength = 0;
  uint32_t ioControlCode = 0;
};

enum class IoRequestCheck {
  kNoIds,      // too short to carry a DeviceId and CompletionId: not answerable
  kTruncated,  // answerable, but a field it must carry lies past its end
  kOk,
};

// Reads a Device I/O Request (from its RDPDR header on). Fields past the end
// stay zero.
IoRequestCheck ReadIoRequest(const uint8_t* data, uint32_t length, IoRequestFields* fields);

}  // namespace rdpdr

// What a request needs of its channel to complete: leaving the pending list
// and sending the Device I/O Response (a data form when `data` is given).
class IRdpDeviceChannel {
 public:
  virtual ~IRdpDeviceChannel() = default;
  virtual void OnRequestDone(uint32_t requestId) = 0;
  // False when nothing was handed on.
  virtual bool SendCompletion(const uint8_t* request, uint32_t requestLength, uint32_t status, const uint8_t* data,
                              uint32_t length) = 0;
};

class CRdpRequestPacket : public IRdpScardRequest {
 public:
  // A checked copy of a whole request, or null when it is not kOk or
  // there is no memory.
  static std::shared_ptr<CRdpRequestPacket> Make(const uint8_t* data, uint32_t length);

  uint32_t Id() const { return id_; }
  const rdpdr::IoRequestFields& Fields() const { return fields_; }
  const uint8_t* Bytes() const { return bytes_.get(); }
  uint32_t Length() const { return length_; }
  bool Completed() const { return completed_.load() != 0; }

  uint32_t IoControlCode() const override { return fields_.ioControlCode; }
  const uint8_t* InputBuffer() const override;
  uint32_t InputBufferLength() const override { return fields_.inputBufferLength; }
  void SetCancel(std::shared_ptr<CRdpCancelRequestPacket> cancel) override;

  // Each answers 0 when the completion went out and -1 when it did not
  // (already completed, no channel, no memory).
  int32_t Complete(const std::shared_ptr<IRdpDeviceChannel>& channel, uint32_t status);
  int32_t CompleteStatus(CRdpVDevice* device, uint32_t status);
  int32_t CompleteDataVia(const std::shared_ptr<IRdpDeviceChannel>& channel, const uint8_t* data, uint32_t length);
  int32_t CompleteData(CRdpVDevice* device, const uint8_t* data, uint32_t length);

  // For diagnostics only.
  void SetOperationName(std::string name);
  std::string OperationName() const;

 private:
  CRdpRequestPacket() = default;
  // True when this caller is the one that completes the request.
  bool Claim(const std::shared_ptr<IRdpDeviceChannel>& channel);

  uint32_t id_ = 0;
  std::atomic<uint32_t> completed_{0};
  uint32_t cancelCode_ = 0;
  mutable std::mutex mutex_;
  std::string operationName_;
  uint32_t length_ = 0;
  std::unique_ptr<uint8_t[]> bytes_;
  rdpdr::IoRequestFields fields_;
  std::shared_ptr<CRdpCancelRequestPacket> cancel_;
};

class CRdpVDevice {
 public:
  CRdpVDevice(std::weak_ptr<IRdpDeviceChannel> channel, uint32_t deviceType, uint32_t deviceId, const char* dosName);
  virtual ~CRdpVDevice() = default;

  virtual uint32_t GetInitWord() const { return initWord_; }
  virtual const char* GetClassLabel() const { return "CRdpDrVCDevice"; }
  // The base serves nothing: every request fails with STATUS_UNSUCCESSFUL.
  virtual bool OnIrp(const std::shared_ptr<CRdpRequestPacket>& request);
  virtual uint32_t GetDeviceId() const { return deviceId_; }
  virtual uint32_t GetDeviceType() const { return deviceType_; }
  virtual const char* GetDosName() const { return dosName_; }
  virtual void Stop() {}

  // Empty when the channel is gone.
  std::shared_ptr<IRdpDeviceChannel> GetChannel() const { return channel_.lock(); }

  CRdpVDevice(const CRdpVDevice&) = delete;
  CRdpVDevice& operator=(const CRdpVDevice&) = delete;

 protected:
  std::recursive_mutex mutex_;

 private:
  const uint32_t deviceType_;
  const uint32_t deviceId_;
  char dosName_[9] = {};
  const uint32_t initWord_ = 1;
  const std::weak_ptr<IRdpDeviceChannel> channel_;
};
