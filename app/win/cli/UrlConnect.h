// What "-url" asked for, kept for the whole process (GUI thread only).
#pragma once

#include <cstddef>
#include <cstdint>

#include "pelplat/wintypes.h"

enum UrlConnectKindValue : int32_t {
  kUrlMalformed = -1,
  kUrlNone = 0,
  kUrlView = 1,     // 'v'
  kUrlControl = 2,  // 'c'
  kUrlS = 3,        // 's'
};
constexpr size_t kUrlServerChars = 260;
extern int32_t UrlConnectKind;
extern WCHAR g_urlServer[kUrlServerChars];
extern uint64_t g_urlId;

// Back to nothing asked for (tests).
void ResetUrlConnect();
