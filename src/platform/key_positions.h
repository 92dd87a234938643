// Keys by position for the backends that track the keyboard themselves (X11, Windows, evdev):
// they read keys as Linux evdev codes (X key codes minus 8; PC scan codes through
// evdevFromScanCode), keep the modifiers from the keys' own events, and report every key as the
// macOS virtual key code of the same ANSI position.
#pragma once

#include <bitset>
#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/platform.h"

/// One key event as these backends deliver it.
struct Event {
  int64_t keyCode;                 // macOS virtual key code
  int64_t autorepeat;              // 1 for a key-down of a key that is already down
  uint64_t flags;                  // the modifiers down, in CGEventFlags encoding
  std::string_view shortcut = {};  // the registration it is for, where the desktop names one
  ShortcutBinding binding = {};    // what the desktop said of that shortcut's bind
};

/// The keys that are down, by evdev code, modifiers and mouse buttons included; KEY_FN is 464.
using KeysDown = std::bitset<512>;

// The evdev codes of the mouse buttons that --mouse-buttons watches (BTN_MIDDLE, BTN_SIDE,
// BTN_EXTRA, BTN_FORWARD, BTN_BACK): the backends read every button as one of them. Side and
// Back are the first side button, Extra and Forward the second.
constexpr unsigned buttonMiddle = 0x112;
constexpr unsigned buttonSide = 0x113;
constexpr unsigned buttonExtra = 0x114;
constexpr unsigned buttonForward = 0x115;
constexpr unsigned buttonBack = 0x116;
constexpr unsigned watchedButtons[] = {buttonMiddle, buttonSide, buttonExtra, buttonForward,
                                       buttonBack};

/// The macOS virtual key code of the key at this evdev code's position; one past every Mac key
/// (beyondMacKeys and up) for a key that macOS lacks.
uint16_t macKeyCodeOf(unsigned evdev);

/// The evdev code of the key at this macOS position; nothing for a position no key has.
std::optional<unsigned> evdevAt(uint16_t macKeyCode);

/// The PC scan code (set 1) of an evdev code, 0xE0 in the high byte for an E0-prefixed one; 0
/// when it has none.
unsigned scanCodeOf(unsigned evdev);

/// The evdev code of a PC scan code (set 1), E0-prefixed or not; 0 when it has none.
unsigned evdevFromScanCode(unsigned scanCode, bool e0);

/// Records a key going down or up and returns its event. A modifier key has one only when
/// `modifiersToo` (--extended-keys); otherwise it only changes the flags of later events, as on
/// macOS, where it is no key event at all. Caps Lock never has one.
std::optional<Event> trackKey(KeysDown& down, unsigned evdev, bool press, bool modifiersToo);

/// Forgets every key recorded as down that the system reports up now (`isDownNow(evdev)`); never
/// records one, so a key the system cannot see is at worst forgotten, never made up.
template <typename IsDownNow>
void forgetReleasedKeys(KeysDown& down, IsDownNow isDownNow) {
  for (unsigned evdev = 0; evdev < down.size(); ++evdev) {
    if (down[evdev] && !isDownNow(evdev)) down[evdev] = false;
  }
}

/// The modifier flags of the keys down, generic and device-dependent.
uint64_t modifierFlags(const KeysDown& down);

/// Whether a key at this macOS position is down.
bool isDownAt(const KeysDown& down, uint16_t macKeyCode);
