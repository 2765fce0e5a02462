// An x264 clip made at test time with the ffmpeg command line: its access
// units in Annex B form, its SPS and PPS, the AVC configuration record and
// length-prefixed units built from them, and ffmpeg's own NV12 decode.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

struct X264Clip {
  int width = 0, height = 0;
  std::vector<std::vector<uint8_t>> accessUnits;  // Annex B, one picture each
  std::vector<uint8_t> sps, pps;                  // from the header byte on
  std::vector<std::vector<uint8_t>> nv12Frames;   // ffmpeg -pix_fmt nv12
  std::string dir;

  // AVC decoder configuration record with 4-byte lengths.
  std::vector<uint8_t> AvcConfig() const {
    std::vector<uint8_t> r = {1, sps[1], sps[2], sps[3], 0xFF, 0xE1};
    r.push_back(static_cast<uint8_t>(sps.size() >> 8));
    r.push_back(static_cast<uint8_t>(sps.size()));
    r.insert(r.end(), sps.begin(), sps.end());
    r.push_back(1);
    r.push_back(static_cast<uint8_t>(pps.size() >> 8));
    r.push_back(static_cast<uint8_t>(pps.size()));
    r.insert(r.end(), pps.begin(), pps.end());
    return r;
  }
  // The access unit's slices and SEI with 4-byte lengths (no AUD, SPS, PPS).
  std::vector<uint8_t> LengthPrefixed(size_t index) const {
    std::vector<uint8_t> out;
    for (const auto& unit : Units(accessUnits[index])) {
      const int type = unit[0] & 0x1F;
      if (type == 7 || type == 8 || type == 9) continue;
      const uint32_t n = static_cast<uint32_t>(unit.size());
      const uint8_t len[4] = {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
      out.insert(out.end(), len, len + 4);
      out.insert(out.end(), unit.begin(), unit.end());
    }
    return out;
  }

  static std::vector<std::vector<uint8_t>> Units(const std::vector<uint8_t>& bytes) {
    std::vector<std::vector<uint8_t>> units;
    std::vector<size_t> starts;
    for (size_t i = 0; i + 3 <= bytes.size(); ++i)
      if (bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] == 1) starts.push_back(i + 3);
    for (size_t k = 0; k < starts.size(); ++k) {
      size_t end = k + 1 < starts.size() ? starts[k + 1] - 3 : bytes.size();
      while (end > starts[k] && bytes[end - 1] == 0) --end;
      units.emplace_back(bytes.begin() + starts[k], bytes.begin() + end);
    }
    return units;
  }

  static std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
  }

  // False when ffmpeg is missing or failed. source: a lavfi picture source
  // ("testsrc", "testsrc2"); encoder: more x264 options ("-crf 16").
  bool Make(int w, int h, int frames, const std::string& source = "testsrc",
            const std::string& encoder = "") {
    width = w;
    height = h;
    char tmpl[] = "/tmp/pellum-x264-XXXXXX";
    if (!mkdtemp(tmpl)) return false;
    dir = tmpl;
    const std::string clip = dir + "/clip.h264", ref = dir + "/ref.nv12";
    const std::string make = "ffmpeg -nostdin -loglevel error -y -f lavfi -i " + source + "=size=" + std::to_string(w) +
                             "x" + std::to_string(h) + ":rate=25 -frames:v " + std::to_string(frames) +
                             " -c:v libx264 -bf 0 -x264-params aud=1 -pix_fmt yuv420p " + encoder + " -f h264 " + clip;
    const std::string decode = "ffmpeg -nostdin -loglevel error -y -i " + clip + " -pix_fmt nv12 -f rawvideo " + ref;
    if (std::system(make.c_str()) != 0 || std::system(decode.c_str()) != 0) return false;
    const std::vector<uint8_t> stream = ReadFile(clip);
    // Access units begin at each access unit delimiter (type 9).
    std::vector<size_t> aud;
    for (size_t i = 0; i + 4 <= stream.size(); ++i)
      if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1 && (stream[i + 3] & 0x1F) == 9)
        aud.push_back(i > 0 && stream[i - 1] == 0 ? i - 1 : i);
    for (size_t k = 0; k < aud.size(); ++k)
      accessUnits.emplace_back(stream.begin() + aud[k], k + 1 < aud.size() ? stream.begin() + aud[k + 1] : stream.end());
    for (const auto& unit : Units(stream)) {
      if ((unit[0] & 0x1F) == 7 && sps.empty()) sps = unit;
      if ((unit[0] & 0x1F) == 8 && pps.empty()) pps = unit;
    }
    const std::vector<uint8_t> all = ReadFile(ref);
    const size_t frame = static_cast<size_t>(w) * h * 3 / 2;
    for (size_t at = 0; at + frame <= all.size(); at += frame)
      nv12Frames.emplace_back(all.begin() + at, all.begin() + at + frame);
    return !accessUnits.empty() && !sps.empty() && !pps.empty() && nv12Frames.size() == accessUnits.size();
  }

  ~X264Clip() {
    if (!dir.empty()) std::system(("rm -rf " + dir).c_str());
  }
};
