// Validation, apply, load and summary of the option pages.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTextDocument>

#include "OptionsTestEnv.h"
#include "settings/QtText.h"
#include "ui/options/CValidationError.h"
#include "ui/options/QtAudioVideoOptions.h"
#include "ui/options/QtAutoLoginOptions.h"
#include "ui/options/QtGroupBoxWithIcon.h"
#include "ui/options/QtKioskStartupOptions.h"
#include "ui/options/QtLineEdit.h"
#include "ui/options/QtSecurityOptions.h"
#include "ui/options/QtServerConnection.h"
#include "ui/options/QtSummaryPage.h"

namespace {

QString ErrorOf(QtValidableItem& item) {
  try {
    item.Validate();
  } catch (const CValidationError& error) {
    return error.Text();
  }
  return "<no error>";
}

QString PasswordOf(const CAbstractClientSettings& settings) {
  WCHAR buffer[260];
  settings.GetPassword(buffer, 260);
  return ToQString(buffer);
}

class PagesTest : public ::testing::Test {
 protected:
  PassSettings pass;
  FakeOptionsHost host;
  QtClientSettings& settings() { return *pass.settings; }
};

}  // namespace

// ---- auto-login

TEST_F(PagesTest, AutoLoginValidation) {
  struct Case {
    bool checked;
    QString user;
    QString domain;
    QString message;
  } cases[] = {
      {true, QString(20, 'u'), QString(12, 'd'), "User name and domain name cannot have more than 31 characters"},
      {true, QString(20, 'u'), QString(11, 'd'), "<no error>"},
      {true, QString(31, 'u'), "", "<no error>"},
      {true, QString(32, 'u'), "", "User name and domain name cannot have more than 31 characters"},
      {true, "", "corp", "User name cannot be empty."},
      {true, "   ", "corp", "User name cannot contain only blank characters."},
      {true, "bob", " \t", "Domain name cannot contain only blank characters."},
      {false, "", QString(32, 'd'), "<no error>"},  // nothing is checked while off
  };
  QtAutoLoginOptions page;
  for (const Case& c : cases) {
    page.GroupBox()->setChecked(c.checked);
    page.UserNameEdit()->setText(c.user);
    page.DomainEdit()->setText(c.domain);
    EXPECT_EQ(c.message, ErrorOf(page)) << c.user.size() << "+" << c.domain.size();
  }
  EXPECT_EQ(32, page.UserNameEdit()->maxLength());
  EXPECT_EQ(30, page.PasswordEdit()->maxLength());
  EXPECT_EQ(QLineEdit::Password, page.PasswordEdit()->echoMode());
}

TEST_F(PagesTest, AutoLoginApplyAndLoad) {
  QtAutoLoginOptions page;
  page.Load();
  page.GroupBox()->setChecked(true);
  page.UserNameEdit()->setText("bob");
  page.PasswordEdit()->setText("pw");
  page.DomainEdit()->setText("corp");
  EXPECT_EQ((QStringList{"bob", "pw", "corp", "1"}), page.GetValues());
  page.Apply();
  EXPECT_EQ(1, settings().autoLogon);
  EXPECT_EQ("bob", Q(settings().userName));
  EXPECT_EQ("pw", PasswordOf(settings()));
  EXPECT_EQ("corp", Q(settings().domain));

  // Off: no credentials stay stored; the fields keep name and domain.
  page.GroupBox()->setChecked(false);
  page.Apply();
  EXPECT_EQ(0, settings().autoLogon);
  EXPECT_EQ("", Q(settings().userName));
  EXPECT_EQ("", PasswordOf(settings()));
  EXPECT_EQ("", Q(settings().domain));
  page.Load();
  EXPECT_FALSE(page.GroupBox()->isChecked());
  EXPECT_EQ("", page.PasswordEdit()->text());
  EXPECT_EQ("bob", page.UserNameEdit()->text());
  EXPECT_EQ("corp", page.DomainEdit()->text());
  EXPECT_FALSE(page.IsChanged());
}

TEST_F(PagesTest, AutoLoginSummary) {
  QtAutoLoginOptions page;
  CAbstractClientSettings other(true);
  EXPECT_EQ("Not configured", page.Summary(&other));
  other.SetUserName(u"bob");
  EXPECT_EQ("User: 'bob' | Password: Not set | Domain: Not set", page.Summary(&other));
  other.SetPassword(u"x");
  other.SetDomain(u"corp");
  EXPECT_EQ("User: 'bob' | Password: Yes | Domain: 'corp'", page.Summary(&other));
}

// ---- kiosk start-up

