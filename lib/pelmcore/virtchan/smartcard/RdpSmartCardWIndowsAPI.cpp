#include "RdpSmartCardWIndowsAPI.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "RdpNdrHandles.h"
#include "pelplat/library.h"
#include "pelplat/synch.h"
#include "pelplat/utf16.h"

using namespace rdpesc;
using pcscnative::OutBuffer;
namespace nat = pcscnative;

namespace {

constexpr uint32_t kCancelled = 0x80100002;          // SCARD_E_CANCELLED
constexpr uint32_t kInvalidHandle = 0x80100003;      // SCARD_E_INVALID_HANDLE
constexpr uint32_t kInvalidParameter = 0x80100004;   // SCARD_E_INVALID_PARAMETER
constexpr uint32_t kInsufficientBuffer = 0x80100008; // SCARD_E_INSUFFICIENT_BUFFER
constexpr uint32_t kInvalidValue = 0x80100011;       // SCARD_E_INVALID_VALUE
constexpr uint32_t kUnknownError = 0x80100014;       // SCARD_F_UNKNOWN_ERROR
constexpr uint32_t kServiceStopped = 0x8010001E;     // SCARD_E_SERVICE_STOPPED
constexpr uint32_t kUnexpected = 0x8010001F;         // SCARD_E_UNEXPECTED
constexpr uint32_t kUnsupported = 0x80100022;        // SCARD_E_UNSUPPORTED_FEATURE
constexpr uint32_t kNotImplemented = 120;            // ERROR_CALL_NOT_IMPLEMENTED
constexpr uint32_t kAuto = 0xFFFFFFFF;               // SCARD_AUTOALLOCATE
// Reader state bits, the same in both numberings.
constexpr uint32_t kStateChanged = 0x0002;
constexpr uint32_t kStatePresent = 0x0020;
constexpr uint32_t kStateAtrMatch = 0x0040;
constexpr uint32_t kStateBits = 0xFFFF;  // the event count is above them
constexpr DWORD kStartedWaitMs = 40000;
constexpr DWORD kStartedPollMs = 200;
constexpr uint32_t kStatusNamesBytes = 2048;
// pcsclite refuses a longer receive or control output buffer before it asks
// the card, which never answers more.
constexpr uint32_t kMaxCardIoBytes = std::min(kMaxIoBytes, nat::kMaxBufferExtended);
// The server's cancel is answered once its waits have left, or after this
// at most: the channel's worker thread runs it.
constexpr std::chrono::milliseconds kServerCancelBound(5000);

uint32_t ValueOf(const NdrBlob& b) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4 && i < b.bytes.size(); ++i) v |= uint32_t{b.bytes[i]} << (8 * i);
  return v;
}

NdrBlob BlobOf(uint32_t v) {
  const uint8_t b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
  return NdrBlob::Of(b, 4);
}

REDIR_SCARDCONTEXT WireContext(uint32_t context) {
  REDIR_SCARDCONTEXT c;
  if (context == 0) return c;  // the null context travels empty
  c.cbContext = 4;
  c.pbContext = BlobOf(context);
  return c;
}

// Text of either width as the UTF-8 pcsclite takes.
std::string Narrow(const std::string& s) { return s; }
std::string Narrow(const std::u16string& s) { return Utf16ToUtf8(s); }

// A UTF-8 multi-string as the server's width wants it: bytes and characters.
std::vector<uint8_t> MultiStringFor(bool wide, const std::string& utf8, uint32_t* chars) {
  if (!wide) {
    *chars = static_cast<uint32_t>(utf8.size());
    return std::vector<uint8_t>(utf8.begin(), utf8.end());
  }
  const std::u16string w = Utf8ToUtf16(utf8.data(), utf8.size());
  *chars = static_cast<uint32_t>(w.size());
  std::vector<uint8_t> bytes(w.size() * 2);
  for (size_t i = 0; i < w.size(); ++i) {
    bytes[2 * i] = static_cast<uint8_t>(w[i]);
    bytes[2 * i + 1] = static_cast<uint8_t>(w[i] >> 8);
  }
  return bytes;
}

// A server multi-string (bytes of its width) as UTF-8.
std::string MultiStringFrom(bool wide, const std::vector<uint8_t>& bytes) {
  if (!wide) return std::string(bytes.begin(), bytes.end());
  std::u16string w(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < w.size(); ++i) w[i] = static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  return Utf16ToUtf8(w.data(), w.size());
}

// A server-sized output buffer, bounded by what a reply can carry.
OutBuffer OutFor(uint32_t isNull, uint32_t length, uint32_t replyMax) {
  OutBuffer out;
  if (isNull) return out;
  if (length == kAuto) {
    out.mode = OutBuffer::kAuto;
  } else {
    out.mode = OutBuffer::kFixed;
    out.size = std::min(length, replyMax);
  }
  return out;
}

// The bytes of a reply: what the service wrote, or zeros of its length
// where the server asked for the length only.
NdrBlob ReplyBytes(const OutBuffer& out) {
  if (out.mode == OutBuffer::kNone) return NdrBlob::Of(std::vector<uint8_t>(out.length).data(), out.length);
  return NdrBlob::Of(out.data.data(), out.data.size());
}

// Decodes the request's call structure: 0 or the decoding failure. The
// structure owns what the decode allocated and releases it when it goes.
template <class T>
uint32_t DecodeCall(IRdpScardRequest* request, T& call) {
  CRdpNdrDecodeHandle in;
  in.Open(request->InputBuffer(), request->InputBufferLength());
  const uint32_t e = in.Decode(call);
  in.Close();
  return e;
}

template <class CharT>
nat::ReaderState NativeState(const ReaderState<CharT>& s) {
  nat::ReaderState n;
  n.hasReader = s.szReader.present;
  if (n.hasReader) n.reader = Narrow(s.szReader.text);
  n.currentState = s.Common.dwCurrentState;
  n.eventState = s.Common.dwEventState;
  n.cbAtr = s.Common.cbAtr;
  n.atr = s.Common.rgbAtr;
  return n;
}

