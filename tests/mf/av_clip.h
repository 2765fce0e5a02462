// A clip of any codec ffmpeg can encode, made at test time from testsrc in
// a container: its packets and codec private data as ffprobe dumps them
// (what a server would put in its data records and format record), and
// ffmpeg's own decode as NV12, and as 32-bit BGRA made through 4:2:0,
// for comparison.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

struct AvClip {
  using Bytes = std::vector<uint8_t>;
  int width = 0, height = 0;
  Bytes extradata;
  std::vector<Bytes> packets;
  std::vector<Bytes> nv12Frames, bgraFrames;
  std::string dir;

  // encode: the ffmpeg output options, e.g. "-c:v wmv2 -pix_fmt yuv420p";
  // container: the file suffix ("avi", "mp4"). False when a tool failed.
  bool Make(int w, int h, int frames, const std::string& encode, const std::string& container) {
    width = w;
    height = h;
    char tmpl[] = "/tmp/pellum-avclip-XXXXXX";
    if (!mkdtemp(tmpl)) return false;
    dir = tmpl;
    const std::string clip = dir + "/clip." + container;
    const std::string make = "ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc=size=" + std::to_string(w) + "x" +
                             std::to_string(h) + ":rate=25 -frames:v " + std::to_string(frames) + " " + encode +
                             " " + clip;
    const std::string probe = "ffprobe -v error -select_streams v:0 -show_streams -show_packets -show_data " + clip +
                              " > " + dir + "/probe.txt";
    if (std::system(make.c_str()) != 0 || std::system(probe.c_str()) != 0) return false;
    // The BGRA pictures pass through video-range 4:2:0 (what NV12 holds), as
    // a decoder transform gives them.
    for (const char* format : {"nv12", "bgra"}) {
      const std::string decode = "ffmpeg -nostdin -loglevel error -y -i " + clip + " -vf format=yuv420p -pix_fmt " +
                                 format + " -f rawvideo " + dir + "/ref." + format;
      if (std::system(decode.c_str()) != 0) return false;
    }
    ReadProbe(dir + "/probe.txt");
    nv12Frames = Split(ReadFile(dir + "/ref.nv12"), static_cast<size_t>(w) * h + static_cast<size_t>(w) * ((h + 1) / 2));
    bgraFrames = Split(ReadFile(dir + "/ref.bgra"), static_cast<size_t>(w) * h * 4);
    return !packets.empty() && nv12Frames.size() == packets.size() && bgraFrames.size() == packets.size();
  }

  ~AvClip() {
    if (!dir.empty()) std::system(("rm -rf " + dir).c_str());
  }

  static Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
  }

  static std::vector<Bytes> Split(const Bytes& all, size_t frame) {
    std::vector<Bytes> out;
    for (size_t at = 0; frame && at + frame <= all.size(); at += frame)
      out.emplace_back(all.begin() + static_cast<ptrdiff_t>(at), all.begin() + static_cast<ptrdiff_t>(at + frame));
    return out;
  }

  // Peak signal-to-noise ratio of two equal-sized byte pictures, in dB
  // (99 when they are equal); every channel counts.
  static double Psnr(const uint8_t* a, const uint8_t* b, size_t n) {
    double sum = 0;
    for (size_t i = 0; i < n; ++i) sum += (double(a[i]) - b[i]) * (double(a[i]) - b[i]);
    if (sum == 0 || n == 0) return 99;
    return 10 * std::log10(255.0 * 255.0 * double(n) / sum);
  }

  // ffprobe's hex dump lines: "00000010: 5ab1 9585 ...  ascii"; the hex
  // part is the 40 columns after the offset.
  static bool HexLine(const std::string& line, Bytes* out) {
    if (line.size() < 11 || line[8] != ':' || line[9] != ' ') return false;
    const std::string hex = line.substr(10, 40);
    int high = -1;
    for (char c : hex) {
      int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
      if (v < 0) continue;
      if (high < 0) {
        high = v;
      } else {
        out->push_back(static_cast<uint8_t>(high << 4 | v));
        high = -1;
      }
    }
    return true;
  }

  // The codec data and packets of ffprobe's -show_streams -show_packets
  // -show_data output for one stream.
  static void ReadProbe(const std::string& path, Bytes* extradata, std::vector<Bytes>* packets) {
    std::ifstream in(path);
    std::string line;
    Bytes* target = nullptr;
    while (std::getline(in, line)) {
      if (line == "extradata=") {
        target = extradata;
      } else if (line == "data=") {
        packets->emplace_back();
        target = &packets->back();
      } else if (!target || !HexLine(line, target)) {
        target = nullptr;
      }
    }
  }

 private:
  void ReadProbe(const std::string& path) { ReadProbe(path, &extradata, &packets); }
};
