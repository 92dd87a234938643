// macOS modifier keys to key events, in plain integers so that the decoding is the same code in
// the unit tests as in the macOS backend. A modifier key makes no key event there: its press or
// release is a flags-changed event that carries the key's code and the flags after the change.
#pragma once

#include <cstdint>
#include <optional>

/// The Fn key's code (kVK_Function), and the one some keyboards give the Globe key instead, as
/// an ordinary key event.
constexpr int64_t fnKeyCode = 0x3F;
constexpr int64_t globeKeyCode = 0xB0;

/// Whether a flags-changed event is its modifier key's press (true) or release (false), told by
/// the key's own device-dependent bit: the generic bit stays set while the opposite key is held,
/// and Fn's bit also comes with arrow and navigation keys. Nothing for Caps Lock or any other
/// key.
std::optional<bool> modifierKeyPressed(int64_t keyCode, uint64_t flags);

/// An event's flags with Fn as the Fn key's own state says, not as the event's bit does.
uint64_t withFnKey(uint64_t flags, bool fnDown);
