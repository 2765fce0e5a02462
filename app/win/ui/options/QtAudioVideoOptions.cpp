#include "ui/options/QtAudioVideoOptions.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QLabel>
#include <QRadioButton>
#include <QVBoxLayout>

#include "settings/QtClientSettings.h"
#include "settings/SystemApiLink.h"
#include "ui/options/CValidationError.h"
#include "ui/options/OptionsHost.h"
#include "ui/options/QtGroupBoxWithIcon.h"

namespace {

const char16_t kGuiMultiMonitor[] = u"GuiMultiMonitor";
const char16_t kDualOnLeftSide[] = u"DualOnLeftSide";
const char16_t kDualBottomAligned[] = u"DualBottomAligned";

// Sessions never run larger than this, whatever the local screen.
const uint16_t kMaxWidth = 1920;
const uint16_t kMaxHeight = 1200;

uint16_t Width(uint32_t mode) { return static_cast<uint16_t>(mode & 0xFFFF); }
uint16_t Height(uint32_t mode) { return static_cast<uint16_t>(mode >> 16); }

const char* Flag(bool on) { return on ? "1" : "0"; }

QtClientSettings* Settings() { return QtClientSettings::GetInstance(); }

int32_t StoredInt(const char16_t* key) {
  QtClientSettings* settings = Settings();
  return settings != nullptr ? settings->GetInt(key, 0) : 0;
}

}  // namespace

QtAudioVideoOptions::QtAudioVideoOptions(bool reducedLayout, QWidget* parent)
    : QtOptionPage(parent, tr("Audio / Video settings:")), reduced(reducedLayout) {
  SetupUi();
  connect(autoRadio, SIGNAL(toggled(bool)), this, SLOT(OnAutoVideoToggledSlot(bool)));
  connect(dualBox, SIGNAL(toggled(bool)), this, SLOT(OnDualMonitorToggledSlot(bool)));
}

QtAudioVideoOptions::~QtAudioVideoOptions() {
  if (!reduced) return;
  // The widgets the reduced layout never placed have no parent.
  delete secondaryLabel;
  delete secondaryCombo;
  delete fullScreenLabel;
  delete fullScreenBox;
  delete leftLabel;
  delete leftBox;
  delete bottomLabel;
  delete bottomBox;
  delete colorLabel;
  delete colorCombo;
}

void QtAudioVideoOptions::SetupUi() {
  // In the reduced layout these are filled and read but never shown.
  QWidget* hiddenParent = reduced ? nullptr : this;

  heading = CreateHeading(tr("Audio / Video options"));
  autoRadio = new QRadioButton(tr("Dynamically detect video settings and launch on full-screen"), this);
  manualRadio = new QRadioButton(
      reduced ? tr("Manually select resolution and run session in window") : tr("Manually configure video settings"),
      this);
  radioGroup = new QButtonGroup(this);
  radioGroup->addButton(autoRadio);
  radioGroup->addButton(manualRadio);
  primaryLabel = new QLabel(tr("Screen resolution primary:"), this);
  primaryCombo = new QComboBox(this);
  primaryCombo->setMinimumWidth(120);
  secondaryLabel = new QLabel(tr("Screen resolution secondary:"), hiddenParent);
  secondaryCombo = new QComboBox(hiddenParent);
  secondaryCombo->setMinimumWidth(120);
  fullScreenLabel = new QLabel(tr("     Full Screen Mode:"), hiddenParent);
  fullScreenBox = new QCheckBox(hiddenParent);
  leftLabel = new QLabel(tr("     Secondary Monitor At Left:"), hiddenParent);
  leftBox = new QCheckBox(hiddenParent);
  bottomLabel = new QLabel(tr("     Secondary Monitor Bottom Aligned:"), hiddenParent);
  bottomBox = new QCheckBox(hiddenParent);
  dualBox = new QCheckBox(tr("Dual Monitor Mode"), this);
  colorLabel = new QLabel(tr("     Color depth:"), hiddenParent);
  colorCombo = new QComboBox(hiddenParent);
  audioBox = new QCheckBox(tr("Enable audio for virtual desktop sessions"), this);

  QFormLayout* form = new QFormLayout();
  form->setFieldGrowthPolicy(QFormLayout::FieldsStayAtSizeHint);
  form->addRow(primaryLabel, primaryCombo);
  if (!reduced) {
    form->addRow(secondaryLabel, secondaryCombo);
    form->addRow(fullScreenLabel, fullScreenBox);
    form->addRow(leftLabel, leftBox);
    form->addRow(bottomLabel, bottomBox);
    form->addRow(colorLabel, colorCombo);
  }

  QtGroupBoxWithIcon* videoGroup = new QtGroupBoxWithIcon(tr("Video options"), ":/video.png", this);
  QVBoxLayout* videoColumn = new QVBoxLayout(videoGroup);
  videoColumn->addWidget(dualBox, 2);
  if (reduced && GetOptionsHost().GetScreenCount() != 2) {
    dualBox->setChecked(false);
    dualBox->setEnabled(false);
  }
  videoColumn->addSpacing(10);
  videoColumn->addWidget(autoRadio);
  videoColumn->addWidget(manualRadio);
  videoColumn->addLayout(form);

  QtGroupBoxWithIcon* audioGroup = new QtGroupBoxWithIcon(tr("Audio options"), ":/audio.png", this);
  QVBoxLayout* audioColumn = new QVBoxLayout(audioGroup);
  audioColumn->addSpacing(10);
  audioColumn->addWidget(audioBox, 0, Qt::AlignLeft);
  audioColumn->addSpacing(10);

  QVBoxLayout* pageColumn = new QVBoxLayout(this);
  pageColumn->addWidget(heading);
  pageColumn->addStretch(1);
  pageColumn->addWidget(videoGroup);
  pageColumn->addSpacing(10);
  pageColumn->addWidget(audioGroup);
  pageColumn->addStretch(3);
}

