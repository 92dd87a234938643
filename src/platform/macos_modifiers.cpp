#include "platform/macos_modifiers.h"

#include "core/accel.h"

std::optional<bool> modifierKeyPressed(int64_t keyCode, uint64_t flags) {
  const ModifierKey* modifier = modifierKeyAt(keyCode);
  if (!modifier) return std::nullopt;
  return (flags & modifier->sideFlag) != 0;
}

uint64_t withFnKey(uint64_t flags, bool fnDown) {
  return (flags & ~fnFlag) | (fnDown ? fnFlag : 0);
}
