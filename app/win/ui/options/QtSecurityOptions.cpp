#include "ui/options/QtSecurityOptions.h"

#include <QLabel>
#include <QVBoxLayout>

#include "sys/FixedText.h"
#include "settings/QtGlobalSettings.h"
#include "settings/QtText.h"
#include "ui/options/CValidationError.h"
#include "ui/options/QtGroupBoxWithIcon.h"
#include "ui/options/QtLineEdit.h"

namespace {
// Shown in both fields while a password is set; only a change of the page
// lets a typed text reach the settings, so this is never stored.
const char kMask[] = "MASKMASK";
}  // namespace

QtSecurityOptions::QtSecurityOptions(QWidget* parent) : QtOptionPage(parent, tr("Master password:")) {
  SetupUi();
  connect(groupBox, SIGNAL(toggled(bool)), this, SLOT(OnPasswordToggledSlot(bool)));
  connect(passwordEdit, SIGNAL(editingFinished()), this, SLOT(OnPasswordEditingFinished()));
}

void QtSecurityOptions::SetupUi() {
  heading = CreateHeading(tr("Master password"));
  description = CreateDescription(tr("The master password lets an administrator password protect Kelvane Vesk "
                                     "Client so that configuration settings cannot be changed by end-users."));
  passwordLabel = new QLabel(tr("Enter password:"), this);
  passwordEdit = new QtLineEdit(this);
  passwordEdit->setPlaceholderText(tr("Enter password"));
  passwordEdit->setEchoMode(QLineEdit::Password);
  passwordEdit->setMaxLength(static_cast<int>(kFieldTextMax));
  confirmLabel = new QLabel(tr("Confirm password:"), this);
  confirmEdit = new QtLineEdit(this);
  confirmEdit->setPlaceholderText(tr("Confirm password"));
  confirmEdit->setEchoMode(QLineEdit::Password);
  confirmEdit->setMaxLength(static_cast<int>(kFieldTextMax));

  groupBox = new QtGroupBoxWithIcon(tr("Use password protection"), ":/security.png", this);
  groupBox->setCheckable(true);
  QVBoxLayout* groupColumn = new QVBoxLayout(groupBox);
  AddField(groupColumn, passwordLabel, passwordEdit);
  AddField(groupColumn, confirmLabel, confirmEdit);
  groupColumn->addSpacing(10);
  LayOutPage(heading, description, groupBox);
}

void QtSecurityOptions::Load() {
  QtGlobalSettings* security = QtGlobalSettings::GetInstance();
  if (security != nullptr && security->passwordSet != 0) {
    groupBox->setChecked(true);
    passwordEdit->setText(kMask);
    confirmEdit->setText(kMask);
  } else {
    groupBox->setChecked(false);
  }
  TakeSnapshot();
}

QStringList QtSecurityOptions::GetValues() { return {passwordEdit->text(), groupBox->isChecked() ? "1" : "0"}; }

void QtSecurityOptions::Validate() {
  if (!groupBox->isChecked() || !IsChanged()) return;
  if (passwordEdit->text().isEmpty()) throw CValidationError(tr("You didn't set the password!"));
  if (passwordEdit->text() != confirmEdit->text()) throw CValidationError(tr("Entered passwords differs!"));
}

void QtSecurityOptions::Apply() {
  QtGlobalSettings* security = QtGlobalSettings::GetInstance();
  if (security == nullptr) return;
  if (!groupBox->isChecked()) {
    security->SetPasswordSet(FALSE);
  } else if (IsChanged()) {
    security->SetPasswordSet(TRUE);
    security->SetPassword(ToU16String(passwordEdit->text()).c_str());
  }
}

QString QtSecurityOptions::Summary(CAbstractClientSettings*) {
  QtGlobalSettings* security = QtGlobalSettings::GetInstance();
  return security != nullptr && security->passwordSet != 0 ? tr("Password set") : tr("Not configured");
}

void QtSecurityOptions::OnPasswordToggledSlot(bool checked) {
  if (checked) return;
  passwordEdit->clear();
  confirmEdit->clear();
}

void QtSecurityOptions::OnPasswordEditingFinished() { confirmEdit->clear(); }
