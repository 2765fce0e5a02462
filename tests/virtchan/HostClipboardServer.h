// The test host's clipboard server on the channel slot of a painting host's
// session.
#pragma once

#include <cstdint>
#include <vector>

#include "E2eEnv.h"
#include "testhost/ClipboardServer.h"

inline testhost::cliprdr::ClipboardServer ServerOn(PaintingHost& host, uint16_t slot) {
  using Bytes = std::vector<uint8_t>;
  return testhost::cliprdr::ClipboardServer(
      [&host, slot](const Bytes& payload) { return host.SendOnSlot(slot, payload); },
      [&host, slot] {
        std::vector<Bytes> payloads;
        for (const testhost::HostMessage& m : host.Messages())
          if (m.header.slot == slot && m.code == 0) payloads.push_back(m.body);
        return payloads;
      });
}
