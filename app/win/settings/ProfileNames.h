// The profile a new settings object starts from.
#pragma once

#include <string>

#include "pelplat/wintypes.h"
#include "sys/FixedText.h"

// Empty at start; set when a profile is loaded by name (GUI thread only).
extern WCHAR CurrentProfileName[kFieldChars];
// The translation of "Vesk/Default".
std::u16string DefaultProfileName();
