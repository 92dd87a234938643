// Who holds a chord already on Windows: a RegisterHotKey probe, let go of at once.
#include <windows.h>

#include <optional>

#include "core/accel.h"
#include "platform/key_positions.h"
#include "platform/platform.h"

namespace {

// The probe's id, among those an application may give (0 to 0xBFFF); keytap registers no other.
constexpr int probeId = 0xBFFF;

struct HotKeyModifier {
  uint64_t flag;
  UINT modifier;
};
constexpr HotKeyModifier hotKeyModifiers[] = {
    {controlFlag, MOD_CONTROL},
    {optionFlag, MOD_ALT},
    {shiftFlag, MOD_SHIFT},
    {commandFlag, MOD_WIN},
};

// Keys whose virtual key their position does not tell: the keypad's digits and point, which
// MapVirtualKey gives as they are with Num Lock off (Numpad7 as Home), and Pause, whose scan
// code it takes for Control+Break's. By evdev code.
struct PositionVirtualKey {
  unsigned evdev;
  UINT virtualKey;
};
constexpr PositionVirtualKey ownVirtualKeys[] = {
    {71, VK_NUMPAD7}, {72, VK_NUMPAD8}, {73, VK_NUMPAD9}, {75, VK_NUMPAD4},
    {76, VK_NUMPAD5}, {77, VK_NUMPAD6}, {79, VK_NUMPAD1}, {80, VK_NUMPAD2},
    {81, VK_NUMPAD3}, {82, VK_NUMPAD0}, {83, VK_DECIMAL}, {119, VK_PAUSE},
};

UINT virtualKeyAt(unsigned evdev) {
  for (const PositionVirtualKey& own : ownVirtualKeys) {
    if (own.evdev == evdev) return own.virtualKey;
  }
  const unsigned scanCode = scanCodeOf(evdev);
  return scanCode ? MapVirtualKeyW(scanCode, MAPVK_VSC_TO_VK_EX) : 0;
}

}  // namespace

// Mouse buttons and modifiers alone make no hotkey. Keyboard shortcuts with the Windows key are
// reserved for the system (RegisterHotKey's documentation, MOD_WIN): refused, they are its own.
ChordHolder chordHolder(const Accel& accel) {
  if (accel.keyCode == modifiersOnly || isMouseButton(accel.keyCode)) return ChordHolder::unknown;
  const std::optional<unsigned> evdev = evdevAt(accel.keyCode);
  const UINT virtualKey = evdev ? virtualKeyAt(*evdev) : 0;
  if (virtualKey == 0) return ChordHolder::unknown;
  UINT modifiers = MOD_NOREPEAT;
  for (const HotKeyModifier& each : hotKeyModifiers) {
    if (accel.flags & each.flag) modifiers |= each.modifier;
  }
  if (RegisterHotKey(nullptr, probeId, modifiers, virtualKey)) {
    UnregisterHotKey(nullptr, probeId);
    return ChordHolder::unknown;
  }
  if (modifiers & MOD_WIN) return ChordHolder::system;
  return GetLastError() == ERROR_HOTKEY_ALREADY_REGISTERED ? ChordHolder::anotherProgram
                                                           : ChordHolder::unknown;
}
