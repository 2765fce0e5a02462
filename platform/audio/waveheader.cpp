// Buffer preparation, the same for output and input: it changes only the
// header's flags and needs no more of a device than that its handle is open.
#include "wavedevice.h"

namespace {

template <class Handle>
MMRESULT Prepare(Handle* device, WAVEHDR* header, UINT size) {
  if (!pelplat::wave::Known(device)) return MMSYSERR_INVALHANDLE;
  return pelplat::wave::PrepareFlags(header, size);
}

// Takes any handle: a notification may be handled after its device closed,
// and the buffer must still come back to its owner.
template <class Handle>
MMRESULT Unprepare(Handle* device, WAVEHDR* header, UINT size) {
  if (!device) return MMSYSERR_INVALHANDLE;
  return pelplat::wave::UnprepareFlags(header, size);
}

}  // namespace

MMRESULT waveOutPrepareHeader(HWAVEOUT device, LPWAVEHDR h, UINT size) { return Prepare(device, h, size); }
MMRESULT waveOutUnprepareHeader(HWAVEOUT device, LPWAVEHDR h, UINT size) { return Unprepare(device, h, size); }
MMRESULT waveInPrepareHeader(HWAVEIN device, LPWAVEHDR h, UINT size) { return Prepare(device, h, size); }
MMRESULT waveInUnprepareHeader(HWAVEIN device, LPWAVEHDR h, UINT size) { return Unprepare(device, h, size); }
