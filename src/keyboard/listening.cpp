#include "keyboard/listening.h"

#include <iterator>

#include "core/state.h"
#include "keyboard/matcher.h"
#include "keyboard/tap.h"
#include "wire/emit.h"
#include "wire/messages.h"

namespace {

// Ticks only while keytap cannot listen, so a keytap that listens never wakes on its own.
void retryListening() {
  if (tap) {
    // Switched off by the system and not back on yet.
    enableTap(tap);
    if (tapIsEnabled(tap)) tapResumed();
  } else if (registered.empty()) {
    // Nothing to listen for: the next register opens the tap itself.
    tickEverySecond(nullptr);
  } else if (createTap()) {
    tapResumed();
  }
}

// Whether the keys of a hold are down now, as the system tells.
bool stillDown(const Accel& accel) {
  if (accel.keyCode != modifiersOnly) return keyIsDown(accel.keyCode);
  uint64_t flags = 0;
  for (const ModifierKey& key : modifierKeys) {
    if (keyIsDown(key.keyCode)) flags |= key.flag | key.sideFlag;
  }
  return namedModifiersDown(accel, flags);
}

}  // namespace

void releaseStaleHolds() {
  for (auto text = held.begin(); text != held.end();) {
    const auto next = std::next(text);
    const Registration& entry = *registered.find(*text);
    if (!stillDown(entry.second)) {
      held.erase(text);
      sayReleased(entry.first, entry.second);
    }
    text = next;
  }
}

void tapStopped(std::string_view reason) {
  if (options.status && listening) emit(statusMessage(false, reason));
  listening = false;
  if (options.releaseStaleHolds) releaseStaleHolds();
  if (options.status) tickEverySecond(retryListening);
}

void tapResumed() {
  if (options.status && !listening) emit(statusMessage(true, ""));
  listening = true;
  if (options.releaseStaleHolds) releaseStaleHolds();
  if (options.status) tickEverySecond(nullptr);
}
