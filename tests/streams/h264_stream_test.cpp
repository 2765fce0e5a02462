// The software H.264 stream kind: against a stand-in library that notes
// every call (the open, stop and start order, copy against stretch), with a
// library that is missing, and with the project's own decoder library on a
// clip that x264 made from ffmpeg's test source.
#include <gtest/gtest.h>

#include <string>

#include "decoded_test_support.h"
#include "pelplat/utf16.h"
#include "streams/AvsSlotDataProcessor.h"
#include "streams/DJStream.h"
#include "streams/DH264Stream.h"
#include "streams/DecodedStreamKinds.h"
#include "session/HelloProbes.h"
#include "streams/MediaTypeGuids.h"
#include "testhost/VideoClips.h"

namespace hs = testhost::stream;

namespace {

StreamFormatRecord H264Record() {
  StreamFormatRecord r;
  r.subtype = mediaguid::kSubtypeH264;
  return r;
}

std::u16string Utf16(const std::string& text) { return std::u16string(text.begin(), text.end()); }

const std::u16string kRecording = Utf16(RECORDING_H264_PATH);
const std::u16string kMissing = u"/nonexistent/libdiz264ozi.so";

typedef std::vector<std::string>* (*RecordedCallsFn)(int, int);

class H264Recording : public ::testing::Test {
 protected:
  void SetUp() override {
    library = LoadLibraryA(RECORDING_H264_PATH);
    ASSERT_NE(nullptr, library);
    recorded = reinterpret_cast<RecordedCallsFn>(GetProcAddress(library, "RecordedH264Calls"));
    ASSERT_NE(nullptr, recorded);
    Calls();
  }
  void TearDown() override {
    stream.reset();
    FreeLibrary(library);
  }
  // The calls since the last look; the next pictures are width x height
  // (0: the size the decoder was opened with).
  std::vector<std::string> Calls(int width = 0, int height = 0) { return *recorded(width, height); }
  void MakeStream() {
    stream = std::make_unique<CDH264Stream>(port, 0, kRecording.c_str());
    ASSERT_EQ(0, stream->SetFormat(H264Record()));
    Calls();
  }
  int Frame(uint32_t length = 5) {
    const std::vector<uint8_t> data(length, 0);
    return stream->ProcessSample(data.data(), length, StreamSampleContext());
  }
  void Rect(int width, int height) {
    const RECT rect{0, 0, width, height};
    ASSERT_EQ(0, stream->DSSetWindowRect(&rect, 0, 0, 0, 0x00FF00FF));
  }

  HMODULE library = nullptr;
  RecordedCallsFn recorded = nullptr;
  std::shared_ptr<SurfacePort> port = std::make_shared<SurfacePort>(64, 48, 24);
  std::unique_ptr<CDH264Stream> stream;
};

using Notes = std::vector<std::string>;

}  // namespace

TEST_F(H264Recording, ANewRectangleSizeStopsStartsAndReopensTheDecoderAtThatSize) {
  MakeStream();
  Rect(320, 240);
  EXPECT_EQ(0, Frame());
  EXPECT_EQ((Notes{"Open 320 240", "DecodeFrame 5", "GetPicture 24"}), Calls());
  EXPECT_EQ(0, Frame());
  EXPECT_EQ((Notes{"DecodeFrame 5", "GetPicture 24"}), Calls());
  Rect(640, 480);
  EXPECT_EQ(0, Frame());
  EXPECT_EQ((Notes{"Stop", "Start", "Open 640 480", "DecodeFrame 5", "GetPicture 24"}), Calls());
  // Pictures of the rectangle's size are copied without a key.
  EXPECT_EQ((Notes{"copy 320 240 3 -1", "copy 320 240 3 -1", "copy 640 480 3 -1"}),
            port->keeper.calls);
}

TEST_F(H264Recording, PicturesOfAnotherSizeAreStretchedFromTheirTopRow) {
  MakeStream();
  Rect(64, 48);
  Calls(100, 50);
  Frame();
  EXPECT_EQ((Notes{"stretch -100 50 3 16711935"}), port->keeper.calls);
  EXPECT_EQ(Notes{"0 0 64 48"}, RepaintNotes(*port));
}

TEST_F(H264Recording, StatesStartAndStopTheDecoder) {
  MakeStream();
  EXPECT_EQ(0, stream->SetState(3));
  EXPECT_EQ(0, stream->SetState(0));  // never opened: nothing to stop
  EXPECT_EQ(Notes{"Start"}, Calls());
  Rect(32, 24);
  Frame();
  Calls();
  stream->SetState(0);
  stream->SetState(2);
  EXPECT_TRUE(stream->NeedsOpen());
  Frame();
  EXPECT_EQ((Notes{"Stop", "Open 32 24", "DecodeFrame 5", "GetPicture 24"}), Calls());
}

