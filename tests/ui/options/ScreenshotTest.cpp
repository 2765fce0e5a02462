// Renders every option page, the profile view and the password dialog to
// PNG files in the build folder (screenshots/), and checks that no shown
// widget overlaps a sibling, sticks out of its parent or clips its text.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAbstractScrollArea>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QScrollBar>
#include <QStackedLayout>

#include "OptionsTestEnv.h"
#include "ui/options/CSettingButton.h"
#include "ui/options/QtAuthorizationDialog.h"
#include "ui/options/QtHostServerGroup.h"
#include "ui/options/QtOptionsWindow.h"
#include "ui/options/QtProfileOptions.h"
#include "ui/options/QtServersGroupItem.h"
#include "ui/options/QtTreeWidget.h"
#include "ui/options/QtViewProfile.h"

namespace {

// What the application style sheet gives the server rows.
const char kRowRules[] =
    "QFrame#QtServersGroupItem::selected { border-width: 1px; border-style: solid; border-color: #6DC055; "
    "background-color: #6DC055; }"
    "QFrame#QtServersGroupItem::!selected { background-color: white; }";

QString Name(const QWidget* widget) {
  return QString("%1 '%2'").arg(widget->metaObject()->className(), widget->objectName());
}

bool Shown(const QWidget* widget) { return widget->isVisible() && !widget->isWindow(); }

// Widgets whose children are placed by Qt itself, not by our layouts.
bool Internal(const QWidget* widget) {
  return qobject_cast<const QAbstractScrollArea*>(widget) != nullptr ||
         qobject_cast<const QComboBox*>(widget) != nullptr || qobject_cast<const QLineEdit*>(widget) != nullptr;
}

void CheckLayout(const QWidget* parent, QStringList* problems) {
  if (Internal(parent)) return;
  QList<const QWidget*> children;
  for (const QObject* object : parent->children()) {
    const QWidget* child = qobject_cast<const QWidget*>(object);
    if (child == nullptr || !Shown(child) || child->geometry().isEmpty()) continue;
    children << child;
  }
  for (int i = 0; i < children.size(); ++i) {
    const QWidget* child = children[i];
    // The page buttons' arrow is drawn over the page frame on purpose.
    if (!parent->rect().contains(child->geometry()) && qobject_cast<const CSettingButton*>(child) == nullptr)
      *problems << Name(child) + " sticks out of " + Name(parent);
    for (int j = i + 1; j < children.size(); ++j) {
      const QWidget* other = children[j];
      if (child->geometry().intersects(other->geometry()) && child->objectName() != "OptionFrame" &&
          other->objectName() != "OptionFrame")
        *problems << Name(child) + " overlaps " + Name(other);
    }
    if (auto* label = qobject_cast<const QLabel*>(child)) {
      if (!label->wordWrap() && label->pixmap(Qt::ReturnByValue).isNull() && label->minimumSizeHint().width() > label->width())
        *problems << Name(child) + " cuts its text '" + label->text().left(40) + "'";
    } else if (auto* button = qobject_cast<const QAbstractButton*>(child)) {
      int needed = button->fontMetrics().horizontalAdvance(button->text()) + 4;
      if (!button->icon().isNull()) needed += button->iconSize().width() + 4;
      if (button->objectName() != "LinkButton" && !button->text().isEmpty() && needed > button->width())
        *problems << Name(child) + " cuts its text '" + button->text().left(40) + "'";
    } else if (auto* item = qobject_cast<const QtServersGroupItem*>(child)) {
      const int advance = item->fontMetrics().horizontalAdvance(item->Text());
      if (advance <= 120 && item->TextRect().width() < advance)
        *problems << Name(child) + " cuts its text '" + item->Text() + "'";
    }
    CheckLayout(child, problems);
  }
}

QString Folder() {
  QDir().mkpath("screenshots");
  return QDir("screenshots").absolutePath();
}

void Save(QWidget* widget, const QString& name) {
  const QString path = Folder() + "/" + name + ".png";
  ASSERT_TRUE(widget->grab().save(path)) << path.toStdString();
}

class ScreenshotTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qApp->setStyleSheet(kRowRules);
    pass.api.modes = {Mode(1920, 1200)};
    host.screens = {QRect(0, 0, 1920, 1200)};
    host.serverNames = QStringList{"alpha.example", "beta.example", "gamma.example"};
    pass.settings->AddServerToHistory(u"alpha.example");
    pass.settings->AddServerAddressToGroup(u"Office", u"beta.example");
    pass.settings->AddServerAddressToGroup(u"Office", u"alpha.example");
    pass.settings->AddServerAddressToGroup(u"Lab", u"gamma.example");
    pass.settings->SetUserName(u"jdoe");
    pass.settings->SetProgramPath(u"/usr/bin/xterm");
    pass.settings->SaveAsUserProfile(u"A profile with a rather long name");
    pass.settings->SaveAsUserProfile(u"Office");
  }
  void TearDown() override { qApp->setStyleSheet(QString()); }

  PassSettings pass;
  FakeOptionsHost host;
};

}  // namespace

TEST_F(ScreenshotTest, EveryPageFitsItsWindow) {
  for (bool newGui : {false, true}) {
    host.newGui = newGui;
    QtOptionsWindow window(nullptr);
    window.resize(window.sizeHint());
    window.show();
    QApplication::processEvents();
    for (CSettingButton* button : window.Buttons()) {
      button->click();
      window.findChild<QtHostServerGroup*>()->Tree()->expandAll();
      QApplication::processEvents();
      QString name = button->text().trimmed().replace(QRegExp("[^A-Za-z]+"), "_");
      if (newGui && !name.startsWith("Audio")) continue;
      if (newGui) name += "_reduced";
      Save(&window, name);
      QStringList problems;
      CheckLayout(&window, &problems);
      EXPECT_TRUE(problems.isEmpty()) << name.toStdString() << ":\n" << problems.join("\n").toStdString();
    }
  }
}

TEST_F(ScreenshotTest, ProfileViewAndPasswordDialog) {
  QtOptionsWindow window(nullptr);
  window.resize(window.sizeHint());
  window.show();
  QtProfileOptions* page = window.findChild<QtProfileOptions*>();
  for (CSettingButton* button : window.Buttons())
    if (button->text().contains("Profile")) button->click();
  QApplication::processEvents();

  QtViewProfile view("A profile with a rather long name", page);
  const QSize size(page->width() - page->layout()->contentsMargins().right(),
                   page->height() - page->layout()->contentsMargins().bottom());
  view.setFixedSize(size);
  view.FillSummary(&window);
  view.ApplyRoundedMask();
  view.show();
  QApplication::processEvents();
  Save(&view, "Profile_view");
  QStringList problems;
  CheckLayout(&view, &problems);
  EXPECT_TRUE(problems.isEmpty()) << problems.join("\n").toStdString();

  QtAuthorizationDialog dialog;
  dialog.show();
  QApplication::processEvents();
  Save(&dialog, "Password_dialog");
  problems.clear();
  CheckLayout(&dialog, &problems);
  EXPECT_TRUE(problems.isEmpty()) << problems.join("\n").toStdString();
}
