// H.264 1280 x 720 through the player stream's decoder (the platform's
// decoder transform, NV12 copied into recycled samples) and the colour
// converter transform, as a ratio to libavcodec + libswscale doing the same
// work in the same run. Target: at least 0.8.
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
constexpr int kWidth = 1280, kHeight = 720, kFrames = 30;
// Seconds over all iterations (both run the same number of times).
double g_reference = 0, g_pipeline = 0;

const X264Clip& Clip() {
  static X264Clip clip;
  static const bool made = clip.Make(kWidth, kHeight, kFrames);
  (void)made;
  return clip;
}

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

void BM_LibavReference(benchmark::State& state) {
  const X264Clip& clip = Clip();
  std::vector<uint8_t> rgb(kWidth * kHeight * 4);
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
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
        uint8_t* planes[4] = {rgb.data()};
        int strides[4] = {kWidth * 4};
        sws_scale(sws, frame->data, frame->linesize, 0, kHeight, planes, strides);
        ++frames;
      }
    }
    benchmark::DoNotOptimize(frames);
    sws_freeContext(sws);
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&context);
    g_reference += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  state.counters["frames_per_s"] = benchmark::Counter(double(state.iterations()) * kFrames, benchmark::Counter::kIsRate);
}

void BM_PlayerPipeline(benchmark::State& state) {
  const X264Clip& clip = Clip();
  std::vector<Bytes> records;
  for (const Bytes& unit : clip.accessUnits) records.push_back(DataRecord(unit));
  Bytes format(64, 0);
  const uint32_t one = 1;
  std::memcpy(&format[12], &one, 4);
  std::memcpy(&format[16], "H264", 4);
  const int32_t w = kWidth, h = kHeight;
  std::memcpy(&format[20], &w, 4);
  std::memcpy(&format[24], &h, 4);
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    ConvertingListener listener;
    CVlcDecoder* decoder = new CVlcDecoder();
    decoder->SetListener(&listener);
    decoder->SetFormat(format.data(), static_cast<uint32_t>(format.size()));
    for (const Bytes& record : records) decoder->ProcessInput(record.data(), static_cast<uint32_t>(record.size()));
    decoder->Shutdown();
    decoder->Release();
    benchmark::DoNotOptimize(listener.converted);
    g_pipeline += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  state.counters["frames_per_s"] = benchmark::Counter(double(state.iterations()) * kFrames, benchmark::Counter::kIsRate);
}

BENCHMARK(BM_LibavReference)->Iterations(10)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PlayerPipeline)->Iterations(10)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  SetDebugOutputSink([](const std::string&) {});
  MFStartup(MF_VERSION);
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  const int result = RunBenchmarksThenTargets(argc, argv, [] {
    const double ratio = g_pipeline > 0 ? g_reference / g_pipeline : 0;
    std::printf("player pipeline vs libavcodec + libswscale: %.2f (target >= 0.8, %s)\n", ratio,
                Verdict(ratio >= 0.8));
  });
  CoUninitialize();
  MFShutdown();
  return result;
}
