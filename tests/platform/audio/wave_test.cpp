// Wave output and input on the virtual clock, and the thread message queue
// that carries the output's notifications.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "WaveTestSupport.h"
#include "pelplat/thread.h"
#include "pelplat/wavebackend.h"
#include "pelplat/winerror.h"
#include "pelplat/winuser.h"

namespace {

using pelplat::wave::VirtualWaveBackend;

class VirtualWave : public ::testing::Test {
 protected:
  void SetUp() override { pelplat::wave::SetBackend(&backend); }
  void TearDown() override { pelplat::wave::SetBackend(nullptr); }

  HWAVEOUT OpenOut(const WAVEFORMATEX& f) {
    HWAVEOUT h = nullptr;
    EXPECT_EQ(MMSYSERR_NOERROR, waveOutOpen(&h, WAVE_MAPPER, &f, events.CallbackArg(), events.Instance(),
                                            CALLBACK_FUNCTION));
    return h;
  }
  void Queue(HWAVEOUT h, WAVEHDR* hdr, std::vector<uint8_t>* bytes) {
    hdr->lpData = reinterpret_cast<LPSTR>(bytes->data());
    hdr->dwBufferLength = static_cast<DWORD>(bytes->size());
    ASSERT_EQ(MMSYSERR_NOERROR, waveOutPrepareHeader(h, hdr, sizeof(WAVEHDR)));
    ASSERT_EQ(MMSYSERR_NOERROR, waveOutWrite(h, hdr, sizeof(WAVEHDR)));
  }
  DWORD Position(HWAVEOUT h) {
    MMTIME t{};
    t.wType = TIME_SAMPLES;
    EXPECT_EQ(MMSYSERR_NOERROR, waveOutGetPosition(h, &t, sizeof(t)));
    return t.u.sample;
  }

