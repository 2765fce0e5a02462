// The connection-parameter record: built from the settings, the typed keys
// and the launch file; server resolution; the server-switch thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "SettingsTestEnv.h"
#include "pelplat/utf16.h"
#include "settings/AbstractClientApp.h"
#include "settings/AbstractClientSettings.h"
#include "session/ClientConnectionParameter.h"
#include "settings/ServerSwitchThread.h"

using nlohmann::json;

namespace {

QList<QRect> OneScreen() { return {QRect(0, 0, 1920, 1080)}; }
QList<QRect> TwoScreens() { return {QRect(0, 0, 1920, 1080), QRect(1920, 0, 1280, 1024)}; }

CLaunchOptions LaunchWith(const std::string& text, std::string address = "", std::string port = "") {
  CLaunchOptions launch;
  launch.scanned = 1;
  launch.jsonFlag = 1;
  launch.json = text.empty() ? json() : json::parse(text);
  launch.address = address;
  launch.port = port;
  return launch;
}

const char kFullLaunchFile[] = R"({"Pellum": {
  "desktop": {"width": 1600, "height": 900, "bitspp": 16,
              "secondary": {"width": 1024, "height": 768, "at_left": 1, "bottom_aligned": 1}},
  "server": {"address": "host.example", "cmd": "/usr/bin/tool", "path": "/srv", "domain": "DOM",
             "user": "Jürgen", "password": "pässwört", "start_app": true, "auto_logon": true},
  "misc": {"UserDeviceName": "device-name-that-is-longer-than-31-bytes", "proxy_url": "http://proxy:3128",
           "auto_disconnect": true}}})";

class ConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    api.modes = {PackSize(1920, 1080), PackSize(1280, 1024)};
    settings = std::make_unique<CAbstractClientSettings>(false);
    settings->screenSizes[0] = PackSize(1920, 1080);
    settings->screenSizes[1] = PackSize(1280, 1024);
  }
  std::unique_ptr<CClientConnectionParameter> Build(const CLaunchOptions& launch = CLaunchOptions(),
                                                    const QList<QRect>& screens = OneScreen()) {
    app.BuildConnectionParameters(screens, launch);
    return std::unique_ptr<CClientConnectionParameter>(app.TakeConnectionParameters());
  }

  FakeSystemApi api;
  std::unique_ptr<CAbstractClientSettings> settings;
  CAbstractClientApp app;
};

}  // namespace

