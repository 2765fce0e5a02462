// LED reports from the server on the keyboard and pointer slot, as the
// processor's OnData reads them, between local keys whose lock sync a
// report changes. A fresh processor per input, left unattached: it starts
// no sender thread and its frames go nowhere.
// Input: steps of an op byte (taken modulo 3) and its operands:
//   0 a report: u8 length, then that many bytes (or what is left)
//   1 a local key: 8 bytes, i32 scan code and i32 lock bits
//   2 the session window loses activation
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "input/VirtHidSlotDataProcessor.h"
#include "pelplat/debugout.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A line for every short report would slow the run many times over.
  static const bool quiet = (SetDebugOutputSink([](const std::string&) {}), true);
  (void)quiet;
  CVirtHidSlotDataProcessor processor;
  size_t at = 0;
  while (at < size) {
    const uint8_t op = data[at++] % 3;
    if (op == 2) {
      processor.OnActivate(0);
      continue;
    }
    size_t length = op == 1 ? KeyInputRecord::kSize : (at < size ? data[at++] : 0);
    length = std::min(length, size - at);
    // Each record in a buffer of its own size, so that a read beyond it
    // shows.
    const std::vector<uint8_t> record(data + at, data + at + length);
    at += length;
    if (op == 0) {
      processor.OnData(record.data(), static_cast<uint32_t>(record.size()));
    } else {
      processor.OnClientData(record.data(), static_cast<uint32_t>(record.size()));
    }
  }
  return 0;
}
