// X11's older keysym sets (Latin-2 to 9, Cyrillic, Greek, Hebrew, Thai, Arabic, Kana, technical
// and publishing symbols) and the characters they stand for; made by scripts/keysym-table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>

struct KeysymCharacter {
  uint16_t keysym;
  uint16_t character;  // every one of them is in the first plane
};

/// In keysym order, each keysym once.
extern const KeysymCharacter keysymCharacters[];
extern const size_t keysymCharacterCount;
