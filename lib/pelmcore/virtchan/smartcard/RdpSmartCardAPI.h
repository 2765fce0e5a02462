// The smart-card API: carries out the server's smart-card calls against the
// local smart-card service. The smart-card device owns one object and calls
// one operation per device control request; the operation decodes the call,
// checks the context or card handle, calls the service, encodes the return
// structure and completes the request with it.
#pragma once

#include <cstdint>
#include <memory>

class IRdpScardRequest;

// An object a request can hold so that it can be cancelled.
class CRdpCancelRequestPacket {
 public:
  virtual ~CRdpCancelRequestPacket() = default;
  virtual uint32_t Cancel(IRdpScardRequest* request, uint32_t code) = 0;
};

// What an operation reads of one device control request.
class IRdpScardRequest {
 public:
  virtual ~IRdpScardRequest() = default;
  virtual uint32_t IoControlCode() const = 0;
  // The input buffer (InputBufferLength bytes from offset 56 of the request).
  virtual const uint8_t* InputBuffer() const = 0;
  virtual uint32_t InputBufferLength() const = 0;
  virtual void SetCancel(std::shared_ptr<CRdpCancelRequestPacket> cancel) = 0;
};

// What an operation needs of the device: completing a request on its
// channel. Both answer 0 when the completion went out, -1 when not.
class IRdpScardDevice {
 public:
  virtual ~IRdpScardDevice() = default;
  virtual int32_t CompleteData(IRdpScardRequest* request, const uint8_t* data, uint32_t length) = 0;
  virtual int32_t CompleteStatus(IRdpScardRequest* request, uint32_t ioStatus) = 0;
};

class CRdpSmartCardAPI {
 public:
  virtual ~CRdpSmartCardAPI() = default;
  virtual int32_t AccessStartedEvent(IRdpScardDevice* device, IRdpScardRequest* request) = 0;
  virtual int32_t EstablishContext(IRdpScardDevice* device, IRdpScardRequest* request) = 0;
  virtual int32_t ListReaders(IRdpScardDevice* device, IRdpScardRequest* request) = 0;
  virtual int32_t ListReaderGroups(IRdpScardDevice* device, IRdpScardRequest* request) = 0;
  virtual int32_t HandleContext(IRdpScardDevice* device, IRdpScardRequest* request) = 0;
  virtual int32_t ContextAndString(IRdpScardDevice* device, IRdpScardRequest* request) = 0;
  virtual int32_t ContextAndTwoStringW(IRdpScardDevice* device, IRdpScardRequest* request) = 0;
  virtual int32_t ContextAndTwoStringA(IRdpScardDevice* device, IRdpScardRequest* request) = 0;
  virtual int32_t HCardAndDisposition(IRdpScardDevice* device, IRdpScardRequest* request) = 0;
  virtual int32_t GetStatusChangeW(IRdpScardDevice* device, IRdpScardRequest* request) = 0;
  virtual int32_t GetStatusChangeA(IRdpScardDevice* device, IRdpScardRequest* request) = 0;
  virtual int32_t LocateCardsByATRA(IRdpScardDevice* device, IRdpScardRequest* request) = 0;
  virtual int32_t LocateCardsByATRW(IRdpScardDevice* device, IRdpScardRequest* request) = 0;
  virtual int32_t ConnectA(IRdpScardDevice* device, IRdpScardRequest* request) = 0;
  virtual int32_t ConnectW(IRdpScardDevice* device, IRdpScardRequest* request) = 0;
  virtual int32_t Reconnect(IRdpScardDevice* device, IRdpScardRequest* request) = 0;
  virtual int32_t GetTransmitCount(IRdpScardDevice* device, IRdpScardRequest* request) = 0;
  virtual int32_t Transmit(IRdpScardDevice* device, IRdpScardRequest* request) = 0;
  virtual int32_t Control(IRdpScardDevice* device, IRdpScardRequest* request) = 0;
  virtual int32_t Status(IRdpScardDevice* device, IRdpScardRequest* request) = 0;
  // Answers SCARD_E_UNSUPPORTED_FEATURE without completing.
  virtual int32_t State(IRdpScardDevice* device, IRdpScardRequest* request) = 0;
  virtual int32_t GetAttrib(IRdpScardDevice* device, IRdpScardRequest* request) = 0;
  virtual int32_t SetAttrib(IRdpScardDevice* device, IRdpScardRequest* request) = 0;
  virtual int32_t ReadCache(IRdpScardDevice* device, IRdpScardRequest* request) = 0;
  virtual int32_t WriteCache(IRdpScardDevice* device, IRdpScardRequest* request) = 0;
  virtual bool Init() = 0;
  virtual bool StopAll() = 0;

