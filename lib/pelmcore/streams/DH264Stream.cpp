#include "streams/DH264Stream.h"
#include "session/SurfaceLock.h"

#include <mutex>
#include <new>
#include <set>

#include "display/ReversedPixels.h"
#include "display/SurfaceKeeper.h"
#include "pelplat/winerror.h"
#include "streams/MediaTypeGuids.h"
#include "sys/klog.h"

namespace {

HRESULT LastErrorResult() { return HRESULT(0x80070000u | (GetLastError() & 0xFFFF)); }

// A decoder library, once bound, stays loaded to the end of the process:
// loading it brings in the codec libraries and their relocations, which
// cost more than many frames, and streams come and go with every video.
// Streams still take and give back their own reference.
void KeepLoaded(const std::u16string& name) {
  static std::mutex lock;
  static auto* kept = new std::set<std::u16string>;  // lives as long as the libraries
  std::lock_guard<std::mutex> hold(lock);
  if (kept->insert(name).second && !LoadLibraryW(name.c_str())) kept->erase(name);
}

}  // namespace

CDH264Stream::CDH264Stream(std::shared_ptr<ISlotSessionPort> port, int displayIndex,
                           const char16_t* libraryName)
    : CSurfaceVideoStream(std::move(port), displayIndex),
      libraryName_(libraryName ? libraryName : kLibraryName) {}

CDH264Stream::~CDH264Stream() {
  ReleaseSurface();
  port_.reset();
  Unbind();
}

void CDH264Stream::Unbind() {
  if (freeDecoder_ && decoder_) freeDecoder_(decoder_);
  if (library_) FreeLibrary(library_);
  decoder_ = nullptr;
  freeDecoder_ = nullptr;
  getTurned_ = nullptr;
  library_ = nullptr;
  needsOpen_ = 1;
}

int CDH264Stream::SetFormat(const StreamFormatRecord& record) {
  using namespace mediaguid;
  if (record.majorType != kNull || record.formatType != kNull || record.subtype != kSubtypeH264)
    return E_FAIL;
  Unbind();
  library_ = LoadLibraryW(libraryName_.c_str());
  if (!library_) return LastErrorResult();
  auto getInterface =
      reinterpret_cast<GetInterfaceToDecoderFn>(GetProcAddress(library_, "GetInterfaceToDecoder"));
  if (!getInterface) {
    const HRESULT failure = LastErrorResult();
    Unbind();
    return failure;
  }
  HRESULT result = getInterface(&decoder_);
  if (FAILED(result) || !decoder_) {
    // A decoder handed out with a failure cannot be freed without the
    // export; look it up before letting go.
    freeDecoder_ = reinterpret_cast<FreeDecoderFn>(GetProcAddress(library_, "FreeDecoder"));
    if (!FAILED(result)) result = E_FAIL;
    Unbind();
    return result;
  }
  freeDecoder_ = reinterpret_cast<FreeDecoderFn>(GetProcAddress(library_, "FreeDecoder"));
  if (!freeDecoder_) {
    // Without its counterpart the object cannot be released; it is left
    // to the library, which goes with it.
    const HRESULT failure = LastErrorResult();
    decoder_ = nullptr;
    Unbind();
    return failure;
  }
  getTurned_ = reinterpret_cast<GetTurnedPictureFn>(GetProcAddress(library_, "GetTurnedPicture"));
  KeepLoaded(libraryName_);
  return 0;
}

int CDH264Stream::ProcessSample(const uint8_t* data, uint32_t length, const StreamSampleContext&) {
  if (!decoder_) return 0;
  const bool resized = RectWidth() != int64_t(previousRect_.right) - previousRect_.left ||
                       RectHeight() != int64_t(previousRect_.bottom) - previousRect_.top;
  if (resized && !needsOpen_) {
    decoder_->Stop();
    needsOpen_ = 1;
    decoder_->Start();
  }
  if (!port_ || !port_->Surfaces()) return 0;
  const int result = DecodeAndDraw(data, length);
  KeepRect();
  return result;
}

