#include "session/HtClient.h"

#include <cstring>
#include <memory>
#include <new>

#include "cryptlib/cipherblocks.h"
#include "cryptlib/cryptdata.h"
#include "session/ClientSystemApi.h"
#include "transport/ConnectTarget.h"
#include "transport/Connection.h"
#include "session/ControlSlotDataProcessor.h"
#include "session/HelloProbes.h"
#include "session/SlotCipher.h"
#include "session/SlotDataProcessor.h"
#include "session/SlotProcessorFactory.h"
#include "transport/Status.h"
#include "session/ClientConnectionParameter.h"
#include "sys/ByteReader.h"
#include "sys/ByteWriter.h"
#include "sys/klog.h"

namespace {

constexpr uint32_t kHelloCode = 257;
constexpr uint32_t kReply258 = 258;
constexpr uint32_t kHelloAgainCode = 259;
constexpr uint32_t kReply260 = 260;
constexpr size_t kCodeSize = 4;
constexpr uint16_t kSlotDataKind = 2;
constexpr uint32_t kNotSupported = 0x0FFFFFFF;

constexpr size_t kEncryptedReply258Size = 160;
constexpr size_t kMinReplySize = 492;
constexpr size_t kFullReplySize = 2032;
constexpr size_t kKeyRecordOffset = 28;  // message offset of the server's key record
constexpr uint8_t kMinExponent = 17;
constexpr uint8_t kMaxExponent = 31;

constexpr uint32_t kSessionLogon = 0x40000000;
constexpr uint32_t kSessionClipboard = 0x10;
constexpr uint32_t kCapabilityBase = 0x02B25A8F;
constexpr uint32_t kCapabilityLossy = 0x400000;
constexpr uint32_t kCapabilityAlign = 0x8000;
constexpr uint32_t kColorCursor = 0x10;
constexpr uint32_t kMonoCursor = 1;
constexpr uint32_t kDefaultWidth = 600;
constexpr uint32_t kDefaultHeight = 800;
constexpr uint32_t kDefaultDepth = 24;
constexpr uint32_t kRequestedHeightMask = 0x0FFFFFFF;
constexpr uint32_t kRequestedKindTwoBit = 0x10000000;

constexpr uint16_t kHidKindOneFlags = 0x5000;
constexpr uint16_t kHidEncryptedFlags = SlotCipher::kSendEncrypted | SlotCipher::Level(3);
constexpr uint16_t kReceiveEncryptedFlags = SlotCipher::kReceiveEncrypted | SlotCipher::Level(3);
constexpr int kMinKeyBits = 128;
constexpr int kMaxKeyBits = 1024;
constexpr size_t kKeyHeadSize = 16;
constexpr size_t kKeyTailSize = 4;
constexpr size_t kKeyRestSize = 108;

constexpr char kServerTagUtm[hello::kTagSize] = {'U', 'T', 'M', 'A', 'S', 'R', 'V', 0};
constexpr char kServerTagLnx[hello::kTagSize] = {'L', 'N', 'X', 'S', 'R', 'V', ' ', 0};
constexpr uint32_t kRemapAbove = 0x07000000;
constexpr uint32_t kUtmMinimum = 0x06010405;
constexpr uint32_t kLnxMinimum = 0x03010501;

enum State {
  kHandshaking = 3,
  kVerifying = 4,
  kSessionUp = 5,
  kDisconnected = 6,
  kNetError = 8,
  kSystemError = 9,
};

void CopyTag(char out[hello::kTagSize], const char* text) {
  memset(out, 0, hello::kTagSize);
  memcpy(out, text, strnlen(text, hello::kTagSize));
}

const char* PlatformTag(uint32_t nameMode) {
  switch (nameMode) {
    case 1:
      return "pMTZ900";
    case 2:
      return "pMRPi";
    default:
      return "pMPWIND";
  }
}

SlotTableEntry Entry(const char* name, uint16_t a, uint16_t b, uint16_t flags) {
  SlotTableEntry e;
  memcpy(e.name, name, sizeof e.name);
  e.a = a;
  e.b = b;
  e.flags = flags;
  return e;
}

// The message a hello travels in: the code, then the record.
std::vector<uint8_t> HelloMessage(uint32_t code, const uint8_t* hello, size_t size) {
  std::vector<uint8_t> message(kCodeSize + size);
  ByteWriter w(message.data(), message.size());
  w.U32(code);
  w.Bytes(hello, size);
  return message;
}

size_t HelloLength(const uint8_t* hello, size_t size) {
  return (GetU16At(hello, size, hello::kFlagsOffset) & hello::kFlagProgram) ? hello::kSize : hello::kShortSize;
}

}  // namespace

