// The local player: the format choice of a lookup, youtube-dl started
// without a shell, frames into the items, the overlay, and a real clip
// played through Qt Multimedia.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QGraphicsScene>
#include <QPainter>
#include <QTemporaryDir>
#include <QVideoFrame>
#include <memory>
#include <string>

#include "FakeYoutubeDl.h"
#include "TovixTestEnv.h"
#include "support/FfmpegClip.h"
#include "tovix/CGVImageContainer.h"
#include "tovix/Lplayer.h"
#include "tovix/QMyFrameItem.h"

namespace {

std::string Formats(const std::string& elements) { return R"({"title":"t","formats":[)" + elements + "]}"; }

std::string Format(const std::string& url, int height, const char* vcodec = "avc1", const char* acodec = "mp4a") {
  return R"({"url":")" + url + R"(","vcodec":")" + vcodec + R"(","acodec":")" + acodec +
         R"(","width":)" + std::to_string(height * 16 / 9) + R"(,"height":)" + std::to_string(height) + "}";
}

int Count(const std::vector<std::string>& texts, const std::string& part) {
  int n = 0;
  for (const std::string& t : texts) n += t.find(part) != std::string::npos;
  return n;
}

}  // namespace

TEST(TovixFormatChoice, TheNearestHeightOfAPlayableFormatWins) {
  struct Case {
    const char* name;
    std::string output;
    int wanted;
    bool readable;
    const char* url;
  } const cases[] = {
      {"nearest", Formats(Format("u360", 360) + "," + Format("u720", 720) + "," + Format("u480", 480)), 500, true, "u480"},
      {"first of equals", Formats(Format("u400", 400) + "," + Format("u600", 600)), 500, true, "u400"},
      {"never video-only, vp or audio-only",
       Formats(R"({"url":"audio","vcodec":"none","acodec":"opus","width":null})" "," + Format("vp9", 500, "vp9") + "," +
               Format("silent", 500, "avc1", "none") + "," + Format("ok", 100)),
       500, true, "ok"},
      {"no candidate", Formats(Format("vp9", 500, "vp9")), 500, true, ""},
      {"not json", "youtube-dl: error", 500, false, ""},
      {"no formats", R"({"title":"t"})", 500, false, ""},
      {"url missing", Formats(R"({"vcodec":"avc1","acodec":"mp4a","width":1,"height":1})"), 500, false, ""},
      {"height not whole", Formats(R"({"url":"x","vcodec":"avc1","acodec":"mp4a","width":1,"height":1.5})"), 500, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QGraphicsScene scene;
    Lplayer player(&scene, nullptr, "v");
    player.notifyYoutubeUrlReady(QString::fromStdString(c.output));
    EXPECT_EQ(player.selectFormat(0, c.wanted), c.readable);
    EXPECT_EQ(player.selectedFormatUrl().toStdString(), c.url);
  }
}

TEST(TovixFormatChoice, TheSameSizeAgainKeepsWhatPlays) {
  QGraphicsScene scene;
  Lplayer player(&scene, nullptr, "v");
  player.streamHeight = 480;
  player.notifyYoutubeUrlReady(QString::fromStdString(Formats(Format("file:///a.mp4", 480))));
  EXPECT_EQ(player.playedHeight(), 480);
  EXPECT_EQ(player.mediaPlayer().media().request().url(), QUrl("file:///a.mp4"));
  player.notifyYoutubeUrlReady(QString::fromStdString(Formats(Format("file:///b.mp4", 480))));
  EXPECT_EQ(player.selectedFormatUrl(), "file:///b.mp4");
  EXPECT_EQ(player.mediaPlayer().media().request().url(), QUrl("file:///a.mp4"));
}

TEST(TovixLookup, APageAddressNeverBecomesACommand) {
  FakeYoutubeDl youtubeDl;
  TovixSession session;
  QTemporaryDir dir;
  const QString marker = dir.filePath("touched");
  const QString addresses[] = {"https://video.invalid/v?a=1 --exec touch " + marker,
                               "https://video.invalid/v; touch " + marker, "$(touch " + marker + ")"};
  QGraphicsScene scene;
  Lplayer player(&scene, nullptr, "v");
  int calls = 0;
  for (const QString& address : addresses) {
    SCOPED_TRACE(address.toStdString());
    player.startResolve(address, "http://127.0.0.1:1 --exec touch " + marker);
    ++calls;
    ASSERT_TRUE(WaitFor([&] { return youtubeDl.Calls().size() == calls; }));
    EXPECT_EQ(youtubeDl.Calls().back(),
              (QStringList{"-j", "-s", "--no-check-certificate", "--proxy", "http://127.0.0.1:1 --exec touch " + marker,
                           "--", address}));
  }
  ASSERT_TRUE(WaitFor([&] { return Count(session.client->Texts(), "clientPlaybackFailed") == calls; }));
  EXPECT_FALSE(QFile::exists(marker));
}

TEST(TovixLookup, EachEmptyLookupSendsExactlyOneFailure) {
  FakeYoutubeDl youtubeDl;
  TovixSession session;
  QGraphicsScene scene;
  Lplayer player(&scene, nullptr, "v7");
  for (int lookup = 1; lookup <= 3; ++lookup) {
    SCOPED_TRACE(lookup);
    player.startResolve("https://video.invalid/" + QString::number(lookup), "");
    ASSERT_TRUE(WaitFor([&] { return Count(session.client->Texts(), "clientPlaybackFailed") >= lookup; }));
  }
  ASSERT_TRUE(WaitFor([&] { return youtubeDl.Calls().size() == 3; }));
  // Whatever is still queued is delivered before the count.
  WaitFor([] { return false; }, 1);
  EXPECT_EQ(youtubeDl.Calls().size(), 3);
  EXPECT_EQ(session.client->Texts(),
            std::vector<std::string>(3, R"({"type":"tovix.clientPlaybackFailed","videoId":"v7"})"));
}

TEST(TovixLookup, ALookupOverItsTimeLimitUsesWhatWasPrinted) {
  QTemporaryDir dir;
  QFile script(dir.filePath("youtube-dl"));
  ASSERT_TRUE(script.open(QIODevice::WriteOnly));
  script.write(("#!/bin/sh\nprintf '%s' '" + Formats(Format("file:///late.mp4", 360)) + "'\nexec sleep 60\n").c_str());
  script.close();
  script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  const QByteArray path = qgetenv("PATH");
  qputenv("PATH", dir.path().toLocal8Bit() + ":" + path);
  QGraphicsScene scene;
  Lplayer player(&scene, nullptr, "v");
  player.setLookupTimeLimit(1000);
  player.startResolve("https://video.invalid/slow", "");
  EXPECT_TRUE(WaitFor([&] { return !player.lookupOutput().isEmpty(); }));
  qputenv("PATH", path);
  EXPECT_EQ(player.selectedFormatUrl(), "file:///late.mp4");
}

TEST(TovixFrames, AFrameReachesTheItemImageAndNewGeometryMakesNewImages) {
  QGraphicsScene scene;
  Lplayer player(&scene, nullptr, "v");
  struct Case {
    int width, height;
    QImage::Format format;
  } const cases[] = {
      {4, 6, QImage::Format_RGB32},
      {6, 4, QImage::Format_RGB32},  // the same bytes, another shape
      {6, 4, QImage::Format_ARGB32},
      {5, 3, QImage::Format_RGB888},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " " << c.format);
    QImage picture(c.width, c.height, c.format);
    for (int y = 0; y < c.height; ++y)
      for (int x = 0; x < c.width; ++x) picture.setPixel(x, y, qRgb(x * 40, y * 50, 7));
    ASSERT_TRUE(player.present(QVideoFrame(picture)));
    const QImage* shown = player.frameItem()->image();
    ASSERT_NE(shown, nullptr);
    EXPECT_EQ(shown->size(), picture.size());
    EXPECT_EQ(shown->convertToFormat(QImage::Format_RGB32), picture.convertToFormat(QImage::Format_RGB32));
  }
  EXPECT_FALSE(player.present(QVideoFrame()));
}

