// H.264 1280 x 720 through the player stream's decoder (the platform's
// decoder transform, NV12 copied into recycled samples) and the colour
// converter transform, as a ratio to libavcodec + libswscale doing the same
// work; each iteration times the reference, then the pipeline, so that the
// load of the machine weighs on both alike. Two clips: a light one
// (ffmpeg's testsrc) and a realistic one (testsrc2, x264 at crf 16).
// Target: at least 0.8 on each.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libswscale/swscale.h>
}

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "BenchTargets.h"
#include "mf/x264_clip.h"
#include "pelplat/debugout.h"
#include "pelplat/mfidl.h"
#include "pelplat/objbase.h"
#include "pelplat/wmcodecdsp.h"
#include "streams/VlcDecoder.h"
#include "streams/VrSample.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
constexpr int kWidth = 1280, kHeight = 720, kFrames = 30;
constexpr double kTarget = 0.8;

const X264Clip* LightClip() {
  static X264Clip clip;
  static const bool made = clip.Make(kWidth, kHeight, kFrames);
  return made ? &clip : nullptr;
}

const X264Clip* RealisticClip() {
  static X264Clip clip;
  static const bool made = clip.Make(kWidth, kHeight, kFrames, "testsrc2", "-crf 16");
  return made ? &clip : nullptr;
}

struct Row {
  const char* what;
  double ratio = 0;
};
Row g_rows[] = {{"player pipeline vs libavcodec + libswscale, light clip"},
                {"player pipeline vs libavcodec + libswscale, realistic clip"}};

// Converts every decoded NV12 frame with the colour converter transform.
class ConvertingListener : public IDecoderDataListener {
 public:
  ConvertingListener() {
    CoCreateInstance(CLSID_CColorConvertDMO, nullptr, CLSCTX_INPROC_SERVER, IID_IMFTransform, (void**)&converter_);
    for (int output = 0; output < 2; ++output) {
      IMFMediaType* type = nullptr;
      MFCreateMediaType(&type);
      type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
      type->SetGUID(MF_MT_SUBTYPE, output ? MFVideoFormat_RGB32 : MFVideoFormat_NV12);
      MFSetAttributeSize(type, MF_MT_FRAME_SIZE, kWidth, kHeight);
      output ? converter_->SetOutputType(0, type, 0) : converter_->SetInputType(0, type, 0);
      type->Release();
    }
    IMFMediaBuffer* buffer = nullptr;
    MFCreateMemoryBuffer(kWidth * kHeight * 4, &buffer);
    MFCreateSample(&out_);
    out_->AddBuffer(buffer);
    buffer->Release();
  }
  ~ConvertingListener() override {
    out_->Release();
    converter_->Release();
  }
  int AddRef() override { return 1; }
  int Release() override { return 1; }
  void SetVideoOutputFormat(REFGUID, int, int) override {}
  void SetAudioOutputFormat(const BYTE*, uint32_t) override {}
  void OnDecodedSample(CVrSample* sample) override {
    BYTE* data = nullptr;
    int length = 0;
    sample->Lock(&data, nullptr, &length);
    IMFMediaBuffer* buffer = nullptr;
    MFCreateMemoryBuffer(static_cast<DWORD>(length), &buffer);
    BYTE* to = nullptr;
    buffer->Lock(&to, nullptr, nullptr);
    std::memcpy(to, data, static_cast<size_t>(length));
    buffer->SetCurrentLength(static_cast<DWORD>(length));
    sample->Unlock();
    IMFSample* in = nullptr;
    MFCreateSample(&in);
    in->AddBuffer(buffer);
    buffer->Release();
    converter_->ProcessInput(0, in, 0);
    in->Release();
    MFT_OUTPUT_DATA_BUFFER output{0, out_, 0, nullptr};
    DWORD status = 0;
    if (converter_->ProcessOutput(0, 1, &output, &status) == S_OK) ++converted;
  }
  int converted = 0;

 private:
  IMFTransform* converter_ = nullptr;
  IMFSample* out_ = nullptr;
};

Bytes DataRecord(const Bytes& payload) {
  Bytes r(76, 0);
  const uint32_t one = 1, n = static_cast<uint32_t>(payload.size());
  std::memcpy(&r[12], &one, 4);
  std::memcpy(&r[72], &n, 4);
  r.insert(r.end(), payload.begin(), payload.end());
  return r;
}

