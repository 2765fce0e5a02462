#include "tovix/TovixFeature.h"

#include "cli/LaunchOptions.h"
#include "settings/AbstractClientSettings.h"

bool TovixFeatureEnabled() { return GetGlobalIntSetting(u"TovixEnabled", 1) != 0 && !IsTovixDisabled(); }

uint32_t TovixH264SupportBits() { return TovixFeatureEnabled() ? 2u : 0u; }
