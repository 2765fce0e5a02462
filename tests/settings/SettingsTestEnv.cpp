#include "SettingsTestEnv.h"

#include <QSettings>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace {

void Restore(const char* name, bool had, const std::string& value) {
  if (had) {
    setenv(name, value.c_str(), 1);
  } else {
    unsetenv(name);
  }
}

void Save(const char* name, bool* had, std::string* value) {
  const char* current = getenv(name);
  *had = current != nullptr;
  if (current != nullptr) *value = current;
}

}  // namespace

TestFolders::TestFolders() {
  std::string pattern = (std::filesystem::temp_directory_path() / "pellum-settings-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  root_ = pattern;
  std::filesystem::create_directories(root_ + "/home/.config");
  std::filesystem::create_directories(root_ + "/etc-xdg");
  Save("HOME", &hadHome_, &savedHome_);
  Save("XDG_CONFIG_HOME", &hadConfig_, &savedConfig_);
  setenv("HOME", (root_ + "/home").c_str(), 1);
  setenv("XDG_CONFIG_HOME", (root_ + "/home/.config").c_str(), 1);
  QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, UserConfig());
  QSettings::setPath(QSettings::IniFormat, QSettings::SystemScope, SystemConfig());
}

TestFolders::~TestFolders() {
  Restore("HOME", hadHome_, savedHome_);
  Restore("XDG_CONFIG_HOME", hadConfig_, savedConfig_);
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
}

QString TestFolders::UserConfig() const { return QString::fromStdString(root_ + "/home/.config"); }
QString TestFolders::SystemConfig() const { return QString::fromStdString(root_ + "/etc-xdg"); }

QString TestFolders::UserProfileFile(const QString& name) const {
  return UserConfig() + "/Vantorel/" + name + ".ini";
}

QString TestFolders::SystemProfileFile(const QString& name) const {
  return SystemConfig() + "/Vantorel/Profiles/" + name + ".ini";
}

FakeSystemApi::FakeSystemApi() { previous_ = SetSettingsSystemApi(this); }

FakeSystemApi::~FakeSystemApi() { SetSettingsSystemApi(previous_); }

uint32_t FakeSystemApi::FindBestMode(int screen) {
  return (screen >= 0 && static_cast<size_t>(screen) < modes.size()) ? modes[screen] : 0;
}

LogCapture::LogCapture() {
  previous_ = SetDebugOutputSink([this](const std::string& line) {
    std::lock_guard<std::mutex> guard(mutex_);
    lines_.push_back(line);
  });
}

LogCapture::~LogCapture() { SetDebugOutputSink(previous_); }

std::vector<std::string> LogCapture::Lines() {
  std::lock_guard<std::mutex> guard(mutex_);
  return lines_;
}
