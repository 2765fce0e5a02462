#include "qt/QtSystemApi.h"

#include <QBitmap>
#include <QCoreApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QThread>
#include <QWidget>
#include <algorithm>
#include <atomic>
#include <cstring>

#include "pelplat/utf16.h"
#include "qt/QtClipboardInterface.h"
#include "qt/QtDataEvent.h"
#include "sys/ByteReader.h"
#include "sys/klog.h"

namespace {

std::atomic<CQtSystemApi*> g_instance{nullptr};

constexpr char kTableLockFile[] = "QtSystemApi.cpp";

// Side effects of a connection state.
enum StateEffects : uint32_t {
  kSetsConnected = 1,
  kClearsConnected = 2,
  kSetsConnectEvent = 4,
  kSetsRunEvent = 8,
  kPostsConnected = 16,
};

struct StateEntry {
  const WCHAR* text;
  int32_t reason;
  uint32_t effects;
};

const StateEntry kStates[] = {
    {u"Starting", 0, 0},
    {u"Connecting", 0, 0},
    {u"Connected", 0, kSetsConnected | kSetsConnectEvent | kPostsConnected},
    {u"Handshaking", 0, 0},
    {u"Verifying", 0, 0},
    {u"NormalTitle", 0, kSetsRunEvent},
    {u"Disconnected", 7, kClearsConnected},
    {u"Timeout", 3, kClearsConnected},
    {u"Net Error", 8, kClearsConnected},
    {u"System Error", 9, kClearsConnected},
    {u"System Error", 10, kClearsConnected | kSetsConnectEvent | kSetsRunEvent},
    {u"Can not resolve Kelvane Server name", 11,
     kClearsConnected | kSetsConnectEvent | kSetsRunEvent},
};
constexpr int kStateCount = int(sizeof kStates / sizeof kStates[0]);
constexpr int32_t kUnknownStateReason = 9;

// By the stored connection state; null for states that are no error.
const WCHAR* const kErrorTexts[] = {
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    u"Client is Disconnected", u"Client Connection Timeout!", u"Network error", u"System Error",
    u"Unknown Error", u"Can not resolve Kelvane Server name",
};

constexpr uint32_t Mode(uint32_t width, uint32_t height) { return width | (height << 16); }
constexpr uint32_t ModeWidth(uint32_t mode) { return mode & 0xFFFF; }
constexpr uint32_t ModeHeight(uint32_t mode) { return mode >> 16; }

const uint32_t kFixedModes[] = {
    Mode(800, 600),   Mode(1024, 768),  Mode(1280, 1024), Mode(1440, 1024), Mode(1366, 768),
    Mode(1440, 900),  Mode(1600, 900),  Mode(1600, 1200), Mode(1920, 1080), Mode(1920, 1200),
};
constexpr uint64_t kMaxAddedModeArea = 1920 * 1080;

bool OnGuiThread() {
  QCoreApplication* app = QCoreApplication::instance();
  return app && QThread::currentThread() == app->thread();
}

constexpr uint32_t kCursorKindMask = 3;
constexpr uint32_t kCursorHasMask = 1u << 3;
constexpr uint32_t kCursorHidden = (1u << 30) | (1u << 31);
constexpr int kMaxCursorSide = 256;
constexpr size_t kMonochromeMaskBytes = 128;
constexpr size_t kCursorDataAt = 22;

// A cursor-shape record read and checked; the byte ranges point into it.
struct CursorShape {
  uint32_t flags = 0;
  int hotX = 0;
  int hotY = 0;
  int width = 32;
  int height = 32;
  const uint8_t* mask = nullptr;  // monochrome: the AND mask
  size_t maskBytes = 0;
  const uint8_t* colour = nullptr;  // monochrome: the XOR mask
  size_t colourBytes = 0;
  uint32_t recordBytes = 0;
  uint32_t Kind() const { return flags & kCursorKindMask; }
};

// Flags and hot spot; false when the record is too short for them.
bool ReadCursorFlags(ByteReader& reader, CursorShape* shape) {
  reader.Skip(4);
  shape->flags = reader.U32();
  reader.Skip(4);
  shape->hotX = reader.I16();
  shape->hotY = reader.I16();
  return reader.Ok();
}

// Bytes QImage expects for rows of that many bits per pixel, 32-bit aligned.
uint64_t AlignedImageBytes(int width, int height, int bitsPerPixel) {
  return (uint64_t(width) * bitsPerPixel + 31) / 32 * 4 * uint64_t(height);
}

int CursorBitsPerPixel(uint32_t kind) { return kind == 1 ? 1 : kind == 2 ? 24 : 32; }

bool ParseCursorShape(const uint8_t* record, uint32_t length, CursorShape* shape) {
  ByteReader reader(record, length);
  if (!ReadCursorFlags(reader, shape)) return false;
  if (shape->Kind() == 0) {
    shape->mask = reader.Take(kMonochromeMaskBytes);
    shape->colour = reader.Take(kMonochromeMaskBytes);
    shape->maskBytes = shape->colourBytes = kMonochromeMaskBytes;
    shape->recordBytes = uint32_t(reader.Position());
    return reader.Ok();
  }
  shape->width = reader.I16();
  shape->height = reader.I16();
  const int dataLength = reader.I16();
  if (!reader.Ok() || shape->width <= 0 || shape->height <= 0 || shape->width > kMaxCursorSide ||
      shape->height > kMaxCursorSide || dataLength < 0) {
    return false;
  }
  ByteReader data(reader.Take(size_t(dataLength)), size_t(dataLength));
  if (!reader.Ok()) return false;
  if (shape->flags & kCursorHasMask) shape->maskBytes = size_t(shape->height) * ((shape->width + 7) / 8);
  shape->mask = data.Take(shape->maskBytes);
  shape->colourBytes = size_t(AlignedImageBytes(shape->width, shape->height, CursorBitsPerPixel(shape->Kind())));
  shape->colour = data.Take(shape->colourBytes);
  shape->recordBytes = uint32_t(kCursorDataAt + size_t(dataLength));
  return data.Ok();
}

QCursor* MakeMonochromeCursor(const CursorShape& shape) {
  uint8_t bitmap[kMonochromeMaskBytes];
  uint8_t mask[kMonochromeMaskBytes];
  // Screen AND/XOR to Qt's bitmap and mask: transparent, black, white and
  // inverted pixels stay what they were.
  for (size_t i = 0; i < kMonochromeMaskBytes; ++i) {
    bitmap[i] = uint8_t(~(shape.mask[i] ^ shape.colour[i]));
    mask[i] = uint8_t(~shape.mask[i]);
  }
  const QBitmap b = QBitmap::fromData(QSize(32, 32), bitmap, QImage::Format_Mono);
  const QBitmap m = QBitmap::fromData(QSize(32, 32), mask, QImage::Format_Mono);
  return new QCursor(b, m, shape.hotX, shape.hotY);
}

QCursor* MakeColourCursor(const CursorShape& shape) {
  // The server's mask marks the transparent pixels, Qt's the opaque ones.
  std::vector<uint8_t> mask(shape.mask, shape.mask + shape.maskBytes);
  for (uint8_t& byte : mask) byte = uint8_t(~byte);
  std::vector<uint8_t> colour(shape.colour, shape.colour + shape.colourBytes);
  const size_t pixels = size_t(shape.width) * shape.height;
  if (shape.Kind() == 2) {
    // Blue-green-red to red-green-blue, row by row: each row starts on a
    // 32-bit boundary.
    const size_t stride = shape.colourBytes / size_t(shape.height);
    for (int y = 0; y < shape.height; ++y) {
      uint8_t* row = colour.data() + size_t(y) * stride;
      for (int x = 0; x < shape.width; ++x) std::swap(row[3 * x], row[3 * x + 2]);
    }
  } else if (shape.Kind() == 3 && shape.maskBytes) {
    for (size_t i = 0; i < pixels; ++i) colour[4 * i + 3] = 255;
  }
  const QImage::Format format = shape.Kind() == 1   ? QImage::Format_Mono
                                : shape.Kind() == 2 ? QImage::Format_RGB888
                                                    : QImage::Format_ARGB32;
  QPixmap pixmap = QPixmap::fromImage(QImage(colour.data(), shape.width, shape.height, format));
  if (shape.maskBytes) {
    pixmap.setMask(QBitmap::fromData(QSize(shape.width, shape.height), mask.data(), QImage::Format_Mono));
  }
  return new QCursor(pixmap, shape.hotX, shape.hotY);
}

}  // namespace

