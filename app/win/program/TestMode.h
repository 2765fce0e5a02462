// The self-test mode the program starts in, read before anything else.
#pragma once

enum TestMode {
  kTestModeInvalid = 0,
  kTestModeNone = 1,               // "-no-test"
  kTestModeNormal = 2,             // no "-test", or "-test normal"
  kTestModeSilent = 3,             // "-test silent"
  kTestModeSilentWithConsole = 4,  // "-test silentwithconsole"
};

// The mode the arguments (program path included) ask for; an unknown
// "-test" value is reported on standard output and gives kTestModeInvalid.
int ParseTestMode(int argc, char** argv);
