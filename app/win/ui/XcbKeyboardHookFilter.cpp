#include "XcbKeyboardHookFilter.h"

#include <QX11Info>
#include <cstdint>
#include <cstdlib>

#include "pelplat/hookfeed.h"
#include "sys/klog.h"

namespace {

// Set-1 scan code and virtual key of each key, by its Linux input code (an
// X keycode less 8 with the evdev keycodes every current X server uses).
// The Windows virtual keys are those of the US layout: the hook acts on
// lock keys, Pause, right Shift and Hangul only, and the session forwards
// scan codes.
struct KeyPosition {
  uint8_t inputCode;
  uint8_t scan;
  bool extended;
  uint8_t vk;
};

constexpr uint8_t kUnknownVk = 0xFF;
constexpr uint8_t kInputHangul = 122;

const KeyPosition kKeyPositions[] = {
    {1, 0x01, false, 0x1B},    // Escape
    {2, 0x02, false, '1'},     {3, 0x03, false, '2'},     {4, 0x04, false, '3'},
    {5, 0x05, false, '4'},     {6, 0x06, false, '5'},     {7, 0x07, false, '6'},
    {8, 0x08, false, '7'},     {9, 0x09, false, '8'},     {10, 0x0A, false, '9'},
    {11, 0x0B, false, '0'},    {12, 0x0C, false, 0xBD},   {13, 0x0D, false, 0xBB},
    {14, 0x0E, false, 0x08},   // Backspace
    {15, 0x0F, false, 0x09},   // Tab
    {16, 0x10, false, 'Q'},    {17, 0x11, false, 'W'},    {18, 0x12, false, 'E'},
    {19, 0x13, false, 'R'},    {20, 0x14, false, 'T'},    {21, 0x15, false, 'Y'},
    {22, 0x16, false, 'U'},    {23, 0x17, false, 'I'},    {24, 0x18, false, 'O'},
    {25, 0x19, false, 'P'},    {26, 0x1A, false, 0xDB},   {27, 0x1B, false, 0xDD},
    {28, 0x1C, false, 0x0D},   // Enter
    {29, 0x1D, false, VK_LCONTROL},
    {30, 0x1E, false, 'A'},    {31, 0x1F, false, 'S'},    {32, 0x20, false, 'D'},
    {33, 0x21, false, 'F'},    {34, 0x22, false, 'G'},    {35, 0x23, false, 'H'},
    {36, 0x24, false, 'J'},    {37, 0x25, false, 'K'},    {38, 0x26, false, 'L'},
    {39, 0x27, false, 0xBA},   {40, 0x28, false, 0xDE},   {41, 0x29, false, 0xC0},
    {42, 0x2A, false, VK_LSHIFT},
    {43, 0x2B, false, 0xDC},
    {44, 0x2C, false, 'Z'},    {45, 0x2D, false, 'X'},    {46, 0x2E, false, 'C'},
    {47, 0x2F, false, 'V'},    {48, 0x30, false, 'B'},    {49, 0x31, false, 'N'},
    {50, 0x32, false, 'M'},    {51, 0x33, false, 0xBC},   {52, 0x34, false, 0xBE},
    {53, 0x35, false, 0xBF},
    {54, 0x36, false, VK_RSHIFT},
    {55, 0x37, false, 0x6A},   // keypad *
    {56, 0x38, false, VK_LMENU},
    {57, 0x39, false, 0x20},   // Space
    {58, 0x3A, false, VK_CAPITAL},
    {59, 0x3B, false, 0x70},   {60, 0x3C, false, 0x71},   {61, 0x3D, false, 0x72},
    {62, 0x3E, false, 0x73},   {63, 0x3F, false, 0x74},   {64, 0x40, false, 0x75},
    {65, 0x41, false, 0x76},   {66, 0x42, false, 0x77},   {67, 0x43, false, 0x78},
    {68, 0x44, false, 0x79},   // F1..F10
    {69, 0x45, true, VK_NUMLOCK},
    {70, 0x46, false, VK_SCROLL},
    {71, 0x47, false, 0x67},   {72, 0x48, false, 0x68},   {73, 0x49, false, 0x69},
    {74, 0x4A, false, 0x6D},   {75, 0x4B, false, 0x64},   {76, 0x4C, false, 0x65},
    {77, 0x4D, false, 0x66},   {78, 0x4E, false, 0x6B},   {79, 0x4F, false, 0x61},
    {80, 0x50, false, 0x62},   {81, 0x51, false, 0x63},   {82, 0x52, false, 0x60},
    {83, 0x53, false, 0x6E},   // keypad 7..0 and .
    {86, 0x56, false, 0xE2},   // the key left of Z on ISO keyboards
    {87, 0x57, false, 0x7A},   {88, 0x58, false, 0x7B},   // F11, F12
    {89, 0x73, false, 0xC1},   // Ro
    {92, 0x79, false, 0x1C},   // Henkan
    {93, 0x70, false, kUnknownVk},  // Katakana/Hiragana
    {94, 0x7B, false, 0x1D},   // Muhenkan
    {96, 0x1C, true, 0x0D},    // keypad Enter
    {97, 0x1D, true, VK_RCONTROL},
    {98, 0x35, true, 0x6F},    // keypad /
    {99, 0x37, true, 0x2C},    // Print Screen
    {100, 0x38, true, VK_RMENU},
    {102, 0x47, true, 0x24},   // Home
    {103, 0x48, true, 0x26},   // Up
    {104, 0x49, true, 0x21},   // Page Up
    {105, 0x4B, true, 0x25},   // Left
    {106, 0x4D, true, 0x27},   // Right
    {107, 0x4F, true, 0x23},   // End
    {108, 0x50, true, 0x28},   // Down
    {109, 0x51, true, 0x22},   // Page Down
    {110, 0x52, true, 0x2D},   // Insert
    {111, 0x53, true, 0x2E},   // Delete
    {119, 0x45, false, VK_PAUSE},
    {kInputHangul, 0xF2, true, VK_HANGUL},
    {123, 0xF1, true, 0x19},   // Hanja
    {124, 0x7D, false, kUnknownVk},  // Yen
    {125, 0x5B, true, 0x5B},   // left Windows
    {126, 0x5C, true, 0x5C},   // right Windows
    {127, 0x5D, true, 0x5D},   // Menu
};

const KeyPosition* FindKey(unsigned inputCode) {
  for (const KeyPosition& k : kKeyPositions)
    if (k.inputCode == inputCode) return &k;
  return nullptr;
}

constexpr uint8_t kSyntheticBit = 0x80;
constexpr unsigned kEvdevOffset = 8;

}  // namespace

