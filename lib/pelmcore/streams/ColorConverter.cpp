#include "streams/ColorConverter.h"

#include <chrono>
#include <cstring>
#include <new>
#include <utility>

#include "pelplat/objbase.h"
#include "pelplat/wmcodecdsp.h"
#include "streams/MFPipelineHelpers.h"
#include "streams/VrSample.h"
#include "sys/klog.h"

namespace {

constexpr uint32_t kRgba = PELPLAT_FCC('R', 'G', 'B', 'A');
constexpr int kPassMs = 5;

int Clamp255(int v) { return v < 0 ? 0 : (v > 255 ? 255 : v); }

}  // namespace

CColorConverter::CColorConverter() { recycle_.Reset(new (std::nothrow) CVrRecycleManager()); }

CColorConverter::~CColorConverter() {
  SetListener(nullptr);
  StopThread();
  ReleaseTransform();
  EraseInputDataQueue();
  width_ = height_ = inputBits_ = outputBits_ = 0;
  recycle_.Reset(nullptr);
}

int CColorConverter::SetListener(IConverterListener* listener) {
  listener_.Reset(listener);
  return 0;
}

void CColorConverter::ReleaseTransform() {
  // Released on the way out with no lock held, the sample first.
  pelplat::Ref<IMFTransform> transform;
  pelplat::Ref<IMFSample> sample;
  {
    std::lock_guard<std::mutex> hold(stateLock_);
    transform = pelplat::Ref<IMFTransform>(std::exchange(transform_, nullptr));
    sample = pelplat::Ref<IMFSample>(std::exchange(outputSample_, nullptr));
  }
}

int CColorConverter::StopThread() {
  {
    std::lock_guard<std::mutex> hold(stateLock_);
    processor_ = Processor::kEmpty;
    running_ = false;
  }
  // Joined without any converter lock held: the thread takes them.
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
  return 0;
}

void CColorConverter::StartThread() {
  std::lock_guard<std::mutex> hold(stateLock_);
  // Running from the start, so samples handed over at once are kept.
  running_ = true;
  thread_ = std::thread(&CColorConverter::InputDataProcessorThread, this);
}

IMFTransform* CColorConverter::CreateTransform(REFGUID inputSubtype, REFGUID outputSubtype) {
  mfpipe::ScopedMta apartment;
  IMFTransform* transform = nullptr;
  if (FAILED(CoCreateInstance(CLSID_CColorConvertDMO, nullptr, CLSCTX_INPROC_SERVER, IID_IMFTransform,
                              reinterpret_cast<void**>(&transform))) ||
      !transform)
    return nullptr;
  if (FAILED(mfpipe::QueryStreamIds(transform, &inputStreamId_, &outputStreamId_))) {
    transform->Release();
    return nullptr;
  }
  IMFMediaType* input = nullptr;
  IMFMediaType* output = nullptr;
  mfpipe::FindAvailableType(transform, false, inputStreamId_, inputSubtype, &input);
  mfpipe::FindAvailableType(transform, true, outputStreamId_, outputSubtype, &output);
  const bool both = input && output;
  if (input) input->Release();
  if (output) output->Release();
  if (!both) {
    transform->Release();
    return nullptr;
  }
  return transform;
}

HRESULT CColorConverter::Initialize(REFGUID inputSubtype, REFGUID outputSubtype, int width, int height) {
  StopThread();
  ReleaseTransform();
  EraseInputDataQueue();
  if (inputSubtype != MFVideoFormat_NV12) return 0x1005;
  if (width <= 0 || height <= 0) return E_INVALIDARG;
  IMFTransform* transform = CreateTransform(inputSubtype, outputSubtype);
  if (transform) {
    IMFMediaType* type = nullptr;
    HRESULT hr = mfpipe::FindAvailableType(transform, false, inputStreamId_, inputSubtype, &type);
    if (SUCCEEDED(hr)) hr = MFSetAttributeSize(type, MF_MT_FRAME_SIZE, width, height);
    if (SUCCEEDED(hr)) hr = transform->SetInputType(inputStreamId_, type, 0);
    if (type) type->Release();
    type = nullptr;
    if (SUCCEEDED(hr)) hr = mfpipe::FindAvailableType(transform, true, outputStreamId_, outputSubtype, &type);
    if (SUCCEEDED(hr)) hr = MFSetAttributeSize(type, MF_MT_FRAME_SIZE, width, height);
    if (SUCCEEDED(hr)) hr = transform->SetOutputType(outputStreamId_, type, 0);
    if (type) type->Release();
    IMFSample* sample = nullptr;
    if (SUCCEEDED(hr)) hr = mfpipe::CreateOutputSample(transform, outputStreamId_, &sample);
    if (FAILED(hr)) {
      if (sample) sample->Release();
      transform->Release();
      return hr;
    }
    {
      std::lock_guard<std::mutex> hold(stateLock_);
      outputSample_ = sample;
      transform_ = transform;
      processor_ = Processor::kNativeDSP;
      width_ = width;
      height_ = height;
      inputBits_ = 12;
      outputBits_ = 32;
      outputFourCC_ = kRgba;
    }
    StartThread();
    return 0;
  }
  {
    std::lock_guard<std::mutex> hold(stateLock_);
    processor_ = Processor::kSoftware;
    width_ = width;
    height_ = height;
    inputBits_ = 12;
    outputBits_ = 32;
    outputFourCC_ = kRgba;
  }
  StartThread();
  return 0;
}

