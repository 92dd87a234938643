// Keeping keys from the other programs on Windows (--consume): low-level hooks on a thread of
// their own, there only while a chord is kept.
#pragma once

#include "core/accel.h"

/// Keeps the chord's key or button from every other program, or gives it back. The first chord
/// kept starts the hooks' thread, the last one given back ends it; returns once the hooks are as
/// the chords need them, false when the system refused a hook (the chord is then not kept).
/// Main thread.
bool keepChord(const Accel& chord, bool keep);

/// Whether the hooks kept this key's press (a macOS key code) and not yet its release: the
/// system's key state never sees a key kept from it. Any thread.
bool keptDown(uint16_t keyCode);
