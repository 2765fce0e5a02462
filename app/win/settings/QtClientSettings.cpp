#include "settings/QtClientSettings.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QVariant>
#include <algorithm>
#include <cstring>
#include <vector>

#include "session/ClientConnectionParameter.h"
#include "settings/ProfileKeys.h"
#include "settings/ProfileNames.h"
#include "settings/QtGlobalSettings.h"
#include "settings/QtText.h"
#include "settings/SettingsFileMode.h"
#include "settings/SystemApiLink.h"
#include "sys/klog.h"

namespace {

const char kOrganisationFolder[] = "Vantorel";
const int kMaxGenericKeyChars = 511;

using Kind = ProfileKeyKind;

// A text longer than a field is not taken: the field keeps its value.
void ReadText(QSettings& file, const QString& key, WCHAR* field) {
  QString value = file.value(key, QString()).toString();
  if (value.size() <= static_cast<int>(kFieldTextMax)) SetFieldText(field, kFieldChars, ToU16String(value));
}

void ReadKeys(QSettings& file, CAbstractClientSettings& s, const ProfileKeyTable& keys) {
  for (const ProfileKey& e : keys) {
    if (e.kind == Kind::kText) {
      ReadText(file, e.key, s.*e.text);
    } else if (e.kind == Kind::kFlag) {
      s.*e.number = file.value(e.key, e.defaultValue != 0).toBool() ? 1 : 0;
    } else {
      s.*e.number = file.value(e.key, e.defaultValue).toInt();
    }
  }
}

void WriteKeys(QSettings& file, CAbstractClientSettings& s, const ProfileKeyTable& keys) {
  for (const ProfileKey& e : keys) {
    switch (e.kind) {
      case Kind::kText: file.setValue(e.key, ToQString(s.*e.text)); break;
      case Kind::kFlag: file.setValue(e.key, s.*e.number != 0 ? 1 : 0); break;
      case Kind::kInt: file.setValue(e.key, s.*e.number); break;
      case Kind::kUnsigned: file.setValue(e.key, static_cast<uint32_t>(s.*e.number)); break;
      case Kind::kLow16: file.setValue(e.key, s.*e.number & 0xFFFF); break;
    }
  }
}

void AddressKey(char* buffer, size_t size, int index) { snprintf(buffer, size, "serverAddress%d", index); }

// The keys of the groups with rules of their own; each pair runs inside its
// group, before the group's table of plain keys.
void LoadHistoryAndPassword(QSettings& file, CAbstractClientSettings& s) {
  char key[32];
  for (int d = 0; d < kHistoryEntries; ++d) {
    AddressKey(key, sizeof key, d);
    ReadText(file, key, s.serverHistory[d]);
  }
  // An empty or missing password leaves the block as it was.
  QByteArray password = file.value("password").toByteArray();
  if (!password.isEmpty()) {
    size_t n = std::min(static_cast<size_t>(password.size()), sizeof s.passwordBlock);
    std::memcpy(s.passwordBlock, password.constData(), n);
  }
}

void SaveHistoryAndPassword(QSettings& file, CAbstractClientSettings& s) {
  char key[32];
  for (int d = 0; d < kHistoryEntries; ++d) {
    AddressKey(key, sizeof key, d);
    file.setValue(key, ToQString(s.serverHistory[d]));
  }
  file.setValue("password", QByteArray(reinterpret_cast<const char*>(s.passwordBlock), sizeof s.passwordBlock));
}

// A stored width or height; one that is no 16-bit number takes the
// default, with a log line.
uint32_t StoredSide(QSettings& file, const QString& key, uint32_t fallback) {
  const QVariant value = file.value(key);
  if (!value.isValid()) return fallback;
  bool isNumber = false;
  const qlonglong side = value.toLongLong(&isNumber);
  if (isNumber && DisplaySideInRange(side)) return static_cast<uint32_t>(side);
  LogMessageA("Profile: %s %s is outside 0-%d; %u is used", key.toUtf8().constData(),
              value.toString().toUtf8().constData(), static_cast<int>(kMaxDisplaySide), fallback);
  return fallback;
}

// With automatic detection the local displays' best modes stand in for
// the stored sizes; a missing size takes the best mode's.
void LoadDisplays(QSettings& file, CAbstractClientSettings& s) {
  ISettingsSystemApi& api = SettingsSystemApi();
  s.autoDetectAudioVideo = file.value("autoDetectAudioVideo", true).toBool() ? 1 : 0;
  for (int i = 0; i < 2; ++i) {
    uint32_t best = api.FindBestMode(i);
    if (s.autoDetectAudioVideo) {
      s.screenSizes[i] = best;
      continue;
    }
    const uint32_t width = StoredSide(file, QString("width__%1").arg(i), best & 0xFFFF);
    const uint32_t height = StoredSide(file, QString("height__%1").arg(i), best >> 16);
    s.screenSizes[i] = width | (height << 16);
  }
  const int defaultDepth = api.GetDefaultColorDepth();
  bool isNumber = false;
  const qlonglong depth = file.value("colorDepth", defaultDepth).toLongLong(&isNumber);
  s.colorDepth = isNumber && ColorDepthAllowed(depth) ? static_cast<int>(depth) : defaultDepth;
  if (s.colorDepth != depth)
    LogMessageA("Profile: colorDepth %s is not 8, 16, 24 or 32; %d is used",
                file.value("colorDepth").toString().toUtf8().constData(), defaultDepth);
}

void SaveDisplays(QSettings& file, CAbstractClientSettings& s) {
  for (int i = 0; i < 2; ++i) {
    file.setValue(QString("width__%1").arg(i), s.screenSizes[i] & 0xFFFF);
    file.setValue(QString("height__%1").arg(i), s.screenSizes[i] >> 16);
  }
  file.setValue("colorDepth", s.colorDepth & 0xFF);
  file.setValue("autoDetectAudioVideo", s.autoDetectAudioVideo != 0 ? 1 : 0);
}

void LoadClipboard(QSettings& file, CAbstractClientSettings& s) {
  s.clipboardShare = file.value("clipboardShare", true).toBool() ? 1 : 0;
  SettingsSystemApi().EnableClipboard(s.clipboardShare != 0);
}

void SaveClipboard(QSettings& file, CAbstractClientSettings& s) {
  file.setValue("clipboardShare", s.clipboardShare != 0 ? 1 : 0);
}

using GroupStep = void (*)(QSettings&, CAbstractClientSettings&);

// The plain groups in the order they are read and written.
const struct {
  const char* name;
  const ProfileKeyTable& keys;
  GroupStep load;
  GroupStep save;
} kPlainGroups[] = {
    {"AutoLoginOptions", kAutoLoginKeys, LoadHistoryAndPassword, SaveHistoryAndPassword},
    {"ScreenOptions", kScreenKeys, LoadDisplays, SaveDisplays},
    {"SoundOptions", kSoundKeys, nullptr, nullptr},
    {"NetworkOptions", kNetworkKeys, LoadClipboard, SaveClipboard},
    {"RunningProgramOptions", kProgramKeys, nullptr, nullptr},
};

enum class StoreMap { kInt, kText, kBinary };

const struct {
  const char* suffix;
  StoreMap map;
} kTypedSuffixes[] = {
    {"_int", StoreMap::kInt},
    {"_wstr", StoreMap::kText},
    {"_binary", StoreMap::kBinary},
};

// The store name and map of a key of group "Generic"; false for a key
// that names no map.
bool ParseTypedKey(const QString& key, QString* name, StoreMap* map) {
  bool matched = false;
  for (const auto& typed : kTypedSuffixes) {
    QString suffix = QString::fromLatin1(typed.suffix);
    if (!key.endsWith(suffix) || key.lastIndexOf(suffix) == 0) continue;
    *name = key.left(key.size() - suffix.size());
    *map = typed.map;
    matched = true;
    break;
  }
  if (!matched) return false;
  for (QChar separator : {QChar('\\'), QChar('/')}) {
    int at = name->lastIndexOf(separator);
    if (at > 0) *name = name->mid(at + 1);
  }
  return !name->isEmpty();
}

QString ScopeFolder(QSettings::Scope scope) {
  QString file = QSettings(QSettings::IniFormat, scope, QString(), QString()).fileName();
  return file.left(file.lastIndexOf('/'));
}

QString MakeFolder(const QString& path) {
  QString absolute = QDir(path).absolutePath();
  QDir().mkpath(absolute);
  return absolute;
}

QStringList ListProfiles(const QString& folder) {
  QStringList names = QDir(folder).entryList(QStringList() << "*.ini",
                                             QDir::Files | QDir::NoSymLinks | QDir::CaseSensitive,
                                             QDir::Unsorted);
  for (QString& name : names) name.remove(".ini");
  return names;
}

}  // namespace

