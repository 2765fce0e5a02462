// The browser extension's texts and youtube-dl's output, as the client
// reads them. Input: one byte choosing the reader (even: an extension text
// to a connected tiled display of display 0; odd: a lookup output to a
// player's format choice), then the text. Players made by a text are
// deleted after each input; youtube-dl is searched in an empty folder, so
// no lookup runs a program.
#include <QApplication>
#include <QGraphicsScene>
#include <QTemporaryDir>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "tovix/CGVImageContainer.h"
#include "tovix/Lplayer.h"

namespace {

struct World {
  World() {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    setenv("HOME", home.path().toLocal8Bit().constData(), 1);
    setenv("PATH", home.path().toLocal8Bit().constData(), 1);
    app = std::make_unique<QApplication>(argc, argv);
    view = std::make_unique<CGVImageContainer>(0);
    view->handleMessage("{\"type\":\"tovix.connectionCheck\"}");
    scene = std::make_unique<QGraphicsScene>();
    player = std::make_unique<Lplayer>(scene.get(), nullptr, "fuzz");
  }

  QTemporaryDir home;
  int argc = 1;
  char name[8] = "fuzz";
  char* argv[2] = {name, nullptr};
  std::unique_ptr<QApplication> app;
  std::unique_ptr<CGVImageContainer> view;
  std::unique_ptr<QGraphicsScene> scene;
  std::unique_ptr<Lplayer> player;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static World* world = new World;
  if (size == 0) return 0;
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] % 2 == 0) {
    world->view->handleMessage(text.c_str());
    world->view->deleteAllPlayers();
  } else {
    world->player->notifyYoutubeUrlReady(QString::fromUtf8(text.data(), int(text.size())));
  }
  return 0;
}
