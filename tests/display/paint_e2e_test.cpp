// A picture painted by the test host arrives on a real session client's
// display surface: the pellum-testhost program run as its own process, and
// the painter of the test host's library in this process, both over
// loopback against a CHtClient whose display slot gets the real display
// processor. Lossless encodings must reproduce the picture byte for byte;
// JPEG-coded tiles come close, everything else around them stays exact.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

// The session headers come before any Qt header: Qt's `slots` keyword
// macro would take the name of a field of the hello.
#include "ClientDoubles.h"
#include "session/SlotProcessorFactory.h"
#include "testhost/DisplayPainter.h"
#include "testhost/Framing.h"
#include "support/PaintSessionThread.h"

#include <QImage>

#include "display/Op2Processor.h"
#include "qt/QtDoubleBufferSurfaceKeeper.h"
#include "streams/AvsProcessorMaker.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kWaitMs = 30000;
constexpr int kTile = 8;

// ---- the picture ----

struct Rgb {
  uint8_t r, g, b;
  bool operator<(const Rgb& o) const { return std::tie(r, g, b) < std::tie(o.r, o.g, o.b); }
};

// A colour wheel of 300 steps: neighbours differ a little, so JPEG codes
// the ramp well, and the wheel closes on itself.
Rgb Wheel(int i) {
  const int h = (i % 300) * 6 * 255 / 300;  // 0 .. 6*255
  const int sector = h / 255, f = h % 255;
  switch (sector) {
    case 0: return {255, uint8_t(f), 40};
    case 1: return {uint8_t(255 - f), 255, 40};
    case 2: return {40, 255, uint8_t(f)};
    case 3: return {40, uint8_t(255 - f), 255};
    case 4: return {uint8_t(f), 40, 255};
    default: return {255, 40, uint8_t(255 - f)};
  }
}

// Small motifs of two to four colours: the first sight of one is a palette
// tile, later ones are cache references, kept or cached palettes.
Rgb Motif(int kind, int x, int y) {
  static const Rgb ink[] = {{20, 20, 20}, {250, 250, 250}, {200, 30, 30}, {30, 30, 200}, {240, 200, 0}};
  switch (kind) {
    case 0: return ink[(x / 2 + y / 2) % 2];                  // checks
    case 1: return ink[1 + (y % 4 < 2)];                      // stripes
    case 2: return ink[(x == y || x + y == 7) ? 0 : 3];       // a cross
    case 3: return ink[x < 4 ? (y < 4 ? 4 : 2) : (y < 4 ? 1 : 0)];  // quarters
    default: return ink[4];                                   // flat
  }
}

// A ramp band of many colours a tile, a band of motifs in a fixed scatter
// (with runs of equal tiles), a flat ground with a frame; band edges off the
// tile grid, so that tiles straddle them. About three hundred colours.
struct Picture {
  int width = 0;
  int height = 0;
  std::vector<Rgb> pixels;

  Picture(int w, int h) : width(w), height(h), pixels(size_t(w) * h) {
    const int rampEnd = h / 3 + 3, motifEnd = 2 * h / 3 + 5;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        Rgb& p = pixels[size_t(y) * w + x];
        if (y < rampEnd) {
          p = Wheel(x + 2 * y);
        } else if (y < motifEnd) {
          const int tx = x / kTile, ty = y / kTile;
          const int kind = ((tx * 7 + ty * 13) / 3) % 6;
          p = Motif(kind, x % kTile, y % kTile);
        } else if (x < 3 || y >= h - 3 || x >= w - 3) {
          p = {0, 90, 0};
        } else {
          p = {60, 110, 170};
        }
      }
  }

  Rgb At(int x, int y) const { return pixels[size_t(y) * width + x]; }

  size_t ColourCount() const { return std::set<Rgb>(pixels.begin(), pixels.end()).size(); }

  // The bytes of a surface of this depth, computed here: 24 stores R, G, B;
  // 16 stores RGB565, little-endian.
  Bytes SurfaceRow(int y, int depth) const {
    Bytes row;
    for (int x = 0; x < width; ++x) {
      const Rgb p = At(x, y);
      if (depth == 24) {
        row.insert(row.end(), {p.r, p.g, p.b});
      } else {
        const unsigned v = unsigned(p.r >> 3) << 11 | unsigned(p.g >> 2) << 5 | unsigned(p.b >> 3);
        row.insert(row.end(), {uint8_t(v), uint8_t(v >> 8)});
      }
    }
    return row;
  }

  bool WritePpm(const std::string& path) const {
    std::ofstream out(path, std::ios::binary);
    out << "P6\n# paint_e2e_test\n" << width << " " << height << "\n255\n";
    for (const Rgb& p : pixels) out.put(char(p.r)).put(char(p.g)).put(char(p.b));
    return bool(out);
  }

  bool WritePng(const std::string& path) const {
    QImage image(width, height, QImage::Format_RGB888);
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x) image.setPixel(x, y, qRgb(At(x, y).r, At(x, y).g, At(x, y).b));
    return image.save(QString::fromStdString(path), "PNG");
  }

  // Tiles of more than 16 colours: the ones the host may send as JPEG.
  bool ManyColours(int tx, int ty) const {
    std::set<Rgb> seen;
    for (int y = ty * kTile; y < std::min(height, ty * kTile + kTile); ++y)
      for (int x = tx * kTile; x < std::min(width, tx * kTile + kTile); ++x) seen.insert(At(x, y));
    return seen.size() > 16;
  }
};

