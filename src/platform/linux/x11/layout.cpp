// What the X server's keyboard mapping types at a key, in the layout group in use, for labels
// (--capture); and whether Right Alt is that layout's AltGr.
#include <xcb/xcb.h>
#include <xcb/xinput.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/backends.h"
#include "platform/linux/x11/connection.h"
#include "platform/linux/x11/keysyms.h"
#include "wire/utf8.h"

namespace x11 {
namespace {

// X key codes are Linux evdev codes plus 8.
constexpr unsigned evdevOffset = 8;
constexpr unsigned rightAltEvdev = 100;  // KEY_RIGHTALT
// The server's first master pointer, which answers for a client that named none.
constexpr xcb_input_device_id_t virtualCorePointer = 2;

// The keyboard's state as a client sees it, asked on a connection of its own: a reply awaited on
// the tap's would leave events read meanwhile unseen by the poll loop.
struct Layout {
  unsigned group = 0;  // the group in use: base, latched and locked together
  std::vector<uint32_t> keysyms;
  std::vector<uint32_t> rightAlt;
};

std::vector<uint32_t> keysymsOf(xcb_connection_t* connection, unsigned evdev) {
  std::vector<uint32_t> keysyms;
  if (evdev + evdevOffset > 255) return keysyms;
  const auto keycode = static_cast<xcb_keycode_t>(evdev + evdevOffset);
  xcb_get_keyboard_mapping_reply_t* mapping = xcb_get_keyboard_mapping_reply(
      connection, xcb_get_keyboard_mapping(connection, keycode, 1), nullptr);
  if (!mapping) return keysyms;
  const xcb_keysym_t* first = xcb_get_keyboard_mapping_keysyms(mapping);
  keysyms.assign(first, first + mapping->keysyms_per_keycode);
  std::free(mapping);
  return keysyms;
}

// The core protocol says nothing of layout groups; XInput's pointer query carries the keyboard
// state of the master pointer's paired keyboard, the group among it.
unsigned effectiveGroup(xcb_connection_t* connection) {
  if (xinputVersion(connection) < std::pair(2, 0)) return 0;
  xcb_input_xi_get_client_pointer_reply_t* client = xcb_input_xi_get_client_pointer_reply(
      connection, xcb_input_xi_get_client_pointer(connection, XCB_NONE), nullptr);
  const xcb_input_device_id_t pointer =
      client && client->set ? client->deviceid : virtualCorePointer;
  std::free(client);
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
  xcb_input_xi_query_pointer_reply_t* state = xcb_input_xi_query_pointer_reply(
      connection, xcb_input_xi_query_pointer(connection, root, pointer), nullptr);
  // Xvfb 21 was seen to answer a locked group with an effective group of 0: the sum of the three
  // parts is the effective group too, short of wrapping, which only a third group would need.
  unsigned group = 0;
  if (state) {
    group = state->group.effective;
    if (group == 0) group = (state->group.base + state->group.latched + state->group.locked) % 4u;
  }
  std::free(state);
  return group;
}

std::optional<Layout> readLayout(unsigned evdev) {
  xcb_connection_t* connection = connectQuietly();
  std::optional<Layout> layout;
  if (!xcb_connection_has_error(connection)) {
    layout = Layout{effectiveGroup(connection), keysymsOf(connection, evdev),
                    keysymsOf(connection, rightAltEvdev)};
  }
  xcb_disconnect(connection);
  return layout;
}

}  // namespace

// A keypad key says what it types with Num Lock on, not where it moves with Num Lock off. A
// key with nothing in the group in use (a third or fourth layout, whose place the core mapping
// does not tell, or a key only the first layout fills) gives what it types in the first.
std::string typedCharacter(uint16_t keyCode) {
  const std::optional<unsigned> evdev = evdevAt(keyCode);
  const std::optional<Layout> layout = evdev ? readLayout(*evdev) : std::nullopt;
  if (!layout) return "";
  const auto typed = [&](unsigned group) {
    const uint32_t plain = keysymAt(layout->keysyms, group, 0);
    return keysymCharacter(isKeypadMotion(plain) ? keysymAt(layout->keysyms, group, 1) : plain);
  };
  std::optional<char32_t> character = typed(layout->group);
  if (!character && keysymAt(layout->keysyms, layout->group, 0) == 0) character = typed(0);
  std::string utf8;
  if (character) appendUtf8(utf8, *character);
  return utf8;
}

bool typesWithAltGr(uint16_t keyCode) {
  const std::optional<unsigned> evdev = evdevAt(keyCode);
  const std::optional<Layout> layout = evdev ? readLayout(*evdev) : std::nullopt;
  return layout && isLevelThreeShift(layout->rightAlt, layout->group) &&
         typesBeyondLevelTwo(layout->keysyms);
}

}  // namespace x11
