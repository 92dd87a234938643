// macOS key events to what the matcher reads, in plain integers so that the decoding is the same
// code in the unit tests as in the macOS backend. A modifier key makes no key event there: its
// press or release is a flags-changed event that carries the key's code and the flags after the
// change.
#pragma once

#include <cstdint>
#include <optional>

#include "core/accel.h"

/// CGEventType's flags-changed value (kCGEventFlagsChanged), which the backend checks.
constexpr uint32_t flagsChangedEvent = 12;
/// CGEventType's values for the middle and further mouse buttons (kCGEventOtherMouseDown/Up).
constexpr uint32_t otherMouseDownEvent = 25;
constexpr uint32_t otherMouseUpEvent = 26;
/// The Fn key's code (kVK_Function).
constexpr int64_t fnKeyCode = 0x3F;

/// Whether a flags-changed event is its modifier key's press (true) or release (false), told by
/// the key's own device-dependent bit: the generic bit stays set while the opposite key is held,
/// and Fn's bit also comes with arrow and navigation keys. Events posted by software with the
/// generic bit alone, neither side's, are told by the generic bit. Nothing for Caps Lock or any
/// other key.
std::optional<bool> modifierKeyPressed(int64_t keyCode, uint64_t flags);

/// The Fn key's state from its own events; `unsure` once the tap was switched off, since Fn's
/// release may have come while it heard nothing.
struct FnState {
  bool down = false;
  bool unsure = false;
};

/// What one tap event is to the matcher, with --extended-keys: its event type (a modifier key's
/// flags-changed event becomes that key's key-down or key-up), or nothing to hand on. Keeps `fn`:
/// a tap switched off leaves Fn as it was, and the next flags-changed event of any modifier key
/// tells it again, as does a key event without the Fn bit.
std::optional<uint32_t> tapEventType(uint32_t type, int64_t keyCode, uint64_t flags, FnState& fn);

/// An event's flags as the matcher reads them, with --extended-keys: Fn as the Fn key's own
/// state says, not as the event's bit does; and a modifier key's own event that carries its
/// generic bit alone gets the side of its key code.
uint64_t matchedFlags(int64_t keyCode, uint64_t flags, bool fnDown);

/// Whether the key is down now: Fn by keytap's own state, since the system's key state answers
/// no for the Fn key whatever it is doing; any other key as `systemSaysDown` tells.
bool macKeyIsDown(uint16_t keyCode, bool fnDown, bool (*systemSaysDown)(uint16_t));

/// The key code of a mouse button by its kCGMouseEventButtonNumber: 2 the middle button, 3 back,
/// 4 forward; nothing for the others.
std::optional<uint16_t> buttonKeyCode(int64_t buttonNumber);
/// The kCGMouseEventButtonNumber (CGMouseButton) of a mouse button's key code.
uint32_t buttonNumber(uint16_t keyCode);

/// The ANSI position of a key event's key code. On an ISO keyboard (the layout of the event's
/// kCGKeyboardEventKeyboardType) macOS gives the key beside left Shift 50 (kVK_ANSI_Grave) and
/// the key left of 1 10 (kVK_ISO_Section), the other way round from their places; swapped back,
/// IntlBackslash is the key beside left Shift and ` the key left of 1, as on every platform.
/// Its own inverse, so it also turns a position back into the code the system knows.
int64_t keyPosition(int64_t keyCode, bool isoKeyboard);

/// Whether a Mac can hear every key the accelerator names: not F21 to F24, which no Mac keyboard
/// has; the mouse buttons, yes.
bool macCanHear(const Accel& accel);
