// The slot session port of a processor attached to a session client.
#pragma once

#include <cstdint>
#include <memory>

#include "session/SlotSessionPort.h"

class ISlotHost;

// A client's answer to a send (bytes sent, or "no connection" in the same
// number) as a result with the status apart.
SendResult ClientSendResult(int answer, uint32_t length);

// The port of `slot` over the host's client; the processor that owns it
// holds a counted reference to the client for as long.
std::unique_ptr<ISlotSessionPort> MakeClientSlotPort(ISlotHost* client, uint16_t slot);
