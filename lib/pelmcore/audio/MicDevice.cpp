#include "audio/MicDevice.h"

#include "pelplat/debugout.h"

#include <cstring>
#include <new>

#include "audio/AudioMessages.h"
#include "audio/PcmFormat.h"
#include "pelplat/synch.h"
#include "pelplat/utf16.h"
#include "pelplat/wavebackend.h"
#include "session/SlotDataProcessor.h"
#include "sys/klog.h"

CMmDevice::CMmDevice() {
  drained_.Create(true, false);
}

CMmDevice::~CMmDevice() {
  drained_.Close();
}

void CMmDevice::EnableSending(uint32_t flag) {
  CxAutoLock hold(&lock_);
  sendingEnabled_ = flag;
}

bool CMmDevice::Stopping() {
  CxAutoLock hold(&lock_);
  return stopping_ != 0 && capturing_ != 0;
}

CMicDevice::CMicDevice() { announcedValue_ = kAnnouncedValue; }

CMicDevice::~CMicDevice() {
  // Owners stop and close first; a capture left running would call into a
  // dead object.
  Stop();
  Close();
}

void CMicDevice::CALLBACK_Capture(HANDLE device, UINT message, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR) {
  if (message != WIM_DATA) return;
  reinterpret_cast<CMicDevice*>(instance)->OnBufferDone(static_cast<HWAVEIN>(device),
                                                       reinterpret_cast<WAVEHDR*>(param1));
}

int CMicDevice::Open() {
  format_ = PcmWaveFormat(1, 22050, 16);
  HWAVEIN device = nullptr;
  if (waveInOpen(&device, WAVE_MAPPER, &format_, reinterpret_cast<DWORD_PTR>(&CMicDevice::CALLBACK_Capture),
                 reinterpret_cast<DWORD_PTR>(this), CALLBACK_FUNCTION) != MMSYSERR_NOERROR) {
    // The server may ask again and again; one line until an open works.
    if (!openFailureLogged_) {
      const std::string reason = pelplat::wave::LastOpenFailure();
      ReportErrorToUser("the microphone \"" + InputDeviceName() + "\" cannot be opened: " +
                        (reason.empty() ? "no reason given" : reason));
      openFailureLogged_ = true;
    }
    return 0;
  }
  openFailureLogged_ = false;
  CxAutoLock hold(&lock_);
  device_ = device;
  open_ = 1;
  return 1;
}

bool CMicDevice::QueueBuffer(HWAVEIN device) {
  auto* header = new (std::nothrow) WAVEHDR{};
  char* data = new (std::nothrow) char[bufferSize_];
  if (!header || !data) {
    delete header;
    delete[] data;
    return false;
  }
  header->lpData = data;
  header->dwBufferLength = bufferSize_;
  if (waveInPrepareHeader(device, header, sizeof(WAVEHDR)) != MMSYSERR_NOERROR ||
      waveInAddBuffer(device, header, sizeof(WAVEHDR)) != MMSYSERR_NOERROR) {
    waveInUnprepareHeader(device, header, sizeof(WAVEHDR));
    delete[] data;
    delete header;
    return false;
  }
  ++queued_;
  return true;
}

int CMicDevice::Start(CSlotDataProcessor* sink) {
  HWAVEIN device;
  {
    CxAutoLock hold(&lock_);
    if (!open_ || !device_) return 0;
    device = device_;
    capturing_ = 1;
    stopping_ = 0;
    sink_ = sink;
    for (int i = 0; i < kQueuedBuffers; ++i) QueueBuffer(device);
  }
  bool started = false;
  for (int attempt = 0; attempt < 5 && !started; ++attempt) started = waveInStart(device) == MMSYSERR_NOERROR;
  CxAutoLock hold(&lock_);
  capturing_ = started ? 1 : 0;
  if (!started) sink_ = nullptr;
  return static_cast<int>(capturing_);
}

void CMicDevice::Stop() {
  HWAVEIN device;
  {
    CxAutoLock hold(&lock_);
    if (!capturing_) return;
    sink_ = nullptr;
    drained_.Reset();
    stopping_ = 1;
    device = device_;
    if (queued_ == 0) drained_.Set();
  }
  drained_.Wait(4 * stopWaitUnit_);
  {
    CxAutoLock hold(&lock_);
    capturing_ = 0;
  }
  waveInStop(device);
  // Buffers that never came back are taken back now, so the close finds
  // none queued.
  waveInReset(device);
}

void CMicDevice::Close() {
  HWAVEIN device;
  {
    CxAutoLock hold(&lock_);
    if (!open_) return;
    device = device_;
    open_ = 0;
    device_ = nullptr;
  }
  waveInClose(device);
}

void CMicDevice::OnBufferDone(HWAVEIN device, WAVEHDR* header) {
  CxAutoLock hold(&lock_);
  const uint32_t n = header->dwBytesRecorded;
  if (capturing_ && !stopping_ && sendingEnabled_ && sink_ && n != 0) {
    const std::vector<uint8_t> message = audiomsg::MicData(reinterpret_cast<uint8_t*>(header->lpData), n);
    if (!message.empty()) sink_->OnClientData(message.data(), static_cast<uint32_t>(message.size()));
  }
  waveInUnprepareHeader(device, header, sizeof(WAVEHDR));
  --queued_;
  delete[] header->lpData;
  delete header;
  returned_.fetch_add(1);
  if (!open_) return;
  if (stopping_ && queued_ == 0) drained_.Set();
  if (capturing_ && !stopping_) QueueBuffer(device);
}

void CMicDevice::SetState(CSlotDataProcessor* sink, uint32_t state) {
  switch (state) {
    case 0:
      Stop();
      Close();
      break;
    case 2:
      EnableSending(0);
      break;
    case 3:
      // A second open would leave the first capture running unreachable:
      // an open device only starts sending again.
      if (IsOpen() || Open()) {
        EnableSending(1);
        if (!Capturing()) Start(sink);
        Sleep(100);
      }
      break;
    default:
      break;
  }
}

int CMicDevice::SetFormat(const WAVEFORMATEX* format) {
  if (format) format_ = *format;
  return 1;
}

std::string CMicDevice::InputDeviceName() {
  WAVEINCAPSW caps{};
  if (waveInGetDevCapsW(WAVE_MAPPER, &caps, sizeof(caps)) != MMSYSERR_NOERROR) return "?";
  size_t n = 0;
  while (n < 31 && caps.szPname[n]) ++n;
  return Utf16ToUtf8(caps.szPname, n);
}

int CMicDevice::QueryCaps() {
  WAVEINCAPSW caps{};
  if (waveInGetDevCapsW(WAVE_MAPPER, &caps, sizeof(caps)) != MMSYSERR_NOERROR) return 0;
  CxAutoLock hold(&lock_);
  supportedFormats_ = caps.dwFormats;
  size_t n = 0;
  while (n < 31 && caps.szPname[n]) ++n;
  deviceName_.reset(new WCHAR[n + 1]);
  std::copy(caps.szPname, caps.szPname + n, deviceName_.get());
  deviceName_[n] = 0;
  return 1;
}

uint32_t CMicDevice::BuildAnnounce(uint8_t** out) {
  *out = new (std::nothrow) uint8_t[kAnnounceBytes];
  if (!*out) return 0;
  const auto record = audiomsg::MicAnnouncement(announcedValue_, bufferSize_);
  memcpy(*out, record.data(), record.size());
  return kAnnounceBytes;
}
