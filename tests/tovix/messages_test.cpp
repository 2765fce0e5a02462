// The browser extension's messages: discovery and the connection check,
// silence, the window and tab model with its stacking order, and the
// playback handlers, against a session client that records the tunnel.
#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "FakeYoutubeDl.h"
#include "TovixTestEnv.h"
#include "testhost/BrowserExtension.h"
#include "tovix/CGVImageContainer.h"
#include "tovix/Lplayer.h"
#include "tovix/QMyFrameItem.h"
#include "tovix/TovixJson.h"
#include "tovix/TovixMessages.h"

namespace {

const char kDiscovery[] = R"({"type":"tovix.extensionDiscovery","v":"1.2.0.5"})";
const char kCheck[] = R"({"type":"tovix.connectionCheck"})";

std::string Response(const std::string& id) {
  return R"({"type":"tovix.connectionCheckResponse","features":[1],"apiVersion":1,"v":"1.2.0.5","sessionId":")" + id +
         "\"}";
}

std::string Playback(int window, int tab, const std::string& videoId, const std::string& extra) {
  return R"({"type":"tovix.srcPlaybackControl","chromeWindowId":)" + std::to_string(window) +
         R"(,"chromeTabId":)" + std::to_string(tab) + R"(,"videoId":")" + videoId +
         R"(","controlSequence":4,"volume":1,"rectangle":{"l":10,"t":20,"w":320,"h":180},)" + extra + "}";
}

class TovixMessages : public testing::Test {
 protected:
  void Connect() {
    view.handleMessage(kCheck);
    session.client->ClearSent();
  }

  FakeYoutubeDl youtubeDl;
  TovixSession session;
  CGVImageContainer view{0};
};

}  // namespace

TEST_F(TovixMessages, DiscoveryUntilTheConnectionCheckThenTheResponseWithTheSessionId) {
  EXPECT_TRUE(view.discoveryPending());
  EXPECT_EQ(view.timer().interval(), 3000);
  EXPECT_TRUE(view.timer().isActive());
  view.tovix_timer_proc();
  view.tovix_timer_proc();
  EXPECT_EQ(session.client->Texts(), (std::vector<std::string>{kDiscovery, kDiscovery}));
  const std::string id = view.sessionId();
  EXPECT_TRUE(QRegularExpression("^\\{[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\\}$")
                  .match(QString::fromStdString(id))
                  .hasMatch())
      << id;
  session.client->ClearSent();
  view.handleMessage(kCheck);
  EXPECT_FALSE(view.discoveryPending());
  EXPECT_EQ(session.client->Texts(), std::vector<std::string>{Response(id)});
  // The frame itself: ".tovix" "post", the text and its NUL.
  const auto calls = session.client->SentCalls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].payload.size(), Response(id).size() + 1);
  EXPECT_EQ(calls[0].payload.back(), 0);
}

// A text during the handshake would stand where the server expects the
// hello: the extension hears of the client once the session runs.
TEST_F(TovixMessages, NothingIsSentBeforeTheSessionRuns) {
  session.client->SetSessionState(CGenericClient::kHandshake);
  view.tovix_timer_proc();
  EXPECT_TRUE(session.client->Texts().empty());
  session.client->SetSessionState(CGenericClient::kRunning);
  view.tovix_timer_proc();
  EXPECT_EQ(session.client->Texts(), std::vector<std::string>{kDiscovery});
}

TEST_F(TovixMessages, MessagesBeforeTheConnectionCheckAreIgnored) {
  const char move[] = R"({"type":"tovix.wndPosChanged","chromeWindowId":5,"wndX":100,"wndY":50})";
  view.handleMessage(move);
  view.handleMessage(Playback(5, 1, "v", R"("event":"PLAYBACK","paused":true)").c_str());
  EXPECT_TRUE(view.windowModel().windows().empty());
  EXPECT_TRUE(view.players().empty());
  Connect();
  view.handleMessage(move);
  ASSERT_EQ(view.windowModel().windows().size(), 1u);
  EXPECT_EQ(view.windowModel().windows().front().wndX, 100);
  EXPECT_EQ(view.windowModel().windows().front().wndY, 50);
}

