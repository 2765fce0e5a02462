// Video: automatic detection (full screen at the best mode) or a manual
// choice of resolution per display, full screen, dual-monitor arrangement
// and colour depth; and sound on or off. The reduced layout shows only the
// primary resolution, with full screen as one of its entries.
#pragma once

#include "ui/options/QtOptionPage.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLabel;
class QRadioButton;

class QtAudioVideoOptions : public QtOptionPage {
  Q_OBJECT

 public:
  QtAudioVideoOptions(bool reducedLayout, QWidget* parent = nullptr);
  ~QtAudioVideoOptions() override;

  void Load() override;
  QString Summary(CAbstractClientSettings* settings) override;
  void Validate() override;
  void Apply() override;
  QStringList GetValues() override;

  QRadioButton* AutoRadio() const { return autoRadio; }
  QRadioButton* ManualRadio() const { return manualRadio; }
  QComboBox* PrimaryCombo() const { return primaryCombo; }
  QComboBox* SecondaryCombo() const { return secondaryCombo; }
  QComboBox* ColorCombo() const { return colorCombo; }
  QCheckBox* FullScreenBox() const { return fullScreenBox; }
  QCheckBox* LeftBox() const { return leftBox; }
  QCheckBox* BottomBox() const { return bottomBox; }
  QCheckBox* DualBox() const { return dualBox; }
  QCheckBox* AudioBox() const { return audioBox; }
  int FullScreenIndex() const { return fullScreenIndex; }

 private slots:
  void OnAutoVideoToggledSlot(bool checked);
  void OnDualMonitorToggledSlot(bool checked);

 private:
  void SetupUi();
  void FillResolutions(QComboBox* combo, int display);
  void FillColorDepths();
  void EnableSecondaryDisplay(bool on);
  void SetDualMonitor(bool on);
  void CheckResolution(int display);
  void StoreResolution(int display);
  QComboBox* ResolutionCombo(int display) const { return display == 0 ? primaryCombo : secondaryCombo; }

  bool reduced;
  int fullScreenIndex = -1;

  QLabel* heading = nullptr;
  QRadioButton* autoRadio = nullptr;
  QRadioButton* manualRadio = nullptr;
  QButtonGroup* radioGroup = nullptr;
  QLabel* primaryLabel = nullptr;
  QComboBox* primaryCombo = nullptr;
  QLabel* secondaryLabel = nullptr;
  QComboBox* secondaryCombo = nullptr;
  QLabel* fullScreenLabel = nullptr;
  QCheckBox* fullScreenBox = nullptr;
  QLabel* leftLabel = nullptr;
  QCheckBox* leftBox = nullptr;
  QLabel* bottomLabel = nullptr;
  QCheckBox* bottomBox = nullptr;
  QCheckBox* dualBox = nullptr;
  QLabel* colorLabel = nullptr;
  QComboBox* colorCombo = nullptr;
  QCheckBox* audioBox = nullptr;
};
