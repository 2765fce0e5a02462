// A clipboard redirection server over the "MSVCEXT " slot of one session:
// the capability exchange, opening "CLIPRDR", the server's capabilities and
// monitor ready, format lists both ways, and data requests and responses.
// It talks through two functions, so that it runs over any host session:
// one sends a slot payload, the other answers every payload the client has
// sent on the slot so far.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "testhost/ClipboardChannel.h"

namespace testhost {
namespace cliprdr {

class ClipboardServer {
 public:
  using Send = std::function<bool(const Bytes& payload)>;
  using Received = std::function<std::vector<Bytes>()>;

  ClipboardServer(Send send, Received received, uint16_t index = 1, uint32_t channelId = 1001);

  // "SC" with the groups; the client's reply.
  bool Exchange(uint32_t serverGroups, channels::CapabilityReply* reply, int timeoutMs);
  // "OC" for "CLIPRDR", the server's capabilities and monitor ready; waits
  // for the client's capabilities and its first format list, and answers
  // the list.
  bool Open(uint32_t generalFlags, int timeoutMs);
  // The client's general flags and its latest format list.
  uint32_t ClientFlags() const { return clientFlags_; }
  std::vector<Format> ClientFormats() const { return clientFormats_; }

  // Announces the formats; waits for the client's list response.
  bool Offer(const std::vector<Format>& formats, bool* accepted, int timeoutMs);
  // Waits for the client's next data request and answers it from `data`
  // (failure when absent); the requested format in *format.
  bool AnswerRequest(const std::function<bool(uint32_t format, Bytes* data)>& data, uint32_t* format,
                     int timeoutMs);
  // Asks for a format of the client's list; false when the answer failed.
  bool Request(uint32_t format, Bytes* data, int timeoutMs);
  // Waits for a format list from the client (after a local copy); answers it.
  bool WaitForClientList(int timeoutMs);
  // Takes a format list PDU the caller has read: keeps its formats and
  // answers it.
  bool TakeClientList(const ParsedPdu& list);

  // The next client PDU of the type, read past the ones seen before.
  bool Next(uint16_t type, ParsedPdu* out, int timeoutMs);
  // The next client PDU of any type.
  bool NextAny(ParsedPdu* out, int timeoutMs);
  bool SendPdu(const Bytes& pdu) { return send_(channels::Data(index_, pdu)); }

 private:
  // Reads what the client sent since the last call into pdus_.
  void Collect();
  bool NextWhere(const std::function<bool(const ParsedPdu&)>& wanted, ParsedPdu* out, int timeoutMs);

  Send send_;
  Received received_;
  const uint16_t index_;
  const uint32_t channelId_;
  size_t seenPayloads_ = 0;
  channels::PduAssembler assembler_;
  std::vector<Bytes> replies_;  // capability replies
  std::vector<ParsedPdu> pdus_;
  size_t nextPdu_ = 0;
  uint32_t clientFlags_ = 0;
  std::vector<Format> clientFormats_;
};

}  // namespace cliprdr
}  // namespace testhost
