// The host's side of the "MSVCEXT " slot and of the clipboard redirection
// channel "CLIPRDR": the slot messages the host sends (capability
// exchange, channel open and close, channel data), readers for what the
// client sends (the capability reply, chunked channel data reassembled into
// whole PDUs), and the clipboard PDUs of MS-RDPECLIP. Written byte by byte
// here, apart from the client's own code.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace testhost {
namespace channels {

using Bytes = std::vector<uint8_t>;

constexpr uint16_t kData = 0x4357;          // "WC"
constexpr uint16_t kOpen = 0x434F;          // "OC"
constexpr uint16_t kClose = 0x4343;         // "CC"
constexpr uint16_t kCapabilities = 0x4353;  // "SC"

// One slot message: header {code, index, payload length} and the payload.
Bytes Message(uint16_t code, uint16_t index, const Bytes& payload);
Bytes Capabilities(uint32_t echo, uint32_t serverGroups, uint16_t magic = 0xCA01);
Bytes Open(uint16_t index, uint32_t serverChannelId, const std::u16string& name);
Bytes Close(uint16_t index, uint32_t serverChannelId);
// Server-to-client data: one whole PDU, no chunk header.
Bytes Data(uint16_t index, const Bytes& pdu);

struct SlotMessage {
  uint16_t code = 0;
  uint16_t index = 0;
  Bytes payload;
  bool ok = false;  // the header was there and its length matched
};
SlotMessage ReadMessage(const Bytes& bytes);

struct CapabilityReply {
  bool ok = false;  // 24 bytes, header {"SC", 0x8000, 16}, magic 0xCA01
  uint32_t echo = 0;
  uint32_t enabledGroups = 0;
};
CapabilityReply ReadCapabilityReply(const Bytes& bytes);

// Joins the client's chunks (each behind a CHANNEL_PDU_HEADER) into whole
// PDUs, per channel index, checking the chunk flags and total lengths.
class PduAssembler {
 public:
  // One "WC" payload. False for a chunk that does not fit the PDU under way.
  bool Add(uint16_t index, const Bytes& payload);
  // The whole PDUs so far, oldest first, taken out.
  std::vector<Bytes> Take(uint16_t index);
  // The flags of every chunk seen, in order.
  const std::vector<uint32_t>& ChunkFlags() const { return flags_; }

 private:
  struct Partial {
    uint32_t total = 0;
    Bytes bytes;
  };
  std::map<uint16_t, Partial> partial_;
  std::map<uint16_t, std::vector<Bytes>> done_;
  std::vector<uint32_t> flags_;
};

}  // namespace channels

namespace cliprdr {

using Bytes = std::vector<uint8_t>;

constexpr uint16_t kMonitorReady = 1;
constexpr uint16_t kFormatList = 2;
constexpr uint16_t kFormatListResponse = 3;
constexpr uint16_t kFormatDataRequest = 4;
constexpr uint16_t kFormatDataResponse = 5;
constexpr uint16_t kClipCaps = 7;
constexpr uint16_t kFileContentsRequest = 8;
constexpr uint16_t kFileContentsResponse = 9;
constexpr uint16_t kResponseOk = 1;
constexpr uint16_t kResponseFail = 2;
constexpr uint16_t kAsciiNames = 4;
constexpr uint32_t kUseLongFormatNames = 0x02;

struct Format {
  uint32_t id = 0;
  std::u16string name;
};

// Any PDU: header {type, flags, data length} and the data.
Bytes Pdu(uint16_t type, uint16_t flags, const Bytes& data);
Bytes MonitorReady();
// One general capability set (version 2) with these flags.
Bytes ServerCapabilities(uint32_t generalFlags);
// Long format names, each zero-terminated.
Bytes FormatList(const std::vector<Format>& formats, uint16_t flags = 0);
Bytes FormatListResponse(bool ok);
Bytes FormatDataRequest(uint32_t formatId);
Bytes FormatDataResponse(bool ok, const Bytes& data);
// streamId, lindex, dwFlags FILECONTENTS_SIZE, position 0, 8 bytes.
Bytes FileContentsRequest(uint32_t streamId, int32_t fileIndex);

struct ParsedPdu {
  uint16_t type = 0;
  uint16_t flags = 0;
  Bytes data;
  bool ok = false;  // the header was there and dataLen matched the bytes
};
ParsedPdu ReadPdu(const Bytes& bytes);
// The long format names of a format list's data; false when one runs past
// the end.
bool ReadFormatList(const Bytes& data, std::vector<Format>* formats);
// The general flags of a capabilities PDU's data (0 when none).
uint32_t ReadGeneralFlags(const Bytes& data);

}  // namespace cliprdr
}  // namespace testhost
