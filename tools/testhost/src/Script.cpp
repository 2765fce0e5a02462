#include "testhost/Script.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <ostream>
#include <sstream>
#include <thread>

#include "testhost/Datagram.h"

namespace testhost {

namespace {

constexpr size_t kShownPayloadBytes = 64;
constexpr uint64_t kLargestFill = 64u << 20;

bool ParseNumber(const std::string& text, uint64_t max, uint64_t* out) {
  if (text.empty() || text[0] == '-') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = strtoull(text.c_str(), &end, 0);
  if (errno || !end || *end || v > max) return false;
  *out = v;
  return true;
}

bool ParseHex(const std::string& text, std::vector<uint8_t>* out) {
  if (text.size() % 2) return false;
  out->clear();
  for (size_t i = 0; i < text.size(); i += 2) {
    uint64_t b;
    if (!ParseNumber("0x" + text.substr(i, 2), 0xFF, &b)) return false;
    out->push_back(static_cast<uint8_t>(b));
  }
  return true;
}

std::string Hex(const uint8_t* data, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < size; ++i) {
    s += kDigits[data[i] >> 4];
    s += kDigits[data[i] & 15];
  }
  return s;
}

// "key=value" tokens after the command word; positional tokens go to `words`.
bool SplitOptions(std::istringstream& in, std::map<std::string, std::string>* options,
                  std::vector<std::string>* words) {
  std::string token;
  while (in >> token) {
    size_t eq = token.find('=');
    if (eq == std::string::npos) {
      words->push_back(token);
    } else if (!options->emplace(token.substr(0, eq), token.substr(eq + 1)).second) {
      return false;
    }
  }
  return true;
}

class LineParser {
 public:
  LineParser(std::map<std::string, std::string> options, std::string* problem)
      : options_(std::move(options)), problem_(problem) {}

  bool Number(const char* key, uint64_t max, uint64_t* out, bool* given = nullptr) {
    auto it = options_.find(key);
    if (given) *given = it != options_.end();
    if (it == options_.end()) return true;
    std::string value = it->second;
    options_.erase(it);
    if (ParseNumber(value, max, out)) return true;
    *problem_ = std::string("bad value for ") + key;
    return false;
  }

  bool Payload(std::vector<uint8_t>* out) {
    auto hex = options_.find("payload");
    auto fill = options_.find("fill");
    if (hex != options_.end() && fill != options_.end()) {
      *problem_ = "payload and fill together";
      return false;
    }
    if (hex != options_.end()) {
      std::string value = hex->second;
      options_.erase(hex);
      if (ParseHex(value, out)) return true;
      *problem_ = "bad hex payload";
      return false;
    }
    uint64_t n = 0;
    if (!Number("fill", kLargestFill, &n)) return false;
    out->resize(n);
    for (uint64_t i = 0; i < n; ++i) (*out)[i] = static_cast<uint8_t>(i);
    return true;
  }

  bool Text(const char* key, std::string* out) {
    auto it = options_.find(key);
    if (it == options_.end()) return true;
    *out = it->second;
    options_.erase(it);
    return true;
  }

  bool Flag(const char* key, bool* out) {
    uint64_t v = *out ? 1 : 0;
    if (!Number(key, 1, &v)) return false;
    *out = v != 0;
    return true;
  }

  bool Done() {
    if (options_.empty()) return true;
    *problem_ = "unknown option " + options_.begin()->first;
    return false;
  }

