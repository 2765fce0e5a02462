// A system API that records what the display processor asks of it and
// keeps one real surface, a processor that records its client events
// instead of sending them, and small builders for display packets, plain
// and compressed (type 11).
#pragma once

#include <QImage>
#include <lz4.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "display/Op2Processor.h"
#include "qt/QtDoubleBufferSurfaceKeeper.h"
#include "session/SystemApiSurfaces.h"
#include "support/FakeSlotPort.h"
#include "support/FakeSystemApi.h"

using Bytes = std::vector<uint8_t>;

class FakeDisplayApi : public testsupport::FakeSystemApi {
 public:
  struct Rect {
    int x, y, width, height, display;
    bool operator==(const Rect& o) const {
      return x == o.x && y == o.y && width == o.width && height == o.height && display == o.display;
    }
  };
  struct Resize {
    int width, height, depth, display;
  };

  explicit FakeDisplayApi(bool withSurface = true) {
    if (withSurface) surfaces[0] = &keeper;
  }

  int ResizeDisplay(int width, int height, int depth, int display) override {
    resizes.push_back({width, height, depth, display});
    keeper.Create(width, height, depth, 0);
    return 0;
  }
  int SetCursor(const uint8_t* record, uint32_t length, int) override {
    cursors.emplace_back(record, record + length);
    return 0;
  }
  int SetPointerPosition(int x, int y, int) override {
    pointer.push_back({x, y});
    return 0;
  }
  int SetDesktopGeometry(int32_t a, int32_t b, int32_t c, int32_t d) override {
    geometries.push_back({a, b, c, d});
    return CClientSystemApi::SetDesktopGeometry(a, b, c, d);
  }
  void InvalidateRect(int x, int y, int width, int height, int display) override {
    invalidated.push_back({x, y, width, height, display});
  }
  void SetStreamOverlayFlag(int32_t flag, void* data) override {
    overlayFlags.push_back(flag);
    CClientSystemApi::SetStreamOverlayFlag(flag, data);
  }
  void PostTextMessage(const char* text) override { texts.push_back(text); }

  // The visible bytes of the surface's top-left width x height pixels.
  Bytes Visible(int width, int height) {
    Bytes out;
    const QImage* image = keeper.GetImage();
    if (!image) return out;
    const int bpp = keeper.GetBitsPerPixel() / 8;
    for (int y = 0; y < height; ++y) {
      const uint8_t* row = image->constScanLine(y);
      out.insert(out.end(), row, row + size_t(width) * bpp);
    }
    return out;
  }

  CQtDoubleBufferSurfaceKeeper keeper;
  std::vector<Rect> invalidated;
  std::vector<Resize> resizes;
  std::vector<Bytes> cursors;
  std::vector<std::vector<int>> pointer;
  std::vector<std::vector<int32_t>> geometries;
  std::vector<int32_t> overlayFlags;
  std::vector<std::string> texts;
};

// A display processor on the shared fake slot port answering the fake
// system API's surfaces, without a session client: the client events it
// raises are kept.
class TestOp2Processor : public COp2Processor {
 public:
  explicit TestOp2Processor(CClientSystemApi* api, int display = 0)
      : COp2Processor(display), surfaces(api), port(new testsupport::FakeSlotPort), events(port->events) {
    if (api) port->otherSurfaces = &surfaces;
    session.reset(port);
  }
  int Packet(const Bytes& bytes) { return ProcessPacket(bytes.data(), bytes.size()); }

  SystemApiSurfaces surfaces;
  testsupport::FakeSlotPort* const port;  // owned by the processor
  std::vector<testsupport::FakeSlotPort::Event>& events;
};

// Little-endian packet building.
inline void Put(Bytes& out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(uint8_t(value >> (8 * i)));
}

inline Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

inline Bytes Word(uint16_t w) {
  Bytes out;
  Put(out, w, 2);
  return out;
}

// An order: u16 length, flags, type, body.
inline Bytes OrderBytes(uint8_t type, uint8_t flags, const Bytes& body) {
  Bytes out;
  Put(out, body.size() + 2, 2);
  out.push_back(flags);
  out.push_back(type);
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

inline Bytes ModeBytes(int width, int height, int depth) {
  Bytes body;
  Put(body, width, 2);
  Put(body, height, 2);
  Put(body, depth, 2);
  return OrderBytes(9, 0, body);
}

inline uint16_t Group(int group, int sub) {
  return uint16_t(0xF000 | (group & 0xF) << 6 | (group & 0x20) << 6 | (sub & 0xF));
}

// A type-11 packet around inner, its header fields open to change.
struct Wrapped {
  uint32_t type = 11, compressed = 0, decompressed = 0, tail = 0;
  Bytes block, rest;
  Bytes Packet() const {
    Bytes p;
    for (uint32_t v : {type, compressed, decompressed, tail}) Put(p, v, 4);
    return Cat({p, block, rest});
  }
};

inline Wrapped Wrap(const Bytes& inner, size_t tail) {
  Wrapped w;
  tail = std::min(tail, inner.size());
  const int plain = int(inner.size() - tail);
  std::vector<char> out(LZ4_compressBound(plain));
  const int n = LZ4_compress_default(reinterpret_cast<const char*>(inner.data()), out.data(), plain,
                                     int(out.size()));
  w.block.assign(out.begin(), out.begin() + n);
  w.rest.assign(inner.end() - tail, inner.end());
  w.compressed = uint32_t(n);
  w.decompressed = uint32_t(plain);
  w.tail = uint32_t(tail);
  return w;
}
