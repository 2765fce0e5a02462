// The display modes offered to the user and to the server, for local
// screens of known sizes.
#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QScreen>
#include <memory>
#include <thread>
#include <vector>

#include "QtTestEnv.h"

namespace {

using ApiPtr = std::unique_ptr<CQtSystemApi, ApiRelease>;

constexpr uint32_t M(uint32_t width, uint32_t height) { return width | (height << 16); }

const std::vector<uint32_t> kSortedFixedModes = {
    M(800, 600),  M(1024, 768), M(1280, 1024), M(1366, 768),  M(1440, 900),
    M(1440, 1024), M(1600, 900), M(1600, 1200), M(1920, 1080), M(1920, 1200),
};

std::vector<uint32_t> With(std::vector<uint32_t> modes, size_t at, uint32_t mode) {
  modes.insert(modes.begin() + at, mode);
  return modes;
}

TEST(DisplayModesTest, ScreenSizeJoinsTheListOnlyWhenNewAndSmallEnough) {
  const struct {
    QSize screen;
    std::vector<uint32_t> expected;
  } cases[] = {
      {QSize(2560, 1440), kSortedFixedModes},                         // larger than 1920 x 1080
      {QSize(1920, 1080), kSortedFixedModes},                         // already listed
      {QSize(1280, 800), With(kSortedFixedModes, 2, M(1280, 800))},   // before 1280 x 1024
      {QSize(1280, 720), With(kSortedFixedModes, 2, M(1280, 720))},
      {QSize(640, 480), With(kSortedFixedModes, 0, M(640, 480))},
      {QSize(1080, 1920), With(kSortedFixedModes, 2, M(1080, 1920))},  // area of 1920 x 1080
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.screen.width() << "x" << c.screen.height());
    ApiPtr api(new ScreenSystemApi({c.screen}));
    std::vector<uint32_t> modes;
    api->GetDisplayModes(modes, 0);
    EXPECT_EQ(modes, c.expected);
  }
}

TEST(DisplayModesTest, ModesAreAppendedToTheCallersList) {
  ApiPtr api(new ScreenSystemApi({QSize(1920, 1080), QSize(1280, 800)}));
  std::vector<uint32_t> modes = {M(1, 1)};
  api->GetDisplayModes(modes, 1);
  ASSERT_EQ(modes.size(), 12u);
  EXPECT_EQ(modes[0], M(1, 1));
  EXPECT_EQ(modes[3], M(1280, 800));
}

TEST(DisplayModesTest, BestModeIsTheScreenItselfOrTheLastThatFits) {
  const struct {
    QList<QSize> screens;
    int screen;
    uint32_t expected;
  } cases[] = {
      {{QSize(1366, 768)}, 0, M(1366, 768)},
      {{QSize(1280, 720)}, 0, M(1280, 720)},    // its own size joined the list
      {{QSize(2560, 1440)}, 0, M(1920, 1200)},  // the last listed mode that fits
      {{QSize(1000, 3000)}, 0, M(800, 600)},    // only the narrowest fits
      {{QSize(1920, 1080), QSize(1440, 900)}, 1, M(1440, 900)},
      {{QSize(1920, 1080)}, 1, 0},              // no such screen
      {{}, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    ApiPtr api(new ScreenSystemApi(c.screens));
    uint32_t mode = 0xDEAD;
    api->FindBestMode(&mode, c.screen);
    EXPECT_EQ(mode, c.expected);
  }
}

TEST(DisplayModesTest, ModeWordsCarryBothOrientationsWithinTheCapacity) {
  ApiPtr api(new ScreenSystemApi({QSize(1920, 1080)}));
  std::vector<uint32_t> words(24, 0xAAAAAAAA);
  api->GetModeWords(words.data(), 20);
  EXPECT_EQ(words[0], 0x03206258u);  // 800 << 16 | 600 | 0x6000
  EXPECT_EQ(words[1], 0x02586320u);  // 600 << 16 | 800 | 0x6000
  EXPECT_EQ(words[18], (1920u & 0xFFF) << 16 | 1200 | 0x6000);
  EXPECT_EQ(words[19], 1200u << 16 | (1920 & 0xFFF) | 0x6000);
  EXPECT_EQ(words[20], 0xAAAAAAAAu);  // ten pairs at most

  std::vector<uint32_t> few(8, 0xAAAAAAAA);
  api->GetModeWords(few.data(), 7);  // three whole pairs
  EXPECT_EQ(few[3], 0x03006400u);     // 768 << 16 | 1024 | 0x6000
  EXPECT_EQ(few[5], 0x04006500u);     // 1024 << 16 | 1280 | 0x6000
  EXPECT_EQ(few[6], 0xAAAAAAAAu);
}

// The hello asks for the mode words on the connection thread; it gets the
// screens the GUI thread has seen.
TEST(DisplayModesTest, OtherThreadsSeeTheScreensOfTheGuiThread) {
  ApiPtr api(new CQtSystemApi(TestAppIdKey()));
  std::vector<uint32_t> gui(20, 0), worker(20, 0);
  api->GetModeWords(gui.data(), 20);
  std::thread([&] { api->GetModeWords(worker.data(), 20); }).join();
  EXPECT_EQ(worker, gui);
  uint32_t best = 0;
  api->FindBestMode(&best, 0);
  const QSize screen = QGuiApplication::primaryScreen()->geometry().size();
  EXPECT_EQ(best, M(uint32_t(screen.width()), uint32_t(screen.height())));
}

}  // namespace