// Whether a card's ATR matches one of the masks: the same length, and the
// same bits wherever the mask has one.
bool AtrMatches(const nat::ReaderState& card, const std::vector<LocateCards_ATRMask>& masks) {
  if (card.cbAtr == 0 || card.cbAtr > card.atr.size()) return false;
  for (const LocateCards_ATRMask& m : masks) {
    if (m.cbAtr != card.cbAtr) continue;
    bool same = true;
    for (uint32_t i = 0; i < m.cbAtr && same; ++i) same = ((card.atr[i] ^ m.rgbAtr[i]) & m.rgbMask[i]) == 0;
    if (same) return true;
  }
  return false;
}

// The cache key of a call: kInvalidParameter without a card or a name.
template <class CharT>
uint32_t CacheKeyOf(const NdrOpt<NdrUuid>& card, const NdrStr<CharT>& name, CardDataCache::Key* key) {
  if (!card.present || !name.present) return kInvalidParameter;
  const NdrUuid& u = card.value;
  const uint8_t head[8] = {uint8_t(u.Data1),       uint8_t(u.Data1 >> 8), uint8_t(u.Data1 >> 16),
                           uint8_t(u.Data1 >> 24), uint8_t(u.Data2),      uint8_t(u.Data2 >> 8),
                           uint8_t(u.Data3),       uint8_t(u.Data3 >> 8)};
  std::copy(head, head + 8, key->first.begin());
  std::copy(u.Data4.begin(), u.Data4.end(), key->first.begin() + 8);
  key->second = Narrow(name.text);
  return 0;
}

// A cache call in its narrow or wide form; the two differ only in the
// lookup name's width.
template <class NarrowCall, class WideCall>
struct CacheCall {
  NarrowCall narrow;
  WideCall wide;
  bool isWide = false;

  uint32_t Decode(IRdpScardRequest* request, uint32_t narrowCode, uint32_t wideCode) {
    const uint32_t code = request->IoControlCode();
    isWide = code == wideCode;
    return code == narrowCode ? DecodeCall(request, narrow) : isWide ? DecodeCall(request, wide) : kUnsupported;
  }
  const auto& Common() const { return isWide ? wide.Common : narrow.Common; }
  uint32_t Key(CardDataCache::Key* key) const {
    return isWide ? CacheKeyOf(wide.Common.CardIdentifier, wide.szLookupName, key)
                  : CacheKeyOf(narrow.Common.CardIdentifier, narrow.szLookupName, key);
  }
};

}  // namespace

// ---------------------------------------------------------------------------

const CRdpSmartCardWIndowsAPI::Binding CRdpSmartCardWIndowsAPI::kBindingTable[] = {
    {"SCardEstablishContext", nat::kEstablishContext},
    {"SCardReleaseContext", nat::kReleaseContext},
    {"SCardIsValidContext", nat::kIsValidContext},
    {"SCardListReaderGroupsA", nat::kListReaderGroups},
    {"SCardListReaderGroupsW", nat::kListReaderGroups},
    {"SCardListReadersA", nat::kListReaders},
    {"SCardListReadersW", nat::kListReaders},
    {"SCardIntroduceReaderGroupA", -1},
    {"SCardIntroduceReaderGroupW", -1},
    {"SCardForgetReaderGroupA", -1},
    {"SCardForgetReaderGroupW", -1},
    {"SCardIntroduceReaderA", -1},
    {"SCardIntroduceReaderW", -1},
    {"SCardForgetReaderA", -1},
    {"SCardForgetReaderW", -1},
    {"SCardAddReaderToGroupA", -1},
    {"SCardAddReaderToGroupW", -1},
    {"SCardRemoveReaderFromGroupA", -1},
    {"SCardRemoveReaderFromGroupW", -1},
    {"SCardFreeMemory", nat::kFreeMemory},
    {"SCardLocateCardsA", -1},
    {"SCardLocateCardsW", -1},
    {"SCardLocateCardsByATRA", nat::kGetStatusChange},
    {"SCardLocateCardsByATRW", nat::kGetStatusChange},
    {"SCardGetStatusChangeA", nat::kGetStatusChange},
    {"SCardGetStatusChangeW", nat::kGetStatusChange},
    {"SCardCancel", nat::kCancel},
    {"SCardConnectA", nat::kConnect},
    {"SCardConnectW", nat::kConnect},
    {"SCardReconnect", nat::kReconnect},
    {"SCardDisconnect", nat::kDisconnect},
    {"SCardBeginTransaction", nat::kBeginTransaction},
    {"SCardEndTransaction", nat::kEndTransaction},
    {"SCardState", -1},
    {"SCardStatusA", nat::kStatus},
    {"SCardStatusW", nat::kStatus},
    {"SCardTransmit", nat::kTransmit},
    {"SCardControl", nat::kControl},
    {"SCardGetAttrib", nat::kGetAttrib},
    {"SCardSetAttrib", nat::kSetAttrib},
    {"SCardReadCacheA", -1},
    {"SCardReadCacheW", -1},
    {"SCardWriteCacheA", -1},
    {"SCardWriteCacheW", -1},
    {"SCardGetTransmitCount", -1},
};
const size_t CRdpSmartCardWIndowsAPI::kBindingCount = sizeof(kBindingTable) / sizeof(kBindingTable[0]);

uint32_t CRdpSmartCardWIndowsAPI::IoStatusOf(uint32_t e) {
  struct Row {
    uint32_t marshal;
    uint32_t ioStatus;
  };
  // RPC_X_* codes are Win32 numbers, which read as success in an IoStatus.
  static const Row kRows[] = {
      {kRpcBadStubData, 0xC002000C},     // RPC_NT_BAD_STUB_DATA
      {kRpcInvalidBound, 0xC0020023},    // RPC_NT_INVALID_BOUND
      {kRpcWrongEsVersion, 0xC002000C},  // reported as bad stub data
      {kOutOfMemory, 0xC0000017},        // STATUS_NO_MEMORY
      {kEFail, 0xC0000001},              // STATUS_UNSUCCESSFUL
  };
  for (const Row& r : kRows) {
    if (r.marshal == e) return r.ioStatus;
  }
  return (e & 0xC0000000u) ? e : 0xC0000001;
}

// ---------------------------------------------------------------------------

CRdpCancelRequestByEvent::CRdpCancelRequestByEvent() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

