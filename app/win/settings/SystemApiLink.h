// What the settings and the connection-parameter builder ask of the running
// system API. Start-up installs an adapter over the system API of the pass
// and removes it before that object goes; without one the answers are those
// of a system API that knows no screen.
#pragma once

#include <cstdint>

class ISettingsSystemApi {
 public:
  virtual ~ISettingsSystemApi() = default;
  // Best display mode of a local screen, width | height << 16; 0 when the
  // screen does not exist.
  virtual uint32_t FindBestMode(int screen) = 0;
  virtual uint8_t GetDefaultColorDepth() = 0;
  virtual void EnableClipboard(bool enabled) = 0;
  // The forced-dual-monitor switch.
  virtual bool IsForceDualMonitor() = 0;
  // The show-normal-messages and show-system-messages switches.
  virtual void SetShowMessages(bool normal, bool system) = 0;
};

// Installs the adapter (null removes it) and returns the one it replaces.
ISettingsSystemApi* SetSettingsSystemApi(ISettingsSystemApi* api);
// The installed adapter, or the stand-in: no modes, depth 24, no switches.
ISettingsSystemApi& SettingsSystemApi();
