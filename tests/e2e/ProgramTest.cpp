// The pellum program as a whole, without a display (Qt's offscreen
// platform): its test modes, the help on a terminal, launch-file mode with
// and without the status file, "exitOnDisconnect" and an end by signal.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "E2eEnv.h"
#include "testhost/DiscoveryResponder.h"
#include "testhost/Framing.h"

namespace {

const QByteArray kSilentOutput = "STARTING SILENT TEST\nOK OK OK OK OK OK OK OK OK OK OK \n";

}  // namespace

TEST(Program, TestModes) {
  struct Case {
    QStringList arguments;
    int exitCode;
    QByteArray output;  // what standard output starts with
  };
  const Case cases[] = {
      {{"-test", "silent"}, 0, kSilentOutput},
      {{"-test", "silentwithconsole"}, 0, kSilentOutput},
      {{"-test", "Silent"}, 255, "Invalid -test parameter( \"normal\", \"silent\", \"silentwithconsole\""},
      // "-no-test" wins; the missing profile then ends the run without a
      // window.
      {{"-no-test", "-test", "silent", "-s", "Nowhere"}, 0, "Kelvane Vesk Client Version 2.5.0.2\nCannot open"},
      // "-test" last counts as "normal".
      {{"-s", "Nowhere", "-test"}, 0, "Kelvane Vesk Client Version 2.5.0.2\nCannot open settings file : Nowhere\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments.join(' ').toStdString());
    ProgramRun run("test-modes");
    run.Start(c.arguments);
    int exitCode = 0;
    ASSERT_TRUE(run.WaitFinished(&exitCode));
    EXPECT_EQ(exitCode, c.exitCode);
    EXPECT_TRUE(run.Output().startsWith(c.output));
  }
}

TEST(Program, HelpFromATerminalEndsTheProgram) {
  ProgramRun run("help");
  run.StartOnTerminal({"-h"});
  int exitCode = -1;
  ASSERT_TRUE(run.WaitFinished(&exitCode));
  EXPECT_EQ(exitCode, 0);
  const QByteArray output = run.Output().replace("\r\n", "\n");
  EXPECT_TRUE(output.contains("-h\t\t Display help message.\n-ip\t\t Server IP address .\n")) << output.toStdString();
}

TEST(Program, LaunchFileModeEndsAfterTheSessionWithItsStatus) {
  PaintingHost host;
  ASSERT_TRUE(host.Listen(LoopbackHost(31), 0)) << strerror(errno);
  ProgramRun run("launch");
  run.WriteProfile({{"ScreenOptions/fullScreen", 0}, {"ScreenOptions/autoDetectAudioVideo", 0}});
  const QString launch = run.WriteLaunchFile("session.json", LaunchJson(LoopbackHost(31), 640, 480));
  run.Start({"-x", launch, "-a", LoopbackHost(31), "-p", QString::number(host.Port())});
  ASSERT_TRUE(host.AcceptAndHandshake(true)) << host.Error();
  ASSERT_FALSE(host.Slots("HPVCARD ").empty());
  ASSERT_TRUE(host.Paint(host.Slots("HPVCARD ")[0], TestPicture(640, 480, 1)));
  host.Hangup();

  int exitCode = -1;
  ASSERT_TRUE(run.WaitFinished(&exitCode));
  // The status file: compact JSON, "log" then "status", the status being
  // the final connection state the program also returns.
  const QByteArray status = run.ReadWorkFile("session.json.status");
  ASSERT_FALSE(status.isEmpty());
  const QJsonObject document = QJsonDocument::fromJson(status).object();
  EXPECT_EQ(QJsonDocument(document).toJson(QJsonDocument::Compact), status);
  EXPECT_TRUE(status.startsWith("{\"log\":[")) << status.toStdString();
  ASSERT_TRUE(document.value("status").isDouble());
  EXPECT_EQ(document.value("status").toInt(), exitCode);
  EXPECT_EQ(exitCode, 6);  // "Disconnected": the host hung up
  const QJsonArray log = document.value("log").toArray();
  ASSERT_FALSE(log.isEmpty());
  for (const QJsonValue& line : log) EXPECT_TRUE(line.isString());
  EXPECT_TRUE(status.contains("Connecting")) << status.toStdString();
  EXPECT_FALSE(run.WorkFileExists("Simple.Log"));
  EXPECT_TRUE(run.ReadWorkFile("pellum_system.log").contains("Started"));
  // Nothing went wrong: the console stays quiet.
  EXPECT_EQ(run.Errors().toStdString(), "");
}

// A server nobody answers for: the reason reaches the console once, also
// without the debug output (and in a box the user closes).
TEST(Program, ARefusedConnectionIsReportedOnStderrOnce) {
  testhost::Listener closed;
  ASSERT_TRUE(closed.Listen(LoopbackHost(36), 0)) << strerror(errno);
  const uint16_t port = closed.Port();
  closed.Close();
  ProgramRun run("refused");
  const QString launch = run.WriteLaunchFile("session.json", LaunchJson(LoopbackHost(36), 640, 480));
  run.Start({"-x", launch, "-a", LoopbackHost(36), "-p", QString::number(port)});
  const std::string expected = "pellum: Cannot connect to server \"" + std::string(LoopbackHost(36)) + "\"\n";
  for (int waited = 0; waited < kWaitMs && run.Errors().isEmpty() && run.Running(); waited += 100) QThread::msleep(100);
  // The box waits for its user; a little longer shows no second line.
  int exitCode = -1;
  run.PollFinished(&exitCode, 1000);
  EXPECT_EQ(run.Errors().toStdString(), expected);
}

// A host that takes the connection and never answers: the handshake gives
// up after its step time, and the launch-file run ends with a time-out
// status instead of waiting for ever.
TEST(Program, ASilentHostEndsTheLaunchFileRunAsATimeout) {
  testhost::Listener silent;
  ASSERT_TRUE(silent.Listen(LoopbackHost(34), 0)) << strerror(errno);
  ProgramRun run("launch-silent");
  const QString launch = run.WriteLaunchFile("session.json", LaunchJson(LoopbackHost(34), 640, 480));
  run.Start({"-x", launch, "-a", LoopbackHost(34), "-p", QString::number(silent.Port())});
  std::unique_ptr<testhost::FramedPeer> peer = silent.Accept(kWaitMs);
  ASSERT_TRUE(peer);
  int exitCode = -1;
  ASSERT_TRUE(run.WaitFinished(&exitCode, 120000));
  EXPECT_EQ(exitCode, 7);  // "Timeout"
  const QJsonObject document = QJsonDocument::fromJson(run.ReadWorkFile("session.json.status")).object();
  EXPECT_EQ(document.value("status").toInt(), 7);
}

// Ctrl-C or SIGTERM during a session ends it as closing its window does:
// the server sees the client go, the launch-file run leaves its status and
// returns the final state.
TEST(Program, ATerminateSignalEndsTheSessionAsClosingItsWindowDoes) {
  for (const int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    PaintingHost host;
    ASSERT_TRUE(host.Listen(LoopbackHost(35), 0)) << strerror(errno);
    ProgramRun run(QStringLiteral("signal-%1").arg(signal));
    run.WriteProfile({{"ScreenOptions/fullScreen", 0}, {"ScreenOptions/autoDetectAudioVideo", 0}});
    const QString launch = run.WriteLaunchFile("session.json", LaunchJson(LoopbackHost(35), 640, 480));
    run.Start({"-x", launch, "-a", LoopbackHost(35), "-p", QString::number(host.Port())});
    ASSERT_TRUE(host.AcceptAndHandshake(true)) << host.Error();
    ASSERT_TRUE(host.Paint(host.Slots("HPVCARD ")[0], TestPicture(640, 480, 3)));

    run.Signal(signal);
    EXPECT_TRUE(host.Session()->WaitClientClosed(kWaitMs));
    int exitCode = -1;
    ASSERT_TRUE(run.WaitFinished(&exitCode));
    const QJsonObject document = QJsonDocument::fromJson(run.ReadWorkFile("session.json.status")).object();
    ASSERT_TRUE(document.value("status").isDouble());
    EXPECT_EQ(document.value("status").toInt(), exitCode);
    EXPECT_EQ(exitCode, 6);  // "Disconnected", as after a close of the window
  }
}

TEST(Program, WithoutSaveEngineLogTheResultIsTheEventLoops) {
  PaintingHost host;
  ASSERT_TRUE(host.Listen(LoopbackHost(32), 0)) << strerror(errno);
  ProgramRun run("launch-nolog");
  run.WriteProfile({{"Generic/SaveEngineLog", false}});
  const QString launch = run.WriteLaunchFile("session.json", LaunchJson(LoopbackHost(32), 640, 480));
  run.Start({"-x", launch, "-a", LoopbackHost(32), "-p", QString::number(host.Port())});
  ASSERT_TRUE(host.AcceptAndHandshake(true)) << host.Error();
  host.Hangup();
  int exitCode = -1;
  ASSERT_TRUE(run.WaitFinished(&exitCode));
  EXPECT_EQ(exitCode, 0);
  EXPECT_FALSE(run.WorkFileExists("session.json.status"));
  EXPECT_FALSE(run.WorkFileExists("Simple.Log"));
}

TEST(Program, ExitOnDisconnectEndsTheProgramAfterAnAutomaticSession) {
  // The first start searches for servers: the search goes to a responder
  // on a loopback address.
  testhost::DiscoveryResponder responder;
  responder.SetName(u"LoopbackHost");
  ASSERT_TRUE(responder.Start("127.0.0.1"));
  PaintingHost host;
  ASSERT_TRUE(host.Listen(LoopbackHost(33))) << strerror(errno);
  ProgramRun run("exit-on-disconnect");
  run.WriteProfile({{"AutoLoginOptions/autoConnect", 1},
                    {"AutoLoginOptions/exitOnDisconnect", 1},
                    {"AutoLoginOptions/encryptionLevel", 0}});
  run.Start({"-ip", LoopbackHost(33)}, {{"PELLUM_TEST_DISCOVERY", QStringLiteral("%1:%2")
                                                                 .arg(responder.ListPort())
                                                                 .arg(responder.ServerPort())}});
  ASSERT_TRUE(host.AcceptAndHandshake(false)) << host.Error();
  EXPECT_TRUE(responder.WaitForProbes(1, 1, kWaitMs));
  host.Hangup();
  int exitCode = -1;
  ASSERT_TRUE(run.WaitFinished(&exitCode));
  EXPECT_EQ(exitCode, 0);
  // Not in launch-file mode: the status goes to Simple.Log.
  const QJsonObject document = QJsonDocument::fromJson(run.ReadWorkFile("Simple.Log")).object();
  EXPECT_EQ(document.value("status").toInt(), 6);
}

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
