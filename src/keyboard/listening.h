// What keytap does, on request, when it may have stopped hearing keys: it closes the holds whose
// release it may have missed (--release-stale-holds), and it tells the host when it stops or
// starts listening (--status), trying to listen again once a second meanwhile. Without those
// options it only keeps `listening` up to date.
#pragma once

#include <string_view>

/// Emits "up" for every held accelerator whose keys are not down right now. Main thread.
void releaseStaleHolds();

/// The tap stopped delivering key events, for `reason` (the text of the status message).
/// Main thread.
void tapStopped(std::string_view reason);

/// The tap delivers key events, again or for the first time. Main thread, never between a
/// command and its reply.
void tapResumed();
