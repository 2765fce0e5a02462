#include "session/HelloRecord.h"

#include <cstring>
#include <iterator>
#include <vector>

#include "cryptlib/cipherblocks.h"
#include "cryptlib/cryptdata.h"
#include "sys/ByteReader.h"
#include "sys/ByteWriter.h"

namespace {

constexpr uint16_t kHelloVersion = 0x0205;
constexpr uint16_t kHelloKind = 2;
constexpr uint32_t kHelloOne = 1;
constexpr uint16_t kEntryOne = 1;

constexpr uint32_t kDisplayMagic = 0x9034AA12;
constexpr uint32_t kDisplayWord30 = 0x40001000;
constexpr uint16_t kDisplayWord250 = 75;
constexpr uint32_t kTileCacheSize = 0x0C000000;
constexpr uint32_t kDisplayWord264 = 0x10000;
constexpr uint32_t kMediaMagic = 0x8024A912;
constexpr uint32_t kAudioMagic = 0x8024A912;
constexpr uint32_t kAudioKind = 2;
constexpr uint32_t kAudioWord40 = 31;

// The words from 0x580 to 0x5AB, with the exchange value's place between.
constexpr uint32_t kWords580[] = {0x7014A812, 0xFFFFFFFF};
constexpr uint32_t kWords598[] = {0x00140601, 7, 400, 0x1001, 0x2000};
constexpr size_t kFreeBytes5AC = 32;

// Writes text as UTF-16LE into a field of `chars` characters: at most
// maxChars of it, the rest zero.
void WideField(ByteWriter& w, const std::u16string& text, size_t chars, size_t maxChars) {
  const size_t n = text.size() < maxChars ? text.size() : maxChars;
  for (size_t i = 0; i < n; ++i) w.U16(static_cast<uint16_t>(text[i]));
  w.Zeros((chars - n) * 2);
}

void WriteDisplayBlock(ByteWriter& w, const HelloContent& c) {
  const size_t start = w.Position();
  auto to = [&](size_t relative) { w.Zeros(start + relative - w.Position()); };
  w.U32(kDisplayMagic);
  to(0x030);
  w.U32(kDisplayWord30);
  to(0x190);
  for (uint32_t word : c.modeWords) w.U32(word);
  to(0x1E0);
  w.U32(c.cursorWord);
  to(0x250);
  w.U16(kDisplayWord250);
  to(0x260);
  w.U32(kTileCacheSize);
  w.U32(kDisplayWord264);
  w.U32(c.capabilities);
  to(0x288);
  w.U32(c.extraDisplayCount);
  if (c.extraDisplayCount != 0) {
    w.U32(c.display2Width);
    w.U32(c.display2Height);
    w.I32(c.display2X);
    w.I32(c.display2Y);
  }
  to(0x304);
  w.U32(0);
  if (c.mediaBlock) {
    w.U32(kMediaMagic);
    w.U32(c.dsDecoderWord);
    w.U32(c.h264Word);
    w.U32(c.dxvaWord);
    w.U32(c.mediaFoundationWord);
  }
  to(hello::kDisplayBlockSize);
}

void WriteAudioBlock(ByteWriter& w, const HelloContent& c) {
  const size_t start = w.Position();
  auto to = [&](size_t relative) { w.Zeros(start + relative - w.Position()); };
  w.U32(kAudioMagic);
  w.U32(kAudioKind);
  to(0x38);
  w.U32(0);
  to(0x40);
  w.U32(kAudioWord40);
  w.U32(c.audioSync);
  to(hello::kAudioBlockSize);
}

// A writer over record[offset..size), or a bad one when offset is outside.
ByteWriter WriterAt(uint8_t* record, size_t size, size_t offset) {
  return offset <= size ? ByteWriter(record + offset, size - offset) : ByteWriter(nullptr, 0);
}

ByteReader ReaderAt(const uint8_t* record, size_t size, size_t offset) {
  ByteReader r(record, size);
  r.Skip(offset);
  return r;
}

}  // namespace

