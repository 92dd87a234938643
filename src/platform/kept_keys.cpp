#include "platform/kept_keys.h"

#include <algorithm>

bool keepsKeyEvent(KeptKeys& kept, uint16_t keyCode, bool press, bool autorepeat, uint64_t flags) {
  const auto down = std::find(kept.down.begin(), kept.down.end(), keyCode);
  if (down != kept.down.end()) {
    // An autorepeat, or the release that ends it.
    if (!press) kept.down.erase(down);
    return true;
  }
  // The window saw the press of a repeating key: it must see the release too.
  if (!press || autorepeat) return false;
  const bool matches = std::any_of(kept.chords.begin(), kept.chords.end(), [&](const Accel& chord) {
    return chord.keyCode == keyCode && exactModifiers(chord, flags, modifierMask);
  });
  if (matches) kept.down.push_back(keyCode);
  return matches;
}