  VirtualWaveBackend backend;
  WaveEvents events;
};

TEST_F(VirtualWave, BufferIsDoneWhenPlayedNotWhenWritten) {
  HWAVEOUT h = OpenOut(PcmFormat(2, 44100, 16));
  std::vector<uint8_t> a(1600, 1), b(1600, 2);
  WAVEHDR ha{}, hb{};
  Queue(h, &ha, &a);
  Queue(h, &hb, &b);
  ASSERT_TRUE(Eventually([&] { return backend.FramesWritten() == 800; }));
  EXPECT_EQ(0u, events.Count(WOM_DONE));
  EXPECT_EQ(0u, Position(h));

  backend.Advance(399);
  EXPECT_EQ(399u, Position(h));
  backend.Advance(1);
  ASSERT_TRUE(events.WaitFor(WOM_DONE, 1));
  EXPECT_EQ(&ha, events.Headers(WOM_DONE)[0]);
  EXPECT_TRUE(ha.dwFlags & WHDR_DONE);
  EXPECT_FALSE(ha.dwFlags & WHDR_INQUEUE);
  EXPECT_TRUE(hb.dwFlags & WHDR_INQUEUE);
  EXPECT_EQ(DWORD(WAVERR_STILLPLAYING), waveOutUnprepareHeader(h, &hb, sizeof(WAVEHDR)));
  EXPECT_EQ(DWORD(WAVERR_STILLPLAYING), waveOutClose(h));

  backend.Advance(400);
  ASSERT_TRUE(events.WaitFor(WOM_DONE, 2));
  EXPECT_EQ(800u, Position(h));
  EXPECT_EQ(MMSYSERR_NOERROR, waveOutUnprepareHeader(h, &hb, sizeof(WAVEHDR)));
  EXPECT_EQ(MMSYSERR_NOERROR, waveOutClose(h));
  EXPECT_EQ(1u, events.Count(WOM_CLOSE));
  EXPECT_TRUE(std::string(1600, '\1') + std::string(1600, '\2') == backend.BytesWritten());
}

TEST_F(VirtualWave, PlayingAsWrittenFinishesEveryBufferWithoutTheClock) {
  backend.PlayAsWritten(true);
  HWAVEOUT h = OpenOut(PcmFormat(2, 44100, 16));
  std::vector<uint8_t> a(1600, 1), b(400, 2);
  WAVEHDR ha{}, hb{};
  Queue(h, &ha, &a);
  Queue(h, &hb, &b);
  ASSERT_TRUE(events.WaitFor(WOM_DONE, 2));
  EXPECT_EQ(500u, Position(h));
  EXPECT_EQ(MMSYSERR_NOERROR, waveOutClose(h));
}

TEST_F(VirtualWave, ResetReturnsEveryBufferAndTheClockStartsAgain) {
  HWAVEOUT h = OpenOut(PcmFormat(1, 8000, 8));
  std::vector<uint8_t> a(100), b(100);
  WAVEHDR ha{}, hb{};
  Queue(h, &ha, &a);
  Queue(h, &hb, &b);
  ASSERT_TRUE(Eventually([&] { return backend.FramesWritten() == 200; }));
  backend.Advance(50);
  EXPECT_EQ(50u, Position(h));
  EXPECT_EQ(MMSYSERR_NOERROR, waveOutReset(h));
  EXPECT_EQ(2u, events.Count(WOM_DONE));
  EXPECT_EQ(0u, Position(h));
  EXPECT_EQ(MMSYSERR_NOERROR, waveOutClose(h));
}

TEST_F(VirtualWave, PauseHoldsTheClock) {
  HWAVEOUT h = OpenOut(PcmFormat(2, 44100, 16));
  std::vector<uint8_t> a(4000);
  WAVEHDR ha{};
  Queue(h, &ha, &a);
  ASSERT_TRUE(Eventually([&] { return backend.FramesWritten() == 1000; }));
  EXPECT_EQ(MMSYSERR_NOERROR, waveOutPause(h));
  backend.Advance(300);
  EXPECT_EQ(0u, Position(h));
  EXPECT_EQ(MMSYSERR_NOERROR, waveOutRestart(h));
  backend.Advance(300);
  EXPECT_EQ(300u, Position(h));
  waveOutReset(h);
  EXPECT_EQ(MMSYSERR_NOERROR, waveOutClose(h));
}

TEST_F(VirtualWave, RefusedOpens) {
  HWAVEOUT h = nullptr;
  struct Case {
    const char* name;
    WAVEFORMATEX format;
    MMRESULT expected;
  };
  WAVEFORMATEX adpcm = PcmFormat(2, 44100, 16);
  adpcm.wFormatTag = 2;
  const Case cases[] = {
      {"no channels", PcmFormat(0, 44100, 16), WAVERR_BADFORMAT},
      {"4 bits", PcmFormat(1, 44100, 4), WAVERR_BADFORMAT},
      {"rate 0", PcmFormat(2, 0, 16), WAVERR_BADFORMAT},
      {"compressed", adpcm, WAVERR_BADFORMAT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.expected, waveOutOpen(&h, WAVE_MAPPER, &c.format, 0, 0, CALLBACK_NULL));
    EXPECT_EQ(nullptr, h);
  }
  backend.FailOpens(true);
  const WAVEFORMATEX good = PcmFormat(2, 44100, 16);
  EXPECT_EQ(MMSYSERR_NODRIVER, waveOutOpen(&h, WAVE_MAPPER, &good, 0, 0, CALLBACK_NULL));
  EXPECT_EQ(MMSYSERR_INVALHANDLE, waveOutWrite(h, nullptr, sizeof(WAVEHDR)));
}

TEST_F(VirtualWave, DoneNotificationsReachTheThreadThatAskedForThem) {
  MSG msg;
  PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
  const WAVEFORMATEX f = PcmFormat(2, 44100, 16);
  HWAVEOUT h = nullptr;
  ASSERT_EQ(MMSYSERR_NOERROR, waveOutOpen(&h, WAVE_MAPPER, &f, GetCurrentThreadId(), 0, CALLBACK_THREAD));
  std::vector<uint8_t> a(400);
  WAVEHDR ha{};
  ha.lpData = reinterpret_cast<LPSTR>(a.data());
  ha.dwBufferLength = 400;
  waveOutPrepareHeader(h, &ha, sizeof(ha));
  waveOutWrite(h, &ha, sizeof(ha));
  ASSERT_TRUE(Eventually([&] { return backend.FramesWritten() == 100; }));
  backend.Advance(100);
  bool done = false;
  ASSERT_TRUE(Eventually([&] {
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == MM_WOM_DONE) {
        EXPECT_EQ(reinterpret_cast<WPARAM>(h), msg.wParam);
        EXPECT_EQ(reinterpret_cast<LPARAM>(&ha), msg.lParam);
        done = true;
      }
    }
    return done;
  }));
  EXPECT_EQ(MMSYSERR_NOERROR, waveOutClose(h));
}

