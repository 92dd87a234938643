#include "core/key_table.h"

#include <cctype>
#include <span>
#include <string>

#include "core/state.h"

const KeyName keyTable[83] = {
    {"A", 0},       {"S", 1},          {"D", 2},          {"F", 3},        {"H", 4},
    {"G", 5},       {"Z", 6},          {"X", 7},          {"C", 8},        {"V", 9},
    {"B", 11},      {"Q", 12},         {"W", 13},         {"E", 14},       {"R", 15},
    {"Y", 16},      {"T", 17},         {"1", 18},         {"2", 19},       {"3", 20},
    {"4", 21},      {"6", 22},         {"5", 23},         {"=", 24},       {"9", 25},
    {"7", 26},      {"-", 27},         {"8", 28},         {"0", 29},       {"]", 30},
    {"O", 31},      {"U", 32},         {"[", 33},         {"I", 34},       {"P", 35},
    {"Return", 36}, {"Enter", 36},     {"L", 37},         {"J", 38},       {"'", 39},
    {"K", 40},      {";", 41},         {"\\", 42},        {",", 43},       {"/", 44},
    {"N", 45},      {"M", 46},         {".", 47},         {"Tab", 48},     {"Space", 49},
    {"`", 50},      {"Backspace", 51}, {"Escape", 53},    {"Esc", 53},     {"F17", 64},
    {"F18", 79},    {"F19", 80},       {"F20", 90},       {"F5", 96},      {"F6", 97},
    {"F7", 98},     {"F3", 99},        {"F8", 100},       {"F9", 101},     {"F11", 103},
    {"F13", 105},   {"F16", 106},      {"F14", 107},      {"F10", 109},    {"F12", 111},
    {"F15", 113},   {"Home", 115},     {"PageUp", 116},   {"Delete", 117}, {"F4", 118},
    {"End", 119},   {"F2", 120},       {"PageDown", 121}, {"F1", 122},     {"Left", 123},
    {"Right", 124}, {"Down", 125},     {"Up", 126},
};

// F21 to F24, Print Screen, Scroll Lock and Pause have no macOS code (a Mac hears the last three
// as F13 to F15): theirs are beyondMacKeys plus their evdev codes. Insert is where macOS has Help.
const KeyName extendedKeyTable[43] = {
    {"Numpad0", 82},
    {"Numpad1", 83},
    {"Numpad2", 84},
    {"Numpad3", 85},
    {"Numpad4", 86},
    {"Numpad5", 87},
    {"Numpad6", 88},
    {"Numpad7", 89},
    {"Numpad8", 91},
    {"Numpad9", 92},
    {"NumpadAdd", 69},
    {"NumpadSubtract", 78},
    {"NumpadMultiply", 67},
    {"NumpadDivide", 75},
    {"NumpadDecimal", 65},
    {"NumpadEnter", 76},
    {"NumpadEqual", 81},
    {"Num0", 82},
    {"Num1", 83},
    {"Num2", 84},
    {"Num3", 85},
    {"Num4", 86},
    {"Num5", 87},
    {"Num6", 88},
    {"Num7", 89},
    {"Num8", 91},
    {"Num9", 92},
    {"NumAdd", 69},
    {"NumSub", 78},
    {"NumMult", 67},
    {"NumDiv", 75},
    {"NumDec", 65},
    {"IntlBackslash", 10},
    {"F21", 0x10BF},
    {"F22", 0x10C0},
    {"F23", 0x10C1},
    {"F24", 0x10C2},
    {"Insert", 114},
    {"Menu", 110},
    {"ContextMenu", 110},
    {"PrintScreen", 0x1063},
    {"ScrollLock", 0x1046},
    {"Pause", 0x1077},
};

const KeyName mouseButtonTable[6] = {
    {"MouseMiddle", mouseMiddleButton},   {"Mouse3", mouseMiddleButton},
    {"MouseBack", mouseBackButton},       {"Mouse4", mouseBackButton},
    {"MouseForward", mouseForwardButton}, {"Mouse5", mouseForwardButton},
};

namespace {

// Looked up folded to upper case, as parse() folds a key piece.
void addNames(std::span<const KeyName> names) {
  for (const KeyName& key : names) {
    std::string folded(key.name);
    for (char& letter : folded)
      letter = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
    keyCodes.emplace(std::move(folded), key.code);
  }
}

}  // namespace

std::string_view keyName(uint16_t code) {
  const auto first = [code](std::span<const KeyName> names) -> std::string_view {
    for (const KeyName& key : names) {
      if (key.code == code) return key.name;
    }
    return {};
  };
  std::string_view name = first(keyTable);
  if (name.empty() && options.extendedKeys) name = first(extendedKeyTable);
  if (name.empty() && options.mouseButtons) name = first(mouseButtonTable);
  return name;
}

void buildKeyCodes() {
  keyCodes.clear();
  addNames(keyTable);
  if (options.extendedKeys) addNames(extendedKeyTable);
  if (options.mouseButtons) addNames(mouseButtonTable);
}
