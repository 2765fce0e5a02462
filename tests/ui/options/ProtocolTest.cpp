// The item protocol, the apply procedure and the small shared widgets.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFrame>
#include <QKeyEvent>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include "OptionsTestEnv.h"
#include "settings/QtText.h"
#include "ui/options/CValidationError.h"
#include "ui/options/ElideMiddle.h"
#include "ui/options/QtFrameWithHeading.h"
#include "ui/options/QtGroupBoxWithIcon.h"
#include "ui/options/QtRadioButtonWithLink.h"
#include "ui/options/QtScrollArea.h"
#include "ui/options/ValidateAndApplyPage.h"
#include "ui/options/ValidateTextField.h"

namespace {

const QString kProduct = "Kelvane Vesk Client for Windows";

// An item whose steps do what the test tells them.
class ScriptedItem : public QtValidableItem {
 public:
  void Validate() override {
    ++validated;
    if (validateError != nullptr) throw CValidationError(validateError);
  }
  void Apply() override {
    ++applied;
    stored = values;
    if (applyError != nullptr) throw CValidationError(applyError);
  }
  QStringList GetValues() override { return values; }
  QStringList Snapshot() const { return snapshot; }

  QStringList values{"a"};
  QStringList stored;
  const char16_t* validateError = nullptr;
  const char16_t* applyError = nullptr;
  int validated = 0;
  int applied = 0;
};

QString ErrorOf(const std::function<void()>& step) {
  try {
    step();
  } catch (const CValidationError& error) {
    return error.Text();
  }
  return "<no error>";
}

}  // namespace

TEST(ValidationErrorTest, KeepsAtMost1023CharactersAndATerminator) {
  struct Case {
    int length;
    int kept;
  } cases[] = {{0, 0}, {1, 1}, {1023, 1023}, {1024, 1023}, {5000, 1023}};
  for (const Case& c : cases) {
    const QString text(c.length, QChar('x'));
    CValidationError error(text);
    EXPECT_EQ(c.kept, ToQString(error.Message()).size()) << c.length;
    EXPECT_EQ(c.kept == 0, error.IsEmpty());
    // Copies carry the whole text.
    CValidationError copy = error;
    EXPECT_EQ(error.Text(), copy.Text());
  }
  EXPECT_TRUE(CValidationError(static_cast<const WCHAR*>(nullptr)).IsEmpty());
  // A cut never leaves half of a surrogate pair behind.
  QString pairs = QString(1022, 'y') + QString::fromUtf16(u"\U0001F600");
  EXPECT_EQ(1022, CValidationError(pairs).Text().size());
}

TEST(ValidableItemTest, ChangeTestComparesTheJoinedTexts) {
  ScriptedItem item;
  item.values = QStringList{"a", "b"};
  item.TakeSnapshot();
  EXPECT_FALSE(item.IsChanged());
  item.values = QStringList{"a<:>b"};  // the separator inside one value looks like two
  EXPECT_FALSE(item.IsChanged());
  item.values = QStringList{"a", "c"};
  EXPECT_TRUE(item.IsChanged());
  ScriptedItem fresh;
  fresh.values = QStringList{};
  EXPECT_FALSE(fresh.IsChanged());  // an empty snapshot at construction
}

TEST(ValidateAndApplyPageTest, Outcomes) {
  struct Case {
    const char16_t* validateError;
    const char16_t* applyError;
    bool showMessage;
    bool result;
    int applied;
    int boxes;
  } cases[] = {
      {nullptr, nullptr, true, true, 1, 0},
      {u"bad value", nullptr, true, false, 0, 1},
      {u"bad value", nullptr, false, false, 0, 0},
      {u"", nullptr, true, true, 0, 0},  // an empty message is no error
      {nullptr, u"half written", true, false, 1, 1},
      {nullptr, u"", true, true, 1, 0},
  };
  for (const Case& c : cases) {
    ModalAnswerer answerer;
    ScriptedItem item;
    item.TakeSnapshot();
    item.values = QStringList{"b"};
    item.validateError = c.validateError;
    item.applyError = c.applyError;
    EXPECT_EQ(c.result, ValidateAndApplyPage(&item, c.showMessage));
    EXPECT_EQ(c.applied, item.applied);
    ASSERT_EQ(static_cast<size_t>(c.boxes), answerer.boxes.size());
    if (c.boxes == 1) {
      EXPECT_EQ(kProduct, answerer.boxes[0].title);
      EXPECT_EQ(QString::fromUtf16(c.validateError ? c.validateError : c.applyError), answerer.boxes[0].text);
      EXPECT_EQ(QMessageBox::Critical, answerer.boxes[0].icon);
      EXPECT_FALSE(answerer.boxes[0].hasParent);
    }
    // A new snapshot only after a clean pass; what apply wrote stays.
    EXPECT_EQ(c.result && c.applyError == nullptr && c.validateError == nullptr ? QStringList{"b"} : QStringList{"a"},
              item.Snapshot());
    if (c.applied == 1) {
      EXPECT_EQ(QStringList{"b"}, item.stored);
    }
  }
}

