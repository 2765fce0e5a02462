#include "program/QtSystemApiSettingsLink.h"

#include "qt/QtSystemApi.h"

QtSystemApiSettingsLink::QtSystemApiSettingsLink(CQtSystemApi* api) : api_(api) {
  previous_ = SetSettingsSystemApi(this);
}

QtSystemApiSettingsLink::~QtSystemApiSettingsLink() { SetSettingsSystemApi(previous_); }

uint32_t QtSystemApiSettingsLink::FindBestMode(int screen) {
  uint32_t mode = 0;
  api_->FindBestMode(&mode, screen);
  return mode;
}

uint8_t QtSystemApiSettingsLink::GetDefaultColorDepth() { return api_->GetDefaultColorDepth(); }

void QtSystemApiSettingsLink::EnableClipboard(bool enabled) { api_->EnableClipboard(enabled); }

bool QtSystemApiSettingsLink::IsForceDualMonitor() { return api_->forceDualMonitor.load() != 0; }

void QtSystemApiSettingsLink::SetShowMessages(bool normal, bool system) {
  api_->showNormalMessages = normal ? 1 : 0;
  api_->showSystemMessages = system ? 1 : 0;
}
