// The key names an accelerator may use, with their macOS virtual key codes.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/accel.h"

struct KeyName {
  std::string_view name;  // as people write it; matched in any letter case
  uint16_t code;          // the key's position on the ANSI (US) keyboard
};

/// All 83 names, in ascending order of code; of a key's names, its first is the one keytap writes.
extern const KeyName keyTable[83];

/// The keypad, F21 to F24 and the ISO key, which only --extended-keys names.
extern const KeyName extendedKeyTable[43];

/// The mouse buttons, which only --mouse-buttons names.
extern const KeyName mouseButtonTable[6];

/// The name keytap writes for a key code: its first in the tables that the options allow;
/// empty for a code none of them names.
std::string_view keyName(uint16_t code);

/// Fills keyCodes from keyTable, from extendedKeyTable too with --extended-keys, and from
/// mouseButtonTable with --mouse-buttons.
void buildKeyCodes();
