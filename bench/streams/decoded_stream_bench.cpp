// The drawing stream kinds at 1280 x 720 on a real surface: an H.264 clip
// decoded and drawn through CDH264Stream with the project's decoder
// library, against libavcodec decoding the same access units with the same
// threading in this process; an MJPEG clip through CDJStream against
// TurboJPEG decoding the same pictures. Both clips come from ffmpeg's
// testsrc, made at start-up in a temporary folder.
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

const Clips& TheClips() {
  static const Clips clips = [] {
    Clips c;
    TempFolder folder;
    Bytes bytes;
    if (hs::MakeTestClip("h264", kWidth, kHeight, kFrames, folder.File("c.h264")) &&
        hs::ReadFileBytes(folder.File("c.h264"), &bytes))
      c.h264 = hs::SplitAccessUnits(bytes);
    if (hs::MakeTestClip("mjpeg", kWidth, kHeight, kFrames, folder.File("c.mjpeg")) &&
        hs::ReadFileBytes(folder.File("c.mjpeg"), &bytes))
      c.mjpeg = hs::SplitJpegPictures(bytes);
    return c;
  }();
  return clips;
}

// One pass of libavcodec alone over the H.264 clip, threaded as the
// decoder library is (slice threads).
void LibavcodecPass() {
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
  AVCodecContext* context = avcodec_alloc_context3(codec);
  context->thread_count = 0;
  context->thread_type = FF_THREAD_SLICE;
  avcodec_open2(context, codec, nullptr);
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  for (const Bytes& unit : TheClips().h264) {
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
void TurboJpegPass() {
  static Bytes out(size_t(kWidth) * kHeight * 3);
  tjhandle handle = tjInitDecompress();
  for (const Bytes& jpeg : TheClips().mjpeg)
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

double g_h264Ratio = 0;
double g_mjpegRatio = 0;

// One pass of a clip through a stream drawing into a 1280 x 720 surface.
// Each iteration times a reference pass, then the stream's pass, so that
// the load of the machine weighs on both alike.
template <class Stream>
void RunStream(benchmark::State& state, const std::vector<Bytes>& samples, const GUID& subtype,
               void (*referencePass)(), double* ratio) {
  if (samples.size() != size_t(kFrames)) {
    state.SkipWithError("ffmpeg did not make the clip");
    return;
  }
  SetDebugOutputSink([](const std::string&) {});
  auto port = std::make_shared<SurfacePort>(kWidth, kHeight, 24);
  const RECT rect{0, 0, kWidth, kHeight};
  double seconds = 0, reference = 0;
  for (auto _ : state) {
    reference += Seconds(referencePass);
    Stream stream(port, 0);
    StreamFormatRecord record;
    record.subtype = subtype;
    if (stream.SetFormat(record) != 0) {
      state.SkipWithError("the stream refused its format");
      break;
    }
    stream.DSSetWindowRect(&rect, 0, 0, 0, 0);
    port->dirty.clear();
    seconds += Seconds([&] {
      for (const Bytes& sample : samples)
        stream.ProcessSample(sample.data(), uint32_t(sample.size()), StreamSampleContext());
    });
    if (port->dirty.size() != samples.size()) state.SkipWithError("a frame was not drawn");
  }
  const double passes = double(std::max<int64_t>(1, state.iterations()));
  state.counters["frames_per_s"] = double(kFrames) * passes / seconds;
  state.counters["reference_frames_per_s"] = double(kFrames) * passes / reference;
  *ratio = reference / seconds;
  state.counters["x_reference"] = *ratio;
  SetDebugOutputSink(nullptr);
}

void BM_H264DecodeAndDraw(benchmark::State& state) {
  RunStream<CDH264Stream>(state, TheClips().h264, mediaguid::kSubtypeH264, &LibavcodecPass,
                          &g_h264Ratio);
}

void BM_MjpegDecodeAndDraw(benchmark::State& state) {
  RunStream<CDJStream>(state, TheClips().mjpeg, mediaguid::kSubtypeMjpg, &TurboJpegPass,
                       &g_mjpegRatio);
}

}  // namespace

BENCHMARK(BM_H264DecodeAndDraw)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_MjpegDecodeAndDraw)->Unit(benchmark::kMillisecond)->MinTime(1.0);

int main(int argc, char** argv) {
  return RunBenchmarksThenTargets(argc, argv, [] {
    std::printf("H.264 1280x720 decode and draw / libavcodec decode: %.2f (target >= %.1f, %s)\n",
                g_h264Ratio, kTarget, Verdict(g_h264Ratio >= kTarget));
    std::printf("MJPEG 1280x720 decode and draw / TurboJPEG decode: %.2f (target >= %.1f, %s)\n",
                g_mjpegRatio, kTarget, Verdict(g_mjpegRatio >= kTarget));
  });
}
