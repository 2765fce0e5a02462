// Profiles on disk: the INI files QtClientSettings writes and reads, in
// user and system scope, checked against plain QSettings and hand-written
// files; profile names, lists and desktop shortcuts.
#include <gtest/gtest.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QTextStream>
#include <sys/stat.h>
#include <cstring>
#include <memory>

#include "SettingsTestEnv.h"
#include "pelplat/utf16.h"
#include "settings/ProfileNames.h"
#include "settings/QtClientSettings.h"
#include "settings/QtGlobalSettings.h"
#include "settings/SecXoredBlock.h"

namespace {

const char kOrganisation[] = "Vantorel";
const char kProduct[] = "Kelvane Vesk Client for Windows";

std::u16string U(const QString& text) { return std::u16string(reinterpret_cast<const char16_t*>(text.utf16()), text.size()); }

void WriteFile(const QString& path, const QString& text) {
  QDir().mkpath(QFileInfo(path).absolutePath());
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
  file.write(text.toUtf8());
}

class ProfilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    api.modes = {PackSize(1920, 1080), PackSize(1280, 1024)};
    CurrentProfileName[0] = 0;
  }
  void TearDown() override { CurrentProfileName[0] = 0; }

  std::unique_ptr<QtClientSettings> NewSettings(bool noSave = false) {
    return std::make_unique<QtClientSettings>(kOrganisation, kProduct, noSave);
  }
  QString DefaultFile() const { return folders.UserProfileFile("Vesk/Default"); }

  TestFolders folders;
  FakeSystemApi api;
};

}  // namespace

