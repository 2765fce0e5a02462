// The Linux side of DirectShow's registry: which filters the filter mapper
// knows (the stand-in for registered filters and their pin types), and the
// class objects of the platform's own DirectShow objects.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "pelplat/strmif.h"

struct DsFilterTemplate {
  CLSID clsid{};
  std::u16string name;
  DWORD merit = MERIT_NORMAL;
  // (major type, subtype) pairs its input pin accepts.
  std::vector<std::pair<GUID, GUID>> inputTypes;
  HRESULT (*create)(IBaseFilter** filter) = nullptr;
};

// Registers a filter (a later registration of the same class replaces it).
void DsRegisterFilter(const DsFilterTemplate& filter);
// False when the class was not registered.
bool DsUnregisterFilter(REFCLSID clsid);
std::vector<DsFilterTemplate> DsRegisteredFilters();

// Registers, once per process, the class objects of the filter graph, the
// filter mapper, the Video Mixing Renderer 7 and its default
// allocator-presenter, and the video decoder over libavcodec for every
// subtype libavcodec of this machine decodes.
void DsRegisterPlatformClasses();

// The decoder's class, and the subtypes it was registered for.
PELPLAT_GUID(CLSID_PelplatAvVideoDecoder, 0x6F1C2A10, 0x4B7E, 0x4C2D, 0x9A, 0x11, 0x52, 0x3E, 0x7D, 0x90, 0xC4, 0x01);
std::vector<GUID> DsAvDecoderSubtypes();
HRESULT DsCreateAvVideoDecoder(IBaseFilter** filter);
HRESULT DsCreateVideoMixingRenderer7(IBaseFilter** filter);
