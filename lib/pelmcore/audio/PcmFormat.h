// A plain PCM wave format with its derived fields filled in.
#pragma once

#include "pelplat/mmsystem.h"

inline WAVEFORMATEX PcmWaveFormat(WORD channels, DWORD samplesPerSecond, WORD bitsPerSample) {
  WAVEFORMATEX f{};
  f.wFormatTag = WAVE_FORMAT_PCM;
  f.nChannels = channels;
  f.nSamplesPerSec = samplesPerSecond;
  f.wBitsPerSample = bitsPerSample;
  f.nBlockAlign = static_cast<WORD>(channels * bitsPerSample / 8);
  f.nAvgBytesPerSec = samplesPerSecond * f.nBlockAlign;
  f.cbSize = 0;
  return f;
}