CHtClient::CHtClient() = default;

// Sends go through this class: whatever may still send is stopped here,
// before the object is taken apart.
CHtClient::~CHtClient() {
  CutRemoteIo();
  ReleaseAllProcessors();
}

bool CHtClient::ResolveServer(ConnectTarget* target) {
  if (!target || !params) return false;
  target->framing = 1;
  target->transport = 1;
  const std::u16string server = FieldText(params->serverAddress, kFieldChars);
  // A port is 16 bits: a larger number would connect somewhere else.
  if (params->port == 0 || params->port > 0xFFFF) {
    LogMessageA("CHtClient::ResolveServer: port %u is outside 1-65535; not connecting",
                static_cast<unsigned>(params->port));
    return false;
  }
  // A stop (the window closing) need not wait for a slow name service.
  return target->Resolve(server.c_str(), static_cast<uint16_t>(params->port), &StopRequested()) == kStatusOk;
}

uint32_t CHtClient::QueryFeature() { return kNotSupported; }

const char* CHtClient::GetClientType() { return "HT client"; }

void CHtClient::SetRequestedMode(uint32_t low, uint32_t high) {
  requestedLow = low;
  requestedHigh = high;
}

void CHtClient::SetRequestedModeKind(int32_t kind) { requestedKind = kind; }

uint16_t CHtClient::ProcessorCount() {
  CxAutoLock hold(&processorLock);
  return processorCount;
}

// ---------------------------------------------------------------- sending

int CHtClient::SendOnSlot(uint16_t slot, const void* data, uint32_t length) {
  CConnection* current = AddConnectionRef();
  if (!current) return kStatusNoConnection;
  // Read before the client lock: the processor lock is never taken inside it.
  const uint16_t flags = slot == kControlSlot ? 0 : GetSlotFlags(slot);
  int result = 0;
  {
    CxAutoLock hold(&lock);
    if (slot == kControlSlot) {
      result = current->Send(slot, data, length, &kSlotDataKind);
    } else if (sessionState.load() == kRunning) {
      const SlotCipher::Sealed out = SlotCipher(cipher).Seal(flags, data, length);
      if (out.data) {
        result = current->Send(slot, out.data, out.length, &kSlotDataKind);
      } else if (cipher) {
        LogMessageA("CHtClient::SendOnSlot: %u bytes for slot %u could not be encrypted; not sent", length,
                    static_cast<unsigned>(slot));
      }
    }
  }
  current->Release();
  return result;
}

int CHtClient::SendControl(uint16_t kind, const void* data, uint32_t length) {
  CConnection* current = AddConnectionRef();
  if (!current) return kStatusNoConnection;
  int result;
  {
    CxAutoLock hold(&lock);
    result = current->Send(kControlSlot, data, length, &kind);
  }
  current->Release();
  return result;
}

uint16_t CHtClient::GetSlotFlags(uint16_t slot) {
  if (slot >= kMaxSlots) return 0;
  CxAutoLock hold(&processorLock);
  const CSlotDataProcessor* processor = processors[slot];
  if (!processor || processor->SlotEntryLength() != hello::kSlotEntrySize) return 0;
  return GetU16At(processor->SlotEntry(), processor->SlotEntryLength(), hello::kSlotEntrySize - 2);
}

int CHtClient::RegisterSlotProcessor(uint16_t slot, CSlotDataProcessor* processor) {
  if (slot >= kMaxSlots) return kStatusBadArgument;
  CxAutoLock hold(&processorLock);
  if (processors[slot]) return kStatusTaken;
  processors[slot] = processor;
  if (processor) processor->Attach(slot, this);
  if (processorCount < slot + 1) processorCount = static_cast<uint16_t>(slot + 1);
  return kStatusOk;
}

