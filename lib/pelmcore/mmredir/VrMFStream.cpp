#include "mmredir/VrMFStream.h"

#include <cstring>

#include "pelplat/objbase.h"
#include "pelplat/strmif.h"
#include "sys/ByteReader.h"
#include "sys/ByteWriter.h"
#include "sys/klog.h"

namespace {

// {73646976-0000-0010-8000-00AA00389B71} and {73647561-...}: MEDIATYPE_Video
// and MEDIATYPE_Audio, the same values as Media Foundation's major types.
constexpr size_t kGuidBytes = 16;

GUID ReadGuid(const uint8_t* p) {
  GUID g{};
  ByteReader r(p, kGuidBytes);
  g.Data1 = r.U32();
  g.Data2 = r.U16();
  g.Data3 = r.U16();
  r.Bytes(g.Data4, sizeof(g.Data4));
  return g;
}

// A TS_AM_MEDIA_TYPE holds its format block when the block ends within the
// bytes given; bytes after it (servers pad the record) are not read.
bool HoldsFormatBlock(uint32_t length, const uint8_t* format) {
  if (!format || length < CVrMFStream::kMediaTypeHeader) return false;
  ByteReader r(format, length);
  r.Skip(60);
  const uint64_t cbFormat = r.U32();
  return uint64_t{CVrMFStream::kMediaTypeHeader} + cbFormat <= length;
}

}  // namespace

CVrMFStream::CVrMFStream(uint32_t streamId) : streamId_(streamId) {}

CVrMFStream::~CVrMFStream() {
  IVrMFStreamOwner* source = nullptr;
  pelplat::Ref<IMFStreamDescriptor> descriptor;
  pelplat::Ref<IMFMediaEventQueue> events;
  {
    std::lock_guard<std::mutex> hold(lock_);
    std::swap(source, source_);
    descriptor.swap(descriptor_);
    events.swap(events_);
    EraseLists();
    format_.clear();
    channel_.reset();
  }
  if (source) source->Release();
  events.reset();
}

HRESULT CVrMFStream::QueryInterface(REFIID riid, void** object) {
  return Answer(riid, object, IID_IMFMediaEventGenerator, IID_IMFMediaStream);
}

// The event-generator calls read the queue under the stream lock and run
// on a reference of their own, so a Shutdown meanwhile cannot free it.
#define WITH_EVENT_QUEUE(call)               \
  pelplat::Ref<IMFMediaEventQueue> queue;    \
  {                                          \
    std::lock_guard<std::mutex> hold(lock_); \
    queue = events_;                         \
  }                                          \
  if (!queue) return S_OK;                   \
  return queue->call

HRESULT CVrMFStream::GetEvent(DWORD flags, IMFMediaEvent** event) {
  WITH_EVENT_QUEUE(GetEvent(flags, event));
}
HRESULT CVrMFStream::BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) {
  WITH_EVENT_QUEUE(BeginGetEvent(callback, state));
}
HRESULT CVrMFStream::EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) {
  WITH_EVENT_QUEUE(EndGetEvent(result, event));
}
HRESULT CVrMFStream::QueueEvent(MediaEventType type, REFGUID extendedType, HRESULT status,
                                const PROPVARIANT* value) {
  WITH_EVENT_QUEUE(QueueEventParamVar(type, extendedType, status, value));
}
#undef WITH_EVENT_QUEUE

HRESULT CVrMFStream::GetMediaSource(IMFMediaSource** source) {
  if (!source) return E_POINTER;
  std::lock_guard<std::mutex> hold(lock_);
  if (state_ == kShutdown) return MF_E_SHUTDOWN;
  if (!source_) return E_UNEXPECTED;
  return source_->QueryInterface(IID_IMFMediaSource, reinterpret_cast<void**>(source));
}

HRESULT CVrMFStream::GetStreamDescriptor(IMFStreamDescriptor** descriptor) {
  if (!descriptor) return E_POINTER;
  std::lock_guard<std::mutex> hold(lock_);
  if (!descriptor_) return E_UNEXPECTED;
  if (state_ == kShutdown) return MF_E_SHUTDOWN;
  return descriptor_.copyTo(descriptor);
}

HRESULT CVrMFStream::RequestSample(IUnknown* token) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (state_ == kShutdown) return MF_E_SHUTDOWN;
    if (state_ == kStopped) return MF_E_MEDIA_SOURCE_WRONGSTATE;
    if (DrainedLocked()) return MF_E_END_OF_STREAM;
    if (token) {
      token->AddRef();
      tokens_.push_back(token);
    }
    ++pendingRequests_;
  }
  return DispatchSamples();
}

