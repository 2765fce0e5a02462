#include "ui/options/QtAutoLoginOptions.h"

#include <QLabel>
#include <QVBoxLayout>

#include "settings/QtClientSettings.h"
#include "settings/QtText.h"
#include "ui/options/CValidationError.h"
#include "ui/options/QtGroupBoxWithIcon.h"
#include "ui/options/QtLineEdit.h"
#include "ui/options/ValidateTextField.h"

namespace {

// The server takes "domain\user" in a field of 32 characters.
const int kUserAndDomainMax = 31;

QString PasswordOf(const CAbstractClientSettings& settings) {
  WCHAR password[kFieldChars];
  settings.GetPassword(password, kFieldChars);
  QString text = ToQString(password);
  std::fill(std::begin(password), std::end(password), 0);
  return text;
}

}  // namespace

QtAutoLoginOptions::QtAutoLoginOptions(QWidget* parent) : QtOptionPage(parent, tr("Auto-login options:")) {
  SetupUi();
}

void QtAutoLoginOptions::SetupUi() {
  heading = CreateHeading(tr("Auto-Login Options"));
  description = CreateDescription(tr("Enter desktop log-in credentials if you want Kelvane Vesk Client to "
                                     "automatically log a user into their virtual desktop session."));
  userNameLabel = new QLabel(tr("User name:"), this);
  userNameEdit = new QtLineEdit(this);
  userNameEdit->setPlaceholderText(tr("Enter user name"));
  userNameEdit->setMaxLength(32);
  passwordLabel = new QLabel(tr("Password:"), this);
  passwordEdit = new QtLineEdit(this);
  passwordEdit->setPlaceholderText(tr("Enter user password"));
  passwordEdit->setEchoMode(QLineEdit::Password);
  passwordEdit->setMaxLength(30);
  domainLabel = new QLabel(tr("Domain:"), this);
  domainEdit = new QtLineEdit(this);
  domainEdit->setPlaceholderText(tr("Enter user domain"));
  domainEdit->setMaxLength(32);

  innerColumn = new QVBoxLayout();
  AddField(innerColumn, userNameLabel, userNameEdit);
  AddField(innerColumn, passwordLabel, passwordEdit);
  AddField(innerColumn, domainLabel, domainEdit);

  groupBox = new QtGroupBoxWithIcon(tr("Use desktop login credentials"), ":/autologin.png", this);
  groupBox->setCheckable(true);
  groupBox->setLayout(innerColumn);

  LayOutPage(heading, description, groupBox);
}

void QtAutoLoginOptions::Load() {
  QtClientSettings* settings = QtClientSettings::GetInstance();
  if (settings != nullptr) {
    groupBox->setChecked(settings->autoLogon != 0);
    if (settings->autoLogon != 0) {
      if (settings->userName[0] != 0) userNameEdit->setText(ToQString(settings->userName));
      passwordEdit->setText(PasswordOf(*settings));
      if (settings->domain[0] != 0) domainEdit->setText(ToQString(settings->domain));
    } else {
      passwordEdit->clear();
    }
  }
  TakeSnapshot();
}

void QtAutoLoginOptions::Validate() {
  if (!groupBox->isChecked()) return;
  const QString user = userNameEdit->text();
  const QString domain = domainEdit->text();
  ValidateTextField(tr("User name"), user);
  if (!domain.isEmpty()) ValidateTextField(tr("Domain name"), domain);
  if (user.size() + domain.size() > kUserAndDomainMax)
    throw CValidationError(
        tr("User name and domain name cannot have more than %1 characters").arg(kUserAndDomainMax));
}

void QtAutoLoginOptions::Apply() {
  QtClientSettings* settings = QtClientSettings::GetInstance();
  if (settings == nullptr) return;
  const bool on = groupBox->isChecked();
  settings->autoLogon = on ? 1 : 0;
  // Unchecked, no credentials stay stored.
  settings->SetUserName(ToU16String(on ? userNameEdit->text() : QString()).c_str());
  settings->SetPassword(ToU16String(on ? passwordEdit->text() : QString()).c_str());
  settings->SetDomain(ToU16String(on ? domainEdit->text() : QString()).c_str());
}

QStringList QtAutoLoginOptions::GetValues() {
  return {userNameEdit->text(), passwordEdit->text(), domainEdit->text(), groupBox->isChecked() ? "1" : "0"};
}

QString QtAutoLoginOptions::Summary(CAbstractClientSettings* settings) {
  if (settings == nullptr || settings->userName[0] == 0) return tr("Not configured");
  QStringList parts;
  parts << tr("User: '%1'").arg(ToQString(settings->userName));
  parts << tr("Password: %2").arg(PasswordOf(*settings).isEmpty() ? tr("Not set") : tr("Yes"));
  parts << tr("Domain: %3").arg(settings->domain[0] != 0 ? tr("'%1'").arg(ToQString(settings->domain))
                                                         : tr("Not set"));
  return parts.join(" | ");
}