// ---------------------------------------------------------------- the hello

int CHtClient::BuildHello(CClientConnectionParameter* parameters) {
  if (hello) return kStatusOk;
  if (!parameters) return kStatusBadArgument;
  const CClientConnectionParameter& p = *parameters;
  std::unique_ptr<uint8_t[]> record(new (std::nothrow) uint8_t[hello::kSize]());
  if (!record) return kStatusOutOfMemory;

  HelloContent c;
  const bool minimal = p.minimalSlots != 0;
  switch (p.connectionKind) {
    case 1:
      c.sessionWord = 1;
      mode = 1;
      break;
    case 2:
      c.sessionWord = minimal ? 4 : 0;
      mode = minimal ? 5 : 0;
      break;
    default:
      return kStatusBadArgument;
  }
  if (p.autoLogon && !minimal) c.sessionWord |= kSessionLogon;
  if (p.clipboardShare) c.sessionWord |= kSessionClipboard;
  CopyTag(c.tag, PlatformTag(p.nameMode));

  if (systemApi) systemApi->GetModeWords(c.modeWords, hello::kModeWords);
  c.cursorWord = p.useColorCursor ? kColorCursor : kMonoCursor;
  c.capabilities = kCapabilityBase | (ProbeLossyEnabled() ? kCapabilityLossy : 0) |
                   (alignFlag ? kCapabilityAlign : 0);
  c.extraDisplayCount = displayCount - 1;
  if (c.extraDisplayCount != 0) {
    c.display2Width = p.display2Size.width;
    c.display2Height = p.display2Size.height;
    c.display2X = p.display2Origin.x;
    c.display2Y = p.display2Origin.y;
  }
  c.dsDecoderWord = 1 | (p.dsFormatsSupport ? ProbeDsVideoDecoders() : 0);
  c.h264Word = ProbeH264Support();
  c.dxvaWord = p.dxva2Support ? ProbeDxvaProfiles() : 0;
  c.mediaFoundationWord = p.vlcVideoDecoderSupport ? ProbeMediaFoundationCodecs() : 0;
  c.audioSync = p.useAudioVideoSynch ? 1 : 0;

  const bool sealed = p.encryptionLevel == 1 || p.encryptionLevel == 2;
  if (sealed && !cipher) {
    cipher = new (std::nothrow) CSessionCipher;
    if (!cipher) return kStatusOutOfMemory;
  }
  const uint16_t receiveFlags = p.encryptionLevel == 2 ? kReceiveEncryptedFlags : 0;
  uint16_t hidFlags = (p.connectionKind == 1 ? kHidKindOneFlags : 0) | (sealed ? kHidEncryptedFlags : 0);
  if (minimal) hidFlags = 0;
  c.slotTable.push_back(Entry(slotname::kKeyboard, 1, 2, hidFlags));
  c.slotTable.push_back(Entry(slotname::kDisplay, 2, 2, receiveFlags));
  hidSlot = 0;
  displaySlots[0] = 1;
  if (!minimal) {
    if (p.useSound) {
      audioSlot = static_cast<uint16_t>(c.slotTable.size());
      c.slotTable.push_back(Entry(slotname::kAudio, 1, 0, 0));
    }
    streamSlots[0] = static_cast<uint16_t>(c.slotTable.size());
    c.slotTable.push_back(Entry(slotname::kStream, 1, 0, receiveFlags));
    channelSlot = static_cast<uint16_t>(c.slotTable.size());
    c.slotTable.push_back(Entry(slotname::kChannels, 1, 0, receiveFlags));
  }
  uint16_t next = static_cast<uint16_t>(c.slotTable.size());
  for (uint32_t d = 1; d < displayCount; ++d) displaySlots[d] = next++;
  if (streamSlots[0] != kNoSlot) {
    for (uint32_t d = 1; d < displayCount; ++d) streamSlots[d] = next++;
  }

  const std::u16string programPath = FieldText(p.programPath, kFieldChars);
  if (p.startProgram && !programPath.empty()) {
    c.flags += hello::kFlagProgram;
    c.workingDir = FieldText(p.workingDir, kFieldChars);
    c.programPath = programPath;
  }

  if (p.width == 0 || p.height == 0 || p.colorDepth == 0) {
    c.width = kDefaultWidth;
    c.height = kDefaultHeight;
    c.depth = kDefaultDepth;
  } else {
    c.width = p.width;
    c.height = p.height;
    c.depth = p.colorDepth;
  }
  const std::u16string user = FieldText(p.userName, kCredentialChars);
  const std::u16string domain = FieldText(p.domain, kFieldChars);
  c.logon = domain.empty() ? user : domain + u"\\" + user;
  c.password.assign(p.password, FieldTextLength(p.password, kCredentialChars));

  if (!WriteHelloRecord(c, record.get(), hello::kSize)) {
    WipeBytes(record.get(), hello::kSize);
    return kStatusFailure;
  }

  if (cipher) {
    HashKeyMaterial();
    cipher->ClearKeyMaterial();
  }
  if (EncryptionConfigured()) ComputeExchangeValue(record.get(), hello::kSize);

  CreateProcessors(parameters);
  ConfigureFromHello(record.get(), hello::kSize);

  CxAutoLock hold(&lock);
  hello = record.release();
  helloSize = hello::kSize;
  return kStatusOk;
}