TEST_F(ConnectionTest, RecordTakesTheSettings) {
  CAbstractClientSettings& s = *settings;
  s.SetUserName(u"user");
  s.SetPassword(u"pw");
  s.SetDomain(u"dom");
  s.SetProgramPath(u"/bin/app");
  s.SetWorkingDir(u"/work");
  s.autoLogon = 1;
  s.colorDepth = 0x110;
  s.encryptionLevel = 2;
  s.useSound = 0;
  s.vorbisSupport = 1;
  s.useWanNetwork = 1;
  s.clipboardShare = 0;
  s.useColorCursor = 1;
  s.dsFormatsSupport = 1;
  s.dxva2Support = 1;
  s.useAudioVideoSynch = 0;
  s.vorbisAudioQuality = 5;
  s.audioThreadPriority = 2;
  s.useAsyncMovieSlotProc = 0;
  s.useUniqueMovieFrames = 3;
  s.vlcVideoDecoderSupport = 0;
  s.useWmpChannelRedirection = 1;
  s.SetInt(u"NameMode", 4);
  s.SetInt(u"MaxKbPerSec", 900);
  s.SetInt(u"FlushCommandState", 6);
  s.SetInt(u"AutoDisconnect", 1);

  auto r = Build();
  struct Field {
    const char* name;
    uint32_t actual, expected;
  } fields[] = {
      {"connectionKind", r->connectionKind, 2},   {"port", r->port, 27605},
      {"minimalSlots", r->minimalSlots, 0},       {"encryptionMode", r->encryptionMode, 3},
      {"encryptionLevel", r->encryptionLevel, 2}, {"keyExchangeWord", r->keyExchangeWord, 0},
      {"autoLogon", r->autoLogon, 1},             {"width", r->width, 1920},
      {"height", r->height, 1080},                {"colorDepth", r->colorDepth, 0x10},
      {"startProgram", r->startProgram, 1},       {"useSound", r->useSound, 0},
      {"vorbisSupport", r->vorbisSupport, 1},     {"useWanNetwork", r->useWanNetwork, 1},
      {"nameMode", r->nameMode, 4},               {"clipboardShare", r->clipboardShare, 0},
      {"useColorCursor", r->useColorCursor, 1},   {"dsFormatsSupport", r->dsFormatsSupport, 1},
      {"dxva2Support", r->dxva2Support, 1},       {"extraDisplayCount", r->extraDisplayCount, 0},
      {"useAudioVideoSynch", r->useAudioVideoSynch, 0},
      {"vorbisAudioQuality", r->vorbisAudioQuality, 5},
      {"audioThreadPriority", r->audioThreadPriority, 2},
      {"maxKbPerSec", r->maxKbPerSec, 900},
      {"dumpTransferEveryMillisec", r->dumpTransferEveryMillisec, 0},
      {"flushCommandState", r->flushCommandState, 6},
      {"dataSlicerMode", r->dataSlicerMode, 0},
      {"useAsyncMovieSlotProc", r->useAsyncMovieSlotProc, 0},
      {"useUniqueMovieFrames", r->useUniqueMovieFrames, 3},
      {"vlcVideoDecoderSupport", r->vlcVideoDecoderSupport, 0},
      {"useWmpChannelRedirection", r->useWmpChannelRedirection, 1},
      {"autoDisconnect", r->autoDisconnect, 1},
  };
  for (const Field& f : fields) EXPECT_EQ(f.expected, f.actual) << f.name;
  EXPECT_EQ(u"user", std::u16string(r->userName));
  EXPECT_EQ(u"pw", std::u16string(r->password));
  EXPECT_EQ(u"dom", std::u16string(r->domain));
  EXPECT_EQ(u"/bin/app", std::u16string(r->programPath));
  EXPECT_EQ(u"/work", std::u16string(r->workingDir));
  EXPECT_EQ(0, r->groupName[0]);
  EXPECT_EQ(0, r->UserDeviceName[0]);

  s.encryptionLevel = 0;
  s.SetProgramPath(u"");
  r = Build();
  EXPECT_EQ(0u, r->encryptionMode);
  EXPECT_EQ(0u, r->startProgram);
}

TEST_F(ConnectionTest, GenericDefaultsAreStoredWhenMissing) {
  settings->SetInt(u"DumpTransferEveryMillisec", 250);
  auto r = Build();
  EXPECT_EQ(0, settings->GetInt(u"MaxKbPerSec", -1));
  EXPECT_EQ(250, settings->GetInt(u"DumpTransferEveryMillisec", -1));
  EXPECT_EQ(250u, r->dumpTransferEveryMillisec);
  std::u16string name;
  EXPECT_TRUE(settings->FindText(u"GenericName", &name));
  EXPECT_EQ(u"Pellum", name);
  settings->SetText(u"GenericName", u"Other");
  Build();
  settings->FindText(u"GenericName", &name);
  EXPECT_EQ(u"Other", name);
}

TEST_F(ConnectionTest, LongPasswordIsCutInsideItsField) {
  std::u16string password(70, u'p');
  settings->SetPassword(password.c_str());
  settings->SetDomain(u"DOMAIN");
  auto r = Build();
  EXPECT_EQ(std::u16string(63, u'p'), std::u16string(r->password));
  EXPECT_EQ(u"DOMAIN", std::u16string(r->domain));
}

// The clear password does not outlive the record in freed memory.
TEST(ConnectionRecord, PasswordIsWipedWhenTheRecordEnds) {
  alignas(CClientConnectionParameter) unsigned char storage[sizeof(CClientConnectionParameter)];
  auto* record = new (storage) CClientConnectionParameter();
  SetFieldText(record->password, kCredentialChars, u"geheim");
  const size_t offset = reinterpret_cast<unsigned char*>(record->password) - storage;
  record->~CClientConnectionParameter();
  const unsigned char* left = storage + offset;
  EXPECT_TRUE(std::all_of(left, left + kCredentialChars * sizeof(WCHAR), [](unsigned char b) { return b == 0; }));
}

