// Received encrypted payloads: slot packets at every level, control messages
// and block records, each on its own copy of the bytes, on an active cipher.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "cryptlib/cryptdata.h"

namespace {

CSessionCipher* ActiveCipher() {
  static CSessionCipher* cipher = [] {
    auto* c = new CSessionCipher;
    ExchangeRecord local;
    MakeExchangeValue(&local);
    c->SetLocalHalf(&local);
    RemoteExchangeRecord remote;
    c->SetRemoteHalf(&remote);
    PublicKeyRecord key;
    c->WrapRandomKey(&key, nullptr, 0);
    return c;
  }();
  return cipher;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CSessionCipher* cipher = ActiveCipher();
  for (int level = 0; level <= 4; ++level) {
    std::vector<uint8_t> packet(data, data + size);
    uint32_t length = static_cast<uint32_t>(packet.size());
    cipher->DecryptPacket(packet.data(), packet.data(), &length, level);
    std::vector<uint8_t> message(data, data + size);
    length = static_cast<uint32_t>(message.size());
    cipher->DecryptMessage(message.data(), message.data(), &length, level);
  }
  if (size >= 2) {
    std::vector<uint8_t> block(data + 2, data + size);
    CryptBlockRecord record;
    record.flags = data[0];
    record.level = data[1];
    record.length = static_cast<uint32_t>(block.size());
    record.data = block.data();
    cipher->CryptBlock(&record);
  }
  return 0;
}
