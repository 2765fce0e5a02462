#include "cryptlib/cryptdata.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <new>

#include <cryptopp/integer.h>
#include <cryptopp/misc.h>

#include "cryptlib/cipherblocks.h"

namespace {

constexpr const char kLockFile[] = "cryptdata";
constexpr int kGetKeyLine = 494;
constexpr int kScheduleLine = 512;
// Pad bytes a thread draws from the system at a time.
constexpr size_t kPaddingStore = 4096;
constexpr size_t kBlock = 8;
constexpr int kMaxLevel0Pad = 7;   // the largest pad count a level-0 receiver accepts
constexpr int kMaxMessagePadding = 9;  // one full block of pad bytes plus the count byte
constexpr uint8_t kSealedTag = 0x20;
constexpr uint8_t kSealedTagMask = 0xE0;
constexpr uint8_t kSealedPadMask = 0x1F;

// Where the check digest's bytes go in an exchange value.
struct CheckField {
  size_t valueOffset;
  size_t digestOffset;
  size_t size;
};
constexpr CheckField kCheckFields[] = {{0, 0, 2}, {6, 2, 2}, {8, 4, 4}, {12, 8, 4}};

void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void LocalCheckDigest(const ExchangeRecord& record, uint8_t out[16]) {
  const uint8_t* b = record.bytes;
  const ByteSpan word{b + ExchangeRecord::kWordOffset, 4};
  Md5Of({word, {b + 2, 4}, {b + ExchangeRecord::kBlockOffset, ExchangeRecord::kBlockSize},
         {HashKeyMaterial(), 16}, word},
        out);
}

void RemoteCheckDigest(const RemoteExchangeRecord& record, uint8_t out[16]) {
  const uint8_t* b = record.bytes;
  Md5Of({{b + RemoteExchangeRecord::kTwoOffset, 2}, {b + 2, 4},
         {b + RemoteExchangeRecord::kEightOffset, 8}, {HashKeyMaterial(), 16}},
        out);
}

// Fallback for kernels without getrandom(2).
bool ReadUrandom(uint8_t* out, size_t n) {
  int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < n) {
    ssize_t got = read(fd, out + done, n - done);
    if (got > 0) {
      done += static_cast<size_t>(got);
    } else if (got == 0 || errno != EINTR) {
      break;
    }
  }
  close(fd);
  return done == n;
}

bool SystemRandom(uint8_t* out, size_t n) {
  size_t done = 0;
  while (done < n) {
    ssize_t got = getrandom(out + done, n - done, 0);
    if (got > 0) {
      done += static_cast<size_t>(got);
    } else if (got < 0 && errno != EINTR) {
      return ReadUrandom(out + done, n - done);
    }
  }
  return true;
}

std::atomic<RandomSource> g_randomSource{nullptr};

void DataDigest(const uint8_t* data, size_t n, const uint8_t key[kCipherKeySize],
                uint8_t digest[16]) {
  Md5Of({{data, n}, {key, kCipherKeySize}}, digest);
}

}  // namespace

// ---- process-wide functions --------------------------------------------------

const uint8_t* HashKeyMaterial() {
  struct KeyDigest {
    uint8_t bytes[16];
    KeyDigest() {
      static const char kMaterial[] = "5820746913fbdaec";
      Md5Of({{reinterpret_cast<const uint8_t*>(kMaterial), sizeof kMaterial - 1}}, bytes);
    }
  };
  static const KeyDigest digest;
  return digest.bytes;
}

int32_t MakeExchangeValue(ExchangeRecord* record) {
  if (record == nullptr) return kCipherFailed;
  uint8_t* value = record->bytes + ExchangeRecord::kValueOffset;
  PutLe32(value + 2, kExchangeSeedWord);
  uint8_t digest[16];
  LocalCheckDigest(*record, digest);
  for (const CheckField& f : kCheckFields) memcpy(value + f.valueOffset, digest + f.digestOffset, f.size);
  return 0;
}

int32_t VerifyExchangeValue(const RemoteExchangeRecord* record) {
  if (record == nullptr) return kCipherFailed;
  const uint8_t* value = record->bytes + RemoteExchangeRecord::kValueOffset;
  uint8_t digest[16];
  RemoteCheckDigest(*record, digest);
  for (const CheckField& f : kCheckFields) {
    if (memcmp(value + f.valueOffset, digest + f.digestOffset, f.size) != 0) return kCipherFailed;
  }
  return 0;
}

