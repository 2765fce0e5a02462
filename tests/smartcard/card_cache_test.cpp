// The card data cache the API keeps for the server in place of the one
// pcsclite lacks: what a read finds after a write, its bounds, and that a
// context's entries go with the context.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CardDataCache.h"
#include "RdpSmartCardWIndowsAPI.h"
#include "ScardApiSupport.h"
#include "ScardSamples.h"

using namespace rdpesc;
using namespace scardsamples;

namespace {

constexpr uint32_t kAuto = 0xFFFFFFFF;
constexpr uint32_t kInvalidParameter = 0x80100004;
constexpr uint32_t kInsufficientBuffer = 0x80100008;

NdrOpt<NdrUuid> CardId(uint32_t n) {
  NdrOpt<NdrUuid> id;
  id.present = true;
  id.value.Data1 = n;
  id.value.Data4 = {1, 2, 3, 4, 5, 6, 7, 8};
  return id;
}

WriteCacheA_Call WriteA(const REDIR_SCARDCONTEXT& context, uint32_t card, const std::string& name,
                        uint32_t freshness, const std::vector<uint8_t>& data) {
  WriteCacheA_Call c;
  c.szLookupName = NdrStrA::Of(name);
  c.Common.Context = context;
  c.Common.CardIdentifier = CardId(card);
  c.Common.FreshnessCounter = freshness;
  c.Common.cbDataLen = static_cast<uint32_t>(data.size());
  c.Common.pbData = NdrBlob::Of(data.data(), data.size());
  return c;
}

ReadCacheW_Call ReadW(const REDIR_SCARDCONTEXT& context, uint32_t card, const std::u16string& name,
                      uint32_t freshness, uint32_t length = kAuto, bool lengthOnly = false) {
  ReadCacheW_Call c;
  c.szLookupName = NdrStrW::Of(name);
  c.Common.Context = context;
  c.Common.CardIdentifier = CardId(card);
  c.Common.FreshnessCounter = freshness;
  c.Common.fPbDataIsNULL = lengthOnly ? 1 : 0;
  c.Common.cbDataLen = length;
  return c;
}

uint32_t Write(CRdpSmartCardAPI& api, const WriteCacheA_Call& call) {
  return RunCall<Long_Return>(api, &CRdpSmartCardAPI::WriteCache, scardioctl::kWriteCacheA, call).ReturnCode;
}

ReadCache_Return Read(CRdpSmartCardAPI& api, const ReadCacheW_Call& call) {
  return RunCall<ReadCache_Return>(api, &CRdpSmartCardAPI::ReadCache, scardioctl::kReadCacheW, call);
}

// A service that hands out the same context value every time, as a real
// one may after a release. The types are pcsclite's (its DWORD is unsigned
// long, its LONG and SCARDCONTEXT long), spelt out because its header and
// the platform layer's both define them.
long EstablishSame(unsigned long, const void*, const void*, long* context) {
  *context = 0x1234;
  return 0;
}
long ReleaseAny(long) { return 0; }

}  // namespace

TEST(CardCacheThroughTheApi, AReadFindsOnlyWhatWasWrittenForItsCardNameAndFreshness) {
  // The null context needs no service: the cache works without one.
  CRdpSmartCardWIndowsAPI api{"no-such-smartcard-library.dll"};
  api.Init();
  const REDIR_SCARDCONTEXT null;
  const std::vector<uint8_t> data = {0xCA, 0xFE, 0x00, 0x01, 0x02};
  ASSERT_EQ(Write(api, WriteA(null, 7, "cardid", 3, data)), 0u);

  const std::vector<uint8_t> none;
  const struct {
    const char* what;
    ReadCacheW_Call call;
    uint32_t code;
    uint32_t cb;
    std::vector<uint8_t> pb;
  } reads[] = {
      {"the same card, name and freshness", ReadW(null, 7, u"cardid", 3), 0, 5, data},
      {"a buffer just large enough", ReadW(null, 7, u"cardid", 3, 5), 0, 5, data},
      {"the length only", ReadW(null, 7, u"cardid", 3, 0, true), 0, 5, std::vector<uint8_t>(5, 0)},
      {"a buffer too small", ReadW(null, 7, u"cardid", 3, 4), kInsufficientBuffer, 5, none},
      {"another card", ReadW(null, 8, u"cardid", 3), CardDataCache::kItemNotFound, 0, none},
      {"another name", ReadW(null, 7, u"cardcf", 3), CardDataCache::kItemNotFound, 0, none},
      {"an unknown context", ReadW(Context(0x5A5A), 7, u"cardid", 3), kInvalidParameter, 0, none},
      {"no card", [&] { auto c = ReadW(null, 7, u"cardid", 3); c.Common.CardIdentifier = {}; return c; }(),
       kInvalidParameter, 0, none},
      // A different freshness: the card changed since, and the entry goes.
      {"another freshness", ReadW(null, 7, u"cardid", 4), CardDataCache::kItemStale, 0, none},
      {"the same again after that", ReadW(null, 7, u"cardid", 3), CardDataCache::kItemNotFound, 0, none},
  };
  for (const auto& r : reads) {
    SCOPED_TRACE(r.what);
    const ReadCache_Return got = Read(api, r.call);
    EXPECT_EQ(got.ReturnCode, r.code);
    EXPECT_EQ(got.cb, r.cb);
    EXPECT_EQ(got.pb.bytes, r.pb);
  }

  // A later write of the same entry replaces it.
  ASSERT_EQ(Write(api, WriteA(null, 7, "cardid", 5, {1})), 0u);
  ASSERT_EQ(Write(api, WriteA(null, 7, "cardid", 6, {2, 2})), 0u);
  EXPECT_EQ(Read(api, ReadW(null, 7, u"cardid", 6)).pb.bytes, (std::vector<uint8_t>{2, 2}));
}

