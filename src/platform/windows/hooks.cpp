// The low-level hooks of --consume. The system calls them on the thread that installed them, for
// every key and mouse event of the desktop, and drops a hook that answers too slowly
// (LowLevelHooksTimeout): so they run on a thread that does nothing else, decide from a small
// table under a lock that the main thread holds only to change it, and post what they keep to the
// main thread's window.
#include "platform/windows/hooks.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <optional>

#include "platform/kept_keys.h"
#include "platform/key_positions.h"
#include "platform/windows/raw_input.h"

namespace {

std::mutex tableLock;
KeptKeys table;  // under tableLock

HANDLE thread = nullptr;
DWORD threadId = 0;
HANDLE synced = nullptr;  // set by the hooks' thread each time its hooks match the table
std::atomic<bool> hooksRefused = false;
std::atomic<HWND> reportTo = nullptr;  // the main thread's window

// What the main thread posts to the hooks' thread when the table changed.
constexpr UINT syncHooks = WM_APP;

// The keys as the hooks' own events leave them: the system's key state lags behind them (it
// changes after the hooks ran), and the hooks see every key of the desktop. Hooks' thread.
KeysDown keysDown;

bool isModifier(unsigned evdev) {
  return std::any_of(std::begin(modifierVirtualKeys), std::end(modifierVirtualKeys),
                     [&](const ModifierVirtualKey& modifier) { return modifier.evdev == evdev; });
}

// Whether to keep the event, told to the main thread when it is kept. A press of a key down
// already is its autorepeat.
bool keeps(unsigned evdev, bool press, bool autorepeat) {
  const uint64_t flags = modifierFlags(keysDown);
  bool kept = false;
  {
    const std::lock_guard lock(tableLock);
    kept = keepsKeyEvent(table, macKeyCodeOf(evdev), press, autorepeat, flags);
  }
  if (kept) PostMessageW(reportTo, keptKeyPosted, evdev, static_cast<LPARAM>(flags << 1 | press));
  return kept;
}

unsigned scanCodeOfVirtualKey(unsigned virtualKey) {
  return MapVirtualKeyW(virtualKey, MAPVK_VK_TO_VSC_EX);
}

// Injected keys (LLKHF_INJECTED) count as typed ones: remote desktops and tests send them.
LRESULT CALLBACK onKey(int code, WPARAM message, LPARAM data) {
  if (code == HC_ACTION) {
    const auto& key = *reinterpret_cast<const KBDLLHOOKSTRUCT*>(data);
    const std::optional<unsigned> evdev =
        evdevFromHookedKey(static_cast<uint16_t>(key.vkCode), key.scanCode,
                           key.flags & LLKHF_EXTENDED, scanCodeOfVirtualKey);
    const bool press = !(key.flags & LLKHF_UP);
    if (!evdev || *evdev >= keysDown.size()) return CallNextHookEx(nullptr, code, message, data);
    const bool wasDown = keysDown[*evdev];
    keysDown[*evdev] = press;
    if (!isModifier(*evdev) && keeps(*evdev, press, press && wasDown)) return 1;
  }
  return CallNextHookEx(nullptr, code, message, data);
}

// The watched button of a mouse message; nothing for motion, the wheel and the other buttons.
std::optional<unsigned> buttonOf(WPARAM message, const MSLLHOOKSTRUCT& mouse) {
  switch (message) {
    case WM_MBUTTONDOWN:
    case WM_MBUTTONUP:
      return rawMouseButtons[0].evdev;
    case WM_XBUTTONDOWN:
    case WM_XBUTTONUP:
      return rawMouseButtons[HIWORD(mouse.mouseData) == XBUTTON1 ? 1 : 2].evdev;
    default:
      return std::nullopt;
  }
}

LRESULT CALLBACK onMouse(int code, WPARAM message, LPARAM data) {
  if (code == HC_ACTION) {
    const std::optional<unsigned> button =
        buttonOf(message, *reinterpret_cast<const MSLLHOOKSTRUCT*>(data));
    const bool press = message == WM_MBUTTONDOWN || message == WM_XBUTTONDOWN;
    if (button && keeps(*button, press, false)) return 1;
  }
  return CallNextHookEx(nullptr, code, message, data);
}

// Installs or removes a hook as `wanted` says; false when the system refused it.
bool hookAs(HHOOK& hook, int type, HOOKPROC procedure, bool wanted) {
  if (wanted && !hook) hook = SetWindowsHookExW(type, procedure, GetModuleHandleW(nullptr), 0);
  if (!wanted && hook) {
    UnhookWindowsHookEx(hook);
    hook = nullptr;
  }
  return hook || !wanted;
}

// The keyboard hook all along, since it tracks the modifiers of kept buttons too; the mouse
// hook only while a button is kept or down kept: every move of the mouse passes through it.
void syncWithTable(HHOOK& keyboard, HHOOK& mouse) {
  bool buttons = false;
  {
    const std::lock_guard lock(tableLock);
    for (const Accel& chord : table.chords) buttons = buttons || isMouseButton(chord.keyCode);
    for (const uint16_t key : table.down) buttons = buttons || isMouseButton(key);
  }
  const bool keyboardHooked = hookAs(keyboard, WH_KEYBOARD_LL, onKey, true);
  const bool mouseHooked = hookAs(mouse, WH_MOUSE_LL, onMouse, buttons);
  hooksRefused = !keyboardHooked || !mouseHooked;
  SetEvent(synced);
}

DWORD WINAPI runHooks(void*) {
  // The message queue, before the main thread may post to it.
  MSG message;
  PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
  // Keys held already: their autorepeats start no keep, and modifiers count from the first key.
  keysDown.reset();
  // Shift, Control and Alt without a side (VK_SHIFT to VK_MENU) would all read as the left one.
  for (uint16_t virtualKey = 1; virtualKey < 0xFF; ++virtualKey) {
    if ((virtualKey >= VK_SHIFT && virtualKey <= VK_MENU) || GetAsyncKeyState(virtualKey) >= 0)
      continue;
    const std::optional<unsigned> evdev =
        evdevFromHookedKey(virtualKey, 0, false, scanCodeOfVirtualKey);
    if (evdev && *evdev < keysDown.size()) keysDown[*evdev] = true;
  }
  HHOOK keyboard = nullptr, mouse = nullptr;
  syncWithTable(keyboard, mouse);
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (message.message == syncHooks) syncWithTable(keyboard, mouse);
  }
  hookAs(keyboard, WH_KEYBOARD_LL, onKey, false);
  hookAs(mouse, WH_MOUSE_LL, onMouse, false);
  return 0;
}

