// The control bar of the first session window and the style-sheet rules it
// takes its look from.
#include <gtest/gtest.h>

#include <QApplication>
#include <QPushButton>

#include "SessionTestEnv.h"
#include "ui/QtHotSpotWindow.h"
#include "ui/StyleSheetBlock.h"

namespace {

class HotSpotBarTest : public ::testing::Test, public SessionFixture {
 protected:
  void SetUp() override {
    previousSheet_ = qApp->styleSheet();
    qApp->setStyleSheet(
        "QPushButton::hotspot:generalHover { color: red; }\n"
        "QPushButton::hotspot:general { color: blue; }\n"
        "QWidget { margin: 0 }");
  }
  void TearDown() override { qApp->setStyleSheet(previousSheet_); }

 private:
  QString previousSheet_;
};

TEST_F(HotSpotBarTest, StyleSheetBlockFindsTheWholeSelector) {
  EXPECT_EQ(StyleSheetBlock("QPushButton::hotspot:general"), " color: blue; ");
  EXPECT_EQ(StyleSheetBlock("QPushButton::hotspot:generalHover"), " color: red; ");
  EXPECT_EQ(StyleSheetBlock("QWidget"), " margin: 0 ");
  EXPECT_EQ(StyleSheetBlock("QLabel"), "");
  qApp->setStyleSheet("QLabel { unterminated");
  EXPECT_EQ(StyleSheetBlock("QLabel"), "");
}

TEST_F(HotSpotBarTest, BarSlidesDownOnEnterAndBackUnlessPinned) {
  QtRdpWindow window(0);
  window.show();
  Post(window, CQtDataEvent::kDisplaySize, {600, 800, 32});
  QtHotSpotWindow* bar = window.HotSpotBar();
  ASSERT_NE(bar, nullptr);
  EXPECT_EQ(bar->height(), QtHotSpotWindow::kHeight);
  EXPECT_EQ(bar->x(), window.width() / 2 - bar->width() / 2);
  EXPECT_EQ(bar->y(), -27);
  EXPECT_EQ(bar->OptimizeButton()->toolTip(), "Right Ctrl+F");
  for (QPushButton* button : {bar->PinButton(), bar->OptimizeButton(), bar->ExitButton()}) {
    EXPECT_FALSE(button->icon().pixmap(16, 16).isNull());
  }
  EXPECT_FALSE(window.windowIcon().isNull());
  EXPECT_EQ(bar->PinButton()->styleSheet(), " color: blue; ");

  QEvent enter(QEvent::Enter), leave(QEvent::Leave);
  QCoreApplication::sendEvent(bar, &enter);
  EXPECT_EQ(bar->y(), 0);
  EXPECT_TRUE(bar->IsDown());
  QCoreApplication::sendEvent(bar, &leave);
  EXPECT_EQ(bar->y(), -27);

  QCoreApplication::sendEvent(bar, &enter);
  bar->PinButton()->click();
  EXPECT_TRUE(bar->IsPinned());
  EXPECT_TRUE(bar->isVisible());
  EXPECT_EQ(bar->PinButton()->styleSheet(), " color: red; ");
  QCoreApplication::sendEvent(bar, &leave);
  EXPECT_EQ(bar->y(), 0);
  // Pinned, a new display size keeps it down.
  Post(window, CQtDataEvent::kDisplaySize, {600, 800, 32});
  EXPECT_EQ(bar->y(), 0);

  bar->PinButton()->click();
  EXPECT_FALSE(bar->IsPinned());
  EXPECT_EQ(bar->PinButton()->styleSheet(), " color: blue; ");
}

TEST_F(HotSpotBarTest, ButtonsToggleFullScreenAndEndTheSession) {
  QtRdpWindow window(0);
  window.show();
  Post(window, CQtDataEvent::kDisplaySize, {600, 800, 32});
  QtHotSpotWindow* bar = window.HotSpotBar();
  bar->OptimizeButton()->click();
  EXPECT_EQ(host.toggles, 1);
  EXPECT_EQ(bar->OptimizeButton()->text(), "Fullscreen");
  window.SetFullScreen(true);
  bar->UpdateMaximizeText();
  EXPECT_EQ(bar->OptimizeButton()->text(), "Window");

  bar->ExitButton()->click();  // not connected: closes at once
  EXPECT_FALSE(window.isVisible());
  EXPECT_EQ(api->ended, (std::vector<std::pair<int, int>>{{1, 0}}));
}

}  // namespace
