#include "platform/linux/x11/grabs.h"

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <utility>
#include <vector>

#include "platform/key_positions.h"

namespace {

constexpr unsigned evdevOffset = 8;  // X key codes are Linux evdev codes plus 8

constexpr uint32_t numLockKeysym = 0xff7f;
constexpr uint32_t scrollLockKeysym = 0xff14;

uint8_t xKeyCodeOf(uint16_t keyCode) {
  const std::optional<unsigned> evdev = evdevAt(keyCode);
  return evdev && *evdev + evdevOffset < 256 ? static_cast<uint8_t>(*evdev + evdevOffset) : 0;
}

bool contains(const std::vector<uint16_t>& list, uint16_t value) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

// Which of Mod1 to Mod5 the server gives the keys where Alt and Super are (keytap goes by where a
// key is, not by what the layout makes it type: Alt and Super swapped by a layout option are
// still Alt and Super), and Num Lock and Scroll Lock; none or 0 where it gives them none.
struct ModifierMasks {
  std::vector<uint16_t> alt;
  std::vector<uint16_t> super;
  uint16_t numLock = 0;
  uint16_t scrollLock = 0;
};

// The masks of the modifier each key of one of keytap's modifiers is in.
void addPositionalMask(uint64_t flag, xcb_keycode_t keycode, uint16_t mask,
                       std::vector<uint16_t>& masks) {
  for (const ModifierKey& key : modifierKeys) {
    if (key.flag == flag && xKeyCodeOf(key.keyCode) == keycode && !contains(masks, mask)) {
      masks.push_back(mask);
    }
  }
}

ModifierMasks modifierMasks(xcb_connection_t* connection) {
  ModifierMasks masks;
  xcb_get_modifier_mapping_reply_t* mapping =
      xcb_get_modifier_mapping_reply(connection, xcb_get_modifier_mapping(connection), nullptr);
  if (!mapping) return masks;
  const xcb_setup_t* setup = xcb_get_setup(connection);
  const uint8_t first = setup->min_keycode;
  const auto count = static_cast<uint8_t>(setup->max_keycode - first + 1);
  xcb_get_keyboard_mapping_reply_t* keyboard = xcb_get_keyboard_mapping_reply(
      connection, xcb_get_keyboard_mapping(connection, first, count), nullptr);
  if (keyboard) {
    const xcb_keycode_t* keycodes = xcb_get_modifier_mapping_keycodes(mapping);
    const xcb_keysym_t* keysyms = xcb_get_keyboard_mapping_keysyms(keyboard);
    const int perKey = keyboard->keysyms_per_keycode;
    const int perModifier = mapping->keycodes_per_modifier;
    // Shift, Lock and Control come first; Mod1 to Mod5 are the ones a server assigns.
    for (int modifier = 3; modifier < 8; ++modifier) {
      const auto mask = static_cast<uint16_t>(1u << modifier);
      for (int slot = 0; slot < perModifier; ++slot) {
        const xcb_keycode_t keycode = keycodes[modifier * perModifier + slot];
        if (keycode < first || keycode - first >= count) continue;
        addPositionalMask(optionFlag, keycode, mask, masks.alt);
        addPositionalMask(commandFlag, keycode, mask, masks.super);
        for (int level = 0; level < perKey; ++level) {
          const uint32_t keysym = keysyms[(keycode - first) * perKey + level];
          if (keysym == numLockKeysym) masks.numLock |= mask;
          if (keysym == scrollLockKeysym) masks.scrollLock |= mask;
        }
      }
    }
    std::free(keyboard);
  }
  std::free(mapping);
  return masks;
}

// The chord's X modifiers, one set for each choice of the modifier of its Alt key and of its
// Super key; none where the server maps neither key of one of them to a modifier.
std::vector<uint16_t> chordModifiers(const Accel& accel, const ModifierMasks& masks) {
  uint16_t fixed = 0;
  if (accel.flags & shiftFlag) fixed |= XCB_MOD_MASK_SHIFT;
  if (accel.flags & controlFlag) fixed |= XCB_MOD_MASK_CONTROL;
  std::vector<uint16_t> sets = {fixed};
  for (const auto& [flag, choices] :
       {std::pair{optionFlag, &masks.alt}, {commandFlag, &masks.super}}) {
    if (!(accel.flags & flag)) continue;
    std::vector<uint16_t> more;
    for (uint16_t set : sets) {
      for (uint16_t choice : *choices) more.push_back(static_cast<uint16_t>(set | choice));
    }
    sets = std::move(more);
  }
  return sets;
}

// The chord with every state of the lock modifiers, which must not stop it.
std::vector<uint16_t> withLockStates(uint16_t modifiers, const ModifierMasks& masks) {
  std::vector<uint16_t> locks = {XCB_MOD_MASK_LOCK};
  for (uint16_t lock : {masks.numLock, masks.scrollLock}) {
    if (lock && (lock & (modifiers | XCB_MOD_MASK_LOCK)) == 0) locks.push_back(lock);
  }
  std::vector<uint16_t> states;
  for (unsigned subset = 0; subset < (1u << locks.size()); ++subset) {
    uint16_t state = modifiers;
    for (size_t index = 0; index < locks.size(); ++index) {
      if (subset & (1u << index)) state |= locks[index];
    }
    states.push_back(state);
  }
  return states;
}

// Every modifier state to grab the chord in; none where the server cannot give its modifiers.
std::vector<uint16_t> chordStates(xcb_connection_t* connection, const Accel& accel) {
  const ModifierMasks masks = modifierMasks(connection);
  std::vector<uint16_t> states;
  for (uint16_t modifiers : chordModifiers(accel, masks)) {
    for (uint16_t state : withLockStates(modifiers, masks)) {
      if (!contains(states, state)) states.push_back(state);
    }
  }
  return states;
}

// What X calls the chord's key or button; 0 for none.
uint8_t xButtonOf(uint16_t keyCode) {
  switch (keyCode) {
    case mouseMiddleButton:
      return 2;
    case mouseBackButton:
      return 8;
    case mouseForwardButton:
      return 9;
    default:
      return 0;
  }
}

xcb_window_t rootOf(xcb_connection_t* connection) {
  return xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
}

xcb_void_cookie_t grab(xcb_connection_t* connection, uint16_t keyCode, uint16_t state) {
  const xcb_window_t root = rootOf(connection);
  if (isMouseButton(keyCode)) {
    return xcb_grab_button_checked(
        connection, 0, root, XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE,
        XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC, XCB_NONE, XCB_NONE, xButtonOf(keyCode), state);
  }
  return xcb_grab_key_checked(connection, 0, root, state, xKeyCodeOf(keyCode), XCB_GRAB_MODE_ASYNC,
                              XCB_GRAB_MODE_ASYNC);
}

void ungrab(xcb_connection_t* connection, uint16_t keyCode, uint16_t state) {
  const xcb_window_t root = rootOf(connection);
  if (isMouseButton(keyCode)) {
    xcb_ungrab_button(connection, xButtonOf(keyCode), root, state);
  } else {
    xcb_ungrab_key(connection, xKeyCodeOf(keyCode), root, state);
  }
}

// Grabs the key or button in each state; false when another client holds any of them (only
// BadAccess fails a grab of a valid key), which leaves the others grabbed.
bool grabEach(xcb_connection_t* connection, uint16_t keyCode, const std::vector<uint16_t>& states) {
  std::vector<xcb_void_cookie_t> cookies;
  for (uint16_t state : states) cookies.push_back(grab(connection, keyCode, state));
  bool free = true;
  for (const xcb_void_cookie_t& cookie : cookies) {
    xcb_generic_error_t* error = xcb_request_check(connection, cookie);
    free &= error == nullptr;
    std::free(error);
  }
  return free;
}

bool grabbable(uint16_t keyCode) {
  return isMouseButton(keyCode) ? xButtonOf(keyCode) != 0 : xKeyCodeOf(keyCode) != 0;
}

}  // namespace