TEST_F(PagesTest, KioskValidation) {
  struct Case {
    bool checked;
    QString program;
    QString directory;
    QString message;
  } cases[] = {
      {true, "", "", "Program path cannot be empty."},
      {true, "  ", "", "Program path cannot contain only blank characters."},
      {true, "/usr/bin/xterm", "", "<no error>"},
      {true, "/usr/bin/xterm", "   ", "Working directory cannot contain only blank characters."},
      {true, "/usr/bin/xterm", "/tmp", "<no error>"},
      {false, "", "   ", "<no error>"},
  };
  QtKioskStartupOptions page;
  for (const Case& c : cases) {
    page.GroupBox()->setChecked(c.checked);
    page.ProgramEdit()->setText(c.program);
    page.WorkingDirEdit()->setText(c.directory);
    EXPECT_EQ(c.message, ErrorOf(page)) << c.program.toStdString();
  }
  // The fields never take more than a settings field holds.
  page.GroupBox()->setChecked(true);
  page.ProgramEdit()->setText(QString(300, 'p'));
  page.WorkingDirEdit()->setText(QString(300, 'w'));
  EXPECT_EQ(259, page.ProgramEdit()->text().size());
  EXPECT_EQ(259, page.WorkingDirEdit()->text().size());
  EXPECT_EQ("<no error>", ErrorOf(page));
  page.Apply();
  EXPECT_EQ(QString(259, 'p'), Q(settings().programPath));
  EXPECT_EQ(QString(259, 'w'), Q(settings().workingDir));
}

TEST_F(PagesTest, KioskApplyLoadAndSummary) {
  QtKioskStartupOptions page;
  page.GroupBox()->setChecked(true);
  page.ProgramEdit()->setText("/usr/bin/app");
  page.WorkingDirEdit()->setText("/srv");
  EXPECT_EQ((QStringList{"/usr/bin/app", "/srv"}), page.GetValues());
  page.Apply();
  EXPECT_EQ("Enabled | Program: '/usr/bin/app' | Working directory: '/srv'", page.Summary(&settings()));

  // A stored path without a directory leaves the directory field alone.
  settings().SetWorkingDir(u"");
  page.WorkingDirEdit()->setText("typed");
  page.Load();
  EXPECT_TRUE(page.GroupBox()->isChecked());
  EXPECT_EQ("/usr/bin/app", page.ProgramEdit()->text());
  EXPECT_EQ("typed", page.WorkingDirEdit()->text());
  EXPECT_EQ("Enabled | Program: '/usr/bin/app'", page.Summary(&settings()));

  page.GroupBox()->setChecked(false);
  EXPECT_EQ(QStringList(), page.GetValues());
  page.Apply();
  EXPECT_EQ("", Q(settings().programPath));
  EXPECT_EQ("", Q(settings().workingDir));
  EXPECT_EQ("Not configured", page.Summary(&settings()));
  page.Load();
  EXPECT_FALSE(page.GroupBox()->isChecked());
}

// ---- master password

TEST_F(PagesTest, MasterPasswordSetChangeAndOff) {
  QtGlobalSettings& security = *pass.security;
  QtSecurityOptions page;
  page.Load();
  EXPECT_FALSE(page.GroupBox()->isChecked());
  EXPECT_EQ("Not configured", page.Summary(nullptr));

  page.GroupBox()->setChecked(true);
  EXPECT_EQ("You didn't set the password!", ErrorOf(page));
  page.PasswordEdit()->setText("one");
  page.ConfirmEdit()->setText("two");
  EXPECT_EQ("Entered passwords differs!", ErrorOf(page));
  page.ConfirmEdit()->setText("one");
  EXPECT_EQ("<no error>", ErrorOf(page));
  page.Apply();
  EXPECT_EQ(1, security.passwordSet);
  EXPECT_TRUE(security.CheckPassword(u"one"));
  EXPECT_EQ("Password set", page.Summary(nullptr));

  // Loaded with a password set: the placeholder is shown and never stored.
  page.Load();
  EXPECT_EQ("MASKMASK", page.PasswordEdit()->text());
  EXPECT_EQ("MASKMASK", page.ConfirmEdit()->text());
  EXPECT_EQ("<no error>", ErrorOf(page));
  page.Apply();
  EXPECT_TRUE(security.CheckPassword(u"one"));
  EXPECT_FALSE(security.CheckPassword(u"MASKMASK"));
  // Leaving the password field empties the confirmation; an untouched
  // password still passes.
  emit page.PasswordEdit()->editingFinished();
  EXPECT_EQ("", page.ConfirmEdit()->text());
  EXPECT_EQ("<no error>", ErrorOf(page));
  page.Apply();
  EXPECT_TRUE(security.CheckPassword(u"one"));

  // Off: both fields cleared, the switch off, the scrambled password kept.
  page.GroupBox()->setChecked(false);
  EXPECT_EQ("", page.PasswordEdit()->text());
  EXPECT_EQ("", page.ConfirmEdit()->text());
  page.Apply();
  EXPECT_EQ(0, security.passwordSet);
  EXPECT_TRUE(security.CheckPassword(u"one"));

  // Checked again with empty fields counts as a change: a new password is due.
  page.GroupBox()->setChecked(true);
  EXPECT_EQ("You didn't set the password!", ErrorOf(page));
}

