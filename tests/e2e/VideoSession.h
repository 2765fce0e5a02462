// The session of the e2e video tests: the real program connects at once to
// the test host, one 640×480 display in a window, and ends when the host
// hangs up and its main window is closed.
#pragma once

#include <gtest/gtest.h>

#include <QMap>
#include <QString>
#include <QVariant>
#include <string>

#include "E2eEnv.h"
#include "XDesktop.h"
#include "testhost/DiscoveryResponder.h"

constexpr char kVideoProduct[] = "Kelvane Vesk Client for Windows";

inline bool IsVideoSessionWindow(const XWindowInfo& w) { return w.title.find(" @ ") != std::string::npos; }

// Starts the program against `address`, its profile with `extra` values.
inline void StartVideoSession(ProgramRun& run, testhost::DiscoveryResponder& responder, const char* address,
                              const QMap<QString, QVariant>& extra = {}) {
  QMap<QString, QVariant> profile{{"AutoLoginOptions/autoConnect", 1},
                                  {"ScreenOptions/fullScreen", 0},
                                  {"ScreenOptions/autoDetectAudioVideo", 0},
                                  {"ScreenOptions/width__0", 640},
                                  {"ScreenOptions/height__0", 480}};
  for (auto it = extra.begin(); it != extra.end(); ++it) profile.insert(it.key(), it.value());
  run.WriteProfile(profile);
  ASSERT_TRUE(responder.Start("127.0.0.1"));
  run.Start({"-ip", address},
            {{"PELLUM_TEST_DISCOVERY",
              QStringLiteral("%1:%2").arg(responder.ListPort()).arg(responder.ServerPort())}});
}

// The host hangs up, the main window comes back, and closing it ends the
// program normally.
inline void EndVideoSession(PaintingHost& host, ProgramRun& run, XDesktop& x) {
  host.Hangup();
  ASSERT_TRUE(x.WaitWithoutWindow(IsVideoSessionWindow, kWaitMs));
  XWindowInfo main;
  ASSERT_TRUE(x.WaitForWindow([](const XWindowInfo& w) { return w.title.rfind(kVideoProduct, 0) == 0; }, &main,
                              kWaitMs));
  x.Close(main);
  int exitCode = -1;
  ASSERT_TRUE(run.WaitFinished(&exitCode));
  EXPECT_EQ(exitCode, 0);
}
