// Keys kept from the other clients of the X server (--consume): passive grabs on the root window,
// which the server activates when the chord goes down and ends at the key's release, so the
// window in front never sees that press, its autorepeats or its release.
#pragma once

#include <xcb/xcb.h>

#include <vector>

#include "core/accel.h"
#include "platform/platform.h"

/// Grabs the chord's key or button with exactly its modifiers, in every state of the lock
/// modifiers (Caps Lock, and Num Lock and Scroll Lock where the server maps them). Nothing is
/// left grabbed when it fails: another client holds one of the grabs (taken), or the server maps
/// none of its modifiers' keys, or it names one side's modifier (unavailable). `states` becomes
/// the modifier states grabbed, empty when it fails.
KeepAnswer grabChord(xcb_connection_t* connection, const Accel& accel,
                     std::vector<uint16_t>& states);

/// Lets go of the grabs grabChord took for the chord, in the states it named: the modifier
/// mapping may have changed since.
void ungrabChord(xcb_connection_t* connection, const Accel& accel,
                 const std::vector<uint16_t>& states);

/// Grabs the chord in the states the modifier mapping names now, and lets go of the ones it no
/// longer names; `states` becomes the ones held. Another client's grab of a new state leaves it
/// out.
void grabChordAgain(xcb_connection_t* connection, const Accel& accel,
                    std::vector<uint16_t>& states);

/// Whether another client holds a passive grab of the chord's key or button with its modifiers
/// (sides aside, as grabs know none) in any state of the lock modifiers: a probe that grabs each
/// state and lets go at once. States in `ownStates`, this client's own grabs of that key, are
/// left alone. False where X cannot grab the key at all.
bool grabbedByAnother(xcb_connection_t* connection, const Accel& accel,
                      const std::vector<uint16_t>& ownStates);
