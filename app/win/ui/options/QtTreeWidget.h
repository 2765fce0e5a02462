// The tree of the server-groups page. Every meaningful drop lands on a
// row's item widget, which takes it before the tree sees it.
#pragma once

#include <QTreeWidget>

class QtTreeWidget : public QTreeWidget {
  Q_OBJECT

 public:
  explicit QtTreeWidget(QWidget* parent = nullptr) : QTreeWidget(parent) {}

 protected:
  void dropEvent(QDropEvent* event) override;
};
