#include "testhost/ClipboardServer.h"

#include <chrono>
#include <thread>

#include "testhost/Wire.h"

namespace testhost {
namespace cliprdr {

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

ClipboardServer::ClipboardServer(Send send, Received received, uint16_t index, uint32_t channelId)
    : send_(std::move(send)), received_(std::move(received)), index_(index), channelId_(channelId) {}

void ClipboardServer::Collect() {
  const std::vector<Bytes> all = received_();
  for (; seenPayloads_ < all.size(); ++seenPayloads_) {
    const channels::SlotMessage m = channels::ReadMessage(all[seenPayloads_]);
    if (!m.ok) continue;
    if (m.code == channels::kCapabilities) {
      replies_.push_back(all[seenPayloads_]);
    } else if (m.code == channels::kData && m.index == index_ && assembler_.Add(m.index, m.payload)) {
      for (Bytes& pdu : assembler_.Take(index_)) pdus_.push_back(ReadPdu(pdu));
    }
  }
}

bool ClipboardServer::Exchange(uint32_t serverGroups, channels::CapabilityReply* reply, int timeoutMs) {
  const size_t before = replies_.size();
  if (!send_(channels::Capabilities(0x5EC0DE, serverGroups))) return false;
  const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  do {
    Collect();
    if (replies_.size() > before) {
      *reply = channels::ReadCapabilityReply(replies_[before]);
      return reply->ok && reply->echo == 0x5EC0DE;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  } while (Clock::now() < end);
  return false;
}

bool ClipboardServer::NextWhere(const std::function<bool(const ParsedPdu&)>& wanted, ParsedPdu* out,
                                int timeoutMs) {
  const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  do {
    Collect();
    while (nextPdu_ < pdus_.size()) {
      const ParsedPdu& p = pdus_[nextPdu_++];
      if (wanted(p)) {
        *out = p;
        return p.ok;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  } while (Clock::now() < end);
  return false;
}

bool ClipboardServer::Next(uint16_t type, ParsedPdu* out, int timeoutMs) {
  return NextWhere([type](const ParsedPdu& p) { return p.type == type; }, out, timeoutMs);
}

bool ClipboardServer::NextAny(ParsedPdu* out, int timeoutMs) {
  return NextWhere([](const ParsedPdu&) { return true; }, out, timeoutMs);
}

bool ClipboardServer::WaitForClientList(int timeoutMs) {
  ParsedPdu list;
  return Next(kFormatList, &list, timeoutMs) && TakeClientList(list);
}

bool ClipboardServer::TakeClientList(const ParsedPdu& list) {
  if (!ReadFormatList(list.data, &clientFormats_)) return false;
  return SendPdu(FormatListResponse(true));
}

bool ClipboardServer::Open(uint32_t generalFlags, int timeoutMs) {
  if (!send_(channels::Open(index_, channelId_, u"CLIPRDR"))) return false;
  if (!SendPdu(ServerCapabilities(generalFlags)) || !SendPdu(MonitorReady())) return false;
  ParsedPdu caps;
  if (!Next(kClipCaps, &caps, timeoutMs)) return false;
  clientFlags_ = ReadGeneralFlags(caps.data);
  return WaitForClientList(timeoutMs);
}

bool ClipboardServer::Offer(const std::vector<Format>& formats, bool* accepted, int timeoutMs) {
  if (!SendPdu(FormatList(formats))) return false;
  ParsedPdu response;
  if (!Next(kFormatListResponse, &response, timeoutMs)) return false;
  *accepted = response.flags == kResponseOk;
  return true;
}

bool ClipboardServer::AnswerRequest(const std::function<bool(uint32_t, Bytes*)>& data, uint32_t* format,
                                    int timeoutMs) {
  ParsedPdu request;
  if (!Next(kFormatDataRequest, &request, timeoutMs) || request.data.size() != 4) return false;
  *format = static_cast<uint32_t>(wire::Read(request.data, 0, 4));
  Bytes bytes;
  const bool ok = data(*format, &bytes);
  return SendPdu(FormatDataResponse(ok, ok ? bytes : Bytes{}));
}

bool ClipboardServer::Request(uint32_t format, Bytes* data, int timeoutMs) {
  if (!SendPdu(FormatDataRequest(format))) return false;
  ParsedPdu response;
  if (!Next(kFormatDataResponse, &response, timeoutMs) || response.flags != kResponseOk) return false;
  *data = response.data;
  return true;
}

}  // namespace cliprdr
}  // namespace testhost
