#include "pelplat/debugout.h"

#include <thread>
#include <vector>

#include <gtest/gtest.h>

TEST(OutputDebugString, DefaultSinkWritesExactlyTheTextToStderr) {
  testing::internal::CaptureStderr();
  OutputDebugStringA("pelm: one\n");
  OutputDebugStringA("no newline");
  OutputDebugStringW(u"|grüß 😀\n");
  OutputDebugStringA(nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "pelm: one\nno newline|grüß 😀\n");
}

TEST(OutputDebugString, SinkCapturesOneCallPerLineAndRestores) {
  std::vector<std::string> lines;
  DebugOutputSink previous = SetDebugOutputSink([&](const std::string& line) { lines.push_back(line); });
  EXPECT_FALSE(previous) << "stderr is the default";
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
