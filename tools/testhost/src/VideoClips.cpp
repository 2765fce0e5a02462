#include "testhost/VideoClips.h"

#include <spawn.h>
#include <sys/wait.h>

#include <fstream>
#include <iterator>

extern char** environ;

namespace testhost {
namespace stream {

FormatRecord H264Format() {
  FormatRecord f;
  f.subtype = FourccGuid(0x34363248);  // "H264"
  return f;
}

FormatRecord MjpegFormat() {
  FormatRecord f;
  f.subtype = FourccGuid(0x47504A4D);  // "MJPG"
  return f;
}

namespace {

// The start code before position i: its length (3 or 4), or 0.
size_t StartCodeAt(const Bytes& b, size_t i) {
  if (i + 3 <= b.size() && b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1) return 3;
  if (i + 4 <= b.size() && b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 0 && b[i + 3] == 1) return 4;
  return 0;
}

}  // namespace

std::vector<Bytes> SplitAccessUnits(const Bytes& annexB) {
  // A unit ends after its last slice: the next unit starts with a
  // delimiter, parameter set or SEI, or else with a slice whose first
  // macroblock is 0 (the first bit of its header set).
  std::vector<size_t> cuts;
  bool sliceSeen = false;
  for (size_t i = 0; i < annexB.size();) {
    const size_t code = StartCodeAt(annexB, i);
    if (code == 0) {
      ++i;
      continue;
    }
    if (i + code < annexB.size()) {
      const uint8_t type = annexB[i + code] & 0x1F;
      const bool slice = type == 1 || type == 5;
      const bool opener = (type >= 6 && type <= 9) || (type >= 14 && type <= 18);
      const bool firstSlice = slice && i + code + 1 < annexB.size() && (annexB[i + code + 1] & 0x80);
      if (sliceSeen && (opener || firstSlice)) {
        cuts.push_back(i);
        sliceSeen = false;
      }
      sliceSeen = sliceSeen || slice;
    }
    i += code;
  }
  std::vector<Bytes> units;
  size_t from = 0;
  for (size_t cut : cuts) {
    units.emplace_back(annexB.begin() + long(from), annexB.begin() + long(cut));
    from = cut;
  }
  if (from < annexB.size()) units.emplace_back(annexB.begin() + long(from), annexB.end());
  return units;
}

std::vector<Bytes> SplitJpegPictures(const Bytes& stream) {
  std::vector<size_t> starts;
  for (size_t i = 0; i + 2 < stream.size(); ++i)
    if (stream[i] == 0xFF && stream[i + 1] == 0xD8 && stream[i + 2] == 0xFF) starts.push_back(i);
  std::vector<Bytes> pictures;
  for (size_t k = 0; k < starts.size(); ++k) {
    const size_t end = k + 1 < starts.size() ? starts[k + 1] : stream.size();
    pictures.emplace_back(stream.begin() + long(starts[k]), stream.begin() + long(end));
  }
  return pictures;
}

bool RunFfmpeg(const std::vector<std::string>& arguments) {
  std::vector<std::string> all = {"ffmpeg", "-nostdin", "-y", "-loglevel", "error"};
  all.insert(all.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawnp(&pid, "ffmpeg", nullptr, nullptr, argv.data(), environ) != 0) return false;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool MakeTestClip(const std::string& kind, int width, int height, int frames,
                  const std::string& path) {
  std::vector<std::string> args = {
      "-f", "lavfi", "-i",
      "testsrc=size=" + std::to_string(width) + "x" + std::to_string(height) + ":rate=25",
      "-frames:v", std::to_string(frames)};
  if (kind == "h264" || kind == "h264-noaud") {
    args.insert(args.end(), {"-c:v", "libx264", "-pix_fmt", "yuv420p", "-bf", "0", "-x264-params",
                             kind == "h264" ? "aud=1" : "aud=0", "-f", "h264"});
  } else if (kind == "mjpeg") {
    args.insert(args.end(), {"-c:v", "mjpeg", "-pix_fmt", "yuvj420p", "-q:v", "2", "-f", "mjpeg"});
  } else if (kind == "rgb24") {
    args.insert(args.end(), {"-vf", "format=yuv420p", "-f", "rawvideo", "-pix_fmt", "rgb24"});
  } else {
    return false;
  }
  args.push_back(path);
  return RunFfmpeg(args);
}

bool ReadFileBytes(const std::string& path, Bytes* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

std::vector<Bytes> ClipMessages(const std::string& kind, const std::vector<Bytes>& samples,
                                const Rect& rect, uint32_t id, bool flagBytes) {
  std::vector<Bytes> messages;
  if (kind == "h264") {
    for (const Bytes& sample : samples) messages.push_back(H264Frame(sample, rect));
    return messages;
  }
  if (kind != "mjpeg") return messages;
  FormatRecord format = MjpegFormat();
  format.block = Bytes(4, 0);  // the least a creation message carries
  if (!flagBytes) {
    messages.push_back(Reserve(id));
    messages.push_back(CreateFromFormat(id, format, 0));
    messages.push_back(WindowRect(id, rect, 0));
    messages.push_back(State(id, kRun));
    for (const Bytes& sample : samples) messages.push_back(JpegFrame(id, sample));
    return messages;
  }
  constexpr uint8_t kReserve = 13, kState = 4, kRunState = 3;
  messages.push_back(LegacyControl(kReserve, 0, id));
  messages.push_back(LegacyFormat(id, format));
  messages.push_back(WindowRect(id, rect, 0));
  messages.push_back(LegacyControl(kState, kRunState, id));
  SampleInfo info;
  info.streamId = id;
  for (const Bytes& sample : samples) {
    info.actual = int32_t(sample.size());
    messages.push_back(LegacySample(info, sample));
  }
  return messages;
}

std::vector<Bytes> H264StreamMessages(const std::vector<Bytes>& units, const Rect& rect, uint32_t id,
                                      uint32_t colourKey) {
  FormatRecord format = H264Format();
  format.block = Bytes(4, 0);  // the least a creation message carries
  std::vector<Bytes> messages = {Reserve(id), CreateFromFormat(id, format, colourKey),
                                 WindowRect(id, rect, colourKey), State(id, kRun)};
  SampleInfo info;
  info.streamId = id;
  for (const Bytes& unit : units) {
    info.actual = int32_t(unit.size());
    messages.push_back(DirectShowSample(id, info, unit));
  }
  return messages;
}

bool ReadClipSamples(const std::string& kind, const std::string& path, std::vector<Bytes>* samples) {
  Bytes bytes;
  if (!ReadFileBytes(path, &bytes)) return false;
  if (kind == "h264")
    *samples = SplitAccessUnits(bytes);
  else if (kind == "mjpeg")
    *samples = SplitJpegPictures(bytes);
  else
    return false;
  return !samples->empty();
}

}  // namespace stream
}  // namespace testhost
