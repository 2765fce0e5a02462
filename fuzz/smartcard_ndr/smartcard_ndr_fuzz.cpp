// The smart-card call marshalling. Input: one selector byte (modulo the
// number of structures, see NdrFuzzTable.h), then the pickled buffer, copied
// into a buffer of its own so that a read past it shows.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "NdrFuzzTable.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const auto& table = ndrfuzz::Table();
  const std::vector<uint8_t> buffer(data + 1, data + size);
  table[data[0] % table.size()].check(buffer.data(), buffer.size());
  return 0;
}
