#include "platform/linux/portal/shortcuts.h"

#include <algorithm>
#include <cstdio>

namespace {

// Desktops bind a keysym, so each key position proposes the keysym the default XKB keymap gives
// it (xkeyboard-config 2.35 to 2.42, the default for every model): F13 to F23 type XF86 keysyms
// there (inet(evdev)), and F19 and F24 type none, so no desktop can bind them.
struct PortalKey {
  uint16_t code;  // macOS virtual key code
  std::string_view keysym;
  bool typesText;                 // a letter, digit, punctuation, Space or Enter, on the keypad too
  std::string_view shifted = {};  // what Shift types there on a US layout, where not a capital
};

constexpr PortalKey portalKeys[] = {
    {0, "a", true},
    {1, "s", true},
    {2, "d", true},
    {3, "f", true},
    {4, "h", true},
    {5, "g", true},
    {6, "z", true},
    {7, "x", true},
    {8, "c", true},
    {9, "v", true},
    {10, "less", true, "greater"},
    {11, "b", true},
    {12, "q", true},
    {13, "w", true},
    {14, "e", true},
    {15, "r", true},
    {16, "y", true},
    {17, "t", true},
    {18, "1", true, "exclam"},
    {19, "2", true, "at"},
    {20, "3", true, "numbersign"},
    {21, "4", true, "dollar"},
    {22, "6", true, "asciicircum"},
    {23, "5", true, "percent"},
    {24, "equal", true, "plus"},
    {25, "9", true, "parenleft"},
    {26, "7", true, "ampersand"},
    {27, "minus", true, "underscore"},
    {28, "8", true, "asterisk"},
    {29, "0", true, "parenright"},
    {30, "bracketright", true, "braceright"},
    {31, "o", true},
    {32, "u", true},
    {33, "bracketleft", true, "braceleft"},
    {34, "i", true},
    {35, "p", true},
    {36, "Return", true},
    {37, "l", true},
    {38, "j", true},
    {39, "apostrophe", true, "quotedbl"},
    {40, "k", true},
    {41, "semicolon", true, "colon"},
    {42, "backslash", true, "bar"},
    {43, "comma", true, "less"},
    {44, "slash", true, "question"},
    {45, "n", true},
    {46, "m", true},
    {47, "period", true, "greater"},
    {48, "Tab", false},
    {49, "space", true},
    {50, "grave", true, "asciitilde"},
    {51, "BackSpace", false},
    {53, "Escape", false},
    {64, "XF86Launch8", false},
    {65, "KP_Decimal", true},
    {67, "KP_Multiply", true},
    {69, "KP_Add", true},
    {75, "KP_Divide", true},
    {76, "KP_Enter", true},
    {78, "KP_Subtract", true},
    {79, "XF86Launch9", false},
    {81, "KP_Equal", true},
    {82, "KP_0", true},
    {83, "KP_1", true},
    {84, "KP_2", true},
    {85, "KP_3", true},
    {86, "KP_4", true},
    {87, "KP_5", true},
    {88, "KP_6", true},
    {89, "KP_7", true},
    {90, "XF86AudioMicMute", false},
    {91, "KP_8", true},
    {92, "KP_9", true},
    {96, "F5", false},
    {97, "F6", false},
    {98, "F7", false},
    {99, "F3", false},
    {100, "F8", false},
    {101, "F9", false},
    {103, "F11", false},
    {105, "XF86Tools", false},
    {106, "XF86Launch7", false},
    {107, "XF86Launch5", false},
    {109, "F10", false},
    {111, "F12", false},
    {113, "XF86Launch6", false},
    {115, "Home", false},
    {116, "Prior", false},
    {117, "Delete", false},
    {118, "F4", false},
    {119, "End", false},
    {120, "F2", false},
    {121, "Next", false},
    {122, "F1", false},
    {123, "Left", false},
    {124, "Right", false},
    {125, "Down", false},
    {126, "Up", false},
    {110, "Menu", false},
    {114, "Insert", false},
    {0x1046, "Scroll_Lock", false},
    {0x1063, "Print", false},
    {0x1077, "Pause", false},
    {0x10BF, "XF86TouchpadToggle", false},
    {0x10C0, "XF86TouchpadOn", false},
    {0x10C1, "XF86TouchpadOff", false},
};

// In the order desktops write them.
constexpr struct {
  uint64_t flag;
  std::string_view name;
} portalModifiers[] = {
    {controlFlag, "CTRL"}, {optionFlag, "ALT"}, {shiftFlag, "SHIFT"}, {commandFlag, "LOGO"}};

const PortalKey* portalKeyAt(uint16_t code) {
  for (const PortalKey& key : portalKeys) {
    if (key.code == code) return &key;
  }
  return nullptr;
}

}  // namespace

std::string preferredTrigger(const Accel& accel, ShiftMatch shiftMatch) {
  const PortalKey* key = portalKeyAt(accel.keyCode);
  if (!key || (accel.flags & fnFlag) || accel.sided) return "";
  const bool typedShifted =
      shiftMatch == ShiftMatch::shiftedSymbol && (accel.flags & shiftFlag) && !key->shifted.empty();
  std::string trigger;
  for (const auto& modifier : portalModifiers) {
    if (typedShifted && modifier.flag == shiftFlag) continue;
    if (accel.flags & modifier.flag) trigger.append(modifier.name).append("+");
  }
  return trigger.append(typedShifted ? key->shifted : key->keysym);
}

bool typesText(const Accel& accel) {
  const PortalKey* key = portalKeyAt(accel.keyCode);
  return key && key->typesText && (accel.flags & ~shiftFlag) == 0;
}

std::string sessionTokenFor(std::string_view hostExecutable) {
  if (hostExecutable.empty()) return "keytap";
  uint64_t hash = 14695981039346656037u;  // FNV-1a
  for (const char c : hostExecutable)
    hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211u;
  char token[32];
  std::snprintf(token, sizeof token, "keytap_%016llx", static_cast<unsigned long long>(hash));
  return token;
}

bool namesDesktop(std::string_view currentDesktops, std::string_view desktop) {
  while (!currentDesktops.empty()) {
    const size_t colon = std::min(currentDesktops.find(':'), currentDesktops.size());
    if (currentDesktops.substr(0, colon) == desktop) return true;
    currentDesktops.remove_prefix(std::min(colon + 1, currentDesktops.size()));
  }
  return false;
}

BindingState bindingState(bool listed, uint32_t response) {
  if (listed) return BindingState::bound;
  return response == 2 ? BindingState::failed : BindingState::refused;
}
