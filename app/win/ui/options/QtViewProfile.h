// The read-only summary of one named profile: each summing page's title
// and its line about that profile. The stored profile is never changed.
#pragma once

#include <QDialog>
#include <QString>

class QFrame;
class QGridLayout;
class QLabel;
class QPushButton;
class QtOptionsWindow;

class QtViewProfile : public QDialog {
  Q_OBJECT

 public:
  // name is the profile's full name; the heading shows it shortened.
  QtViewProfile(const QString& name, QWidget* parent = nullptr);

  void FillSummary(QtOptionsWindow* window);
  void ApplyRoundedMask();

  QString ProfileName() const { return profileName; }
  QGridLayout* Grid() const { return grid; }
  QLabel* Heading() const { return heading; }

 private:
  void SetupUi();

  QString profileName;
  QLabel* heading = nullptr;
  QPushButton* quitButton = nullptr;
  QGridLayout* grid = nullptr;
  QPushButton* closeButton = nullptr;
  QFrame* frame = nullptr;
};
