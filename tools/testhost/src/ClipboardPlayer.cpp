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
  thread_ = std::thread([this, bytes, &out] {
    while (!stopping_.load()) {
      uint32_t format = 0;
      auto answer = [&](uint32_t asked, Bytes* data) {
        if (asked != kUnicodeText) return false;
        *data = bytes;
        return true;
      };
      if (server_->AnswerRequest(answer, &format, kPollMs)) out << "clipboard request " << format << std::endl;
    }
  });
  return true;
}

}  // namespace testhost