RandomSource SetRandomSource(RandomSource source) { return g_randomSource.exchange(source); }

bool FillRandomBytes(uint8_t* out, int n) {
  if (n <= 0) return true;
  if (out == nullptr) return false;
  RandomSource source = g_randomSource.load();
  const size_t size = static_cast<size_t>(n);
  if (source != nullptr ? source(out, size) : SystemRandom(out, size)) return true;
  WipeBytes(out, size);
  return false;
}

bool FillPaddingBytes(uint8_t* out, int n) {
  if (n <= 0) return true;
  if (out == nullptr) return false;
  if (g_randomSource.load() != nullptr) return FillRandomBytes(out, n);
  struct Store {
    uint8_t bytes[kPaddingStore];
    size_t used = kPaddingStore;
    ~Store() { WipeBytes(bytes, sizeof bytes); }
  };
  thread_local Store store;
  size_t want = static_cast<size_t>(n);
  while (want > 0) {
    if (store.used == kPaddingStore) {
      if (!SystemRandom(store.bytes, kPaddingStore)) {
        WipeBytes(out, static_cast<size_t>(n));
        return false;
      }
      store.used = 0;
    }
    const size_t take = want < kPaddingStore - store.used ? want : kPaddingStore - store.used;
    memcpy(out, store.bytes + store.used, take);
    // Bytes once handed out are not handed out again.
    WipeBytes(store.bytes + store.used, take);
    store.used += take;
    out += take;
    want -= take;
  }
  return true;
}

int32_t PublicKeyTransform(uint8_t* out, uint32_t e, const uint8_t* modulus, size_t modulusLength,
                           const uint8_t* message, size_t messageLength) {
  if (out == nullptr || modulus == nullptr || modulusLength == 0) return kCipherFailed;
  if (message == nullptr && messageLength != 0) return kCipherFailed;
  const CryptoPP::Integer n(modulus, modulusLength);
  if (n.IsZero()) return kCipherFailed;
  const CryptoPP::Integer m(message, messageLength);
  const CryptoPP::Integer result = a_exp_b_mod_c(m, CryptoPP::Integer(CryptoPP::word(e)), n);
  result.Encode(out, modulusLength);
  return 0;
}

void Md5Init(Md5Context* context) { context->hash.Restart(); }

void Md5Update(Md5Context* context, const void* data, size_t n) {
  context->hash.Update(static_cast<const CryptoPP::byte*>(data), n);
}

void Md5Final(Md5Context* context, uint8_t digest[16]) { context->hash.Final(digest); }

void Sha1Update(Sha1Context* context, const void* data, size_t n) {
  context->hash.Update(static_cast<const CryptoPP::byte*>(data), n);
}

void Sha1Final(Sha1Context* context, uint8_t digest[20]) { context->hash.Final(digest); }

// ---- CSessionCipher ------------------------------------------------------------

CSessionCipher::CSessionCipher()
    : keyCount(1),
      keys{},
      remoteHalf{},
      localHalf{},
      blockSize(0),
      active(0),
      localPresent(0),
      keyInstalled(0),
      remotePresent(0) {}

CSessionCipher::~CSessionCipher() { ClearKeyMaterial(); }

void CSessionCipher::ClearKeyMaterial() {
  ForgetSchedules();
  WipeBytes(keys, sizeof keys);
  WipeBytes(remoteHalf, sizeof remoteHalf);
  WipeBytes(localHalf, sizeof localHalf);
}

void CSessionCipher::UpdateActive() {
  if (localPresent != 0 && remotePresent != 0) {
    blockSize = kBlock;
    active = 1;
  }
}

int32_t CSessionCipher::SetLocalHalf(const ExchangeRecord* record) {
  if (record == nullptr) return kCipherFailed;
  LocalCheckDigest(*record, localHalf);
  ForgetSchedules();
  localPresent = 1;
  UpdateActive();
  return 0;
}

int32_t CSessionCipher::SetRemoteHalf(const RemoteExchangeRecord* record) {
  if (record == nullptr) return kCipherFailed;
  RemoteCheckDigest(*record, remoteHalf);
  ForgetSchedules();
  remotePresent = 1;
  UpdateActive();
  return 0;
}

