// The test host's clipboard server on the channel slot of a painting host's
// session.
#pragma once

#include <gtest/gtest.h>

#include <QMap>
#include <QString>
#include <QVariant>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "E2eEnv.h"
#include "testhost/ClipboardServer.h"

inline testhost::cliprdr::ClipboardServer ServerOn(PaintingHost& host, uint16_t slot) {
  using Bytes = std::vector<uint8_t>;
  return testhost::cliprdr::ClipboardServer(
      [&host, slot](const Bytes& payload) { return host.SendOnSlot(slot, payload); },
      [&host, slot] {
        std::vector<Bytes> payloads;
        for (const testhost::HostMessage& m : host.Messages())
          if (m.header.slot == slot && m.code == 0) payloads.push_back(m.body);
        return payloads;
      });
}

// A session to the host at LoopbackHost(n) with these profile values (on a
// display of width x height); the clipboard channel's slot in *slot.
inline void StartClipboardSession(PaintingHost& host, ProgramRun& run, int n, const QMap<QString, QVariant>& profile,
                                  uint16_t* slot, int width = 640, int height = 480) {
  ASSERT_TRUE(host.Listen(LoopbackHost(n), 0)) << strerror(errno);
  QMap<QString, QVariant> values = profile;
  values["ScreenOptions/fullScreen"] = 0;
  values["ScreenOptions/autoDetectAudioVideo"] = 0;
  run.WriteProfile(values);
  const QString launch = run.WriteLaunchFile("session.json", LaunchJson(LoopbackHost(n), width, height));
  run.Start({"-x", launch, "-a", LoopbackHost(n), "-p", QString::number(host.Port())});
  ASSERT_TRUE(host.AcceptAndHandshake(true)) << host.Error();
  const std::vector<uint16_t> channelSlots = host.Slots("MSVCEXT ");
  ASSERT_EQ(channelSlots.size(), 1u);
  *slot = channelSlots[0];
}

// The host hangs up and the program ends with its lost-connection code.
inline void HangUpAndEnd(PaintingHost& host, ProgramRun& run) {
  host.Hangup();
  int exitCode = -1;
  ASSERT_TRUE(run.WaitFinished(&exitCode));
  EXPECT_EQ(exitCode, 6);
}
