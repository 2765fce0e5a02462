#include "session/ControlSlotDataProcessor.h"

#include <cstring>
#include <string>
#include <vector>

#include "cryptlib/cipherblocks.h"
#include "cryptlib/cryptdata.h"
#include "session/ClientSystemApi.h"
#include "session/GenericClient.h"
#include "session/HelloRecord.h"
#include "transport/Connection.h"
#include "transport/PacketHeader.h"
#include "transport/Status.h"
#include "services/Tunnel.h"
#include "session/ClientConnectionParameter.h"
#include "sys/ByteReader.h"
#include "sys/ByteWriter.h"
#include "sys/klog.h"

namespace {

constexpr size_t kCodeSize = 4;
constexpr uint32_t kBlock = 8;
constexpr int kMessageLevel = 0;
constexpr int kMessagePadding = 4;
constexpr uint8_t kKeyBlockFlags = CryptBlockRecord::kDecrypt | CryptBlockRecord::kWithDigest;

constexpr size_t kQuerySize = 20;
constexpr size_t kPlainQuerySize = 24;
constexpr size_t kEventHeadSize = 8;
constexpr size_t kReplyHeadSize = 24;
constexpr size_t kFailureTextOffset = 1052;
constexpr uint32_t kFailureEvent = 0x60000;
// The record's two narrow texts: the title from byte 16, the text from 144.
constexpr size_t kSystemTitleEnd = 144;

constexpr uint32_t kMacRecordWord = 256;
constexpr size_t kMacRecordSize = 12;
constexpr uint32_t kMaxAudioQuality = 11;
constexpr size_t kScreenRecordSize = 1360;

// Query types.
enum QueryType : uint32_t {
  kQueryMac = 1,
  kQueryIgnored = 2,
  kQueryZeros = 5,
  kQuery256 = 256,
  kQuery259 = 259,
  kQueryNetwork = 260,
  kQuery261 = 261,
  kQueryClientName = 263,
  kQueryOrigins = 265,
  kQueryAudioQuality = 266,
  kQueryScreen = 769,
};

uint32_t RoundUp8(uint32_t n) { return (n + kBlock - 1) / kBlock * kBlock; }

std::vector<uint8_t> U32Bytes(uint32_t value) {
  std::vector<uint8_t> bytes(4);
  ByteWriter(bytes.data(), bytes.size()).U32(value);
  return bytes;
}

std::vector<uint8_t> MacRecord(CGenericClient* client) {
  uint8_t mac[CGenericClient::kMacSize];
  client->GetLocalMac(mac);
  std::vector<uint8_t> record(kMacRecordSize);
  ByteWriter w(record.data(), record.size());
  w.U32(kMacRecordWord);
  w.Bytes(mac, sizeof mac);
  w.Zeros(2);
  return record;
}

std::vector<uint8_t> ScreenRecord() {
  std::vector<uint8_t> record(kScreenRecordSize);
  ByteWriter w(record.data(), record.size());
  w.U32(1);
  w.Zeros(0x50 - w.Position());
  for (uint32_t word : {2u, 1920u, 1080u, 60u}) w.U32(word);
  return record;
}

}  // namespace

CControlSlotDataProcessor::~CControlSlotDataProcessor() { UnhookClipboard(); }

void CControlSlotDataProcessor::Attach(uint16_t newSlot, ISlotHost* newHost) {
  CGenericClient* const newClient = newHost ? newHost->SlotClient() : nullptr;
  // The clipboard's thread must be out of the callback before the client
  // reference goes.
  if (!newClient) UnhookClipboard();
  // Attaching again to the same client changes nothing.
  if (newHost && !(newClient && newClient == client)) systemApi = newHost->SystemApi();
  CSlotDataProcessor::Attach(newSlot, newHost);
  client = newClient;
}

void CControlSlotDataProcessor::HookClipboard() {
  CClipboardInterface* clipboard = systemApi ? systemApi->GetClipboard() : nullptr;
  if (!clipboard) return;
  std::lock_guard<std::mutex> hold(hookMutex);
  if (hooked && hooked != clipboard) hooked->ClearListener(this);
  hooked = clipboard;
  clipboard->SetListener(this);
}

void CControlSlotDataProcessor::UnhookClipboard() {
  std::lock_guard<std::mutex> hold(hookMutex);
  if (hooked) hooked->ClearListener(this);
  hooked = nullptr;
}

// ---------------------------------------------------------------- sending

