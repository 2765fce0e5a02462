// The drawing stream kinds at 1280 x 720 on a real surface: an H.264 clip
// decoded and drawn through CDH264Stream with the project's decoder
// library, against libavcodec decoding the same access units with the same
// threading in this process; an MJPEG clip through CDJStream against
// TurboJPEG decoding the same pictures. Each kind plays two clips made at
// start-up in a temporary folder: a light one (ffmpeg's testsrc, few bits
// a frame) and a realistic one (testsrc2, x264 at crf 16, some 4-5 Mbit/s;
// its MJPEG twin from the same source).
#include <benchmark/benchmark.h>
#include <turbojpeg.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "BenchTargets.h"
#include "decoded_test_support.h"
#include "pelplat/debugout.h"
#include "streams/DH264Stream.h"
#include "streams/DJStream.h"
#include "streams/MediaTypeGuids.h"
#include "testhost/VideoClips.h"

namespace {

namespace hs = testhost::stream;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr int kFrames = 30;
constexpr double kTarget = 0.8;

struct Clips {
  std::vector<Bytes> h264;
  std::vector<Bytes> mjpeg;
};

// The realistic clip: testsrc2's moving picture, as x264 at crf 16 or as
// MJPEG at the light clip's quality.
bool MakeRealisticClip(const std::string& kind, const std::string& path) {
  std::vector<std::string> args = {
      "-f", "lavfi", "-i",
      "testsrc2=size=" + std::to_string(kWidth) + "x" + std::to_string(kHeight) + ":rate=25",
      "-frames:v", std::to_string(kFrames)};
  if (kind == "h264")
    args.insert(args.end(), {"-c:v", "libx264", "-crf", "16", "-pix_fmt", "yuv420p", "-bf", "0",
                             "-x264-params", "aud=1", "-f", "h264"});
  else
    args.insert(args.end(), {"-c:v", "mjpeg", "-pix_fmt", "yuvj420p", "-q:v", "2", "-f", "mjpeg"});
  args.push_back(path);
  return hs::RunFfmpeg(args);
}

Clips MakeClips(bool realistic) {
  Clips c;
  TempFolder folder;
  Bytes bytes;
  auto make = [&](const std::string& kind, const std::string& path) {
    return realistic ? MakeRealisticClip(kind, path)
                     : hs::MakeTestClip(kind, kWidth, kHeight, kFrames, path);
  };
  if (make("h264", folder.File("c.h264")) && hs::ReadFileBytes(folder.File("c.h264"), &bytes))
    c.h264 = hs::SplitAccessUnits(bytes);
  if (make("mjpeg", folder.File("c.mjpeg")) && hs::ReadFileBytes(folder.File("c.mjpeg"), &bytes))
    c.mjpeg = hs::SplitJpegPictures(bytes);
  return c;
}

const Clips& LightClips() {
  static const Clips clips = MakeClips(false);
  return clips;
}

const Clips& RealisticClips() {
  static const Clips clips = MakeClips(true);
  return clips;
}

// One pass of libavcodec alone over the H.264 clip, threaded as the
// decoder library is (slice threads).
void LibavcodecPass(const std::vector<Bytes>& units) {
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
  AVCodecContext* context = avcodec_alloc_context3(codec);
  context->thread_count = 0;
  context->thread_type = FF_THREAD_SLICE;
  avcodec_open2(context, codec, nullptr);
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  for (const Bytes& unit : units) {
    Bytes padded(unit);
    padded.resize(unit.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    packet->data = padded.data();
    packet->size = int(unit.size());
    avcodec_send_packet(context, packet);
    while (avcodec_receive_frame(context, frame) == 0) benchmark::DoNotOptimize(frame->data[0]);
  }
  av_frame_free(&frame);
  av_packet_free(&packet);
  avcodec_free_context(&context);
}

// One pass of TurboJPEG over the MJPEG clip, to RGB rows last first.
void TurboJpegPass(const std::vector<Bytes>& pictures) {
  static Bytes out(size_t(kWidth) * kHeight * 3);
  tjhandle handle = tjInitDecompress();
  for (const Bytes& jpeg : pictures)
    tjDecompress2(handle, jpeg.data(), jpeg.size(), out.data(), kWidth, 0, kHeight, TJPF_RGB,
                  TJFLAG_BOTTOMUP);
  benchmark::DoNotOptimize(out.data());
  tjDestroy(handle);
}

template <class Pass>
double Seconds(Pass pass) {
  const auto start = Clock::now();
  pass();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Row {
  const char* what;
  double ratio = 0;
};
Row g_rows[] = {{"H.264 1280x720 light clip, decode and draw / libavcodec decode"},
                {"H.264 1280x720 realistic clip, decode and draw / libavcodec decode"},
                {"MJPEG 1280x720 light clip, decode and draw / TurboJPEG decode"},
                {"MJPEG 1280x720 realistic clip, decode and draw / TurboJPEG decode"}};

// One pass of a clip through a stream drawing into a 1280 x 720 surface.
// Each iteration times a reference pass, then the stream's pass, so that
// the load of the machine weighs on both alike.
template <class Stream>
void RunStream(benchmark::State& state, const std::vector<Bytes>& samples, const GUID& subtype,
               void (*referencePass)(const std::vector<Bytes>&), double* ratio) {
  if (samples.size() != size_t(kFrames)) {
    state.SkipWithError("ffmpeg did not make the clip");
    return;
  }
  SetDebugOutputSink([](const std::string&) {});
  auto port = std::make_shared<SurfacePort>(kWidth, kHeight, 24);
  const RECT rect{0, 0, kWidth, kHeight};
  double seconds = 0, reference = 0;
  for (auto _ : state) {
    reference += Seconds([&] { referencePass(samples); });
    // The desktop under the video holds the key, as a server paints it;
    // without this the pass before would have left its pictures there.
    port->keeper.Create(kWidth, kHeight, 24, 0);
    Stream stream(port, 0);
    StreamFormatRecord record;
    record.subtype = subtype;
    if (stream.SetFormat(record) != 0) {
      state.SkipWithError("the stream refused its format");
      break;
    }
    stream.DSSetWindowRect(&rect, 0, 0, 0, 0);
    port->ClearRepaints();
    seconds += Seconds([&] {
      for (const Bytes& sample : samples)
        stream.ProcessSample(sample.data(), uint32_t(sample.size()), StreamSampleContext());
    });
    if (port->Repaints().size() != samples.size()) state.SkipWithError("a frame was not drawn");
  }
  const double passes = double(std::max<int64_t>(1, state.iterations()));
  state.counters["frames_per_s"] = double(kFrames) * passes / seconds;
  state.counters["reference_frames_per_s"] = double(kFrames) * passes / reference;
  *ratio = reference / seconds;
  state.counters["x_reference"] = *ratio;
  SetDebugOutputSink(nullptr);
}

void BM_H264DecodeAndDraw(benchmark::State& state, bool realistic) {
  const Clips& clips = realistic ? RealisticClips() : LightClips();
  RunStream<CDH264Stream>(state, clips.h264, mediaguid::kSubtypeH264, &LibavcodecPass,
                          &g_rows[realistic ? 1 : 0].ratio);
}

void BM_MjpegDecodeAndDraw(benchmark::State& state, bool realistic) {
  const Clips& clips = realistic ? RealisticClips() : LightClips();
  RunStream<CDJStream>(state, clips.mjpeg, mediaguid::kSubtypeMjpg, &TurboJpegPass,
                       &g_rows[realistic ? 3 : 2].ratio);
}

}  // namespace

BENCHMARK_CAPTURE(BM_H264DecodeAndDraw, light, false)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK_CAPTURE(BM_H264DecodeAndDraw, realistic, true)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK_CAPTURE(BM_MjpegDecodeAndDraw, light, false)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK_CAPTURE(BM_MjpegDecodeAndDraw, realistic, true)->Unit(benchmark::kMillisecond)->MinTime(1.0);

int main(int argc, char** argv) {
  return RunBenchmarksThenTargets(argc, argv, [] {
    // A row whose clip could not be made (no ffmpeg or no libx264) shows 0.
    for (const Row& row : g_rows)
      std::printf("%s: %.2f (target >= %.1f, %s)\n", row.what, row.ratio, kTarget,
                  Verdict(row.ratio >= kTarget));
  });
}
