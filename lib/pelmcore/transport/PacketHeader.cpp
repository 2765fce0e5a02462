#include "transport/PacketHeader.h"

#include "sys/ByteReader.h"
#include "sys/ByteWriter.h"

bool PacketHeader::Read(const uint8_t* bytes, size_t size, PacketHeader* out) {
  ByteReader r(bytes, size);
  PacketHeader h;
  h.length = r.U32();
  h.kind = r.U16();
  h.slot = r.U16();
  h.subKind = r.U8();
  h.index = r.U8();
  h.reserved = r.U16();
  if (!r.Ok()) return false;
  *out = h;
  return true;
}

bool PacketHeader::Write(uint8_t* out, size_t room) const {
  ByteWriter w(out, room);
  w.U32(length);
  w.U16(kind);
  w.U16(slot);
  w.U8(subKind);
  w.U8(index);
  w.U16(reserved);
  return w.Ok();
}
