// Video and audio format structures of media types, with their Windows
// layout (the format block of a media type is these bytes).
#pragma once

#include "pelplat/mmsystem.h"
#include "pelplat/wintypes.h"

typedef LONGLONG REFERENCE_TIME;

struct BITMAPINFOHEADER {
  DWORD biSize;
  LONG biWidth;
  LONG biHeight;
  WORD biPlanes;
  WORD biBitCount;
  DWORD biCompression;
  DWORD biSizeImage;
  LONG biXPelsPerMeter;
  LONG biYPelsPerMeter;
  DWORD biClrUsed;
  DWORD biClrImportant;
};
static_assert(sizeof(BITMAPINFOHEADER) == 40, "BITMAPINFOHEADER keeps its Windows layout");
typedef BITMAPINFOHEADER* LPBITMAPINFOHEADER;

#define BI_RGB 0u
#define BI_BITFIELDS 3u

struct VIDEOINFOHEADER {
  RECT rcSource;
  RECT rcTarget;
  DWORD dwBitRate;
  DWORD dwBitErrorRate;
  REFERENCE_TIME AvgTimePerFrame;
  BITMAPINFOHEADER bmiHeader;
};
static_assert(sizeof(VIDEOINFOHEADER) == 88, "VIDEOINFOHEADER keeps its Windows layout");

struct VIDEOINFOHEADER2 {
  RECT rcSource;
  RECT rcTarget;
  DWORD dwBitRate;
  DWORD dwBitErrorRate;
  REFERENCE_TIME AvgTimePerFrame;
  DWORD dwInterlaceFlags;
  DWORD dwCopyProtectFlags;
  DWORD dwPictAspectRatioX;
  DWORD dwPictAspectRatioY;
  DWORD dwControlFlags;
  DWORD dwReserved2;
  BITMAPINFOHEADER bmiHeader;
};
static_assert(sizeof(VIDEOINFOHEADER2) == 112, "VIDEOINFOHEADER2 keeps its Windows layout");

struct MPEG1VIDEOINFO {
  VIDEOINFOHEADER hdr;
  DWORD dwStartTimeCode;
  DWORD cbSequenceHeader;
  BYTE bSequenceHeader[1];
};
static_assert(sizeof(MPEG1VIDEOINFO) == 104, "MPEG1VIDEOINFO keeps its Windows layout");

struct MPEG2VIDEOINFO {
  VIDEOINFOHEADER2 hdr;
  DWORD dwStartTimeCode;
  DWORD cbSequenceHeader;
  DWORD dwProfile;
  DWORD dwLevel;
  DWORD dwFlags;
  DWORD dwSequenceHeader[1];
};
static_assert(sizeof(MPEG2VIDEOINFO) == 136, "MPEG2VIDEOINFO keeps its Windows layout");

// Where the picture header sits in each video format block.
#define VIDEOINFOHEADER_BMI_OFFSET 48u
#define VIDEOINFOHEADER2_BMI_OFFSET 72u
