// The multimedia channel tests' builders of MS-RDPEV messages, the reader
// of the chunks the channel sends and the capture of the debug output, over
// the recording doubles.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "TsmfDoubles.h"
#include "mmredir/MMPresentation.h"
#include "mmredir/TsmfChannel.h"
#include "mmredir/VrMFStream.h"
#include "pelplat/debugout.h"
#include "virtchan/VirtChanSupport.h"

namespace tsmftest {

using virtchantest::Bytes;
using virtchantest::RecordingSession;
using virtchantest::U32At;

// The debugger output while it lives.
class LogCapture {
 public:
  LogCapture() {
    previous_ = SetDebugOutputSink([this](const std::string& line) {
      std::lock_guard<std::mutex> hold(mutex_);
      lines_.push_back(line);
    });
  }
  ~LogCapture() { SetDebugOutputSink(previous_); }
  size_t Containing(const std::string& part) {
    std::lock_guard<std::mutex> hold(mutex_);
    return static_cast<size_t>(std::count_if(
        lines_.begin(), lines_.end(), [&](const std::string& line) { return line.find(part) != std::string::npos; }));
  }
  size_t Size() {
    std::lock_guard<std::mutex> hold(mutex_);
    return lines_.size();
  }

 private:
  DebugOutputSink previous_;
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

// ---------------------------------------------------------------- messages

// An MS-RDPEV message built field by field.
class Msg {
 public:
  Msg(uint32_t interfaceId, uint32_t messageId, uint32_t functionId) {
    U32(interfaceId).U32(messageId).U32(functionId);
  }
  static Msg Request(uint32_t functionId, uint32_t messageId = 0x21) {
    return Msg(mmredir::kInterfaceServerData, messageId, functionId);
  }
  Msg& U32(uint32_t v) {
    virtchantest::PutU32(bytes, v);
    return *this;
  }
  Msg& Triple(uint32_t a, uint32_t b, uint32_t c) { return U32(a).U32(b).U32(c); }
  Msg& U64(uint64_t v) { return U32(uint32_t(v)).U32(uint32_t(v >> 32)); }
  Msg& Raw(const Bytes& b) {
    bytes.insert(bytes.end(), b.begin(), b.end());
    return *this;
  }
  Msg& Raw(const uint8_t* p, size_t n) {
    bytes.insert(bytes.end(), p, p + n);
    return *this;
  }
  Bytes bytes;
};

// The channel's answers, each reassembled from its chunks; every chunk's
// CHANNEL_PDU_HEADER is checked on the way.
inline std::vector<Bytes> Answers(const std::vector<Bytes>& sent) {
  std::vector<Bytes> answers;
  Bytes current;
  uint32_t total = 0;
  for (const Bytes& message : sent) {
    EXPECT_GE(message.size(), 16u);
    if (message.size() < 16) continue;
    EXPECT_EQ(virtchantest::U16At(message, 0), virtchan::kChannelData);
    EXPECT_EQ(U32At(message, 4), message.size() - 8);
    const uint32_t flags = U32At(message, 12);
    EXPECT_TRUE(flags & virtchan::kFlagShowProtocol);
    if (flags & virtchan::kFlagFirst) {
      EXPECT_TRUE(current.empty());
      current.clear();
      total = U32At(message, 8);
    }
    EXPECT_EQ(U32At(message, 8), total);
    current.insert(current.end(), message.begin() + 16, message.end());
    if (flags & virtchan::kFlagLast) {
      EXPECT_EQ(current.size(), total);
      answers.push_back(current);
      current.clear();
    }
  }
  EXPECT_TRUE(current.empty()) << "an answer without its last chunk";
  return answers;
}

// A presentation id with every byte `seed`.
inline std::vector<uint8_t> Id(uint8_t seed) { return std::vector<uint8_t>(mmredir::kPresentationIdSize, seed); }

}  // namespace tsmftest
