#include "pelplat/debugout.h"

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

// Sets PELLUM_DEBUG for one scope (null: unset) and restores it.
class DebugVariable {
 public:
  explicit DebugVariable(const char* value) {
    if (const char* old = getenv("PELLUM_DEBUG")) saved_ = old, had_ = true;
    if (value)
      setenv("PELLUM_DEBUG", value, 1);
    else
      unsetenv("PELLUM_DEBUG");
  }
  ~DebugVariable() {
    if (had_)
      setenv("PELLUM_DEBUG", saved_.c_str(), 1);
    else
      unsetenv("PELLUM_DEBUG");
  }

 private:
  std::string saved_;
  bool had_ = false;
};

std::string DefaultOutputWith(const char* variable) {
  DebugVariable set(variable);
  testing::internal::CaptureStderr();
  OutputDebugStringA("pelm: one\n");
  OutputDebugStringA("no newline");
  OutputDebugStringW(u"|grüß 😀\n");
  OutputDebugStringA(nullptr);
  return testing::internal::GetCapturedStderr();
}

}  // namespace

TEST(OutputDebugString, WithoutASinkLinesReachStderrOnlyWhilePellumDebugIsSet) {
  EXPECT_EQ(DefaultOutputWith("1"), "pelm: one\nno newline|grüß 😀\n");
  EXPECT_EQ(DefaultOutputWith("yes"), "pelm: one\nno newline|grüß 😀\n");
  EXPECT_EQ(DefaultOutputWith(nullptr), "");
  EXPECT_EQ(DefaultOutputWith(""), "");
  EXPECT_EQ(DefaultOutputWith("0"), "");
}

TEST(OutputDebugString, AnErrorForTheUserReachesStderrOnceWhateverTheSetting) {
  for (const char* variable : {static_cast<const char*>(nullptr), "1"}) {
    SCOPED_TRACE(variable ? variable : "unset");
    DebugVariable set(variable);
    testing::internal::CaptureStderr();
    ReportErrorToUser("cannot open the sound device \"x\": No such device");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "pellum: cannot open the sound device \"x\": No such device\n");
  }
  std::vector<std::string> lines;
  SetDebugOutputSink([&](const std::string& line) { lines.push_back(line); });
  testing::internal::CaptureStderr();
  ReportErrorToUser("refused\n");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "pellum: refused\n");
  SetDebugOutputSink(nullptr);
  EXPECT_EQ(lines, std::vector<std::string>{"pellum: refused\n"});
}

TEST(OutputDebugString, SinkCapturesOneCallPerLineAndRestores) {
  std::vector<std::string> lines;
  DebugOutputSink previous = SetDebugOutputSink([&](const std::string& line) { lines.push_back(line); });
  EXPECT_FALSE(previous) << "no sink is the default";
  OutputDebugStringA("a\n");
  OutputDebugStringW(u"ä\n");
  OutputDebugStringA("");
  EXPECT_EQ(lines, (std::vector<std::string>{"a\n", "ä\n", ""}));

  std::vector<std::string> second;
  DebugOutputSink mine = SetDebugOutputSink([&](const std::string& line) { second.push_back(line); });
  ASSERT_TRUE(mine);
  OutputDebugStringA("b");
  EXPECT_EQ(second.size(), 1u);
  EXPECT_EQ(lines.size(), 3u);

  SetDebugOutputSink(nullptr);
  DebugVariable listening("1");
  testing::internal::CaptureStderr();
  OutputDebugStringA("back\n");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "back\n");
}

TEST(OutputDebugString, LinesFromManyThreadsArriveWhole) {
  std::vector<std::string> lines;  // guarded by the sink's lock
  SetDebugOutputSink([&](const std::string& line) { lines.push_back(line); });
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      const std::string line(100, static_cast<char>('a' + t));
      for (int i = 0; i < 200; ++i) OutputDebugStringA(line.c_str());
    });
  }
  for (auto& t : threads) t.join();
  SetDebugOutputSink(nullptr);
  ASSERT_EQ(lines.size(), 800u);
  for (const std::string& l : lines) EXPECT_EQ(l, std::string(100, l[0]));
}
