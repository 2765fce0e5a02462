// The session cipher as the slots use it, and the slot flags that say what
// it does on a slot: a payload from the server on a slot flagged "receive
// encrypted" is decrypted in place before its processor sees it, a record
// to the server on a slot flagged "send encrypted" goes out only as its
// encrypted copy. Both directions read the level from the same flags.
//
// A value over the client's cipher (null before the key exchange); it holds
// no lock, its callers hold the client's.
#pragma once

#include <cstdint>
#include <memory>

class CSessionCipher;

class SlotCipher {
 public:
  // The bits of a slot entry's flags word.
  static constexpr uint16_t kReceiveEncrypted = 0x80;
  static constexpr uint16_t kSendEncrypted = 0x100;
  static constexpr int kLevelShift = 9;
  static constexpr uint16_t Level(int level) { return static_cast<uint16_t>((level & 3) << kLevelShift); }
  static constexpr int LevelOf(uint16_t flags) { return (flags >> kLevelShift) & 3; }

  explicit SlotCipher(CSessionCipher* cipher) : cipher_(cipher) {}

  // False without a cipher: no slot payload is touched then.
  bool Active() const { return cipher_ != nullptr; }
  // Decrypts a received payload in place when the flags ask for it;
  // *length becomes the plain length. kStatusOk, or the cipher's code.
  int Open(uint16_t flags, uint8_t* payload, uint32_t* length) const;

  // What goes on the wire for a record to the server.
  struct Sealed {
    const void* data = nullptr;  // null: nothing may be sent
    uint32_t length = 0;
    std::unique_ptr<uint8_t[]> copy;  // owns `data` when it is an encrypted copy
  };
  // The record itself on a slot that is not flagged; its encrypted copy on
  // one that is; nothing when a flagged slot has no cipher or the record
  // cannot be encrypted (a flagged slot never carries plain bytes).
  Sealed Seal(uint16_t flags, const void* data, uint32_t length) const;

 private:
  CSessionCipher* const cipher_;
};