int CControlSlotDataProcessor::OnClientData(const void* message, uint32_t length) {
  if (!client) return kStatusOk;
  const int sent = client->SendOnSlot(PacketHeader::kControlSlot, message, length);
  return sent == static_cast<int>(length) ? kStatusOk : kStatusFailure;
}

int CControlSlotDataProcessor::OnClipboardText(int, const void* data, uint32_t length) {
  if (!data && length != 0) return -1;
  // A frame the server would have to refuse, as the client refuses one that
  // large, would end the session; the text alone stays behind.
  if (kCodeSize + uint64_t{length} > CConnection::kMaxPayload) {
    LogMessageA("CControlSlotDataProcessor::OnClipboardText: a local text of %u bytes would make a frame over "
                "%u bytes; not sent",
                length, static_cast<unsigned>(CConnection::kMaxPayload));
    return -1;
  }
  std::vector<uint8_t> message(kCodeSize + static_cast<size_t>(length));
  ByteWriter w(message.data(), message.size());
  w.U32(kClipboardText);
  w.Bytes(data, length);
  return OnClientData(message.data(), static_cast<uint32_t>(message.size())) == kStatusOk ? 0 : -1;
}

int CControlSlotDataProcessor::SendReply(CGenericClient* to, uint32_t code, const void* record, uint32_t length) {
  if (!to || !to->Cipher()) return 0;
  if (length > UINT32_MAX - 16) return 0;
  const uint32_t padded = ((length + 11) & ~(kBlock - 1)) - kMessagePadding;
  std::vector<uint8_t> copy(padded);
  ByteWriter(copy.data(), copy.size()).Bytes(record, length);
  std::vector<uint8_t> sealed(padded + kMessagePadding);
  if (to->Cipher()->EncryptMessage(sealed.data(), copy.data(), padded, kMessagePadding, kMessageLevel) != 0)
    return 0;
  std::vector<uint8_t> message(kCodeSize + sealed.size());
  ByteWriter w(message.data(), message.size());
  w.U32(code);
  w.Bytes(sealed.data(), sealed.size());
  to->SendOnSlot(PacketHeader::kControlSlot, message.data(), static_cast<uint32_t>(message.size()));
  return 1;
}

int CControlSlotDataProcessor::SendEvent(CGenericClient* to, uint32_t code, const void* data, uint32_t length) {
  if (length > UINT32_MAX - kReplyHeadSize) return 0;
  std::vector<uint8_t> record(kReplyHeadSize + length);
  ByteWriter w(record.data(), record.size());
  w.U32(0);
  w.U32(code);
  w.U32(0);
  w.U32(length);
  w.U32(0);
  w.U32(length);
  w.Bytes(data, length);
  SendReply(to, kEvent, record.data(), static_cast<uint32_t>(record.size()));
  return 0;
}

int CControlSlotDataProcessor::SendQueryReply(CGenericClient* to, uint32_t id, uint32_t type, uint32_t context,
                                              const void* data, uint32_t n) {
  std::vector<uint8_t> record(kReplyHeadSize + n);
  ByteWriter w(record.data(), record.size());
  w.U32(id);
  w.U32(type);
  w.U32(0);
  w.U32(n);
  w.U32(context);
  w.U32(n);
  w.Bytes(data, n);
  return SendReply(to, kQueryReply, record.data(), static_cast<uint32_t>(record.size()));
}

// ---------------------------------------------------------------- receiving

int CControlSlotDataProcessor::OnData(const uint8_t* message, uint32_t length) {
  CGenericClient* const from = client;  // null while detached
  if (!message || length == UINT32_MAX) return kStatusOk;
  // Too short to carry a code: nothing to act on.
  if (length < kCodeSize) return kStatusOk;
  ByteReader r(message, length);
  const uint32_t code = r.U32();
  const uint32_t size = length - kCodeSize;
  const uint8_t* payload = r.Take(size);

  switch (code) {
    case kReply258:
    case kReply260:
      return kStatusNotConsumed;
    case kKeyBlock:
      return OnKeyBlock(from, payload, size);
    case kEchoRequest:
      return OnEchoRequest(from, payload, size);
    case kServerText:
      return OnServerText(payload, size);
    case kQuery:
    case kQueryReply:
    case kEvent:
    case kIgnored: {
      std::vector<uint8_t> body;
      if (!OpenEncrypted(from, payload, size, &body)) return kStatusNotConsumed;
      return OnQueryMessage(code, from, body.data(), static_cast<uint32_t>(body.size()));
    }
    case kPlainQuery:
      return OnPlainQuery(from, payload, size);
    case kClipboardText:
      if (CClipboardInterface* clipboard = systemApi ? systemApi->GetClipboard() : nullptr)
        clipboard->SetData(0, payload, size);
      return kStatusOk;
    case kSystemMessage:
      return OnSystemMessage(payload, size);
    case kTunnelFrame: {
      if (!from || !from->EncryptedSession()) return kStatusNotConsumed;
      std::vector<uint8_t> frame(RoundUp8(size));
      ByteWriter(frame.data(), frame.size()).Bytes(payload, size);
      return OnTunnelFrame(from, frame.data(), size);
    }
    case kEncryptedTunnelFrame: {
      std::vector<uint8_t> frame;
      if (!OpenEncrypted(from, payload, size, &frame)) return kStatusNotConsumed;
      return OnTunnelFrame(from, frame.data(), static_cast<uint32_t>(frame.size()));
    }
    default:
      return kStatusOk;
  }
}

