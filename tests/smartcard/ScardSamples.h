// Sample smart-card structures shared by the golden-vector tests and the
// oracle helper.
#pragma once

#include <string>
#include <vector>

#include "RdpScardStructs.h"

namespace scardsamples {

using namespace rdpesc;

constexpr uint32_t kSampleContext = 0x0A0B0C0D;
constexpr uint32_t kSampleCard = 0x11223344;

inline NdrBlob Value(uint32_t v) {
  const uint8_t b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
  return NdrBlob::Of(b, 4);
}

inline REDIR_SCARDCONTEXT Context(uint32_t v) {
  REDIR_SCARDCONTEXT c;
  c.cbContext = 4;
  c.pbContext = Value(v);
  return c;
}

inline REDIR_SCARDHANDLE Card(uint32_t context, uint32_t card) {
  REDIR_SCARDHANDLE h;
  h.Context = Context(context);
  h.cbHandle = 4;
  h.pbHandle = Value(card);
  return h;
}

inline Long_Return LongReturn(uint32_t code) {
  Long_Return r;
  r.ReturnCode = code;
  return r;
}

inline GetStatusChangeA_Call StatusChangeA(const std::vector<std::string>& readers, uint32_t timeout) {
  GetStatusChangeA_Call c;
  c.Context = Context(kSampleContext);
  c.dwTimeOut = timeout;
  c.cReaders = static_cast<uint32_t>(readers.size());
  c.rgReaderStates.present = true;
  for (const std::string& r : readers) {
    ReaderStateA s;
    s.szReader = NdrStrA::Of(r);
    s.Common.dwCurrentState = 0x10;
    c.rgReaderStates.items.push_back(s);
  }
  return c;
}

inline std::u16string ReaderNameW(uint32_t i) { return u"Reader \u00fc" + std::u16string(1, char16_t(u'A' + i)); }

// Eleven readers, the most a status-change call takes; the last with a
// 36-byte ATR, the longest there is.
inline GetStatusChangeW_Call StatusChangeWMax() {
  GetStatusChangeW_Call c;
  c.Context = Context(kSampleContext);
  c.dwTimeOut = 0xFFFFFFFF;
  c.cReaders = kMaxStatusChangeReaders;
  c.rgReaderStates.present = true;
  for (uint32_t i = 0; i < kMaxStatusChangeReaders; ++i) {
    ReaderStateW s;
    s.szReader = NdrStrW::Of(ReaderNameW(i));
    s.Common.dwCurrentState = i;
    if (i == kMaxStatusChangeReaders - 1) {
      s.Common.cbAtr = kMaxAtr;
      s.Common.rgbAtr.fill(0x3B);
    }
    c.rgReaderStates.items.push_back(s);
  }
  return c;
}

inline GetStatusChange_Return StatesReturnMax() {
  GetStatusChange_Return r;
  r.cReaders = kMaxLocateReaders;
  r.rgReaderStates.present = true;
  for (uint32_t i = 0; i < kMaxLocateReaders; ++i) {
    ReaderState_Return s;
    s.dwCurrentState = 0x10;
    s.dwEventState = 0x22 + i;
    s.cbAtr = kMaxAtr;
    s.rgbAtr.fill(static_cast<uint8_t>(i));
    r.rgReaderStates.items.push_back(s);
  }
  return r;
}

inline Status_Return StatusReturnMax() {
  Status_Return r;
  r.cBytes = kMaxDataBytes;
  r.mszReaderNames = NdrBlob::Of(std::vector<uint8_t>(kMaxDataBytes, 'n').data(), kMaxDataBytes);
  r.dwState = 6;
  r.dwProtocol = 2;
  r.pbAtr.fill(0x3B);
  r.cbAtrLen = kMaxStatusAtr;
  return r;
}

inline Transmit_Call TransmitMax() {
  Transmit_Call c;
  c.hCard = Card(kSampleContext, kSampleCard);
  c.ioSendPci.dwProtocol = 2;
  c.ioSendPci.cbExtraBytes = kMaxExtraBytes;
  c.ioSendPci.pbExtraBytes = NdrBlob::Of(std::vector<uint8_t>(kMaxExtraBytes, 0xE1).data(), kMaxExtraBytes);
  c.cbSendLength = kMaxIoBytes;
  c.pbSendBuffer = NdrBlob::Of(std::vector<uint8_t>(kMaxIoBytes, 0x5E).data(), kMaxIoBytes);
  c.pioRecvPci.present = true;
  c.pioRecvPci.value.dwProtocol = 1;
  c.pioRecvPci.value.cbExtraBytes = 3;
  c.pioRecvPci.value.pbExtraBytes = NdrBlob::Of("\x01\x02\x03", 3);
  c.cbRecvLength = kMaxIoBytes;
  return c;
}

inline NdrUuid SampleUuid() {
  NdrUuid u;
  u.Data1 = 0x01020304;
  u.Data2 = 0x0506;
  u.Data3 = 0x0708;
  u.Data4 = {9, 10, 11, 12, 13, 14, 15, 16};
  return u;
}

inline ReadCacheW_Call ReadCacheW() {
  ReadCacheW_Call c;
  c.szLookupName = NdrStrW::Of(u"Cache/Item");
  c.Common.Context = Context(kSampleContext);
  c.Common.CardIdentifier.present = true;
  c.Common.CardIdentifier.value = SampleUuid();
  c.Common.FreshnessCounter = 7;
  c.Common.cbDataLen = 100;
  return c;
}

inline WriteCacheA_Call WriteCacheA() {
  WriteCacheA_Call c;
  c.szLookupName = NdrStrA::Of("k");
  c.Common.Context = Context(kSampleContext);
  c.Common.CardIdentifier.present = true;
  c.Common.CardIdentifier.value = SampleUuid();
  c.Common.FreshnessCounter = 1;
  c.Common.cbDataLen = 3;
  c.Common.pbData = NdrBlob::Of("abc", 3);
  return c;
}

}  // namespace scardsamples