TEST_F(TovixMessages, TheFourthSilentTickEndsThePlayersAndTakesANewSessionId) {
  Connect();
  view.handleMessage(Playback(1, 2, "v1", R"("event":"PLAYBACK","paused":true)").c_str());
  ASSERT_EQ(view.players().size(), 1u);
  const std::string firstId = view.sessionId();
  for (int tick = 0; tick < 3; ++tick) view.tovix_timer_proc();
  // Any text, even one that is no JSON, is a sign of life.
  view.handleMessage("not json at all");
  EXPECT_EQ(view.silenceCounter(), 0);
  for (int tick = 0; tick < 3; ++tick) view.tovix_timer_proc();
  EXPECT_EQ(view.players().size(), 1u);
  EXPECT_TRUE(session.client->Texts().empty());
  view.tovix_timer_proc();
  EXPECT_TRUE(view.players().empty());
  EXPECT_TRUE(view.discoveryPending());
  EXPECT_NE(view.sessionId(), firstId);
  view.tovix_timer_proc();
  view.handleMessage(kCheck);
  EXPECT_EQ(session.client->Texts(), (std::vector<std::string>{kDiscovery, Response(view.sessionId())}));
}

TEST_F(TovixMessages, FocusAndTabMovesGiveTheStackingOrder) {
  Connect();
  auto focus = [this](int window, int tab) {
    view.handleMessage((R"({"type":"tovix.browserFocusChanged","chromeWindowId":)" + std::to_string(window) +
                        R"(,"chromeTabId":)" + std::to_string(tab) + "}")
                           .c_str());
  };
  focus(1, 10);
  EXPECT_EQ(view.zOrderOf(1, 10), -1);
  focus(1, 11);
  focus(2, 20);
  struct Case {
    int window, tab;
    double z;
  } const cases[] = {{2, 20, -1}, {1, 11, -2}, {1, 10, -2.1}, {3, 30, -1}, {1, 99, -1}};
  for (const Case& c : cases) EXPECT_DOUBLE_EQ(view.zOrderOf(c.window, c.tab), c.z) << c.window << "/" << c.tab;

  // A player's item follows the order; one of an unknown window is at -1.
  view.handleMessage(Playback(1, 10, "a", R"("event":"NONE")").c_str());
  view.handleMessage(Playback(7, 70, "b", R"("event":"NONE")").c_str());
  focus(1, 10);
  EXPECT_DOUBLE_EQ(view.findPlayer("a")->frameItem()->zValue(), -1);
  EXPECT_DOUBLE_EQ(view.findPlayer("b")->frameItem()->zValue(), -2);

  // The last tab moving out takes its window along; the players follow.
  view.handleMessage(R"({"type":"tovix.tabParentWindowChanged","chromeTabId":20,"newWindowId":4})");
  EXPECT_EQ(view.windowModel().findWindow(2), nullptr);
  ASSERT_NE(view.windowModel().findWindow(4), nullptr);
  view.handleMessage(R"({"type":"tovix.tabParentWindowChanged","chromeTabId":10,"newWindowId":4})");
  EXPECT_EQ(view.findPlayer("a")->windowId, 4);
  // An unloaded page leaves its window, empty or not, and ends its players.
  view.handleMessage(R"({"type":"tovix.pageUnloaded","chromeWindowId":4,"chromeTabId":10,"videoId":"a"})");
  EXPECT_EQ(view.findPlayer("a"), nullptr);
  ASSERT_NE(view.windowModel().findWindow(4), nullptr);
  view.handleMessage(R"({"type":"tovix.tabParentWindowClosed","chromeWindowId":7})");
  EXPECT_TRUE(view.players().empty());
  EXPECT_EQ(view.windowModel().findWindow(7), nullptr);
}