CQtSystemApi::CQtSystemApi() { Construct(); }

CQtSystemApi::CQtSystemApi(const QString& appIdKey) : appIds_(appIdKey) { Construct(); }

void CQtSystemApi::Construct() {
  {
    CxAutoLock hold(&frameBufferLock);
    for (int i = 0; i < kDisplayCount; ++i) surfaces[i] = &keepers_[i];
  }
  LocalScreenSizes();
  g_instance.store(this);
  clipboard_ = new QtClipboardInterface;
}

CQtSystemApi::~CQtSystemApi() {
  // The waiter thread calls operations of this class.
  Stop();
  CQtSystemApi* self = this;
  g_instance.compare_exchange_strong(self, nullptr);
  delete clipboard_;
  clipboard_ = nullptr;
  CxAutoLock hold(&frameBufferLock);
  for (ISurfaceKeeper*& surface : surfaces) surface = nullptr;
}

CQtSystemApi* CQtSystemApi::Instance() { return g_instance.load(); }

bool CQtSystemApi::PostToWindow(CQtDataEvent* event, int display) {
  if (!event) return false;
  if (display >= 0 && display < kDisplayCount && event->Valid()) {
    CxAutoLock hold(&windowTableLock_);
    if (QObject* window = windows_[display]) {
      QCoreApplication::postEvent(window, event);
      return true;
    }
  }
  delete event;
  return false;
}

