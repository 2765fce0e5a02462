// The smart-card call and return structures that travel in device control
// requests, each described once for RdpNdr's reader, writer and sizer.
// Field names are the protocol's own. Every decodable structure has a tag
// of its own; structures with one layout share the type and its tag.
#pragma once

#include <array>
#include <cstdint>
#include <tuple>

#include "RdpNdr.h"

namespace rdpesc {

// Ranges of the interface definition.
constexpr uint32_t kMaxContextBytes = 16;
constexpr uint32_t kMaxDataBytes = 65536;       // multi-strings, attributes, cache data
constexpr uint32_t kMaxAtr = 36;
constexpr uint32_t kMaxStatusAtr = 32;
constexpr uint32_t kMaxStatusChangeReaders = 11;
constexpr uint32_t kMaxLocateReaders = 10;      // also every reader-state return
constexpr uint32_t kMaxAtrMasks = 1000;
constexpr uint32_t kMaxExtraBytes = 1024;
constexpr uint32_t kMaxIoBytes = 66560;         // Transmit and Control data

#define RDPESC_EQ(T) \
  bool operator==(const T& o) const { return Tie() == o.Tie(); }

struct REDIR_SCARDCONTEXT {
  uint32_t cbContext = 0;
  NdrBlob pbContext;
  template <class V> void Ndr(V& v) {
    v.Count(cbContext, 0, kMaxContextBytes);
    v.Blob(pbContext, cbContext);
  }
  auto Tie() const { return std::tie(cbContext, pbContext); }
  RDPESC_EQ(REDIR_SCARDCONTEXT)
};

struct REDIR_SCARDHANDLE {
  REDIR_SCARDCONTEXT Context;
  uint32_t cbHandle = 0;
  NdrBlob pbHandle;
  template <class V> void Ndr(V& v) {
    v.Struct(Context);
    v.Count(cbHandle, 0, kMaxContextBytes);
    v.Blob(pbHandle, cbHandle);
  }
  auto Tie() const { return std::tie(Context, cbHandle, pbHandle); }
  RDPESC_EQ(REDIR_SCARDHANDLE)
};

// One 32-bit value: EstablishContext_Call (dwScope) and Long_Return
// (ReturnCode) share this layout.
struct Long_Return {
  static constexpr uint32_t kTag = 1;
  uint32_t ReturnCode = 0;
  template <class V> void Ndr(V& v) { v.U32(ReturnCode); }
  auto Tie() const { return std::tie(ReturnCode); }
  RDPESC_EQ(Long_Return)
};

struct EstablishContext_Call {
  static constexpr uint32_t kTag = 1;
  uint32_t dwScope = 0;
  template <class V> void Ndr(V& v) { v.U32(dwScope); }
  auto Tie() const { return std::tie(dwScope); }
  RDPESC_EQ(EstablishContext_Call)
};

struct EstablishContext_Return {
  static constexpr uint32_t kTag = 2;
  uint32_t ReturnCode = 0;
  REDIR_SCARDCONTEXT Context;
  template <class V> void Ndr(V& v) {
    v.U32(ReturnCode);
    v.Struct(Context);
  }
  auto Tie() const { return std::tie(ReturnCode, Context); }
  RDPESC_EQ(EstablishContext_Return)
};

struct Context_Call {
  static constexpr uint32_t kTag = 3;
  REDIR_SCARDCONTEXT Context;
  template <class V> void Ndr(V& v) { v.Struct(Context); }
  auto Tie() const { return std::tie(Context); }
  RDPESC_EQ(Context_Call)
};

template <class CharT, uint32_t Tag>
struct ContextAndString_Call {
  static constexpr uint32_t kTag = Tag;
  REDIR_SCARDCONTEXT Context;
  NdrStr<CharT> sz;
  template <class V> void Ndr(V& v) {
    v.Struct(Context);
    v.Str(sz);
  }
  auto Tie() const { return std::tie(Context, sz); }
  RDPESC_EQ(ContextAndString_Call)
};
using ContextAndStringA_Call = ContextAndString_Call<char, 4>;
using ContextAndStringW_Call = ContextAndString_Call<char16_t, 5>;

template <class CharT, uint32_t Tag>
struct ContextAndTwoString_Call {
  static constexpr uint32_t kTag = Tag;
  REDIR_SCARDCONTEXT Context;
  NdrStr<CharT> sz1;
  NdrStr<CharT> sz2;
  template <class V> void Ndr(V& v) {
    v.Struct(Context);
    v.Str(sz1);
    v.Str(sz2);
  }
  auto Tie() const { return std::tie(Context, sz1, sz2); }
  RDPESC_EQ(ContextAndTwoString_Call)
};
using ContextAndTwoStringA_Call = ContextAndTwoString_Call<char, 6>;
using ContextAndTwoStringW_Call = ContextAndTwoString_Call<char16_t, 7>;

struct ListReaderGroups_Call {
  static constexpr uint32_t kTag = 8;
  REDIR_SCARDCONTEXT Context;
  uint32_t fmszGroupsIsNULL = 0;
  uint32_t cchGroups = 0;
  template <class V> void Ndr(V& v) {
    v.Struct(Context);
    v.U32(fmszGroupsIsNULL);
    v.U32(cchGroups);
  }
  auto Tie() const { return std::tie(Context, fmszGroupsIsNULL, cchGroups); }
  RDPESC_EQ(ListReaderGroups_Call)
};

// ListReaderGroups_Return and ListReaders_Return.
struct LongAndMultiString_Return {
  static constexpr uint32_t kTag = 9;
  uint32_t ReturnCode = 0;
  uint32_t cBytes = 0;
  NdrBlob msz;
  template <class V> void Ndr(V& v) {
    v.U32(ReturnCode);
    v.Count(cBytes, 0, kMaxDataBytes);
    v.Blob(msz, cBytes);
  }
  auto Tie() const { return std::tie(ReturnCode, cBytes, msz); }
  RDPESC_EQ(LongAndMultiString_Return)
};
using ListReaderGroups_Return = LongAndMultiString_Return;
using ListReaders_Return = LongAndMultiString_Return;

struct ListReaders_Call {
  static constexpr uint32_t kTag = 10;
  REDIR_SCARDCONTEXT Context;
  uint32_t cBytes = 0;
  NdrBlob mszGroups;
  uint32_t fmszReadersIsNULL = 0;
  uint32_t cchReaders = 0;
  template <class V> void Ndr(V& v) {
    v.Struct(Context);
    v.Count(cBytes, 0, kMaxDataBytes);
    v.Blob(mszGroups, cBytes);
    v.U32(fmszReadersIsNULL);
    v.U32(cchReaders);
  }
  auto Tie() const { return std::tie(Context, cBytes, mszGroups, fmszReadersIsNULL, cchReaders); }
  RDPESC_EQ(ListReaders_Call)
};

// ReaderState_Common_Call, and ReaderState_Return with the same layout.
struct ReaderState_Common_Call {
  uint32_t dwCurrentState = 0;
  uint32_t dwEventState = 0;
  uint32_t cbAtr = 0;
  std::array<uint8_t, kMaxAtr> rgbAtr{};
  template <class V> void Ndr(V& v) {
    v.U32(dwCurrentState);
    v.U32(dwEventState);
    v.Count(cbAtr, 0, kMaxAtr);
    v.Fixed(rgbAtr);
  }
  auto Tie() const { return std::tie(dwCurrentState, dwEventState, cbAtr, rgbAtr); }
  RDPESC_EQ(ReaderState_Common_Call)
};
using ReaderState_Return = ReaderState_Common_Call;

template <class CharT>
struct ReaderState {
  NdrStr<CharT> szReader;
  ReaderState_Common_Call Common;
  template <class V> void Ndr(V& v) {
    v.Str(szReader);
    v.Struct(Common);
  }
  auto Tie() const { return std::tie(szReader, Common); }
  RDPESC_EQ(ReaderState)
};
using ReaderStateA = ReaderState<char>;
using ReaderStateW = ReaderState<char16_t>;

template <class CharT, uint32_t Tag>
struct GetStatusChange_Call {
  static constexpr uint32_t kTag = Tag;
  REDIR_SCARDCONTEXT Context;
  uint32_t dwTimeOut = 0;
  uint32_t cReaders = 0;
  NdrList<ReaderState<CharT>> rgReaderStates;
  template <class V> void Ndr(V& v) {
    v.Struct(Context);
    v.U32(dwTimeOut);
    v.Count(cReaders, 0, kMaxStatusChangeReaders);
    v.List(rgReaderStates, cReaders);
  }
  auto Tie() const { return std::tie(Context, dwTimeOut, cReaders, rgReaderStates); }
  RDPESC_EQ(GetStatusChange_Call)
};
using GetStatusChangeA_Call = GetStatusChange_Call<char, 11>;
using GetStatusChangeW_Call = GetStatusChange_Call<char16_t, 12>;

// GetStatusChange_Return and LocateCards_Return.
struct ReaderStates_Return {
  static constexpr uint32_t kTag = 13;
  uint32_t ReturnCode = 0;
  uint32_t cReaders = 0;
  NdrList<ReaderState_Return> rgReaderStates;
  template <class V> void Ndr(V& v) {
    v.U32(ReturnCode);
    v.Count(cReaders, 0, kMaxLocateReaders);
    v.List(rgReaderStates, cReaders);
  }
  auto Tie() const { return std::tie(ReturnCode, cReaders, rgReaderStates); }
  RDPESC_EQ(ReaderStates_Return)
};
using GetStatusChange_Return = ReaderStates_Return;
using LocateCards_Return = ReaderStates_Return;

struct LocateCards_ATRMask {
  uint32_t cbAtr = 0;
  std::array<uint8_t, kMaxAtr> rgbAtr{};
  std::array<uint8_t, kMaxAtr> rgbMask{};
  template <class V> void Ndr(V& v) {
    v.Count(cbAtr, 0, kMaxAtr);
    v.Fixed(rgbAtr);
    v.Fixed(rgbMask);
  }
  auto Tie() const { return std::tie(cbAtr, rgbAtr, rgbMask); }
  RDPESC_EQ(LocateCards_ATRMask)
};

template <class CharT, uint32_t Tag>
struct LocateCardsByATR_Call {
  static constexpr uint32_t kTag = Tag;
  REDIR_SCARDCONTEXT Context;
  uint32_t cAtrs = 0;
  NdrList<LocateCards_ATRMask> rgAtrMasks;
  uint32_t cReaders = 0;
  NdrList<ReaderState<CharT>> rgReaderStates;
  template <class V> void Ndr(V& v) {
    v.Struct(Context);
    v.Count(cAtrs, 0, kMaxAtrMasks);
    v.List(rgAtrMasks, cAtrs);
    v.Count(cReaders, 0, kMaxLocateReaders);
    v.List(rgReaderStates, cReaders);
  }
  auto Tie() const { return std::tie(Context, cAtrs, rgAtrMasks, cReaders, rgReaderStates); }
  RDPESC_EQ(LocateCardsByATR_Call)
};
using LocateCardsByATRA_Call = LocateCardsByATR_Call<char, 14>;
using LocateCardsByATRW_Call = LocateCardsByATR_Call<char16_t, 15>;

struct Connect_Common {
  REDIR_SCARDCONTEXT Context;
  uint32_t dwShareMode = 0;
  uint32_t dwPreferredProtocols = 0;
  template <class V> void Ndr(V& v) {
    v.Struct(Context);
    v.U32(dwShareMode);
    v.U32(dwPreferredProtocols);
  }
  auto Tie() const { return std::tie(Context, dwShareMode, dwPreferredProtocols); }
  RDPESC_EQ(Connect_Common)
};

template <class CharT, uint32_t Tag>
struct Connect_Call {
  static constexpr uint32_t kTag = Tag;
  NdrStr<CharT> szReader;
  Connect_Common Common;
  template <class V> void Ndr(V& v) {
    v.Str(szReader);
    v.Struct(Common);
  }
  auto Tie() const { return std::tie(szReader, Common); }
  RDPESC_EQ(Connect_Call)
};
using ConnectA_Call = Connect_Call<char, 16>;
using ConnectW_Call = Connect_Call<char16_t, 17>;

struct Connect_Return {
  static constexpr uint32_t kTag = 18;
  uint32_t ReturnCode = 0;
  REDIR_SCARDHANDLE hCard;
  uint32_t dwActiveProtocol = 0;
  template <class V> void Ndr(V& v) {
    v.U32(ReturnCode);
    v.Struct(hCard);
    v.U32(dwActiveProtocol);
  }
  auto Tie() const { return std::tie(ReturnCode, hCard, dwActiveProtocol); }
  RDPESC_EQ(Connect_Return)
};

// Reconnect_Call, Status_Call and GetAttrib_Call: a card handle and three
// 32-bit values.
struct HCardAndThree_Call {
  static constexpr uint32_t kTag = 19;
  REDIR_SCARDHANDLE hCard;
  uint32_t a = 0, b = 0, c = 0;
  template <class V> void Ndr(V& v) {
    v.Struct(hCard);
    v.U32(a);
    v.U32(b);
    v.U32(c);
  }
  auto Tie() const { return std::tie(hCard, a, b, c); }
  RDPESC_EQ(HCardAndThree_Call)
};
struct Reconnect_Call : HCardAndThree_Call {
  uint32_t& dwShareMode() { return a; }
  uint32_t& dwPreferredProtocols() { return b; }
  uint32_t& dwInitialization() { return c; }
};
struct Status_Call : HCardAndThree_Call {
  uint32_t& fmszReaderNamesIsNULL() { return a; }
  uint32_t& cchReaderLen() { return b; }
  uint32_t& cbAtrLen() { return c; }
};
struct GetAttrib_Call : HCardAndThree_Call {
  uint32_t& dwAttrId() { return a; }
  uint32_t& fpbAttrIsNULL() { return b; }
  uint32_t& cbAttrLen() { return c; }
};

// Reconnect_Return and GetTransmitCount_Return: two 32-bit values.
struct LongAndValue_Return {
  static constexpr uint32_t kTag = 20;
  uint32_t ReturnCode = 0;
  uint32_t value = 0;  // dwActiveProtocol or cTransmitCount
  template <class V> void Ndr(V& v) {
    v.U32(ReturnCode);
    v.U32(value);
  }
  auto Tie() const { return std::tie(ReturnCode, value); }
  RDPESC_EQ(LongAndValue_Return)
};
using Reconnect_Return = LongAndValue_Return;
using GetTransmitCount_Return = LongAndValue_Return;

struct HCardAndDisposition_Call {
  static constexpr uint32_t kTag = 21;
  REDIR_SCARDHANDLE hCard;
  uint32_t dwDisposition = 0;
  template <class V> void Ndr(V& v) {
    v.Struct(hCard);
    v.U32(dwDisposition);
  }
  auto Tie() const { return std::tie(hCard, dwDisposition); }
  RDPESC_EQ(HCardAndDisposition_Call)
};

struct Status_Return {
  static constexpr uint32_t kTag = 22;
  uint32_t ReturnCode = 0;
  uint32_t cBytes = 0;
  NdrBlob mszReaderNames;
  uint32_t dwState = 0;
  uint32_t dwProtocol = 0;
  std::array<uint8_t, kMaxStatusAtr> pbAtr{};
  uint32_t cbAtrLen = 0;
  template <class V> void Ndr(V& v) {
    v.U32(ReturnCode);
    v.Count(cBytes, 0, kMaxDataBytes);
    v.Blob(mszReaderNames, cBytes);
    v.U32(dwState);
    v.U32(dwProtocol);
    v.Fixed(pbAtr);
    v.Count(cbAtrLen, 0, kMaxStatusAtr);
  }
  auto Tie() const { return std::tie(ReturnCode, cBytes, mszReaderNames, dwState, dwProtocol, pbAtr, cbAtrLen); }
  RDPESC_EQ(Status_Return)
};

struct SCardIO_Request {
  uint32_t dwProtocol = 0;
  uint32_t cbExtraBytes = 0;
  NdrBlob pbExtraBytes;
  template <class V> void Ndr(V& v) {
    v.U32(dwProtocol);
    v.Count(cbExtraBytes, 0, kMaxExtraBytes);
    v.Blob(pbExtraBytes, cbExtraBytes);
  }
  auto Tie() const { return std::tie(dwProtocol, cbExtraBytes, pbExtraBytes); }
  RDPESC_EQ(SCardIO_Request)
};

struct Transmit_Call {
  static constexpr uint32_t kTag = 23;
  REDIR_SCARDHANDLE hCard;
  SCardIO_Request ioSendPci;
  uint32_t cbSendLength = 0;
  NdrBlob pbSendBuffer;
  NdrOpt<SCardIO_Request> pioRecvPci;
  uint32_t fpbRecvBufferIsNULL = 0;
  uint32_t cbRecvLength = 0;
  template <class V> void Ndr(V& v) {
    v.Struct(hCard);
    v.Struct(ioSendPci);
    v.Count(cbSendLength, 0, kMaxIoBytes);
    v.Blob(pbSendBuffer, cbSendLength);
    v.Opt(pioRecvPci);
    v.U32(fpbRecvBufferIsNULL);
    v.U32(cbRecvLength);
  }
  auto Tie() const {
    return std::tie(hCard, ioSendPci, cbSendLength, pbSendBuffer, pioRecvPci, fpbRecvBufferIsNULL, cbRecvLength);
  }
  RDPESC_EQ(Transmit_Call)
};

struct Transmit_Return {
  static constexpr uint32_t kTag = 24;
  uint32_t ReturnCode = 0;
  NdrOpt<SCardIO_Request> pioRecvPci;
  uint32_t cbRecvLength = 0;
  NdrBlob pbRecvBuffer;
  template <class V> void Ndr(V& v) {
    v.U32(ReturnCode);
    v.Opt(pioRecvPci);
    v.Count(cbRecvLength, 0, kMaxIoBytes);
    v.Blob(pbRecvBuffer, cbRecvLength);
  }
  auto Tie() const { return std::tie(ReturnCode, pioRecvPci, cbRecvLength, pbRecvBuffer); }
  RDPESC_EQ(Transmit_Return)
};

struct GetTransmitCount_Call {
  static constexpr uint32_t kTag = 25;
  REDIR_SCARDHANDLE hCard;
  template <class V> void Ndr(V& v) { v.Struct(hCard); }
  auto Tie() const { return std::tie(hCard); }
  RDPESC_EQ(GetTransmitCount_Call)
};

struct Control_Call {
  static constexpr uint32_t kTag = 26;
  REDIR_SCARDHANDLE hCard;
  uint32_t dwControlCode = 0;
  uint32_t cbInBufferSize = 0;
  NdrBlob pvInBuffer;
  uint32_t fpvOutBufferIsNULL = 0;
  uint32_t cbOutBufferSize = 0;
  template <class V> void Ndr(V& v) {
    v.Struct(hCard);
    v.U32(dwControlCode);
    v.Count(cbInBufferSize, 0, kMaxIoBytes);
    v.Blob(pvInBuffer, cbInBufferSize);
    v.U32(fpvOutBufferIsNULL);
    v.U32(cbOutBufferSize);
  }
  auto Tie() const {
    return std::tie(hCard, dwControlCode, cbInBufferSize, pvInBuffer, fpvOutBufferIsNULL, cbOutBufferSize);
  }
  RDPESC_EQ(Control_Call)
};

// Control_Return, GetAttrib_Return and ReadCache_Return: a code and a
// counted byte block (ranges differ).
template <uint32_t Max, uint32_t Tag>
struct LongAndBytes_Return {
  static constexpr uint32_t kTag = Tag;
  uint32_t ReturnCode = 0;
  uint32_t cb = 0;
  NdrBlob pb;
  template <class V> void Ndr(V& v) {
    v.U32(ReturnCode);
    v.Count(cb, 0, Max);
    v.Blob(pb, cb);
  }
  auto Tie() const { return std::tie(ReturnCode, cb, pb); }
  RDPESC_EQ(LongAndBytes_Return)
};
using Control_Return = LongAndBytes_Return<kMaxIoBytes, 27>;
using GetAttrib_Return = LongAndBytes_Return<kMaxDataBytes, 28>;
using ReadCache_Return = LongAndBytes_Return<kMaxDataBytes, 29>;

struct SetAttrib_Call {
  static constexpr uint32_t kTag = 30;
  REDIR_SCARDHANDLE hCard;
  uint32_t dwAttrId = 0;
  uint32_t cbAttrLen = 0;
  NdrBlob pbAttr;
  template <class V> void Ndr(V& v) {
    v.Struct(hCard);
    v.U32(dwAttrId);
    v.Count(cbAttrLen, 0, kMaxDataBytes);
    v.Blob(pbAttr, cbAttrLen);
  }
  auto Tie() const { return std::tie(hCard, dwAttrId, cbAttrLen, pbAttr); }
  RDPESC_EQ(SetAttrib_Call)
};

struct NdrUuid {
  uint32_t Data1 = 0;
  uint16_t Data2 = 0, Data3 = 0;
  std::array<uint8_t, 8> Data4{};
  template <class V> void Ndr(V& v) {
    v.U32(Data1);
    v.U16(Data2);
    v.U16(Data3);
    v.Fixed(Data4);
  }
  auto Tie() const { return std::tie(Data1, Data2, Data3, Data4); }
  RDPESC_EQ(NdrUuid)
};

struct ReadCache_Common {
  REDIR_SCARDCONTEXT Context;
  NdrOpt<NdrUuid> CardIdentifier;
  uint32_t FreshnessCounter = 0;
  uint32_t fPbDataIsNULL = 0;
  uint32_t cbDataLen = 0;
  template <class V> void Ndr(V& v) {
    v.Struct(Context);
    v.Opt(CardIdentifier);
    v.U32(FreshnessCounter);
    v.U32(fPbDataIsNULL);
    v.U32(cbDataLen);
  }
  auto Tie() const { return std::tie(Context, CardIdentifier, FreshnessCounter, fPbDataIsNULL, cbDataLen); }
  RDPESC_EQ(ReadCache_Common)
};

template <class CharT, uint32_t Tag>
struct ReadCache_Call {
  static constexpr uint32_t kTag = Tag;
  NdrStr<CharT> szLookupName;
  ReadCache_Common Common;
  template <class V> void Ndr(V& v) {
    v.Str(szLookupName);
    v.Struct(Common);
  }
  auto Tie() const { return std::tie(szLookupName, Common); }
  RDPESC_EQ(ReadCache_Call)
};
using ReadCacheA_Call = ReadCache_Call<char, 31>;
using ReadCacheW_Call = ReadCache_Call<char16_t, 32>;

struct WriteCache_Common {
  REDIR_SCARDCONTEXT Context;
  NdrOpt<NdrUuid> CardIdentifier;
  uint32_t FreshnessCounter = 0;
  uint32_t cbDataLen = 0;
  NdrBlob pbData;
  template <class V> void Ndr(V& v) {
    v.Struct(Context);
    v.Opt(CardIdentifier);
    v.U32(FreshnessCounter);
    v.Count(cbDataLen, 0, kMaxDataBytes);
    v.Blob(pbData, cbDataLen);
  }
  auto Tie() const { return std::tie(Context, CardIdentifier, FreshnessCounter, cbDataLen, pbData); }
  RDPESC_EQ(WriteCache_Common)
};

template <class CharT, uint32_t Tag>
struct WriteCache_Call {
  static constexpr uint32_t kTag = Tag;
  NdrStr<CharT> szLookupName;
  WriteCache_Common Common;
  template <class V> void Ndr(V& v) {
    v.Str(szLookupName);
    v.Struct(Common);
  }
  auto Tie() const { return std::tie(szLookupName, Common); }
  RDPESC_EQ(WriteCache_Call)
};
using WriteCacheA_Call = WriteCache_Call<char, 33>;
using WriteCacheW_Call = WriteCache_Call<char16_t, 34>;

#undef RDPESC_EQ

}  // namespace rdpesc
