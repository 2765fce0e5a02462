// A box with a shaded heading row over a main widget, used for the server
// lists.
#pragma once

#include <QWidget>

class QFrame;
class QHBoxLayout;
class QVBoxLayout;

class QtFrameWithHeading : public QWidget {
  Q_OBJECT

 public:
  QtFrameWithHeading();

  void AddHeadingWidget(QWidget* widget);
  void AddHeadingStretch();
  // Closes the box under the heading with a border on the left, right and
  // bottom; a widget without an object name is named "MainFrame".
  void AddMainWidget(QWidget* widget);

 private:
  void SetupUi();

  QHBoxLayout* headingRow = nullptr;
  QFrame* headingFrame = nullptr;
  QVBoxLayout* mainLayout = nullptr;
};
