#include "session/SlotCipher.h"

#include <new>

#include "cryptlib/cryptdata.h"
#include "transport/Status.h"

int SlotCipher::Open(uint16_t flags, uint8_t* payload, uint32_t* length) const {
  if (!(flags & kReceiveEncrypted)) return kStatusOk;
  if (!cipher_) return kStatusFailure;
  return cipher_->DecryptPacket(payload, payload, length, LevelOf(flags));
}

SlotCipher::Sealed SlotCipher::Seal(uint16_t flags, const void* data, uint32_t length) const {
  Sealed out;
  if (!(flags & kSendEncrypted)) {
    out.data = data;
    out.length = length;
    return out;
  }
  if (!cipher_) return out;
  const int level = LevelOf(flags);
  const int pad = cipher_->GetPaddingSize(length, level);
  if (pad < 0 || static_cast<uint64_t>(length) + static_cast<uint64_t>(pad) > UINT32_MAX) return out;
  const uint32_t total = length + static_cast<uint32_t>(pad);
  out.copy.reset(new (std::nothrow) uint8_t[total]);
  if (!out.copy || cipher_->EncryptPacket(out.copy.get(), static_cast<const uint8_t*>(data), length, pad, level) != 0) {
    out.copy.reset();
    return out;
  }
  out.data = out.copy.get();
  out.length = total;
  return out;
}
