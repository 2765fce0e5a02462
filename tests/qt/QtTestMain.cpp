#include <gtest/gtest.h>

#include <QApplication>
#include <QTemporaryDir>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "qt/QtAppIdAllocator.h"

namespace {

// A running copy of the program as the id table sees it: takes an id,
// reports it and holds it until its standard input ends.
int RunAppIdHolder(const char* key) {
  QtAppIdAllocator allocator{QString::fromUtf8(key)};
  printf("%u\n", unsigned(allocator.Id()));
  fflush(stdout);
  std::string line;
  while (std::getline(std::cin, line)) {
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (const char* key = getenv("PELLUM_APPID_HOLDER")) return RunAppIdHolder(key);
  // Widgets need no display unless a test program asks for one.
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  // The copies' number locks of this run, and of the copies it starts, in a
  // runtime folder of its own.
  QTemporaryDir runtime;
  if (runtime.isValid()) setenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit().constData(), 1);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