void CQtSystemApi::PostToAll(int32_t code, int32_t length, const void* payload, bool clear) {
  CxAutoLock hold(&windowTableLock_);
  for (int i = 0; i < kDisplayCount; ++i) {
    if (!windows_[i]) continue;
    auto* event = new CQtDataEvent(code, length, payload);
    if (event->Valid()) {
      QCoreApplication::postEvent(windows_[i], event);
    } else {
      delete event;
    }
    if (clear) {
      windows_[i] = nullptr;
      windowIds_[i] = 0;
    }
  }
}

bool CQtSystemApi::RegisterWindow(int display, QObject* window) {
  if (display < 0 || display >= kDisplayCount || !window) return false;
  UINT_PTR id = 0;
  if (auto* widget = qobject_cast<QWidget*>(window)) id = UINT_PTR(widget->window()->winId());
  CxAutoLock hold(&windowTableLock_);
  if (windows_[display]) return false;
  displayEvents[display].Reset();
  windows_[display] = window;
  windowIds_[display] = id;
  return true;
}

void CQtSystemApi::UnregisterWindow(QObject* window) {
  CxAutoLock hold(&windowTableLock_);
  for (int i = 0; i < kDisplayCount; ++i) {
    if (windows_[i] == window) {
      windows_[i] = nullptr;
      windowIds_[i] = 0;
    }
  }
}

QObject* CQtSystemApi::WindowAt(int display) {
  if (display < 0 || display >= kDisplayCount) return nullptr;
  CxAutoLock hold(&windowTableLock_);
  return windows_[display];
}

void CQtSystemApi::LockWindowTable() { windowTableLock_.Acquire(kTableLockFile, __LINE__); }

void CQtSystemApi::UnlockWindowTable() { windowTableLock_.Release(); }

void CQtSystemApi::PostTextMessage(const char* text) {
  if (!text) return;
  const size_t length = strlen(text) + 1;
  if (length > size_t(INT32_MAX)) return;
  PostToWindow(new CQtDataEvent(CQtDataEvent::kTovixText, int32_t(length), text), 0);
}

void CQtSystemApi::ShowMessageBox(const WCHAR* caption, const WCHAR* text, int noWait) {
  if (!showNormalMessages.load()) return;
  MessageBoxPayload box{};
  WcsCopyTruncate(box.caption, MessageBoxPayload::kCaptionChars, caption ? caption : u"");
  WcsCopyTruncate(box.text, MessageBoxPayload::kTextChars, text ? text : u"");
  box.noWait = uint32_t(noWait);
  CxEvent done;
  bool wait = false;
  {
    CxAutoLock hold(&windowTableLock_);
    // On the GUI thread the box could never be shown while we wait, nor
    // once the system API stops.
    wait = noWait == 0 && !OnGuiThread() && QCoreApplication::instance() && !stopping_;
    if (wait) {
      done.Create(false, false);
      box.done = &done;
    }
    auto* event = new CQtDataEvent(CQtDataEvent::kMessageBox, int32_t(sizeof box), &box);
    if (!event->Valid()) wait = false;  // it carries no event to set
    // A refused post deletes the event, which sets the event: the wait
    // below then returns at once. So does an event Stop takes away.
    PostToWindow(event, 0);
  }
  if (wait) done.Wait(INFINITE);
  if (box.done) done.Close();
}