void QtAudioVideoOptions::FillResolutions(QComboBox* combo, int display) {
  OptionsHost& host = GetOptionsHost();
  combo->clear();
  combo->setEnabled(true);
  const std::vector<uint32_t> modes = host.GetDisplayModes(display);
  QtClientSettings* settings = Settings();
  const uint32_t stored = (settings != nullptr && display < 2) ? settings->screenSizes[display] : 0;

  const QList<QRect> screens = host.GetScreenRects();
  QSize screen = display < screens.size() ? screens[display].size() : QSize(0, 0);
  const uint16_t screenWidth = std::min<uint16_t>(static_cast<uint16_t>(screen.width()), kMaxWidth);
  const uint16_t screenHeight = std::min<uint16_t>(static_cast<uint16_t>(screen.height()), kMaxHeight);

  fullScreenIndex = -1;
  int selected = -1;
  const bool reducedNow = host.IsNewGuiLayout();
  for (size_t i = 0; i < modes.size(); ++i) {
    const uint16_t width = Width(modes[i]);
    const uint16_t height = Height(modes[i]);
    const bool screenMode = width == screenWidth && height == screenHeight;
    if (screenMode) fullScreenIndex = static_cast<int>(i);
    combo->addItem(screenMode && reducedNow ? tr("Full Screen") : tr("%1 x %2").arg(width).arg(height));
    if (width == Width(stored) && height == Height(stored)) selected = static_cast<int>(i);
  }
  if (selected == -1) selected = fullScreenIndex != -1 ? fullScreenIndex : 0;
  combo->setCurrentIndex(selected);
}

void QtAudioVideoOptions::FillColorDepths() {
  colorCombo->clear();
  QtClientSettings* settings = Settings();
  const int stored = settings != nullptr ? (settings->colorDepth & 0xFF) : 0;
  int selected = 0;
  const std::vector<uint8_t> depths = GetOptionsHost().GetColorDepths();
  for (size_t i = 0; i < depths.size(); ++i) {
    colorCombo->addItem(QString("%1 bits").arg(depths[i]));
    if (depths[i] == stored) selected = static_cast<int>(i);
  }
  colorCombo->setCurrentIndex(selected);
}

