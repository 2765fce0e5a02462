#include "FakeYoutubeDl.h"

#include <QFile>
#include <cstdlib>

FakeYoutubeDl::FakeYoutubeDl() : oldPath_(qgetenv("PATH")) {
  QFile script(dir_.filePath("youtube-dl"));
  script.open(QIODevice::WriteOnly);
  script.write(
      "#!/bin/sh\n"
      "here=$(dirname \"$0\")\n"
      "for a in \"$@\"; do printf '%s\\n' \"$a\" >> \"$here/calls\"; done\n"
      "printf -- '--end\\n' >> \"$here/calls\"\n"
      "cat \"$here/output\" 2>/dev/null\n"
      "exit 0\n");
  script.close();
  script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  qputenv("PATH", dir_.path().toLocal8Bit() + ":" + oldPath_);
}

FakeYoutubeDl::~FakeYoutubeDl() { qputenv("PATH", oldPath_); }

void FakeYoutubeDl::SetOutput(const QByteArray& output) {
  QFile file(dir_.filePath("output"));
  file.open(QIODevice::WriteOnly);
  file.write(output);
}

QList<QStringList> FakeYoutubeDl::Calls() const {
  QFile file(dir_.filePath("calls"));
  QList<QStringList> calls;
  if (!file.open(QIODevice::ReadOnly)) return calls;
  QStringList current;
  for (const QByteArray& line : file.readAll().split('\n')) {
    if (line == "--end") {
      calls.push_back(current);
      current.clear();
    } else if (!line.isEmpty()) {
      current.push_back(QString::fromUtf8(line));
    }
  }
  return calls;
}
