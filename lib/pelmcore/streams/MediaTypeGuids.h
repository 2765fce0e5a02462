// The media type, subtype and format type identifiers the decoded stream
// kinds test a format record against.
#pragma once

#include "pelplat/wintypes.h"

namespace mediaguid {

// The FOURCC family: the code in the first field, then a fixed tail.
constexpr GUID Fourcc(uint32_t code) {
  return {code, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
}

constexpr GUID kNull{};
constexpr GUID kMediaTypeVideo = Fourcc(0x73646976);   // "vids"
constexpr GUID kMediaTypeAudio = Fourcc(0x73647561);   // "auds"
constexpr GUID kSubtypeMjpg = Fourcc(0x47504A4D);      // "MJPG"
constexpr GUID kSubtypeH264 = Fourcc(0x34363248);      // "H264"
constexpr GUID kSubtypeRgb24 = {0xE436EB7D, 0x524F, 0x11CE,
                                {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
constexpr GUID kFormatWaveFormatEx = {0x05589F81, 0xC356, 0x11CE,
                                      {0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A}};

}  // namespace mediaguid