void QtAudioVideoOptions::EnableSecondaryDisplay(bool on) {
  if (on) {
    FillResolutions(secondaryCombo, 1);
    leftBox->setEnabled(true);
    bottomBox->setEnabled(true);
    leftBox->setChecked(StoredInt(kDualOnLeftSide) != 0);
    bottomBox->setChecked(StoredInt(kDualBottomAligned) != 0);
  } else {
    secondaryCombo->clear();
    secondaryCombo->setEnabled(false);
    leftBox->setEnabled(false);
    bottomBox->setEnabled(false);
  }
}

void QtAudioVideoOptions::SetDualMonitor(bool on) {
  if (GetOptionsHost().GetScreenCount() == 2) {
    dualBox->setChecked(on);
    if (dualBox->isChecked() && !SettingsSystemApi().IsForceDualMonitor()) autoRadio->setChecked(true);
  } else {
    dualBox->setChecked(false);
    dualBox->setEnabled(false);
  }
}

void QtAudioVideoOptions::OnAutoVideoToggledSlot(bool checked) {
  if (checked) {
    primaryCombo->clear();
    primaryCombo->setEnabled(false);
    secondaryCombo->clear();
    secondaryCombo->setEnabled(false);
    leftBox->setEnabled(false);
    bottomBox->setEnabled(false);
    fullScreenBox->setEnabled(false);
    colorCombo->clear();
    colorCombo->setEnabled(false);
  } else {
    FillResolutions(primaryCombo, 0);
    if (dualBox->isChecked()) EnableSecondaryDisplay(true);
    manualRadio->setChecked(true);
    fullScreenBox->setEnabled(true);
    FillColorDepths();
    colorCombo->setEnabled(true);
  }
}

void QtAudioVideoOptions::OnDualMonitorToggledSlot(bool checked) {
  if (GetOptionsHost().IsNewGuiLayout()) {
    autoRadio->setEnabled(!checked);
    manualRadio->setEnabled(!checked);
    primaryLabel->setEnabled(!checked);
    primaryCombo->setEnabled(!checked);
    if (checked) autoRadio->setChecked(true);
  } else if (!autoRadio->isChecked()) {
    EnableSecondaryDisplay(checked);
  }
}

void QtAudioVideoOptions::Load() {
  QtClientSettings* settings = Settings();
  if (settings != nullptr) {
    const bool multi = settings->GetInt(kGuiMultiMonitor, 0) != 0;
    const bool reducedNow = GetOptionsHost().IsNewGuiLayout();
    if (!reducedNow) {
      // Applied in this layout whatever the mode: left as they were, the
      // boxes would overwrite the stored arrangement.
      leftBox->setChecked(StoredInt(kDualOnLeftSide) != 0);
      bottomBox->setChecked(StoredInt(kDualBottomAligned) != 0);
    }
    if (settings->autoDetectAudioVideo != 0) {
      autoRadio->setChecked(true);
      if (reducedNow) {
        SetDualMonitor(multi);
      } else {
        // The box is shown in this layout too; left alone, the next apply
        // would overwrite the stored dual-monitor choice.
        dualBox->setChecked(multi);
      }
    } else {
      manualRadio->setChecked(true);
      FillResolutions(primaryCombo, 0);
      if (reducedNow) {
        SetDualMonitor(multi);
      } else {
        dualBox->setChecked(multi);
        EnableSecondaryDisplay(dualBox->isChecked());
      }
      fullScreenBox->setChecked(settings->fullScreen != 0);
      FillColorDepths();
    }
    audioBox->setChecked(settings->useSound != 0);
  }
  TakeSnapshot();
}

void QtAudioVideoOptions::CheckResolution(int display) {
  const int index = ResolutionCombo(display)->currentIndex();
  const size_t count = GetOptionsHost().GetDisplayModes(display).size();
  if (index < 0 || static_cast<size_t>(index) >= count)
    throw CValidationError(tr("Chosen screen resolution is currently not supported."));
}

void QtAudioVideoOptions::Validate() {
  if (GetOptionsHost().IsNewGuiLayout() || !manualRadio->isChecked()) return;
  CheckResolution(0);
  if (dualBox->isChecked()) CheckResolution(1);
  const int index = colorCombo->currentIndex();
  if (index < 0 || static_cast<size_t>(index) >= GetOptionsHost().GetColorDepths().size())
    throw CValidationError(tr("Chosen color depth is currently not supported."));
}

