#include "streams/DecodedStreamKinds.h"

#include "session/HelloProbes.h"
#include "streams/AudioStream.h"
#include "streams/DH264Stream.h"
#include "streams/DJStream.h"
#include "streams/StreamKindFactory.h"
#include "streams/VideoStream.h"

namespace {

std::unique_ptr<CStream> MakeVideo(const StreamKindArgs&) { return std::make_unique<CVideoStream>(); }
std::unique_ptr<CStream> MakeAudio(const StreamKindArgs& args) { return std::make_unique<CAudioStream>(args.sound); }
std::unique_ptr<CStream> MakeH264(const StreamKindArgs& args) {
  return std::make_unique<CDH264Stream>(args.port, args.displayIndex);
}
std::unique_ptr<CStream> MakeMjpeg(const StreamKindArgs& args) {
  return std::make_unique<CDJStream>(args.port, args.displayIndex);
}
uint32_t ProbeDecoderLibrary() { return ProbeH264DecoderLibrary(); }

}  // namespace

void RegisterDecodedStreamKinds() {
  RegisterStreamKindMaker(StreamKind::kVideo, &MakeVideo);
  RegisterStreamKindMaker(StreamKind::kAudio, &MakeAudio);
  RegisterStreamKindMaker(StreamKind::kDH264, &MakeH264);
  RegisterStreamKindMaker(StreamKind::kDJ, &MakeMjpeg);
  SetHelloProbe(&HelloProbes::probeH264Support, &ProbeDecoderLibrary);
}
