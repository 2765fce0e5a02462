// The host's side of the session cipher: its key pair, the session key it
// unwraps, both check-digest halves, and the inverse of each form the client
// uses (the client's plain-block sends are opened here, its chained opens are
// fed chained sends). Built from the cipher's published building blocks, with
// the layouts written here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace testhost {

class HostCipher {
 public:
  static constexpr size_t kKeySize = 16;

  // A fresh key pair with a modulus of `words` 32-bit words (8, 16 or 32)
  // and the public exponent e.
  bool GenerateKeyPair(int words, uint32_t exponent);
  // The 132-byte public key record the host sends in reply 258.
  std::vector<uint8_t> PublicKeyRecord() const;
  int Words() const { return words_; }
  // Unwraps the 4k-byte wrapped session key and installs it.
  bool UnwrapSessionKey(const uint8_t* wrapped, size_t size);
  const uint8_t* SessionKey() const { return key_; }

  // The client's half from its exchange record fields; false when the
  // record's check fields do not match its digest.
  bool TakeClientExchange(const uint8_t value[16], uint16_t carried, const uint8_t block[128], uint32_t word);
  // Makes the host's exchange value over its reply's tag and word and keeps
  // the host's half.
  void MakeHostExchange(const uint8_t tag[8], uint16_t word, uint8_t value[16]);

  // The block transform over a gathered region (the hello's and the reply's).
  // Decrypting with a digest checks it.
  bool SealBlock(uint8_t* data, size_t length, bool variant, int level, uint8_t digest[16]);
  bool OpenBlock(uint8_t* data, size_t length, bool variant, int level, const uint8_t* digest);

  // Slot payloads: what the host sends (the client opens it) and what the
  // client sent (the host opens it), at the slot's level 0 to 3.
  bool SealSlot(const std::vector<uint8_t>& payload, int level, std::vector<uint8_t>* out);
  bool OpenSlot(const std::vector<uint8_t>& sealed, int level, std::vector<uint8_t>* out);
  // Control message bodies at level 0 (behind the u32 code).
  bool SealMessage(const std::vector<uint8_t>& body, std::vector<uint8_t>* out);
  bool OpenMessage(const std::vector<uint8_t>& sealed, std::vector<uint8_t>* out);

 private:
  bool SealChained(const std::vector<uint8_t>& payload, std::vector<uint8_t>* out);
  bool OpenBlockwise(const std::vector<uint8_t>& sealed, std::vector<uint8_t>* out);
  bool SealBlockwise(const std::vector<uint8_t>& payload, std::vector<uint8_t>* out);
  bool OpenChained(const std::vector<uint8_t>& sealed, std::vector<uint8_t>* out);
  bool SealLevel(const std::vector<uint8_t>& payload, int level, std::vector<uint8_t>* out);
  bool OpenLevel(const std::vector<uint8_t>& sealed, int level, std::vector<uint8_t>* out);
  void PacketKey(uint8_t out[kKeySize]) const;

  int words_ = 0;
  uint32_t exponent_ = 0;
  std::vector<uint8_t> modulus_;
  std::vector<uint8_t> privateExponent_;
  uint8_t key_[kKeySize] = {};
  uint8_t localHalf_[kKeySize] = {};
  uint8_t remoteHalf_[kKeySize] = {};
};

}  // namespace testhost
