// Shared by the wave output and input fronts and their backends.
#pragma once

#include <string>

#include "pelplat/wavebackend.h"

namespace pelplat {
namespace wave {

// The installed backend, else the ALSA one.
IWaveBackend& CurrentBackend();
IWaveBackend& AlsaBackend();
// Bytes per frame of a PCM format the devices accept; 0 for any other.
uint32_t PcmFrameBytes(const WAVEFORMATEX& format);
// One debugger line per distinct text, so a device that keeps failing does
// not flood the log.
void LogOnce(const std::string& text);

}  // namespace wave
}  // namespace pelplat
