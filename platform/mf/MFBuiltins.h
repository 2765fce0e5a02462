// Inside the Media Foundation model: the transform list and the platform's
// own transforms.
#pragma once

#include <vector>

#include "pelplat/mfapi.h"

namespace pelplat_mf {

void AddTransform(REFCLSID clsid, REFGUID category, bool local, UINT32 inputCount,
                  const MFT_REGISTER_TYPE_INFO* inputs, UINT32 outputCount, const MFT_REGISTER_TYPE_INFO* outputs);
bool RemoveTransform(REFCLSID clsid, bool local);

// Called by the first MFStartup and the last MFShutdown.
void InstallBuiltins();
void UninstallBuiltins();

// The video subtypes a libavcodec decoder transform of that class decodes
// on this machine (empty when libavcodec has none of them).
std::vector<GUID> DecodableSubtypes(REFCLSID clsid);
// A new decoder transform for those subtypes; a new colour converter.
IUnknown* NewAvVideoDecoder(const std::vector<GUID>& subtypes);
// The same for the audio decoders (AAC, MP3, WMA 2).
std::vector<GUID> DecodableAudioSubtypes(REFCLSID clsid);
IUnknown* NewAvAudioDecoder(const std::vector<GUID>& subtypes);
IUnknown* NewSwsColorConverter();

}  // namespace pelplat_mf
