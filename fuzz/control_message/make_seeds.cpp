// Writes the seed corpus of control_message_fuzz: control messages as the
// test host sends them (code and body; tunnel calls and remote I/O answers
// from the host's own encoders), grouped by the session they arrive in.
//   control_message_seeds <corpus dir>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "testhost/HostSession.h"
#include "testhost/RemoteIoServer.h"
#include "testhost/Tunnel.h"
#include "testhost/Wire.h"

namespace {

using Bytes = std::vector<uint8_t>;
using testhost::wire::Append;
using testhost::wire::AppendText;
using testhost::wire::AppendWide;
namespace code = testhost::code;

// The setup byte's session kinds.
constexpr uint8_t kPlain = 0, kSealedByHost = 1, kEncryptedAsIs = 2, kReplay = 3;

void Write(const std::string& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

Bytes Message(uint32_t c, const Bytes& body) {
  Bytes m;
  Append(m, c, 4);
  m.insert(m.end(), body.begin(), body.end());
  return m;
}

// Setup byte, then each message behind its u16 length.
Bytes Input(uint8_t setup, const std::vector<Bytes>& messages) {
  Bytes out{setup};
  for (const Bytes& m : messages) {
    Append(out, m.size(), 2);
    out.insert(out.end(), m.begin(), m.end());
  }
  return out;
}

Bytes Query(uint32_t id, uint32_t type, uint32_t context) {
  Bytes q;
  Append(q, id, 4);
  Append(q, type, 4);
  Append(q, 0, 8);
  Append(q, context, 4);
  return q;
}

Bytes PlainQuery(uint32_t type) {
  Bytes q;
  Append(q, 0x11, 4);
  Append(q, 0x22, 4);
  Append(q, type, 4);
  Append(q, 0, 4);
  Append(q, 0x33, 4);
  Append(q, 0x44, 4);
  return q;
}

Bytes Event(uint32_t eventCode, const std::u16string& failureText) {
  Bytes e;
  Append(e, 0, 4);
  Append(e, eventCode, 4);
  if (!failureText.empty()) {
    e.resize(1052, 0);
    AppendWide(e, failureText, failureText.size() + 1);
  }
  return e;
}

Bytes SystemMessage(const std::string& title, const std::string& text) {
  Bytes r(16, 0);
  AppendText(r, title, 128);
  AppendText(r, text, 512);
  return r;
}

Bytes Call(const std::string& object, const std::string& method, const Bytes& payload) {
  testhost::TunnelCall call;
  call.object = object;
  call.method = method;
  call.sequence = 41;
  call.payload = payload;
  return call.EncodeMessage();
}

Bytes EncryptedCall(const std::string& object, const std::string& method, const Bytes& payload) {
  testhost::TunnelCall call;
  call.object = object;
  call.method = method;
  call.payload = payload;
  return Message(code::kEncryptedTunnelFrame, call.EncodeFrame());
}

Bytes OpenPlayerPayload(const std::u16string& path) {
  Bytes p;
  AppendWide(p, path, testhost::RemoteIoServer::kPathChars);
  Append(p, 0, 8);
  return p;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: control_message_seeds <corpus dir>\n");
    return 2;
  }
  const std::string dir = argv[1];
  using RIO = testhost::RemoteIoServer;

  Bytes clipboard;
  AppendWide(clipboard, u"copied text", 12);
  Write(dir + "/plain-texts",
        Input(kPlain, {Message(code::kEchoRequest, {1, 2, 3, 4, 5, 6, 7, 8}),
                       Message(code::kServerText, {'M', 'a', 'i', 'n', 't', 'e', 'n', 'a', 'n', 'c', 'e', 0}),
                       Message(code::kClipboardText, clipboard),
                       Message(code::kSystemMessage, SystemMessage("Server", "Going down in 5 minutes")),
                       Message(999, {0, 0, 0, 0}), Bytes{1, 2}}));
  Write(dir + "/plain-query", Input(kPlain, {Message(code::kPlainQuery, PlainQuery(1)),
                                             Message(code::kPlainQuery, PlainQuery(7)),
                                             Message(code::kReply258, {})}));

  std::vector<Bytes> queries;
  for (uint32_t type : {1u, 2u, 5u, 256u, 259u, 260u, 261u, 263u, 265u, 266u, 769u, 999u})
    queries.push_back(Message(code::kQuery, Query(type + 100, type, 7)));
  queries.push_back(Message(code::kQuery, {1, 0, 0, 0, 1, 0, 0, 0}));
  Write(dir + "/sealed-queries", Input(kSealedByHost, queries));
  Write(dir + "/sealed-events",
        Input(kSealedByHost, {Message(code::kEvent, Event(0x60000, u"Licence check failed")),
                              Message(code::kEvent, Event(2, u"")), Message(code::kEvent, {0, 0, 0}),
                              Message(code::kQueryReply, Query(1, 1, 0)), Message(274, {9, 9, 9, 9})}));

  Write(dir + "/sealed-tunnel",
        Input(kSealedByHost,
              {Call(".vrstd", "ping", {}), Call(".tovix", "post", {'{', '"', 'a', '"', ':', '1', '}'}),
               Call(".micro_io", "status", RIO::EncodeAnswer(13, 4, 4, 0, 0, RIO::kRead, {'d', 'a', 't', 'a'})),
               Call(".vazi_player", ".open", OpenPlayerPayload(u"/srv/media/clip.ts")),
               Call(".nobody", "m", {1}), EncryptedCall(".vrstd", "trace", {'t', 'r', 'a', 'c', 'e'})}));
  testhost::TunnelCall bad;
  bad.object = ".vrstd";
  bad.method = "ping";
  bad.payload = {1, 2, 3};
  Write(dir + "/sealed-tunnel-bad-length",
        Input(kSealedByHost, {Message(code::kTunnelFrame, bad.EncodeFrame(9)), Message(code::kTunnelFrame, {})}));

  Bytes keyBlock(2644);
  for (size_t i = 0; i < keyBlock.size(); ++i) keyBlock[i] = uint8_t(i * 13);
  Write(dir + "/encrypted-as-is", Input(kEncryptedAsIs, {Message(code::kKeyBlock, keyBlock),
                                                         Message(code::kQuery, Bytes(24, 0x5C)),
                                                         Message(code::kEncryptedTunnelFrame, Bytes(64, 0x33))}));
  Write(dir + "/replay-queries",
        Input(kReplay, {Message(code::kQuery, Query(1, 1, 0)), Message(code::kQuery, Query(2, 263, 0)),
                        Message(code::kQuery, Query(3, 266, 0)), Message(code::kQuery, Query(4, 769, 0)),
                        Message(code::kEvent, Event(0x60000, u"stop")),
                        EncryptedCall(".micro_io", "status", RIO::EncodeAnswer(14, 0, 7, 0, 0, RIO::kOpen, {}))}));
  // No clipboard in this session.
  Write(dir + "/plain-no-clipboard", Input(kPlain | 4, {Message(code::kClipboardText, clipboard)}));
  return 0;
}
