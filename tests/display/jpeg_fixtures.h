// JPEG pictures made at test time, with TurboJPEG or the cjpeg tool, and
// TurboJPEG's own decoding of them as the reference.
#pragma once

#include <string>
#include <vector>

#include "pelplat/wintypes.h"

using Bytes = std::vector<BYTE>;

// A w x h RGB picture with smooth gradients and some fine detail.
Bytes TestPicture(int width, int height, int seed);

// TurboJPEG compression of an RGB picture (TJSAMP_* subsampling, TJFLAG_*).
Bytes CompressWithTurboJpeg(const Bytes& rgb, int width, int height, int subsampling,
                            int flags = 0, int quality = 90);

// cjpeg run on the picture as a PPM file, with extra arguments.
Bytes CompressWithCjpeg(const Bytes& rgb, int width, int height,
                        const std::vector<std::string>& arguments);

struct YuvPlanes {
  int width = 0;
  int height = 0;
  Bytes y, cb, cr;
};
// TurboJPEG's raw 4:2:0 planes of a picture.
YuvPlanes TurboJpegPlanes(const Bytes& jpeg);

// TurboJPEG's decoding to pixels (TJPF_*), last row first.
Bytes TurboJpegPixelsBottomUp(const Bytes& jpeg, int pixelFormat, int* width, int* height);