TEST_F(ProfilesTest, SavedFileHoldsEveryKeyOfTheTable) {
  using S = CAbstractClientSettings;
  // Each numeric field is set to a value and must appear in the file as
  // the written value.
  struct NumberKey {
    const char* key;
    int32_t S::*field;
    int32_t set;
    int written;
  } numbers[] = {
      {"AutoLoginOptions/encryptionLevel", &S::encryptionLevel, 3, 3},
      {"AutoLoginOptions/autoLogon", &S::autoLogon, 5, 1},
      {"AutoLoginOptions/autoConnect", &S::autoConnect, 1, 1},
      {"AutoLoginOptions/exitOnDisconnect", &S::exitOnDisconnect, 0, 0},
      {"ScreenOptions/autoDetectAudioVideo", &S::autoDetectAudioVideo, 0, 0},
      {"ScreenOptions/colorDepth", &S::colorDepth, 0x110, 0x10},
      {"ScreenOptions/fullScreen", &S::fullScreen, 0, 0},
      {"ScreenOptions/useColorCursor", &S::useColorCursor, 1, 1},
      {"ScreenOptions/dsFormatsSupport", &S::dsFormatsSupport, 1, 1},
      {"ScreenOptions/dxva2Support", &S::dxva2Support, 0, 0},
      {"ScreenOptions/useAsyncMovieSlotProc", &S::useAsyncMovieSlotProc, 2, 2},
      {"ScreenOptions/useUniqueMovieFrames", &S::useUniqueMovieFrames, 0, 0},
      {"ScreenOptions/vlcVideoDecoderSupport", &S::vlcVideoDecoderSupport, 0, 0},
      {"ScreenOptions/useWmpChannelRedirection", &S::useWmpChannelRedirection, 1, 1},
      {"SoundOptions/useSound", &S::useSound, 0, 0},
      {"SoundOptions/vorbisSupport", &S::vorbisSupport, 1, 1},
      {"SoundOptions/useAudioVideoSynch", &S::useAudioVideoSynch, 0, 0},
      {"SoundOptions/vorbisAudioQuality", &S::vorbisAudioQuality, 4, 4},
      {"SoundOptions/audioThreadPriority", &S::audioThreadPriority, -1, -1},
      {"NetworkOptions/useWanNetwork", &S::useWanNetwork, 1, 1},
      {"NetworkOptions/clipboardShare", &S::clipboardShare, 0, 0},
      {"NetworkOptions/msPort", &S::msPort, 0x12345, 0x2345},
  };
  struct TextKey {
    const char* key;
    WCHAR (S::*field)[kFieldChars];
    const char16_t* value;
  } texts[] = {
      {"AutoLoginOptions/userName", &S::userName, u"jo"},
      {"AutoLoginOptions/domain", &S::domain, u"CORP"},
      {"NetworkOptions/msAddress", &S::msAddress, u"ms.example"},
      {"RunningProgramOptions/programPath", &S::programPath, u"/usr/bin/app"},
      {"RunningProgramOptions/workingDir", &S::workingDir, u"/srv"},
  };
  {
    auto s = NewSettings();
    for (const NumberKey& k : numbers) (*s).*k.field = k.set;
    for (const TextKey& k : texts) SetFieldText((*s).*k.field, kFieldChars, k.value);
    s->AddServerToHistory(u"second.example");
    s->AddServerToHistory(u"first.example");
    s->SetPassword(u"ab");
    s->screenSizes[0] = PackSize(1600, 900);
    s->screenSizes[1] = PackSize(800, 600);
    s->SetInt(u"NewGui", 0);
    s->SetText(u"GenericName", u"Pellum");
    s->SetBinary(u"Blob", {1, 2, 0, 255});
    s->AddServerAddressToGroup(u"Farm", u"f1");
  }  // the destructor saves the current profile: the default one

  ASSERT_TRUE(QFileInfo(DefaultFile()).isFile());
  QSettings file(DefaultFile(), QSettings::IniFormat);
  for (const NumberKey& k : numbers) {
    ASSERT_TRUE(file.contains(k.key)) << k.key;
    EXPECT_EQ(QString::number(k.written), file.value(k.key).toString()) << k.key;
  }
  for (const TextKey& k : texts) EXPECT_EQ(QString::fromUtf16(k.value), file.value(k.key).toString()) << k.key;
  struct Key {
    const char* key;
    QVariant value;
  } others[] = {
      {"Generic/NewGui_int", "0"},
      {"Generic/GenericName_wstr", "Pellum"},
      {"Generic/Blob_binary", QByteArray("\x01\x02\x00\xff", 4)},
      {"AutoLoginOptions/serverAddress0", "first.example"},
      {"AutoLoginOptions/serverAddress1", "second.example"},
      {"AutoLoginOptions/serverAddress9", ""},
      {"ScreenOptions/width__0", "1600"},
      {"ScreenOptions/height__0", "900"},
      {"ScreenOptions/width__1", "800"},
      {"ScreenOptions/height__1", "600"},
      {"GroupServers/GroupServer0/GroupServerName", "Farm"},
      {"GroupServers/GroupServer0/serverAddress0", "f1"},
      {"GroupServers/GroupServer0/serverAddress9", ""},
  };
  for (const Key& k : others) {
    ASSERT_TRUE(file.contains(k.key)) << k.key;
    EXPECT_EQ(k.value, file.value(k.key)) << k.key;
  }
  EXPECT_FALSE(file.contains("Generic/SaveEngineLog"));

  QByteArray password = file.value("AutoLoginOptions/password").toByteArray();
  ASSERT_EQ(520, password.size());
  const char scrambledAb[] = "\x3a\xe9\x76\x7c\x5a\xeb";
  EXPECT_EQ(0, std::memcmp(password.constData(), scrambledAb, 6));
  // Everything after the terminator is the scramble of zeros: unscrambling
  // the whole block gives "ab" and zeros.
  CSecXoredBlock clear(password.constData(), password.size());
  clear.Transform();
  EXPECT_EQ('a', clear.BytePtr()[0]);
  for (size_t i = 4; i < clear.size(); ++i) ASSERT_EQ(0, clear.BytePtr()[i]) << i;
}

