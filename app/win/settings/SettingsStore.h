// Typed store of generic keys: three independent maps keyed by wide text
// under one mutex. Session threads read it while the GUI thread writes it.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "pelplat/wintypes.h"
#include "sys/_synchro.h"

class SettingsStore {
 public:
  using IntMap = std::unordered_map<std::u16string, int32_t>;
  using TextMap = std::unordered_map<std::u16string, std::u16string>;
  using BinaryMap = std::unordered_map<std::u16string, std::vector<BYTE>>;

  SettingsStore();
  ~SettingsStore();

  bool FindInt(const std::u16string& key, int32_t* value);
  bool FindText(const std::u16string& key, std::u16string* value);
  void SetInt(const std::u16string& key, int32_t value);
  void SetText(const std::u16string& key, const std::u16string& value);
  void SetBinary(const std::u16string& key, const std::vector<BYTE>& value);
  // Stores the value only when the key is absent from that map.
  void AddIntIfMissing(const std::u16string& key, int32_t value);
  void AddTextIfMissing(const std::u16string& key, const std::u16string& value);
  // Empties all three maps: a profile set back to its initial values has
  // no generic keys.
  void Clear();

  // Copies taken under the mutex, for saving.
  IntMap CopyInts();
  TextMap CopyTexts();
  BinaryMap CopyBinaries();

  SettingsStore(const SettingsStore&) = delete;
  SettingsStore& operator=(const SettingsStore&) = delete;

 private:
  CxLock lock_;
  IntMap ints_;
  TextMap texts_;
  BinaryMap binaries_;
};