void CQtSystemApi::Stop() {
  {
    CxAutoLock hold(&windowTableLock_);
    stopping_ = true;
    for (QObject* window : windows_) {
      if (window) QCoreApplication::removePostedEvents(window, CQtDataEvent::kType);
    }
  }
  CClientSystemApi::Stop();
}

void CQtSystemApi::ShowSystemMessageBox(const uint8_t* record) {
  if (!showSystemMessages.load() || !record) return;
  CClientSystemApi::ShowSystemMessageBox(record);
  // The connection thread calls this: it must never wait for the user.
  SystemMessageBoxPayload box{};
  memcpy(box.record, record, SystemMessageBoxPayload::kRecordBytes);
  box.done = nullptr;
  PostToWindow(new CQtDataEvent(CQtDataEvent::kSystemMessageBox, int32_t(sizeof box), &box), 0);
}

const WCHAR* CQtSystemApi::GetErrorText() {
  const int32_t state = ConnectionState();
  if (state >= 0 && state < int32_t(sizeof kErrorTexts / sizeof kErrorTexts[0])) {
    return kErrorTexts[state];
  }
  return u"Unknown Error";
}

int CQtSystemApi::SetConnectionState(int state, int final) {
  StateEntry entry;
  if (state >= 0 && state < kStateCount) {
    entry = kStates[state];
  } else {
    WCHAR text[260];
    SnwPrintf(text, 260, u"Unknown state %d\n", state);
    LogMessageW(u"%ls", text);
    entry = {nullptr, kUnknownStateReason, kClearsConnected};
    final = 1;
  }
  if (entry.effects & kSetsConnected) connected.store(1);
  if (entry.effects & kClearsConnected) connected.store(0);
  if (entry.effects & kSetsConnectEvent) connectEvent.Set();
  if (entry.effects & kSetsRunEvent) runEvent.Set();
  if (entry.effects & kPostsConnected) PostToAll(CQtDataEvent::kConnected, 0, nullptr, false);
  StoreConnectionState(state);
  if (final) {
    PostToAll(CQtDataEvent::kClose, int32_t(sizeof entry.reason), &entry.reason, true);
  } else {
    const int32_t bytes = int32_t((WcsLen(entry.text) + 1) * sizeof(WCHAR));
    PostToAll(CQtDataEvent::kStatusText, bytes, entry.text, false);
  }
  return 0;
}

void CQtSystemApi::SetMessageText(const WCHAR*, const WCHAR* text) {
  StoreMessageText(text);
  connectEvent.Set();
  runEvent.Set();
}

void CQtSystemApi::GetColorDepths(std::vector<uint8_t>& depths) {
  depths.push_back(16);
  depths.push_back(24);
}

QList<QSize> CQtSystemApi::LocalScreenSizes() const {
  std::lock_guard<std::mutex> hold(screensMutex_);
  if (OnGuiThread() && qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
    screens_.clear();
    // Qt lists the primary screen first.
    for (QScreen* screen : QGuiApplication::screens()) screens_.append(screen->geometry().size());
  }
  return screens_;
}

void CQtSystemApi::GetDisplayModes(std::vector<uint32_t>& modes, int screen) {
  modes.insert(modes.end(), std::begin(kFixedModes), std::end(kFixedModes));
  const QList<QSize> screens = LocalScreenSizes();
  const QSize size = screen >= 0 && screen < screens.size() ? screens[screen] : QSize();
  if (size.width() <= 0 || size.height() <= 0) return;
  const uint32_t own = Mode(uint32_t(size.width()) & 0xFFFF, uint32_t(size.height()) & 0xFFFF);
  if (std::find(modes.begin(), modes.end(), own) == modes.end() &&
      uint64_t(size.width()) * uint64_t(size.height()) <= kMaxAddedModeArea) {
    modes.push_back(own);
  }
  std::stable_sort(modes.begin(), modes.end(), [](uint32_t a, uint32_t b) {
    if (ModeWidth(a) != ModeWidth(b)) return ModeWidth(a) < ModeWidth(b);
    return ModeHeight(a) < ModeHeight(b);
  });
}

void CQtSystemApi::FindBestMode(uint32_t* mode, int screen) {
  if (!mode) return;
  *mode = 0;
  const QList<QSize> screens = LocalScreenSizes();
  if (screen < 0 || screen >= screens.size()) return;
  const uint32_t width = uint32_t(std::max(0, screens[screen].width()));
  const uint32_t height = uint32_t(std::max(0, screens[screen].height()));
  std::vector<uint32_t> modes;
  GetDisplayModes(modes, screen);
  for (uint32_t candidate : modes) {
    if (ModeWidth(candidate) > width || ModeHeight(candidate) > height) continue;
    *mode = candidate;
    if (ModeWidth(candidate) == width && ModeHeight(candidate) == height) return;
  }
}

