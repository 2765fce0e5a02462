// scripts/demo.sh as a user runs it, on an X server of its own with ALSA's
// file PCM as the sound card: the session window shows the clip played
// through multimedia redirection and the H.264 stream in the desktop's keyed
// window, both changing while they play; the clip's sound reaches the sound
// card; closing the session window (and saying yes to the question) ends
// the demo well.
#include <fcntl.h>
#include <glob.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "XDesktop.h"
#include "support/PressUntilEnded.h"

extern char** environ;

namespace {

constexpr int kWaitMs = 120000;  // the demo makes its clips with ffmpeg first
// Areas of the demo's 800 x 600 desktop: the redirected clip's window and
// the inside of the window that holds the key colour.
struct Area {
  const char* name;
  int left, top, right, bottom;
};
constexpr Area kClip = {"the redirected clip", 100, 110, 420, 290};
constexpr Area kStream = {"the keyed stream", 360, 246, 740, 500};
constexpr size_t kPicturesWanted = 2;  // of the video, unlike each other
constexpr int kTolerance = 24;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The demo's desktop picture (the plain PPM its awk writes) as 0xRRGGBB.
std::vector<uint32_t> ReadDesktop(const std::string& path, int* width) {
  std::ifstream in(path);
  std::string magic;
  int w = 0, h = 0, max = 0;
  in >> magic >> w >> h >> max;
  std::vector<uint32_t> pixels;
  if (magic != "P3" || w <= 0 || h <= 0) return pixels;
  pixels.reserve(size_t(w) * h);
  for (int r, g, b; pixels.size() < size_t(w) * h && in >> r >> g >> b;)
    pixels.push_back(uint32_t(r) << 16 | uint32_t(g) << 8 | uint32_t(b));
  *width = w;
  return pixels;
}

bool Near(uint32_t a, uint32_t b) {
  for (int shift = 0; shift < 24; shift += 8)
    if (std::abs(int((a >> shift) & 0xFF) - int((b >> shift) & 0xFF)) > kTolerance) return false;
  return true;
}

// A hash of the area when most of it is unlike the desktop there (the
// video shows), else 0.
size_t VideoPicture(const std::vector<uint32_t>& pixels, int width, const std::vector<uint32_t>& desktop,
                    int desktopWidth, const Area& a) {
  size_t h = 1469598103934665603ull, unlike = 0;
  for (int y = a.top; y < a.bottom; ++y)
    for (int x = a.left; x < a.right; ++x) {
      const uint32_t shown = pixels[size_t(y) * width + x];
      h = (h ^ shown) * 1099511628211ull;
      unlike += !Near(shown, desktop[size_t(y) * desktopWidth + x]);
    }
  return unlike * 2 > size_t(a.right - a.left) * (a.bottom - a.top) ? h : 0;
}

// The demo in a process group of its own, so that whatever it started
// ends with it when a check fails half-way.
class DemoRun {
 public:
  DemoRun() {
    char dir[] = "/tmp/pellum-demo-test-XXXXXX";
    home_ = mkdtemp(dir);
    std::ofstream(home_ + "/.asoundrc") << "pcm.pellum_play {\n  type file\n  slave.pcm \"null\"\n  file \""
                                        << Played() << "\"\n  format \"raw\"\n}\n";
  }
  ~DemoRun() {
    if (pid_ > 0) {
      kill(-pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    std::system(("rm -rf " + home_).c_str());
  }

  bool Start() {
    // The demo's own folder lands in the test's home too.
    std::vector<std::string> env = {"HOME=" + home_, "TMPDIR=" + home_, "PELLUM_AUDIO_PLAYBACK=pellum_play"};
    for (char** e = environ; *e; ++e)
      if (strncmp(*e, "HOME=", 5) != 0 && strncmp(*e, "TMPDIR=", 7) != 0 &&
          strncmp(*e, "PELLUM_AUDIO_PLAYBACK=", 22) != 0)
        env.push_back(*e);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string script = PELLUM_SOURCE_DIR "/scripts/demo.sh", build = PELLUM_BUILD_DIR;
    char* argv[] = {const_cast<char*>("bash"), script.data(), build.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, (home_ + "/demo.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    const bool started = posix_spawn(&pid_, "/bin/bash", &actions, &attributes, argv, envp.data()) == 0;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (!started) pid_ = 0;
    return started;
  }

  // The demo's exit status once it ends (-1 when it did not in time).
  int WaitEnded(int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    while (std::chrono::steady_clock::now() < end) {
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = 0;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return -1;
  }

  std::string Played() const { return home_ + "/played.raw"; }
  std::string Desktop() const {
    glob_t found{};
    std::string path;
    if (glob((home_ + "/pellum-demo.*/desktop.ppm").c_str(), 0, nullptr, &found) == 0 && found.gl_pathc == 1)
      path = found.gl_pathv[0];
    globfree(&found);
    return path;
  }
  std::string Output() const { return ReadFile(home_ + "/demo.out"); }

 private:
  std::string home_;
  pid_t pid_ = 0;
};

bool Eventually(const std::function<bool()>& done, int timeoutMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  do {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  } while (std::chrono::steady_clock::now() < end);
  return false;
}

TEST(Demo, TheClipAndTheKeyedStreamPlayWithTheClipsSoundUntilTheWindowCloses) {
  XDesktop x;
  ASSERT_TRUE(x.Open()) << "no X server";
  DemoRun demo;
  ASSERT_TRUE(demo.Start());
  XWindowInfo window;
  ASSERT_TRUE(x.WaitForWindow(
      [](const XWindowInfo& w) { return w.title.find(" @ 127.0.0.1") != std::string::npos && w.width == 800; },
      &window, kWaitMs))
      << demo.Output();
  x.Raise(window);
  int desktopWidth = 0;
  const std::vector<uint32_t> desktop = ReadDesktop(demo.Desktop(), &desktopWidth);
  ASSERT_EQ(desktop.size(), 800u * 600) << demo.Desktop();

  std::set<size_t> clipPictures, streamPictures;
  EXPECT_TRUE(Eventually(
      [&] {
        const std::vector<uint32_t> pixels = x.Grab(window);
        if (pixels.size() != size_t(window.width) * window.height) return false;
        if (size_t h = VideoPicture(pixels, window.width, desktop, desktopWidth, kClip)) clipPictures.insert(h);
        if (size_t h = VideoPicture(pixels, window.width, desktop, desktopWidth, kStream)) streamPictures.insert(h);
        return clipPictures.size() >= kPicturesWanted && streamPictures.size() >= kPicturesWanted;
      },
      kWaitMs))
      << kClip.name << " showed " << clipPictures.size() << " pictures, " << kStream.name << " "
      << streamPictures.size() << "\n"
      << demo.Output();

  // The clip's tone, not silence, on the sound card.
  EXPECT_TRUE(Eventually(
      [&] {
        const std::string played = ReadFile(demo.Played());
        return played.find_first_not_of('\0') != std::string::npos;
      },
      kWaitMs))
      << demo.Output();

  // Closing the window asks first; "Yes" (its key, y) ends the session
  // and the demo with it.
  x.Close(window);
  XWindowInfo question;
  ASSERT_TRUE(x.WaitForWindow([](const XWindowInfo& w) { return w.title == "Kelvane Vesk Client(tm)"; }, &question,
                              kWaitMs));
  int status = -1;
  testsupport::PressUntilEnded(x, question, "y", 3000, [&](int waitMs) {
    status = demo.WaitEnded(waitMs);
    return status >= 0;
  });
  EXPECT_EQ(status, 0) << demo.Output();
  const std::string printed = demo.Output();
  EXPECT_NE(printed.find("xclip -selection clipboard -o"), std::string::npos) << printed;
  EXPECT_NE(printed.find("host: clipboard offered "), std::string::npos) << printed;
}

}  // namespace