int32_t CVrMFStream::CheckMediaFormat(uint32_t length, const uint8_t* format) {
  if (!HoldsFormatBlock(length, format)) {
    LogMessageA("CVrMFStream::CheckMediaFormat: a media type of %u bytes does not hold its format block; refused\n",
                length);
    return E_INVALIDARG;
  }
  const GUID major = ReadGuid(format);
  const GUID subtype = ReadGuid(format + kGuidBytes);
  GUID category{};
  if (major == MFMediaType_Video)
    category = MFT_CATEGORY_VIDEO_DECODER;
  else if (major == MFMediaType_Audio)
    category = MFT_CATEGORY_AUDIO_DECODER;
  else
    return E_NOTIMPL;
  MFT_REGISTER_TYPE_INFO input = {major, subtype};
  CLSID* ids = nullptr;
  UINT32 count = 0;
  HRESULT result = E_NOTIMPL;
  if (SUCCEEDED(MFTEnum(category, 0, &input, nullptr, nullptr, &ids, &count)) && count > 0) {
    IUnknown* transform = nullptr;
    CoCreateInstance(ids[0], nullptr, CLSCTX_INPROC_SERVER, IID_IMFTransform,
                     reinterpret_cast<void**>(&transform));
    if (transform) {
      transform->Release();
      result = S_OK;
    }
  }
  CoTaskMemFree(ids);
  return result;
}

int32_t CVrMFStream::SetChannel(std::shared_ptr<IRdpVirtualChannel> channel) {
  std::lock_guard<std::mutex> hold(lock_);
  if (!channel_) channel_ = std::move(channel);
  return 0;
}

int32_t CVrMFStream::SetMediaType(uint32_t length, const uint8_t* format) {
  if (format && length && !HoldsFormatBlock(length, format)) {
    LogMessageA("CVrMFStream::SetMediaType: stream %u: a media type of %u bytes does not hold its format block; refused\n",
                streamId_, length);
    return E_INVALIDARG;
  }
  const bool whole = format && length;
  std::lock_guard<std::mutex> hold(lock_);
  video_ = whole && ReadGuid(format) == MFMediaType_Video;
  audio_ = whole && ReadGuid(format) == MFMediaType_Audio;
  if (format && length)
    format_.assign(format, format + length);
  else
    format_.clear();
  return 0;
}

std::vector<uint8_t> CVrMFStream::Format() {
  std::lock_guard<std::mutex> hold(lock_);
  return format_;
}

int32_t CVrMFStream::OnSample(const uint8_t* sample, uint32_t count) {
  if (!sample || count == 0) return E_INVALIDARG;
  // SampleStartTime, SampleEndTime, ThrottleDuration, SampleFlags,
  // SampleExtensions, cbData, then cbData bytes. A record whose length
  // disagrees with the bytes it claims is refused whole.
  ByteReader r(sample, count);
  QueuedSample record;
  record.startTime = static_cast<int64_t>(r.U64());
  r.Skip(8);
  record.throttleDuration = r.U64();
  r.Skip(8);
  const uint32_t cbData = r.U32();
  const uint8_t* data = r.Take(cbData);
  if (!r.Ok() || r.Remaining() != 0) {
    LogMessageA("CVrMFStream::OnSample: stream %u: a sample of %u bytes claims %u data bytes; dropped\n",
                streamId_, count, cbData);
    return E_INVALIDARG;
  }
  record.data.assign(data, data + cbData);
  {
    std::lock_guard<std::mutex> queueHold(queueLock_);
    std::lock_guard<std::mutex> hold(lock_);
    queued_.push_back(std::move(record));
  }
  // A started stream still short of ready samples has the source pull
  // again: the source's pull ends when it finds nothing queued, and the
  // sample that just came is what it waits for.
  IVrMFStreamOwner* source = nullptr;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (state_ == kStarted && source_ && NeedsMoreLocked()) {
      source = source_;
      source->AddRef();
    }
  }
  if (source) {
    source->SendSourceEvent(VR_SOURCE_NEED_MORE_SAMPLE, streamId_, MFASYNC_CALLBACK_QUEUE_STANDARD);
    source->Release();
  }
  return 0;
}

int32_t CVrMFStream::OnStart(int64_t, uint32_t) {
  std::lock_guard<std::mutex> hold(lock_);
  endOfStream_ = false;
  return 0;
}