void CQtSystemApi::GetModeWords(uint32_t* pairs, uint32_t capacityWords) {
  if (!pairs) return;
  std::vector<uint32_t> modes;
  GetDisplayModes(modes, 0);
  const size_t n = std::min<size_t>(modes.size(), capacityWords / 2);
  for (size_t i = 0; i < n; ++i) {
    const uint32_t width = ModeWidth(modes[i]) & 0xFFF;
    const uint32_t height = ModeHeight(modes[i]) & 0xFFF;
    pairs[2 * i] = (width << 16) | height | 0x6000;
    pairs[2 * i + 1] = (height << 16) | width | 0x6000;
  }
}

int CQtSystemApi::ResizeDisplay(int width, int height, int depth, int display) {
  if (display < 0 || display >= kDisplayCount) return 0;
  if (ISurfaceKeeper* surface = LockFrameBuffer(display)) {
    surface->Create(width, height, depth, 0);
    UnlockFrameBuffer(surface);
  }
  const int32_t size[3] = {height, width, depth};
  PostToWindow(new CQtDataEvent(CQtDataEvent::kDisplaySize, int32_t(sizeof size), size), display);
  return 0;
}

void CQtSystemApi::InvalidateRect(int x, int y, int width, int height, int display) {
  const int32_t rect[4] = {x, y, int32_t(int64_t(x) + width - 1), int32_t(int64_t(y) + height - 1)};
  PostToWindow(new CQtDataEvent(CQtDataEvent::kChangedRect, int32_t(sizeof rect), rect), display);
  invalidated.store(1);
}

uint32_t CQtSystemApi::CursorShapeBytes(const uint8_t* record, uint32_t length) {
  CursorShape shape;
  return ParseCursorShape(record, length, &shape) ? shape.recordBytes : 0;
}

int CQtSystemApi::SetCursor(const uint8_t* record, uint32_t length, int display) {
  const int32_t pointer = pointerDisplay.load();
  if (pointer != -1 && pointer != display) return 0;
  // A hidden cursor needs nothing beyond its flags.
  ByteReader reader(record, length);
  reader.Skip(4);
  const uint32_t flags = reader.U32();
  if (!reader.Ok()) return 0;
  if (flags & kCursorHidden) {
    PostToWindow(new CQtDataEvent(CQtDataEvent::kHideCursor, 0, nullptr), display);
    return 0;
  }
  CursorShape shape;
  if (!ParseCursorShape(record, length, &shape)) {
    LogMessageA("CQtSystemApi::SetCursor: malformed cursor shape of %u bytes dropped\n", length);
    return 0;
  }
  // The copy keeps one byte beyond a colour record's data, zero.
  std::vector<uint8_t> copy(record, record + shape.recordBytes);
  if (shape.Kind() != 0) copy.push_back(0);
  PostToWindow(new CQtDataEvent(CQtDataEvent::kCursorShape, int32_t(copy.size()), copy.data()),
               display);
  return 0;
}

QCursor* CQtSystemApi::MakeCursor(const uint8_t* record, uint32_t length) {
  CursorShape shape;
  if (!ParseCursorShape(record, length, &shape) || (shape.flags & kCursorHidden)) return nullptr;
  QCursor* cursor = shape.Kind() == 0 ? MakeMonochromeCursor(shape) : MakeColourCursor(shape);
  // The new shape shows at once, not at the next move.
  QCursor::setPos(QCursor::pos());
  return cursor;
}

CClipboardInterface* CQtSystemApi::GetClipboard() { return clipboard_; }

void CQtSystemApi::EnableClipboard(bool enabled) {
  if (clipboard_) clipboard_->SetEnabled(enabled);
}

bool CQtSystemApi::IsClipboardEnabled() { return clipboard_ && clipboard_->IsEnabled(); }

const QImage* CQtSystemApi::DisplayImage(int display) const {
  if (display < 0 || display >= kDisplayCount) return nullptr;
  return keepers_[display].GetImage();
}

UINT_PTR CQtSystemApi::GetDisplayWindowId(int display) {
  if (display < 0 || display >= kDisplayCount) return 0;
  CxAutoLock hold(&windowTableLock_);
  return windowIds_[display];
}
