#include "program/SettingsProbes.h"

#include "session/HelloProbes.h"
#include "settings/AbstractClientSettings.h"

namespace {

bool LossyEnabledSetting() { return GetGlobalIntSetting(u"LossyEnabled", 1) != 0; }

}  // namespace

void InstallSettingsProbes() {
  HelloProbes probes = SetHelloProbes(HelloProbes{});
  probes.lossyEnabled = &LossyEnabledSetting;
  SetHelloProbes(probes);
}
