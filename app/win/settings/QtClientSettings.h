// Settings profiles kept in INI files. A user profile N is N.ini in the
// organisation's folder of the user-scope settings; a system profile N is
// N.ini in its "Profiles" folder of the system-scope settings and is
// overwritten only after the master password was verified.
#pragma once

#include <QSettings>
#include <QString>
#include <QStringList>

#include "settings/AbstractClientSettings.h"

class QtClientSettings : public CAbstractClientSettings {
 public:
  // Loads profileName: the current profile, else the default one.
  QtClientSettings(const QString& organisation, const QString& application, bool noSave);
  // Saves the current profile unless noSave is set.
  virtual ~QtClientSettings();

  static QtClientSettings* GetInstance();

  // 0, or -1 when the profile has no file in either scope (nothing loaded;
  // the name becomes current all the same).
  virtual int LoadProfile(const WCHAR* name);
  // 0, or -1 for a rejected name or a file that cannot be created.
  virtual int SaveAsUserProfile(const WCHAR* name);
  int SaveAsSystemProfile(const WCHAR* name);
  void SaveCurrentProfile();
  void Reload(bool toDefault);

  int Load(QSettings& file);
  void Save(QSettings& file);
  void SaveGroups(QSettings& file);

  static int ValidateProfileName(const WCHAR* name);
  static QString GetUserProfilesDir();
  static QString GetSystemProfilesDir();
  static QStringList ListUserProfiles();
  static QStringList ListSystemProfiles();
  bool IsUserProfile(const WCHAR* name) const;
  bool IsSystemProfile(const WCHAR* name) const { return IsSystemProfileName(name); }
  static bool IsSystemProfileName(const WCHAR* name);

  QString organisation;
  QString application;

 private:
  enum class Scope { kUser, kSystem };
  QString ProfileOrganisation(Scope scope) const;
  bool ProfileFileExists(Scope scope, const QString& name) const;
  // The user-scope file of the name, or the system-scope one when only
  // that exists; false when neither does (the user scope is read then).
  bool LoadNamedProfile(const QString& name);
  void LoadFrom(Scope scope, const QString& name);
  void SaveInto(Scope scope, const QString& name);
  int SaveAsNew(Scope scope, const QString& name);

  void LoadGeneric(QSettings& file);
  void LoadGroups(QSettings& file);
  void SaveGeneric(QSettings& file);
};
