// ALSA's `file` PCM over `null` as the sound card of a test: playback PCM
// "pellum_play" writes what it is given to a file, capture PCM
// "pellum_capture" reads a file. Both are defined in an asoundrc under a
// temporary HOME, set before the process's first ALSA call. Neither runs in
// real time, so timing belongs to the virtual-clock backend.
#pragma once

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

class AlsaFileRig {
 public:
  AlsaFileRig() {
    char dirTemplate[] = "/tmp/pellum-alsa-XXXXXX";
    dir_ = mkdtemp(dirTemplate);
    std::ofstream rc(dir_ + "/.asoundrc");
    rc << "pcm.pellum_play {\n  type file\n  slave.pcm \"null\"\n  file \"" << PlaybackFile()
       << "\"\n  format \"raw\"\n}\n"
       << "pcm.pellum_capture {\n  type file\n  slave.pcm \"null\"\n  file \"/dev/null\"\n  infile \""
       << CaptureFile() << "\"\n  format \"raw\"\n}\n";
    setenv("HOME", dir_.c_str(), 1);
  }
  ~AlsaFileRig() {
    unlink((dir_ + "/.asoundrc").c_str());
    unlink(PlaybackFile().c_str());
    unlink(CaptureFile().c_str());
    rmdir(dir_.c_str());
  }

  std::string PlaybackFile() const { return dir_ + "/played.raw"; }
  std::string CaptureFile() const { return dir_ + "/captured-source.raw"; }

  void WriteCaptureSource(const std::vector<uint8_t>& bytes) const {
    std::ofstream f(CaptureFile(), std::ios::binary);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  std::vector<uint8_t> Played() const {
    std::ifstream f(PlaybackFile(), std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  }

 private:
  std::string dir_;
};

// A 16-bit sine, interleaved over `channels`, as little-endian bytes.
inline std::vector<uint8_t> SineBytes(int frames, int channels, double hz, int rate) {
  std::vector<uint8_t> out;
  for (int i = 0; i < frames; ++i) {
    const double v = 12000.0 * __builtin_sin(2 * 3.14159265358979 * hz * i / rate);
    for (int c = 0; c < channels; ++c) {
      const auto s = static_cast<int16_t>(v) + c;
      out.push_back(static_cast<uint8_t>(s));
      out.push_back(static_cast<uint8_t>(static_cast<uint16_t>(s) >> 8));
    }
  }
  return out;
}