int32_t CVrMFStream::OnFlush() {
  std::lock_guard<std::mutex> queueHold(queueLock_);
  queued_.clear();
  std::lock_guard<std::mutex> hold(lock_);
  EraseLists();
  return 0;
}

int32_t CVrMFStream::OnEndOfStream() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    endOfStream_ = true;
  }
  DispatchSamples();
  return 0;
}

HRESULT CVrMFStream::Initialize(IVrMFStreamOwner* source, IMFStreamDescriptor* descriptor) {
  if (!source || !descriptor) return E_INVALIDARG;
  pelplat::Ref<IMFMediaEventQueue> queue;
  const HRESULT hr = MFCreateEventQueue(queue.out());
  if (FAILED(hr)) return hr;
  pelplat::Ref<IMFStreamDescriptor> held = pelplat::Ref<IMFStreamDescriptor>::Share(descriptor);
  IVrMFStreamOwner* oldSource = nullptr;
  {
    std::lock_guard<std::mutex> hold(lock_);
    queue.swap(events_);
    oldSource = source_;
    source_ = source;
    held.swap(descriptor_);
  }
  // What was held before goes outside the lock: the old queue shut down
  // first, then the old source, then the old descriptor.
  if (queue) queue->Shutdown();
  queue.reset();
  if (oldSource) oldSource->Release();
  return S_OK;
}

HRESULT CVrMFStream::GetMediaType(IMFMediaType** out) {
  if (!out) return E_POINTER;
  std::vector<uint8_t> format;
  bool audio = false, video = false;
  {
    std::lock_guard<std::mutex> hold(lock_);
    format = format_;
    audio = audio_;
    video = video_;
  }
  if (format.empty()) return E_ABORT;
  // SetMediaType keeps only records that hold their block; this holds for
  // any other.
  if (!HoldsFormatBlock(static_cast<uint32_t>(format.size()), format.data())) return E_INVALIDARG;
  IMFMediaType* type = nullptr;
  HRESULT hr = MFCreateMediaType(&type);
  if (FAILED(hr)) return hr;
  // The DirectShow description points into the stored copy.
  ByteReader r(format.data(), format.size());
  AM_MEDIA_TYPE am{};
  am.majortype = ReadGuid(r.Take(kGuidBytes));
  am.subtype = ReadGuid(r.Take(kGuidBytes));
  am.bFixedSizeSamples = static_cast<BOOL>(r.U32());
  am.bTemporalCompression = static_cast<BOOL>(r.U32());
  am.lSampleSize = r.U32();
  am.formattype = ReadGuid(r.Take(kGuidBytes));
  am.cbFormat = r.U32();
  am.pbFormat = am.cbFormat ? const_cast<BYTE*>(r.Take(am.cbFormat)) : nullptr;
  hr = MFInitMediaTypeFromAMMediaType(type, &am);
  if (hr != S_OK) {
    LogMessageA("CVrMFStream::GetMediaType:  MFInitMediaTypeFromAMMediaType failed hr[0x%x] Audio[%d]Video[%d]\n",
                static_cast<unsigned>(hr), audio ? 1 : 0, video ? 1 : 0);
    type->Release();
    return hr;
  }
  *out = type;
  return S_OK;
}

bool CVrMFStream::IsActive() {
  std::lock_guard<std::mutex> hold(lock_);
  return active_;
}

void CVrMFStream::Activate(bool active) {
  std::lock_guard<std::mutex> hold(lock_);
  if (active == active_) return;
  active_ = active;
  if (!active) EraseLists();
}

HRESULT CVrMFStream::SetStart(const PROPVARIANT& start, bool seek) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (state_ == kShutdown) return MF_E_SHUTDOWN;
  }
  const HRESULT hr = QueueEvent(seek ? MEStreamSeeked : MEStreamStarted, GUID_NULL, S_OK, &start);
  if (FAILED(hr)) return hr;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (state_ == kShutdown) return MF_E_SHUTDOWN;
    state_ = kStarted;
  }
  return DispatchSamples();
}

HRESULT CVrMFStream::SetPause() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (state_ == kShutdown) return MF_E_SHUTDOWN;
    state_ = kPaused;
  }
  return QueueEvent(MEStreamPaused, GUID_NULL, S_OK, nullptr);
}

HRESULT CVrMFStream::SetStop() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (state_ == kShutdown) return MF_E_SHUTDOWN;
    EraseLists();
    state_ = kStopped;
  }
  return QueueEvent(MEStreamStopped, GUID_NULL, S_OK, nullptr);
}