int CColorConverter::AddSample(CVrVideoSample* sample) {
  if (!sample) return E_INVALIDARG;
  {
    std::lock_guard<std::mutex> hold(stateLock_);
    if (!running_) return 0x1005;
  }
  sample->AddRef();
  std::lock_guard<std::mutex> hold(queueLock_);
  queue_.push_back(sample);
  return 0;
}

HRESULT CColorConverter::OnStart() {
  IMFTransform* transform;
  {
    std::lock_guard<std::mutex> hold(stateLock_);
    transform = transform_;
    if (transform) transform->AddRef();
  }
  if (!transform) return 0x1005;
  const HRESULT hr = mfpipe::SendMessages(transform, false, inputStreamId_);
  transform->Release();
  return hr;
}

int CColorConverter::OnStop() {
  IMFTransform* transform;
  {
    std::lock_guard<std::mutex> hold(stateLock_);
    processor_ = Processor::kEmpty;
    running_ = false;
    transform = transform_;
    if (transform) transform->AddRef();
  }
  if (transform) {
    mfpipe::SendMessages(transform, true, inputStreamId_);
    transform->Release();
  }
  return 0;
}

void CColorConverter::EraseInputDataQueue() {
  std::deque<CVrVideoSample*> queued;
  {
    std::lock_guard<std::mutex> hold(queueLock_);
    queued.swap(queue_);
  }
  for (CVrVideoSample* sample : queued) sample->Release();
}

int CColorConverter::AddRef() {
  std::lock_guard<std::mutex> hold(stateLock_);
  return ++refs_;
}

int CColorConverter::Release() {
  int left;
  {
    std::lock_guard<std::mutex> hold(stateLock_);
    left = --refs_;
  }
  if (left == 0) delete this;
  return left;
}

CColorConverter::Processor CColorConverter::CurrentProcessor() {
  std::lock_guard<std::mutex> hold(stateLock_);
  return processor_;
}

int CColorConverter::QueuedInput() {
  std::lock_guard<std::mutex> hold(queueLock_);
  return static_cast<int>(queue_.size());
}

void CColorConverter::InputDataProcessorThread() {
  mfpipe::ScopedMta apartment;
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kPassMs));
    Processor processor;
    {
      std::lock_guard<std::mutex> hold(stateLock_);
      if (!running_) return;
      processor = processor_;
    }
    CVrVideoSample* sample = nullptr;
    {
      std::lock_guard<std::mutex> hold(queueLock_);
      if (!queue_.empty()) {
        sample = queue_.front();
        queue_.pop_front();
      }
    }
    RunProcessor(processor, sample);
    if (sample) sample->Release();
  }
}

void CColorConverter::RunProcessor(Processor processor, CVrVideoSample* sample) {
  switch (processor) {
    case Processor::kEmpty: break;  // a sample taken now is dropped
    case Processor::kNativeDSP: InputDataProcessorNativeDSP(sample); break;
    case Processor::kSoftware: InputDataProcessorSoftware(sample); break;
  }
}

void CColorConverter::InputDataProcessorNativeDSP(CVrVideoSample* sample) {
  IMFTransform* transform;
  {
    std::lock_guard<std::mutex> hold(stateLock_);
    transform = transform_;
    if (transform) transform->AddRef();
  }
  ProcessOutputNativeDSP(transform);
  ProcessInputNativeDSP(transform, sample);
  if (transform) transform->Release();
}

HRESULT CColorConverter::ProcessOutputNativeDSP(IMFTransform* transform) {
  if (!transform) return E_POINTER;
  IMFSample* output;
  {
    std::lock_guard<std::mutex> hold(stateLock_);
    output = outputSample_;
    if (output) output->AddRef();
  }
  const HRESULT hr = mfpipe::ProcessOneOutput(transform, outputStreamId_, output);
  if (hr == S_OK && output) {
    LONGLONG time = 0;
    output->GetSampleTime(&time);
    CVrVideoSample* copy = nullptr;
    mfpipe::WithOutputBytes(output, [&](const BYTE* data, DWORD length) {
      const pelplat::Ref<CVrRecycleManager> manager = recycle_.Share();
      copy = manager ? manager->CopySample(data, length, width_, height_, 32, kRgba)
                     : new (std::nothrow) CVrVideoSample(data, length, width_, height_, 32, kRgba);
      if (copy) copy->SetTime(time / 10);
    });
    if (copy) {
      Deliver(copy);
      copy->Release();
    }
  }
  if (output) output->Release();
  return hr;
}

