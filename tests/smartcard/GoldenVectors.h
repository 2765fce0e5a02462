// The golden vectors of the smart-card marshalling, written by hand from
// the published structure layouts (type serialization version 1, NDR 2.0,
// little-endian) with NdrBytes, each with the structure it holds. A vector's
// name begins with the name of its structure.
#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "NdrBytes.h"
#include "NdrJson.h"
#include "RdpNdr.h"
#include "ScardSamples.h"

namespace scardsamples {

constexpr uint32_t R0 = 0x00020000;  // first referent id; each next one adds 4

struct Vector {
  std::string name;
  std::vector<uint8_t> bytes;
  std::function<uint32_t(const std::vector<uint8_t>&)> decodeAndCompare;  // 0 when equal
  std::function<std::vector<uint8_t>()> encode;
  // The structure's fields as positional JSON (see NdrJson.h).
  std::function<nlohmann::json()> values;
  // Decodes bytes into the structure: the status and its fields.
  std::function<std::pair<uint32_t, nlohmann::json>(const std::vector<uint8_t>&)> decodeToJson;
};

template <class T>
inline Vector Make(std::string name, T value, const NdrBytes& body) {
  Vector v;
  v.name = std::move(name);
  v.bytes = body.Pickle();
  v.decodeAndCompare = [value](const std::vector<uint8_t>& bytes) -> uint32_t {
    T decoded;
    const uint32_t e = NdrDecode(bytes.data(), bytes.size(), decoded);
    if (e) return e;
    return decoded == value ? 0 : 0xFFFFFFFF;
  };
  v.encode = [value] {
    std::vector<uint8_t> out;
    T copy = value;
    if (NdrEncode(copy, out) != 0) out.clear();
    return out;
  };
  v.values = [value] {
    T copy = value;
    return ToJson(copy);
  };
  v.decodeToJson = [](const std::vector<uint8_t>& bytes) {
    T decoded;
    const uint32_t e = NdrDecode(bytes.data(), bytes.size(), decoded);
    return std::make_pair(e, e ? nlohmann::json() : ToJson(decoded));
  };
  return v;
}


inline std::vector<Vector> Vectors() {
  std::vector<Vector> v;
  const uint32_t C = kSampleContext, H = kSampleCard;

  v.push_back(Make("Long_Return 0x80100004", LongReturn(0x80100004), NdrBytes().U32(0x80100004)));
  {
    EstablishContext_Call c;
    c.dwScope = 2;
    v.push_back(Make("EstablishContext_Call", c, NdrBytes().U32(2)));
  }
  {
    EstablishContext_Return r;
    r.ReturnCode = 0x8010001D;
    v.push_back(Make("EstablishContext_Return empty", r, NdrBytes().U32(0x8010001D).U32(0).U32(0)));
    r.ReturnCode = 0;
    std::vector<uint8_t> sixteen;
    for (uint8_t i = 0; i < 16; ++i) sixteen.push_back(i);
    r.Context.cbContext = 16;
    r.Context.pbContext = NdrBlob::Of(sixteen.data(), 16);
    v.push_back(Make("EstablishContext_Return 16-byte context", r,
                     NdrBytes().U32(0).U32(16).U32(R0).U32(16).Bytes(sixteen)));
  }
  {
    Context_Call c;
    v.push_back(Make("Context_Call null", c, NdrBytes().U32(0).U32(0)));
    c.Context = Context(C);
    v.push_back(Make("Context_Call", c, NdrBytes().U32(4).U32(R0).U32(4).U32(C)));
  }
  {
    ContextAndStringA_Call c;
    c.Context = Context(C);
    c.sz = NdrStrA::Of("grp");
    v.push_back(Make("ContextAndStringA_Call", c, NdrBytes().U32(4).U32(R0).U32(R0 + 4).U32(4).U32(C).StrA("grp")));
    ContextAndStringW_Call w;
    v.push_back(Make("ContextAndStringW_Call null", w, NdrBytes().U32(0).U32(0).U32(0)));
  }
  {
    ContextAndTwoStringW_Call c;
    c.Context = Context(C);
    c.sz1 = NdrStrW::Of(u"Reader \u00e9");
    c.sz2 = NdrStrW::Of(u"Group");
    v.push_back(Make("ContextAndTwoStringW_Call", c,
                     NdrBytes().U32(4).U32(R0).U32(R0 + 4).U32(R0 + 8).U32(4).U32(C).StrW(u"Reader \u00e9").StrW(u"Group")));
    ContextAndTwoStringA_Call a;
    v.push_back(Make("ContextAndTwoStringA_Call null", a, NdrBytes().U32(0).U32(0).U32(0).U32(0)));
  }
  {
    ListReaderGroups_Call c;
    c.Context = Context(C);
    c.cchGroups = 0xFFFFFFFF;
    v.push_back(Make("ListReaderGroups_Call", c, NdrBytes().U32(4).U32(R0).U32(0).U32(0xFFFFFFFF).U32(4).U32(C)));
  }
  {
    ListReaders_Call c;
    c.fmszReadersIsNULL = 1;
    v.push_back(Make("ListReaders_Call minimal", c, NdrBytes().U32(0).U32(0).U32(0).U32(0).U32(1).U32(0)));
    const std::string groups("SCard$DefaultReaders\0\0", 22);
    c.Context = Context(C);
    c.cBytes = 22;
    c.mszGroups = NdrBlob::Of(groups.data(), 22);
    c.fmszReadersIsNULL = 0;
    c.cchReaders = 0xFFFFFFFF;
    v.push_back(Make("ListReaders_Call with groups", c,
                     NdrBytes().U32(4).U32(R0).U32(22).U32(R0 + 4).U32(0).U32(0xFFFFFFFF).U32(4).U32(C).U32(22)
                         .Bytes(std::vector<uint8_t>(groups.begin(), groups.end()))));
  }
  {
    ListReaders_Return r;
    r.ReturnCode = 0x8010002E;
    v.push_back(Make("ListReaders_Return minimal", r, NdrBytes().U32(0x8010002E).U32(0).U32(0)));
    r.ReturnCode = 0;
    r.cBytes = kMaxDataBytes;
    r.msz = NdrBlob::Of(std::vector<uint8_t>(kMaxDataBytes, 'A').data(), kMaxDataBytes);
    v.push_back(Make("ListReaders_Return 65536 bytes", r,
                     NdrBytes().U32(0).U32(kMaxDataBytes).U32(R0).U32(kMaxDataBytes).Fill(kMaxDataBytes, 'A')));
  }
  {
    NdrBytes b;
    b.U32(4).U32(R0).U32(1000).U32(1).U32(R0 + 4).U32(4).U32(C).U32(1);
    b.U32(R0 + 8).U32(0x10).U32(0).U32(0).Fill(36, 0).StrA("Virtual PCD 00 00");
    v.push_back(Make("GetStatusChangeA_Call one reader", StatusChangeA({"Virtual PCD 00 00"}, 1000), b));
  }
  {
    NdrBytes b;
    b.U32(4).U32(R0).U32(0xFFFFFFFF).U32(11).U32(R0 + 4).U32(4).U32(C).U32(11);
    for (uint32_t i = 0; i < 11; ++i) {
      b.U32(R0 + 8 + 4 * i).U32(i).U32(0).U32(i == 10 ? 36 : 0);
      if (i == 10) b.Fill(36, 0x3B);
      else b.Fill(36, 0);
    }
    for (uint32_t i = 0; i < 11; ++i) b.StrW(ReaderNameW(i));
    v.push_back(Make("GetStatusChangeW_Call eleven readers", StatusChangeWMax(), b));
  }
  {
    GetStatusChange_Return r;
    r.ReturnCode = 0x8010000A;
    v.push_back(Make("GetStatusChange_Return minimal", r, NdrBytes().U32(0x8010000A).U32(0).U32(0)));
    NdrBytes b;
    b.U32(0).U32(10).U32(R0).U32(10);
    for (uint32_t i = 0; i < 10; ++i) b.U32(0x10).U32(0x22 + i).U32(36).Fill(36, static_cast<uint8_t>(i));
    v.push_back(Make("GetStatusChange_Return ten readers", StatesReturnMax(), b));
  }
  {
    LocateCardsByATRA_Call c;
    c.Context = Context(C);
    c.cAtrs = 1;
    c.rgAtrMasks.present = true;
    LocateCards_ATRMask m;
    m.cbAtr = 2;
    m.rgbAtr[0] = 0x3B;
    m.rgbAtr[1] = 0x8A;
    m.rgbMask[0] = m.rgbMask[1] = 0xFF;
    c.rgAtrMasks.items.push_back(m);
    c.cReaders = 1;
    c.rgReaderStates.present = true;
    ReaderStateA s;
    s.szReader = NdrStrA::Of("r");
    c.rgReaderStates.items.push_back(s);
    NdrBytes b;
    b.U32(4).U32(R0).U32(1).U32(R0 + 4).U32(1).U32(R0 + 8).U32(4).U32(C);
    b.U32(1).U32(2).Bytes({0x3B, 0x8A}).Fill(34, 0).Bytes({0xFF, 0xFF}).Fill(34, 0);
    b.U32(1).U32(R0 + 12).U32(0).U32(0).U32(0).Fill(36, 0).StrA("r");
    v.push_back(Make("LocateCardsByATRA_Call", c, b));
  }
  {
    ConnectW_Call c;
    c.szReader = NdrStrW::Of(u"Virtual PCD 00 00");
    c.Common.Context = Context(C);
    c.Common.dwShareMode = 2;
    c.Common.dwPreferredProtocols = 3;
    v.push_back(Make("ConnectW_Call", c,
                     NdrBytes().U32(R0).U32(4).U32(R0 + 4).U32(2).U32(3).StrW(u"Virtual PCD 00 00").U32(4).U32(C)));
    ConnectA_Call a;
    a.Common.dwShareMode = 1;
    a.Common.dwPreferredProtocols = 1;
    v.push_back(Make("ConnectA_Call null reader", a, NdrBytes().U32(0).U32(0).U32(0).U32(1).U32(1)));
  }
  {
    Connect_Return r;
    r.hCard = Card(C, H);
    r.dwActiveProtocol = 1;
    v.push_back(Make("Connect_Return", r, NdrBytes().U32(0).U32(4).U32(R0).U32(4).U32(R0 + 4).U32(1).U32(4).U32(C).U32(4).U32(H)));
    Connect_Return f;
    f.ReturnCode = 0x8010000C;
    v.push_back(Make("Connect_Return failure", f, NdrBytes().U32(0x8010000C).U32(0).U32(0).U32(0).U32(0).U32(0)));
  }
  {
    Reconnect_Call c;
    c.hCard = Card(C, H);
    c.dwShareMode() = 2;
    c.dwPreferredProtocols() = 2;
    c.dwInitialization() = 1;
    NdrBytes b;
    b.U32(4).U32(R0).U32(4).U32(R0 + 4).U32(2).U32(2).U32(1).U32(4).U32(C).U32(4).U32(H);
    v.push_back(Make("Reconnect_Call", c, b));
    Reconnect_Return r;
    r.value = 2;
    v.push_back(Make("Reconnect_Return", r, NdrBytes().U32(0).U32(2)));
  }
  {
    HCardAndDisposition_Call c;
    c.hCard = Card(C, H);
    c.dwDisposition = 3;
    v.push_back(Make("HCardAndDisposition_Call", c, NdrBytes().U32(4).U32(R0).U32(4).U32(R0 + 4).U32(3).U32(4).U32(C).U32(4).U32(H)));
  }
  {
    Status_Return r;
    r.ReturnCode = 0x80100017;
    v.push_back(Make("Status_Return minimal", r, NdrBytes().U32(0x80100017).U32(0).U32(0).U32(0).U32(0).Fill(32, 0).U32(0)));
    NdrBytes b;
    b.U32(0).U32(kMaxDataBytes).U32(R0).U32(6).U32(2).Fill(32, 0x3B).U32(32).U32(kMaxDataBytes).Fill(kMaxDataBytes, 'n');
    v.push_back(Make("Status_Return maximal", StatusReturnMax(), b));
  }
  {
    NdrBytes b;
    b.U32(4).U32(R0).U32(4).U32(R0 + 4);                      // hCard
    b.U32(2).U32(kMaxExtraBytes).U32(R0 + 8);                 // ioSendPci
    b.U32(kMaxIoBytes).U32(R0 + 12).U32(R0 + 16).U32(0).U32(kMaxIoBytes);
    b.U32(4).U32(C).U32(4).U32(H);
    b.U32(kMaxExtraBytes).Fill(kMaxExtraBytes, 0xE1);
    b.U32(kMaxIoBytes).Fill(kMaxIoBytes, 0x5E);
    b.U32(1).U32(3).U32(R0 + 20).U32(3).Bytes({1, 2, 3});    // pioRecvPci, then its extra bytes
    v.push_back(Make("Transmit_Call maximal", TransmitMax(), b));
    Transmit_Call empty;
    v.push_back(Make("Transmit_Call minimal", empty,
                     NdrBytes().U32(0).U32(0).U32(0).U32(0).U32(0).U32(0).U32(0).U32(0).U32(0).U32(0).U32(0)));
  }
  {
    Transmit_Return r;
    r.cbRecvLength = 2;
    r.pbRecvBuffer = NdrBlob::Of("\x90\x00", 2);
    v.push_back(Make("Transmit_Return", r, NdrBytes().U32(0).U32(0).U32(2).U32(R0).U32(2).Bytes({0x90, 0x00})));
    r.pioRecvPci.present = true;
    r.pioRecvPci.value.dwProtocol = 2;
    v.push_back(Make("Transmit_Return with receive information", r,
                     NdrBytes().U32(0).U32(R0).U32(2).U32(R0 + 4).U32(2).U32(0).U32(0).U32(2).Bytes({0x90, 0x00})));
  }
  {
    GetTransmitCount_Call c;
    c.hCard = Card(C, H);
    v.push_back(Make("GetTransmitCount_Call", c, NdrBytes().U32(4).U32(R0).U32(4).U32(R0 + 4).U32(4).U32(C).U32(4).U32(H)));
  }
  {
    Control_Call c;
    c.hCard = Card(C, H);
    c.dwControlCode = 0x00313520;
    c.cbInBufferSize = 2;
    c.pvInBuffer = NdrBlob::Of("\x01\x02", 2);
    c.cbOutBufferSize = 256;
    NdrBytes b;
    b.U32(4).U32(R0).U32(4).U32(R0 + 4).U32(0x00313520).U32(2).U32(R0 + 8).U32(0).U32(256);
    b.U32(4).U32(C).U32(4).U32(H).U32(2).Bytes({1, 2});
    v.push_back(Make("Control_Call", c, b));
    Control_Return r;
    r.cb = kMaxIoBytes;
    r.pb = NdrBlob::Of(std::vector<uint8_t>(kMaxIoBytes, 7).data(), kMaxIoBytes);
    v.push_back(Make("Control_Return maximal", r, NdrBytes().U32(0).U32(kMaxIoBytes).U32(R0).U32(kMaxIoBytes).Fill(kMaxIoBytes, 7)));
  }
  {
    GetAttrib_Call c;
    c.hCard = Card(C, H);
    c.dwAttrId() = 0x00090303;
    c.cbAttrLen() = 0xFFFFFFFF;
    NdrBytes b;
    b.U32(4).U32(R0).U32(4).U32(R0 + 4).U32(0x00090303).U32(0).U32(0xFFFFFFFF).U32(4).U32(C).U32(4).U32(H);
    v.push_back(Make("GetAttrib_Call", c, b));
    GetAttrib_Return r;
    r.cb = 3;
    r.pb = NdrBlob::Of("\x3b\x80\x01", 3);
    v.push_back(Make("GetAttrib_Return", r, NdrBytes().U32(0).U32(3).U32(R0).U32(3).Bytes({0x3B, 0x80, 0x01})));
  }
  {
    SetAttrib_Call c;
    c.hCard = Card(C, H);
    c.dwAttrId = 0x7FFF0003;
    c.cbAttrLen = kMaxDataBytes;
    c.pbAttr = NdrBlob::Of(std::vector<uint8_t>(kMaxDataBytes, 0xAA).data(), kMaxDataBytes);
    NdrBytes b;
    b.U32(4).U32(R0).U32(4).U32(R0 + 4).U32(0x7FFF0003).U32(kMaxDataBytes).U32(R0 + 8);
    b.U32(4).U32(C).U32(4).U32(H).U32(kMaxDataBytes).Fill(kMaxDataBytes, 0xAA);
    v.push_back(Make("SetAttrib_Call maximal", c, b));
  }
  {
    NdrBytes b;
    b.U32(R0).U32(4).U32(R0 + 4).U32(R0 + 8).U32(7).U32(0).U32(100);
    b.StrW(u"Cache/Item").Align(4).U32(4).U32(C);
    b.U32(0x01020304).U16(0x0506).U16(0x0708).Bytes({9, 10, 11, 12, 13, 14, 15, 16});
    v.push_back(Make("ReadCacheW_Call", ReadCacheW(), b));
    ReadCache_Return r;
    r.ReturnCode = 0x80100070;
    v.push_back(Make("ReadCache_Return minimal", r, NdrBytes().U32(0x80100070).U32(0).U32(0)));
  }
  {
    NdrBytes b;
    b.U32(R0).U32(4).U32(R0 + 4).U32(R0 + 8).U32(1).U32(3).U32(R0 + 12);
    b.StrA("k").Align(4).U32(4).U32(C);
    b.U32(0x01020304).U16(0x0506).U16(0x0708).Bytes({9, 10, 11, 12, 13, 14, 15, 16});
    b.U32(3).Bytes({'a', 'b', 'c'});
    v.push_back(Make("WriteCacheA_Call", WriteCacheA(), b));
  }
  return v;
}

}  // namespace scardsamples
