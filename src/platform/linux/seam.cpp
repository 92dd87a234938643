// The Linux seam: one executable with three keyboard sources, X11, evdev and the desktop's
// portal. The source is chosen once, before anything asks for the keyboard, and never changes;
// every call that differs between them goes to it.
#include <cstdlib>

#include "core/accel.h"
#include "platform/linux/backend_choice.h"
#include "platform/linux/backends.h"
#include "platform/linux/poll_loop.h"

namespace {

BackendChoice choice{Backend::x11, ""};  // what the session takes, --backend aside
Backend chosen = Backend::x11;
std::optional<Backend> forced;

std::string_view environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

}  // namespace

Session currentSession() {
  return {environment("WAYLAND_DISPLAY"), environment("XDG_SESSION_TYPE"), environment("DISPLAY")};
}

std::string_view takePlatformArguments(std::span<const char* const> args) {
  const BackendRequest request = requestedBackend(args);
  if (!request.valid) return "keytap: --backend takes x11, evdev or portal\n";
  if (!request.validAppId) return "keytap: --portal= takes an app id, such as org.example.App\n";
  forced = request.backend;
  if (request.portalAppId) portal::setAppId(*request.portalAppId);
  choice = chooseBackend(currentSession(), request.portalAppId.has_value(),
                         [] { return evdev::preflightListenAccess(); });
  chosen = forced.value_or(choice.backend);
  return {};
}

Diagnosis diagnose() {
  Diagnosis diagnosis{{sessionFinding(choice, forced)}};
  // First: the check keeps its X connection, so a fresh server whose only other client was the
  // look at the display below does not reset under it.
  diagnosis.canListen = preflightListenAccess();
  std::vector<Finding> found;
  switch (chosen) {
    case Backend::x11:
      found = x11Findings(x11::displayFacts());
      break;
    case Backend::evdev:
      found = evdevFindings(evdev::accessFacts());
      if (isWayland(currentSession())) {
        found.push_back(portalFinding(portal::facts(), !diagnosis.canListen));
      }
      break;
    case Backend::portal:
      found = {portalFinding(portal::facts(), false)};
      break;
  }
  diagnosis.findings.insert(diagnosis.findings.end(), found.begin(), found.end());
  return diagnosis;
}

bool preflightListenAccess() {
  switch (chosen) {
    case Backend::x11:
      return x11::preflightListenAccess();
    case Backend::evdev:
      return evdev::preflightListenAccess();
    case Backend::portal:
      return portal::preflightListenAccess();
  }
  return false;
}

// No source has a prompt: access to a display, to the devices or to the portal is granted
// outside keytap.
bool requestListenAccess() {
  return preflightListenAccess();
}

Tap* openTap(TapCallback onEvent) {
  switch (chosen) {
    case Backend::x11:
      return x11::openTap(onEvent);
    case Backend::evdev:
      return evdev::openTap(onEvent);
    case Backend::portal:
      return portal::openTap(onEvent);
  }
  return nullptr;
}

// The portal has no mouse buttons to bind.
void watchMouseButtons(bool watch) {
  if (chosen == Backend::x11) x11::watchMouseButtons(watch);
  if (chosen == Backend::evdev) evdev::watchMouseButtons(watch);
}

// Nothing switches X11 or evdev off while it is there; the desktop may end a portal session.
void enableTap(Tap*) {
  if (chosen == Backend::portal) portal::enableTap();
}

bool tapIsEnabled(Tap*) {
  return chosen != Backend::portal || portal::tapIsEnabled();
}

// evdev could keep a key from the windows only by taking the whole device from them; a desktop
// takes every key it binds from them anyway.
KeepAnswer keepFromOthers(const Accel& accel, bool keep) {
  switch (chosen) {
    case Backend::x11:
      return x11::keepFromOthers(accel, keep);
    case Backend::evdev:
      return {Keeping::unavailable,
              "not available with evdev, which would take the whole keyboard; the desktop's "
              "portal keeps its shortcuts' keys (--backend=portal)"};
    case Backend::portal:
      return {};
  }
  return {};
}

// evdev reads devices, which know no hotkeys; the portal's desktop tells only its own bindings.
ChordHolder chordHolder(const Accel& accel) {
  return chosen == Backend::x11 ? x11::chordHolder(accel) : ChordHolder::unknown;
}

bool keyIsDown(uint16_t keyCode) {
  switch (chosen) {
    case Backend::x11:
      return x11::keyIsDown(keyCode);
    case Backend::evdev:
      return evdev::keyIsDown(keyCode);
    case Backend::portal:
      return portal::keyIsDown(keyCode);
  }
  return false;
}

// X key codes end at 255, before KEY_FN (464): only evdev hears Fn, where the keyboard reports it.
std::string_view whyUnavailable(const Accel& accel) {
  if (chosen == Backend::portal) return portal::whyUnavailable(accel);
  return chosen == Backend::evdev || !(accel.flags & fnFlag) ? "" : notAvailable;
}

bool keyPressesHidden() {
  return false;
}

std::string whyNoTap() {
  return chosen == Backend::portal ? portal::whyNoTap() : "";
}

bool hearsEveryKey() {
  return chosen != Backend::portal;
}

void registrationsChanged() {
  if (chosen == Backend::portal) portal::registrationsChanged();
}

// The layout of a console or a Wayland session is the system's XKB configuration, which only
// xkbcommon reads, and it has no static library to link: there labels are the US names.
std::string typedCharacter(uint16_t keyCode) {
  return chosen == Backend::x11 ? x11::typedCharacter(keyCode) : std::string();
}

// Without a layout to read, no chord counts as typing.
bool typesWithAltGr(uint16_t keyCode) {
  return chosen == Backend::x11 && x11::typesWithAltGr(keyCode);
}

// Control is the shortcut key of Linux desktops.
uint64_t commandOrControlFlag() {
  return controlFlag;
}

void addTapSources(std::vector<pollfd>& sources) {
  switch (chosen) {
    case Backend::x11:
      return x11::addTapSources(sources);
    case Backend::evdev:
      return evdev::addTapSources(sources);
    case Backend::portal:
      return portal::addTapSources(sources);
  }
}

void serveTap(std::span<const pollfd> ready) {
  switch (chosen) {
    case Backend::x11:
      return x11::serveTap(ready);
    case Backend::evdev:
      return evdev::serveTap(ready);
    case Backend::portal:
      return portal::serveTap(ready);
  }
}