CRdpCancelRequestByEvent::~CRdpCancelRequestByEvent() {
  if (event_) CloseHandle(event_);
}

uint32_t CRdpCancelRequestByEvent::Cancel(IRdpScardRequest*, uint32_t code) {
  if (event_) SetEvent(event_);
  return code;
}

CRdpSmartCardWIndowsAPI::CRdpSmartCardWIndowsAPI(std::string libraryName)
    : libraryName_(std::move(libraryName)), stopEvent_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

CRdpSmartCardWIndowsAPI::CRdpSmartCardWIndowsAPI(const pcscnative::Pcsc& service)
    : stopEvent_(CreateEventW(nullptr, TRUE, FALSE, nullptr)), haveService_(true), pcsc_(service) {}

CRdpSmartCardWIndowsAPI::~CRdpSmartCardWIndowsAPI() {
  reserved_.clear();
  // Our own pair for the null context goes with us, and so do the contexts
  // kept for waits, while the library is still there; the server's contexts
  // were released by StopAll.
  if (haveNullPair_) ReleasePair(nullPair_);
  for (auto& [context, pair] : natives_) pair.waits->Close();
  pcsc_.Clear();
  if (library_) FreeLibrary(library_);
  if (stopEvent_) CloseHandle(stopEvent_);
}

bool CRdpSmartCardWIndowsAPI::Init() {
  LoadLibrary();
  return true;
}

bool CRdpSmartCardWIndowsAPI::LoadLibrary() {
  if (haveService_) return true;
  library_ = LoadLibraryA(libraryName_.c_str());
  if (!library_) return false;
  haveService_ = true;
  for (size_t i = 0; i < kBindingCount; ++i) {
    const int fn = kBindingTable[i].native;
    if (fn < 0 || pcsc_.Has(static_cast<nat::Fn>(fn))) continue;
    pcsc_.Set(static_cast<nat::Fn>(fn), reinterpret_cast<void*>(GetProcAddress(library_, nat::kFnNames[fn])));
  }
  return true;
}

bool CRdpSmartCardWIndowsAPI::StopAll() {
  if (stopEvent_) SetEvent(stopEvent_);
  std::vector<NativePair> pairs;
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    stopped_ = true;
    for (uint32_t c : registry_) pairs.push_back(natives_[c]);
    registry_.clear();
    natives_.clear();
    caches_.clear();
    cards_.clear();
    if (haveNullPair_) pairs.push_back(nullPair_);
    haveNullPair_ = false;
  }
  // Outside the lock: a release that ends a blocked wait must not wait for it.
  for (const NativePair& p : pairs) ReleasePair(p);
  return true;
}

uint32_t CRdpSmartCardWIndowsAPI::ReleasePair(const NativePair& pair) {
  // The waits never hold the main context, so its release cannot wait for
  // one; a wait that starts after this answers at once.
  if (pair.waits) pair.waits->Close();
  return pair.main ? pcsc_.ReleaseContext(pair.main) : 0;
}

size_t CRdpSmartCardWIndowsAPI::StatusWaitsInProgress() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  size_t n = haveNullPair_ ? nullPair_.waits->InProgress() : 0;
  for (auto& [context, pair] : natives_) n += pair.waits->InProgress();
  return n;
}

uint32_t CRdpSmartCardWIndowsAPI::WaitStartedEvent(HANDLE extraEvent) {
  if (!haveService_) return kUnexpected;
  // pcsclite has no started event: the service counts as started once a
  // context can be established, which is probed until the wait ends.
  if (!pcsc_.Has(nat::kEstablishContext) || !pcsc_.Has(nat::kReleaseContext)) return kUnknownError;
  HANDLE handles[2] = {stopEvent_, extraEvent};
  const DWORD count = extraEvent ? 2 : 1;
  for (DWORD waited = 0;; waited += kStartedPollMs) {
    // A stopped API answers at once, before the service is asked.
    const DWORD r = WaitForMultipleObjects(count, handles, FALSE, 0);
    if (r == WAIT_OBJECT_0) return 1;
    if (r == WAIT_OBJECT_0 + 1) return 2;
    if (r != WAIT_TIMEOUT) return 0xFFFFFFFF;
    int64_t probe = 0;
    if (pcsc_.EstablishContext(0, &probe) == 0) {
      pcsc_.ReleaseContext(probe);
      return 0;
    }
    if (waited >= kStartedWaitMs) return WAIT_TIMEOUT;
    WaitForMultipleObjects(count, handles, FALSE, std::min(kStartedPollMs, kStartedWaitMs - waited));
  }
}

// ---------------------------------------------------------------------------
// Registry and checks

bool CRdpSmartCardWIndowsAPI::RegisterContext(uint32_t context, NativePair pair) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  registry_.push_back(context);
  natives_[context] = pair;
  return true;
}

bool CRdpSmartCardWIndowsAPI::UnregisterContext(uint32_t context, NativePair* pair) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto it = std::find(registry_.begin(), registry_.end(), context);
  if (it == registry_.end()) return false;
  registry_.erase(it);
  *pair = natives_[context];
  natives_.erase(context);
  ForgetContextData(context);
  return true;
}

void CRdpSmartCardWIndowsAPI::ForgetContextData(uint32_t context) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  caches_.erase(context);
  for (auto it = cards_.begin(); it != cards_.end();) {
    it = it->second.context == context ? cards_.erase(it) : std::next(it);
  }
}

void CRdpSmartCardWIndowsAPI::RememberCard(uint32_t card, uint32_t context) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  cards_[card] = CardRecord{context, 0};
}

void CRdpSmartCardWIndowsAPI::ForgetCard(uint32_t card) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  cards_.erase(card);
}

void CRdpSmartCardWIndowsAPI::CountTransmit(uint32_t card) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto it = cards_.find(card);
  if (it != cards_.end()) ++it->second.transmits;
}

uint32_t CRdpSmartCardWIndowsAPI::CheckContext(uint32_t* context, const REDIR_SCARDCONTEXT& c) {
  *context = 0;
  if (c.cbContext == 0) return 0;
  if (c.cbContext != 4 || c.pbContext.bytes.size() != 4) return kInvalidParameter;
  *context = ValueOf(c.pbContext);
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return std::find(registry_.begin(), registry_.end(), *context) != registry_.end() ? 0 : kInvalidParameter;
}