TEST(TovixWindowOrder, TheTabTermStaysBelowAWholeWindow) {
  for (int q = 0; q <= 9; ++q) EXPECT_EQ(TabDepth(q), q * 0.1) << q;
  double previous = TabDepth(9);
  for (int64_t q : {10, 11, 20, 100, 1000, 1000000}) {
    SCOPED_TRACE(q);
    EXPECT_GT(TabDepth(q), previous);
    EXPECT_LT(TabDepth(q), 1.0);
    previous = TabDepth(q);
  }
  // Twelve tabs in the front window still lie above the second window.
  TovixWindowModel model;
  for (int tab = 0; tab < 12; ++tab) model.addTabToWindow(1, tab);
  model.raiseWindow(2);
  model.addTabToWindow(2, 100);
  model.raiseWindow(1);
  EXPECT_GT(model.zOrderOf(1, 0), model.zOrderOf(2, 100));
}

TEST_F(TovixMessages, PlaybackOfAStreamAddressPlaysItDirectly) {
  Connect();
  const std::string stream = R"("event":"PLAYBACK","sourcePageUrl":"","source":{"videoStreamUrl":"file:///nothing/a.mp4"})";
  view.handleMessage(Playback(1, 2, "v", stream).c_str());
  Lplayer* player = view.findPlayer("v");
  ASSERT_NE(player, nullptr);
  EXPECT_EQ(player->currentUrl, "file:///nothing/a.mp4");
  EXPECT_EQ(player->mediaPlayer().media().request().url(), QUrl("file:///nothing/a.mp4"));
  EXPECT_EQ(player->controlSequence, 4);
  EXPECT_EQ(player->frameItem()->pos(), QPointF(10, 20));
  EXPECT_EQ(player->frameItem()->size(), QSizeF(321, 180));
  EXPECT_TRUE(player->lastLookupArguments().isEmpty());
  view.handleMessage(R"({"type":"tovix.wndPosChanged","chromeWindowId":1,"wndX":100,"wndY":50})");
  EXPECT_EQ(player->frameItem()->pos(), QPointF(110, 70));
}

