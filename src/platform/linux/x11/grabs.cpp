#include "platform/linux/x11/grabs.h"

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <utility>
#include <vector>

#include "platform/key_positions.h"

namespace {

constexpr unsigned evdevOffset = 8;  // X key codes are Linux evdev codes plus 8

// The keysyms whose keys, mapped to a modifier, make it the one keytap means.
constexpr uint32_t altKeysyms[] = {0xffe9, 0xffea, 0xffe7, 0xffe8};  // Alt_L/R, Meta_L/R
constexpr uint32_t superKeysyms[] = {0xffeb, 0xffec};                // Super_L/R
constexpr uint32_t numLockKeysym = 0xff7f;
constexpr uint32_t scrollLockKeysym = 0xff14;

// Which of Mod1 to Mod5 the server gives Alt, Super, Num Lock and Scroll Lock; 0 for none.
struct ModifierMasks {
  uint16_t alt = 0;
  uint16_t super = 0;
  uint16_t numLock = 0;
  uint16_t scrollLock = 0;
};

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
        for (int level = 0; level < perKey; ++level) {
          const uint32_t keysym = keysyms[(keycode - first) * perKey + level];
          for (uint32_t alt : altKeysyms) masks.alt |= keysym == alt ? mask : 0;
          for (uint32_t super : superKeysyms) masks.super |= keysym == super ? mask : 0;
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

// The chord's X modifiers; none where the server maps no key to one of them.
std::optional<uint16_t> chordModifiers(const Accel& accel, const ModifierMasks& masks) {
  uint16_t modifiers = 0;
  if (accel.flags & shiftFlag) modifiers |= XCB_MOD_MASK_SHIFT;
  if (accel.flags & controlFlag) modifiers |= XCB_MOD_MASK_CONTROL;
  if (accel.flags & optionFlag) {
    if (!masks.alt) return std::nullopt;
    modifiers |= masks.alt;
  }
  if (accel.flags & commandFlag) {
    if (!masks.super) return std::nullopt;
    modifiers |= masks.super;
  }
  return modifiers;
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

uint8_t xKeyCodeOf(uint16_t keyCode) {
  const std::optional<unsigned> evdev = evdevAt(keyCode);
  return evdev && *evdev + evdevOffset < 256 ? static_cast<uint8_t>(*evdev + evdevOffset) : 0;
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

}  // namespace

KeepAnswer grabChord(xcb_connection_t* connection, const Accel& accel,
                     std::vector<uint16_t>& states) {
  states.clear();
  // A grab names modifiers, never their sides: it would keep the other side's chord too.
  if (accel.sided) return {Keeping::unavailable, "a modifier of one side cannot be kept on X11"};
  if (!(isMouseButton(accel.keyCode) ? xButtonOf(accel.keyCode) : xKeyCodeOf(accel.keyCode))) {
    return {Keeping::unavailable, std::string(notAvailable)};
  }
  const ModifierMasks masks = modifierMasks(connection);
  const std::optional<uint16_t> modifiers = chordModifiers(accel, masks);
  if (!modifiers) return {Keeping::unavailable, "the X server maps no key to its modifiers"};
  const std::vector<uint16_t> wanted = withLockStates(*modifiers, masks);
  std::vector<xcb_void_cookie_t> cookies;
  for (uint16_t state : wanted) cookies.push_back(grab(connection, accel.keyCode, state));
  bool taken = false;
  for (const xcb_void_cookie_t& cookie : cookies) {
    xcb_generic_error_t* error = xcb_request_check(connection, cookie);
    taken |= error != nullptr;
    std::free(error);
  }
  if (!taken) {
    states = wanted;
    return {};
  }
  // Only BadAccess fails a grab of a valid key: another client holds that chord.
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
  const ModifierMasks masks = modifierMasks(connection);
  const std::optional<uint16_t> modifiers = chordModifiers(accel, masks);
  const std::vector<uint16_t> wanted =
      modifiers ? withLockStates(*modifiers, masks) : std::vector<uint16_t>{};
  const auto has = [](const std::vector<uint16_t>& list, uint16_t state) {
    return std::find(list.begin(), list.end(), state) != list.end();
  };
  // The server says a mapping changed when another keyboard is typed on, too: states that stay
  // are never let go, or a key pressed meanwhile would reach the window.
  std::vector<uint16_t> held;
  for (uint16_t state : wanted) {
    if (has(states, state)) {
      held.push_back(state);
      continue;
    }
    xcb_generic_error_t* error =
        xcb_request_check(connection, grab(connection, accel.keyCode, state));
    if (!error) held.push_back(state);
    std::free(error);
  }
  for (uint16_t state : states) {
    if (!has(wanted, state)) ungrab(connection, accel.keyCode, state);
  }
  xcb_flush(connection);
  states = std::move(held);
}
