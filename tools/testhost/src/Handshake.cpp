// The host's part of the handshake: 257 (or the 28-byte announcement) in,
// 258 out, 259 in (opened and checked in an encrypted session), 260 out.
// Offsets are written here from the record layouts, independently of the
// client's writer.
#include <sys/socket.h>

#include <array>
#include <cstring>
#include <sstream>

#include "testhost/HostSession.h"
#include "testhost/Wire.h"

namespace testhost {

namespace {

constexpr size_t kCode = 4;
constexpr size_t kHelloSize = 2644;
constexpr size_t kShortHelloSize = 1540;
constexpr size_t kAnnouncementSize = 28;
constexpr size_t kEncrypted258Size = 160;
constexpr size_t kPlainReplySize = 492;
constexpr size_t kFullReplySize = 2032;
constexpr int kBlockLevel = 3;

// Hello fields the host reads.
constexpr size_t kFlags = 0x008;
constexpr size_t kCarried = 0x00C;
constexpr size_t kSlotCount = 0x016;
constexpr size_t kSlotTable = 0x018;
constexpr size_t kLogon = 0x158;
constexpr size_t kWidth = 0x1D8;
constexpr size_t kDepth = 0x1E0;
constexpr size_t kDisplayBlock = 0x1E4;
constexpr size_t kAudioBlock = 0x500;
constexpr size_t kKeyBits = 0x508;
constexpr size_t kKeyHead = 0x50C;
constexpr size_t kKeyTail = 0x51C;
constexpr size_t kKeyDigest = 0x520;
constexpr size_t kKeyRest = 0x3C8;
constexpr size_t kConstants = 0x580;
constexpr size_t kExchange = 0x588;
constexpr size_t kProgramPath = 0x80C;

constexpr uint32_t kDisplayMagic = 0x9034AA12;
constexpr uint32_t kAudioMagic = 0x8024A912;
constexpr uint32_t kConstantMagic = 0x7014A812;

struct Region {
  size_t offset;
  size_t size;
};
constexpr Region kSealed[] = {{0x016, 946}, {0x434, 212}, {0x530, 212}, {0x604, 1040}};

// Reply body fields.
constexpr size_t kReplyFlags = 0x08;
constexpr size_t kReplyVersionHigh = 0x0A;
constexpr size_t kReplyVersionLow = 0x0C;
constexpr size_t kReplyWord = 0x0E;
constexpr size_t kReplySlotCount = 0x18;
constexpr size_t kReplyEntries = 0x1A;
constexpr size_t kReplyExchange = 0x15A;
constexpr size_t kReplyDisplayBlock = 0x1E8;
constexpr size_t kReplyAlign = 0x634;
constexpr uint16_t kReplyWordValue = 0x5A3C;

void Put(std::vector<uint8_t>& out, size_t offset, uint64_t value, int bytes) {
  for (int i = 0; i < bytes && offset + i < out.size(); ++i) out[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

void PutBytes(std::vector<uint8_t>& out, size_t offset, const uint8_t* data, size_t n) {
  for (size_t i = 0; i < n && offset + i < out.size(); ++i) out[offset + i] = data[i];
}

std::vector<uint8_t> Slice(const std::vector<uint8_t>& in, size_t offset, size_t n) {
  std::vector<uint8_t> out(n, 0);
  for (size_t i = 0; i < n && offset + i < in.size(); ++i) out[i] = in[offset + i];
  return out;
}

// The 8-byte tag: seven characters, blank-padded, and the terminator.
std::array<uint8_t, 8> TagBytes(const std::string& tag) {
  std::array<uint8_t, 8> bytes{};
  for (size_t i = 0; i < 7; ++i) bytes[i] = static_cast<uint8_t>(i < tag.size() ? tag[i] : ' ');
  return bytes;
}

size_t SealedCount(uint16_t flags) { return (flags & 2) ? 4 : 3; }


}  // namespace

HostSession::HostSession(FramedPeer* peer) : peer_(peer) {}

HostSession::~HostSession() { Stop(); }

uint16_t HostSession::SlotFlags(uint16_t slot) const { return slot < slotFlags_.size() ? slotFlags_[slot] : 0; }

bool HostSession::ReadControl(uint32_t expected, Frame* frame, int timeoutMs, HandshakeReport* report) {
  const ReadResult r = peer_->ReadFrame(frame, timeoutMs);
  if (r != ReadResult::kFrame) {
    report->error = r == ReadResult::kClosed ? "the client closed" : "no message";
    return false;
  }
  Frame copy = *frame;
  Record(std::move(copy));
  if (frame->header.slot != FrameHeader::kControlSlot ||
      wire::Read(frame->payload, 0, 4) != expected) {
    report->error = "expected control message " + std::to_string(expected);
    return false;
  }
  return true;
}

bool HostSession::Handshake(const HandshakeOptions& options, HandshakeReport* report, int timeoutMs) {
  encrypted_ = options.encrypted;
  auto hangUp = [&](CloseAt step) {
    if (options.silentAt == step) {
      char sink[4096];
      while (WaitReadable(peer_->Fd(), timeoutMs) && recv(peer_->Fd(), sink, sizeof sink, 0) > 0) {
      }
      report->error = "silent as asked";
      return true;
    }
    if (options.closeAt != step) return false;
    peer_->Close();
    report->error = "closed as asked";
    return true;
  };
  // The hello is on its way before the host hangs up unread.
  if (options.closeAt == CloseAt::kBeforeHello && options.silentAt != CloseAt::kBeforeHello)
    WaitReadable(peer_->Fd(), timeoutMs);
  if (hangUp(CloseAt::kBeforeHello)) return true;

  Frame frame;
  if (!ReadControl(code::kHello, &frame, timeoutMs, report)) return false;
  report->first = frame.payload;
  if (options.followClient) encrypted_ = frame.payload.size() == kAnnouncementSize;
  if (encrypted_ ? frame.payload.size() != kAnnouncementSize
                 : frame.payload.size() != kCode + kShortHelloSize && frame.payload.size() != kCode + kHelloSize) {
    report->error = "message 257 of " + std::to_string(frame.payload.size()) + " bytes";
    return false;
  }
  if (!encrypted_) report->hello.assign(frame.payload.begin() + kCode, frame.payload.end());
  if (hangUp(CloseAt::kAfterHello)) return true;

  // 258: the plain reply carries the slot count at message offset 28, the
  // encrypted one the host's public key there.
  std::vector<uint8_t> first(frame.payload.begin() + kCode, frame.payload.end());
  std::vector<uint8_t> reply258;
  if (encrypted_) {
    if (!cipher_.GenerateKeyPair(options.keyWords, options.exponent)) {
      report->error = "no key pair";
      return false;
    }
    reply258.assign(kEncrypted258Size - kCode, 0);
    PutBytes(reply258, 0, TagBytes(options.serverTag).data(), 8);
    Put(reply258, kReplyVersionHigh, options.version >> 16, 2);
    Put(reply258, kReplyVersionLow, options.version & 0xFFFF, 2);
    const std::vector<uint8_t> key = cipher_.PublicKeyRecord();
    PutBytes(reply258, 24, key.data(), key.size());
  } else {
    reply258 = ReplyBody(options, *report, kPlainReplySize - kCode, 0);
  }
  if (options.reply258Size) reply258.resize(options.reply258Size - kCode);
  if (!SendControl(code::kReply258, reply258)) {
    report->error = "258 not sent";
    return false;
  }
  if (hangUp(CloseAt::kAfter258)) return true;

  if (!ReadControl(code::kHelloAgain, &frame, timeoutMs, report)) return false;
  report->second = frame.payload;
  if (frame.payload.size() != kCode + kShortHelloSize && frame.payload.size() != kCode + kHelloSize) {
    report->error = "message 259 of " + std::to_string(frame.payload.size()) + " bytes";
    return false;
  }
  report->hello.assign(frame.payload.begin() + kCode, frame.payload.end());
  report->hello.resize(kHelloSize, 0);
  helloFlags_ = static_cast<uint16_t>(wire::Read(report->hello, kFlags, 2));
  if (encrypted_ && !OpenHello(options, report)) return false;
  if (!encrypted_) report->regionsMatch = options.expectedHello.empty() ||
                                          Slice(report->hello, 0, kHelloSize) == Slice(options.expectedHello, 0, kHelloSize);

  const uint16_t count = static_cast<uint16_t>(wire::Read(report->hello, kSlotCount, 2));
  for (uint16_t i = 0; i < count && i < 20; ++i) {
    const size_t at = kSlotTable + 16u * i;
    HostSlot slot;
    slot.name = wire::ReadText(report->hello, at, 8);
    slot.a = static_cast<uint16_t>(wire::Read(report->hello, at + 10, 2));
    slot.b = static_cast<uint16_t>(wire::Read(report->hello, at + 12, 2));
    slot.flags = static_cast<uint16_t>(wire::Read(report->hello, at + 14, 2));
    for (const auto& e : options.entryFlags)
      if (e.first == i) slot.flags = e.second;
    report->slotTable.push_back(slot);
  }
  if (hangUp(CloseAt::kAfter259)) return true;

  std::vector<uint8_t> body =
      ReplyBody(options, *report, (options.fullReply ? kFullReplySize : kPlainReplySize) - kCode,
                options.slotCountDelta);
  if (encrypted_ && !cipher_.SealBlock(body.data(), body.size(), (helloFlags_ & 8) != 0, kBlockLevel, nullptr)) {
    report->error = "260 not sealed";
    return false;
  }
  if (!SendControl(code::kReply260, body)) {
    report->error = "260 not sent";
    return false;
  }
  slotFlags_.clear();
  for (const HostSlot& s : report->slotTable) slotFlags_.push_back(s.flags);
  if (hangUp(CloseAt::kAfter260)) return true;
  if (options.stopReading) StopReading();
  return true;
}

bool HostSession::OpenHello(const HandshakeOptions& options, HandshakeReport* report) {
  std::vector<uint8_t>& h = report->hello;
  const uint32_t bits = static_cast<uint32_t>(wire::Read(h, kKeyBits, 4));
  if (bits != static_cast<uint32_t>(cipher_.Words()) * 32) {
    report->error = "259 names a key of " + std::to_string(bits) + " bits";
    return false;
  }
  std::vector<uint8_t> wrapped = Slice(h, kKeyHead, 16);
  const std::vector<uint8_t> tail = Slice(h, kKeyTail, 4);
  const std::vector<uint8_t> rest = Slice(h, kKeyRest, 108);
  wrapped.insert(wrapped.end(), tail.begin(), tail.end());
  wrapped.insert(wrapped.end(), rest.begin(), rest.end());
  wrapped.resize(bits / 8);
  report->keyUnwrapped = cipher_.UnwrapSessionKey(wrapped.data(), wrapped.size());
  if (!report->keyUnwrapped) {
    report->error = "the session key does not unwrap";
    return false;
  }

  std::vector<uint8_t> gathered;
  const size_t regions = SealedCount(helloFlags_);
  for (size_t i = 0; i < regions; ++i) {
    const std::vector<uint8_t> part = Slice(h, kSealed[i].offset, kSealed[i].size);
    gathered.insert(gathered.end(), part.begin(), part.end());
  }
  const std::vector<uint8_t> digest = Slice(h, kKeyDigest, 16);
  report->digestOk =
      cipher_.OpenBlock(gathered.data(), gathered.size(), (helloFlags_ & 8) != 0, kBlockLevel, digest.data());
  size_t at = 0;
  for (size_t i = 0; i < regions; ++i) {
    PutBytes(h, kSealed[i].offset, gathered.data() + at, kSealed[i].size);
    at += kSealed[i].size;
  }
  const bool sane = wire::Read(h, kDisplayBlock, 4) == kDisplayMagic && wire::Read(h, kAudioBlock, 4) == kAudioMagic &&
                    wire::Read(h, kConstants, 4) == kConstantMagic;
  if (!report->digestOk || !sane) {
    report->error = "the hello's sealed regions do not open";
    return false;
  }

  const std::vector<uint8_t> value = Slice(h, kExchange, 16);
  const std::vector<uint8_t> block = Slice(h, kLogon, 128);
  report->exchangeOk = cipher_.TakeClientExchange(value.data(), static_cast<uint16_t>(wire::Read(h, kCarried, 2)),
                                                  block.data(), static_cast<uint32_t>(wire::Read(h, kDepth, 4)));
  if (!report->exchangeOk) {
    report->error = "the hello's exchange value does not check";
    return false;
  }

  report->regionsMatch = true;
  if (!options.expectedHello.empty()) {
    for (size_t i = 0; i < regions; ++i) {
      if (Slice(h, kSealed[i].offset, kSealed[i].size) !=
          Slice(options.expectedHello, kSealed[i].offset, kSealed[i].size))
        report->regionsMatch = false;
    }
  }
  return true;
}

std::vector<uint8_t> HostSession::ReplyBody(const HandshakeOptions& options, const HandshakeReport& report,
                                            size_t size, int countDelta) {
  std::vector<uint8_t> body(size, 0);
  const std::array<uint8_t, 8> tag = TagBytes(options.serverTag);
  PutBytes(body, 0, tag.data(), tag.size());
  Put(body, kReplyVersionHigh, options.version >> 16, 2);
  Put(body, kReplyVersionLow, options.version & 0xFFFF, 2);
  Put(body, kReplyWord, kReplyWordValue, 2);
  const int count = static_cast<int>(wire::Read(report.hello, kSlotCount, 2));
  Put(body, kReplySlotCount, static_cast<uint16_t>(count + countDelta), 2);
  for (size_t i = 0; i < report.slotTable.size(); ++i) {
    std::vector<uint8_t> entry;
    wire::AppendText(entry, report.slotTable[i].name, 8);
    wire::Append(entry, 1, 2);
    wire::Append(entry, report.slotTable[i].a, 2);
    wire::Append(entry, report.slotTable[i].b, 2);
    wire::Append(entry, report.slotTable[i].flags, 2);
    PutBytes(body, kReplyEntries + 16 * i, entry.data(), entry.size());
  }
  if (encrypted_) {
    uint8_t value[16];
    cipher_.MakeHostExchange(tag.data(), kReplyWordValue, value);
    body[kReplyFlags] = 1;
    PutBytes(body, kReplyExchange, value, sizeof value);
  }
  if (size > kReplyAlign) {
    std::vector<uint8_t> display = options.displayBlock;
    if (display.empty()) {
      for (size_t i = 0; i < kReplyAlign - kReplyDisplayBlock; ++i) display.push_back(static_cast<uint8_t>(i * 7));
    }
    PutBytes(body, kReplyDisplayBlock, display.data(), std::min(display.size(), kReplyAlign - kReplyDisplayBlock));
    Put(body, kReplyAlign, options.alignWord, 4);
  }
  return body;
}

std::string DescribeHello(const HandshakeReport& report) {
  std::ostringstream s;
  const std::vector<uint8_t>& h = report.hello;
  s << "hello tag=" << wire::ReadText(h, 0, 8) << " flags=" << wire::Read(h, kFlags, 2)
    << " size=" << (report.second.empty() ? 0 : report.second.size() - kCode) << " width=" << wire::Read(h, kWidth, 4)
    << " height=" << wire::Read(h, kWidth + 4, 4) << " depth=" << wire::Read(h, kDepth, 4);
  for (size_t i = 0; i < report.slotTable.size(); ++i)
    s << "\nslot " << i << " name=\"" << report.slotTable[i].name << "\" flags=0x" << std::hex << report.slotTable[i].flags
      << std::dec;
  const std::u16string program = wire::ReadWide(h, kProgramPath, 260);
  if (!program.empty()) {
    s << "\nprogram ";
    for (char16_t c : program) s << (c < 0x80 ? static_cast<char>(c) : '?');
  }
  if (!report.first.empty() && report.first.size() == kAnnouncementSize)
    s << "\nencrypted key=" << (report.keyUnwrapped ? "unwrapped" : "no") << " digest=" << (report.digestOk ? "ok" : "bad")
      << " exchange=" << (report.exchangeOk ? "ok" : "bad");
  return s.str();
}

}  // namespace testhost