TEST_F(ConnectionTest, SecondDisplayLayout) {
  struct Case {
    const char* name;
    int guiMultiMonitor, onLeft, bottom;
    bool forceDual;
    uint32_t extra;
    uint16_t w2, h2;
    int16_t x2, y2;
  } cases[] = {
      {"one display", 0, 0, 0, false, 0, 1280, 1024, 1920, 0},
      {"right of display 1", 1, 0, 0, false, 1, 1280, 1024, 1920, 0},
      {"left of display 1", 1, 1, 0, false, 1, 1280, 1024, -1280, 0},
      {"bottom aligned", 1, 0, 1, false, 1, 1280, 1024, 1920, 56},
      {"forced: both alike", 0, 0, 0, true, 1, 1920, 1080, 1920, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    settings->SetInt(u"GuiMultiMonitor", c.guiMultiMonitor);
    settings->SetInt(u"DualOnLeftSide", c.onLeft);
    settings->SetInt(u"DualBottomAligned", c.bottom);
    api.forceDual = c.forceDual;
    auto r = Build();
    EXPECT_EQ(c.extra, r->extraDisplayCount);
    EXPECT_EQ(c.w2, r->display2Size.width);
    EXPECT_EQ(c.h2, r->display2Size.height);
    EXPECT_EQ(c.x2, r->display2Origin.x);
    EXPECT_EQ(c.y2, r->display2Origin.y);
  }
}

TEST_F(ConnectionTest, ExtraMonitorCount) {
  struct Case {
    int gui, multi;
    bool dual, forced;
    int expected;
  } cases[] = {
      {0, 0, false, false, 0}, {1, 0, false, false, 1}, {5, 0, false, false, 1},
      {0, 0, true, false, 1},  {0, 2, false, false, 1}, {0, 0, false, true, 1},
      // Negative stored values count as unset, never as a count.
      {-3, 0, false, false, 0}, {-1, -7, false, false, 0}, {-1, 0, true, false, 1}, {0, -2, false, true, 1},
  };
  for (const Case& c : cases) {
    settings->SetInt(u"GuiMultiMonitor", c.gui);
    settings->SetInt(u"MultiMonitor", c.multi);
    api.forceDual = c.forced;
    CLaunchOptions launch;
    launch.dual = c.dual ? 1 : 0;
    EXPECT_EQ(c.expected, GetExtraMonitorCount(launch)) << c.gui << " " << c.multi << " " << c.dual;
  }
}

TEST_F(ConnectionTest, FullLaunchFileIsApplied) {
  settings->SetUserName(u"from-settings");
  settings->SetInt(u"GuiMultiMonitor", 1);
  auto r = Build(LaunchWith(kFullLaunchFile), TwoScreens());
  EXPECT_EQ(1600u, r->width);
  EXPECT_EQ(900u, r->height);
  EXPECT_EQ(16u, r->colorDepth);
  EXPECT_EQ(1u, r->extraDisplayCount);
  EXPECT_EQ(1024, r->display2Size.width);
  EXPECT_EQ(768, r->display2Size.height);
  EXPECT_EQ(-1024, r->display2Origin.x);
  EXPECT_EQ(900 - 768, r->display2Origin.y);
  EXPECT_EQ(u"/usr/bin/tool", std::u16string(r->programPath));
  EXPECT_EQ(u"/srv", std::u16string(r->workingDir));
  EXPECT_EQ(u"DOM", std::u16string(r->domain));
  EXPECT_EQ(u"Jürgen", std::u16string(r->userName));
  EXPECT_EQ(u"pässwört", std::u16string(r->password));
  EXPECT_EQ(1u, r->startProgram);
  EXPECT_EQ(1u, r->autoLogon);
  EXPECT_EQ(std::string("device-name-that-is-longer-than"), r->UserDeviceName);  // 31 bytes
  EXPECT_EQ(std::string("http://proxy:3128"), r->proxy_url);
  EXPECT_EQ(1, r->autoDisconnect);
}

TEST_F(ConnectionTest, LaunchFileVariants) {
  struct Case {
    const char* name;
    std::string text;
    QList<QRect> screens;
    bool result;
    uint32_t width, extra;
    uint16_t w2, h2;
    std::u16string user;
  } cases[] = {
      {"no misc: nothing applied",
       R"({"Pellum": {"desktop": {"width": 800, "height": 600, "bitspp": 8}, "server": {"user": "u"}}})",
       OneScreen(), false, 1920, 0, 0, 0, u"settings-user"},
      {"wrong type of width stops at once",
       R"({"Pellum": {"desktop": {"width": "800", "height": 600, "bitspp": 8}, "server": {"user": "u"}, "misc": {}}})",
       OneScreen(), false, 1920, 0, 0, 0, u"settings-user"},
      {"missing bitspp stops after width and height",
       R"({"Pellum": {"desktop": {"width": 800, "height": 600}, "server": {"user": "u"}, "misc": {}}})",
       OneScreen(), false, 800, 0, 0, 0, u"settings-user"},
      {"zero size takes the second screen",
       R"({"Pellum": {"desktop": {"width": 800, "height": 600, "bitspp": 8, "secondary": {"width": 0, "height": 0}},
           "server": {}, "misc": {}}})",
       TwoScreens(), true, 800, 1, 1280, 1024, u""},
      {"secondary on a one-screen machine",
       R"({"Pellum": {"desktop": {"width": 800, "height": 600, "bitspp": 8, "secondary": {"width": 640, "height": 480}},
           "server": {}, "misc": {}}})",
       OneScreen(), true, 800, 0, 0, 0, u""},
      {"secondary of the wrong type",
       R"({"Pellum": {"desktop": {"width": 800, "height": 600, "bitspp": 8, "secondary": [1, 2]},
           "server": {"user": "u"}, "misc": {}}})",
       TwoScreens(), true, 800, 0, 0, 0, u"u"},
      {"secondary number of the wrong type",
       R"({"Pellum": {"desktop": {"width": 800, "height": 600, "bitspp": 8, "secondary": {"width": "640", "height": 480}},
           "server": {"user": "u"}, "misc": {}}})",
       TwoScreens(), true, 800, 0, 0, 0, u"u"},
      {"secondary without a height",
       R"({"Pellum": {"desktop": {"width": 800, "height": 600, "bitspp": 8, "secondary": {"width": 640}},
           "server": {}, "misc": {}}})",
       TwoScreens(), true, 800, 0, 0, 0, u""},
      {"sizes past 16 bits are refused, never cut",
       R"({"Pellum": {"desktop": {"width": 800, "height": -2147483648, "bitspp": 8,
           "secondary": {"width": -2147483648, "height": 2147483647, "at_left": 1, "bottom_aligned": 1}},
           "server": {}, "misc": {}}})",
       TwoScreens(), true, 800, 0, 0, 0, u""},
      {"a width past 16 bits asks for the default display",
       R"({"Pellum": {"desktop": {"width": 65536, "height": 600, "bitspp": 8}, "server": {}, "misc": {}}})",
       OneScreen(), true, 0, 0, 0, 0, u""},
      {"a width past 32 bits stops the reading",
       R"({"Pellum": {"desktop": {"width": 4294966496, "height": 600, "bitspp": 8}, "server": {}, "misc": {}}})",
       OneScreen(), false, 1920, 0, 0, 0, u"settings-user"},
      {"the largest second display",
       R"({"Pellum": {"desktop": {"width": 800, "height": 600, "bitspp": 8,
           "secondary": {"width": 65535, "height": 65535, "at_left": 1}}, "server": {}, "misc": {}}})",
       TwoScreens(), true, 800, 1, 0xFFFF, 0xFFFF, u""},
      {"user of the wrong type clears it",
       R"({"Pellum": {"desktop": {"width": 800, "height": 600, "bitspp": 8}, "server": {"user": 7}, "misc": {}}})",
       OneScreen(), true, 800, 0, 0, 0, u""},
      {"top level is an array", "[1, 2, 3]", OneScreen(), false, 1920, 0, 0, 0, u"settings-user"},
      {"no document (unreadable file)", "", OneScreen(), false, 1920, 0, 0, 0, u"settings-user"},
  };
  settings->SetUserName(u"settings-user");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CClientConnectionParameter record;
    record.width = 1920;
    SetFieldText(record.userName, kCredentialChars, u"settings-user");
    CLaunchOptions launch = LaunchWith(c.text);
    EXPECT_EQ(c.result, ApplyLaunchJson(record, launch.json, c.screens));
    EXPECT_EQ(c.width, record.width);
    EXPECT_EQ(c.extra, record.extraDisplayCount);
    EXPECT_EQ(c.w2, record.display2Size.width);
    EXPECT_EQ(c.h2, record.display2Size.height);
    EXPECT_EQ(c.user, std::u16string(record.userName));
    // The whole build never fails, whatever the file holds.
    Build(launch, c.screens);
  }
}

