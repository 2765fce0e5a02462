#include "settings/QtGlobalSettings.h"

#include <QByteArray>
#include <QSettings>
#include <algorithm>
#include <atomic>
#include <cstring>

#include "settings/QtText.h"
#include "settings/SettingsFileMode.h"

namespace {

std::atomic<QtGlobalSettings*> g_globalSettings{nullptr};

const char kGroup[] = "SecurityOptions";

}  // namespace

QtGlobalSettings::QtGlobalSettings(const QString& organisationName, const QString& applicationName) {
  passwordSet = 1;
  SetFieldText(application, kFieldChars, ToU16String(applicationName));
  SetFieldText(organisation, kFieldChars, ToU16String(organisationName));
  LoadSecurity();
  g_globalSettings = this;
}

QtGlobalSettings::~QtGlobalSettings() {
  SaveSecurity();
  QtGlobalSettings* self = this;
  g_globalSettings.compare_exchange_strong(self, nullptr);
}

QtGlobalSettings* QtGlobalSettings::GetInstance() { return g_globalSettings; }

void QtGlobalSettings::LoadSecurity() {
  QSettings file(QSettings::IniFormat, QSettings::SystemScope, ToQString(organisation), ToQString(application));
  file.setFallbacksEnabled(false);
  file.beginGroup(kGroup);
  QString user = file.value("UserName").toString();
  if (!user.isEmpty() && user.size() < static_cast<int>(kFieldChars))
    SetFieldText(userName, kFieldChars, ToU16String(user));
  QByteArray password = file.value("Password").toByteArray();
  if (!password.isEmpty()) {
    size_t n = std::min(static_cast<size_t>(password.size()), sizeof passwordBlock);
    std::memcpy(passwordBlock, password.constData(), n);
    passwordSet = 1;
  } else {
    passwordSet = 0;
  }
  file.endGroup();
}

void QtGlobalSettings::SaveSecurity() {
  QSettings file(QSettings::IniFormat, QSettings::SystemScope, ToQString(organisation), ToQString(application));
  PrepareSettingsFile(file.fileName(), SettingsFileScope::kShared);
  file.setFallbacksEnabled(false);
  file.beginGroup(kGroup);
  if (passwordSet != 0) {
    if (userName[0] != 0) file.setValue("UserName", ToQString(userName));
    file.setValue("Password", QByteArray(reinterpret_cast<const char*>(passwordBlock), sizeof passwordBlock));
  } else {
    file.setValue("Password", QByteArray());
  }
  file.endGroup();
  file.sync();
  SetSettingsFileMode(file.fileName(), SettingsFileScope::kShared);
}
