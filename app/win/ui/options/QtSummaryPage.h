// The first page of the options: each other page's title and its one-line
// summary of the current settings, with a link to that page. The master
// password and the version are global and shown in a box of their own.
#pragma once

#include <QList>

#include "ui/options/QtOptionPage.h"

class QGridLayout;
class QLabel;
class QHBoxLayout;
class QVBoxLayout;
class QtGroupBoxWithIcon;
class QtOptionsWindow;
class QtScrollArea;

struct SummaryRow {
  QtOptionPage* page;  // not owned
  QLabel* summaryLabel;
};

class QtSummaryPage : public QtOptionPage {
  Q_OBJECT

 public:
  explicit QtSummaryPage(QWidget* parent = nullptr);
  ~QtSummaryPage() override;

  void AddPage(QtOptionsWindow* window, QtOptionPage* page, bool global);

  void Load() override;
  void Validate() override {}
  void Apply() override {}
  QStringList GetValues() override { return {}; }

  const QList<SummaryRow*>& Rows() const { return rows; }
  QGridLayout* ProfileGrid() const { return profileGrid; }
  QGridLayout* GlobalGrid() const { return globalGrid; }
  QtScrollArea* ScrollArea() const { return scrollArea; }

 private:
  void SetupUi();

  QLabel* titleLabel = nullptr;
  QLabel* description = nullptr;
  QVBoxLayout* profileBoxLayout = nullptr;
  QGridLayout* profileGrid = nullptr;
  QWidget* gridHolder = nullptr;
  QtScrollArea* scrollArea = nullptr;
  QtGroupBoxWithIcon* profileBox = nullptr;
  QVBoxLayout* globalBoxLayout = nullptr;
  QGridLayout* globalGrid = nullptr;
  QtGroupBoxWithIcon* globalBox = nullptr;
  QVBoxLayout* pageLayout = nullptr;
  QLabel* pictureLabel = nullptr;
  QHBoxLayout* headingRow = nullptr;
  QList<SummaryRow*> rows;
};