uint32_t CRdpSmartCardWIndowsAPI::CheckHandle(uint32_t* card, const REDIR_SCARDHANDLE& h) {
  *card = 0;
  if (h.cbHandle != 4 || h.pbHandle.bytes.size() != 4) return kInvalidParameter;
  *card = ValueOf(h.pbHandle);
  return 0;
}

uint32_t CRdpSmartCardWIndowsAPI::CheckCardThenContext(uint32_t* card, const REDIR_SCARDHANDLE& h) {
  uint32_t context = 0;
  const uint32_t rc = CheckHandle(card, h);
  return rc ? rc : CheckContext(&context, h.Context);
}

CRdpSmartCardWIndowsAPI::NativePair CRdpSmartCardWIndowsAPI::NewPair(uint32_t scope, uint32_t* error) {
  NativePair pair;
  *error = pcsc_.EstablishContext(scope, &pair.main);
  if (*error == 0) pair.waits = std::make_shared<StatusWaitContexts>(pcsc_, scope);
  return pair;
}

bool CRdpSmartCardWIndowsAPI::Native(uint32_t context, NativePair* pair, uint32_t* error) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  *error = 0;
  if (context != 0) {
    auto it = natives_.find(context);
    // A value the registry does not hold goes to the service as it is.
    if (it != natives_.end()) {
      *pair = it->second;
    } else {
      pair->main = static_cast<int32_t>(context);
      pair->waits.reset();
    }
    return true;
  }
  if (!haveNullPair_) {
    // A call that arrives after StopAll opens nothing that would outlive it.
    if (stopped_) {
      *error = kServiceStopped;
      return false;
    }
    NativePair p = NewPair(0, error);
    if (*error != 0) return false;
    nullPair_ = p;
    haveNullPair_ = true;
  }
  *pair = nullPair_;
  return true;
}

// ---------------------------------------------------------------------------
// Replies

template <class T>
int32_t CRdpSmartCardWIndowsAPI::CompleteWith(IRdpScardDevice* device, IRdpScardRequest* request, const T& reply) {
  CRdpNdrEncodeBuffer out;
  out.Open();
  const uint32_t e = out.Encode(reply);
  const int32_t sent = e == 0 ? device->CompleteData(request, out.Buffer(), out.Length())
                              : device->CompleteStatus(request, IoStatusOf(e));
  out.Close();
  return sent;
}

int32_t CRdpSmartCardWIndowsAPI::CompleteLongReturn(IRdpScardDevice* device, IRdpScardRequest* request,
                                                    uint32_t returnCode) {
  Long_Return r;
  r.ReturnCode = returnCode;
  return CompleteWith(device, request, r);
}

int32_t CRdpSmartCardWIndowsAPI::CompleteMultiString(IRdpScardDevice* device, IRdpScardRequest* request,
                                                     uint32_t returnCode, const uint8_t* data, uint32_t length) {
  LongAndMultiString_Return r;
  r.ReturnCode = returnCode;
  r.cBytes = length;
  if (data) r.msz = NdrBlob::Of(data, length);
  else if (returnCode == 0) r.msz = NdrBlob::Of(std::vector<uint8_t>(length).data(), length);
  return CompleteWith(device, request, r);
}

int32_t CRdpSmartCardWIndowsAPI::CompleteReaderStates(uint32_t returnCode,
                                                      const std::vector<nat::ReaderState>& states,
                                                      IRdpScardDevice* device, IRdpScardRequest* request) {
  ReaderStates_Return r;
  r.ReturnCode = returnCode;
  if (returnCode == 0 && !states.empty()) {
    r.cReaders = static_cast<uint32_t>(states.size());
    r.rgReaderStates.present = true;
    for (const nat::ReaderState& s : states) {
      ReaderState_Return out;
      out.dwCurrentState = s.currentState;
      out.dwEventState = s.eventState;
      out.cbAtr = s.cbAtr;
      out.rgbAtr = s.atr;
      r.rgReaderStates.items.push_back(out);
    }
  }
  return CompleteWith(device, request, r);
}

// ---------------------------------------------------------------------------
// Operations

int32_t CRdpSmartCardWIndowsAPI::AccessStartedEvent(IRdpScardDevice* device, IRdpScardRequest* request) {
  auto cancel = std::make_shared<CRdpCancelRequestByEvent>();
  request->SetCancel(cancel);
  return CompleteLongReturn(device, request, WaitStartedEvent(cancel->Event()));
}

int32_t CRdpSmartCardWIndowsAPI::EstablishContext(IRdpScardDevice* device, IRdpScardRequest* request) {
  EstablishContext_Call call;
  EstablishContext_Return reply;
  reply.ReturnCode = DecodeCall(request, call);
  NativePair pair;
  if (reply.ReturnCode == 0) pair = NewPair(call.dwScope, &reply.ReturnCode);
  const uint32_t context = static_cast<uint32_t>(pair.main);
  if (reply.ReturnCode == 0) {
    RegisterContext(context, pair);
    reply.Context = WireContext(context);
  }
  CRdpNdrEncodeBuffer out;
  out.Open();
  const uint32_t e = out.Encode(reply);
  int32_t sent;
  if (e == 0) {
    sent = device->CompleteData(request, out.Buffer(), out.Length());
  } else {
    sent = device->CompleteStatus(request, IoStatusOf(e));
    NativePair gone;
    if (reply.ReturnCode == 0 && UnregisterContext(context, &gone)) ReleasePair(gone);
  }
  out.Close();
  return sent;
}

int32_t CRdpSmartCardWIndowsAPI::ListReaders(IRdpScardDevice* device, IRdpScardRequest* request) {
  return MultiStringOperation(device, request, true);
}

int32_t CRdpSmartCardWIndowsAPI::ListReaderGroups(IRdpScardDevice* device, IRdpScardRequest* request) {
  return MultiStringOperation(device, request, false);
}

