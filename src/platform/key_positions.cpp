#include "platform/key_positions.h"

#include <array>
#include <span>

#include "core/accel.h"

namespace {

struct KeyMapping {
  uint16_t evdev;
  uint16_t mac;  // the macOS virtual key code of the key in the same ANSI position
};

constexpr KeyMapping keyMappings[] = {
    {1, 53},
    {2, 18},
    {3, 19},
    {4, 20},
    {5, 21},
    {6, 23},
    {7, 22},
    {8, 26},
    {9, 28},
    {10, 25},
    {11, 29},
    {12, 27},
    {13, 24},
    {14, 51},
    {15, 48},
    {16, 12},
    {17, 13},
    {18, 14},
    {19, 15},
    {20, 17},
    {21, 16},
    {22, 32},
    {23, 34},
    {24, 31},
    {25, 35},
    {26, 33},
    {27, 30},
    {28, 36},
    {30, 0},
    {31, 1},
    {32, 2},
    {33, 3},
    {34, 5},
    {35, 4},
    {36, 38},
    {37, 40},
    {38, 37},
    {39, 41},
    {40, 39},
    {41, 50},
    {43, 42},
    {44, 6},
    {45, 7},
    {46, 8},
    {47, 9},
    {48, 11},
    {49, 45},
    {50, 46},
    {51, 43},
    {52, 47},
    {53, 44},
    {55, 67},
    {57, 49},
    {59, 122},
    {60, 120},
    {61, 99},
    {62, 118},
    {63, 96},
    {64, 97},
    {65, 98},
    {66, 100},
    {67, 101},
    {68, 109},
    {69, 71},
    {71, 89},
    {72, 91},
    {73, 92},
    {74, 78},
    {75, 86},
    {76, 87},
    {77, 88},
    {78, 69},
    {79, 83},
    {80, 84},
    {81, 85},
    {82, 82},
    {83, 65},
    {86, 10},
    {87, 103},
    {88, 111},
    {89, 94},
    {96, 76},
    {98, 75},
    {102, 115},
    {103, 126},
    {104, 116},
    {105, 123},
    {106, 124},
    {107, 119},
    {108, 125},
    {109, 121},
    {110, 114},
    {111, 117},
    {113, 74},
    {114, 73},
    {115, 72},
    {117, 81},
    {121, 95},
    {124, 93},
    {127, 110},
    {183, 105},
    {184, 107},
    {185, 113},
    {186, 106},
    {187, 64},
    {188, 79},
    {189, 80},
    {190, 90},
    {29, 59},
    {97, 62},
    {42, 56},
    {54, 60},
    {56, 58},
    {100, 61},
    {125, 55},
    {126, 54},
    {58, 57},
    {464, 63},
    {buttonMiddle, mouseMiddleButton},
    {buttonSide, mouseBackButton},
    {buttonExtra, mouseForwardButton},
    {buttonForward, mouseForwardButton},
    {buttonBack, mouseBackButton},
};

// Indexed by evdev code.
constexpr std::array<uint16_t, KeysDown().size()> macKeyCodes = [] {
  std::array<uint16_t, KeysDown().size()> codes{};
  for (unsigned evdev = 0; evdev < codes.size(); ++evdev) {
    codes[evdev] = static_cast<uint16_t>(beyondMacKeys + evdev);
  }
  for (const KeyMapping& mapping : keyMappings) codes[mapping.evdev] = mapping.mac;
  return codes;
}();

struct ScanMapping {
  uint8_t scanCode;
  uint8_t evdev;
};

// Below 0x59 an unprefixed scan code is its evdev code; these are the others.
constexpr ScanMapping plainScanCodes[] = {
    {0x59, 117}, {0x64, 183}, {0x65, 184}, {0x66, 185}, {0x67, 186}, {0x68, 187}, {0x69, 188},
    {0x6A, 189}, {0x6B, 190}, {0x6C, 191}, {0x6D, 192}, {0x6E, 193}, {0x70, 93},  {0x73, 89},
    {0x76, 194}, {0x79, 92},  {0x7B, 94},  {0x7D, 124}, {0x7E, 121},
};
constexpr ScanMapping e0ScanCodes[] = {
    {0x1C, 96},  {0x1D, 97},  {0x20, 113}, {0x2E, 114}, {0x30, 115}, {0x35, 98},
    {0x37, 99},  {0x38, 100}, {0x47, 102}, {0x48, 103}, {0x49, 104}, {0x4B, 105},
    {0x4D, 106}, {0x4F, 107}, {0x50, 108}, {0x51, 109}, {0x52, 110}, {0x53, 111},
    {0x5B, 125}, {0x5C, 126}, {0x5D, 127}, {0x46, 119},  // Control+Pause, Break: Pause still
};

// Alt+Print Screen comes as SysRq, a scan code of its own below 0x59: Print Screen still, as the
// kernel has it.
constexpr unsigned sysRqScanCode = 0x54;
constexpr unsigned printScreenEvdev = 99;

// Caps Lock is a modifier key on macOS, but one that sets no flag of a held key.
constexpr unsigned capsLock = 58;

struct ModifierPosition {
  uint16_t evdev;
  uint64_t flags;  // its generic and its device-dependent bit
};

// The modifier keys by evdev code, AltGr (right Alt) as right Option.
constexpr auto modifierPositions = [] {
  std::array<ModifierPosition, std::size(modifierKeys)> positions{};
  size_t count = 0;
  for (const KeyMapping& mapping : keyMappings) {
    const ModifierKey* modifier = modifierKeyAt(mapping.mac);
    if (modifier) positions[count++] = {mapping.evdev, modifier->flag | modifier->sideFlag};
  }
  return positions;
}();

}  // namespace

