// The codec library's lines reach the debugger output's sink, warnings and
// worse only, so tests capture them and fuzz runs silence them.
#include <gtest/gtest.h>

extern "C" {
#include <libavutil/log.h>
}

#include <string>
#include <vector>

#include "pelplat/debugout.h"

namespace {

TEST(CodecLog, WarningsAndErrorsReachTheSinkAndChatterDoesNot) {
  std::vector<std::string> lines;
  const DebugOutputSink previous = SetDebugOutputSink([&](const std::string& line) { lines.push_back(line); });
  av_log(nullptr, AV_LOG_ERROR, "step index %d out of range\n", 30583);
  av_log(nullptr, AV_LOG_WARNING, "a warning\n");
  av_log(nullptr, AV_LOG_INFO, "chatter\n");
  av_log(nullptr, AV_LOG_DEBUG, "more chatter\n");
  SetDebugOutputSink(previous);
  EXPECT_EQ((std::vector<std::string>{"step index 30583 out of range\n", "a warning\n"}), lines);
}

}  // namespace
