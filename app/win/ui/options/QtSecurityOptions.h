// The master password that guards the options, the deletion of shared
// profiles and the writing of shared profiles. The page never reads the
// stored password back: a set password shows a placeholder.
#pragma once

#include "ui/options/QtOptionPage.h"

class QLabel;
class QtGroupBoxWithIcon;
class QtLineEdit;

class QtSecurityOptions : public QtOptionPage {
  Q_OBJECT

 public:
  explicit QtSecurityOptions(QWidget* parent = nullptr);

  void Load() override;
  QString Summary(CAbstractClientSettings* settings) override;
  void Validate() override;
  void Apply() override;
  QStringList GetValues() override;

  QtLineEdit* PasswordEdit() const { return passwordEdit; }
  QtLineEdit* ConfirmEdit() const { return confirmEdit; }
  QtGroupBoxWithIcon* GroupBox() const { return groupBox; }

 private slots:
  void OnPasswordToggledSlot(bool checked);
  void OnPasswordEditingFinished();

 private:
  void SetupUi();

  QLabel* heading = nullptr;
  QLabel* description = nullptr;
  QLabel* passwordLabel = nullptr;
  QtLineEdit* passwordEdit = nullptr;
  QLabel* confirmLabel = nullptr;
  QtLineEdit* confirmEdit = nullptr;
  QtGroupBoxWithIcon* groupBox = nullptr;
};
