#include "accelerator/key_table.h"

#include "core/state.h"

const KeyName keyTable[83] = {
    {"A", 0},       {"S", 1},          {"D", 2},          {"F", 3},        {"H", 4},
    {"G", 5},       {"Z", 6},          {"X", 7},          {"C", 8},        {"V", 9},
    {"B", 11},      {"Q", 12},         {"W", 13},         {"E", 14},       {"R", 15},
    {"Y", 16},      {"T", 17},         {"1", 18},         {"2", 19},       {"3", 20},
    {"4", 21},      {"6", 22},         {"5", 23},         {"=", 24},       {"9", 25},
    {"7", 26},      {"-", 27},         {"8", 28},         {"0", 29},       {"]", 30},
    {"O", 31},      {"U", 32},         {"[", 33},         {"I", 34},       {"P", 35},
    {"RETURN", 36}, {"ENTER", 36},     {"L", 37},         {"J", 38},       {"'", 39},
    {"K", 40},      {";", 41},         {"\\", 42},        {",", 43},       {"/", 44},
    {"N", 45},      {"M", 46},         {".", 47},         {"TAB", 48},     {"SPACE", 49},
    {"`", 50},      {"BACKSPACE", 51}, {"ESCAPE", 53},    {"ESC", 53},     {"F17", 64},
    {"F18", 79},    {"F19", 80},       {"F20", 90},       {"F5", 96},      {"F6", 97},
    {"F7", 98},     {"F3", 99},        {"F8", 100},       {"F9", 101},     {"F11", 103},
    {"F13", 105},   {"F16", 106},      {"F14", 107},      {"F10", 109},    {"F12", 111},
    {"F15", 113},   {"HOME", 115},     {"PAGEUP", 116},   {"DELETE", 117}, {"F4", 118},
    {"END", 119},   {"F2", 120},       {"PAGEDOWN", 121}, {"F1", 122},     {"LEFT", 123},
    {"RIGHT", 124}, {"DOWN", 125},     {"UP", 126},
};

// F21 to F24 have no macOS code: theirs are beyondMacKeys plus their evdev codes, 191 to 194.
const KeyName extendedKeyTable[37] = {
    {"NUMPAD0", 82},        {"NUMPAD1", 83},      {"NUMPAD2", 84},       {"NUMPAD3", 85},
    {"NUMPAD4", 86},        {"NUMPAD5", 87},      {"NUMPAD6", 88},       {"NUMPAD7", 89},
    {"NUMPAD8", 91},        {"NUMPAD9", 92},      {"NUMPADADD", 69},     {"NUMPADSUBTRACT", 78},
    {"NUMPADMULTIPLY", 67}, {"NUMPADDIVIDE", 75}, {"NUMPADDECIMAL", 65}, {"NUMPADENTER", 76},
    {"NUMPADEQUAL", 81},    {"NUM0", 82},         {"NUM1", 83},          {"NUM2", 84},
    {"NUM3", 85},           {"NUM4", 86},         {"NUM5", 87},          {"NUM6", 88},
    {"NUM7", 89},           {"NUM8", 91},         {"NUM9", 92},          {"NUMADD", 69},
    {"NUMSUB", 78},         {"NUMMULT", 67},      {"NUMDIV", 75},        {"NUMDEC", 65},
    {"INTLBACKSLASH", 10},  {"F21", 0x10BF},      {"F22", 0x10C0},       {"F23", 0x10C1},
    {"F24", 0x10C2},
};

const KeyName mouseButtonTable[6] = {
    {"MOUSEMIDDLE", mouseMiddleButton},   {"MOUSE3", mouseMiddleButton},
    {"MOUSEBACK", mouseBackButton},       {"MOUSE4", mouseBackButton},
    {"MOUSEFORWARD", mouseForwardButton}, {"MOUSE5", mouseForwardButton},
};

void buildKeyCodes() {
  keyCodes.clear();
  for (const KeyName& key : keyTable) keyCodes.emplace(key.name, key.code);
  if (options.extendedKeys) {
    for (const KeyName& key : extendedKeyTable) keyCodes.emplace(key.name, key.code);
  }
  if (options.mouseButtons) {
    for (const KeyName& key : mouseButtonTable) keyCodes.emplace(key.name, key.code);
  }
}
