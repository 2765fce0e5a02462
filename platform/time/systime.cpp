#include "pelplat/systime.h"

namespace {

void FromTm(const struct tm& tm, long nanoseconds, SYSTEMTIME* st) {
  st->wYear = static_cast<WORD>(tm.tm_year + 1900);
  st->wMonth = static_cast<WORD>(tm.tm_mon + 1);
  st->wDayOfWeek = static_cast<WORD>(tm.tm_wday);
  st->wDay = static_cast<WORD>(tm.tm_mday);
  st->wHour = static_cast<WORD>(tm.tm_hour);
  st->wMinute = static_cast<WORD>(tm.tm_min);
  st->wSecond = static_cast<WORD>(tm.tm_sec);
  st->wMilliseconds = static_cast<WORD>(nanoseconds / 1000000);
}

template <class Convert>
void CurrentTime(SYSTEMTIME* st, Convert convert) {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  struct tm tm = {};
  convert(&now.tv_sec, &tm);
  FromTm(tm, now.tv_nsec, st);
}

}  // namespace

void GetSystemTime(SYSTEMTIME* st) { CurrentTime(st, gmtime_r); }

void GetLocalTime(SYSTEMTIME* st) { CurrentTime(st, localtime_r); }

ULONGLONG GetTickCount64() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<ULONGLONG>(now.tv_sec) * 1000u + static_cast<ULONGLONG>(now.tv_nsec) / 1000000u;
}

DWORD GetTickCount() { return static_cast<DWORD>(GetTickCount64()); }

bool LocalTimeOf(time_t t, struct tm* out) { return out && localtime_r(&t, out) != nullptr; }
