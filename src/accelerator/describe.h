// Accelerators written back: as keytap's own text, which parse() reads as the same accelerator,
// and as a label for people, in the user's keyboard layout.
#pragma once

#include <string>
#include <string_view>

#include "core/accel.h"

/// The text of an accelerator: modifier words in one order (Control, Alt or Option, Shift, Super
/// or Command), plain ones with a key, with their sides (ControlLeft) for modifiers alone, and
/// the key by keyName(). `macWords`: Option and Command, as a Mac names them. Pure; reads options.
std::string acceleratorText(const Accel& accel, bool macWords);

/// The accelerator as people see it: with `macWords` Apple's symbols (⌃⌥⇧⌘) before the key, else
/// "Ctrl+Alt+Shift+Super+" and the key. The key is `character` (what the layout types there)
/// upper-cased, or, where it types none, its name (F5, Space, Left, NumpadEnter, Mouse4); a
/// keypad key's character follows the keypad's word, "Keypad 7" with `macWords`, else "Num 7".
/// Pure.
std::string acceleratorLabel(const Accel& accel, bool macWords, std::string_view character);

/// The modifiers held (generic bits) as a chord's label begins with them, its key still to come:
/// "⌃⇧" with `macWords`, else "Ctrl+Shift"; empty for none. Pure.
std::string heldModifiersLabel(uint64_t flags, bool macWords);
