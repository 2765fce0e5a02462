// The master password: checks against the scrambled block, and the
// system-scope INI file that keeps it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <cstring>
#include <string>

#include "SettingsTestEnv.h"
#include "settings/QtGlobalSettings.h"

namespace {

const char kOrganisation[] = "Vantorel";
const char kProduct[] = "Kelvane Vesk Client for Windows";

class SecurityTest : public ::testing::Test {
 protected:
  QString FilePath() const { return folders.SystemConfig() + "/Vantorel/" + kProduct + ".ini"; }
  void Write(const QString& text) {
    QDir().mkpath(QFileInfo(FilePath()).absolutePath());
    QFile file(FilePath());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text.toUtf8());
  }
  TestFolders folders;
};

}  // namespace

TEST(SecuritySettings, CheckPassword) {
  CSecuritySettings security;
  security.SetPassword(u"master");
  struct Case {
    const char16_t* text;
    bool expected;
  } cases[] = {
      {u"master", true}, {u"maste", false}, {u"masterx", false}, {u"", false}, {u"Master", false},
  };
  for (const Case& c : cases) {
    security.verified = 1;
    EXPECT_EQ(c.expected, security.CheckPassword(c.text));
    EXPECT_EQ(c.expected ? 1 : 0, security.verified);
  }
  EXPECT_FALSE(security.CheckPassword(nullptr));

  // Clearing the set flag does not clear the block in memory.
  security.SetPasswordSet(0);
  EXPECT_TRUE(security.CheckPassword(u"master"));

  // The stored bytes are the scramble of the text and its terminator.
  security.SetPassword(u"ab");
  const BYTE expected[] = {0x3a, 0xe9, 0x76, 0x7c, 0x5a, 0xeb};
  EXPECT_EQ(0, std::memcmp(security.passwordBlock, expected, sizeof expected));
}

TEST(SecuritySettings, OverLongPasswords) {
  CSecuritySettings security;
  std::u16string longText(300, u'k');
  security.SetPassword(longText.c_str());  // kept: its first 259 characters
  EXPECT_TRUE(security.CheckPassword(longText.substr(0, 259).c_str()));
  EXPECT_FALSE(security.CheckPassword(longText.c_str()));
  std::u16string huge(100000, u'k');
  EXPECT_FALSE(security.CheckPassword(huge.c_str()));
  EXPECT_EQ(0, security.verified);
}

TEST_F(SecurityTest, MissingFileMeansNoPassword) {
  {
    QtGlobalSettings security(kOrganisation, kProduct);
    EXPECT_EQ(&security, QtGlobalSettings::GetInstance());
    EXPECT_EQ(0, security.passwordSet);
    EXPECT_EQ(0, security.verified);
    EXPECT_EQ(0, security.userName[0]);
  }
  EXPECT_EQ(nullptr, QtGlobalSettings::GetInstance());
  QSettings file(FilePath(), QSettings::IniFormat);
  ASSERT_TRUE(file.contains("SecurityOptions/Password"));
  EXPECT_TRUE(file.value("SecurityOptions/Password").toByteArray().isEmpty());
  EXPECT_FALSE(file.contains("SecurityOptions/UserName"));
}

TEST_F(SecurityTest, EmptyPasswordValueMeansNoPassword) {
  Write("[SecurityOptions]\nUserName=admin\nPassword=@ByteArray()\n");
  QtGlobalSettings security(kOrganisation, kProduct);
  EXPECT_EQ(0, security.passwordSet);
  EXPECT_EQ(u"admin", std::u16string(security.userName));
}

TEST_F(SecurityTest, PasswordSurvivesSaveAndLoad) {
  Write("[SecurityOptions]\nUserName=admin\n");
  chmod(QFile::encodeName(FilePath()).constData(), 0666);  // left writable by anyone
  {
    QtGlobalSettings security(kOrganisation, kProduct);
    security.SetPasswordSet(1);
    security.SetPassword(u"geheim");
  }
  {
    QSettings file(FilePath(), QSettings::IniFormat);
    EXPECT_EQ(520, file.value("SecurityOptions/Password").toByteArray().size());
    EXPECT_EQ("admin", file.value("SecurityOptions/UserName").toString());
    // Every user's copy reads the shared file; only its owner writes it.
    struct stat st {};
    ASSERT_EQ(0, stat(QFile::encodeName(FilePath()).constData(), &st));
    EXPECT_EQ(0644u, st.st_mode & 0777);
  }
  {
    QtGlobalSettings security(kOrganisation, kProduct);
    EXPECT_EQ(1, security.passwordSet);
    EXPECT_EQ(0, security.verified);  // every pass starts unverified
    EXPECT_FALSE(security.CheckPassword(u"geheimx"));
    EXPECT_TRUE(security.CheckPassword(u"geheim"));
    EXPECT_EQ(u"admin", std::u16string(security.userName));
    security.SetPasswordSet(0);  // the master-password page clears it
  }
  QtGlobalSettings security(kOrganisation, kProduct);
  EXPECT_EQ(0, security.passwordSet);
  QSettings file(FilePath(), QSettings::IniFormat);
  EXPECT_EQ("admin", file.value("SecurityOptions/UserName").toString());  // left as the file had it
}

TEST_F(SecurityTest, ShortOrLongStoredBlocksAreBounded) {
  // Six bytes: "ab" scrambled. A hand-made file may hold fewer or more
  // bytes than the block; only the block's 520 are taken.
  Write("[SecurityOptions]\nPassword=@ByteArray(:\\xe9v|Z\\xeb)\n");
  {
    QtGlobalSettings security(kOrganisation, kProduct);
    EXPECT_EQ(1, security.passwordSet);
    EXPECT_TRUE(security.CheckPassword(u"ab"));
  }
  QSettings file(FilePath(), QSettings::IniFormat);
  file.setValue("SecurityOptions/Password", QByteArray(4000, 'z'));
  file.sync();
  QtGlobalSettings security(kOrganisation, kProduct);
  EXPECT_EQ(1, security.passwordSet);
  EXPECT_FALSE(security.CheckPassword(u"ab"));
}

TEST_F(SecurityTest, OverLongUserNameIsNotTaken) {
  Write("[SecurityOptions]\nUserName=" + QString(260, 'u') + "\n");
  QtGlobalSettings security(kOrganisation, kProduct);
  EXPECT_EQ(0, security.userName[0]);
}