int32_t CSessionCipher::WrapRandomKey(const PublicKeyRecord* record, uint8_t* out,
                                      uint32_t encrypt) {
  const bool wrap = (encrypt & 0xFF) != 0;
  // The word count comes from the server: it must keep the modulus inside the record.
  if (wrap && (record == nullptr || out == nullptr || record->WordCount() == 0 ||
               record->WordCount() > PublicKeyRecord::kMaxWords)) {
    return kCipherFailed;
  }
  CipherKeyBlock key;
  if (!FillRandomBytes(key, kCipherKeySize)) return kCipherFailed;
  if (wrap) {
    int32_t status = PublicKeyTransform(out, record->Exponent(), record->Modulus(),
                                        record->ModulusLength(), key, kCipherKeySize);
    if (status != 0) return status;
  }
  memcpy(keys[0], key, kCipherKeySize);
  ForgetSchedules();
  keyInstalled = 1;
  return 0;
}

bool CSessionCipher::GetKey(int32_t index, uint8_t out[kCipherKeySize]) {
  if (out == nullptr) return false;
  lock.Acquire(kLockFile, kGetKeyLine);
  const bool found = index >= 0 && index < keyCount && index < 4;
  if (found) memcpy(out, keys[index], kCipherKeySize);
  lock.Release();
  return found;
}

std::shared_ptr<const Rc5Block> CSessionCipher::Schedule(int level, bool encrypt) {
  if (level < 0 || level > 3) return nullptr;
  lock.Acquire(kLockFile, kScheduleLine);
  std::shared_ptr<const Rc5Block>& kept = schedules_[level][encrypt ? 1 : 0];
  if (!kept) {
    CipherKeyBlock key;
    if (level == 0) {
      DeriveLevel0Key(key);
    } else {
      DerivePacketKey(keys[0], key);
    }
    try {
      kept = std::make_shared<const Rc5Block>(key, RoundsForLevel(level),
                                              encrypt ? Rc5Block::kEncrypt : Rc5Block::kDecrypt);
    } catch (const std::bad_alloc&) {
      kept.reset();
    }
  }
  std::shared_ptr<const Rc5Block> schedule = kept;
  lock.Release();
  return schedule;
}

void CSessionCipher::ForgetSchedules() {
  lock.Acquire(kLockFile, kScheduleLine);
  for (auto& level : schedules_)
    for (auto& schedule : level) schedule.reset();
  lock.Release();
}

void CSessionCipher::DeriveLevel0Key(uint8_t out[kCipherKeySize]) const {
  ::DeriveLevel0Key(keys[0], out);
}

void CSessionCipher::DerivePacketKey(const uint8_t key[kCipherKeySize],
                                     uint8_t out[kCipherKeySize]) const {
  ::DerivePacketKey(key, localHalf, remoteHalf, out);
}

int CSessionCipher::GetPaddingSize(uint32_t n, int level) const {
  if (level == 0) {
    const int rest = static_cast<int>(n % kBlock);
    // A lone pad-count byte would leave no room: take a whole block more.
    return rest == 7 ? 9 : 8 - rest;
  }
  if (level < 1 || level > 3 || active == 0) return -1;
  const int base = n >= 16 ? 8 - static_cast<int>(n % kBlock) : 16 - static_cast<int>(n);
  return base + 1 + MacLength(level);
}

int32_t CSessionCipher::EncryptPacket(uint8_t* out, const uint8_t* payload, uint32_t n, int s,
                                      int level) {
  if (active == 0) return kCipherFailed;
  if (level != 0) return EncryptSealed(out, payload, n, s, level);
  // Any other padding would leave a partial block unencrypted or a pad count
  // the receiver cannot take.
  if (s != GetPaddingSize(n, 0)) return kCipherFailed;
  return EncryptLevel0(out, payload, n, s, false);
}

int32_t CSessionCipher::DecryptPacket(uint8_t* out, uint8_t* in, uint32_t* length, int level) {
  if (active == 0) return kCipherFailed;
  if (level != 0) return DecryptSealed(out, in, length, level);
  return DecryptLevel0(out, in, length, true);
}

