// An H.264 clip in MP4 made by the ffmpeg program from one of its lavfi
// sources, for the players that need a real file.
#pragma once

#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <string>

// Empty on success, else why it failed.
inline std::string MakeFfmpegClip(const QString& path, const QString& source, int seconds) {
  const QString ffmpeg = QStandardPaths::findExecutable("ffmpeg");
  if (ffmpeg.isEmpty()) return "no ffmpeg on PATH";
  QProcess make;
  make.start(ffmpeg, {"-v", "error", "-f", "lavfi", "-i", source, "-t", QString::number(seconds), "-pix_fmt",
                      "yuv420p", "-c:v", "libx264", "-y", path});
  if (!make.waitForFinished(120000)) return "ffmpeg did not finish";
  if (make.exitCode() != 0) return "ffmpeg failed: " + make.readAllStandardError().toStdString();
  return std::string();
}