XcbKeyboardHookFilter::XcbKeyboardHookFilter(xcb_connection_t* connection)
    : connection_(connection ? connection : QX11Info::connection()) {
  PlatSetKeyboardGrabHook([this](HWND window) { SetGrabWindow(window); });
}

XcbKeyboardHookFilter::~XcbKeyboardHookFilter() {
  PlatSetKeyboardGrabHook(nullptr);
  SetGrabWindow(nullptr);
}

bool XcbKeyboardHookFilter::TranslateKeyEvent(const xcb_key_press_event_t& event, WPARAM* message,
                                              KBDLLHOOKSTRUCT* record) {
  uint8_t type = event.response_type & ~kSyntheticBit;
  bool up = type == XCB_KEY_RELEASE;
  if (!up && type != XCB_KEY_PRESS) return false;
  if (event.detail < kEvdevOffset) return false;
  unsigned inputCode = event.detail - kEvdevOffset;
  const KeyPosition* key = FindKey(inputCode);
  if (!key) return false;
  // The Hangul key sends one lone code on the keyboards it was designed
  // for; the hook knows it as a press only.
  if (up && inputCode == kInputHangul) return false;

  bool altKey = key->vk == VK_LMENU || key->vk == VK_RMENU;
  bool altDown = altKey ? !up : (event.state & XCB_MOD_MASK_1) != 0;
  bool ctrlDown = (event.state & XCB_MOD_MASK_CONTROL) != 0;
  bool system = altDown && !ctrlDown;

  record->vkCode = key->vk;
  record->scanCode = key->scan;
  record->flags = (key->extended ? LLKHF_EXTENDED : 0) | (altDown ? LLKHF_ALTDOWN : 0) |
                  (up ? LLKHF_UP : 0) |
                  ((event.response_type & kSyntheticBit) ? LLKHF_INJECTED : 0);
  record->time = event.time;
  record->dwExtraInfo = 0;
  if (up)
    *message = system ? WM_SYSKEYUP : WM_KEYUP;
  else
    *message = system ? WM_SYSKEYDOWN : WM_KEYDOWN;
  return true;
}

bool XcbKeyboardHookFilter::nativeEventFilter(const QByteArray& eventType, void* message,
                                              long* result) {
  if (eventType != "xcb_generic_event_t" || !message) return false;
  auto* generic = static_cast<xcb_generic_event_t*>(message);
  uint8_t type = generic->response_type & ~kSyntheticBit;
  if (type == XCB_FOCUS_IN) {
    RetryGrab();
    return false;
  }
  if (type != XCB_KEY_PRESS && type != XCB_KEY_RELEASE) return false;
  RetryGrab();
  WPARAM keyMessage = 0;
  KBDLLHOOKSTRUCT record{};
  if (!TranslateKeyEvent(*static_cast<xcb_key_press_event_t*>(message), &keyMessage, &record))
    return false;
  return PlatDispatchKeyboardHook(keyMessage, &record);
}

void XcbKeyboardHookFilter::SetGrabWindow(HWND window) {
  std::lock_guard<std::mutex> lock(grabMutex_);
  wanted_ = static_cast<xcb_window_t>(reinterpret_cast<uintptr_t>(window));
  refusalLogged_ = false;
  GrabLocked();
}

// A grab is refused while another client holds the keyboard, for instance
// the window manager while it switches windows; the next event tries again.
void XcbKeyboardHookFilter::RetryGrab() {
  std::lock_guard<std::mutex> lock(grabMutex_);
  if (wanted_ != grabbed_) GrabLocked();
}

void XcbKeyboardHookFilter::GrabLocked() {
  if (!connection_) return;
  if (grabbed_ != XCB_NONE && grabbed_ != wanted_) {
    xcb_ungrab_keyboard(connection_, XCB_CURRENT_TIME);
    grabbed_ = XCB_NONE;
    // A round trip: the keyboard is free for other clients once this returns.
    free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
  }
  if (wanted_ != XCB_NONE && grabbed_ != wanted_) {
    // Owner events: the program's other windows keep their own keys.
    xcb_grab_keyboard_cookie_t cookie = xcb_grab_keyboard(
        connection_, 1, wanted_, XCB_CURRENT_TIME, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
    xcb_grab_keyboard_reply_t* reply = xcb_grab_keyboard_reply(connection_, cookie, nullptr);
    if (reply && reply->status == XCB_GRAB_STATUS_SUCCESS) {
      grabbed_ = wanted_;
    } else if (!refusalLogged_) {
      refusalLogged_ = true;
      LogMessageA("XcbKeyboardHookFilter::GrabLocked: keyboard grab for window 0x%x refused (%d)",
                  wanted_, reply ? reply->status : -1);
    }
    free(reply);
  }
  xcb_flush(connection_);
}