TEST_F(ProfilesTest, RoundTripThroughTheFile) {
  {
    auto s = NewSettings();
    s->AddServerToHistory(u"host.example");
    s->SetUserName(u"jö");
    s->SetPassword(u"secret");
    s->autoDetectAudioVideo = 0;
    s->screenSizes[0] = PackSize(1600, 900);
    s->SetInt(u"LossyEnabled", 0);
    s->AddServerAddressToGroup(u"Farm", u"f2");
    s->AddServerAddressToGroup(u"Farm", u"f1");
  }
  auto s = NewSettings();
  EXPECT_EQ(u"host.example", std::u16string(s->serverHistory[0]));
  EXPECT_EQ(u"jö", std::u16string(s->userName));
  WCHAR password[64];
  s->GetPassword(password, 64);
  EXPECT_EQ(u"secret", std::u16string(password));
  EXPECT_EQ(PackSize(1600, 900), s->screenSizes[0]);
  EXPECT_EQ(0, s->GetInt(u"LossyEnabled", 1));
  EXPECT_EQ(u"f1", std::u16string(s->FindGroupServer(u"Farm", 0)));
  EXPECT_EQ(u"f2", std::u16string(s->FindGroupServer(u"Farm", 1)));
}

TEST_F(ProfilesTest, HandWrittenFileTakesDefaultsAndKeepsUnknownKeys) {
  WriteFile(DefaultFile(),
            "; written by an administrator\n"
            "[AutoLoginOptions]\n"
            "serverAddress0=srv.example\n"
            "userName=admin\n"
            "autoLogon=true\n"
            "[ScreenOptions]\n"
            "autoDetectAudioVideo=false\n"
            "width__0=1024\n"
            "colorDepth=16\n"
            "[NetworkOptions]\n"
            "clipboardShare=0\n"
            "[Custom]\n"
            "keep=me\n"
            "[Generic]\n"
            "Other=unchanged\n");
  {
    auto s = NewSettings();
    EXPECT_EQ(u"srv.example", std::u16string(s->serverHistory[0]));
    EXPECT_EQ(u"admin", std::u16string(s->userName));
    EXPECT_EQ(1, s->autoLogon);
    EXPECT_EQ(1, s->encryptionLevel);    // default
    EXPECT_EQ(1, s->SaveEngineLog);      // missing: true
    EXPECT_EQ(1, s->fullScreen);         // default
    EXPECT_EQ(0, s->autoDetectAudioVideo);
    // A missing height takes the best mode's.
    EXPECT_EQ(PackSize(1024, 1080), s->screenSizes[0]);
    EXPECT_EQ(PackSize(1280, 1024), s->screenSizes[1]);
    EXPECT_EQ(16, s->colorDepth);
    EXPECT_EQ(0, s->clipboardShare);
    EXPECT_EQ(std::vector<bool>{false}, api.clipboardCalls);
    WCHAR password[64];
    s->GetPassword(password, 64);
    EXPECT_EQ(u"", std::u16string(password));
  }
  QSettings file(DefaultFile(), QSettings::IniFormat);
  EXPECT_EQ("me", file.value("Custom/keep").toString());
  EXPECT_EQ("unchanged", file.value("Generic/Other").toString());
  EXPECT_EQ("1", file.value("AutoLoginOptions/encryptionLevel").toString());
  EXPECT_FALSE(file.contains("Generic/SaveEngineLog"));
}

// Sizes live in 16 bits and depths are one of four: anything else is
// refused for the default, never cut to some other size.
TEST_F(ProfilesTest, DisplayNumbersOutsideTheirRangesTakeTheDefaults) {
  WriteFile(DefaultFile(),
            "[ScreenOptions]\n"
            "autoDetectAudioVideo=false\n"
            "width__0=1000000000\n"
            "height__0=-5\n"
            "width__1=65535\n"
            "height__1=wide\n"
            "colorDepth=7\n");
  auto s = NewSettings(true);
  EXPECT_EQ(PackSize(1920, 1080), s->screenSizes[0]);
  EXPECT_EQ(PackSize(65535, 1024), s->screenSizes[1]);
  EXPECT_EQ(24, s->colorDepth);
}

TEST_F(ProfilesTest, SaveEngineLogIsReadButNeverWritten) {
  WriteFile(DefaultFile(), "[Generic]\nSaveEngineLog=false\n");
  {
    auto s = NewSettings();
    EXPECT_EQ(0, s->SaveEngineLog);
  }
  QSettings file(DefaultFile(), QSettings::IniFormat);
  EXPECT_EQ("false", file.value("Generic/SaveEngineLog").toString());
}

