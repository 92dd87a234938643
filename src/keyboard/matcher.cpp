#include "keyboard/matcher.h"

#include <algorithm>

#include "core/registry.h"
#include "wire/emit.h"
#include "wire/messages.h"

namespace {

// Only `shortcut` where the desktop names the registration it pressed.
void pressKey(uint16_t keyCode, uint64_t flags, std::string_view shortcut) {
  for (const Registration* entry : registrationsOf(keyCode)) {
    const auto& [text, accel] = *entry;
    if (!shortcut.empty() && text != shortcut) continue;
    // Fn never stops a hotkey with a key: laptops type some keys with it.
    if (!exactModifiers(accel, flags, modifierMask)) continue;
    if (!held.insert(text).second) continue;
    emit(keyMessage("down", text, nowMs()));
  }
}

// Key codes are 16-bit: a wider value names no key, and truncating it could hit a real one. The
// highest stands for modifiers alone and names no key either.
bool namesKey(int64_t keyCode) {
  return keyCode >= 0 && keyCode < modifiersOnly;
}

void trackOtherKey(uint32_t type, uint16_t keyCode) {
  const auto down = std::find(otherKeysDown.begin(), otherKeysDown.end(), keyCode);
  if (type == keyDownEvent && down == otherKeysDown.end()) otherKeysDown.push_back(keyCode);
  if (type == keyUpEvent && down != otherKeysDown.end()) {
    *down = otherKeysDown.back();
    otherKeysDown.pop_back();
  }
}

// Keys whose release the tap missed are asked about, so that they cannot block modifier-only
// accelerators for good.
bool onlyModifiersDown() {
  std::erase_if(otherKeysDown, [](uint16_t keyCode) { return !keyIsDown(keyCode); });
  return otherKeysDown.empty();
}

// Whether the modifier key is one that the accelerator names, on an allowed side.
bool namesModifierKey(const Accel& accel, const ModifierKey& key) {
  return (accel.flags & key.flag) &&
         (!(accel.sided & key.sideFlag) || (accel.sides & key.sideFlag));
}

// A press of any other key or button during a modifier-only hold makes the hold a chord.
void markChords(int64_t keyCode) {
  if (held.empty()) return;
  const ModifierKey* modifier = modifierKeyAt(keyCode);
  for (const Registration* entry : registrationsOf(modifiersOnly)) {
    const auto& [text, accel] = *entry;
    if (modifier && namesModifierKey(accel, *modifier)) continue;
    if (held.contains(text)) chorded.insert(text);
  }
}

// A modifier-only accelerator goes down at the press that makes the modifiers down exactly its
// own, while no other key is down; it stays down, whatever else is pressed, until one of its
// modifiers is let go.
void matchModifierKey(uint32_t type, const Event* event) {
  const uint64_t flags = eventFlags(event);
  const bool press = type == keyDownEvent && eventAutorepeat(event) == 0;
  if (press) markChords(eventKeyCode(event));
  if (press && !onlyModifiersDown()) return;
  for (const Registration* entry : registrationsOf(modifiersOnly)) {
    const auto& [text, accel] = *entry;
    if (press && exactModifiers(accel, flags, modifierMask | fnFlag) && held.insert(text).second) {
      // Under Secure Input the keys pressed during the hold are hidden: never alone then.
      if (keyPressesHidden()) chorded.insert(text);
      emit(keyMessage("down", text, nowMs()));
    } else if (type == keyUpEvent && !namedModifiersDown(accel, flags) && held.erase(text)) {
      sayReleased(text, accel);
    }
  }
}

}  // namespace

void noteRestingKeyDown(const Event* event) {
  const int64_t keyCode = eventKeyCode(event);
  if (!options.extendedKeys || !namesKey(keyCode) || eventAutorepeat(event) != 0) return;
  if (!modifierKeyAt(keyCode)) trackOtherKey(keyDownEvent, static_cast<uint16_t>(keyCode));
  markChords(keyCode);
}

void sayReleased(const std::string& text, const Accel& accel) {
  if (accel.keyCode != modifiersOnly) return emit(keyMessage("up", text, nowMs()));
  const bool alone = chorded.erase(text) == 0 && !keyPressesHidden();
  emit(keyMessage("up", text, nowMs(), alone));
}

void releaseKey(int64_t keyCode, std::string_view shortcut) {
  if (!namesKey(keyCode)) return;
  for (const Registration* entry : registrationsOf(static_cast<uint16_t>(keyCode))) {
    const std::string& text = entry->first;
    if (!shortcut.empty() && text != shortcut) continue;
    if (held.erase(text) == 0) continue;
    emit(keyMessage("up", text, nowMs()));
  }
  if (!options.extendedKeys) return;
  const ModifierKey* modifier = modifierKeyAt(keyCode);
  if (!modifier) return;
  // Modifier-only holds that name this very key; one that names its pair allows either key.
  for (const Registration* entry : registrationsOf(modifiersOnly)) {
    const auto& [text, accel] = *entry;
    if ((accel.sides & modifier->sideFlag) && held.erase(text)) sayReleased(text, accel);
  }
}

Event* matchKeyEvent(uint32_t type, Event* event) {
  const int64_t keyCode = eventKeyCode(event);
  if (!namesKey(keyCode)) return event;

  if (options.extendedKeys) {
    if (modifierKeyAt(keyCode)) {
      matchModifierKey(type, event);
      return event;
    }
    trackOtherKey(type, static_cast<uint16_t>(keyCode));
    if (type == keyDownEvent && eventAutorepeat(event) == 0) markChords(keyCode);
  }
  if (type == keyUpEvent) {
    releaseKey(keyCode, eventShortcut(event));
  } else if (type == keyDownEvent && eventAutorepeat(event) == 0) {
    pressKey(static_cast<uint16_t>(keyCode), eventFlags(event), eventShortcut(event));
  }
  return event;
}
