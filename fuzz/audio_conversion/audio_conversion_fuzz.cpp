// The audio stream kind's conversion: a compressed wave format and
// arbitrary samples through the conversion to 16-bit PCM, played on the
// virtual wave backend.
// Input: format tag index (0 MS ADPCM, 1 IMA ADPCM, 2 mu-law, 3 A-law,
// 4 GSM 6.10, 5 float, 6 PCM 8-bit), channels (1 to 8), u16 block
// alignment, u16 bits per sample, u16 extra byte count and the extra bytes
// (as many as there are), then packets of u16 length and bytes, the last
// one taking what is left.
#include <cstddef>
#include <cstdint>

#include "FuzzPackets.h"
#include "pelplat/msacm.h"
#include "pelplat/wavebackend.h"
#include "streams/AudioStream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 8) return 0;
  static pelplat::wave::VirtualWaveBackend backend;
  static const bool installed = [] {
    backend.KeepBytes(false);
    // Every buffer is done once the device takes it, so no close waits.
    backend.PlayAsWritten(true);
    pelplat::wave::SetBackend(&backend);
    return true;
  }();
  (void)installed;
  static const uint16_t kTags[] = {WAVE_FORMAT_ADPCM, WAVE_FORMAT_IMA_ADPCM, WAVE_FORMAT_MULAW,
                                   WAVE_FORMAT_ALAW,  WAVE_FORMAT_GSM610,    WAVE_FORMAT_IEEE_FLOAT,
                                   WAVE_FORMAT_PCM};
  WaveFormatRecord format;
  format.formatTag = kTags[data[0] % 7];
  format.channels = uint16_t(1 + data[1] % 8);
  format.samplesPerSec = 8000;
  format.blockAlign = uint16_t(data[2] | data[3] << 8);
  format.bitsPerSample = uint16_t(data[4] | data[5] << 8);
  format.avgBytesPerSec = format.samplesPerSec * format.blockAlign;
  size_t at = 8;
  const size_t extra = std::min<size_t>(data[6] | data[7] << 8, size - at);
  format.extra.assign(data + at, data + at + extra);
  format.extraSize = uint16_t(extra);
  at += extra;
  CAudioStream stream;
  if (stream.SetWaveFormat(format) != 0) return 0;
  stream.SetState(3);
  ForEachFuzzPacket(data, size, at, [&](const std::vector<uint8_t>& packet, size_t) {
    stream.ProcessSample(packet.data(), uint32_t(packet.size()), StreamSampleContext());
  });
  return 0;
}