// ---- server connection

TEST_F(PagesTest, ServerConnectionApplyFollowsTheAddress) {
  QtServerConnection page;
  auto* address = static_cast<FakeConnectionWidget*>(page.ConnectionWidget())->address;
  settings().useWanNetwork = 1;
  page.Load();
  EXPECT_FALSE(page.AutoConnectBox()->isEnabled());
  EXPECT_FALSE(page.WanBox()->isEnabled());
  page.AutoConnectBox()->setChecked(true);
  page.WanBox()->setChecked(false);
  page.Apply();  // no address: nothing to connect to at start
  EXPECT_EQ(0, settings().autoConnect);
  EXPECT_EQ(1, settings().useWanNetwork);

  address->setText("h");
  EXPECT_TRUE(page.AutoConnectBox()->isEnabled());
  EXPECT_TRUE(page.WanBox()->isEnabled());
  address->setText("host.example");
  EXPECT_EQ((QStringList{"host.example", "1", "0"}), page.GetValues());
  page.Apply();
  EXPECT_EQ("host.example", Q(settings().serverHistory[0]));
  EXPECT_EQ(1, settings().autoConnect);
  EXPECT_EQ(0, settings().useWanNetwork);
  address->clear();
  EXPECT_FALSE(page.AutoConnectBox()->isEnabled());
}

TEST_F(PagesTest, ServerConnectionSummary) {
  QtServerConnection page;
  CAbstractClientSettings other(true);
  EXPECT_EQ("Not configured", page.Summary(&other));
  other.AddServerToHistory(u"10.1.1.1");
  EXPECT_EQ("10.1.1.1", page.Summary(&other));
  other.autoConnect = 1;
  other.useWanNetwork = 1;
  EXPECT_EQ("10.1.1.1 | Auto-connect on start | WAN network", page.Summary(&other));
  other.autoConnect = 0;
  other.useWanNetwork = 0;
  other.AddServerAddressToGroup(u"Farm", u"a");
  other.AddServerToHistory(u"Farm");
  EXPECT_EQ("Farm (group)", page.Summary(&other));
}

// ---- audio and video

TEST_F(PagesTest, ResolutionListMatchesTheCappedScreen) {
  struct Case {
    QRect screen;
    uint32_t stored;
    int fullScreenIndex;
    int selected;
  } cases[] = {
      {QRect(0, 0, 2560, 1440), Mode(1, 1), 3, 3},      // capped to 1920 x 1200
      {QRect(0, 0, 1024, 768), Mode(1280, 1024), 1, 2},  // the stored size wins
      {QRect(0, 0, 1366, 768), Mode(1, 1), -1, 0},      // neither listed
  };
  for (const Case& c : cases) {
    host.screens = {c.screen};
    settings().autoDetectAudioVideo = 0;
    settings().screenSizes[0] = c.stored;
    QtAudioVideoOptions page(false);
    page.Load();
    EXPECT_EQ(c.fullScreenIndex, page.FullScreenIndex());
    EXPECT_EQ(c.selected, page.PrimaryCombo()->currentIndex());
    EXPECT_EQ("1024 x 768", page.PrimaryCombo()->itemText(1));  // "Full Screen" only in the reduced layout
  }
}

TEST_F(PagesTest, ReducedLayoutDualMonitorRules) {
  host.newGui = true;
  settings().SetInt(u"GuiMultiMonitor", 1);
  settings().autoDetectAudioVideo = 0;
  {
    QtAudioVideoOptions page(true);  // one screen
    page.Load();
    EXPECT_FALSE(page.DualBox()->isChecked());
    EXPECT_FALSE(page.DualBox()->isEnabled());
    EXPECT_EQ("Full Screen", page.PrimaryCombo()->itemText(3));
  }
  host.screens = {QRect(0, 0, 1920, 1200), QRect(-1280, 176, 1280, 1024)};
  {
    QtAudioVideoOptions page(true);
    page.Load();
    EXPECT_TRUE(page.DualBox()->isChecked());
    EXPECT_TRUE(page.AutoRadio()->isChecked());
    EXPECT_FALSE(page.AutoRadio()->isEnabled());
    EXPECT_FALSE(page.ManualRadio()->isEnabled());
    page.Apply();
    EXPECT_EQ(1, settings().autoDetectAudioVideo);
    EXPECT_EQ(1, settings().GetInt(u"GuiMultiMonitor", 0));
    EXPECT_EQ(1, settings().GetInt(u"DualOnLeftSide", 0));
    EXPECT_EQ(1, settings().GetInt(u"DualBottomAligned", 0));
  }
}