void QtAudioVideoOptions::StoreResolution(int display) {
  QComboBox* combo = ResolutionCombo(display);
  QtClientSettings* settings = Settings();
  if (!combo->isEnabled()) {
    settings->screenSizes[display] = 0;
    return;
  }
  const int index = combo->currentIndex();
  const std::vector<uint32_t> modes = GetOptionsHost().GetDisplayModes(display);
  if (index >= 0 && static_cast<size_t>(index) < modes.size()) settings->screenSizes[display] = modes[index];
}

void QtAudioVideoOptions::Apply() {
  QtClientSettings* settings = Settings();
  if (settings == nullptr) return;
  OptionsHost& host = GetOptionsHost();
  const bool reducedNow = host.IsNewGuiLayout();
  settings->autoDetectAudioVideo = manualRadio->isChecked() ? 0 : 1;
  if (manualRadio->isChecked() && manualRadio->isEnabled()) {
    StoreResolution(0);
    StoreResolution(1);
    settings->fullScreen =
        (reducedNow ? primaryCombo->currentIndex() == fullScreenIndex : fullScreenBox->isChecked()) ? 1 : 0;
    // The reduced layout never validates: an empty depth list leaves the
    // stored depth as it is.
    const std::vector<uint8_t> depths = host.GetColorDepths();
    const int index = colorCombo->currentIndex();
    if (index >= 0 && static_cast<size_t>(index) < depths.size()) settings->colorDepth = depths[index];
  } else {
    ISettingsSystemApi& api = SettingsSystemApi();
    settings->screenSizes[0] = api.FindBestMode(0);
    settings->screenSizes[1] = api.FindBestMode(1);
    settings->fullScreen = 1;
    settings->colorDepth = api.GetDefaultColorDepth();
  }
  if (reducedNow) {
    settings->SetInt(kGuiMultiMonitor, dualBox->isChecked() ? 1 : 0);
    const QList<QRect> screens = host.GetScreenRects();
    if (host.GetScreenCount() == 2 && screens.size() >= 2) {
      settings->SetInt(kDualOnLeftSide, screens[0].left() > screens[1].left() ? 1 : 0);
      settings->SetInt(kDualBottomAligned, screens[1].top() > 0 ? 1 : 0);
    }
  } else {
    settings->SetInt(kGuiMultiMonitor, dualBox->isChecked() ? 1 : 0);
    settings->SetInt(kDualOnLeftSide, leftBox->isChecked() ? 1 : 0);
    settings->SetInt(kDualBottomAligned, bottomBox->isChecked() ? 1 : 0);
  }
  settings->useSound = audioBox->isChecked() ? 1 : 0;
}

QStringList QtAudioVideoOptions::GetValues() {
  QStringList values{Flag(autoRadio->isChecked())};
  if (!autoRadio->isChecked())
    values << primaryCombo->currentText() << Flag(fullScreenBox->isChecked()) << colorCombo->currentText()
           << Flag(dualBox->isChecked()) << secondaryCombo->currentText() << Flag(leftBox->isChecked())
           << Flag(bottomBox->isChecked());
  values << Flag(audioBox->isChecked());
  return values;
}

QString QtAudioVideoOptions::Summary(CAbstractClientSettings* settings) {
  if (settings == nullptr) return QString();
  QStringList parts;
  if (settings->autoDetectAudioVideo != 0) {
    parts << tr("Video automatically detected");
  } else {
    const bool multi = settings->GetInt(kGuiMultiMonitor, 0) != 0;
    for (int display = 0; display < (multi ? 2 : 1); ++display) {
      const uint32_t size = settings->screenSizes[display];
      parts << (multi ? tr("Display [%3] set to %1x%2").arg(Width(size)).arg(Height(size)).arg(display)
                      : tr("Display set to %1x%2").arg(Width(size)).arg(Height(size)));
    }
    if (settings->fullScreen != 0) parts << tr("Fullscreen");
    parts << tr("%1 bits color").arg(settings->colorDepth & 0xFF);
  }
  parts << (settings->useSound != 0 ? tr("Sound enabled") : tr("Sound disabled"));
  return parts.join(" | ");
}
