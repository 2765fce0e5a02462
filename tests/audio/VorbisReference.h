// Ogg Vorbis clips that oggenc makes at test time and Tremor's own ov_read
// decode of them: what the audio slot's output must equal.
#pragma once

#include <gtest/gtest.h>
#include <tremor/ivorbisfile.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace vorbisref {

using Bytes = std::vector<uint8_t>;

inline void PutWavLe(std::ofstream& f, uint32_t v, int n) {
  for (int i = 0; i < n; ++i) f.put(static_cast<char>(v >> (8 * i)));
}

// A WAV of a few tones (one per channel) in `dir` and its Ogg Vorbis
// encoding.
inline Bytes MakeOgg(const std::string& dir, int channels, int rate, double seconds) {
  const std::string wav = dir + "/in.wav", ogg = dir + "/out.ogg";
  const uint32_t frames = static_cast<uint32_t>(rate * seconds);
  const uint32_t dataBytes = frames * channels * 2;
  {
    std::ofstream f(wav, std::ios::binary);
    f.write("RIFF", 4);
    PutWavLe(f, 36 + dataBytes, 4);
    f.write("WAVEfmt ", 8);
    PutWavLe(f, 16, 4);
    PutWavLe(f, 1, 2);
    PutWavLe(f, channels, 2);
    PutWavLe(f, rate, 4);
    PutWavLe(f, rate * channels * 2, 4);
    PutWavLe(f, channels * 2, 2);
    PutWavLe(f, 16, 2);
    f.write("data", 4);
    PutWavLe(f, dataBytes, 4);
    for (uint32_t i = 0; i < frames; ++i) {
      for (int c = 0; c < channels; ++c) {
        const double hz = 220.0 * (c + 1) + 7 * c;
        PutWavLe(f, static_cast<uint16_t>(static_cast<int16_t>(9000 * std::sin(6.2831853 * hz * i / rate))), 2);
      }
    }
  }
  EXPECT_EQ(0, std::system(("oggenc -Q -q 2 -o " + ogg + " " + wav).c_str()));
  std::ifstream f(ogg, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// Bytes of the leading pages whose granule position is 0: the headers.
inline size_t HeaderBytes(const Bytes& ogg) {
  size_t at = 0;
  while (at + 27 <= ogg.size() && memcmp(&ogg[at], "OggS", 4) == 0) {
    uint64_t granule = 0;
    for (int i = 7; i >= 0; --i) granule = granule << 8 | ogg[at + 6 + i];
    if (granule != 0) break;
    const size_t segments = ogg[at + 26];
    if (at + 27 + segments > ogg.size()) break;
    size_t body = 0;
    for (size_t i = 0; i < segments; ++i) body += ogg[at + 27 + i];
    at += 27 + segments + body;
  }
  return at;
}

struct Memory {
  const Bytes* bytes;
  size_t at;
};

// Tremor's own decode of the whole stream, cut to two channels (a mono
// stream's channel twice).
inline Bytes OvRead(const Bytes& ogg, int* channels, long* rate) {
  Memory m{&ogg, 0};
  ov_callbacks io{};
  io.read_func = [](void* p, size_t size, size_t n, void* source) -> size_t {
    auto* mem = static_cast<Memory*>(source);
    const size_t want = std::min(size * n, mem->bytes->size() - mem->at);
    memcpy(p, mem->bytes->data() + mem->at, want);
    mem->at += want;
    return size ? want / size : 0;
  };
  OggVorbis_File vf;
  EXPECT_EQ(0, ov_open_callbacks(&m, &vf, nullptr, 0, io));
  vorbis_info* info = ov_info(&vf, -1);
  *channels = info->channels;
  *rate = info->rate;
  Bytes all;
  char buffer[4096];
  int section = 0;
  long n;
  while ((n = ov_read(&vf, buffer, sizeof(buffer), &section)) > 0) all.insert(all.end(), buffer, buffer + n);
  ov_clear(&vf);
  const size_t inFrame = size_t(*channels) * 2;
  Bytes stereo;
  for (size_t i = 0; i + inFrame <= all.size(); i += inFrame) {
    stereo.insert(stereo.end(), all.begin() + static_cast<long>(i), all.begin() + static_cast<long>(i + 2));
    const size_t second = *channels > 1 ? 2 : 0;
    stereo.insert(stereo.end(), all.begin() + static_cast<long>(i + second),
                  all.begin() + static_cast<long>(i + second + 2));
  }
  return stereo;
}

}  // namespace vorbisref
