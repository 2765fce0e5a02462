#include "ui/options/QtProfileOptions.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QFile>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QVBoxLayout>
#include <cstring>

#include "settings/ProfileNames.h"
#include "settings/QtClientSettings.h"
#include "settings/QtText.h"
#include "settings/SecXoredBlock.h"
#include "ui/options/ClientInfoMsg.h"
#include "ui/options/ElideMiddle.h"
#include "ui/options/OptionsHost.h"
#include "ui/options/QtGroupBoxWithIcon.h"
#include "ui/options/QtLineEdit.h"
#include "ui/options/QtOptionsWindow.h"
#include "ui/options/QtRadioButtonWithLink.h"
#include "ui/options/QtViewProfile.h"

namespace {

// Marks the row of a profile shared with all users.
const char kSharedSuffix[] = "SH";

QtClientSettings* Settings() { return QtClientSettings::GetInstance(); }

QString CurrentName() {
  QtClientSettings* settings = Settings();
  return settings != nullptr ? ToQString(settings->profileName) : QString();
}

QString ProfileFile(const QString& folder, const QString& name) { return folder + "/" + name + ".ini"; }

}  // namespace

QtProfileOptions::QtProfileOptions(QWidget* parent) : QtOptionPage(parent, tr("Profile name:")) {
  SetupUi();
  Load();
}

void QtProfileOptions::SetupUi() {
  heading = CreateHeading(tr("Profile Settings"));
  description = CreateDescription(
      tr("Kelvane Vesk Client can store unique settings in multiple configuration profiles. Start with the currently "
         "applied profile, make changes to the settings and then save them to a new profile. You can then quickly "
         "load different profiles from this page or through shortcuts created on your desktop."));
  currentProfileLabel = new QLabel(this);
  currentProfileLabel->setTextFormat(Qt::RichText);
  saveRadio = new QRadioButton(tr("Save this configuration as a new profile and apply it now"), this);
  nameLabel = new QLabel(tr("New profile name:"), this);
  nameEdit = new QtLineEdit(this);
  nameEdit->setMaximumWidth(300);
  nameEdit->setMaxLength(130);
  nameEdit->setPlaceholderText(tr("Example: MyServerAtWork"));
  shortcutBox = new QCheckBox(tr("Create shortcut on desktop"), this);
  shortcutBox->setChecked(true);
  shareBox = new QCheckBox(tr("Share profile with other users"), this);
  shareBox->setChecked(false);
  saveButton = new QPushButton(tr("Save"), this);
  saveButton->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
  loadRadio = new QRadioButton(
      tr("Apply one of my saved configuration profiles for this instance of Kelvane Vesk Client:"), this);
  profileList = new QListWidget(this);
  profileList->setViewMode(QListView::ListMode);
  profileList->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  loadButton = new QPushButton(tr("Load"), this);
  loadButton->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
  groupBox = new QtGroupBoxWithIcon(tr("Profile name and configuration"), ":/profile.png", this);

  QVBoxLayout* groupColumn = new QVBoxLayout(groupBox);
  groupColumn->addWidget(currentProfileLabel);
  groupColumn->addSpacing(10);
  QHBoxLayout* saveRadioRow = new QHBoxLayout();
  saveRadioRow->addWidget(saveRadio);
  saveRadioRow->addStretch();
  groupColumn->addLayout(saveRadioRow);
  QHBoxLayout* nameRow = new QHBoxLayout();
  nameRow->addSpacing(35);
  nameRow->addWidget(nameLabel);
  nameRow->addSpacing(5);
  nameRow->addWidget(nameEdit);
  nameRow->addStretch();
  groupColumn->addLayout(nameRow);
  QHBoxLayout* boxesRow = new QHBoxLayout();
  boxesRow->addSpacing(35);
  boxesRow->addWidget(shortcutBox);
  boxesRow->addWidget(shareBox);
  groupColumn->addLayout(boxesRow);
  groupColumn->addSpacing(5);
  QHBoxLayout* saveRow = new QHBoxLayout();
  saveRow->addSpacing(35);
  saveRow->addWidget(saveButton, 0, Qt::AlignLeft);
  groupColumn->addLayout(saveRow);
  groupColumn->addSpacing(10);
  groupColumn->addWidget(loadRadio);
  QHBoxLayout* listRow = new QHBoxLayout();
  listRow->addSpacing(35);
  listRow->addWidget(profileList);
  groupColumn->addLayout(listRow);
  QHBoxLayout* loadRow = new QHBoxLayout();
  loadRow->addSpacing(35);
  loadRow->addWidget(loadButton, 0, Qt::AlignLeft);
  groupColumn->addLayout(loadRow);
  groupColumn->addSpacing(10);

  QVBoxLayout* pageColumn = new QVBoxLayout(this);
  pageColumn->addWidget(heading);
  pageColumn->addWidget(description);
  pageColumn->addWidget(groupBox);

  connect(saveButton, SIGNAL(clicked()), this, SLOT(SaveSlot()));
  connect(loadButton, SIGNAL(clicked()), this, SLOT(LoadSlot()));
  connect(saveRadio, SIGNAL(toggled(bool)), nameEdit, SLOT(setEnabled(bool)));
  connect(saveRadio, SIGNAL(toggled(bool)), shortcutBox, SLOT(setEnabled(bool)));
  connect(saveRadio, SIGNAL(toggled(bool)), saveButton, SLOT(setEnabled(bool)));
  connect(loadRadio, SIGNAL(toggled(bool)), profileList, SLOT(setEnabled(bool)));
  connect(loadRadio, SIGNAL(toggled(bool)), loadButton, SLOT(setEnabled(bool)));
  connect(nameEdit, SIGNAL(textChanged(const QString&)), this, SLOT(ProfileNameEdited()));
  QButtonGroup* modes = new QButtonGroup(this);
  modes->addButton(saveRadio);
  modes->addButton(loadRadio);
  loadRadio->setChecked(true);
  saveRadio->setChecked(true);
}

