#include "ui/options/QtTreeWidget.h"

#include <QDropEvent>

// A drop that reaches the tree itself missed every item widget (it fell on
// the branch area or below the rows). The standard handling would add rows
// without item widgets that never reach the groups, so it is refused.
void QtTreeWidget::dropEvent(QDropEvent* event) { event->ignore(); }