TEST(CardCacheThroughTheApi, AContextsEntriesGoWithTheContext) {
  pcscnative::Pcsc service;
  service.Set(pcscnative::kEstablishContext, reinterpret_cast<void*>(&EstablishSame));
  service.Set(pcscnative::kReleaseContext, reinterpret_cast<void*>(&ReleaseAny));
  CRdpSmartCardWIndowsAPI api{service};
  api.Init();
  EstablishContext_Call establish;
  auto Establish = [&] {
    return RunCall<EstablishContext_Return>(api, &CRdpSmartCardAPI::EstablishContext, scardioctl::kEstablishContext,
                                            establish)
        .Context;
  };
  const REDIR_SCARDCONTEXT context = Establish();
  ASSERT_EQ(context, Context(0x1234));
  ASSERT_EQ(Write(api, WriteA(context, 1, "name", 1, {9})), 0u);
  ASSERT_EQ(Read(api, ReadW(context, 1, u"name", 1)).ReturnCode, 0u);

  Context_Call release;
  release.Context = context;
  ASSERT_EQ(RunCall<Long_Return>(api, &CRdpSmartCardAPI::HandleContext, scardioctl::kReleaseContext, release).ReturnCode,
            0u);
  ASSERT_EQ(Establish(), context);
  EXPECT_EQ(Read(api, ReadW(context, 1, u"name", 1)).ReturnCode, CardDataCache::kItemNotFound);
  api.StopAll();
}

TEST(CardDataCacheBounds, AnEntryTooLargeIsRefusedAndChangesNothing) {
  CardDataCache cache;
  const CardDataCache::Key key{{}, "n"};
  const std::vector<uint8_t> kept(10, 1);
  ASSERT_EQ(cache.Write(key, 1, kept.data(), kept.size()), 0u);
  const std::vector<uint8_t> big(CardDataCache::kMaxEntryBytes + 1, 2);
  EXPECT_EQ(cache.Write(key, 2, big.data(), big.size()), CardDataCache::kItemTooBig);
  std::vector<uint8_t> got;
  EXPECT_EQ(cache.Read(key, 1, &got), 0u);
  EXPECT_EQ(got, kept);
  // The largest entry is taken.
  const std::vector<uint8_t> largest(CardDataCache::kMaxEntryBytes, 3);
  EXPECT_EQ(cache.Write(key, 2, largest.data(), largest.size()), 0u);
}

TEST(CardDataCacheBounds, WritesBeyondTheContextsBoundsPushOutTheOldestEntries) {
  const struct {
    const char* what;
    size_t length;
    size_t writes;
  } cases[] = {
      {"many small entries", 1, CardDataCache::kMaxEntries + 5},
      {"a few large entries", CardDataCache::kMaxEntryBytes, CardDataCache::kMaxBytes / CardDataCache::kMaxEntryBytes + 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    CardDataCache cache;
    const std::vector<uint8_t> data(c.length, 7);
    for (size_t i = 0; i < c.writes; ++i) {
      CardDataCache::Key key{{}, "n" + std::to_string(i)};
      ASSERT_EQ(cache.Write(key, 1, data.data(), data.size()), 0u);
      ASSERT_LE(cache.Entries(), CardDataCache::kMaxEntries);
      ASSERT_LE(cache.Bytes(), CardDataCache::kMaxBytes);
    }
    std::vector<uint8_t> got;
    EXPECT_EQ(cache.Read({{}, "n0"}, 1, &got), CardDataCache::kItemNotFound);
    EXPECT_EQ(cache.Read({{}, "n" + std::to_string(c.writes - 1)}, 1, &got), 0u);
  }
}