TEST_F(ProfilesTest, TypedKeysOfGroupGeneric) {
  WriteFile(DefaultFile(),
            "[Generic]\n"
            "X_int=5\n"
            "sub\\Y_wstr=text\n"
            "_int=9\n"
            "Z=7\n"
            "A_wstr_int=3\n"
            "B_binary=@ByteArray(\\x1\\x2)\n"
            "C_int=notanumber\n");
  {
    auto s = NewSettings();
    struct Int {
      const char16_t* key;
      bool present;
      int value;
    } ints[] = {
        {u"X", true, 5}, {u"A_wstr", true, 3}, {u"C", true, 0},
        {u"", false, 0}, {u"Z", false, 0},     {u"Y", false, 0},
    };
    for (const Int& i : ints) {
      SCOPED_TRACE(Utf16ToUtf8(i.key));
      int32_t value = -1;
      EXPECT_EQ(i.present, s->FindInt(i.key, &value));
      EXPECT_EQ(i.present ? i.value : -1, value);
    }
    std::u16string text;
    EXPECT_TRUE(s->FindText(u"Y", &text));
    EXPECT_EQ(u"text", text);
    EXPECT_EQ(1u, s->Store().CopyBinaries().count(u"B"));
    EXPECT_EQ((std::vector<BYTE>{1, 2}), s->Store().CopyBinaries()[u"B"]);
  }
  QSettings file(DefaultFile(), QSettings::IniFormat);
  EXPECT_EQ("text", file.value("Generic/Y_wstr").toString());  // saved at the top of the group
  EXPECT_EQ("text", file.value("Generic/sub/Y_wstr").toString());
  EXPECT_EQ("3", file.value("Generic/A_wstr_int").toString());
}

TEST_F(ProfilesTest, AutoDetectUsesTheLocalDisplaysAndStillSavesSizes) {
  WriteFile(DefaultFile(), "[ScreenOptions]\nwidth__0=640\nheight__0=480\n");
  {
    auto s = NewSettings();
    EXPECT_EQ(1, s->autoDetectAudioVideo);
    EXPECT_EQ(PackSize(1920, 1080), s->screenSizes[0]);
  }
  QSettings file(DefaultFile(), QSettings::IniFormat);
  EXPECT_EQ(1920, file.value("ScreenOptions/width__0").toInt());
  EXPECT_EQ(1024, file.value("ScreenOptions/height__1").toInt());
}

TEST_F(ProfilesTest, OverLongTextsAreNotTaken) {
  QString longText(300, 'x');
  WriteFile(DefaultFile(), "[AutoLoginOptions]\nuserName=" + longText + "\ndomain=" + QString(259, 'd') + "\n");
  auto s = NewSettings();
  s->SetUserName(u"kept");
  s->Reload(false);
  EXPECT_EQ(u"kept", std::u16string(s->userName));
  EXPECT_EQ(259u, WcsLen(s->domain));
}

TEST_F(ProfilesTest, TransientGroupIsSkippedOnceAndNumbersKeepTheirPlace) {
  auto s = NewSettings(true);
  s->AddGroup(u"A-first", true);
  s->AddServerAddressToGroup(u"A-first", u"a1");
  s->AddServerAddressToGroup(u"B-second", u"b1");
  QString path = folders.UserConfig() + "/out.ini";
  {
    QSettings file(path, QSettings::IniFormat);
    s->Save(file);
  }
  {
    QSettings file(path, QSettings::IniFormat);
    file.beginGroup("GroupServers");
    EXPECT_EQ(QStringList{"GroupServer1"}, file.childGroups());
    EXPECT_EQ("B-second", file.value("GroupServer1/GroupServerName").toString());
  }
  {
    QSettings file(path, QSettings::IniFormat);
    s->Save(file);  // the group is no longer transient
  }
  QSettings file(path, QSettings::IniFormat);
  file.beginGroup("GroupServers");
  EXPECT_EQ((QStringList{"GroupServer0", "GroupServer1"}), file.childGroups());
  EXPECT_EQ("a1", file.value("GroupServer0/serverAddress0").toString());
}