QtClientSettings::QtClientSettings(const QString& organisationName, const QString& applicationName,
                                   bool noSaveFlag)
    : CAbstractClientSettings(noSaveFlag), organisation(organisationName), application(applicationName) {
  LoadNamedProfile(ToQString(profileName));
}

QtClientSettings::~QtClientSettings() {
  if (!noSave) SaveCurrentProfile();
}

QtClientSettings* QtClientSettings::GetInstance() {
  return dynamic_cast<QtClientSettings*>(CAbstractClientSettings::GetInstance());
}

QString QtClientSettings::ProfileOrganisation(Scope scope) const {
  return scope == Scope::kUser ? organisation : organisation + "/Profiles";
}

static QSettings::Scope QtScope(bool user) { return user ? QSettings::UserScope : QSettings::SystemScope; }

bool QtClientSettings::ProfileFileExists(Scope scope, const QString& name) const {
  QSettings file(QSettings::IniFormat, QtScope(scope == Scope::kUser), ProfileOrganisation(scope), name);
  return QFileInfo(file.fileName()).isFile();
}

void QtClientSettings::LoadFrom(Scope scope, const QString& name) {
  QSettings file(QSettings::IniFormat, QtScope(scope == Scope::kUser), ProfileOrganisation(scope), name);
  file.setFallbacksEnabled(false);
  Load(file);
}

