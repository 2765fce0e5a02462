// Windows, posted messages, the low-level keyboard hook and the lock-key
// state: the subset the system-key road calls. A window handle is opaque
// here; the Qt side uses a top-level window's native id (its X window).
#pragma once

#include "pelplat/wintypes.h"

struct HWND__;
typedef HWND__* HWND;
struct HHOOK__;
typedef HHOOK__* HHOOK;
typedef HMODULE HINSTANCE;

typedef LRESULT (*HOOKPROC)(int code, WPARAM wParam, LPARAM lParam);

#define WH_KEYBOARD_LL 13
#define HC_ACTION 0

#define WM_KEYDOWN 0x0100u
#define WM_KEYUP 0x0101u
#define WM_SYSKEYDOWN 0x0104u
#define WM_SYSKEYUP 0x0105u
#define WM_USER 0x0400u

// Flags of a low-level keyboard event.
#define LLKHF_EXTENDED 0x01u
#define LLKHF_INJECTED 0x10u
#define LLKHF_ALTDOWN 0x20u
#define LLKHF_UP 0x80u

// Virtual keys the hook and the lock-key queries name.
#define VK_PAUSE 0x13
#define VK_CAPITAL 0x14
#define VK_HANGUL 0x15
#define VK_NUMLOCK 0x90
#define VK_SCROLL 0x91
#define VK_LSHIFT 0xA0
#define VK_RSHIFT 0xA1
#define VK_LCONTROL 0xA2
#define VK_RCONTROL 0xA3
#define VK_LMENU 0xA4
#define VK_RMENU 0xA5

#ifndef ERROR_INVALID_WINDOW_HANDLE
#define ERROR_INVALID_WINDOW_HANDLE 1400u
#endif
#ifndef ERROR_INVALID_HOOK_HANDLE
#define ERROR_INVALID_HOOK_HANDLE 1404u
#endif
#ifndef ERROR_INVALID_HOOK_FILTER
#define ERROR_INVALID_HOOK_FILTER 1426u
#endif
#ifndef ERROR_INVALID_FILTER_PROC
#define ERROR_INVALID_FILTER_PROC 1427u
#endif
#ifndef ERROR_GLOBAL_ONLY_HOOK
#define ERROR_GLOBAL_ONLY_HOOK 1429u
#endif
#ifndef ERROR_NOT_ENOUGH_QUOTA
#define ERROR_NOT_ENOUGH_QUOTA 1816u
#endif

struct KBDLLHOOKSTRUCT {
  DWORD vkCode;
  DWORD scanCode;
  DWORD flags;
  DWORD time;
  ULONG_PTR dwExtraInfo;
};
typedef KBDLLHOOKSTRUCT* PKBDLLHOOKSTRUCT;
typedef KBDLLHOOKSTRUCT* LPKBDLLHOOKSTRUCT;

// What a window's native-event path receives for a posted message.
struct MSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
  POINT pt;
};

// Only WH_KEYBOARD_LL, for all threads (threadId 0). The newest hook runs
// first; each hook reaches the older ones through CallNextHookEx.
HHOOK SetWindowsHookExW(int idHook, HOOKPROC proc, HINSTANCE module, DWORD threadId);
BOOL UnhookWindowsHookEx(HHOOK hook);
// Inside a dispatch: calls the next hook of the running chain and returns
// its result (0 past the last one). Outside a dispatch: the hook after
// `hook` in the installed chain.
LRESULT CallNextHookEx(HHOOK hook, int code, WPARAM wParam, LPARAM lParam);

// Hands the message to the window's poster and returns at once; FALSE with
// ERROR_INVALID_WINDOW_HANDLE for a window that registered none.
BOOL PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Low bit: the lock key is toggled. Only VK_CAPITAL, VK_NUMLOCK and
// VK_SCROLL are known; every other key answers 0.
SHORT GetKeyState(int virtualKey);

// Thread message queues. A thread gets its queue at its first GetMessageW or
// PeekMessageW; until then PostThreadMessageW to it fails with
// ERROR_INVALID_THREAD_ID. Only thread messages exist here: the window and
// range filters of the reads must be null and 0.
#ifndef ERROR_INVALID_THREAD_ID
#define ERROR_INVALID_THREAD_ID 1444u
#endif
#define PM_NOREMOVE 0x0000u
#define PM_REMOVE 0x0001u
#define WM_QUIT 0x0012u

BOOL PostThreadMessageW(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam);
// Waits for the next message of the calling thread's queue; 0 for WM_QUIT,
// -1 for filters it cannot serve, else nonzero.
BOOL GetMessageW(MSG* msg, HWND window, UINT filterMin, UINT filterMax);
BOOL PeekMessageW(MSG* msg, HWND window, UINT filterMin, UINT filterMax, UINT removeFlags);

// The desktop's window: a fixed handle that stands for the root window.
HWND GetDesktopWindow();
