#include "cli/UrlConnect.h"

int32_t UrlConnectKind = kUrlNone;
WCHAR g_urlServer[kUrlServerChars] = {};
uint64_t g_urlId = 0;

void ResetUrlConnect() {
  UrlConnectKind = kUrlNone;
  g_urlServer[0] = 0;
  g_urlId = 0;
}
