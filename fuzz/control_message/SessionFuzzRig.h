// What the session fuzz targets share: a session client that is never
// connected and whose sends only have their bytes read, with the session
// tests' recording system API; one fixed session key, so that a host
// cipher made once can seal what any client of the process opens; the
// reader of length-prefixed messages; and a debug log that keeps quiet.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ClientDoubles.h"
#include "cryptlib/cryptdata.h"
#include "pelplat/debugout.h"
#include "session/HtClient.h"
#include "testhost/HostCipher.h"

namespace fuzzrig {

inline volatile uint8_t g_readSink;

// Reads every byte, so that the sanitizers see a send of bytes that are
// not there. A copy checks its whole range at once.
inline void ReadAll(const void* data, size_t n) {
  static uint8_t scratch[4096];
  const uint8_t* p = static_cast<const uint8_t*>(data);
  for (size_t at = 0; at < n; at += sizeof scratch) {
    const size_t part = std::min(n - at, sizeof scratch);
    memcpy(scratch, p + at, part);
    g_readSink = scratch[part - 1];
  }
}

// A line for every rejected input would slow the run many times over.
inline void QuietLog() {
  static const bool once = (SetDebugOutputSink([](const std::string&) {}), true);
  (void)once;
}

// Stands in for the random source: every session key of the process is
// the same one.
inline bool PatternBytes(uint8_t* out, size_t n) {
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(0xA5 ^ (i * 29));
  return true;
}

// The host's side of that key: a key pair of its own, and the session key
// unwrapped from a client's wrap of it.
inline testhost::HostCipher& FixedKeyHost() {
  static testhost::HostCipher* host = [] {
    SetRandomSource(PatternBytes);
    auto* h = new testhost::HostCipher;
    const std::vector<uint8_t> record = h->GenerateKeyPair(8, 17) ? h->PublicKeyRecord() : std::vector<uint8_t>();
    PublicKeyRecord key;
    if (record.size() != sizeof key.bytes) abort();
    memcpy(key.bytes, record.data(), sizeof key.bytes);
    CSessionCipher client;
    uint8_t wrapped[32];
    if (client.WrapRandomKey(&key, wrapped, 1) != 0 || !h->UnwrapSessionKey(wrapped, sizeof wrapped)) abort();
    return h;
  }();
  return *host;
}

// A session client without a connection: sends are read and reported
// sent, the handshake's steps and the session's cipher are set directly.
class OfflineClient : public CHtClient {
 public:
  int SendOnSlot(uint16_t, const void* data, uint32_t length) override {
    ReadAll(data, length);
    return static_cast<int>(length);
  }
  int SendControl(uint16_t, const void* data, uint32_t length) override {
    ReadAll(data, length);
    return static_cast<int>(length);
  }

  void SetRunning() { sessionState.store(kRunning); }
  void SetReplay(bool on) { replay = on ? 1 : 0; }
  // The cipher of a session past its handshake, with the fixed key.
  void InstallActiveCipher() {
    FixedKeyHost();
    delete cipher;
    cipher = new CSessionCipher;
    cipher->WrapRandomKey(nullptr, nullptr, 0);
    ExchangeRecord local;
    MakeExchangeValue(&local);
    cipher->SetLocalHalf(&local);
    RemoteExchangeRecord remote;
    cipher->SetRemoteHalf(&remote);
  }
};

// The client, its system API and its parameters (a plain session on this
// machine until the caller changes them before Init), released in the
// order the program releases them.
class OfflineSession {
 public:
  OfflineSession() : api(new clienttest::FakeSystemApi), client(new OfflineClient) {
    clienttest::PlainParameters(&params, 1);
  }
  ~OfflineSession() {
    client->ReleaseAllProcessors();
    client->Release();
    // The system API holds the client's last reference.
    api->Stop();
    api->Release();
  }
  int Init() { return client->Init(api, &params); }
  // As the connection hands a control message over.
  int Deliver(std::vector<uint8_t>& message) {
    return client->OnControlMessage(message.data(), static_cast<int>(message.size()), nullptr);
  }

  OfflineSession(const OfflineSession&) = delete;
  OfflineSession& operator=(const OfflineSession&) = delete;

  clienttest::FakeSystemApi* api;
  CClientConnectionParameter params;
  OfflineClient* client;
};

// The next message of an input: its u16 length, then that many bytes (the
// last message takes what is left), in a buffer of its own size so that a
// read beyond it shows.
inline std::vector<uint8_t> NextMessage(const uint8_t* data, size_t size, size_t* at) {
  size_t length = size - *at;
  if (length >= 2) {
    const size_t stated = data[*at] | size_t(data[*at + 1]) << 8;
    *at += 2;
    length = std::min(stated, size - *at);
  }
  std::vector<uint8_t> message(data + *at, data + *at + length);
  *at += length;
  return message;
}

}  // namespace fuzzrig