TEST_F(H264Recording, ABrokenFrameDrawsNothingAndTheNextOneDecodes) {
  MakeStream();
  Rect(32, 24);
  EXPECT_EQ(-1, Frame(0));
  EXPECT_EQ(-1, Frame(1));
  EXPECT_EQ((Notes{"Open 32 24", "DecodeFrame 1"}), Calls());
  EXPECT_TRUE(port->keeper.calls.size() == 0 && port->Repaints().empty());
  EXPECT_EQ(0, Frame());
  EXPECT_EQ((Notes{"DecodeFrame 5", "GetPicture 24"}), Calls());
}

TEST_F(H264Recording, PictureSizesPastEveryDisplayAreNotDrawn) {
  MakeStream();
  Rect(32, 24);
  Calls(4096, 4096 * 3);  // the stand-in hands out no picture past 4096
  Frame();
  Calls(9000, 10);
  Frame();
  EXPECT_TRUE(port->keeper.calls.empty());
}

TEST_F(H264Recording, DestructionFreesTheDecoderThroughTheLibrary) {
  MakeStream();
  stream.reset();
  EXPECT_EQ(Notes{"FreeDecoder"}, Calls());
}

TEST(H264Library, AMissingLibraryFailsTheFormatWithItsWin32Error) {
  auto port = std::make_shared<SurfacePort>(64, 48, 24);
  CDH264Stream stream(port, 0, kMissing.c_str());
  EXPECT_EQ(HRESULT(0x8007007E), stream.SetFormat(H264Record()));
  EXPECT_FALSE(stream.HasDecoder());
  EXPECT_EQ(0, stream.ProcessSample(reinterpret_cast<const uint8_t*>("abc"), 3, {}));
  EXPECT_EQ(E_FAIL, stream.SetFormat(StreamFormatRecord()));
  EXPECT_EQ(0u, ProbeH264DecoderLibrary(kMissing.c_str()));
  EXPECT_EQ(1u, ProbeH264DecoderLibrary(kRecording.c_str()));
  EXPECT_EQ(1u, ProbeH264DecoderLibrary());
}

namespace {

std::unique_ptr<CStream> MakeMissingH264(const StreamKindArgs& args) {
  return std::make_unique<CDH264Stream>(args.port, args.displayIndex, kMissing.c_str());
}

}  // namespace

TEST(H264Library, TheSlotMovesOnWhenTheLibraryIsMissing) {
  RegisterDecodedStreamKinds();
  // The hello offers the decoder (bit 0) and nothing of browser video.
  EXPECT_EQ(1u, ProbeH264Support());
  auto port = std::make_shared<SurfacePort>(64, 48, 24);
  for (bool missing : {false, true}) {
    SCOPED_TRACE(missing);
    StreamKindMaker previous = nullptr;
    if (missing) previous = RegisterStreamKindMaker(StreamKind::kDH264, &MakeMissingH264);
    CAvsSlotDataProcessor processor(0);
    processor.AttachPort(3, port);
    const hs::Bytes reserve = hs::Reserve(1);
    processor.OnSlotData(reserve.data(), uint32_t(reserve.size()));
    for (hs::FormatRecord format : {hs::H264Format(), hs::MjpegFormat()}) {
      format.block = hs::Bytes(4, 0);  // the least a creation message carries
      const hs::Bytes create = hs::CreateFromFormat(1, format, 0);
      processor.OnSlotData(create.data(), uint32_t(create.size()));
    }
    // The MJPEG record always ends in the MJPEG kind; the H.264 record
    // before it took the H.264 kind only while the library was there.
    EXPECT_NE(nullptr, dynamic_cast<CDJStream*>(processor.FindStream(1)));
    hs::FormatRecord h264 = hs::H264Format();
    h264.block = hs::Bytes(4, 0);
    const hs::Bytes again = hs::CreateFromFormat(1, h264, 0);
    processor.OnSlotData(again.data(), uint32_t(again.size()));
    EXPECT_EQ(!missing, dynamic_cast<CDH264Stream*>(processor.FindStream(1)) != nullptr);
    if (missing) RegisterStreamKindMaker(StreamKind::kDH264, previous);
  }
}

