#include "virtchan/RdpVDevice.h"

#include <cstring>
#include <new>
#include <utility>

#include "sys/ByteReader.h"

namespace rdpdr {

IoRequestCheck ReadIoRequest(const uint8_t* data, uint32_t length, IoRequestFields* fields) {
  *fields = IoRequestFields();
  ByteReader r(data, length);
  r.Skip(4);
  fields->deviceId = r.U32();
  r.Skip(4);  // FileId
  fields->completionId = r.U32();
  if (!r.Ok()) {
    *fields = IoRequestFields();
    return IoRequestCheck::kNoIds;
  }
  fields->majorFunction = r.U32();
  r.Skip(4);  // MinorFunction
  if (r.Ok() && fields->majorFunction == kMajorDeviceControl) {
    fields->outputBufferLength = r.U32();
    fields->inputBufferLength = r.U32();
    fields->ioControlCode = r.U32();
    r.Skip(20);  // Padding
    r.Skip(fields->inputBufferLength);
  }
  return r.Ok() ? IoRequestCheck::kOk : IoRequestCheck::kTruncated;
}

}  // namespace rdpdr

namespace {
// The first request of the process has id 1.
std::atomic<uint32_t> gNextRequestId{1};
}  // namespace

std::shared_ptr<CRdpRequestPacket> CRdpRequestPacket::Make(const uint8_t* data, uint32_t length) {
  rdpdr::IoRequestFields fields;
  if (rdpdr::ReadIoRequest(data, length, &fields) != rdpdr::IoRequestCheck::kOk) return nullptr;
  std::shared_ptr<CRdpRequestPacket> request(new (std::nothrow) CRdpRequestPacket());
  if (!request) return nullptr;
  request->bytes_.reset(new (std::nothrow) uint8_t[length]);
  if (!request->bytes_) return nullptr;
  std::memcpy(request->bytes_.get(), data, length);
  request->length_ = length;
  request->fields_ = fields;
  request->id_ = gNextRequestId.fetch_add(1);
  return request;
}

const uint8_t* CRdpRequestPacket::InputBuffer() const {
  // Make checked that InputBufferLength bytes follow the offset.
  if (fields_.majorFunction != rdpdr::kMajorDeviceControl || !bytes_) return nullptr;
  return bytes_.get() + rdpdr::kControlInputOffset;
}

void CRdpRequestPacket::SetCancel(std::shared_ptr<CRdpCancelRequestPacket> cancel) {
  std::shared_ptr<CRdpCancelRequestPacket> fire;
  uint32_t code = 0;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    cancel_ = std::move(cancel);
    code = cancelCode_;
    if (code != 0) fire = cancel_;
  }
  if (fire) fire->Cancel(this, code);
}

bool CRdpRequestPacket::Claim(const std::shared_ptr<IRdpDeviceChannel>& channel) {
  if (!bytes_ || completed_.exchange(1) != 0) return false;
  if (channel) channel->OnRequestDone(id_);
  return true;
}

int32_t CRdpRequestPacket::Complete(const std::shared_ptr<IRdpDeviceChannel>& channel, uint32_t status) {
  if (!Claim(channel)) return -1;
  return channel && channel->SendCompletion(bytes_.get(), length_, status, nullptr, 0) ? 0 : -1;
}

int32_t CRdpRequestPacket::CompleteDataVia(const std::shared_ptr<IRdpDeviceChannel>& channel, const uint8_t* data,
                                           uint32_t length) {
  if (!Claim(channel)) return -1;
  return channel && channel->SendCompletion(bytes_.get(), length_, 0, data, length) ? 0 : -1;
}

int32_t CRdpRequestPacket::CompleteStatus(CRdpVDevice* device, uint32_t status) {
  if (!device) return -1;
  return Complete(device->GetChannel(), status);
}

int32_t CRdpRequestPacket::CompleteData(CRdpVDevice* device, const uint8_t* data, uint32_t length) {
  if (!device) return -1;
  return CompleteDataVia(device->GetChannel(), data, length);
}

void CRdpRequestPacket::SetOperationName(std::string name) {
  std::lock_guard<std::mutex> hold(mutex_);
  operationName_ = std::move(name);
}

std::string CRdpRequestPacket::OperationName() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return operationName_;
}



CRdpVDevice::CRdpVDevice(std::weak_ptr<IRdpDeviceChannel> channel, uint32_t deviceType, uint32_t deviceId,
                         const char* dosName)
    : deviceType_(deviceType), deviceId_(deviceId), channel_(std::move(channel)) {
  if (dosName) std::strncpy(dosName_, dosName, sizeof dosName_ - 1);
}

bool CRdpVDevice::OnIrp(const std::shared_ptr<CRdpRequestPacket>& request) {
  if (request) request->CompleteStatus(this, rdpdr::kStatusUnsuccessful);
  return true;
}
