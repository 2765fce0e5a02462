// The options window: pages and buttons, leaving a page, the Connect
// button and the master-password check.
#include <gtest/gtest.h>

#include <QApplication>
#include <QPushButton>
#include <QSignalSpy>
#include <QStackedLayout>
#include <QTest>

#include "OptionsTestEnv.h"
#include "settings/QtText.h"
#include "ui/options/CSettingButton.h"
#include "ui/options/QtAudioVideoOptions.h"
#include "ui/options/QtAuthorizationDialog.h"
#include "ui/options/QtAutoLoginOptions.h"
#include "ui/options/QtGroupBoxWithIcon.h"
#include "ui/options/QtHostServerGroup.h"
#include "ui/options/QtKioskStartupOptions.h"
#include "ui/options/QtLineEdit.h"
#include "ui/options/QtOptionsWindow.h"
#include "ui/options/QtServerConnection.h"
#include "ui/options/QtSummaryPage.h"

namespace {

const QString kProduct = "Kelvane Vesk Client for Windows";

class OptionsWindowTest : public ::testing::Test {
 protected:
  void SetUp() override { pass.api.modes = {Mode(1920, 1200)}; }
  void TearDown() override { window_.reset(); }

  CSettingButton* Button(QtOptionsWindow& window, const QString& title) {
    for (CSettingButton* button : window.Buttons())
      if (button->text() == "  " + title) return button;
    ADD_FAILURE() << "no button " << title.toStdString();
    return nullptr;
  }
  template <class Page>
  Page* PageOf(QtOptionsWindow& window) {
    return window.findChild<Page*>();
  }
  // A shown, active options window on the page of that button.
  QtOptionsWindow& ShowOn(const QString& title) {
    window_ = std::make_unique<QtOptionsWindow>(nullptr);
    window_->show();
    QApplication::setActiveWindow(window_.get());
    QTest::mouseClick(Button(*window_, title), Qt::LeftButton);
    return *window_;
  }
  std::unique_ptr<QtOptionsWindow> window_;

  PassSettings pass;
  FakeOptionsHost host;
};

}  // namespace

TEST_F(OptionsWindowTest, StartsOnTheSummaryPage) {
  QtOptionsWindow window(nullptr);
  ASSERT_EQ(8, window.Buttons().size());
  const QStringList titles{"Summary",          "Server connection",  "Audio / Video settings",
                           "Auto-login options", "Kiosk startup mode", "Host server groups",
                           "Profile settings",   "Master password"};
  for (int i = 0; i < titles.size(); ++i) {
    EXPECT_EQ("  " + titles[i], window.Buttons()[i]->text());
    EXPECT_EQ("OptionButton", window.Buttons()[i]->objectName());
  }
  EXPECT_EQ(window.Buttons()[0], window.CurrentButton());
  EXPECT_TRUE(window.Buttons()[0]->isChecked());
  EXPECT_NE(nullptr, qobject_cast<QtSummaryPage*>(window.CurrentPage()));

  // The five pages the profile view sums up.
  const auto pages = window.GetSummaryPages();
  ASSERT_EQ(5, pages.size());
  QStringList texts;
  for (const auto& entry : pages) {
    EXPECT_TRUE(entry.first.startsWith("  "));
    texts << entry.first.trimmed();
  }
  texts.sort();
  EXPECT_EQ((QStringList{"Audio / Video settings", "Auto-login options", "Host server groups", "Kiosk startup mode",
                         "Server connection"}),
            texts);
}

TEST_F(OptionsWindowTest, ConnectButtonNeedsAScreenOf700Lines) {
  for (uint32_t height : {699u, 700u}) {
    pass.api.modes = {Mode(1024, height)};
    QtOptionsWindow window(nullptr);
    window.show();
    EXPECT_EQ(height >= 700, window.ConnectButton()->isVisible()) << height;
    EXPECT_EQ("ConnectButton", window.ConnectButton()->objectName());
    QSignalSpy connects(&window, SIGNAL(ConnectSig()));
    window.ConnectButton()->click();
    EXPECT_EQ(1, connects.count());
  }
}

TEST_F(OptionsWindowTest, AFailingPageKeepsItsButton) {
  ModalAnswerer answerer;
  QtOptionsWindow& window = ShowOn("Kiosk startup mode");
  CSettingButton* kiosk = Button(window, "Kiosk startup mode");
  ASSERT_EQ(kiosk, window.CurrentButton());
  auto* page = PageOf<QtKioskStartupOptions>(window);
  page->GroupBox()->setChecked(true);
  page->ProgramEdit()->clear();

  CSettingButton* summary = Button(window, "Summary");
  QTest::mouseClick(summary, Qt::LeftButton);
  ASSERT_EQ(1u, answerer.boxes.size());
  EXPECT_EQ("Program path cannot be empty.", answerer.boxes[0].text);
  EXPECT_EQ(kProduct, answerer.boxes[0].title);
  EXPECT_EQ(QMessageBox::Critical, answerer.boxes[0].icon);
  EXPECT_EQ(kiosk, window.CurrentButton());
  EXPECT_TRUE(kiosk->isChecked());
  EXPECT_FALSE(summary->isChecked());
  EXPECT_EQ(kiosk, window.focusWidget());
  EXPECT_EQ(page, window.CurrentPage());

  // The same for the keys that move between the buttons.
  QTest::keyClick(kiosk, Qt::Key_Up);
  EXPECT_EQ(2u, answerer.boxes.size());
  EXPECT_EQ(kiosk, window.CurrentButton());

  // Mended, the press leaves the page and writes it back.
  page->ProgramEdit()->setText("/usr/bin/app");
  QTest::mouseClick(summary, Qt::LeftButton);
  EXPECT_EQ(2u, answerer.boxes.size());
  EXPECT_EQ(summary, window.CurrentButton());
  EXPECT_EQ("/usr/bin/app", Q(pass.settings->programPath));
}

