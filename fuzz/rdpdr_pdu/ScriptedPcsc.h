// A smart-card service that answers from a script instead of a card: pcscd
// cannot run inside a fuzz target, so this stands in for it, behind
// pcsclite's own entry points and their contract (lengths within the
// buffers given, allocation on request, results in pcsclite's numbers).
//
// Every call draws what it answers from the script, in call order: first a
// result byte (0xF8 and above pick an error, anything else succeeds), then
// its sizes, states and protocols. Data bytes are a pattern, not script, so
// that a short script can ask for large replies. A script that has run out
// reads as zeros: every call succeeds with empty answers. Contexts and card
// handles are numbered from kFirstContext and kFirstCard in each script.
//
// Calls come from the channel's thread and the device's request threads at
// once; the script is drawn under a lock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "virtchan/smartcard/PcscNative.h"

namespace scriptedpcsc {

constexpr uint32_t kFirstContext = 0x00C0DE01;
constexpr uint32_t kFirstCard = 0x0CA4D001;

// Starts a new script (the bytes are copied).
void Begin(const uint8_t* script, size_t size);
// The service's entry points, as the API takes them.
pcscnative::Pcsc Service();

}  // namespace scriptedpcsc
