#include "display/Lz4Packet.h"

#include <lz4.h>

#include <cstdlib>
#include <cstring>
#include <limits>

#include "sys/ByteReader.h"

BYTE* UnwrapLz4Packet(const BYTE* data, size_t length, uint64_t maxOutput, size_t* outLength) {
  ByteReader in(data, length);
  const uint32_t type = in.U32();
  const uint64_t compressed = in.U32();
  const uint64_t decompressed = in.U32();
  const uint64_t tail = in.U32();
  if (!in.Ok() || type != kLz4PacketType) return nullptr;
  // Sums in 64 bits: three wire words can never wrap them.
  if (kLz4PacketHeaderBytes + compressed + tail != length || compressed > decompressed ||
      decompressed > maxOutput ||
      decompressed > uint64_t(std::numeric_limits<int>::max()) ||
      compressed > uint64_t(std::numeric_limits<int>::max()))
    return nullptr;
  const BYTE* block = in.Take(size_t(compressed));
  const BYTE* rest = in.Take(size_t(tail));
  if (!in.Ok()) return nullptr;
  const size_t total = size_t(decompressed + tail);
  BYTE* out = static_cast<BYTE*>(std::malloc(total ? total : 1));
  if (!out) return nullptr;
  const int made = LZ4_decompress_safe(reinterpret_cast<const char*>(block),
                                       reinterpret_cast<char*>(out), int(compressed),
                                       int(decompressed));
  if (made < 0 || uint64_t(made) != decompressed) {
    std::free(out);
    return nullptr;
  }
  if (tail) std::memcpy(out + decompressed, rest, size_t(tail));
  *outLength = total;
  return out;
}