std::string TempPath(const std::string& name) {
  const char* dir = getenv("TMPDIR");
  return std::string(dir && *dir ? dir : "/tmp") + "/pellum-paint-" + std::to_string(getpid()) + "-" + name;
}

// ---- the client ----

// The system API of the session window as far as painting goes: a real Qt
// surface per display, handed out through the frame-buffer lock and
// recreated by a resize, as the window's own system API does.
class SurfaceSystemApi : public clienttest::FakeSystemApi {
 public:
  SurfaceSystemApi() {
    for (int i = 0; i < kDisplayCount; ++i) {
      keepers_[i].reset(new CQtDoubleBufferSurfaceKeeper(i));
      SetSurface(i, keepers_[i].get());
    }
  }
  ~SurfaceSystemApi() override { Stop(); }

  int ResizeDisplay(int width, int height, int depth, int display) override {
    FakeSystemApi::ResizeDisplay(width, height, depth, display);
    if (ISurfaceKeeper* surface = LockFrameBuffer(display)) {
      surface->Create(width, height, depth, 0);
      UnlockFrameBuffer(surface);
    }
    return 0;
  }

  // A copy of what painters of the display would see.
  QImage Snapshot(int display) {
    QImage copy;
    if (ISurfaceKeeper* surface = LockFrameBuffer(display)) {
      if (const QImage* image = keepers_[display]->GetImage()) copy = image->copy();
      UnlockFrameBuffer(surface);
    }
    return copy;
  }

 private:
  std::unique_ptr<CQtDoubleBufferSurfaceKeeper> keepers_[kDisplayCount];
};

// The client tells how many packets its first display processor has
// decoded; under the processor lock, which delivery holds while a packet is
// decoded, the count is exact.
class PaintedClient : public CHtClient {
 public:
  uint64_t DisplayPackets() {
    CxAutoLock hold(&processorLock);
    const COp2Processor* display = dynamic_cast<const COp2Processor*>(GetDisplayProcessor());
    return display ? display->PacketCount() : 0;
  }
};

