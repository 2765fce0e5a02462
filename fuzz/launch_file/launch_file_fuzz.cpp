// The launch file that "-x" names, as start-up reads it: the argument scan
// opens and parses the file, the connection parameters take the desktop,
// server and misc values from it (with one local screen and with two), and
// the server address, the server group and the message flags are read
// from it as start-up reads them.
// Input: the file. It lives in memory (a memfd) and is opened by its
// /proc/self/fd path, so that every run reads a real file without
// touching the disk.
#include <sys/mman.h>
#include <unistd.h>

#include <QList>
#include <QRect>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "cli/LaunchOptions.h"
#include "pelplat/debugout.h"
#include "settings/AbstractClientApp.h"
#include "session/ClientConnectionParameter.h"

namespace {

volatile size_t g_sink;

// The path of the one in-memory file, rewritten for every input.
const std::string& FilePath(int* fd) {
  static int file = -1;
  static std::string path;
  if (file < 0) {
    // A line for every document that does not parse would slow the run
    // many times over.
    SetDebugOutputSink([](const std::string&) {});
    file = memfd_create("launch.json", 0);
    if (file < 0) abort();
    path = "/proc/self/fd/" + std::to_string(file);
  }
  *fd = file;
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int fd = -1;
  const std::string& path = FilePath(&fd);
  if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) abort();

  CLaunchOptions launch;
  std::string program = "pellum", option = "-x", file = path;
  char* argv[] = {&program[0], &option[0], &file[0], nullptr};
  launch.Scan(3, argv);

  const QList<QList<QRect>> screenSets = {{QRect(0, 0, 1920, 1080)},
                                          {QRect(0, 0, 1920, 1080), QRect(1920, 0, 1280, 1024)}};
  for (const QList<QRect>& screens : screenSets) {
    CClientConnectionParameter record;
    ApplyLaunchJson(record, launch.json, screens);
  }
  size_t seen = GetLaunchServerAddress(launch.json).size();
  for (const std::string& server : GetLaunchServerGroup(launch.json)) seen += server.size();
  seen += GetJsonMiscFlag(launch.json, "ShowNormalMessages", true);
  seen += GetJsonMiscFlag(launch.json, "ShowSystemMessages", true);
  g_sink = seen;
  return 0;
}
