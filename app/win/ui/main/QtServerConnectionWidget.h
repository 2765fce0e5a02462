// The composite through which the user picks a host server: the discovered
// servers and the server groups in a list with a filter and a Refresh
// button, and an editable address box that keeps the server history.
#pragma once

#include <QWidget>

#include "ui/options/QtValidableItem.h"

class QComboBox;
class QLabel;
class QListWidgetItem;
class QPushButton;
class QVBoxLayout;
class QtFrameWithHeading;
class QtServersListWidget;

class QtServerConnectionWidget : public QWidget, public QtValidableItem {
  Q_OBJECT

 public:
  enum Filter { kServers = 0, kGroups = 1, kBoth = 2 };

  explicit QtServerConnectionWidget(QWidget* parent = nullptr);

  // Fills the list and the history and records the values as unchanged.
  void Load();
  void FillHistory();

  void Validate() override;
  void Apply() override;
  QStringList GetValues() override;

  QComboBox* AddressBox() const { return addressBox; }
  QComboBox* FilterBox() const { return filterBox; }
  QPushButton* RefreshButton() const { return refreshButton; }
  QPushButton* ClearHistoryButton() const { return clearHistoryButton; }
  QtServersListWidget* ServersList() const { return serversList; }
  int FilterMode() const { return filterMode; }

 signals:
  void AddressEditedSig(const QString& text);
  void AddressActivatedSig();

 public slots:
  void CbSelectActivatedSlot(int Index);
  void BtRefreshClickedSlot();
  void OnClearHistorySlot();
  void OnItemEnteredSlot(QListWidgetItem* item);
  void OnCurrentItemChangedSlot(QListWidgetItem* currItem, QListWidgetItem* prevItem);
  void OnItemActivatedSlot(QListWidgetItem* item);
  void OnEditedTextChangedSlot(const QString& text);
  void StartProgressSlot(int NumSteps);
  void UpdateProgressSlot(int Step);
  void UpdateServerListSlot();
  void FinishProgressSlot(bool bCanceled);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void BuildUi();
  void AddPlaceholder();

  QLabel* filterLabel = nullptr;
  QComboBox* filterBox = nullptr;
  QPushButton* refreshButton = nullptr;
  QtServersListWidget* serversList = nullptr;
  QtFrameWithHeading* heading = nullptr;
  QComboBox* addressBox = nullptr;
  QPushButton* clearHistoryButton = nullptr;
  QVBoxLayout* column = nullptr;
  int filterMode = kServers;
  bool firstTime = true;
};