int32_t CSessionCipher::EncryptMessage(uint8_t* out, const uint8_t* message, uint32_t n, int s,
                                       int level) {
  if (active == 0) return kCipherFailed;
  if (level != 0) return EncryptSealed(out, message, n, s, level);
  if (s < 1 || s > kMaxMessagePadding || (uint64_t{n} + static_cast<uint64_t>(s)) % kBlock != 0) {
    return kCipherFailed;
  }
  return EncryptLevel0(out, message, n, s, true);
}

int32_t CSessionCipher::DecryptMessage(uint8_t* out, uint8_t* in, uint32_t* length, int level) {
  if (active == 0) return kCipherFailed;
  if (level != 0) return DecryptSealed(out, in, length, level);
  return DecryptLevel0(out, in, length, false);
}

int32_t CSessionCipher::EncryptLevel0(uint8_t* out, const uint8_t* payload, uint32_t n, int s,
                                      bool chained) {
  if (out == nullptr || (payload == nullptr && n != 0)) return kCipherFailed;
  const size_t pad = static_cast<size_t>(s) - 1;
  const size_t blocks = (size_t{n} + static_cast<size_t>(s)) / kBlock;
  // The payload moves first so that out may be the payload's own buffer.
  if (n != 0) memmove(out + s, payload, n);
  out[0] = static_cast<uint8_t>(pad);
  if (!FillPaddingBytes(out + 1, static_cast<int>(pad))) return kCipherFailed;

  const std::shared_ptr<const Rc5Block> schedule = Schedule(0, true);
  if (!schedule) return kCipherFailed;
  const Rc5Block& rc5 = *schedule;
  if (!chained) {
    rc5.ProcessRun(out, blocks);
    return 0;
  }
  rc5.Process(out);
  for (size_t i = 1; i < blocks; ++i) {
    uint8_t* block = out + i * kBlock;
    for (size_t j = 0; j < kBlock; ++j) block[j] ^= out[j];
    rc5.Process(block);
  }
  return 0;
}

int32_t CSessionCipher::DecryptLevel0(uint8_t* out, uint8_t* in, uint32_t* length, bool chained) {
  if (out == nullptr || in == nullptr || length == nullptr) return kCipherFailed;
  const size_t total = *length;
  if (total == 0 || total % kBlock != 0) return kCipherFailed;

  const std::shared_ptr<const Rc5Block> schedule = Schedule(0, false);
  if (!schedule) return kCipherFailed;
  const Rc5Block& rc5 = *schedule;
  if (chained) {
    uint8_t first[kBlock];
    memcpy(first, in, kBlock);
    rc5.Process(in);
    for (size_t i = 1; i < total / kBlock; ++i) rc5.ProcessThenXor(in + i * kBlock, first);
  } else {
    rc5.ProcessRun(in, total / kBlock);
  }
  const size_t pad = in[0];
  if (pad > kMaxLevel0Pad) return kCipherFailed;
  const size_t rest = total - pad - 1;
  memmove(out, in + pad + 1, rest);
  *length = static_cast<uint32_t>(rest);
  return 0;
}

int32_t CSessionCipher::EncryptSealed(uint8_t* out, const uint8_t* payload, uint32_t n, int s,
                                      int level) {
  const int m = MacLength(level);
  if (m < 0) return kCipherFailed;
  const int64_t pad = int64_t{s} - m - 1;
  const int64_t region = int64_t{n} + pad;
  // A pad count above 31 would not survive the five bits it travels in.
  if (pad < 0 || pad > kSealedPadMask || blockSize == 0 || region % blockSize != 0 ||
      region < 16 || out == nullptr || (payload == nullptr && n != 0)) {
    return kCipherFailed;
  }
  CipherKeyBlock key;
  if (!GetKey(0, key)) return kCipherFailed;

  uint8_t* body = out + 1 + m;
  // The payload moves first so that out may be the payload's own buffer.
  if (n != 0) memmove(body + pad, payload, n);
  ComputeMac(body + pad, n, key, level, out + 1);
  out[0] = static_cast<uint8_t>(kSealedTag + pad);
  if (!FillPaddingBytes(body, static_cast<int>(pad))) return kCipherFailed;

  const std::shared_ptr<const Rc5Block> schedule = Schedule(level, true);
  if (!schedule) return kCipherFailed;
  return EncryptBlocks(body, static_cast<size_t>(region) / kBlock, 0, level, *schedule);
}

