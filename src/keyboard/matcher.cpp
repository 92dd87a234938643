#include "keyboard/matcher.h"

#include <limits>

#include "core/registry.h"
#include "host/emit.h"
#include "host/messages.h"

namespace {

void pressKey(uint16_t keyCode, uint64_t modifiers) {
  for (const Registration* entry : registrationsOf(keyCode)) {
    const auto& [text, accel] = *entry;
    if (accel.flags != modifiers) continue;
    if (!held.insert(text).second) continue;
    emit(keyMessage("down", text, nowMs()));
  }
}

// Key codes are 16-bit: a wider value names no key, and truncating it could hit a real one.
bool namesKey(int64_t keyCode) {
  return keyCode >= 0 && keyCode <= std::numeric_limits<uint16_t>::max();
}

}  // namespace

void releaseKey(int64_t keyCode) {
  if (!namesKey(keyCode)) return;
  for (const Registration* entry : registrationsOf(static_cast<uint16_t>(keyCode))) {
    const std::string& text = entry->first;
    if (held.erase(text) == 0) continue;
    emit(keyMessage("up", text, nowMs()));
  }
}

Event* matchKeyEvent(uint32_t type, Event* event) {
  const int64_t keyCode = eventKeyCode(event);
  if (!namesKey(keyCode)) return event;

  if (type == keyUpEvent) {
    releaseKey(keyCode);
  } else if (type == keyDownEvent && eventAutorepeat(event) == 0) {
    pressKey(static_cast<uint16_t>(keyCode), eventFlags(event) & modifierMask);
  }
  return event;
}