int32_t CRdpSmartCardWIndowsAPI::MultiStringOperation(IRdpScardDevice* device, IRdpScardRequest* request,
                                                      bool readers) {
  const uint32_t code = request->IoControlCode();
  const bool wide = code == scardioctl::kListReadersW || code == scardioctl::kListReaderGroupsW;
  ListReaders_Call lr;
  ListReaderGroups_Call lg;
  if (const uint32_t e = readers ? DecodeCall(request, lr) : DecodeCall(request, lg)) {
    return device->CompleteStatus(request, IoStatusOf(e));
  }
  uint32_t context = 0;
  uint32_t rc = CheckContext(&context, readers ? lr.Context : lg.Context);
  if (readers) {
    // Listing readers takes a 4-byte context whether it is known or not
    // and anything else as the null context.
    rc = 0;
    if (lr.Context.cbContext != 4 || lr.Context.pbContext.bytes.size() != 4) context = 0;
  }
  const bool wantList = (readers ? lr.fmszReadersIsNULL : lg.fmszGroupsIsNULL) == 0;
  const uint32_t cch = readers ? lr.cchReaders : lg.cchGroups;
  std::string groups;
  const bool haveGroups = readers && lr.cBytes > 0 && lr.mszGroups.present;
  if (haveGroups) groups = MultiStringFrom(wide, lr.mszGroups.bytes);

  std::vector<uint8_t> list;
  uint32_t chars = 0;
  if (rc == 0) {
    NativePair pair;
    if (Native(context, &pair, &rc)) {
      std::string msz;
      rc = readers ? pcsc_.ListReaders(pair.main, haveGroups ? &groups : nullptr, wantList, &msz)
                   : pcsc_.ListReaderGroups(pair.main, wantList, &msz);
      list = MultiStringFor(wide, msz, &chars);
    }
  }
  const uint32_t bytes = static_cast<uint32_t>(list.size());
  if (rc != 0) return CompleteMultiString(device, request, rc, nullptr, 0);
  if (cch == 0 || !wantList) return CompleteMultiString(device, request, 0, nullptr, bytes);
  if (cch != kAuto && cch < chars) return CompleteMultiString(device, request, kInsufficientBuffer, nullptr, bytes);
  return CompleteMultiString(device, request, 0, list.data(), bytes);
}

int32_t CRdpSmartCardWIndowsAPI::HandleContext(IRdpScardDevice* device, IRdpScardRequest* request) {
  Context_Call call;
  uint32_t context = 0;
  uint32_t rc = DecodeCall(request, call);
  if (rc == 0) rc = CheckContext(&context, call.Context);
  if (rc == 0) {
    switch (request->IoControlCode()) {
      case scardioctl::kReleaseContext: {
        NativePair pair;
        if (context != 0 && UnregisterContext(context, &pair)) rc = ReleasePair(pair);
        break;
      }
      case scardioctl::kIsValidContext:
        break;  // the registry has decided
      case scardioctl::kCancel: {
        NativePair pair;
        bool any = false;
        if (Native(context, &pair, &rc) && pair.waits) rc = pair.waits->Cancel(kServerCancelBound, &any);
        // No wait to end: the service is told all the same.
        if (rc == 0 && !any) rc = pcsc_.Cancel(pair.main);
        break;
      }
      default:
        rc = kUnsupported;
    }
  }
  return CompleteLongReturn(device, request, rc);
}

int32_t CRdpSmartCardWIndowsAPI::ContextAndString(IRdpScardDevice* device, IRdpScardRequest* request) {
  const uint32_t code = request->IoControlCode();
  const bool known = code == scardioctl::kIntroduceReaderGroupA || code == scardioctl::kIntroduceReaderGroupW ||
                     code == scardioctl::kForgetReaderGroupA || code == scardioctl::kForgetReaderGroupW ||
                     code == scardioctl::kForgetReaderA || code == scardioctl::kForgetReaderW;
  const bool wide = code == scardioctl::kIntroduceReaderGroupW || code == scardioctl::kForgetReaderGroupW ||
                    code == scardioctl::kForgetReaderW;
  ContextAndStringA_Call a;
  ContextAndStringW_Call w;
  uint32_t rc = wide ? DecodeCall(request, w) : DecodeCall(request, a);
  uint32_t context = 0;
  if (rc == 0) rc = CheckContext(&context, wide ? w.Context : a.Context);
  // pcsclite keeps no reader groups and introduces no readers.
  if (rc == 0) rc = known ? kNotImplemented : kUnsupported;
  return CompleteLongReturn(device, request, rc);
}

template <class CharT>
int32_t CRdpSmartCardWIndowsAPI::ContextAndTwoString(IRdpScardDevice* device, IRdpScardRequest* request) {
  const uint32_t code = request->IoControlCode();
  const bool known = code == scardioctl::kIntroduceReaderA || code == scardioctl::kIntroduceReaderW ||
                     code == scardioctl::kAddReaderToGroupA || code == scardioctl::kAddReaderToGroupW ||
                     code == scardioctl::kRemoveReaderFromGroupA || code == scardioctl::kRemoveReaderFromGroupW;
  ContextAndTwoString_Call<CharT, sizeof(CharT) == 1 ? ContextAndTwoStringA_Call::kTag
                                                     : ContextAndTwoStringW_Call::kTag>
      call;
  uint32_t rc = DecodeCall(request, call);
  uint32_t context = 0;
  if (rc == 0) rc = CheckContext(&context, call.Context);
  if (rc == 0) rc = known ? kNotImplemented : kUnsupported;
  return CompleteLongReturn(device, request, rc);
}

int32_t CRdpSmartCardWIndowsAPI::ContextAndTwoStringW(IRdpScardDevice* device, IRdpScardRequest* request) {
  return ContextAndTwoString<char16_t>(device, request);
}

int32_t CRdpSmartCardWIndowsAPI::ContextAndTwoStringA(IRdpScardDevice* device, IRdpScardRequest* request) {
  return ContextAndTwoString<char>(device, request);
}

