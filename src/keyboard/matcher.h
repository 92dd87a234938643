// Key-down and key-up events to "down" and "up" messages for the registered accelerators.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/platform.h"

/// Emits "down" for every registered accelerator that the key-down presses (exact modifiers,
/// not an autorepeat, not already held) and "up" for every held one whose key goes up. With
/// --extended-keys, a modifier key's own events do the same for the modifier-only accelerators.
/// Other event types do nothing. Returns the event unchanged. Main thread.
Event* matchKeyEvent(uint32_t type, Event* event);

/// Keeps the record of a key-down that no accelerator may take (a capture runs): with
/// --extended-keys, the other keys down and the modifier-only holds it makes chords. Emits
/// nothing. Main thread.
void noteRestingKeyDown(const Event* event);

/// Emits "up" for a text just taken out of held; with --extended-keys the "up" of a
/// modifier-only accelerator says whether it was held alone. Main thread.
void sayReleased(const std::string& text, const Accel& accel);

/// Emits "up" for every held accelerator of the key, whatever the modifiers, and with
/// --extended-keys for every held modifier-only one that names this modifier key by its side; a
/// key code that names no key does nothing. Only `shortcut`, where it is given. Main thread.
void releaseKey(int64_t keyCode, std::string_view shortcut);
