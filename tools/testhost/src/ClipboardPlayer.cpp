#include "testhost/ClipboardPlayer.h"

#include <QString>

namespace testhost {

namespace {

using Bytes = std::vector<uint8_t>;

constexpr char kChannelSlotName[] = "MSVCEXT ";
constexpr uint32_t kServerGroups = 0x17F;
constexpr uint32_t kGeneralFlags = 0x0E;
constexpr uint32_t kUnicodeText = 13;
constexpr int kStepMs = 30000;
constexpr int kPollMs = 200;

// UTF-16LE up to its terminator, as UTF-8 on one line.
std::string PrintableText(const Bytes& utf16) {
  std::u16string text;
  for (size_t i = 0; i + 1 < utf16.size(); i += 2) {
    const char16_t c = char16_t(utf16[i] | utf16[i + 1] << 8);
    if (c == 0) break;
    text += c;
  }
  QString line = QString::fromStdU16String(text);
  line.replace(QLatin1Char('\n'), QLatin1String("\\n")).replace(QLatin1Char('\r'), QLatin1String("\\r"));
  return line.toStdString();
}

}  // namespace

ClipboardPlayer::~ClipboardPlayer() {
  stopping_.store(true);
  if (thread_.joinable()) thread_.join();
}

bool ClipboardPlayer::Start(HostSession& session, const HandshakeReport& report, const std::string& text,
                            std::ostream& out) {
  int slot = -1;
  for (size_t i = 0; i < report.slotTable.size(); ++i)
    if (report.slotTable[i].name == kChannelSlotName) slot = int(i);
  if (slot < 0) {
    out << "the client announced no channel slot" << std::endl;
    return false;
  }
  const uint16_t id = uint16_t(slot);
  server_ = std::make_unique<cliprdr::ClipboardServer>(
      [&session, id](const Bytes& payload) { return session.SendSlot(id, payload); },
      [&session, id] {
        std::vector<Bytes> payloads;
        for (const HostMessage& m : session.Messages())
          if (m.header.slot == id && m.code == 0) payloads.push_back(m.body);
        return payloads;
      });
  channels::CapabilityReply reply;
  bool accepted = false;
  if (!server_->Exchange(kServerGroups, &reply, kStepMs) || !(reply.enabledGroups & 0x70) ||
      !server_->Open(kGeneralFlags, kStepMs) || !server_->Offer({{kUnicodeText, u""}}, &accepted, kStepMs) ||
      !accepted) {
    out << "the client did not take the clipboard offer" << std::endl;
    return false;
  }
  const std::u16string wide = QString::fromStdString(text).toStdU16String();
  Bytes bytes;
  for (char16_t c : wide) wire::Append(bytes, c, 2);
  wire::Append(bytes, 0, 2);
  out << "clipboard offered " << bytes.size() << " bytes on slot " << slot << std::endl;
  thread_ = std::thread([this, &session, bytes, &out] { Serve(session, bytes, out); });
  return true;
}

void ClipboardPlayer::Serve(HostSession& session, const Bytes& offered, std::ostream& out) {
  // Other threads print too: each line goes out in one piece.
  auto print = [&out](const std::string& line) { out << (line + "\n") << std::flush; };
  size_t controlSeen = 0;
  while (!stopping_.load()) {
    const std::vector<HostMessage> messages = session.Messages();
    for (; controlSeen < messages.size(); ++controlSeen) {
      const HostMessage& m = messages[controlSeen];
      if (m.header.slot == FrameHeader::kControlSlot && m.code == code::kClipboardText)
        print("clipboard text: " + PrintableText(m.body));
    }
    cliprdr::ParsedPdu pdu;
    if (!server_->NextAny(&pdu, kPollMs)) continue;
    if (pdu.type == cliprdr::kFormatDataRequest && pdu.data.size() == 4) {
      const auto format = uint32_t(wire::Read(pdu.data, 0, 4));
      const bool known = format == kUnicodeText;
      server_->SendPdu(cliprdr::FormatDataResponse(known, known ? offered : Bytes{}));
      print("clipboard request " + std::to_string(format) + (known ? " answered" : " refused"));
    } else if (pdu.type == cliprdr::kFormatList && server_->TakeClientList(pdu)) {
      std::string list;
      bool text = false;
      for (const cliprdr::Format& f : server_->ClientFormats()) {
        list += (list.empty() ? "" : ", ") + std::to_string(f.id);
        if (!f.name.empty()) list += " \"" + QString::fromStdU16String(f.name).toStdString() + "\"";
        text |= f.id == kUnicodeText;
      }
      print("clipboard formats " + (list.empty() ? std::string("(none)") : list));
      if (text) server_->SendPdu(cliprdr::FormatDataRequest(kUnicodeText));
    } else if (pdu.type == cliprdr::kFormatDataResponse) {
      print("clipboard data " + std::to_string(kUnicodeText) + ": " +
            (pdu.flags == cliprdr::kResponseOk ? PrintableText(pdu.data) : std::string("(refused)")));
    }
  }
}

}  // namespace testhost
