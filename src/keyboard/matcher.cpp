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

void releaseKey(uint16_t keyCode) {
  for (const Registration* entry : registrationsOf(keyCode)) {
    const std::string& text = entry->first;
    if (held.erase(text) == 0) continue;
    emit(keyMessage("up", text, nowMs()));
  }
}

}  // namespace

Event* matchKeyEvent(uint32_t type, Event* event) {
  const int64_t keyCode = eventKeyCode(event);
  // Key codes are 16-bit: a wider value names no key, and truncating it could hit a real one.
  if (keyCode < 0 || keyCode > std::numeric_limits<uint16_t>::max()) return event;

  if (type == keyUpEvent) {
    releaseKey(static_cast<uint16_t>(keyCode));
  } else if (type == keyDownEvent && eventAutorepeat(event) == 0) {
    pressKey(static_cast<uint16_t>(keyCode), eventFlags(event) & modifierMask);
  }
  return event;
}
