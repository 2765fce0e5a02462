#include "settings/SettingsStore.h"

SettingsStore::SettingsStore() = default;

SettingsStore::~SettingsStore() = default;

bool SettingsStore::FindInt(const std::u16string& key, int32_t* value) {
  CxAutoLock guard(&lock_);
  auto it = ints_.find(key);
  if (it == ints_.end()) return false;
  if (value != nullptr) *value = it->second;
  return true;
}

bool SettingsStore::FindText(const std::u16string& key, std::u16string* value) {
  CxAutoLock guard(&lock_);
  auto it = texts_.find(key);
  if (it == texts_.end()) return false;
  if (value != nullptr) *value = it->second;
  return true;
}

void SettingsStore::SetInt(const std::u16string& key, int32_t value) {
  CxAutoLock guard(&lock_);
  ints_[key] = value;
}

void SettingsStore::SetText(const std::u16string& key, const std::u16string& value) {
  CxAutoLock guard(&lock_);
  texts_[key] = value;
}

void SettingsStore::SetBinary(const std::u16string& key, const std::vector<BYTE>& value) {
  CxAutoLock guard(&lock_);
  binaries_[key] = value;
}

void SettingsStore::AddIntIfMissing(const std::u16string& key, int32_t value) {
  CxAutoLock guard(&lock_);
  ints_.emplace(key, value);
}

void SettingsStore::AddTextIfMissing(const std::u16string& key, const std::u16string& value) {
  CxAutoLock guard(&lock_);
  texts_.emplace(key, value);
}

void SettingsStore::Clear() {
  CxAutoLock guard(&lock_);
  ints_.clear();
  texts_.clear();
  binaries_.clear();
}

SettingsStore::IntMap SettingsStore::CopyInts() {
  CxAutoLock guard(&lock_);
  return ints_;
}

SettingsStore::TextMap SettingsStore::CopyTexts() {
  CxAutoLock guard(&lock_);
  return texts_;
}

SettingsStore::BinaryMap SettingsStore::CopyBinaries() {
  CxAutoLock guard(&lock_);
  return binaries_;
}
