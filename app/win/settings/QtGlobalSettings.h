// The security settings of the machine, kept in a system-scope INI file
// (group "SecurityOptions"). One object per pass of the run loop: it loads
// when created and saves when destroyed.
#pragma once

#include <QString>

#include "settings/SecuritySettings.h"

class QtGlobalSettings : public CSecuritySettings {
 public:
  QtGlobalSettings(const QString& organisation, const QString& application);
  virtual ~QtGlobalSettings();

  static QtGlobalSettings* GetInstance();

  void LoadSecurity();
  void SaveSecurity();

  WCHAR application[kFieldChars];
  WCHAR organisation[kFieldChars];
};