TEST_F(ProfilesTest, HandWrittenGroupsAreRead) {
  const QString farm = "GroupServer0\\GroupServerName=Farm\n"
                       "GroupServer0\\serverAddress0=f1\n"
                       "GroupServer0\\serverAddress1=\n"
                       "GroupServer0\\serverAddress2=f3\n"
                       "GroupServer0\\serverAddress3=" + QString(300, 'x') + "\n";
  WriteFile(DefaultFile(),
            "[GroupServers]\n" + farm +
            "GroupServer7\\GroupServerName=Small\n"
            "GroupServer7\\serverAddress0=s1\n"
            "GroupServer7\\serverAddress5=beyond-the-key-count\n"
            "GroupServer9\\GroupServerName=Farm\n"
            "GroupServer9\\serverAddress0=replaced\n");
  auto s = NewSettings(true);
  // A later section of the same name replaces an earlier one.
  EXPECT_EQ(2, s->GetGroupCount());
  EXPECT_EQ(u"replaced", std::u16string(s->FindGroupServer(u"Farm", 0)));
  // Only addresses below the section's key count are read.
  EXPECT_EQ(1, s->GetServerCount(s->FindGroupIndex(u"Small")));

  WriteFile(DefaultFile(), "[GroupServers]\n" + farm);
  s->Reload(false);
  // Gaps close and an over-long address is dropped, so the addresses a
  // group walk tries are the ones it counts.
  int farmIndex = s->FindGroupIndex(u"Farm");
  EXPECT_EQ(2, s->GetServerCount(farmIndex));
  EXPECT_EQ(u"f3", std::u16string(s->GetGroupServer(farmIndex, 1)));
}

