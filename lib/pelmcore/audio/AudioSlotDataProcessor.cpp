#include "audio/AudioSlotDataProcessor.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>

#include "session/AudioClockRecord.h"
#include "audio/AudioMessages.h"
#include "audio/PcmFormat.h"
#include "audio/VorbisDecoder.h"
#include "audio/WaveOut.h"
#include "pelplat/thread.h"
#include "session/ClientConnectionParameter.h"
#include "transport/PacketPool.h"
#include "sys/ByteReader.h"
#include "sys/klog.h"

namespace {

constexpr DWORD kPlayingWaitMs = 3;
constexpr DWORD kIdleWaitMs = 100;
constexpr uint64_t kReportIntervalMs = 10;

enum LogBits : uint32_t {
  kLogBadFormat = 1,
  kLogShortMessage = 2,
  kLogVorbisHeaders = 4,
  kLogTruncated = 8,
};

}  // namespace

CAudioSlotDispatchThread::CAudioSlotDispatchThread(CAudioSlotDataProcessor* processor)
    : dezo::ProcessThread(kGroup, nullptr), processor_(processor) {}

uint8_t CAudioSlotDispatchThread::ProcessPacket(PacketBuffer*) { return 0; }

void CAudioSlotDispatchThread::Run() { processor_->DispatchLoop(); }

CAudioSlotDataProcessor::CAudioSlotDataProcessor() {
  waveOut_ = std::make_unique<CWaveOut>();
  if (!waveOut_->ThreadStarted()) {
    waveOut_.reset();
    return;
  }
  reportKind_ = 1;
  frameSize_ = 4;
  enabled_ = 1;  // before the thread that reads it starts
  StartDispatch();
}

// The dispatch thread plays through the device and may switch the
// microphone, so it stops first; then the microphone, then the device.
CAudioSlotDataProcessor::~CAudioSlotDataProcessor() {
  StopDispatch();
  microphone_.Stop();
  microphone_.Close();
  if (waveOut_) waveOut_->Shutdown();
  waveOut_.reset();
  vorbis_.reset();
}

int CAudioSlotDataProcessor::GetThreadMode() { return kConnectionThread; }

void CAudioSlotDataProcessor::StartDispatch() {
  uint32_t idle = 0;
  if (!running_.compare_exchange_strong(idle, 1)) return;
  if (!dispatch_) {
    dispatch_ = std::make_shared<CAudioSlotDispatchThread>(this);
    dezo::ProcessThread::Start(dispatch_);
  }
}

void CAudioSlotDataProcessor::StopDispatch() {
  running_.store(0);
  queue_.Close();
  if (dispatch_) {
    queue_.event.Set();
    dispatch_->Stop();
    dispatch_.reset();
  }
}

void CAudioSlotDataProcessor::Count(uint32_t length) {
  packetCount_.fetch_add(1);
  if (length != 0x0FFFFFFF) byteTotal_.fetch_add(length);
}

void CAudioSlotDataProcessor::SendAnnouncementWhenDue() {
  if (announceSent_.load()) return;
  uint8_t* record = nullptr;
  const uint32_t length = microphone_.BuildAnnounce(&record);
  if (record && length) {
    if (OnClientData(record, length) == 0) announceSent_.store(1);
  }
  delete[] record;
}

uint8_t CAudioSlotDataProcessor::OnPacket(PacketBuffer* buffer) {
  const uint32_t length = buffer->PayloadLength();
  if (!audiomsg::HasTag(buffer->Payload(), length)) return 0;
  Count(length);
  if (!enabled_) return 0;
  SendAnnouncementWhenDue();
  return queue_.Push(buffer, CxQueue::kSignal) == 1 ? 1 : 0;
}

int CAudioSlotDataProcessor::OnData(const uint8_t*, uint32_t length) {
  Count(length);
  if (enabled_) SendAnnouncementWhenDue();
  return 0;
}

int CAudioSlotDataProcessor::OnClientData(const void* record, uint32_t length) {
  if (!enabled_ || !attached_.load()) return 0;
  const SendResult sent = Session()->SendOnSlot(static_cast<const uint8_t*>(record), length);
  return sent.Complete(length) ? kStatusOk : kStatusFailure;
}

