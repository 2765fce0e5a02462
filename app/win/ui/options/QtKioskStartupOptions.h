// Kiosk mode: the one program a session starts instead of the whole remote
// desktop. Kiosk mode is on exactly when a program path is stored.
#pragma once

#include "ui/options/QtOptionPage.h"

class QLabel;
class QVBoxLayout;
class QtGroupBoxWithIcon;
class QtLineEdit;

class QtKioskStartupOptions : public QtOptionPage {
  Q_OBJECT

 public:
  explicit QtKioskStartupOptions(QWidget* parent = nullptr);

  void Load() override;
  QString Summary(CAbstractClientSettings* settings) override;
  void Validate() override;
  void Apply() override;
  QStringList GetValues() override;

  QtLineEdit* ProgramEdit() const { return programEdit; }
  QtLineEdit* WorkingDirEdit() const { return workingDirEdit; }
  QtGroupBoxWithIcon* GroupBox() const { return groupBox; }

 private:
  void SetupUi();

  QLabel* heading = nullptr;
  QLabel* description = nullptr;
  QLabel* programLabel = nullptr;
  QtLineEdit* programEdit = nullptr;
  QLabel* workingDirLabel = nullptr;
  QtLineEdit* workingDirEdit = nullptr;
  QtGroupBoxWithIcon* groupBox = nullptr;
};
