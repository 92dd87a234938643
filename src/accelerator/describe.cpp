#include "accelerator/describe.h"

#include <algorithm>
#include <iterator>

#include "accelerator/upper_case.h"
#include "core/key_table.h"

namespace {

// The modifiers in the order keytap writes them, with each one's words.
struct ModifierNames {
  uint64_t flag;
  std::string_view word;     // elsewhere
  std::string_view macWord;  // on a Mac
  std::string_view label;    // elsewhere, for people
  std::string_view symbol;   // on a Mac, for people
};

constexpr ModifierNames modifierNames[] = {
    {controlFlag, "Control", "Control", "Ctrl", "\u2303"},
    {optionFlag, "Alt", "Option", "Alt", "\u2325"},
    {shiftFlag, "Shift", "Shift", "Shift", "\u21E7"},
    {commandFlag, "Super", "Command", "Super", "\u2318"},
};

// The modifiers of an accelerator, one piece each, as `piece(names, side)` writes them; side is
// "Left" or "Right" for a key of the pair named by its side, empty for the modifier as such.
template <typename Piece>
std::string modifierPieces(const Accel& accel, std::string_view separator, Piece piece) {
  std::string text;
  const auto add = [&](const std::string& next) {
    text += (text.empty() ? "" : std::string(separator)) + next;
  };
  for (const ModifierNames& names : modifierNames) {
    if (!(accel.flags & names.flag)) continue;
    const uint64_t both = sideFlagsOf(names.flag);
    const uint64_t left = both & -both;  // of each pair, the left key has the lower bit
    if (accel.keyCode != modifiersOnly || !(accel.sides & both)) {
      add(piece(names, ""));
      continue;
    }
    if (accel.sides & left) add(piece(names, "Left"));
    if (accel.sides & both & ~left) add(piece(names, "Right"));
  }
  if (accel.flags & fnFlag) add("Fn");
  return text;
}

// The keypad's keys by macOS virtual key code (kVK_ANSI_Keypad*): they type what keys of the
// top rows type, and a label must not make Numpad7 look like 7.
constexpr uint16_t keypadKeys[] = {65, 67, 69, 71, 75, 76, 78, 81, 82,
                                   83, 84, 85, 86, 87, 88, 89, 91, 92};

bool isKeypadKey(uint16_t keyCode) {
  return std::find(std::begin(keypadKeys), std::end(keypadKeys), keyCode) != std::end(keypadKeys);
}

std::string keyLabel(uint16_t keyCode, bool macWords, std::string_view character) {
  const bool printable =
      !character.empty() && static_cast<unsigned char>(character[0]) > ' ' && character != "\x7F";
  // The keypad's word as each system names it: Apple's "Keypad", Windows' "Num" (Num 7, Num /).
  if (printable && isKeypadKey(keyCode))
    return (macWords ? "Keypad " : "Num ") + std::string(character);
  if (printable) return upperCased(character);
  // A button by its number, as people count mouse buttons.
  if (isMouseButton(keyCode)) return "Mouse" + std::to_string(3 + keyCode - mouseMiddleButton);
  return std::string(keyName(keyCode));
}

}  // namespace

std::string acceleratorText(const Accel& accel, bool macWords) {
  std::string text =
      modifierPieces(accel, "+", [&](const ModifierNames& names, std::string_view side) {
        return std::string(macWords ? names.macWord : names.word) + std::string(side);
      });
  if (accel.keyCode == modifiersOnly) return text;
  return (text.empty() ? "" : text + "+") + std::string(keyName(accel.keyCode));
}

std::string acceleratorLabel(const Accel& accel, bool macWords, std::string_view character) {
  if (accel.keyCode == modifiersOnly) {
    return modifierPieces(
        accel, macWords ? " " : "+", [&](const ModifierNames& names, std::string_view side) {
          const std::string_view name = macWords ? names.symbol : names.label;
          return side.empty() ? std::string(name) : std::string(side) + " " + std::string(name);
        });
  }
  const std::string modifiers = heldModifiersLabel(accel.flags, macWords);
  const std::string_view joint = macWords || modifiers.empty() ? "" : "+";
  return modifiers + std::string(joint) + keyLabel(accel.keyCode, macWords, character);
}

std::string heldModifiersLabel(uint64_t flags, bool macWords) {
  std::string label;
  for (const ModifierNames& names : modifierNames) {
    if (!(flags & names.flag)) continue;
    if (!macWords && !label.empty()) label += "+";
    label += macWords ? names.symbol : names.label;
  }
  return label;
}