int CDH264Stream::DecodeAndDraw(const uint8_t* data, uint32_t length) {
  if (!data || length == 0) return -1;
  const RECT rect = currentRect_;
  const int64_t w = RectWidth(), h = RectHeight();
  if (needsOpen_) {
    // A rectangle the size fields cannot carry opens as an empty target.
    const bool fits = w >= 0 && h >= 0 && w <= INT32_MAX && h <= INT32_MAX;
    if (decoder_->Open(data, length, fits ? int(w) : 0, fits ? int(h) : 0) != 0) return -1;
    needsOpen_ = 0;
  }
  if (decoder_->DecodeFrame(data, length, 0) != 0) return -1;
  const int bits = PictureBits();
  bool turned = false;
  const uint8_t* picture = TakePicture(w, h, bits, &turned);
  SurfaceLock lock(port_.get(), display_);
  ISurfaceKeeper* surface = lock.Surface();
  if (!surface) return 0;
  // A picture whose size the decoder reports out of bounds is not drawn.
  if (picture && VideoPictureBytes(decodedWidth_, decodedHeight_, bits / 8) != 0) {
    if (decodedWidth_ == w && decodedHeight_ == h)
      DrawUnkeyed(surface, rect, picture, bits / 8, turned);
    else
      surface->StretchBltKeyed(-decodedWidth_, decodedHeight_, rect, bits / 8, picture,
                               int(surfaceKey_));
  }
  surface->AddDamage(rect.left, rect.top, int(w), int(h));
  return 0;
}

const uint8_t* CDH264Stream::TakePicture(int64_t width, int64_t height, int bits, bool* turned) {
  *turned = false;
  if (getTurned_ && bits == 24 && width > 0 && height > 0 && width <= INT32_MAX &&
      height <= INT32_MAX) {
    const uint8_t* picture =
        getTurned_(decoder_, int(width), int(height), &decodedWidth_, &decodedHeight_);
    if (picture && decodedWidth_ == width && decodedHeight_ == height) {
      *turned = true;
      return picture;
    }
  }
  return decoder_->GetPicture(&decodedWidth_, &decodedHeight_, int(width), int(height), bits);
}

void CDH264Stream::DrawUnkeyed(ISurfaceKeeper* surface, const RECT& rect, const uint8_t* picture,
                               int bytesPerPixel, bool turned) {
  // A 3-byte surface copies a picture without a key in the opposite byte
  // order to its keyed drawing, which the decoder's pictures are made for;
  // a turned picture is already in that order.
  const bool surfaceTurns = bytesPerPixel == 3 && surface->GetBitsPerPixel() == 24;
  if (surfaceTurns != turned) {
    const size_t bytes = size_t(decodedWidth_) * size_t(decodedHeight_) * 3;
    try {
      turned_.resize(bytes);
    } catch (const std::bad_alloc&) {
      LogMessageA("CDH264Stream::ProcessSample: no memory for the picture; the frame is skipped\n");
      return;
    }
    ReverseThreeBytePixels(turned_.data(), picture, bytes / 3);
    picture = turned_.data();
  }
  surface->BitBltKeyed(rect.left, rect.top, decodedWidth_, decodedHeight_, bytesPerPixel, picture,
                       kNoKey);
}

int CDH264Stream::SetState(int state) {
  if (!decoder_) return 0;
  if (state == 0) {
    if (!needsOpen_) {
      decoder_->Stop();
      needsOpen_ = 1;
    }
  } else if (state == 3) {
    decoder_->Start();
  }
  return 0;
}

uint32_t ProbeH264DecoderLibrary(const char16_t* libraryName) {
  HMODULE library = LoadLibraryW(libraryName);
  if (!library) return 0;
  const bool exports = GetProcAddress(library, "GetInterfaceToDecoder") &&
                       GetProcAddress(library, "FreeDecoder");
  FreeLibrary(library);
  return exports ? 1 : 0;
}