// libavcodec on one thread and libswscale to 32-bit pixels over the clip.
int ReferencePass(const X264Clip& clip, std::vector<uint8_t>* rgb) {
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
  AVCodecContext* context = avcodec_alloc_context3(codec);
  context->thread_count = 1;
  avcodec_open2(context, codec, nullptr);
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  SwsContext* sws = nullptr;
  int frames = 0;
  for (const Bytes& unit : clip.accessUnits) {
    av_new_packet(packet, static_cast<int>(unit.size()));
    std::memcpy(packet->data, unit.data(), unit.size());
    avcodec_send_packet(context, packet);
    av_packet_unref(packet);
    while (avcodec_receive_frame(context, frame) == 0) {
      sws = sws_getCachedContext(sws, kWidth, kHeight, static_cast<AVPixelFormat>(frame->format), kWidth, kHeight,
                                 AV_PIX_FMT_BGRA, SWS_BILINEAR, nullptr, nullptr, nullptr);
      uint8_t* planes[4] = {rgb->data()};
      int strides[4] = {kWidth * 4};
      sws_scale(sws, frame->data, frame->linesize, 0, kHeight, planes, strides);
      ++frames;
    }
  }
  sws_freeContext(sws);
  av_frame_free(&frame);
  av_packet_free(&packet);
  avcodec_free_context(&context);
  return frames;
}

// The player stream's decoder with the converter behind it over the clip.
int PipelinePass(const std::vector<Bytes>& records, const Bytes& format) {
  ConvertingListener listener;
  CVlcDecoder* decoder = new CVlcDecoder();
  decoder->SetListener(&listener);
  decoder->SetFormat(format.data(), static_cast<uint32_t>(format.size()));
  for (const Bytes& record : records) decoder->ProcessInput(record.data(), static_cast<uint32_t>(record.size()));
  decoder->Shutdown();
  decoder->Release();
  return listener.converted;
}

template <class Pass>
double Seconds(Pass pass) {
  const auto start = Clock::now();
  pass();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void BM_PlayerPipeline(benchmark::State& state, const X264Clip* (*clipOf)(), Row* row) {
  const X264Clip* clip = clipOf();
  if (!clip || clip->accessUnits.size() != size_t(kFrames)) {
    state.SkipWithError("ffmpeg with libx264 did not make the clip");
    return;
  }
  std::vector<Bytes> records;
  for (const Bytes& unit : clip->accessUnits) records.push_back(DataRecord(unit));
  Bytes format(64, 0);
  const uint32_t one = 1;
  std::memcpy(&format[12], &one, 4);
  std::memcpy(&format[16], "H264", 4);
  const int32_t w = kWidth, h = kHeight;
  std::memcpy(&format[20], &w, 4);
  std::memcpy(&format[24], &h, 4);
  std::vector<uint8_t> rgb(kWidth * kHeight * 4);
  // Per frame: the pipeline hands on one picture fewer than it decoded
  // (the last stays in the decoder when the stream shuts down).
  double reference = 0, pipeline = 0, referenceFrames = 0, pipelineFrames = 0;
  for (auto _ : state) {
    int frames = 0;
    reference += Seconds([&] { frames = ReferencePass(*clip, &rgb); });
    referenceFrames += frames;
    pipeline += Seconds([&] { frames = PipelinePass(records, format); });
    pipelineFrames += frames;
  }
  if (pipelineFrames == 0 || referenceFrames == 0) {
    state.SkipWithError("nothing was converted");
    return;
  }
  state.counters["frames_per_s"] = pipelineFrames / pipeline;
  state.counters["reference_frames_per_s"] = referenceFrames / reference;
  row->ratio = (pipelineFrames / pipeline) / (referenceFrames / reference);
  state.counters["x_reference"] = row->ratio;
}

}  // namespace

BENCHMARK_CAPTURE(BM_PlayerPipeline, light, &LightClip, &g_rows[0])
    ->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK_CAPTURE(BM_PlayerPipeline, realistic, &RealisticClip, &g_rows[1])
    ->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();

int main(int argc, char** argv) {
  SetDebugOutputSink([](const std::string&) {});
  MFStartup(MF_VERSION);
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  const int result = RunBenchmarksThenTargets(argc, argv, [] {
    // A row whose clip could not be made (no ffmpeg or no libx264) shows 0.
    for (const Row& row : g_rows)
      std::printf("%s: %.2f (target >= %.1f, %s)\n", row.what, row.ratio, kTarget,
                  Verdict(row.ratio >= kTarget));
  });
  CoUninitialize();
  MFShutdown();
  return result;
}
