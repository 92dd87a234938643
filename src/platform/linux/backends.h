// The Linux keyboard sources in one executable: X11 (XInput2 through XCB), evdev (/dev/input)
// and the desktop's GlobalShortcuts portal (--portal). seam.cpp picks one when keytap starts and
// hands it the calls of platform.h and poll_loop.h that differ between them; each backend
// defines the functions of its namespace.
#pragma once

#include <poll.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/key_positions.h"
#include "platform/linux/backend_choice.h"
#include "platform/linux/diagnosis.h"
#include "platform/platform.h"

/// What the taps of every Linux backend begin with; X11's and evdev's extend it with their state.
struct Tap {
  TapCallback callback;
};

namespace x11 {
bool preflightListenAccess();
Tap* openTap(TapCallback onEvent);
void watchMouseButtons(bool watch);
bool keyIsDown(uint16_t keyCode);
void addTapSources(std::vector<pollfd>& sources);
void serveTap(std::span<const pollfd> ready);
/// The display, whether it opens, and its XInput version.
X11Facts displayFacts();
/// What the server's keyboard mapping types at the key position.
std::string typedCharacter(uint16_t keyCode);
/// Whether Right Alt is the layout's level-three shift and the key has characters there.
bool typesWithAltGr(uint16_t keyCode);
/// Passive grabs of the chord on the root window, one for each state of the lock modifiers.
KeepAnswer keepFromOthers(const Accel& accel, bool keep);
/// Another client's passive grab of the chord, probed on the root window.
ChordHolder chordHolder(const Accel& accel);
}  // namespace x11

namespace evdev {
bool preflightListenAccess();
Tap* openTap(TapCallback onEvent);
void watchMouseButtons(bool watch);
bool keyIsDown(uint16_t keyCode);
void addTapSources(std::vector<pollfd>& sources);
void serveTap(std::span<const pollfd> ready);
/// The devices under /dev/input that keytap reads for keys, whether this user can read them, and
/// the user's groups.
EvdevFacts accessFacts();
/// The names keytap knows of the keys a device reports (`keys`, by evdev code), mouse buttons
/// aside, at most `limit`, lowest code first: some for a keyboard, a numeric keypad, a macro pad,
/// a pedal, a presenter or a keyboard's second node, which keytap reads; none for a mouse, a
/// power button, a lid or tablet switch. From keyCodes, so with the names the options allow.
std::vector<std::string_view> namedKeys(const KeysDown& keys, size_t limit);
}  // namespace evdev

namespace portal {
/// The app id to name to the portal first (--portal=APP_ID); none by default.
void setAppId(std::string_view id);
bool preflightListenAccess();
Tap* openTap(TapCallback onEvent);
/// Opens another session where the last one ended, and binds the shortcuts again.
void enableTap();
/// Whether a session is open.
bool tapIsEnabled();
/// Why the desktop cannot bind the accelerator, as whyUnavailable says it; empty when it can.
std::string_view whyUnavailable(const Accel& accel);
/// Why no session opens, for the host; empty while one is open.
std::string whyNoTap();
bool keyIsDown(uint16_t keyCode);
void registrationsChanged();
void addTapSources(std::vector<pollfd>& sources);
void serveTap(std::span<const pollfd> ready);
/// Whether the session bus answers and which GlobalShortcuts version its portal offers.
PortalFacts facts();
}  // namespace portal

/// The environment variables that the backend choice depends on.
Session currentSession();
