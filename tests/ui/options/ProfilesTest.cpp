// The profile page and the profile view over profile files in a private
// HOME: save, list, load, view, delete, restore and the desktop shortcut.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QGridLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QTextDocument>

#include "OptionsTestEnv.h"
#include "settings/ProfileNames.h"
#include "settings/QtText.h"
#include "ui/options/ClientInfoMsg.h"
#include "ui/options/QtLineEdit.h"
#include "ui/options/QtOptionsWindow.h"
#include "ui/options/QtProfileOptions.h"
#include "ui/options/QtRadioButtonWithLink.h"
#include "ui/options/QtViewProfile.h"

namespace {

const QString kDefault = "Vesk/Default";

QString Shown(QLabel* label) {
  QTextDocument document;
  document.setHtml(label->text());
  return document.toPlainText();
}

// The rows of the view: title and summary text, in grid order.
QStringList ViewRows(QtViewProfile* view) {
  QStringList rows;
  QGridLayout* grid = view->Grid();
  for (int r = 0; r < grid->rowCount(); ++r) {
    QLayoutItem* title = grid->itemAtPosition(r, 0);
    QLayoutItem* summary = grid->itemAtPosition(r, 1);
    if (title == nullptr || summary == nullptr) continue;
    rows << static_cast<QLabel*>(title->widget())->text() + " " + Shown(static_cast<QLabel*>(summary->widget()));
  }
  return rows;
}

class ProfilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QDir().mkpath(QString::fromStdString(pass.folders.Root()) + "/home/Desktop");
    pass.NewPass();  // the desktop folder is looked up when the settings are made
    window = std::make_unique<QtOptionsWindow>(nullptr);
    page = window->findChild<QtProfileOptions*>();
  }
  void TearDown() override { window.reset(); }

  QtClientSettings& settings() { return *pass.settings; }

  QStringList Rows() {
    QStringList rows;
    for (int i = 0; i < page->ProfileList()->count(); ++i) {
      QtRadioButtonWithLink* row = page->Row(i);
      QStringList links;
      for (QPushButton* link : row->Links()) links << link->text();
      rows << row->text() + (row->objectName().endsWith("SH") ? " [shared]" : "") + (row->isChecked() ? " *" : "") +
                  " (" + links.join(",") + ")";
    }
    return rows;
  }

  void Save(const QString& name, bool shared = false, bool shortcut = false) {
    page->SaveRadio()->setChecked(true);
    page->ShareBox()->setChecked(shared);
    page->ShortcutBox()->setChecked(shortcut);
    page->NameEdit()->setText(name);
    page->SaveButton()->click();
  }

  // Opens the view of a profile and returns its heading and rows.
  QStringList View(const QString& name) {
    QStringList seen;
    answerer.OnDialog("QtViewProfile", [&seen](QWidget* dialog) {
      auto* view = static_cast<QtViewProfile*>(dialog);
      seen << view->Heading()->text() << ViewRows(view);
      view->reject();
    });
    page->ProfileLinkClicked(name, "View");
    return seen;
  }

  QString UserFile(const QString& name) { return pass.folders.UserProfileFile(name); }
  QString SystemFile(const QString& name) { return pass.folders.SystemProfileFile(name); }

  PassSettings pass;
  FakeOptionsHost host;
  ModalAnswerer answerer;
  std::unique_ptr<QtOptionsWindow> window;
  QtProfileOptions* page = nullptr;
};

}  // namespace

TEST_F(ProfilesTest, SaveListAndShortcut) {
  settings().SetUserName(u"worker");
  Save("Office", false, true);
  EXPECT_TRUE(answerer.boxes.empty());
  EXPECT_TRUE(QFile::exists(UserFile("Office")));
  const QString shortcut = QString::fromStdString(pass.folders.Root()) + "/home/Desktop/Office.desktop";
  ASSERT_TRUE(QFile::exists(shortcut));
  QFile entry(shortcut);
  ASSERT_TRUE(entry.open(QIODevice::ReadOnly));
  EXPECT_TRUE(entry.readAll().contains("-s Office"));
  EXPECT_EQ("Office", Q(settings().profileName));
  EXPECT_EQ("Office", page->SelectedProfile());
  EXPECT_EQ("", page->NameEdit()->text());
  EXPECT_EQ("Current configuration saved as 'Office'", page->MessageWidget()->Text());
  EXPECT_EQ("Current profile: Office", Shown(page->CurrentProfileLabel()));

  Save("Lab", true);
  EXPECT_TRUE(QFile::exists(SystemFile("Lab")));
  // A shared profile that also exists for the user is listed once, as the user's.
  QDir().mkpath(QFileInfo(SystemFile("Office")).absolutePath());
  QFile::copy(UserFile("Office"), SystemFile("Office"));
  page->RefreshProfilesList();
  QStringList rows = Rows();
  rows.sort();
  EXPECT_EQ((QStringList{"Lab [shared] (View,Delete)", "Office * (View,Delete)", "Vesk/Default (View,Restore)"}),
            rows);
}

