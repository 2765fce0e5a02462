// The sample path through the exported functions: a graph from the push
// source through the libavcodec decoder to the presenter, fed samples with
// their sample records. One graph per format and buffer size is built and
// run the first time and kept running: each input feeds it and ends with a
// flush, which waits for the source's thread and leaves nothing of the
// input queued or in the decoder. Input: one setup byte
// (bit 0: MJPEG, else MPEG-2; bits 1-2: the allocator's buffer size), then
// samples of u16 length, a 56-byte sample record and the bytes, the last
// taking the rest.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "Sorvid.h"
#include "pelplat/ddraw.h"
#include "pelplat/strmif.h"

namespace {

// Pixels go nowhere; every window is a 640 x 480 window at the origin.
class NullScreen : public DDrawScreen {
 public:
  bool GetDisplayMode(DDrawDisplayMode* mode) override {
    *mode = {640, 480, 32};
    return true;
  }
  bool GetWindowRect(HWND, RECT* rect) override {
    *rect = {0, 0, 640, 480};
    return true;
  }
  void PutPixels(HWND, int, int, int, int, const uint32_t*, int) override {}
};

StreamFormatRecord Format(bool mjpeg) {
  StreamFormatRecord r;
  r.majorType = MEDIATYPE_Video;
  r.subtype = mjpeg ? MEDIASUBTYPE_MJPG : MEDIASUBTYPE_MPEG2_VIDEO;
  r.formatType = FORMAT_VideoInfo;
  r.block.assign(88, 0);
  const uint32_t fields[] = {40, 64, 48};
  for (int i = 0; i < 3; ++i)
    for (int b = 0; b < 4; ++b) r.block[48 + 4 * i + b] = uint8_t(fields[i] >> (8 * b));
  r.block[62] = 24;
  r.size = 64 + 88;
  return r;
}

SampleInfoRecord Info(const uint8_t* p) {
  auto u32 = [p](int at) {
    return uint32_t(p[at]) | uint32_t(p[at + 1]) << 8 | uint32_t(p[at + 2]) << 16 | uint32_t(p[at + 3]) << 24;
  };
  SampleInfoRecord info;
  info.cbData = u32(8);
  info.typeSpecificFlags = u32(12);
  info.sampleFlags = u32(16);
  info.actual = int32_t(u32(20));
  info.start = int64_t(uint64_t(u32(24)) | uint64_t(u32(28)) << 32);
  info.stop = int64_t(uint64_t(u32(32)) | uint64_t(u32(36)) << 32);
  info.propertiesStreamId = u32(40);
  info.mediaTypePointer = u32(44);
  return info;
}

// The graph of that setup, built the first time; null when it cannot be.
// The graphs live as long as the process: the platform's objects they
// would release at exit may be gone by then.
void* PlayerFor(uint8_t setup) {
  struct Kept {
    bool tried = false;
    void* player = nullptr;
  };
  static Kept kept[8];
  Kept& k = kept[setup & 7];
  if (k.tried) return k.player;
  k.tried = true;
  const StreamFormatRecord format = Format(setup & 1);
  if (FAILED(SorvidInit(&format, &k.player))) return k.player = nullptr;
  const ALLOCATOR_PROPERTIES props{1, LONG(64) << (2 * ((setup >> 1) & 3)), 1, 0};
  SorvidSetAllocator(k.player, &props);
  if (FAILED(SorvidSelectAndRenderWindowless(k.player, reinterpret_cast<HWND__*>(0x100), 0xFF00FF, nullptr))) {
    SorvidClose(k.player);
    return k.player = nullptr;
  }
  SorvidSetState(k.player, 3);
  return k.player;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static NullScreen screen;
  static const bool started = [] {
    DDrawSetScreen(&screen);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    return true;
  }();
  (void)started;
  void* player = PlayerFor(data[0]);
  if (!player) return 0;
  size_t at = 1;
  while (at + 2 + 56 <= size) {
    size_t length = size_t(data[at]) | size_t(data[at + 1]) << 8;
    const SampleInfoRecord info = Info(data + at + 2);
    at += 2 + 56;
    if (length > size - at) length = size - at;
    SorvidSetBuffer(player, data + at, uint32_t(length), &info);
    at += length;
  }
  SorvidFilterEvent(player, 2);
  SorvidFilterEvent(player, 3);
  return 0;
}
