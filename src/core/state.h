// The process-wide state. Only the main thread reads or writes it, so nothing is locked.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/accel.h"

/// Hashes texts so that the containers below can be searched with a string_view.
struct TextHash {
  using is_transparent = void;
  size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};

/// Accelerator text, exactly as the host sent it, to its parsed accelerator.
using Registry = std::unordered_map<std::string, Accel, TextHash, std::equal_to<>>;
/// One entry of the registry: the text and its accelerator.
using Registration = Registry::value_type;
/// The entries of the registry by key code. Entries of an unordered_map keep their address
/// until they are erased, so the index can point at them.
using KeyIndex = std::unordered_map<uint16_t, std::vector<const Registration*>>;
/// Accelerator texts whose key is down.
using HeldSet = std::unordered_set<std::string, TextHash, std::equal_to<>>;

/// Key name, folded to upper case, to virtual key code; filled once at start-up.
using KeyCodes = std::unordered_map<std::string, uint16_t, TextHash, std::equal_to<>>;
extern KeyCodes keyCodes;
/// The modifier bit that "CommandOrControl" and "CmdOrCtrl" stand for (Command on a Mac, Control
/// elsewhere); set once at start-up.
extern uint64_t commandOrControl;
extern Registry registered;
/// Every entry of registered under its key code; changed only together with registered
/// (core/registry.h).
extern KeyIndex registeredByKey;
/// Invariant: every text in held is a key of registered.
extern HeldSet held;
/// The registered texts whose key is kept from other programs (--consume). Invariant: every text
/// in it is a key of registered.
extern HeldSet consuming;
/// The held modifier-only accelerators during whose hold another key or button went down
/// (--extended-keys). Invariant: every text in it is in held.
extern HeldSet chorded;
/// The keys other than modifiers that are down, as key events said; kept with --extended-keys
/// only, where a modifier-only accelerator needs to know that none is.
extern std::vector<uint16_t> otherKeysDown;

/// The chord a capture is recording (--capture).
struct Capture {
  bool running = false;
  // The modifiers (generic, side and Fn bits) held at the last modifier press, while no other key
  // went down since: a chord of modifiers alone, if one of them is let go now.
  uint64_t modifiersAlone = 0;
  // Whether key presses may have been hidden from keytap while those modifiers were held.
  bool keysMayBeHidden = false;
  // The modifiers (generic bits) the host was last told are held: none when a capture starts.
  uint64_t heldSaid = 0;
};
extern Capture capture;

/// What the host asked for beyond the default protocol, on the command line.
struct Options {
  bool releaseStaleHolds = false;  // --release-stale-holds: close holds whose release was missed
  bool status = false;             // --status: say when keytap stops or starts listening
  bool extendedKeys = false;       // --extended-keys: sided modifiers, modifiers alone, more keys
  bool mouseButtons = false;       // --mouse-buttons: the middle and side mouse buttons
  bool capture = false;            // --capture: capture, cancel_capture and describe
  bool consume = false;            // --consume: a registration may keep its key from others
};
extern Options options;

/// Whether the tap hands on modifier keys' own presses and releases: for --extended-keys, and
/// while a capture runs, which tells the host the modifiers held as they change.
inline bool modifierKeysHeard() {
  return options.extendedKeys || capture.running;
}
