#include "keyboard/tap.h"

#include "core/state.h"
#include "keyboard/matcher.h"

bool createTap() {
  if (tap) return true;
  tap = openTap(callback);
  return tap != nullptr;
}

Event* tapCallback(uint32_t type, Event* event) {
  // The system switches a tap off when a callback was too slow or on user request; a listener
  // that stays off would silently miss every later key-up, so it goes back on at once.
  if (type == tapDisabledByTimeout || type == tapDisabledByUserInput) {
    if (tap) enableTap(tap);
    return event;
  }
  return matchKeyEvent(type, event);
}
