#include "audio/WaveOut.h"

#include <algorithm>
#include <cstring>

#include "session/AudioClockRecord.h"
#include "audio/PcmFormat.h"
#include "pelplat/thread.h"
#include "pelplat/winuser.h"
#include "sys/klog.h"
#include "sys/sys.h"

namespace {

// A format the device can count frames of.
bool UsableFormat(const WAVEFORMATEX& f) {
  return f.nChannels != 0 && f.wBitsPerSample >= 8 && f.nSamplesPerSec != 0;
}

}  // namespace

CWaveOut::CWaveOut() {
  format_ = PcmWaveFormat(2, 44100, 16);
  const UINT devices = waveOutGetNumDevs();
  drained_.Create(true, false);
  started_.Create(true, false);
  if (devices == 0) return;
  thread_ = SysCreateThread(&CWaveOut::MessageThreadEntry, this);
  if (!thread_) return;
  started_.Wait(INFINITE);
  threadStarted_ = 1;
}

CWaveOut::~CWaveOut() {
  Shutdown();  // owners call it first; a thread left running would outlive us
  drained_.Close();
  started_.Close();
  pool_.FreeAll();
}

DWORD CWaveOut::MessageThreadEntry(void* self) {
  static_cast<CWaveOut*>(self)->MessageThread();
  return 0;
}

void CWaveOut::MessageThread() {
  MSG msg;
  // Makes this thread's queue before anyone learns its id.
  PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
  threadId_.store(GetCurrentThreadId());
  started_.Set();
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (msg.message == kQuitMessage) break;
    if (msg.message == MM_WOM_DONE) {
      OnDone(reinterpret_cast<HWAVEOUT>(msg.wParam), reinterpret_cast<WAVEHDR*>(msg.lParam));
    }
  }
}

void CWaveOut::OnDone(HWAVEOUT device, WAVEHDR* header) {
  if (!header || waveOutUnprepareHeader(device, header, sizeof(WAVEHDR)) != MMSYSERR_NOERROR) return;
  const uint32_t length = header->dwBufferLength;
  uint32_t inFlight = bytesInFlight_.load();
  while (!bytesInFlight_.compare_exchange_weak(inFlight, length < inFlight ? inFlight - length : 0)) {
  }
  WaveBuffer* buffer = WaveBuffer::FromHeader(header);
  if (AudioClockRecord* clock = clock_.load()) clock->StorePosition(buffer->timestamp);
  pool_.Release(buffer);
  if (outstanding_.fetch_sub(1) - 1 <= 0 && closing_.load()) drained_.Set();
}

bool CWaveOut::SetFormat(const WAVEFORMATEX* format, AudioClockRecord* clock) {
  bool taken = true;
  if (format) {
    if (UsableFormat(*format)) {
      memcpy(&format_, format, 16);
      format_.cbSize = format->cbSize;
      frameSize_ = static_cast<uint32_t>(format_.wBitsPerSample) * format_.nChannels / 8;
    } else {
      if (!formatRefusalLogged_) {
        LogMessageA("CWaveOut::SetFormat: format refused (%u channels, %u bits, %u Hz)",
                    static_cast<unsigned>(format->nChannels), static_cast<unsigned>(format->wBitsPerSample),
                    static_cast<unsigned>(format->nSamplesPerSec));
      }
      formatRefusalLogged_ = true;
      taken = false;
    }
  }
  clock_.store(clock);
  return taken;
}

void CWaveOut::SetBufferPlan(const uint32_t plan[3]) {
  const uint32_t size = std::clamp(plan[1], kMinPlanBytes, kMaxPlanBytes);
  pool_.Rebuild(static_cast<int32_t>(size), plan[0]);
}

int CWaveOut::Open() {
  if (!threadStarted_) return 0;
  if (device_) Close();
  bytesInFlight_.store(0);
  framesWritten_.store(0);
  HWAVEOUT device = nullptr;
  if (waveOutOpen(&device, deviceId_, &format_, threadId_.load(), 0, CALLBACK_THREAD) != MMSYSERR_NOERROR) {
    device_ = nullptr;
    return 0;
  }
  device_ = device;
  outstanding_.store(0);
  drained_.Reset();
  closing_.store(0);
  return 1;
}

bool CWaveOut::WaitDrained(DWORD ms) {
  if (outstanding_.load() <= 0) return true;
  closeWaits_.fetch_add(1);
  return drained_.Wait(ms);
}

// Only blocks written and not yet done hold a close up: they may play out
// for a while, then the device drops the rest and hands each back. A close
// with nothing outstanding returns at once, so a stream's end never stalls
// its caller for nothing.
void CWaveOut::Close() {
  HWAVEOUT device = device_;
  closing_.store(1);  // before the count is read: a block finishing now sets the event
  device_ = nullptr;
  if (device) {
    if (!WaitDrained(kPlayOutWaitMs)) {
      waveOutReset(device);
      WaitDrained(kResetWaitMs);
    }
    if (waveOutClose(device) == WAVERR_STILLPLAYING) {
      waveOutReset(device);
      WaitDrained(kResetWaitMs);
      waveOutClose(device);
    }
  }
  if (AudioClockRecord* clock = clock_.load()) clock->ClearPosition();
}

uint32_t CWaveOut::SetState(uint32_t state) {
  if (state == 0) {
    Close();
  } else if (state == 2) {
    if (device_ && !closing_.load()) waveOutPause(device_);
  } else if (state == 3) {
    Open();
  }
  state_ = state;
  return state;
}

int CWaveOut::Write(const uint8_t* data, uint32_t count, uint64_t timestamp) {
  if (count == 0) return kNothing;
  if (!device_) return kNoDevice;
  if (state_ != 3) return kNotPlaying;
  if (closing_.load()) return kClosing;
  WaveBuffer* buffer = pool_.Take(count);
  if (!buffer) return kNoBuffer;
  memcpy(buffer->Audio(), data, count);
  buffer->timestamp = timestamp;
  waveOutPrepareHeader(device_, &buffer->header, sizeof(WAVEHDR));
  outstanding_.fetch_add(1);
  if (waveOutWrite(device_, &buffer->header, sizeof(WAVEHDR)) != MMSYSERR_NOERROR) {
    outstanding_.fetch_sub(1);
    waveOutUnprepareHeader(device_, &buffer->header, sizeof(WAVEHDR));
    pool_.Release(buffer);
    return kRefused;
  }
  bytesInFlight_.fetch_add(count);
  framesWritten_.fetch_add(count / frameSize_);
  pool_.EnsureSpare();
  return kQueued;
}

uint32_t CWaveOut::GetUnplayedFrames() {
  if (!device_) return 0;
  MMTIME time{};
  time.wType = TIME_SAMPLES;
  if (waveOutGetPosition(device_, &time, sizeof(time)) != MMSYSERR_NOERROR) return 0;
  return framesWritten_.load() - time.u.sample;
}

void CWaveOut::Shutdown() {
  if (!threadStarted_) return;
  Close();
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (!PostThreadMessageW(threadId_.load(), kQuitMessage, 0, 0)) continue;
    if (WaitForSingleObject(thread_, 3000) == WAIT_OBJECT_0) break;
  }
  CloseHandle(thread_);
  thread_ = nullptr;
  threadId_.store(0);
  threadStarted_ = 0;
}
