#include "keyboard/tap.h"

#include "core/state.h"
#include "keyboard/capture.h"
#include "keyboard/listening.h"
#include "keyboard/matcher.h"
#include "wire/emit.h"
#include "wire/messages.h"

namespace {

std::string_view stopReason(uint32_t type) {
  if (type == tapDisabledByTimeout) return "tap disabled by timeout";
  if (type == tapDisabledByUserInput) return "tap disabled by user input";
  return "shortcut session closed";
}

std::string_view bindingStateName(BindingState state) {
  switch (state) {
    case BindingState::bound:
      return "bound";
    case BindingState::refused:
      return "refused";
    case BindingState::failed:
      return "failed";
    case BindingState::unbound:
      return "unbound";
  }
  return "";
}

}  // namespace

Tap* tap = nullptr;
bool listening = false;

bool createTap() {
  if (tap) return true;
  tap = openTap(tapCallback);
  return tap != nullptr;
}

Event* tapCallback(uint32_t type, Event* event) {
  // The system switches a tap off when a callback was too slow or on user request; a listener
  // that stays off would silently miss every later key-up, so it goes back on at once.
  if (type == tapDisabledByTimeout || type == tapDisabledByUserInput ||
      type == shortcutSessionClosed) {
    if (!tap) return event;
    tapStopped(stopReason(type));
    enableTap(tap);
    // Whether it really is on again only matters to the status the host asked for.
    if (!options.status || tapIsEnabled(tap)) tapResumed();
    return event;
  }
  if (type == displayLost || type == keyboardsGone) {
    // The backend has closed the tap; the next register or retry opens another.
    tap = nullptr;
    tapStopped(type == displayLost ? "display lost" : "no keyboard");
    return event;
  }
  if (type == shortcutBindingChanged) {
    const ShortcutBinding binding = eventBinding(event);
    emit(bindingMessage(eventShortcut(event), bindingStateName(binding.state), binding.trigger));
    return event;
  }
  if (type == keyboardRemoved) {
    if (options.releaseStaleHolds) releaseStaleHolds();
    return event;
  }
  // A release that came while the tap heard no key press (Secure Input, a locked screen) is
  // noticed at the next key event of any key, or at the next press of the same key.
  if (options.releaseStaleHolds) {
    releaseStaleHolds();
    if (type == keyDownEvent && eventAutorepeat(event) == 0) {
      releaseKey(eventKeyCode(event), eventShortcut(event));
    }
  }
  if (capture.running) {
    captureKeyEvent(type, event);
    // Registered accelerators rest while the user records one; holds still end, and what the
    // matcher keeps of the keys down goes on.
    if (type == keyDownEvent) {
      noteRestingKeyDown(event);
      return event;
    }
  }
  return matchKeyEvent(type, event);
}