TEST_F(PagesTest, AutomaticDetectionStoresTheBestModes) {
  pass.api.modes = {Mode(1920, 1080), Mode(1280, 1024)};
  QtAudioVideoOptions page(false);
  page.Load();
  page.AutoRadio()->setChecked(true);
  settings().fullScreen = 0;
  settings().colorDepth = 16;
  page.Apply();
  EXPECT_EQ(1, settings().autoDetectAudioVideo);
  EXPECT_EQ(Mode(1920, 1080), settings().screenSizes[0]);
  EXPECT_EQ(Mode(1280, 1024), settings().screenSizes[1]);
  EXPECT_EQ(1, settings().fullScreen);
  EXPECT_EQ(24, settings().colorDepth);
}

TEST_F(PagesTest, ManualChoiceInTheFullLayout) {
  host.modes = {{Mode(800, 600), Mode(1024, 768)}, {Mode(1280, 1024)}};
  QtAudioVideoOptions page(false);
  page.Load();
  page.ManualRadio()->setChecked(true);
  page.PrimaryCombo()->setCurrentIndex(1);
  page.ColorCombo()->setCurrentIndex(0);
  page.FullScreenBox()->setChecked(false);
  page.DualBox()->setChecked(true);
  EXPECT_TRUE(page.SecondaryCombo()->isEnabled());
  page.LeftBox()->setChecked(true);
  page.AudioBox()->setChecked(false);
  EXPECT_EQ((QStringList{"0", "1024 x 768", "0", "16 bits", "1", "1280 x 1024", "1", "0", "0"}), page.GetValues());
  EXPECT_EQ("<no error>", ErrorOf(page));
  page.Apply();
  EXPECT_EQ(0, settings().autoDetectAudioVideo);
  EXPECT_EQ(Mode(1024, 768), settings().screenSizes[0]);
  EXPECT_EQ(Mode(1280, 1024), settings().screenSizes[1]);
  EXPECT_EQ(16, settings().colorDepth);
  EXPECT_EQ(0, settings().fullScreen);
  EXPECT_EQ(0, settings().useSound);
  EXPECT_EQ(1, settings().GetInt(u"GuiMultiMonitor", 0));
  EXPECT_EQ(1, settings().GetInt(u"DualOnLeftSide", 0));
  EXPECT_EQ(0, settings().GetInt(u"DualBottomAligned", 1));
  EXPECT_EQ("Display [0] set to 1024x768 | Display [1] set to 1280x1024 | 16 bits color | Sound disabled",
            page.Summary(&settings()));

  // With automatic detection, or manually on one display, the stored
  // dual-monitor choice and arrangement survive a page that is shown and
  // left again.
  page.AutoRadio()->setChecked(true);
  page.Apply();
  struct Case {
    const char* what;
    int autoDetect;
    int multi;
  } cases[] = {
      {"automatic detection", 1, 1},
      {"manual, one display", 0, 0},
  };
  for (const Case& c : cases) {
    settings().autoDetectAudioVideo = c.autoDetect;
    settings().SetInt(u"GuiMultiMonitor", c.multi);
    settings().SetInt(u"DualOnLeftSide", 1);
    settings().SetInt(u"DualBottomAligned", 1);
    QtAudioVideoOptions next(false);
    next.Load();
    EXPECT_EQ(c.multi != 0, next.DualBox()->isChecked()) << c.what;
    next.Apply();
    EXPECT_EQ(c.multi, settings().GetInt(u"GuiMultiMonitor", -1)) << c.what;
    EXPECT_EQ(1, settings().GetInt(u"DualOnLeftSide", 0)) << c.what;
    EXPECT_EQ(1, settings().GetInt(u"DualBottomAligned", 0)) << c.what;
  }
}