void CHtClient::ComputeExchangeValue(uint8_t* record, size_t size) {
  ExchangeRecord exchange;
  GetBytesAt(record, size, hello::kExchangeOffset, exchange.bytes + ExchangeRecord::kValueOffset,
             hello::kExchangeSize);
  PutU16At(exchange.bytes, sizeof exchange.bytes, ExchangeRecord::kCarriedOffset,
           GetU16At(record, size, hello::kCarriedOffset));
  GetBytesAt(record, size, hello::kLogonOffset, exchange.bytes + ExchangeRecord::kBlockOffset,
             ExchangeRecord::kBlockSize);
  PutU32At(exchange.bytes, sizeof exchange.bytes, ExchangeRecord::kWordOffset,
           GetU32At(record, size, hello::kDepthOffset));
  if (MakeExchangeValue(&exchange) != 0) return;
  PutBytesAt(record, size, hello::kExchangeOffset, exchange.bytes + ExchangeRecord::kValueOffset,
             hello::kExchangeSize);
  if (cipher) cipher->SetLocalHalf(&exchange);
}

void CHtClient::CreateSlotProcessor(const char* slotName, uint16_t slot, int displayIndex,
                                    const CClientConnectionParameter* parameters) {
  if (slot == kNoSlot) return;
  SlotProcessorMaker maker = FindSlotProcessorMaker(slotName);
  if (!maker) return;  // not built: the slot's packets are dropped
  CSlotDataProcessor* processor = maker(SlotProcessorContext{this, parameters, displayIndex, slot});
  if (processor && RegisterSlotProcessor(slot, processor) != kStatusOk) delete processor;
}

void CHtClient::CreateProcessors(const CClientConnectionParameter* parameters) {
  CControlSlotDataProcessor* control = new (std::nothrow) CControlSlotDataProcessor;
  if (control && SetControlProcessor(control) != kStatusOk) delete control;
  if (mode != 0 && mode != 1) return;
  for (uint32_t d = 0; d < displayCount; ++d)
    CreateSlotProcessor(slotname::kDisplay, displaySlots[d], static_cast<int>(d), parameters);
  if (parameters->useSound) CreateSlotProcessor(slotname::kAudio, audioSlot, 0, parameters);
  CreateSlotProcessor(slotname::kKeyboard, hidSlot, 0, parameters);
  if (streamSlots[0] != kNoSlot) {
    for (uint32_t d = 0; d < displayCount; ++d)
      CreateSlotProcessor(slotname::kStream, streamSlots[d], static_cast<int>(d), parameters);
  }
  CreateSlotProcessor(slotname::kChannels, channelSlot, 0, parameters);
}

