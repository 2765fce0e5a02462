// The plain keys of the profile file's groups: how each is read and
// written, and the value a profile without the key has.
#pragma once

#include <cstddef>
#include <cstdint>

#include "settings/AbstractClientSettings.h"

// Flags are read with the boolean conversion and written as 0 or 1.
enum class ProfileKeyKind { kFlag, kInt, kUnsigned, kLow16, kText };

struct ProfileKey {
  const char* key;
  ProfileKeyKind kind;
  int32_t CAbstractClientSettings::*number;            // null for texts
  WCHAR (CAbstractClientSettings::*text)[kFieldChars];  // null for numbers
  int32_t defaultValue;                                 // texts default to empty
};

struct ProfileKeyTable {
  const ProfileKey* keys;
  size_t count;
  const ProfileKey* begin() const { return keys; }
  const ProfileKey* end() const { return keys + count; }
};

extern const ProfileKeyTable kAutoLoginKeys;
extern const ProfileKeyTable kScreenKeys;
extern const ProfileKeyTable kSoundKeys;
extern const ProfileKeyTable kNetworkKeys;
extern const ProfileKeyTable kProgramKeys;

// Sets every field of the tables to its default.
void ApplyProfileKeyDefaults(CAbstractClientSettings& settings);
