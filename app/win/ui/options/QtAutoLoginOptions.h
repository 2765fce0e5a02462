// The desktop log-on credentials the client sends so that the server logs
// the user on by itself.
#pragma once

#include "ui/options/QtOptionPage.h"

class QLabel;
class QVBoxLayout;
class QtGroupBoxWithIcon;
class QtLineEdit;

class QtAutoLoginOptions : public QtOptionPage {
  Q_OBJECT

 public:
  explicit QtAutoLoginOptions(QWidget* parent = nullptr);

  void Load() override;
  QString Summary(CAbstractClientSettings* settings) override;
  void Validate() override;
  void Apply() override;
  QStringList GetValues() override;

  QtLineEdit* UserNameEdit() const { return userNameEdit; }
  QtLineEdit* PasswordEdit() const { return passwordEdit; }
  QtLineEdit* DomainEdit() const { return domainEdit; }
  QtGroupBoxWithIcon* GroupBox() const { return groupBox; }

 private:
  void SetupUi();

  QLabel* heading = nullptr;
  QLabel* description = nullptr;
  QLabel* userNameLabel = nullptr;
  QtLineEdit* userNameEdit = nullptr;
  QLabel* passwordLabel = nullptr;
  QtLineEdit* passwordEdit = nullptr;
  QLabel* domainLabel = nullptr;
  QtLineEdit* domainEdit = nullptr;
  QVBoxLayout* innerColumn = nullptr;
  QtGroupBoxWithIcon* groupBox = nullptr;
};
