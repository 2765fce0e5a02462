#include "streams/VlcStream.h"

#include <chrono>
#include <cstdlib>
#include <new>

#include "pelplat/mmsystem.h"
#include "session/HelloProbes.h"
#include "streams/MFPipelineHelpers.h"
#include "streams/SampleRenderer.h"
#include "streams/VrSample.h"
#include "sys/ByteReader.h"
#include "sys/klog.h"

namespace {

constexpr int kInputPassMs = 5;
// A data record: header, media type, key, rectangle, flags, times, the
// payload length and the payload from byte 76.
constexpr uint32_t kDataHeader = 76;
constexpr uint32_t kViewRecord = 32;

uint32_t ColourKeyFromColorref(uint32_t colorref) {
  return ((colorref & 0xFF) << 16) | (colorref & 0xFF00) | ((colorref >> 16) & 0xFF);
}

// Media type, colour key and rectangle from byte 12 of a data record (or
// key and rectangle of a view record); false when the record is too short.
bool ReadKeyAndRect(ByteReader& in, uint32_t* key, RECT* rect) {
  *key = ColourKeyFromColorref(in.U32());
  rect->left = in.I32();
  rect->top = in.I32();
  rect->right = in.I32();
  rect->bottom = in.I32();
  return in.Ok();
}

}  // namespace

CVlcStream::CVlcStream(std::shared_ptr<ISlotSessionPort> port, int displayIndex)
    : port_(std::move(port)), displayIndex_(displayIndex) {
  renderer_ = new (std::nothrow) CVrSampleRenderer(port_, displayIndex);
}

CVlcStream::CVlcStream() : displayIndex_(0) {}

CVlcStream::~CVlcStream() {
  {
    std::lock_guard<std::mutex> hold(videoInputLock_);
    videoInputOpen_ = false;
    videoThreadEnding_ = true;
  }
  if (videoInputThread_.joinable()) videoInputThread_.join();
  CVlcDecoder* decoder;
  CColorConverter* converter;
  CVrSampleRenderer* renderer;
  {
    std::lock_guard<std::mutex> hold(videoInputLock_);
    videoRecords_.clear();
  }
  {
    std::lock_guard<std::mutex> hold(mainLock_);
    decoder = videoDecoder_;
    converter = converter_;
    renderer = renderer_;
    videoDecoder_ = nullptr;
    converter_ = nullptr;
    renderer_ = nullptr;
  }
  // Torn down outside the main lock: the converter's thread may be waiting
  // for it to hand over a frame.
  if (decoder) {
    decoder->SetListener(nullptr);
    decoder->Shutdown();
    decoder->Release();
  }
  StopConverter(converter);
  if (renderer) {
    renderer->Stop();
    renderer->Release();
  }
  port_.reset();
  LogMessageA("CVlcStream cRef == %d  Created[%d] Delated[%d]\n", refs_.load(), g_vrSamplesCreated.load(),
              g_vrSamplesDestroyed.load());
  g_vrSamplesCreated = 0;
  g_vrSamplesDestroyed = 0;
}

void CVlcStream::StopConverter(CColorConverter* converter) {
  if (!converter) return;
  converter->SetListener(nullptr);
  converter->StopThread();
  converter->Release();
}

int CVlcStream::AddRef() { return ++refs_; }

int CVlcStream::Release() {
  const int left = --refs_;
  if (left == 0) delete this;
  return left;
}

int CVlcStream::SetFormat(const StreamFormatRecord&) { return E_NOTIMPL; }
int CVlcStream::NewSegment(const SegmentRecord&) { return E_NOTIMPL; }
int CVlcStream::DSSetWindowRect(const RECT*, UINT_PTR, int, int, uint32_t) { return E_NOTIMPL; }

int CVlcStream::SetState(int state) {
  if (state == 0) Stop();
  if (state == 3) Start();
  return 0;
}

