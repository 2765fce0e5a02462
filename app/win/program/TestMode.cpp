#include "program/TestMode.h"

#include <cstdio>
#include <cstring>
#include <string>

int ParseTestMode(int argc, char** argv) {
  for (int i = 0; i < argc; ++i)
    if (argv[i] != nullptr && strcmp(argv[i], "-no-test") == 0) return kTestModeNone;
  std::string value;
  for (int i = 0; i < argc; ++i) {
    if (argv[i] != nullptr && strcmp(argv[i], "-test") == 0) {
      if (i + 1 < argc && argv[i + 1] != nullptr) value = argv[i + 1];
      break;
    }
  }
  static const struct {
    const char* value;
    int mode;
  } kModes[] = {
      {"silent", kTestModeSilent},
      {"normal", kTestModeNormal},
      {"silentwithconsole", kTestModeSilentWithConsole},
      {"", kTestModeNormal},
  };
  for (const auto& entry : kModes)
    if (value == entry.value) return entry.mode;
  fputs("Invalid -test parameter( \"normal\", \"silent\", \"silentwithconsole\"", stdout);
  fflush(stdout);
  return kTestModeInvalid;
}
