// What the layout of the window in front types at a key, for labels (--capture), through
// ToUnicodeEx; and whether it types through AltGr.
#include <windows.h>

#include <algorithm>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/key_positions.h"
#include "platform/platform.h"
#include "platform/windows/layout.h"

namespace {

// The keypad's keys that move with Num Lock off, by scan code, and the keys they are with it on:
// MAPVK_VSC_TO_VK_EX gives the first (VK_HOME for Numpad7), which types nothing.
struct KeypadKey {
  unsigned scanCode;
  UINT virtualKey;
};
constexpr KeypadKey keypadKeys[] = {
    {0x47, VK_NUMPAD7}, {0x48, VK_NUMPAD8}, {0x49, VK_NUMPAD9}, {0x4B, VK_NUMPAD4},
    {0x4C, VK_NUMPAD5}, {0x4D, VK_NUMPAD6}, {0x4F, VK_NUMPAD1}, {0x50, VK_NUMPAD2},
    {0x51, VK_NUMPAD3}, {0x52, VK_NUMPAD0}, {0x53, VK_DECIMAL},
};

// ToUnicodeEx's flag that leaves the keyboard state as it was (dead keys too): Windows 10 1607
// and later.
constexpr UINT keepKeyboardState = 0x4;

// The layout of the window in front, which is the one the user types with.
HKL frontLayout() {
  return GetKeyboardLayout(GetWindowThreadProcessId(GetForegroundWindow(), nullptr));
}

// What the key at this position types with the keys of `state` down, in UTF-8; empty where it
// types nothing. Asked without changing the layout's state (dead keys stay as they were).
std::string typedWith(uint16_t keyCode, const BYTE (&state)[256]) {
  const std::optional<unsigned> evdev = evdevAt(keyCode);
  const unsigned scanCode = evdev ? scanCodeOf(*evdev) : 0;
  if (scanCode == 0) return "";
  const HKL layout = frontLayout();
  UINT virtualKey = MapVirtualKeyExW(scanCode, MAPVK_VSC_TO_VK_EX, layout);
  // A keypad key says what it types with Num Lock on.
  BYTE withNumLock[256];
  std::copy(std::begin(state), std::end(state), std::begin(withNumLock));
  for (const KeypadKey& key : keypadKeys) {
    if (key.scanCode != scanCode) continue;
    virtualKey = key.virtualKey;
    withNumLock[VK_NUMLOCK] = 0x01;  // toggled on
  }
  wchar_t typed[8];
  // The scan code's bit 15 means a key release, to which ToUnicodeEx answers nothing: an
  // extended key (E0 35, the keypad's /) goes by its low byte.
  int length = ToUnicodeEx(virtualKey, scanCode & 0xFF, withNumLock, typed, std::size(typed),
                           keepKeyboardState, layout);
  // A dead key answers -1 with its accent's spacing character in the buffer (^ on German).
  if (length == -1) length = 1;
  if (length < 1) return "";
  std::string utf8(static_cast<size_t>(length) * 3, '\0');
  utf8.resize(static_cast<size_t>(WideCharToMultiByte(
      CP_UTF8, 0, typed, length, utf8.data(), static_cast<int>(utf8.size()), nullptr, nullptr)));
  return utf8;
}

}  // namespace

std::string typedCharacter(uint16_t keyCode) {
  const BYTE noModifiers[256] = {};
  return typedWith(keyCode, noModifiers);
}

// AltGr is Control and Alt to a Windows layout: a layout without it types nothing with them.
bool typesWithAltGr(uint16_t keyCode) {
  BYTE altGr[256] = {};
  for (const int key : {VK_CONTROL, VK_LCONTROL, VK_MENU, VK_RMENU}) altGr[key] = 0x80;
  const std::string typed = typedWith(keyCode, altGr);
  return !typed.empty() && static_cast<unsigned char>(typed[0]) >= ' ';
}

bool frontLayoutHasAltGr() {
  // A few layouts are in use at a time; each is asked about every key once.
  static std::vector<std::pair<HKL, bool>> known;
  const HKL layout = frontLayout();
  for (const auto& [seen, hasAltGr] : known) {
    if (seen == layout) return hasAltGr;
  }
  BYTE state[256] = {};
  for (const int key : {VK_CONTROL, VK_LCONTROL, VK_MENU, VK_RMENU}) state[key] = 0x80;
  bool hasAltGr = false;
  for (UINT virtualKey = 0x20; virtualKey < 0xFF && !hasAltGr; ++virtualKey) {
    const UINT scanCode = MapVirtualKeyExW(virtualKey, MAPVK_VK_TO_VSC, layout);
    if (scanCode == 0) continue;
    wchar_t typed[8];
    const int length = ToUnicodeEx(virtualKey, scanCode, state, typed, std::size(typed),
                                   keepKeyboardState, layout);
    hasAltGr = length != 0 && typed[0] >= L' ';
  }
  known.emplace_back(layout, hasAltGr);
  return hasAltGr;
}
