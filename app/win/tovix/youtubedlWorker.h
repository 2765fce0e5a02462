// Asks youtube-dl, on the player's worker thread, for the formats of a web
// page. youtube-dl is started with an argument list, never through a
// shell, so nothing in a page address can become a command.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <atomic>
#include <memory>

class youtubedlWorker : public QObject {
  Q_OBJECT

 public:
  static constexpr int kDefaultTimeLimitMs = 30000;

  // abort: set by the owner to end a lookup in progress early.
  explicit youtubedlWorker(std::shared_ptr<std::atomic<bool>> abort, int timeLimitMs = kDefaultTimeLimitMs);

  // The arguments for one page: "-j -s --no-check-certificate", the proxy
  // as its own argument when there is one, then "--" and the address.
  static QStringList lookupArguments(const QString& pageUrl, const QString& proxyUrl);

 public slots:
  // Runs youtube-dl with the arguments and emits urlReady with its
  // standard output, white space collapsed; empty when it is missing,
  // fails or prints nothing. After the time limit what it printed so far
  // is used.
  void findRealUrl(const QStringList& arguments);

 signals:
  void urlReady(const QString& url);

 private:
  std::shared_ptr<std::atomic<bool>> abort_;
  const int timeLimitMs_;
};