KeepAnswer grabChord(xcb_connection_t* connection, const Accel& accel,
                     std::vector<uint16_t>& states) {
  states.clear();
  // A grab names modifiers, never their sides: it would keep the other side's chord too.
  if (accel.sided) return {Keeping::unavailable, "a modifier of one side cannot be kept on X11"};
  if (!grabbable(accel.keyCode)) return {Keeping::unavailable, std::string(notAvailable)};
  const std::vector<uint16_t> wanted = chordStates(connection, accel);
  if (wanted.empty()) return {Keeping::unavailable, "the X server maps no key to its modifiers"};
  if (grabEach(connection, accel.keyCode, wanted)) {
    states = wanted;
    return {};
  }
  for (uint16_t state : wanted) ungrab(connection, accel.keyCode, state);
  xcb_flush(connection);
  return {Keeping::taken, "another program has taken this chord"};
}

void ungrabChord(xcb_connection_t* connection, const Accel& accel,
                 const std::vector<uint16_t>& states) {
  for (uint16_t state : states) ungrab(connection, accel.keyCode, state);
  // Once the host hears "unregistered", the key is the windows' again: the server has done it.
  std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
}

void grabChordAgain(xcb_connection_t* connection, const Accel& accel,
                    std::vector<uint16_t>& states) {
  const std::vector<uint16_t> wanted = chordStates(connection, accel);
  // The server says a mapping changed when another keyboard is typed on, too: states that stay
  // are never let go, or a key pressed meanwhile would reach the window.
  std::vector<uint16_t> held;
  for (uint16_t state : wanted) {
    if (contains(states, state)) {
      held.push_back(state);
      continue;
    }
    xcb_generic_error_t* error =
        xcb_request_check(connection, grab(connection, accel.keyCode, state));
    if (!error) held.push_back(state);
    std::free(error);
  }
  for (uint16_t state : states) {
    if (!contains(wanted, state)) ungrab(connection, accel.keyCode, state);
  }
  xcb_flush(connection);
  states = std::move(held);
}

bool grabbedByAnother(xcb_connection_t* connection, const Accel& accel,
                      const std::vector<uint16_t>& ownStates) {
  if (!grabbable(accel.keyCode)) return false;
  // A grab of this client's own state would replace it, and letting go would end it.
  std::vector<uint16_t> probed;
  for (uint16_t state : chordStates(connection, accel)) {
    if (!contains(ownStates, state)) probed.push_back(state);
  }
  const bool taken = !grabEach(connection, accel.keyCode, probed);
  // Ungrabbing names this client's grabs alone: another client's stay.
  for (uint16_t state : probed) ungrab(connection, accel.keyCode, state);
  xcb_flush(connection);
  return taken;
}