 private:
  std::map<std::string, std::string> options_;
  std::string* problem_;
};

bool ParseCommand(const std::string& word, std::istringstream& rest, Command* c, std::string* problem) {
  std::map<std::string, std::string> options;
  std::vector<std::string> words;
  if (!SplitOptions(rest, &options, &words)) {
    *problem = "option given twice";
    return false;
  }
  LineParser p(options, problem);
  uint64_t v = 0;
  auto timeout = [&] {
    v = static_cast<uint64_t>(c->timeoutMs);
    if (!p.Number("timeout", 3600000, &v)) return false;
    c->timeoutMs = static_cast<int>(v);
    return true;
  };

  if (word == "accept") {
    c->kind = Command::kAccept;
    if (!timeout()) return false;
  } else if (word == "send") {
    c->kind = Command::kSend;
    bool slotGiven = false;
    if (!p.Number("slot", 0xFFFF, &v, &slotGiven)) return false;
    if (!slotGiven) {
      *problem = "send needs slot=";
      return false;
    }
    c->header.slot = static_cast<uint16_t>(v);
    v = c->header.kind;
    if (!p.Number("kind", 0xFFFF, &v)) return false;
    c->header.kind = static_cast<uint16_t>(v);
    v = c->header.subKind;
    if (!p.Number("sub", 0xFF, &v)) return false;
    c->header.subKind = static_cast<uint8_t>(v);
    v = c->header.index;
    if (!p.Number("index", 0xFF, &v)) return false;
    c->header.index = static_cast<uint8_t>(v);
    if (!p.Payload(&c->bytes)) return false;
    v = c->bytes.size();
    if (!p.Number("length", 0xFFFFFFFFu, &v, &c->lengthGiven)) return false;
    c->header.length = static_cast<uint32_t>(v);
  } else if (word == "raw") {
    c->kind = Command::kRaw;
    if (words.size() != 1 || !ParseHex(words[0], &c->bytes)) {
      *problem = "raw needs one hex string";
      return false;
    }
    words.clear();
  } else if (word == "recv") {
    c->kind = Command::kRecv;
    v = 1;
    if (!p.Number("count", 1000000, &v)) return false;
    c->count = static_cast<int>(v);
    if (!timeout()) return false;
  } else if (word == "sleep") {
    c->kind = Command::kSleep;
    if (words.size() != 1 || !ParseNumber(words[0], 3600000, &v)) {
      *problem = "sleep needs milliseconds";
      return false;
    }
    c->timeoutMs = static_cast<int>(v);
    words.clear();
  } else if (word == "close") {
    c->kind = Command::kClose;
  } else if (word == "wait-close") {
    c->kind = Command::kWaitClose;
    if (!timeout()) return false;
  } else if (word == "datagram") {
    c->kind = Command::kDatagram;
    in_addr a{};
    if (words.size() != 2 || inet_pton(AF_INET, words[0].c_str(), &a) != 1 ||
        !ParseNumber(words[1], 0xFFFF, &v) || v == 0) {
      *problem = "datagram needs an address and a port";
      return false;
    }
    // The host only ever talks to this machine.
    if ((ntohl(a.s_addr) >> 24) != 127) {
      *problem = "datagram goes to loopback addresses only";
      return false;
    }
    c->address = words[0];
    c->port = static_cast<uint16_t>(v);
    words.clear();
    if (!p.Payload(&c->bytes)) return false;
  } else if (word == "handshake") {
    c->kind = Command::kHandshake;
    HandshakeOptions& h = c->handshake;
    v = static_cast<uint64_t>(h.keyWords);
    if (!p.Flag("encrypted", &h.encrypted) || !p.Number("words", 32, &v)) return false;
    h.keyWords = static_cast<int>(v);
    v = h.version;
    if (!p.Number("version", 0xFFFFFFFFu, &v)) return false;
    h.version = static_cast<uint32_t>(v);
    if (!p.Text("tag", &h.serverTag) || !p.Flag("full", &h.fullReply) || !timeout()) return false;
  } else if (word == "control") {
    c->kind = Command::kControl;
    bool codeGiven = false;
    if (!p.Number("code", 0xFFFFFFFFu, &v, &codeGiven)) return false;
    if (!codeGiven) {
      *problem = "control needs code=";
      return false;
    }
    c->code = static_cast<uint32_t>(v);
    v = c->header.kind;
    if (!p.Number("kind", 0xFFFF, &v)) return false;
    c->header.kind = static_cast<uint16_t>(v);
    if (!p.Flag("seal", &c->seal) || !p.Payload(&c->bytes)) return false;
  } else if (word == "echo") {
    c->kind = Command::kEcho;
    if (!p.Payload(&c->bytes) || !timeout()) return false;
  } else if (word == "record") {
    c->kind = Command::kRecord;
    if (!timeout()) return false;
  } else {
    *problem = "unknown command " + word;
    return false;
  }
  if (!words.empty()) {
    *problem = "unexpected " + words[0];
    return false;
  }
  return p.Done();
}

}  // namespace

std::string DescribeFrame(const Frame& frame) {
  std::ostringstream s;
  const FrameHeader& h = frame.header;
  s << "frame slot=0x" << std::hex << h.slot << std::dec << " kind=" << h.kind << " sub=" << int(h.subKind)
    << " index=0x" << std::hex << int(h.index) << std::dec << " length=" << h.length << " payload="
    << Hex(frame.payload.data(), std::min(frame.payload.size(), kShownPayloadBytes));
  if (frame.payload.size() > kShownPayloadBytes) s << "...";
  return s.str();
}