int32_t CRdpSmartCardWIndowsAPI::HCardAndDisposition(IRdpScardDevice* device, IRdpScardRequest* request) {
  HCardAndDisposition_Call call;
  if (const uint32_t e = DecodeCall(request, call)) return device->CompleteStatus(request, IoStatusOf(e));
  uint32_t card = 0;
  uint32_t rc = CheckHandle(&card, call.hCard);
  const int64_t native = static_cast<int32_t>(card);
  if (rc == 0) {
    switch (request->IoControlCode()) {
      case scardioctl::kDisconnect:
        rc = pcsc_.Disconnect(native, call.dwDisposition);
        if (rc == 0) ForgetCard(card);
        break;
      case scardioctl::kBeginTransaction: rc = pcsc_.BeginTransaction(native); break;
      case scardioctl::kEndTransaction: rc = pcsc_.EndTransaction(native, call.dwDisposition); break;
      default: rc = kUnsupported;
    }
  }
  return CompleteLongReturn(device, request, rc);
}

template <class CharT>
using StatusChangeCall =
    GetStatusChange_Call<CharT, sizeof(CharT) == 1 ? GetStatusChangeA_Call::kTag : GetStatusChangeW_Call::kTag>;

template <class CharT>
void CRdpSmartCardWIndowsAPI::Reserve(IRdpScardRequest* request) {
  uint32_t context = 0;
  NativePair pair;
  {
    StatusChangeCall<CharT> call;
    uint32_t rc = DecodeCall(request, call);
    if (rc == 0) rc = CheckContext(&context, call.Context);
    // A request refused here is refused again on its own thread.
    if (rc != 0 || !Native(context, &pair, &rc) || !pair.waits) return;
  }
  const uint64_t id = pair.waits->Reserve();
  if (id == 0) return;
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  reserved_[request] = Reservation{pair.waits, id};
}

void CRdpSmartCardWIndowsAPI::Accept(IRdpScardRequest* request) {
  switch (request->IoControlCode()) {
    case scardioctl::kGetStatusChangeA: Reserve<char>(request); break;
    case scardioctl::kGetStatusChangeW: Reserve<char16_t>(request); break;
    default: break;
  }
}

void CRdpSmartCardWIndowsAPI::Drop(IRdpScardRequest* request) {
  const Reservation r = TakeReservation(request);
  if (r.waits) r.waits->Drop(r.id);
}

CRdpSmartCardWIndowsAPI::Reservation CRdpSmartCardWIndowsAPI::TakeReservation(IRdpScardRequest* request) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  Reservation r;
  auto it = reserved_.find(request);
  if (it != reserved_.end()) {
    r = it->second;
    reserved_.erase(it);
  }
  return r;
}

template <class CharT>
int32_t CRdpSmartCardWIndowsAPI::GetStatusChange(IRdpScardDevice* device, IRdpScardRequest* request) {
  const Reservation reserved = TakeReservation(request);
  StatusChangeCall<CharT> call;
  uint32_t rc = DecodeCall(request, call);
  uint32_t context = 0;
  if (rc == 0) rc = CheckContext(&context, call.Context);
  std::vector<nat::ReaderState> states;
  const uint32_t timeout = call.dwTimeOut;
  if (rc == 0) {
    for (const auto& s : call.rgReaderStates.items) states.push_back(NativeState(s));
  }
  // A long wait holds no decoded data.
  call = decltype(call)();
  NativePair pair;
  if (rc == 0 && Native(context, &pair, &rc)) {
    // No waits of ours: the context was released since its check, which
    // ends a wait as a release does.
    if (!pair.waits) {
      rc = kCancelled;
    } else if (reserved.waits == pair.waits) {
      rc = pair.waits->Wait(reserved.id, timeout, states);
    } else {
      rc = pair.waits->Wait(timeout, states);
    }
  }
  // A reservation the wait did not use (one that did has left already).
  if (reserved.waits) reserved.waits->Drop(reserved.id);
  return CompleteReaderStates(rc, states, device, request);
}

int32_t CRdpSmartCardWIndowsAPI::GetStatusChangeW(IRdpScardDevice* device, IRdpScardRequest* request) {
  return GetStatusChange<char16_t>(device, request);
}

int32_t CRdpSmartCardWIndowsAPI::GetStatusChangeA(IRdpScardDevice* device, IRdpScardRequest* request) {
  return GetStatusChange<char>(device, request);
}

template <class CharT>
int32_t CRdpSmartCardWIndowsAPI::LocateCardsByATR(IRdpScardDevice* device, IRdpScardRequest* request) {
  LocateCardsByATR_Call<CharT, sizeof(CharT) == 1 ? LocateCardsByATRA_Call::kTag : LocateCardsByATRW_Call::kTag>
      call;
  if (const uint32_t e = DecodeCall(request, call)) return device->CompleteStatus(request, IoStatusOf(e));
  uint32_t context = 0;
  uint32_t rc = CheckContext(&context, call.Context);
  // pcsclite has no card database, but it tells each reader's card and ATR
  // at once to a caller that says it knows nothing of the reader yet.
  std::vector<nat::ReaderState> states;
  for (const auto& s : call.rgReaderStates.items) {
    nat::ReaderState n = NativeState(s);
    n.currentState = n.eventState = n.cbAtr = 0;
    n.atr.fill(0);
    states.push_back(n);
  }
  if (rc == 0 && !pcsc_.Has(nat::kGetStatusChange)) rc = kNotImplemented;
  NativePair pair;
  if (rc == 0 && !states.empty() && Native(context, &pair, &rc)) rc = pcsc_.GetStatusChange(pair.main, 0, states);
  if (rc != 0) return CompleteReaderStates(rc, {}, device, request);
  for (size_t i = 0; i < states.size(); ++i) {
    nat::ReaderState& s = states[i];
    s.currentState = call.rgReaderStates.items[i].Common.dwCurrentState;
    uint32_t event = s.eventState & ~(kStateChanged | kStateAtrMatch);
    if ((event & kStatePresent) && AtrMatches(s, call.rgAtrMasks.items)) event |= kStateAtrMatch;
    if ((event ^ s.currentState) & kStateBits & ~kStateChanged) event |= kStateChanged;
    s.eventState = event;
  }
  return CompleteReaderStates(rc, states, device, request);
}

int32_t CRdpSmartCardWIndowsAPI::LocateCardsByATRA(IRdpScardDevice* device, IRdpScardRequest* request) {
  return LocateCardsByATR<char>(device, request);
}

