// Window and view rectangles of the stream slot into the real renderers:
// one slot processor, made once, holds a DirectShow stream (its graph with
// the video filter library's presenter on the DirectDraw model), a player
// stream whose sample renderer holds a last frame, and a DXVA stream on the
// Direct3D 9 model, all drawing into a real surface.
// Input: up to 8 steps of 21 bytes, each a kind byte, a rectangle (left,
// top, right, bottom, i32 each) and a colour key (u32): 0 the DirectShow
// stream's window rectangle, then a repaint; 1 a scroll by (left, top);
// 2 the player stream's view update; 3 a player data record; 4 a VC-1
// frame record for the DXVA stream.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "stream_port.h"
#include "pelplat/d3d9model.h"
#include "pelplat/ddraw.h"
#include "pelplat/debugout.h"
#include "pelplat/mfapi.h"
#include "pelplat/objbase.h"
#include "pelplat/strmif.h"
#include "streams/AvsSlotDataProcessor.h"
#include "streams/DSStream.h"
#include "streams/DXVAStream.h"
#include "streams/StreamMessageCodes.h"
#include "streams/VlcStream.h"
#include "streams/VrSample.h"
#include "streamshared/StreamRecords.h"
#include "sys/ByteReader.h"
#include "sys/ByteWriter.h"

namespace {

constexpr uint32_t kDirectShowId = 1, kPlayerId = 2, kDxvaId = 3;
constexpr size_t kStep = 21;
// A step costs up to two blits of the whole display; more steps only make
// an input slower, not new.
constexpr size_t kMaxSteps = 8;
constexpr int kFrameWidth = 16, kFrameHeight = 12;

// A small display, so that a composition is cheap; every window fills it.
// The presenter's pixels are read as a window system would.
class SmallScreen : public DDrawScreen {
 public:
  bool GetDisplayMode(DDrawDisplayMode* mode) override {
    *mode = {32, 24, 32};
    return true;
  }
  bool GetWindowRect(HWND, RECT* rect) override {
    *rect = {0, 0, 32, 24};
    return true;
  }
  void PutPixels(HWND, int, int, int width, int height, const uint32_t* pixels, int stride) override {
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x) sum_ += pixels[size_t(y) * stride + x];
  }

 private:
  uint32_t sum_ = 0;
};


// A player stream without a decoder: the fuzz target hands its renderer
// frames itself, as a decoder would.
class DecoderlessPlayerStream : public CVlcStream {
 public:
  using CVlcStream::CVlcStream;
  int CreateDecoder(const uint8_t*, uint32_t) override { return 0; }
};

class RectKinds : public StreamKindFactory {
 public:
  std::unique_ptr<CStream> Make(StreamKind kind, const StreamKindArgs& args) override {
    if (kind == StreamKind::kPlayer) return std::make_unique<DecoderlessPlayerStream>(args.port, args.displayIndex);
    return registered_.Make(kind, args);
  }

 private:
  CRegisteredStreamKinds registered_;
};

// A coded stream message of `length` bytes, zero but for its head; the
// writer stands after the id.
struct Message {
  Message(uint32_t code, uint32_t id, size_t length) : bytes(length, 0), out(bytes.data(), bytes.size()) {
    out.U32(code);
    out.U32(0);
    out.U32(id);
  }
  void Rect(const RECT& r) {
    out.I32(r.left);
    out.I32(r.top);
    out.I32(r.right);
    out.I32(r.bottom);
  }
  std::vector<uint8_t> bytes;
  ByteWriter out;
};

struct World {
  // Repaints are counted, not kept, so that a long run does not grow.
  std::shared_ptr<StreamPort> port = [] {
    std::shared_ptr<StreamPort> made = MakeStreamPort();
    made->keepRepaints = false;
    return made;
  }();
  CAvsSlotDataProcessor processor{0};
  CVlcStream* player = nullptr;

  void Send(const std::vector<uint8_t>& message) { processor.OnSlotData(message.data(), uint32_t(message.size())); }
  void Reserve(uint32_t id) { Send(Message(streammsg::kReserve, id, 88).bytes); }

  void MakeDirectShowStream() {
    Reserve(kDirectShowId);
    Message create(streammsg::kCreateFromFormat, kDirectShowId, 88 + 88);
    create.out.U32(64 + 88);
    create.out.Zeros(16);
    WriteGuid(create.out, MEDIATYPE_Video);
    WriteGuid(create.out, MEDIASUBTYPE_MPEG2_VIDEO);
    WriteGuid(create.out, FORMAT_VideoInfo);
    create.out.U32(0x00FF00FF);
    create.out.U32(88);
    create.out.Zeros(48);  // the VIDEOINFOHEADER's picture header follows
    create.out.U32(40);
    create.out.U32(32);
    create.out.U32(32);
    create.out.U16(1);
    create.out.U16(24);
    Send(create.bytes);
    Send(Message(streammsg::kAllocator, kDirectShowId, 28).bytes);
  }

