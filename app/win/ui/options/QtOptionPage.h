// Base of every option page: a widget that shows one part of the settings,
// checks and writes it back, and sums up any settings object in one line.
#pragma once

#include <QString>
#include <QWidget>

class QLabel;
class QVBoxLayout;

#include "ui/options/QtValidableItem.h"

class CAbstractClientSettings;

class QtOptionPage : public QWidget, public QtValidableItem {
  Q_OBJECT

 public:
  QtOptionPage(QWidget* parent, const QString& title);

  // Shows the current settings and takes the snapshot.
  virtual void Load();
  // One line about the given settings for the summary page and the
  // profile view; empty when the page has nothing to say.
  virtual QString Summary(CAbstractClientSettings* settings);

  QString GetTitle() const { return title; }

 signals:
  // Asks the options window to show this page.
  void ActivateSig();

 protected:
  // The look every page shares: a large heading, a word-wrapped
  // description, and the content framed between stretches.
  QLabel* CreateHeading(const QString& text);
  QLabel* CreateDescription(const QString& text);
  void LayOutPage(QLabel* heading, QLabel* description, QWidget* content);
  // A field under its label, after a gap.
  static void AddField(QVBoxLayout* column, QLabel* label, QWidget* field);

 private:
  QString title;
};
