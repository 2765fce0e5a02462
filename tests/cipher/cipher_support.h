// Shared helpers of the cipher tests: hex, reproducible bytes, a scripted
// random source, the independent reference model and a cipher brought to the
// active state with known key material.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cryptlib/cryptdata.h"

typedef std::vector<uint8_t> Bytes;

std::string Hex(const uint8_t* data, size_t n);
inline std::string Hex(const Bytes& b) { return Hex(b.data(), b.size()); }
Bytes FromHex(const std::string& hex);

// n reproducible bytes; different seeds give different sequences.
Bytes Pattern(size_t n, uint32_t seed);

// While alive, FillRandomBytes hands out the queued bytes in order and fails
// once they run out.
class ScriptedRandom {
 public:
  ScriptedRandom();
  ~ScriptedRandom();
  void Queue(const Bytes& bytes);
  size_t Pending() const;

  ScriptedRandom(const ScriptedRandom&) = delete;
  ScriptedRandom& operator=(const ScriptedRandom&) = delete;

 private:
  RandomSource previous_;
};

// Runs the Python reference once over all requests; one answer line each.
std::vector<std::string> AskReference(const std::vector<std::string>& requests);
// The blank-separated hex fields of one answer.
std::vector<Bytes> Fields(const std::string& answer);

// Everything a session's cipher state is made from.
struct KeyMaterial {
  ExchangeRecord local;         // after MakeExchangeValue
  RemoteExchangeRecord remote;
  Bytes sessionKey;             // 16 bytes

  std::string LocalHex() const { return Hex(local.bytes, sizeof local.bytes); }
  std::string RemoteHex() const { return Hex(remote.bytes, sizeof remote.bytes); }
};
KeyMaterial MakeKeyMaterial(uint32_t seed);
// Runs the handshake steps on the cipher: exchange value and local half,
// session key (scripted, not wrapped), remote half.
void Activate(CSessionCipher* cipher, KeyMaterial* material);

// The server's side of level 0, which pairs with the client's crosswise:
// it decrypts block by block what the client sends on a slot and chains what
// it sends back; for control messages the other way round.
class Level0Server {
 public:
  explicit Level0Server(const Bytes& sessionKey);
  Bytes Encrypt(const Bytes& pad, const Bytes& payload, bool chained) const;
  // The payload, or nothing with ok = false for a bad pad count.
  Bytes Decrypt(Bytes data, bool chained, bool* ok) const;

 private:
  uint8_t key_[16];
};