uint16_t macKeyCodeOf(unsigned evdev) {
  return macKeyCodes[evdev];
}

std::optional<unsigned> evdevAt(uint16_t macKeyCode) {
  for (unsigned evdev = 1; evdev < macKeyCodes.size(); ++evdev) {
    if (macKeyCodes[evdev] == macKeyCode) return evdev;
  }
  return std::nullopt;
}

unsigned scanCodeOf(unsigned evdev) {
  if (evdev > 0 && evdev < 0x59) return evdev;
  for (const ScanMapping& mapping : plainScanCodes) {
    if (mapping.evdev == evdev) return mapping.scanCode;
  }
  for (const ScanMapping& mapping : e0ScanCodes) {
    if (mapping.evdev == evdev) return 0xE000u | mapping.scanCode;
  }
  return 0;
}

unsigned evdevFromScanCode(unsigned scanCode, bool e0) {
  if (!e0 && scanCode == sysRqScanCode) return printScreenEvdev;
  if (!e0 && scanCode > 0 && scanCode < 0x59) return scanCode;
  using Mappings = std::span<const ScanMapping>;
  const Mappings mappings = e0 ? Mappings(e0ScanCodes) : Mappings(plainScanCodes);
  for (const ScanMapping& mapping : mappings) {
    if (mapping.scanCode == scanCode) return mapping.evdev;
  }
  return 0;
}

uint64_t modifierFlags(const KeysDown& down) {
  uint64_t flags = 0;
  for (const ModifierPosition& modifier : modifierPositions) {
    if (down[modifier.evdev]) flags |= modifier.flags;
  }
  return flags;
}

std::optional<Event> trackKey(KeysDown& down, unsigned evdev, bool press, bool modifiersToo) {
  if (evdev >= down.size()) return std::nullopt;
  const bool wasDown = down[evdev];
  down[evdev] = press;
  if (evdev == capsLock || (!modifiersToo && modifierKeyAt(macKeyCodes[evdev])))
    return std::nullopt;
  // A held key repeats as presses without releases.
  return Event{macKeyCodes[evdev], press && wasDown, modifierFlags(down)};
}

bool isDownAt(const KeysDown& down, uint16_t macKeyCode) {
  for (unsigned evdev = 0; evdev < down.size(); ++evdev) {
    if (down[evdev] && macKeyCodes[evdev] == macKeyCode) return true;
  }
  return false;
}

int64_t eventKeyCode(const Event* event) {
  return event->keyCode;
}
int64_t eventAutorepeat(const Event* event) {
  return event->autorepeat;
}
uint64_t eventFlags(const Event* event) {
  return event->flags;
}
std::string_view eventShortcut(const Event* event) {
  return event->shortcut;
}

ShortcutBinding eventBinding(const Event* event) {
  return event->binding;
}