void endThread() {
  PostThreadMessageW(threadId, WM_QUIT, 0, 0);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  thread = nullptr;
}

// Starts the hooks' thread, or tells it the table changed, and waits until its hooks match.
bool syncHooksThread() {
  if (!synced) synced = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  // A sync nobody waited for (settleHooks) may have left it set; one set from now on saw the
  // table as it is.
  ResetEvent(synced);
  if (thread) {
    // Its message queue was made before its first sync.
    PostThreadMessageW(threadId, syncHooks, 0, 0);
  } else {
    thread = CreateThread(nullptr, 0, runHooks, nullptr, 0, &threadId);
    if (!thread) return false;
  }
  WaitForSingleObject(synced, INFINITE);
  return !hooksRefused;
}

}  // namespace

bool keepChord(const Accel& chord, bool keep, HWND window) {
  reportTo = window;
  {
    const std::lock_guard lock(tableLock);
    auto& chords = table.chords;
    if (keep) chords.push_back(chord);
    if (!keep) chords.erase(std::remove(chords.begin(), chords.end(), chord), chords.end());
  }
  if (!keep) {
    settleHooks();
    if (!thread) return true;
  }
  if (syncHooksThread()) return true;
  // Refused: the chord is not kept, and the hooks go back to what the others need.
  if (keep) keepChord(chord, false, window);
  return false;
}

void settleHooks() {
  bool idle = false;
  {
    const std::lock_guard lock(tableLock);
    idle = table.chords.empty() && table.down.empty();
  }
  if (idle && thread) endThread();
  if (!idle && thread) PostThreadMessageW(threadId, syncHooks, 0, 0);
}
