// The in-process graphics adapter behind d3d9.h and dxva2api.h: what it
// says it is, what it lists, and which calls fail. Tests configure it; the
// program runs with the default adapter, which lists DXVA2_ModeH264_E, the
// one profile the model really decodes.
//
// What a decoder writes: an H.264 decoder rebuilds the parameter sets from
// the picture parameters and quantisation matrices and decodes the slices
// of the bitstream buffer with libavcodec into the surfaces the pictures
// name. Any other profile (and H.264 too with patternDecoder set) paints
// each render target that is open (between BeginFrame and EndFrame) flat,
// luma = the first byte of the bitstream buffer, else of the first other
// buffer with data that is not the picture parameters (0x80 when none),
// chroma 128. That pattern tells which surface a picture went into.
#pragma once

#include <vector>

#include "pelplat/dxva2api.h"

struct D3D9ModelAdapter {
  DWORD vendorId = 0;
  std::vector<GUID> profiles{DXVA2_ModeH264_E};  // what GetDecoderDeviceGuids lists
  bool patternDecoder = false;  // H.264 paints the pattern too
  std::vector<D3DFORMAT> renderTargetFormats{D3DFMT_NV12};
  std::vector<UINT> bitstreamRawConfigs{1, 2};  // one configuration each
  UINT bufferSize = 64 * 1024;                  // each GetBuffer size but the bitstream's
  UINT bitstreamBufferSize = 4 * 1024 * 1024;
  bool failDirect3D = false;  // Direct3DCreate9 answers null
  HRESULT createDeviceResult = S_OK;
  HRESULT createDecoderResult = S_OK;
  int beginFrameFailures = 0;  // the next n BeginFrame calls fail
  int executeFailures = 0;     // the next n Execute calls fail
};

// What the model has seen since the adapter was configured.
struct D3D9ModelStats {
  int devicesCreated = 0;
  int decodersCreated = 0;
  int decodersAlive = 0;
  GUID lastDecoderProfile{};
  int beginFrameCalls = 0;
  int endFrameCalls = 0;
  int endFramesWithoutFrame = 0;
  int executeCalls = 0;
  UINT lastExecuteBuffers = 0;
};

// Replaces the adapter (and zeroes the statistics). Safe on any thread.
void D3D9ModelConfigure(const D3D9ModelAdapter& adapter);
D3D9ModelAdapter D3D9ModelCurrent();
D3D9ModelStats D3D9ModelStatistics();
// A new device comes up: TestDevice answers DXVA2_E_NEW_VIDEO_DEVICE for
// every handle opened before.
void D3D9ModelChangeDevice();
