// Cursor-shape records from the server as the Qt system API takes them:
// SetCursor checks, copies and posts them to the session window, whose GUI
// thread turns the copy into a Qt cursor with MakeCursor; the window's
// other cursor path hands MakeCursor the record as it arrived, which is
// done here too. Offscreen Qt, made once and kept for the whole run.
// Input: the record.
#include <QBitmap>
#include <QCoreApplication>
#include <QCursor>
#include <QEvent>
#include <QGuiApplication>
#include <QObject>
#include <QPixmap>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "pelplat/debugout.h"
#include "qt/QtDataEvent.h"
#include "qt/QtSystemApi.h"

namespace {

volatile int64_t g_sink;

void Use(QCursor* made) {
  std::unique_ptr<QCursor> cursor(made);
  if (cursor) g_sink = cursor->pixmap().cacheKey() + cursor->bitmap(Qt::ReturnByValue).cacheKey();
}

// Does with a posted cursor shape what the session window does.
class CursorWindow : public QObject {
 protected:
  bool event(QEvent* e) override {
    if (e->type() != CQtDataEvent::kType) return QObject::event(e);
    const auto* posted = static_cast<CQtDataEvent*>(e);
    if (posted->Code() == CQtDataEvent::kCursorShape && posted->Payload())
      Use(CQtSystemApi::MakeCursor(posted->Payload(), uint32_t(posted->Length())));
    return true;
  }
};

struct Gui {
  Gui() {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // A line for every malformed record would slow the run many times over.
    SetDebugOutputSink([](const std::string&) {});
    static int argc = 1;
    static char name[] = "cursor_record_fuzz";
    static char* argv[] = {name, nullptr};
    app = new QGuiApplication(argc, argv);
    // An empty key: no application-id table in shared memory, which a
    // run that ends in a crash would leave behind.
    api = new CQtSystemApi(QString());
    api->RegisterWindow(0, &window);
  }
  // Never destroyed: Qt's offscreen platform does not free its screen
  // when the application goes, and the process ends anyway.
  QGuiApplication* app;
  CQtSystemApi* api;
  CursorWindow window;
};

Gui& TheGui() {
  static Gui* gui = new Gui;
  return *gui;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Gui& gui = TheGui();
  // In a buffer of its own size, so that a read beyond it shows.
  const std::vector<uint8_t> record(data, data + size);
  gui.api->SetCursor(record.data(), uint32_t(record.size()), 0);
  QCoreApplication::sendPostedEvents(&gui.window, CQtDataEvent::kType);
  Use(CQtSystemApi::MakeCursor(record.data(), uint32_t(record.size())));
  return 0;
}