namespace {

struct Clip {
  std::vector<hs::Bytes> units;
  std::vector<uint8_t> source;  // packed R, G, B frames
  int width = 320, height = 240;
  std::vector<uint8_t> Frame(size_t i) const {
    const size_t n = size_t(width) * height * 3;
    return std::vector<uint8_t>(source.begin() + long(i * n), source.begin() + long((i + 1) * n));
  }
};

// kind: "h264" (with access unit delimiters) or "h264-noaud".
Clip MakeClip(const TempFolder& folder, int frames, const char* kind = "h264", int width = 320,
              int height = 240) {
  Clip clip;
  clip.width = width;
  clip.height = height;
  hs::Bytes h264;
  EXPECT_TRUE(hs::MakeTestClip(kind, clip.width, clip.height, frames, folder.File("c.h264")));
  EXPECT_TRUE(hs::MakeTestClip("rgb24", clip.width, clip.height, frames, folder.File("c.rgb")));
  EXPECT_TRUE(hs::ReadFileBytes(folder.File("c.h264"), &h264));
  EXPECT_TRUE(hs::ReadFileBytes(folder.File("c.rgb"), &clip.source));
  clip.units = hs::SplitAccessUnits(h264);
  EXPECT_EQ(size_t(frames), clip.units.size());
  return clip;
}

// A 16-bit or 32-bit picture as packed R, G, B; 16-bit channels keep only
// their top bits, as the source is cut for the comparison too.
std::vector<uint8_t> PictureRgb(const uint8_t* p, size_t pixels, int bits) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i < pixels; ++i) {
    if (bits == 24) out.insert(out.end(), {p[3 * i], p[3 * i + 1], p[3 * i + 2]});
    if (bits == 32) out.insert(out.end(), {p[4 * i + 2], p[4 * i + 1], p[4 * i]});
    if (bits == 16) {
      const unsigned v = p[2 * i] | p[2 * i + 1] << 8;
      out.insert(out.end(), {uint8_t((v >> 11) << 3), uint8_t(((v >> 5) & 0x3F) << 2),
                             uint8_t((v & 0x1F) << 3)});
    }
  }
  return out;
}

std::vector<uint8_t> CutTo565(std::vector<uint8_t> rgb) {
  for (size_t i = 0; i < rgb.size(); ++i) rgb[i] &= i % 3 == 1 ? 0xFC : 0xF8;
  return rgb;
}

}  // namespace

TEST(H264Library, PicturesComeInEachSurfaceFormatCloseToTheSource) {
  TempFolder folder;
  const Clip clip = MakeClip(folder, 8);
  ASSERT_FALSE(clip.units.empty());
  HMODULE library = LoadLibraryW(CDH264Stream::kLibraryName);
  ASSERT_NE(nullptr, library);
  auto get = reinterpret_cast<GetInterfaceToDecoderFn>(GetProcAddress(library, "GetInterfaceToDecoder"));
  auto release = reinterpret_cast<FreeDecoderFn>(GetProcAddress(library, "FreeDecoder"));
  ASSERT_TRUE(get && release);
  IH264FrameDecoder* decoder = nullptr;
  ASSERT_EQ(S_OK, get(&decoder));
  ASSERT_EQ(0, decoder->Open(clip.units[0].data(), uint32_t(clip.units[0].size()), 320, 240));
  for (size_t i = 0; i < clip.units.size(); ++i) {
    SCOPED_TRACE(i);
    ASSERT_EQ(0, decoder->DecodeFrame(clip.units[i].data(), uint32_t(clip.units[i].size()), 0));
    for (int bits : {16, 24, 32}) {
      SCOPED_TRACE(bits);
      int w = 0, h = 0;
      const uint8_t* picture = decoder->GetPicture(&w, &h, 640, 480, bits);
      ASSERT_NE(nullptr, picture);
      ASSERT_EQ(320, w);
      ASSERT_EQ(240, h);
      const std::vector<uint8_t> got = PictureRgb(picture, size_t(w) * h, bits);
      const std::vector<uint8_t> want = bits == 16 ? CutTo565(clip.Frame(i)) : clip.Frame(i);
      EXPECT_GE(Psnr(got, want), 35.0);
    }
  }
  int w = 0, h = 0;
  EXPECT_EQ(nullptr, decoder->GetPicture(&w, &h, 320, 240, 8));
  decoder->Stop();
  EXPECT_EQ(nullptr, decoder->GetPicture(&w, &h, 320, 240, 24));
  EXPECT_NE(0, decoder->DecodeFrame(clip.units[1].data(), uint32_t(clip.units[1].size()), 0));
  // Opened again, it starts over from the clip's first picture.
  ASSERT_EQ(0, decoder->Open(clip.units[0].data(), uint32_t(clip.units[0].size()), 320, 240));
  ASSERT_EQ(0, decoder->DecodeFrame(clip.units[0].data(), uint32_t(clip.units[0].size()), 0));
  const uint8_t* again = decoder->GetPicture(&w, &h, 320, 240, 24);
  ASSERT_NE(nullptr, again);
  EXPECT_GE(Psnr(PictureRgb(again, size_t(w) * h, 24), clip.Frame(0)), 35.0);
  release(decoder);
  FreeLibrary(library);
}

