#include "PcscNative.h"

#include <PCSC/reader.h>
#include <PCSC/winscard.h>

#include <algorithm>
#include <cstring>

namespace pcscnative {

static_assert(kMaxBufferExtended == MAX_BUFFER_SIZE_EXTENDED, "pcsclite's longest buffer");

const char* const kFnNames[kFnCount] = {
    "SCardEstablishContext", "SCardReleaseContext", "SCardIsValidContext", "SCardListReaderGroups",
    "SCardListReaders",      "SCardFreeMemory",     "SCardGetStatusChange", "SCardCancel",
    "SCardConnect",          "SCardReconnect",      "SCardDisconnect",     "SCardBeginTransaction",
    "SCardEndTransaction",   "SCardStatus",         "SCardTransmit",       "SCardControl",
    "SCardGetAttrib",        "SCardSetAttrib",
};

namespace {

// pcsclite's entry points, typed from its own declarations.
using EstablishFn = decltype(&::SCardEstablishContext);
using ReleaseFn = decltype(&::SCardReleaseContext);
using ListGroupsFn = decltype(&::SCardListReaderGroups);
using ListReadersFn = decltype(&::SCardListReaders);
using FreeMemoryFn = decltype(&::SCardFreeMemory);
using StatusChangeFn = decltype(&::SCardGetStatusChange);
using CancelFn = decltype(&::SCardCancel);
using ConnectFn = decltype(&::SCardConnect);
using ReconnectFn = decltype(&::SCardReconnect);
using DisconnectFn = decltype(&::SCardDisconnect);
using BeginFn = decltype(&::SCardBeginTransaction);
using EndFn = decltype(&::SCardEndTransaction);
using StatusFn = decltype(&::SCardStatus);
using TransmitFn = decltype(&::SCardTransmit);
using ControlFn = decltype(&::SCardControl);
using GetAttribFn = decltype(&::SCardGetAttrib);
using SetAttribFn = decltype(&::SCardSetAttrib);

template <class F>
F As(void* symbol) {
  return reinterpret_cast<F>(symbol);
}

// Windows numbers its control codes CTL_CODE(FILE_DEVICE_SMARTCARD, n,
// METHOD_BUFFERED, FILE_ANY_ACCESS); pcsclite numbers the same n from
// 0x42000000.
constexpr uint32_t kWireCtlBase = 0x00310000;
constexpr uint64_t kNativeCtlBase = 0x42000000;

// pcsclite has one value for "unexpected" and "unsupported feature"; in the
// card calls it means the latter, which Windows numbers apart.
constexpr uint32_t kNativeUnsupported = 0x8010001F;

uint32_t CardCallError(LONG rv) {
  const uint32_t wire = Pcsc::ErrorToWire(rv);
  return wire == kNativeUnsupported ? kUnsupportedFeature : wire;
}

// Copies an auto-allocated or fixed output of length n into out.
void TakeOutput(OutBuffer& out, const unsigned char* bytes, DWORD n) {
  out.length = static_cast<uint32_t>(n);
  if (bytes) out.data.assign(bytes, bytes + n);
  else out.data.clear();
}

}  // namespace

uint64_t Pcsc::ProtocolsToNative(uint32_t wire) {
  if (wire & kWireProtocolDefault) return SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
  uint64_t native = wire & (SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
  if (wire & kWireProtocolRaw) native |= SCARD_PROTOCOL_RAW;
  return native;
}

uint32_t Pcsc::ProtocolToWire(uint64_t native) {
  uint32_t wire = static_cast<uint32_t>(native & (SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1));
  if (native & SCARD_PROTOCOL_RAW) wire |= kWireProtocolRaw;
  return wire;
}

uint64_t Pcsc::ControlCodeToNative(uint32_t wire) {
  if ((wire & 0xFFFF0003u) == kWireCtlBase) return kNativeCtlBase + ((wire & 0xFFFFu) >> 2);
  return wire;
}

uint32_t Pcsc::CardStateToWire(uint64_t mask) {
  // Windows reports one state (0 unknown .. 6 specific), pcsclite a bit
  // mask (0x01 unknown .. 0x40 specific): the highest bit set wins.
  static const uint64_t kBits[] = {SCARD_SPECIFIC,  SCARD_NEGOTIABLE, SCARD_POWERED, SCARD_SWALLOWED,
                                   SCARD_PRESENT,   SCARD_ABSENT};
  static const uint32_t kWire[] = {6, 5, 4, 3, 2, 1};
  for (size_t i = 0; i < sizeof(kBits) / sizeof(kBits[0]); ++i) {
    if (mask & kBits[i]) return kWire[i];
  }
  return 0;
}

uint32_t Pcsc::ErrorToWire(int64_t native) { return static_cast<uint32_t>(native); }

uint32_t Pcsc::EstablishContext(uint32_t scope, int64_t* context) const {
  if (!Has(kEstablishContext)) return kCallNotImplemented;
  SCARDCONTEXT c = 0;
  const LONG rv = As<EstablishFn>(fns_[kEstablishContext])(scope, nullptr, nullptr, &c);
  *context = rv == SCARD_S_SUCCESS ? c : 0;
  return ErrorToWire(rv);
}

uint32_t Pcsc::ReleaseContext(int64_t context) const {
  if (!Has(kReleaseContext)) return kCallNotImplemented;
  return ErrorToWire(As<ReleaseFn>(fns_[kReleaseContext])(context));
}

uint32_t Pcsc::Cancel(int64_t context) const {
  if (!Has(kCancel)) return kCallNotImplemented;
  return ErrorToWire(As<CancelFn>(fns_[kCancel])(context));
}

uint32_t Pcsc::ListReaders(int64_t context, const std::string* groups, bool wantList, std::string* msz) const {
  if (!Has(kListReaders) || !Has(kFreeMemory)) return kCallNotImplemented;
  msz->clear();
  auto list = As<ListReadersFn>(fns_[kListReaders]);
  const char* g = groups ? groups->c_str() : nullptr;
  DWORD n = 0;
  if (!wantList) {
    const LONG rv = list(context, g, nullptr, &n);
    if (rv == SCARD_S_SUCCESS) msz->assign(n, '\0');
    return ErrorToWire(rv);
  }
  char* p = nullptr;
  n = SCARD_AUTOALLOCATE;
  const LONG rv = list(context, g, reinterpret_cast<char*>(&p), &n);
  if (rv == SCARD_S_SUCCESS && p) {
    msz->assign(p, n);
    As<FreeMemoryFn>(fns_[kFreeMemory])(context, p);
  }
  return ErrorToWire(rv);
}

uint32_t Pcsc::ListReaderGroups(int64_t context, bool wantList, std::string* msz) const {
  if (!Has(kListReaderGroups) || !Has(kFreeMemory)) return kCallNotImplemented;
  msz->clear();
  auto list = As<ListGroupsFn>(fns_[kListReaderGroups]);
  DWORD n = 0;
  if (!wantList) {
    const LONG rv = list(context, nullptr, &n);
    if (rv == SCARD_S_SUCCESS) msz->assign(n, '\0');
    return ErrorToWire(rv);
  }
  char* p = nullptr;
  n = SCARD_AUTOALLOCATE;
  const LONG rv = list(context, reinterpret_cast<char*>(&p), &n);
  if (rv == SCARD_S_SUCCESS && p) {
    msz->assign(p, n);
    As<FreeMemoryFn>(fns_[kFreeMemory])(context, p);
  }
  return ErrorToWire(rv);
}

uint32_t Pcsc::GetStatusChange(int64_t context, uint32_t timeout, std::vector<ReaderState>& states) const {
  if (!Has(kGetStatusChange)) return kCallNotImplemented;
  std::vector<SCARD_READERSTATE> native(states.size());
  for (size_t i = 0; i < states.size(); ++i) {
    SCARD_READERSTATE& n = native[i];
    std::memset(&n, 0, sizeof n);
    n.szReader = states[i].hasReader ? states[i].reader.c_str() : nullptr;
    n.dwCurrentState = states[i].currentState;
    n.dwEventState = states[i].eventState;
    n.cbAtr = std::min<uint32_t>(states[i].cbAtr, MAX_ATR_SIZE);
    std::memcpy(n.rgbAtr, states[i].atr.data(), n.cbAtr);
  }
  const DWORD wait = timeout == 0xFFFFFFFFu ? INFINITE : timeout;
  const LONG rv = As<StatusChangeFn>(fns_[kGetStatusChange])(context, wait, native.data(),
                                                              static_cast<DWORD>(native.size()));
  for (size_t i = 0; i < states.size(); ++i) {
    states[i].currentState = static_cast<uint32_t>(native[i].dwCurrentState);
    states[i].eventState = static_cast<uint32_t>(native[i].dwEventState);
    states[i].cbAtr = static_cast<uint32_t>(std::min<DWORD>(native[i].cbAtr, MAX_ATR_SIZE));
    states[i].atr.fill(0);
    std::memcpy(states[i].atr.data(), native[i].rgbAtr, states[i].cbAtr);
  }
  return ErrorToWire(rv);
}

uint32_t Pcsc::Connect(int64_t context, const std::string& reader, uint32_t shareMode, uint32_t protocols,
                       int64_t* card, uint32_t* activeProtocol) const {
  *card = 0;
  *activeProtocol = 0;
  if (!Has(kConnect)) return kCallNotImplemented;
  SCARDHANDLE h = 0;
  DWORD active = 0;
  const LONG rv = As<ConnectFn>(fns_[kConnect])(context, reader.c_str(), shareMode, ProtocolsToNative(protocols),
                                               &h, &active);
  if (rv == SCARD_S_SUCCESS) {
    *card = h;
    *activeProtocol = ProtocolToWire(active);
  }
  return ErrorToWire(rv);
}

uint32_t Pcsc::Reconnect(int64_t card, uint32_t shareMode, uint32_t protocols, uint32_t initialization,
                         uint32_t* activeProtocol) const {
  *activeProtocol = 0;
  if (!Has(kReconnect)) return kCallNotImplemented;
  DWORD active = 0;
  const LONG rv =
      As<ReconnectFn>(fns_[kReconnect])(card, shareMode, ProtocolsToNative(protocols), initialization, &active);
  if (rv == SCARD_S_SUCCESS) *activeProtocol = ProtocolToWire(active);
  return ErrorToWire(rv);
}

uint32_t Pcsc::Disconnect(int64_t card, uint32_t disposition) const {
  if (!Has(kDisconnect)) return kCallNotImplemented;
  return ErrorToWire(As<DisconnectFn>(fns_[kDisconnect])(card, disposition));
}

uint32_t Pcsc::BeginTransaction(int64_t card) const {
  if (!Has(kBeginTransaction)) return kCallNotImplemented;
  return ErrorToWire(As<BeginFn>(fns_[kBeginTransaction])(card));
}

uint32_t Pcsc::EndTransaction(int64_t card, uint32_t disposition) const {
  if (!Has(kEndTransaction)) return kCallNotImplemented;
  return ErrorToWire(As<EndFn>(fns_[kEndTransaction])(card, disposition));
}

uint32_t Pcsc::Status(int64_t card, std::string* names, uint32_t* state, uint32_t* protocol,
                      std::vector<uint8_t>* atr) const {
  names->clear();
  atr->clear();
  *state = 0;
  *protocol = 0;
  if (!Has(kStatus)) return kCallNotImplemented;
  // A names buffer of the 2048 bytes the caller can return at most; an
  // allocated one would have to be freed with the card's context, which
  // pcsclite wants and the handle alone does not give.
  char buffer[2048];
  DWORD n = sizeof buffer;
  DWORD nativeState = 0, nativeProtocol = 0;
  unsigned char bytes[MAX_ATR_SIZE] = {};
  DWORD atrLength = sizeof bytes;
  const LONG rv =
      As<StatusFn>(fns_[kStatus])(card, buffer, &n, &nativeState, &nativeProtocol, bytes, &atrLength);
  if (rv == SCARD_S_SUCCESS) {
    names->assign(buffer, std::min<DWORD>(n, sizeof buffer));
    *protocol = ProtocolToWire(nativeProtocol);
    // pcsclite never reports a card as specific: one with a protocol in
    // use is what Windows calls specific.
    *state = CardStateToWire(nativeState);
    if (*state == 5 && *protocol != 0) *state = 6;
    atr->assign(bytes, bytes + std::min<DWORD>(atrLength, sizeof bytes));
  }
  return ErrorToWire(rv);
}

uint32_t Pcsc::Transmit(int64_t card, uint32_t protocol, const std::vector<uint8_t>& extra, const uint8_t* send,
                        uint32_t sendLength, OutBuffer& recv) const {
  if (!Has(kTransmit)) return kCallNotImplemented;
  // The send information: pcsclite's own header with the extra bytes behind it.
  std::vector<unsigned char> pci(sizeof(SCARD_IO_REQUEST) + extra.size());
  SCARD_IO_REQUEST header{};
  header.dwProtocol = ProtocolsToNative(protocol);
  header.cbPciLength = pci.size();
  std::memcpy(pci.data(), &header, sizeof header);
  if (!extra.empty()) std::memcpy(pci.data() + sizeof header, extra.data(), extra.size());
  const SCARD_IO_REQUEST* sendPci = reinterpret_cast<const SCARD_IO_REQUEST*>(pci.data());

  // pcsclite needs a receive buffer even when the caller wants the length
  // only: the largest it takes stands in for none. It refuses a larger one.
  const bool fixed = recv.mode == OutBuffer::kFixed;
  std::vector<unsigned char> buffer(fixed ? std::min(recv.size, kMaxBufferExtended) : kMaxBufferExtended);
  DWORD n = buffer.size();
  const LONG rv = As<TransmitFn>(fns_[kTransmit])(card, sendPci, send, sendLength, nullptr,
                                                 buffer.empty() ? nullptr : buffer.data(), &n);
  if (rv == SCARD_S_SUCCESS) {
    if (fixed) TakeOutput(recv, buffer.data(), std::min<DWORD>(n, buffer.size()));
    recv.length = static_cast<uint32_t>(n);
  }
  return ErrorToWire(rv);
}

uint32_t Pcsc::Control(int64_t card, uint32_t controlCode, const uint8_t* in, uint32_t inLength,
                       OutBuffer& out) const {
  if (!Has(kControl)) return kCallNotImplemented;
  // pcsclite does not allocate control output: the largest buffer it takes
  // stands in for an allocation. It refuses a larger one.
  const uint32_t size = out.mode == OutBuffer::kFixed ? std::min(out.size, kMaxBufferExtended)
                        : out.mode == OutBuffer::kAuto ? kMaxBufferExtended
                                                       : 0;
  std::vector<unsigned char> buffer(size);
  DWORD returned = 0;
  const LONG rv = As<ControlFn>(fns_[kControl])(card, ControlCodeToNative(controlCode), in, inLength,
                                               buffer.empty() ? nullptr : buffer.data(), size, &returned);
  if (rv == SCARD_S_SUCCESS) {
    TakeOutput(out, buffer.empty() ? nullptr : buffer.data(), std::min<DWORD>(returned, size));
    out.length = static_cast<uint32_t>(returned);
  }
  return CardCallError(rv);
}

uint32_t Pcsc::GetAttrib(int64_t card, uint32_t attrId, OutBuffer& out) const {
  if (!Has(kGetAttrib)) return kCallNotImplemented;
  // pcsclite neither allocates attributes nor tells a length for a null
  // buffer, and refuses buffers above its own maximum: a buffer of that
  // maximum stands in for all three.
  const bool fixed = out.mode == OutBuffer::kFixed;
  std::vector<unsigned char> buffer(fixed ? std::min<uint32_t>(out.size, MAX_BUFFER_SIZE) : MAX_BUFFER_SIZE);
  DWORD n = buffer.size();
  LONG rv = As<GetAttribFn>(fns_[kGetAttrib])(card, attrId, buffer.empty() ? nullptr : buffer.data(), &n);
  if (rv == static_cast<LONG>(kNativeUnsupported) && attrId == SCARD_ATTR_ATR_STRING) {
    // pcsclite leaves the ATR attribute to the reader driver, and not every
    // driver has it; the service knows the ATR all the same.
    std::string names;
    uint32_t state = 0, protocol = 0;
    std::vector<uint8_t> atr;
    if (Status(card, &names, &state, &protocol, &atr) == 0) {
      rv = atr.size() <= buffer.size() ? SCARD_S_SUCCESS : SCARD_E_INSUFFICIENT_BUFFER;
      std::copy(atr.begin(), atr.begin() + std::min(atr.size(), buffer.size()), buffer.begin());
      n = atr.size();
    }
  }
  if (rv == SCARD_S_SUCCESS && out.mode != OutBuffer::kNone) {
    TakeOutput(out, buffer.data(), std::min<DWORD>(n, buffer.size()));
  }
  out.length = static_cast<uint32_t>(n);
  return CardCallError(rv);
}

uint32_t Pcsc::SetAttrib(int64_t card, uint32_t attrId, const uint8_t* data, uint32_t length) const {
  if (!Has(kSetAttrib)) return kCallNotImplemented;
  return CardCallError(As<SetAttribFn>(fns_[kSetAttrib])(card, attrId, data, length));
}

}  // namespace pcscnative