void CHtClient::ConfigureFromHello(const uint8_t* record, size_t size) {
  const uint16_t count = GetU16At(record, size, hello::kSlotCountOffset);
  for (uint16_t i = 0; i < count && i < hello::kMaxSlots; ++i) {
    uint8_t entry[hello::kSlotEntrySize];
    GetBytesAt(record, size, hello::kSlotTableOffset + i * hello::kSlotEntrySize, entry, sizeof entry);
    std::vector<uint8_t> block;
    if (i == displaySlots[0]) {
      block.resize(hello::kDisplayBlockSize);
      GetBytesAt(record, size, hello::kDisplayBlockOffset, block.data(), block.size());
    } else if (i == audioSlot) {
      block.resize(hello::kAudioBlockSize);
      GetBytesAt(record, size, hello::kAudioBlockOffset, block.data(), block.size());
    }
    ConfigureSlotProcessor(i, entry, sizeof entry, block.empty() ? nullptr : block.data(),
                           static_cast<uint32_t>(block.size()));
  }
}

// ---------------------------------------------------------------- the handshake

int CHtClient::OnConnected() {
  const int rc = BuildHello(params);
  if (rc != kStatusOk) return rc;
  handshake = kAwaitHello;
  sessionState.store(kHandshake);
  return SendHello();
}

int CHtClient::OnDisconnected() {
  if (systemApi) {
    systemApi->SetInputSink(nullptr, nullptr);
    systemApi->SetConnectionState(kDisconnected, 0);
  }
  return kStatusOk;
}

int CHtClient::SendHello() {
  CxAutoLock hold(&lock);
  if (handshake != kAwaitHello || !hello) {
    systemApi->SetConnectionState(kSystemError, 1);
    return kStatusFailure;
  }
  systemApi->SetConnectionState(kHandshaking, 0);
  std::vector<uint8_t> message = HelloMessage(kHelloCode, hello, helloSize);
  size_t length = kCodeSize + HelloLength(hello, helloSize);
  if (EncryptedSession()) {
    PutU16At(message.data(), message.size(), kCodeSize + hello::kFlagsOffset, hello::kAnnouncementFlags);
    length = hello::kAnnouncementSize;
  }
  const int sent = SendOnSlot(kControlSlot, message.data(), static_cast<uint32_t>(length));
  if (sent != static_cast<int>(length)) {
    systemApi->SetConnectionState(kNetError, 0);
    return kStatusFailure;
  }
  handshake = kAwaitReply258;
  AwaitReplyFor(handshakeStepMs.load());
  return kStatusOk;
}

int CHtClient::OnHandshakeMessage(const uint8_t* data, int length, CConnection*) {
  if (handshake == kAwaitReply258) {
    if (CheckReply258(data, length) != kStatusOk) return kStatusFailure;
    std::vector<uint8_t> record(kKeyRecordSize);
    int words = 0;
    if (!FillRandomBytes(record.data(), static_cast<int>(record.size()))) record.clear();
    if (EncryptedSession() && !record.empty()) {
      ByteReader r(data, static_cast<size_t>(length));
      r.Skip(kKeyRecordOffset);
      r.Bytes(serverKey, sizeof serverKey);
      PublicKeyRecord key;
      memcpy(key.bytes, serverKey, sizeof key.bytes);
      if (cipher->WrapRandomKey(&key, record.data(), 1) != 0) {
        record.clear();
      } else {
        words = key.WordCount();
      }
    }
    return SendHelloAgain(record.empty() ? nullptr : &record, words);
  }
  if (handshake == kAwaitReply260) {
    // Decrypted in place, so it works on a copy of the connection's buffer.
    std::vector<uint8_t> reply(data, data + (data && length > 0 ? length : 0));
    if (CheckReply260(reply.empty() ? nullptr : reply.data(), length) != kStatusOk) {
      sessionState.store(kRefused);
      return kStatusFailure;
    }
    AwaitReplyFor(0);
    systemApi->SetConnectionState(kSessionUp, 0);
    const uint32_t depth = GetU32At(hello, helloSize, hello::kDepthOffset);
    systemApi->ResizeDisplay(static_cast<int>(GetU32At(hello, helloSize, hello::kWidthOffset)),
                             static_cast<int>(GetU32At(hello, helloSize, hello::kHeightOffset)),
                             static_cast<int>(depth), 0);
    if (displayCount > 1 && params) {
      systemApi->ResizeDisplay(params->display2Size.width, params->display2Size.height,
                               static_cast<int>(depth), 1);
    }
    systemApi->SetInputSink(InputSink, this);
    sessionState.store(kRunning);
    return kStatusOk;
  }
  return kStatusFailure;
}