TEST_F(ConnectionTest, LaunchFileKeepsAutoDisconnectOfTheSettingsWhenAbsent) {
  settings->SetInt(u"AutoDisconnect", 1);
  auto r = Build(LaunchWith(R"({"Pellum": {"desktop": {"width": 1, "height": 1, "bitspp": 8},
                                           "server": {}, "misc": {}}})"));
  EXPECT_EQ(1, r->autoDisconnect);
}

TEST_F(ConnectionTest, ResolveServer) {
  WCHAR server[kFieldChars];
  int group = 99;
  uint32_t port = 0;

  settings->AddServerToHistory(u"history.example");
  ResolveServer(server, &group, &port, CLaunchOptions());
  EXPECT_EQ(u"history.example", std::u16string(server));
  EXPECT_EQ(-1, group);
  EXPECT_EQ(27605u, port);

  settings->AddServerAddressToGroup(u"history.example", u"member");
  ResolveServer(server, &group, &port, CLaunchOptions());
  EXPECT_EQ(0, group);  // the history entry names a group

  ResolveServer(server, &group, &port, LaunchWith(R"({"Pellum": {"server": {"address": "hōst.example"}}})", "-a-only"));
  EXPECT_EQ(u"hōst.example", std::u16string(server));
  EXPECT_EQ(27605u, port);
  EXPECT_EQ(1, api.showCalls);
  EXPECT_TRUE(api.showNormal && api.showSystem);

  ResolveServer(server, &group, &port,
                LaunchWith(R"({"Pellum": {"server": {"address": "x"}, "misc": {"ShowSystemMessages": false}}})",
                           "given.example", "4000abc"));
  EXPECT_EQ(u"given.example", std::u16string(server));
  EXPECT_EQ(4000u, port);
  EXPECT_TRUE(api.showNormal);
  EXPECT_FALSE(api.showSystem);

  ResolveServer(server, &group, &port, LaunchWith("", "a.example", "none"));
  EXPECT_EQ(u"a.example", std::u16string(server));
  EXPECT_EQ(0u, port);

  ResolveServer(server, &group, &port, LaunchWith(""));
  EXPECT_EQ(u"", std::u16string(server));  // unreadable launch file: nothing to connect to
}

