#include "tovix/youtubedlWorker.h"

#include <QElapsedTimer>
#include <QProcess>

namespace {

constexpr int kWaitSliceMs = 100;

}  // namespace

youtubedlWorker::youtubedlWorker(std::shared_ptr<std::atomic<bool>> abort, int timeLimitMs)
    : abort_(std::move(abort)), timeLimitMs_(timeLimitMs) {}

QStringList youtubedlWorker::lookupArguments(const QString& pageUrl, const QString& proxyUrl) {
  QStringList arguments{"-j", "-s", "--no-check-certificate"};
  if (!proxyUrl.isEmpty()) arguments << "--proxy" << proxyUrl;
  arguments << "--" << pageUrl;
  return arguments;
}

void youtubedlWorker::findRealUrl(const QStringList& arguments) {
  QProcess process;
  process.setProcessChannelMode(QProcess::SeparateChannels);
  process.start(QStringLiteral("youtube-dl"), arguments, QIODevice::ReadWrite);
  QByteArray output;
  if (process.waitForStarted()) {
    process.closeWriteChannel();
    QElapsedTimer clock;
    clock.start();
    // In slices, so that a player going away does not wait out the limit.
    while (!process.waitForFinished(kWaitSliceMs)) {
      if (process.state() == QProcess::NotRunning) break;
      if (clock.elapsed() >= timeLimitMs_ || (abort_ && abort_->load())) break;
    }
    output = process.readAllStandardOutput();
    if (process.state() != QProcess::NotRunning) {
      process.kill();
      process.waitForFinished();
    }
  }
  emit urlReady(QString::fromUtf8(output).simplified());
}