int CHtClient::CheckReply258(const uint8_t* data, int length) {
  if (!data || length <= 0) return kStatusBadArgument;
  const size_t size = static_cast<size_t>(length);
  const bool encrypted = EncryptedSession();
  if (encrypted ? size != kEncryptedReply258Size : size < kMinReplySize) return kStatusTaken;
  ByteReader r(data, size);
  if (r.U32() != kReply258) return kStatusTaken;
  r.Skip(kKeyRecordOffset - r.Position());
  if (encrypted) {
    const uint8_t words = r.U8();
    const uint8_t exponent = r.U8();
    if (words != 8 && words != 16 && words != 32) return kStatusTaken;
    if (exponent < kMinExponent || exponent > kMaxExponent) return kStatusTaken;
  } else if (r.U16() != GetU16At(hello, helloSize, hello::kSlotCountOffset)) {
    return kStatusTaken;
  }
  return r.Ok() ? kStatusOk : kStatusTaken;
}

int CHtClient::SendHelloAgain(std::vector<uint8_t>* keyRecord, int keyWords) {
  if (handshake != kAwaitReply258 || !hello) {
    systemApi->SetConnectionState(kSystemError, 1);
    return kStatusFailure;
  }
  const bool encrypted = EncryptedSession();
  if (encrypted && !keyRecord) {
    systemApi->SetConnectionState(kSystemError, 1);
    return kStatusFailure;
  }
  systemApi->SetConnectionState(kVerifying, 0);

  std::vector<uint8_t> copy(hello, hello + helloSize);
  if (requestedKind == 1 || requestedKind == 2) {
    uint32_t height = requestedHigh & kRequestedHeightMask;
    if (requestedKind == 2) height |= kRequestedKindTwoBit;
    PutU32At(copy.data(), copy.size(), hello::kWidthOffset, requestedLow);
    PutU32At(copy.data(), copy.size(), hello::kHeightOffset, height);
    PutU32At(copy.data(), copy.size(), hello::kDepthOffset, 0);
  }
  if (EncryptionConfigured()) {
    const uint16_t flags = GetU16At(copy.data(), copy.size(), hello::kFlagsOffset);
    PutU16At(copy.data(), copy.size(), hello::kFlagsOffset, flags + hello::kFlagEncryptedAgain);
    ComputeExchangeValue(copy.data(), copy.size());
  }
  if (encrypted && EncryptHello(*keyRecord, keyWords, copy.data(), copy.size()) != 0) {
    systemApi->SetConnectionState(kNetError, 1);
    return kStatusFailure;
  }
  std::vector<uint8_t> message = HelloMessage(kHelloAgainCode, copy.data(), copy.size());
  const size_t length = kCodeSize + HelloLength(copy.data(), copy.size());
  const int sent = SendOnSlot(kControlSlot, message.data(), static_cast<uint32_t>(length));
  if (sent != static_cast<int>(length)) {
    systemApi->SetConnectionState(kNetError, 1);
    return kStatusFailure;
  }
  handshake = kAwaitReply260;
  AwaitReplyFor(handshakeStepMs.load());
  return kStatusOk;
}

void CHtClient::AwaitReplyFor(DWORD ms) {
  CConnection* current = AddConnectionRef();
  if (!current) return;
  current->SetReplyDeadline(ms);
  current->Release();
}

