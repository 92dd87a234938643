// What X11 keysyms type, and where a key's keysyms for a layout group sit in the core keyboard
// mapping. Pure, so that the unit tests check them without a server.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

/// The character a keysym types, for labels: Latin-1 and the older national sets by their
/// characters, keysyms from 0x1000100 on by the code point they carry, a dead key by its spacing
/// character (dead_circumflex is ^), a keypad keysym by the character it types (KP_7 is 7).
/// Nothing for function keys, modifiers and keysyms with no character.
std::optional<char32_t> keysymCharacter(uint32_t keysym);

/// Whether the keysym is a keypad key that moves or edits (KP_Home, KP_Delete): the level a
/// keypad key has with Num Lock off.
bool isKeypadMotion(uint32_t keysym);

/// The keysym of a key at `level` (0: no modifier, 1: Shift) in layout group `group` (0 or 1),
/// from its keysyms in the core keyboard mapping, where an XKB server writes the first two
/// levels of groups one and two first (G1L1 G1L2 G2L1 G2L2); 0 (NoSymbol) where it has none.
uint32_t keysymAt(std::span<const uint32_t> keysyms, unsigned group, unsigned level);

/// Whether the key has a character past the first four keysyms of its core mapping: the levels
/// that a level-three shift (AltGr) reaches in groups one and two, then the groups beyond. The
/// core mapping does not say where one group's levels end, so any of them counts, which errs
/// towards "it types".
bool typesBeyondLevelTwo(std::span<const uint32_t> keysyms);

/// Whether Right Alt, by its keysyms in the core mapping, is the level-three shift (AltGr) in
/// layout group `group`; in a third or fourth group, where its place is not told, in any.
bool isLevelThreeShift(std::span<const uint32_t> rightAlt, unsigned group);

/// ISO_Level3_Shift: Right Alt where the layout makes it AltGr.
constexpr uint32_t levelThreeShift = 0xFE03;