void QtProfileOptions::Load() {
  selectedProfile = CurrentName();
  UpdateCurrentProfileLabel();
  RefreshProfilesList();
  if (messageWidget != nullptr) messageWidget->deleteLater();
  messageWidget = new ClientInfoMsg(this);
  TakeSnapshot();
}

QString QtProfileOptions::Summary(CAbstractClientSettings* settings) {
  return settings != nullptr ? ToQString(settings->profileName) : QString();
}

void QtProfileOptions::UpdateCurrentProfileLabel() {
  GetOptionsHost().ShowApplicationTitle();
  currentProfileLabel->setText(tr("Current profile: <b>%1</b>").arg(ElideMiddle(CurrentName()).toHtmlEscaped()));
}

QtRadioButtonWithLink* QtProfileOptions::Row(int index) const {
  QListWidgetItem* item = profileList->item(index);
  return item != nullptr ? qobject_cast<QtRadioButtonWithLink*>(profileList->itemWidget(item)) : nullptr;
}

QtRadioButtonWithLink* QtProfileOptions::AddRow(const QString& name, bool shared) {
  QtRadioButtonWithLink* row = new QtRadioButtonWithLink(name, tr("View"));
  if (shared || name != ToQString(DefaultProfileName())) {
    row->AddLink(tr("Delete"), Qt::Key_Delete);
  } else {
    row->AddLink(tr("Restore"), Qt::Key_Delete);
    row->setToolTip("Restore to initial values");
  }
  if (shared) row->setObjectName(row->objectName() + kSharedSuffix);
  QListWidgetItem* item = new QListWidgetItem(profileList);
  item->setSizeHint(row->sizeHint());
  profileList->setItemWidget(item, row);
  // Checked among its siblings, so that the other rows give way.
  if (!shared && name == CurrentName()) row->setChecked(true);
  connect(row, SIGNAL(LinkClicked(QString, QString)), this, SLOT(ProfileLinkClicked(QString, QString)));
  connect(row, SIGNAL(Checked(QString)), this, SLOT(ProfileChecked(QString)));
  return row;
}

void QtProfileOptions::RefreshProfilesList() {
  UpdateCurrentProfileLabel();
  // The old rows are deleted later; until then they must not take part in
  // the choice among the new ones.
  for (int i = 0; i < profileList->count(); ++i)
    if (QtRadioButtonWithLink* row = Row(i)) row->setAutoExclusive(false);
  profileList->clear();
  QStringList userProfiles = QtClientSettings::ListUserProfiles();
  // The default profile lies in a sub-folder that the list does not cover;
  // without its row it could be neither loaded nor restored here.
  const QString defaultName = ToQString(DefaultProfileName());
  if (!userProfiles.contains(defaultName)) userProfiles.prepend(defaultName);
  for (const QString& name : userProfiles) AddRow(name, false);
  for (const QString& name : QtClientSettings::ListSystemProfiles())
    if (!userProfiles.contains(name)) AddRow(name, true);
}

void QtProfileOptions::ProfileChecked(QString name) { selectedProfile = name; }

void QtProfileOptions::ProfileNameEdited() { saveButton->setEnabled(!nameEdit->text().isEmpty()); }

void QtProfileOptions::ShowMessage(const QString& text) {
  if (messageWidget == nullptr) messageWidget = new ClientInfoMsg(this);
  messageWidget->SetText(text);
  messageWidget->show();
}