TEST(TovixFrames, FramesOfAFormatWithoutAnImageAreConverted) {
  QGraphicsScene scene;
  Lplayer player(&scene, nullptr, "v");
  // 4 x 2 in planar YUV 4:2:0, a flat mid grey.
  QVideoFrame frame(4 * 2 + 2 * 2 * 1, QSize(4, 2), 4, QVideoFrame::Format_YUV420P);
  ASSERT_TRUE(frame.map(QAbstractVideoBuffer::WriteOnly));
  memset(frame.bits(), 128, size_t(frame.mappedBytes()));
  frame.unmap();
  ASSERT_TRUE(player.present(frame));
  ASSERT_NE(player.frameItem()->image(), nullptr);
  EXPECT_EQ(player.frameItem()->image()->size(), QSize(4, 2));
  const QRgb pixel = player.frameItem()->image()->pixel(1, 1);
  EXPECT_NEAR(qRed(pixel), 130, 12);
  EXPECT_NEAR(qGreen(pixel), 130, 12);
}

TEST(TovixOverlay, TheStatusTextFollowsTheMediaAndTheBuffer) {
  struct Case {
    int status, percent;
    bool fullyBefore;
    const char* text;
    bool blackFill;
  } const cases[] = {
      {0, 0, false, " TOVIX:wait..", true},  {2, 0, false, " TOVIX:wait..", true},
      {7, 100, true, " TOVIX:end..", true},  {5, 45, false, " TOVIX:45% ", true},
      {5, 45, true, " TOVIX:45% ", false},   {6, 100, false, "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    QMyFrameItem item;
    item.setSize(QSizeF(120, 80));
    QImage red(16, 16, QImage::Format_RGB32);
    red.fill(Qt::red);
    item.setImage(red);
    if (c.fullyBefore) item.setBufferPercent(100);
    item.setBufferPercent(c.percent);
    item.setMediaStatus(c.status);
    EXPECT_EQ(item.overlayText(), c.text);
    QImage canvas(120, 80, QImage::Format_RGB32);
    canvas.fill(Qt::green);
    QPainter painter(&canvas);
    item.paint(&painter, nullptr, nullptr);
    painter.end();
    EXPECT_EQ(canvas.pixel(100, 70), c.blackFill ? qRgb(0, 0, 0) : qRgb(255, 0, 0));
    if (*c.text) {
      EXPECT_TRUE(canvas.pixel(8, 9) == qRgb(0, 0, 255) || canvas.pixel(8, 9) == qRgb(255, 255, 255));
    }
  }
}

TEST(TovixDisplays, APlayerShowsOnBothDisplaysAndSurvivesTheSecondGoingFirst) {
  TovixSession session;
  const uint16_t sizes[2][2] = {{1920, 1080}, {1280, 1024}};
  const int16_t origins[2][2] = {{0, 0}, {1920, 0}};
  session.client->SetDisplayLayout(2, sizes, origins);
  CGVImageContainer view(0);
  auto second = std::make_unique<CGVImageContainer>(1);
  view.handleMessage(R"({"type":"tovix.connectionCheck"})");
  view.handleMessage(
      R"({"type":"tovix.srcPlaybackControl","chromeWindowId":1,"chromeTabId":2,"videoId":"v","event":"NONE","rectangle":{"l":2000,"t":30,"w":100,"h":50}})");
  Lplayer* player = view.findPlayer("v");
  ASSERT_NE(player, nullptr);
  ASSERT_NE(player->secondFrameItem(), nullptr);
  EXPECT_EQ(player->secondFrameItem()->scene(), second->scene());
  EXPECT_EQ(player->frameItem()->pos(), QPointF(2000, 30));
  EXPECT_EQ(player->secondFrameItem()->pos(), QPointF(80, 30));
  second.reset();
  EXPECT_EQ(player->secondFrameItem(), nullptr);
  QImage picture(2, 2, QImage::Format_RGB32);
  picture.fill(Qt::blue);
  EXPECT_TRUE(player->present(QVideoFrame(picture)));
  view.handleMessage(R"({"type":"tovix.wndPosChanged","chromeWindowId":1,"wndX":5,"wndY":5})");
}

// A real clip, made by ffmpeg, played by Qt Multimedia from its file
// address: its frames reach the item.
TEST(TovixClip, AShortClipPlaysIntoTheItem) {
  QTemporaryDir dir;
  const QString clip = dir.filePath("clip.mp4");
  const std::string made = MakeFfmpegClip(clip, "testsrc=size=160x120:rate=25", 2);
  ASSERT_TRUE(made.empty()) << made;
  TovixSession session;
  QGraphicsScene scene;
  Lplayer player(&scene, nullptr, "clip");
  player.controlSequence = 3;
  player.setMediaUrl(QUrl::fromLocalFile(clip).toString());
  player.mediaPlayer().play();
  ASSERT_TRUE(WaitFor([&] { return player.frameItem()->image() != nullptr; }, 60))
      << "status " << player.mediaPlayer().mediaStatus() << " error "
      << player.mediaPlayer().errorString().toStdString();
  EXPECT_EQ(player.frameItem()->image()->size(), QSize(160, 120));
  EXPECT_TRUE(WaitFor([&] { return Count(session.client->Texts(), "clientPlaybackProgress") > 0; }, 60));
}