int CVlcStream::CreateDecoder(const uint8_t* message, uint32_t length) {
  CVlcDecoder* decoder = new (std::nothrow) CVlcDecoder();
  if (!decoder) return E_OUTOFMEMORY;
  AddRef();
  decoder->SetListener(static_cast<IDecoderDataListener*>(this));
  const HRESULT hr = decoder->SetFormat(message, length);
  if (hr != 0) {
    decoder->SetListener(nullptr);
    decoder->Release();
    return hr;
  }
  CVlcDecoder* previous;
  {
    std::lock_guard<std::mutex> hold(mainLock_);
    previous = videoDecoder_;
    videoDecoder_ = decoder;
  }
  if (previous) {
    previous->SetListener(nullptr);
    previous->Release();
  }
  // The input opens here, before the thread runs, so records that follow
  // at once are queued; one thread serves every later format too.
  std::lock_guard<std::mutex> hold(videoInputLock_);
  if (videoThreadEnding_) return 0;
  videoInputOpen_ = true;
  if (!videoThreadStarted_) {
    videoThreadStarted_ = true;
    videoInputThread_ = std::thread(&CVlcStream::VideoInputDataThread, this);
  }
  return 0;
}

int CVlcStream::ProcessSample(const uint8_t* data, uint32_t length, const StreamSampleContext&) {
  ByteReader in(data, length);
  in.Skip(12);
  const uint32_t mediaType = in.U32();
  uint32_t key = 0;
  RECT rect{};
  const bool keyed = ReadKeyAndRect(in, &key, &rect);
  const uint8_t flags = in.U8();
  if (mediaType == 1 && keyed && in.Ok()) {
    {
      std::lock_guard<std::mutex> hold(mainLock_);
      targetRect_ = rect;
      colourKey_ = key;
    }
    if (flags & 1) Flush();
  }
  // The payload must lie inside the record the decoder will read.
  ByteReader whole(data, length);
  whole.Skip(72);
  const uint32_t payload = whole.U32();
  whole.Skip(payload);
  if (!whole.Ok() || length < kDataHeader) {
    LogMessageA("CVlcStream::ProcessSample: record of %u bytes refused\n", length);
    return E_INVALIDARG;
  }
  std::vector<uint8_t> copy;
  try {
    copy.assign(data, data + length);
  } catch (const std::bad_alloc&) {
    return 0x1000;
  }
  if (mediaType != 1) return kRefused;
  std::lock_guard<std::mutex> hold(videoInputLock_);
  if (!videoInputOpen_) return kRefused;
  videoRecords_.push_back(std::move(copy));
  return 0;
}

void CVlcStream::VideoInputDataThread() {
  mfpipe::ScopedMta apartment;
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kInputPassMs));
    std::vector<uint8_t> record;
    bool taken = false;
    {
      std::lock_guard<std::mutex> hold(videoInputLock_);
      if (!videoInputOpen_) return;
      if (!videoRecords_.empty()) {
        record = std::move(videoRecords_.front());
        videoRecords_.pop_front();
        taken = true;
      }
    }
    if (!taken) continue;
    CVlcDecoder* decoder = nullptr;
    {
      std::lock_guard<std::mutex> hold(mainLock_);
      if (videoDecoder_) {
        decoder = videoDecoder_;
        decoder->AddRef();
      }
    }
    if (decoder) {
      decoder->ProcessInput(record.data(), static_cast<uint32_t>(record.size()));
      decoder->Release();
    }
  }
}

void CVlcStream::SetVideoOutputFormat(REFGUID subtype, int width, int height) {
  if (subtype == MFVideoFormat_NV12) {
    CColorConverter* converter = new (std::nothrow) CColorConverter();
    if (!converter) return;
    if (converter->Initialize(MFVideoFormat_NV12, MFVideoFormat_RGB32, width, height) != 0) {
      converter->Release();
      return;
    }
    AddRef();
    converter->SetListener(static_cast<IConverterListener*>(this));
    CColorConverter* previous;
    {
      std::lock_guard<std::mutex> hold(mainLock_);
      previous = converter_;
      converter_ = converter;
      if (renderer_) renderer_->SetVideoFormat(width, height, 32);
    }
    StopConverter(previous);
  } else if (subtype == MFVideoFormat_RGB32) {
    std::lock_guard<std::mutex> hold(mainLock_);
    if (renderer_) renderer_->SetVideoFormat(width, height, 32);
  }
}

void CVlcStream::OnDecodedSample(CVrSample* sample) {
  if (!sample) return;
  if (sample->GetType() == CVrSample::kVideo) {
    std::unique_lock<std::mutex> hold(mainLock_);
    if (converter_) {
      converter_->AddSample(static_cast<CVrVideoSample*>(sample));
      return;
    }
  }
  OnConvertedSample(sample);
}

