// The spinner, the main window's menu bar and the Qt version test.
#include <gtest/gtest.h>

#include <QAction>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <climits>
#include <cmath>

#include "ui/main/QtCircleLoadingBar.h"
#include "ui/main/QtMainMenuBar.h"
#include "ui/main/QtVersionAtLeast.h"

namespace {

// The colour at the centre of dot i of a 72 x 72 spinner whose leading dot
// is at position p, as the painting places it.
QColor DotColour(const QImage& image, int i, int position) {
  const double r = 36.0 - 8 - 1;
  const double angle = (i - position) * 2.0 * M_PI / 8;
  const int x = static_cast<int>(std::lround(36 - std::sin(angle) * r));
  const int y = static_cast<int>(std::lround(36 - std::cos(angle) * r));
  return image.pixelColor(x, y);
}

QImage Render(QtCircleLoadingBar& bar) {
  QImage image(72, 72, QImage::Format_ARGB32);
  image.fill(Qt::white);
  bar.render(&image);
  return image;
}

}  // namespace

TEST(QtCircleLoadingBar, SpinnerTurnsRound) {
  QtCircleLoadingBar bar;
  EXPECT_EQ(bar.sizeHint(), QSize(72, 72));
  EXPECT_EQ(bar.minimumSizeHint(), QSize(72, 72));
  for (int i = 1; i <= 8; ++i) {
    bar.Advance(12345);
    EXPECT_EQ(bar.Position(), i % 8);
  }
  // The leading dot is darkest and the fade ends after five dots.
  bar.resize(72, 72);
  bar.Advance(0);
  const QImage image = Render(bar);
  EXPECT_EQ(DotColour(image, 0, 1), QColor(93, 93, 93));
  EXPECT_GT(DotColour(image, 4, 1).red(), DotColour(image, 1, 1).red());
  EXPECT_EQ(DotColour(image, 6, 1), QColor(220, 220, 220));
}

TEST(QtCircleLoadingBar, ProgressDarkensDotsUpToThePosition) {
  QtCircleLoadingBar bar;
  bar.resize(72, 72);
  bar.SetMaximum(100);
  bar.Advance(150);  // beyond the maximum: everything done
  EXPECT_EQ(bar.Position(), 8);
  QImage image = Render(bar);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(DotColour(image, i, 8), QColor(93, 93, 93)) << i;

  bar.Advance(50);
  EXPECT_EQ(bar.Position(), 4);
  image = Render(bar);
  EXPECT_EQ(DotColour(image, 4, 4), QColor(93, 93, 93));
  EXPECT_EQ(DotColour(image, 5, 4), QColor(220, 220, 220));

  bar.Reset();
  EXPECT_EQ(bar.Position(), 0);
  EXPECT_EQ(bar.Maximum(), 0);
}

TEST(QtCircleLoadingBar, ProgressPositionOverTheWholeRange) {
  struct Case {
    int maximum;
    int value;
    int position;
  };
  const Case cases[] = {
      {2000, 0, 0},
      {2000, 250, 1},
      {2000, 1999, 7},
      {2000, 2250, 8},
      {INT_MAX, INT_MAX / 2, 3},
      {INT_MAX, INT_MAX, 8},
  };
  for (const Case& c : cases) {
    QtCircleLoadingBar bar;
    bar.SetMaximum(c.maximum);
    bar.Advance(c.value);
    EXPECT_EQ(bar.Position(), c.position) << c.maximum << " " << c.value;
  }
}

TEST(QtMainMenuBar, LaterButtonsStandLeftAndSelectionCanBeTakenBack) {
  QtMainMenuBar bar;
  QAction* options = bar.AddAction("&Options", false);
  QAction* home = bar.AddAction("&Home", true);
  QPushButton* optionsButton = bar.ButtonOf(options);
  QPushButton* homeButton = bar.ButtonOf(home);
  ASSERT_NE(optionsButton, nullptr);
  ASSERT_NE(homeButton, nullptr);
  auto* row = qobject_cast<QHBoxLayout*>(bar.layout());
  ASSERT_NE(row, nullptr);
  EXPECT_EQ(row->indexOf(homeButton), 0);
  EXPECT_EQ(row->indexOf(optionsButton), 1);
  EXPECT_EQ(row->indexOf(bar.Logo()), 2);
  EXPECT_TRUE(bar.Logo()->openExternalLinks());
  EXPECT_TRUE(bar.Logo()->text().contains(":/vantorel24white.png"));
  EXPECT_EQ(homeButton->focusPolicy(), Qt::NoFocus);
  EXPECT_TRUE(homeButton->isChecked());
  EXPECT_EQ(bar.CurrentButton(), homeButton);

  QSignalSpy triggered(options, &QAction::triggered);
  QTest::mouseClick(optionsButton, Qt::LeftButton);
  EXPECT_EQ(triggered.count(), 1);
  EXPECT_TRUE(optionsButton->isChecked());
  EXPECT_FALSE(homeButton->isChecked());

  // The page switch failed: "&Home" is checked again, and a second revert
  // has nothing to go back to.
  bar.RevertSelection();
  EXPECT_TRUE(homeButton->isChecked());
  EXPECT_FALSE(optionsButton->isChecked());
  EXPECT_EQ(bar.CurrentButton(), homeButton);
  bar.RevertSelection();
  EXPECT_EQ(bar.CurrentButton(), homeButton);
}

TEST(QtVersionAtLeast, ComparesWholeVersionNumbers) {
  struct Case {
    const char* wanted;
    const char* running;
    bool atLeast;
  };
  const Case cases[] = {
      {"5.3.0", "5.15.8", true},  // read digit by digit this would be 5.1.5
      {"5.3.0", "5.3.0", true},   {"5.3.0", "5.2.9", false}, {"5.3.0", "6.0.0", true},
      {"4.5.0", "4.4.3", false},  {"4.5.0", "4.5.0", true},  {"4.5.0", "4.10.1", true},
      {"5.3.0", "10.0", true},
  };
  for (const Case& c : cases) EXPECT_EQ(QtVersionAtLeast(c.wanted, c.running), c.atLeast) << c.wanted << " " << c.running;
  EXPECT_TRUE(QtVersionAtLeast("5.3.0"));  // the library this test runs with
}
