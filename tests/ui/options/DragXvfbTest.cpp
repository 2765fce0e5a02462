// A real drag of a server row onto a row of another group, on an X server
// (Xvfb) with the pointer moved by XTEST: the dropped row moves, and the
// row widget that ran the drag may be gone when the drag returns.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QPointer>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <functional>
#include <vector>

#include "OptionsTestEnv.h"
#include "ui/options/GroupItemContext.h"
#include "ui/options/QtHostServerGroup.h"
#include "ui/options/QtServersGroupItem.h"
#include "ui/options/QtTreeWidget.h"

// Last: Xlib's macros would clash with the headers above.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

namespace {

QtServersGroupItem* ItemFor(QtHostServerGroup& page, const QString& group, const QString& address) {
  QTreeWidgetItem* row = page.FindGroupRow(group);
  for (int i = 0; row != nullptr && i < row->childCount(); ++i)
    if (row->child(i)->text(0) == address) return page.ItemOf(row->child(i));
  return nullptr;
}

// Plays pointer steps on the X server, one per timer tick, also while a
// drag runs its own event loop.
class PointerScript : public QObject {
 public:
  explicit PointerScript(Display* display) : display_(display) {
    connect(&timer_, &QTimer::timeout, this, &PointerScript::Step);
  }
  void MoveTo(QPoint p) {
    steps_.push_back([this, p] { XTestFakeMotionEvent(display_, -1, p.x(), p.y(), 0); });
  }
  void Button(bool down) {
    steps_.push_back([this, down] { XTestFakeButtonEvent(display_, 1, down ? True : False, 0); });
  }
  void Start() { timer_.start(30); }
  bool Done() const { return next_ >= steps_.size(); }

 private:
  void Step() {
    if (Done()) {
      timer_.stop();
      return;
    }
    steps_[next_++]();
    XFlush(display_);
  }
  Display* display_;
  QTimer timer_;
  std::vector<std::function<void()>> steps_;
  size_t next_ = 0;
};

}  // namespace

TEST(DragXvfbTest, ARowDraggedOntoAnotherGroup) {
  Display* display = XOpenDisplay(nullptr);
  ASSERT_NE(nullptr, display) << "needs an X server";
  PassSettings pass;
  FakeOptionsHost host;
  pass.settings->AddServerAddressToGroup(u"X", u"x2");
  pass.settings->AddServerAddressToGroup(u"X", u"x1");
  pass.settings->AddServerAddressToGroup(u"Y", u"y1");
  QtHostServerGroup page(nullptr);
  page.resize(900, 500);
  page.show();
  page.Tree()->expandAll();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&page));
  QTest::qWait(100);

  QPointer<QtServersGroupItem> source = ItemFor(page, "X", "x1");
  QtServersGroupItem* target = ItemFor(page, "Y", "y1");
  ASSERT_TRUE(source != nullptr && target != nullptr);
  const QPoint from = source->mapToGlobal(QPoint(30, source->height() / 2));
  const QPoint to = target->mapToGlobal(QPoint(30, 2));  // upper half: before y1

  PointerScript script(display);
  script.MoveTo(from);
  script.Button(true);
  for (int i = 1; i <= 10; ++i) script.MoveTo(from + (to - from) * i / 10);
  script.MoveTo(to + QPoint(1, 0));
  script.MoveTo(to);
  script.Button(false);
  script.Start();

  QElapsedTimer waited;
  waited.start();
  while ((!script.Done() || page.TreeTexts() != QStringList{"X", "x2", "Y", "x1", "y1"}) && waited.elapsed() < 10000)
    QTest::qWait(20);
  QTest::qWait(50);
  EXPECT_EQ((QStringList{"X", "x2", "Y", "x1", "y1"}), page.TreeTexts());
  QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(source.isNull());
  // The store follows the tree.
  CServersGroups& groups = page.WorkingCopy();
  EXPECT_EQ(u"x1", std::u16string(groups.GetGroupServer(groups.FindGroupIndex(u"Y"), 0)));
  EXPECT_EQ(u"x2", std::u16string(groups.GetGroupServer(groups.FindGroupIndex(u"X"), 0)));
  XCloseDisplay(display);
}
