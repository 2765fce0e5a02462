#include "tovix/TovixFeature.h"

#include "cli/LaunchOptions.h"
#include "session/HelloProbes.h"
#include "settings/AbstractClientSettings.h"

bool TovixFeatureEnabled() { return GetGlobalIntSetting(u"TovixEnabled", 1) != 0 && !IsTovixDisabled(); }

uint32_t TovixH264SupportBits() { return TovixFeatureEnabled() ? 2u : 0u; }

namespace {

HelloMaskProbe g_decoderLibraryProbe = nullptr;

uint32_t H264SupportWithBrowserVideo() {
  return (g_decoderLibraryProbe ? g_decoderLibraryProbe() : 0u) | TovixH264SupportBits();
}

}  // namespace

void InstallTovixH264Probe() {
  const HelloMaskProbe previous = SetHelloProbe(&HelloProbes::probeH264Support, &H264SupportWithBrowserVideo);
  if (previous != &H264SupportWithBrowserVideo) g_decoderLibraryProbe = previous;
}
