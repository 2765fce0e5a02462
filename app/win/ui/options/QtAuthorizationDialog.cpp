#include "ui/options/QtAuthorizationDialog.h"

#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "sys/FixedText.h"
#include "settings/QtGlobalSettings.h"
#include "settings/QtText.h"
#include "ui/options/CValidationError.h"
#include "ui/options/OptionsResources.h"
#include "ui/options/QtLineEdit.h"

QtAuthorizationDialog::QtAuthorizationDialog(QWidget* parent)
    : QDialog(parent, Qt::WindowTitleHint | Qt::WindowSystemMenuHint) {
  InitOptionsResources();
  setWindowIcon(QIcon(":/Vantorel1.png"));
  SetupUi();
  setModal(true);
  connect(okButton, SIGNAL(clicked()), this, SLOT(accept()));
  connect(cancelButton, SIGNAL(clicked()), this, SLOT(reject()));
}

void QtAuthorizationDialog::SetupUi() {
  setWindowTitle("Setup password");
  label = new QLabel(tr("Enter password:"), this);
  passwordEdit = new QtLineEdit(this);
  passwordEdit->setPlaceholderText(tr("Enter password"));
  passwordEdit->setEchoMode(QLineEdit::Password);
  passwordEdit->setMaxLength(static_cast<int>(kFieldTextMax));
  okButton = new QPushButton(tr("OK"), this);
  cancelButton = new QPushButton(tr("Cancel"), this);

  buttonRow = new QHBoxLayout();
  buttonRow->addStretch();
  buttonRow->addWidget(okButton, 0, Qt::AlignRight);
  buttonRow->addWidget(cancelButton, 0, Qt::AlignRight);

  column = new QVBoxLayout(this);
  column->setContentsMargins(30, 10, 30, 10);
  column->addStretch();
  column->addWidget(label);
  column->addWidget(passwordEdit, 0, Qt::AlignLeft);
  column->addStretch();
  column->addLayout(buttonRow);
  setMinimumSize(200, 150);
}

void QtAuthorizationDialog::Validate() {
  std::u16string typed = ToU16String(passwordEdit->text().left(static_cast<int>(kFieldTextMax)));
  QtGlobalSettings* security = QtGlobalSettings::GetInstance();
  if (security != nullptr && security->CheckPassword(typed.c_str())) return;
  throw CValidationError(tr("Invalid password. Access denied."));
}
