// The command line as start-up reads it: the parser splits the arguments
// into entries and runs the program's four commands ("-h", "-ip", "-s",
// "-url") on them, with the settings of a private folder tree that holds
// one user profile, "office", and one system profile, "shared".
// Input: the arguments after the program path, separated by NUL bytes.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "SettingsTestEnv.h"
#include "cli/CLICommands.h"
#include "cli/CLIParser.h"
#include "pelplat/debugout.h"
#include "settings/QtClientSettings.h"

namespace {

volatile size_t g_sink;

void WriteProfile(const QString& path) {
  QDir().mkpath(QFileInfo(path).absolutePath());
  QFile file(path);
  if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) file.write("[AutoLoginOptions]\nuserName=user\n");
}

struct Rig {
  Rig() : settings("Vantorel", "Pellum", true) {
    SetDebugOutputSink([](const std::string&) {});
    WriteProfile(folders.UserProfileFile("office"));
    WriteProfile(folders.SystemProfileFile("shared"));
  }
  // Made first, so that every file lands in its tree.
  TestFolders folders;
  FakeSystemApi systemApi;
  QtClientSettings settings;
  CCmfUrlCommand url;
  CHelpCommand help;
  CIPCommand ip;
  CProfileCommand profile;
};

Rig& TheRig() {
  static Rig rig;
  return rig;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Rig& rig = TheRig();
  std::vector<std::string> arguments = {"pellum"};
  std::string current;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      arguments.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  if (size > 0) arguments.push_back(current);
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(&argument[0]);
  argv.push_back(nullptr);

  size_t printed = 0;
  CCLIParser parser(
      "Pellum", [&](const QString& text) { printed += size_t(text.size()); }, [](int) { return false; });
  CCLICommand* commands[] = {&rig.url, &rig.help, &rig.ip, &rig.profile};
  parser.RegisterCommands(4, commands);
  parser.Parse(static_cast<int>(arguments.size()), argv.data());
  parser.Execute();
  g_sink = printed + size_t(parser.RunCount());
  return 0;
}
