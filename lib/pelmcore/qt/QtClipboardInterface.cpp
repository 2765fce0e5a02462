#include "qt/QtClipboardInterface.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <algorithm>
#include <cstring>

QtClipboardInterface::QtClipboardInterface() : text_(kBufferBytes / 2, 0) {
  if (!QGuiApplication::instance()) return;
  clipboard_ = QGuiApplication::clipboard();
  if (!clipboard_) return;
  connect(clipboard_, SIGNAL(dataChanged()), this, SLOT(dataChanged()));
  connect(this, SIGNAL(sig_setData(int)), this, SLOT(slot_setData(int)));
}

int QtClipboardInterface::SetData(int format, const void* data, uint32_t length) {
  if (!enabled_.load()) return kDisabled;
  if (uint64_t(length) + 2 > kBufferBytes) return kTooLong;
  if (!data) length = 0;
  {
    std::lock_guard<std::mutex> hold(textMutex_);
    std::fill(text_.begin(), text_.end(), 0);
    memcpy(text_.data(), data, length);
    textChars_ = length / 2;
  }
  skipNextChange_.store(true);
  emit sig_setData(format);
  return 0;
}

void QtClipboardInterface::slot_setData(int) {
  if (!clipboard_) return;
  QString text;
  {
    std::lock_guard<std::mutex> hold(textMutex_);
    size_t n = 0;
    while (n < textChars_ && text_[n]) ++n;
    text = QString::fromUtf16(text_.data(), int(n));
  }
  clipboard_->setText(text, QClipboard::Clipboard);
}

void QtClipboardInterface::dataChanged() {
  if (!enabled_.load() || !clipboard_) return;
  const QMimeData* mime = clipboard_->mimeData(QClipboard::Clipboard);
  if (!mime || !mime->hasText()) return;
  if (skipNextChange_.exchange(false)) return;
  const QString text = mime->text();
  NotifyListener(0, text.utf16(), uint32_t(text.size() + 1) * 2);
}