void CVlcStream::OnConvertedSample(CVrSample* sample) {
  if (!sample) return;
  const int type = sample->GetType();
  std::lock_guard<std::mutex> hold(mainLock_);
  if (!renderer_) return;
  if (type == CVrSample::kVideo) {
    renderer_->SetColourKey(colourKey_);
    renderer_->SetTargetRect(targetRect_);
  }
  renderer_->AddSample(sample);
}

int CVlcStream::OnUpdateView(const uint8_t* message, uint32_t length) {
  if (!message || static_cast<int32_t>(length) <= 0) return E_INVALIDARG;
  ByteReader in(message, length);
  in.Skip(12);
  uint32_t key = 0;
  RECT rect{};
  if (!ReadKeyAndRect(in, &key, &rect) || length < 12 + kViewRecord) return E_INVALIDARG;
  std::lock_guard<std::mutex> hold(mainLock_);
  if (renderer_) {
    renderer_->SetColourKey(key);
    renderer_->SetTargetRect(rect);
    renderer_->Repaint();
  }
  return 0;
}

void CVlcStream::Start() {
  std::lock_guard<std::mutex> hold(mainLock_);
  if (videoDecoder_) videoDecoder_->Start();
  if (converter_) converter_->OnStart();
}

void CVlcStream::Stop() {
  {
    std::lock_guard<std::mutex> hold(videoInputLock_);
    videoInputOpen_ = false;
    videoThreadEnding_ = true;
  }
  std::lock_guard<std::mutex> hold(mainLock_);
  if (renderer_) renderer_->Stop();
  if (converter_) converter_->OnStop();
  if (videoDecoder_) videoDecoder_->Stop();
}

void CVlcStream::Flush() {
  {
    std::lock_guard<std::mutex> hold(videoInputLock_);
    videoRecords_.clear();
  }
  std::lock_guard<std::mutex> hold(mainLock_);
  if (converter_) converter_->EraseInputDataQueue();
  if (renderer_) renderer_->Flush();
}

uint32_t CVlcStream::ProbeVideoCodecs() {
  CVlcDecoder* decoder = new (std::nothrow) CVlcDecoder();
  if (!decoder) return 0;
  const uint32_t mask = decoder->EnumerateVideoCodecs();
  decoder->Release();
  return mask;
}

uint32_t CVlcStream::ProbeAudioCodecs() {
  uint32_t mask = 0;
  if (waveOutGetNumDevs() >= 1) {
    CVlcDecoder* decoder = new (std::nothrow) CVlcDecoder();
    if (decoder) {
      mask = decoder->EnumerateAudioCodecs();
      decoder->Release();
    }
  }
  LogMessageA("****** Audio Codecs [0x%x]\n", mask);
  return mask;
}

CVlcDecoder* CVlcStream::Decoder() {
  std::lock_guard<std::mutex> hold(mainLock_);
  return videoDecoder_;
}

CColorConverter* CVlcStream::Converter() {
  std::lock_guard<std::mutex> hold(mainLock_);
  return converter_;
}

bool CVlcStream::VideoInputOpen() {
  std::lock_guard<std::mutex> hold(videoInputLock_);
  return videoInputOpen_;
}

size_t CVlcStream::QueuedRecords() {
  std::lock_guard<std::mutex> hold(videoInputLock_);
  return videoRecords_.size();
}

uint32_t CVlcStream::ColourKey() {
  std::lock_guard<std::mutex> hold(mainLock_);
  return colourKey_;
}

RECT CVlcStream::TargetRect() {
  std::lock_guard<std::mutex> hold(mainLock_);
  return targetRect_;
}

uint32_t ProbeVlcStreamCodecs() {
  CVlcStream probe;
  return probe.ProbeVideoCodecs() | probe.ProbeAudioCodecs();
}

void RegisterMediaFoundationStreams() {
  // Once per process; the platform's transforms leave the class registry
  // again at exit.
  static const bool started = SUCCEEDED(MFStartup(MF_VERSION, MFSTARTUP_FULL)) && std::atexit([] { MFShutdown(); }) == 0;
  (void)started;
  RegisterStreamKindMaker(StreamKind::kPlayer, [](const StreamKindArgs& args) -> std::unique_ptr<CStream> {
    return std::unique_ptr<CStream>(new (std::nothrow) CVlcStream(args.port, args.displayIndex));
  });
  SetHelloProbe(&HelloProbes::probeMediaFoundationCodecs, &ProbeVlcStreamCodecs);
}
