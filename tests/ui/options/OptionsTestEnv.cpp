#include "OptionsTestEnv.h"

#include <QApplication>
#include <QPushButton>
#include <cstring>

#include "settings/ProfileNames.h"
#include "settings/QtText.h"
#include "ui/options/CValidationError.h"
#include "ui/options/QtAuthorizationDialog.h"
#include "ui/options/QtLineEdit.h"

std::u16string U(const QString& text) { return ToU16String(text); }
QString Q(const WCHAR* text) { return ToQString(text); }

FakeConnectionWidget::FakeConnectionWidget(QWidget* parent) : QWidget(parent), address(new QLineEdit(this)) {
  // About the room the real widget (server list and address box) takes.
  setMinimumSize(400, 260);
  connect(address, SIGNAL(textChanged(const QString&)), this, SIGNAL(AddressEditedSig(const QString&)));
}

void FakeConnectionWidget::Load() {
  address->setText(Q(QtClientSettings::GetInstance()->serverHistory[0]));
  if (address->text().isEmpty()) emit AddressEditedSig(QString());
  TakeSnapshot();
}

void FakeConnectionWidget::Validate() {
  if (address->text().trimmed().size() > 259) throw CValidationError(QString("address too long"));
}

void FakeConnectionWidget::Apply() {
  QtClientSettings::GetInstance()->AddServerToHistory(U(address->text().trimmed()).c_str());
}

FakeOptionsHost::FakeOptionsHost() { previous_ = SetOptionsHost(this); }

FakeOptionsHost::~FakeOptionsHost() { SetOptionsHost(previous_); }

std::vector<uint32_t> FakeOptionsHost::GetDisplayModes(int display) {
  if (display < 0 || static_cast<size_t>(display) >= modes.size()) return modes.empty() ? std::vector<uint32_t>() : modes[0];
  return modes[display];
}

QWidget* FakeOptionsHost::CreateServerConnectionWidget(QWidget* parent) { return new FakeConnectionWidget(parent); }

void FakeOptionsHost::LoadServerConnectionWidget(QWidget* widget) { static_cast<FakeConnectionWidget*>(widget)->Load(); }

ModalAnswerer::ModalAnswerer() {
  connect(&timer_, SIGNAL(timeout()), this, SLOT(Poll()));
  timer_.start(5);
}

void ModalAnswerer::Poll() {
  QWidget* modal = QApplication::activeModalWidget();
  if (modal == nullptr || !modal->isVisible()) return;
  if (auto* box = qobject_cast<QMessageBox*>(modal)) {
    boxes.push_back({box->windowTitle(), box->text(), box->icon(), box->parentWidget() != nullptr});
    QMessageBox::StandardButton answer = QMessageBox::Ok;
    if (!answers_.empty()) {
      answer = answers_.front();
      answers_.pop_front();
    }
    QAbstractButton* button = box->button(answer);
    if (button == nullptr && !box->buttons().isEmpty()) button = box->buttons().first();
    if (button != nullptr) button->click();
    return;
  }
  if (auto* dialog = qobject_cast<QtAuthorizationDialog*>(modal)) {
    ++passwordDialogs;
    std::pair<QString, bool> answer{QString(), false};
    if (!passwords_.empty()) {
      answer = passwords_.front();
      passwords_.pop_front();
    }
    dialog->PasswordEdit()->setText(answer.first);
    (answer.second ? dialog->OkButton() : dialog->CancelButton())->click();
    return;
  }
  for (auto it = dialogs_.begin(); it != dialogs_.end(); ++it) {
    if (modal->inherits(it->first.toLatin1().constData())) {
      auto handler = std::move(it->second);
      dialogs_.erase(it);
      handler(modal);
      return;
    }
  }
}

PassSettings::PassSettings() {
  std::memset(CurrentProfileName, 0, sizeof CurrentProfileName);
  security = std::make_unique<QtGlobalSettings>("Vantorel", "Kelvane Vesk Client for Windows");
  settings = std::make_unique<QtClientSettings>("Vantorel", "Kelvane Vesk Client for Windows", false);
}

PassSettings::~PassSettings() {
  settings.reset();
  security.reset();
  std::memset(CurrentProfileName, 0, sizeof CurrentProfileName);
}

void PassSettings::NewPass() {
  settings.reset();
  security.reset();
  security = std::make_unique<QtGlobalSettings>("Vantorel", "Kelvane Vesk Client for Windows");
  settings = std::make_unique<QtClientSettings>("Vantorel", "Kelvane Vesk Client for Windows", false);
}
