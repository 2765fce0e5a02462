// The card data cache of one smart-card context: name-value pairs per card
// (its UUID), each written with a freshness counter. Windows keeps such a
// cache in its resource manager so that a card's minidriver need not read
// the same files again; pcsclite has none, so the API keeps it here, in
// memory, for as long as the context lives.
//
// A read must name the card, the name and the freshness the data was
// written with: a different freshness means the card changed since, and the
// entry goes, as on Windows. Bounds: 64 KiB of data per entry (the most one
// reply carries) and 1 MiB in 256 entries per context; a write that would
// pass the context's bounds pushes out the entries written longest ago.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

class CardDataCache {
 public:
  static constexpr size_t kMaxEntryBytes = 65536;
  static constexpr size_t kMaxBytes = size_t{1} << 20;
  static constexpr size_t kMaxEntries = 256;

  static constexpr uint32_t kItemNotFound = 0x80100070;  // SCARD_W_CACHE_ITEM_NOT_FOUND
  static constexpr uint32_t kItemStale = 0x80100071;     // SCARD_W_CACHE_ITEM_STALE
  static constexpr uint32_t kItemTooBig = 0x80100072;    // SCARD_W_CACHE_ITEM_TOO_BIG

  // The card's UUID in its wire byte order, and the lookup name as UTF-8
  // (the narrow and the wide calls meet on it).
  using Key = std::pair<std::array<uint8_t, 16>, std::string>;

  // 0 with the data, kItemNotFound, or kItemStale (the entry is gone).
  uint32_t Read(const Key& key, uint32_t freshness, std::vector<uint8_t>* data);
  // 0, or kItemTooBig when the entry alone passes a bound (nothing changes).
  uint32_t Write(const Key& key, uint32_t freshness, const uint8_t* data, size_t length);

  size_t Entries() const { return entries_.size(); }
  size_t Bytes() const { return bytes_; }

 private:
  struct Entry {
    uint32_t freshness = 0;
    std::vector<uint8_t> data;
    uint64_t written = 0;
  };
  static size_t SizeOf(const Key& key, size_t length) { return key.second.size() + length; }
  void Erase(std::map<Key, Entry>::iterator it);
  void EvictOldest();

  std::map<Key, Entry> entries_;
  size_t bytes_ = 0;  // names and data of every entry
  uint64_t writes_ = 0;
};
