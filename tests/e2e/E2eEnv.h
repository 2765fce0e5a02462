// Runs the real pellum program against the test host on a loopback address.
// Each run gets a folder of its own in the build tree: a home with the
// user's profile, the system-scope settings (XDG_CONFIG_DIRS, which Qt's
// settings follow on this platform) and the working directory where the
// program leaves its log and status files. Nothing outside the folder is
// written.
#pragma once

#include <QByteArray>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "../support/LoopbackHost.h"
#include "testhost/DisplayEncoder.h"
#include "testhost/Framing.h"
#include "testhost/HostSession.h"

constexpr uint16_t kProgramPort = 27605;  // the program's default server port
constexpr int kWaitMs = 30000;

class ProgramRun {
 public:
  explicit ProgramRun(const QString& name);
  ~ProgramRun();

  // Values of the default profile, "Group/key" -> value.
  void WriteProfile(const QMap<QString, QVariant>& values);
  // A launch file in the working directory; answers its path.
  QString WriteLaunchFile(const QString& name, const QByteArray& json);

  // Another copy of the program than the build's own.
  void UseProgram(const QString& path) { program_ = path; }
  void Start(const QStringList& arguments, const QMap<QString, QString>& environment = {});
  // Standard output goes to a terminal (a pseudo-terminal the run reads).
  void StartOnTerminal(const QStringList& arguments);
  // False when the program did not end in time (it is killed then).
  bool WaitFinished(int* exitCode, int timeoutMs = kWaitMs);
  // The same, but the program goes on running after the time.
  bool PollFinished(int* exitCode, int timeoutMs);
  bool Running() const { return process_.state() != QProcess::NotRunning; }
  // Sends the program a signal (SIGTERM, SIGINT...).
  void Signal(int signal);
  QByteArray Output();  // standard output so far
  QByteArray Errors() const;  // standard error so far
  QString WorkFile(const QString& name) const { return work_ + "/" + name; }
  // A file in the run's home (the program's HOME).
  QString HomeFile(const QString& name) const { return root_ + "/home/" + name; }
  QByteArray ReadWorkFile(const QString& name) const;
  bool WorkFileExists(const QString& name) const;

 private:
  QProcessEnvironment Environment(const QMap<QString, QString>& extra) const;

  QString root_;
  QString work_;
  QString config_;
  QString program_ = QStringLiteral(PELLUM_BIN_DIR "/pellum");
  QProcess process_;
  int terminal_ = -1;
  QByteArray terminalOutput_;
};

// A picture of many colours and sharp edges, lossless through the encoder.
testhost::RgbImage TestPicture(int width, int height, int seed);
// Writes the picture as a binary PPM into the run's folder for the host to
// paint: its path, or empty when it could not be written.
QString WritePpm(const ProgramRun& run, const QString& name, const testhost::RgbImage& picture);

// The host's side of one session: accept, handshake, paint, record.
class PaintingHost {
 public:
  bool Listen(const char* address, uint16_t port = kProgramPort);
  uint16_t Port() const { return listener_.Port(); }
  // False with the reason in Error().
  bool AcceptAndHandshake(bool encrypted, int timeoutMs = kWaitMs);
  // From the handshake on, the host reads nothing the client sends.
  void StopReadingAfterHandshake() { stopReading_ = true; }
  // Echo requests whose replies pile up in the client while the host does
  // not read.
  bool SendEchoes(int count);
  // The slot ids of the hello's slot table, in table order, by name.
  std::vector<uint16_t> Slots(const char* name) const;
  bool Paint(uint16_t slot, const testhost::RgbImage& image);
  // One payload on the slot, as the server sends it.
  bool SendOnSlot(uint16_t slot, const std::vector<uint8_t>& payload) { return session_->SendSlot(slot, payload); }
  // The first recorded frame on the slot, from message index `from` on,
  // whose opened body equals the bytes.
  bool WaitForSlotData(uint16_t slot, const std::vector<uint8_t>& body, size_t* index = nullptr, size_t from = 0,
                       int timeoutMs = 10000);
  // The first recorded message from index `from` on that matches.
  bool WaitFor(const std::function<bool(const testhost::HostMessage&)>& match, int timeoutMs = kWaitMs,
               size_t from = 0) {
    return session_->WaitFor(match, timeoutMs, nullptr, from);
  }
  std::vector<testhost::HostMessage> Messages() { return session_->Messages(); }
  void Hangup();
  const std::string& Error() const { return error_; }
  const testhost::HandshakeReport& Report() const { return report_; }
  // The session after AcceptAndHandshake, for modules that play more of the
  // server's side (the browser extension).
  testhost::HostSession* Session() { return session_.get(); }

 private:
  testhost::Listener listener_;
  std::unique_ptr<testhost::FramedPeer> peer_;
  std::unique_ptr<testhost::HostSession> session_;
  testhost::HandshakeReport report_;
  std::vector<std::unique_ptr<testhost::DisplayEncoder>> encoders_;
  std::string error_;
  bool stopReading_ = false;
};

// JSON text of a launch file: one display (and a second one when its size
// is given), the server address, the three objects the file needs.
QByteArray LaunchJson(const char* address, int width, int height, int secondWidth = 0, int secondHeight = 0);
