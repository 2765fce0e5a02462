#include "ui/options/QtSummaryPage.h"

#include <QCoreApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPixmap>
#include <QVBoxLayout>

#include "settings/QtClientSettings.h"
#include "ui/options/QtGroupBoxWithIcon.h"
#include "ui/options/QtOptionsWindow.h"
#include "ui/options/QtScrollArea.h"

namespace {

const char kVersion[] = "2.5.0.2";
const int kBuild = 31;

QString Tr(const char* text) { return QCoreApplication::translate("QtOptionPage", text); }

}  // namespace

QtSummaryPage::QtSummaryPage(QWidget* parent) : QtOptionPage(parent, QString()) { SetupUi(); }

QtSummaryPage::~QtSummaryPage() { qDeleteAll(rows); }

void QtSummaryPage::SetupUi() {
  titleLabel = CreateHeading(Tr("summary"));
  description = CreateDescription(Tr("Below is a summary of your current configuration settings.  Click on \"Edit\" "
                                     "below or on the tabs at left to change your configuration settings."));

  profileBoxLayout = new QVBoxLayout();
  profileBoxLayout->setContentsMargins(0, 0, 0, 0);
  profileGrid = new QGridLayout();
  gridHolder = new QWidget();
  gridHolder->setLayout(profileGrid);
  scrollArea = new QtScrollArea(this);
  scrollArea->setContentsMargins(0, 0, 0, 0);
  scrollArea->setFocusPolicy(Qt::NoFocus);
  scrollArea->setFrameShape(QFrame::NoFrame);
  scrollArea->setWidgetResizable(true);
  scrollArea->setWidget(gridHolder);
  profileBox = new QtGroupBoxWithIcon(Tr("Profile summary"), ":/summary.png", this);
  profileBoxLayout->addWidget(scrollArea);
  profileBox->setLayout(profileBoxLayout);

  globalBoxLayout = new QVBoxLayout();
  globalGrid = new QGridLayout();
  QLabel* versionLabel = new QLabel("Version info:");
  versionLabel->setStyleSheet("font: bold");
  QLabel* versionValue = new QLabel(Tr("%1 build %2").arg(kVersion).arg(kBuild));
  globalGrid->addWidget(versionLabel, 0, 0, Qt::AlignTop);
  globalGrid->addWidget(versionValue, 0, 1, Qt::AlignTop);
  globalBox = new QtGroupBoxWithIcon(Tr("Global summary"), ":/summary.png", this);
  globalBoxLayout->addSpacing(10);
  globalBoxLayout->addLayout(globalGrid);
  globalBoxLayout->addSpacing(10);
  globalBox->setLayout(globalBoxLayout);

  pictureLabel = new QLabel(Tr(""), this);
  pictureLabel->setPixmap(QPixmap(":/client_kelvane.png"));
  pictureLabel->setStyleSheet("qproperty-alignment: AlignBottom");
  headingRow = new QHBoxLayout();
  headingRow->addWidget(pictureLabel);
  headingRow->addWidget(titleLabel, 1);

  pageLayout = new QVBoxLayout(this);
  pageLayout->addLayout(headingRow);
  pageLayout->addWidget(description);
  pageLayout->addStretch(1);
  pageLayout->addWidget(profileBox);
  pageLayout->addSpacing(10);
  pageLayout->addWidget(globalBox);
  pageLayout->addStretch(3);
}

void QtSummaryPage::AddPage(QtOptionsWindow* window, QtOptionPage* page, bool global) {
  QLabel* title = new QLabel(page->GetTitle());
  title->setStyleSheet("font: bold");
  QLabel* summary = new QLabel();
  summary->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::LinksAccessibleByMouse |
                                   Qt::LinksAccessibleByKeyboard);
  summary->setFocusPolicy(Qt::NoFocus);
  summary->setWordWrap(true);
  summary->setSizePolicy(QSizePolicy::MinimumExpanding, QSizePolicy::Preferred);
  // The link's target is of no interest: following it shows the page.
  connect(summary, SIGNAL(linkActivated(const QString&)), page, SIGNAL(ActivateSig()));
  if (window != nullptr) connect(page, SIGNAL(ActivateSig()), window, SLOT(ActivateOptionSlot()));

  QGridLayout* grid = global ? globalGrid : profileGrid;
  const int row = grid->rowCount();
  grid->addWidget(title, row, 0, Qt::AlignTop);
  grid->addWidget(summary, row, 1, Qt::AlignTop);
  rows.append(new SummaryRow{page, summary});
}

void QtSummaryPage::Load() {
  QtClientSettings* settings = QtClientSettings::GetInstance();
  for (SummaryRow* row : rows) {
    const QString text = row->page->Summary(settings).toHtmlEscaped();
    row->summaryLabel->setText(
        text + Tr(" | <a href=none style=\"text-decoration:none;color:#0D99B7;\">Edit</a>"));
  }
  // The rows live inside the scroll area, whose own size hint follows them
  // only when asked again.
  scrollArea->updateGeometry();
  TakeSnapshot();
}
