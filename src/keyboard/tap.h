// The one listen-only keyboard tap of the process.
#pragma once

#include <cstdint>

#include "platform/platform.h"

/// The keyboard tap; null until one is opened.
extern Tap* tap;
/// Whether the tap delivers key events, as far as keytap knows.
extern bool listening;

/// True when the tap is open on return: already open, or opened now. False when it cannot be
/// opened (no listen permission); nothing changes then, and the next call tries again.
bool createTap();

/// The tap's callback: switches the tap on again when the system switched it off, hands every
/// other event to the matcher, and always returns the event it was given.
Event* tapCallback(uint32_t type, Event* event);
