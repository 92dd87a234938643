#include "platform/macos_keys.h"

#include <algorithm>
#include <iterator>

#include "core/accel.h"
#include "platform/platform.h"

namespace {

constexpr int64_t isoSectionKeyCode = 10;  // kVK_ISO_Section
constexpr int64_t graveKeyCode = 50;       // kVK_ANSI_Grave

// The ISO keyboards among Gestalt.h's keyboard types (gestaltPrtblISOKbd ... gestaltUSBAndyISOKbd).
constexpr int64_t isoKeyboardTypes[] = {7,  8,  9,  11, 13,  16,  20,  29,
                                        32, 35, 38, 41, 196, 199, 203, 205};

bool isIsoKeyboard(int64_t keyboardType) {
  return std::find(std::begin(isoKeyboardTypes), std::end(isoKeyboardTypes), keyboardType) !=
         std::end(isoKeyboardTypes);
}

}  // namespace

std::optional<bool> modifierKeyPressed(int64_t keyCode, uint64_t flags) {
  const ModifierKey* modifier = modifierKeyAt(keyCode);
  if (!modifier) return std::nullopt;
  if (!(flags & sideFlagsOf(modifier->flag))) return (flags & modifier->flag) != 0;
  return (flags & modifier->sideFlag) != 0;
}

std::optional<uint32_t> tapEventType(uint32_t type, int64_t keyCode, uint64_t flags, bool& fnDown) {
  if (type == tapDisabledByTimeout || type == tapDisabledByUserInput) fnDown = false;
  if (type != flagsChangedEvent) return type;
  const std::optional<bool> pressed = modifierKeyPressed(keyCode, flags);
  if (!pressed) return std::nullopt;
  if (keyCode == fnKeyCode) fnDown = *pressed;
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

int64_t keyPosition(int64_t keyCode, int64_t keyboardType) {
  if (!isIsoKeyboard(keyboardType)) return keyCode;
  if (keyCode == isoSectionKeyCode) return graveKeyCode;
  if (keyCode == graveKeyCode) return isoSectionKeyCode;
  return keyCode;
}