HRESULT CVrMFStream::Shutdown() {
  IVrMFStreamOwner* source = nullptr;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (state_ == kShutdown) {
      LogMessageA("CVrMFStream::Shutdown:  already in shutdown state.\n");
      return MF_E_SHUTDOWN;
    }
    state_ = kShutdown;
    if (events_) events_->Shutdown();
    EraseLists();
    std::swap(source, source_);
  }
  // Released outside the lock: this may be the source's last reference.
  if (source) source->Release();
  return S_OK;
}

// The server's end comes after its last sample: what is queued then still
// plays, and the stream ends only once nothing is left to hand out. A
// deselected stream pulls nothing, so its queue does not hold its end back.
bool CVrMFStream::DrainedLocked() const {
  return endOfStream_ && ready_.empty() && building_ == 0 && (queued_.empty() || !active_);
}

bool CVrMFStream::NeedsMoreLocked() const {
  return active_ && ready_.size() < 2 && !(endOfStream_ && queued_.empty());
}

bool CVrMFStream::NeedsMoreSamples() {
  std::lock_guard<std::mutex> hold(lock_);
  return NeedsMoreLocked();
}

HRESULT CVrMFStream::GetNextSample(IMFSample** out) {
  if (!out) return E_POINTER;
  QueuedSample record;
  {
    std::lock_guard<std::mutex> queueHold(queueLock_);
    if (queued_.empty()) return S_OK;
    std::lock_guard<std::mutex> hold(lock_);
    record = std::move(queued_.front());
    queued_.pop_front();
    ++building_;
  }
  const DWORD cbData = static_cast<DWORD>(record.data.size());
  IMFSample* sample = nullptr;
  IMFMediaBuffer* buffer = nullptr;
  HRESULT hr = MFCreateSample(&sample);
  if (SUCCEEDED(hr)) {
    hr = MFCreateMemoryBuffer(cbData, &buffer);
    if (FAILED(hr))
      LogMessageA("CVrMFStream::GetNextSample: MFCreateMemoryBuffer FAILED[0x%x] Stream[0x%x] cbData[%d]\n",
                  static_cast<unsigned>(hr), streamId_, static_cast<int>(cbData));
  }
  if (SUCCEEDED(hr)) hr = sample->AddBuffer(buffer);
  if (buffer) buffer->Release();
  buffer = nullptr;
  if (SUCCEEDED(hr)) hr = sample->GetBufferByIndex(0, &buffer);
  if (SUCCEEDED(hr)) {
    BYTE* bytes = nullptr;
    DWORD max = 0;
    hr = buffer->Lock(&bytes, &max, nullptr);
    if (hr == S_OK) {
      if (cbData) std::memcpy(bytes, record.data.data(), cbData);
      buffer->Unlock();
      hr = buffer->SetCurrentLength(cbData);
    } else if (SUCCEEDED(hr)) {
      hr = E_FAIL;
    }
  }
  if (buffer) buffer->Release();
  if (SUCCEEDED(hr)) {
    sample->SetSampleDuration(static_cast<LONGLONG>(record.throttleDuration));
    hr = sample->SetSampleTime(record.startTime);
    *out = sample;
  } else if (sample) {
    sample->Release();
  }
  // A sample that failed never reaches the ready list: the end of the
  // stream no longer waits for it.
  if (FAILED(hr)) {
    std::lock_guard<std::mutex> hold(lock_);
    if (building_ > 0) --building_;
  }
  SendAck(record.throttleDuration, cbData);
  return hr;
}

HRESULT CVrMFStream::DeliverSample(IMFSample* sample) {
  if (!sample) return E_POINTER;
  {
    std::lock_guard<std::mutex> hold(lock_);
    ready_.push_back(sample);
    if (building_ > 0) --building_;
  }
  return DispatchSamples();
}

int32_t CVrMFStream::SetEndOfStream() {
  std::deque<QueuedSample> late;
  {
    std::lock_guard<std::mutex> queueHold(queueLock_);
    std::lock_guard<std::mutex> hold(lock_);
    late.swap(queued_);
  }
  for (const QueuedSample& record : late)
    SendAck(record.throttleDuration, static_cast<uint32_t>(record.data.size()));
  SendEventNotification(kEventEndOfStream, 0, nullptr);
  return 0;
}

int32_t CVrMFStream::StateForTest() {
  std::lock_guard<std::mutex> hold(lock_);
  return state_;
}

