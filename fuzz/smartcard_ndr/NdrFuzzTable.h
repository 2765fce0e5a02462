// Every structure the smart-card marshalling decodes or encodes, by the
// selector byte of the fuzz input. Each entry decodes the bytes and, when
// they decode, encodes the structure again and decodes that: the two
// decodes must agree.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "RdpScardStructs.h"

namespace ndrfuzz {

using namespace rdpesc;

struct Entry {
  const char* name;
  void (*check)(const uint8_t* data, size_t size);
};

template <class T>
void Check(const uint8_t* data, size_t size) {
  T first;
  if (NdrDecode(data, size, first) != 0) return;
  std::vector<uint8_t> again;
  if (NdrEncode(first, again) != 0) abort();
  T second;
  if (NdrDecode(again.data(), again.size(), second) != 0 || !(second == first)) abort();
}

inline const std::vector<Entry>& Table() {
  static const std::vector<Entry> table = {
      {"Long_Return", Check<Long_Return>},
      {"EstablishContext_Call", Check<EstablishContext_Call>},
      {"EstablishContext_Return", Check<EstablishContext_Return>},
      {"Context_Call", Check<Context_Call>},
      {"ContextAndStringA_Call", Check<ContextAndStringA_Call>},
      {"ContextAndStringW_Call", Check<ContextAndStringW_Call>},
      {"ContextAndTwoStringA_Call", Check<ContextAndTwoStringA_Call>},
      {"ContextAndTwoStringW_Call", Check<ContextAndTwoStringW_Call>},
      {"ListReaderGroups_Call", Check<ListReaderGroups_Call>},
      {"ListReaders_Call", Check<ListReaders_Call>},
      {"ListReaders_Return", Check<ListReaders_Return>},
      {"GetStatusChangeA_Call", Check<GetStatusChangeA_Call>},
      {"GetStatusChangeW_Call", Check<GetStatusChangeW_Call>},
      {"GetStatusChange_Return", Check<GetStatusChange_Return>},
      {"LocateCardsByATRA_Call", Check<LocateCardsByATRA_Call>},
      {"LocateCardsByATRW_Call", Check<LocateCardsByATRW_Call>},
      {"ConnectA_Call", Check<ConnectA_Call>},
      {"ConnectW_Call", Check<ConnectW_Call>},
      {"Connect_Return", Check<Connect_Return>},
      {"Reconnect_Call", Check<Reconnect_Call>},
      {"Reconnect_Return", Check<Reconnect_Return>},
      {"HCardAndDisposition_Call", Check<HCardAndDisposition_Call>},
      {"Status_Return", Check<Status_Return>},
      {"Transmit_Call", Check<Transmit_Call>},
      {"Transmit_Return", Check<Transmit_Return>},
      {"GetTransmitCount_Call", Check<GetTransmitCount_Call>},
      {"Control_Call", Check<Control_Call>},
      {"Control_Return", Check<Control_Return>},
      {"GetAttrib_Call", Check<GetAttrib_Call>},
      {"GetAttrib_Return", Check<GetAttrib_Return>},
      {"SetAttrib_Call", Check<SetAttrib_Call>},
      {"ReadCacheA_Call", Check<ReadCacheA_Call>},
      {"ReadCacheW_Call", Check<ReadCacheW_Call>},
      {"ReadCache_Return", Check<ReadCache_Return>},
      {"WriteCacheA_Call", Check<WriteCacheA_Call>},
      {"WriteCacheW_Call", Check<WriteCacheW_Call>},
  };
  return table;
}

}  // namespace ndrfuzz