// A client with the display processor on its display slots, released in
// the order the program releases it.
class ClientRun {
 public:
  ClientRun(uint16_t port, uint32_t encryptionLevel) : api(new SurfaceSystemApi), client(new PaintedClient) {
    RegisterOp2ProcessorMaker();
    clienttest::PlainParameters(&params, port);
    params.encryptionLevel = encryptionLevel;
  }
  ~ClientRun() {
    client->Stop();
    client->ReleaseAllProcessors();
    client->Release();
    api->Stop();
    api->Release();
    RegisterSlotProcessorMaker(slotname::kDisplay, nullptr);
  }
  bool Start() { return client->Init(api, &params) == 0 && client->Start() == 0 && api->WaitForState(connection_state::kSessionUp, kWaitMs); }
  bool WaitForPackets(uint64_t count) {
    for (int waited = 0; waited < kWaitMs; waited += 5) {
      if (client->DisplayPackets() >= count) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

  SurfaceSystemApi* api;
  CClientConnectionParameter params;
  PaintedClient* client;
};

// ---- checking the surface ----

enum class Fidelity { kExact, kJpeg };

// Every pixel of the picture on the surface: exactly, or for JPEG within a
// bound on the tiles of many colours and exactly on all others.
void ExpectPainted(const QImage& surface, const Picture& picture, int depth, Fidelity fidelity) {
  ASSERT_FALSE(surface.isNull());
  ASSERT_EQ(surface.format(), depth == 24 ? QImage::Format_RGB888 : QImage::Format_RGB16);
  ASSERT_GE(surface.width(), picture.width);
  ASSERT_GE(surface.height(), picture.height);
  const int bpp = depth / 8;
  const int columns = (picture.width + kTile - 1) / kTile, rows = (picture.height + kTile - 1) / kTile;
  std::vector<bool> lossyTile(size_t(columns) * rows, false);
  if (fidelity == Fidelity::kJpeg)
    for (int ty = 0; ty < rows; ++ty)
      for (int tx = 0; tx < columns; ++tx) lossyTile[size_t(ty) * columns + tx] = picture.ManyColours(tx, ty);
  size_t wrong = 0, lossyPixels = 0;
  uint64_t lossySum = 0;
  int lossyMax = 0;
  std::string first;
  for (int y = 0; y < picture.height; ++y) {
    const Bytes want = picture.SurfaceRow(y, depth);
    const uint8_t* have = surface.constScanLine(y);
    for (int x = 0; x < picture.width; ++x) {
      const bool lossy = lossyTile[size_t(y / kTile) * columns + x / kTile];
      int worst = 0;
      for (int i = 0; i < bpp; ++i)
        worst = std::max(worst, std::abs(int(have[x * bpp + i]) - int(want[size_t(x) * bpp + i])));
      if (lossy) {
        ++lossyPixels;
        lossySum += uint64_t(worst);
        lossyMax = std::max(lossyMax, worst);
      } else if (worst != 0) {
        if (!wrong++) first = "first at " + std::to_string(x) + "," + std::to_string(y);
      }
    }
  }
  EXPECT_EQ(wrong, 0u) << first;
  if (fidelity == Fidelity::kJpeg) {
    ASSERT_GT(lossyPixels, 0u);
    // Halving the chroma alone costs up to 30 on this ramp (4 on average),
    // quality 95 a little more; a swapped channel or a tile one place off
    // is off by about 40 on average.
    EXPECT_LE(lossyMax, 48);
    EXPECT_LE(double(lossySum) / double(lossyPixels), 8.0);
  }
}

// ---- the host as its own program ----

// pellum-testhost run with its input and output on pipes.
class HostProcess {
 public:
  explicit HostProcess(const std::vector<std::string>& args) {
    int toHost[2], fromHost[2];
    if (pipe(toHost) != 0) return;
    if (pipe(fromHost) != 0) {
      close(toHost[0]);
      close(toHost[1]);
      return;
    }
    std::vector<char*> argv = {const_cast<char*>(PELLUM_TESTHOST)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(toHost[0], 0);
      dup2(fromHost[1], 1);
      close(toHost[0]);
      close(toHost[1]);
      close(fromHost[0]);
      close(fromHost[1]);
      execv(PELLUM_TESTHOST, argv.data());
      _exit(127);
    }
    close(toHost[0]);
    close(fromHost[1]);
    input_ = toHost[1];
    output_ = fromHost[0];
  }
  ~HostProcess() {
    CloseInput();
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    if (output_ >= 0) close(output_);
  }

  bool Running() const { return pid_ > 0 && input_ >= 0; }

  // The next line of its output (without the newline); false once it ends
  // or after the time-out.
  bool ReadLine(std::string* line) {
    for (;;) {
      const size_t end = buffered_.find('\n');
      if (end != std::string::npos) {
        *line = buffered_.substr(0, end);
        buffered_.erase(0, end + 1);
        return true;
      }
      pollfd p{output_, POLLIN, 0};
      if (poll(&p, 1, kWaitMs) <= 0) return false;
      char chunk[256];
      const ssize_t n = read(output_, chunk, sizeof chunk);
      if (n <= 0) return false;
      buffered_.append(chunk, size_t(n));
    }
  }

  // Its input ends: a painting host lets the session go and exits.
  void CloseInput() {
    if (input_ >= 0) close(input_);
    input_ = -1;
  }

  // The exit status, or -1 when it did not exit normally.
  int Wait() {
    CloseInput();
    int status = 0;
    if (pid_ <= 0 || waitpid(pid_, &status, 0) != pid_) return -1;
    exited_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  bool exited_ = false;
  std::string buffered_;
};

struct Painted {
  unsigned packets = 0;
  int slot = -1;
};

bool ParsePainted(const std::string& line, Painted* out) {
  return sscanf(line.c_str(), "painted %u packets on slot %d", &out->packets, &out->slot) == 2;
}

struct CommandCase {
  const char* name;
  int width, height;
  const char* with;  // --paint-with
  bool png;
  int depth;
  Fidelity fidelity;
};

const CommandCase kCommandCases[] = {
    {"ppm24", 640, 480, "24", false, 24, Fidelity::kExact},
    {"ppm16_odd", 637, 451, "16", false, 16, Fidelity::kExact},
    {"png24_lz4_flush", 640, 480, "24,lz4,flush", true, 24, Fidelity::kExact},
    {"ppm24_jpeg_tiles", 640, 480, "24,jpeg", false, 24, Fidelity::kJpeg},
    {"ppm24_jpeg_frame", 640, 480, "frame", false, 24, Fidelity::kJpeg},
};

class PaintCommand : public testing::TestWithParam<CommandCase> {};

TEST_P(PaintCommand, SurfaceShowsThePicture) {
  const CommandCase& c = GetParam();
  const Picture picture(c.width, c.height);
  const size_t colours = picture.ColourCount();
  EXPECT_GT(colours, 200u);
  EXPECT_LT(colours, 600u);
  const std::string file = TempPath(std::string(c.name) + (c.png ? ".png" : ".ppm"));
  ASSERT_TRUE(c.png ? picture.WritePng(file) : picture.WritePpm(file));

  HostProcess host({"--address", "127.0.0.1", "--port", "0", "--paint", file, "--paint-with", c.with});
  ASSERT_TRUE(host.Running());
  std::string line;
  ASSERT_TRUE(host.ReadLine(&line));
  unsigned port = 0;
  ASSERT_EQ(sscanf(line.c_str(), "listening 127.0.0.1 %u", &port), 1) << line;

  ClientRun run(uint16_t(port), 0);
  ASSERT_TRUE(run.Start());
  ASSERT_TRUE(host.ReadLine(&line));
  Painted painted;
  ASSERT_TRUE(ParsePainted(line, &painted)) << line;
  EXPECT_EQ(painted.slot, run.client->DisplaySlot(0));
  ASSERT_GT(painted.packets, 0u);
  ASSERT_TRUE(run.WaitForPackets(painted.packets));
  ExpectPainted(run.api->Snapshot(0), picture, c.depth, c.fidelity);

  run.client->Stop();
  EXPECT_EQ(host.Wait(), 0);
  std::remove(file.c_str());
}

INSTANTIATE_TEST_SUITE_P(Variants, PaintCommand, testing::ValuesIn(kCommandCases),
                         [](const testing::TestParamInfo<CommandCase>& info) { return std::string(info.param.name); });

// A picture played after the painting reaches the display through the
// client's stream slot, as one JPEG frame over the whole display.
TEST(PlayCommand, APlayedFrameCoversTheDisplay) {
  const Picture painted(640, 480);
  const std::string paintFile = TempPath("played-under.ppm");
  ASSERT_TRUE(painted.WritePpm(paintFile));
  // Flat grey squares on the JPEG blocks' grid come through within a few
  // steps of each value.
  Picture frame(640, 480);
  for (int y = 0; y < 480; ++y)
    for (int x = 0; x < 640; ++x) {
      const uint8_t grey = uint8_t((x / 80 * 37 + y / 80 * 59) % 256);
      frame.pixels[size_t(y) * 640 + x] = {grey, grey, grey};
    }
  const std::string frameFile = TempPath("played.ppm");
  ASSERT_TRUE(frame.WritePpm(frameFile));

  HostProcess host({"--address", "127.0.0.1", "--port", "0", "--paint", paintFile, "--play", frameFile});
  ASSERT_TRUE(host.Running());
  std::string line;
  ASSERT_TRUE(host.ReadLine(&line));
  unsigned port = 0;
  ASSERT_EQ(sscanf(line.c_str(), "listening 127.0.0.1 %u", &port), 1) << line;
  RegisterAvsProcessorMaker();
  {
    ClientRun run(uint16_t(port), 0);
    ASSERT_TRUE(run.Start());
    ASSERT_TRUE(host.ReadLine(&line));
    Painted said;
    ASSERT_TRUE(ParsePainted(line, &said)) << line;
    ASSERT_TRUE(host.ReadLine(&line));
    unsigned frames = 0;
    int slot = -1;
    ASSERT_EQ(sscanf(line.c_str(), "played %u frames on slot %d", &frames, &slot), 2) << line;
    EXPECT_EQ(frames, 1u);
    EXPECT_GT(slot, said.slot);

    size_t far = 0;
    for (int waited = 0; waited < kWaitMs; waited += 20) {
      const QImage surface = run.api->Snapshot(0);
      far = surface.isNull() ? frame.pixels.size() : 0;
      for (int y = 0; y < 480 && !surface.isNull(); ++y) {
        const uint8_t* row = surface.constScanLine(y);
        for (int x = 0; x < 640; ++x)
          far += std::abs(int(row[x * 3]) - int(frame.At(x, y).r)) > 12;
      }
      if (far == 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(far, 0u);
    run.client->Stop();
  }
  RegisterSlotProcessorMaker(slotname::kStream, nullptr);
  EXPECT_EQ(host.Wait(), 0);
  std::remove(paintFile.c_str());
  std::remove(frameFile.c_str());
}

// A file that is no picture: the host says so and fails, without a session.
TEST(PaintCommandInput, UnreadableImageFails) {
  const std::string file = TempPath("garbage.ppm");
  {
    std::ofstream out(file, std::ios::binary);
    out << "P6\n640 480\n255\n" << std::string(100, '\x7f');  // far too short
  }
  for (const std::string& path : {file, TempPath("missing.png")}) {
    SCOPED_TRACE(path);
    HostProcess host({"--paint", path});
    ASSERT_TRUE(host.Running());
    std::string line;
    ASSERT_TRUE(host.ReadLine(&line));
    EXPECT_EQ(line.rfind("listening 127.0.0.1 ", 0), 0u) << line;
    ASSERT_TRUE(host.ReadLine(&line));
    EXPECT_EQ(line, "cannot read an image from " + path);
    EXPECT_EQ(host.Wait(), 1);
  }
  std::remove(file.c_str());
}

// ---- the host's painter in this process ----

struct LibraryCase {
  const char* name;
  const char* with;
  int depth;
  bool encrypted;
};

const LibraryCase kLibraryCases[] = {
    {"plain24", "24", 24, false},
    {"encrypted16_lz4", "16,lz4", 16, true},
};

class PaintLibrary : public testing::TestWithParam<LibraryCase> {};

TEST_P(PaintLibrary, SurfaceShowsThePicture) {
  const LibraryCase& c = GetParam();
  const Picture picture(640, 480);
  const std::string file = TempPath(std::string(c.name) + ".ppm");
  ASSERT_TRUE(picture.WritePpm(file));

  testhost::PaintRequest request;
  request.imageFile = file;
  ASSERT_TRUE(testhost::ParsePaintSettings(c.with, &request.options));
  request.encrypted = c.encrypted;
  request.acceptTimeoutMs = kWaitMs;
  testhost::Listener listener;
  ASSERT_TRUE(listener.Listen("127.0.0.1", 0));
  testsupport::PaintSessionThread host(listener, request);

  {
    ClientRun run(listener.Port(), c.encrypted ? 2 : 0);
    const bool started = run.Start();
    std::string line;
    Painted painted;
    const bool said = host.WaitForLine("", &line, kWaitMs) && ParsePainted(line, &painted);
    if (started && said) {
      EXPECT_EQ(painted.slot, run.client->DisplaySlot(0));
      EXPECT_TRUE(run.WaitForPackets(painted.packets));
      ExpectPainted(run.api->Snapshot(0), picture, c.depth, Fidelity::kExact);
    }
    EXPECT_TRUE(started);
    EXPECT_TRUE(said) << line;
    run.client->Stop();
  }
  EXPECT_EQ(host.Finish(), 0);
  std::remove(file.c_str());
}

INSTANTIATE_TEST_SUITE_P(Variants, PaintLibrary, testing::ValuesIn(kLibraryCases),
                         [](const testing::TestParamInfo<LibraryCase>& info) { return std::string(info.param.name); });

}  // namespace