void QtClientSettings::SaveInto(Scope scope, const QString& name) {
  QSettings file(QSettings::IniFormat, QtScope(scope == Scope::kUser), ProfileOrganisation(scope), name);
  file.setFallbacksEnabled(false);
  const SettingsFileScope mode = scope == Scope::kUser ? SettingsFileScope::kUser : SettingsFileScope::kShared;
  PrepareSettingsFile(file.fileName(), mode);
  Save(file);
  file.sync();
  SetSettingsFileMode(file.fileName(), mode);
}

// A profile chosen from the system scope has no user-scope file; reading
// the user scope would give defaults that the end-of-pass save could write
// over it.
bool QtClientSettings::LoadNamedProfile(const QString& name) {
  if (ProfileFileExists(Scope::kUser, name)) {
    LoadFrom(Scope::kUser, name);
    return true;
  }
  if (ProfileFileExists(Scope::kSystem, name)) {
    LoadFrom(Scope::kSystem, name);
    return true;
  }
  LoadFrom(Scope::kUser, name);
  return false;
}

int QtClientSettings::LoadProfile(const WCHAR* name) {
  if (name == nullptr) return -1;
  SetFieldText(profileName, kFieldChars, name);
  SetFieldText(CurrentProfileName, kFieldChars, profileName);
  QString profile = ToQString(profileName);
  for (Scope scope : {Scope::kUser, Scope::kSystem}) {
    if (ProfileFileExists(scope, profile)) {
      LoadFrom(scope, profile);
      return 0;
    }
  }
  return -1;
}

void QtClientSettings::Reload(bool toDefault) {
  if (toDefault) {
    std::u16string name = DefaultProfileName();
    if (name.size() <= kFieldTextMax) SetFieldText(profileName, kFieldChars, name);
    SetFieldText(CurrentProfileName, kFieldChars, profileName);
  }
  LoadNamedProfile(ToQString(profileName));
}

int QtClientSettings::SaveAsNew(Scope scope, const QString& name) {
  QSettings probe(QSettings::IniFormat, QtScope(scope == Scope::kUser), ProfileOrganisation(scope), name);
  QString path = probe.fileName();
  QDir().mkpath(QFileInfo(path).absolutePath());
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return -1;
  file.close();
  SaveInto(scope, name);
  return 0;
}

int QtClientSettings::SaveAsUserProfile(const WCHAR* name) {
  if (ValidateProfileName(name) != 0) return -1;
  SetFieldText(profileName, kFieldChars, name);
  return SaveAsNew(Scope::kUser, ToQString(profileName));
}

int QtClientSettings::SaveAsSystemProfile(const WCHAR* name) {
  if (ValidateProfileName(name) != 0 || IsSystemProfileName(name)) return -1;
  return SaveAsNew(Scope::kSystem, ToQString(FieldCut(name)));
}

void QtClientSettings::SaveCurrentProfile() {
  if (IsUserProfile(profileName)) {
    SaveInto(Scope::kUser, ToQString(profileName));
    return;
  }
  QtGlobalSettings* security = QtGlobalSettings::GetInstance();
  if (IsSystemProfile(profileName) && security != nullptr && security->verified)
    SaveInto(Scope::kSystem, ToQString(profileName));
}

int QtClientSettings::ValidateProfileName(const WCHAR* name) {
  if (name == nullptr || name[0] == 0) return -1;
  std::u16string text(name);
  if (text.front() == u' ' || text.back() == u' ') return -1;
  if (text.find_first_of(u"\t<>:\"/\\?*|") != std::u16string::npos) return -1;
  return 0;
}

QString QtClientSettings::GetUserProfilesDir() {
  return MakeFolder(ScopeFolder(QSettings::UserScope) + "/" + kOrganisationFolder);
}

QString QtClientSettings::GetSystemProfilesDir() {
  return MakeFolder(ScopeFolder(QSettings::SystemScope) + "/" + kOrganisationFolder + "/Profiles");
}

QStringList QtClientSettings::ListUserProfiles() { return ListProfiles(GetUserProfilesDir()); }

