// The host's DXVA2 encoder side for H.264: splits an Annex B stream into
// pictures, reads its parameter sets and slice headers, and makes for each
// picture the frame record a hardware-decoding client gets: picture
// parameters (DXVA_PicParams_H264), a flat quantisation matrix, short
// slice control and the slices with their start codes. Surfaces are
// handed out in turn; order counts follow picture order count types 0
// and 2 (what x264 writes).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "testhost/DxvaRecords.h"

namespace testhost {
namespace dxva {

constexpr size_t kH264PictureParametersSize = 1040;

struct H264Picture {
  Bytes record;          // the frame record
  int32_t orderCount = 0;
  uint8_t surface = 0;
};

// Empty with `error` set for a stream this helper does not cover (other
// order count types, scaling matrices, slice groups, 4:4:4).
std::vector<H264Picture> H264ToDxva(const Bytes& annexB, uint32_t surfaces, const Rect& target,
                                    int32_t colourKey, std::string* error);

}  // namespace dxva
}  // namespace testhost
