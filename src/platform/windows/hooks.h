// Keeping keys from the other programs on Windows (--consume): low-level hooks on a thread of
// their own, there only while a chord is kept or a key they kept is still down.
#pragma once

#include <windows.h>

#include "core/accel.h"

/// What the hooks post to the window given to keepChord for each key event they keep, since
/// Windows hands Raw Input no event that a hook keeps: wParam the key's evdev code; lParam the
/// modifier flags they kept it with, shifted left by one, and in its lowest bit 1 for a press (an
/// autorepeat too), 0 for a release.
constexpr UINT keptKeyPosted = WM_APP + 1;

/// Keeps the chord's key or button from every other program, or gives it back, telling `window`
/// of each event kept. The first chord kept starts the hooks' thread; returns once the hooks are
/// as the chords need them, false when the system refused a hook (the chord is then not kept).
/// Main thread.
bool keepChord(const Accel& chord, bool keep, HWND window);

/// Ends the hooks' thread once no chord is kept and no key they kept is down: a press they kept
/// keeps its release. Else has it drop the mouse hook once no button is kept or down kept, which
/// every move of the mouse would pass through. Main thread, after each kept release.
void settleHooks();