TEST_F(ProfilesTest, SaveRefusals) {
  Save("");
  ASSERT_EQ(1u, answerer.boxes.size());
  EXPECT_EQ("The \"New profile name\" is empty!\nPlease enter your profile name.", answerer.boxes[0].text);
  EXPECT_EQ(QMessageBox::Warning, answerer.boxes[0].icon);
  Save("a:b");
  ASSERT_EQ(2u, answerer.boxes.size());
  EXPECT_EQ("Cannot save profile : a:b", answerer.boxes[1].text);

  // The same name in another case asks before overwriting.
  Save("Office");
  settings().SetUserName(u"changed");
  answerer.AnswerBox(QMessageBox::No);
  Save("OFFICE");
  ASSERT_EQ(3u, answerer.boxes.size());
  EXPECT_EQ("OFFICE : profile already exits. Overwrite?", answerer.boxes[2].text);
  EXPECT_FALSE(QFile::exists(UserFile("OFFICE")));
  // Without a desktop folder the profile is saved all the same.
  QDir(QString::fromStdString(pass.folders.Root()) + "/home/Desktop").removeRecursively();
  pass.NewPass();
  QtOptionsWindow other(nullptr);
  auto* fresh = other.findChild<QtProfileOptions*>();
  fresh->ShortcutBox()->setChecked(true);
  fresh->NameEdit()->setText("Home");
  fresh->SaveButton()->click();
  ASSERT_EQ(4u, answerer.boxes.size());
  EXPECT_EQ("Cannot create shortcut : Home", answerer.boxes[3].text);
  EXPECT_TRUE(QFile::exists(UserFile("Home")));
}

TEST_F(ProfilesTest, LoadSaysWhetherItWorked) {
  settings().SetUserName(u"office-user");
  Save("Office");
  settings().SetUserName(u"lab-user");
  Save("Lab");
  page->LoadRadio()->setChecked(true);
  page->RefreshProfilesList();
  for (int i = 0; i < page->ProfileList()->count(); ++i)
    if (page->Row(i)->text() == "Office") page->Row(i)->setChecked(true);
  EXPECT_EQ("Office", page->SelectedProfile());
  page->LoadButton()->click();
  EXPECT_EQ("office-user", Q(settings().userName));
  EXPECT_EQ("'Office' profile loaded", page->MessageWidget()->Text());
  EXPECT_EQ("Office", Q(CurrentProfileName));

  QFile::remove(UserFile("Lab"));
  for (int i = 0; i < page->ProfileList()->count(); ++i) {
    if (page->Row(i)->text() == "Lab") page->Row(i)->setChecked(true);
    // One row is checked at a time.
    EXPECT_EQ(page->Row(i)->text() == "Lab", page->Row(i)->isChecked()) << page->Row(i)->text().toStdString();
  }
  page->LoadButton()->click();
  EXPECT_EQ("Cannot load profile : Lab", page->MessageWidget()->Text());
  EXPECT_EQ("office-user", Q(settings().userName));
}

TEST_F(ProfilesTest, ViewLeavesTheCurrentProfileAlone) {
  settings().SetUserName(u"office-user");
  settings().AddServerToHistory(u"office.example");
  Save("Office");
  const QString longName = "Configuration for the far away branch";
  settings().SetUserName(u"branch-user");
  settings().SetProgramPath(u"/bin/<kiosk>&");
  Save(longName);
  page->ProfileLinkClicked("Office", "Load");  // not a link: nothing happens
  settings().LoadProfile(u"Office");
  page->Load();

  QStringList seen = View(longName);
  ASSERT_FALSE(seen.isEmpty());
  EXPECT_EQ("Configurat...way branch configuration", seen[0]);
  EXPECT_TRUE(seen.contains("Auto-login options: User: 'branch-user' | Password: Not set | Domain: Not set"))
      << seen.join("\n").toStdString();
  EXPECT_TRUE(seen.contains("Kiosk startup mode: Enabled | Program: '/bin/<kiosk>&'")) << seen.join("\n").toStdString();
  EXPECT_EQ(6, seen.size());
  EXPECT_EQ("Office", Q(CurrentProfileName));
  EXPECT_EQ("Office", Q(settings().profileName));
  EXPECT_EQ("office-user", Q(settings().userName));
  // The viewed row is the selected one afterwards.
  EXPECT_EQ(longName, page->SelectedProfile());

  // The current profile is shown with what is in memory, saved or not.
  settings().SetUserName(u"unsaved");
  seen = View("Office");
  EXPECT_TRUE(seen.contains("Auto-login options: User: 'unsaved' | Password: Not set | Domain: Not set"));

  // The next pass starts from the current profile, not the viewed one.
  pass.NewPass();
  EXPECT_EQ("Office", Q(pass.settings->profileName));
  EXPECT_EQ("unsaved", Q(pass.settings->userName));
}