bool CControlSlotDataProcessor::OpenEncrypted(CGenericClient* from, const uint8_t* payload, uint32_t length,
                                              std::vector<uint8_t>* body) {
  if (!from || !from->EncryptedSession()) return false;
  body->assign(RoundUp8(length), 0);
  ByteWriter(body->data(), body->size()).Bytes(payload, length);
  if (from->Replaying()) {
    body->resize(length);
    return true;
  }
  uint32_t opened = length;
  if (from->Cipher()->DecryptMessage(body->data(), body->data(), &opened, kMessageLevel) != 0) {
    LogMessageA("CControlSlotDataProcessor::OnData: an encrypted control message of %u bytes does not decrypt",
                length);
    return false;
  }
  body->resize(opened);
  return true;
}

int CControlSlotDataProcessor::OnKeyBlock(CGenericClient* from, const uint8_t* payload, uint32_t length) {
  if (length != hello::kSize || !from || !from->EncryptedSession()) return kStatusOk;
  std::vector<uint8_t> copy(payload, payload + length);
  uint8_t digest[16];
  GetBytesAt(copy.data(), copy.size(), hello::kKeyDigestOffset, digest, sizeof digest);
  // The outcome is not used: the block only keeps the cipher's view in step.
  CryptSealedRegions(from->Cipher(), copy.data(), copy.size(), kKeyBlockFlags, digest);
  WipeBytes(copy.data(), copy.size());
  return kStatusOk;
}

int CControlSlotDataProcessor::OnEchoRequest(CGenericClient* from, const uint8_t* payload, uint32_t length) {
  if (systemApi) systemApi->NotifyTraffic();
  if (!from) return kStatusOk;
  const uint32_t n = length < kEchoLimit ? length : kEchoLimit;
  std::vector<uint8_t> reply(kCodeSize + n);
  ByteWriter w(reply.data(), reply.size());
  w.U32(kEchoReply);
  w.Bytes(payload, n);
  from->SendControl(kEchoReplyKind, reply.data(), static_cast<uint32_t>(reply.size()));
  return kStatusOk;
}

int CControlSlotDataProcessor::OnServerText(const uint8_t* payload, uint32_t length) {
  // Bounded by what arrived; the bytes are Latin-1.
  std::u16string text;
  ByteReader r(payload, length);
  while (text.size() < kServerTextLimit && r.Remaining() > 0) {
    const uint8_t c = r.U8();
    if (c == 0) break;
    text.push_back(static_cast<char16_t>(c));
  }
  if (systemApi) systemApi->SetMessageText(u"Terminal Server:", text.c_str());
  return kStatusOk;
}

int CControlSlotDataProcessor::OnSystemMessage(const uint8_t* payload, uint32_t length) {
  uint8_t record[kSystemMessageSize] = {};
  ByteReader(payload, length).Bytes(record, length < kSystemMessageSize ? length : kSystemMessageSize);
  record[kSystemTitleEnd - 1] = 0;
  record[kSystemMessageSize - 1] = 0;
  if (systemApi) systemApi->ShowSystemMessageBox(record);
  return kStatusOk;
}

int CControlSlotDataProcessor::OnQueryMessage(uint32_t code, CGenericClient* from, const uint8_t* body,
                                              uint32_t length) {
  switch (code) {
    case kQuery:
      return OnQuery(from, body, length);
    case kEvent:
      return OnServerEvent(from, body, length);
    default:
      return kStatusOk;
  }
}