  // The renderer gets a geometry and frames until it has drawn one, which
  // stays its last frame; then it stops, so that every later drawing
  // happens on this thread, within the step that caused it.
  void MakePlayerStream() {
    Reserve(kPlayerId);
    Message create(streammsg::kCreatePlayer, kPlayerId, 68);
    create.out.U32(1);
    create.out.Bytes("H264", 4);
    create.out.I32(kFrameWidth);
    create.out.I32(kFrameHeight);
    Send(create.bytes);
    player = dynamic_cast<CVlcStream*>(processor.FindStream(kPlayerId));
    if (!player) return;
    player->SetVideoOutputFormat(MFVideoFormat_RGB32, kFrameWidth, kFrameHeight);
    SendPlayerData(RECT{0, 0, 40, 30}, 0);
    const std::vector<uint8_t> pixels(kFrameWidth * kFrameHeight * 4, 0x5A);
    const size_t drawn = port->RepaintCount();
    for (int i = 0; i < 40 && port->RepaintCount() < drawn + 2; ++i) {
      CVrVideoSample* frame = new CVrVideoSample(pixels.data(), uint32_t(pixels.size()), kFrameWidth, kFrameHeight, 32, 0);
      player->OnConvertedSample(frame);
      frame->Release();
      if (i >= 16) std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    player->SetState(0);
  }

  void MakeDxvaStream() {
    D3D9ModelAdapter adapter;
    adapter.vendorId = CDXVAStream::kVendorNvidia;
    adapter.profiles = {DXVA2_ModeVC1_D};
    adapter.patternDecoder = true;
    D3D9ModelConfigure(adapter);
    Reserve(kDxvaId);
    Message create(streammsg::kCreateHardware, kDxvaId, 184);
    create.out.U32(4);  // surfaces - 1
    WriteGuid(create.out, DXVA2_ModeVC1_D);
    const uint32_t description[] = {0, 0, 0, 32, 16, 0, 0x3231564E, 30, 1, 30, 1, 0, 0};  // vendor at 32, video at 44
    for (uint32_t v : description) create.out.U32(v);
    create.out.Zeros(132 - create.out.Position());
    create.out.U32(1);  // ConfigBitstreamRaw
    Send(create.bytes);
  }

  void SendPlayerData(const RECT& r, uint32_t key) {
    Message data(streammsg::kPlayerData, kPlayerId, 76);
    data.out.U32(1);
    data.out.U32(key);
    data.Rect(r);
    Send(data.bytes);
  }

  void Step(uint8_t kind, const RECT& r, uint32_t key) {
    switch (kind % 5) {
      case 0: {
        Message rect(streammsg::kWindowRect, kDirectShowId, 48);
        rect.out.Zeros(16);
        rect.Rect(r);
        rect.out.U32(key);
        Send(rect.bytes);
        processor.OnParentPaint(StreamPort::kWindow, 0);
        break;
      }
      case 1:
        processor.ScrollStreams(r.left, r.top);
        break;
      case 2: {
        Message view(streammsg::kViewUpdate, kPlayerId, 56);
        view.out.U32(key);
        view.Rect(r);
        Send(view.bytes);
        break;
      }
      case 3:
        SendPlayerData(r, key);
        break;
      default:
        SendDxvaFrame(r, key);
        break;
    }
  }

  // A VC-1 frame in one record: picture parameters, then 8 bitstream bytes.
  void SendDxvaFrame(const RECT& r, uint32_t key) {
    constexpr size_t kRecord = 44 + (40 + 44 + 4) + (40 + 8);
    Message sample(streammsg::kDirectShowSample, kDxvaId, 52 + kRecord);
    sample.out.Zeros(36);
    sample.out.U32(kRecord);
    sample.out.Zeros(12);  // the frame record
    sample.Rect(r);
    sample.out.U32(key);
    sample.out.Zeros(8);
    sample.out.U32(2);
    sample.out.U32(0);  // picture parameters: decoded and deblocked picture 0
    sample.out.Zeros(4 + 4);
    sample.out.U32(44);
    sample.out.Zeros(24 + 44 + 4);
    sample.out.U32(6);  // bitstream
    sample.out.Zeros(4 + 4);
    sample.out.U32(8);
    sample.out.Zeros(24);
    for (int i = 0; i < 8; ++i) sample.out.U8(uint8_t(key));
    Send(sample.bytes);
  }

};

World& TheWorld() {
  static World* world = [] {
    SetDebugOutputSink([](const std::string&) {});
    static SmallScreen screen;
    DDrawSetScreen(&screen);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    RegisterDirectShowStreams();
    RegisterDxvaStreamKind();
    auto* w = new World;  // lives for the process: its graph's threads may outlast a static's destruction
    w->processor.SetStreamKindFactory(std::unique_ptr<StreamKindFactory>(new RectKinds));
    w->processor.AttachPort(3, w->port);
    w->MakeDirectShowStream();
    w->MakePlayerStream();
    w->MakeDxvaStream();
    return w;
  }();
  return *world;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  World& world = TheWorld();
  for (size_t at = 0; at + kStep <= size && at < kMaxSteps * kStep; at += kStep) {
    ByteReader in(data + at + 1, kStep - 1);
    const RECT r = streammsg::ReadRect(in);
    world.Step(data[at], r, in.U32());
  }
  return 0;
}
