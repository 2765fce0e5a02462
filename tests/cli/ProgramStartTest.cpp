// What start-up reads before anything else (the test mode) and the status
// file a pass leaves behind.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "../settings/SettingsTestEnv.h"
#include "program/EngineStatusFile.h"
#include "program/SettingsProbes.h"
#include "program/TestMode.h"
#include "session/HelloProbes.h"
#include "settings/AbstractClientSettings.h"

namespace {

int Mode(std::vector<std::string> args) {
  args.insert(args.begin(), "pellum");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  return ParseTestMode(static_cast<int>(argv.size()), argv.data());
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

TEST(ProgramStart, TestModes) {
  const struct {
    std::vector<std::string> args;
    int mode;
  } cases[] = {
      {{}, kTestModeNormal},
      {{"-test"}, kTestModeNormal},
      {{"-test", "normal"}, kTestModeNormal},
      {{"-test", "silent"}, kTestModeSilent},
      {{"-test", "silentwithconsole"}, kTestModeSilentWithConsole},
      {{"-no-test", "-test", "silent"}, kTestModeNone},
      {{"-test", "silent", "-no-test"}, kTestModeNone},
      {{"-test", "SILENT"}, kTestModeInvalid},
      {{"-test", "silent", "-test", "bogus"}, kTestModeSilent},  // the first one counts
      {{"--test", "bogus"}, kTestModeNormal},                    // whole arguments only
  };
  for (const auto& c : cases) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(Mode(c.args), c.mode);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed, c.mode == kTestModeInvalid
                           ? "Invalid -test parameter( \"normal\", \"silent\", \"silentwithconsole\""
                           : "");
  }
}

TEST(ProgramStart, StatusFileIsCompactWithSortedKeys) {
  TestFolders folders;
  const std::string path = folders.Root() + "/x.json.status";
  EXPECT_TRUE(WriteEngineStatusFile(path, -3, {"Connecting <OK>", "a \"quoted\" line"}));
  EXPECT_EQ(ReadFile(path), "{\"log\":[\"Connecting <OK>\",\"a \\\"quoted\\\" line\"],\"status\":-3}");
  EXPECT_TRUE(WriteEngineStatusFile(path, 6, {}));
  EXPECT_EQ(ReadFile(path), "{\"log\":[],\"status\":6}");
}

TEST(ProgramStart, StatusFileFailures) {
  TestFolders folders;
  LogCapture log;
  EXPECT_FALSE(WriteEngineStatusFile(folders.Root() + "/missing/folder/x.status", 1, {"x"}));

  // A line that is not UTF-8 cannot be written: the failure is logged and
  // the previous file stays as it was.
  const std::string path = folders.Root() + "/Simple.Log";
  ASSERT_TRUE(WriteEngineStatusFile(path, 5, {"kept"}));
  EXPECT_FALSE(WriteEngineStatusFile(path, 6, {std::string("bad \xff byte")}));
  EXPECT_EQ(ReadFile(path), "{\"log\":[\"kept\"],\"status\":5}");
  bool logged = false;
  for (const std::string& line : log.Lines())
    logged = logged || line.find("Important failure during json command line processing") != std::string::npos;
  EXPECT_TRUE(logged);
}

// A link placed at the status file's name is replaced by the new file; the
// file it points at is never written.
TEST(ProgramStart, StatusFileReplacesALinkInsteadOfWritingThroughIt) {
  TestFolders folders;
  const std::string victim = folders.Root() + "/victim";
  {
    std::ofstream out(victim);
    out << "precious";
  }
  const std::string path = folders.Root() + "/x.json.status";
  ASSERT_EQ(symlink(victim.c_str(), path.c_str()), 0);
  ASSERT_TRUE(WriteEngineStatusFile(path, 6, {}));
  EXPECT_EQ(ReadFile(victim), "precious");
  struct stat st;
  ASSERT_EQ(lstat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(ReadFile(path), "{\"log\":[],\"status\":6}");
}

// The hello announces lossy display only while the pass's settings allow it.
TEST(ProgramStart, LossySwitchFollowsTheSettings) {
  InstallSettingsProbes();
  EXPECT_TRUE(ProbeLossyEnabled());  // no settings object: the default
  {
    CAbstractClientSettings settings(false);  // the pass's settings object
    EXPECT_TRUE(ProbeLossyEnabled());
    settings.SetInt(u"LossyEnabled", 0);
    EXPECT_FALSE(ProbeLossyEnabled());
    settings.SetInt(u"LossyEnabled", 2);
    EXPECT_TRUE(ProbeLossyEnabled());
  }
  SetHelloProbes(HelloProbes{});
}