int CHtClient::EncryptHello(const std::vector<uint8_t>& keyRecord, int keyWords, uint8_t* record, size_t size) {
  if (!cipher) return kCipherFailed;
  const int bits = keyWords * 32;
  PutU32At(record, size, hello::kKeyBitsOffset, static_cast<uint32_t>(bits));
  if (bits < kMinKeyBits || bits > kMaxKeyBits) return kCipherFailed;
  if (keyRecord.size() < kKeyHeadSize + kKeyTailSize + kKeyRestSize) return kCipherFailed;
  ByteReader key(keyRecord.data(), keyRecord.size());
  PutBytesAt(record, size, hello::kWrappedKeyOffset, key.Take(kKeyHeadSize), kKeyHeadSize);
  PutBytesAt(record, size, hello::kWrappedKeyTailOffset, key.Take(kKeyTailSize), kKeyTailSize);
  PutBytesAt(record, size, hello::kWrappedKeyRestOffset, key.Take(kKeyRestSize), kKeyRestSize);

  const uint16_t flags = GetU16At(record, size, hello::kFlagsOffset);
  uint8_t digest[16] = {};
  const uint8_t blockFlags = static_cast<uint8_t>((flags & hello::kFlagsBase) | CryptBlockRecord::kEncrypt |
                                                  CryptBlockRecord::kWithDigest);
  const int32_t rc = CryptSealedRegions(cipher, record, size, blockFlags, digest);
  PutBytesAt(record, size, hello::kKeyDigestOffset, digest, sizeof digest);
  return rc;
}

int CHtClient::CheckReply260(uint8_t* data, int length) {
  if (!data || length <= 0) return kStatusBadArgument;
  const size_t size = static_cast<size_t>(length);
  if (size < kMinReplySize || GetU32At(data, size, 0) != kReply260) return kStatusTaken;
  const size_t bodySize = size - kCodeSize;
  std::vector<uint8_t> body(bodySize);
  GetBytesAt(data, size, kCodeSize, body.data(), bodySize);

  bool decrypted = false;
  if (EncryptedSession() && !replay) {
    if (size != kMinReplySize && size != kFullReplySize) return kStatusTaken;
    const uint16_t helloFlags = GetU16At(hello, helloSize, hello::kFlagsOffset);
    CryptBlockRecord block;
    block.flags = static_cast<uint8_t>((helloFlags & hello::kFlagsBase) | CryptBlockRecord::kDecrypt);
    block.level = hello::kSealedLevel;
    block.length = static_cast<uint32_t>(bodySize);
    block.data = body.data();
    if (cipher->CryptBlock(&block) != 0) return kStatusTaken;
    PutBytesAt(data, size, kCodeSize, body.data(), bodySize);
    decrypted = size == kFullReplySize;
  }

  ServerReply reply;
  if (!ReadServerReply(body.data(), body.size(), &reply)) return kStatusTaken;
  const uint32_t version = reply.Version();
  if (memcmp(reply.tag, kServerTagUtm, hello::kTagSize) == 0) {
    if (version > kRemapAbove) remap = 1;
    if (version < kUtmMinimum) return kStatusTaken;
  } else if (memcmp(reply.tag, kServerTagLnx, hello::kTagSize) == 0) {
    if (version < kLnxMinimum) return kStatusTaken;
  } else {
    return kStatusTaken;
  }

  if (EncryptionConfigured()) {
    RemoteExchangeRecord exchange;
    if (reply.flags & ServerReply::kExchangePresent) {
      ByteWriter w(exchange.bytes, sizeof exchange.bytes);
      w.Bytes(reply.exchangeValue, sizeof reply.exchangeValue);
      w.U16(reply.versionLow);
      w.Bytes(reply.tag, sizeof reply.tag);
      w.U16(reply.exchangeWord);
      if (VerifyExchangeValue(&exchange) != 0) return kStatusTaken;
    }
    if (cipher) cipher->SetRemoteHalf(&exchange);
  }

  if (reply.slotCount != GetU16At(hello, helloSize, hello::kSlotCountOffset)) return kStatusTaken;

  if (decrypted) {
    alignFlag = (reply.alignWord & ServerReply::kAlignBit) ? 1 : 0;
    ByteReader r(body.data(), body.size());
    r.Skip(ServerReply::kDisplayBlockOffset);
    const uint8_t* block = r.Take(ServerReply::kFullBody - ServerReply::kDisplayBlockOffset);
    CxAutoLock hold(&processorLock);
    for (int i = 0; i < processorCount && i < kMaxSlots; ++i) {
      if (processors[i] && processors[i]->OnServerDisplayBlock(block) != 0) break;
    }
  }
  for (uint16_t i = 0; i < reply.slotCount && i < hello::kMaxSlots; ++i)
    ConfigureSlotProcessor(i, reply.entries[i], hello::kSlotEntrySize, nullptr, 0);
  return kStatusOk;
}