TEST_F(ProfilesTest, DeleteUserAndSharedProfiles) {
  Save("Office");
  Save("Lab", true);
  Save("Spare");
  pass.security->SetPassword(u"admin");
  pass.security->SetPasswordSet(TRUE);

  answerer.AnswerBox(QMessageBox::No);
  page->ProfileLinkClicked("Spare", "Delete");
  EXPECT_TRUE(QFile::exists(UserFile("Spare")));
  EXPECT_EQ("Are you sure that you want to permanently delete \"Spare\" profile", answerer.boxes.back().text);

  answerer.AnswerBox(QMessageBox::Yes);
  page->ProfileLinkClicked("Spare", "Delete");
  EXPECT_FALSE(QFile::exists(UserFile("Spare")));
  EXPECT_FALSE(Rows().join(";").contains("Spare"));

  // A shared profile needs the master password.
  answerer.AnswerBox(QMessageBox::Yes);
  answerer.AnswerPassword("admin", false);
  page->ProfileLinkClicked("Lab", "Delete");
  EXPECT_TRUE(QFile::exists(SystemFile("Lab")));
  answerer.AnswerBox(QMessageBox::Yes);
  answerer.AnswerPassword("admin", true);
  page->ProfileLinkClicked("Lab", "Delete");
  EXPECT_FALSE(QFile::exists(SystemFile("Lab")));
  EXPECT_EQ(2, answerer.passwordDialogs);

  // A user profile with a shared namesake is the user's to delete.
  QDir().mkpath(QFileInfo(SystemFile("Office")).absolutePath());
  QFile::copy(UserFile("Office"), SystemFile("Office"));
  settings().LoadProfile(u"Office");
  page->Load();
  EXPECT_EQ("Office", page->SelectedProfile());
  answerer.AnswerBox(QMessageBox::Yes);
  page->ProfileLinkClicked("Office", "Delete");
  EXPECT_FALSE(QFile::exists(UserFile("Office")));
  EXPECT_TRUE(QFile::exists(SystemFile("Office")));
  EXPECT_EQ(2, answerer.passwordDialogs);
  // It was the selected one: the settings are back on the default profile.
  EXPECT_EQ(kDefault, Q(settings().profileName));
  EXPECT_EQ(kDefault, page->SelectedProfile());
  EXPECT_EQ("Current profile: Vesk/Default", Shown(page->CurrentProfileLabel()));
}

TEST_F(ProfilesTest, RestoreGivesTheDefaults) {
  settings().SetUserName(u"someone");
  settings().SetPassword(u"secret-password");
  settings().autoConnect = 1;
  settings().AddServerToHistory(u"old.example");
  settings().AddServerAddressToGroup(u"Farm", u"a");
  settings().SetInt(u"GuiMultiMonitor", 1);
  settings().SaveCurrentProfile();
  ASSERT_TRUE(QFile::exists(UserFile(kDefault)));
  Save("Office");

  answerer.AnswerBox(QMessageBox::No);
  page->ProfileLinkClicked(kDefault, "Restore");
  EXPECT_EQ("Are you sure to set default values to Vesk/Default profile", answerer.boxes.back().text);
  EXPECT_EQ("someone", Q(settings().userName));

  answerer.AnswerBox(QMessageBox::Yes);
  page->ProfileLinkClicked(kDefault, "Restore");
  EXPECT_EQ(kDefault, Q(settings().profileName));
  EXPECT_EQ("", Q(settings().userName));
  EXPECT_EQ(0, settings().autoConnect);
  EXPECT_EQ("", Q(settings().serverHistory[0]));
  EXPECT_EQ(0, settings().GetGroupCount());
  EXPECT_EQ(0, settings().GetInt(u"GuiMultiMonitor", 0));
  WCHAR password[260];
  settings().GetPassword(password, 260);
  EXPECT_EQ("", Q(password));
  CAbstractClientSettings fresh(true);
  EXPECT_EQ(0, std::memcmp(fresh.passwordBlock, settings().passwordBlock, sizeof fresh.passwordBlock));

  // The file holds the defaults too.
  QSettings file(UserFile(kDefault), QSettings::IniFormat);
  EXPECT_EQ("", file.value("AutoLoginOptions/userName").toString());
  EXPECT_EQ(0, file.value("AutoLoginOptions/autoConnect").toInt());
  EXPECT_EQ("", file.value("GroupServers/GroupServer0/GroupServerName").toString());
  pass.NewPass();
  EXPECT_EQ("", Q(pass.settings->userName));
}
