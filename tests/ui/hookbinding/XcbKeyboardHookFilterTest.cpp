#include <gtest/gtest.h>

#include "pelplat/winuser.h"
#include "ui/XcbKeyboardHookFilter.h"

namespace {

constexpr uint16_t kShift = XCB_MOD_MASK_SHIFT;
constexpr uint16_t kCtrl = XCB_MOD_MASK_CONTROL;
constexpr uint16_t kAlt = XCB_MOD_MASK_1;
constexpr uint8_t kSynthetic = 0x80;

struct EventCase {
  const char* name;
  uint8_t responseType;
  uint8_t keycode;  // X keycode: Linux input code + 8
  uint16_t state;
  WPARAM message;
  DWORD vk, scan, flags;
};

const EventCase kEvents[] = {
    {"letter A press", XCB_KEY_PRESS, 38, 0, WM_KEYDOWN, 'A', 0x1E, 0},
    {"letter A release", XCB_KEY_RELEASE, 38, 0, WM_KEYUP, 'A', 0x1E, LLKHF_UP},
    {"shifted A", XCB_KEY_PRESS, 38, kShift, WM_KEYDOWN, 'A', 0x1E, 0},
    {"Alt+Tab", XCB_KEY_PRESS, 23, kAlt, WM_SYSKEYDOWN, 0x09, 0x0F, LLKHF_ALTDOWN},
    {"Alt+Tab release", XCB_KEY_RELEASE, 23, kAlt, WM_SYSKEYUP, 0x09, 0x0F, LLKHF_ALTDOWN | LLKHF_UP},
    {"Ctrl+Alt+Delete", XCB_KEY_PRESS, 119, kCtrl | kAlt, WM_KEYDOWN, 0x2E, 0x53,
     LLKHF_EXTENDED | LLKHF_ALTDOWN},
    {"left Alt press", XCB_KEY_PRESS, 64, 0, WM_SYSKEYDOWN, VK_LMENU, 0x38, LLKHF_ALTDOWN},
    {"left Alt release", XCB_KEY_RELEASE, 64, kAlt, WM_KEYUP, VK_LMENU, 0x38, LLKHF_UP},
    {"right Alt press", XCB_KEY_PRESS, 108, 0, WM_SYSKEYDOWN, VK_RMENU, 0x38,
     LLKHF_EXTENDED | LLKHF_ALTDOWN},
    {"right Ctrl", XCB_KEY_PRESS, 105, 0, WM_KEYDOWN, VK_RCONTROL, 0x1D, LLKHF_EXTENDED},
    {"right Shift", XCB_KEY_PRESS, 62, 0, WM_KEYDOWN, VK_RSHIFT, 0x36, 0},
    {"Caps Lock", XCB_KEY_PRESS, 66, 0, WM_KEYDOWN, VK_CAPITAL, 0x3A, 0},
    {"Num Lock", XCB_KEY_PRESS, 77, 0, WM_KEYDOWN, VK_NUMLOCK, 0x45, LLKHF_EXTENDED},
    {"Scroll Lock", XCB_KEY_PRESS, 78, 0, WM_KEYDOWN, VK_SCROLL, 0x46, 0},
    {"Pause", XCB_KEY_PRESS, 127, 0, WM_KEYDOWN, VK_PAUSE, 0x45, 0},
    {"keypad Enter", XCB_KEY_PRESS, 104, 0, WM_KEYDOWN, 0x0D, 0x1C, LLKHF_EXTENDED},
    {"keypad divide", XCB_KEY_PRESS, 106, 0, WM_KEYDOWN, 0x6F, 0x35, LLKHF_EXTENDED},
    {"keypad 7", XCB_KEY_PRESS, 79, 0, WM_KEYDOWN, 0x67, 0x47, 0},
    {"Home", XCB_KEY_PRESS, 110, 0, WM_KEYDOWN, 0x24, 0x47, LLKHF_EXTENDED},
    {"Up", XCB_KEY_PRESS, 111, 0, WM_KEYDOWN, 0x26, 0x48, LLKHF_EXTENDED},
    {"Page Down", XCB_KEY_PRESS, 117, 0, WM_KEYDOWN, 0x22, 0x51, LLKHF_EXTENDED},
    {"Insert", XCB_KEY_PRESS, 118, 0, WM_KEYDOWN, 0x2D, 0x52, LLKHF_EXTENDED},
    {"F12", XCB_KEY_PRESS, 96, 0, WM_KEYDOWN, 0x7B, 0x58, 0},
    {"left Windows", XCB_KEY_PRESS, 133, 0, WM_KEYDOWN, 0x5B, 0x5B, LLKHF_EXTENDED},
    {"Hangul press", XCB_KEY_PRESS, 130, 0, WM_KEYDOWN, VK_HANGUL, 0xF2, LLKHF_EXTENDED},
    {"synthetic letter", XCB_KEY_PRESS | kSynthetic, 38, 0, WM_KEYDOWN, 'A', 0x1E, LLKHF_INJECTED},
    {"synthetic release", XCB_KEY_RELEASE | kSynthetic, 38, 0, WM_KEYUP, 'A', 0x1E,
     LLKHF_INJECTED | LLKHF_UP},
};

xcb_key_press_event_t Event(uint8_t responseType, uint8_t keycode, uint16_t state) {
  xcb_key_press_event_t event{};
  event.response_type = responseType;
  event.detail = keycode;
  event.state = state;
  event.time = 4321;
  return event;
}

TEST(XcbKeyboardHookFilter, KeyEventsBecomeHookRecords) {
  for (const EventCase& c : kEvents) {
    SCOPED_TRACE(c.name);
    WPARAM message = 0;
    KBDLLHOOKSTRUCT record{};
    ASSERT_TRUE(XcbKeyboardHookFilter::TranslateKeyEvent(Event(c.responseType, c.keycode, c.state),
                                                         &message, &record));
    EXPECT_EQ(message, c.message);
    EXPECT_EQ(record.vkCode, c.vk);
    EXPECT_EQ(record.scanCode, c.scan);
    EXPECT_EQ(record.flags, c.flags);
    EXPECT_EQ(record.time, 4321u);
  }
}

TEST(XcbKeyboardHookFilter, EventsTheHookIsNotShown) {
  struct Case {
    const char* name;
    uint8_t responseType;
    uint8_t keycode;
  };
  const Case cases[] = {
      {"Hangul release", XCB_KEY_RELEASE, 130},
      {"keycode below the input codes", XCB_KEY_PRESS, 7},
      {"input code without a position", XCB_KEY_PRESS, 8 + 84},
      {"keycode 255", XCB_KEY_PRESS, 255},
      {"not a key event", XCB_BUTTON_PRESS, 38},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WPARAM message = 0;
    KBDLLHOOKSTRUCT record{};
    EXPECT_FALSE(XcbKeyboardHookFilter::TranslateKeyEvent(Event(c.responseType, c.keycode, 0),
                                                          &message, &record));
  }
}

TEST(XcbKeyboardHookFilter, EverySet1BaseKeyKeepsItsInputCode) {
  // Escape .. keypad '.', where the Linux input code is the set-1 code,
  // less Num Lock (an extended key to the hook) and the unused 84 gap.
  for (unsigned input = 1; input <= 83; ++input) {
    SCOPED_TRACE(input);
    WPARAM message = 0;
    KBDLLHOOKSTRUCT record{};
    ASSERT_TRUE(XcbKeyboardHookFilter::TranslateKeyEvent(
        Event(XCB_KEY_PRESS, static_cast<uint8_t>(input + 8), 0), &message, &record));
    EXPECT_EQ(record.scanCode, input);
    EXPECT_EQ((record.flags & LLKHF_EXTENDED) != 0, input == 69);
  }
}

}  // namespace
