// Wave output and wave input: the subset the audio slot, the microphone and
// the audio stream call, with the Windows names and meanings. Behind them a
// backend (pelplat/wavebackend.h): ALSA by default.
#pragma once

#include "pelplat/wintypes.h"

typedef UINT MMRESULT;
typedef ULONG_PTR DWORD_PTR;

#define MMSYSERR_NOERROR 0u
#define MMSYSERR_ERROR 1u
#define MMSYSERR_BADDEVICEID 2u
#define MMSYSERR_ALLOCATED 4u
#define MMSYSERR_INVALHANDLE 5u
#define MMSYSERR_NODRIVER 6u
#define MMSYSERR_NOMEM 7u
#define MMSYSERR_NOTSUPPORTED 8u
#define MMSYSERR_INVALFLAG 10u
#define MMSYSERR_INVALPARAM 11u
#define WAVERR_BADFORMAT 32u
#define WAVERR_STILLPLAYING 33u
#define WAVERR_UNPREPARED 34u

#define WAVE_MAPPER 0xFFFFFFFFu
#define WAVE_FORMAT_PCM 1u

#define CALLBACK_TYPEMASK 0x00070000u
#define CALLBACK_NULL 0x00000000u
#define CALLBACK_THREAD 0x00020000u
#define CALLBACK_FUNCTION 0x00030000u

#define MM_WOM_OPEN 0x3BBu
#define MM_WOM_CLOSE 0x3BCu
#define MM_WOM_DONE 0x3BDu
#define MM_WIM_OPEN 0x3BEu
#define MM_WIM_CLOSE 0x3BFu
#define MM_WIM_DATA 0x3C0u
#define WOM_OPEN MM_WOM_OPEN
#define WOM_CLOSE MM_WOM_CLOSE
#define WOM_DONE MM_WOM_DONE
#define WIM_OPEN MM_WIM_OPEN
#define WIM_CLOSE MM_WIM_CLOSE
#define WIM_DATA MM_WIM_DATA

#define WHDR_DONE 0x00000001u
#define WHDR_PREPARED 0x00000002u
#define WHDR_INQUEUE 0x00000010u

#define TIME_MS 0x0001u
#define TIME_SAMPLES 0x0002u
#define TIME_BYTES 0x0004u

#define WAVE_FORMAT_1M16 0x00000004u
#define WAVE_FORMAT_2M16 0x00000040u
#define WAVE_FORMAT_4M16 0x00000400u

// Packed as on Windows (18 bytes), so that a format's extra bytes follow
// cbSize directly. Memory layout only: wire records are read field by field.
#pragma pack(push, 1)
struct WAVEFORMATEX {
  WORD wFormatTag;
  WORD nChannels;
  DWORD nSamplesPerSec;
  DWORD nAvgBytesPerSec;
  WORD nBlockAlign;
  WORD wBitsPerSample;
  WORD cbSize;  // extra bytes that follow the record in memory
};
#pragma pack(pop)
static_assert(sizeof(WAVEFORMATEX) == 18, "WAVEFORMATEX keeps its Windows layout");
typedef WAVEFORMATEX* LPWAVEFORMATEX;
typedef const WAVEFORMATEX* LPCWAVEFORMATEX;

struct WAVEHDR {
  LPSTR lpData;
  DWORD dwBufferLength;
  DWORD dwBytesRecorded;
  DWORD_PTR dwUser;
  DWORD dwFlags;
  DWORD dwLoops;
  WAVEHDR* lpNext;
  DWORD_PTR reserved;
};
typedef WAVEHDR* LPWAVEHDR;

struct MMTIME {
  UINT wType;
  union {
    DWORD ms;
    DWORD sample;
    DWORD cb;
  } u;
};
typedef MMTIME* LPMMTIME;

struct WAVEINCAPSW {
  WORD wMid;
  WORD wPid;
  UINT vDriverVersion;
  WCHAR szPname[32];
  DWORD dwFormats;
  WORD wChannels;
  WORD wReserved1;
};

struct HWAVEOUT__;
typedef HWAVEOUT__* HWAVEOUT;
typedef HWAVEOUT* LPHWAVEOUT;
struct HWAVEIN__;
typedef HWAVEIN__* HWAVEIN;
typedef HWAVEIN* LPHWAVEIN;

// CALLBACK_FUNCTION: called on the device's own thread, never under a lock
// of the stand-in, so it may add and unprepare buffers.
typedef void (*WAVECALLBACK)(HANDLE device, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                             DWORD_PTR param2);

// Output. Done buffers are announced with MM_WOM_DONE (wParam the device,
// lParam the header) once the sound device has played them.
UINT waveOutGetNumDevs();
MMRESULT waveOutOpen(LPHWAVEOUT device, UINT deviceId, LPCWAVEFORMATEX format, DWORD_PTR callback,
                     DWORD_PTR instance, DWORD flags);
MMRESULT waveOutPrepareHeader(HWAVEOUT device, LPWAVEHDR header, UINT size);
MMRESULT waveOutUnprepareHeader(HWAVEOUT device, LPWAVEHDR header, UINT size);
MMRESULT waveOutWrite(HWAVEOUT device, LPWAVEHDR header, UINT size);
MMRESULT waveOutPause(HWAVEOUT device);
MMRESULT waveOutRestart(HWAVEOUT device);
// Returns every queued buffer as done and the position to 0.
MMRESULT waveOutReset(HWAVEOUT device);
// WAVERR_STILLPLAYING while buffers are queued.
MMRESULT waveOutClose(HWAVEOUT device);
// TIME_SAMPLES (and TIME_BYTES): played since the open or the last reset.
MMRESULT waveOutGetPosition(HWAVEOUT device, LPMMTIME time, UINT size);
// Accepted and ignored: the system mixer is the user's, not ours.
MMRESULT waveOutSetVolume(HWAVEOUT device, DWORD volume);

// Input. Filled buffers come back with WIM_DATA in recording order.
UINT waveInGetNumDevs();
MMRESULT waveInGetDevCapsW(UINT_PTR deviceId, WAVEINCAPSW* caps, UINT size);
MMRESULT waveInOpen(LPHWAVEIN device, UINT deviceId, LPCWAVEFORMATEX format, DWORD_PTR callback,
                    DWORD_PTR instance, DWORD flags);
MMRESULT waveInPrepareHeader(HWAVEIN device, LPWAVEHDR header, UINT size);
MMRESULT waveInUnprepareHeader(HWAVEIN device, LPWAVEHDR header, UINT size);
MMRESULT waveInAddBuffer(HWAVEIN device, LPWAVEHDR header, UINT size);
MMRESULT waveInStart(HWAVEIN device);
// Returns the buffer being filled (with what it holds); the others stay queued.
MMRESULT waveInStop(HWAVEIN device);
// Returns every queued buffer.
MMRESULT waveInReset(HWAVEIN device);
// WAVERR_STILLPLAYING while buffers are queued.
MMRESULT waveInClose(HWAVEIN device);
