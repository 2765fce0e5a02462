// The player stream's H.264 byte handling: configuration records, Annex B
// parameter sets, length-prefixed units, and the decoder's data path over
// the platform's H.264 transform.
// Input: u16 length of the codec data, the codec data, then the payload of
// one data record (the rest). Each part sits in its own buffer so that an
// overrun shows.
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pelplat/debugout.h"
#include "pelplat/mfapi.h"
#include "streams/AvcByteStream.h"
#include "streams/VlcDecoder.h"

namespace {

std::vector<uint8_t> Record(size_t header, uint32_t lengthAt, const std::vector<uint8_t>& tail) {
  std::vector<uint8_t> r(header, 0);
  const uint32_t one = 1, n = static_cast<uint32_t>(tail.size());
  std::memcpy(&r[12], &one, 4);
  std::memcpy(&r[lengthAt], &n, 4);
  r.insert(r.end(), tail.begin(), tail.end());
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool started = [] {
    SetDebugOutputSink([](const std::string&) {});
    return MFStartup(MF_VERSION) == S_OK && std::atexit([] { MFShutdown(); }) == 0;
  }();
  if (!started || size < 2) return 0;
  const size_t codecLength = std::min<size_t>(data[0] | data[1] << 8, size - 2);
  const std::vector<uint8_t> codec(data + 2, data + 2 + codecLength);
  const std::vector<uint8_t> payload(data + 2 + codecLength, data + size);

  uint32_t lengthSize = 0;
  avc::AvcConfigToAnnexBSize(codec.data(), static_cast<uint32_t>(codec.size()));
  const std::vector<uint8_t> annexB = avc::AvcConfigToAnnexB(codec.data(), static_cast<uint32_t>(codec.size()), &lengthSize);
  avc::ParameterSets sets;
  avc::FindAnnexBParameterSets(codec.data(), static_cast<uint32_t>(codec.size()), &sets);
  avc::FindAnnexBParameterSets(annexB.data(), static_cast<uint32_t>(annexB.size()), &sets);
  std::vector<uint8_t> rewritten = payload;
  avc::AvcToAnnexB(rewritten.data(), static_cast<uint32_t>(rewritten.size()), 4);

  std::vector<uint8_t> format = Record(64, 60, codec);
  std::memcpy(&format[16], "avc1", 4);
  const int32_t w = 64, h = 48;
  std::memcpy(&format[20], &w, 4);
  std::memcpy(&format[24], &h, 4);
  CVlcDecoder* decoder = new CVlcDecoder();
  if (decoder->SetFormat(format.data(), static_cast<uint32_t>(format.size())) == 0) {
    const std::vector<uint8_t> record = Record(76, 72, payload);
    decoder->ProcessInput(record.data(), static_cast<uint32_t>(record.size()));
    decoder->ProcessInput(record.data(), static_cast<uint32_t>(record.size()));
  }
  decoder->Shutdown();
  decoder->Release();
  return 0;
}
