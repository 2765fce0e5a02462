#include "E2eEnv.h"

#include <csignal>

#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <string>

#include <QDir>
#include <QFile>
#include <QSettings>

namespace {

constexpr size_t kDisplayBlockBytes = 796;
constexpr size_t kCacheSizeAt = 0x260;
constexpr uint32_t kDefaultCacheBytes = 0x0C000000;

}  // namespace

ProgramRun::ProgramRun(const QString& name) {
  QDir base(QStringLiteral(PELLUM_E2E_RUN_DIR));
  base.mkpath(".");
  root_ = base.filePath(name + "-" + QString::number(getpid()));
  QDir(root_).removeRecursively();
  work_ = root_ + "/work";
  config_ = root_ + "/home/.config";
  for (const QString& dir : {work_, config_, root_ + "/etc-xdg", root_ + "/run"}) QDir().mkpath(dir);
  QFile::setPermissions(root_ + "/run", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  process_.setWorkingDirectory(work_);
  process_.setProcessChannelMode(QProcess::SeparateChannels);
  process_.setStandardErrorFile(root_ + "/stderr.txt");
}

ProgramRun::~ProgramRun() {
  if (process_.state() != QProcess::NotRunning) {
    process_.kill();
    process_.waitForFinished(5000);
  }
  if (terminal_ >= 0) close(terminal_);
  if (qgetenv("PELLUM_E2E_KEEP").isEmpty()) QDir(root_).removeRecursively();
}

void ProgramRun::WriteProfile(const QMap<QString, QVariant>& values) {
  QSettings profile(config_ + "/Vantorel/Vesk/Default.ini", QSettings::IniFormat);
  for (auto it = values.begin(); it != values.end(); ++it) profile.setValue(it.key(), it.value());
}

QString ProgramRun::WriteLaunchFile(const QString& name, const QByteArray& json) {
  QFile file(WorkFile(name));
  if (file.open(QIODevice::WriteOnly)) file.write(json);
  return file.fileName();
}

QProcessEnvironment ProgramRun::Environment(const QMap<QString, QString>& extra) const {
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("HOME", root_ + "/home");
  environment.insert("XDG_CONFIG_HOME", config_);
  environment.insert("XDG_CONFIG_DIRS", root_ + "/etc-xdg");
  // Copies of the program number themselves through locks in the runtime
  // folder: a run of its own keeps tests that run side by side from seeing
  // each other's copies.
  environment.insert("XDG_RUNTIME_DIR", root_ + "/run");
  // No suppression file: the program must end clean with the ones it
  // carries itself.
  environment.insert("LSAN_OPTIONS", QStringLiteral("print_suppressions=0"));
  environment.remove("PELLUM_TEST_DISCOVERY");
  for (auto it = extra.begin(); it != extra.end(); ++it) environment.insert(it.key(), it.value());
  return environment;
}

void ProgramRun::Start(const QStringList& arguments, const QMap<QString, QString>& environment) {
  process_.setProcessEnvironment(Environment(environment));
  process_.start(program_, arguments);
  process_.waitForStarted(kWaitMs);
}

void ProgramRun::StartOnTerminal(const QStringList& arguments) {
  int slave = -1;
  char name[256] = {};
  if (openpty(&terminal_, &slave, name, nullptr, nullptr) != 0) return;
  close(slave);
  fcntl(terminal_, F_SETFL, fcntl(terminal_, F_GETFL) | O_NONBLOCK);
  process_.setStandardOutputFile(QString::fromLocal8Bit(name));
  Start(arguments);
}

bool ProgramRun::WaitFinished(int* exitCode, int timeoutMs) {
  if (PollFinished(exitCode, timeoutMs)) return true;
  process_.kill();
  process_.waitForFinished(5000);
  return false;
}

QByteArray ProgramRun::Errors() const {
  QFile file(root_ + "/stderr.txt");
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void ProgramRun::Signal(int signal) {
  if (process_.state() != QProcess::NotRunning) kill(static_cast<pid_t>(process_.processId()), signal);
}

bool ProgramRun::PollFinished(int* exitCode, int timeoutMs) {
  if (process_.state() != QProcess::NotRunning && !process_.waitForFinished(timeoutMs)) return false;
  if (exitCode != nullptr) *exitCode = process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1000;
  return true;
}

QByteArray ProgramRun::Output() {
  if (terminal_ < 0) return process_.readAllStandardOutput();
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(terminal_, buffer, sizeof buffer);
    if (n <= 0) break;
    terminalOutput_.append(buffer, static_cast<int>(n));
  }
  return terminalOutput_;
}

QByteArray ProgramRun::ReadWorkFile(const QString& name) const {
  QFile file(WorkFile(name));
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool ProgramRun::WorkFileExists(const QString& name) const { return QFile::exists(WorkFile(name)); }

QString WritePpm(const ProgramRun& run, const QString& name, const testhost::RgbImage& picture) {
  const QString path = run.WorkFile(name);
  QFile ppm(path);
  if (!ppm.open(QIODevice::WriteOnly)) return QString();
  const QByteArray header = QStringLiteral("P6\n%1 %2\n255\n").arg(picture.width).arg(picture.height).toLatin1();
  const qint64 size = qint64(picture.rgb.size());
  if (ppm.write(header) != header.size() || ppm.write(reinterpret_cast<const char*>(picture.rgb.data()), size) != size)
    return QString();
  return path;
}

testhost::RgbImage TestPicture(int width, int height, int seed) {
  testhost::RgbImage image;
  image.width = width;
  image.height = height;
  image.rgb.resize(static_cast<size_t>(width) * height * 3);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      uint8_t* p = &image.rgb[(static_cast<size_t>(y) * width + x) * 3];
      // Bands of flat colour, a ramp and a checker, so that every tile
      // kind of the encoder is used and a wrong row or column shows.
      if ((x / 40 + y / 30 + seed) % 3 == 0) {
        p[0] = static_cast<uint8_t>(x * 255 / width);
        p[1] = static_cast<uint8_t>(y * 255 / height);
        p[2] = static_cast<uint8_t>(64 * seed + 30);
      } else if ((x / 40 + y / 30) % 3 == 1) {
        const bool on = ((x / 4) + (y / 4)) % 2 == 0;
        p[0] = on ? 250 : 20;
        p[1] = on ? 240 : static_cast<uint8_t>(40 + 50 * seed);
        p[2] = on ? 10 : 200;
      } else {
        p[0] = static_cast<uint8_t>(30 + 70 * seed);
        p[1] = 160;
        p[2] = 90;
      }
    }
  }
  return image;
}

