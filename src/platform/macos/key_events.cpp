#include "platform/macos/key_events.h"

#include <iterator>

#include "core/accel.h"
#include "platform/platform.h"

namespace {

constexpr int64_t isoSectionKeyCode = 10;  // kVK_ISO_Section
constexpr int64_t graveKeyCode = 50;       // kVK_ANSI_Grave

}  // namespace

std::optional<bool> modifierKeyPressed(int64_t keyCode, uint64_t flags) {
  const ModifierKey* modifier = modifierKeyAt(keyCode);
  if (!modifier) return std::nullopt;
  if (!(flags & sideFlagsOf(modifier->flag))) return (flags & modifier->flag) != 0;
  return (flags & modifier->sideFlag) != 0;
}

std::optional<uint32_t> tapEventType(uint32_t type, int64_t keyCode, uint64_t flags, FnState& fn) {
  // Clearing Fn here would end a hold of it that may well go on (--release-stale-holds).
  if (type == tapDisabledByTimeout || type == tapDisabledByUserInput) fn.unsure = true;
  if (type != flagsChangedEvent) {
    // A key typed with Fn held carries its bit: one without it tells Fn went while the tap was
    // off, which a hold of Fn must not outlive until some modifier changes.
    if (fn.unsure && (type == keyDownEvent || type == keyUpEvent) && !(flags & fnFlag)) fn = {};
    return type;
  }
  // A modifier change carries the modifiers held now, Fn's bit among them; a key event's Fn bit
  // may be an arrow's own and says nothing of the Fn key.
  if (fn.unsure) fn = {(flags & fnFlag) != 0, false};
  const std::optional<bool> pressed = modifierKeyPressed(keyCode, flags);
  if (!pressed) return std::nullopt;
  if (keyCode == fnKeyCode) fn.down = *pressed;
  return *pressed ? keyDownEvent : keyUpEvent;
}

uint64_t matchedFlags(int64_t keyCode, uint64_t flags, bool fnDown) {
  flags = (flags & ~fnFlag) | (fnDown ? fnFlag : 0);
  const ModifierKey* modifier = modifierKeyAt(keyCode);
  if (modifier && (flags & modifier->flag) && !(flags & sideFlagsOf(modifier->flag))) {
    flags |= modifier->sideFlag;
  }
  return flags;
}

bool macKeyIsDown(uint16_t keyCode, bool fnDown, bool (*systemSaysDown)(uint16_t)) {
  return keyCode == fnKeyCode ? fnDown : systemSaysDown(keyCode);
}

std::optional<uint16_t> buttonKeyCode(int64_t buttonNumber) {
  constexpr int64_t middle = 2;
  if (buttonNumber < middle || buttonNumber >= middle + int64_t{std::size(mouseButtonCodes)}) {
    return std::nullopt;
  }
  return mouseButtonCodes[buttonNumber - middle];
}

uint32_t buttonNumber(uint16_t keyCode) {
  return 2 + static_cast<uint32_t>(keyCode - mouseMiddleButton);
}

int64_t keyPosition(int64_t keyCode, bool isoKeyboard) {
  if (!isoKeyboard) return keyCode;
  if (keyCode == isoSectionKeyCode) return graveKeyCode;
  if (keyCode == graveKeyCode) return isoSectionKeyCode;
  return keyCode;
}

bool macCanHear(const Accel& accel) {
  return accel.keyCode == modifiersOnly || accel.keyCode < beyondMacKeys ||
         isMouseButton(accel.keyCode);
}
