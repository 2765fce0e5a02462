// Shared pieces of the option-page tests: a scripted host (screens, modes,
// depths, discovery), a scripted answerer for modal boxes and dialogs, a
// stand-in for the discovery front end's server connection widget, and the
// settings objects of one pass in a private folder tree.
#pragma once

#include <QLineEdit>
#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QRect>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <deque>
#include <functional>
#include <memory>
#include <ostream>
#include <vector>

#include "../../settings/SettingsTestEnv.h"
#include "settings/QtClientSettings.h"
#include "settings/QtGlobalSettings.h"
#include "ui/options/OptionsHost.h"
#include "ui/options/QtValidableItem.h"

inline uint32_t Mode(uint32_t width, uint32_t height) { return width | (height << 16); }

// What the discovery front end's server connection widget does for the
// page: an address field whose text goes first into the server history.
class FakeConnectionWidget : public QWidget, public QtValidableItem {
  Q_OBJECT

 public:
  explicit FakeConnectionWidget(QWidget* parent);
  void Load();
  void Validate() override;
  void Apply() override;
  QStringList GetValues() override { return {address->text()}; }
  QLineEdit* address;

 signals:
  void AddressEditedSig(const QString& text);
};

class FakeFinder : public QObject {
  Q_OBJECT

 signals:
  void SearchingStartedSig(int StepNum);
  void UpdateProgressSig(int Step);
  void UpdateServerListSig();
  void SearchingFinishedSig(bool bCanceled);
};

class FakeOptionsHost : public OptionsHost {
 public:
  FakeOptionsHost();
  ~FakeOptionsHost() override;

  std::vector<uint32_t> GetDisplayModes(int display) override;
  std::vector<uint8_t> GetColorDepths() override { return depths; }
  int GetScreenCount() override { return static_cast<int>(screens.size()); }
  QList<QRect> GetScreenRects() override { return screens; }
  bool IsNewGuiLayout() override { return newGui; }
  void ShowApplicationTitle() override { ++titleCalls; }
  QWidget* CreateServerConnectionWidget(QWidget* parent) override;
  void LoadServerConnectionWidget(QWidget* widget) override;
  void StartListProgress(QListWidget*, int steps) override { progress.push_back(-steps); }
  void StepListProgress(QListWidget*, int position) override { progress.push_back(position); }
  void FinishListProgress(QListWidget*) override { progress.push_back(0); }
  QObject* ServerFinder() override { return &finder; }
  int StartServerSearch() override { return ++searches, 0; }
  QStringList GetServerNames() override { return serverNames; }

  std::vector<std::vector<uint32_t>> modes{{Mode(800, 600), Mode(1024, 768), Mode(1280, 1024), Mode(1920, 1200)}};
  std::vector<uint8_t> depths{16, 24};
  QList<QRect> screens{QRect(0, 0, 1920, 1200)};
  bool newGui = false;
  int titleCalls = 0;
  int searches = 0;
  std::vector<int> progress;  // -steps at a start, 0 at the end, positions between
  QStringList serverNames;
  FakeFinder finder;

 private:
  OptionsHost* previous_;
};

// Answers every modal box and the password dialog from a script, and keeps
// what each box said. Boxes without a scripted answer get Ok (or the first
// button).
class ModalAnswerer : public QObject {
  Q_OBJECT

 public:
  struct Box {
    QString title;
    QString text;
    QMessageBox::Icon icon;
    bool hasParent;
  };

  ModalAnswerer();
  void AnswerBox(QMessageBox::StandardButton button) { answers_.push_back(button); }
  // Types the text into the password dialog and presses OK (or Cancel).
  void AnswerPassword(const QString& text, bool accept) { passwords_.push_back({text, accept}); }
  // Runs once a modal dialog of that class name is up; it must close it.
  void OnDialog(const char* className, std::function<void(QWidget*)> handler) {
    dialogs_.push_back({className, std::move(handler)});
  }

  std::vector<Box> boxes;
  int passwordDialogs = 0;

 private slots:
  void Poll();

 private:
  QTimer timer_;
  std::deque<QMessageBox::StandardButton> answers_;
  std::deque<std::pair<QString, bool>> passwords_;
  std::deque<std::pair<QString, std::function<void(QWidget*)>>> dialogs_;
};

// The process-wide objects of one pass of the run loop, in a fresh folder.
struct PassSettings {
  PassSettings();
  ~PassSettings();
  void NewPass();  // destroys and recreates the settings objects, saving them
  TestFolders folders;
  FakeSystemApi api;
  std::unique_ptr<QtGlobalSettings> security;
  std::unique_ptr<QtClientSettings> settings;
};

std::u16string U(const QString& text);
// Readable texts in the test failures.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }
inline void PrintTo(const QStringList& texts, std::ostream* out) {
  *out << "{\"" << texts.join("\", \"").toStdString() << "\"}";
}
QString Q(const WCHAR* text);