int32_t CSessionCipher::DecryptSealed(uint8_t* out, uint8_t* in, uint32_t* length, int level) {
  const int m = MacLength(level);
  if (m < 0 || length == nullptr) return kCipherFailed;
  const int64_t region = int64_t{*length} - m - 1;
  if (region < 0) {
    *length = 0;
    return kCipherFailed;
  }
  *length = static_cast<uint32_t>(region);
  if (blockSize == 0 || region % blockSize != 0 || region < 16 || out == nullptr || in == nullptr) {
    return kCipherFailed;
  }
  if ((in[0] & kSealedTagMask) != kSealedTag) {
    *length = 0;
    return kCipherFailed;
  }
  const int64_t pad = in[0] & kSealedPadMask;
  if (region - pad < 0) return kCipherFailed;
  const size_t plainSize = static_cast<size_t>(region - pad);

  uint8_t code[16];
  memcpy(code, in + 1, static_cast<size_t>(m));
  uint8_t* body = in + 1 + m;
  // A second key would need the bytes as received; the first attempt
  // overwrites them.
  CryptoPP::SecByteBlock received;
  for (int32_t index = 0; index < 2; ++index) {
    CipherKeyBlock key;
    if (!GetKey(index, key)) break;
    if (index == 0 && keyCount > 1) received.Assign(body, static_cast<size_t>(region));
    if (index > 0) memcpy(body, received, received.size());

    int32_t status;
    if (index == 0) {
      const std::shared_ptr<const Rc5Block> schedule = Schedule(level, false);
      if (!schedule) return kCipherFailed;
      status = DecryptBlocks(body, static_cast<size_t>(region) / kBlock, 0, level, *schedule);
    } else {
      CipherKeyBlock packetKey;
      DerivePacketKey(key, packetKey);
      status = DecryptBlocks(body, static_cast<size_t>(region) / kBlock, 0, level, packetKey,
                             RoundsForLevel(level));
    }
    if (status != 0) return status;
    memmove(out, body + pad, plainSize);
    *length = static_cast<uint32_t>(plainSize);
    if (CheckMac(out, plainSize, key, level, code)) return 0;
  }
  return kCipherFailed;
}

int32_t CSessionCipher::CryptBlock(CryptBlockRecord* record) {
  if (record == nullptr) return kCipherNoBlockRecord;
  const uint8_t flags = record->flags;
  if (flags == 0) return kCipherFailed;
  if ((flags & (CryptBlockRecord::kEncrypt | CryptBlockRecord::kDecrypt)) == 0) {
    return kCipherNoBlockRecord;
  }
  const int rounds = RoundsForLevel(record->level);
  if (keyInstalled == 0 || record->length < kBlock || record->data == nullptr || rounds < 0) {
    return kCipherFailed;
  }
  uint8_t* data = record->data;
  const size_t length = record->length;
  const size_t blocks = length / kBlock;
  const size_t tail = length % kBlock;
  const bool variant = (flags & CryptBlockRecord::kBlockKeyVariant) != 0;
  const bool withDigest = (flags & CryptBlockRecord::kWithDigest) != 0;

  if ((flags & CryptBlockRecord::kEncrypt) != 0) {
    CipherKeyBlock key;
    memcpy(key, keys[0], kCipherKeySize);
    if (withDigest) DataDigest(data, length, key, record->digest);
    CipherKeyBlock blockKey;
    DeriveBlockKey(key, variant, blockKey);
    return EncryptBlocks(data, blocks, tail, record->level, blockKey, rounds);
  }

  CryptoPP::SecByteBlock received;
  for (int32_t index = 0; index < keyCount; ++index) {
    CipherKeyBlock key;
    if (!GetKey(index, key)) break;
    if (index == 0 && keyCount > 1) received.Assign(data, length);
    if (index > 0) memcpy(data, received, received.size());

    CipherKeyBlock blockKey;
    DeriveBlockKey(key, variant, blockKey);
    int32_t status = DecryptBlocks(data, blocks, tail, record->level, blockKey, rounds);
    if (status != 0 || !withDigest) return status;
    uint8_t digest[16];
    DataDigest(data, length, key, digest);
    if (CryptoPP::VerifyBufsEqual(digest, record->digest, sizeof digest)) return 0;
  }
  return kCipherFailed;
}