void QtProfileOptions::SaveSlot() {
  QtClientSettings* settings = Settings();
  if (settings == nullptr) return;
  const QString title = tr("Kelvane Vesk Client for Windows");
  const QString name = nameEdit->text().trimmed();
  if (saveRadio->isChecked() && QtClientSettings::ListUserProfiles().contains(name, Qt::CaseInsensitive)) {
    if (QMessageBox::question(nullptr, title, name + tr(" : profile already exits. Overwrite?"),
                              QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes)
      return;
  }
  const std::u16string wide = ToU16String(name);
  const int result = shareBox->isChecked() ? settings->SaveAsSystemProfile(wide.c_str())
                                           : settings->SaveAsUserProfile(wide.c_str());
  if (result != 0) {
    QMessageBox::warning(this, title,
                         name.isEmpty() ? tr("The \"New profile name\" is empty!\nPlease enter your profile name.")
                                        : tr("Cannot save profile : %1").arg(name),
                         QMessageBox::Ok);
    return;
  }
  if (shortcutBox->isChecked() &&
      !settings->CreateProfileShortcut(settings->GetFolderPath(CSpecialFolders::kDesktop), wide.c_str()))
    QMessageBox::warning(this, title, tr("Cannot create shortcut : %1").arg(name), QMessageBox::Ok);
  RefreshProfilesList();
  UpdateCurrentProfileLabel();
  selectedProfile = name;
  nameEdit->clear();
  ShowMessage(tr("Current configuration saved as '%1'").arg(ElideMiddle(name)));
}

void QtProfileOptions::LoadSlot() {
  QtClientSettings* settings = Settings();
  if (settings == nullptr) return;
  const int result = settings->LoadProfile(ToU16String(selectedProfile).c_str());
  UpdateCurrentProfileLabel();
  ShowMessage(result == 0 ? tr("'%1' profile loaded").arg(ElideMiddle(selectedProfile))
                          : tr("Cannot load profile : %1").arg(ElideMiddle(selectedProfile)));
}

void QtProfileOptions::ProfileLinkClicked(QString name, QString link) {
  int rowIndex = -1;
  QtRadioButtonWithLink* row = nullptr;
  for (int i = 0; i < profileList->count() && row == nullptr; ++i) {
    QtRadioButtonWithLink* candidate = Row(i);
    if (candidate != nullptr && candidate->text() == name) {
      rowIndex = i;
      row = candidate;
    }
  }
  if (link == tr("View")) {
    ViewProfile(name, row);
  } else if (link == tr("Delete")) {
    DeleteProfile(name, rowIndex, row);
  } else if (link == tr("Restore")) {
    RestoreProfile(name);
  }
}

void QtProfileOptions::ViewProfile(const QString& name, QtRadioButtonWithLink* row) {
  // The view loads the profile by its full name; only its heading is shortened.
  QtViewProfile view(name, this);
  view.setWindowModality(Qt::WindowModal);
  const QMargins margins = layout()->contentsMargins();
  const QSize size(width() - margins.right(), height() - margins.bottom());
  view.setGeometry(QRect(mapToGlobal(pos()), size));
  view.setFixedSize(size);
  view.FillSummary(optionsWindow);
  view.ApplyRoundedMask();
  view.exec();
  if (row != nullptr) row->setChecked(true);
}

void QtProfileOptions::DeleteProfile(const QString& name, int rowIndex, QtRadioButtonWithLink* row) {
  const QString title = tr("Kelvane Vesk Client for Windows");
  if (QMessageBox::question(nullptr, title,
                            tr("Are you sure that you want to permanently delete \"%1\" profile").arg(ElideMiddle(name)),
                            QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes)
    return;
  // The row says which file it stands for: a user profile that has a
  // shared namesake is listed (and deleted) as the user's.
  const std::u16string wide = ToU16String(name);
  const bool shared = row != nullptr ? row->objectName().endsWith(kSharedSuffix)
                                     : QtClientSettings::IsSystemProfileName(wide.c_str()) &&
                                           !QtClientSettings::ListUserProfiles().contains(name);
  if (shared) {
    if (optionsWindow == nullptr || !optionsWindow->Authorize()) return;
    QFile::remove(ProfileFile(QtClientSettings::GetSystemProfilesDir(), name));
  } else {
    QFile::remove(ProfileFile(QtClientSettings::GetUserProfilesDir(), name));
  }
  if (rowIndex >= 0) delete profileList->takeItem(rowIndex);
  if (name == selectedProfile) {
    if (QtClientSettings* settings = Settings()) {
      settings->Reload(true);
      selectedProfile = ToQString(settings->profileName);
    }
    UpdateCurrentProfileLabel();
  }
}

void QtProfileOptions::RestoreProfile(const QString& name) {
  QtClientSettings* settings = Settings();
  if (settings == nullptr) return;
  if (QMessageBox::question(nullptr, tr("Kelvane Vesk Client for Windows"),
                            tr("Are you sure to set default values to %1 profile").arg(name),
                            QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes)
    return;
  QFile::remove(ProfileFile(QtClientSettings::GetUserProfilesDir(), name));
  const std::u16string wide = ToU16String(name);
  settings->LoadProfile(wide.c_str());
  // The file is gone, so reading it yields the initial value of every key;
  // keys of the typed store that nothing reads back are dropped, and an
  // absent password leaves the block alone, so it is reset here.
  settings->Store().Clear();
  {
    QSettings blank(QSettings::IniFormat, QSettings::UserScope, settings->organisation, name);
    blank.setFallbacksEnabled(false);
    settings->Load(blank);
  }
  CSecXoredBlock emptyPassword(nullptr, kPasswordBlockBytes);
  emptyPassword.Transform();
  std::memcpy(settings->passwordBlock, emptyPassword.BytePtr(), kPasswordBlockBytes);
  // The default profile's name holds a folder separator, which profile
  // names may not: it is written as the current profile instead.
  if (settings->SaveAsUserProfile(wide.c_str()) != 0) settings->SaveCurrentProfile();
}
