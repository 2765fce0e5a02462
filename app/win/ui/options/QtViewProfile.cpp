#include "ui/options/QtViewProfile.h"

#include <QBitmap>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QVBoxLayout>
#include <memory>

#include "settings/ProfileNames.h"
#include "settings/QtClientSettings.h"
#include "settings/QtText.h"
#include "settings/SystemApiLink.h"
#include "ui/options/ElideMiddle.h"
#include "ui/options/OptionsResources.h"
#include "ui/options/QtGroupBoxWithIcon.h"
#include "ui/options/QtOptionPage.h"
#include "ui/options/QtOptionsWindow.h"
#include "ui/options/QtScrollArea.h"

QtViewProfile::QtViewProfile(const QString& name, QWidget* parent)
    : QDialog(parent, Qt::FramelessWindowHint), profileName(name) {
  InitOptionsResources();
  SetupUi();
}

void QtViewProfile::SetupUi() {
  heading = new QLabel(ElideMiddle(profileName) + " " + tr("configuration"));
  heading->setStyleSheet("font: 24px");
  quitButton = new QPushButton();
  QIcon quitIcon(":/quit.png");
  quitButton->setIcon(quitIcon);
  quitButton->setStyleSheet("background-color: rgba(200, 225, 190, 255)");
  quitButton->setMaximumSize(quitIcon.actualSize(QSize(32, 32)) + QSize(5, 5));
  connect(quitButton, SIGNAL(clicked()), this, SLOT(reject()));
  QHBoxLayout* headingRow = new QHBoxLayout();
  headingRow->addWidget(heading);
  headingRow->addWidget(quitButton, 0, Qt::AlignRight);

  grid = new QGridLayout();
  QWidget* gridHolder = new QWidget();
  gridHolder->setLayout(grid);
  QtScrollArea* scrollArea = new QtScrollArea();
  scrollArea->setContentsMargins(0, 0, 0, 0);
  scrollArea->setFocusPolicy(Qt::NoFocus);
  scrollArea->setFrameShape(QFrame::NoFrame);
  scrollArea->setWidgetResizable(true);
  scrollArea->setWidget(gridHolder);
  QVBoxLayout* boxColumn = new QVBoxLayout();
  boxColumn->setContentsMargins(0, 0, 0, 0);
  boxColumn->addWidget(scrollArea);
  QtGroupBoxWithIcon* box = new QtGroupBoxWithIcon(tr("Profile summary"), ":/summary.png");
  box->setLayout(boxColumn);

  closeButton = new QPushButton(tr("Close"));
  connect(closeButton, SIGNAL(clicked()), this, SLOT(reject()));
  QHBoxLayout* buttonRow = new QHBoxLayout();
  buttonRow->addStretch();
  buttonRow->addWidget(closeButton, 0, Qt::AlignRight);

  QVBoxLayout* column = new QVBoxLayout();
  column->addLayout(headingRow);
  column->addStretch(1);
  column->addWidget(box);
  column->addStretch(3);
  column->addLayout(buttonRow);

  frame = new QFrame(this);
  frame->setLayout(column);
  frame->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
  frame->setFixedSize(minimumSize());
  frame->setFrameShape(QFrame::Box);
  frame->setObjectName("QtViewProfileFrame");
  frame->setStyleSheet(
      QString("QFrame#%1 {border-width: 2px;border-style: solid;border-color: #6DB055;border-radius: 5px}")
          .arg(frame->objectName()));
}

void QtViewProfile::FillSummary(QtOptionsWindow* window) {
  QtClientSettings* current = QtClientSettings::GetInstance();
  // Loading into the temporary object makes the viewed profile the one the
  // next pass starts from, and sets the clipboard switch from it: both are
  // put back afterwards, as a view must change nothing.
  const std::u16string previousProfile(CurrentProfileName);
  auto viewed = std::make_unique<QtClientSettings>(
      current != nullptr ? current->organisation : QString("Vantorel"),
      current != nullptr ? current->application : QString("Kelvane Vesk Client for Windows"), true);
  viewed->LoadProfile(ToU16String(profileName).c_str());
  CAbstractClientSettings* source = viewed.get();
  if (current != nullptr && profileName == ToQString(current->profileName)) source = current;

  if (window != nullptr) {
    for (const auto& entry : window->GetSummaryPages()) {
      QtOptionPage* page = entry.second;
      QLabel* title = new QLabel(page->GetTitle());
      title->setStyleSheet("font: bold");
      QLabel* summary = new QLabel();
      summary->setTextFormat(Qt::RichText);
      summary->setText(page->Summary(source).toHtmlEscaped());
      summary->setWordWrap(true);
      summary->setSizePolicy(QSizePolicy::MinimumExpanding, QSizePolicy::Preferred);
      const int row = grid->rowCount();
      grid->addWidget(title, row, 0, Qt::AlignTop);
      grid->addWidget(summary, row, 1, Qt::AlignTop);
    }
  }
  viewed.reset();
  SetFieldText(CurrentProfileName, kFieldChars, previousProfile);
  if (current != nullptr) SettingsSystemApi().EnableClipboard(current->clipboardShare != 0);
}

void QtViewProfile::ApplyRoundedMask() {
  const QSize size = minimumSize();
  frame->setFixedSize(size);
  QPixmap shape(size);
  shape.fill(Qt::black);
  {
    QPainter painter(&shape);
    painter.setPen(Qt::white);
    painter.setBrush(Qt::white);
    painter.drawRoundedRect(0, 0, size.width() - 1, size.height() - 1, 5, 5, Qt::AbsoluteSize);
  }
  setMask(shape.createMaskFromColor(Qt::white, Qt::MaskOutColor));
}