TEST(ThreadMessages, PostsWaitForTheQueueAndArriveInOrder) {
  DWORD id = 0;
  std::mutex m;
  std::condition_variable cv;
  bool ready = false;
  std::vector<UINT> got;
  std::thread reader([&] {
    MSG msg;
    {
      std::lock_guard<std::mutex> lock(m);
      id = GetCurrentThreadId();
    }
    cv.notify_all();
    {
      std::unique_lock<std::mutex> lock(m);
      cv.wait(lock, [&] { return ready; });
    }
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) got.push_back(msg.message);
  });
  {
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return id != 0; });
  }
  // The reader has no queue yet.
  EXPECT_FALSE(PostThreadMessageW(id, WM_USER, 0, 0));
  EXPECT_EQ(DWORD(ERROR_INVALID_THREAD_ID), GetLastError());
  {
    std::lock_guard<std::mutex> lock(m);
    ready = true;
  }
  cv.notify_all();
  ASSERT_TRUE(Eventually([&] { return PostThreadMessageW(id, WM_USER + 1, 0, 0) != 0; }));
  EXPECT_TRUE(PostThreadMessageW(id, WM_USER + 2, 0, 0));
  EXPECT_TRUE(PostThreadMessageW(id, WM_QUIT, 0, 0));
  reader.join();
  ASSERT_GE(got.size(), 2u);
  EXPECT_EQ(WM_USER + 2, got.back());
  MSG msg;
  EXPECT_EQ(-1, GetMessageW(&msg, reinterpret_cast<HWND>(1), 0, 0));
}

class VirtualCapture : public VirtualWave {
 protected:
  HWAVEIN OpenIn() {
    const WAVEFORMATEX f = PcmFormat(1, 22050, 16);
    HWAVEIN h = nullptr;
    EXPECT_EQ(MMSYSERR_NOERROR,
              waveInOpen(&h, WAVE_MAPPER, &f, events.CallbackArg(), events.Instance(), CALLBACK_FUNCTION));
    return h;
  }
  void Add(HWAVEIN h, WAVEHDR* hdr, std::vector<uint8_t>* bytes) {
    hdr->lpData = reinterpret_cast<LPSTR>(bytes->data());
    hdr->dwBufferLength = static_cast<DWORD>(bytes->size());
    ASSERT_EQ(MMSYSERR_NOERROR, waveInPrepareHeader(h, hdr, sizeof(WAVEHDR)));
    ASSERT_EQ(MMSYSERR_NOERROR, waveInAddBuffer(h, hdr, sizeof(WAVEHDR)));
  }
};

TEST_F(VirtualCapture, BuffersFillInOrderAndStopReturnsThePartialOne) {
  HWAVEIN h = OpenIn();
  EXPECT_EQ(1u, events.Count(WIM_OPEN));
  std::vector<uint8_t> a(100), b(100), c(100);
  WAVEHDR ha{}, hb{}, hc{};
  Add(h, &ha, &a);
  Add(h, &hb, &b);
  Add(h, &hc, &c);
  std::vector<uint8_t> source(150);
  for (size_t i = 0; i < source.size(); ++i) source[i] = static_cast<uint8_t>(i);
  backend.FeedCapture(source.data(), source.size());  // fed before the start: held back
  EXPECT_EQ(MMSYSERR_NOERROR, waveInStart(h));
  ASSERT_TRUE(events.WaitFor(WIM_DATA, 1));
  EXPECT_EQ(&ha, events.Headers(WIM_DATA)[0]);
  EXPECT_EQ(100u, ha.dwBytesRecorded);
  EXPECT_EQ(0, memcmp(a.data(), source.data(), 100));
  // Read means recorded: the stop below takes the device's lock first.
  ASSERT_TRUE(Eventually([&] { return backend.CaptureBacklog() == 0; }));
  EXPECT_EQ(MMSYSERR_NOERROR, waveInStop(h));
  EXPECT_EQ(50u, hb.dwBytesRecorded);
  ASSERT_EQ(2u, events.Count(WIM_DATA));
  EXPECT_EQ(&hb, events.Headers(WIM_DATA)[1]);
  EXPECT_EQ(0, memcmp(b.data(), source.data() + 100, 50));
  EXPECT_EQ(DWORD(WAVERR_STILLPLAYING), waveInClose(h));
  EXPECT_EQ(MMSYSERR_NOERROR, waveInReset(h));
  EXPECT_EQ(3u, events.Count(WIM_DATA));
  EXPECT_EQ(0u, hc.dwBytesRecorded);
  EXPECT_EQ(MMSYSERR_NOERROR, waveInClose(h));
  EXPECT_EQ(1u, events.Count(WIM_CLOSE));
}

}  // namespace
