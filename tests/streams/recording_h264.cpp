// A stand-in for the H.264 decoder library that decodes nothing: it notes
// every call on its decoder object and hands out a flat picture of the size
// it was opened with (or of a size the test sets). The test reads the notes
// through the extra export RecordedH264Calls.
#include <cstdint>
#include <string>
#include <vector>

#include "H264FrameDecoder.h"

namespace {

std::vector<std::string> g_calls;
int g_pictureWidth = 0;   // 0: the size given to Open
int g_pictureHeight = 0;

class RecordingDecoder final : public IH264FrameDecoder {
 public:
  int Start() override { return Note("Start"), 0; }
  int DecodeFrame(const uint8_t*, uint32_t length, int) override {
    Note("DecodeFrame " + std::to_string(length));
    return length == 1 ? -1 : 0;  // a 1-byte frame stands for a broken one
  }
  int Open(const uint8_t*, uint32_t, int width, int height) override {
    Note("Open " + std::to_string(width) + " " + std::to_string(height));
    width_ = width;
    height_ = height;
    return 0;
  }
  int Stop() override { return Note("Stop"), 0; }
  const uint8_t* GetPicture(int* width, int* height, int, int, int bits) override {
    Note("GetPicture " + std::to_string(bits));
    *width = g_pictureWidth ? g_pictureWidth : width_;
    *height = g_pictureHeight ? g_pictureHeight : height_;
    if (*width <= 0 || *height <= 0 || *width > 4096 || *height > 4096) return nullptr;
    picture_.assign(size_t(*width) * size_t(*height) * size_t(bits / 8), 0x77);
    return picture_.data();
  }

 private:
  void Note(const std::string& call) { g_calls.push_back(call); }
  int width_ = 0, height_ = 0;
  std::vector<uint8_t> picture_;
};

}  // namespace

extern "C" {

__attribute__((visibility("default"))) HRESULT GetInterfaceToDecoder(IH264FrameDecoder** decoder) {
  g_calls.push_back("GetInterfaceToDecoder");
  *decoder = new RecordingDecoder;
  return S_OK;
}

__attribute__((visibility("default"))) void FreeDecoder(IH264FrameDecoder* decoder) {
  g_calls.push_back("FreeDecoder");
  delete static_cast<RecordingDecoder*>(decoder);
}

// The calls so far (emptied by the call), and the picture size to report.
__attribute__((visibility("default"))) std::vector<std::string>* RecordedH264Calls(int width,
                                                                                    int height) {
  static std::vector<std::string> taken;
  taken.swap(g_calls);
  g_calls.clear();
  g_pictureWidth = width;
  g_pictureHeight = height;
  return &taken;
}
}