bool PaintingHost::Listen(const char* address, uint16_t port) { return listener_.Listen(address, port); }

bool PaintingHost::AcceptAndHandshake(bool encrypted, int timeoutMs) {
  peer_ = listener_.Accept(timeoutMs);
  if (!peer_) {
    error_ = "no client connected";
    return false;
  }
  session_ = std::make_unique<testhost::HostSession>(peer_.get());
  testhost::HandshakeOptions options;
  options.encrypted = encrypted;
  options.stopReading = stopReading_;
  // The tile-cache size the encoder's model of the client assumes.
  options.displayBlock.assign(kDisplayBlockBytes, 0);
  for (int i = 0; i < 4; ++i) options.displayBlock[kCacheSizeAt + i] = uint8_t(kDefaultCacheBytes >> (8 * i));
  if (!session_->Handshake(options, &report_, timeoutMs)) {
    error_ = "handshake failed: " + report_.error;
    return false;
  }
  session_->StartReader();
  session_->StartKeepAlive(1000);
  return true;
}

std::vector<uint16_t> PaintingHost::Slots(const char* name) const {
  std::vector<uint16_t> ids;
  for (size_t i = 0; i < report_.slotTable.size(); ++i)
    if (report_.slotTable[i].name == name) ids.push_back(static_cast<uint16_t>(i));
  return ids;
}

bool PaintingHost::Paint(uint16_t slot, const testhost::RgbImage& image) {
  encoders_.push_back(std::make_unique<testhost::DisplayEncoder>());
  testhost::PaintOptions options;
  options.alignContainers = true;
  for (const testhost::Packet& packet : encoders_.back()->Paint(image, options))
    if (!session_->SendSlot(slot, packet)) return false;
  return true;
}

bool PaintingHost::WaitForSlotData(uint16_t slot, const std::vector<uint8_t>& body, size_t* index, size_t from,
                                   int timeoutMs) {
  auto matches = [&](const testhost::HostMessage& m) { return m.header.slot == slot && m.body == body; };
  if (!session_->WaitFor(matches, timeoutMs, nullptr, from)) return false;
  // The recording only grows, so the match is still where it was found.
  const std::vector<testhost::HostMessage> all = session_->Messages();
  for (size_t i = from; i < all.size(); ++i) {
    if (matches(all[i])) {
      if (index != nullptr) *index = i;
      return true;
    }
  }
  return false;
}

bool PaintingHost::SendEchoes(int count) {
  // The largest echo the client answers in full.
  const std::vector<uint8_t> payload(296, 0xEC);
  for (int i = 0; i < count; ++i)
    if (!session_->SendEcho(payload)) return false;
  return true;
}

void PaintingHost::Hangup() {
  if (session_) session_->Stop();
}

QByteArray LaunchJson(const char* address, int width, int height, int secondWidth, int secondHeight) {
  QByteArray desktop = QStringLiteral("\"width\": %1, \"height\": %2, \"bitspp\": 24").arg(width).arg(height).toUtf8();
  if (secondWidth > 0)
    desktop += QStringLiteral(", \"secondary\": {\"width\": %1, \"height\": %2}").arg(secondWidth).arg(secondHeight).toUtf8();
  return "{\"Pellum\": {\"desktop\": {" + desktop + "}, \"server\": {\"address\": \"" + QByteArray(address) +
         "\"}, \"misc\": {}}}";
}
