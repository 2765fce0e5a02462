#include "qt/QtClipboardInterface.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>

QtClipboardInterface::QtClipboardInterface() {
  if (!QGuiApplication::instance()) return;
  clipboard_ = QGuiApplication::clipboard();
  if (!clipboard_) return;
  connect(clipboard_, SIGNAL(dataChanged()), this, SLOT(dataChanged()));
  connect(this, &QtClipboardInterface::sig_setData, this, &QtClipboardInterface::slot_setData);
}

int QtClipboardInterface::SetData(int format, const void* data, uint32_t length) {
  if (!enabled_.load()) return kDisabled;
  if (uint64_t(length) + 2 > kBufferBytes) return kTooLong;
  if (!data) length = 0;
  // The text ends at its terminator or at the last whole unit; the bytes
  // may sit at any alignment.
  const auto* bytes = static_cast<const uint8_t*>(data);
  QString text;
  text.reserve(int(length / 2));
  for (uint32_t i = 0; i + 1 < length; i += 2) {
    const char16_t unit = char16_t(bytes[i] | (bytes[i + 1] << 8));
    if (!unit) break;
    text.append(QChar(unit));
  }
  skipNextChange_.store(true);
  emit sig_setData(format, text);
  return 0;
}

void QtClipboardInterface::slot_setData(int, const QString& text) {
  if (clipboard_) clipboard_->setText(text, QClipboard::Clipboard);
}

void QtClipboardInterface::dataChanged() {
  if (!enabled_.load() || !clipboard_) return;
  const QMimeData* mime = clipboard_->mimeData(QClipboard::Clipboard);
  if (!mime || !mime->hasText()) return;
  if (skipNextChange_.exchange(false)) return;
  const QString text = mime->text();
  NotifyListener(0, text.utf16(), uint32_t(text.size() + 1) * 2);
}