TEST_F(TovixMessages, APageAddressIsLookedUpWithTheProxyAndTheDefaultStreamSize) {
  struct Case {
    const char* proxy;
    QStringList expected;
  } const cases[] = {
      {"", {"-j", "-s", "--no-check-certificate", "--", "https://video.invalid/watch?v=1"}},
      {"http://127.0.0.1:3128",
       {"-j", "-s", "--no-check-certificate", "--proxy", "http://127.0.0.1:3128", "--", "https://video.invalid/watch?v=1"}},
  };
  Connect();
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.proxy);
    strcpy(session.parameters.proxy_url, c.proxy);
    const std::string videoId = "p" + std::to_string(n++);
    view.handleMessage(
        Playback(1, 2, videoId, R"("event":"PLAYBACK","sourcePageUrl":"https://video.invalid/watch?v=1","streamWidth":0)")
            .c_str());
    Lplayer* player = view.findPlayer(QString::fromStdString(videoId));
    ASSERT_NE(player, nullptr);
    EXPECT_EQ(player->lastLookupArguments(), c.expected);
    EXPECT_EQ(QSize(player->streamWidth, player->streamHeight), QSize(640, 360));
  }
  // Both sizes given become the default for the next page.
  view.handleMessage(Playback(1, 2, "big", R"("event":"PLAYBACK","sourcePageUrl":"https://video.invalid/2","streamWidth":1280,"streamHeight":720)").c_str());
  EXPECT_EQ(view.defaultStreamSize(), QSize(1280, 720));
  view.handleMessage(Playback(1, 2, "small", R"("event":"PLAYBACK","sourcePageUrl":"https://video.invalid/3","streamHeight":480)").c_str());
  EXPECT_EQ(QSize(view.findPlayer("small")->streamWidth, view.findPlayer("small")->streamHeight), QSize(1280, 720));
  // The same page again only plays: no second lookup.
  const QStringList before = view.findPlayer("big")->lastLookupArguments();
  view.findPlayer("big")->startResolve("marker", "");
  view.handleMessage(Playback(1, 2, "big", R"("event":"PLAYBACK","sourcePageUrl":"https://video.invalid/2")").c_str());
  EXPECT_EQ(view.findPlayer("big")->lastLookupArguments().back(), "marker");
  EXPECT_NE(before, view.findPlayer("big")->lastLookupArguments());
}

TEST_F(TovixMessages, VolumeAndMuteFollowTheBrowser) {
  Connect();
  view.handleMessage(Playback(1, 2, "v", R"("event":"NONE","muted":true)").c_str());
  Lplayer* player = view.findPlayer("v");
  EXPECT_EQ(player->mediaPlayer().volume(), 50);
  EXPECT_TRUE(player->mediaPlayer().isMuted());
  view.handleMessage(R"({"type":"tovix.systemVolume","value":0.8})");
  EXPECT_EQ(player->mediaPlayer().volume(), 80);
  EXPECT_DOUBLE_EQ(player->systemVolume, 0.8);
}

// What a browser's JSON.stringify never writes: one object naming a member
// twice. Qt's parser would keep the replaced object for good, so the text
// goes no further; it still counts as a sign of life.
TEST_F(TovixMessages, ATextThatRepeatsAMemberNameIsIgnoredButKeepsTheConnection) {
  Connect();
  view.tovix_timer_proc();
  const char repeated[] =
      R"({"type":"tovix.srcPlaybackControl","chromeWindowId":1,"chromeTabIle":{"t":1,"l":2,"w":300,"h":200},)"
      R"("pausmeWindowId":1,"chromeTabIle":{"t":1,"l":2,"w":300,"h":200},"pauseed":true})";
  view.handleMessage(repeated);
  EXPECT_TRUE(view.players().empty());
  EXPECT_TRUE(view.windowModel().windows().empty());
  EXPECT_EQ(view.silenceCounter(), 0);
  EXPECT_FALSE(view.discoveryPending());
}

TEST(TovixJson, MemberNamesRepeatWithinOneObjectAsQtDecodesThem) {
  struct Case {
    const char* text;
    bool repeats;
  } const cases[] = {
      {R"({"a":1,"b":2})", false},
      {R"({"a":1,"a":2})", true},
      {R"({"a":{"x":1},"\u0061":1})", true},
      {R"({"x":[{"a":1 , "a" :2}]})", true},
      {R"({"a":[{"b":1}],"a":2})", true},
      {R"({"a":{"a":1},"b":{"a":2}})", false},
      {R"([{"a":1},{"a":1}])", false},
      {R"({"a":"a","b":"a:","c":["a"]})", false},
      {R"({"a\"":1,"a":2,"a\\":3})", false},
      {R"({"\ud800":1,"\udbff":2})", false},
      {R"({"a":1,"a)", false},
      {R"({"a\q":{"x":1},"aq":1})", true},
      {R"({"a\u00":{"x":1},"a":1})", false},
      {"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(tovix::RepeatsMemberName(QByteArray(c.text)), c.repeats) << c.text;
}

TEST(TovixSeek, SecondsBecomeWholeMilliseconds) {
  struct Case {
    double seconds;
    qint64 ms;
  } const cases[] = {{12.5, 12500}, {0.0019, 1}, {0, 0}, {-3, 0}, {1e300, 0},
                     {std::numeric_limits<double>::quiet_NaN(), 0}, {std::numeric_limits<double>::infinity(), 0}};
  for (const Case& c : cases) EXPECT_EQ(SeekPositionMs(c.seconds), c.ms) << c.seconds;
  struct Volume {
    double factor;
    int percent;
  } const volumes[] = {{0.5, 50}, {0.999, 99}, {1e300, 100}, {-1, 0}, {std::numeric_limits<double>::quiet_NaN(), 0}};
  for (const Volume& v : volumes) EXPECT_EQ(VolumePercent(v.factor), v.percent) << v.factor;
}

TEST(TovixTexts, InsertedTextsAreEscapedAndOrdinaryIdsUnchanged) {
  struct Case {
    std::string in, out;
  } const cases[] = {
      {"{0b4c-ab_12}", "\"{0b4c-ab_12}\""},
      {"a\"b", "\"a\\\"b\""},
      {"a\\b", "\"a\\\\b\""},
      {"line\nbreak\x01", "\"line\\u000abreak\\u0001\""},
      {"ünï", "\"ünï\""},
  };
  for (const Case& c : cases) EXPECT_EQ(tovix::JsonText(c.in), c.out);
  const std::string hostile = "x\",\"type\":\"evil";
  const QJsonDocument failed = QJsonDocument::fromJson(QByteArray::fromStdString(tovix::PlaybackFailedMessage(hostile)));
  ASSERT_TRUE(failed.isObject());
  EXPECT_EQ(failed.object().value("type").toString(), "tovix.clientPlaybackFailed");
  EXPECT_EQ(failed.object().value("videoId").toString().toStdString(), hostile);
  EXPECT_EQ(tovix::PlaybackFailedMessage("v9"), R"({"type":"tovix.clientPlaybackFailed","videoId":"v9"})");
}

TEST(TovixTexts, ProgressIsSecondsWithSixDigits) {
  struct Case {
    int64_t ms;
    bool ended;
    const char* text;
  } const cases[] = {
      {83500, false, R"({"type":"tovix.clientPlaybackProgress","videoId":"v","position":83.5,"ended":false,"controlSequence":7})"},
      {1234567, true, R"({"type":"tovix.clientPlaybackProgress","videoId":"v","position":1234.57,"ended":true,"controlSequence":7})"},
      {0, false, R"({"type":"tovix.clientPlaybackProgress","videoId":"v","position":0,"ended":false,"controlSequence":7})"},
  };
  for (const Case& c : cases) EXPECT_EQ(tovix::PlaybackProgressMessage("v", c.ms, c.ended, 7), c.text);
}

TEST(TovixTexts, WithoutASessionClientNothingIsSent) {
  TovixSession session(false);
  EXPECT_FALSE(tovix::SendTovixText("{}"));
}

// The test host's extension speaks the same messages the container reads.
TEST_F(TovixMessages, TheTestHostsExtensionMessagesDriveTheContainer) {
  using testhost::BrowserExtension;
  view.handleMessage(BrowserExtension::ConnectionCheck().c_str());
  EXPECT_FALSE(view.discoveryPending());
  testhost::ExtensionPlayback playback;
  playback.windowId = 3;
  playback.tabId = 4;
  playback.videoId = "ext";
  playback.rectangle = QRect(10, 20, 64, 48);
  playback.videoStreamUrl = "file:///nothing/b.mp4";
  playback.volume = 0.5;
  view.handleMessage(BrowserExtension::Playback(playback).c_str());
  Lplayer* player = view.findPlayer("ext");
  ASSERT_NE(player, nullptr);
  EXPECT_EQ(player->currentUrl, "file:///nothing/b.mp4");
  EXPECT_EQ(player->mediaPlayer().volume(), 25);
  view.handleMessage(BrowserExtension::WindowMoved(3, 100, 200).c_str());
  EXPECT_EQ(player->frameItem()->pos(), QPointF(110, 220));
  EXPECT_EQ(player->frameItem()->size(), QSizeF(65, 48));
  view.handleMessage(BrowserExtension::FocusChanged(5, 6).c_str());
  EXPECT_DOUBLE_EQ(player->frameItem()->zValue(), -2);
  view.handleMessage(BrowserExtension::SystemVolume(1).c_str());
  EXPECT_EQ(player->mediaPlayer().volume(), 50);
  view.handleMessage(BrowserExtension::TabMoved(4, 5).c_str());
  EXPECT_EQ(player->windowId, 5);
  view.handleMessage(BrowserExtension::PageUnloaded(5, 4).c_str());
  EXPECT_TRUE(view.players().empty());
  view.handleMessage(BrowserExtension::WindowClosed(5).c_str());
  EXPECT_EQ(view.windowModel().findWindow(5), nullptr);
  // The key-coloured picture holds 1, 2, 3 exactly in the rectangle.
  const QImage picture = testhost::KeyedPicture(QSize(8, 4), QRect(2, 1, 3, 2));
  EXPECT_EQ(picture.pixel(2, 1), qRgb(1, 2, 3));
  EXPECT_EQ(picture.pixel(4, 2), qRgb(1, 2, 3));
  EXPECT_EQ(picture.pixel(5, 2), qRgb(255, 255, 255));
  EXPECT_EQ(picture.pixel(2, 3), qRgb(255, 255, 255));
}
