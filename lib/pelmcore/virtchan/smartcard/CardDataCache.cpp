#include "CardDataCache.h"

uint32_t CardDataCache::Read(const Key& key, uint32_t freshness, std::vector<uint8_t>* data) {
  data->clear();
  auto it = entries_.find(key);
  if (it == entries_.end()) return kItemNotFound;
  if (it->second.freshness != freshness) {
    Erase(it);
    return kItemStale;
  }
  *data = it->second.data;
  return 0;
}

uint32_t CardDataCache::Write(const Key& key, uint32_t freshness, const uint8_t* data, size_t length) {
  if (length > kMaxEntryBytes || SizeOf(key, length) > kMaxBytes) return kItemTooBig;
  auto same = entries_.find(key);
  if (same != entries_.end()) Erase(same);
  const size_t size = SizeOf(key, length);
  while (!entries_.empty() && (entries_.size() >= kMaxEntries || bytes_ + size > kMaxBytes)) EvictOldest();
  Entry& e = entries_[key];
  e.freshness = freshness;
  e.data.assign(data, data + length);
  e.written = ++writes_;
  bytes_ += size;
  return 0;
}

void CardDataCache::Erase(std::map<Key, Entry>::iterator it) {
  bytes_ -= SizeOf(it->first, it->second.data.size());
  entries_.erase(it);
}

void CardDataCache::EvictOldest() {
  auto oldest = entries_.begin();
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (it->second.written < oldest->second.written) oldest = it;
  }
  Erase(oldest);
}
