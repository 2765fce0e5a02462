#include <cstring>

#include "sys/ByteReader.h"
#include "sys/ByteWriter.h"

bool ByteReader::Bytes(void* out, size_t n) {
  const uint8_t* p = Take(n);
  if (!p) {
    if (out && n) memset(out, 0, n);
    return false;
  }
  if (n) memcpy(out, p, n);
  return true;
}

void ByteWriter::Bytes(const void* source, size_t n) {
  uint8_t* p = Room(n);
  if (p && n) memcpy(p, source, n);
}

void ByteWriter::Zeros(size_t n) {
  uint8_t* p = Room(n);
  if (p && n) memset(p, 0, n);
}