TEST_F(ProfilesTest, ValidateProfileName) {
  struct Case {
    const char16_t* name;
    int expected;
  } cases[] = {
      {u"", -1},        {u" lead", -1},   {u"trail ", -1}, {u"a<b", -1},    {u"a>b", -1},
      {u"a:b", -1},     {u"a\"b", -1},    {u"a/b", -1},    {u"a\\b", -1},   {u"a?b", -1},
      {u"a*b", -1},     {u"a|b", -1},     {u"a\tb", -1},   {u"in middle", 0}, {u"Profil ä", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(c.expected, QtClientSettings::ValidateProfileName(c.name)) << Utf16ToUtf8(c.name);
  EXPECT_EQ(-1, QtClientSettings::ValidateProfileName(nullptr));
}

TEST_F(ProfilesTest, UserAndSystemProfiles) {
  auto s = NewSettings(true);
  EXPECT_TRUE(s->IsUserProfile(u"Vesk/Default"));  // no file needed
  EXPECT_TRUE(QtClientSettings::ListUserProfiles().isEmpty());

  s->SetUserName(u"saved");
  EXPECT_EQ(0, s->SaveAsUserProfile(u"Mine"));
  EXPECT_EQ(u"Mine", std::u16string(s->profileName));
  EXPECT_EQ(0, CurrentProfileName[0]);  // save-as leaves the current profile alone
  EXPECT_EQ(-1, s->SaveAsUserProfile(u"bad:name"));
  EXPECT_EQ(QStringList{"Mine"}, QtClientSettings::ListUserProfiles());
  EXPECT_TRUE(s->IsUserProfile(u"Mine"));

  EXPECT_EQ(0, s->SaveAsSystemProfile(u"Corp"));
  EXPECT_EQ(u"Mine", std::u16string(s->profileName));
  EXPECT_TRUE(QFileInfo(folders.SystemProfileFile("Corp")).isFile());
  EXPECT_EQ(-1, s->SaveAsSystemProfile(u"Corp"));  // exists already
  EXPECT_TRUE(QtClientSettings::IsSystemProfileName(u"Corp"));
  EXPECT_FALSE(s->IsUserProfile(u"Corp"));

  // Links and other files are not profiles; ".ini" goes from the names.
  QFile::link(folders.UserProfileFile("Mine"), folders.UserProfileFile("Link"));
  WriteFile(folders.UserConfig() + "/Vantorel/notes.txt", "x");
  EXPECT_EQ(QStringList{"Mine"}, QtClientSettings::ListUserProfiles());

  // Save-as empties an existing file first.
  WriteFile(folders.UserProfileFile("Fresh"), "[Stale]\nkey=1\n");
  EXPECT_EQ(0, s->SaveAsUserProfile(u"Fresh"));
  QSettings fresh(folders.UserProfileFile("Fresh"), QSettings::IniFormat);
  EXPECT_FALSE(fresh.contains("Stale/key"));
  EXPECT_EQ("saved", fresh.value("AutoLoginOptions/userName").toString());
}

// A user's profile holds that user's scrambled password: only the user reads
// it, whatever the umask; a shared profile is read by every user.
TEST_F(ProfilesTest, ProfileFilesAreOnlyAsReadableAsTheirScopeNeeds) {
  const mode_t oldMask = umask(0);
  auto s = NewSettings(true);
  s->SetUserName(u"saved");
  EXPECT_EQ(0, s->SaveAsUserProfile(u"Mine"));
  EXPECT_EQ(0, s->SaveAsSystemProfile(u"Corp"));
  // A file that existed with a wider mode is narrowed when saved again.
  WriteFile(folders.UserProfileFile("Old"), "[AutoLoginOptions]\nuserName=x\n");
  chmod(QFile::encodeName(folders.UserProfileFile("Old")).constData(), 0666);
  EXPECT_EQ(0, s->SaveAsUserProfile(u"Old"));
  umask(oldMask);

  auto modeOf = [](const QString& path) {
    struct stat st {};
    EXPECT_EQ(0, stat(QFile::encodeName(path).constData(), &st)) << path.toStdString();
    return st.st_mode & 0777;
  };
  EXPECT_EQ(0600u, modeOf(folders.UserProfileFile("Mine")));
  EXPECT_EQ(0600u, modeOf(folders.UserProfileFile("Old")));
  EXPECT_EQ(0644u, modeOf(folders.SystemProfileFile("Corp")));
}

TEST_F(ProfilesTest, LoadProfileFromEitherScope) {
  WriteFile(folders.UserProfileFile("Mine"), "[AutoLoginOptions]\nuserName=user-scope\n");
  WriteFile(folders.SystemProfileFile("Corp"), "[AutoLoginOptions]\nuserName=system-scope\n");
  auto s = NewSettings(true);
  EXPECT_EQ(0, s->LoadProfile(u"Corp"));
  EXPECT_EQ(u"system-scope", std::u16string(s->userName));
  EXPECT_EQ(u"Corp", std::u16string(CurrentProfileName));
  EXPECT_EQ(0, s->LoadProfile(u"Mine"));
  EXPECT_EQ(u"user-scope", std::u16string(s->userName));

  EXPECT_EQ(-1, s->LoadProfile(u"Nowhere"));
  EXPECT_EQ(u"user-scope", std::u16string(s->userName));  // nothing loaded
  EXPECT_EQ(u"Nowhere", std::u16string(CurrentProfileName));

  s->Reload(true);
  EXPECT_EQ(u"Vesk/Default", std::u16string(s->profileName));
  EXPECT_EQ(u"Vesk/Default", std::u16string(CurrentProfileName));
}

TEST_F(ProfilesTest, SecondProfileKeepsGenericKeysOfTheFirst) {
  WriteFile(folders.UserProfileFile("One"), "[Generic]\nOnlyInOne_int=1\nShared_int=1\n");
  WriteFile(folders.UserProfileFile("Two"), "[Generic]\nShared_int=2\n");
  auto s = NewSettings(true);
  ASSERT_EQ(0, s->LoadProfile(u"One"));
  ASSERT_EQ(0, s->LoadProfile(u"Two"));
  EXPECT_EQ(1, s->GetInt(u"OnlyInOne", 0));
  EXPECT_EQ(2, s->GetInt(u"Shared", 0));
}

TEST_F(ProfilesTest, SystemProfileChosenEarlierLoadsFromSystemScopeNextPass) {
  WriteFile(folders.SystemProfileFile("Corp"), "[AutoLoginOptions]\nuserName=corp-user\nencryptionLevel=2\n");
  {
    QtGlobalSettings security(kOrganisation, kProduct);
    auto s = NewSettings();
    ASSERT_EQ(0, s->LoadProfile(u"Corp"));
  }  // end of pass: no verified master password, the system file stays as it is
  const QByteArray before = [&] {
    QFile f(folders.SystemProfileFile("Corp"));
    f.open(QIODevice::ReadOnly);
    return f.readAll();
  }();
  {
    QtGlobalSettings security(kOrganisation, kProduct);
    auto s = NewSettings();  // the next pass starts from CurrentProfileName
    EXPECT_EQ(u"Corp", std::u16string(s->profileName));
    EXPECT_EQ(u"corp-user", std::u16string(s->userName));
    EXPECT_EQ(2, s->encryptionLevel);
  }
  QFile after(folders.SystemProfileFile("Corp"));
  ASSERT_TRUE(after.open(QIODevice::ReadOnly));
  EXPECT_EQ(before, after.readAll());
  EXPECT_FALSE(QFileInfo(folders.UserProfileFile("Corp")).exists());

  // With the master password verified the end-of-pass save writes it.
  {
    QtGlobalSettings security(kOrganisation, kProduct);
    security.SetPassword(u"master");
    ASSERT_TRUE(security.CheckPassword(u"master"));
    auto s = NewSettings();
    s->SetUserName(u"changed");
  }
  QSettings file(folders.SystemProfileFile("Corp"), QSettings::IniFormat);
  EXPECT_EQ("changed", file.value("AutoLoginOptions/userName").toString());
}

TEST_F(ProfilesTest, ShortcutIsAValidDesktopEntry) {
  const QString validator = QStandardPaths::findExecutable("desktop-file-validate");
  auto s = NewSettings(true);
  QString desktop = QString::fromStdString(folders.Root()) + "/home/Desktop/";
  QDir().mkpath(desktop);
  std::u16string folder = U(desktop);

  ASSERT_TRUE(s->CreateProfileShortcut(folder.c_str(), u"My Profile"));
  QString path = desktop + "My Profile.desktop";
  ASSERT_TRUE(QFileInfo(path).isFile());
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  QString text = QString::fromUtf8(file.readAll());
  EXPECT_TRUE(text.contains("Exec=" + QFileInfo("/proc/self/exe").symLinkTarget() + " -s \"My Profile\"\n")) << qPrintable(text);
  EXPECT_TRUE(text.contains("Comment=Link to Kelvane Vesk Client profile : My Profile\n")) << qPrintable(text);
  EXPECT_TRUE(text.contains("Name=My Profile\n"));

  if (validator.isEmpty()) GTEST_SKIP() << "desktop-file-validate is not installed (desktop-file-utils)";
  QProcess run;
  run.start(validator, {path});
  ASSERT_TRUE(run.waitForFinished(30000));
  EXPECT_EQ(0, run.exitCode()) << run.readAllStandardOutput().toStdString()
                               << run.readAllStandardError().toStdString();
  EXPECT_TRUE(run.readAllStandardOutput().trimmed().isEmpty());
}

TEST_F(ProfilesTest, ShortcutWithTooLongPathIsNotCreated) {
  auto s = NewSettings(true);
  QString desktop = QString::fromStdString(folders.Root()) + "/";
  std::u16string folder = U(desktop);
  std::u16string profile(259 - folder.size() - 8 + 1, u'p');  // one over with ".desktop"
  EXPECT_FALSE(s->CreateProfileShortcut(folder.c_str(), profile.c_str()));
  EXPECT_TRUE(QDir(desktop).entryList({"*.desktop"}).isEmpty());
  profile.pop_back();
  EXPECT_TRUE(s->CreateProfileShortcut(folder.c_str(), profile.c_str()));
}
