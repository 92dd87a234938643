#include "keyboard/capture.h"

#include <utility>

#include "accelerator/describe.h"
#include "core/key_table.h"
#include "core/registry.h"
#include "core/state.h"
#include "wire/emit.h"
#include "wire/messages.h"

namespace {

constexpr uint64_t allSideFlags = sideFlagsOf(shiftFlag) | sideFlagsOf(controlFlag) |
                                  sideFlagsOf(optionFlag) | sideFlagsOf(commandFlag);

// Where CommandOrControl means Command, the modifiers go by their Mac names.
bool macWords() {
  return commandOrControl == commandFlag;
}

// Modifiers held together, as an accelerator of modifiers alone: Fn only alone, as it parses.
Accel modifiersAloneOf(uint64_t flags) {
  Accel accel;
  accel.keyCode = modifiersOnly;
  accel.flags = flags & modifierMask;
  // Fn, which parses only alone, stands for its own side.
  if (!accel.flags) accel.flags = accel.sides = accel.sided = flags & fnFlag;
  if (accel.flags == fnFlag) return accel;
  accel.sides = flags & allSideFlags;
  for (const uint64_t flag : {shiftFlag, controlFlag, optionFlag, commandFlag}) {
    if (accel.sides & sideFlagsOf(flag)) accel.sided |= sideFlagsOf(flag);
  }
  return accel;
}

// Whether Fn is held, by the platform's own record of it (macOS also sets the event's Fn bit on
// arrows and function keys). A chord with Fn has no text that matches it: Fn parses only alone,
// and a hotkey with a key ignores it, so the text would fire without Fn too.
bool fnHeld() {
  for (const ModifierKey& key : modifierKeys) {
    if (key.flag == fnFlag) return keyIsDown(key.keyCode);
  }
  return false;
}

void finish(const Accel& accel) {
  endCapture();
  sayDescribed("captured", accel, textOf(accel));
}

// The wire's word for who holds a chord already; empty where nobody is known to.
std::string_view takenWord(ChordHolder holder) {
  switch (holder) {
    case ChordHolder::system:
      return "system";
    case ChordHolder::anotherProgram:
      return "another program";
    case ChordHolder::unknown:
      return "";
  }
  return "";
}

// Tells the host the modifiers held once they differ from what it was last told, so that a
// settings screen can show "Ctrl+Shift+..." before the key comes.
void sayHeldModifiers(uint64_t flags) {
  const uint64_t modifiers = flags & modifierMask;
  if (modifiers == capture.heldSaid) return;
  capture.heldSaid = modifiers;
  Accel modifiersHeld;
  modifiersHeld.keyCode = modifiersOnly;
  modifiersHeld.flags = modifiers;
  emit(describedMessage("capture_held", textOf(modifiersHeld),
                        heldModifiersLabel(modifiers, macWords())));
}

// Feeds the event to the capture; a chord it ends is sent as "captured".
void record(uint32_t type, const Event* event) {
  const int64_t keyCode = eventKeyCode(event);
  const bool modifier = modifierKeyAt(keyCode) != nullptr;
  if (type == keyUpEvent && modifier && capture.modifiersAlone) {
    const uint64_t modifiers = std::exchange(capture.modifiersAlone, 0);
    // Fn with other modifiers: passed over; so are modifiers whose key may have been hidden
    // (Secure Input keeps the K of a typed Command+K from keytap).
    const bool hidden = std::exchange(capture.keysMayBeHidden, false) || keyPressesHidden();
    if (((modifiers & fnFlag) && (modifiers & modifierMask)) || hidden) return;
    return finish(modifiersAloneOf(modifiers));
  }
  if (type != keyDownEvent || eventAutorepeat(event) != 0) return;
  const uint64_t flags = eventFlags(event);
  if (modifier) {
    // Modifiers alone make a chord only where their texts parse.
    if (!options.extendedKeys) return;
    if (!capture.modifiersAlone) capture.keysMayBeHidden = false;
    capture.modifiersAlone = flags & (modifierMask | allSideFlags | fnFlag);
    capture.keysMayBeHidden = capture.keysMayBeHidden || keyPressesHidden();
    return;
  }
  capture.modifiersAlone = 0;
  if (keyCode < 0 || keyCode > UINT16_MAX || keyName(static_cast<uint16_t>(keyCode)).empty() ||
      fnHeld()) {
    return;
  }
  Accel accel;
  accel.keyCode = static_cast<uint16_t>(keyCode);
  accel.flags = flags & modifierMask;
  // AltGr with a key it types a character on is someone typing (AltGr+Q is @ on German), not a
  // shortcut: recorded as Alt+Q, or even as AltRight+Q, it would fire at every @ typed.
  if ((flags & rightOptionFlag) && typesWithAltGr(accel.keyCode)) return;
  finish(accel);
}

}  // namespace

void startCapture() {
  if (capture.running) return;
  capture = {.running = true};
  if (options.mouseButtons) watchMouseButtons(true);
}

void endCapture() {
  capture = {};
  // Pointer devices are watched only while a button is registered or a capture runs.
  if (options.mouseButtons && !anyMouseButtonRegistered()) watchMouseButtons(false);
}

std::string textOf(const Accel& accel) {
  return acceleratorText(accel, macWords());
}

void sayDescribed(const char* type, const Accel& accel, std::string_view text) {
  const std::string character =
      accel.keyCode == modifiersOnly ? std::string() : typedCharacter(accel.keyCode);
  emit(describedMessage(type, text, acceleratorLabel(accel, macWords(), character),
                        takenWord(chordHolder(accel))));
}

void captureKeyEvent(uint32_t type, const Event* event) {
  record(type, event);
  // The chord that ended the capture says the rest.
  if (capture.running) sayHeldModifiers(eventFlags(event));
}
