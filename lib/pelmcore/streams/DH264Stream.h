// The software H.264 stream kind: binds the H.264 decoder library by name
// when it takes a format, opens the decoder at the first frame (and again
// after a stop or a change of the target size), and draws each picture into
// the stream's rectangle of the display: a picture of the rectangle's own
// size over everything there, any other scaled in keyed like every video.
#pragma once

#include <string>
#include <vector>

#include "H264FrameDecoder.h"
#include "pelplat/library.h"
#include "streams/SurfaceVideoStream.h"

class CDH264Stream : public CSurfaceVideoStream {
 public:
  static constexpr char16_t kLibraryName[] = u"diz264ozi.dll";

  // libraryName: the library to bind (tests name a stand-in by path).
  CDH264Stream(std::shared_ptr<ISlotSessionPort> port, int displayIndex,
               const char16_t* libraryName = kLibraryName);
  ~CDH264Stream() override;

  // The H.264 record (null major and format types) when the library binds:
  // 0, E_FAIL for another record, the binding's failure otherwise (a missing
  // library or export as the Win32 error in an HRESULT).
  int SetFormat(const StreamFormatRecord& record) override;
  // The decode result: -1 for an empty frame or a failed open or decode.
  int ProcessSample(const uint8_t* data, uint32_t length,
                    const StreamSampleContext& context) override;
  // 0 stops the decoder (it opens again at the next frame), 3 starts it.
  int SetState(int state) override;
  int NewSegment(const SegmentRecord&) override { return 0; }

  bool HasDecoder() const { return decoder_ != nullptr; }
  bool NeedsOpen() const { return needsOpen_ != 0; }

 private:
  void Unbind();
  // The picture format asked of the decoder: the surface's keyed drawing
  // takes 3- and 4-byte pictures, and converts 3-byte ones for 16-bit
  // displays itself.
  int PictureBits() const { return depth_ == 32 ? 32 : 24; }
  int DecodeAndDraw(const uint8_t* data, uint32_t length);
  // A picture of the rectangle's own size covers it whatever the desktop
  // holds there: the surface's key -1 stands for no key.
  static constexpr int kNoKey = -1;
  // turned: a 3-byte picture with each pixel's bytes reversed.
  void DrawUnkeyed(ISurfaceKeeper* surface, const RECT& rect, const uint8_t* picture,
                   int bytesPerPixel, bool turned);
  // The picture to draw: turned when the library offers it in that order
  // for a 3-byte copy of the rectangle's own size.
  const uint8_t* TakePicture(int64_t width, int64_t height, int bits, bool* turned);

  std::u16string libraryName_;
  uint32_t needsOpen_ = 1;
  IH264FrameDecoder* decoder_ = nullptr;
  int decodedWidth_ = 0;
  int decodedHeight_ = 0;
  HMODULE library_ = nullptr;
  FreeDecoderFn freeDecoder_ = nullptr;
  GetTurnedPictureFn getTurned_ = nullptr;  // optional
  std::vector<uint8_t> turned_;  // the picture in the order the unkeyed copy takes
};

// Bit 0 when the decoder library loads and offers both exports. Bit 1, the
// browser-video switch, is not this subsystem's.
uint32_t ProbeH264DecoderLibrary(const char16_t* libraryName = CDH264Stream::kLibraryName);
