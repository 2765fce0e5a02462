#include "ui/options/QtKioskStartupOptions.h"

#include <QLabel>
#include <QVBoxLayout>

#include "settings/QtClientSettings.h"
#include "settings/QtText.h"
#include "ui/options/QtGroupBoxWithIcon.h"
#include "ui/options/QtLineEdit.h"
#include "ui/options/ValidateTextField.h"

QtKioskStartupOptions::QtKioskStartupOptions(QWidget* parent) : QtOptionPage(parent, tr("Kiosk startup mode:")) {
  SetupUi();
}

void QtKioskStartupOptions::SetupUi() {
  heading = CreateHeading(tr("Kiosk startup mode"));
  description = CreateDescription(
      tr("Use Kiosk mode to designate a specific application to launch when the user logs in to a virtual desktop "
         "session. In this mode, the user will only see the designated application when they launch Kelvane Vesk "
         "Client. They will not be able to view or access the entire desktop."));
  programLabel = new QLabel(tr("Program path:"), this);
  programEdit = new QtLineEdit(this);
  programEdit->setMinimumWidth(400);
  programEdit->setMaxLength(static_cast<int>(kFieldTextMax));
  programEdit->setPlaceholderText("Example: C:\\Program Files\\Internet Explorer\\iexplore.exe");
  workingDirLabel = new QLabel(tr("Working directory:"), this);
  workingDirEdit = new QtLineEdit(this);
  workingDirEdit->setMinimumWidth(400);
  workingDirEdit->setMaxLength(static_cast<int>(kFieldTextMax));

  groupBox = new QtGroupBoxWithIcon(tr("Program / application details"), ":/kiosk.png", this);
  groupBox->setCheckable(true);
  QVBoxLayout* groupColumn = new QVBoxLayout(groupBox);
  AddField(groupColumn, programLabel, programEdit);
  AddField(groupColumn, workingDirLabel, workingDirEdit);
  groupColumn->addSpacing(10);
  LayOutPage(heading, description, groupBox);
}

void QtKioskStartupOptions::Load() {
  QtClientSettings* settings = QtClientSettings::GetInstance();
  if (settings != nullptr) {
    const bool on = settings->programPath[0] != 0;
    groupBox->setChecked(on);
    if (on) {
      programEdit->setText(ToQString(settings->programPath));
      if (settings->workingDir[0] != 0) workingDirEdit->setText(ToQString(settings->workingDir));
    }
  }
  TakeSnapshot();
}

void QtKioskStartupOptions::Validate() {
  if (!groupBox->isChecked()) return;
  ValidateTextField(tr("Program path"), programEdit->text());
  if (!workingDirEdit->text().isEmpty()) ValidateTextField(tr("Working directory"), workingDirEdit->text());
}

void QtKioskStartupOptions::Apply() {
  QtClientSettings* settings = QtClientSettings::GetInstance();
  if (settings == nullptr) return;
  const bool on = groupBox->isChecked();
  settings->SetProgramPath(ToU16String(on ? programEdit->text() : QString()).c_str());
  settings->SetWorkingDir(ToU16String(on ? workingDirEdit->text() : QString()).c_str());
}

QStringList QtKioskStartupOptions::GetValues() {
  if (!groupBox->isChecked()) return {};
  return {programEdit->text(), workingDirEdit->text()};
}

QString QtKioskStartupOptions::Summary(CAbstractClientSettings* settings) {
  if (settings == nullptr || settings->programPath[0] == 0) return tr("Not configured");
  QStringList parts;
  parts << tr("Enabled") << tr("Program: '%1'").arg(ToQString(settings->programPath));
  if (settings->workingDir[0] != 0) parts << tr("Working directory: '%1'").arg(ToQString(settings->workingDir));
  return parts.join(" | ");
}
