// The video filter library's format conversion: a stream format record
// whose size field, head and block come from the input as they stand (the
// size may disagree with the block), converted, and on success handed to
// SorvidInit and closed again. Input: 64 bytes of head, then the block.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "FormatRecordToMediaType.h"
#include "Sorvid.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 64) return 0;
  auto u32 = [data](size_t at) {
    return uint32_t(data[at]) | uint32_t(data[at + 1]) << 8 | uint32_t(data[at + 2]) << 16 | uint32_t(data[at + 3]) << 24;
  };
  StreamFormatRecord record;
  record.size = u32(0);
  record.flags = u32(4);
  record.sampleSize = u32(8);
  memcpy(&record.majorType, data + 16, 16);
  memcpy(&record.subtype, data + 32, 16);
  memcpy(&record.formatType, data + 48, 16);
  record.block.assign(data + 64, data + size);
  CMediaType type;
  if (FAILED(FormatRecordToMediaType(&record, &type))) return 0;
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  void* player = nullptr;
  if (SUCCEEDED(SorvidInit(&record, &player))) SorvidClose(player);
  CoUninitialize();
  return 0;
}
