// The INI files the settings read: a settings profile as loading a profile
// by name reads it (from the user or the system scope), and the security
// file as the security settings load it. The files live in a private
// folder tree made for the run; each input gets a file of a new name, so
// that QSettings' cache of parsed files never serves an older input.
// Input: one setup byte, then the file.
//   bit 0: the security file; otherwise a profile.
//   bit 1: (profile) in the system scope; otherwise the user scope.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "SettingsTestEnv.h"
#include "pelplat/debugout.h"
#include "pelplat/utf16.h"
#include "settings/QtClientSettings.h"
#include "settings/QtGlobalSettings.h"
#include "sys/FixedText.h"

namespace {

const char kApplication[] = "Pellum";

struct Rig {
  Rig() : settings("Vantorel", kApplication, true), security("Fuzz0", kApplication) {
    // A line for every odd key would slow the run many times over.
    SetDebugOutputSink([](const std::string&) {});
  }
  // Made first, so that every file lands in its tree.
  TestFolders folders;
  FakeSystemApi systemApi;
  QtClientSettings settings;
  QtGlobalSettings security;
  unsigned serial = 0;
};

Rig& TheRig() {
  static Rig rig;
  return rig;
}

void Write(const QString& path, const uint8_t* data, size_t size) {
  QFile file(path);
  const auto flags = QIODevice::WriteOnly | QIODevice::Truncate;
  if (!file.open(flags) || file.write(reinterpret_cast<const char*>(data), qint64(size)) != qint64(size)) abort();
}

void LoadSecurity(Rig& rig, const uint8_t* data, size_t size) {
  const QString organisation = QString("Fuzz%1").arg(++rig.serial);
  const QString folder = rig.folders.SystemConfig() + "/" + organisation;
  QDir().mkpath(folder);
  Write(folder + "/" + kApplication + ".ini", data, size);
  SetFieldText(rig.security.organisation, kFieldChars, organisation.toStdU16String());
  rig.security.LoadSecurity();
  rig.security.CheckPassword(u"master");
  QDir(folder).removeRecursively();
}

void LoadProfile(Rig& rig, bool system, const uint8_t* data, size_t size) {
  const QString name = QString("fuzz%1").arg(++rig.serial);
  const QString path = system ? rig.folders.SystemProfileFile(name) : rig.folders.UserProfileFile(name);
  QDir().mkpath(QFileInfo(path).absolutePath());
  Write(path, data, size);
  if (rig.settings.LoadProfile(name.toStdU16String().c_str()) != 0) abort();
  QFile::remove(path);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  Rig& rig = TheRig();
  if (data[0] & 1) {
    LoadSecurity(rig, data + 1, size - 1);
  } else {
    LoadProfile(rig, (data[0] & 2) != 0, data + 1, size - 1);
  }
  return 0;
}
