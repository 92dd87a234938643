// Windows backend: Raw Input from every keyboard, delivered to a message-only window of the main
// thread. Raw Input only reads a copy of each key: it consumes nothing, cannot slow other
// programs' input, and unlike a low-level keyboard hook nothing can switch it off.
#include <windows.h>

#include <optional>

#include "core/accel.h"
#include "core/state.h"
#include "platform/key_positions.h"
#include "platform/line_queue.h"
#include "platform/platform.h"
#include "platform/ticker.h"

struct Tap {
  TapCallback callback;
  KeysDown down;
};

namespace {

constexpr USHORT genericDesktopPage = 0x01;
constexpr USHORT keyboardUsage = 0x06;
// What Windows puts in VKey for the made-up Shift presses around some keys.
constexpr USHORT madeUpKey = 0xFF;

struct ModifierVirtualKey {
  int virtualKey;
  unsigned evdev;
};

// The modifiers already down when the tap opens, so that they count from the first event.
constexpr ModifierVirtualKey modifierVirtualKeys[] = {
    {VK_LSHIFT, 42}, {VK_RSHIFT, 54}, {VK_LCONTROL, 29}, {VK_RCONTROL, 97},
    {VK_LMENU, 56},  {VK_RMENU, 100}, {VK_LWIN, 125},    {VK_RWIN, 126},
};

// Keys are told apart by scan code, their position, never by virtual key, which follows the
// layout. Modifiers are tracked from these events themselves: GetAsyncKeyState would describe a
// later moment than the one the event reports.
void handleRawInput(HRAWINPUT input) {
  RAWINPUT raw;
  UINT size = sizeof raw;
  if (GetRawInputData(input, RID_INPUT, &raw, &size, sizeof raw.header) == static_cast<UINT>(-1) ||
      raw.header.dwType != RIM_TYPEKEYBOARD) {
    return;
  }
  const RAWKEYBOARD& key = raw.data.keyboard;
  // The Pause key's E1 sequence names no key that an accelerator can use.
  if (key.VKey == madeUpKey || (key.Flags & RI_KEY_E1)) return;
  unsigned scanCode = key.MakeCode;
  bool e0 = key.Flags & RI_KEY_E0;
  if (scanCode == 0) {
    // Some programs inject keys by virtual key alone.
    const UINT mapped = MapVirtualKeyW(key.VKey, MAPVK_VK_TO_VSC_EX);
    scanCode = mapped & 0xFF;
    e0 = (mapped >> 8) == 0xE0;
  }
  const bool press = !(key.Flags & RI_KEY_BREAK);
  std::optional<Event> event = trackKey(tap->down, evdevFromScanCode(scanCode, e0), press);
  if (event) tap->callback(press ? keyDownEvent : keyUpEvent, &*event);
}

LRESULT CALLBACK receive(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INPUT && tap) handleRawInput(reinterpret_cast<HRAWINPUT>(lParam));
  return DefWindowProcW(window, message, wParam, lParam);
}

HWND createWindow() {
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = receive;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = L"keytap";
  if (!RegisterClassW(&windowClass)) return nullptr;
  return CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                         windowClass.hInstance, nullptr);
}

// Set by the reader thread when it has queued lines.
HANDLE linesQueued() {
  static const HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  return event;
}

}  // namespace

void prepareProcess() {
  // A helper process never shows a dialog box, not even for its own crash.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
}

size_t readInput(char* buffer, size_t size) {
  DWORD got = 0;
  // A closed pipe fails with ERROR_BROKEN_PIPE; wine reports it as a read of 0 bytes.
  const BOOL read =
      ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, static_cast<DWORD>(size), &got, nullptr);
  return read ? got : 0;
}

void writeOutput(std::string_view bytes) {
  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  while (!bytes.empty()) {
    DWORD written = 0;
    if (!WriteFile(output, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) {
      return;
    }
    bytes.remove_prefix(written);
  }
}

void endProcess() {
  ExitProcess(0);
}

// Windows asks no permission to read keyboards.
bool preflightListenAccess() {
  return true;
}
bool requestListenAccess() {
  return true;
}

Tap* openTap(TapCallback onEvent) {
  static const HWND window = createWindow();
  if (!window) return nullptr;
  // RIDEV_INPUTSINK: every key of the session, whichever window has the focus.
  const RAWINPUTDEVICE keyboards{genericDesktopPage, keyboardUsage, RIDEV_INPUTSINK, window};
  if (!RegisterRawInputDevices(&keyboards, 1, sizeof keyboards)) return nullptr;
  auto* opened = new Tap{onEvent, {}};
  for (const ModifierVirtualKey& modifier : modifierVirtualKeys) {
    opened->down[modifier.evdev] = GetAsyncKeyState(modifier.virtualKey) < 0;
  }
  return opened;
}

// Nothing switches Raw Input off.
bool enableTap(Tap*) {
  return true;
}

bool keyIsDown(uint16_t keyCode) {
  return tap && isDownAt(tap->down, keyCode);
}

// Control is the shortcut key of Windows.
uint64_t commandOrControlFlag() {
  return controlFlag;
}

void postLines(std::string lines) {
  if (queueLines(std::move(lines))) SetEvent(linesQueued());
}

void runMainLoop(LinesHandler handleLines) {
  const HANDLE queued = linesQueued();
  for (;;) {
    const int timeout = msUntilTick();
    MsgWaitForMultipleObjectsEx(1, &queued, timeout < 0 ? INFINITE : static_cast<DWORD>(timeout),
                                QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    // Key events first: a key that reached us before a line was handled before it.
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    for (const std::string& lines : takeLines()) handleLines(lines);
    tickIfDue();
  }
}
