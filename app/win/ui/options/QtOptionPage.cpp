#include "ui/options/QtOptionPage.h"

#include <QLabel>
#include <QVBoxLayout>

#include "ui/options/OptionsResources.h"
QtOptionPage::QtOptionPage(QWidget* parent, const QString& pageTitle) : QWidget(parent), title(pageTitle) {
  InitOptionsResources();
}

void QtOptionPage::Load() { TakeSnapshot(); }

QString QtOptionPage::Summary(CAbstractClientSettings*) { return QString(); }

QLabel* QtOptionPage::CreateHeading(const QString& text) {
  QLabel* heading = new QLabel(text, this);
  heading->setStyleSheet("font: 24px");
  return heading;
}

QLabel* QtOptionPage::CreateDescription(const QString& text) {
  QLabel* description = new QLabel(text, this);
  description->setWordWrap(true);
  return description;
}

void QtOptionPage::LayOutPage(QLabel* heading, QLabel* description, QWidget* content) {
  QVBoxLayout* column = new QVBoxLayout(this);
  column->addWidget(heading);
  column->addWidget(description);
  column->addStretch(1);
  column->addWidget(content);
  column->addStretch(3);
}

void QtOptionPage::AddField(QVBoxLayout* column, QLabel* label, QWidget* field) {
  column->addSpacing(10);
  column->addWidget(label);
  column->addWidget(field, 0, Qt::AlignLeft);
}
