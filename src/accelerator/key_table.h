// The key names an accelerator may use, with their macOS virtual key codes.
#pragma once

#include <cstdint>
#include <string_view>

struct KeyName {
  std::string_view name;  // upper case
  uint16_t code;          // the key's position on the ANSI (US) keyboard
};

/// All 83 names, in ascending order of code.
extern const KeyName keyTable[83];

/// Fills keyCodes from keyTable.
void buildKeyCodes();