bool WriteHelloRecord(const HelloContent& c, uint8_t* out, size_t size) {
  if (!out || size < hello::kSize || c.slotTable.size() > hello::kMaxSlots) return false;
  ByteWriter w(out, hello::kSize);
  w.Bytes(c.tag, hello::kTagSize);
  w.U16(c.flags);
  w.U16(kHelloVersion);
  w.U16(kHelloKind);
  w.U16(0);
  w.U32(kHelloOne);
  w.U16(0);
  w.U16(static_cast<uint16_t>(c.slotTable.size()));
  for (const SlotTableEntry& e : c.slotTable) {
    w.Bytes(e.name, sizeof e.name);
    w.U16(kEntryOne);
    w.U16(e.a);
    w.U16(e.b);
    w.U16(e.flags);
  }
  w.Zeros((hello::kMaxSlots - c.slotTable.size()) * hello::kSlotEntrySize);
  WideField(w, c.logon, hello::kLogonChars, hello::kLogonMaxChars);
  WideField(w, c.password, hello::kPasswordChars, hello::kPasswordMaxChars);
  w.U32(c.width);
  w.U32(c.height);
  w.U32(c.depth);
  WriteDisplayBlock(w, c);
  WriteAudioBlock(w, c);
  for (uint32_t word : kWords580) w.U32(word);
  w.Zeros(hello::kExchangeSize);
  for (uint32_t word : kWords598) w.U32(word);
  w.Zeros(kFreeBytes5AC);
  w.U32(c.sessionWord);
  w.Zeros(hello::kWorkingDirOffset - w.Position());
  WideField(w, c.workingDir, hello::kPathChars, hello::kPathChars - 1);
  WideField(w, c.programPath, hello::kPathChars, hello::kPathChars - 1);
  w.Zeros(hello::kSize - w.Position());
  return w.Ok() && w.Position() == hello::kSize;
}

void PutU16At(uint8_t* record, size_t size, size_t offset, uint16_t value) {
  WriterAt(record, size, offset).U16(value);
}

void PutU32At(uint8_t* record, size_t size, size_t offset, uint32_t value) {
  WriterAt(record, size, offset).U32(value);
}

void PutBytesAt(uint8_t* record, size_t size, size_t offset, const void* data, size_t n) {
  WriterAt(record, size, offset).Bytes(data, n);
}

uint16_t GetU16At(const uint8_t* record, size_t size, size_t offset) {
  return ReaderAt(record, size, offset).U16();
}

uint32_t GetU32At(const uint8_t* record, size_t size, size_t offset) {
  return ReaderAt(record, size, offset).U32();
}

bool GetBytesAt(const uint8_t* record, size_t size, size_t offset, void* out, size_t n) {
  ByteReader r = ReaderAt(record, size, offset);
  return r.Bytes(out, n) && r.Ok();
}

int32_t CryptSealedRegions(CSessionCipher* cipher, uint8_t* record, size_t size, uint8_t blockFlags,
                           uint8_t digest[16]) {
  if (!cipher) return kCipherFailed;
  const size_t regions = (GetU16At(record, size, hello::kFlagsOffset) & hello::kFlagProgram)
                             ? std::size(hello::kSealedRegions)
                             : hello::kShortSealedRegions;
  size_t total = 0;
  for (size_t i = 0; i < regions; ++i) total += hello::kSealedRegions[i].size;
  std::vector<uint8_t> gathered(total);
  size_t at = 0;
  for (size_t i = 0; i < regions; ++i) {
    const hello::Region& r = hello::kSealedRegions[i];
    if (!GetBytesAt(record, size, r.offset, gathered.data() + at, r.size)) return kCipherFailed;
    at += r.size;
  }
  CryptBlockRecord block;
  block.flags = blockFlags;
  block.level = hello::kSealedLevel;
  block.length = static_cast<uint32_t>(total);
  block.data = gathered.data();
  memcpy(block.digest, digest, sizeof block.digest);
  const int32_t rc = cipher->CryptBlock(&block);
  at = 0;
  for (size_t i = 0; i < regions; ++i) {
    const hello::Region& r = hello::kSealedRegions[i];
    PutBytesAt(record, size, r.offset, gathered.data() + at, r.size);
    at += r.size;
  }
  memcpy(digest, block.digest, sizeof block.digest);
  return rc;
}

bool ReadServerReply(const uint8_t* body, size_t length, ServerReply* out) {
  if (!body || length < ServerReply::kMinBody) return false;
  ByteReader r(body, length);
  r.Bytes(out->tag, sizeof out->tag);
  out->flags = r.U8();
  r.Skip(1);
  out->versionHigh = r.U16();
  out->versionLow = r.U16();
  out->exchangeWord = r.U16();
  r.Skip(0x18 - r.Position());
  out->slotCount = r.U16();
  for (auto& entry : out->entries) r.Bytes(entry, sizeof entry);
  r.Bytes(out->exchangeValue, sizeof out->exchangeValue);
  out->full = length >= ServerReply::kFullBody;
  out->alignWord = out->full ? GetU32At(body, length, ServerReply::kAlignOffset) : 0;
  return r.Ok();
}

HelloContent::~HelloContent() { WipeBytes(password.data(), password.size() * sizeof(char16_t)); }
