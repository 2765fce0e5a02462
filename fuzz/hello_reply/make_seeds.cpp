// Writes the seed corpus of hello_reply_fuzz from real handshakes: a
// session client against the test host over loopback, keeping replies 258
// and 260 as the client received them. The body of an encrypted 260 is
// kept opened (the fuzz target seals it again with its own session key).
//   hello_reply_seeds <corpus dir>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "ClientDoubles.h"
#include "HostRun.h"
#include "testhost/Wire.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kCodeSize = 4;
constexpr int kWaitMs = 10000;

class CapturingClient : public CHtClient {
 public:
  int OnHandshakeMessage(const uint8_t* data, int length, CConnection* connection) override {
    {
      std::lock_guard<std::mutex> hold(mutex);
      replies.emplace_back(data, data + length);
    }
    return CHtClient::OnHandshakeMessage(data, length, connection);
  }
  std::vector<Bytes> Replies() {
    std::lock_guard<std::mutex> hold(mutex);
    return replies;
  }

 private:
  std::mutex mutex;
  std::vector<Bytes> replies;
};

struct Seed {
  const char* name;
  uint8_t setup;  // the fuzz target's setup byte
  testhost::HandshakeOptions options;
};

// Setup byte, 258 behind its u16 length, 260; false when the handshake did
// not get as far as 260.
bool Capture(const Seed& seed, Bytes* out) {
  clienttest::HostRun host;
  host.Serve(seed.options);
  auto* api = new clienttest::FakeSystemApi;
  auto* client = new CapturingClient;
  CClientConnectionParameter params;
  clienttest::PlainParameters(&params, host.Port());
  params.encryptionLevel = (seed.setup & 1) ? 1 : 0;
  if (seed.setup & 8) {
    params.extraDisplayCount = 1;
    params.display2Size.width = 800;
    params.display2Size.height = 600;
  }
  client->Init(api, &params);
  client->Start();
  host.Join();
  // A 260 the client refuses ends the session instead.
  api->WaitForState(5, seed.options.version < 0x06000000 ? 1000 : kWaitMs);
  std::vector<Bytes> replies = client->Replies();
  if (replies.size() == 2 && (seed.setup & 1) && host.session) {
    Bytes& reply = replies[1];
    host.session->Cipher().OpenBlock(reply.data() + kCodeSize, reply.size() - kCodeSize, true,
                                     hello::kSealedLevel, nullptr);
  }
  client->Stop();
  client->ReleaseAllProcessors();
  client->Release();
  api->Stop();
  api->Release();
  if (replies.size() != 2) return false;
  *out = {seed.setup};
  testhost::wire::Append(*out, replies[0].size(), 2);
  out->insert(out->end(), replies[0].begin(), replies[0].end());
  out->insert(out->end(), replies[1].begin(), replies[1].end());
  return true;
}

testhost::HandshakeOptions Options(bool encrypted, bool full, const char* tag = "UTMASRV",
                                   uint32_t version = 0x07000001) {
  testhost::HandshakeOptions o;
  o.encrypted = encrypted;
  o.keyWords = 8;
  o.fullReply = full;
  o.serverTag = tag;
  o.version = version;
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: hello_reply_seeds <corpus dir>\n");
    return 2;
  }
  const std::string dir = argv[1];
  const Seed seeds[] = {
      {"plain-full", 0, Options(false, true)},
      {"plain-short-lnx", 0, Options(false, false, "LNXSRV", 0x03010501)},
      {"plain-utm-too-old", 0, Options(false, false, "UTMASRV", 0x06010404)},
      {"plain-dual", 8, Options(false, true)},
      {"encrypted-full", 1, Options(true, true)},
      {"encrypted-short", 1, Options(true, false)},
      {"encrypted-dual", 1 | 8, Options(true, true)},
      {"encrypted-replay", 1 | 16, Options(true, true)},
  };
  int failed = 0;
  for (const Seed& seed : seeds) {
    Bytes input;
    if (!Capture(seed, &input)) {
      std::fprintf(stderr, "%s: the handshake did not reach reply 260\n", seed.name);
      ++failed;
      continue;
    }
    std::ofstream(dir + "/" + seed.name, std::ios::binary)
        .write(reinterpret_cast<const char*>(input.data()), std::streamsize(input.size()));
  }
  return failed ? 1 : 0;
}
