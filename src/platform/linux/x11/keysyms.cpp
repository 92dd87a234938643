#include "platform/linux/x11/keysyms.h"

#include <algorithm>

#include "platform/linux/x11/keysym_table.h"

namespace {

struct KeysymPair {
  uint32_t keysym;
  char32_t character;
};

// Dead keys by the spacing character of their accent, as a key cap shows them.
constexpr KeysymPair deadKeys[] = {
    {0xFE50, U'`'},      {0xFE51, U'\u00B4'}, {0xFE52, U'^'},      {0xFE53, U'~'},
    {0xFE54, U'\u00AF'}, {0xFE55, U'\u02D8'}, {0xFE56, U'\u02D9'}, {0xFE57, U'\u00A8'},
    {0xFE58, U'\u02DA'}, {0xFE59, U'\u02DD'}, {0xFE5A, U'\u02C7'}, {0xFE5B, U'\u00B8'},
    {0xFE5C, U'\u02DB'}, {0xFE5D, U'\u037A'}, {0xFE5E, U'\u309B'}, {0xFE5F, U'\u309C'},
    {0xFE64, U'\u1FBF'}, {0xFE65, U'\u1FFE'}, {0xFE90, U'_'},
};

// The keypad's keysyms that type a character (KP_Space to KP_9, KP_Equal).
constexpr KeysymPair keypadKeys[] = {
    {0xFF80, U' '}, {0xFFAA, U'*'}, {0xFFAB, U'+'}, {0xFFAC, U','},
    {0xFFAD, U'-'}, {0xFFAE, U'.'}, {0xFFAF, U'/'}, {0xFFBD, U'='},
};

std::optional<char32_t> findIn(std::span<const KeysymPair> pairs, uint32_t keysym) {
  for (const KeysymPair& pair : pairs) {
    if (pair.keysym == keysym) return pair.character;
  }
  return std::nullopt;
}

}  // namespace

std::optional<char32_t> keysymCharacter(uint32_t keysym) {
  if ((keysym >= 0x20 && keysym <= 0x7E) || (keysym >= 0xA0 && keysym <= 0xFF)) return keysym;
  if (keysym >= 0x1000100 && keysym <= 0x110FFFF) return keysym - 0x1000000;
  if (keysym >= 0xFFB0 && keysym <= 0xFFB9) return U'0' + (keysym - 0xFFB0);
  if (keysym >= 0xFE00) {
    if (const auto dead = findIn(deadKeys, keysym)) return dead;
    return findIn(keypadKeys, keysym);
  }
  const KeysymCharacter* end = keysymCharacters + keysymCharacterCount;
  const KeysymCharacter* found = std::lower_bound(
      keysymCharacters, end, keysym,
      [](const KeysymCharacter& pair, uint32_t wanted) { return pair.keysym < wanted; });
  if (found == end || found->keysym != keysym) return std::nullopt;
  return found->character;
}

// KP_Home to KP_Delete (0xFF95 to 0xFF9F) and KP_Begin.
bool isKeypadMotion(uint32_t keysym) {
  return keysym >= 0xFF95 && keysym <= 0xFF9F;
}

uint32_t keysymAt(std::span<const uint32_t> keysyms, unsigned group, unsigned level) {
  const size_t index = size_t{group} * 2 + level;
  return group < 2 && level < 2 && index < keysyms.size() ? keysyms[index] : 0;
}

// Past the first four come the further levels of group one, then those of group two, then the
// groups beyond.
bool typesBeyondLevelTwo(std::span<const uint32_t> keysyms) {
  return std::any_of(keysyms.begin() + std::min<size_t>(4, keysyms.size()), keysyms.end(),
                     [](uint32_t keysym) { return keysymCharacter(keysym).has_value(); });
}

bool isLevelThreeShift(std::span<const uint32_t> rightAlt, unsigned group) {
  if (group < 2) return keysymAt(rightAlt, group, 0) == levelThreeShift;
  return std::find(rightAlt.begin(), rightAlt.end(), levelThreeShift) != rightAlt.end();
}