void CAudioSlotDataProcessor::AttachPort(uint16_t newSlot, std::unique_ptr<ISlotSessionPort> port) {
  const bool attaching = port != nullptr;
  // Cut first: the dispatch thread stops sending before the port changes.
  attached_.store(false);
  CSlotDataProcessor::AttachPort(newSlot, std::move(port));
  if (!attaching) return;
  attached_.store(true);
  const CClientConnectionParameter* parameters = Session()->Parameters();
  const int priority = parameters ? static_cast<int>(parameters->audioThreadPriority) : -1;
  if (priority == 0 || priority == 1 || priority == 2 || priority == 15) dispatchPriority_ = priority;
}

AudioClockRecord* CAudioSlotDataProcessor::Clock() { return attached_.load() ? Session()->AudioClock() : nullptr; }

uint64_t CAudioSlotDataProcessor::NowMs() {
  using namespace std::chrono;
  return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void CAudioSlotDataProcessor::LogOnce(uint32_t bit, const char* text) {
  if (loggedOnce_ & bit) return;
  loggedOnce_ |= bit;
  LogMessageA("CAudioSlotDataProcessor::%s", text);
}

void CAudioSlotDataProcessor::DispatchLoop() {
  capacity_ = kInitialCapacity;
  accumulation_.reset(new (std::nothrow) uint8_t[kInitialCapacity]);
  if (!accumulation_) capacity_ = 0;
  fill_ = 0;
  SetThreadPriority(GetCurrentThread(), dispatchPriority_.load());
  while (running_.load()) {
    queue_.event.Wait(state_ == 3 ? kPlayingWaitMs : kIdleWaitMs);
    {
      CxAutoLock hold(&queue_.lock);
      if (!queue_.open) break;
    }
    const uint64_t now = NowMs();
    if (now - lastReportTime_ >= kReportIntervalMs && state_ != 0) {
      SendReport();
      lastReportTime_ = now;
    }
    CxQueueNode* node = nullptr;
    while (queue_.Pop(&node)) {
      auto* buffer = static_cast<PacketBuffer*>(node);
      const uint8_t* payload = buffer->Payload();
      const uint32_t size = buffer->PayloadLength();
      if (audiomsg::HasTag(payload, size) && payload[3] == audiomsg::kServerKind) Execute(payload, size);
      CPacketPool::Release(buffer);
      {
        std::lock_guard<std::mutex> hold(processedMutex_);
        processed_.fetch_add(1, std::memory_order_release);
      }
      processedChanged_.notify_all();
    }
  }
  accumulation_.reset();
  decoded_.reset();
  capacity_ = 0;
  fill_ = 0;
  if (waveOut_) waveOut_->Close();
}

bool CAudioSlotDataProcessor::WaitProcessed(uint32_t count, DWORD ms) {
  std::unique_lock<std::mutex> hold(processedMutex_);
  return processedChanged_.wait_for(hold, std::chrono::milliseconds(ms), [&] { return processed_.load() >= count; });
}

void CAudioSlotDataProcessor::SendReport() {
  if (!waveOut_) return;
  if (reportKind_ == 1) {
    const auto report = audiomsg::QueueReport(waveOut_->GetBytesInFlight());
    OnClientData(report.data(), static_cast<uint32_t>(report.size()));
  } else {
    // Unpositioned PCM counts among the device's unplayed frames too; a play
    // position before the start is reported as the start.
    const uint64_t unplayed = waveOut_->GetUnplayedFrames();
    const uint64_t play = writePosition_ > unplayed ? writePosition_ - unplayed : 0;
    const auto report = audiomsg::PositionReport(writePosition_, play);
    OnClientData(report.data(), static_cast<uint32_t>(report.size()));
  }
}

void CAudioSlotDataProcessor::Execute(const uint8_t* payload, uint32_t size) {
  audiomsg::Message m;
  if (!audiomsg::Parse(payload, size, &m)) {
    LogOnce(kLogTruncated, "Execute: a message longer than its packet was dropped");
    return;
  }
  const uint8_t* d = m.data;
  const uint32_t n = m.length;
  switch (m.command) {
    case audiomsg::kFormat:
      ApplyFormat(d, n);
      break;
    case audiomsg::kPlaybackState: {
      ByteReader r(d, n);
      const uint32_t state = r.U32();
      if (!r.Ok()) break;
      state_ = state;
      waveOut_->SetState(state);
      if (state == 0 || state == 2) fill_ = 0;
      break;
    }
    case audiomsg::kFlush:
      FlushBuffer();
      break;
    case audiomsg::kFlushAndClose:
      FlushAndClose();
      break;
    case audiomsg::kData:
      PlayData(d, n);
      break;
    case audiomsg::kTimestampedData: {
      ByteReader r(d, n);
      const uint64_t timestamp = r.U64();
      if (!r.Ok()) break;
      timestamp_ = timestamp;
      PlayData(d + 8, n - 8);
      break;
    }
    case audiomsg::kPositionedData:
      PlayPositionedData(d, n, false);
      break;
    case audiomsg::kPositionedTimestampedData:
      PlayPositionedData(d, n, true);
      break;
    case audiomsg::kMicState: {
      ByteReader r(d, n);
      const uint32_t state = r.U32();
      if (r.Ok()) microphone_.SetState(this, state);
      break;
    }
    case audiomsg::kBufferPlan:
      ApplyBufferPlan(d, n);
      break;
    default:
      break;
  }
}

void CAudioSlotDataProcessor::WriteToDevice(const uint8_t* d, uint32_t n, uint64_t timestamp) {
  if (waveOut_->Write(d, n, timestamp) != CWaveOut::kNoDevice) return;
  if (!attached_.load()) return;
  const auto message = audiomsg::NoDevice();
  Session()->SendOnSlot(message.data(), static_cast<uint32_t>(message.size()));
}

bool CAudioSlotDataProcessor::SetCapacity(uint64_t bytes) {
  if (bytes == static_cast<uint64_t>(capacity_) && accumulation_) return true;
  std::unique_ptr<uint8_t[]> fresh(new (std::nothrow) uint8_t[bytes]);
  if (!fresh) return false;
  accumulation_ = std::move(fresh);
  capacity_ = static_cast<int32_t>(bytes);
  fill_ = 0;
  return true;
}

void CAudioSlotDataProcessor::ApplyFormat(const uint8_t* d, uint32_t n) {
  if (fill_ > 0) {
    WriteToDevice(accumulation_.get(), static_cast<uint32_t>(fill_), 0);
    fill_ = 0;
    lastReportTime_ = 0;
  }
  if (n >= 4 && memcmp(d, "OggS", 4) == 0) {
    ApplyVorbisFormat(d, n);
  } else {
    ApplyPcmFormat(d, n);
  }
}

// Plays at the stream's own rate, always as 16-bit stereo.
void CAudioSlotDataProcessor::ApplyVorbisFormat(const uint8_t* d, uint32_t n) {
  vorbis_ = std::make_unique<CVorbisDecoder>();
  vorbisMode_ = 1;
  if (!vorbis_->ReadHeaders(d, n)) {
    LogOnce(kLogVorbisHeaders, "ApplyFormat: the Vorbis headers are incomplete; nothing plays");
    return;
  }
  const uint32_t rate = static_cast<uint32_t>(vorbis_->Rate());
  const WAVEFORMATEX format = PcmWaveFormat(CVorbisDecoder::kOutputChannels, rate, 16);
  const uint32_t frameBytes = format.nBlockAlign;
  const uint64_t capacity = uint64_t(rate) * frameBytes / 10 / frameBytes * frameBytes;
  if (capacity == 0 || capacity > kMaxCapacity || !SetCapacity(capacity)) {
    LogOnce(kLogBadFormat, "ApplyFormat: audio format refused");
    return;
  }
  waveOut_->SetFormat(&format, Clock());
}

void CAudioSlotDataProcessor::ApplyPcmFormat(const uint8_t* d, uint32_t n) {
  ByteReader r(d, n);
  WAVEFORMATEX format{};
  format.wFormatTag = r.U16();
  format.nChannels = r.U16();
  format.nSamplesPerSec = r.U32();
  format.nAvgBytesPerSec = r.U32();
  format.nBlockAlign = r.U16();
  format.wBitsPerSample = r.U16();
  format.cbSize = r.U16();
  const uint32_t frameBytes = uint32_t(format.nChannels) * format.wBitsPerSample / 8;
  // A frame of 0 bytes would divide by zero and leave a buffer of none.
  uint64_t capacity = uint64_t(format.wBitsPerSample / 8) * format.nSamplesPerSec * format.nChannels / 10;
  if (frameBytes) capacity -= capacity % frameBytes;
  if (!r.Ok() || format.nChannels == 0 || format.wBitsPerSample < 8 || format.nSamplesPerSec == 0 ||
      capacity == 0 || capacity > kMaxCapacity || !SetCapacity(capacity)) {
    LogOnce(kLogBadFormat, "ApplyFormat: audio format refused");
    return;
  }
  AudioClockRecord* clock = Clock();
  if (clock) clock->SetMode(AudioClockRecord::kPcmFormat);
  waveOut_->SetFormat(&format, clock);
  frameSize_ = frameBytes;
  vorbisMode_ = 0;
}

void CAudioSlotDataProcessor::FlushBuffer() {
  if (fill_ > 0) WriteToDevice(accumulation_.get(), static_cast<uint32_t>(fill_), 0);
  fill_ = 0;
}

void CAudioSlotDataProcessor::FlushAndClose() {
  FlushBuffer();
  waveOut_->Close();
}

void CAudioSlotDataProcessor::PlayData(const uint8_t* d, uint32_t n) {
  if (vorbisMode_) {
    DecodeAndWrite(d, n);
    return;
  }
  if (capacity_ <= 0 || !accumulation_) return;
  // Every full buffer goes out with the current timestamp; only what is left
  // over stays for the next message.
  while (n > 0) {
    const uint32_t room = static_cast<uint32_t>(capacity_ - fill_);
    const uint32_t take = std::min(room, n);
    memcpy(accumulation_.get() + fill_, d, take);
    fill_ += static_cast<int32_t>(take);
    d += take;
    n -= take;
    if (fill_ < capacity_) break;
    WriteToDevice(accumulation_.get(), static_cast<uint32_t>(fill_), timestamp_);
    fill_ = 0;
  }
}

void CAudioSlotDataProcessor::DecodeAndWrite(const uint8_t* d, uint32_t n) {
  if (!vorbis_) return;
  if (!decoded_) decoded_.reset(new (std::nothrow) uint8_t[kVorbisOutputBytes]);
  if (!decoded_) return;
  bool more = true;
  const uint8_t* input = d;
  uint32_t inputBytes = n;
  while (more) {
    const uint32_t bytes = vorbis_->Decode(input, inputBytes, decoded_.get(), kVorbisOutputBytes, &more);
    input = nullptr;
    inputBytes = 0;
    WriteToDevice(decoded_.get(), bytes, timestamp_);
  }
}

void CAudioSlotDataProcessor::PlayPositionedData(const uint8_t* d, uint32_t n, bool timestamped) {
  ByteReader r(d, n);
  if (vorbisMode_) {
    if (timestamped) {
      r.Skip(8);
      if (!r.Ok()) return;
      timestamp_ = 0;
    }
    DecodeAndWrite(d + r.Position(), n - static_cast<uint32_t>(r.Position()));
    return;
  }
  const uint64_t position = r.U64();
  const uint64_t timestamp = timestamped ? r.U64() : 0;
  if (!r.Ok()) {
    LogOnce(kLogShortMessage, "PlayPositionedData: message too short");
    return;
  }
  if (position != 0 && position < writePosition_) return;  // stale
  if (timestamped) timestamp_ = timestamp;
  const uint32_t bytes = n - static_cast<uint32_t>(r.Position());
  writePosition_ = position + bytes / frameSize_;
  WriteToDevice(d + r.Position(), bytes, timestamp_);
}

void CAudioSlotDataProcessor::ApplyBufferPlan(const uint8_t* d, uint32_t n) {
  ByteReader r(d, n);
  uint32_t plan[3];
  for (uint32_t& v : plan) v = r.U32();
  if (!r.Ok()) {
    LogOnce(kLogShortMessage, "ApplyBufferPlan: message too short");
    return;
  }
  if (AudioClockRecord* clock = Clock()) clock->SetMode(AudioClockRecord::kBufferPlan);
  waveOut_->SetBufferPlan(plan);
  reportKind_ = 0;
}
