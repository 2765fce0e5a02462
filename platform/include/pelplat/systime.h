// System and local time, tick counts.
#pragma once

#include <ctime>

#include "pelplat/wintypes.h"

struct SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
};

void GetSystemTime(SYSTEMTIME* st);   // UTC
void GetLocalTime(SYSTEMTIME* st);
DWORD GetTickCount();                 // milliseconds since an arbitrary start, wraps
ULONGLONG GetTickCount64();
// Thread-safe local time of a time_t; false when it cannot be converted.
bool LocalTimeOf(time_t t, struct tm* out);