TEST(ValidateTextFieldTest, Table) {
  struct Case {
    QString text;
    QString message;
  } cases[] = {
      {"x", "<no error>"},
      {QString(259, 'a'), "<no error>"},
      {QString(260, 'a'), "Program path too long (260 characters). Maximum size is 259 characters"},
      {QString(1000, ' '), "Program path too long (1000 characters). Maximum size is 259 characters"},
      {"", "Program path cannot be empty."},
      {"   ", "Program path cannot contain only blank characters."},
      {" \t ", "Program path cannot contain only blank characters."},
      {" a ", "<no error>"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.message, ErrorOf([&] { ValidateTextField("Program path", c.text); })) << c.text.size();
}

TEST(GroupBoxWithIconTest, StyleLeavesRoomForTheIcon) {
  const QString style = QtGroupBoxWithIcon::StyleFor(QSize(24, 24));
  EXPECT_TRUE(style.contains("margin-top: 13px;")) << style.toStdString();
  EXPECT_TRUE(style.contains("left: 59px;")) << style.toStdString();
  QtGroupBoxWithIcon box("Video options", ":/summary.png");
  EXPECT_EQ(QtGroupBoxWithIcon::StyleFor(QSize(35, 35)), box.styleSheet());
  EXPECT_EQ("Video options", box.title());
}

TEST(FrameWithHeadingTest, MainWidgetBorderUsesItsName) {
  QtFrameWithHeading frame;
  QFrame named;
  named.setObjectName("ServersList");
  QFrame plain;
  frame.AddMainWidget(&named);
  frame.AddMainWidget(&plain);
  EXPECT_EQ("ServersList", named.objectName());
  EXPECT_TRUE(named.styleSheet().startsWith("QFrame#ServersList {border-width: 0px 1px 1px 1px;"));
  EXPECT_EQ("MainFrame", plain.objectName());
  EXPECT_TRUE(plain.styleSheet().startsWith("QFrame#MainFrame {"));
  EXPECT_NE(nullptr, frame.findChild<QFrame*>("FrameHeading"));
}

TEST(ScrollAreaTest, AsksForATenthMore) {
  QtScrollArea area;
  EXPECT_EQ(area.QScrollArea::sizeHint(), area.sizeHint());
  class Fixed : public QWidget {
    QSize sizeHint() const override { return QSize(300, 200); }
  };
  area.setWidget(new Fixed);
  EXPECT_EQ(QSize(330, 220), area.sizeHint());
}

TEST(ElideMiddleTest, TwentyCharacterLimit) {
  EXPECT_EQ("short", ElideMiddle("short"));
  EXPECT_EQ(QString(20, 'a'), ElideMiddle(QString(20, 'a')));
  EXPECT_EQ("ABCDEFGHIJ...PQRSTUVWXY", ElideMiddle("ABCDEFGHIJKLMNOPQRSTUVWXY"));  // 25 characters
}

TEST(RadioButtonWithLinkTest, SignalsAndShortcuts) {
  QWidget parent;
  parent.resize(300, 30);
  QtRadioButtonWithLink row("Office", "View", &parent);
  row.AddLink("Delete", Qt::Key_Delete);
  row.AddLink("Restore", Qt::Key_Delete);  // two links on one key both fire
  QSignalSpy links(&row, SIGNAL(LinkClicked(QString, QString)));
  QSignalSpy checked(&row, SIGNAL(Checked(QString)));

  row.Links()[0]->click();  // a link works while the button is not checked
  ASSERT_EQ(1, links.count());
  EXPECT_EQ((QList<QVariant>{"Office", "View"}), links.takeFirst());

  row.setChecked(true);
  row.setChecked(true);
  EXPECT_EQ(1, checked.count());
  EXPECT_EQ("Office", checked.takeFirst()[0].toString());
  row.setChecked(false);
  EXPECT_EQ(0, checked.count());

  QTest::keyClick(&row, Qt::Key_Delete);
  ASSERT_EQ(2, links.count());
  EXPECT_EQ("Delete", links[0][1].toString());
  EXPECT_EQ("Restore", links[1][1].toString());
  links.clear();
  QTest::keyClick(&row, Qt::Key_Return);
  QTest::keyClick(&row, Qt::Key_Enter);
  EXPECT_EQ(0, links.count());
  // A key that has no name (a composed character, say) follows no link.
  QKeyEvent unnamed(QEvent::KeyPress, 0, Qt::NoModifier, QString::fromUtf8("\xc3\xa9"));
  QApplication::sendEvent(&row, &unnamed);
  EXPECT_EQ(0, links.count());
  // Other keys still reach the radio button.
  QTest::keyClick(&row, Qt::Key_Space);
  EXPECT_TRUE(row.isChecked());
  EXPECT_EQ("QtRadioButtonWithLink", row.objectName());
  for (QPushButton* link : row.Links()) EXPECT_EQ("LinkButton", link->objectName());
}

TEST(RadioButtonWithLinkTest, LongTextNeverRunsUnderTheLinks) {
  QWidget parent;
  parent.resize(260, 30);
  QtRadioButtonWithLink row(QString("Profile ") + QString(80, 'n') + " end", "View", &parent);
  row.AddLink("Delete", Qt::Key_Delete);
  row.resize(parent.width(), 30);
  parent.show();
  row.grab();  // painting places the links
  // The links stand at the right end, the second left of the first.
  const QList<QPushButton*> links = row.Links();
  EXPECT_EQ(parent.width(), links[0]->geometry().left() + links[0]->maximumWidth());
  EXPECT_LT(links[1]->geometry().right(), links[0]->geometry().left());
}