TEST_F(PagesTest, UnsupportedChoicesAreRefused) {
  settings().autoDetectAudioVideo = 0;
  host.modes = {{}};
  {
    QtAudioVideoOptions page(false);
    page.Load();
    EXPECT_EQ(-1, page.PrimaryCombo()->currentIndex());
    EXPECT_EQ("Chosen screen resolution is currently not supported.", ErrorOf(page));
  }
  host.modes = {{Mode(800, 600)}};
  host.depths = {};
  {
    QtAudioVideoOptions page(false);
    page.Load();
    EXPECT_EQ("Chosen color depth is currently not supported.", ErrorOf(page));
  }
}

TEST_F(PagesTest, ReducedLayoutWithoutDepthsKeepsTheStoredDepth) {
  host.newGui = true;
  host.depths = {};
  settings().autoDetectAudioVideo = 0;
  settings().colorDepth = 24;
  settings().screenSizes[0] = Mode(1024, 768);
  QtAudioVideoOptions page(true);
  page.Load();
  EXPECT_EQ(-1, page.ColorCombo()->currentIndex());
  EXPECT_EQ("<no error>", ErrorOf(page));  // the reduced layout checks nothing
  page.Apply();
  EXPECT_EQ(24, settings().colorDepth);
  EXPECT_EQ(Mode(1024, 768), settings().screenSizes[0]);
  // Full screen in the reduced layout is the screen's own entry.
  EXPECT_EQ(0, settings().fullScreen);
  page.PrimaryCombo()->setCurrentIndex(3);
  page.Apply();
  EXPECT_EQ(1, settings().fullScreen);
}

TEST_F(PagesTest, AudioVideoSummary) {
  QtAudioVideoOptions page(false);
  CAbstractClientSettings other(true);
  other.autoDetectAudioVideo = 0;
  other.SetInt(u"GuiMultiMonitor", 0);
  other.screenSizes[0] = Mode(1024, 768);
  other.colorDepth = 16;
  other.fullScreen = 0;
  other.useSound = 0;
  EXPECT_EQ("Display set to 1024x768 | 16 bits color | Sound disabled", page.Summary(&other));
  other.fullScreen = 1;
  other.useSound = 1;
  EXPECT_EQ("Display set to 1024x768 | Fullscreen | 16 bits color | Sound enabled", page.Summary(&other));
  other.autoDetectAudioVideo = 1;
  EXPECT_EQ("Video automatically detected | Sound enabled", page.Summary(&other));
}

// ---- summary page

namespace {

class FixedSummaryPage : public QtOptionPage {
 public:
  FixedSummaryPage(const QString& title, const QString& line) : QtOptionPage(nullptr, title), line_(line) {}
  QString Summary(CAbstractClientSettings*) override { return line_; }
  void Validate() override {}
  void Apply() override {}
  QStringList GetValues() override { return {}; }

 private:
  QString line_;
};

QString Shown(QLabel* label) {
  QTextDocument document;
  document.setHtml(label->text());
  return document.toPlainText();
}

}  // namespace

TEST_F(PagesTest, SummaryRowsShowTextLiterallyWithAnEditLink) {
  QtSummaryPage summary;
  FixedSummaryPage special("Special:", "a <b> & c");
  FixedSummaryPage empty("Empty:", "");
  FixedSummaryPage global("Master password:", "Password set");
  summary.AddPage(nullptr, &special, false);
  summary.AddPage(nullptr, &empty, false);
  summary.AddPage(nullptr, &global, true);
  summary.Load();
  ASSERT_EQ(3, summary.Rows().size());
  EXPECT_EQ("a <b> & c | Edit", Shown(summary.Rows()[0]->summaryLabel));
  EXPECT_TRUE(summary.Rows()[1]->summaryLabel->text().startsWith(" | <a href=none"));
  EXPECT_TRUE(summary.Rows()[0]->summaryLabel->text().contains("color:#0D99B7"));

  // The global row stands under the version row.
  auto cellText = [](QGridLayout* grid, int row, int column) {
    QLayoutItem* item = grid->itemAtPosition(row, column);
    return item != nullptr ? static_cast<QLabel*>(item->widget())->text() : QString("<none>");
  };
  EXPECT_EQ("Version info:", cellText(summary.GlobalGrid(), 0, 0));
  EXPECT_EQ("2.5.0.2 build 31", cellText(summary.GlobalGrid(), 0, 1));
  EXPECT_EQ("Master password:", cellText(summary.GlobalGrid(), 1, 0));

  // Following a link asks for the page.
  QSignalSpy asked(&special, SIGNAL(ActivateSig()));
  emit summary.Rows()[0]->summaryLabel->linkActivated("none");
  EXPECT_EQ(1, asked.count());
  EXPECT_EQ(QStringList(), summary.GetValues());
}
