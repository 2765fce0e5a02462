// The media source of a redirected presentation as the presentation holds
// it: a Media Foundation media source that takes the presentation's streams
// and builds its presentation descriptor from them on Open.
#pragma once

#include "pelplat/mfidl.h"

class CVrMFStream;

struct IVrRdpMediaSource : IMFMediaSource {
  virtual ~IVrRdpMediaSource() = default;
  // S_OK, or E_UNEXPECTED when a stream with the same stream id is listed.
  virtual HRESULT AppendStream(CVrMFStream* stream) = 0;
  // Builds the presentation descriptor from the listed streams.
  virtual HRESULT Open() = 0;
};

// The one implementation (CVrMFSource): S_OK with a source holding one
// reference for the caller.
HRESULT CreateVrMFSource(IVrRdpMediaSource** source);