bool Script::Parse(const std::string& text, std::string* error) {
  commands_.clear();
  std::istringstream lines(text);
  std::string line;
  int number = 0;
  while (std::getline(lines, line)) {
    ++number;
    line = line.substr(0, line.find('#'));
    std::istringstream words(line);
    std::string word;
    if (!(words >> word)) continue;
    Command c;
    c.line = number;
    std::string problem;
    if (!ParseCommand(word, words, &c, &problem)) {
      if (error) *error = "line " + std::to_string(number) + ": " + problem;
      commands_.clear();
      return false;
    }
    commands_.push_back(std::move(c));
  }
  return true;
}

bool Script::Run(Listener& listener, std::ostream& out) {
  std::unique_ptr<FramedPeer> peer;
  // The session over the peer: its keys and its recording (made on first use).
  std::unique_ptr<HostSession> session;
  auto hostSession = [&]() -> HostSession& {
    if (!session) session.reset(new HostSession(peer.get()));
    return *session;
  };
  DatagramPeer datagrams;
  auto fail = [&](const Command& c, const std::string& what) {
    out << "error line " << c.line << ": " << what << std::endl;
    return false;
  };
  for (const Command& c : commands_) {
    if (c.kind != Command::kAccept && c.kind != Command::kSleep && c.kind != Command::kDatagram && !peer)
      return fail(c, "no connection");
    switch (c.kind) {
      case Command::kAccept:
        session.reset();
        peer = listener.Accept(c.timeoutMs);
        if (!peer) return fail(c, "nobody connected");
        out << "accepted" << std::endl;
        break;
      case Command::kSend: {
        FrameHeader h = c.header;
        if (!c.lengthGiven) h.length = static_cast<uint32_t>(c.bytes.size());
        if (!peer->SendFrame(h, c.bytes.data(), c.bytes.size())) return fail(c, "send failed");
        out << "sent slot=0x" << std::hex << h.slot << std::dec << " length=" << h.length << std::endl;
        break;
      }
      case Command::kRaw:
        if (!peer->SendBytes(c.bytes.data(), c.bytes.size())) return fail(c, "send failed");
        out << "sent " << c.bytes.size() << " bytes" << std::endl;
        break;
      case Command::kRecv:
        for (int i = 0; i < c.count; ++i) {
          Frame f;
          ReadResult r = peer->ReadFrame(&f, c.timeoutMs);
          if (r == ReadResult::kClosed) return fail(c, "the client closed");
          if (r != ReadResult::kFrame) return fail(c, "no frame");
          out << DescribeFrame(f) << std::endl;
        }
        break;
      case Command::kSleep:
        std::this_thread::sleep_for(std::chrono::milliseconds(c.timeoutMs));
        break;
      case Command::kClose:
        session.reset();
        peer.reset();
        out << "closed" << std::endl;
        break;
      case Command::kWaitClose: {
        uint64_t bytes = 0;
        if (!peer->WaitClosed(c.timeoutMs, &bytes)) return fail(c, "the client did not close");
        out << "client closed after " << bytes << " bytes" << std::endl;
        session.reset();
        peer.reset();
        break;
      }
      case Command::kDatagram:
        if (datagrams.Port() == 0 && !datagrams.Bind("127.0.0.1", 0)) return fail(c, "no datagram socket");
        if (!datagrams.SendTo(LoopbackAddress(c.address.c_str(), c.port), c.bytes.data(), c.bytes.size()))
          return fail(c, "datagram not sent");
        out << "datagram " << c.bytes.size() << " bytes" << std::endl;
        break;
      case Command::kHandshake: {
        HandshakeReport report;
        const bool done = hostSession().Handshake(c.handshake, &report, c.timeoutMs);
        if (!report.hello.empty()) out << DescribeHello(report) << std::endl;
        if (!done) return fail(c, "handshake: " + report.error);
        out << "handshake done" << std::endl;
        break;
      }
      case Command::kControl:
        if (!hostSession().SendControl(c.code, c.bytes, c.seal, c.header.kind)) return fail(c, "send failed");
        out << "sent control code=" << c.code << " length=" << c.bytes.size() << std::endl;
        break;
      case Command::kEcho: {
        if (!hostSession().SendEcho(c.bytes)) return fail(c, "send failed");
        HostMessage reply;
        for (;;) {
          if (!hostSession().ReadMessage(&reply, c.timeoutMs)) return fail(c, "no echo reply");
          out << DescribeMessage(reply) << std::endl;
          if (reply.code == code::kEchoReply) break;
        }
        break;
      }
      case Command::kRecord: {
        HostMessage m;
        while (hostSession().ReadMessage(&m, c.timeoutMs)) out << DescribeMessage(m) << std::endl;
        out << "record ended" << std::endl;
        break;
      }
    }
  }
  return true;
}

}  // namespace testhost
