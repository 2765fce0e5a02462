// H.264 behind the DXVA2 model: the picture parameters and quantisation
// matrices carry what the sequence and picture parameter sets said; they
// are written back as parameter sets in front of the picture's slices and
// the whole goes through libavcodec. Pictures leave libavcodec in order
// counts with the delay the client's reorder queue keeps, each tagged with
// the surface its picture parameters named.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

struct AVFrame;

class H264Rebuild {
 public:
  H264Rebuild();
  ~H264Rebuild();
  // Called for each picture that comes out: its surface and its planes.
  using Output = std::function<void(int surface, const AVFrame* frame)>;
  // False for parameters it cannot rebuild or a stream libavcodec refuses.
  bool Decode(const uint8_t* params, size_t paramsSize, const uint8_t* matrices, size_t matricesSize,
              const uint8_t* slices, size_t slicesSize, uint32_t surfaceCount, const Output& output);

  H264Rebuild(const H264Rebuild&) = delete;
  H264Rebuild& operator=(const H264Rebuild&) = delete;

 private:
  struct Codec;
  std::unique_ptr<Codec> codec_;
};
