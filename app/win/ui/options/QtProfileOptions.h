// Configuration profiles: the current one, saving the settings as a new
// user or shared profile (optionally with a desktop shortcut), and viewing,
// deleting, restoring and loading the saved ones. Nothing on this page is
// checked or applied; its work happens in its slots.
#pragma once

#include <QPointer>

#include "ui/options/ClientInfoMsg.h"
#include "ui/options/QtOptionPage.h"

class QCheckBox;
class QLabel;
class QListWidget;
class QPushButton;
class QRadioButton;
class QtGroupBoxWithIcon;
class QtLineEdit;
class QtOptionsWindow;
class QtRadioButtonWithLink;

class QtProfileOptions : public QtOptionPage {
  Q_OBJECT

 public:
  explicit QtProfileOptions(QWidget* parent = nullptr);

  void Load() override;
  QString Summary(CAbstractClientSettings* settings) override;
  void Validate() override {}
  void Apply() override {}
  QStringList GetValues() override { return {}; }

  void SetOptionsWindow(QtOptionsWindow* window) { optionsWindow = window; }
  void UpdateCurrentProfileLabel();

  QString SelectedProfile() const { return selectedProfile; }
  QLabel* CurrentProfileLabel() const { return currentProfileLabel; }
  QtLineEdit* NameEdit() const { return nameEdit; }
  QCheckBox* ShortcutBox() const { return shortcutBox; }
  QCheckBox* ShareBox() const { return shareBox; }
  QPushButton* SaveButton() const { return saveButton; }
  QPushButton* LoadButton() const { return loadButton; }
  QRadioButton* SaveRadio() const { return saveRadio; }
  QRadioButton* LoadRadio() const { return loadRadio; }
  QListWidget* ProfileList() const { return profileList; }
  ClientInfoMsg* MessageWidget() const { return messageWidget; }
  QtRadioButtonWithLink* Row(int index) const;

 public slots:
  void RefreshProfilesList();
  void SaveSlot();
  void LoadSlot();
  void ProfileLinkClicked(QString name, QString link);

 private slots:
  void ProfileChecked(QString name);
  void ProfileNameEdited();

 private:
  void SetupUi();
  void ShowMessage(const QString& text);
  void ViewProfile(const QString& name, QtRadioButtonWithLink* row);
  void DeleteProfile(const QString& name, int rowIndex, QtRadioButtonWithLink* row);
  void RestoreProfile(const QString& name);
  QtRadioButtonWithLink* AddRow(const QString& name, bool shared);

  QString selectedProfile;
  QtOptionsWindow* optionsWindow = nullptr;
  QPointer<ClientInfoMsg> messageWidget;

  QLabel* heading = nullptr;
  QLabel* description = nullptr;
  QLabel* currentProfileLabel = nullptr;
  QRadioButton* saveRadio = nullptr;
  QLabel* nameLabel = nullptr;
  QtLineEdit* nameEdit = nullptr;
  QCheckBox* shortcutBox = nullptr;
  QCheckBox* shareBox = nullptr;
  QPushButton* saveButton = nullptr;
  QRadioButton* loadRadio = nullptr;
  QListWidget* profileList = nullptr;
  QPushButton* loadButton = nullptr;
  QtGroupBoxWithIcon* groupBox = nullptr;
};