TEST_F(OptionsWindowTest, UpAndDownApplyThePageFirst) {
  ModalAnswerer answerer;
  QtOptionsWindow& window = ShowOn("Auto-login options");
  CSettingButton* autoLogin = Button(window, "Auto-login options");
  auto* page = PageOf<QtAutoLoginOptions>(window);
  page->GroupBox()->setChecked(true);
  page->UserNameEdit()->setText("bob");
  autoLogin->setFocus();
  QTest::keyClick(autoLogin, Qt::Key_Down);
  EXPECT_EQ("bob", Q(pass.settings->userName));
  EXPECT_EQ(1, pass.settings->autoLogon);
  EXPECT_EQ(Button(window, "Kiosk startup mode"), window.CurrentButton());
  QTest::keyClick(window.CurrentButton(), Qt::Key_Up);
  EXPECT_EQ(autoLogin, window.CurrentButton());
  // Tab is no page switch and applies nothing.
  page->UserNameEdit()->setText("eve");
  QTest::keyClick(autoLogin, Qt::Key_Tab);
  EXPECT_EQ("bob", Q(pass.settings->userName));
  EXPECT_TRUE(answerer.boxes.empty());
}

TEST_F(OptionsWindowTest, ThePageShownIsAppliedAndReloadedByItsOwnButton) {
  QtOptionsWindow& window = ShowOn("Kiosk startup mode");
  CSettingButton* kiosk = Button(window, "Kiosk startup mode");
  auto* page = PageOf<QtKioskStartupOptions>(window);
  page->GroupBox()->setChecked(true);
  page->ProgramEdit()->setText("/bin/true");
  EXPECT_TRUE(window.IsChanged());
  QTest::mouseClick(kiosk, Qt::LeftButton);
  EXPECT_EQ("/bin/true", Q(pass.settings->programPath));
  EXPECT_FALSE(page->IsChanged());
  EXPECT_FALSE(window.IsChanged());
  EXPECT_EQ(kiosk, window.CurrentButton());
}

TEST_F(OptionsWindowTest, EditLinkShowsThePage) {
  QtOptionsWindow window(nullptr);
  auto* groups = PageOf<QtHostServerGroup>(window);
  emit groups->ActivateSig();
  EXPECT_EQ(Button(window, "Host server groups"), window.CurrentButton());
  EXPECT_EQ(groups, window.CurrentPage());
}

TEST_F(OptionsWindowTest, AuthorizeWithoutAMasterPasswordAsksNothing) {
  ModalAnswerer answerer;
  pass.security->SetPasswordSet(FALSE);
  QtOptionsWindow window(nullptr);
  EXPECT_TRUE(window.Authorize());
  EXPECT_EQ(0, answerer.passwordDialogs);
}

TEST_F(OptionsWindowTest, AuthorizeChecksTheMasterPassword) {
  pass.security->SetPassword(u"secret");
  pass.security->SetPasswordSet(TRUE);
  pass.security->verified = 1;
  QtOptionsWindow window(nullptr);
  struct Case {
    QString typed;
    bool accept;
    bool result;
    bool box;
  } cases[] = {
      {"secret", false, false, false},  // cancelled: nothing is checked
      {"", true, false, true},
      {"Secret", true, false, true},
      {"secret", true, true, false},
  };
  for (const Case& c : cases) {
    ModalAnswerer answerer;
    answerer.AnswerPassword(c.typed, c.accept);
    const BOOL verifiedBefore = pass.security->verified;
    EXPECT_EQ(c.result, window.Authorize()) << c.typed.toStdString();
    EXPECT_EQ(1, answerer.passwordDialogs);
    ASSERT_EQ(c.box ? 1u : 0u, answerer.boxes.size());
    if (c.box) {
      EXPECT_EQ("Invalid password. Access denied.", answerer.boxes[0].text);
      EXPECT_EQ(kProduct, answerer.boxes[0].title);
      EXPECT_TRUE(answerer.boxes[0].hasParent);
    }
    // Cancelling checks nothing; a check records its outcome.
    EXPECT_EQ(c.accept ? (c.result ? 1 : 0) : verifiedBefore, pass.security->verified);
  }
  // One dialog serves every request, emptied each time.
  ASSERT_NE(nullptr, window.AuthorizationDialog());
  EXPECT_EQ("Setup password", window.AuthorizationDialog()->windowTitle());
  EXPECT_EQ(259, window.AuthorizationDialog()->PasswordEdit()->maxLength());
}