// A picture of the rectangle's own size lands on a 24-bit surface as
// exactly the bytes of the library's 24-bit picture, whichever order the
// library hands it over in; a turned picture of another size is refused
// with its size.
TEST(H264Library, CopiedPicturesHoldExactlyTheLibrarysPictureBytes) {
  struct Case {
    int width, height;
  } cases[] = {{320, 240}, {200, 120}, {176, 144}};
  TempFolder folder;
  HMODULE library = LoadLibraryW(CDH264Stream::kLibraryName);
  ASSERT_NE(nullptr, library);
  auto get = reinterpret_cast<GetInterfaceToDecoderFn>(GetProcAddress(library, "GetInterfaceToDecoder"));
  auto release = reinterpret_cast<FreeDecoderFn>(GetProcAddress(library, "FreeDecoder"));
  auto turned = reinterpret_cast<GetTurnedPictureFn>(GetProcAddress(library, "GetTurnedPicture"));
  ASSERT_TRUE(get && release && turned);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    const Clip clip = MakeClip(folder, 4, "h264", c.width, c.height);
    ASSERT_EQ(4u, clip.units.size());
    IH264FrameDecoder* reference = nullptr;
    ASSERT_EQ(S_OK, get(&reference));
    ASSERT_EQ(0, reference->Open(clip.units[0].data(), uint32_t(clip.units[0].size()), 0, 0));
    auto port = std::make_shared<SurfacePort>(c.width, c.height, 24);
    CDH264Stream stream(port, 0);
    ASSERT_EQ(0, stream.SetFormat(H264Record()));
    const RECT rect{0, 0, c.width, c.height};
    ASSERT_EQ(0, stream.DSSetWindowRect(&rect, 0, 0, 0, 0));
    for (const hs::Bytes& unit : clip.units) {
      ASSERT_EQ(0, stream.ProcessSample(unit.data(), uint32_t(unit.size()), {}));
      ASSERT_EQ(0, reference->DecodeFrame(unit.data(), uint32_t(unit.size()), 0));
      int w = 0, h = 0;
      const uint8_t* want = reference->GetPicture(&w, &h, c.width, c.height, 24);
      ASSERT_TRUE(want && w == c.width && h == c.height);
      EXPECT_EQ(std::vector<uint8_t>(want, want + size_t(w) * h * 3),
                VisibleRgb(*port, c.width, c.height));
    }
    int w = 0, h = 0;
    EXPECT_EQ(nullptr, turned(reference, c.width + 2, c.height, &w, &h));
    EXPECT_TRUE(w == c.width && h == c.height);
    release(reference);
  }
  FreeLibrary(library);
}

TEST(H264Library, TheStreamDrawsEveryFrameOfTheClip) {
  TempFolder folder;
  const Clip clip = MakeClip(folder, 8);
  auto port = std::make_shared<SurfacePort>(320, 240, 24);
  CDH264Stream stream(port, 0);
  ASSERT_EQ(0, stream.SetFormat(H264Record()));
  const RECT rect{0, 0, 320, 240};
  ASSERT_EQ(0, stream.DSSetWindowRect(&rect, 0, 0, 0, 0));  // the desktop is black
  for (size_t i = 0; i < clip.units.size(); ++i) {
    SCOPED_TRACE(i);
    ASSERT_EQ(0, stream.ProcessSample(clip.units[i].data(), uint32_t(clip.units[i].size()), {}));
    EXPECT_GE(Psnr(VisibleRgb(*port, 320, 240), clip.Frame(i)), 35.0);
  }
}

