#include "ui/options/QtOptionsWindow.h"

#include <QEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QStackedLayout>
#include <QVBoxLayout>
#include <cmath>

#include "settings/SystemApiLink.h"
#include "settings/QtGlobalSettings.h"
#include "ui/options/CSettingButton.h"
#include "ui/options/CValidationError.h"
#include "ui/options/OptionsHost.h"
#include "ui/options/OptionsResources.h"
#include "ui/options/QtAudioVideoOptions.h"
#include "ui/options/QtAuthorizationDialog.h"
#include "ui/options/QtAutoLoginOptions.h"
#include "ui/options/QtHostServerGroup.h"
#include "ui/options/QtKioskStartupOptions.h"
#include "ui/options/QtLineEdit.h"
#include "ui/options/QtProfileOptions.h"
#include "ui/options/QtSecurityOptions.h"
#include "ui/options/QtServerConnection.h"
#include "ui/options/QtSummaryPage.h"
#include "ui/options/ValidateAndApplyPage.h"

namespace {

// Below this the Connect button would push the window off the screen.
const uint32_t kConnectButtonMinScreenHeight = 700;

QSize Scaled(const QSize& size, double factor) {
  return QSize(static_cast<int>(std::lround(size.width() * factor)),
               static_cast<int>(std::lround(size.height() * factor)));
}

}  // namespace

QtOptionsWindow::QtOptionsWindow(QWidget* mainWindow) : QWidget(mainWindow) {
  InitOptionsResources();
  SetupUi();
  connect(connectButton, SIGNAL(clicked()), this, SIGNAL(ConnectSig()));
  CreatePages(GetOptionsHost().IsNewGuiLayout());
}

QtOptionsWindow::~QtOptionsWindow() { delete authorizationDialog; }

void QtOptionsWindow::SetupUi() {
  buttonFrame = new QFrame(this);
  buttonFrame->setFixedWidth(200);
  buttonFrame->setFrameShape(QFrame::NoFrame);
  buttonFrame->setAttribute(Qt::WA_TranslucentBackground);
  buttonColumn = new QVBoxLayout(buttonFrame);
  buttonColumn->setSpacing(5);
  buttonColumn->setContentsMargins(5, 5, 5, 5);

  pageFrame = new QFrame(this);
  pageFrame->setObjectName("OptionFrame");
  pageFrame->setFrameShape(QFrame::Box);
  pageFrame->setFrameShadow(QFrame::Plain);
  pageFrame->setLineWidth(2);
  pageStack = new QStackedLayout(pageFrame);

  QHBoxLayout* row = new QHBoxLayout();
  row->addWidget(buttonFrame);
  row->addSpacing(-20);
  row->addWidget(pageFrame);

  connectButton = new QPushButton(this);
  connectButton->setObjectName("ConnectButton");
  connectButton->setText(tr("Connect"));
  connectButton->setStyleSheet(
      "QPushButton{ border-style: outset; border-width: 1px; border-radius: 4px; padding: 6px;} "
      "QPushButton:pressed { background-color: #DBDBDB;};");
  connectButton->setIcon(QIcon(":/serverconnect.png"));
  connectButton->setMinimumSize(Scaled(connectButton->sizeHint(), 1.1));

  QVBoxLayout* column = new QVBoxLayout();
  column->addLayout(row);
  if ((SettingsSystemApi().FindBestMode(0) >> 16) >= kConnectButtonMinScreenHeight) {
    column->addSpacing(5);
    column->addWidget(connectButton, 0, Qt::AlignRight);
  } else {
    connectButton->hide();
  }
  column->addStretch();

  QHBoxLayout* outer = new QHBoxLayout(this);
  outer->addStretch();
  outer->addLayout(column);
  outer->addStretch();
  // The checked button's point is drawn over the page frame's edge.
  buttonFrame->raise();
}

CSettingButton* QtOptionsWindow::AddPage(const QString& title, QtOptionPage* page) {
  CSettingButton* button = new CSettingButton("  " + title, buttonFrame);
  button->installEventFilter(this);
  buttonColumn->addWidget(button);
  pageStack->addWidget(page);
  pageMap.insert(button, page);
  buttons.append(button);
  connect(button, SIGNAL(clicked()), this, SLOT(ButtonClickedSlot()));
  return button;
}

