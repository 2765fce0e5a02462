// The one clipboard port of the tests: it keeps every text it is given.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "session/ClipboardInterface.h"

namespace testsupport {

class FakeClipboard : public CClipboardInterface {
 public:
  bool IsEnabled() override { return true; }
  void SetEnabled(bool) override {}
  int SetData(int, const void* data, uint32_t length) override {
    std::lock_guard<std::mutex> hold(mutex);
    const uint8_t* p = static_cast<const uint8_t*>(data);
    texts.emplace_back(p, p + length);
    return 0;
  }
  std::mutex mutex;
  std::vector<std::vector<uint8_t>> texts;
};

}  // namespace testsupport
