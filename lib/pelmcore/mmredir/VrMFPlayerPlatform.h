// The Media Foundation calls of the redirected media player, through one
// process-wide table so that tests can put doubles of the media session,
// the topology and the renderers in place of the platform's.
#pragma once

#include "pelplat/mfsession.h"

struct VrMFPlayerPlatform {
  HRESULT (*createMediaSession)(IMFAttributes* configuration, IMFMediaSession** session);
  HRESULT (*createTopology)(IMFTopology** topology);
  HRESULT (*createTopologyNode)(MF_TOPOLOGY_TYPE type, IMFTopologyNode** node);
  HRESULT (*createVideoRendererActivate)(HWND window, IMFActivate** activate);
  HRESULT (*createAudioRendererActivate)(IMFActivate** activate);
  HRESULT (*getService)(IUnknown* object, REFGUID service, REFIID riid, void** result);
  // How long Open waits for the topology and Close for the session's end.
  DWORD waitMilliseconds = 5000;
};

// The platform's functions. A function the platform library does not have
// answers E_NOTIMPL.
const VrMFPlayerPlatform& DefaultVrMFPlayerPlatform();
// The table in use; the platform's until replaced.
const VrMFPlayerPlatform& CurrentVrMFPlayerPlatform();
// Replaces the table for players made from now on (null restores the
// platform's). The table must outlive every player that uses it.
void SetVrMFPlayerPlatform(const VrMFPlayerPlatform* platform);