int32_t CRdpSmartCardWIndowsAPI::LocateCardsByATRW(IRdpScardDevice* device, IRdpScardRequest* request) {
  return LocateCardsByATR<char16_t>(device, request);
}

template <class CharT>
int32_t CRdpSmartCardWIndowsAPI::Connect(IRdpScardDevice* device, IRdpScardRequest* request) {
  Connect_Call<CharT, sizeof(CharT) == 1 ? ConnectA_Call::kTag : ConnectW_Call::kTag> call;
  if (const uint32_t e = DecodeCall(request, call)) return device->CompleteStatus(request, IoStatusOf(e));
  Connect_Return reply;
  uint32_t context = 0;
  uint32_t rc = call.szReader.present ? CheckContext(&context, call.Common.Context) : kInvalidValue;
  NativePair pair;
  int64_t card = 0;
  if (rc == 0 && Native(context, &pair, &rc)) {
    rc = pcsc_.Connect(pair.main, Narrow(call.szReader.text), call.Common.dwShareMode,
                       call.Common.dwPreferredProtocols, &card, &reply.dwActiveProtocol);
  }
  reply.ReturnCode = rc;
  if (rc == 0) {
    RememberCard(static_cast<uint32_t>(card), context);
    reply.hCard.Context = WireContext(context);
    reply.hCard.cbHandle = 4;
    reply.hCard.pbHandle = BlobOf(static_cast<uint32_t>(card));
  } else {
    reply.dwActiveProtocol = 0;
  }
  return CompleteWith(device, request, reply);
}

int32_t CRdpSmartCardWIndowsAPI::ConnectA(IRdpScardDevice* device, IRdpScardRequest* request) {
  return Connect<char>(device, request);
}

int32_t CRdpSmartCardWIndowsAPI::ConnectW(IRdpScardDevice* device, IRdpScardRequest* request) {
  return Connect<char16_t>(device, request);
}

int32_t CRdpSmartCardWIndowsAPI::Reconnect(IRdpScardDevice* device, IRdpScardRequest* request) {
  Reconnect_Call call;
  if (const uint32_t e = DecodeCall(request, call)) return device->CompleteStatus(request, IoStatusOf(e));
  Reconnect_Return reply;
  uint32_t card = 0;
  reply.ReturnCode = CheckHandle(&card, call.hCard);
  if (reply.ReturnCode == 0) {
    reply.ReturnCode = pcsc_.Reconnect(static_cast<int32_t>(card), call.dwShareMode(), call.dwPreferredProtocols(),
                                       call.dwInitialization(), &reply.value);
  }
  return CompleteWith(device, request, reply);
}

int32_t CRdpSmartCardWIndowsAPI::GetTransmitCount(IRdpScardDevice* device, IRdpScardRequest* request) {
  GetTransmitCount_Call call;
  if (const uint32_t e = DecodeCall(request, call)) return device->CompleteStatus(request, IoStatusOf(e));
  GetTransmitCount_Return reply;
  uint32_t card = 0;
  reply.ReturnCode = CheckHandle(&card, call.hCard);
  // pcsclite does not count transmissions: the API counts those it made on
  // the handle, which is every one since the handle was connected.
  if (reply.ReturnCode == 0) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    auto it = cards_.find(card);
    if (it == cards_.end()) reply.ReturnCode = kInvalidHandle;
    else reply.value = it->second.transmits;
  }
  return CompleteWith(device, request, reply);
}

int32_t CRdpSmartCardWIndowsAPI::Transmit(IRdpScardDevice* device, IRdpScardRequest* request) {
  Transmit_Call call;
  if (const uint32_t e = DecodeCall(request, call)) return device->CompleteStatus(request, IoStatusOf(e));
  Transmit_Return reply;
  uint32_t card = 0;
  uint32_t rc = CheckCardThenContext(&card, call.hCard);
  OutBuffer recv = OutFor(call.fpbRecvBufferIsNULL, call.cbRecvLength, kMaxCardIoBytes);
  if (recv.mode == OutBuffer::kAuto) recv = OutFor(0, kMaxCardIoBytes, kMaxCardIoBytes);
  if (rc == 0) {
    rc = pcsc_.Transmit(static_cast<int32_t>(card), call.ioSendPci.dwProtocol, call.ioSendPci.pbExtraBytes.bytes,
                        call.pbSendBuffer.Data(), static_cast<uint32_t>(call.pbSendBuffer.bytes.size()), recv);
    if (rc != 0) {
      std::printf(" transmit fail e:%d\n", static_cast<int>(rc));
      std::fflush(stdout);
    } else {
      CountTransmit(card);
    }
  }
  reply.ReturnCode = rc;
  if (rc == 0) {
    reply.pbRecvBuffer = ReplyBytes(recv);
    reply.cbRecvLength = static_cast<uint32_t>(reply.pbRecvBuffer.bytes.size());
    if (call.pioRecvPci.present) {
      reply.pioRecvPci.present = true;
      reply.pioRecvPci.value = call.pioRecvPci.value;
    }
  }
  return CompleteWith(device, request, reply);
}

int32_t CRdpSmartCardWIndowsAPI::Control(IRdpScardDevice* device, IRdpScardRequest* request) {
  Control_Call call;
  if (const uint32_t e = DecodeCall(request, call)) return device->CompleteStatus(request, IoStatusOf(e));
  Control_Return reply;
  uint32_t card = 0;
  uint32_t rc = CheckCardThenContext(&card, call.hCard);
  OutBuffer out = OutFor(call.fpvOutBufferIsNULL, call.cbOutBufferSize, kMaxCardIoBytes);
  if (rc == 0) {
    rc = pcsc_.Control(static_cast<int32_t>(card), call.dwControlCode, call.pvInBuffer.Data(),
                       static_cast<uint32_t>(call.pvInBuffer.bytes.size()), out);
  }
  reply.ReturnCode = rc;
  if (rc == 0) {
    reply.pb = ReplyBytes(out);
    reply.cb = static_cast<uint32_t>(reply.pb.bytes.size());
  }
  return CompleteWith(device, request, reply);
}

