#include "streams/AudioStream.h"

#include <cstring>
#include <vector>

#include "streams/MediaTypeGuids.h"
#include "sys/ByteReader.h"

int CAudioStream::SetFormat(const StreamFormatRecord& record) {
  if (record.majorType != mediaguid::kMediaTypeAudio) return E_FAIL;
  if (record.formatType != mediaguid::kFormatWaveFormatEx) return -1;
  ByteReader in(record.block.data(), record.block.size());
  WaveFormatRecord format;
  if (!format.Read(in)) return -1;
  return SetWaveFormat(format) == 0 ? 0 : -1;
}

int CAudioStream::SetWaveFormat(const WaveFormatRecord& format) {
  if (!sound_) return 0;
  // The conversion reads the extra bytes right behind the record.
  std::vector<uint8_t> bytes(sizeof(WAVEFORMATEX) + format.extra.size());
  WAVEFORMATEX head{};
  head.wFormatTag = format.formatTag;
  head.nChannels = format.channels;
  head.nSamplesPerSec = format.samplesPerSec;
  head.nAvgBytesPerSec = format.avgBytesPerSec;
  head.nBlockAlign = format.blockAlign;
  head.wBitsPerSample = format.bitsPerSample;
  head.cbSize = uint16_t(format.extra.size());
  std::memcpy(bytes.data(), &head, sizeof head);
  if (!format.extra.empty())
    std::memcpy(bytes.data() + sizeof head, format.extra.data(), format.extra.size());
  return output_.SetWaveFormat(reinterpret_cast<const WAVEFORMATEX*>(bytes.data()));
}

int CAudioStream::ProcessSample(const uint8_t* data, uint32_t length, const StreamSampleContext&) {
  if (sound_ && data && length) output_.ProcessSample(data, length);
  return 0;
}

int CAudioStream::SetState(int state) {
  if (sound_) output_.SetState(uint32_t(state));
  return 0;
}