// The test host's clip messages through a processor with the registered
// kinds: an MJPEG stream created by a coded or a flag-byte message, and
// "NSP-h264" frames, each leave the clip's last frame on the surface.
TEST(H264Library, TestHostClipsPlayThroughTheSlot) {
  RegisterDecodedStreamKinds();
  TempFolder folder;
  const int frames = 6;
  ASSERT_TRUE(hs::MakeTestClip("rgb24", 320, 240, frames, folder.File("c.rgb")));
  std::vector<uint8_t> source;
  ASSERT_TRUE(hs::ReadFileBytes(folder.File("c.rgb"), &source));
  const std::vector<uint8_t> last(source.end() - 320 * 240 * 3, source.end());
  struct Case {
    const char* kind;
    bool flagBytes;
    double bound;  // JPEG's chroma upsampling is not ffmpeg's
  } cases[] = {{"mjpeg", false, 25}, {"mjpeg", true, 25}, {"h264", false, 35}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.kind) + (c.flagBytes ? " in flag-byte messages" : ""));
    const std::string file = folder.File(std::string("clip.") + c.kind);
    ASSERT_TRUE(hs::MakeTestClip(c.kind, 320, 240, frames, file));
    std::vector<hs::Bytes> samples;
    ASSERT_TRUE(hs::ReadClipSamples(c.kind, file, &samples));
    ASSERT_EQ(size_t(frames), samples.size());
    auto port = std::make_shared<SurfacePort>(320, 240, 24);
    CAvsSlotDataProcessor processor(0);
    processor.AttachPort(3, port);
    for (const hs::Bytes& m : hs::ClipMessages(c.kind, samples, hs::Rect{0, 0, 320, 240}, 1, c.flagBytes))
      processor.OnSlotData(m.data(), uint32_t(m.size()));
    EXPECT_GE(Psnr(VisibleRgb(*port, 320, 240), last), c.bound);
  }
}

namespace {

// A desktop of one colour that is neither black nor magenta, the keys the
// messages below name.
constexpr uint8_t kDesktop[3] = {0x30, 0x90, 0x60};
constexpr uint32_t kMagenta = 0x00FF00FF;

std::vector<uint8_t> DesktopRgb(int width, int height) {
  std::vector<uint8_t> rgb;
  for (int i = 0; i < width * height; ++i) rgb.insert(rgb.end(), kDesktop, kDesktop + 3);
  return rgb;
}

}  // namespace

// A picture of exactly the rectangle's size covers the rectangle whatever
// the desktop holds there; a picture of another size goes only where the
// desktop holds the key, and here it holds none.
TEST(H264Library, PicturesOfTheRectanglesOwnSizeCoverADesktopWithoutTheKey) {
  RegisterDecodedStreamKinds();
  const int frames = 3;
  struct Case {
    const char* kind;
    int width, height;  // of the clip
    int rectWidth, rectHeight;
  } cases[] = {
      {"h264", 320, 240, 320, 240},
      {"h264-noaud", 320, 240, 320, 240},
      {"h264", 200, 120, 200, 120},  // cropped from 208 x 128
      {"h264", 200, 120, 100, 60},  // the same clip scaled
  };
  TempFolder folder;
  Clip clip;
  std::string made;
  for (const Case& c : cases) {
    const std::string form = c.kind + std::to_string(c.width) + "x" + std::to_string(c.height);
    if (form != made) clip = MakeClip(folder, frames, c.kind, c.width, c.height);
    made = form;
    const bool exact = c.rectWidth == c.width && c.rectHeight == c.height;
    for (bool tableStream : {false, true}) {
      SCOPED_TRACE(std::string(c.kind) + " " + std::to_string(c.width) + "x" +
                   std::to_string(c.height) + " into " + std::to_string(c.rectWidth) + "x" +
                   std::to_string(c.rectHeight) + (tableStream ? ", a stream of the table" : ", NSP-h264"));
      auto port = std::make_shared<SurfacePort>(c.width, c.height, 24);
      port->keeper.BitBlt(0, 0, c.width, c.height, 3, DesktopRgb(c.width, c.height).data());
      CAvsSlotDataProcessor processor(0);
      processor.AttachPort(3, port);
      // "NSP-h264" frames, or samples of a stream of the table placed with
      // a magenta key.
      const hs::Rect rect{0, 0, c.rectWidth, c.rectHeight};
      const std::vector<hs::Bytes> messages = tableStream
                                                  ? hs::H264StreamMessages(clip.units, rect, 1, kMagenta)
                                                  : hs::ClipMessages("h264", clip.units, rect);
      for (const hs::Bytes& m : messages) processor.OnSlotData(m.data(), uint32_t(m.size()));
      ASSERT_EQ(size_t(frames), port->keeper.calls.size());
      if (exact) {
        EXPECT_EQ("copy " + std::to_string(c.width) + " " + std::to_string(c.height) + " 3 -1",
                  port->keeper.calls.back());
        EXPECT_GE(Psnr(VisibleRgb(*port, c.width, c.height), clip.Frame(frames - 1)), 30.0);
      } else {
        EXPECT_EQ(VisibleRgb(*port, c.width, c.height), DesktopRgb(c.width, c.height));
      }
    }
  }
}
