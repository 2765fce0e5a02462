// Compressed-audio conversion: the subset the audio stream calls, decoding a
// compressed wave format to 16-bit PCM of the same rate and channel count.
// libavcodec decodes, libswresample interleaves.
#pragma once

#include "pelplat/mmsystem.h"

struct HACMSTREAM__;
typedef HACMSTREAM__* HACMSTREAM;
typedef HACMSTREAM* LPHACMSTREAM;
struct HACMDRIVER__;
typedef HACMDRIVER__* HACMDRIVER;
struct WAVEFILTER;
typedef WAVEFILTER* LPWAVEFILTER;

#define ACMERR_BASE 512u
#define ACMERR_NOTPOSSIBLE (ACMERR_BASE + 0)
#define ACMERR_BUSY (ACMERR_BASE + 1)
#define ACMERR_UNPREPARED (ACMERR_BASE + 2)

#define ACM_STREAMOPENF_QUERY 0x00000001u
#define ACM_STREAMOPENF_NONREALTIME 0x00000004u
#define ACM_STREAMSIZEF_SOURCE 0x00000000u
#define ACM_STREAMSIZEF_DESTINATION 0x00000001u
#define ACM_STREAMCONVERTF_BLOCKALIGN 0x00000004u
#define ACM_STREAMCONVERTF_START 0x00000010u
#define ACM_STREAMCONVERTF_END 0x00000020u
#define ACMSTREAMHEADER_STATUSF_DONE 0x00010000u
#define ACMSTREAMHEADER_STATUSF_PREPARED 0x00020000u
#define ACMSTREAMHEADER_STATUSF_INQUEUE 0x00100000u

#define WAVE_FORMAT_ADPCM 0x0002u
#define WAVE_FORMAT_IEEE_FLOAT 0x0003u
#define WAVE_FORMAT_ALAW 0x0006u
#define WAVE_FORMAT_MULAW 0x0007u
#define WAVE_FORMAT_IMA_ADPCM 0x0011u
#define WAVE_FORMAT_GSM610 0x0031u

// cbStruct is sizeof(ACMSTREAMHEADER) of this build.
struct ACMSTREAMHEADER {
  DWORD cbStruct;
  DWORD fdwStatus;
  DWORD_PTR dwUser;
  LPBYTE pbSrc;
  DWORD cbSrcLength;
  DWORD cbSrcLengthUsed;
  DWORD_PTR dwSrcUser;
  LPBYTE pbDst;
  DWORD cbDstLength;
  DWORD cbDstLengthUsed;
  DWORD_PTR dwDstUser;
  DWORD dwReservedDriver[10];
};
typedef ACMSTREAMHEADER* LPACMSTREAMHEADER;

// The source format's cbSize extra bytes follow it in memory. Only a
// destination of 16-bit PCM with the source's rate and channels converts;
// driver, filter and callback must be null.
MMRESULT acmStreamOpen(LPHACMSTREAM stream, HACMDRIVER driver, LPCWAVEFORMATEX source,
                       LPCWAVEFORMATEX destination, LPWAVEFILTER filter, DWORD_PTR callback,
                       DWORD_PTR instance, DWORD flags);
// ACM_STREAMSIZEF_SOURCE: the destination bytes that `input` source bytes
// can produce at most.
MMRESULT acmStreamSize(HACMSTREAM stream, DWORD input, LPDWORD output, DWORD flags);
MMRESULT acmStreamPrepareHeader(HACMSTREAM stream, LPACMSTREAMHEADER header, DWORD flags);
MMRESULT acmStreamConvert(HACMSTREAM stream, LPACMSTREAMHEADER header, DWORD flags);
MMRESULT acmStreamUnprepareHeader(HACMSTREAM stream, LPACMSTREAMHEADER header, DWORD flags);
MMRESULT acmStreamClose(HACMSTREAM stream, DWORD flags);
