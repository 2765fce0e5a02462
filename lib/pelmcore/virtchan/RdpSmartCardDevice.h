// The smart-card device: answers create and close, and turns each device
// control request into one call of its smart-card API object by control
// code. Calls that may block in the smart-card service run on threads of
// the device's own, so the channel keeps serving other requests meanwhile.
//
// The device owns those threads and joins them in Stop, after stopping the
// API (which ends every wait). A request's thread holds the request and a
// plain pointer to the device, never the device, the channel or its own
// thread handle, so no thread can be the one to destroy what joins it.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <thread>

#include "virtchan/RdpVDevice.h"
#include "virtchan/smartcard/RdpSmartCardAPI.h"

class CRdpSmartCardDevice : public CRdpVDevice, public IRdpScardDevice {
 public:
  typedef std::unique_ptr<CRdpSmartCardAPI> (*ApiMaker)();
  // The default makes a CRdpSmartCardWIndowsAPI; tests pass their own.
  static ApiMaker SetApiMaker(ApiMaker maker);
  // Which blocking control codes run at once on the channel's thread
  // instead of a thread of their own: none by default. For a service that
  // never blocks (a fuzz target's scripted one), where a thread would cost
  // far more than its request.
  typedef bool (*InlinePolicy)(uint32_t code);
  static InlinePolicy SetInlinePolicy(InlinePolicy policy);

  struct Operation {
    uint32_t code;
    int32_t (CRdpSmartCardAPI::*call)(IRdpScardDevice*, IRdpScardRequest*);  // null: not served
    const char* name;  // null: the code's "0x%08X" text stays
    bool blocking;
  };
  static const Operation kOperations[];
  static const size_t kOperationCount;
  static const Operation* FindOperation(uint32_t code);
  static bool IsBlockingIoctl(uint32_t code);

  CRdpSmartCardDevice(std::weak_ptr<IRdpDeviceChannel> channel, uint32_t deviceType, uint32_t deviceId,
                      const char* dosName);
  ~CRdpSmartCardDevice() override;

  bool OnIrp(const std::shared_ptr<CRdpRequestPacket>& request) override;
  // Stops the API, then joins every request thread. Requests that arrive
  // later fail at once.
  void Stop() override;
  virtual int32_t DeviceControl(const std::shared_ptr<CRdpRequestPacket>& request);

  int32_t CompleteData(IRdpScardRequest* request, const uint8_t* data, uint32_t length) override;
  int32_t CompleteStatus(IRdpScardRequest* request, uint32_t ioStatus) override;

  CRdpSmartCardAPI* Api() const { return api_.get(); }

 private:
  struct Task {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  void AsyncIrpTask(const std::shared_ptr<CRdpRequestPacket>& request);
  // Starts a request's thread; false when stopped or no thread could start.
  bool StartTask(const std::shared_ptr<CRdpRequestPacket>& request);
  // Joins the threads that have finished (they are at their end).
  void ReapTasks();
  void StopApi();

  std::unique_ptr<CRdpSmartCardAPI> api_;
  bool stopped_ = false;  // under mutex_
  std::list<Task> tasks_;  // under mutex_
};