int32_t CRdpSmartCardWIndowsAPI::Status(IRdpScardDevice* device, IRdpScardRequest* request) {
  const bool wide = request->IoControlCode() == scardioctl::kStatusW;
  Status_Call call;
  if (const uint32_t e = DecodeCall(request, call)) return device->CompleteStatus(request, IoStatusOf(e));
  Status_Return reply;
  uint32_t card = 0, context = 0;
  uint32_t rc = CheckContext(&context, call.hCard.Context);
  if (rc == 0) rc = CheckHandle(&card, call.hCard);
  const bool wantNames = call.fmszReaderNamesIsNULL() == 0;
  std::string names;
  std::vector<uint8_t> atr;
  if (rc == 0) rc = pcsc_.Status(static_cast<int32_t>(card), &names, &reply.dwState, &reply.dwProtocol, &atr);
  uint32_t chars = 0;
  std::vector<uint8_t> list = MultiStringFor(wide, names, &chars);
  // The names buffer holds 2048 bytes: 2047 narrow or 1023 wide characters.
  if (rc == 0 && wantNames && chars > (wide ? kStatusNamesBytes / 2 - 1 : kStatusNamesBytes - 1)) rc = kInsufficientBuffer;
  if (rc == 0 && atr.size() > kMaxStatusAtr) rc = kInsufficientBuffer;
  reply.ReturnCode = rc;
  if (rc == 0) {
    if (!wantNames) list.assign(std::min<size_t>(list.size(), kStatusNamesBytes), 0);
    reply.cBytes = static_cast<uint32_t>(list.size());
    reply.mszReaderNames = NdrBlob::Of(list.data(), list.size());
    std::copy(atr.begin(), atr.end(), reply.pbAtr.begin());
    reply.cbAtrLen = static_cast<uint32_t>(atr.size());
  } else {
    reply.dwState = reply.dwProtocol = 0;
  }
  return CompleteWith(device, request, reply);
}

int32_t CRdpSmartCardWIndowsAPI::State(IRdpScardDevice*, IRdpScardRequest*) {
  return static_cast<int32_t>(kUnsupported);
}

int32_t CRdpSmartCardWIndowsAPI::GetAttrib(IRdpScardDevice* device, IRdpScardRequest* request) {
  GetAttrib_Call call;
  if (const uint32_t e = DecodeCall(request, call)) return device->CompleteStatus(request, IoStatusOf(e));
  GetAttrib_Return reply;
  uint32_t card = 0;
  uint32_t rc = CheckCardThenContext(&card, call.hCard);
  OutBuffer out = OutFor(call.fpbAttrIsNULL(), call.cbAttrLen(), kMaxDataBytes);
  if (rc == 0) rc = pcsc_.GetAttrib(static_cast<int32_t>(card), call.dwAttrId(), out);
  reply.ReturnCode = rc;
  if (rc == 0) {
    reply.pb = ReplyBytes(out);
    reply.cb = static_cast<uint32_t>(reply.pb.bytes.size());
  } else {
    reply.cb = std::min(out.length, kMaxDataBytes);
  }
  return CompleteWith(device, request, reply);
}

int32_t CRdpSmartCardWIndowsAPI::SetAttrib(IRdpScardDevice* device, IRdpScardRequest* request) {
  SetAttrib_Call call;
  if (const uint32_t e = DecodeCall(request, call)) return device->CompleteStatus(request, IoStatusOf(e));
  uint32_t card = 0;
  uint32_t rc = CheckHandle(&card, call.hCard);
  if (rc == 0) {
    rc = pcsc_.SetAttrib(static_cast<int32_t>(card), call.dwAttrId, call.pbAttr.Data(),
                         static_cast<uint32_t>(call.pbAttr.bytes.size()));
  }
  return CompleteLongReturn(device, request, rc);
}

int32_t CRdpSmartCardWIndowsAPI::ReadCache(IRdpScardDevice* device, IRdpScardRequest* request) {
  CacheCall<ReadCacheA_Call, ReadCacheW_Call> call;
  uint32_t rc = call.Decode(request, scardioctl::kReadCacheA, scardioctl::kReadCacheW);
  const ReadCache_Common& common = call.Common();
  uint32_t context = 0;
  if (rc == 0) rc = CheckContext(&context, common.Context);
  CardDataCache::Key key;
  if (rc == 0) rc = call.Key(&key);
  std::vector<uint8_t> data;
  if (rc == 0) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    auto cache = caches_.find(context);
    rc = cache == caches_.end() ? CardDataCache::kItemNotFound
                                : cache->second.Read(key, common.FreshnessCounter, &data);
  }
  const bool lengthOnly = common.fPbDataIsNULL != 0;
  if (rc == 0 && !lengthOnly && common.cbDataLen != kAuto && common.cbDataLen < data.size()) {
    rc = kInsufficientBuffer;
  }
  ReadCache_Return reply;
  reply.ReturnCode = rc;
  if (rc == 0 || rc == kInsufficientBuffer) reply.cb = static_cast<uint32_t>(data.size());
  if (rc == 0) {
    if (lengthOnly) data.assign(data.size(), 0);
    reply.pb = NdrBlob::Of(data.data(), data.size());
  }
  return CompleteWith(device, request, reply);
}

int32_t CRdpSmartCardWIndowsAPI::WriteCache(IRdpScardDevice* device, IRdpScardRequest* request) {
  CacheCall<WriteCacheA_Call, WriteCacheW_Call> call;
  uint32_t rc = call.Decode(request, scardioctl::kWriteCacheA, scardioctl::kWriteCacheW);
  const WriteCache_Common& common = call.Common();
  uint32_t context = 0;
  if (rc == 0) rc = CheckContext(&context, common.Context);
  CardDataCache::Key key;
  if (rc == 0) rc = call.Key(&key);
  if (rc == 0) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    // Entries of a context released since its check, or of the null
    // context after the stop, would stay behind with nothing to drop them.
    if (context == 0 ? stopped_ : natives_.count(context) == 0) {
      rc = context == 0 ? kServiceStopped : kInvalidParameter;
    } else {
      rc = caches_[context].Write(key, common.FreshnessCounter, common.pbData.Data(), common.pbData.bytes.size());
    }
  }
  return CompleteLongReturn(device, request, rc);
}
