#include "virtchan/VirtChanWire.h"

#include "sys/ByteReader.h"
#include "sys/ByteWriter.h"

namespace virtchan {

void WriteChannelHeader(uint8_t out[kHeaderSize], const ChannelHeader& header) {
  ByteWriter w(out, kHeaderSize);
  w.U16(header.code);
  w.U16(header.index);
  w.U32(header.length);
}

bool ReadChannelHeader(const uint8_t* data, size_t size, ChannelHeader* header) {
  ByteReader r(data, size);
  header->code = r.U16();
  header->index = r.U16();
  header->length = r.U32();
  return r.Ok();
}

uint32_t ChunkFlags(uint64_t offset, uint64_t chunk, uint64_t total) {
  uint32_t flags = kFlagShowProtocol;
  if (offset == 0) flags |= kFlagFirst;
  if (offset + chunk >= total) flags |= kFlagLast;
  return flags;
}

}  // namespace virtchan
