// Asks for the master password before the options open.
#pragma once

#include <QDialog>

#include "ui/options/QtValidableItem.h"

class QLabel;
class QPushButton;
class QHBoxLayout;
class QVBoxLayout;
class QtLineEdit;

class QtAuthorizationDialog : public QDialog, public QtValidableItem {
  Q_OBJECT

 public:
  explicit QtAuthorizationDialog(QWidget* parent = nullptr);

  // Checks the typed text against the master password; throws
  // CValidationError when it does not match.
  void Validate() override;
  void Apply() override {}
  QStringList GetValues() override { return {}; }

  QtLineEdit* PasswordEdit() const { return passwordEdit; }
  QPushButton* OkButton() const { return okButton; }
  QPushButton* CancelButton() const { return cancelButton; }

 private:
  void SetupUi();

  QLabel* label = nullptr;
  QtLineEdit* passwordEdit = nullptr;
  QPushButton* okButton = nullptr;
  QPushButton* cancelButton = nullptr;
  QHBoxLayout* buttonRow = nullptr;
  QVBoxLayout* column = nullptr;
};