TEST_F(ConnectionTest, LaunchFileServerGroup) {
  const char text[] = R"({"Pellum": {"server": {"address": "@", "srvgroup": ["first", "second", "third"]}}})";
  WCHAR server[kFieldChars];
  int group = -1;
  uint32_t port = 0;
  settings->AddServerAddressToGroup(u"AAA", u"other");
  ResolveServer(server, &group, &port, LaunchWith(text));
  EXPECT_EQ(u"RunTimeSrvGroup", std::u16string(server));
  ASSERT_EQ(settings->FindGroupIndex(u"RunTimeSrvGroup"), group);
  ASSERT_GE(group, 0);
  EXPECT_EQ(3, settings->GetServerCount(group));
  EXPECT_EQ(u"third", std::u16string(settings->GetGroupServer(group, 0)));  // tried first
  EXPECT_EQ(u"first", std::u16string(settings->GetGroupServer(group, 2)));
  EXPECT_EQ(1, settings->CopyRecords()[group].transient);
  // A second resolution replaces the group instead of adding to it.
  ResolveServer(server, &group, &port, LaunchWith(text));
  EXPECT_EQ(3, settings->GetServerCount(group));
}

namespace {

// A main window as the switch thread sees it: records the servers asked for
// and answers WaitConnected from a script.
class ScriptedApp : public CAbstractClientApp {
 public:
  explicit ScriptedApp(int outcome, bool blockInWait = false) : outcome_(outcome), block_(blockInWait) {
    CServerSwitchThread::Instance().Start(this);
  }
  ~ScriptedApp() override {
    DetachFromServerSwitch();
    alive_ = 0;  // what a destroyed window's members would look like
  }
  void SwitchToServer(int index) override {
    std::lock_guard<std::mutex> guard(mutex_);
    requested.push_back(index);
  }
  int WaitConnected() override {
    std::unique_lock<std::mutex> guard(mutex_);
    waiting_ = true;
    changed_.notify_all();
    if (block_) changed_.wait(guard, [this] { return released_; });
    EXPECT_EQ(1, alive_) << "called on a destroyed window";
    return outcome_;
  }
  void WaitUntilWaiting() {
    std::unique_lock<std::mutex> guard(mutex_);
    changed_.wait(guard, [this] { return waiting_; });
  }
  void Release() {
    std::lock_guard<std::mutex> guard(mutex_);
    released_ = true;
    changed_.notify_all();
  }
  std::vector<int> Requested() {
    std::lock_guard<std::mutex> guard(mutex_);
    return requested;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<int> requested;
  int outcome_;
  bool block_;
  bool waiting_ = false;
  bool released_ = false;
  volatile int alive_ = 1;
};

class SwitchThreadTest : public ConnectionTest {
 protected:
  void SetUp() override {
    ConnectionTest::SetUp();
    CServerSwitchThread::Instance().SetWaitTimes(5, 0);
    settings->AddServerAddressToGroup(u"Farm", u"s3");
    settings->AddServerAddressToGroup(u"Farm", u"s2");
    settings->AddServerAddressToGroup(u"Farm", u"s1");
  }
  void TearDown() override {
    WaitForEnd();
    CServerSwitchThread::Instance().SetWaitTimes(1000, 500);
  }
  void WaitForEnd() {
    while (CServerSwitchThread::Instance().IsRunning()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  int Farm() { return settings->FindGroupIndex(u"Farm"); }
};

}  // namespace

TEST_F(SwitchThreadTest, FailuresWalkTheWholeGroupOneWindowEach) {
  std::vector<std::unique_ptr<ScriptedApp>> windows;
  windows.push_back(std::make_unique<ScriptedApp>(1));
  ASSERT_EQ(0, CServerSwitchThread::Instance().StartGroup(Farm()));
  for (int attempt = 1; attempt < 3; ++attempt) {
    windows.back()->WaitUntilWaiting();
    // The run loop builds the next main window after the session ended.
    windows.push_back(std::make_unique<ScriptedApp>(1));
  }
  windows.back()->WaitUntilWaiting();
  WaitForEnd();
  for (size_t i = 0; i < windows.size(); ++i)
    EXPECT_EQ(std::vector<int>{static_cast<int>(i)}, windows[i]->Requested()) << i;
  EXPECT_EQ(3, CServerSwitchThread::Instance().currentIndex.load());
}

TEST_F(SwitchThreadTest, SuccessStopsTheWalk) {
  ScriptedApp first(1);
  ASSERT_EQ(0, CServerSwitchThread::Instance().StartGroup(Farm()));
  first.WaitUntilWaiting();
  ScriptedApp second(0);
  second.WaitUntilWaiting();
  WaitForEnd();
  EXPECT_EQ(std::vector<int>{0}, first.Requested());
  EXPECT_EQ(std::vector<int>{1}, second.Requested());
  EXPECT_EQ(2, CServerSwitchThread::Instance().currentIndex.load());

  // A later group connect starts the thread again from the first server.
  ScriptedApp third(0);
  ASSERT_EQ(0, CServerSwitchThread::Instance().StartGroup(Farm()));
  third.WaitUntilWaiting();
  WaitForEnd();
  EXPECT_EQ(std::vector<int>{0}, third.Requested());
}

TEST_F(SwitchThreadTest, WindowDestroyedWhileTheThreadWaits) {
  auto window = std::make_unique<ScriptedApp>(1, true);
  ASSERT_EQ(0, CServerSwitchThread::Instance().StartGroup(Farm()));
  window->WaitUntilWaiting();
  ScriptedApp* raw = window.get();
  std::thread gui([&] { window.reset(); });  // blocks until the thread lets go
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  raw->Release();
  gui.join();
  // The thread dropped the window and waits for the next one.
  ScriptedApp next(0);
  next.WaitUntilWaiting();
  WaitForEnd();
  EXPECT_EQ(std::vector<int>{1}, next.Requested());
}

TEST_F(SwitchThreadTest, EmptyOrUnknownGroupEndsAtOnce) {
  settings->AddGroup(u"Empty", false);
  ScriptedApp window(0);
  for (int group : {settings->FindGroupIndex(u"Empty"), 42, -1}) {
    ASSERT_EQ(0, CServerSwitchThread::Instance().StartGroup(group));
    WaitForEnd();
  }
  EXPECT_TRUE(window.Requested().empty());
}