  // On the channel's worker, for a blocking request before its own thread
  // starts: a cancel served after this reaches the request's wait, however
  // late its thread gets to run.
  virtual void Accept(IRdpScardRequest*) {}
  // An accepted request whose thread did not start.
  virtual void Drop(IRdpScardRequest*) {}
};

// Smart-card control codes (IoControlCode).
namespace scardioctl {
constexpr uint32_t kEstablishContext = 0x00090014;
constexpr uint32_t kReleaseContext = 0x00090018;
constexpr uint32_t kIsValidContext = 0x0009001C;
constexpr uint32_t kListReaderGroupsA = 0x00090020;
constexpr uint32_t kListReaderGroupsW = 0x00090024;
constexpr uint32_t kListReadersA = 0x00090028;
constexpr uint32_t kListReadersW = 0x0009002C;
constexpr uint32_t kIntroduceReaderGroupA = 0x00090050;
constexpr uint32_t kIntroduceReaderGroupW = 0x00090054;
constexpr uint32_t kForgetReaderGroupA = 0x00090058;
constexpr uint32_t kForgetReaderGroupW = 0x0009005C;
constexpr uint32_t kIntroduceReaderA = 0x00090060;
constexpr uint32_t kIntroduceReaderW = 0x00090064;
constexpr uint32_t kForgetReaderA = 0x00090068;
constexpr uint32_t kForgetReaderW = 0x0009006C;
constexpr uint32_t kAddReaderToGroupA = 0x00090070;
constexpr uint32_t kAddReaderToGroupW = 0x00090074;
constexpr uint32_t kRemoveReaderFromGroupA = 0x00090078;
constexpr uint32_t kRemoveReaderFromGroupW = 0x0009007C;
constexpr uint32_t kGetStatusChangeA = 0x000900A0;
constexpr uint32_t kGetStatusChangeW = 0x000900A4;
constexpr uint32_t kCancel = 0x000900A8;
constexpr uint32_t kConnectA = 0x000900AC;
constexpr uint32_t kConnectW = 0x000900B0;
constexpr uint32_t kReconnect = 0x000900B4;
constexpr uint32_t kDisconnect = 0x000900B8;
constexpr uint32_t kBeginTransaction = 0x000900BC;
constexpr uint32_t kEndTransaction = 0x000900C0;
constexpr uint32_t kStatusA = 0x000900C8;
constexpr uint32_t kStatusW = 0x000900CC;
constexpr uint32_t kTransmit = 0x000900D0;
constexpr uint32_t kControl = 0x000900D4;
constexpr uint32_t kGetAttrib = 0x000900D8;
constexpr uint32_t kSetAttrib = 0x000900DC;
constexpr uint32_t kAccessStartedEvent = 0x000900E0;
constexpr uint32_t kLocateCardsByAtrA = 0x000900E8;
constexpr uint32_t kLocateCardsByAtrW = 0x000900EC;
constexpr uint32_t kReadCacheA = 0x000900F0;
constexpr uint32_t kReadCacheW = 0x000900F4;
constexpr uint32_t kWriteCacheA = 0x000900F8;
constexpr uint32_t kWriteCacheW = 0x000900FC;
constexpr uint32_t kGetTransmitCount = 0x00090100;
}  // namespace scardioctl
