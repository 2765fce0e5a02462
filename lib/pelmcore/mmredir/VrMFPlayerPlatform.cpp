#include "mmredir/VrMFPlayerPlatform.h"

#include <atomic>

// The session and the renderers are the newest part of the platform
// library; a build without them still links and its players fail to open.
HRESULT MFCreateMediaSession(IMFAttributes* configuration, IMFMediaSession** session) __attribute__((weak));
HRESULT MFCreateTopology(IMFTopology** topology) __attribute__((weak));
HRESULT MFCreateTopologyNode(MF_TOPOLOGY_TYPE type, IMFTopologyNode** node) __attribute__((weak));
HRESULT MFCreateVideoRendererActivate(HWND window, IMFActivate** activate) __attribute__((weak));
HRESULT MFCreateAudioRendererActivate(IMFActivate** activate) __attribute__((weak));
HRESULT MFGetService(IUnknown* object, REFGUID service, REFIID riid, void** result) __attribute__((weak));

namespace {

HRESULT CreateMediaSession(IMFAttributes* configuration, IMFMediaSession** session) {
  if (!&MFCreateMediaSession) return E_NOTIMPL;
  return MFCreateMediaSession(configuration, session);
}

HRESULT CreateTopology(IMFTopology** topology) {
  if (!&MFCreateTopology) return E_NOTIMPL;
  return MFCreateTopology(topology);
}

HRESULT CreateTopologyNode(MF_TOPOLOGY_TYPE type, IMFTopologyNode** node) {
  if (!&MFCreateTopologyNode) return E_NOTIMPL;
  return MFCreateTopologyNode(type, node);
}

HRESULT CreateVideoRendererActivate(HWND window, IMFActivate** activate) {
  if (!&MFCreateVideoRendererActivate) return E_NOTIMPL;
  return MFCreateVideoRendererActivate(window, activate);
}

HRESULT CreateAudioRendererActivate(IMFActivate** activate) {
  if (!&MFCreateAudioRendererActivate) return E_NOTIMPL;
  return MFCreateAudioRendererActivate(activate);
}

HRESULT GetService(IUnknown* object, REFGUID service, REFIID riid, void** result) {
  if (!&MFGetService) return E_NOTIMPL;
  return MFGetService(object, service, riid, result);
}

const VrMFPlayerPlatform kDefault{CreateMediaSession,          CreateTopology,
                                  CreateTopologyNode,          CreateVideoRendererActivate,
                                  CreateAudioRendererActivate, GetService};

std::atomic<const VrMFPlayerPlatform*> g_platform{&kDefault};

}  // namespace

const VrMFPlayerPlatform& DefaultVrMFPlayerPlatform() { return kDefault; }

const VrMFPlayerPlatform& CurrentVrMFPlayerPlatform() { return *g_platform.load(); }

void SetVrMFPlayerPlatform(const VrMFPlayerPlatform* platform) {
  g_platform.store(platform ? platform : &kDefault);
}
