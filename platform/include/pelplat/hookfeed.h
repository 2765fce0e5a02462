// The Linux side of the keyboard hook and of posted messages: what the
// native event source, the windows and the hook owners call. The Windows
// side of the same machinery is in pelplat/winuser.h.
#pragma once

#include <functional>

#include "pelplat/winuser.h"

// Runs the low-level keyboard hook chain for one key event (message is
// WM_KEYDOWN, WM_KEYUP, WM_SYSKEYDOWN or WM_SYSKEYUP). Hooks may change the
// event, install or remove hooks while it runs. True when the chain
// swallowed the event: it must then reach nobody else.
bool PlatDispatchKeyboardHook(WPARAM message, KBDLLHOOKSTRUCT* event);

// Delivers one message to a window's native-event path. It must return at
// once (queue the message to the window's thread); false when the message
// could not be queued.
using WindowMessagePoster = std::function<bool(const MSG& message)>;

// A later registration of the same window replaces the poster. Once
// PlatUnregisterWindow has returned, the poster is never called again.
bool PlatRegisterWindow(HWND window, WindowMessagePoster poster);
void PlatUnregisterWindow(HWND window);

// Answers whether a lock key (VK_CAPITAL, VK_NUMLOCK, VK_SCROLL) is toggled.
// May be called on any thread.
using LockKeyStateProvider = std::function<bool(int virtualKey)>;
// Installs a provider (an empty one restores the default, the X keyboard
// indicators of $DISPLAY, or "not toggled" without a display) and returns
// the one it replaces.
LockKeyStateProvider PlatSetLockKeyStateProvider(LockKeyStateProvider provider);

// An X client sees keys only while it has the keyboard, so a hook that
// reports keys to a window needs that window to hold the keyboard grab. A
// hook owner names its target window here (null for none); the grab goes to
// the target of the newest hook that has one and is released when no hook
// has a target, including when the hook is removed. False for a hook that
// is not installed.
bool PlatSetKeyboardHookTarget(HHOOK hook, HWND window);

// Called with the window that must hold the keyboard grab, or null when
// nobody must; called again only when that window changes. Installing a
// grab hook calls it at once when a window must hold the grab. It must not
// name hook targets or install grab hooks itself.
using KeyboardGrabHook = std::function<void(HWND window)>;
KeyboardGrabHook PlatSetKeyboardGrabHook(KeyboardGrabHook hook);
