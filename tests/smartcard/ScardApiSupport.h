// A device and requests for driving the smart-card API the way the device
// redirection channel does: each request carries a call structure encoded
// with the codec, and its completion is kept for the test to read.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <map>
#include <mutex>
#include <vector>

#include "RdpNdr.h"
#include "RdpSmartCardAPI.h"

class FakeRequest : public IRdpScardRequest {
 public:
  FakeRequest(uint32_t code, std::vector<uint8_t> input) : code_(code), input_(std::move(input)) {}
  uint32_t IoControlCode() const override { return code_; }
  const uint8_t* InputBuffer() const override { return input_.data(); }
  uint32_t InputBufferLength() const override { return static_cast<uint32_t>(input_.size()); }
  void SetCancel(std::shared_ptr<CRdpCancelRequestPacket> cancel) override { cancel_ = std::move(cancel); }
  std::shared_ptr<CRdpCancelRequestPacket> cancel_;

 private:
  uint32_t code_;
  std::vector<uint8_t> input_;
};

struct Completion {
  bool done = false;
  bool withData = false;
  uint32_t ioStatus = 0;
  std::vector<uint8_t> data;
  int count = 0;
};

class FakeDevice : public IRdpScardDevice {
 public:
  int32_t CompleteData(IRdpScardRequest* request, const uint8_t* data, uint32_t length) override {
    std::lock_guard<std::mutex> lock(mutex_);
    Completion& c = completions_[request];
    c.done = c.withData = true;
    c.data.assign(data, data + length);
    ++c.count;
    changed_.notify_all();
    return 0;
  }
  int32_t CompleteStatus(IRdpScardRequest* request, uint32_t ioStatus) override {
    std::lock_guard<std::mutex> lock(mutex_);
    Completion& c = completions_[request];
    c.done = true;
    c.ioStatus = ioStatus;
    ++c.count;
    changed_.notify_all();
    return 0;
  }
  // Waits (a generous bound) for the request's completion.
  Completion WaitFor(IRdpScardRequest* request, std::chrono::seconds bound = std::chrono::seconds(30)) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, bound, [&] { return completions_[request].done; });
    return completions_[request];
  }
  bool Done(IRdpScardRequest* request) {
    std::lock_guard<std::mutex> lock(mutex_);
    return completions_[request].done;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<IRdpScardRequest*, Completion> completions_;
};

using ScardOp = int32_t (CRdpSmartCardAPI::*)(IRdpScardDevice*, IRdpScardRequest*);

template <class T>
std::vector<uint8_t> Encoded(T call) {
  std::vector<uint8_t> out;
  EXPECT_EQ(rdpesc::NdrEncode(call, out), 0u);
  return out;
}

// Runs one operation on a call and decodes its reply.
template <class Ret, class Call>
Ret RunCall(CRdpSmartCardAPI& api, ScardOp op, uint32_t code, const Call& call, Completion* raw = nullptr) {
  FakeDevice device;
  FakeRequest request(code, Encoded(call));
  (api.*op)(&device, &request);
  const Completion c = device.WaitFor(&request);
  if (raw) *raw = c;
  Ret reply;
  EXPECT_TRUE(c.withData) << "completed with IoStatus 0x" << std::hex << c.ioStatus;
  EXPECT_EQ(c.count, 1);
  if (c.withData) {
    EXPECT_EQ(rdpesc::NdrDecode(c.data.data(), c.data.size(), reply), 0u);
  }
  return reply;
}

// Runs one operation on raw input bytes; the completion as it came.
inline Completion RunRaw(CRdpSmartCardAPI& api, ScardOp op, uint32_t code, std::vector<uint8_t> input) {
  FakeDevice device;
  FakeRequest request(code, std::move(input));
  (api.*op)(&device, &request);
  return device.WaitFor(&request, std::chrono::seconds(5));
}