int CControlSlotDataProcessor::OnQuery(CGenericClient* from, const uint8_t* query, uint32_t length) {
  ByteReader r(query, length);
  const uint32_t id = r.U32();
  const uint32_t type = r.U32();
  r.Skip(8);
  const uint32_t context = r.U32();
  auto refuse = [&] {
    uint8_t record[kReplyHeadSize];
    ByteWriter w(record, sizeof record);
    w.U32(id);
    w.U32(type);
    w.U32(kRefusalStatus);
    w.Zeros(sizeof record - w.Position());
    SendReply(from, kQueryReply, record, sizeof record);
    return kStatusOk;
  };
  if (length < kQuerySize) return refuse();
  auto answer = [&](const std::vector<uint8_t>& data) {
    SendQueryReply(from, id, type, context, data.data(), static_cast<uint32_t>(data.size()));
    return kStatusOk;
  };

  switch (type) {
    case kQueryMac:
      return answer(MacRecord(from));
    case kQueryIgnored:
      return kStatusNotConsumed;
    case kQueryZeros:
      return answer(std::vector<uint8_t>(20));
    case kQuery256:
      return answer(U32Bytes(2048));
    case kQuery259:
    case kQueryOrigins:
      return kStatusOk;
    case kQueryNetwork:
      return answer(U32Bytes(from->GetParamFlags() != 0 ? 3 : 1));
    case kQuery261:
      return answer(U32Bytes(1080));
    case kQueryClientName: {
      const char* name = systemApi ? systemApi->getClientName() : "undefined";
      return answer(std::vector<uint8_t>(name, name + strlen(name) + 1));
    }
    case kQueryAudioQuality: {
      const CClientConnectionParameter* p = from->Parameters();
      const uint32_t quality = p ? p->vorbisAudioQuality : kMaxAudioQuality;
      return answer(U32Bytes(quality < kMaxAudioQuality ? quality : kMaxAudioQuality));
    }
    case kQueryScreen:
      return answer(ScreenRecord());
    default:
      return refuse();
  }
}

int CControlSlotDataProcessor::OnServerEvent(CGenericClient* from, const uint8_t* event, uint32_t length) {
  if (length < kEventHeadSize) return kStatusOk;
  ByteReader r(event, length);
  r.Skip(4);
  const uint32_t code = r.U32();
  switch (code) {
    case 1:
    case 2:
    case 3:
    case 5:
      return kStatusNotConsumed;
    case kFailureEvent: {
      // The text runs to its terminator or to the end of what arrived.
      std::u16string text;
      ByteReader t(event, length);
      t.Skip(kFailureTextOffset);
      while (t.Remaining() >= 2) {
        const char16_t c = static_cast<char16_t>(t.U16());
        if (c == 0) break;
        text.push_back(c);
      }
      if (from) from->LogFailure(text.c_str());
      return kStatusOk;
    }
    default:
      return kStatusOk;
  }
}

int CControlSlotDataProcessor::OnPlainQuery(CGenericClient* from, const uint8_t* query, uint32_t length) {
  if (!from || length < kPlainQuerySize) return kStatusNotConsumed;
  ByteReader r(query, length);
  const uint32_t word0 = r.U32();
  const uint32_t word4 = r.U32();
  const uint32_t type = r.U32();
  r.Skip(4);
  const uint32_t word16 = r.U32();
  const uint32_t word20 = r.U32();
  if (type != kQueryMac) return kStatusNotConsumed;
  const std::vector<uint8_t> mac = MacRecord(from);
  std::vector<uint8_t> reply(32 + mac.size());
  ByteWriter w(reply.data(), reply.size());
  w.U32(kPlainQueryReply);
  w.U32(word0);
  w.U32(word4);
  w.U32(type);
  w.U32(0);
  w.U32(word16);
  w.U32(word20);
  w.U32(static_cast<uint32_t>(mac.size()));
  w.Bytes(mac.data(), mac.size());
  from->SendOnSlot(PacketHeader::kControlSlot, reply.data(), static_cast<uint32_t>(reply.size()));
  return kStatusOk;
}

int CControlSlotDataProcessor::OnTunnelFrame(CGenericClient* from, const uint8_t* frame, uint32_t length) {
  ybx::tunnel::TunnelFrameView view;
  if (!ybx::tunnel::ReadTunnelFrame(frame, length, &view)) {
    LogMessageA("CControlSlotDataProcessor::OnTunnelFrame: a malformed tunnel frame of %u bytes; the session ends",
                length);
    return kStatusFailure;
  }
  ybx::tunnel::TunnelRegistry::Dispatch(from ? from->GetTunnelRegistry() : nullptr, frame, length, from);
  return kStatusOk;
}
