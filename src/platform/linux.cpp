// The Linux seam: one executable with both keyboard sources, X11 and evdev. The source is chosen
// once, before anything asks for the keyboard, and never changes; every call that differs
// between the two goes to it.
#include <cstdlib>

#include "core/accel.h"
#include "platform/backend_choice.h"
#include "platform/linux_backends.h"
#include "platform/poll_loop.h"

namespace {

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
  if (!request.valid) return "keytap: --backend takes x11 or evdev\n";
  forced = request.backend;
  chosen = forced.value_or(chooseBackend(currentSession()).backend);
  return {};
}

Diagnosis diagnose() {
  Diagnosis diagnosis{{sessionFinding(currentSession(), forced)}};
  // First: the check keeps its X connection, so a fresh server whose only other client was the
  // look at the display below does not reset under it.
  diagnosis.canListen = preflightListenAccess();
  const std::vector<Finding> found = chosen == Backend::x11 ? x11Findings(x11::displayFacts())
                                                            : evdevFindings(evdev::accessFacts());
  diagnosis.findings.insert(diagnosis.findings.end(), found.begin(), found.end());
  return diagnosis;
}

bool preflightListenAccess() {
  return chosen == Backend::x11 ? x11::preflightListenAccess() : evdev::preflightListenAccess();
}

// Neither source has a prompt: access to a display or to the devices is granted outside keytap.
bool requestListenAccess() {
  return preflightListenAccess();
}

Tap* openTap(TapCallback onEvent) {
  return chosen == Backend::x11 ? x11::openTap(onEvent) : evdev::openTap(onEvent);
}

void watchMouseButtons(bool watch) {
  chosen == Backend::x11 ? x11::watchMouseButtons(watch) : evdev::watchMouseButtons(watch);
}

// Nothing switches either source off while it is there.
void enableTap(Tap*) {}
bool tapIsEnabled(Tap*) {
  return true;
}

bool keyIsDown(uint16_t keyCode) {
  return chosen == Backend::x11 ? x11::keyIsDown(keyCode) : evdev::keyIsDown(keyCode);
}

// X key codes end at 255, before KEY_FN (464): only evdev hears Fn, where the keyboard reports it.
bool canHear(const Accel& accel) {
  return chosen == Backend::evdev || !(accel.flags & fnFlag);
}

// Control is the shortcut key of Linux desktops.
// The layout of a console or a Wayland session is the system's XKB configuration, which only
// xkbcommon reads, and it has no static library to link: there labels are the US names.
std::string typedCharacter(uint16_t keyCode) {
  return chosen == Backend::x11 ? x11::typedCharacter(keyCode) : std::string();
}

uint64_t commandOrControlFlag() {
  return controlFlag;
}

void addTapSources(std::vector<pollfd>& sources) {
  chosen == Backend::x11 ? x11::addTapSources(sources) : evdev::addTapSources(sources);
}

void serveTap(std::span<const pollfd> ready) {
  chosen == Backend::x11 ? x11::serveTap(ready) : evdev::serveTap(ready);
}