void QtOptionsWindow::CreatePages(bool newGui) {
  QtSummaryPage* summary = new QtSummaryPage(pageFrame);
  CSettingButton* summaryButton = AddPage(tr("Summary"), summary);
  buttonColumn->addSpacing(10);
  QtServerConnection* connection = new QtServerConnection(pageFrame);
  CSettingButton* connectionButton = AddPage(tr("Server connection"), connection);
  QtAudioVideoOptions* audioVideo = new QtAudioVideoOptions(newGui, pageFrame);
  CSettingButton* audioVideoButton = AddPage(tr("Audio / Video settings"), audioVideo);
  QtAutoLoginOptions* autoLogin = new QtAutoLoginOptions(pageFrame);
  CSettingButton* autoLoginButton = AddPage(tr("Auto-login options"), autoLogin);
  QtKioskStartupOptions* kiosk = new QtKioskStartupOptions(pageFrame);
  CSettingButton* kioskButton = AddPage(tr("Kiosk startup mode"), kiosk);
  QtHostServerGroup* groups = new QtHostServerGroup(pageFrame);
  CSettingButton* groupsButton = AddPage(tr("Host server groups"), groups);
  QtProfileOptions* profiles = new QtProfileOptions(pageFrame);
  AddPage(tr("Profile settings"), profiles);
  buttonColumn->addSpacing(10);
  QtSecurityOptions* security = new QtSecurityOptions(pageFrame);
  AddPage(tr("Master password"), security);
  buttonColumn->addStretch(1);

  profiles->SetOptionsWindow(this);
  summary->AddPage(this, connection, false);
  summary->AddPage(this, audioVideo, false);
  summary->AddPage(this, autoLogin, false);
  summary->AddPage(this, kiosk, false);
  summary->AddPage(this, groups, false);
  summary->AddPage(this, profiles, false);
  summary->AddPage(this, security, true);

  summaryMap = {{groupsButton, groups},
                {connectionButton, connection},
                {audioVideoButton, audioVideo},
                {kioskButton, kiosk},
                {autoLoginButton, autoLogin}};
  summaryButton->click();
}

QtOptionPage* QtOptionsWindow::CurrentPage() const { return pageMap.value(currentButton, nullptr); }

void QtOptionsWindow::ButtonClickedSlot() {
  CSettingButton* button = qobject_cast<CSettingButton*>(sender());
  QtOptionPage* page = pageMap.value(button, nullptr);
  if (page == nullptr) return;
  pageStack->setCurrentWidget(page);
  page->Load();
  currentButton = button;
  TakeSnapshot();
}

bool QtOptionsWindow::eventFilter(QObject* watched, QEvent* event) {
  bool leaving = false;
  if (event->type() == QEvent::MouseButtonPress) {
    leaving = static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton;
  } else if (event->type() == QEvent::KeyPress) {
    int key = static_cast<QKeyEvent*>(event)->key();
    leaving = key == Qt::Key_Up || key == Qt::Key_Down;
  }
  if (leaving && currentButton != nullptr && !ValidateAndApplyPage(CurrentPage(), true)) {
    // The press never becomes a click, so the page stays.
    currentButton->setFocus();
    return true;
  }
  return QWidget::eventFilter(watched, event);
}

void QtOptionsWindow::ActivateOptionSlot() {
  CSettingButton* target = nullptr;
  for (auto it = pageMap.cbegin(); it != pageMap.cend(); ++it)
    if (it.value() == sender()) target = it.key();
  QtOptionPage* current = CurrentPage();
  if (current != nullptr && ValidateAndApplyPage(current, true) && target != nullptr) target->click();
}

bool QtOptionsWindow::Authorize() {
  QtGlobalSettings* security = QtGlobalSettings::GetInstance();
  if (security == nullptr || security->passwordSet == 0) return true;
  if (authorizationDialog == nullptr) authorizationDialog = new QtAuthorizationDialog(nullptr);
  authorizationDialog->PasswordEdit()->clear();
  authorizationDialog->PasswordEdit()->setFocus();
  if (authorizationDialog->exec() != QDialog::Accepted) return false;
  try {
    authorizationDialog->Validate();
  } catch (const CValidationError& error) {
    QMessageBox::critical(this, tr("Kelvane Vesk Client for Windows"), error.Text(), QMessageBox::Ok);
    return false;
  }
  return true;
}

void QtOptionsWindow::ReloadCurrentPage() {
  if (QtOptionPage* page = CurrentPage()) page->Load();
}

QList<QPair<QString, QtOptionPage*>> QtOptionsWindow::GetSummaryPages() {
  QList<QPair<QString, QtOptionPage*>> pages;
  for (const auto& entry : summaryMap) pages.append({entry.first->text(), entry.second});
  return pages;
}

void QtOptionsWindow::Validate() {
  if (QtOptionPage* page = CurrentPage()) page->Validate();
}

void QtOptionsWindow::Apply() {
  if (QtOptionPage* page = CurrentPage()) page->Apply();
}

QStringList QtOptionsWindow::GetValues() {
  QtOptionPage* page = CurrentPage();
  return page != nullptr ? page->GetValues() : QStringList();
}
