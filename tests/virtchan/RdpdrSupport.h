// The device redirection tests' pieces: builders of the server's RDPDR
// PDUs, a smart-card API that records which operation each request reached
// and on which thread, and a channel fixture over the recording session.
#pragma once

#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "VirtChanSupport.h"
#include "virtchan/ChannelRDPDR.h"
#include "virtchan/RdpSmartCardDevice.h"

namespace rdpdrtest {

using virtchantest::Bytes;
using virtchantest::PutU16;
using virtchantest::PutU32;
using virtchantest::U32At;

inline Bytes Header(uint16_t component, uint16_t packetId) {
  Bytes b;
  PutU16(b, component);
  PutU16(b, packetId);
  return b;
}
inline Bytes ServerAnnounce(uint32_t clientId) {
  Bytes b = Header(0x4472, 0x496E);
  PutU16(b, 1);
  PutU16(b, 13);
  PutU32(b, clientId);
  return b;
}
inline Bytes ServerCapability() {
  Bytes b = Header(0x4472, 0x5350);
  PutU16(b, 0);
  PutU16(b, 0);
  return b;
}
inline Bytes IoRequest(uint32_t deviceId, uint32_t completionId, uint32_t major) {
  Bytes b = Header(0x4472, 0x4952);
  PutU32(b, deviceId);
  PutU32(b, 0);  // FileId
  PutU32(b, completionId);
  PutU32(b, major);
  PutU32(b, 0);  // MinorFunction
  return b;
}
inline Bytes ControlRequest(uint32_t deviceId, uint32_t completionId, uint32_t code, const Bytes& input = {}) {
  Bytes b = IoRequest(deviceId, completionId, 14);
  PutU32(b, 2048);
  PutU32(b, uint32_t(input.size()));
  PutU32(b, code);
  b.resize(b.size() + 20, 0);
  b.insert(b.end(), input.begin(), input.end());
  return b;
}

// What one request did inside the API.
struct Call {
  std::string operation;  // the API operation it reached
  std::string name;       // the request's operation name at that time
  std::thread::id thread;
};

class Recorder {
 public:
  void Add(Call call) {
    std::lock_guard<std::mutex> hold(mutex_);
    order_.push_back(call.operation);
    calls_.push_back(std::move(call));
    changed_.notify_all();
  }
  std::vector<Call> Calls() {
    std::lock_guard<std::mutex> hold(mutex_);
    return calls_;
  }
  // The API's Accept and Drop, apart from its operations.
  void AddHook(Call hook) {
    std::lock_guard<std::mutex> hold(mutex_);
    order_.push_back(hook.operation);
    hooks_.push_back(std::move(hook));
  }
  std::vector<Call> Hooks() {
    std::lock_guard<std::mutex> hold(mutex_);
    return hooks_;
  }
  // Operations and hooks in the order they ran.
  std::vector<std::string> Order() {
    std::lock_guard<std::mutex> hold(mutex_);
    return order_;
  }
  // Status-change waits block until Release or the API's StopAll.
  void HoldWaits() {
    std::lock_guard<std::mutex> hold(mutex_);
    holdWaits_ = true;
  }
  void Release() {
    std::lock_guard<std::mutex> hold(mutex_);
    holdWaits_ = false;
    changed_.notify_all();
  }
  void WaitWhileHeld() {
    std::unique_lock<std::mutex> hold(mutex_);
    ++waiting_;
    changed_.notify_all();
    changed_.wait(hold, [&] { return !holdWaits_; });
    --waiting_;
  }
  bool WaitForWaiters(int n) {
    std::unique_lock<std::mutex> hold(mutex_);
    return changed_.wait_for(hold, std::chrono::seconds(60), [&] { return waiting_ >= n; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Call> calls_;
  std::vector<Call> hooks_;
  std::vector<std::string> order_;
  bool holdWaits_ = false;
  int waiting_ = 0;
};

// The recorder the next API object reports to.
inline Recorder*& CurrentRecorder() {
  static Recorder* recorder = nullptr;
  return recorder;
}

class RecordingApi : public CRdpSmartCardAPI {
 public:
  explicit RecordingApi(Recorder* recorder) : recorder_(recorder) {}

#define PELLUM_RECORDED(Op) \
  int32_t Op(IRdpScardDevice* d, IRdpScardRequest* r) override { return Record(#Op, d, r); }
  PELLUM_RECORDED(AccessStartedEvent)
  PELLUM_RECORDED(EstablishContext)
  PELLUM_RECORDED(ListReaders)
  PELLUM_RECORDED(ListReaderGroups)
  PELLUM_RECORDED(HandleContext)
  PELLUM_RECORDED(ContextAndString)
  PELLUM_RECORDED(ContextAndTwoStringW)
  PELLUM_RECORDED(ContextAndTwoStringA)
  PELLUM_RECORDED(HCardAndDisposition)
  PELLUM_RECORDED(GetStatusChangeW)
  PELLUM_RECORDED(GetStatusChangeA)
  PELLUM_RECORDED(LocateCardsByATRA)
  PELLUM_RECORDED(LocateCardsByATRW)
  PELLUM_RECORDED(ConnectA)
  PELLUM_RECORDED(ConnectW)
  PELLUM_RECORDED(Reconnect)
  PELLUM_RECORDED(GetTransmitCount)
  PELLUM_RECORDED(Transmit)
  PELLUM_RECORDED(Control)
  PELLUM_RECORDED(Status)
  PELLUM_RECORDED(State)
  PELLUM_RECORDED(GetAttrib)
  PELLUM_RECORDED(SetAttrib)
  PELLUM_RECORDED(ReadCache)
  PELLUM_RECORDED(WriteCache)
#undef PELLUM_RECORDED
  bool Init() override { return true; }
  bool StopAll() override {
    recorder_->Release();
    return true;
  }
  void Accept(IRdpScardRequest* r) override { Hook("Accept", r); }
  void Drop(IRdpScardRequest* r) override { Hook("Drop", r); }

 private:
  // Completes with the operation's first letter as output, so the test sees
  // the data form go out.
  int32_t Record(const char* op, IRdpScardDevice* device, IRdpScardRequest* request) {
    recorder_->Add({op, static_cast<CRdpRequestPacket*>(request)->OperationName(), std::this_thread::get_id()});
    if (std::string(op).rfind("GetStatusChange", 0) == 0) recorder_->WaitWhileHeld();
    const uint8_t tag = uint8_t(op[0]);
    device->CompleteData(request, &tag, 1);
    return 0;
  }
  void Hook(const char* what, IRdpScardRequest* request) {
    recorder_->AddHook({what, static_cast<CRdpRequestPacket*>(request)->OperationName(), std::this_thread::get_id()});
  }
  Recorder* recorder_;
};

inline std::unique_ptr<CRdpSmartCardAPI> MakeRecordingApi() {
  return std::unique_ptr<CRdpSmartCardAPI>(new RecordingApi(CurrentRecorder()));
}

// A channel over a recording session whose smart card reports to `recorder`.
class ChannelFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    CurrentRecorder() = &recorder;
    previous_ = CRdpSmartCardDevice::SetApiMaker(MakeRecordingApi);
  }
  void TearDown() override {
    if (channel) channel->Stop();
    channel.reset();
    CRdpSmartCardDevice::SetApiMaker(previous_);
    CurrentRecorder() = nullptr;
  }
  void Make(uint32_t options) {
    channel = std::make_shared<ChannelRDPDR>(0x3EC, 4, options, session);
  }
  // Runs one PDU through the channel from a buffer of its exact size, so
  // that a read past it shows.
  int Receive(const Bytes& pdu) {
    std::unique_ptr<uint8_t[]> exact(new uint8_t[pdu.size() ? pdu.size() : 1]);
    std::copy(pdu.begin(), pdu.end(), exact.get());
    std::shared_ptr<CCVirtChanel> self = channel;
    return channel->OnReceive(exact.get(), uint32_t(pdu.size()), session.get(), self);
  }
  // The PDUs sent so far, without their channel headers.
  std::vector<Bytes> Pdus() {
    std::vector<Bytes> out;
    for (const Bytes& m : session->Sent()) out.emplace_back(m.begin() + virtchan::kHeaderSize, m.end());
    return out;
  }
  void Handshake() {
    Receive(ServerCapability());
    session->Clear();
  }

  Recorder recorder;
  std::shared_ptr<virtchantest::RecordingSession> session = std::make_shared<virtchantest::RecordingSession>();
  std::shared_ptr<ChannelRDPDR> channel;

 private:
  CRdpSmartCardDevice::ApiMaker previous_ = nullptr;
};

}  // namespace rdpdrtest
