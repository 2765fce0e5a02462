#include "pelplat/systime.h"

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

namespace {

time_t SecondsOf(const SYSTEMTIME& st, time_t (*fromTm)(struct tm*)) {
  struct tm tm = {};
  tm.tm_year = st.wYear - 1900;
  tm.tm_mon = st.wMonth - 1;
  tm.tm_mday = st.wDay;
  tm.tm_hour = st.wHour;
  tm.tm_min = st.wMinute;
  tm.tm_sec = st.wSecond;
  tm.tm_isdst = -1;
  const time_t t = fromTm(&tm);
  EXPECT_EQ(st.wDayOfWeek, tm.tm_wday);
  EXPECT_LT(st.wMilliseconds, 1000);
  return t;
}

// A fixed zone two hours east of UTC without summer time, so that no zone
// database is needed.
class FixedZone : public testing::Test {
 protected:
  void SetUp() override {
    const char* old = getenv("TZ");
    hadTz_ = old != nullptr;
    if (old) oldTz_ = old;
    setenv("TZ", "PLT-2", 1);
    tzset();
  }
  void TearDown() override {
    if (hadTz_)
      setenv("TZ", oldTz_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

 private:
  bool hadTz_ = false;
  std::string oldTz_;
};

}  // namespace

TEST_F(FixedZone, LocalTimeOfMatchesLocaltime) {
  const time_t t = 1700000000;  // 2023-11-14 22:13:20 UTC
  struct tm ours = {}, theirs = {};
  ASSERT_TRUE(LocalTimeOf(t, &ours));
  ASSERT_NE(localtime_r(&t, &theirs), nullptr);
  EXPECT_EQ(ours.tm_year, 123);
  EXPECT_EQ(ours.tm_mon, 10);
  EXPECT_EQ(ours.tm_mday, 15);
  EXPECT_EQ(ours.tm_hour, 0);
  EXPECT_EQ(ours.tm_min, 13);
  EXPECT_EQ(ours.tm_sec, 20);
  EXPECT_EQ(ours.tm_wday, 3);
  EXPECT_EQ(mktime(&ours), mktime(&theirs));
  EXPECT_FALSE(LocalTimeOf(t, nullptr));
}

TEST_F(FixedZone, SystemAndLocalTimeAreNow) {
  // The bounds come from the clock the stand-in reads: time() reads a
  // coarser one that can lag it by a tick across a second's boundary.
  auto now = [] {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return ts.tv_sec;
  };
  SYSTEMTIME utc = {}, local = {};
  const time_t before = now();
  GetSystemTime(&utc);
  GetLocalTime(&local);
  const time_t after = now();
  const time_t u = SecondsOf(utc, timegm);
  const time_t l = SecondsOf(local, mktime);
  EXPECT_LE(before, u);
  EXPECT_LE(u, after);
  EXPECT_LE(before, l);
  EXPECT_LE(l, after);
}

TEST(TickCount, CountsMillisecondsOfTheMonotonicClock) {
  auto monotonicMs = [] {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<ULONGLONG>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
  };
  const ULONGLONG before = monotonicMs();
  const ULONGLONG tick = GetTickCount64();
  const DWORD tick32 = GetTickCount();
  const ULONGLONG after = monotonicMs();
  EXPECT_LE(before, tick);
  EXPECT_LE(tick, after);
  EXPECT_EQ(static_cast<DWORD>(tick32 - static_cast<DWORD>(tick)) <= after - before, true);
}
