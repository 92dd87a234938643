// Keys kept from the other clients of the X server (--consume): passive grabs on the root window,
// which the server activates when the chord goes down and ends at the key's release, so the
// window in front never sees that press, its autorepeats or its release.
#pragma once

#include <xcb/xcb.h>

#include "core/accel.h"
#include "platform/platform.h"

/// Grabs the chord's key or button with exactly its modifiers, in every state of the lock
/// modifiers (Caps Lock, and Num Lock and Scroll Lock where the server maps them). Nothing is
/// left grabbed when it fails: another client holds one of the grabs (taken), or the server maps
/// none of its modifiers' keys, or it names one side's modifier (unavailable).
KeepAnswer grabChord(xcb_connection_t* connection, const Accel& accel);

/// Lets go of every grab grabChord took for the chord.
void ungrabChord(xcb_connection_t* connection, const Accel& accel);
