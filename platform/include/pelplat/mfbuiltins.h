// The transforms this platform brings (libavcodec video and audio
// decoders, the libswscale colour converter). The first MFStartup installs
// them in the class registry and the transform list; tests take them away
// to run the paths that do without them.
#pragma once

#include "pelplat/wintypes.h"

#define PELPLAT_MF_H264_DECODER 0x1u
#define PELPLAT_MF_OTHER_DECODERS 0x2u  // WMV, VC-1, Motion JPEG
#define PELPLAT_MF_COLOR_CONVERTER 0x4u
#define PELPLAT_MF_AUDIO_DECODERS 0x8u  // AAC, MP3, WMA 2
#define PELPLAT_MF_ALL_BUILTINS 0xFu

// Removes the chosen transforms until MFRestoreBuiltinTransforms.
void MFRemoveBuiltinTransforms(DWORD which);
void MFRestoreBuiltinTransforms(DWORD which);
