// A youtube-dl of the test's own, first on PATH while the object lives: it
// appends its arguments (one per line, then a line "--end") to a file and
// prints the contents of another file, empty unless the test writes it.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

class FakeYoutubeDl {
 public:
  FakeYoutubeDl();
  ~FakeYoutubeDl();

  void SetOutput(const QByteArray& output);
  // The argument lists of every call so far.
  QList<QStringList> Calls() const;
  QString Dir() const { return dir_.path(); }

 private:
  QTemporaryDir dir_;
  QByteArray oldPath_;
};
