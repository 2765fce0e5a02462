#include "mmredir/VrMFPlayerPlatform.h"

#include <atomic>

namespace {

const VrMFPlayerPlatform kDefault{MFCreateMediaSession,          MFCreateTopology,
                                  MFCreateTopologyNode,          MFCreateVideoRendererActivate,
                                  MFCreateAudioRendererActivate, MFGetService};

std::atomic<const VrMFPlayerPlatform*> g_platform{&kDefault};

}  // namespace

const VrMFPlayerPlatform& DefaultVrMFPlayerPlatform() { return kDefault; }

const VrMFPlayerPlatform& CurrentVrMFPlayerPlatform() { return *g_platform.load(); }

void SetVrMFPlayerPlatform(const VrMFPlayerPlatform* platform) {
  g_platform.store(platform ? platform : &kDefault);
}