HRESULT CVrMFStream::DispatchSamples() {
  IVrMFStreamOwner* report = nullptr;
  HRESULT hr = S_OK;
  {
    std::lock_guard<std::mutex> hold(lock_);
    hr = DispatchLocked();
    if (FAILED(hr) && state_ != kShutdown && source_) {
      report = source_;
      report->AddRef();
    }
  }
  // The failure goes to the source with no lock of the stream held, on a
  // reference of its own.
  if (report) {
    report->QueueEvent(MEError, GUID_NULL, hr, nullptr);
    report->Release();
  }
  return hr;
}

HRESULT CVrMFStream::DispatchLocked() {
  if (state_ != kStarted) return S_OK;
  HRESULT hr = SendSamplesOut();
  if (FAILED(hr)) return hr;
  if (DrainedLocked()) {
    if (!events_ || !source_) return E_UNEXPECTED;
    hr = events_->QueueEventParamVar(MEEndOfStream, GUID_NULL, S_OK, nullptr);
    if (SUCCEEDED(hr))
      hr = source_->SendSourceEvent(VR_SOURCE_END_OF_STREAM, streamId_, MFASYNC_CALLBACK_QUEUE_MULTITHREADED);
    if (SUCCEEDED(hr)) state_ = kEndDelivered;
    return hr;
  }
  if (NeedsMoreLocked()) {
    if (!source_) return E_UNEXPECTED;
    hr = source_->SendSourceEvent(VR_SOURCE_NEED_MORE_SAMPLE, streamId_, MFASYNC_CALLBACK_QUEUE_STANDARD);
  }
  return hr;
}

HRESULT CVrMFStream::SendSamplesOut() {
  HRESULT hr = S_OK;
  while (!ready_.empty() && pendingRequests_ > 0) {
    IMFSample* sample = ready_.front();
    ready_.pop_front();
    IUnknown* token = nullptr;
    if (!tokens_.empty()) {
      token = tokens_.front();
      tokens_.pop_front();
      hr = sample->SetUnknown(MFSampleExtension_Token, token);
      if (FAILED(hr)) LogMessageA("CVrMFStream::SendSamplesOut:  Set MFSampleExtension_Token FAILED [0x%x]\n", static_cast<unsigned>(hr));
    }
    if (SUCCEEDED(hr)) {
      hr = events_ ? events_->QueueEventParamUnk(MEMediaSample, GUID_NULL, S_OK, sample) : E_UNEXPECTED;
      if (FAILED(hr)) LogMessageA("CVrMFStream::SendSamplesOut: Set MEMediaSample FAILED [0x%x]\n", static_cast<unsigned>(hr));
      else --pendingRequests_;
    }
    sample->Release();
    if (token) token->Release();
    if (FAILED(hr)) break;
  }
  return hr;
}

void CVrMFStream::EraseLists() {
  for (IMFSample* s : ready_) s->Release();
  ready_.clear();
  for (IUnknown* t : tokens_) t->Release();
  tokens_.clear();
}

void CVrMFStream::SendAck(uint64_t throttleDuration, uint32_t cbData) {
  std::vector<uint8_t> message(32);
  ByteWriter w(message.data(), message.size());
  w.U32(kInterfaceProxy);
  w.U32(0);
  w.U32(kPlaybackAck);
  w.U32(streamId_);
  w.U64(throttleDuration);
  w.U64(cbData);
  Send(message, "PLAYBACK_ACK");
}

int32_t CVrMFStream::SendEventNotification(uint32_t eventId, uint32_t length, const uint8_t* data) {
  if (!data) length = 0;
  std::vector<uint8_t> message(24 + size_t{length});
  ByteWriter w(message.data(), message.size());
  w.U32(kInterfaceProxy);
  w.U32(0);
  w.U32(kClientEventNotification);
  w.U32(streamId_);
  w.U32(eventId);
  w.U32(length);
  if (length) w.Bytes(data, length);
  return Send(message, "CLIENT_EVENT_NOTIFICATION");
}

int32_t CVrMFStream::Send(const std::vector<uint8_t>& message, const char* what) {
  std::shared_ptr<IRdpVirtualChannel> channel;
  {
    std::lock_guard<std::mutex> hold(lock_);
    channel = channel_;
  }
  // A stream that never had a sample has no channel: its messages have
  // nowhere to go.
  if (!channel) {
    LogMessageA("CVrMFStream::Send: stream %u has no channel; %s not sent", streamId_, what);
    return E_UNEXPECTED;
  }
  return channel->Write(static_cast<uint32_t>(message.size()), message.data());
}
