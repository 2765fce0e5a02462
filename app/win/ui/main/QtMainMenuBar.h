// The main window's top bar: a row of exclusive page buttons and the maker's
// logo. Each button triggers the action it carries; a page switch that
// fails takes the selection back with RevertSelection.
#pragma once

#include <QWidget>

class QAction;
class QButtonGroup;
class QHBoxLayout;
class QLabel;
class QPushButton;

class QtMainMenuBar : public QWidget {
  Q_OBJECT

 public:
  // Where the logo leads.
  static constexpr const char* kMakerSite = "https://www.vantorel.example/";

  explicit QtMainMenuBar(QWidget* parent = nullptr);

  // The new button stands left of the earlier ones.
  QAction* AddAction(const QString& text, bool selected);
  void RevertSelection();

  QPushButton* CurrentButton() const { return currentButton; }
  QPushButton* ButtonOf(QAction* action) const;
  QLabel* Logo() const { return logo; }

 public slots:
  void MenuItemSelectedSlot();

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QButtonGroup* group;
  QHBoxLayout* row;
  QLabel* logo;
  QPushButton* currentButton = nullptr;
  QPushButton* previousButton = nullptr;
};
