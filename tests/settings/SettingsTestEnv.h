// Shared pieces of the settings tests: a private folder tree that the
// user-scope and system-scope INI files land in, a scripted system API,
// and a capture of the debug log.
#pragma once

#include <QString>
#include <mutex>
#include <string>
#include <vector>

#include "pelplat/debugout.h"
#include "settings/SystemApiLink.h"

// A fresh folder with HOME, XDG_CONFIG_HOME and the QSettings folders of
// both scopes inside it; removed again at the end.
class TestFolders {
 public:
  TestFolders();
  ~TestFolders();
  const std::string& Root() const { return root_; }
  QString UserConfig() const;    // user-scope INI folder
  QString SystemConfig() const;  // system-scope INI folder
  QString UserProfileFile(const QString& name) const;
  QString SystemProfileFile(const QString& name) const;

 private:
  std::string root_;
  std::string savedHome_, savedConfig_;
  bool hadHome_ = false, hadConfig_ = false;
};

class FakeSystemApi : public ISettingsSystemApi {
 public:
  FakeSystemApi();
  ~FakeSystemApi() override;
  uint32_t FindBestMode(int screen) override;
  uint8_t GetDefaultColorDepth() override { return 24; }
  void EnableClipboard(bool enabled) override { clipboardCalls.push_back(enabled); }
  bool IsForceDualMonitor() override { return forceDual; }
  void SetShowMessages(bool normal, bool system) override {
    showNormal = normal;
    showSystem = system;
    ++showCalls;
  }

  std::vector<uint32_t> modes;  // best mode per screen
  std::vector<bool> clipboardCalls;
  bool forceDual = false;
  bool showNormal = true, showSystem = true;
  int showCalls = 0;

 private:
  ISettingsSystemApi* previous_;
};

inline uint32_t PackSize(uint32_t width, uint32_t height) { return width | (height << 16); }

class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  std::vector<std::string> Lines();

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
  DebugOutputSink previous_;
};
