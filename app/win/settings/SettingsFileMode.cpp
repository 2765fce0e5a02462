#include "settings/SettingsFileMode.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFileInfo>

#include "sys/klog.h"

namespace {

mode_t ModeOf(SettingsFileScope scope) { return scope == SettingsFileScope::kUser ? 0600 : 0644; }

bool ApplyMode(const QString& path, SettingsFileScope scope, int extraFlags) {
  const QByteArray name = QFile::encodeName(path);
  const int fd = open(name.constData(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC | extraFlags, ModeOf(scope));
  if (fd < 0) {
    LogMessageA("Settings: cannot open %s to set its mode", name.constData());
    return false;
  }
  const bool ok = fchmod(fd, ModeOf(scope)) == 0;
  close(fd);
  if (!ok) LogMessageA("Settings: cannot set the mode of %s", name.constData());
  return ok;
}

}  // namespace

bool PrepareSettingsFile(const QString& path, SettingsFileScope scope) {
  QDir().mkpath(QFileInfo(path).absolutePath());
  return ApplyMode(path, scope, O_CREAT);
}

bool SetSettingsFileMode(const QString& path, SettingsFileScope scope) {
  if (!QFileInfo::exists(path)) return true;  // nothing was written
  return ApplyMode(path, scope, 0);
}
