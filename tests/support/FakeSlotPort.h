// The one slot session port of the tests: it keeps what a processor sends
// on its slot and the client events it raises, and answers the layout and
// parameters a test sets.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "session/SlotSessionPort.h"

namespace testsupport {

class FakeSlotPort : public ISlotSessionPort {
 public:
  struct Event {
    uint32_t code;
    std::vector<uint8_t> data;
  };

  SendResult SendOnSlot(const void* data, uint32_t length) override {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    sent.emplace_back(p, p + length);
    return {kStatusOk, length};
  }
  int SendClientEvent(uint32_t code, const void* data, uint32_t length) override {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    events.push_back({code, std::vector<uint8_t>(p, p + length)});
    return 0;
  }
  const CClientConnectionParameter* Parameters() override { return parameters; }
  bool AlignsContainers() override { return aligned; }

  std::vector<std::vector<uint8_t>> sent;
  std::vector<Event> events;
  const CClientConnectionParameter* parameters = nullptr;
  bool aligned = true;
};

}  // namespace testsupport
