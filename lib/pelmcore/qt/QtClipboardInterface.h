// The text clipboard of the session: the server's text goes onto the local
// clipboard, and local text changes go to the session's listener, both
// through the application's QClipboard.
#pragma once

#include <QObject>
#include <QString>
#include <atomic>
#include <cstdint>

#include "session/ClipboardInterface.h"

class QClipboard;

class QtClipboardInterface : public QObject, public CClipboardInterface {
  Q_OBJECT

 public:
  static constexpr uint32_t kBufferBytes = 0x20000;

  // On the GUI thread, once a QGuiApplication exists; without one the
  // object stays unattached and moves no text.
  QtClipboardInterface();

  bool IsEnabled() override { return enabled_.load(); }
  void SetEnabled(bool enabled) override { enabled_.store(enabled); }
  // Any thread: the text reaches the clipboard on the GUI thread. Each
  // call's text travels in its own signal, so a second text never replaces
  // a first one still on its way.
  int SetData(int format, const void* data, uint32_t length) override;

 signals:
  void sig_setData(int Type, const QString& text);

 public slots:
  void dataChanged();
  void slot_setData(int Type, const QString& text);

 private:
  std::atomic<bool> enabled_{true};
  QClipboard* clipboard_ = nullptr;
  // Our own text coming back as a change is not reported to the server.
  std::atomic<bool> skipNextChange_{false};
};