HRESULT CColorConverter::ProcessInputNativeDSP(IMFTransform* transform, CVrVideoSample* sample) {
  if (!transform || !sample) return E_POINTER;
  BYTE* data = nullptr;
  int length = 0;
  if (!sample->Lock(&data, nullptr, &length)) return E_FAIL;
  IMFMediaBuffer* buffer = nullptr;
  IMFSample* input = nullptr;
  HRESULT hr = data && length > 0 ? MFCreateMemoryBuffer(static_cast<DWORD>(length), &buffer) : E_INVALIDARG;
  if (SUCCEEDED(hr)) {
    BYTE* to = nullptr;
    hr = buffer->Lock(&to, nullptr, nullptr);
    if (SUCCEEDED(hr)) {
      std::memcpy(to, data, static_cast<size_t>(length));
      buffer->Unlock();
      buffer->SetCurrentLength(static_cast<DWORD>(length));
    }
  }
  sample->Unlock();
  if (SUCCEEDED(hr)) hr = MFCreateSample(&input);
  if (SUCCEEDED(hr)) hr = input->AddBuffer(buffer);
  if (SUCCEEDED(hr)) input->SetSampleTime(sample->GetTime() * 10);
  // A refusal (MF_E_NOTACCEPTING, a short picture) loses this frame.
  if (SUCCEEDED(hr)) hr = transform->ProcessInput(inputStreamId_, input, 0);
  if (input) input->Release();
  if (buffer) buffer->Release();
  return hr;
}

void CColorConverter::InputDataProcessorSoftware(CVrVideoSample* sample) {
  if (!sample) return;
  BYTE* data = nullptr;
  int length = 0;
  CVrVideoSample* output = nullptr;
  if (sample->Lock(&data, nullptr, &length)) {
    const int width = sample->GetWidth();
    const int height = sample->GetHeight();
    const int64_t size = static_cast<int64_t>(width) * height * 4;
    if (data && length > 0 && width > 0 && height > 0 && size <= INT32_MAX) {
      const pelplat::Ref<CVrRecycleManager> manager = recycle_.Share();
      output = manager ? manager->GetSample(static_cast<uint32_t>(size), width, height, 32, kRgba)
                       : new (std::nothrow) CVrVideoSample(static_cast<uint32_t>(size), width, height, 32, kRgba);
      BYTE* out = nullptr;
      int capacity = 0;
      if (output && output->Lock(&out, &capacity, nullptr)) {
        const bool done = out && capacity >= size &&
                          ConvertNv12ToRgb32(data, static_cast<uint64_t>(length), width, height,
                                             reinterpret_cast<uint32_t*>(out));
        output->Unlock();
        if (done) {
          output->SetLength(static_cast<int>(size));
          output->SetTime(sample->GetTime());
        } else {
          LogMessageA("CColorConverter::InputDataProcessorSoftware: frame of %d x %d and %d bytes dropped\n", width,
                      height, length);
          output->Release();
          output = nullptr;
        }
      }
    }
    sample->Unlock();
  }
  if (output) {
    Deliver(output);
    output->Release();
  }
}

void CColorConverter::Deliver(CVrSample* sample) {
  if (const pelplat::Ref<IConverterListener> listener = listener_.Share()) listener->OnConvertedSample(sample);
}

bool CColorConverter::ConvertNv12ToRgb32(const BYTE* nv12, uint64_t length, int width, int height,
                                         uint32_t* out) {
  if (!nv12 || !out || width <= 0 || height <= 0 || (width & 1)) return false;
  const uint64_t lumaSize = static_cast<uint64_t>(width) * height;
  const uint64_t chromaRows = (static_cast<uint64_t>(height) + 1) / 2;
  if (length < lumaSize + chromaRows * width) return false;
  const BYTE* chroma = nv12 + lumaSize;
  for (int r = 0; r < height; ++r) {
    const BYTE* luma = nv12 + static_cast<uint64_t>(r) * width;
    const BYTE* pairs = chroma + static_cast<uint64_t>(r / 2) * width;
    uint32_t* row = out + static_cast<uint64_t>(r) * width;
    for (int c = 0; c < width; ++c) {
      const int y = luma[c] < 16 ? 16 : luma[c];
      const int cb = pairs[c & ~1] - 128;
      const int cr = pairs[(c & ~1) + 1] - 128;
      const int l = 1164 * (y - 16);
      const int red = Clamp255((l + 1596 * cr) / 1000);
      const int green = Clamp255((l - 813 * cr - 391 * cb) / 1000);
      const int blue = Clamp255((l + 2018 * cb) / 1000);
      row[c] = 0xFF000000u + static_cast<uint32_t>(red) * 0x10000u + static_cast<uint32_t>(green) * 0x100u +
               static_cast<uint32_t>(blue);
    }
  }
  return true;
}
