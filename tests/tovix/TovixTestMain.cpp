#include <gtest/gtest.h>

#include <QApplication>
#include <QTemporaryDir>
#include <cstdlib>

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  // GStreamer keeps its registry cache under HOME.
  QTemporaryDir home;
  if (home.isValid()) {
    setenv("HOME", home.path().toLocal8Bit().constData(), 1);
    setenv("XDG_CACHE_HOME", (home.path() + "/cache").toLocal8Bit().constData(), 1);
    setenv("XDG_RUNTIME_DIR", home.path().toLocal8Bit().constData(), 1);
  }
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
