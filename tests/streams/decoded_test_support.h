// Doubles for the decoded stream kinds: a session port whose real Qt
// surface records the keyed drawing calls it takes, and picture helpers.
#pragma once

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "display/SurfacePlane.h"
#include "qt/QtDoubleBufferSurfaceKeeper.h"
#include "../support/FakeSlotPort.h"
#include "testhost/DisplayEncoder.h"

// Draws like the Qt surface and notes each keyed call as
// "copy|stretch width height bytes key".
class RecordingKeeper : public CQtDoubleBufferSurfaceKeeper {
 public:
  void BitBltKeyed(int x, int y, int width, int height, int bytes, const BYTE* pixels,
                   int key) override {
    Note("copy", width, height, bytes, key);
    CQtDoubleBufferSurfaceKeeper::BitBltKeyed(x, y, width, height, bytes, pixels, key);
  }
  void StretchBltKeyed(int width, int height, const RECT& rect, int bytes, const BYTE* pixels,
                       int key) override {
    Note("stretch", width, height, bytes, key);
    CQtDoubleBufferSurfaceKeeper::StretchBltKeyed(width, height, rect, bytes, pixels, key);
  }
  std::vector<std::string> calls;

 private:
  void Note(const char* what, int w, int h, int bytes, int key) {
    calls.push_back(std::string(what) + " " + std::to_string(w) + " " + std::to_string(h) + " " +
                    std::to_string(bytes) + " " + std::to_string(key));
  }
};

// The slot port of the decoded kinds' tests: display 0's surface notes the
// keyed drawing calls it takes.
using SurfacePort = testsupport::FakeSlotPortOf<RecordingKeeper>;

// The R, G, B of a pixel of what painters see.
inline std::vector<int> Rgb(const SurfacePort& port, int x, int y) {
  const QRgb p = port.keeper.GetImage()->pixel(x, y);
  return {qRed(p), qGreen(p), qBlue(p)};
}

// The repaints asked for, each as "x y width height".
inline std::vector<std::string> RepaintNotes(SurfacePort& port) {
  std::vector<std::string> notes;
  for (const testsupport::Repaint& r : port.Repaints())
    notes.push_back(std::to_string(r.x) + " " + std::to_string(r.y) + " " + std::to_string(r.width) + " " +
                    std::to_string(r.height));
  return notes;
}

// A flat-coloured picture.
inline testhost::RgbImage Flat(int width, int height, uint8_t r, uint8_t g, uint8_t b) {
  testhost::RgbImage image{width, height, {}};
  for (int i = 0; i < width * height; ++i) image.rgb.insert(image.rgb.end(), {r, g, b});
  return image;
}

// Peak signal-to-noise ratio of two byte sequences of one length.
inline double Psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  if (a.size() != b.size() || a.empty()) return 0;
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    const double d = double(a[i]) - double(b[i]);
    sum += d * d;
  }
  const double mse = sum / double(a.size());
  return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

// The visible picture of the surface's top-left w x h as packed R, G, B.
inline std::vector<uint8_t> VisibleRgb(const SurfacePort& port, int width, int height) {
  std::vector<uint8_t> out;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const std::vector<int> p = Rgb(port, x, y);
      out.insert(out.end(), {uint8_t(p[0]), uint8_t(p[1]), uint8_t(p[2])});
    }
  return out;
}

// A temporary folder removed with its files at the end of the test.
class TempFolder {
 public:
  TempFolder() {
    char pattern[] = "/tmp/pellum-decoded-XXXXXX";
    const char* made = mkdtemp(pattern);
    path_ = made ? made : "/tmp";
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};
