// One parsed accelerator, the modifier bits it is made of, and the modifier keys behind them.
#pragma once

#include <cstdint>

// Modifier bits in CGEventFlags encoding, on every platform.
constexpr uint64_t shiftFlag = 0x20000;
constexpr uint64_t controlFlag = 0x40000;
constexpr uint64_t optionFlag = 0x80000;
constexpr uint64_t commandFlag = 0x100000;
/// The only event flags that take part in matching by default.
constexpr uint64_t modifierMask = shiftFlag | controlFlag | optionFlag | commandFlag;

// CGEventFlags' device-dependent bits: which key of each pair is down. Events carry them beside
// the bits above; only --extended-keys looks at them.
constexpr uint64_t leftControlFlag = 0x1;
constexpr uint64_t leftShiftFlag = 0x2;
constexpr uint64_t rightShiftFlag = 0x4;
constexpr uint64_t leftCommandFlag = 0x8;
constexpr uint64_t rightCommandFlag = 0x10;
constexpr uint64_t leftOptionFlag = 0x20;
constexpr uint64_t rightOptionFlag = 0x40;
constexpr uint64_t rightControlFlag = 0x2000;
/// The Fn (Globe) key is down. macOS also sets this bit for arrow and navigation keys; every
/// backend hands it on for the Fn key alone.
constexpr uint64_t fnFlag = 0x800000;

/// Key codes from here on name keys that macOS lacks: this base plus the key's evdev code.
constexpr uint16_t beyondMacKeys = 0x1000;
/// The key code of accelerators made of modifiers alone, which no key event carries.
constexpr uint16_t modifiersOnly = 0xFFFF;

// The mouse buttons that --mouse-buttons names, as key codes beyond every keyboard's: a button
// takes the place of a key in an accelerator, and backends deliver it as a key event.
constexpr uint16_t mouseMiddleButton = 0x2000;
constexpr uint16_t mouseBackButton = 0x2001;
constexpr uint16_t mouseForwardButton = 0x2002;
constexpr uint16_t mouseButtonCodes[] = {mouseMiddleButton, mouseBackButton, mouseForwardButton};

constexpr bool isMouseButton(int64_t keyCode) {
  return keyCode >= mouseMiddleButton && keyCode <= mouseForwardButton;
}

/// One key of a modifier pair, or Fn.
struct ModifierKey {
  uint16_t keyCode;   // macOS virtual key code
  uint64_t flag;      // its generic bit above; fnFlag for Fn
  uint64_t sideFlag;  // its device-dependent bit; fnFlag for Fn
};

constexpr ModifierKey modifierKeys[] = {
    {59, controlFlag, leftControlFlag},
    {62, controlFlag, rightControlFlag},
    {56, shiftFlag, leftShiftFlag},
    {60, shiftFlag, rightShiftFlag},
    {58, optionFlag, leftOptionFlag},
    {61, optionFlag, rightOptionFlag},
    {55, commandFlag, leftCommandFlag},
    {54, commandFlag, rightCommandFlag},
    {63, fnFlag, fnFlag},
};

/// The modifier key at this key code; null for any other key (Caps Lock included).
constexpr const ModifierKey* modifierKeyAt(int64_t keyCode) {
  for (const ModifierKey& key : modifierKeys) {
    if (key.keyCode == keyCode) return &key;
  }
  return nullptr;
}

/// Both device-dependent bits of a modifier's generic bit.
constexpr uint64_t sideFlagsOf(uint64_t flag) {
  uint64_t sides = 0;
  for (const ModifierKey& key : modifierKeys) {
    if (key.flag == flag) sides |= key.sideFlag;
  }
  return sides;
}

struct Accel {
  uint16_t keyCode = 0;  // macOS virtual key code, or modifiersOnly
  uint64_t flags = 0;    // a subset of modifierMask, or fnFlag alone
  uint64_t sides = 0;    // the device-dependent bits that must be down, of the sided modifiers
  uint64_t sided = 0;    // both device-dependent bits of every modifier named with a side

  friend bool operator==(const Accel&, const Accel&) = default;
};

/// Whether exactly the accelerator's modifiers are down, each on an allowed side; only the flags
/// of `counted` are looked at.
constexpr bool exactModifiers(const Accel& accel, uint64_t flags, uint64_t counted) {
  return (flags & counted) == accel.flags && (flags & accel.sided) == accel.sides;
}

/// Whether every modifier the accelerator names has a key down in `flags` on an allowed side;
/// other modifiers may be down too.
constexpr bool namedModifiersDown(const Accel& accel, uint64_t flags) {
  return (flags & accel.flags) == accel.flags && (flags & accel.sides) == accel.sides;
}
