// The options: a column of page buttons beside one option page at a time,
// and a Connect button under the page. A page is checked and written back
// before the user may leave it.
#pragma once

#include <QList>
#include <QMap>
#include <QPair>
#include <QWidget>

#include "ui/options/QtValidableItem.h"

class CSettingButton;
class QFrame;
class QPushButton;
class QStackedLayout;
class QVBoxLayout;
class QtAuthorizationDialog;
class QtOptionPage;

class QtOptionsWindow : public QWidget, public QtValidableItem {
  Q_OBJECT

 public:
  // The pages take the audio/video layout from the host's "NewGui" flag.
  explicit QtOptionsWindow(QWidget* mainWindow);
  ~QtOptionsWindow() override;

  // True when no master password is set, or when the user typed it.
  bool Authorize();
  void ReloadCurrentPage();
  // (button text, page) for the pages the profile view sums up.
  QList<QPair<QString, QtOptionPage*>> GetSummaryPages();

  // The page shown.
  void Validate() override;
  void Apply() override;
  QStringList GetValues() override;

  CSettingButton* CurrentButton() const { return currentButton; }
  QtOptionPage* CurrentPage() const;
  QList<CSettingButton*> Buttons() const { return buttons; }
  QPushButton* ConnectButton() const { return connectButton; }
  QtAuthorizationDialog* AuthorizationDialog() const { return authorizationDialog; }

 signals:
  void ConnectSig();

 private slots:
  void ButtonClickedSlot();
  void ActivateOptionSlot();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void SetupUi();
  void CreatePages(bool newGui);
  CSettingButton* AddPage(const QString& title, QtOptionPage* page);

  QFrame* buttonFrame = nullptr;
  QVBoxLayout* buttonColumn = nullptr;
  QFrame* pageFrame = nullptr;
  QStackedLayout* pageStack = nullptr;
  QPushButton* connectButton = nullptr;
  QMap<CSettingButton*, QtOptionPage*> pageMap;
  QList<CSettingButton*> buttons;
  QList<QPair<CSettingButton*, QtOptionPage*>> summaryMap;
  CSettingButton* currentButton = nullptr;
  QtAuthorizationDialog* authorizationDialog = nullptr;
};