QStringList QtClientSettings::ListSystemProfiles() { return ListProfiles(GetSystemProfilesDir()); }

bool QtClientSettings::IsUserProfile(const WCHAR* name) const {
  if (name == nullptr) return false;
  return std::u16string(name) == DefaultProfileName() || ListUserProfiles().contains(ToQString(name));
}

bool QtClientSettings::IsSystemProfileName(const WCHAR* name) {
  return name != nullptr && ListSystemProfiles().contains(ToQString(name));
}

int QtClientSettings::Load(QSettings& file) {
  LoadGeneric(file);
  for (const auto& group : kPlainGroups) {
    file.beginGroup(group.name);
    if (group.load != nullptr) group.load(file, *this);
    ReadKeys(file, *this, group.keys);
    file.endGroup();
  }
  LoadGroups(file);
  return 0;
}

void QtClientSettings::Save(QSettings& file) {
  SaveGeneric(file);
  for (const auto& group : kPlainGroups) {
    file.beginGroup(group.name);
    if (group.save != nullptr) group.save(file, *this);
    WriteKeys(file, *this, group.keys);
    file.endGroup();
  }
  SaveGroups(file);
}

void QtClientSettings::LoadGeneric(QSettings& file) {
  file.beginGroup("Generic");
  for (const QString& key : file.allKeys()) {
    QString name;
    StoreMap map;
    if (!ParseTypedKey(key, &name, &map)) continue;
    if (name.size() > kMaxGenericKeyChars) {
      LogMessageA("QtClientSettings::Load: generic key of %d characters skipped", name.size());
      continue;
    }
    QVariant value = file.value(key);
    std::u16string storeKey = ToU16String(name);
    switch (map) {
      case StoreMap::kInt:
        SetInt(storeKey, value.toInt());
        break;
      case StoreMap::kText:
        SetText(storeKey, ToU16String(value.toString()));
        break;
      case StoreMap::kBinary: {
        QByteArray bytes = value.toByteArray();
        SetBinary(storeKey, std::vector<BYTE>(bytes.begin(), bytes.end()));
        break;
      }
    }
  }
  SaveEngineLog = file.value("SaveEngineLog", true).toBool() ? 1 : 0;
  file.endGroup();
}

void QtClientSettings::SaveGeneric(QSettings& file) {
  file.beginGroup("Generic");
  for (const auto& entry : Store().CopyInts()) file.setValue(ToQString(entry.first) + "_int", entry.second);
  for (const auto& entry : Store().CopyTexts())
    file.setValue(ToQString(entry.first) + "_wstr", ToQString(entry.second));
  for (const auto& entry : Store().CopyBinaries()) {
    QByteArray bytes(reinterpret_cast<const char*>(entry.second.data()), static_cast<int>(entry.second.size()));
    file.setValue(ToQString(entry.first) + "_binary", bytes);
  }
  file.endGroup();
}

// Hand-edited files may leave gaps or give over-long texts: a group keeps
// its addresses in order without gaps, an over-long address is dropped and
// an over-long name is cut.
void QtClientSettings::LoadGroups(QSettings& file) {
  ClearGroups();
  file.beginGroup("GroupServers");
  for (const QString& section : file.childGroups()) {
    file.beginGroup(section);
    ServerGroupRecord record;
    SetFieldText(record.name, kFieldChars, ToU16String(file.value("GroupServerName").toString()));
    int count = std::min(kGroupAddresses, static_cast<int>(file.childKeys().size()));
    int stored = 0;
    char key[32];
    for (int d = 0; d < count; ++d) {
      AddressKey(key, sizeof key, d);
      QString address = file.value(key).toString();
      if (address.size() > static_cast<int>(kFieldTextMax)) {
        LogMessageA("QtClientSettings::LoadGroups: address of %d characters dropped", address.size());
        continue;
      }
      if (!address.isEmpty()) SetFieldText(record.addresses[stored++], kFieldChars, ToU16String(address));
    }
    PutGroup(record);
    file.endGroup();
  }
  file.endGroup();
}

void QtClientSettings::SaveGroups(QSettings& file) {
  file.remove("GroupServers");
  file.beginGroup("GroupServers");
  int n = 0;
  char key[64];
  for (const ServerGroupRecord& record : CopyRecords()) {
    MarkPersistent(record.name);
    if (!record.transient) {
      snprintf(key, sizeof key, "%s%d/%s", "GroupServer", n, "GroupServerName");
      file.setValue(key, ToQString(record.name));
      for (int i = 0; i < kGroupAddresses; ++i) {
        snprintf(key, sizeof key, "%s%d/%s%d", "GroupServer", n, "serverAddress", i);
        file.setValue(key, ToQString(record.addresses[i]));
      }
    }
    ++n;
  }
  file.endGroup();
}
