// What the settings ask of the system API, answered by the pass's
// CQtSystemApi. Installed right after the system API is created and removed
// before it goes.
#pragma once

#include "settings/SystemApiLink.h"

class CQtSystemApi;

class QtSystemApiSettingsLink : public ISettingsSystemApi {
 public:
  explicit QtSystemApiSettingsLink(CQtSystemApi* api);
  ~QtSystemApiSettingsLink() override;

  uint32_t FindBestMode(int screen) override;
  uint8_t GetDefaultColorDepth() override;
  void EnableClipboard(bool enabled) override;
  bool IsForceDualMonitor() override;
  void SetShowMessages(bool normal, bool system) override;

  QtSystemApiSettingsLink(const QtSystemApiSettingsLink&) = delete;
  QtSystemApiSettingsLink& operator=(const QtSystemApiSettingsLink&) = delete;

 private:
  CQtSystemApi* api_;
  ISettingsSystemApi* previous_;
};
